#include "base/file_util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace korvane {
namespace {

class FileUtilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tollivar_base_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
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
  EXPECT_TRUE(FileExists(path));  // EACCES for a normal user; opens anyway for root
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
  ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
}

TEST_F(FileUtilTest, AtomicWriteKeepsTheModeOfTheReplacedFile) {
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
  EXPECT_EQ(folder.front(), '/');
  EXPECT_EQ(folder.back(), '/');
  char exe[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof(exe) - 1), 0);
  const std::string path(exe);
  EXPECT_EQ(path.substr(0, folder.size()), folder);
  EXPECT_EQ(path.find('/', folder.size()), std::string::npos);
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
