#!/usr/bin/env python3
"""faultrelay: a network fault relay between an RTSP client and a camera, on loopback.

RTSP (TCP): every client connection is proxied to the camera byte for byte, except the Transport
header of SETUP and its answer: for RTP over UDP the relay puts its own port pairs there
(client_port towards the camera, server_port towards the client), so that RTP and RTCP pass
through it in both directions. RTP interleaved on the RTSP connection passes unchanged. A
connection can be cut (both sides closed) after a time or a number of bytes from the camera.

UDP: RTP from the camera to the client gets the faults: loss, duplication, adjacent swaps and a
delay with jitter (a jitter larger than the packet spacing reorders too). RTCP and the client's
packets to the camera pass unchanged.

Loopback only: it listens on 127.0.0.1 and refuses other targets. Prints
"faultrelay ready rtsp=PORT" when it listens, one line per connection and cut, and on SIGTERM or
SIGINT a JSON line with its counters, then exits with 0; SIGUSR1 prints the counters and goes on.
"""

import argparse
import heapq
import ipaddress
import json
import random
import re
import selectors
import signal
import socket
import sys
import time

LISTEN_ADDRESS = "127.0.0.1"
MAX_HEADER_BYTES = 64 * 1024      # an RTSP message head larger than this ends the connection
MAX_PENDING_BYTES = 8 << 20       # per direction: a peer that does not read is cut off
REORDER_HOLD_S = 0.05             # a held packet leaves after this even without a successor
UDP_BUFFER_BYTES = 4 << 20
TRANSPORT_RE = re.compile(rb"(?im)^(transport[ \t]*:[ \t]*)([^\r\n]*)")
CSEQ_RE = re.compile(rb"(?im)^cseq[ \t]*:[ \t]*(\d+)")
LENGTH_RE = re.compile(rb"(?im)^content-length[ \t]*:[ \t]*(\d+)")
PORTS_RE = {name: re.compile(name.encode() + rb"=(\d+)(?:-(\d+))?") for name in
            ("client_port", "server_port")}


class Stats(dict):
    def add(self, key, n=1):
        self[key] = self.get(key, 0) + n


class Faults:
    def __init__(self, args, stats):
        self.loss = args.loss / 100.0
        self.dup = args.dup / 100.0
        self.reorder = args.reorder / 100.0
        self.delay = args.delay_ms / 1000.0
        self.jitter = args.jitter_ms / 1000.0
        self.rng = random.Random(args.seed)
        self.stats = stats


class Scheduler:
    """Datagrams due at a time (delay, jitter, held reorders), sent from the main loop."""

    def __init__(self):
        self.heap = []
        self.order = 0

    def at(self, when, action):
        self.order += 1
        heapq.heappush(self.heap, (when, self.order, action))

    def run_due(self, now):
        while self.heap and self.heap[0][0] <= now:
            heapq.heappop(self.heap)[2]()

    def timeout(self, now):
        return None if not self.heap else max(0.0, self.heap[0][0] - now)


def bind_pair():
    """Two UDP sockets on consecutive ports, the first even (RFC 3550 section 11)."""
    for _ in range(200):
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        probe.bind((LISTEN_ADDRESS, 0))
        port = probe.getsockname()[1] & ~1
        probe.close()
        socks = []
        try:
            for p in (port, port + 1):
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                socks.append(s)
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, UDP_BUFFER_BYTES)
                s.bind((LISTEN_ADDRESS, p))
                s.setblocking(False)
            return socks
        except OSError:
            for s in socks:
                s.close()
    raise OSError("no free UDP port pair")


