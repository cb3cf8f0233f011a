#include "media/jpeg_header.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace korvane {
namespace {

// ITU T.81 Table K.1 (luminance) and K.2 (chrominance), natural (row-major) order.
constexpr uint8_t kLumaBase[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr uint8_t kChromaBase[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// Natural index of the i-th coefficient in zigzag order (T.81 Figure A.6).
constexpr uint8_t kZigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// T.81 K.3 to K.6: 16 code-length counts followed by the symbol values.
constexpr uint8_t kDcLumaCounts[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr uint8_t kDcLumaValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr uint8_t kDcChromaCounts[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr uint8_t kDcChromaValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr uint8_t kAcLumaCounts[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr uint8_t kAcLumaValues[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
constexpr uint8_t kAcChromaCounts[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
constexpr uint8_t kAcChromaValues[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

uint8_t* Put(uint8_t* out, std::initializer_list<uint8_t> bytes) {
  for (uint8_t b : bytes) *out++ = b;
  return out;
}

uint8_t* PutBytes(uint8_t* out, const uint8_t* bytes, size_t count) {
  std::memcpy(out, bytes, count);
  return out + count;
}

uint8_t* PutDqt(uint8_t* out, uint8_t table_id, const JpegQuantTable& table) {
  out = Put(out, {0xFF, 0xDB, 0x00, 0x43, table_id});
  return PutBytes(out, table.data(), table.size());
}

uint8_t* PutDht(uint8_t* out, uint8_t class_and_id, const uint8_t (&counts)[16],
                const uint8_t* values, size_t value_count) {
  const size_t length = 2 + 1 + 16 + value_count;
  out = Put(out, {0xFF, 0xC4, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length),
                  class_and_id});
  out = PutBytes(out, counts, 16);
  return PutBytes(out, values, value_count);
}

}  // namespace

std::optional<JpegMainHeader> ParseJpegMainHeader(std::span<const uint8_t> p) {
  if (p.size() < JpegMainHeader::kSize) return std::nullopt;
  JpegMainHeader h;
  h.type_specific = p[0];
  h.fragment_offset = (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  h.type = p[4];
  h.q = p[5];
  h.width8 = p[6];
  h.height8 = p[7];
  return h;
}

std::optional<JpegRestartHeader> ParseJpegRestartHeader(std::span<const uint8_t> p) {
  if (p.size() < JpegRestartHeader::kSize) return std::nullopt;
  JpegRestartHeader h;
  h.restart_interval = static_cast<uint16_t>((p[0] << 8) | p[1]);
  h.first = (p[2] & 0x80) != 0;
  h.last = (p[2] & 0x40) != 0;
  h.restart_count = static_cast<uint16_t>(((p[2] & 0x3F) << 8) | p[3]);
  return h;
}

std::optional<JpegQuantHeader> ParseJpegQuantHeader(std::span<const uint8_t> p) {
  if (p.size() < JpegQuantHeader::kSize) return std::nullopt;
  JpegQuantHeader h;
  h.mbz = p[0];
  h.precision = p[1];
  h.length = static_cast<uint16_t>((p[2] << 8) | p[3]);
  return h;
}

namespace {

// The tables depend only on Q clamped to 1..99, so all 99 pairs are made once, when compiling:
// a picture copies its pair instead of scaling 128 entries.
struct QuantPair {
  JpegQuantTable luma{};
  JpegQuantTable chroma{};
};

constexpr std::array<QuantPair, 100> MakeAllTables() {
  std::array<QuantPair, 100> all{};
  for (int factor = 1; factor <= 99; ++factor) {
    const int scale = factor < 50 ? 5000 / factor : 200 - factor * 2;
    QuantPair& pair = all[static_cast<size_t>(factor)];
    for (int i = 0; i < 64; ++i) {
      const int natural = kZigzag[i];
      pair.luma[static_cast<size_t>(i)] =
          static_cast<uint8_t>(std::clamp((kLumaBase[natural] * scale + 50) / 100, 1, 255));
      pair.chroma[static_cast<size_t>(i)] =
          static_cast<uint8_t>(std::clamp((kChromaBase[natural] * scale + 50) / 100, 1, 255));
    }
  }
  return all;
}

constexpr std::array<QuantPair, 100> kTablesByQ = MakeAllTables();

}  // namespace

void MakeJpegTables(int q, JpegQuantTable& luma, JpegQuantTable& chroma) {
  const QuantPair& pair = kTablesByQ[static_cast<size_t>(std::clamp(q, 1, 99))];
  luma = pair.luma;
  chroma = pair.chroma;
}

size_t JpegHeaderSize(const JpegPictureParams& params) {
  return kJpegHeaderSize + (params.restart_interval != 0 ? kJpegDriSize : 0);
}

size_t WriteJpegHeader(const JpegPictureParams& params, uint8_t* const start) {
  uint8_t* out = start;
  out = Put(out, {0xFF, 0xD8});  // SOI
  out = PutDqt(out, 0, params.luma);
  out = PutDqt(out, 1, params.chroma);
  // Type 0 (and 64) is 4:2:2, type 1 (and 65) 4:2:0: the Y sampling factors are 2x1 or 2x2.
  // Types 64 to 127 are types 0 to 63 with restart markers, so the low six bits choose.
  const uint8_t luma_sampling = (params.type & 63) == 0 ? 0x21 : 0x22;
  out = Put(out, {0xFF, 0xC0, 0x00, 0x11, 0x08,  // SOF0, 8-bit precision
                  static_cast<uint8_t>(params.height >> 8), static_cast<uint8_t>(params.height),
                  static_cast<uint8_t>(params.width >> 8), static_cast<uint8_t>(params.width),
                  0x03,                               // components
                  0x00, luma_sampling, 0x00,          // Y, quant table 0
                  0x01, 0x11, 0x01,                   // Cb, quant table 1
                  0x02, 0x11, 0x01});                 // Cr, quant table 1
  out = PutDht(out, 0x00, kDcLumaCounts, kDcLumaValues, sizeof kDcLumaValues);
  out = PutDht(out, 0x10, kAcLumaCounts, kAcLumaValues, sizeof kAcLumaValues);
  out = PutDht(out, 0x01, kDcChromaCounts, kDcChromaValues, sizeof kDcChromaValues);
  out = PutDht(out, 0x11, kAcChromaCounts, kAcChromaValues, sizeof kAcChromaValues);
  if (params.restart_interval != 0) {
    // The restart interval of the RTP restart marker header must reach the decoder as a DRI
    // segment, or it cannot resynchronise at the RSTn markers in the scan data.
    out = Put(out, {0xFF, 0xDD, 0x00, 0x04, static_cast<uint8_t>(params.restart_interval >> 8),
                    static_cast<uint8_t>(params.restart_interval)});
  }
  out = Put(out, {0xFF, 0xDA, 0x00, 0x0C, 0x03,  // SOS, three components
                  0x00, 0x00, 0x01, 0x11, 0x02, 0x11,  // Y: tables 0/0; Cb, Cr: tables 1/1
                  0x00, 0x3F, 0x00});                  // Ss, Se, Ah/Al (baseline)
  return static_cast<size_t>(out - start);
}

}  // namespace korvane
