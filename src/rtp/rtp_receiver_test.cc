#include "rtp/rtp_receiver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/testing/recording_debug_message.h"
#include "base/testing/virtual_clock.h"
#include "rtp/testing/udp_test_peer.h"

namespace korvane {
namespace {

using testing::MakeRtp;
using testing::UdpPeer;
using testing::WaitUntil;

struct Delivered {
  uint16_t sequence;
  std::vector<uint8_t> payload;
  SocketAddress from;
};

class RecordingReceiverUser : public IRTPReceiverUser {
 public:
  void OnPacket(const CRTPPacket& packet) override {
    std::lock_guard<std::mutex> guard(mutex_);
    ++interleaved_;
    delivered_.push_back(
        {packet.Sequence(), {packet.Payload().begin(), packet.Payload().end()}, {}});
  }
  void OnPacketFrom(const SocketAddress& from, const CRTPPacket& packet) override {
    std::unique_lock<std::mutex> lock(mutex_);
    entered_ = true;
    entered_cv_.notify_all();
    gate_cv_.wait(lock, [&] { return !gated_; });
    delivered_.push_back(
        {packet.Sequence(), {packet.Payload().begin(), packet.Payload().end()}, from});
    if (throw_on_ != 0 && packet.Sequence() == throw_on_) throw std::runtime_error("user failure");
  }
  void OnTransportWait() override { ++waits_; }
  void OnTransportClosed() override { ++closed_; }
  void OnCodecConfig(const DecoderConfig*) override {}

  // While gated, the next delivery blocks inside OnPacketFrom: a stalled consumer.
  void Gate() {
    std::lock_guard<std::mutex> guard(mutex_);
    gated_ = true;
  }
  void Ungate() {
    std::lock_guard<std::mutex> guard(mutex_);
    gated_ = false;
    gate_cv_.notify_all();
  }
  bool WaitEntered() {
    std::unique_lock<std::mutex> lock(mutex_);
    return entered_cv_.wait_for(lock, std::chrono::seconds(5), [&] { return entered_; });
  }
  std::vector<Delivered> Packets() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return delivered_;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return delivered_.size();
  }
  std::vector<uint16_t> Sequences() const {
    std::vector<uint16_t> result;
    for (const auto& p : Packets()) result.push_back(p.sequence);
    return result;
  }

  uint16_t throw_on_ = 0;
  std::atomic<int> interleaved_{0};
  std::atomic<int> waits_{0};
  std::atomic<int> closed_{0};

 private:
  mutable std::mutex mutex_;
  std::condition_variable gate_cv_;
  std::condition_variable entered_cv_;
  bool gated_ = false;
  bool entered_ = false;
  std::vector<Delivered> delivered_;
};

// What a scripted transport saw; outlives the client, which the receiver deletes.
struct FakeClientState {
  std::atomic<bool> open_result{true};
  std::atomic<int> opens{0};
  std::atomic<int> closes{0};
  std::atomic<bool> deleted{false};
  std::atomic<uint32_t> receive_size{0};
  std::atomic<uint32_t> wait_seconds{99};
  std::atomic<IRTPClientUser*> user{nullptr};
};

class FakeClient : public IRTPClient {
 public:
  explicit FakeClient(std::shared_ptr<FakeClientState> state) : state_(std::move(state)) {}
  ~FakeClient() override { state_->deleted = true; }
  bool Open(IRTPClientUser* user, uint16_t) override {
    ++state_->opens;
    state_->user = user;
    return state_->open_result;
  }
  bool Close() override {
    ++state_->closes;
    return true;
  }
  void SetReceiveSize(uint32_t bytes) override { state_->receive_size = bytes; }
  void SetWait(uint32_t seconds, uint32_t) override { state_->wait_seconds = seconds; }
  uint16_t GetPort() const override { return 5000; }

