#include "ptz/preposition_list.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "camera/testing/temp_folder.h"
#include "ptz/testing/ptz_test_util.h"

namespace korvane {
namespace {

using testing::RecordingPrepositionComm;
using testing::TempHostFolder;
using Call = RecordingPrepositionComm::Call;

constexpr char kFile[] = "CNB_test.preset";

// One entry of the file as read back with pugixml: (element, name, slot).
struct Entry {
  std::string element;
  std::string name;
  std::string slot;
  bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Entry& e) {
  return out << e.element << "{" << e.name << "," << e.slot << "}";
}

class PrepositionListTest : public ::testing::Test {
 protected:
  PrepositionListTest() { OpenList(); }

  void OpenList() {
    list_ = std::make_unique<CPrepositionList>(0);
    TSmartPtr<CXMLPrepositionReader> reader(new CXMLPrepositionReader("CNB"));
    ASSERT_TRUE(reader->OpenStorage(kFile));
    list_->SetComm(&comm_, 255);
    ASSERT_TRUE(list_->SetStorage(reader));
  }

  std::vector<Entry> FileEntries(const std::string& channel = "PtzChannel01") const {
    pugi::xml_document document;
    EXPECT_TRUE(document.load_file((folder_.path() + "/" + kFile).c_str()));
    std::vector<Entry> entries;
    for (pugi::xml_node entry : document.child("CNB").child(channel.c_str()).children()) {
      entries.push_back({entry.name(), entry.child("Name").attribute("value").value(),
                         entry.child("Slot").attribute("value").value()});
    }
    return entries;
  }

  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (std::int32_t i = 0; i < list_->GetCount(); ++i) {
      std::string name;
      EXPECT_TRUE(list_->GetNameAt(static_cast<std::uint32_t>(i), name));
      names.push_back(name);
    }
    return names;
  }

  std::string Current() {
    std::string name;
    list_->GetCurrentName(name);
    return name;
  }

