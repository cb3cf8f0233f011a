#include "io/cnb_io.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "camera/testing/camera_test_util.h"
#include "camera/testing/scripted_http_server.h"
#include "core/testing/fake_driver.h"

// The digital I/O of a CNB camera against a scripted camera on 127.0.0.1: the alarm requests an
// output change sends (or does not send), the input reports, failure streaks, start and stop.
namespace korvane {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using testing::FakeDriver;
using testing::LoopbackDevice;
using testing::MeasureMs;
using testing::ScriptedHttpServer;
using testing::ScriptedReply;
using testing::ScriptedRequest;
using namespace std::chrono_literals;

constexpr char kAlarmPrefix[] = "/cgi-bin/Param.cgi?action=update&alarm.control=2&alarm.signaltype=";
constexpr auto kBound = 10s;  // generous: every awaited step takes milliseconds

struct Event {
  enum Kind { kInput, kError };
  Kind kind;
  std::uint32_t index = 0;
  std::int32_t state = 0;
  bool operator==(const Event&) const = default;
};
Event Input(std::uint32_t index, std::int32_t state) { return {Event::kInput, index, state}; }
Event Error() { return {Event::kError}; }

// The host's sink: keeps every call, from any thread.
class RecordingEvents : public ICaptureIOEvents {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  void OnInputStateChanged(std::uint32_t index, std::int32_t state) override {
    Add(Input(index, state));
  }
  void OnIOError() override {
    if (on_error) on_error();
    Add(Error());
  }

  std::vector<Event> Events() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return events_;
  }
  std::size_t Count(const Event& event) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return static_cast<std::size_t>(std::count(events_.begin(), events_.end(), event));
  }
  bool WaitForCount(const Event& event, std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kBound, [&] {
      return static_cast<std::size_t>(std::count(events_.begin(), events_.end(), event)) >= count;
    });
  }

  // Runs inside OnIOError, on the I/O thread that reports.
  std::function<void()> on_error;

 private:
  void Add(const Event& event) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      events_.push_back(event);
    }
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
};

enum class Answer { kSuccess, kFailure, kNoAnswer };

