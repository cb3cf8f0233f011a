#include "ptz/ptz_comm.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "base/event.h"
#include "camera/testing/camera_test_util.h"
#include "core/testing/fake_driver.h"
#include "ptz/testing/ptz_test_util.h"

namespace korvane {
namespace {

using testing::FakeDriver;
using testing::LoopbackDevice;
using testing::PtzTarget;
using testing::ScriptedPtzCamera;

// The control's manual flags, as the command thread sees them.
class Params : public IIPParams {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  std::int32_t GetChannel() override { return 0; }
  bool IsIrisManual() override { return iris; }
  void SetIrisManual(bool manual) override { iris = manual; }
  bool IsFocusManual() override { return focus; }
  void SetFocusManual(bool manual) override { focus = manual; }
  bool iris = false;
  bool focus = false;
};

class PtzCommTest : public ::testing::Test {
 protected:
  PtzCommTest() { driver_.device = LoopbackDevice(camera_.port()); }

  std::unique_ptr<CPTZComm> OpenComm(std::uint16_t channel = 0) {
    auto comm = std::make_unique<CPTZComm>(&driver_, CPtzCapabilities(), channel);
    EXPECT_TRUE(comm->Open());
    return comm;
  }

  ScriptedPtzCamera camera_;
  FakeDriver driver_;
  Params params_;
};

struct SpeedCase {
  std::int32_t host;
  std::uint16_t camera;
};

class PtzSpeedTest : public ::testing::TestWithParam<SpeedCase> {};

TEST_P(PtzSpeedTest, HostSpeedMapsToCameraSpeed) {
  EXPECT_EQ(PtzCameraSpeed(GetParam().host), GetParam().camera);
}

INSTANTIATE_TEST_SUITE_P(
    AllHostSpeeds, PtzSpeedTest,
    ::testing::Values(SpeedCase{1, 1}, SpeedCase{2, 5}, SpeedCase{3, 9}, SpeedCase{4, 13},
                      SpeedCase{5, 17}, SpeedCase{6, 21}, SpeedCase{7, 25}, SpeedCase{8, 29},
                      SpeedCase{9, 34}, SpeedCase{10, 38}, SpeedCase{11, 42}, SpeedCase{12, 46},
                      SpeedCase{13, 50}, SpeedCase{14, 54}, SpeedCase{15, 58}, SpeedCase{16, 63},
                      // Outside 1..16 the host speed is clamped: 0 must not wrap to 65533.
                      SpeedCase{0, 1}, SpeedCase{-7, 1}, SpeedCase{INT_MIN, 1}, SpeedCase{17, 63},
                      SpeedCase{INT_MAX, 63}));

struct DirectionCase {
  std::int32_t direction;
  unsigned cmd;
  unsigned speed_sent;  // at host speed 16
};

class PtzDirectionTest : public PtzCommTest,
                         public ::testing::WithParamInterface<DirectionCase> {};

TEST_P(PtzDirectionTest, MoveSendsTheDirectionsCommand) {
  const DirectionCase c = GetParam();
  auto comm = OpenComm();
  EXPECT_EQ(comm->StartMove(c.direction, &params_, 16), kPtzOk);
  EXPECT_EQ(camera_.WaitForTargets(1),
            std::vector<std::string>{PtzTarget(c.cmd, c.speed_sent, 1)});
}

INSTANTIATE_TEST_SUITE_P(
    AllDirections, PtzDirectionTest,
    ::testing::Values(DirectionCase{0, 69, 63}, DirectionCase{1, 71, 63},
                      DirectionCase{2, 65, 63}, DirectionCase{3, 67, 63},
                      DirectionCase{4, 73, 63}, DirectionCase{5, 75, 63},
                      DirectionCase{6, 77, 63}, DirectionCase{7, 79, 63},
                      DirectionCase{8, 55, 1}, DirectionCase{9, 53, 1}));

TEST_F(PtzCommTest, UnknownDirectionSendsNothing) {
  auto comm = OpenComm();
  EXPECT_EQ(comm->StartMove(11, &params_, 5), kPtzOk);
  EXPECT_EQ(comm->StopMoving(&params_), true);
  // Only the stop: the thread works in order, so the move was handled before it.
  EXPECT_EQ(camera_.WaitForTargets(1), std::vector<std::string>{PtzTarget(255)});
}

TEST_F(PtzCommTest, SpeedsNineAndOneReachTheCamera) {
  auto comm = OpenComm();
  comm->StartMove(2, &params_, 9);
  comm->StartMove(2, &params_, 1);
  EXPECT_EQ(camera_.WaitForTargets(2),
            (std::vector<std::string>{PtzTarget(65, 34), PtzTarget(65, 1)}));
}

TEST_F(PtzCommTest, FocusSendsManualModeOnlyBeforeTheFirstFocus) {
  auto comm = OpenComm();
  EXPECT_EQ(comm->StartFocus(&params_, false, 7), kPtzOk);
  EXPECT_EQ(comm->StartFocus(&params_, true, 7), kPtzOk);
  EXPECT_EQ(camera_.WaitForTargets(3),
            (std::vector<std::string>{PtzTarget(35), PtzTarget(57), PtzTarget(59)}));
}

TEST_F(PtzCommTest, MoveAfterIrisAndFocusHandsBothBackToTheCamera) {
  auto comm = OpenComm();
  comm->StartIris(&params_, true, 3);
  comm->StartIris(&params_, false, 3);
  comm->StartFocus(&params_, true, 3);
  comm->StartMove(0, &params_, 16);
  EXPECT_EQ(camera_.WaitForTargets(8),
            (std::vector<std::string>{PtzTarget(37), PtzTarget(61), PtzTarget(63), PtzTarget(35),
                                      PtzTarget(59), PtzTarget(36), PtzTarget(34),
                                      PtzTarget(69, 63)}));
  EXPECT_FALSE(params_.iris);
  EXPECT_FALSE(params_.focus);
}

TEST_F(PtzCommTest, EveryStopKindSendsTheSameStop) {
  auto comm = OpenComm();
  EXPECT_TRUE(comm->StopMoving(&params_));
  EXPECT_TRUE(comm->StopZooming(&params_));
  EXPECT_TRUE(comm->StopFocusing(&params_));
  EXPECT_TRUE(comm->StopIrisChanging(&params_));
  EXPECT_EQ(camera_.WaitForTargets(4), std::vector<std::string>(4, PtzTarget(255)));
}

TEST_F(PtzCommTest, PresetRequestsGoOutAtOnceWithTheCameraNumber) {
  auto comm = OpenComm();
  EXPECT_TRUE(comm->SetPreposition(0, "Gate"));
  EXPECT_TRUE(comm->GoToPreposition(4, "Yard", 77));
  EXPECT_TRUE(comm->ClearPreposition(254, "Door"));
  EXPECT_EQ(camera_.Targets(), (std::vector<std::string>{PtzTarget(100, 1, 1),
                                                         PtzTarget(102, 1, 5),
                                                         PtzTarget(101, 1, 255)}));
}

// A preset taken, recalled or removed right after a move and its stop reaches the camera
// after the stop, although it is sent on the caller's thread. The camera answers slowly, so the
// queued commands are still on their way when the preset call comes.
struct PresetOrderCase {
  const char* name;
  unsigned cmd;
  bool (*call)(CPTZComm& comm);
};

void PrintTo(const PresetOrderCase& c, std::ostream* out) { *out << c.name; }

class PtzPresetOrderTest : public PtzCommTest,
                           public ::testing::WithParamInterface<PresetOrderCase> {};

TEST_P(PtzPresetOrderTest, PresetFollowsTheQueuedStop) {
  const PresetOrderCase& c = GetParam();
  camera_.SetDelay(std::chrono::milliseconds(80));
  auto comm = OpenComm();
  ASSERT_EQ(comm->StartMove(2, &params_, 16), kPtzOk);
  ASSERT_EQ(comm->StartMove(3, &params_, 16), kPtzOk);
  ASSERT_TRUE(comm->StopMoving(&params_));
  EXPECT_TRUE(c.call(*comm));
  EXPECT_EQ(camera_.Targets(),
            (std::vector<std::string>{PtzTarget(65, 63), PtzTarget(67, 63), PtzTarget(255),
                                      PtzTarget(c.cmd, 1, 2)}));
}

INSTANTIATE_TEST_SUITE_P(
    AllPresetRequests, PtzPresetOrderTest,
    ::testing::Values(
        PresetOrderCase{"Store", 100, [](CPTZComm& comm) { return comm.SetPreposition(1, "A"); }},
        PresetOrderCase{"Recall", 102,
                        [](CPTZComm& comm) { return comm.GoToPreposition(1, "A", 0); }},
        PresetOrderCase{"Remove", 101,
                        [](CPTZComm& comm) { return comm.ClearPreposition(1, "A"); }}),
    [](const ::testing::TestParamInfo<PresetOrderCase>& info) {
      return std::string(info.param.name);
    });

TEST_F(PtzCommTest, RefusedPresetRequestIsAFailure) {
  camera_.SetStatus(500);
  auto comm = OpenComm();
  EXPECT_FALSE(comm->SetPreposition(0, "Gate"));
}

TEST_F(PtzCommTest, AfterCloseCommandsAreRefusedAndLogged) {
  auto comm = OpenComm();
  EXPECT_TRUE(comm->Close());
  EXPECT_FALSE(comm->Close());
  EXPECT_FALSE(comm->StopMoving(&params_));
  EXPECT_EQ(comm->StartMove(0, &params_, 3), kPtzFailed);
  EXPECT_FALSE(comm->SetPreposition(0, "Gate"));
  EXPECT_TRUE(camera_.Targets().empty());
  const auto lines = driver_.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], (FakeDriver::Line{1, "korvane::CBasePTZComm::StopMoving: cannot send "
                                           "message (4) to thread"}));
  EXPECT_EQ(lines[1], (FakeDriver::Line{1, "korvane::CBasePTZComm::StartMove: cannot send "
                                           "message (1) to thread"}));
  // Opening again serves commands again.
  EXPECT_TRUE(comm->Open());
  EXPECT_TRUE(comm->StopMoving(&params_));
  EXPECT_EQ(camera_.WaitForTargets(1), std::vector<std::string>{PtzTarget(255)});
}