  TempHostFolder folder_;
  RecordingPrepositionComm comm_;
  std::unique_ptr<CPrepositionList> list_;
};

TEST_F(PrepositionListTest, FirstPresetTakesSlotZeroAndIsWrittenToTheFile) {
  EXPECT_EQ(list_->AddPreposition("Gate"), kPtzOk);
  EXPECT_EQ(comm_.calls, (std::vector<Call>{{'S', 0, "Gate"}}));
  EXPECT_EQ(FileEntries(), (std::vector<Entry>{{"Preposition000", "Gate", "0"}}));
  EXPECT_EQ(Current(), "Gate");
}

TEST_F(PrepositionListTest, SavingAgainWithoutMotionRenamesTheCurrentPreset) {
  ASSERT_EQ(list_->AddPreposition("Gate"), kPtzOk);
  EXPECT_EQ(list_->AddPreposition("Yard"), kPtzOk);
  EXPECT_EQ(comm_.calls.size(), 1u);  // no second camera request
  EXPECT_EQ(Names(), std::vector<std::string>{"Yard"});
  EXPECT_EQ(FileEntries(), (std::vector<Entry>{{"Preposition000", "Yard", "0"}}));
  ASSERT_EQ(comm_.lines.size(), 1u);
  EXPECT_EQ(comm_.lines[0],
            std::make_pair(3, std::string("korvane::CPrepositionList::RenameCurrentPreposition: "
                                          "A preposition with index 0 was renamed from \"Gate\" "
                                          "to \"Yard\".")));
}

TEST_F(PrepositionListTest, AfterMotionANewPresetTakesTheNextSlot) {
  ASSERT_EQ(list_->AddPreposition("Gate"), kPtzOk);
  list_->ForgetCurrent();
  ASSERT_EQ(list_->AddPreposition("Yard"), kPtzOk);
  EXPECT_EQ(comm_.calls.back(), (Call{'S', 1, "Yard"}));
  EXPECT_EQ(Names(), (std::vector<std::string>{"Gate", "Yard"}));
  EXPECT_EQ(FileEntries(), (std::vector<Entry>{{"Preposition000", "Gate", "0"},
                                               {"Preposition001", "Yard", "1"}}));
}

TEST_F(PrepositionListTest, RemovedSlotIsReusedAndTheNewPresetGoesLast) {
  ASSERT_EQ(list_->AddPreposition("Gate"), kPtzOk);
  list_->ForgetCurrent();
  ASSERT_EQ(list_->AddPreposition("Yard"), kPtzOk);
  EXPECT_TRUE(list_->RemoveByName("Gate"));
  EXPECT_EQ(comm_.calls.back(), (Call{'C', 0, "Gate"}));
  EXPECT_EQ(FileEntries(), (std::vector<Entry>{{"Preposition000", "Yard", "1"}}));
  ASSERT_EQ(list_->AddPreposition("Door"), kPtzOk);
  EXPECT_EQ(comm_.calls.back(), (Call{'S', 0, "Door"}));
  EXPECT_EQ(Names(), (std::vector<std::string>{"Yard", "Door"}));
  EXPECT_EQ(FileEntries(), (std::vector<Entry>{{"Preposition000", "Yard", "1"},
                                               {"Preposition001", "Door", "0"}}));
}

struct NameCase {
  const char* name;
  bool valid;
};

class PresetNameTest : public PrepositionListTest,
                       public ::testing::WithParamInterface<NameCase> {};

TEST_P(PresetNameTest, ForbiddenCharactersAreRefusedWithMinusThree) {
  const NameCase c = GetParam();
  EXPECT_EQ(CPrepositionList::IsValidName(c.name), c.valid);
  const std::int32_t result = list_->AddPreposition(c.name);
  if (c.valid) {
    EXPECT_EQ(result, kPtzOk);
    EXPECT_EQ(Names(), std::vector<std::string>{c.name});
  } else {
    EXPECT_EQ(result, kPtzInvalidArgument);
    EXPECT_TRUE(comm_.calls.empty());
    ASSERT_EQ(comm_.lines.size(), 1u);
    EXPECT_EQ(comm_.lines[0].second, std::string("korvane::CPrepositionList::AddPreposition: A "
                                                 "preposition \"") +
                                         c.name + "\" cannot be added - the name is invalid.");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, PresetNameTest,
    ::testing::Values(NameCase{"", false}, NameCase{"a&b", false}, NameCase{"Wow!", false},
                      NameCase{"<x", false}, NameCase{"x>", false}, NameCase{"it's", false},
                      NameCase{"\"q\"", false}, NameCase{"100% %s %n", true},
                      NameCase{"Front door", true}, NameCase{"T\xC3\xBCr", true}));

TEST_F(PrepositionListTest, FullListRefusesWithMinusTwentySixUnlessAPresetIsCurrent) {
  for (int i = 0; i < 255; ++i) {
    ASSERT_EQ(list_->AddPreposition("P" + std::to_string(i)), kPtzOk);
    list_->ForgetCurrent();
  }
  comm_.lines.clear();
  EXPECT_EQ(list_->AddPreposition("One more"), kPtzPresetListFull);
  ASSERT_EQ(comm_.lines.size(), 1u);
  EXPECT_EQ(comm_.lines[0].second,
            "korvane::CPrepositionList::AddPreposition: A preposition \"One more\" cannot be "
            "added. Camera supports saving not more than 255 prepositions.");
  ASSERT_TRUE(list_->RecallByName("P7", 0));
  EXPECT_EQ(list_->AddPreposition("Seven"), kPtzOk);  // renames the current one
  EXPECT_EQ(list_->GetCount(), 255);
  EXPECT_EQ(FileEntries()[7], (Entry{"Preposition007", "Seven", "7"}));
}

TEST_F(PrepositionListTest, RecallOfTheCurrentPresetSendsNothing) {
  ASSERT_EQ(list_->AddPreposition("Gate"), kPtzOk);
  EXPECT_TRUE(list_->RecallByName("Gate", 3));
  EXPECT_EQ(comm_.calls.size(), 1u);
  list_->ForgetCurrent();
  EXPECT_TRUE(list_->RecallByName("Gate", 3));
  EXPECT_EQ(comm_.calls.back(), (Call{'G', 0, "Gate"}));
  EXPECT_FALSE(list_->RecallByName("gate", 3));  // names are case-sensitive
  EXPECT_FALSE(list_->RecallByName("", 3));
}

TEST_F(PrepositionListTest, CameraRefusingToStoreChangesNothing) {
  comm_.accept = false;
  EXPECT_EQ(list_->AddPreposition("Gate"), kPtzFailed);
  EXPECT_EQ(list_->GetCount(), 0);
  EXPECT_TRUE(FileEntries().empty());
}

TEST_F(PrepositionListTest, CameraRefusingToRemoveKeepsListFileAndCurrent) {
  ASSERT_EQ(list_->AddPreposition("Gate"), kPtzOk);
  comm_.accept = false;
  EXPECT_FALSE(list_->RemoveByName("Gate"));
  EXPECT_EQ(Names(), std::vector<std::string>{"Gate"});
  EXPECT_EQ(Current(), "Gate");
  EXPECT_EQ(FileEntries(), (std::vector<Entry>{{"Preposition000", "Gate", "0"}}));
  EXPECT_FALSE(list_->RemoveByName("Nope"));
}

TEST_F(PrepositionListTest, PresetsSurviveANewListOnTheSameFile) {
  ASSERT_EQ(list_->AddPreposition("Door"), kPtzOk);
  list_->ForgetCurrent();
  ASSERT_EQ(list_->AddPreposition("Gate"), kPtzOk);
  OpenList();
  EXPECT_EQ(Names(), (std::vector<std::string>{"Door", "Gate"}));
  EXPECT_EQ(Current(), "");
  EXPECT_TRUE(list_->RecallByName("Gate", 0));
  EXPECT_EQ(comm_.calls.back(), (Call{'G', 1, "Gate"}));
}

TEST_F(PrepositionListTest, EntriesWithoutNameOrWithABadSlotAreSkipped) {
  list_.reset();
  folder_.Write(kFile,
                "<?xml version=\"1.0\"?>\n<CNB>\n <PtzChannel01>\n"
                "  <Preposition000><Name value=\"A\"/><Slot value=\"4\"/></Preposition000>\n"
                "  <Preposition001><Name value=\"\"/><Slot value=\"5\"/></Preposition001>\n"
                "  <Preposition002><Name value=\"B\"/><Slot value=\"-1\"/></Preposition002>\n"
                "  <Preposition003><Name value=\"C\"/></Preposition003>\n"
                "  <Preposition004><Name value=\"D\"/><Slot value=\"255\"/></Preposition004>\n"
                "  <Preposition005><Name value=\"E\"/><Slot value=\" 6\"/></Preposition005>\n"
                "  <Preposition007><Name value=\"F\"/><Slot value=\"2\"/></Preposition007>\n"
                " </PtzChannel01>\n</CNB>\n");
  OpenList();
  EXPECT_EQ(Names(), (std::vector<std::string>{"A", "F"}));
  ASSERT_EQ(comm_.lines.size(), 4u);  // B, C, D and E, each with a line
  EXPECT_EQ(comm_.lines[0].second,
            "korvane::CPrepositionList::LoadFromStorage: preset entry 2 of channel 1 is "
            "skipped: its slot \"-1\" is not a whole number below 255");
  // The next rewrite numbers the entries from 000 without gaps.
  ASSERT_TRUE(list_->RemoveByName("A"));
  EXPECT_EQ(FileEntries(), (std::vector<Entry>{{"Preposition000", "F", "2"}}));
}

TEST_F(PrepositionListTest, OnlyElementsNamedAsTheReaderNamesThemAreEntriesInPositionOrder) {
  list_.reset();
  folder_.Write(kFile,
                "<CNB><PtzChannel01>"
                "<Preposition010><Name value=\"J\"/><Slot value=\"1\"/></Preposition010>"
                "<Preposition7><Name value=\"x\"/><Slot value=\"2\"/></Preposition7>"
                "<Preposition0008><Name value=\"x\"/><Slot value=\"3\"/></Preposition0008>"
                "<Preposition254><Name value=\"L\"/><Slot value=\"4\"/></Preposition254>"
                "<Preposition255><Name value=\"x\"/><Slot value=\"5\"/></Preposition255>"
                "<Preposition002><Name value=\"B\"/><Slot value=\"6\"/></Preposition002>"
                "<Preposition002><Name value=\"x\"/><Slot value=\"7\"/></Preposition002>"
                "</PtzChannel01></CNB>");
  OpenList();
  EXPECT_EQ(Names(), (std::vector<std::string>{"B", "J", "L"}));
}

TEST_F(PrepositionListTest, ContentLoadedFromMemoryIsReadAsTheFileButNeverSaved) {
  TSmartPtr<CXMLPrepositionReader> reader(new CXMLPrepositionReader("CNB"));
  ASSERT_TRUE(reader->OpenContent(
      "<CNB><PtzChannel01><Preposition000><Name value=\"A\"/><Slot value=\"3\"/>"
      "</Preposition000></PtzChannel01></CNB>"));
  EXPECT_FALSE(reader->IsSaveEnabled());
  EXPECT_FALSE(reader->SetSaveEnabled(true));  // there is no file to save to
  list_ = std::make_unique<CPrepositionList>(0);
  list_->SetComm(&comm_, 255);
  ASSERT_TRUE(list_->SetStorage(reader));
  EXPECT_EQ(Names(), (std::vector<std::string>{"A"}));
  EXPECT_FALSE(CXMLPrepositionReader("CNB").OpenContent("<CNB>"));
}

TEST_F(PrepositionListTest, NamesThatAreNotUtf8StillLeaveAReadableFile) {
  ASSERT_EQ(list_->AddPreposition("Caf\xE9"), kPtzOk);  // Latin-1, not UTF-8
  EXPECT_EQ(FileEntries(), (std::vector<Entry>{{"Preposition000", "Caf\xEF\xBF\xBD", "0"}}));
}

TEST_F(PrepositionListTest, WithoutCommNothingIsAdded) {
  CPrepositionList bare(0);
  EXPECT_EQ(bare.AddPreposition("Gate"), kPtzFailed);
  EXPECT_FALSE(bare.SetStorage(TSmartPtr<CXMLPrepositionReader>()));
}

class PrepositionReaderTest : public ::testing::Test {
 protected:
  std::string PathOf(const std::string& name) const { return folder_.path() + "/" + name; }
  std::vector<std::string> FolderNames() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_.path())) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  TempHostFolder folder_;
};

