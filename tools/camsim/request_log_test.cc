#include "request_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace camsim {
namespace {

TEST(JsonEscapeTest, EscapesWhatJsonForbids) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain /path?a=1&b=2", "plain /path?a=1&b=2"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"back\\slash", "back\\\\slash"},
      {"line\r\nbreak\t", "line\\r\\nbreak\\t"},
      {std::string("nul\0x", 5), "nul\\u0000x"},
      {"\x1f\x7f", "\\u001f\\u007f"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(JsonEscape(in), out);
}

TEST(JsonLineTest, BuildsOneFlatObject) {
  JsonLine line;
  line.Str("method", "GET").Int("status", 401).Bool("auth", false).Str("q", "a\"b");
  EXPECT_EQ(line.Text(), R"({"method":"GET","status":401,"auth":false,"q":"a\"b"})");
  EXPECT_EQ(JsonLine().Text(), "{}");
}

std::string TempPath(const char* name) {
  return ::testing::TempDir() + name + std::to_string(::getpid());
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

TEST(RequestLogTest, FileAndSnapshotHoldTheSameNumberedLines) {
  const std::string path = TempPath("camsim_log_a");
  RequestLog log;
  ASSERT_TRUE(log.Open(path));
  log.Add(JsonLine().Str("proto", "http").Str("path", "/cgi-bin/Param.cgi"));
  log.Add(JsonLine());
  const std::string file = ReadFile(path);  // flushed per line: readable while running
  EXPECT_EQ(file, log.Snapshot());
  std::istringstream lines(file);
  std::string first, second;
  std::getline(lines, first);
  std::getline(lines, second);
  EXPECT_EQ(first.rfind("{\"seq\":1,\"t_ms\":", 0), 0u) << first;
  EXPECT_NE(first.find(",\"proto\":\"http\",\"path\":\"/cgi-bin/Param.cgi\"}"), std::string::npos);
  EXPECT_EQ(second.rfind("{\"seq\":2,\"t_ms\":", 0), 0u) << second;
  EXPECT_EQ(second.back(), '}');
  std::remove(path.c_str());
}

TEST(RequestLogTest, OpenFailsForAnUnwritablePath) {
  RequestLog log;
  EXPECT_FALSE(log.Open("/nonexistent-dir-camsim/log.jsonl"));
  log.Add(JsonLine().Int("x", 1));  // still kept in memory
  EXPECT_NE(log.Snapshot().find("\"x\":1"), std::string::npos);
}

TEST(RequestLogTest, ConcurrentWritersGetDistinctSequenceNumbers) {
  RequestLog log;
  constexpr int kThreads = 4, kEach = 250;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kEach; ++i) log.Add(JsonLine().Int("thread", t).Int("i", i));
    });
  }
  for (auto& th : threads) th.join();
  std::istringstream lines(log.Snapshot());
  std::string line;
  std::set<long> seqs;
  long previous = 0;
  while (std::getline(lines, line)) {
    const long seq = std::stol(line.substr(7));
    EXPECT_GT(seq, previous);  // lines are kept in sequence order
    previous = seq;
    seqs.insert(seq);
  }
  EXPECT_EQ(seqs.size(), size_t{kThreads * kEach});
  EXPECT_EQ(*seqs.rbegin(), kThreads * kEach);
}

TEST(RequestLogTest, MemoryKeepsOnlyTheNewestLines) {
  RequestLog log;
  for (size_t i = 0; i < RequestLog::kMaxLinesInMemory + 5; ++i) log.Add(JsonLine());
  const std::string all = log.Snapshot();
  EXPECT_EQ(static_cast<size_t>(std::count(all.begin(), all.end(), '\n')),
            RequestLog::kMaxLinesInMemory);
  EXPECT_EQ(all.rfind("{\"seq\":6,", 0), 0u);
}

}  // namespace
}  // namespace camsim