 private:
  std::shared_ptr<FakeClientState> state_;
};

constexpr uint32_t kTestSsrc = 0x11223344;
constexpr TransportMode kScriptedMode = kRtpOverRtsp;  // any mode other than UDP uses the client given

class RtpReceiverFakeTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client_ = new FakeClient(state_);
    receiver_.SetUser(&user_);
    receiver_.SetClient(client_);
    // The source MakeRtp() sends as, announced: single packets pass without probation.
    receiver_.SetExpectedSsrc(kTestSsrc);
    ASSERT_TRUE(receiver_.Start(5000, kScriptedMode));
  }
  void Feed(const std::vector<uint8_t>& bytes, IRTPClient* client = nullptr) {
    receiver_.OnData(client != nullptr ? client : client_, from_, bytes.data(), bytes.size());
  }

  CRecordingDebugMessage log_;
  RecordingReceiverUser user_;
  std::shared_ptr<FakeClientState> state_ = std::make_shared<FakeClientState>();
  FakeClient* client_ = nullptr;
  SocketAddress from_ = testing::LoopbackSocketAddress(6970);
  CRTPReceiver receiver_{&log_};
};

TEST_F(RtpReceiverFakeTransportTest, StartConfiguresTheTransport) {
  EXPECT_EQ(state_->opens, 1);
  EXPECT_EQ(state_->user.load(), static_cast<IRTPClientUser*>(&receiver_));
  EXPECT_EQ(state_->receive_size, CRTPReceiver::kReceiveSize);
  EXPECT_EQ(state_->wait_seconds, CRTPReceiver::kWaitSeconds);
  EXPECT_EQ(receiver_.GetName(), "RTP Packet Queue (5000)");
  EXPECT_TRUE(receiver_.IsRunning());
}

TEST_F(RtpReceiverFakeTransportTest, DeliversInSequenceOrderWithoutDuplicates) {
  for (uint16_t seq : {65533, 65535, 65534, 65534, 1, 0, 2}) Feed(MakeRtp(seq, 20));
  ASSERT_TRUE(WaitUntil([&] { return user_.Count() == 6; }));
  EXPECT_EQ(user_.Sequences(), (std::vector<uint16_t>{65533, 65534, 65535, 0, 1, 2}));
  EXPECT_EQ(user_.interleaved_, 0);
  const auto packets = user_.Packets();
  EXPECT_EQ(packets[0].from, from_);
  EXPECT_EQ(packets[0].payload, std::vector<uint8_t>(20, 0xAB));
}

TEST_F(RtpReceiverFakeTransportTest, TransportEventsReachTheUserOnlyFromTheHeldClient) {
  FakeClient other(std::make_shared<FakeClientState>());
  receiver_.OnWaitTimeout(client_);
  receiver_.OnWaitTimeout(&other);
  receiver_.OnClosed(&other);
  EXPECT_EQ(user_.waits_, 1);
  EXPECT_EQ(user_.closed_, 0);
  receiver_.OnClosed(client_);
  EXPECT_EQ(user_.closed_, 1);
}

