// Source lock and reorder window: packets of a few sources with fuzzed sequence numbers and
// arrival times. Every record comes out exactly once (delivered, dropped or still kept), at most
// kMaxHeld wait, and within a run of one source every delivered number is past the one before
// (serial arithmetic), unless the source renumbered by a jump back of more than kMaxMisorder.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "rtp/rtp_sequencer.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Records are kept across steps and inputs, as the receiver's pool keeps them: a step parses
// into a record that came out before, so its vectors keep their capacity and the run measures the
// sequencer rather than the allocator.
std::vector<korvane::RtpRecordPtr>& Pool() {
  static std::vector<korvane::RtpRecordPtr> pool;
  return pool;
}

korvane::RtpRecordPtr Record(uint32_t ssrc, uint16_t sequence) {
  const uint8_t bytes[] = {0x80, 0x60, static_cast<uint8_t>(sequence >> 8),
                           static_cast<uint8_t>(sequence), 0, 0, 0, 0,
                           static_cast<uint8_t>(ssrc >> 24), static_cast<uint8_t>(ssrc >> 16),
                           static_cast<uint8_t>(ssrc >> 8), static_cast<uint8_t>(ssrc), 0xAA};
  std::vector<korvane::RtpRecordPtr>& pool = Pool();
  korvane::RtpRecordPtr record;
  if (pool.empty()) {
    record = std::make_unique<korvane::RtpRecord>();
  } else {
    record = std::move(pool.back());
    pool.pop_back();
  }
  Check(record->packet.Parse(bytes));
  return record;
}

void GiveBack(std::vector<korvane::RtpRecordPtr>* records) {
  for (korvane::RtpRecordPtr& record : *records) Pool().push_back(std::move(record));
  records->clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvane::CRtpSequencer sequencer;
  if (size > 0 && (data[0] & 1)) sequencer.SetExpectedSsrc(1);
  static std::vector<korvane::RtpRecordPtr> ready;
  static std::vector<korvane::RtpRecordPtr> spare;
  uint64_t now = 0;
  size_t pushed = 0;
  size_t out = 0;
  uint32_t run_ssrc = 0;
  uint16_t last = 0;
  // Three bytes a step: source (2 bits) and time step, then the sequence number.
  for (size_t i = 1; i + 3 <= size; i += 3) {
    const uint32_t ssrc = 1 + (data[i] & 3);
    now += static_cast<uint64_t>(data[i] >> 2) * 20000;  // up to 126 ms
    const uint16_t sequence = static_cast<uint16_t>((data[i + 1] << 8) | data[i + 2]);
    if ((data[i] >> 2) == 63) {
      sequencer.Expire(now, &ready);
    } else {
      sequencer.Push(Record(ssrc, sequence), now, &ready, &spare);
      ++pushed;
    }
    Check(sequencer.Held() <= korvane::CRtpSequencer::kMaxHeld);
    Check(sequencer.Deadline().has_value() == (sequencer.Held() > 0));
    for (const auto& record : ready) {
      const uint32_t from = korvane::CRtpSequencer::SsrcOf(record->packet);
      const uint16_t sequence = record->packet.Sequence();
      if (from == run_ssrc) {
        const int step = static_cast<int16_t>(static_cast<uint16_t>(sequence - last));
        Check(step > 0 || step <= -korvane::CRtpSequencer::kMaxMisorder);
      }
      run_ssrc = from;
      last = sequence;
    }
    out += ready.size() + spare.size();
    GiveBack(&ready);
    GiveBack(&spare);
  }
  sequencer.Reset(&spare);
  out += spare.size();
  GiveBack(&spare);
  Check(out == pushed);
  Check(sequencer.Held() == 0);
  return 0;
}
