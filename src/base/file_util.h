#pragma once

#include <string>

namespace korvane {

// False for an empty path, and when opening the file for reading fails because it does not exist
// (ENOENT). Any other outcome counts as present, a refused open included: the file is there even
// if something else holds it.
bool FileExists(const std::string& path);

// The folder of the host executable with a trailing '/', where the driver's configuration and
// preset files live. Empty if it cannot be determined.
std::string GetHostExecutableFolder();

// Internal hook for tests: makes GetHostExecutableFolder() return `folder` (a trailing '/' is
// added when missing). An empty string restores the real folder.
void SetHostExecutableFolderForTesting(std::string folder);

}  // namespace korvane
