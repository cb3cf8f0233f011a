#pragma once

// Test doubles and helpers shared by the depacketizer tests: a host frame factory that records
// what the parsers write, a driver that hands it out, a client that keeps the frames, and the
// reader of the RTP fixtures in testdata/.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/testing/fake_driver.h"
#include "core/idriver.h"
#include "media/media_parser_client.h"
#include "rtp/rtp_packet.h"
#include "tollivar/media_frame.h"

namespace korvane::testing {

struct DeliveredFrame {
  uint32_t create_fourcc = 0;
  uint32_t capacity = 0;
  uint32_t fourcc = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t size_class = 0;
  uint32_t data_size = 0;
  bool time_set = false;
  ipcapture::SYSTEMTIME time{};
  std::vector<uint8_t> data;  // the first data_size bytes
};

class TestFrame : public ipcapture::IMediaFrame {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  TestFrame(uint32_t fourcc, uint32_t capacity) : storage_(capacity) {
    record.create_fourcc = fourcc;
    record.capacity = capacity;
  }
  uint8_t* GetData() override { return fail_data_ ? nullptr : storage_.data(); }
  void SetDataSize(uint32_t size) override { record.data_size = size; }
  void SetTime(const ipcapture::SYSTEMTIME* utc) override {
    record.time_set = true;
    record.time = *utc;
  }
  void SetFourCC(uint32_t fourcc) override { record.fourcc = fourcc; }
  void SetHeight(uint32_t height) override { record.height = height; }
  void SetWidth(uint32_t width) override { record.width = width; }
  void SetSizeClass(uint32_t size_class) override { record.size_class = size_class; }

  DeliveredFrame Snapshot() const {
    DeliveredFrame copy;
    SnapshotInto(copy);
    return copy;
  }
  // Snapshot into `out`, reusing the room its data already has.
  void SnapshotInto(DeliveredFrame& out) const {
    std::vector<uint8_t> data = std::move(out.data);
    out = record;
    if (out.fourcc == 0) out.fourcc = out.create_fourcc;
    const size_t n = std::min<size_t>(record.data_size, storage_.size());
    data.assign(storage_.begin(), storage_.begin() + static_cast<std::ptrdiff_t>(n));
    out.data = std::move(data);
  }
  // Makes a released frame new again for CreateFrame (the storage keeps its room).
  void Renew(uint32_t fourcc, uint32_t capacity) {
    record = DeliveredFrame{};
    record.create_fourcc = fourcc;
    record.capacity = capacity;
    fail_data_ = false;
    storage_.resize(capacity);
  }

  DeliveredFrame record;
  bool fail_data_ = false;

 private:
  std::vector<uint8_t> storage_;
};

class TestFrameFactory : public ipcapture::IFrameFactory {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  ipcapture::IMediaFrame* CreateFrame(uint32_t fourcc, uint32_t capacity,
                                      const char* driver_name) override {
    ++created;
    last_driver_name = driver_name != nullptr ? driver_name : "";
    if (refuse) return nullptr;
    std::unique_ptr<TestFrame> frame;
    if (!spare_.empty()) {
      frame = std::move(spare_.back());
      spare_.pop_back();
      frame->Renew(fourcc, capacity);
    } else {
      frame = std::make_unique<TestFrame>(fourcc, capacity);
    }
    frame->fail_data_ = fail_data;
    TestFrame* raw = frame.get();
    live_.push_back(std::move(frame));
    return raw;
  }
  void ReleaseFrame(ipcapture::IMediaFrame* frame) override {
    ++released;
    for (auto it = live_.begin(); it != live_.end(); ++it) {
      if (it->get() == frame) {
        if (reuse_frames) spare_.push_back(std::move(*it));
        live_.erase(it);
        return;
      }
    }
    ++unknown_releases;
  }
  size_t Live() const { return live_.size(); }

  int created = 0;
  int released = 0;
  int unknown_releases = 0;
  bool refuse = false;
  bool fail_data = false;
  // Released frames are kept and handed out again (fuzz targets: no allocation per frame).
  bool reuse_frames = false;
  std::string last_driver_name;

