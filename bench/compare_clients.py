#!/usr/bin/env python3
"""CPU cost of receiving C live 1080p H.264 streams: tollivar-host against FFmpeg and GStreamer.

One cnb-camsim serves every stream from one shared encoder (--shared), already set to what the
driver asks for (1920x1080, 25 fps, 10 Mbit/s), so the driver's Param.cgi update changes nothing
and every client kind receives the same stream. The client kinds run one after the other, each
for the same time; the CPU time (user + system) of each client process is taken from the kernel
when the process is reaped (wait4), so camsim's own CPU stays out of the figures. camsim's CPU per
phase is shown separately for information.

Loopback only. Every wait is bounded; every process started here is stopped (SIGINT/SIGTERM,
then SIGKILL as a last resort after a bounded wait) before the script returns.
"""

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

ADDRESS = "127.0.0.1"
WIDTH, HEIGHT, FPS = 1920, 1080, 25
# What the driver requests for an H.264 stream (video.bitrate, Mbit/s); camsim starts with it so
# the request leaves the shared encoder as it is.
DRIVER_BITRATE = 10
CLK_TCK = os.sysconf("SC_CLK_TCK")
STARTED = []  # every Child, so that an interrupted run still stops what it started


class Child:
    """A started process, reaped by wait4 so that its resource usage is known."""

    def __init__(self, name, argv, out_path, err_path, env=None):
        self.name = name
        self.argv = argv
        self.out_path = out_path
        self.err_path = err_path
        self.started = time.monotonic()
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            # A new session keeps a terminal Ctrl-C away from the clients; the script stops them.
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                         env=env, start_new_session=True)
        self.pid = self.proc.pid
        STARTED.append(self)
        self.status = None
        self.rusage = None
        self.ended = None
        self.killed = False

    def poll(self):
        if self.status is not None:
            return True
        pid, status, rusage = os.wait4(self.pid, os.WNOHANG)
        if pid == 0:
            return False
        self.status, self.rusage, self.ended = status, rusage, time.monotonic()
        self.proc.returncode = os.waitstatus_to_exitcode(status)  # keeps Popen from waiting again
        return True

    def wait(self, timeout):
        deadline = time.monotonic() + timeout
        while not self.poll():
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.05)
        return True

    def send(self, sig):
        if self.status is None:
            try:
                os.kill(self.pid, sig)
            except ProcessLookupError:
                pass

    def stop(self, first_signal=signal.SIGTERM, grace=10.0):
        """Asks the process to end, escalating after bounded waits. True if it ended by itself."""
        if self.poll():
            return True
        self.send(first_signal)
        if self.wait(grace):
            return True
        if first_signal != signal.SIGTERM:
            self.send(signal.SIGTERM)
            if self.wait(grace):
                return True
        self.killed = True
        self.send(signal.SIGKILL)
        self.wait(5.0)
        return False

    def cpu_seconds(self):
        return self.rusage.ru_utime + self.rusage.ru_stime if self.rusage else None

    def exit_text(self):
        if self.status is None:
            return "running"
        code = os.waitstatus_to_exitcode(self.status)
        return f"signal {-code}" if code < 0 else f"exit {code}"

    def stderr_text(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stdout_text(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode("utf-8", "replace")


def proc_cpu_seconds(pid):
    """user + system CPU seconds of a running process, from /proc/<pid>/stat."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            text = f.read()
    except OSError:
        return None
    fields = text[text.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK  # utime, stime (fields 14 and 15)


def http_get(port, path, timeout=5.0):
    with urllib.request.urlopen(f"http://{ADDRESS}:{port}{path}", timeout=timeout) as r:
        return r.read().decode("utf-8", "replace")


def camsim_state(port):
    return json.loads(http_get(port, "/camsim/state"))


def ffprobe_stream(rtsp_port, timeout=30.0):
    argv = ["ffprobe", "-v", "error", "-rtsp_transport", "udp", "-select_streams", "v:0",
            "-show_entries", "stream=codec_name,width,height,r_frame_rate", "-of", "json",
            f"rtsp://{ADDRESS}:{rtsp_port}/"]
    r = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    streams = json.loads(r.stdout.decode() or "{}").get("streams", [])
    if r.returncode != 0 or not streams:
        raise RuntimeError(f"ffprobe failed: {r.stderr.decode(errors='replace').strip()}")
    return streams[0]


def check_1080p(stream, when):
    got = (stream.get("codec_name"), stream.get("width"), stream.get("height"),
           stream.get("r_frame_rate"))
    want = ("h264", WIDTH, HEIGHT, f"{FPS}/1")
    if got != want:
        raise RuntimeError(f"{when}: stream is {got}, expected {want}")
    print(f"# ffprobe {when}: {got[0]} {got[1]}x{got[2]} {got[3]} fps", flush=True)


def start_camsim(camsim, workdir, timeout=20.0):
    argv = [camsim, "--address", ADDRESS, "--rtsp-port", "0", "--http-port", "0", "--shared",
            "--codec", "h264", "--width", str(WIDTH), "--height", str(HEIGHT), "--fps", str(FPS),
            "--bitrate", str(DRIVER_BITRATE)]
    child = Child("camsim", argv, os.path.join(workdir, "camsim.out"),
                  os.path.join(workdir, "camsim.err"))
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        m = re.search(r"cnb-camsim ready rtsp=(\d+) http=(\d+)", child.stdout_text())
        if m:
            return child, int(m.group(1)), int(m.group(2))
        if child.poll():
            break
        time.sleep(0.1)
    child.stop()
    raise RuntimeError(f"cnb-camsim did not start: {child.stderr_text().strip()[-500:]}")


class Phase:
    def __init__(self, kind):
        self.kind = kind
        self.children = []
        self.frames = None  # None: the client kind does not report frames
        self.wall = 0.0
        self.camsim_cpu = None
        self.notes = []

    def cpu(self):
        return sum(c.cpu_seconds() or 0.0 for c in self.children)


def run_tollivar(args, ports, workdir):
    ph = Phase("tollivar-host")
    rtsp_port, http_port = ports
    argv = [args.host, "record", "--address", ADDRESS, "--port", str(http_port),
            "--rtsp-port", str(rtsp_port), "--codec", "h264", "--width", str(WIDTH),
            "--height", str(HEIGHT), "--fps", str(FPS), "--transport", "udp",
            "--channels", str(args.clients), "--seconds", str(args.duration),
            "--out", os.path.join(workdir, "tollivar.h264"), "--quiet", "--json"]
    c = Child("tollivar-host", argv, os.path.join(workdir, "tollivar.out"),
              os.path.join(workdir, "tollivar.err"))
    ph.children.append(c)
    # The program ends by itself after --seconds; the margin covers connecting and stopping.
    if not c.wait(args.duration + 60):
        ph.notes.append("did not end by itself; stopped")
        c.stop()
    ph.wall = (c.ended or time.monotonic()) - c.started
    try:
        summary = json.loads(c.stdout_text().strip().splitlines()[-1])
    except (ValueError, IndexError):
        ph.notes.append(f"no JSON summary ({c.exit_text()})")
        return ph
    ph.frames = summary.get("total_frames")
    sizes = {(ch.get("width"), ch.get("height")) for ch in summary.get("channels", [])}
    if sizes != {(WIDTH, HEIGHT)}:
        ph.notes.append(f"picture sizes {sorted(sizes)}")
    lost = sum(ch.get("signal_lost", 0) for ch in summary.get("channels", []))
    if lost:
        ph.notes.append(f"signal lost {lost}x")
    if summary.get("status", 0) != 0:
        ph.notes.append(f"status {summary.get('status')}")
    # The recordings must hold what the summary counts: 1080p H.264, one access unit per frame.
    checked = 0
    for ch in summary.get("channels", []):
        path = ch.get("file", "")
        try:
            got = count_h264_access_units(path)
            want = ("h264", WIDTH, HEIGHT, ch.get("frames"))
            if got != want:
                ph.notes.append(f"channel {ch.get('channel')}: file has {got}, summary says {want}")
            checked += 1
        except (RuntimeError, subprocess.TimeoutExpired) as e:
            ph.notes.append(f"channel {ch.get('channel')}: {e}")
        try:
            os.remove(path)  # 1080p output grows fast; only the counts matter
        except OSError:
            pass
    print(f"# tollivar-host: {checked} recordings checked with ffprobe", flush=True)
    return ph


def count_h264_access_units(path, timeout=60.0):
    argv = ["ffprobe", "-v", "error", "-count_packets", "-select_streams", "v:0", "-show_entries",
            "stream=codec_name,width,height,nb_read_packets", "-of", "json", path]
    r = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    streams = json.loads(r.stdout.decode() or "{}").get("streams", [])
    if r.returncode != 0 or not streams:
        raise RuntimeError(f"ffprobe {path}: {r.stderr.decode(errors='replace').strip()[-200:]}")
    s = streams[0]
    return (s.get("codec_name"), s.get("width"), s.get("height"), int(s.get("nb_read_packets", -1)))


def run_timed(ph, argvs, args, workdir, stop_signal):
    for i, argv in enumerate(argvs):
        ph.children.append(Child(f"{ph.kind}{i}", argv, os.path.join(workdir, f"{ph.kind}{i}.out"),
                                 os.path.join(workdir, f"{ph.kind}{i}.err")))
    start = min(c.started for c in ph.children)
    end = start + args.duration
    while time.monotonic() < end:
        if all(c.poll() for c in ph.children):
            break
        time.sleep(min(0.2, max(0.0, end - time.monotonic())))
    for c in ph.children:
        c.send(stop_signal)
    for c in ph.children:
        if not c.stop(stop_signal, grace=10.0):
            ph.notes.append(f"{c.name} needed SIGKILL")
    ph.wall = max(c.ended or time.monotonic() for c in ph.children) - start
    early = [c.name for c in ph.children if c.ended and c.ended < end - 0.5]
    if early:
        ph.notes.append("ended early: " + ", ".join(
            f"{c.name} ({c.exit_text()}: {c.stderr_text().strip()[-200:]!r})"
            for c in ph.children if c.name in early))
    return ph


def run_ffmpeg(args, ports, workdir):
    ph = Phase("ffmpeg")
    url = f"rtsp://{ADDRESS}:{ports[0]}/"
    argv = ["ffmpeg", "-nostdin", "-rtsp_transport", "udp", "-i", url, "-c", "copy", "-f", "null",
            "-"]
    run_timed(ph, [argv] * args.clients, args, workdir, signal.SIGTERM)
    frames, missed, sizes = 0, 0, set()
    for c in ph.children:
        text = c.stderr_text()
        counts = re.findall(r"frame=\s*(\d+)", text)
        frames += int(counts[-1]) if counts else 0
        missed += sum(int(n) for n in re.findall(r"RTP: missed (\d+) packets", text))
        sizes.update(re.findall(r"Video: h264[^\n]*?, (\d+x\d+)", text))
    ph.frames = frames
    if sizes != {f"{WIDTH}x{HEIGHT}"}:
        ph.notes.append(f"picture sizes {sorted(sizes)}")
    if missed:
        ph.notes.append(f"RTP packets missed {missed}")
    return ph


def run_gstreamer(args, ports, workdir):
    ph = Phase("gstreamer")
    url = f"rtsp://{ADDRESS}:{ports[0]}/"
    argv = ["gst-launch-1.0", "rtspsrc", f"location={url}", "protocols=udp", "!", "rtph264depay",
            "!", "fakesink"]
    # gst-launch turns SIGINT into an orderly stop (rtspsrc sends TEARDOWN); SIGTERM would not.
    return run_timed(ph, [argv] * args.clients, args, workdir, signal.SIGINT)


def fmt(value, style, missing="n/a"):
    return missing if value is None else format(value, style)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-c", "--clients", type=int, default=8, help="concurrent streams (default 8)")
    ap.add_argument("-d", "--duration", type=int, default=30,
                    help="seconds each client kind records (default 30)")
    ap.add_argument("-r", "--rounds", type=int, default=1,
                    help="repeat the three kinds, interleaved, this many times (default 1)")
    ap.add_argument("--build", default=os.path.join(root, "build"),
                    help="build tree with tollivar-host and cnb-camsim (default <repo>/build)")
    ap.add_argument("--keep", action="store_true", help="keep the work directory (client logs)")
    args = ap.parse_args()
    if not 1 <= args.clients <= 64 or not 1 <= args.duration <= 3600 or not 1 <= args.rounds <= 20:
        ap.error("-c must be 1..64, -d 1..3600 and -r 1..20")
    args.host = os.path.join(args.build, "tools", "host", "tollivar-host")
    args.camsim = os.path.join(args.build, "tools", "camsim", "cnb-camsim")
    for tool in (args.host, args.camsim):
        if not os.access(tool, os.X_OK):
            ap.error(f"{tool} is missing; build the targets tollivar tollivar-host cnb-camsim")
    for tool in ("ffmpeg", "ffprobe", "gst-launch-1.0"):
        if shutil.which(tool) is None:
            ap.error(f"{tool} is not installed")
    config = os.path.join(os.path.dirname(args.host), "Tollivar.xml")
    if os.path.exists(config):
        print(f"# warning: {config} exists and decides the driver's transport", flush=True)

    # SIGTERM/SIGINT to the script unwind through the finally below, which stops the children.
    def interrupted(signum, _frame):
        raise KeyboardInterrupt(f"signal {signum}")
    signal.signal(signal.SIGTERM, interrupted)
    signal.signal(signal.SIGINT, interrupted)

    workdir = tempfile.mkdtemp(prefix="tollivar-compare-")
    camsim, phases, status = None, [], 0
    try:
        camsim, rtsp_port, http_port = start_camsim(args.camsim, workdir)
        print(f"# camsim pid {camsim.pid} rtsp={rtsp_port} http={http_port} --shared; "
              f"{args.clients} streams x {args.duration} s per client kind; "
              f"load average before: {os.getloadavg()[0]:.2f}, {os.cpu_count()} CPUs", flush=True)
        check_1080p(ffprobe_stream(rtsp_port), "before the run")
        initial = camsim_state(http_port)
        for round_no, run in ((r, run) for r in range(1, args.rounds + 1)
                              for run in (run_tollivar, run_ffmpeg, run_gstreamer)):
            time.sleep(2.0)  # lets the previous kind's sessions close
            before = proc_cpu_seconds(camsim.pid)
            ph = run(args, (rtsp_port, http_port), workdir)
            after = proc_cpu_seconds(camsim.pid)
            if before is not None and after is not None:
                ph.camsim_cpu = after - before
            state = camsim_state(http_port)
            changed = {k: (initial[k], state[k]) for k in ("codec", "width", "height", "fps",
                                                           "bitrate") if initial[k] != state[k]}
            if changed:
                ph.notes.append(f"camsim encoder settings changed {changed}")
            phases.append(ph)
            print(f"# round {round_no} {ph.kind}: done in {ph.wall:.1f} s, cpu {ph.cpu():.2f} s, "
                  f"frames {fmt(ph.frames, 'd')}", flush=True)
        check_1080p(ffprobe_stream(rtsp_port), "after the run")
    except KeyboardInterrupt as e:
        print(f"# interrupted ({e}); stopping", file=sys.stderr)
        status = 130
    except (RuntimeError, OSError, ValueError, subprocess.TimeoutExpired) as e:
        print(f"# error: {e}", file=sys.stderr)
        status = 1
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        for c in STARTED:
            if c is not camsim:
                c.send(signal.SIGINT if c.argv[0].endswith("gst-launch-1.0") else signal.SIGTERM)
        for c in STARTED:
            if c is not camsim and not c.stop(grace=10.0):
                print(f"# {c.name} needed SIGKILL", file=sys.stderr)
        if camsim is not None and not camsim.stop(signal.SIGTERM, grace=10.0):
            print("# camsim needed SIGKILL", file=sys.stderr)
        if args.keep:
            print(f"# logs kept in {workdir}")
        else:
            shutil.rmtree(workdir, ignore_errors=True)

    if phases:
        report(args, phases)
    return status


def report(args, phases):
    """Sums each kind over its complete rounds; the ratios compare those sums."""
    kinds = []
    for ph in phases:
        if ph.kind not in kinds:
            kinds.append(ph.kind)
    rounds = min(sum(1 for ph in phases if ph.kind == k) for k in kinds)
    stream_minutes = rounds * args.clients * args.duration / 60.0
    expected = rounds * args.clients * args.duration * FPS
    print()
    print(f"{args.clients} x 1080p25 H.264 over RTP/UDP, {args.duration} s per kind and round, "
          f"{rounds} round(s): {stream_minutes:.1f} stream-minutes per kind, at most {expected} "
          f"frames")
    print(f"{'client':<14} {'cpu s':>8} {'cpu s/stream-min':>17} {'frames':>8} {'frames %':>9} "
          f"{'cpu ms/frame':>13} {'camsim cpu s':>13}   cpu s per round")
    totals = {}
    for kind in kinds:
        runs = [ph for ph in phases if ph.kind == kind][:rounds]
        cpu = sum(ph.cpu() for ph in runs)
        frames = None if any(ph.frames is None for ph in runs) else sum(ph.frames for ph in runs)
        camsim = None if any(ph.camsim_cpu is None for ph in runs) else sum(
            ph.camsim_cpu for ph in runs)
        totals[kind] = (cpu, frames)
        frames_pct = 100.0 * frames / expected if frames is not None else None
        per_frame = 1000.0 * cpu / frames if frames else None
        print(f"{kind:<14} {cpu:>8.2f} {cpu / stream_minutes:>17.3f} {fmt(frames, 'd'):>8} "
              f"{fmt(frames_pct, '.1f'):>9} {fmt(per_frame, '.3f'):>13} {fmt(camsim, '.2f'):>13}   "
              + " ".join(f"{ph.cpu():.2f}" for ph in runs))
    base_cpu, base_frames = totals.get("tollivar-host", (None, None))
    for kind in kinds:
        if kind == "tollivar-host":
            continue
        cpu, frames = totals[kind]
        line = f"ratio {kind}/tollivar-host: cpu {fmt(cpu / base_cpu if base_cpu else None, '.2f')}"
        if base_cpu and base_frames and frames:
            line += f", cpu per frame {(cpu / frames) / (base_cpu / base_frames):.2f}"
        print(line)
    for ph in phases:
        for note in ph.notes:
            print(f"note {ph.kind}: {note}")


if __name__ == "__main__":
    sys.exit(main())
