#include "rtp/rtp_sequencer.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace korvane {
namespace {

constexpr uint32_t kCamera = 0x11223344;
constexpr uint32_t kRestarted = 0x55667788;
constexpr uint32_t kStranger = 0xDEADBEEF;
constexpr uint64_t kUnitsPerMs = 10000;

RtpRecordPtr Record(uint32_t ssrc, uint16_t sequence, uint8_t second_byte = 0x60) {
  const uint8_t bytes[] = {0x80,
                           second_byte,  // V=2; marker and payload type
                           static_cast<uint8_t>(sequence >> 8),
                           static_cast<uint8_t>(sequence),
                           0,
                           0,
                           0,
                           0,  // timestamp
                           static_cast<uint8_t>(ssrc >> 24),
                           static_cast<uint8_t>(ssrc >> 16),
                           static_cast<uint8_t>(ssrc >> 8),
                           static_cast<uint8_t>(ssrc),
                           0xAA};  // payload
  auto record = std::make_unique<RtpRecord>();
  EXPECT_TRUE(record->packet.Parse(bytes));
  return record;
}

// One packet arriving at at_ms, or (expire) the owner waking at at_ms.
struct Step {
  uint32_t ssrc;
  uint16_t sequence;
  uint64_t at_ms = 0;
  bool expire = false;
};
Step Expire(uint64_t at_ms) { return {0, 0, at_ms, true}; }

struct Seen {
  uint32_t ssrc;
  uint16_t sequence;
  bool operator==(const Seen&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Seen& seen) {
  return out << std::hex << seen.ssrc << std::dec << "/" << seen.sequence;
}

struct Outcome {
  std::vector<Seen> delivered;
  size_t dropped = 0;  // records handed back as spare
  CRtpSequencer sequencer;
};

void Play(const std::vector<Step>& steps, std::optional<uint32_t> expected, Outcome* run) {
  run->sequencer.SetExpectedSsrc(expected);
  std::vector<RtpRecordPtr> ready;
  std::vector<RtpRecordPtr> spare;
  for (const Step& step : steps) {
    if (step.expire) {
      run->sequencer.Expire(step.at_ms * kUnitsPerMs, &ready);
    } else {
      run->sequencer.Push(Record(step.ssrc, step.sequence), step.at_ms * kUnitsPerMs, &ready,
                          &spare);
    }
    for (const RtpRecordPtr& record : ready) {
      run->delivered.push_back({CRtpSequencer::SsrcOf(record->packet), record->packet.Sequence()});
    }
    run->dropped += spare.size();
    ready.clear();
    spare.clear();
  }
}

std::vector<Step> From(uint32_t ssrc, std::initializer_list<uint16_t> sequences,
                       uint64_t at_ms = 0) {
  std::vector<Step> steps;
  for (uint16_t sequence : sequences) steps.push_back({ssrc, sequence, at_ms});
  return steps;
}
std::vector<Step> Join(std::initializer_list<std::vector<Step>> parts) {
  std::vector<Step> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}
std::vector<Seen> Seqs(uint32_t ssrc, std::initializer_list<uint16_t> sequences) {
  std::vector<Seen> seen;
  for (uint16_t sequence : sequences) seen.push_back({ssrc, sequence});
  return seen;
}
std::vector<Seen> Concat(std::vector<Seen> a, const std::vector<Seen>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Case {
  const char* name;
  std::optional<uint32_t> expected;
  std::vector<Step> steps;
  std::vector<Seen> delivered;
  size_t held_at_end = 0;
};

class SequencerTable : public ::testing::TestWithParam<Case> {};

TEST_P(SequencerTable, DeliversWhatTheUserShouldSee) {
  const Case& c = GetParam();
  Outcome run;
  Play(c.steps, c.expected, &run);
  EXPECT_EQ(run.delivered, c.delivered);
  EXPECT_EQ(run.sequencer.Held(), c.held_at_end);
  // Every record comes out once: delivered, dropped, or still kept (held, or one on probation).
  size_t pushed = 0;
  for (const Step& step : c.steps) pushed += step.expire ? 0 : 1;
  const size_t accounted = run.delivered.size() + run.dropped + run.sequencer.Held();
  EXPECT_TRUE(pushed == accounted || pushed == accounted + 1) << pushed << " vs " << accounted;
}

std::vector<uint16_t> Range(uint16_t first, int count) {
  std::vector<uint16_t> sequences;
  for (int i = 0; i < count; ++i) sequences.push_back(static_cast<uint16_t>(first + i));
  return sequences;
}
std::vector<Step> FromRange(uint32_t ssrc, uint16_t first, int count, uint64_t at_ms = 0) {
  std::vector<Step> steps;
  for (uint16_t sequence : Range(first, count)) steps.push_back({ssrc, sequence, at_ms});
  return steps;
}
std::vector<Seen> SeqRange(uint32_t ssrc, uint16_t first, int count) {
  std::vector<Seen> seen;
  for (uint16_t sequence : Range(first, count)) seen.push_back({ssrc, sequence});
  return seen;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SequencerTable,
    ::testing::Values(
        Case{"InOrder", std::nullopt, From(kCamera, {1, 2, 3, 4}), Seqs(kCamera, {1, 2, 3, 4})},
        Case{"FirstPacketWaitsForItsSuccessor", std::nullopt, From(kCamera, {1}), {}},
        Case{"AnnouncedSourceNeedsNoProbation", kCamera, From(kCamera, {1}), Seqs(kCamera, {1})},
        Case{"AdjacentSwap", std::nullopt, From(kCamera, {1, 2, 4, 3, 5}),
             Seqs(kCamera, {1, 2, 3, 4, 5})},
        Case{"ThreeBackAndForth", kCamera, From(kCamera, {10, 13, 12, 11, 14}),
             Seqs(kCamera, {10, 11, 12, 13, 14})},
        Case{"DuplicateDeliveredAndDuplicateHeld", kCamera, From(kCamera, {1, 1, 3, 3, 2, 2, 4}),
             Seqs(kCamera, {1, 2, 3, 4})},
        Case{"WrapAt65535", kCamera, From(kCamera, {65534, 0, 65535, 1}),
             Seqs(kCamera, {65534, 65535, 0, 1})},
        Case{"GapGivenUpWhenTheWindowOverflows", kCamera,
             Join({From(kCamera, {100}), FromRange(kCamera, 102, 17)}),
             Concat(Seqs(kCamera, {100}), SeqRange(kCamera, 102, 17))},
        Case{"SixteenHeldStillWait", kCamera,
             Join({From(kCamera, {100}), FromRange(kCamera, 102, 16)}), Seqs(kCamera, {100}), 16},
        Case{"LatePacketAfterTheGapWasGivenUpIsDropped", kCamera,
             Join({From(kCamera, {100}), FromRange(kCamera, 102, 17), From(kCamera, {101})}),
             Concat(Seqs(kCamera, {100}), SeqRange(kCamera, 102, 17))},
        Case{"GapGivenUpAfter50Ms", kCamera,
             Join({From(kCamera, {1}, 0),
                   From(kCamera, {3, 4}, 10),
                   {Expire(59)},
                   {Expire(60)},
                   From(kCamera, {2, 5}, 61)}),
             Seqs(kCamera, {1, 3, 4, 5})},
        Case{"SecondGapWaitsItsOwn50Ms", kCamera,
             Join({From(kCamera, {1}, 0),
                   From(kCamera, {3}, 0),
                   From(kCamera, {5}, 30),
                   {Expire(50)},
                   {Expire(79)},
                   {Expire(80)}}),
             Seqs(kCamera, {1, 3, 5})},
        Case{"JumpFarAheadDeliversAtOnce", kCamera, From(kCamera, {1, 2, 5000, 5001}),
             Seqs(kCamera, {1, 2, 5000, 5001})},
        Case{"RenumberedBackwardsAfterTwoInSequence", kCamera, From(kCamera, {5000, 5001, 7, 8, 9}),
             Seqs(kCamera, {5000, 5001, 8, 9})},
        Case{"StrangersAreDroppedWhileTheCameraSpeaks", kCamera,
             Join({From(kCamera, {1}), From(kStranger, {50}), From(kCamera, {2}),
                   From(kStranger, {51}), From(kCamera, {3})}),
             Seqs(kCamera, {1, 2, 3})},
        Case{"StrangerOutOfSequenceNeverLocks",
             std::nullopt,
             Join({From(kStranger, {50, 52, 54, 53})}),
             {}},
        Case{"CameraRestartRelocks", std::nullopt,
             Join({From(kCamera, {1, 2, 3}), From(kRestarted, {900, 901, 902})}),
             Concat(Seqs(kCamera, {1, 2, 3}), Seqs(kRestarted, {900, 901, 902}))},
        Case{"AnnouncedSourceGivesWayToARestart", kCamera,
             Join({From(kCamera, {1, 2}), From(kRestarted, {7, 8})}),
             Concat(Seqs(kCamera, {1, 2}), Seqs(kRestarted, {7, 8}))},
        Case{"HeldPacketsOfTheOldSourceGoOutBeforeTheNewOne", kCamera,
             Join({From(kCamera, {1, 3}), From(kRestarted, {7, 8})}),
             Concat(Seqs(kCamera, {1, 3}), Seqs(kRestarted, {7, 8}))},
        Case{"OtherSourceBeforeTheAnnouncedOneIsOnProbationToo", kCamera,
             Join({From(kStranger, {9}), From(kCamera, {1, 2})}), Seqs(kCamera, {1, 2})}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(SequencerTest, DeadlineIsTheOldestHeldPacketPlus50Ms) {
  CRtpSequencer sequencer;
  sequencer.SetExpectedSsrc(kCamera);
  std::vector<RtpRecordPtr> ready;
  std::vector<RtpRecordPtr> spare;
  sequencer.Push(Record(kCamera, 1), 0, &ready, &spare);
  EXPECT_FALSE(sequencer.Deadline().has_value());
  sequencer.Push(Record(kCamera, 4), 7 * kUnitsPerMs, &ready, &spare);
  sequencer.Push(Record(kCamera, 3), 9 * kUnitsPerMs, &ready, &spare);
  EXPECT_EQ(sequencer.Deadline(), 57 * kUnitsPerMs);
  sequencer.Push(Record(kCamera, 2), 10 * kUnitsPerMs, &ready, &spare);
  EXPECT_FALSE(sequencer.Deadline().has_value());
  EXPECT_EQ(ready.size(), 4u);
}

TEST(SequencerTest, RtcpOnTheRtpPortPassesUnsequenced) {
  CRtpSequencer sequencer;
  std::vector<RtpRecordPtr> ready;
  std::vector<RtpRecordPtr> spare;
  // A sender report (packet type 200 = marker 1, payload type 72) of an unknown source.
  sequencer.Push(Record(kStranger, 0, 0xC8), 0, &ready, &spare);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_FALSE(sequencer.LockedSsrc().has_value());
}

TEST(SequencerTest, RandomDatagramsNeverGetThrough) {
  CRtpSequencer sequencer;
  std::mt19937 random(77);
  std::vector<RtpRecordPtr> ready;
  std::vector<RtpRecordPtr> spare;
  for (int i = 0; i < 20000; ++i) {
    sequencer.Push(Record(static_cast<uint32_t>(random()), static_cast<uint16_t>(random())), 0,
                   &ready, &spare);
  }
  EXPECT_TRUE(ready.empty());
  EXPECT_FALSE(sequencer.LockedSsrc().has_value());
  EXPECT_EQ(sequencer.ForeignDropped(), 19999u);
}

TEST(SequencerTest, ResetForgetsTheSourceAndReturnsWhatItKept) {
  CRtpSequencer sequencer;
  sequencer.SetExpectedSsrc(kCamera);
  std::vector<RtpRecordPtr> ready;
  std::vector<RtpRecordPtr> spare;
  for (uint16_t sequence : {1, 3, 4}) sequencer.Push(Record(kCamera, sequence), 0, &ready, &spare);
  sequencer.Push(Record(kStranger, 9), 0, &ready, &spare);
  sequencer.Reset(&spare);
  EXPECT_EQ(spare.size(), 3u);  // two held and the stranger on probation
  EXPECT_FALSE(sequencer.LockedSsrc().has_value());
  ready.clear();
  // The stranger, now the only source, is taken after two in sequence.
  sequencer.SetExpectedSsrc(std::nullopt);
  sequencer.Push(Record(kStranger, 20), 0, &ready, &spare);
  sequencer.Push(Record(kStranger, 21), 0, &ready, &spare);
  EXPECT_EQ(ready.size(), 2u);
  EXPECT_EQ(sequencer.LockedSsrc(), kStranger);
}

}  // namespace
}  // namespace korvane
