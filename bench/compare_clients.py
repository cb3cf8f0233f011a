#!/usr/bin/env python3
"""Cost of receiving C 1080p H.264 streams: tollivar-host against FFmpeg and GStreamer.

One cnb-camsim serves every stream from one shared source (--shared) at what the driver asks for
(1920x1080, 25 fps, 10 Mbit/s), so the driver's Param.cgi update changes nothing and every client
kind receives the same stream: by default a clip encoded once at start and replayed in real time
(--pre-encoded), so that the simulator costs little; --live uses the live x264 encoder. For every
C (-c 8,32) and transport (UDP, interleaved TCP) the client kinds run one after the other, each
for the same time. From the kernel, per client kind: CPU time (user + system), voluntary and
involuntary context switches and peak RSS of each client process when it is reaped (wait4, all
threads included), and system calls counted with perf (raw_syscalls:sys_enter) over a window in
the middle of the phase, or strace -c where perf cannot count; with perf, also the CPU time and
context switches of every client thread over that window (from /proc: the steady state, without
connecting and stopping). Per-packet figures divide by the
packets the clients received: frames received x packets per frame of the stream (measured once
with a small RTSP client of this script). camsim's own CPU stays out of the figures and is shown
separately.

Prerequisites (beyond the build): python3, ffmpeg/ffprobe, gst-launch-1.0 with the rtsp, good and
bad plugins (fpsdisplaysink counts GStreamer's frames), and perf (Debian: linux-perf) or strace
for the system calls: apt-get install linux-perf strace.

Loopback only. Every wait is bounded; every process started here is stopped (SIGINT/SIGTERM,
then SIGKILL as a last resort after a bounded wait) before the script returns.
"""

import argparse
import json
import os
import re
import socket
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
    num, _, den = str(stream.get("r_frame_rate", "0/1")).partition("/")
    rate = float(num) / float(den or 1) if float(den or 1) else 0.0
    got = (stream.get("codec_name"), stream.get("width"), stream.get("height"))
    want = ("h264", WIDTH, HEIGHT)
    # ffprobe estimates the rate from a few time stamps; a replayed clip reads 25.25 at times.
    if got != want or abs(rate - FPS) > 0.1 * FPS:
        raise RuntimeError(f"{when}: stream is {got} at {rate:.2f} fps, expected {want} at {FPS}")
    print(f"# ffprobe {when}: {got[0]} {got[1]}x{got[2]} {rate:.2f} fps", flush=True)


def start_camsim(args, workdir, timeout=90.0):
    argv = [args.camsim, "--address", ADDRESS, "--rtsp-port", "0", "--http-port", "0", "--shared",
            "--codec", "h264", "--width", str(WIDTH), "--height", str(HEIGHT), "--fps", str(FPS),
            "--bitrate", str(DRIVER_BITRATE)]
    if not args.live:
        argv.append("--pre-encoded")
    child = Child("camsim", argv, os.path.join(workdir, "camsim.out"),
                  os.path.join(workdir, "camsim.err"))
    deadline = time.monotonic() + timeout  # the clip is encoded before the servers listen
    while time.monotonic() < deadline:
        m = re.search(r"cnb-camsim ready rtsp=(\d+) http=(\d+)", child.stdout_text())
        if m:
            return child, int(m.group(1)), int(m.group(2))
        if child.poll():
            break
        time.sleep(0.1)
    child.stop()
    raise RuntimeError(f"cnb-camsim did not start: {child.stderr_text().strip()[-500:]}")


