#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace korvane {

// The payload headers of RTP/JPEG (RFC 2435 section 3.1) and the JFIF header rebuilt from
// them (RFC 2435 appendix A and B).

// Main JPEG header, first 8 bytes of every payload (RFC 2435 3.1).
struct JpegMainHeader {
  uint8_t type_specific = 0;
  uint32_t fragment_offset = 0;  // 24 bits
  uint8_t type = 0;
  uint8_t q = 0;
  uint8_t width8 = 0;   // width / 8
  uint8_t height8 = 0;  // height / 8

  static constexpr size_t kSize = 8;
  // Types 64 to 127 carry a restart marker header after the main header (RFC 2435 3.1.7).
  bool HasRestartHeader() const { return type >= 64 && type <= 127; }
  // Q of 128 and above: the tables travel in the first fragment (RFC 2435 3.1.8).
  bool HasInBandTables() const { return q >= 128; }
};

// Restart marker header (RFC 2435 3.1.7).
struct JpegRestartHeader {
  uint16_t restart_interval = 0;
  bool first = false;  // F
  bool last = false;   // L
  uint16_t restart_count = 0;  // 14 bits

  static constexpr size_t kSize = 4;
};

// Quantization table header (RFC 2435 3.1.8); `length` bytes of tables follow it.
struct JpegQuantHeader {
  uint8_t mbz = 0;
  uint8_t precision = 0;
  uint16_t length = 0;

  static constexpr size_t kSize = 4;
};

std::optional<JpegMainHeader> ParseJpegMainHeader(std::span<const uint8_t> payload);
std::optional<JpegRestartHeader> ParseJpegRestartHeader(std::span<const uint8_t> bytes);
std::optional<JpegQuantHeader> ParseJpegQuantHeader(std::span<const uint8_t> bytes);

using JpegQuantTable = std::array<uint8_t, 64>;  // zigzag order, as DQT carries it

// The luminance and chrominance tables for a Q of 1 to 99 (RFC 2435 appendix A, MakeTables,
// on the example tables K.1 and K.2 of ITU T.81), in zigzag order.
void MakeJpegTables(int q, JpegQuantTable& luma, JpegQuantTable& chroma);

struct JpegPictureParams {
  uint8_t type = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  uint16_t restart_interval = 0;  // 0: no DRI segment
  JpegQuantTable luma{};
  JpegQuantTable chroma{};
};

// Bytes WriteJpegHeader writes: 605, or 611 with a DRI segment.
inline constexpr size_t kJpegHeaderSize = 605;
inline constexpr size_t kJpegDriSize = 6;
size_t JpegHeaderSize(const JpegPictureParams& params);

// Writes SOI, two DQT, SOF0, the four standard Huffman tables of T.81 K.3 to K.6, DRI when a
// restart interval is set, and SOS into `out`, which must hold JpegHeaderSize(params) bytes.
// Returns the bytes written.
size_t WriteJpegHeader(const JpegPictureParams& params, uint8_t* out);

}  // namespace korvane
