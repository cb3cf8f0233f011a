#include "camera/rtp_mode_config.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "camera/testing/temp_folder.h"
#include "camera/xml_parser.h"

namespace korvane {
namespace {

using testing::TempHostFolder;

constexpr char kFileBase[] = "Tollivar";
constexpr char kFileName[] = "Tollivar.xml";

DEVICE_INFO Camera(const std::string& address, uint16_t port) {
  DEVICE_INFO device;
  device.address = address;
  device.port = port;
  return device;
}

const DEVICE_INFO kThisCamera = Camera("192.0.2.10", 80);
const DEVICE_INFO kOtherCamera = Camera("192.0.2.11", 80);
const DEVICE_INFO kThisAddressOtherPort = Camera("192.0.2.10", 8080);

std::string Channel(const std::string& idAttribute, const std::string& mode) {
  return "<VideoChannel" + idAttribute + "><RTPMode>" + mode + "</RTPMode></VideoChannel>";
}

std::string File(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Configuration>" + body +
         "</Configuration>\n";
}

struct ModeCase {
  const char* name;
  std::string file;  // empty: no file at all
  DEVICE_INFO device;
  uint32_t channel;
  int32_t mode;
};

class RtpModeTest : public ::testing::TestWithParam<ModeCase> {};

TEST_P(RtpModeTest, ChoosesTheMode) {
  const ModeCase& c = GetParam();
  TempHostFolder folder;
  if (!c.file.empty()) folder.Write(kFileName, c.file);
  EXPECT_EQ(GetRTPMode(kFileBase, c.device, c.channel), c.mode);
  // The same content loaded from memory gives the same mode; what does not load gives UDP.
  CXMLParser parser;
  const bool loaded = parser.OpenContent(c.file);
  EXPECT_EQ(GetRTPMode(parser, c.device, c.channel), loaded ? c.mode : kRtpOverUdp);
  EXPECT_TRUE(parser.FilePath().empty());
}

const std::string kGeneralThenThis =
    File("<Device>" + Channel("", "RTPoverTCP") + "</Device>"
         "<Device address=\"192.0.2.10\" port=\"80\">" + Channel("", "RTPoverRTSP") + "</Device>");
const std::string kThisThenGeneral =
    File("<Device address=\"192.0.2.10\" port=\"80\">" + Channel("", "RTPoverRTSP") + "</Device>"
         "<Device>" + Channel("", "RTPoverTCP") + "</Device>");
const std::string kOnlyChannel1 = File("<Device>" + Channel(" id=\"1\"", "RTPoverRTSP") + "</Device>");
// One entry of each form, the general one first so that it would win if precedence failed.
const std::string kAllForms = File(
    "<Device>" + Channel("", "RTPoverUDP") + Channel(" id=\"2\"", "RTPoverTCP") + "</Device>"
    "<Device address=\"192.0.2.10\" port=\"80\">" + Channel(" id=\"1\"", "RTPoverRTSP") +
    "</Device>"
    "<Device address=\"192.0.2.10\" port=\"80\">" + Channel(" id=\"5\"", "RTPoverTCP") +
    Channel("", "RTPoverTCP") + "</Device>");

INSTANTIATE_TEST_SUITE_P(
    Cases, RtpModeTest,
    ::testing::Values(
        ModeCase{"NoFile", "", kThisCamera, 0, 0},
        ModeCase{"OnlyGeneralEntryAppliesToEveryone",
                 File("<Device>" + Channel("", "RTPoverTCP") + "</Device>"), kOtherCamera, 3, 1},
        ModeCase{"ThisCameraBeatsGeneralEntry", kGeneralThenThis, kThisCamera, 0, 2},
        ModeCase{"OtherCameraTakesFirstGeneralMatch", kGeneralThenThis, kOtherCamera, 0, 1},
        ModeCase{"OtherCameraTakesFirstEntryInFile", kThisThenGeneral, kOtherCamera, 0, 2},
        ModeCase{"PortMustMatchToo", kGeneralThenThis, kThisAddressOtherPort, 0, 1},
        ModeCase{"ChannelIdUnderAnyDevice", kOnlyChannel1, kOtherCamera, 1, 2},
        ModeCase{"OtherChannelFallsToFirstEntry", kOnlyChannel1, kOtherCamera, 0, 2},
        ModeCase{"CameraAndChannelWin", kAllForms, kThisCamera, 1, 2},
        // Form 2 selects every channel of this camera: the first in the file (id 1) counts.
        ModeCase{"CameraEntryBeatsChannelId", kAllForms, kThisCamera, 2, 2},
        ModeCase{"ChannelIdBeatsGeneral", kAllForms, kOtherCamera, 2, 1},
        ModeCase{"GeneralLast", kAllForms, kOtherCamera, 7, 0},
        ModeCase{"OnlyAnotherCamerasEntry",
                 File("<Device address=\"192.0.2.99\" port=\"80\">" + Channel("", "RTPoverTCP") +
                      "</Device>"),
                 kThisCamera, 0, 1},
        ModeCase{"AddressWrittenDifferently",
                 File("<Device address=\"192.0.2.10 \" port=\"80\">" +
                      Channel("", "RTPoverRTSP") + "</Device><Device>" +
                      Channel("", "RTPoverTCP") + "</Device>"),
                 kThisCamera, 0, 2},  // form 4 picks the first entry of the file
        ModeCase{"AddressWrittenDifferentlyDoesNotMatch",
                 File("<Device>" + Channel("", "RTPoverTCP") + "</Device>"
                      "<Device address=\"192.0.2.10 \" port=\"80\">" +
                      Channel("", "RTPoverRTSP") + "</Device>"),
                 kThisCamera, 0, 1},
        ModeCase{"Udp", File("<Device>" + Channel("", "RTPoverUDP") + "</Device>"), kThisCamera, 0, 0},
        ModeCase{"Tcp", File("<Device>" + Channel("", "RTPoverTCP") + "</Device>"), kThisCamera, 0, 1},
        ModeCase{"Rtsp", File("<Device>" + Channel("", "RTPoverRTSP") + "</Device>"), kThisCamera, 0, 2},
        ModeCase{"OtherCase", File("<Device>" + Channel("", "rtpovertcp") + "</Device>"), kThisCamera, 0, 0},
        ModeCase{"SurroundingBlanks", File("<Device>" + Channel("", " RTPoverTCP ") + "</Device>"), kThisCamera, 0, 0},
        ModeCase{"TrailingNewline", File("<Device>" + Channel("", "RTPoverTCP\n") + "</Device>"), kThisCamera, 0, 0},
        ModeCase{"UnknownText", File("<Device>" + Channel("", "RTPoverSCTP") + "</Device>"), kThisCamera, 0, 0},
        ModeCase{"EmptyMode", File("<Device>" + Channel("", "") + "</Device>"), kThisCamera, 0, 0},
        ModeCase{"NoModeElement", File("<Device><VideoChannel/></Device>"), kThisCamera, 0, 0},
        ModeCase{"FirstModeElementCounts",
                 File("<Device><VideoChannel><RTPMode>RTPoverTCP</RTPMode>"
                      "<RTPMode>RTPoverRTSP</RTPMode></VideoChannel></Device>"),
                 kThisCamera, 0, 1},
        ModeCase{"CData", File("<Device>" + Channel("", "<![CDATA[RTPoverRTSP]]>") + "</Device>"),
                 kThisCamera, 0, 2},
        ModeCase{"Malformed", "<Configuration><Device><VideoChannel><RTPMode>RTPoverTCP",
                 kThisCamera, 0, 0},
        ModeCase{"Garbage", std::string("\x7f\x45LF\x02\x01\x01\x00\x00", 9), kThisCamera, 0, 0},
        ModeCase{"OtherRoot", "<Config><Device>" + Channel("", "RTPoverTCP") + "</Device></Config>",
                 kThisCamera, 0, 0},
        ModeCase{"QuoteInAddressMatchesNothingOfItsOwn",
                 File("<Device>" + Channel("", "RTPoverTCP") + "</Device>"),
                 Camera("a\"]|//*[\"", 80), 0, 1}),
    [](const ::testing::TestParamInfo<ModeCase>& info) { return info.param.name; });

TEST(RtpModeTest, FileIsReadAnewOnEveryCall) {
  TempHostFolder folder;
  EXPECT_EQ(GetRTPMode(kFileBase, kThisCamera, 0), 0);
  folder.Write(kFileName, File("<Device>" + Channel("", "RTPoverTCP") + "</Device>"));
  EXPECT_EQ(GetRTPMode(kFileBase, kThisCamera, 0), 1);
  folder.Write(kFileName, File("<Device>" + Channel("", "RTPoverRTSP") + "</Device>"));
  EXPECT_EQ(GetRTPMode(kFileBase, kThisCamera, 0), 2);
  folder.Write(kFileName, "<Configuration>");
  EXPECT_EQ(GetRTPMode(kFileBase, kThisCamera, 0), 0);
}

TEST(RtpModeTest, FileNameFollowsTheBaseName) {
  TempHostFolder folder;
  folder.Write("Other.xml", File("<Device>" + Channel("", "RTPoverTCP") + "</Device>"));
  EXPECT_EQ(GetRTPMode(kFileBase, kThisCamera, 0), 0);
  EXPECT_EQ(GetRTPMode("Other", kThisCamera, 0), 1);
}

TEST(RtpModeTest, SelectChannelPathNamesTheChosenForm) {
  TempHostFolder folder;
  folder.Write(kFileName, kAllForms);
  CXMLParser parser;
  ASSERT_TRUE(parser.Open(kFileName));
  EXPECT_EQ(SelectChannelPath(parser, kThisCamera, 1),
            "Configuration/Device[@address=\"192.0.2.10\"][@port=\"80\"]/VideoChannel[@id=\"1\"]");
  EXPECT_EQ(SelectChannelPath(parser, kThisCamera, 9),
            "Configuration/Device[@address=\"192.0.2.10\"][@port=\"80\"]/VideoChannel");
  EXPECT_EQ(SelectChannelPath(parser, kOtherCamera, 2),
            "Configuration/Device/VideoChannel[@id=\"2\"]");
  EXPECT_EQ(SelectChannelPath(parser, kOtherCamera, 9), "Configuration/Device/VideoChannel");
}

TEST(RtpModeTest, ChannelsReadTheFileConcurrently) {
  TempHostFolder folder;
  folder.Write(kFileName, kAllForms);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&wrong] {
      for (int i = 0; i < 50; ++i) {
        if (GetRTPMode(kFileBase, kThisCamera, 1) != 2) ++wrong;
        if (GetRTPMode(kFileBase, kOtherCamera, 2) != 1) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace korvane