def packets_per_frame(rtsp_port, seconds=4.0):
    """RTP packets per picture of the stream: DESCRIBE, SETUP (interleaved) and PLAY on one
    connection, then RTP packets and marker bits (the last packet of a picture, RFC 6184
    section 5.1) counted for a few seconds. Bounded by socket time-outs."""
    url = f"rtsp://{ADDRESS}:{rtsp_port}/"
    sock = socket.create_connection((ADDRESS, rtsp_port), timeout=5.0)
    buf = b""

    def request(method, target, cseq, extra=""):
        nonlocal buf
        sock.sendall(f"{method} {target} RTSP/1.0\r\nCSeq: {cseq}\r\n{extra}\r\n".encode())
        while b"\r\n\r\n" not in buf:
            chunk = sock.recv(65536)
            if not chunk:
                raise RuntimeError(f"{method}: connection closed")
            buf += chunk
        head, _, buf = buf.partition(b"\r\n\r\n")
        text = head.decode("latin-1")
        m = re.search(r"(?im)^content-length:\s*(\d+)", text)
        length = int(m.group(1)) if m else 0
        while len(buf) < length:
            chunk = sock.recv(65536)
            if not chunk:
                raise RuntimeError(f"{method}: connection closed")
            buf += chunk
        body, buf = buf[:length], buf[length:]
        if " 200 " not in text.splitlines()[0] + " ":
            raise RuntimeError(f"{method}: {text.splitlines()[0]}")
        return text, body.decode("latin-1")

    try:
        _, sdp = request("DESCRIBE", url, 1, "Accept: application/sdp\r\n")
        control = re.search(r"(?m)^a=control:(\S+)", sdp.split("m=video", 1)[-1])
        track = control.group(1) if control else ""
        target = track if track.startswith("rtsp://") else url.rstrip("/") + "/" + track
        head, _ = request("SETUP", target, 2, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n")
        session = re.search(r"(?im)^session:\s*([^;\r\n]+)", head).group(1)
        request("PLAY", url, 3, f"Session: {session}\r\n")
        packets = markers = 0
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            while len(buf) >= 4 and buf[0:1] == b"$":
                size = int.from_bytes(buf[2:4], "big")
                if len(buf) < 4 + size:
                    break
                if buf[1] == 0 and size >= 12:
                    packets += 1
                    markers += 1 if buf[5] & 0x80 else 0
                buf = buf[4 + size:]
            if buf and buf[0:1] != b"$":  # an RTSP message between the packets
                cut = buf.find(b"$")
                buf = buf[cut:] if cut >= 0 else b""
            chunk = sock.recv(262144)
            if not chunk:
                break
            buf += chunk
    finally:
        sock.close()
    if markers < 10:
        raise RuntimeError(f"stream measurement: {packets} packets, {markers} pictures")
    return packets / markers


class Phase:
    def __init__(self, kind, transport, clients):
        self.kind = kind
        self.transport = transport
        self.clients = clients
        self.children = []
        self.frames = None  # None: the client kind does not report frames
        self.wall = 0.0
        self.camsim_cpu = None
        self.syscalls = None  # (count, window seconds)
        self.window = None  # (context switches, CPU seconds, window seconds) of the threads
        self.notes = []

    def cpu(self):
        return sum(c.cpu_seconds() or 0.0 for c in self.children)

    def context_switches(self):
        return sum(c.rusage.ru_nvcsw + c.rusage.ru_nivcsw for c in self.children if c.rusage)

    def peak_rss_mb(self):
        """Largest peak RSS of one client process, and the sum over the processes (MB)."""
        peaks = [c.rusage.ru_maxrss / 1024.0 for c in self.children if c.rusage]
        return (max(peaks), sum(peaks)) if peaks else (None, None)


class SyscallCounter:
    """Counts the system calls of the clients over a window in the middle of a phase."""

    def __init__(self, tool, workdir):
        self.tool = tool
        self.workdir = workdir

    def count(self, pids, seconds, tag):
        if self.tool == "perf":
            argv = ["perf", "stat", "-x,", "-e", "raw_syscalls:sys_enter", "-p",
                    ",".join(str(p) for p in pids), "--", "sleep", str(seconds)]
            r = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                               timeout=seconds + 30)
            for line in r.stderr.decode(errors="replace").splitlines():
                fields = line.split(",")
                if len(fields) > 2 and fields[2] == "raw_syscalls:sys_enter":
                    return int(fields[0]) if fields[0].isdigit() else 0
            return None
        if self.tool == "strace":
            out = os.path.join(self.workdir, f"strace-{tag}.txt")
            argv = ["strace", "-f", "-c", "-o", out]
            for p in pids:
                argv += ["-p", str(p)]
            child = Child(f"strace-{tag}", argv, out + ".stdout", out + ".stderr")
            time.sleep(seconds)
            child.stop(signal.SIGINT, grace=10.0)
            try:
                with open(out) as f:
                    for line in f:
                        if line.rstrip().endswith("total"):
                            return int(line.split()[2])
            except (OSError, ValueError, IndexError):
                pass
            return None
        return None


