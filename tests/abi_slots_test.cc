// The host calls the driver (and the driver calls the host) through virtual slots by number, so
// the slot of every operation is part of the binary contract. This checks each operation's slot
// against the contract's numbering, using only the public headers.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tollivar/tollivar.h"

namespace {

using namespace korvane;             // NOLINT
using namespace korvane::ipcapture;  // NOLINT

// Contract slot of a virtual member function, slot 0 being the destructor.
template <typename Member>
long SlotOf(Member member) {
  static_assert(sizeof(Member) == 2 * sizeof(std::uintptr_t));
  std::uintptr_t raw[2];
  std::memcpy(raw, &member, sizeof(raw));
  // Itanium C++ ABI 2.3: a pointer to a virtual member holds 1 + its byte offset in the vtable.
  if ((raw[0] & 1) == 0) return -1;  // not virtual
  const long entry = static_cast<long>((raw[0] - 1) / sizeof(void*));
#if TOLLIVAR_SCALAR_DELETING_SLOT0
  // Microsoft's layout (tollivar/abi.h): slot 0 is the one scalar deleting destructor, so vtable
  // entries are slots.
  return entry;
#else
  // The destructor takes two vtable entries here (complete and deleting) but is one slot.
  return entry - 1;
#endif
}

#if defined(__x86_64__) || defined(__i386__)
#define SLOT(member, slot) \
  EXPECT_EQ(SlotOf(&member), slot) << #member
#else
#define SLOT(member, slot) GTEST_SKIP() << "vtable layout checked on x86 only"
#endif

TEST(AbiSlotsTest, HostObjects) {
  SLOT(IHostMessageSink::OnDebugInfo, 1);
  SLOT(CDebugInfoIf::GetLevel, 1);
  SLOT(CDebugInfoIf::GetText, 2);
  SLOT(IDeviceDescription::GetModelInfo, 1);
  SLOT(IDeviceDescription::GetConnectionSettings, 2);
  SLOT(IDeviceDescription::GetCustomParameter, 4);
  SLOT(IDeviceModelInfo::GetModelName, 2);
  SLOT(IDeviceModelInfo::GetVideoChannelCount, 3);
  SLOT(IDeviceModelInfo::GetDigitalInputCount, 5);
  SLOT(IDeviceModelInfo::GetDigitalOutputCount, 6);
  SLOT(IConnectionSettings::GetAddress, 1);
  SLOT(IConnectionSettings::GetPort, 2);
  SLOT(IConnectionSettings::GetCodecType, 4);
  SLOT(IConnectionSettings::GetUserName, 5);
  SLOT(IConnectionSettings::GetPassword, 6);
}

TEST(AbiSlotsTest, Frames) {
  SLOT(IFrameFactory::CreateFrame, 2);
  SLOT(IFrameFactory::ReleaseFrame, 6);
  SLOT(IMediaFrame::GetData, 2);
  SLOT(IMediaFrame::SetDataSize, 4);
  SLOT(IMediaFrame::SetTime, 6);
  SLOT(IMediaFrame::SetFourCC, 10);
  SLOT(IMediaFrame::SetHeight, 12);
  SLOT(IMediaFrame::SetWidth, 14);
  SLOT(IMediaFrame::SetSizeClass, 16);
}

TEST(AbiSlotsTest, VideoCapture) {
  SLOT(IFrameSink::PutFrame, 1);
  SLOT(IFrameSink::OnSignalLost, 3);
  SLOT(IChannelSettings::GetVideoFormat, 1);
  SLOT(IChannelSettings::GetStreamSettings, 2);
  SLOT(IVideoFormat::GetResolution, 3);
  SLOT(IResolution::GetWidth, 1);
  SLOT(IResolution::GetHeight, 2);
  SLOT(IStreamSettings::GetFrameInterval, 1);
  SLOT(IStreamSettings::GetQuality, 3);
  SLOT(IStreamSettings::GetCompanionWanted, 4);
  SLOT(IIPVideoCapture::GetChannelCount, 1);
  SLOT(IIPVideoCapture::StartChannel, 2);
  SLOT(IIPVideoCapture::StopChannel, 3);
  SLOT(IIPVideoCapture::ChangeChannelSettings, 4);
  SLOT(IIPVideoCapture::Reserved5, 5);
  SLOT(IIPVideoCapture::GetChannelState, 6);
  SLOT(IIPVideoCapture::Reserved7, 7);
  SLOT(IIPVideoCapture::Reserved8, 8);
  SLOT(IIPVideoCaptureEx::Reserved9, 9);
  SLOT(IIPVideoCaptureEx::Reserved10, 10);
}

TEST(AbiSlotsTest, DriverChain) {
  SLOT(IIPCaptureDriverEx4::OpenDriver, 1);
  SLOT(IIPCaptureDriverEx4::CloseDriver, 2);
  SLOT(IIPCaptureDriverEx4::GetVideoCapture, 3);
  SLOT(IIPCaptureDriverEx4::GetIOApi, 4);
  SLOT(IIPCaptureDriverEx4::Reserved5, 5);
  SLOT(IIPCaptureDriverEx4::GetPTZDriver, 6);
  SLOT(IIPCaptureDriverEx4::Reserved7, 7);
  SLOT(IIPCaptureDriverEx4::GetVideoCaptureEx, 8);
  SLOT(IIPCaptureDriverEx4::GetPTZDriverEx, 9);
  SLOT(IIPCaptureDriverEx4::Reserved10, 10);
  SLOT(IIPCaptureDriverEx4::Reserved11, 11);
}

TEST(AbiSlotsTest, DigitalIO) {
  SLOT(ICaptureIOApi::SetEventSink, 1);
  SLOT(ICaptureIOApi::StartIO, 2);
  SLOT(ICaptureIOApi::StopIO, 3);
  SLOT(ICaptureIOApi::GetInputCount, 4);
  SLOT(ICaptureIOApi::GetOutputCount, 5);
  SLOT(ICaptureIOApi::QueueOutputState, 6);
  SLOT(ICaptureIOEvents::OnInputStateChanged, 1);
  SLOT(ICaptureIOEvents::OnIOError, 2);
}

TEST(AbiSlotsTest, Ptz) {
  SLOT(IIPPTZApiEx::IsPTZAvailable, 1);
  SLOT(IIPPTZApiEx::Move, 2);
  SLOT(IIPPTZApiEx::Stop, 3);
  SLOT(IIPPTZApiEx::CenterOn, 4);
  SLOT(IIPPTZApiEx::StartZoomCode8, 5);
  SLOT(IIPPTZApiEx::StartZoomCode9, 6);
  SLOT(IIPPTZApiEx::UnzoomView, 7);
  SLOT(IIPPTZApiEx::ZoomToArea, 8);
  SLOT(IIPPTZApiEx::StartFocusTrue, 9);
  SLOT(IIPPTZApiEx::StartFocusFalse, 10);
  SLOT(IIPPTZApiEx::StartIrisTrue, 11);
  SLOT(IIPPTZApiEx::StartIrisFalse, 12);
  SLOT(IIPPTZApiEx::GetPTZCapabilities, 13);
  SLOT(IIPPTZApiEx::GetPrepositionCount, 14);
  SLOT(IIPPTZApiEx::GetPrepositionName, 15);
  SLOT(IIPPTZApiEx::RecallPreposition, 16);
  SLOT(IIPPTZApiEx::SavePreposition, 17);
  SLOT(IIPPTZApiEx::DeletePreposition, 18);
  SLOT(IIPPTZApiEx::GetCurrentPreposition, 19);
  SLOT(IIPPTZApiEx::QueryOption, 20);
  SLOT(IIPPTZDriverEx::GetPTZApi, 1);
  SLOT(IIPPTZDriverEx::GetPTZApiEx, 2);
  SLOT(::IIPParams::GetChannel, 1);
  SLOT(::IIPParams::IsIrisManual, 2);
  SLOT(::IIPParams::SetIrisManual, 3);
  SLOT(::IIPParams::IsFocusManual, 4);
  SLOT(::IIPParams::SetFocusManual, 5);
}

TEST(AbiSlotsTest, CapabilityQuery) {
  SLOT(ICapabilityQueryEvents::OnQueryCompleted, 2);
  SLOT(ICapabilityQueryEvents::OnQueryFailed, 3);
  SLOT(ICapabilityResults::SetCapability, 1);
  SLOT(ICapabilityResults::SetModelName, 2);
  SLOT(ICapabilityResults::GetConnectionField, 3);
  SLOT(ICapabilityResults::GetPropertyItem, 5);
  SLOT(ICapabilityResults::GetResolutionList, 6);
  SLOT(ICapabilityResults::GetFrameRateList, 8);
  SLOT(ICapabilityTextField::SetText, 1);
  SLOT(ICapabilityPropertyItem::SetValue, 1);
  SLOT(ICapabilityPropertyItem::SetFlag, 4);
  SLOT(ICapabilityPropertyItem::SetName, 5);
  SLOT(ICapabilityPropertyItem::SetOption, 6);
  SLOT(ICapabilityResolutionList::AddResolution, 1);
  SLOT(ICapabilityFrameRateList::SetDefaultFrameInterval, 1);
  SLOT(ICapabilityFrameRateList::AddFrameInterval, 2);
}

#if TOLLIVAR_SCALAR_DELETING_SLOT0
// Slot 0 of every root interface is the scalar deleting destructor, the one entry Microsoft's
// compiler gives a virtual destructor; a second entry would move every slot above by one.
TEST(AbiSlotsTest, SlotZeroIsTheScalarDeletingDestructor) {
  SLOT(IHostMessageSink::ScalarDeletingDestructor, 0);
  SLOT(CDebugInfoIf::ScalarDeletingDestructor, 0);
  SLOT(IDeviceDescription::ScalarDeletingDestructor, 0);
  SLOT(IMediaFrame::ScalarDeletingDestructor, 0);
  SLOT(IFrameFactory::ScalarDeletingDestructor, 0);
  SLOT(IFrameSink::ScalarDeletingDestructor, 0);
  SLOT(IIPVideoCaptureEx::ScalarDeletingDestructor, 0);
  SLOT(IIPCaptureDriverEx4::ScalarDeletingDestructor, 0);
  SLOT(ICaptureIOApi::ScalarDeletingDestructor, 0);
  SLOT(IIPPTZApiEx::ScalarDeletingDestructor, 0);
  SLOT(IIPPTZDriverEx::ScalarDeletingDestructor, 0);
  SLOT(ICapabilityResults::ScalarDeletingDestructor, 0);
}
#endif

TEST(AbiSlotsTest, RecordLayouts) {
  EXPECT_EQ(sizeof(SYSTEMTIME), 16u);
  EXPECT_EQ(sizeof(PTZ_CAPABILITIES), 14u * 4);
  EXPECT_EQ(offsetof(SYSTEMTIME, wDayOfWeek), 4u);
  EXPECT_EQ(offsetof(SYSTEMTIME, wMilliseconds), 14u);
  EXPECT_EQ(offsetof(PTZ_CAPABILITIES, hasPan), 4u);
  EXPECT_EQ(offsetof(PTZ_CAPABILITIES, maxPresets), 7u * 4);
  EXPECT_EQ(offsetof(PTZ_CAPABILITIES, presetCount), 8u * 4);
  EXPECT_EQ(offsetof(PTZ_CAPABILITIES, hasAreaZoom), 11u * 4);
  EXPECT_EQ(offsetof(PTZ_CAPABILITIES, hasUnzoom), 13u * 4);
  EXPECT_EQ(kFourCCI264, 0x34363249u);
  EXPECT_EQ(kFourCCDivx, 0x58564944u);
  EXPECT_EQ(kFourCCDivi, 0x49564944u);
}

}  // namespace
