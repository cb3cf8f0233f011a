#!/usr/bin/env python3
"""Regenerates the RTP fixtures of the depacketizer tests.

Each fixture is a file of RTP packets as they left a real packetizer (GStreamer's rtp*pay
elements or FFmpeg's RTP muxer): per packet a 2-byte big-endian length, then the packet.
The packetizer sends to a UDP socket of this script on 127.0.0.1; nothing leaves loopback.
Sidecars: <name>.sdp holds the session description the packetizer announced (FFmpeg's
-sdp_file, or the caps GStreamer printed), so tests can take sprop-parameter-sets from it.

Usage: make_fixtures.py [name...]   (no names: all fixtures; run from anywhere)
       make_fixtures.py --readme     (rewrites README.md only)
"""
import os
import re
import select
import socket
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MAX_PACKETS = 20000
MAX_SECONDS = 60

GST_SRC = "videotestsrc num-buffers={n} pattern=smpte ! video/x-raw,width={w},height={h},framerate=25/1"
FF_SRC = "-f lavfi -i testsrc2=size={w}x{h}:rate=25 -frames:v {n}"

# name, width, height, frames, tool, pipeline / arguments (PORT and SDP are filled in)
FIXTURES = [
    ("gst_h264_sdp_352x288", 352, 288, 30, "gst",
     GST_SRC + " ! x264enc key-int-max=10 bitrate=300 speed-preset=ultrafast tune=zerolatency"
     " ! rtph264pay config-interval=0 mtu=1400 ! udpsink host=127.0.0.1 port=PORT sync=true"),
    ("gst_h264_stapa_1280x720", 1280, 720, 25, "gst",
     GST_SRC + " ! x264enc key-int-max=10 bitrate=1500 speed-preset=ultrafast tune=zerolatency"
     " sliced-threads=false"
     " ! rtph264pay config-interval=-1 aggregate-mode=zero-latency mtu=1400"
     " ! udpsink host=127.0.0.1 port=PORT sync=true"),
    ("gst_h264_inband_1920x1080", 1920, 1080, 20, "gst",
     GST_SRC.replace("video/x-raw,", "video/x-raw,format=I420,") + " ! x264enc key-int-max=10 bitrate=3000 speed-preset=ultrafast"
     " ! rtph264pay config-interval=-1 mtu=1400 ! udpsink host=127.0.0.1 port=PORT sync=true"),
    ("gst_jpeg_640x480", 640, 480, 20, "gst",
     "videotestsrc num-buffers={n} pattern=smpte ! video/x-raw,format=I420,width={w},height={h},"
     "framerate=25/1 ! jpegenc quality=50 ! rtpjpegpay mtu=1400"
     " ! udpsink host=127.0.0.1 port=PORT sync=true"),
    ("gst_jpeg_1920x1080", 1920, 1080, 8, "gst",
     "videotestsrc num-buffers={n} pattern=smpte ! video/x-raw,format=I420,width={w},height={h},"
     "framerate=25/1 ! jpegenc quality=40 ! rtpjpegpay mtu=1400"
     " ! udpsink host=127.0.0.1 port=PORT sync=true"),
    ("gst_mpeg4_704x576", 704, 576, 30, "gst",
     GST_SRC + " ! avenc_mpeg4 gop-size=10 bitrate=800000 ! rtpmp4vpay config-interval=1 mtu=1400"
     " ! udpsink host=127.0.0.1 port=PORT sync=false"),
    ("ff_h264_1920x1080", 1920, 1080, 20, "ff",
     FF_SRC + " -c:v libx264 -preset ultrafast -g 10 -bf 0 -b:v 3M -pix_fmt yuv420p"
     " -f rtp -sdp_file SDP rtp://127.0.0.1:PORT?pkt_size=1400"),
    ("ff_h264_interlaced_720x576", 720, 576, 20, "ff",
     FF_SRC + " -c:v libx264 -preset ultrafast -g 10 -bf 0 -b:v 1M -pix_fmt yuv420p"
     " -flags +ildct+ilme -x264-params interlaced=1"
     " -f rtp -sdp_file SDP rtp://127.0.0.1:PORT?pkt_size=1400"),
    ("ff_mjpeg_352x288", 352, 288, 20, "ff",
     FF_SRC + " -c:v mjpeg -huffman default -pix_fmt yuvj420p -q:v 5"
     " -f rtp -sdp_file SDP rtp://127.0.0.1:PORT?pkt_size=1400"),
    ("gst_jpeg422_704x576", 704, 576, 10, "gst",
     "videotestsrc num-buffers={n} pattern=ball ! video/x-raw,format=Y42B,width={w},height={h},"
     "framerate=25/1 ! jpegenc quality=75 ! rtpjpegpay mtu=1400"
     " ! udpsink host=127.0.0.1 port=PORT sync=true"),
    ("ff_mjpeg_restart_1280x720", 1280, 720, 10, "ff",
     FF_SRC + " -c:v mjpeg -huffman default -pix_fmt yuvj420p -q:v 6 -threads 4 -slices 4"
     " -f rtp -sdp_file SDP rtp://127.0.0.1:PORT?pkt_size=1400"),
    ("ff_mpeg4_1280x720", 1280, 720, 25, "ff",
     FF_SRC + " -c:v mpeg4 -g 10 -bf 0 -b:v 2M"
     " -f rtp -sdp_file SDP rtp://127.0.0.1:PORT?pkt_size=1400"),
]


