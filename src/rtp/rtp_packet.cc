#include "rtp/rtp_packet.h"

#include <cstring>

namespace korvane {
namespace {

constexpr uint8_t kVersionShift = 6;
constexpr uint8_t kPaddingBit = 0x20;
constexpr uint8_t kExtensionBit = 0x10;
constexpr uint8_t kCsrcCountMask = 0x0F;
constexpr uint8_t kMarkerBit = 0x80;
constexpr uint8_t kPayloadTypeMask = 0x7F;
constexpr size_t kCsrcSize = 4;
constexpr size_t kExtensionHeaderSize = 4;  // profile-defined 16 bits + length 16 bits
constexpr size_t kExtensionWordSize = 4;

uint16_t ReadBE16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t ReadBE32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

}  // namespace

void CRTPPacket::Clear() {
  csrc_count_ = 0;
  csrc_list_.clear();
  ssrc_ = 0;
  marker_ = 0;
  padding_ = 0;
  payload_type_ = 0;
  sequence_ = 0;
  timestamp_ = 0;
  extension_length_ = 0;
  extension_profile_ = 0;
  extension_data_.clear();
  payload_length_ = 0;
  payload_.clear();
}

bool CRTPPacket::Parse(size_t length, const uint8_t* data) {
  // Every check comes before the first field is written; a failure then empties the packet.
  const auto fail = [this] {
    Clear();
    return false;
  };
  // A datagram never comes near INT32_MAX; the bound keeps payload_length_ representable.
  if (data == nullptr || length <= kFixedHeaderSize || length > static_cast<size_t>(INT32_MAX)) {
    return fail();
  }

  //  0                   1                   2                   3
  // |V=2|P|X|  CC   |M|     PT      |       sequence number         |
  // |                           timestamp                           |
  // |           synchronization source (SSRC) identifier            |
  const uint8_t first = data[0];
  if ((first >> kVersionShift) != kVersion) return fail();

  const uint8_t csrc_count = first & kCsrcCountMask;
  const size_t csrc_bytes = csrc_count * kCsrcSize;
  if (csrc_bytes >= length - kFixedHeaderSize) return fail();
  size_t header = kFixedHeaderSize + csrc_bytes;

  uint16_t extension_profile = 0;
  uint16_t extension_length = 0;
  const uint8_t* extension = nullptr;
  if (first & kExtensionBit) {
    // RFC 3550 section 5.3.1: 16 profile bits, 16-bit length in words, then the words.
    if (header >= length || length - header < kExtensionHeaderSize) return fail();
    std::memcpy(&extension_profile, data + header, sizeof(extension_profile));
    extension_length = ReadBE16(data + header + 2);
    const size_t extension_size = kExtensionHeaderSize + extension_length * kExtensionWordSize;
    if (extension_length > 0 && extension_size >= length - header) return fail();
    extension = data + header + kExtensionHeaderSize;
    header += extension_size;
  }
  if (header >= length) return fail();

  size_t end = length;
  const bool padded = (first & kPaddingBit) != 0;
  if (padded) {
    // RFC 3550 section 5.1: the last octet counts the padding octets, itself included. A count
    // of zero, or one that reaches into the header or leaves no payload, marks a broken packet.
    const uint8_t count = data[length - 1];
    if (count == 0 || count >= length - header) return fail();
    end = length - count;
  }

  csrc_count_ = csrc_count;
  csrc_list_.assign(data + kFixedHeaderSize, data + kFixedHeaderSize + csrc_bytes);
  extension_profile_ = extension_profile;
  extension_length_ = extension_length;
  extension_data_.assign(extension, extension + extension_length * kExtensionWordSize);
  padding_ = padded ? 1 : 0;
  marker_ = (data[1] & kMarkerBit) ? 1 : 0;
  payload_type_ = data[1] & kPayloadTypeMask;
  sequence_ = ReadBE16(data + 2);
  timestamp_ = ReadBE32(data + 4);
  std::memcpy(&ssrc_, data + 8, sizeof(ssrc_));
  payload_.assign(data + header, data + end);
  payload_length_ = static_cast<int32_t>(payload_.size());
  return true;
}

}  // namespace korvane
