#!/usr/bin/python3
"""Captures real RTSP responses from GStreamer's RTSP server for the parser tests.

Runs three GstRtspServer instances on 127.0.0.1 (no authentication, Basic, Digest), sends
requests over a raw TCP socket and writes each response verbatim into this folder, after one
'#' line that says how it was produced. The interleaved capture keeps the raw bytes read after
PLAY (RTP and RTCP frames) in h264_interleaved.bin.

Usage: /usr/bin/python3 src/rtsp/testdata/capture.py   (needs python3-gi, gir1.2-gst-rtsp-server-1.0)
"""
import hashlib
import os
import socket
import threading
import time

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
gi.require_version("GstRtsp", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
HOST = "127.0.0.1"
USER, PASSWORD = "viewer", "secret"
PIPELINES = {
    "/h264": "videotestsrc is-live=true ! video/x-raw,width=320,height=240,framerate=10/1 ! "
             "x264enc tune=zerolatency key-int-max=10 bitrate=150 ! rtph264pay name=pay0 pt=96",
    "/mpeg4": "videotestsrc is-live=true ! video/x-raw,width=320,height=240,framerate=10/1 ! "
              "avenc_mpeg4 ! rtpmp4vpay name=pay0 pt=96 config-interval=1",
    "/jpeg": "videotestsrc is-live=true ! video/x-raw,width=320,height=240,framerate=10/1,"
             "format=I420 ! jpegenc ! rtpjpegpay name=pay0 pt=26",
}


def make_server(method):
    server = GstRtspServer.RTSPServer()
    server.set_address(HOST)
    server.set_service("0")
    mounts = server.get_mount_points()
    for path, launch in PIPELINES.items():
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch("( " + launch + " )")
        factory.set_shared(False)
        if method is not None:
            factory.add_role_from_structure(Gst.Structure.from_string(
                "user, media.factory.access=(boolean)true, media.factory.construct=(boolean)true")[0])
        mounts.add_factory(path, factory)
    if method is not None:
        auth = GstRtspServer.RTSPAuth()
        token = GstRtspServer.RTSPToken()
        token.set_string("media.factory.role", "user")
        basic = GstRtspServer.RTSPAuth.make_basic(USER, PASSWORD)
        auth.add_basic(basic, token)
        auth.add_digest(USER, PASSWORD, token)
        auth.set_supported_methods(method)
        server.set_auth(auth)
    server.attach(None)
    return server


class Client:
    def __init__(self, port):
        self.sock = socket.create_connection((HOST, port), timeout=5)
        self.buffer = b""
        self.cseq = 0

    def request(self, method, url, headers=()):
        self.cseq += 1
        lines = [f"{method} {url} RTSP/1.0", f"CSeq: {self.cseq}", *headers, "", ""]
        self.sock.sendall("\r\n".join(lines).encode())
        return self.read_response()

    def read_response(self):
        deadline = time.time() + 5
        while b"\r\n\r\n" not in self.buffer:
            if time.time() > deadline:
                raise TimeoutError("no response")
            self.buffer += self.sock.recv(65536)
        head, _, _ = self.buffer.partition(b"\r\n\r\n")
        length = 0
        for line in head.split(b"\r\n"):
            if line.lower().startswith(b"content-length:"):
                length = int(line.split(b":", 1)[1])
        total = len(head) + 4 + length
        while len(self.buffer) < total:
            if time.time() > deadline:
                raise TimeoutError("short body")
            self.buffer += self.sock.recv(65536)
        response, self.buffer = self.buffer[:total], self.buffer[total:]
        return response

    def read_raw(self, size, seconds):
        deadline = time.time() + seconds
        data, self.buffer = self.buffer, b""
        while len(data) < size and time.time() < deadline:
            try:
                data += self.sock.recv(65536)
            except socket.timeout:
                break
        return data[:size]


def save(name, how, data):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(b"# " + how.encode() + b"\n" + data)


def session_of(response):
    for line in response.split(b"\r\n"):
        if line.lower().startswith(b"session:"):
            return line.split(b":", 1)[1].strip().split(b";")[0].decode()
    raise ValueError("no session")


def capture(plain_port, basic_port, digest_port):
    how = "GStreamer 1.22 gst-rtsp-server on 127.0.0.1, captured by src/rtsp/testdata/capture.py"
    for path in PIPELINES:
        name = path.strip("/")
        c = Client(plain_port)
        url = f"rtsp://{HOST}:{plain_port}{path}"
        save(f"{name}_describe.txt", how + f": DESCRIBE {path}",
             c.request("DESCRIBE", url, ["Accept: application/sdp"]))

    # UDP session on the H.264 medium.
    c = Client(plain_port)
    url = f"rtsp://{HOST}:{plain_port}/h264"
    c.request("DESCRIBE", url, ["Accept: application/sdp"])
    setup = c.request("SETUP", url + "/stream=0",
                      ["Transport: RTP/AVP;unicast;client_port=3556-3557"])
    save("setup_udp.txt", how + ": SETUP RTP/AVP unicast", setup)
    session = session_of(setup)
    save("options.txt", how + ": OPTIONS in session",
         c.request("OPTIONS", url, [f"Session: {session}"]))
    save("teardown.txt", how + ": TEARDOWN", c.request("TEARDOWN", url, [f"Session: {session}"]))

    # Interleaved session: RTP on channel 0, RTCP on channel 1.
    c = Client(plain_port)
    c.request("DESCRIBE", url, ["Accept: application/sdp"])
    setup = c.request("SETUP", url + "/stream=0",
                      ["Transport: RTP/AVP/TCP;unicast;interleaved=0-1"])
    save("setup_interleaved.txt", how + ": SETUP RTP/AVP/TCP interleaved", setup)
    session = session_of(setup)
    play = c.request("PLAY", url, [f"Session: {session}", "Range: npt=0.000-"])
    save("play.txt", how + ": PLAY", play)
    # Long enough for the RTCP sender reports on channel 1 to show up between the RTP frames.
    stream = c.read_raw(256 * 1024, 7)
    with open(os.path.join(HERE, "h264_interleaved.bin"), "wb") as f:
        f.write(stream)

    # Challenges.
    for port, kind in ((basic_port, "basic"), (digest_port, "digest")):
        c = Client(port)
        url = f"rtsp://{HOST}:{port}/h264"
        save(f"{kind}_401.txt", how + f": DESCRIBE without credentials, {kind} authentication",
             c.request("DESCRIBE", url, ["Accept: application/sdp"]))

    # A DESCRIBE answered after the Digest challenge (RFC 2069 response, no qop).
    c = Client(digest_port)
    url = f"rtsp://{HOST}:{digest_port}/h264"
    challenge = c.request("DESCRIBE", url, ["Accept: application/sdp"]).decode()
    fields = {}
    for part in challenge.split("Digest", 1)[1].split("\r\n", 1)[0].split(","):
        key, _, value = part.strip().partition("=")
        fields[key] = value.strip('"')
    ha1 = hashlib.md5(f"{USER}:{fields['realm']}:{PASSWORD}".encode()).hexdigest()
    ha2 = hashlib.md5(f"DESCRIBE:{url}".encode()).hexdigest()
    digest = hashlib.md5(f"{ha1}:{fields['nonce']}:{ha2}".encode()).hexdigest()
    authorization = (f'Authorization: Digest username="{USER}", realm="{fields["realm"]}", '
                     f'nonce="{fields["nonce"]}", uri="{url}", response="{digest}"')
    save("digest_describe.txt", how + ": DESCRIBE with a Digest Authorization",
         c.request("DESCRIBE", url, ["Accept: application/sdp", authorization]))


def main():
    Gst.init(None)
    plain = make_server(None)
    basic = make_server(GstRtsp.RTSPAuthMethod.BASIC)
    digest = make_server(GstRtsp.RTSPAuthMethod.DIGEST)
    loop = GLib.MainLoop()
    thread = threading.Thread(target=loop.run, daemon=True)
    thread.start()
    try:
        capture(plain.get_bound_port(), basic.get_bound_port(), digest.get_bound_port())
    finally:
        loop.quit()
    print("captured into", HERE)


if __name__ == "__main__":
    main()
