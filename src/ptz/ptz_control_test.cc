#include "ptz/ptz_control.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "camera/testing/camera_test_util.h"
#include "camera/testing/temp_folder.h"
#include "core/testing/fake_driver.h"
#include "ptz/ptz_handler.h"
#include "ptz/testing/ptz_test_util.h"

namespace korvane {
namespace {

using testing::FakeDriver;
using testing::LoopbackDevice;
using testing::PtzTarget;
using testing::ScriptedPtzCamera;
using testing::TempHostFolder;

// A command thread that records (type, subtype) of every item it handles.
class RecordingComm : public CBasePTZComm {
 public:
  explicit RecordingComm(IDriver* owner) : CBasePTZComm(CPtzCapabilities(), owner, 0) {}
  ~RecordingComm() override { Close(); }
  bool SetPreposition(std::uint32_t, const std::string&) override { return true; }
  bool GoToPreposition(std::uint32_t, const std::string&, std::int32_t) override { return true; }

  std::vector<std::pair<std::uint32_t, std::uint32_t>> WaitHandled(std::size_t count) {
    for (int i = 0; i < 2000; ++i) {
      {
        std::lock_guard<std::mutex> guard(mutex_);
        if (handled_.size() >= count) return handled_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::lock_guard<std::mutex> guard(mutex_);
    return handled_;
  }

 protected:
  void HandleWorkItem(CPTZItem* item) override {
    std::lock_guard<std::mutex> guard(mutex_);
    handled_.emplace_back(item->commandType, item->subType);
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> handled_;
};

class RecordingControl : public CBasePTZControl {
 public:
  using CBasePTZControl::CBasePTZControl;
  ~RecordingControl() override { DestroyComm(); }
  std::unique_ptr<CBasePTZComm> CreateComm() override {
    auto comm = std::make_unique<RecordingComm>(Owner());
    comm_ = comm.get();
    return comm;
  }
  RecordingComm* comm_ = nullptr;
};

class PtzControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TSmartPtr<CXMLPrepositionReader> reader(new CXMLPrepositionReader("CNB"));
    ASSERT_TRUE(reader->OpenStorage("CNB_c.preset"));
    ASSERT_TRUE(control_.Initialize(reader));
  }
  TempHostFolder folder_;
  FakeDriver driver_;
  RecordingControl control_{&driver_, 0};
};

TEST_F(PtzControlTest, StopEndsEveryStartedMotionInOrder) {
  EXPECT_EQ(control_.Move(3, 5), kPtzOk);
  EXPECT_EQ(control_.StartZoomCode8(5), kPtzOk);
  EXPECT_EQ(control_.StartIrisFalse(5), kPtzOk);
  EXPECT_EQ(control_.StartFocusTrue(5), kPtzOk);
  EXPECT_EQ(control_.Stop(), kPtzOk);
  EXPECT_EQ(control_.comm_->WaitHandled(8),
            (std::vector<std::pair<std::uint32_t, std::uint32_t>>{
                {kPtzMove, 0}, {kPtzMove, 0}, {kPtzIris, kPtzIrisClose},
                {kPtzFocus, kPtzFocusFar}, {kPtzStop, kPtzStopMove}, {kPtzStop, kPtzStopZoom},
                {kPtzStop, kPtzStopIris}, {kPtzStop, kPtzStopFocus}}));
  // Every flag was cleared: a second Stop queues nothing.
  EXPECT_EQ(control_.Stop(), kPtzOk);
  EXPECT_EQ(control_.Move(1, 1), kPtzOk);  // a marker: it must come right after the stops
  const auto handled = control_.comm_->WaitHandled(9);
  ASSERT_EQ(handled.size(), 9u);
  EXPECT_EQ(handled[8], (std::pair<std::uint32_t, std::uint32_t>{kPtzMove, 0}));
}

TEST_F(PtzControlTest, StopRightAfterConstructionQueuesNothing) {
  EXPECT_EQ(control_.Stop(), kPtzOk);
  EXPECT_EQ(control_.StartZoomCode9(1), kPtzOk);
  EXPECT_EQ(control_.Stop(), kPtzOk);
  EXPECT_EQ(control_.comm_->WaitHandled(2),
            (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{kPtzMove, 0},
                                                                  {kPtzStop, kPtzStopZoom}}));
}

TEST_F(PtzControlTest, StopThatCannotBeQueuedKeepsTheFlag) {
  ASSERT_EQ(control_.Move(1, 1), kPtzOk);
  ASSERT_EQ(control_.comm_->WaitHandled(1).size(), 1u);
  control_.comm_->Close();
  EXPECT_EQ(control_.Stop(), kPtzFailed);
  ASSERT_TRUE(control_.comm_->Open());
  EXPECT_EQ(control_.Stop(), kPtzOk);  // the move's stop is tried again
  const auto handled = control_.comm_->WaitHandled(2);
  ASSERT_EQ(handled.size(), 2u);
  EXPECT_EQ(handled[1], (std::pair<std::uint32_t, std::uint32_t>{kPtzStop, kPtzStopMove}));
}

TEST_F(PtzControlTest, DirectionTenIsRefusedAndForgetsNothing) {
  ASSERT_EQ(control_.SavePreposition("Gate"), kPtzOk);
  EXPECT_EQ(control_.Move(10, 5), kPtzInvalidArgument);
  EXPECT_EQ(control_.ZoomToArea(1, 2, 3, 4), kPtzNotCapable);
  EXPECT_EQ(control_.CenterOn(1, 2, 4), kPtzNotCapable);
  EXPECT_EQ(control_.UnzoomView(4), kPtzNotCapable);
  char name[16] = {};
  EXPECT_EQ(control_.GetCurrentPreposition(name, sizeof(name)), kPtzOk);
  EXPECT_STREQ(name, "Gate");
  EXPECT_EQ(control_.Stop(), kPtzOk);  // stop does not forget it either
  EXPECT_EQ(control_.GetCurrentPreposition(name, sizeof(name)), kPtzOk);
  EXPECT_EQ(control_.Move(0, 5), kPtzOk);
  EXPECT_EQ(control_.GetCurrentPreposition(name, sizeof(name)), kPtzPresetFailed);
}

TEST_F(PtzControlTest, CapabilitiesCarryThePresetMaximumAndCount) {
  ASSERT_EQ(control_.SavePreposition("Gate"), kPtzOk);
  ipcapture::PTZ_CAPABILITIES caps;
  std::memset(&caps, 0x5A, sizeof(caps));
  EXPECT_EQ(control_.GetPTZCapabilities(nullptr), kPtzInvalidArgument);
  EXPECT_EQ(control_.GetPTZCapabilities(&caps), kPtzOk);
  EXPECT_EQ(caps.reserved0, 0x5A5A5A5Au);
  EXPECT_EQ(caps.maxPresets, 255u);
  EXPECT_EQ(caps.presetCount, 1u);
  EXPECT_EQ(caps.hasZoom, 1u);
  EXPECT_EQ(caps.hasCenter, 0u);
}

TEST_F(PtzControlTest, PresetNameNeedsRoomForItsTerminatingZero) {
  ASSERT_EQ(control_.SavePreposition("Gate"), kPtzOk);
  char buffer[5];
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(control_.GetPrepositionName(0, buffer, 4), kPtzInvalidArgument);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(control_.GetPrepositionName(0, nullptr, 5), kPtzInvalidArgument);
  EXPECT_EQ(control_.GetPrepositionName(1, buffer, 5), kPtzPresetFailed);
  EXPECT_EQ(control_.GetPrepositionName(0, buffer, 5), kPtzOk);
  EXPECT_STREQ(buffer, "Gate");
  EXPECT_EQ(control_.GetPrepositionCount(), 1);
}

TEST_F(PtzControlTest, NullNamesAndUnknownPresets) {
  EXPECT_EQ(control_.SavePreposition(nullptr), kPtzInvalidArgument);
  EXPECT_EQ(control_.RecallPreposition(0, nullptr), kPtzInvalidArgument);
  EXPECT_EQ(control_.DeletePreposition(nullptr), kPtzInvalidArgument);
  EXPECT_EQ(control_.RecallPreposition(0, "Nope"), kPtzPresetFailed);
  EXPECT_EQ(control_.DeletePreposition("Nope"), kPtzPresetFailed);
  EXPECT_EQ(control_.SavePreposition("a<b"), kPtzInvalidArgument);
  EXPECT_EQ(control_.QueryOption(1), 1);
  EXPECT_EQ(control_.QueryOption(2), 0);
}

TEST(PtzControlWithoutThreadTest, MotionSlotsAnswerMinusEighteenPresetsStillWork) {
  TempHostFolder folder;
  FakeDriver driver;
  RecordingControl control(&driver, 0);
  ipcapture::PTZ_CAPABILITIES caps{};
  EXPECT_EQ(control.IsPTZAvailable(), kPtzFailed);
  EXPECT_EQ(control.Move(0, 1), kPtzFailed);
  EXPECT_EQ(control.Stop(), kPtzFailed);
  EXPECT_EQ(control.CenterOn(0, 0, 1), kPtzFailed);
  EXPECT_EQ(control.StartZoomCode8(1), kPtzFailed);
  EXPECT_EQ(control.StartZoomCode9(1), kPtzFailed);
  EXPECT_EQ(control.UnzoomView(1), kPtzFailed);
  EXPECT_EQ(control.ZoomToArea(0, 0, 0, 1), kPtzFailed);
  EXPECT_EQ(control.StartFocusTrue(1), kPtzFailed);
  EXPECT_EQ(control.StartFocusFalse(1), kPtzFailed);
  EXPECT_EQ(control.StartIrisTrue(1), kPtzFailed);
  EXPECT_EQ(control.StartIrisFalse(1), kPtzFailed);
  EXPECT_EQ(control.GetPTZCapabilities(&caps), kPtzFailed);
  EXPECT_EQ(control.GetPrepositionCount(), 0);
  EXPECT_EQ(control.SavePreposition("Gate"), kPtzFailed);  // no camera to store it
  // Initialising without a reader fails and leaves no thread.
  EXPECT_FALSE(control.Initialize(TSmartPtr<CXMLPrepositionReader>()));
  EXPECT_FALSE(control.HasComm());
}

// The PTZ driver object against a scripted camera, with the preset file in a temporary folder.
class PtzHandlerTest : public ::testing::Test {
 protected:
  PtzHandlerTest() {
    driver_.device = LoopbackDevice(camera_.port());
    driver_.custom[kParamPresetName] = "cam1";
  }
  std::vector<std::string> FolderNames() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_.path())) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }
  ScriptedPtzCamera camera_;
  TempHostFolder folder_;
  FakeDriver driver_;
};