bool WaitUntil(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + kBound;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class CNBIOTest : public ::testing::Test {
 protected:
  // The n-th request gets answers[n]; later ones succeed.
  void Serve(std::vector<Answer> answers = {}, std::uint32_t request_timeout_ms = 5000) {
    answers_ = std::move(answers);
    server_ = std::make_unique<ScriptedHttpServer>([this](const ScriptedRequest&) {
      const std::size_t n = served_++;
      const Answer answer = n < answers_.size() ? answers_[n] : Answer::kSuccess;
      switch (answer) {
        case Answer::kFailure: return ScriptedReply::Status(500, "Internal Server Error");
        case Answer::kNoAnswer: return ScriptedReply::NeverAnswer();
        case Answer::kSuccess: break;
      }
      return ScriptedReply::Ok("Success\r\n");
    });
    driver_.device = LoopbackDevice(server_->port(), "admin", "secret", request_timeout_ms);
  }

  void Make(std::uint32_t inputs, std::uint32_t outputs, std::uint32_t poll_ms = 20) {
    if (!server_) Serve();
    driver_.inputs = inputs;
    driver_.outputs = outputs;
    io_ = std::make_unique<CCNBIO>(&driver_);
    io_->SetInputPollIntervalForTesting(poll_ms);
    ASSERT_TRUE(io_->SetEventSink(&events_));
  }

  // The signal type of every request the camera received, in order (-1: not an alarm request).
  std::vector<int> SignalTypes() const {
    std::vector<int> types;
    for (const ScriptedRequest& request : server_->Requests()) {
      const std::string& target = request.target;
      const std::string prefix = kAlarmPrefix;
      if (target.size() == prefix.size() + 1 && target.starts_with(prefix)) {
        types.push_back(target.back() - '0');
      } else {
        types.push_back(-1);
      }
    }
    return types;
  }
  bool WaitForRequests(std::size_t count) {
    return WaitUntil([&] { return server_->Requests().size() >= count; });
  }
  std::vector<std::string> ErrorLines() const {
    std::vector<std::string> lines;
    for (const auto& line : driver_.Lines()) {
      if (line.level == kLogError) lines.push_back(line.text);
    }
    return lines;
  }
  std::string UnableLine(std::uint32_t index) const {
    return "korvane::CIOBase::SetOutputStateWrapper: Unable to change output state for device "
           "127.0.0.1:" + std::to_string(server_->port()) + " (output index " +
           std::to_string(index) + ")";
  }

  FakeDriver driver_;
  RecordingEvents events_;
  std::vector<Answer> answers_;
  std::atomic<std::size_t> served_{0};
  std::unique_ptr<ScriptedHttpServer> server_;
  std::unique_ptr<CCNBIO> io_;  // last: its threads stop before the rest goes
};

// Output changes queued after the start, and the signal types the camera then receives. Every
// row ends with a change that is sent, so that once its request arrived every earlier change has
// been handled (the queue keeps order).
struct OutputCase {
  const char* name;
  std::uint32_t outputs;
  std::vector<std::pair<std::uint32_t, std::int32_t>> changes;
  std::vector<int> signal_types;
};

class OutputChangeTest : public CNBIOTest, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(OutputChangeTest, SendsOnlyTheChangesThatChangeSomething) {
  const OutputCase& c = GetParam();
  Make(0, c.outputs);
  ASSERT_TRUE(io_->StartIO());
  for (const auto& [index, state] : c.changes) EXPECT_TRUE(io_->QueueOutputState(index, state));
  ASSERT_TRUE(WaitForRequests(c.signal_types.size()));
  EXPECT_TRUE(io_->StopIO());
  EXPECT_THAT(SignalTypes(), ElementsAreArray(c.signal_types));
  EXPECT_THAT(events_.Events(), IsEmpty());
  EXPECT_THAT(ErrorLines(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, OutputChangeTest,
    ::testing::Values(
        // Every output goes from 0 to 1 at the start, and each drives the one alarm setting.
        OutputCase{"OneOutputStartsActive", 1, {}, {2}},
        OutputCase{"ThreeOutputsStartActive", 3, {}, {2, 2, 2}},
        OutputCase{"ActiveAfterStartSendsNothing", 1, {{0, 1}, {0, 0}}, {2, 1}},
        OutputCase{"RepeatedChangeSendsOnce", 1, {{0, 0}, {0, 0}, {0, 1}}, {2, 1, 2}},
        OutputCase{"IndexAtOrAboveTheCountSendsNothing", 2, {{2, 0}, {7, 0}, {1, 0}},
                   {2, 2, 1}},
        OutputCase{"EveryOtherStateIsInactive", 1, {{0, 5}, {0, -1}, {0, 0}, {0, 1}},
                   {2, 1, 1, 1, 2}},
        OutputCase{"SecondOutputDrivesTheSameSetting", 2, {{1, 0}, {1, 1}}, {2, 2, 1, 2}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CNBIOTest, InputsOnlyAreReportedOnceAtTheFirstPollWithoutAskingTheCamera) {
  // The default 5000 ms period: the reports can only come from the poll at the start.
  Make(3, 0, CTickThread::kDefaultTickIntervalMs);
  std::int64_t elapsed = 0;
  ASSERT_TRUE(io_->StartIO());
  elapsed = MeasureMs([&] { ASSERT_TRUE(events_.WaitForCount(Input(2, 1), 1)); });
  EXPECT_LT(elapsed, 4000);
  EXPECT_THAT(events_.Events(), ElementsAre(Input(0, 1), Input(1, 1), Input(2, 1)));
  EXPECT_TRUE(io_->StopIO());
  EXPECT_TRUE(server_->Requests().empty());
}

// Counts the polls; stops the threads before its own part goes, as every subclass must.
class CountingCNBIO : public CCNBIO {
 public:
  using CCNBIO::CCNBIO;
  ~CountingCNBIO() override { StopThreads(); }
  bool GetInputStates(std::uint32_t count) override {
    ++polls;
    return CCNBIO::GetInputStates(count);
  }
  std::atomic<int> polls{0};
};

TEST_F(CNBIOTest, LaterPollsReportNothingNew) {
  Serve();
  driver_.inputs = 2;
  auto io = std::make_unique<CountingCNBIO>(&driver_);
  io->SetInputPollIntervalForTesting(5);
  io->SetEventSink(&events_);
  ASSERT_TRUE(io->StartIO());
  ASSERT_TRUE(WaitUntil([&] { return io->polls >= 10; }));
  EXPECT_TRUE(io->StopIO());
  EXPECT_THAT(events_.Events(), ElementsAre(Input(0, 1), Input(1, 1)));
}

TEST_F(CNBIOTest, FailedChangeResetsEveryStateAndInputsAreReportedAgain) {
  Serve({Answer::kSuccess, Answer::kSuccess, Answer::kFailure});
  Make(2, 2);
  ASSERT_TRUE(io_->StartIO());
  ASSERT_TRUE(WaitForRequests(2));
  ASSERT_TRUE(events_.WaitForCount(Input(1, 1), 1));
  EXPECT_TRUE(io_->QueueOutputState(0, 0));
  ASSERT_TRUE(events_.WaitForCount(Error(), 1));
  EXPECT_THAT(io_->OutputStatesSnapshot(), ElementsAre(std::pair(0u, 0), std::pair(1u, 0)));
  // The next poll reports every input again.
  ASSERT_TRUE(events_.WaitForCount(Input(1, 1), 2));
  EXPECT_TRUE(io_->QueueOutputState(1, 1));  // 0 after the reset, so it is sent again
  ASSERT_TRUE(WaitForRequests(4));
  EXPECT_TRUE(io_->StopIO());
  EXPECT_THAT(SignalTypes(), ElementsAre(2, 2, 1, 2));
  EXPECT_EQ(events_.Count(Error()), 1u);
  EXPECT_THAT(ErrorLines(), ElementsAre(UnableLine(0)));
}

TEST_F(CNBIOTest, AStreakOfFailuresIsLoggedOnceAndASuccessRearmsTheLog) {
  // start (0,1) fails, (0,1) fails, (0,1) succeeds, (0,0) fails.
  Serve({Answer::kFailure, Answer::kFailure, Answer::kSuccess, Answer::kFailure});
  Make(0, 1);
  ASSERT_TRUE(io_->StartIO());
  EXPECT_TRUE(io_->QueueOutputState(0, 1));
  EXPECT_TRUE(io_->QueueOutputState(0, 1));
  EXPECT_TRUE(io_->QueueOutputState(0, 0));
  ASSERT_TRUE(events_.WaitForCount(Error(), 3));
  EXPECT_TRUE(io_->StopIO());
  EXPECT_THAT(SignalTypes(), ElementsAre(2, 2, 2, 1));
  EXPECT_THAT(events_.Events(), ElementsAre(Error(), Error(), Error()));
  EXPECT_THAT(ErrorLines(), ElementsAre(UnableLine(0), UnableLine(0)));
}

TEST_F(CNBIOTest, StopAndStartDriveEveryOutputAgain) {
  Make(1, 2);
  for (std::size_t cycle = 1; cycle <= 3; ++cycle) {
    ASSERT_TRUE(io_->StartIO());
    ASSERT_TRUE(WaitForRequests(2 * cycle));
    ASSERT_TRUE(events_.WaitForCount(Input(0, 1), cycle));
    ASSERT_TRUE(io_->StopIO());
    EXPECT_THAT(io_->OutputStatesSnapshot(), ElementsAre(std::pair(0u, 0), std::pair(1u, 0)));
    EXPECT_THAT(io_->InputStatesSnapshot(), ElementsAre(std::pair(0u, 0)));
  }
  EXPECT_THAT(SignalTypes(), ElementsAre(2, 2, 2, 2, 2, 2));
  EXPECT_EQ(events_.Count(Input(0, 1)), 3u);
}

TEST_F(CNBIOTest, ChangesAreRefusedWhileStopped) {
  Make(0, 1);
  EXPECT_FALSE(io_->QueueOutputState(0, 0));  // before the first start
  ASSERT_TRUE(io_->StartIO());
  ASSERT_TRUE(WaitForRequests(1));
  ASSERT_TRUE(io_->StopIO());
  EXPECT_FALSE(io_->QueueOutputState(0, 0));
  ASSERT_TRUE(io_->StartIO());
  ASSERT_TRUE(WaitForRequests(2));
  EXPECT_TRUE(io_->StopIO());
  EXPECT_THAT(SignalTypes(), ElementsAre(2, 2));
}

TEST_F(CNBIOTest, DeviceWithoutOutputsRefusesChanges) {
  Make(1, 0);
  ASSERT_TRUE(io_->StartIO());
  EXPECT_FALSE(io_->QueueOutputState(0, 1));
  EXPECT_TRUE(io_->StopIO());
}

TEST_F(CNBIOTest, SecondStartChangesNothing) {
  Make(1, 1);
  ASSERT_TRUE(io_->StartIO());
  ASSERT_TRUE(events_.WaitForCount(Input(0, 1), 1));
  EXPECT_TRUE(io_->QueueOutputState(0, 0));
  ASSERT_TRUE(WaitForRequests(2));
  EXPECT_TRUE(io_->StartIO());
  EXPECT_TRUE(io_->QueueOutputState(0, 1));
  ASSERT_TRUE(WaitForRequests(3));
  EXPECT_THAT(io_->InputStatesSnapshot(), ElementsAre(std::pair(0u, 1)));
  EXPECT_TRUE(io_->StopIO());
  // No second round of start changes, no second input report.
  EXPECT_THAT(SignalTypes(), ElementsAre(2, 1, 2));
  EXPECT_EQ(events_.Count(Input(0, 1)), 1u);
  EXPECT_THAT(ErrorLines(), IsEmpty());
}

TEST_F(CNBIOTest, NullSinkIsRefusedAndTheSinkSetEarlierStays) {
  Make(1, 0);
  EXPECT_FALSE(io_->SetEventSink(nullptr));
  ASSERT_TRUE(io_->StartIO());
  EXPECT_TRUE(events_.WaitForCount(Input(0, 1), 1));
  EXPECT_TRUE(io_->StopIO());
}

TEST_F(CNBIOTest, StopDoesNotWaitForASilentCamera) {
  Serve({Answer::kNoAnswer}, 20000);
  Make(0, 1);
  ASSERT_TRUE(io_->StartIO());
  ASSERT_TRUE(WaitForRequests(1));
  bool stopped = false;
  EXPECT_LT(MeasureMs([&] { stopped = io_->StopIO(); }), 4000);
  EXPECT_TRUE(stopped);
  // The abandoned change is dropped like a queued one: no error report, no log line.
  EXPECT_THAT(events_.Events(), IsEmpty());
  EXPECT_TRUE(driver_.Lines().empty());  // not even a warning of a slow join
}

TEST_F(CNBIOTest, DeletingARunningObjectStopsItsThreadsFirst) {
  // The output worker is inside a camera request and the poller keeps polling when the object
  // goes: both must be finished before the sender and the subclass are destroyed.
  Serve({Answer::kNoAnswer}, 20000);
  Make(2, 1, 1);
  ASSERT_TRUE(io_->StartIO());
  ASSERT_TRUE(WaitForRequests(1));
  EXPECT_LT(MeasureMs([&] { io_.reset(); }), 4000);
}

TEST_F(CNBIOTest, StopAskedFromASinkCallFailsAndIsLogged) {
  Serve({Answer::kFailure});
  Make(0, 1);
  std::atomic<bool> stop_result{true};
  std::atomic<bool> start_result{true};
  events_.on_error = [&] {
    // On the output worker: it cannot wait for itself, and cannot be started while it runs.
    stop_result = io_->StopIO();
    start_result = io_->StartIO();
  };
  ASSERT_TRUE(io_->StartIO());
  ASSERT_TRUE(events_.WaitForCount(Error(), 1));
  EXPECT_FALSE(stop_result);
  EXPECT_FALSE(start_result);
  EXPECT_TRUE(io_->StopIO());  // from the host's thread it works
  const std::string device = "127.0.0.1:" + std::to_string(server_->port());
  EXPECT_THAT(ErrorLines(),
              ElementsAre("korvane::CIOBase::StopIO: Stop Output thread failed! Device " + device,
                          "korvane::CIOBase::StartIO: Start Output thread failed! Device " + device,
                          UnableLine(0)));
}

TEST_F(CNBIOTest, PollsAndFailingChangesRunSideBySide) {
  // Resets from the output worker cross the poller's reports: the shared states stay whole.
  std::vector<Answer> answers;
  for (int i = 0; i < 40; ++i) answers.push_back(i % 2 ? Answer::kFailure : Answer::kSuccess);
  Serve(answers);
  Make(4, 2, 1);
  ASSERT_TRUE(io_->StartIO());
  for (int i = 0; i < 40; ++i) io_->QueueOutputState(i % 2, i % 3 == 0 ? 1 : 0);
  ASSERT_TRUE(WaitUntil([&] { return events_.Count(Error()) >= 5; }));
  EXPECT_TRUE(io_->StopIO());
  for (const Event& event : events_.Events()) {
    if (event.kind == Event::kInput) {
      EXPECT_EQ(event.state, 1);
      EXPECT_LT(event.index, 4u);
    }
  }
}

}  // namespace
}  // namespace korvane
