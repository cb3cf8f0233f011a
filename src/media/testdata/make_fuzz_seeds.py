#!/usr/bin/env python3
"""Writes seed inputs for fuzz_h264_parser, fuzz_jpeg_parser and fuzz_mpeg4_parser from the
RTP fixtures here, in the record format of src/media/testing/packet_sequence_feeder.h: per packet a
flags byte (bit 0 marker, bit 3 new timestamp), a length byte and the payload's first bytes.
Usage: make_fuzz_seeds.py (writes into fuzz/corpus/ of the repository)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "..", "..", "..", "fuzz", "corpus")


def packets(name):
    data = open(os.path.join(HERE, name + ".rtp"), "rb").read()
    pos, out = 0, []
    while pos + 2 <= len(data):
        (n,) = struct.unpack(">H", data[pos:pos + 2])
        out.append(data[pos + 2:pos + 2 + n])
        pos += 2 + n
    return out


def records(pkts, count, keep):
    out = bytearray()
    last_ts = None
    for p in pkts[:count]:
        payload = p[12:12 + keep]
        ts = p[4:8]
        flags = (1 if p[1] & 0x80 else 0) | (8 if ts != last_ts else 0)
        last_ts = ts
        out += bytes([flags, len(payload)]) + payload
    return bytes(out)


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    for fixture in ["gst_h264_sdp_352x288", "gst_h264_stapa_1280x720", "ff_h264_1920x1080"]:
        write("fuzz_h264_parser", fixture, b"\x00" + records(packets(fixture), 40, 255))
    # Session-description parameter sets, then IDR fragments without in-band ones.
    sps = bytes.fromhex("67f4000d90d96816096c052830303200000300020000030065 1e285540".replace(" ", ""))
    pps = bytes.fromhex("68ce3192")
    idr = bytes([0, 4, 0x7C, 0x85, 0x88, 0x80, 0x09, 4, 0x7C, 0x45, 0x01, 0x02])
    write("fuzz_h264_parser", "sdp_parameter_sets",
          b"\x01" + bytes([len(sps)]) + sps + bytes([len(pps)]) + pps + idr)
    # The same sets, then a type-5 unit whose slice header does not open a picture
    # (first_mb_in_slice 1), then one that does.
    noise = bytes([0x65, 0x42, 0x20, 0x33])
    good = bytes([0x65, 0x88, 0x84, 0x00, 0x33])
    write("fuzz_h264_parser", "sdp_parameter_sets_noise_idr",
          b"\x01" + bytes([len(sps)]) + sps + bytes([len(pps)]) + pps
          + bytes([9, len(noise)]) + noise + bytes([9, len(good)]) + good)
    # In-band parameter sets whose SPS has level_idc 0, in front of an IDR slice.
    bad_sps = bytes.fromhex("6742c000da01e0089f97016a020202800000030080000019478c1950")
    write("fuzz_h264_parser", "inband_sps_level_zero",
          b"\x00" + bytes([0, len(bad_sps)]) + bad_sps + bytes([0, 4]) + bytes.fromhex("68ce3c80")
          + bytes([9, len(good)]) + good)
    for fixture in ["gst_jpeg_640x480", "ff_mjpeg_352x288", "gst_jpeg422_704x576"]:
        write("fuzz_jpeg_parser", fixture, records(packets(fixture), 30, 255))
    # A small Q=50 picture that is delivered: 8-byte header, then 16 x 60 bytes of scan data.
    scan = bytes((i * 7) % 254 for i in range(60))
    write("fuzz_jpeg_parser", "q50_picture", bytes([0x19, 68]) + bytes([0, 0, 0, 0, 1, 50, 8, 8]) + scan)
    for fixture in ["gst_mpeg4_704x576", "ff_mpeg4_1280x720"]:
        write("fuzz_mpeg4_parser", fixture, records(packets(fixture), 40, 255))


if __name__ == "__main__":
    main()
