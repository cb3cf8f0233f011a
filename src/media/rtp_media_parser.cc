#include "media/rtp_media_parser.h"

#include "core/idriver.h"

namespace korvane {

ipcapture::SYSTEMTIME FileTimeToSystemTime(uint64_t file_time) {
  constexpr uint64_t kUnitsPerSecond = 10000000;
  const uint64_t seconds = file_time / kUnitsPerSecond;
  const uint64_t milliseconds = (file_time % kUnitsPerSecond) / 10000;
  const int64_t days_since_1601 = static_cast<int64_t>(seconds / 86400);
  const uint64_t second_of_day = seconds % 86400;
  // Civil date from a day count (H. Hinnant's days_from_civil inverse), shifted to 1970.
  const int64_t z = days_since_1601 - 134774 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  ipcapture::SYSTEMTIME st{};
  st.wYear = static_cast<uint16_t>(year);
  st.wMonth = static_cast<uint16_t>(month);
  st.wDayOfWeek = static_cast<uint16_t>((days_since_1601 + 1) % 7);  // 1601-01-01 was a Monday
  st.wDay = static_cast<uint16_t>(day);
  st.wHour = static_cast<uint16_t>(second_of_day / 3600);
  st.wMinute = static_cast<uint16_t>(second_of_day / 60 % 60);
  st.wSecond = static_cast<uint16_t>(second_of_day % 60);
  st.wMilliseconds = static_cast<uint16_t>(milliseconds);
  return st;
}

CRTPMediaParser::CRTPMediaParser(IDriver* driver) : driver_(driver) {}

CRTPMediaParser::~CRTPMediaParser() = default;

void CRTPMediaParser::SetDecoderConfig(const DecoderConfig* config) {
  if (config == nullptr) return;
  sps_ = config->Sps;
  pps_ = config->Pps;
  config_ = config->Config;
}

uint32_t CRTPMediaParser::FrameCapacity(size_t length) {
  if (length <= 4096) return 4096;
  if (length <= 16384) return 16384;
  if (length <= 32768) return 32768;
  if (length <= 131072) return 131072;
  return static_cast<uint32_t>(length);
}

uint32_t CRTPMediaParser::SizeClass(uint32_t width, uint32_t height) {
  if (width < 200) return 1;
  if (width < 400) return 2;
  if (width < 1024 && width > 2 * uint64_t{height}) return 3;
  return 4;
}

void CRTPMediaParser::ReportOverflow() {
  if (driver_ == nullptr) return;
  const DEVICE_INFO* device = driver_->GetDeviceInfo();
  driver_->DebugMessage(kLogError, "%s: Frame buffer overflow detected, device %s:%u",
                        "korvane::CRTPMediaParser::CheckBufferSize",
                        device != nullptr ? device->address.c_str() : "",
                        device != nullptr ? unsigned{device->port} : 0u);
}

bool CRTPMediaParser::CanDeliver() const {
  return client_ != nullptr && driver_ != nullptr && !frame_buffer_.empty() &&
         driver_->GetHostContext() != nullptr;
}

void CRTPMediaParser::HandOff(uint32_t fourcc, uint32_t capacity, IFrameWriter& writer) {
  if (client_ == nullptr || driver_ == nullptr) return;
  ipcapture::IFrameFactory* const factory = driver_->GetHostContext();
  if (factory == nullptr) return;
  const std::string name = driver_->GetDriverName();
  ipcapture::IMediaFrame* const frame = factory->CreateFrame(fourcc, capacity, name.c_str());
  if (frame == nullptr) {
    // The host is out of frames: this one is lost, and the frames that depend on it would not
    // decode, so start afresh at the next frame the parser can use on its own.
    ResetFrame();
    return;
  }

  // The frame goes back to the host exactly once, whatever happens below.
  struct Release {
    ipcapture::IFrameFactory* factory;
    ipcapture::IMediaFrame* frame;
    ~Release() { factory->ReleaseFrame(frame); }
  } release{factory, frame};

  uint8_t* const data = frame->GetData();
  const size_t length = data != nullptr ? writer.Write(data) : 0;
  if (length == 0) {
    ResetFrame();
    return;
  }
  const ipcapture::SYSTEMTIME time = FileTimeToSystemTime(converter_.GetTime());
  frame->SetWidth(width_);
  frame->SetHeight(height_);
  frame->SetSizeClass(SizeClass(width_, height_));
  frame->SetDataSize(static_cast<uint32_t>(length));
  frame->SetFourCC(fourcc);
  frame->SetTime(&time);
  if (!client_->OnFrame(frame)) ResetFrame();
}

}  // namespace korvane