class UdpPath:
    """One SETUP over UDP: camera-facing and client-facing socket pairs."""

    def __init__(self, relay, client_addr, client_ports):
        self.relay = relay
        self.client_addr = client_addr
        self.client_ports = client_ports
        self.camera_ports = None  # from the answer's server_port
        self.camera_side = bind_pair()
        self.client_side = bind_pair()
        self.held = None  # an RTP packet waiting for its successor (adjacent swap)
        for i in range(2):
            relay.sel.register(self.camera_side[i], selectors.EVENT_READ, (self.from_camera, i))
            relay.sel.register(self.client_side[i], selectors.EVENT_READ, (self.from_client, i))

    def camera_facing_ports(self):
        return self.camera_side[0].getsockname()[1], self.camera_side[1].getsockname()[1]

    def client_facing_ports(self):
        return self.client_side[0].getsockname()[1], self.client_side[1].getsockname()[1]

    def send_to_client(self, i, data):
        try:
            self.client_side[i].sendto(data, (self.client_addr, self.client_ports[i]))
        except OSError:
            self.relay.stats.add("udp_send_errors")

    def from_camera(self, i, _mask=0):
        for _ in range(64):  # drain what is there, a bounded batch per wake-up
            try:
                data, _ = self.camera_side[i].recvfrom(65536)
            except (BlockingIOError, InterruptedError):
                return
            except OSError:
                return
            if i == 1:
                self.relay.stats.add("rtcp")
                self.send_to_client(1, data)
                continue
            self.rtp(data)

    def rtp(self, data):
        f, stats = self.relay.faults, self.relay.stats
        stats.add("rtp_in")
        if len(data) >= 12 and data[1] & 0x80:
            stats.add("rtp_markers")  # the last packet of a picture (RFC 3550 section 5.1)
        if f.loss and f.rng.random() < f.loss:
            stats.add("rtp_lost")
            return
        copies = 1
        if f.dup and f.rng.random() < f.dup:
            stats.add("rtp_duplicated")
            copies = 2
        if self.held is None and f.reorder and f.rng.random() < f.reorder:
            stats.add("rtp_swapped")
            self.held = (data, copies)
            held = self.held
            self.relay.scheduler.at(time.monotonic() + REORDER_HOLD_S,
                                    lambda: self.release(held))
            return
        self.emit(data, copies)
        if self.held is not None:
            held, self.held = self.held, None
            self.emit(*held)

    def release(self, held):
        if self.held is held:
            self.held = None
            self.emit(*held)

    def emit(self, data, copies):
        f = self.relay.faults
        for _ in range(copies):
            if f.delay or f.jitter:
                wait = max(0.0, f.delay + f.rng.uniform(-f.jitter, f.jitter))
                self.relay.scheduler.at(time.monotonic() + wait,
                                        lambda d=data: self.send_to_client(0, d))
            else:
                self.send_to_client(0, data)
            self.relay.stats.add("rtp_out")

    def from_client(self, i, _mask=0):
        for _ in range(64):
            try:
                data, _ = self.client_side[i].recvfrom(65536)
            except (BlockingIOError, InterruptedError):
                return
            except OSError:
                return
            if self.camera_ports:
                try:
                    self.camera_side[i].sendto(data, (self.relay.target[0], self.camera_ports[i]))
                except OSError:
                    self.relay.stats.add("udp_send_errors")

    def close(self):
        for s in self.camera_side + self.client_side:
            self.relay.sel.unregister(s)
            s.close()


def rewrite_ports(transport, name, ports):
    return PORTS_RE[name].sub(f"{name}={ports[0]}-{ports[1]}".encode(), transport, count=1)


def parse_ports(transport, name):
    m = PORTS_RE[name].search(transport)
    if not m:
        return None
    first = int(m.group(1))
    return first, int(m.group(2)) if m.group(2) else first + 1


class Direction:
    """One direction of an RTSP connection: bytes in, whole messages and interleaved frames out."""

    def __init__(self):
        self.buf = b""

    def messages(self, data):
        self.buf += data
        while self.buf:
            if self.buf[:1] == b"$":  # RFC 2326 section 10.12: '$', channel, 16-bit length
                if len(self.buf) < 4:
                    return
                size = 4 + int.from_bytes(self.buf[2:4], "big")
                if len(self.buf) < size:
                    return
                yield None, self.buf[:size]
                self.buf = self.buf[size:]
                continue
            end = self.buf.find(b"\r\n\r\n")
            if end < 0:
                if len(self.buf) > MAX_HEADER_BYTES:
                    raise ValueError("message head too long")
                return
            head = self.buf[:end + 4]
            m = LENGTH_RE.search(head)
            size = end + 4 + (int(m.group(1)) if m else 0)
            if len(self.buf) < size:
                return
            yield head, self.buf[end + 4:size]
            self.buf = self.buf[size:]


