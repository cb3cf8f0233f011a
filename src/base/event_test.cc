#include "base/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "base/socket.h"
#include "base/testing/test_sockets.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

TEST(EventTest, AutoResetIsConsumedByOneWait) {
  CEvent event;
  EXPECT_FALSE(event.IsManualReset());
  EXPECT_FALSE(event.Wait(0));
  ASSERT_TRUE(event.Set());
  EXPECT_TRUE(event.IsSet());
  EXPECT_TRUE(event.IsSet()) << "IsSet must not consume";
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.Wait(0));
  EXPECT_FALSE(event.IsSet());
}

TEST(EventTest, SettingTwiceQueuesOneSignal) {
  CEvent event;
  ASSERT_TRUE(event.Set());
  ASSERT_TRUE(event.Set());
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.Wait(0));
}

TEST(EventTest, ManualResetStaysSetUntilReset) {
  CManualEvent event;
  EXPECT_TRUE(event.IsManualReset());
  EXPECT_FALSE(event.IsSet());
  ASSERT_TRUE(event.Set());
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.IsSet());
  event.Reset();
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.Wait(0));
  event.Reset();  // resetting a reset event is harmless
  EXPECT_FALSE(event.IsSet());
}

TEST(EventTest, WaitTimesOutNoEarlierThanAsked) {
  CEvent event;
  const auto start = Clock::now();
  EXPECT_FALSE(event.Wait(80));
  EXPECT_GE(ElapsedMs(start), 80);
}

TEST(EventTest, WaitWakesWhenAnotherThreadSets) {
  CEvent event;
  std::thread setter([&] {
    std::this_thread::sleep_for(30ms);
    event.Set();
  });
  EXPECT_TRUE(event.Wait(kInfinite));
  setter.join();
}

struct IndexCase {
  const char* name;
  std::vector<int> set;  // which of three events are set before the wait
  uint32_t expected;
};

class WaitForEventsIndexTest : public ::testing::TestWithParam<IndexCase> {};

TEST_P(WaitForEventsIndexTest, ReturnsLowestSignalledIndex) {
  CEvent a;
  CManualEvent b;
  CEvent c;
  CEvent* events[] = {&a, &b, &c};
  for (int i : GetParam().set) events[i]->Set();
  EXPECT_EQ(WaitForEvents(3, events, 50), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WaitForEventsIndexTest,
    ::testing::Values(IndexCase{"FirstOnly", {0}, 0u}, IndexCase{"SecondOnly", {1}, 1u},
                      IndexCase{"ThirdOnly", {2}, 2u}, IndexCase{"SecondAndThird", {1, 2}, 1u},
                      IndexCase{"All", {0, 1, 2}, 0u}, IndexCase{"None", {}, kWaitTimeout}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WaitForEventsTest, ConsumesOnlyTheReturnedAutoEvent) {
  CEvent a;
  CEvent b;
  a.Set();
  b.Set();
  EXPECT_EQ(WaitForEvents({&a, &b}, 0), 0u);
  EXPECT_EQ(WaitForEvents({&a, &b}, 0), 1u);
  EXPECT_EQ(WaitForEvents({&a, &b}, 0), kWaitTimeout);
}

TEST(WaitForEventsTest, TimeOutIsAllBitsSet) {
  CEvent a;
  CManualEvent b;
  const auto start = Clock::now();
  const uint32_t result = WaitForEvents({&a, &b}, 60);
  EXPECT_EQ(result, 0xFFFFFFFFu);
  EXPECT_EQ(static_cast<int32_t>(result), -1);
  EXPECT_GE(ElapsedMs(start), 60);
}

TEST(WaitForEventsTest, BadArgumentsFail) {
  CEvent a;
  a.Set();
  CEvent* with_null[] = {&a, nullptr};
  EXPECT_EQ(WaitForEvents(1, nullptr, 0), kWaitTimeout);
  EXPECT_EQ(WaitForEvents(2, with_null, 0), kWaitTimeout);
  EXPECT_EQ(WaitForEvents(0, with_null, 0), kWaitTimeout);
  std::vector<CEvent*> too_many(kMaxWaitEvents + 1, &a);
  EXPECT_EQ(WaitForEvents(static_cast<uint32_t>(too_many.size()), too_many.data(), 0),
            kWaitTimeout);
  EXPECT_TRUE(a.IsSet()) << "a failed wait must not consume";
}

TEST(WaitForEventsTest, WakesOnEventSetByAnotherThread) {
  CManualEvent stop;
  CEvent item;
  std::thread setter([&] {
    std::this_thread::sleep_for(30ms);
    item.Set();
  });
  EXPECT_EQ(WaitForEvents({&stop, &item}, 10000), 1u);
  setter.join();
}

// Two threads wait on one auto-reset event: each Set() wakes exactly one of them.
TEST(WaitForEventsTest, AutoResetSignalGoesToExactlyOneOfTwoWaiters) {
  CEvent event;
  CManualEvent quit;
  std::atomic<int> wins{0};
  auto waiter = [&] {
    // Each waiter takes at most one signal, then leaves.
    if (WaitForEvents({&event, &quit}, 10000) == 0) ++wins;
  };
  std::thread first(waiter);
  std::thread second(waiter);
  std::this_thread::sleep_for(30ms);
  event.Set();
  const auto deadline = Clock::now() + 5s;
  while (wins.load() < 1 && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(100ms);  // time for a wrong second wake-up to show
  EXPECT_EQ(wins.load(), 1);
  EXPECT_FALSE(event.IsSet());
  // The second signal is not lost: the remaining waiter takes it.
  event.Set();
  first.join();
  second.join();
  EXPECT_EQ(wins.load(), 2);
  EXPECT_FALSE(event.IsSet());
}

TEST(WaitForEventsTest, ManualEventReleasesEveryWaiter) {
  CManualEvent event;
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (event.Wait(10000)) ++woken;
    });
  }
  std::this_thread::sleep_for(30ms);
  event.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 3);
  EXPECT_TRUE(event.IsSet());
}

