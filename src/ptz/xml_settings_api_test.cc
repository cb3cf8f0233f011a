#include "ptz/xml_settings_api.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "camera/testing/temp_folder.h"

namespace {

using korvane::testing::TempHostFolder;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class XmlSettingsTest : public ::testing::Test {
 protected:
  std::string PathOf(const std::string& name) const { return folder_.path() + "/" + name; }
  TempHostFolder folder_;
  CXMLSettingsAPI api_;
};

TEST_F(XmlSettingsTest, NewFileHoldsTheDeclarationAndAnEmptyRoot) {
  ASSERT_EQ(api_.CreateDocumentFile("CNB", "CNB_a.preset", true), 1);
  EXPECT_EQ(ReadFile(PathOf("CNB_a.preset")), "<?xml version=\"1.0\" encoding=\"utf-8\"?><CNB/>");
  ASSERT_EQ(api_.LoadDocument("CNB_a.preset"), CXMLSettingsAPI::kOk);
  EXPECT_TRUE(api_.NodeExists("CNB"));
  EXPECT_FALSE(api_.NodeExists("CNB/PtzChannel01"));
}

TEST_F(XmlSettingsTest, OpenCountKeepsTheDocumentUntilTheLastClose) {
  folder_.Write("a.xml", "<CNB><A value=\"1\"/></CNB>");
  ASSERT_EQ(api_.LoadDocument("a.xml"), 0);
  ASSERT_EQ(api_.LoadDocument("whatever.xml"), 0);  // already open: only counted
  EXPECT_EQ(api_.OpenCount(), 2u);
  EXPECT_EQ(api_.CloseDocument(), 1u);
  EXPECT_EQ(api_.GetValue("CNB/A"), "1");
  EXPECT_EQ(api_.CloseDocument(), 0u);
  EXPECT_EQ(api_.GetValue("CNB/A"), "");
  EXPECT_EQ(api_.SetValue("CNB/A", "2"), 0);
  EXPECT_FALSE(api_.SaveDocument());
  EXPECT_EQ(api_.CloseDocument(), 0u);
}

TEST_F(XmlSettingsTest, MissingAndEmptyFilesAreNotLoaded) {
  EXPECT_EQ(api_.LoadDocument("none.xml"), CXMLSettingsAPI::kFail);
  EXPECT_EQ(api_.LastLoadFailure(), CXMLSettingsAPI::LoadFailure::kMissing);
  folder_.Write("empty.xml", "");
  EXPECT_EQ(api_.LoadDocument("empty.xml"), CXMLSettingsAPI::kFail);
  EXPECT_EQ(api_.LastLoadFailure(), CXMLSettingsAPI::LoadFailure::kMissing);
  folder_.Write("bad.xml", "<CNB><unclosed></CNB>");
  EXPECT_EQ(api_.LoadDocument("bad.xml"), CXMLSettingsAPI::kFail);
  EXPECT_EQ(api_.LastLoadFailure(), CXMLSettingsAPI::LoadFailure::kNotParsable);
  std::filesystem::create_directory(PathOf("dir.xml"));
  EXPECT_EQ(api_.LoadDocument("dir.xml"), CXMLSettingsAPI::kFail);
  EXPECT_EQ(api_.LastLoadFailure(), CXMLSettingsAPI::LoadFailure::kUnreadable);
  EXPECT_FALSE(api_.IsOpen());
}

TEST_F(XmlSettingsTest, ElementWithoutValueAttributeReadsEmpty) {
  folder_.Write("a.xml", "<CNB><A other=\"x\">text</A></CNB>");
  ASSERT_EQ(api_.LoadDocument("a.xml"), 0);
  EXPECT_EQ(api_.GetValue("CNB/A"), "");
  EXPECT_EQ(api_.GetValue("CNB/Missing"), "");
}

TEST_F(XmlSettingsTest, SetValueCreatesTheMissingElementsInOrderOnce) {
  ASSERT_EQ(api_.CreateDocumentFile("CNB", "a.xml", true), 1);
  ASSERT_EQ(api_.LoadDocument("a.xml"), 0);
  ASSERT_EQ(api_.SetValue("CNB/PtzChannel01/Preposition000/Name", "Gate"), 1);
  ASSERT_EQ(api_.SetValue("CNB/PtzChannel01/Preposition000/Slot", "0"), 1);
  ASSERT_EQ(api_.SetValue("CNB/PtzChannel01/Preposition000/Name", "Yard"), 1);
  ASSERT_TRUE(api_.SaveDocument());
  EXPECT_EQ(ReadFile(PathOf("a.xml")),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><CNB><PtzChannel01><Preposition000>"
            "<Name value=\"Yard\"/><Slot value=\"0\"/></Preposition000></PtzChannel01></CNB>");
}

TEST_F(XmlSettingsTest, ValuesWithMarkupCharactersSurviveASaveAndLoad) {
  ASSERT_EQ(api_.CreateDocumentFile("CNB", "a.xml", true), 1);
  ASSERT_EQ(api_.LoadDocument("a.xml"), 0);
  const std::string tricky = "a<b>&\"c' %s\xC3\xA9";
  ASSERT_EQ(api_.SetValue("CNB/X", tricky), 1);
  ASSERT_TRUE(api_.SaveDocument());
  CXMLSettingsAPI other;
  ASSERT_EQ(other.LoadDocument("a.xml"), 0);
  EXPECT_EQ(other.GetValue("CNB/X"), tricky);
}

TEST_F(XmlSettingsTest, PathsThatAreNotPlainElementNamesAreRefused) {
  ASSERT_EQ(api_.CreateDocumentFile("CNB", "a.xml", true), 1);
  ASSERT_EQ(api_.LoadDocument("a.xml"), 0);
  EXPECT_EQ(api_.SetValue("CNB/A[@x=\"1\"]", "v"), 0);
  EXPECT_EQ(api_.SetValue("CNB//A", "v"), 0);
  EXPECT_EQ(api_.SetValue("Other/A", "v"), 0);  // the root element is never created
  EXPECT_EQ(api_.SetValue("CNB", "v"), 1);      // the root itself exists
  EXPECT_EQ(api_.SetValue("NoSlash", "v"), 0);  // and a lone step ends the recursion
  EXPECT_EQ(api_.SetValue(std::string(2000, 'A'), "v"), 0);
}

TEST_F(XmlSettingsTest, DeleteNodeRemovesTheElementOrReportsNothingToRemove) {
  folder_.Write("a.xml", "<CNB><A><B value=\"1\"/></A><C/></CNB>");
  ASSERT_EQ(api_.LoadDocument("a.xml"), 0);
  EXPECT_FALSE(api_.DeleteNode("CNB/Z"));
  EXPECT_TRUE(api_.DeleteNode("CNB/A"));
  EXPECT_FALSE(api_.NodeExists("CNB/A/B"));
  EXPECT_TRUE(api_.NodeExists("CNB/C"));
}

TEST(OlmerFileTest, OpensOnlyExistingRegularFiles) {
  TempHostFolder folder;
  folder.Write("f", "abc");
  COlmerFileBase file;
  EXPECT_FALSE(file.OpenForRead(""));
  EXPECT_FALSE(file.OpenForRead(folder.path() + "/missing"));
  EXPECT_FALSE(file.OpenForRead(folder.path()));
  ASSERT_TRUE(file.OpenForRead(folder.path() + "/f"));
  EXPECT_EQ(file.GetSize(), 3);
  std::string content;
  EXPECT_FALSE(file.ReadAll(content, 2));
}

}  // namespace
