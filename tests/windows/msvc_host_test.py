#!/usr/bin/env python3
"""Runs msvc_host.exe (tollivar.dll driven the way a host built with Microsoft's compiler drives
it) under Wine against cnb-camsim on 127.0.0.1, one case per line; exit 1 on any failure, 77 when
the simulator has not been built.

  msvc_host_test.py --exe msvc_host.exe --dll tollivar.dll --camsim cnb-camsim
                    [--wine scripts/wine-run] [--wine-prefix DIR] [--keep]
WINEPREFIX in the environment wins over --wine-prefix.
"""
import argparse
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request
import xml.etree.ElementTree as ET

USER, PASSWORD = "admin", "Pw-7u!x"  # never printed
PRESETS = "msvchost"
TRANSPORT_XML = ('<?xml version="1.0"?>\n<Configuration><Device><VideoChannel><RTPMode>{}'
                 '</RTPMode></VideoChannel></Device></Configuration>\n')
FPS = 25
NO_PROXY = urllib.request.build_opener(urllib.request.ProxyHandler({}))


class Camsim:
    """cnb-camsim on free ports of 127.0.0.1 with Digest authentication."""

    def __init__(self, binary, folder):
        self.log = open(os.path.join(folder, "camsim.stderr"), "wb")
        self.proc = subprocess.Popen(
            [binary, "--address", "127.0.0.1", "--rtsp-port", "0", "--http-port", "0",
             "--auth", "digest", "--user", USER, "--password", PASSWORD],
            stdout=subprocess.PIPE, stderr=self.log)
        line, deadline = b"", time.monotonic() + 30
        while not line.endswith(b"\n") and time.monotonic() < deadline:
            if select.select([self.proc.stdout], [], [], 1)[0]:
                chunk = os.read(self.proc.stdout.fileno(), 256)
                line += chunk or b"\n"
        ports = dict(f.split("=", 1) for f in line.decode().split() if "=" in f)
        if not line.startswith(b"cnb-camsim ready") or "http" not in ports:
            self.close()
            raise RuntimeError("cnb-camsim did not become ready")
        self.http, self.rtsp = ports["http"], ports["rtsp"]

    def get(self, path):
        with NO_PROXY.open(f"http://127.0.0.1:{self.http}{path}", timeout=10) as answer:
            return answer.read().decode()

    def requests(self):
        return [json.loads(line) for line in self.get("/camsim/requests").splitlines() if line]

    def state(self):
        return json.loads(self.get("/camsim/state"))

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()


class Host:
    """msvc_host.exe and tollivar.dll in a fresh folder, run under Wine."""

    def __init__(self, args, folder):
        self.args, self.folder, self.rc, self.seconds = args, folder, None, 0.0
        for path in (args.exe, args.dll):
            shutil.copy(path, folder)
        self.exe = os.path.join(folder, os.path.basename(args.exe))

    def run(self, command, timeout):
        # Output goes to files: Wine's own processes (started by the first program of a prefix)
        # inherit the handles and would hold a pipe open long after the host ended.
        start, paths = time.monotonic(), [os.path.join(self.folder, n) for n in ("out", "err")]
        with open(paths[0], "wb") as out, open(paths[1], "wb") as err:
            proc = subprocess.Popen([*self.args.wine, self.exe, *command], cwd=self.folder,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err)
            try:
                self.rc = proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                self.rc = "hang"
        self.seconds = time.monotonic() - start
        self.out, self.err = (open(p, errors="replace").read() for p in paths)

    def value(self, key):
        """`key=value` of the host's output."""
        return next((w.split("=", 1)[1] for w in self.out.split() if w.startswith(key + "=")), "")

    def line(self, start):
        """The rest of the first output line that starts with `start`."""
        return next((l[len(start):] for l in self.out.splitlines() if l.startswith(start)), "")


def accepted(requests, path, prefix=""):
    """Queries of `path` the camera answered 200 (a Digest challenge is a 401 first)."""
    return [r["query"][len(prefix):] for r in requests if r["proto"] == "http"
            and r["path"] == path and r["status"] == 200 and r["query"].startswith(prefix)]