TEST_F(PtzHandlerTest, OneControlForChannelZeroOnly) {
  CPTZHandler handler(&driver_);
  IIPPTZApi* control = handler.GetPTZApi(0);
  ASSERT_NE(control, nullptr);
  EXPECT_EQ(handler.GetPTZApi(0), control);
  EXPECT_EQ(handler.GetPTZApiEx(0), control);
  EXPECT_EQ(handler.GetPTZApi(1), nullptr);
  EXPECT_EQ(FolderNames(), std::vector<std::string>{"CNB_cam1.preset"});
  EXPECT_EQ(control->IsPTZAvailable(), 1);
}

TEST_F(PtzHandlerTest, WithoutCustomParameterFiveThereIsNoControl) {
  driver_.custom[kParamPresetName] = "(none)";
  driver_.device.address = "cam.example";
  CPTZHandler handler(&driver_);
  EXPECT_EQ(handler.GetPTZApi(0), nullptr);
  const auto lines = driver_.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], (FakeDriver::Line{1, "korvane::CPTZHandler::GetXMLStorageFileName: PTZ "
                                           "handler for cam.example device cannot be "
                                           "initialized. Required custom parameter was not "
                                           "defined!"}));
  EXPECT_EQ(lines[1], (FakeDriver::Line{1, "korvane::CBasePTZHandler::InitializeXMLStorage: PTZ "
                                           "module cannot be initialized! Name of file for "
                                           "preset storing was not defined"}));
}

