#include "base/file_util.h"

#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

namespace korvane {
namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';

std::string ThisProgram() {
  char path[MAX_PATH] = {};  // the test's own path is short and ASCII
  return GetModuleFileNameA(nullptr, path, sizeof(path)) > 0 ? path : "";
}
#else
constexpr char kSeparator = '/';

std::string ThisProgram() {
  char path[4096] = {};
  return readlink("/proc/self/exe", path, sizeof(path) - 1) > 0 ? path : "";
}
#endif

// A new, empty folder in the system's temporary folder.
std::string MakeTempFolder() {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                         ("tollivar_base_" + std::to_string(random()));
    std::error_code error;
    if (std::filesystem::create_directory(folder, error)) return folder.string();
  }
  return {};
}

class FileUtilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempFolder();
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override {
    for (const auto& f : files_) {
      chmod(f.c_str(), 0600);
      unlink(f.c_str());
    }
    rmdir(dir_.c_str());
    SetHostExecutableFolderForTesting("");
  }
  std::string MakeFile(const std::string& name, mode_t mode) {
    const std::string path = dir_ + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f != nullptr) {
      std::fputs("<x/>", f);
      std::fclose(f);
    }
    chmod(path.c_str(), mode);
    files_.push_back(path);
    return path;
  }
  std::string dir_;
  std::vector<std::string> files_;
};

TEST_F(FileUtilTest, EmptyPathIsAbsent) { EXPECT_FALSE(FileExists("")); }

TEST_F(FileUtilTest, MissingFileIsAbsent) {
  EXPECT_FALSE(FileExists(dir_ + "/missing.xml"));
  EXPECT_FALSE(FileExists(dir_ + "/no_such_dir/missing.xml"));
}

TEST_F(FileUtilTest, ReadableFileIsPresent) {
  EXPECT_TRUE(FileExists(MakeFile("Tollivar.xml", 0644)));
}

TEST_F(FileUtilTest, FileThatCannotBeOpenedStillCountsAsPresent) {
  const std::string path = MakeFile("locked.xml", 0000);
#ifdef _WIN32
  // Windows has no unreadable mode; a handle that shares nothing makes every other open fail.
  const HANDLE holder =
      CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(FileExists(path));
  CloseHandle(holder);
#else
  EXPECT_TRUE(FileExists(path));  // EACCES for a normal user; opens anyway for root
#endif
}

std::string ReadWhole(const std::string& path) {
  std::string text;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[256];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
    std::fclose(f);
  }
  return text;
}

TEST_F(FileUtilTest, AtomicWriteReplacesTheFileAndLeavesNoTemporaryFile) {
  const std::string path = MakeFile("CNB_a.preset", 0644);
  ASSERT_TRUE(WriteFileAtomically(path, "<CNB/>"));
  EXPECT_EQ(ReadWhole(path), "<CNB/>");
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_NE(info.st_mode & 0044, 0u);  // not left with the temporary file's owner-only mode
  EXPECT_EQ(rmdir(dir_.c_str()), -1);  // only the one file is left in the folder
  unlink(path.c_str());
  EXPECT_EQ(rmdir(dir_.c_str()), 0);
  ASSERT_TRUE(std::filesystem::create_directory(dir_));
}

// What a save killed before its rename leaves beside "CNB_a.preset", and names that only look
// alike: the open removes exactly the first kind.
struct LeftoverCase {
  const char* name;
  bool removed;
};

#ifdef _WIN32
constexpr char kOwnTemporary[] = "CNB_a.preset.tmp-4242-7";
#else
constexpr char kOwnTemporary[] = "CNB_a.preset.tmp-aZ09xQ";
#endif

TEST_F(FileUtilTest, LeftoverTemporaryFilesOfTheFileAreRemovedOthersKept) {
  const LeftoverCase cases[] = {
      {kOwnTemporary, true},
      {"CNB_a.preset", false},                  // the preset file itself
      {"CNB_b.preset.tmp-aZ09xQ", false},       // another file's temporary
      {"CNB_b.preset.tmp-4242-7", false},
      {"xCNB_a.preset.tmp-aZ09xQ", false},      // a longer name ending alike
      {"CNB_a.preset.tmp-aZ09x", false},        // one letter short
      {"CNB_a.preset.tmp-aZ09xQ.bak", false},   // a longer tail
      {"CNB_a.preset.tmp-4242-7.bak", false},
      {"CNB_a.preset.tmp-a.Z09x", false},       // not a letter or digit
      {"CNB_a.preset.bad-20261209T101500Z", false},  // an unreadable file set aside by hand
  };
  const std::string path = dir_ + kSeparator + "CNB_a.preset";
  for (const LeftoverCase& c : cases) MakeFile(c.name, 0644);
  EXPECT_EQ(RemoveLeftoverTemporaryFiles(path), 1);
  for (const LeftoverCase& c : cases) {
    EXPECT_EQ(FileExists(dir_ + kSeparator + c.name), !c.removed) << c.name;
  }
  EXPECT_EQ(RemoveLeftoverTemporaryFiles(path), 0);
  EXPECT_EQ(RemoveLeftoverTemporaryFiles(dir_ + kSeparator + "missing" + kSeparator + "x"), 0);
}

TEST_F(FileUtilTest, AtomicWriteKeepsTheModeOfTheReplacedFile) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows files have no mode bits: the replacement takes the folder's ACL";
#endif
  const std::string path = MakeFile("private.preset", 0640);
  ASSERT_TRUE(WriteFileAtomically(path, "<CNB/>"));
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST_F(FileUtilTest, AtomicWriteIntoAMissingFolderFails) {
  EXPECT_FALSE(WriteFileAtomically(dir_ + "/no_such_dir/x.preset", "x"));
  EXPECT_FALSE(WriteFileAtomically("", "x"));
}

TEST_F(FileUtilTest, RenameMovesAFileAside) {
  const std::string path = MakeFile("old.preset", 0644);
  const std::string aside = dir_ + "/old.preset.bad";
  ASSERT_TRUE(RenameFile(path, aside));
  files_.push_back(aside);
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(ReadWhole(aside), "<x/>");
  EXPECT_FALSE(RenameFile(path, aside));
}

TEST_F(FileUtilTest, HostFolderIsWhereThisProgramLives) {
  const std::string folder = GetHostExecutableFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), kSeparator);
  const std::string path = ThisProgram();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.substr(0, folder.size()), folder);
  EXPECT_EQ(path.find(kSeparator, folder.size()), std::string::npos);
  EXPECT_TRUE(FileExists(path));
}

TEST_F(FileUtilTest, TestHookRedirectsTheFolderAndCanBeUndone) {
  const std::string real = GetHostExecutableFolder();
  SetHostExecutableFolderForTesting(dir_);
  EXPECT_EQ(GetHostExecutableFolder(), dir_ + "/");
  SetHostExecutableFolderForTesting(dir_ + "/");
  EXPECT_EQ(GetHostExecutableFolder(), dir_ + "/");
  SetHostExecutableFolderForTesting("");
  EXPECT_EQ(GetHostExecutableFolder(), real);
}

}  // namespace
}  // namespace korvane