def run_tollivar(args, ph, ports, workdir, counter):
    rtsp_port, http_port = ports
    tag = f"{ph.transport}-c{ph.clients}"
    argv = [args.host, "record", "--address", ADDRESS, "--port", str(http_port),
            "--rtsp-port", str(rtsp_port), "--codec", "h264", "--width", str(WIDTH),
            "--height", str(HEIGHT), "--fps", str(FPS),
            "--transport", "udp" if ph.transport == "udp" else "rtsp",
            "--channels", str(ph.clients), "--seconds", str(args.duration),
            "--out", os.path.join(workdir, f"tollivar-{tag}.h264"), "--quiet", "--json"]
    c = Child("tollivar-host", argv, os.path.join(workdir, f"tollivar-{tag}.out"),
              os.path.join(workdir, f"tollivar-{tag}.err"))
    ph.children.append(c)
    count_syscalls(args, ph, counter, c.started + args.duration)
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
    # Frames after each channel's first (key) frame against what 25 fps gives over the span
    # from it to the channel's last frame: loss in the steady state, without the start-up.
    ph.after_key = [0, 0]
    for ch in summary.get("channels", []):
        first, last = ch.get("first_frame_ms", -1), ch.get("last_frame_ms", -1)
        if first >= 0 and last >= first:
            ph.after_key[0] += ch.get("frames", 0)
            ph.after_key[1] += round((last - first) * FPS / 1000.0) + 1
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


def syscall_window(duration):
    """Start offset and length of the counting window: the middle third, at most 5 s."""
    length = max(1.0, min(5.0, duration / 3.0))
    return (duration - length) / 2.0, length


def count_syscalls(args, ph, counter, end):
    if counter.tool == "off":
        return
    offset, length = syscall_window(args.duration)
    start = min(c.started for c in ph.children)
    time.sleep(max(0.0, start + offset - time.monotonic()))
    pids = [c.pid for c in ph.children if not c.poll()]
    if not pids or time.monotonic() + length > end:
        return
    before = thread_counters_now(pids)
    n = counter.count(pids, length, f"{ph.kind}-{ph.transport}-c{ph.clients}")
    after = thread_counters_now(pids)
    if n is not None:
        ph.syscalls = (n, length)
    if counter.tool == "perf" and before is not None and after is not None:
        # strace stops the threads at every call and would add switches and CPU of its own.
        # Threads that end inside the window take their counts with them; in the steady state
        # no client thread ends.
        ph.window = (max(0, after[0] - before[0]), max(0, after[1] - before[1]) / 1e9, length)


def thread_counters_now(pids):
    """Context switches (voluntary + involuntary, from status) and CPU time (ns, the first
    field of schedstat) summed over every thread of the processes, from /proc."""
    switches, cpu_ns = 0, 0
    for pid in pids:
        try:
            tasks = os.listdir(f"/proc/{pid}/task")
        except OSError:
            return None
        for task in tasks:
            try:
                with open(f"/proc/{pid}/task/{task}/status") as f:
                    for line in f:
                        if line.startswith(("voluntary_ctxt_switches:",
                                            "nonvoluntary_ctxt_switches:")):
                            switches += int(line.split()[1])
                with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                    cpu_ns += int(f.read().split()[0])
            except (OSError, ValueError, IndexError):
                pass  # the thread ended meanwhile
    return switches, cpu_ns


def run_timed(ph, argvs, args, workdir, stop_signal, counter):
    tag = f"{ph.kind}-{ph.transport}-c{ph.clients}"
    for i, argv in enumerate(argvs):
        ph.children.append(Child(f"{ph.kind}{i}", argv, os.path.join(workdir, f"{tag}-{i}.out"),
                                 os.path.join(workdir, f"{tag}-{i}.err")))
    start = min(c.started for c in ph.children)
    end = start + args.duration
    count_syscalls(args, ph, counter, end)
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


def run_ffmpeg(args, ph, ports, workdir, counter):
    url = f"rtsp://{ADDRESS}:{ports[0]}/"
    argv = ["ffmpeg", "-nostdin", "-rtsp_transport", ph.transport, "-i", url, "-c", "copy",
            "-f", "null", "-"]
    run_timed(ph, [argv] * ph.clients, args, workdir, signal.SIGTERM, counter)
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


