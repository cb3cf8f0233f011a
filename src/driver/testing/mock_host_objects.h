#pragma once

// GoogleMock doubles of the host objects, for tests of any component.

#include <gmock/gmock.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tollivar/tollivar.h"

namespace korvane::testing {

class MockDeviceModelInfo : public ipcapture::IDeviceModelInfo {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  MOCK_METHOD(const char*, GetModelName, (), (override));
  MOCK_METHOD(std::uint32_t, GetVideoChannelCount, (), (override));
  MOCK_METHOD(std::uint32_t, GetDigitalInputCount, (), (override));
  MOCK_METHOD(std::uint32_t, GetDigitalOutputCount, (), (override));
};

class MockConnectionSettings : public ipcapture::IConnectionSettings {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  MOCK_METHOD(const char*, GetAddress, (), (override));
  MOCK_METHOD(std::uint32_t, GetPort, (), (override));
  MOCK_METHOD(std::int32_t, GetCodecType, (), (override));
  MOCK_METHOD(const char*, GetUserName, (), (override));
  MOCK_METHOD(const char*, GetPassword, (), (override));
};

class MockDeviceDescription : public ipcapture::IDeviceDescription {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  MOCK_METHOD(ipcapture::IDeviceModelInfo*, GetModelInfo, (), (override));
  MOCK_METHOD(ipcapture::IConnectionSettings*, GetConnectionSettings, (), (override));
  MOCK_METHOD(const char*, GetCustomParameter, (std::uint32_t index), (override));
};

// A device description whose parts answer the values in its public fields.
struct FakeDevice {
  std::string model = "CNB-IPC2000";
  std::uint32_t channels = 1;
  std::uint32_t inputs = 0;
  std::uint32_t outputs = 0;
  std::string address = "127.0.0.1";
  std::uint32_t port = 8080;
  std::int32_t codec = ipcapture::kCodecH264;
  std::string user = "admin";
  std::string password = "secret";
  std::vector<std::string> custom;  // custom parameter 1, 2, ...

  ::testing::NiceMock<MockDeviceModelInfo> model_info;
  ::testing::NiceMock<MockConnectionSettings> connection;
  ::testing::NiceMock<MockDeviceDescription> description;

  // Wires the mocks to the fields; call after setting them.
  ipcapture::IDeviceDescription* Wire() {
    using ::testing::Return;
    ON_CALL(model_info, GetModelName()).WillByDefault(Return(model.c_str()));
    ON_CALL(model_info, GetVideoChannelCount()).WillByDefault(Return(channels));
    ON_CALL(model_info, GetDigitalInputCount()).WillByDefault(Return(inputs));
    ON_CALL(model_info, GetDigitalOutputCount()).WillByDefault(Return(outputs));
    ON_CALL(connection, GetAddress()).WillByDefault(Return(address.c_str()));
    ON_CALL(connection, GetPort()).WillByDefault(Return(port));
    ON_CALL(connection, GetCodecType()).WillByDefault(Return(codec));
    ON_CALL(connection, GetUserName()).WillByDefault(Return(user.c_str()));
    ON_CALL(connection, GetPassword()).WillByDefault(Return(password.c_str()));
    ON_CALL(description, GetModelInfo()).WillByDefault(Return(&model_info));
    ON_CALL(description, GetConnectionSettings()).WillByDefault(Return(&connection));
    ON_CALL(description, GetCustomParameter(::testing::_))
        .WillByDefault([this](std::uint32_t index) -> const char* {
          if (index == 0 || index > custom.size()) return nullptr;
          return custom[index - 1].c_str();
        });
    return &description;
  }
};

// Keeps every log record the driver hands to the host, from any thread.
class RecordingMessageSink : public ipcapture::IHostMessageSink {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  struct Record {
    int level;
    std::string text;
    bool text_was_null;
  };

  void OnDebugInfo(ipcapture::CDebugInfoIf* info) override {
    const char* text = info->GetText();
    std::lock_guard<std::mutex> guard(mutex_);
    records_.push_back(Record{info->GetLevel(), text ? text : "", text == nullptr});
  }

  std::vector<Record> Records() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return records_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Record> records_;
};

class MockFrameSink : public ipcapture::IFrameSink {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  MOCK_METHOD(bool, PutFrame, (ipcapture::IMediaFrame * frame), (override));
  MOCK_METHOD(void, OnSignalLost, (), (override));
};

class MockResolution : public ipcapture::IResolution {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  MOCK_METHOD(std::uint16_t, GetWidth, (), (override));
  MOCK_METHOD(std::uint16_t, GetHeight, (), (override));
};

class MockVideoFormat : public ipcapture::IVideoFormat {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  MOCK_METHOD(ipcapture::IResolution*, GetResolution, (), (override));
};

class MockStreamSettings : public ipcapture::IStreamSettings {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  MOCK_METHOD(std::uint16_t, GetFrameInterval, (), (override));
  MOCK_METHOD(std::uint16_t, GetQuality, (), (override));
  MOCK_METHOD(std::uint32_t, GetCompanionWanted, (), (override));
};

class MockChannelSettings : public ipcapture::IChannelSettings {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  MOCK_METHOD(ipcapture::IVideoFormat*, GetVideoFormat, (), (override));
  MOCK_METHOD(ipcapture::IStreamSettings*, GetStreamSettings, (), (override));
};

// Channel settings whose parts answer the values in its public fields.
struct FakeChannelSettings {
  std::uint16_t width = 640;
  std::uint16_t height = 480;
  std::uint16_t frame_interval_ms = 40;
  std::uint16_t quality = 75;
  std::uint32_t companion = 0;

  ::testing::NiceMock<MockResolution> resolution;
  ::testing::NiceMock<MockVideoFormat> format;
  ::testing::NiceMock<MockStreamSettings> stream;
  ::testing::NiceMock<MockChannelSettings> settings;

  ipcapture::IChannelSettings* Wire() {
    using ::testing::Return;
    ON_CALL(resolution, GetWidth()).WillByDefault(Return(width));
    ON_CALL(resolution, GetHeight()).WillByDefault(Return(height));
    ON_CALL(format, GetResolution()).WillByDefault(Return(&resolution));
    ON_CALL(stream, GetFrameInterval()).WillByDefault(Return(frame_interval_ms));
    ON_CALL(stream, GetQuality()).WillByDefault(Return(quality));
    ON_CALL(stream, GetCompanionWanted()).WillByDefault(Return(companion));
    ON_CALL(settings, GetVideoFormat()).WillByDefault(Return(&format));
    ON_CALL(settings, GetStreamSettings()).WillByDefault(Return(&stream));
    return &settings;
  }
};

}  // namespace korvane::testing
