#pragma once

// Test-only: reads the captures in src/rtsp/testdata.
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace korvane::testdata {

inline std::string Path(const std::string& name) {
  const char* source = std::getenv("TOLLIVAR_SOURCE_DIR");
  if (source != nullptr) return std::string(source) + "/src/rtsp/testdata/" + name;
#ifdef TOLLIVAR_RTSP_TESTDATA
  return std::string(TOLLIVAR_RTSP_TESTDATA) + "/" + name;
#else
  return "src/rtsp/testdata/" + name;
#endif
}

inline std::string ReadFile(const std::string& name) {
  std::ifstream in(Path(name), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A captured response without the first line, which says how it was produced.
inline std::string ReadCapture(const std::string& name) {
  const std::string text = ReadFile(name);
  const size_t first_line_end = text.find('\n');
  return first_line_end == std::string::npos ? std::string() : text.substr(first_line_end + 1);
}

}  // namespace korvane::testdata