class Connection:
    def __init__(self, relay, client, number):
        self.relay = relay
        self.number = number
        self.client = client
        self.camera = socket.create_connection(relay.target, timeout=5.0)
        for s in (self.client, self.camera):
            s.setblocking(False)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.up = Direction()    # client -> camera
        self.down = Direction()  # camera -> client
        self.out = {self.client: bytearray(), self.camera: bytearray()}
        self.pending_setups = {}  # CSeq -> UdpPath waiting for its answer
        self.paths = []
        self.bytes_down = 0
        self.opened = time.monotonic()
        self.cut_here = relay.cuts_left != 0
        if self.cut_here and relay.cuts_left > 0:
            relay.cuts_left -= 1
        if self.cut_here and relay.args.cut_after_seconds:
            relay.scheduler.at(self.opened + relay.args.cut_after_seconds,
                               lambda: self.cut("time"))
        self.closed = False
        self.muted = False  # --mute-after-play: the camera hears no request after PLAY
        relay.sel.register(self.client, selectors.EVENT_READ, (self.ready, self.client))
        relay.sel.register(self.camera, selectors.EVENT_READ, (self.ready, self.camera))

    def readable(self, sock):
        try:
            data = sock.recv(262144)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if not data:
            self.close("closed by the " + ("client" if sock is self.client else "camera"))
            return
        try:
            if sock is self.client:
                for head, body in self.up.messages(data):
                    self.queue(self.camera, self.upstream(head, body))
            else:
                self.bytes_down += len(data)
                for head, body in self.down.messages(data):
                    self.queue(self.client, self.downstream(head, body))
                limit = self.relay.args.cut_after_bytes
                if self.cut_here and limit and self.bytes_down >= limit:
                    self.cut("bytes")
        except ValueError as e:
            self.close(str(e))

    def upstream(self, head, body):
        if self.muted:
            self.relay.stats.add("muted_requests")
            return b""
        if head is None:
            return body
        if self.relay.args.mute_after_play and head.upper().startswith(b"PLAY "):
            self.muted = True
        m = TRANSPORT_RE.search(head)
        if head.upper().startswith(b"SETUP ") and m:
            transport = m.group(2)
            ports = parse_ports(transport, "client_port")
            cseq = CSEQ_RE.search(head)
            if ports and cseq and b"interleaved" not in transport.lower():
                path = UdpPath(self.relay, self.client.getpeername()[0], ports)
                self.paths.append(path)
                self.pending_setups[cseq.group(1)] = path
                transport = rewrite_ports(transport, "client_port", path.camera_facing_ports())
                head = head[:m.start(2)] + transport + head[m.end(2):]
                self.relay.stats.add("udp_setups")
        return head + body

    def downstream(self, head, body):
        if head is None:
            return body
        cseq = CSEQ_RE.search(head)
        path = self.pending_setups.pop(cseq.group(1), None) if cseq else None
        m = TRANSPORT_RE.search(head)
        if path and m:
            transport = m.group(2)
            path.camera_ports = parse_ports(transport, "server_port")
            transport = rewrite_ports(transport, "client_port", path.client_ports)
            if path.camera_ports:
                transport = rewrite_ports(transport, "server_port", path.client_facing_ports())
            head = head[:m.start(2)] + transport + head[m.end(2):]
        return head + body

    def queue(self, sock, data):
        if self.closed or not data:
            return
        out = self.out[sock]
        out += data
        if len(out) > MAX_PENDING_BYTES:
            self.close("peer does not read")
            return
        self.flush(sock)

    def flush(self, sock):
        out = self.out[sock]
        try:
            while out:
                n = sock.send(out)
                del out[:n]
        except (BlockingIOError, InterruptedError):
            pass
        except OSError:
            self.close("send failed")
            return
        events = selectors.EVENT_READ | (selectors.EVENT_WRITE if out else 0)
        self.relay.sel.modify(sock, events, (self.ready, sock))

    def ready(self, sock, mask=selectors.EVENT_READ):
        if mask & selectors.EVENT_WRITE and not self.closed:
            self.flush(sock)
        if mask & selectors.EVENT_READ and not self.closed:
            self.readable(sock)

    def cut(self, why):
        if self.closed:
            return
        self.relay.stats.add("cuts")
        print(f"faultrelay: connection {self.number} cut ({why}) after "
              f"{time.monotonic() - self.opened:.1f} s, {self.bytes_down} bytes", flush=True)
        for s in (self.client, self.camera):
            # A reset, as when a cable or a NAT entry goes: no orderly close.
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        self.close(None)

    def close(self, why):
        if self.closed:
            return
        self.closed = True
        if why:
            print(f"faultrelay: connection {self.number} {why}", flush=True)
        for s in (self.client, self.camera):
            try:
                self.relay.sel.unregister(s)
            except (KeyError, ValueError):
                pass
            s.close()
        for p in self.paths:
            p.close()
        self.paths = []
        self.relay.connections.discard(self)