def run_gstreamer(args, ph, ports, workdir, counter):
    url = f"rtsp://{ADDRESS}:{ports[0]}/"
    # fpsdisplaysink around the fakesink reports the pictures it got ("rendered: N") under -v.
    argv = ["gst-launch-1.0", "-v", "rtspsrc", f"location={url}", f"protocols={ph.transport}",
            "!", "rtph264depay", "!", "fpsdisplaysink", "video-sink=fakesink",
            "text-overlay=false", "sync=false"]
    # gst-launch turns SIGINT into an orderly stop (rtspsrc sends TEARDOWN); SIGTERM would not.
    run_timed(ph, [argv] * ph.clients, args, workdir, signal.SIGINT, counter)
    frames = 0
    for c in ph.children:
        counts = re.findall(r"rendered: (\d+)", c.stderr_text() + c.stdout_text())
        frames += int(counts[-1]) if counts else 0
    ph.frames = frames
    return ph


def run_handover(args, clients, transport):
    """bench_handover for one group: its JSON record, with "exit" set to its exit status."""
    seconds = min(args.duration, 10)
    argv = [args.handover, "--channels", str(clients), "--transport", transport,
            "--seconds", str(seconds), "--json"]
    try:
        done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=seconds + 60)
    except subprocess.TimeoutExpired:
        return {"error": f"no result within {seconds + 60} s"}
    for line in reversed(done.stdout.splitlines()):
        if line.startswith("{"):
            record = json.loads(line)
            record["exit"] = done.returncode
            return record
    return {"error": f"exit {done.returncode}: {done.stderr.strip()[-200:]}"}


def handover_line(clients, transport, record):
    head = f"hand-over latency (bench_handover, in-process sender, C={clients}, {transport})"
    if "error" in record:
        return f"{head}: {record['error']}"
    share = 100.0 * record["delivered"] / record["expected"] if record.get("expected") else 0.0
    line = (f"{head}: p50 {record['p50_ms']:.2f} ms, p90 {record['p90_ms']:.2f} ms, "
            f"p99 {record['p99_ms']:.2f} ms, max {record['max_ms']:.2f} ms; frames {share:.1f} %")
    if record["out_of_order"]:
        line += f", {record['out_of_order']} out of order"
    if record["exit"] != 0:
        line += f" (exit {record['exit']}: too few frames or order broken)"
    return line


def fmt(value, style, missing="n/a"):
    return missing if value is None else format(value, style)


def pick_syscall_tool(wanted):
    def works(argv):
        try:
            return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=20).returncode == 0
        except (OSError, subprocess.TimeoutExpired):
            return False
    if wanted in ("auto", "perf") and shutil.which("perf") and works(
            ["perf", "stat", "-e", "raw_syscalls:sys_enter", "true"]):
        return "perf"
    if wanted in ("auto", "strace") and shutil.which("strace") and works(["strace", "-c", "true"]):
        return "strace"
    if wanted != "off":
        print(f"# no system call counts: {wanted} cannot count here "
              "(apt-get install linux-perf strace)", flush=True)
    return "off"