// A bound UDP socket on 127.0.0.1 and a sender aimed at it.
class UdpPair {
 public:
  UdpPair() : receiver_(socket(AF_INET, SOCK_DGRAM, 0)), sender_(socket(AF_INET, SOCK_DGRAM, 0)) {
    address_.sin_family = AF_INET;
    address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address_.sin_port = 0;
    bind(receiver_.Get(), reinterpret_cast<sockaddr*>(&address_), sizeof(address_));
    socklen_t length = sizeof(address_);
    getsockname(receiver_.Get(), reinterpret_cast<sockaddr*>(&address_), &length);
  }
  bool Send() {
    const char byte = 'x';
    return sendto(sender_.Get(), &byte, 1, 0, reinterpret_cast<sockaddr*>(&address_),
                  sizeof(address_)) == 1;
  }
  int ReceiverFd() const { return receiver_.Get(); }

 private:
  CSocketHandle receiver_;
  CSocketHandle sender_;
  sockaddr_in address_{};
};

TEST(WaitForEventsOrSocketTest, ReportsReadySocket) {
  UdpPair udp;
  CManualEvent stop;
  EXPECT_EQ(WaitForEventsOrSocket({&stop}, udp.ReceiverFd(), kSocketReadable, 20), kWaitTimeout);
  ASSERT_TRUE(udp.Send());
  short revents = 0;
  EXPECT_EQ(WaitForEventsOrSocket({&stop}, udp.ReceiverFd(), kSocketReadable, 5000, &revents),
            kWaitSocket);
  EXPECT_NE(revents & kSocketReadable, 0);
}

// The datagram arrives while the wait blocks: the socket, not the time-out, ends it.
TEST(WaitForEventsOrSocketTest, WakesWhenTheSocketBecomesReadable) {
  UdpPair udp;
  CManualEvent stop;
  std::thread sender([&] {
    std::this_thread::sleep_for(50ms);
    udp.Send();
  });
  const auto start = Clock::now();
  short revents = 0;
  EXPECT_EQ(WaitForEventsOrSocket({&stop}, udp.ReceiverFd(), kSocketReadable, 10000, &revents),
            kWaitSocket);
  EXPECT_LT(ElapsedMs(start), 5000);
  EXPECT_EQ(revents & kSocketReadable, kSocketReadable);
  sender.join();
}

TEST(WaitForEventsOrSocketTest, EventWinsOverReadySocket) {
  UdpPair udp;
  CManualEvent stop;
  CEvent wake;
  ASSERT_TRUE(udp.Send());
  wake.Set();
  EXPECT_EQ(WaitForEventsOrSocket({&stop, &wake}, udp.ReceiverFd(), kSocketReadable, 5000), 1u);
  stop.Set();
  EXPECT_EQ(WaitForEventsOrSocket({&stop, &wake}, udp.ReceiverFd(), kSocketReadable, 5000), 0u);
}

TEST(WaitForEventsOrSocketTest, SocketAloneAndBadSocket) {
  UdpPair udp;
  EXPECT_EQ(WaitForEventsOrSocket(0, nullptr, udp.ReceiverFd(), kSocketReadable, 10),
            kWaitTimeout);
  ASSERT_TRUE(udp.Send());
  EXPECT_EQ(WaitForEventsOrSocket(0, nullptr, udp.ReceiverFd(), kSocketReadable, 5000),
            kWaitSocket);
  CEvent event;
  event.Set();
  EXPECT_EQ(WaitForEventsOrSocket({&event}, -1, kSocketReadable, 0), kWaitTimeout);
}

// The socket takes the last of the 64 handles a wait has on Windows.
TEST(WaitForEventsOrSocketTest, TakesAtMost63Events) {
  UdpPair udp;
  ASSERT_TRUE(udp.Send());
  CEvent many[kMaxWaitEvents];
  std::vector<CEvent*> all;
  for (CEvent& e : many) all.push_back(&e);
  many[kMaxWaitEventsWithSocket - 1].Set();
  EXPECT_EQ(WaitForEventsOrSocket(kMaxWaitEventsWithSocket, all.data(), udp.ReceiverFd(),
                                  kSocketReadable, 0),
            kMaxWaitEventsWithSocket - 1);
  EXPECT_EQ(WaitForEventsOrSocket(kMaxWaitEvents, all.data(), udp.ReceiverFd(), kSocketReadable,
                                  0),
            kWaitTimeout);
}

TEST(WaitForEventsOrSocketTest, StopSetFromAnotherThreadEndsWait) {
  UdpPair udp;
  CManualEvent stop;
  std::thread setter([&] {
    std::this_thread::sleep_for(30ms);
    stop.Set();
  });
  EXPECT_EQ(WaitForEventsOrSocket({&stop}, udp.ReceiverFd(), kSocketReadable, kInfinite), 0u);
  setter.join();
}

}  // namespace
}  // namespace korvane