class Relay:
    def __init__(self, args):
        self.args = args
        self.target = (args.target_address, args.target_port)
        self.stats = Stats()
        self.faults = Faults(args, self.stats)
        self.scheduler = Scheduler()
        self.sel = selectors.DefaultSelector()
        self.connections = set()
        self.cuts_left = args.cut_count if args.cut_count > 0 else -1
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((LISTEN_ADDRESS, args.listen_port))
        self.listener.listen(64)
        self.listener.setblocking(False)
        self.sel.register(self.listener, selectors.EVENT_READ, (self.accept, None))
        self.stopping = False
        self.report = False

    def accept(self, _arg, _mask=0):
        try:
            client, _ = self.listener.accept()
        except OSError:
            return
        self.stats.add("connections")
        try:
            conn = Connection(self, client, self.stats["connections"])
        except OSError as e:
            print(f"faultrelay: camera unreachable: {e}", flush=True)
            client.close()
            return
        self.connections.add(conn)
        print(f"faultrelay: connection {conn.number} opened", flush=True)

    def run(self):
        print(f"faultrelay ready rtsp={self.listener.getsockname()[1]}", flush=True)
        while not self.stopping:
            if self.report:
                self.report = False
                print(json.dumps(dict(sorted(self.stats.items()))), flush=True)
            now = time.monotonic()
            self.scheduler.run_due(now)
            timeout = self.scheduler.timeout(time.monotonic())
            for key, mask in self.sel.select(0.5 if timeout is None else min(timeout, 0.5)):
                handler, arg = key.data
                handler(arg, mask)
        for conn in list(self.connections):
            conn.close(None)
        print(json.dumps(dict(sorted(self.stats.items()))), flush=True)


def percent(text):
    value = float(text)
    if not 0.0 <= value <= 100.0:
        raise argparse.ArgumentTypeError("a percentage is 0..100")
    return value


def milliseconds(text):
    value = float(text)
    if not 0.0 <= value <= 10000.0:
        raise argparse.ArgumentTypeError("0..10000 ms")
    return value


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--listen-port", type=int, default=0, help="RTSP port (0: a free one)")
    ap.add_argument("--target-address", default="127.0.0.1", help="camera address (loopback)")
    ap.add_argument("--target-port", type=int, required=True, help="camera RTSP port")
    ap.add_argument("--loss", type=percent, default=0.0, help="RTP packets dropped, percent")
    ap.add_argument("--dup", type=percent, default=0.0, help="RTP packets sent twice, percent")
    ap.add_argument("--reorder", type=percent, default=0.0,
                    help="RTP packets swapped with the next one, percent")
    ap.add_argument("--delay-ms", type=milliseconds, default=0.0, help="RTP delay")
    ap.add_argument("--jitter-ms", type=milliseconds, default=0.0,
                    help="RTP delay varies by up to this much either way")
    ap.add_argument("--cut-after-seconds", type=float, default=0.0,
                    help="reset the RTSP connection this long after it opened")
    ap.add_argument("--cut-after-bytes", type=int, default=0,
                    help="reset the RTSP connection after this many bytes from the camera")
    ap.add_argument("--cut-count", type=int, default=1,
                    help="cut only the first N connections (0: every one; default 1)")
    ap.add_argument("--seed", type=int, default=None, help="random seed of the faults")
    ap.add_argument("--mute-after-play", action="store_true",
                    help="drop every RTSP request after PLAY (keep-alives, TEARDOWN): a camera "
                         "that streams on but answers no RTSP any more")
    args = ap.parse_args()
    if not ipaddress.ip_address(args.target_address).is_loopback:
        ap.error("the target must be a loopback address")
    if not 0 < args.target_port < 65536 or not 0 <= args.listen_port < 65536:
        ap.error("bad port")

    relay = Relay(args)

    def stop(_signum, _frame):
        relay.stopping = True
    def report(_signum, _frame):
        relay.report = True
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    signal.signal(signal.SIGUSR1, report)
    relay.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