def capture(name, w, h, n, tool, template):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sdp_path = os.path.join(HERE, name + ".sdp")
    text = template.format(w=w, h=h, n=n).replace("PORT", str(port)).replace("SDP", sdp_path)
    if tool == "gst":
        argv = ["gst-launch-1.0", "-v"] + text.split()
        made = "gst-launch-1.0 " + text.replace(str(port), "<port>")
    else:
        argv = ["ffmpeg", "-nostdin", "-v", "error", "-re", "-y"] + text.split()
        made = "ffmpeg -re " + text.replace(str(port), "<port>").replace(sdp_path, name + ".sdp")
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    packets = []
    deadline = time.time() + MAX_SECONDS
    quiet_since = None
    while time.time() < deadline and len(packets) < MAX_PACKETS:
        ready, _, _ = select.select([sock], [], [], 0.2)
        if ready:
            packets.append(sock.recv(65536))
            quiet_since = None
            continue
        if proc.poll() is not None:
            if quiet_since is None:
                quiet_since = time.time()
            elif time.time() - quiet_since > 0.5:
                break
    if proc.poll() is None:
        proc.terminate()
    output = proc.communicate(timeout=10)[0].decode(errors="replace")
    sock.close()
    if not packets:
        raise SystemExit(f"{name}: no packets\n{output}")
    seqs = [struct.unpack(">H", p[2:4])[0] for p in packets]
    for a, b in zip(seqs, seqs[1:]):
        if (a + 1) & 0xFFFF != b:
            raise SystemExit(f"{name}: packets lost or reordered on loopback ({a} -> {b}); run again")
    with open(os.path.join(HERE, name + ".rtp"), "wb") as f:
        for p in packets:
            f.write(struct.pack(">H", len(p)) + p)
    if tool == "gst":
        caps = re.findall(r"application/x-rtp[^\n]*", output)
        with open(sdp_path, "w") as f:
            f.write((caps[-1] if caps else "") + "\n")
    markers = sum(1 for p in packets if p[1] & 0x80)
    print(f"{name}: {len(packets)} packets, {markers} marker packets")
    return made


NOTES = """
Notes on the packetizers' output, and what the tests do with it:
- x264enc repeats SPS and PPS in-band before every IDR picture even with config-interval=0;
  the tests drop those packets from `gst_h264_sdp_352x288` (renumbering the rest) and take the
  parameter sets from `sprop-parameter-sets` in its `.sdp`.
- videotestsrc hands x264enc 4:4:4 unless told otherwise: `gst_h264_sdp_352x288` and
  `gst_h264_stapa_1280x720` are High 4:4:4 Predictive streams; the others are 4:2:0.
- `ff_mjpeg_restart_1280x720`: the slice-threaded encoder puts an RSTn marker after every MCU
  row (restart interval 80), but FFmpeg 5.1's RTP muxer sends type 1 without the interval. The
  tests rewrite it as RFC 2435 intends: type 65 with a restart marker header in every fragment.
- FFmpeg's MJPEG packets carry one 64-byte quantization table (luma and chroma share it).
"""


def main():
    if sys.argv[1:] == ["--readme"]:
        sys.argv = sys.argv[:1] + ["--none--"]
    wanted = set(sys.argv[1:])
    readme = os.path.join(HERE, "README.md")
    lines = {}
    if os.path.exists(readme):
        for line in open(readme):
            m = re.match(r"- `(\w+)\.rtp`", line)
            if m:
                lines[m.group(1)] = line.rstrip("\n")
    for fx in FIXTURES:
        if wanted and fx[0] not in wanted:
            continue
        made = capture(*fx)
        lines[fx[0]] = f"- `{fx[0]}.rtp` ({fx[1]}x{fx[2]}): `{made}`"
    with open(readme, "w") as f:
        f.write("# RTP fixtures of the depacketizer tests\n\n"
                "Made by `make_fixtures.py` (GStreamer 1.22 / FFmpeg 5.1 on Debian 12), sent over\n"
                "127.0.0.1 to the script. Format: per packet a 2-byte big-endian length, then the RTP\n"
                "packet as sent. `<name>.sdp` is the description the packetizer announced.\n\n")
        for name in sorted(lines):
            f.write(lines[name] + "\n")
        f.write(NOTES)


if __name__ == "__main__":
    main()
