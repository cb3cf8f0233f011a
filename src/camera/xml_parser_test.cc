#include "camera/xml_parser.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "camera/testing/temp_folder.h"

namespace korvane {
namespace {

using testing::TempHostFolder;

constexpr char kDocument[] =
    "<?xml version=\"1.0\"?>\n"
    "<Configuration>\n"
    "  <Device address=\"127.0.0.1\" port=\"80\">\n"
    "    <VideoChannel id=\"0\"><RTPMode>RTPoverTCP</RTPMode></VideoChannel>\n"
    "    <VideoChannel id=\"1\"><RTPMode>  </RTPMode></VideoChannel>\n"
    "    <VideoChannel id=\"2\"><RTPMode><![CDATA[RTPoverRTSP]]></RTPMode></VideoChannel>\n"
    "    <VideoChannel id=\"3\"><RTPMode/></VideoChannel>\n"
    "  </Device>\n"
    "</Configuration>\n";

TEST(XmlParserTest, MakeFullPathUsesTheHostFolder) {
  TempHostFolder folder;
  CXMLParser parser;
  EXPECT_EQ(parser.MakeFullPath(""), "");
  EXPECT_EQ(parser.MakeFullPath("Tollivar.xml"), folder.path() + "/Tollivar.xml");
}

TEST(XmlParserTest, AnswersXPathQuestions) {
  TempHostFolder folder;
  folder.Write("t.xml", kDocument);
  CXMLParser parser;
  ASSERT_TRUE(parser.Open("t.xml"));
  EXPECT_TRUE(parser.IsLoaded());
  EXPECT_EQ(parser.FilePath(), folder.path() + "/t.xml");
  EXPECT_TRUE(parser.NodeExists("Configuration/Device[@address=\"127.0.0.1\"][@port=\"80\"]"));
  EXPECT_FALSE(parser.NodeExists("Configuration/Device[@port=\"81\"]"));
  EXPECT_EQ(parser.GetNodeText("Configuration/Device/VideoChannel[@id=\"0\"]/RTPMode"),
            "RTPoverTCP");
  // Whitespace is kept as it stands in the file.
  EXPECT_EQ(parser.GetNodeText("Configuration/Device/VideoChannel[@id=\"1\"]/RTPMode"), "  ");
  EXPECT_EQ(parser.GetNodeText("Configuration/Device/VideoChannel[@id=\"2\"]/RTPMode"),
            "RTPoverRTSP");
  EXPECT_EQ(parser.GetNodeText("Configuration/Device/VideoChannel[@id=\"3\"]/RTPMode"), "");
  EXPECT_EQ(parser.GetNodeText("Configuration/Nothing"), "");
  // The first match in document order.
  EXPECT_EQ(parser.GetNodeText("Configuration/Device/VideoChannel/RTPMode"), "RTPoverTCP");
}

TEST(XmlParserTest, InvalidXPathSelectsNothing) {
  TempHostFolder folder;
  folder.Write("t.xml", kDocument);
  CXMLParser parser;
  ASSERT_TRUE(parser.Open("t.xml"));
  EXPECT_FALSE(parser.NodeExists("Configuration/Device[@address=\"a\"b\"]"));
  EXPECT_FALSE(parser.NodeExists("]["));
  EXPECT_EQ(parser.GetNodeText("(("), "");
  EXPECT_FALSE(parser.NodeExists(""));
}

TEST(XmlParserTest, OpenRefusesWhatItCannotLoad) {
  TempHostFolder folder;
  folder.Write("bad.xml", "<Configuration><Device></Configuration>");
  folder.Write("empty.xml", "");
  folder.Write("binary.xml", std::string("\x00\xff\x10<\x01", 5));
  std::filesystem::create_directory(folder.path() + "/dir.xml");
  // Too large to be a hand-written configuration: refused before parsing.
  folder.Write("huge.xml", "<Configuration>" + std::string(17u << 20, ' ') + "</Configuration>");
  for (const char* name :
       {"missing.xml", "bad.xml", "empty.xml", "binary.xml", "dir.xml", "huge.xml", ""}) {
    CXMLParser parser;
    EXPECT_FALSE(parser.Open(name)) << name;
    EXPECT_FALSE(parser.IsLoaded());
    EXPECT_FALSE(parser.NodeExists("Configuration"));
    EXPECT_EQ(parser.GetNodeText("Configuration"), "");
  }
}

TEST(XmlParserTest, OneDocumentAtATime) {
  TempHostFolder folder;
  folder.Write("t.xml", kDocument);
  CXMLParser parser;
  ASSERT_TRUE(parser.Open("t.xml"));
  EXPECT_FALSE(parser.Open("t.xml"));
  EXPECT_TRUE(parser.IsLoaded());
  parser.Close();
  EXPECT_FALSE(parser.IsLoaded());
  EXPECT_EQ(parser.FilePath(), "");
  EXPECT_FALSE(parser.NodeExists("Configuration"));
  parser.Close();  // harmless when nothing is loaded
  EXPECT_TRUE(parser.Open("t.xml"));
}

}  // namespace
}  // namespace korvane
