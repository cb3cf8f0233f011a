#!/usr/bin/env python3
"""Runs tollivar-host.exe (the reference host, built for Windows) under Wine against cnb-camsim on
127.0.0.1: raw recordings checked with ffmpeg, a capability query, an alarm output change and a
preset save and recall; exit 1 on any failure, 77 when the simulator has not been built.

  host_exe_test.py --exe tollivar-host.exe --dll tollivar.dll --camsim cnb-camsim
                   [--wine scripts/wine-run] [--wine-prefix DIR] [--keep]
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from msvc_host_test import (PASSWORD, USER, alarm_checks, ffmpeg_check, parse_args,  # noqa: E402
                            ptz_checks, run)

FPS = 25
PRESETS = "hostexe"


def login(cam):
    return ["--address", "127.0.0.1", "--port", cam.http, "--user", USER, "--password", PASSWORD]


def case_record(host, cam, codec, transport, seconds=4):
    fmt = {"h264": "h264", "mjpeg": "mjpeg"}[codec]
    out = os.path.join(host.folder, "out." + fmt)
    host.run(["record", *login(cam), "--rtsp-port", cam.rtsp, "--codec", codec, "--transport",
              transport, "--fps", str(FPS), "--seconds", str(seconds), "--out", out, "--quiet"],
             timeout=seconds + 60)
    error, frames = ffmpeg_check(out, fmt) if os.path.exists(out) else ("no file", -1)
    setups = [r.get("transport", "") for r in cam.requests()
              if r["proto"] == "rtsp" and r["method"] == "SETUP" and r["status"] == 200]
    over_tcp = transport != "udp"
    # Over UDP the driver first listens 2 s for a quiet port, inside the recording time.
    expected = FPS * (seconds - (0 if over_tcp else 2))
    return [
        (0.7 * expected <= frames <= FPS * (seconds + 1), f"{frames} frames in {seconds} s"),
        (not error, "decoding: " + error),
        (len(setups) == 1 and ("/TCP" in setups[0]) == over_tcp, f"SETUP transports {setups}"),
    ], f"{frames} frames decoded"


def case_probe(host, cam):
    host.run(["probe", *login(cam)], timeout=90)
    return [("CNB-IXP2050" in host.out, "no model in: " + host.out.strip()[-200:]),
            ("1920x1080" in host.out, "no 1920x1080 among the sizes")], "model and sizes"


def case_io(host, cam):
    host.run(["io", *login(cam), "--inputs", "2", "--outputs", "1", "--set", "0=0", "--set", "0=1",
              "--watch", "3"], timeout=60)
    return alarm_checks(cam)


def case_ptz(host, cam):
    script = os.path.join(host.folder, "tour.txt")
    with open(script, "w") as f:
        f.write("preset save Door\nmove left --speed 16 --for 1\npreset go Door\n")
    host.run(["ptz", *login(cam), "--presets", PRESETS, "--script", script], timeout=60)
    return ptz_checks(host, cam, PRESETS, ["100/1", "65", "255", "102/1"])


CASES = [
    ("record H.264 over UDP", case_record, dict(codec="h264", transport="udp")),
    ("record H.264 over RTSP interleaved", case_record, dict(codec="h264", transport="rtsp")),
    ("record MJPEG over UDP", case_record, dict(codec="mjpeg", transport="udp")),
    ("probe", case_probe, {}),
    ("io: alarm output", case_io, {}),
    ("ptz: preset save and recall", case_ptz, {}),
]

if __name__ == "__main__":
    sys.exit(run(parse_args(), CASES, warm_up_exit=2))