struct NamePartCase {
  const char* text;
  bool safe;
};

class PresetFileNamePartTest : public PtzHandlerTest,
                               public ::testing::WithParamInterface<NamePartCase> {};

TEST_P(PresetFileNamePartTest, OnlySafeTextsNameAFile) {
  const NamePartCase c = GetParam();
  EXPECT_EQ(IsSafeFileNamePart(c.text), c.safe);
  driver_.custom[kParamPresetName] = c.text;
  {
    CPTZHandler handler(&driver_);
    EXPECT_EQ(handler.GetPTZApi(0) != nullptr, c.safe);
  }
  EXPECT_EQ(FolderNames().size(), c.safe ? 1u : 0u);
  EXPECT_FALSE(std::filesystem::exists(folder_.path() + "/../CNB_x.preset"));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PresetFileNamePartTest,
    ::testing::Values(NamePartCase{"../x", false}, NamePartCase{"a/b", false},
                      NamePartCase{"a\\b", false}, NamePartCase{"..", false},
                      NamePartCase{"tab\there", false}, NamePartCase{"del\x7f", false},
                      NamePartCase{"Front door 1", true}, NamePartCase{"cam.1", true},
                      NamePartCase{"Kamera-\xC3\xBC", true}));

TEST_F(PtzHandlerTest, PresetsSurviveARestartOfTheDriver) {
  {
    CPTZHandler handler(&driver_);
    IIPPTZApi* control = handler.GetPTZApi(0);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->SavePreposition("Door"), kPtzOk);
    EXPECT_EQ(control->Move(2, 16), kPtzOk);
    EXPECT_EQ(control->Stop(), kPtzOk);
    // Preset requests do not wait for queued commands: let the head arrive first.
    camera_.WaitForTargets(3);
    EXPECT_EQ(control->SavePreposition("Gate"), kPtzOk);
  }
  CPTZHandler handler(&driver_);
  IIPPTZApi* control = handler.GetPTZApi(0);
  ASSERT_NE(control, nullptr);
  ASSERT_EQ(control->GetPrepositionCount(), 2);
  char name[32];
  ASSERT_EQ(control->GetPrepositionName(1, name, sizeof(name)), kPtzOk);
  EXPECT_STREQ(name, "Gate");
  EXPECT_EQ(control->RecallPreposition(0, "Door"), kPtzOk);
  EXPECT_EQ(camera_.Targets(),
            (std::vector<std::string>{PtzTarget(100, 1, 1), PtzTarget(65, 63, 1), PtzTarget(255),
                                      PtzTarget(100, 1, 2), PtzTarget(102, 1, 1)}));
}