TEST_F(PrepositionReaderTest, MissingFileIsCreatedWithAnEmptyRoot) {
  CXMLPrepositionReader reader("CNB");
  ASSERT_TRUE(reader.OpenStorage(kFile));
  EXPECT_TRUE(reader.IsSaveEnabled());
  std::ifstream in(PathOf(kFile));
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "<?xml version=\"1.0\" encoding=\"utf-8\"?><CNB/>");
}

TEST_F(PrepositionReaderTest, CorruptFileIsKeptAsideAndLogged) {
  folder_.Write(kFile, "<CNB><PtzChannel01>");
  testing::RecordingPrepositionComm log;
  CXMLPrepositionReader reader("CNB", &log);
  ASSERT_TRUE(reader.OpenStorage(kFile));
  const auto names = FolderNames();
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], kFile);
  EXPECT_EQ(names[1].rfind(std::string(kFile) + ".bad-", 0), 0u) << names[1];
  std::ifstream in(PathOf(names[1]));
  std::stringstream kept;
  kept << in.rdbuf();
  EXPECT_EQ(kept.str(), "<CNB><PtzChannel01>");
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0].first, 2);
  EXPECT_NE(log.lines[0].second.find(names[1]), std::string::npos);
}

TEST_F(PrepositionReaderTest, OpenRemovesTheTemporaryFileOfAKilledSave) {
  const std::string good = "<?xml version=\"1.0\" encoding=\"utf-8\"?><CNB/>";
  folder_.Write(kFile, good);
#ifdef _WIN32
  const std::string leftover = std::string(kFile) + ".tmp-31-0";
#else
  const std::string leftover = std::string(kFile) + ".tmp-Qx7k2P";
#endif
  folder_.Write(leftover, "<CNB><PtzChann");  // cut off mid-write
  testing::RecordingPrepositionComm log;
  CXMLPrepositionReader reader("CNB", &log);
  ASSERT_TRUE(reader.OpenStorage(kFile));
  EXPECT_EQ(FolderNames(), std::vector<std::string>{kFile});
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0].first, 3);
}

TEST_F(PrepositionReaderTest, FileThatCannotBeReadIsNeverReplaced) {
  std::filesystem::create_directory(PathOf(kFile));
  CXMLPrepositionReader reader("CNB");
  EXPECT_FALSE(reader.OpenStorage(kFile));
  EXPECT_TRUE(std::filesystem::is_directory(PathOf(kFile)));
  EXPECT_FALSE(reader.IsSaveEnabled());
}

TEST_F(PrepositionReaderTest, WriteFailsWhileNothingIsOpen) {
  CXMLPrepositionReader reader("CNB");
  EXPECT_FALSE(reader.WritePreposition(0, 0, PrepositionRecord{"A", 0}));
  EXPECT_FALSE(reader.DeleteChannel(0));
}

}  // namespace
}  // namespace korvane
