// Loads the shared library the way a recording server does (dlopen + dlsym by name) and drives
// one driver through its exported entry points.

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "driver/testing/mock_host_objects.h"
#include "tollivar/tollivar.h"

namespace {

using Create = korvane::ipcapture::IIPCaptureDriverEx4* (*)();
using Delete = void (*)(korvane::ipcapture::IIPCaptureDriver*);

class LibraryLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(TOLLIVAR_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (handle_ != nullptr) dlclose(handle_);
  }

  template <typename T>
  T Find(const char* name) {
    return reinterpret_cast<T>(dlsym(handle_, name));
  }

  void* handle_ = nullptr;
};

TEST_F(LibraryLoadTest, EveryEntryPointIsFoundByItsPlainName) {
  for (const char* name : {"CreateIPCapture", "CreateIPCaptureEx", "CreateIPCaptureEx2",
                           "CreateIPCaptureEx3", "DeleteIPCapture", "DeleteIPCaptureEx",
                           "DeleteIPCaptureEx2", "DeleteIPCaptureEx3", "InitCapabilityQuery",
                           "StartCapabilityQuery", "TerminateCapabilityQuery",
                           "UninitCapabilityQuery"}) {
    EXPECT_NE(dlsym(handle_, name), nullptr) << name;
  }
  // Internal symbols stay hidden.
  EXPECT_EQ(dlsym(handle_, "_ZN7korvane19ReadHostCoreVersionEv"), nullptr);
}

TEST_F(LibraryLoadTest, HostOpensLogsAndDeletesADriver) {
  auto create = Find<Create>("CreateIPCaptureEx2");
  auto destroy = Find<Delete>("DeleteIPCaptureEx3");
  ASSERT_NE(create, nullptr);
  ASSERT_NE(destroy, nullptr);

  korvane::testing::FakeDevice device;
  device.channels = 3;
  device.address = "127.0.0.1";
  device.port = 8080;
  device.custom = {"1", "build 7"};
  korvane::testing::RecordingMessageSink sink;

  korvane::ipcapture::IIPCaptureDriverEx4* driver = create();
  ASSERT_NE(driver, nullptr);
  ASSERT_TRUE(driver->OpenDriver(&sink, nullptr, device.Wire()));
  ASSERT_NE(driver->GetVideoCapture(), nullptr);
  EXPECT_EQ(driver->GetVideoCapture()->GetChannelCount(), 3u);
  EXPECT_EQ(driver->GetVideoCaptureEx(), driver->GetVideoCapture());
  std::int32_t state = -1;
  EXPECT_FALSE(driver->GetVideoCapture()->GetChannelState(0, &state, nullptr, nullptr, 0));

  const auto records = sink.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, 3);
  EXPECT_EQ(records[0].text,
            "DRIVER IS OPENED (name: Tollivar, device model: CNB-IPC2000, FW: build 7, "
            "address: 127.0.0.1:8080)");

  driver->CloseDriver();
  EXPECT_EQ(driver->GetVideoCapture(), nullptr);
  destroy(driver);
  Find<Delete>("DeleteIPCapture")(nullptr);
}

}  // namespace