TEST_F(PtzHandlerTest, CameraRefusingAPresetIsReportedToTheHost) {
  CPTZHandler handler(&driver_);
  IIPPTZApi* control = handler.GetPTZApi(0);
  ASSERT_NE(control, nullptr);
  ASSERT_EQ(control->SavePreposition("Door"), kPtzOk);
  camera_.SetStatus(500);
  EXPECT_EQ(control->DeletePreposition("Door"), kPtzPresetFailed);
  EXPECT_EQ(control->GetPrepositionCount(), 1);
  EXPECT_EQ(control->Move(0, 1), kPtzOk);
  EXPECT_EQ(control->SavePreposition("Gate"), kPtzFailed);
  EXPECT_EQ(control->RecallPreposition(0, "Door"), kPtzPresetFailed);
}

TEST_F(PtzHandlerTest, UnopenableFileGivesNoControlAndIsTriedAgain) {
  std::filesystem::create_directory(folder_.path() + "/CNB_cam1.preset");
  CPTZHandler handler(&driver_);
  EXPECT_EQ(handler.GetPTZApi(0), nullptr);
  EXPECT_EQ(driver_.Lines().back().text,
            "korvane::CBasePTZHandler::InitializeXMLStorage: cannot initialize "
            "CXMLPrepositionReader object with parameter \"CNB_cam1.preset\"");
  std::filesystem::remove(folder_.path() + "/CNB_cam1.preset");
  EXPECT_NE(handler.GetPTZApi(0), nullptr);
}

TEST_F(PtzHandlerTest, DeletingTheHandlerEndsTheCommandThread) {
  // Threads named like the command thread (the kernel keeps 15 characters of the name).
  const auto command_threads = [] { return testing::CountThreadsNamed("BaseIPPTZThread"); };
  {
    CPTZHandler handler(&driver_);
    ASSERT_NE(handler.GetPTZApi(0), nullptr);
    // The thread names itself once it runs.
    for (int i = 0; i < 1000 && command_threads() == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(command_threads(), 1);
  }
  EXPECT_EQ(command_threads(), 0);
}

}  // namespace
}  // namespace korvane