def ffmpeg_check(path, fmt):
    """The first decoding error and the frame count ffprobe reads."""
    run = lambda *a: subprocess.run(a, capture_output=True, text=True, timeout=120)
    decode = run("ffmpeg", "-v", "error", "-f", fmt, "-i", path, "-f", "null", "-")
    count = run("ffprobe", "-v", "error", "-f", fmt, "-count_frames", "-select_streams", "v:0",
                "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", path).stdout.strip()
    error = decode.stderr.strip() or (f"exit {decode.returncode}" if decode.returncode else "")
    return error.splitlines()[0] if error else "", int(count) if count.isdigit() else -1


# Each case returns (checks, summary); a check is (passed, what went wrong).
def case_record(host, cam, codec, mode, seconds=4):
    with open(os.path.join(host.folder, "Tollivar.xml"), "w") as f:
        f.write(TRANSPORT_XML.format(mode))
    fmt, fourccs = {3: ("h264", {"H264", "I264"}), 1: ("mjpeg", {"JPEG"})}[codec]
    out = os.path.join(host.folder, "out." + fmt)
    host.run(["record", "127.0.0.1", cam.http, cam.rtsp, USER, PASSWORD, str(codec),
              str(seconds), out], timeout=seconds + 60)
    frames, seen = int(host.value("frames") or 0), host.value("fourcc")
    error, counted = ffmpeg_check(out, fmt) if frames else ("no frames", -1)
    setups = [r.get("transport", "") for r in cam.requests()
              if r["proto"] == "rtsp" and r["method"] == "SETUP" and r["status"] == 200]
    interleaved = mode == "RTPoverRTSP"  # RTP/AVP/TCP without client ports
    return [
        (seen and set(seen.split(",")) <= fourccs, "four-character codes " + seen),
        (0.7 * FPS * seconds <= frames <= FPS * (seconds + 1), f"{frames} frames in {seconds} s"),
        (not error, "decoding: " + error),
        (abs(counted - frames) <= 1, f"ffprobe reads {counted} frames of {frames}"),
        (len(setups) == 1 and all((("/TCP" in t) == interleaved) and
                                  (("client_port" in t) != interleaved) for t in setups),
         f"SETUP transports {setups} for {mode}"),
        (cam.state().get("codec") == codec, "the camera's codec was not set"),
    ], f"{frames} frames, ffprobe {counted}, {seen}"


def case_probe(host, cam):
    host.run(["probe", "127.0.0.1", cam.http, USER, PASSWORD], timeout=60)
    model, sizes = host.line("model="), host.line("resolutions=").split()
    return [("CNB-IXP2050" in model, "model " + model),
            ({"640x480", "1920x1080"} <= set(sizes), f"resolutions {sizes}")
            ], f"{model}: {' '.join(sizes)}"


def alarm_checks(cam):
    """The output switched on at the start, then the two queued states (off, on) in order."""
    types = accepted(cam.requests(), "/cgi-bin/Param.cgi",
                     "action=update&alarm.control=2&alarm.signaltype=")
    return [(types == ["2", "1", "2"], f"alarm signal types {types}"),
            (cam.state().get("alarm_signaltype") == "2", "the camera's alarm output is not on")
            ], "alarm signal types " + ",".join(types)


def ptz_checks(host, cam, presets, expected):
    """The ptzCtl commands the camera accepted (preset ones with their number), the head back
    at pan 0, and the preset file beside the program."""
    sequence = []
    for query in accepted(cam.requests(), "/cnb-cgi/ptzCtl"):
        q = dict(p.split("=", 1) for p in query.split("&"))
        sequence.append(q["cmd"] + ("/" + q["pr"] if q["cmd"] in ("100", "101", "102") else ""))
    try:
        layout = ET.parse(os.path.join(host.folder, f"CNB_{presets}.preset")).getroot().tag
    except (OSError, ET.ParseError) as e:
        layout = str(e)
    return [(sequence == expected, f"ptzCtl {sequence}"),
            (cam.state().get("ptz_pan") == 0, "the recall did not bring the head back"),
            (layout == "CNB", "preset file beside the program: " + layout)
            ], "ptzCtl " + " ".join(sequence)


def case_io(host, cam):
    host.run(["io", "127.0.0.1", cam.http, USER, PASSWORD], timeout=60)
    return alarm_checks(cam)