TEST_F(PtzCommTest, ThreadIsNamedAfterTheOneBasedChannel) {
  auto comm = OpenComm(2);
  EXPECT_EQ(comm->GetName(), "BaseIPPTZThread_Ch3");
  EXPECT_TRUE(comm->Open());  // a second Open keeps the thread
  EXPECT_TRUE(comm->IsRunning());
}

TEST_F(PtzCommTest, DefaultCapabilitiesRefuseAreaZoomCentreAndUnzoom) {
  auto comm = OpenComm();
  EXPECT_EQ(comm->AreaZoom(&params_, 1, 2, 3, 4), kPtzNotCapable);
  EXPECT_EQ(comm->Center(&params_, 1, 2, 4), kPtzNotCapable);
  EXPECT_EQ(comm->Unzoom(&params_, 4), kPtzNotCapable);
  EXPECT_EQ(comm->QueueSize(), 0u);
  EXPECT_TRUE(driver_.Lines().empty());
  EXPECT_TRUE(comm->IsPTZSupported(0));
}

TEST_F(PtzCommTest, GateFollowsTheCapabilities) {
  CPtzCapabilities caps;
  caps.canZoom = false;
  caps.canPan = false;
  caps.canFocus = false;
  caps.canIris = false;
  CPTZComm comm(&driver_, caps, 0);
  EXPECT_EQ(comm.StartMove(8, &params_, 1), kPtzNotCapable);
  EXPECT_EQ(comm.StartMove(9, &params_, 1), kPtzNotCapable);
  EXPECT_EQ(comm.StartFocus(&params_, true, 1), kPtzNotCapable);
  EXPECT_EQ(comm.StartIris(&params_, true, 1), kPtzNotCapable);
  EXPECT_EQ(comm.StartMove(0, &params_, 1), kPtzOk);  // tilting alone allows a move
  EXPECT_TRUE(comm.IsPTZSupported(0));
  caps.canTilt = false;
  CPTZComm none(&driver_, caps, 0);
  EXPECT_EQ(none.StartMove(0, &params_, 1), kPtzNotCapable);
  EXPECT_FALSE(none.IsPTZSupported(0));
}