def int_list(text):
    return [int(v) for v in text.split(",") if v]


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-c", "--clients", type=int_list, default=[8],
                    help="concurrent streams, a comma-separated list such as 8,32 (default 8)")
    ap.add_argument("-d", "--duration", type=int, default=20,
                    help="seconds each client kind receives (default 20)")
    ap.add_argument("-r", "--rounds", type=int, default=1,
                    help="repeat the three kinds, interleaved, this many times (default 1)")
    ap.add_argument("-t", "--transports", default="udp,tcp",
                    help="udp, tcp (interleaved on the RTSP connection) or both (default udp,tcp)")
    ap.add_argument("--live", action="store_true",
                    help="the simulator's live x264 encoder instead of the pre-encoded clip")
    ap.add_argument("--syscalls", choices=("auto", "perf", "strace", "off"), default="auto",
                    help="how system calls are counted (default auto: perf, else strace)")
    ap.add_argument("--build", default=os.path.join(root, "build"),
                    help="build tree with tollivar-host and cnb-camsim (default <repo>/build)")
    ap.add_argument("--keep", action="store_true", help="keep the work directory (client logs)")
    ap.add_argument("--no-latency", action="store_true",
                    help="skip the hand-over latency run (bench_handover) after each group")
    args = ap.parse_args()
    args.transports = [t for t in args.transports.split(",") if t]
    args.latency = {}  # (C, transport): bench_handover's record
    if (not args.clients or not all(1 <= c <= 64 for c in args.clients)
            or not 3 <= args.duration <= 3600 or not 1 <= args.rounds <= 20
            or not args.transports or not set(args.transports) <= {"udp", "tcp"}):
        ap.error("-c must be 1..64 each, -d 3..3600, -r 1..20, -t udp and/or tcp")
    args.host = os.path.join(args.build, "tools", "host", "tollivar-host")
    args.camsim = os.path.join(args.build, "tools", "camsim", "cnb-camsim")
    for tool in (args.host, args.camsim):
        if not os.access(tool, os.X_OK):
            ap.error(f"{tool} is missing; build the targets tollivar tollivar-host cnb-camsim")
    args.handover = os.path.join(args.build, "bench", "bench_handover")
    if not args.no_latency and not os.access(args.handover, os.X_OK):
        ap.error(f"{args.handover} is missing; build the target bench_handover or pass "
                 "--no-latency")
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
    camsim, phases, status, ppf = None, [], 0, None
    try:
        counter = SyscallCounter(pick_syscall_tool(args.syscalls), workdir)
        camsim, rtsp_port, http_port = start_camsim(args, workdir)
        print(f"# camsim pid {camsim.pid} rtsp={rtsp_port} http={http_port} --shared "
              f"{'live encoder' if args.live else 'pre-encoded clip'}; clients {args.clients}, "
              f"{'/'.join(args.transports)}, {args.duration} s per client kind; load average "
              f"before: {os.getloadavg()[0]:.2f}, {os.cpu_count()} CPUs; system calls: "
              f"{counter.tool}", flush=True)
        check_1080p(ffprobe_stream(rtsp_port), "before the run")
        ppf = packets_per_frame(rtsp_port)
        print(f"# {ppf:.2f} RTP packets per picture", flush=True)
        initial = camsim_state(http_port)
        plan = [(c, t, r, run) for c in args.clients for t in args.transports
                for r in range(1, args.rounds + 1)
                for run in (run_tollivar, run_ffmpeg, run_gstreamer)]
        for i, (clients, transport, round_no, run) in enumerate(plan):
            time.sleep(2.0)  # lets the previous kind's sessions close
            ph = Phase(run.__name__[4:].replace("tollivar", "tollivar-host"), transport, clients)
            before = proc_cpu_seconds(camsim.pid)
            run(args, ph, (rtsp_port, http_port), workdir, counter)
            after = proc_cpu_seconds(camsim.pid)
            if before is not None and after is not None:
                ph.camsim_cpu = after - before
            state = camsim_state(http_port)
            changed = {k: (initial[k], state[k]) for k in ("codec", "width", "height", "fps",
                                                           "bitrate") if initial[k] != state[k]}
            if changed:
                ph.notes.append(f"camsim encoder settings changed {changed}")
            phases.append(ph)
            print(f"# C={clients} {transport} round {round_no} {ph.kind}: done in {ph.wall:.1f} s,"
                  f" cpu {ph.cpu():.2f} s, frames {fmt(ph.frames, 'd')}", flush=True)
            last_of_group = i + 1 == len(plan) or plan[i + 1][:2] != (clients, transport)
            if last_of_group and not args.no_latency:
                # After the group's CPU phases, with no client of them running.
                args.latency[(clients, transport)] = run_handover(args, clients, transport)
                print(f"# {handover_line(clients, transport, args.latency[(clients, transport)])}",
                      flush=True)
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

    if phases and ppf:
        report(args, phases, ppf)
    return status


def report(args, phases, ppf):
    """One table per C and transport; each kind summed over its complete rounds."""
    for clients in args.clients:
        for transport in args.transports:
            group = [ph for ph in phases if ph.clients == clients and ph.transport == transport]
            if group:
                report_group(args, group, clients, transport, ppf)
    for ph in phases:
        for note in ph.notes:
            print(f"note C={ph.clients} {ph.transport} {ph.kind}: {note}")