TEST_F(RtpReceiverFakeTransportTest, DatagramsFromAnotherClientAreIgnored) {
  FakeClient other(std::make_shared<FakeClientState>());
  Feed(MakeRtp(1, 10), &other);
  Feed(MakeRtp(2, 10));
  ASSERT_TRUE(WaitUntil([&] { return user_.Count() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(user_.Sequences(), std::vector<uint16_t>{2});
}

TEST_F(RtpReceiverFakeTransportTest, StopClosesAndReleasesTheClientAndIgnoresItAfterwards) {
  receiver_.Stop();
  EXPECT_EQ(state_->closes, 1);
  EXPECT_TRUE(state_->deleted);
  EXPECT_FALSE(receiver_.IsRunning());
  EXPECT_EQ(receiver_.GetPort(), 0);
  // A late delivery from the released client (only its address is compared).
  Feed(MakeRtp(3, 10));
  receiver_.OnWaitTimeout(client_);
  EXPECT_EQ(receiver_.QueuedPackets(), 0u);
  EXPECT_EQ(user_.Count(), 0u);
  EXPECT_EQ(user_.waits_, 0);
}

TEST_F(RtpReceiverFakeTransportTest, AnExceptionFromTheUserDoesNotStopDelivery) {
  user_.throw_on_ = 2;
  for (uint16_t seq : {1, 2, 3}) Feed(MakeRtp(seq, 4));
  ASSERT_TRUE(WaitUntil([&] { return user_.Count() == 3; }));
  EXPECT_EQ(user_.Sequences(), (std::vector<uint16_t>{1, 2, 3}));
}

TEST_F(RtpReceiverFakeTransportTest, StalledUserKeepsTheQueueUnderTheDefaultCap) {
  // A host whose frame sink blocks: about 56 MiB arrive while the first packet is held.
  user_.Gate();
  Feed(MakeRtp(0, 1400));
  ASSERT_TRUE(user_.WaitEntered());
  constexpr int kPackets = 40000;
  size_t peak = 0;
  for (int i = 1; i <= kPackets; ++i) {
    Feed(MakeRtp(static_cast<uint16_t>(i), 1400));
    if (i % 1000 == 0) peak = std::max(peak, receiver_.QueuedBytes());
  }
  EXPECT_LE(peak, CRTPReceiver::kDefaultQueueLimitBytes);
  EXPECT_LE(receiver_.QueuedBytes(), CRTPReceiver::kDefaultQueueLimitBytes);
  // Nearly full: the cap, not a much smaller bound, is what stopped the growth.
  EXPECT_GT(receiver_.QueuedBytes(), CRTPReceiver::kDefaultQueueLimitBytes - 4096);
  const size_t queued = receiver_.QueuedPackets();
  EXPECT_EQ(queued + receiver_.DroppedPackets(), static_cast<size_t>(kPackets));
  EXPECT_GT(receiver_.DroppedPackets(), 10000u);

  // The oldest were dropped: what is delivered is the newest run, in order, after packet 0.
  user_.Ungate();
  ASSERT_TRUE(WaitUntil([&] { return user_.Count() == queued + 1; }, 20000));
  const auto sequences = user_.Sequences();
  EXPECT_EQ(sequences.front(), 0);
  const uint16_t first_kept = static_cast<uint16_t>(kPackets - queued + 1);
  EXPECT_EQ(sequences[1], first_kept);
  EXPECT_EQ(sequences.back(), static_cast<uint16_t>(kPackets));
  EXPECT_EQ(receiver_.QueuedBytes(), 0u);
}

TEST_F(RtpReceiverFakeTransportTest, TinyPacketsAreBoundedToo) {
  // Per-packet bookkeeping counts: a flood of 1-byte payloads does not slip past the cap.
  receiver_.SetQueueLimit(64 * 1024);
  user_.Gate();
  Feed(MakeRtp(0, 1));
  ASSERT_TRUE(user_.WaitEntered());
  for (int i = 1; i <= 10000; ++i) Feed(MakeRtp(static_cast<uint16_t>(i), 1));
  EXPECT_LE(receiver_.QueuedBytes(), 64u * 1024);
  EXPECT_LT(receiver_.QueuedPackets(), 64u * 1024 / 64);
  EXPECT_GT(receiver_.QueuedPackets(), 0u);
  user_.Ungate();
}

// Datagrams that must be dropped, each followed by a valid one that must arrive.
struct BadDatagram {
  const char* name;
  std::vector<uint8_t> bytes;
};

class RtpReceiverBadInput : public RtpReceiverFakeTransportTest,
                            public ::testing::WithParamInterface<BadDatagram> {};

TEST_P(RtpReceiverBadInput, IsDroppedAndTheNextPacketStillArrives) {
  Feed(GetParam().bytes);
  Feed(MakeRtp(77, 3));
  ASSERT_TRUE(WaitUntil([&] { return user_.Count() >= 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(user_.Sequences(), std::vector<uint16_t>{77});
}

std::vector<uint8_t> WithFirstByte(std::vector<uint8_t> p, uint8_t first) {
  p[0] = first;
  return p;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RtpReceiverBadInput,
    ::testing::Values(
        BadDatagram{"Empty", {}},
        BadDatagram{"HeaderOnly", MakeRtp(1, 0)},
        BadDatagram{"Short", {0x80, 0x60, 0, 1}},
        BadDatagram{"VersionOne", WithFirstByte(MakeRtp(1, 10), 0x40)},
        BadDatagram{"VersionZero", WithFirstByte(MakeRtp(1, 10), 0x00)},
        // CC=15: 60 bytes of CSRC in a 22-byte datagram.
        BadDatagram{"CsrcPastTheEnd", WithFirstByte(MakeRtp(1, 10), 0x8F)},
        // CC=1 and nothing after the CSRC.
        BadDatagram{"CsrcUpToTheEnd", WithFirstByte(MakeRtp(1, 4), 0x81)},
        // X=1, extension length 0xFFFF words.
        BadDatagram{"ExtensionPastTheEnd",
                    {0x90, 0x60, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0xBE, 0xDE, 0xFF, 0xFF, 1, 2}},
        // X=1 and the 4 extension header bytes are all that is left.
        BadDatagram{"ExtensionWithoutPayload",
                    {0x90, 0x60, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0xBE, 0xDE, 0, 0}},
        BadDatagram{"Garbage", std::vector<uint8_t>(300, 0xFF)}),
    [](const ::testing::TestParamInfo<BadDatagram>& info) { return std::string(info.param.name); });

TEST(RtpReceiverTest, StartFailsWhenThePortIsInUse) {
  CRecordingDebugMessage log;
  RecordingReceiverUser user;
  CRTPReceiver holder(&log);
  ASSERT_TRUE(holder.Start(0, kRtpOverUdp));
  CRTPReceiver receiver(&log);
  receiver.SetUser(&user);
  EXPECT_FALSE(receiver.Start(holder.GetPort(), kRtpOverUdp));
  EXPECT_FALSE(receiver.IsRunning());
  EXPECT_EQ(receiver.GetPort(), 0);
}

TEST(RtpReceiverTest, StartWithoutAClientFails) {
  CRecordingDebugMessage log;
  CRTPReceiver receiver(&log);
  EXPECT_FALSE(receiver.Start(0, kScriptedMode));
  EXPECT_FALSE(receiver.IsRunning());
}

TEST(RtpReceiverTest, FailedOpenClosesAndReleasesTheClient) {
  CRecordingDebugMessage log;
  auto state = std::make_shared<FakeClientState>();
  state->open_result = false;
  CRTPReceiver receiver(&log);
  receiver.SetClient(new FakeClient(state));
  EXPECT_FALSE(receiver.Start(0, kScriptedMode));
  EXPECT_EQ(state->closes, 1);
  EXPECT_TRUE(state->deleted);
  EXPECT_FALSE(receiver.IsRunning());
}

TEST(RtpReceiverTest, CameraOverUdpLoopback) {
  CRecordingDebugMessage log;
  RecordingReceiverUser user;
  UdpPeer camera;
  CRTPReceiver receiver(&log);
  receiver.SetUser(&user);
  ASSERT_TRUE(receiver.Start(0, kRtpOverUdp));
  const uint16_t port = receiver.GetPort();
  ASSERT_NE(port, 0);

  // 64 KiB-class datagram: lost (1536-byte reads), the stream goes on.
  ASSERT_TRUE(camera.SendTo(port, MakeRtp(1, 65000)));
  // Paced in steps of 7, so that the 64 KiB socket buffer never overflows.
  for (uint16_t seq = 2; seq <= 50; ++seq) {
    ASSERT_TRUE(camera.SendTo(port, MakeRtp(seq, 1000, static_cast<uint8_t>(seq))));
    if (seq % 7 == 1) {
      ASSERT_TRUE(WaitUntil([&] { return user.Count() == seq - 1u; })) << seq;
    }
  }
  ASSERT_TRUE(WaitUntil([&] { return user.Count() == 49; })) << user.Count();
  const auto packets = user.Packets();
  for (size_t i = 0; i < packets.size(); ++i) {
    EXPECT_EQ(packets[i].sequence, i + 2);
    EXPECT_EQ(packets[i].payload, std::vector<uint8_t>(1000, static_cast<uint8_t>(i + 2)));
    EXPECT_EQ(packets[i].from.port, camera.port());
  }

  receiver.Stop();
  EXPECT_EQ(user.closed_, 1);  // the transport's close reaches the user
  EXPECT_EQ(receiver.GetPort(), 0);
  ASSERT_TRUE(camera.SendTo(port, MakeRtp(99, 10)));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(user.Count(), 49u);

  // The port is free again, and the receiver can start on it anew; the source is learnt
  // afresh (two packets in sequence), so both arrive.
  ASSERT_TRUE(receiver.Start(port, kRtpOverUdp));
  ASSERT_TRUE(camera.SendTo(port, MakeRtp(100, 10)));
  ASSERT_TRUE(camera.SendTo(port, MakeRtp(101, 10)));
  ASSERT_TRUE(WaitUntil([&] { return user.Count() == 51; }));
  EXPECT_EQ(user.Packets()[49].sequence, 100);
  EXPECT_EQ(user.Packets().back().sequence, 101);
}

std::vector<uint8_t> WithSsrc(std::vector<uint8_t> packet, uint32_t ssrc) {
  for (int i = 0; i < 4; ++i) packet[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
  return packet;
}

TEST_F(RtpReceiverFakeTransportTest, OtherSourcesAreDroppedAndCounted) {
  Feed(MakeRtp(1, 4));
  for (uint16_t seq = 0; seq < 10; seq += 2) Feed(WithSsrc(MakeRtp(seq, 4), 0x01020304 + seq));
  Feed(MakeRtp(2, 4));
  ASSERT_TRUE(WaitUntil([&] { return user_.Count() == 2; }));
  EXPECT_TRUE(WaitUntil([&] { return receiver_.ForeignPackets() == 5; }));
  EXPECT_EQ(user_.Sequences(), (std::vector<uint16_t>{1, 2}));
}

TEST(RtpReceiverTest, InterleavedFramesReachOnPacketWhileStarted) {
  CRecordingDebugMessage log;
  RecordingReceiverUser user;
  CRTPReceiver receiver(&log);
  receiver.SetUser(&user);
  const auto early = MakeRtp(1, 4);
  receiver.OnRtpFrame(early);  // not started: ignored
  ASSERT_TRUE(receiver.StartInterleaved());
  for (uint16_t seq = 5; seq <= 7; ++seq) receiver.OnRtpFrame(MakeRtp(seq, 4));
  ASSERT_TRUE(WaitUntil([&] { return user.Count() == 3; }));
  EXPECT_EQ(user.Sequences(), (std::vector<uint16_t>{5, 6, 7}));
  EXPECT_EQ(user.interleaved_, 3);
  receiver.Stop();
  receiver.OnRtpFrame(MakeRtp(8, 4));
  EXPECT_EQ(receiver.QueuedPackets(), 0u);
}

// A receiver for interleaved packets on `clock`, with a recording user, locked onto MakeRtp()'s
// source.
struct InterleavedReceiver {
  explicit InterleavedReceiver(IClock& clock) : receiver(&log, clock) {
    receiver.SetUser(&user);
    receiver.SetExpectedSsrc(kTestSsrc);
  }
  CRecordingDebugMessage log;
  RecordingReceiverUser user;
  CRTPReceiver receiver;
};

TEST(RtpReceiverTest, HeldPacketsGoOutWhenTheGapTimesOut) {
  // Time moves only as the test allows: the queue thread must wake at the hold deadline itself.
  testing::CVirtualClock clock;
  InterleavedReceiver rig(clock);
  CRTPReceiver& receiver = rig.receiver;
  RecordingReceiverUser& user = rig.user;
  ASSERT_TRUE(receiver.StartInterleaved());
  for (uint16_t seq : {1, 3, 4}) receiver.OnRtpFrame(MakeRtp(seq, 4));
  ASSERT_TRUE(WaitUntil([&] { return user.Count() == 1; }));
  ASSERT_TRUE(clock.RunUntilMs(49));
  EXPECT_EQ(user.Count(), 1u);
  clock.AllowUntilMs(50);
  ASSERT_TRUE(WaitUntil([&] { return user.Count() == 3; }));
  EXPECT_EQ(user.Sequences(), (std::vector<uint16_t>{1, 3, 4}));
  receiver.Stop();
}

// Time that moves only when the test says; waits are real (the queue thread idles on them).
class SteppedClock final : public IClock {
 public:
  uint64_t Now() override { return now_.load(); }
  uint32_t Wait(std::initializer_list<CEvent*> events, uint32_t timeout_ms) override {
    return WaitForEvents(events, timeout_ms);
  }
  void AdvanceMs(uint64_t ms) { now_ += ms * 10000; }

 private:
  std::atomic<uint64_t> now_{10'000'000};
};

TEST(RtpReceiverTest, AReaderThatReportsItsReadsHandsOverWholePictures) {
  SteppedClock clock;
  InterleavedReceiver rig(clock);
  CRTPReceiver& receiver = rig.receiver;
  RecordingReceiverUser& user = rig.user;
  ASSERT_TRUE(receiver.StartInterleaved());
  const auto quiet = [&] { std::this_thread::sleep_for(std::chrono::milliseconds(30)); };
  // Until the reader reports a read end, every packet goes on at once.
  receiver.OnRtpFrame(MakeRtp(1, 4));
  ASSERT_TRUE(WaitUntil([&] { return user.Count() == 1; }));
  EXPECT_EQ(receiver.EndOfRead().hold_ms, 0u);  // nothing left unsignalled

  struct Step {
    const char* name;
    std::vector<uint16_t> sequences;  // read this round; the last one carries the marker if
    bool marker;                      // `marker`
    uint64_t advance_ms;              // time passing before the read end
    bool picture_end;
    uint32_t hold_ms;
    size_t delivered;  // packets at the user afterwards
  };
  const Step steps[] = {
      {"a picture's first packets are held", {2, 3}, false, 0, false, 5, 1},
      {"more of it, later: held for what is left", {4}, false, 2, false, 3, 1},
      {"its last packet: the whole picture goes", {5}, true, 0, true, 0, 5},
      {"an unfinished picture past the bound goes too", {6, 7}, false, 5, false, 0, 7},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    for (size_t i = 0; i < step.sequences.size(); ++i) {
      const bool marker = step.marker && i + 1 == step.sequences.size();
      receiver.OnRtpFrame(MakeRtp(step.sequences[i], 4, 0xAB, 90000, marker));
    }
    clock.AdvanceMs(step.advance_ms);
    const ReadVerdict verdict = receiver.EndOfRead();
    EXPECT_EQ(verdict.picture_end, step.picture_end);
    EXPECT_EQ(verdict.hold_ms, step.hold_ms);
    if (step.hold_ms > 0) quiet();  // time for a wrong hand-over to show
    ASSERT_TRUE(WaitUntil([&] { return user.Count() == step.delivered; }));
  }
  EXPECT_EQ(user.Sequences(), (std::vector<uint16_t>{1, 2, 3, 4, 5, 6, 7}));
  receiver.Stop();
}

}  // namespace
}  // namespace korvane