TEST_F(PtzCommTest, CapabilitiesRecordKeepsTheHostsFirstField) {
  auto comm = OpenComm();
  ipcapture::PTZ_CAPABILITIES caps;
  std::memset(&caps, 0xAB, sizeof(caps));
  EXPECT_EQ(comm->GetCapabilities(&caps), 1);
  EXPECT_EQ(caps.reserved0, 0xABABABABu);
  const std::uint32_t expected[] = {1, 1, 1, 1, 1, 0, 255, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::vector<std::uint32_t>(&caps.hasPan, &caps.hasPan + 13),
            std::vector<std::uint32_t>(std::begin(expected), std::end(expected)));
}

// A command thread whose items block until released, so that a test controls the queue.
class BlockingComm : public CBasePTZComm {
 public:
  explicit BlockingComm(IDriver* owner) : CBasePTZComm(CPtzCapabilities(), owner, 0) {}
  ~BlockingComm() override {
    release.Set();
    Close();
  }
  bool SetPreposition(std::uint32_t, const std::string&) override { return true; }
  bool GoToPreposition(std::uint32_t, const std::string&, std::int32_t) override { return true; }

  std::vector<std::pair<std::uint32_t, std::int32_t>> Handled() {
    std::lock_guard<std::mutex> guard(mutex);
    return handled;
  }
  bool WaitHandled(std::size_t count) {
    for (int i = 0; i < 2000 && Handled().size() < count; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return Handled().size() >= count;
  }

  CManualEvent release;
  CManualEvent started;

 protected:
  void HandleWorkItem(CPTZItem* item) override {
    started.Set();
    WaitForEvents({&release, &StopEvent()}, 10000);
    std::lock_guard<std::mutex> guard(mutex);
    handled.emplace_back(item->commandType, item->param1);
  }

 private:
  std::mutex mutex;
  std::vector<std::pair<std::uint32_t, std::int32_t>> handled;
};

TEST(PtzQueueTest, SeventeenMovesWhileBusyDropTheOldestQueued) {
  FakeDriver driver;
  BlockingComm comm(&driver);
  ASSERT_TRUE(comm.Open());
  Params params;
  ASSERT_EQ(comm.StartMove(100, &params, 1), kPtzOk);  // the busy one
  ASSERT_TRUE(comm.started.Wait(10000));
  for (int i = 0; i < 17; ++i) ASSERT_EQ(comm.StartMove(i, &params, 1), kPtzOk);
  EXPECT_EQ(comm.QueueSize(), CBasePTZComm::kMaxQueuedItems);
  comm.release.Set();
  ASSERT_TRUE(comm.WaitHandled(17));
  std::vector<std::pair<std::uint32_t, std::int32_t>> expected{{kPtzMove, 100}};
  for (int i = 1; i < 17; ++i) expected.emplace_back(kPtzMove, i);
  EXPECT_EQ(comm.Handled(), expected);
  EXPECT_TRUE(driver.Lines().empty());  // a dropped command is not logged
}

TEST(PtzQueueTest, FullQueueNeverDropsAStop) {
  FakeDriver driver;
  BlockingComm comm(&driver);
  ASSERT_TRUE(comm.Open());
  Params params;
  ASSERT_EQ(comm.StartMove(100, &params, 1), kPtzOk);
  ASSERT_TRUE(comm.started.Wait(10000));
  ASSERT_TRUE(comm.StopMoving(&params));
  for (int i = 0; i < 20; ++i) ASSERT_EQ(comm.StartMove(i, &params, 1), kPtzOk);
  EXPECT_EQ(comm.QueueSize(), CBasePTZComm::kMaxQueuedItems);
  comm.release.Set();
  ASSERT_TRUE(comm.WaitHandled(17));
  const auto handled = comm.Handled();
  ASSERT_EQ(handled.size(), 17u);
  EXPECT_EQ(handled[1].first, static_cast<std::uint32_t>(kPtzStop));
  EXPECT_EQ(handled[2].second, 5);  // moves 0..4 made room
  EXPECT_EQ(handled[16].second, 19);
}

TEST(PtzQueueTest, QueueOfStopsOnlyStaysBounded) {
  FakeDriver driver;
  BlockingComm comm(&driver);
  ASSERT_TRUE(comm.Open());
  Params params;
  ASSERT_EQ(comm.StartMove(100, &params, 1), kPtzOk);
  ASSERT_TRUE(comm.started.Wait(10000));
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(comm.StopZooming(&params));
  EXPECT_EQ(comm.QueueSize(), CBasePTZComm::kMaxQueuedItems);
}

TEST(PtzQueueTest, UnexpectedCommandTypeIsLogged) {
  FakeDriver driver;
  struct Poster : CPTZComm {
    using CPTZComm::CPTZComm;
    using CPTZComm::HandleWorkItem;
  };
  Poster poster(&driver, CPtzCapabilities(), 0);
  CPTZItem item;
  item.commandType = 9;
  poster.HandleWorkItem(&item);
  item.commandType = kPtzFocus;
  item.subType = 4;
  poster.HandleWorkItem(&item);  // the params are null: no manual-mode request either
  const auto lines = driver.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "korvane::CPTZComm::HandleWorkItem: unexpected command ID=9");
  EXPECT_EQ(lines[1].text,
            "korvane::CPTZComm::ProcessFocusCommand: Unexpected command subtype (Type=2, "
            "Subtype=4)");
}

}  // namespace
}  // namespace korvane