def report_group(args, phases, clients, transport, ppf):
    kinds = []
    for ph in phases:
        if ph.kind not in kinds:
            kinds.append(ph.kind)
    rounds = min(sum(1 for ph in phases if ph.kind == k) for k in kinds)
    expected = rounds * clients * args.duration * FPS
    print()
    print(f"{clients} x 1080p25 H.264 over RTP/{'UDP' if transport == 'udp' else 'TCP interleaved'}"
          f", {args.duration} s per kind and round, {rounds} round(s), at most {expected} frames "
          f"sent, {ppf:.2f} packets per frame")
    print(f"{'client':<14} {'cpu s':>7} {'frames':>7} {'frames %':>8} {'cpu us/pkt':>10} "
          f"{'syscalls/pkt':>12} {'ctxsw/pkt':>9} {'window: cpu us/pkt':>18} {'ctxsw/pkt':>9} "
          f"{'rss MB max/sum':>15} {'camsim cpu s':>12}")
    totals = {}
    for kind in kinds:
        runs = [ph for ph in phases if ph.kind == kind][:rounds]
        cpu = sum(ph.cpu() for ph in runs)
        frames = None if any(ph.frames is None for ph in runs) else sum(ph.frames for ph in runs)
        packets = frames * ppf if frames else None
        camsim = None if any(ph.camsim_cpu is None for ph in runs) else sum(
            ph.camsim_cpu for ph in runs)
        # System calls per packet over the counting windows, against the packets sent to the
        # clients meanwhile (they were all receiving by then).
        counted = [ph.syscalls for ph in runs if ph.syscalls]
        window_packets = sum(w * clients * FPS * ppf for _, w in counted)
        syscalls = sum(n for n, _ in counted) / window_packets if counted else None
        switches = sum(ph.context_switches() for ph in runs)
        # CPU and switches over the system-call window alone (the steady state, without
        # connecting and stopping), against the packets sent to the clients meanwhile.
        windows = [ph.window for ph in runs if ph.window]
        sent = sum(w * clients * FPS * ppf for _, _, w in windows)
        window_cpu = 1e6 * sum(c for _, c, _ in windows) / sent if windows else None
        window_switches = sum(n for n, _, _ in windows) / sent if windows else None
        rss = [ph.peak_rss_mb() for ph in runs if ph.peak_rss_mb()[0] is not None]
        rss_text = (f"{max(r[0] for r in rss):.0f}/{max(r[1] for r in rss):.0f}" if rss else "n/a")
        totals[kind] = (cpu, frames)
        print(f"{kind:<14} {cpu:>7.2f} {fmt(frames, 'd'):>7} "
              f"{fmt(100.0 * frames / expected if frames is not None else None, '.1f'):>8} "
              f"{fmt(1e6 * cpu / packets if packets else None, '.2f'):>10} "
              f"{fmt(syscalls, '.2f'):>12} "
              f"{fmt(switches / packets if packets else None, '.3f'):>9} "
              f"{fmt(window_cpu, '.2f'):>18} {fmt(window_switches, '.3f'):>9} {rss_text:>15} "
              f"{fmt(camsim, '.2f'):>12}")
    steady = [ph.after_key for ph in phases
              if ph.kind == "tollivar-host" and getattr(ph, "after_key", None)]
    if steady and sum(e for _, e in steady):
        got, want = sum(g for g, _ in steady), sum(e for _, e in steady)
        print(f"tollivar-host after each channel's first key frame: {got} frames of {want} at "
              f"{FPS} fps ({100.0 * got / want:.1f} %)")
    base_cpu, base_frames = totals.get("tollivar-host", (None, None))
    for kind in kinds:
        if kind == "tollivar-host":
            continue
        cpu, frames = totals[kind]
        line = f"ratio {kind}/tollivar-host: cpu {fmt(cpu / base_cpu if base_cpu else None, '.2f')}"
        if base_cpu and base_frames and frames:
            line += f", cpu per packet {(cpu / frames) / (base_cpu / base_frames):.2f}"
        print(line)
    if (clients, transport) in args.latency:
        print(handover_line(clients, transport, args.latency[(clients, transport)]))


if __name__ == "__main__":
    sys.exit(main())