def case_ptz(host, cam):
    host.run(["ptz", "127.0.0.1", cam.http, USER, PASSWORD, PRESETS], timeout=60)
    # save preset 1, move left, stop, recall preset 1, delete preset 1
    return ptz_checks(host, cam, PRESETS, ["100/1", "65", "255", "102/1", "101/1"])


def case_cycles(host, cam, n):
    host.run(["cycles", "127.0.0.1", cam.http, cam.rtsp, USER, PASSWORD, str(n)], timeout=420)
    rtsp = [r["method"] for r in cam.requests() if r["proto"] == "rtsp" and r["status"] == 200]
    plays, teardowns = rtsp.count("PLAY"), rtsp.count("TEARDOWN")
    return [(plays == teardowns == n, f"{plays} PLAY, {teardowns} TEARDOWN for {n} cycles"),
            (host.seconds < 8 * n, f"{host.seconds:.0f} s for {n} cycles")
            ], "cycles=" + host.line("cycles=")


CASES = [
    ("H.264 over UDP", case_record, dict(codec=3, mode="RTPoverUDP")),
    ("H.264 over RTSP interleaved", case_record, dict(codec=3, mode="RTPoverRTSP")),
    ("MJPEG over UDP", case_record, dict(codec=1, mode="RTPoverUDP")),
    ("capability query", case_probe, {}),
    ("alarm output", case_io, {}),
    ("preset save and recall", case_ptz, {}),
    ("50 load/start/stop/unload cycles", case_cycles, dict(n=50)),
]


def parse_args():
    parser = argparse.ArgumentParser()
    for name in ("--exe", "--dll", "--camsim"):
        parser.add_argument(name, required=True)
    parser.add_argument("--wine", default="wine")
    parser.add_argument("--wine-prefix")
    parser.add_argument("--keep", action="store_true", help="keep the case folders")
    args = parser.parse_args()
    args.exe, args.dll = os.path.abspath(args.exe), os.path.abspath(args.dll)
    args.wine = [os.path.abspath(args.wine) if os.sep in args.wine else args.wine]
    if not os.environ.get("WINEPREFIX"):
        if not args.wine_prefix:
            parser.error("give --wine-prefix or WINEPREFIX")
        os.environ["WINEPREFIX"] = os.path.abspath(args.wine_prefix)
    os.environ.setdefault("WINEDEBUG", "-all")
    return args


def run(args, cases, warm_up_exit):
    """Each case with a camera of its own; `warm_up_exit` is the host's exit without arguments."""
    if not os.access(args.camsim, os.X_OK):
        print(f"SKIP: no cnb-camsim at {args.camsim} (build it in the Linux tree)")
        return 77
    root = tempfile.mkdtemp(prefix=os.path.splitext(os.path.basename(args.exe))[0] + "_test_")
    failures = 0
    try:
        # The first start of Wine may have to create the prefix; keep its server up meanwhile.
        warm = Host(args, tempfile.mkdtemp(dir=root))
        warm.run([], timeout=300)
        subprocess.run(["wineserver", "-p", "120"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30, check=False)
        if warm.rc != warm_up_exit:
            print(f"FAIL Wine cannot run the host (exit {warm.rc}): {warm.err.strip()[-300:]}")
            return 1
        for name, case, params in cases:
            folder = tempfile.mkdtemp(dir=root)
            cam = Camsim(args.camsim, folder)
            host = Host(args, folder)
            try:
                checks, info = case(host, cam, **params)
            finally:
                cam.close()
            problems = [what for ok, what in [(host.rc == 0, f"host exit {host.rc}")] + checks
                        if not ok]
            print(f"{'FAIL' if problems else 'PASS'} {name} ({host.seconds:.1f} s): "
                  f"{'; '.join(problems) or info}", flush=True)
            if problems:
                failures += 1
                tail = [l for l in (host.out + host.err).splitlines()
                        if not l.startswith("log 3:")][-15:]
                print("    " + "\n    ".join(tail), flush=True)
    finally:
        if args.keep:
            print("case folders kept in " + root)
        else:
            shutil.rmtree(root, ignore_errors=True)
    print(f"{len(cases) - failures} of {len(cases)} cases passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(run(parse_args(), CASES, warm_up_exit=2))
