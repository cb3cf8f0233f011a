#include "base/base_thread.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "base/lock.h"
#include "base/testing/recording_debug_message.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Line = CRecordingDebugMessage::Line;

#ifdef _WIN32
using GetThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PWSTR*);
const auto kGetThreadDescription = reinterpret_cast<GetThreadDescriptionFunction>(
    reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
// Windows before 10 (1607) keeps no thread names: there is nothing to compare there.
const bool kOsNamesThreads = kGetThreadDescription != nullptr;

std::string OsThreadName() {
  PWSTR wide = nullptr;
  if (!kOsNamesThreads || FAILED(kGetThreadDescription(GetCurrentThread(), &wide))) return {};
  std::string name;
  for (const wchar_t* c = wide; *c != L'\0'; ++c) name += static_cast<char>(*c);  // ASCII names
  LocalFree(wide);
  return name;
}
#else
constexpr bool kOsNamesThreads = true;

std::string OsThreadName() {
  char os_name[32] = {};
  pthread_getname_np(pthread_self(), os_name, sizeof(os_name));
  return os_name;
}
#endif

template <typename Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = 5000ms) {
  const auto deadline = Clock::now() + limit;
  while (!pred()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Runs the body given by the test; stops its thread in its own destructor, as every owner must.
class TestThread : public CBaseThread {
 public:
  explicit TestThread(IDebugMessage* logger = nullptr) : CBaseThread(logger) {}
  ~TestThread() override { StopThread(5000); }

  std::function<void(TestThread&)> body;
  std::atomic<int> runs{0};
  std::atomic<uint32_t> seen_id{0};
  std::string seen_os_name;  // written by the thread, read after it was joined

  using CBaseThread::StopEvent;

 protected:
  void Run() override {
    seen_id = CurrentThreadId();
    seen_os_name = OsThreadName();
    ++runs;
    if (body) body(*this);
  }
};

void WaitForStop(TestThread& t) { t.StopEvent().Wait(kInfinite); }

TEST(BaseThreadTest, NeverStartedJoinAndStopSucceedAndLeaveStopSet) {
  TestThread join_only;
  EXPECT_TRUE(join_only.JoinThread(1000));
  EXPECT_TRUE(join_only.IsStopRequested());
  TestThread stop_only;
  EXPECT_TRUE(stop_only.StopThread(1000));
  EXPECT_TRUE(stop_only.IsStopRequested());
}

TEST(BaseThreadTest, RunsUnderItsNameCutTo15Characters) {
  TestThread t;
  t.body = WaitForStop;
  ASSERT_TRUE(t.StartThread("UDP client thread, port 3556"));
  EXPECT_TRUE(Eventually([&] { return t.GetThreadId() != 0; }));
  EXPECT_TRUE(t.IsRunning());
  EXPECT_TRUE(t.JoinThread(5000));
  EXPECT_FALSE(t.IsRunning());
  EXPECT_EQ(t.runs.load(), 1);
  EXPECT_EQ(t.GetName(), "UDP client thread, port 3556");
  if (kOsNamesThreads) {
    EXPECT_EQ(t.seen_os_name, "UDP client thre");
  }
  EXPECT_EQ(t.GetThreadId(), t.seen_id.load());
}

TEST(BaseThreadTest, StartWhileRunningFailsAndResetsStop) {
  TestThread u;
  std::atomic<bool> release{false};
  u.body = [&](TestThread&) {
    while (!release) std::this_thread::sleep_for(1ms);  // ignores the stop event
  };
  ASSERT_TRUE(u.StartThread("busy"));
  u.SignalStop();
  EXPECT_FALSE(u.StartThread("second"));
  EXPECT_FALSE(u.IsStopRequested()) << "StartThread resets the stop event first";
  EXPECT_EQ(u.GetName(), "busy");
  EXPECT_TRUE(u.IsRunning());
  release = true;
  EXPECT_TRUE(u.JoinThread(5000));
  EXPECT_EQ(u.runs.load(), 1);
}

TEST(BaseThreadTest, RestartAfterTheThreadEndedUsesTheNewName) {
  TestThread t;  // empty body: Run returns at once
  ASSERT_TRUE(t.StartThread("one"));
  ASSERT_TRUE(Eventually([&] { return !t.IsRunning(); }));
  ASSERT_TRUE(t.StartThread("two"));
  ASSERT_TRUE(t.JoinThread(5000));
  EXPECT_EQ(t.runs.load(), 2);
  EXPECT_EQ(t.GetName(), "two");
  if (kOsNamesThreads) {
    EXPECT_EQ(t.seen_os_name, "two");
  }
  // Stopped and started again.
  t.body = WaitForStop;
  ASSERT_TRUE(t.StartThread("three"));
  EXPECT_FALSE(t.IsStopRequested());
  EXPECT_TRUE(t.StopThread(5000));
  EXPECT_EQ(t.runs.load(), 3);
}

struct SelfCase {
  const char* name;
  bool use_stop;
};

class SelfStopTest : public ::testing::TestWithParam<SelfCase> {};

TEST_P(SelfStopTest, FromTheThreadItselfReturnsFalseWithoutWaiting) {
  CRecordingDebugMessage log;
  TestThread t(&log);
  std::atomic<int> result{-1};
  std::atomic<bool> stop_seen{false};
  t.body = [&](TestThread& self) {
    const bool ok = GetParam().use_stop ? self.StopThread(100) : self.JoinThread(100);
    result = ok ? 1 : 0;
    stop_seen = self.IsStopRequested();
  };
  ASSERT_TRUE(t.StartThread("self"));
  ASSERT_TRUE(Eventually([&] { return result.load() != -1; }));
  EXPECT_EQ(result.load(), 0);
  EXPECT_TRUE(stop_seen.load());
  EXPECT_TRUE(t.JoinThread(5000));
  EXPECT_TRUE(log.Lines().empty());
}

INSTANTIATE_TEST_SUITE_P(Both, SelfStopTest,
                         ::testing::Values(SelfCase{"Join", false}, SelfCase{"Stop", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A thread that ignores the stop event for a while: the bounded wait logs and keeps waiting.
TEST(BaseThreadTest, JoinPastTimeOutLogsThenWaitsForTheEnd) {
  CRecordingDebugMessage log;
  TestThread t(&log);
  std::atomic<bool> finished{false};
  t.body = [&](TestThread&) {
    std::this_thread::sleep_for(400ms);
    finished = true;
  };
  ASSERT_TRUE(t.StartThread("slow"));
  ASSERT_TRUE(Eventually([&] { return t.GetThreadId() != 0; }));
  EXPECT_TRUE(t.JoinThread(50));
  EXPECT_TRUE(finished.load());
  EXPECT_FALSE(t.IsRunning());
  const std::string id = std::to_string(t.GetThreadId());
  const std::vector<Line> expected = {
      {2, "korvane::CBaseThread::JoinThread: Thread (id=" + id +
              ", name=\"slow\") was not stopped during 50 milliseconds"},
      {3, "korvane::CBaseThread::JoinThread: Thread (id=" + id +
              ", name=\"slow\") was stopped correctly"},
  };
  EXPECT_EQ(log.Lines(), expected);
}

TEST(BaseThreadTest, StopPastTimeOutLogsAndDoesNotKill) {
  CRecordingDebugMessage log;
  TestThread t(&log);
  std::atomic<bool> finished{false};
  t.body = [&](TestThread&) {
    std::this_thread::sleep_for(400ms);
    finished = true;  // reached only if the thread was not terminated
  };
  ASSERT_TRUE(t.StartThread("stubborn"));
  ASSERT_TRUE(Eventually([&] { return t.GetThreadId() != 0; }));
  EXPECT_TRUE(t.StopThread(50));
  EXPECT_TRUE(finished.load());
  const std::string id = std::to_string(t.GetThreadId());
  const std::vector<Line> expected = {
      {2, "korvane::CBaseThread::StopThread: Thread (id=" + id +
              ", name=\"stubborn\") was not stopped during 50 milliseconds and will be "
              "terminated!"},
  };
  EXPECT_EQ(log.Lines(), expected);
}

TEST(BaseThreadTest, PromptStopLogsNothing) {
  CRecordingDebugMessage log;
  TestThread t(&log);
  t.body = WaitForStop;
  ASSERT_TRUE(t.StartThread("prompt"));
  EXPECT_TRUE(t.StopThread(5000));
  ASSERT_TRUE(t.StartThread("prompt"));
  EXPECT_TRUE(t.JoinThread(5000));
  EXPECT_TRUE(log.Lines().empty());
}

TEST(BaseThreadTest, ExceptionLeavingRunIsCaughtAndLogged) {
  CRecordingDebugMessage log;
  TestThread t(&log);
  t.body = [](TestThread&) { throw std::runtime_error("boom"); };
  ASSERT_TRUE(t.StartThread("thrower"));
  EXPECT_TRUE(t.JoinThread(5000));
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 1);
  EXPECT_EQ(lines[0].text, "korvane::CBaseThread::ThreadEntry: Thread (id=" +
                               std::to_string(t.GetThreadId()) +
                               ", name=\"thrower\") ended with an exception: boom");
}

TEST(BaseThreadTest, TwoOwnersJoiningAtOnceBothSucceed) {
  TestThread t;
  t.body = WaitForStop;
  ASSERT_TRUE(t.StartThread("shared"));
  std::atomic<int> ok{0};
  std::thread a([&] { ok += t.JoinThread(5000) ? 1 : 0; });
  std::thread b([&] { ok += t.StopThread(5000) ? 1 : 0; });
  a.join();
  b.join();
  EXPECT_EQ(ok.load(), 2);
  EXPECT_FALSE(t.IsRunning());
}

// Run() asks whether its own thread runs while the owner is blocked in JoinThread().
TEST(BaseThreadTest, IsRunningDoesNotBlockDuringAJoin) {
  TestThread t;
  std::atomic<int> running_seen{-1};
  t.body = [&](TestThread& self) {
    WaitForStop(self);
    std::this_thread::sleep_for(20ms);  // the owner is inside JoinThread by now
    running_seen = self.IsRunning() ? 1 : 0;
  };
  ASSERT_TRUE(t.StartThread("asks"));
  EXPECT_TRUE(t.JoinThread(5000));
  EXPECT_EQ(running_seen.load(), 1);
}

TEST(BaseThreadTest, DestructionStopsARunningThread) {
  std::atomic<bool> ended{false};
  {
    TestThread t;
    t.body = [&](TestThread& self) {
      WaitForStop(self);
      ended = true;
    };
    ASSERT_TRUE(t.StartThread("scoped"));
  }
  EXPECT_TRUE(ended.load());
}

}  // namespace
}  // namespace korvane