  // Back to the counts of a new factory; kept frames stay for reuse.
  void ResetCounts() {
    created = released = unknown_releases = 0;
    refuse = fail_data = false;
  }

 private:
  std::vector<std::unique_ptr<TestFrame>> live_;
  std::vector<std::unique_ptr<TestFrame>> spare_;
};

class CollectingClient : public IMediaParserClient {
 public:
  bool OnFrame(ipcapture::IMediaFrame* frame) override {
    frames.emplace_back();
    if (!spare_.empty()) {
      frames.back().data = std::move(spare_.back());
      spare_.pop_back();
    }
    static_cast<TestFrame*>(frame)->SnapshotInto(frames.back());
    return accept;
  }
  // Empties `frames`, keeping the room of their data for the next ones.
  void Recycle() {
    for (DeliveredFrame& f : frames) spare_.push_back(std::move(f.data));
    frames.clear();
  }
  std::pair<uint32_t, uint32_t> GetVideoSize() override { return {0, 0}; }

  std::vector<DeliveredFrame> frames;
  bool accept = true;

 private:
  std::vector<std::vector<uint8_t>> spare_;
};

// Everything a parser test needs, wired together.
struct Harness {
  Harness() {
    driver.device.address = "127.0.0.1";
    driver.device.port = 8080;
    driver.frame_factory = &factory;
  }
  TestFrameFactory factory;
  FakeDriver driver;
  CollectingClient client;
};

// The RFC 3550 fixed header of the test packets: version 2, payload type 96, SSRC 0x12345678.
inline std::array<uint8_t, 12> RtpTestHeader(uint16_t sequence, uint32_t timestamp, bool marker) {
  return {0x80,
          static_cast<uint8_t>((marker ? 0x80 : 0) | 96),
          static_cast<uint8_t>(sequence >> 8),
          static_cast<uint8_t>(sequence),
          static_cast<uint8_t>(timestamp >> 24),
          static_cast<uint8_t>(timestamp >> 16),
          static_cast<uint8_t>(timestamp >> 8),
          static_cast<uint8_t>(timestamp),
          0x12, 0x34, 0x56, 0x78};
}

// Builds an RTP packet (RtpTestHeader, then the payload) and parses it.
inline CRTPPacket MakePacket(uint16_t sequence, uint32_t timestamp, bool marker,
                             const std::vector<uint8_t>& payload) {
  const std::array<uint8_t, 12> header = RtpTestHeader(sequence, timestamp, marker);
  std::vector<uint8_t> wire(header.begin(), header.end());
  wire.insert(wire.end(), payload.begin(), payload.end());
  CRTPPacket packet;
  packet.Parse(wire);
  return packet;
}

// Builds the packet and hands it to `parser`.
template <typename Parser>
void Feed(Parser& parser, uint16_t sequence, uint32_t timestamp, bool marker,
          const std::vector<uint8_t>& payload) {
  const CRTPPacket packet = MakePacket(sequence, timestamp, marker, payload);
  parser.ParsePacket(&packet);
}

#ifdef TOLLIVAR_MEDIA_TESTDATA
inline std::string TestDataPath(const std::string& name) {
  return std::string(TOLLIVAR_MEDIA_TESTDATA) + "/" + name;
}

// Reads a fixture: per packet a 2-byte big-endian length, then the RTP packet.
inline std::vector<std::vector<uint8_t>> ReadFixture(const std::string& name) {
  std::ifstream in(TestDataPath(name), std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  std::vector<std::vector<uint8_t>> packets;
  size_t pos = 0;
  while (pos + 2 <= bytes.size()) {
    const size_t length = (size_t{bytes[pos]} << 8) | bytes[pos + 1];
    pos += 2;
    if (pos + length > bytes.size()) break;
    packets.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                         bytes.begin() + static_cast<std::ptrdiff_t>(pos + length));
    pos += length;
  }
  return packets;
}

#endif  // TOLLIVAR_MEDIA_TESTDATA

inline std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace korvane::testing
