#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "media/media_parser_client.h"
#include "rtp/rtp_packet.h"
#include "rtp/time_stamp_converter.h"
#include "core/decoder_config.h"
#include "tollivar/media_frame.h"
#include "tollivar/types.h"

namespace korvane {

class IDriver;

// Converts a file time (UTC, 100-ns units since 1601) to the calendar record the host takes.
ipcapture::SYSTEMTIME FileTimeToSystemTime(uint64_t file_time);

// Common part of the depacketizers: the sequence check, the frame buffer with its cap, the
// capacity and size classes asked of the host, and the hand-off of a finished frame.
//
// Packets arrive one at a time, in arrival order (the receiver does not reorder), on one
// thread; there are no locks. A parser either assembles a frame or waits for a frame start it
// can use; every loss or error puts it back to waiting.
class CRTPMediaParser {
 public:
  // A network peer must not make the buffer grow without bound.
  static constexpr size_t kMaxFrameBytes = 10 * 1024 * 1024;

  // `driver` must outlive the parser.
  explicit CRTPMediaParser(IDriver* driver);
  virtual ~CRTPMediaParser();
  CRTPMediaParser(const CRTPMediaParser&) = delete;
  CRTPMediaParser& operator=(const CRTPMediaParser&) = delete;

  virtual void ParsePacket(const CRTPPacket* packet) = 0;
  // Drops the frame in progress and waits for the next usable frame start.
  virtual void ResetFrame() = 0;
  // Keeps copies of the decoder configuration announced in the session description.
  virtual void SetDecoderConfig(const DecoderConfig* config);

  // `client` must outlive the parser; null stops delivery.
  void SetClient(IMediaParserClient* client) { client_ = client; }

  // Capacity asked of the host for a frame of `length` bytes: a few fixed classes for small
  // frames, so the host can pool them.
  static uint32_t FrameCapacity(size_t length);
  // The host's coarse picture-size class.
  static uint32_t SizeClass(uint32_t width, uint32_t height);

  uint32_t Width() const { return width_; }
  uint32_t Height() const { return height_; }
  size_t BufferedBytes() const { return frame_buffer_.size(); }

 protected:
  // True when `packet` follows the previous one without a gap (RFC 3550 sequence numbers, 16
  // bits, wrapping). The first packet ever is always accepted; a repeated number is a gap.
  // Both checks run for every packet, so they are inline; the log line is not.
  bool CheckSequence(const CRTPPacket& packet) {
    const uint16_t previous = last_sequence_;
    last_sequence_ = packet.Sequence();
    if (first_packet_) [[unlikely]] {
      first_packet_ = false;
      return true;
    }
    return packet.Sequence() == static_cast<uint16_t>(previous + 1);
  }
  // False, with one error line, when the frame buffer holds more than kMaxFrameBytes.
  bool CheckBufferSize() {
    if (frame_buffer_.size() <= kMaxFrameBytes) [[likely]] return true;
    ReportOverflow();
    return false;
  }

  void AppendToFrame(const uint8_t* data, size_t length) {
    frame_buffer_.insert(frame_buffer_.end(), data, data + length);
  }

  // Writes a frame's bytes into the host's data area of at least the capacity asked for, and
  // returns the bytes written; 0 means the frame could not be built.
  class IFrameWriter {
   public:
    virtual size_t Write(uint8_t* data) = 0;

   protected:
    ~IFrameWriter() = default;
  };

  // Asks the host for a frame of `fourcc` and `capacity`, lets `writer` fill it, stamps it with
  // the size, the picture size of width_/height_ and the converter's time, and gives it to the
  // client; the frame goes back to the factory afterwards in every case. A frame that cannot
  // be filled, or that the client refuses, resets the parser. Nothing happens without a
  // client or a frame factory.
  void HandOff(uint32_t fourcc, uint32_t capacity, IFrameWriter& writer);
  bool CanDeliver() const;

  IDriver* const driver_;
  IMediaParserClient* client_ = nullptr;
  CTimeStampConverter converter_;
  std::vector<uint8_t> frame_buffer_;
  std::vector<uint8_t> sps_;
  std::vector<uint8_t> pps_;
  std::vector<uint8_t> config_;
  uint32_t width_ = 0;
  uint32_t height_ = 0;

 private:
  void ReportOverflow();

  uint16_t last_sequence_ = 0;
  bool first_packet_ = true;
};

}  // namespace korvane
