#pragma once

#include <filesystem>
#include <string>

namespace korvane {

// The path of a UTF-8 file name, the form every path has in this code base. On Windows a
// narrow path would be read in the ANSI code page, so a folder or file name outside ASCII
// would name another file (or none); this converts it to the system's wide form there.
inline std::filesystem::path PathFromUtf8(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// Paths are UTF-8 on every platform (on Windows converted for the wide-character calls).

// False for an empty path, and when opening the file for reading fails because it does not exist
// (ENOENT; on Windows a missing file or folder). Any other outcome counts as present, a refused
// open included: the file is there even if something else holds it.
bool FileExists(const std::string& path);

// The folder of the host executable with a trailing separator ('/'; on Windows the '\\' of the
// path the system gives, in UTF-8), where the driver's configuration and preset files live.
// Empty if it cannot be determined.
std::string GetHostExecutableFolder();

// Internal hook for tests: makes GetHostExecutableFolder() return `folder` (a trailing '/' is
// added when missing; on Windows a trailing '\\' counts too). An empty string restores the real
// folder.
void SetHostExecutableFolderForTesting(std::string folder);

}  // namespace korvane

namespace korvane {

// Replaces the file at `path` with `content` so that a reader (or a crash at any moment) sees
// either the old file or the new one whole: the content goes to a fresh temporary file in the
// same folder, is flushed to the disk, and is then renamed over `path`. False (the old file
// untouched, the temporary file removed) on any failure.
bool WriteFileAtomically(const std::string& path, const std::string& content);

// Removes the temporary files that WriteFileAtomically left beside `path` when its writer died
// before the rename: only names of exactly its pattern for that file, never another file's or
// one merely alike. Meant for the open of the file, before anything of this process writes it:
// a save in flight at that moment (another process on the same file) would lose its temporary
// file on POSIX and fail. Returns how many were removed.
int RemoveLeftoverTemporaryFiles(const std::string& path);

// Renames `from` to `to`, replacing `to`. False on failure.
bool RenameFile(const std::string& from, const std::string& to);

}  // namespace korvane
