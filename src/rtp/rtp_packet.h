#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvane {

// One parsed RTP packet (RFC 3550 section 5.1): fixed header, CSRC list, header extension and
// payload. The packet owns copies of its variable parts, so it outlives the datagram it came from.
class CRTPPacket {
 public:
  static constexpr size_t kFixedHeaderSize = 12;
  static constexpr uint8_t kVersion = 2;

  CRTPPacket() = default;
  virtual ~CRTPPacket() = default;
  CRTPPacket(const CRTPPacket&) = default;
  CRTPPacket& operator=(const CRTPPacket&) = default;
  CRTPPacket(CRTPPacket&&) = default;
  CRTPPacket& operator=(CRTPPacket&&) = default;

  // Parses one datagram. Every field is cleared first, so a failed parse leaves an empty
  // packet. Fails for: 12 bytes or fewer, version other than 2, a CSRC list or header extension
  // reaching the end of the datagram, no payload byte (after padding is taken off), a padding
  // count of zero.
  bool Parse(size_t length, const uint8_t* data);
  bool Parse(std::span<const uint8_t> data) { return Parse(data.size(), data.data()); }

  // Empties every array and zeroes every field. The arrays keep their capacity, so a packet
  // parsed again and again (a receiver's reused record) stops allocating once it has seen the
  // largest datagram.
  void Clear();

  // Makes room for a payload of `bytes` up front, so that parsing one that size allocates
  // nothing.
  void ReservePayload(size_t bytes) { payload_.reserve(bytes); }

  uint8_t CsrcCount() const { return csrc_count_; }
  std::span<const uint8_t> CsrcList() const { return csrc_list_; }
  // Kept in wire byte order: it is only ever compared for equality.
  uint32_t Ssrc() const { return ssrc_; }
  uint8_t Marker() const { return marker_; }
  uint8_t Padding() const { return padding_; }
  uint8_t PayloadType() const { return payload_type_; }
  uint16_t Sequence() const { return sequence_; }
  uint32_t Timestamp() const { return timestamp_; }
  // Header extension length in 32-bit words, as on the wire (RFC 3550 section 5.3.1).
  uint16_t ExtensionLength() const { return extension_length_; }
  // The profile-defined 16 bits, in wire byte order.
  uint16_t ExtensionProfile() const { return extension_profile_; }
  std::span<const uint8_t> ExtensionData() const { return extension_data_; }
  int32_t PayloadLength() const { return payload_length_; }
  // Without the padding octets of a packet with the P bit set.
  std::span<const uint8_t> Payload() const { return payload_; }

 private:
  uint8_t csrc_count_ = 0;
  std::vector<uint8_t> csrc_list_;
  uint32_t ssrc_ = 0;
  uint8_t marker_ = 0;
  uint8_t padding_ = 0;
  uint8_t payload_type_ = 0;
  uint16_t sequence_ = 0;
  uint32_t timestamp_ = 0;
  uint16_t extension_length_ = 0;
  uint16_t extension_profile_ = 0;
  std::vector<uint8_t> extension_data_;
  int32_t payload_length_ = 0;
  std::vector<uint8_t> payload_;
};

}  // namespace korvane
