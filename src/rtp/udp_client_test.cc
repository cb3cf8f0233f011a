#include "rtp/udp_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/testing/recording_debug_message.h"
#include "rtp/testing/udp_test_peer.h"

namespace korvane {
namespace {

using testing::UdpPeer;
using testing::WaitUntil;

struct Datagram {
  std::vector<uint8_t> bytes;
  SocketAddress from;
};

class RecordingUser : public IRTPClientUser {
 public:
  void OnData(IRTPClient* client, const SocketAddress& from, const uint8_t* data,
              size_t length) override {
    std::lock_guard<std::mutex> guard(mutex_);
    last_client_ = client;
    datagrams_.push_back({std::vector<uint8_t>(data, data + length), from});
  }
  void OnWaitTimeout(IRTPClient*) override { ++wait_timeouts_; }
  void OnClosed(IRTPClient*) override { ++closed_; }

  std::vector<Datagram> Datagrams() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return datagrams_;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return datagrams_.size();
  }
  IRTPClient* LastClient() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return last_client_;
  }

  std::atomic<int> wait_timeouts_{0};
  std::atomic<int> closed_{0};

 private:
  mutable std::mutex mutex_;
  std::vector<Datagram> datagrams_;
  IRTPClient* last_client_ = nullptr;
};

std::vector<uint8_t> Bytes(size_t size, uint8_t fill) { return std::vector<uint8_t>(size, fill); }

class UdpClientTest : public ::testing::Test {
 protected:
  CRecordingDebugMessage log_;
  RecordingUser user_;
  UdpPeer camera_;
};

TEST_F(UdpClientTest, DeliversDatagramWithSenderAddress) {
  CUDPClient client(&log_);
  ASSERT_TRUE(client.Open(&user_, 0));
  ASSERT_NE(client.GetPort(), 0);
  EXPECT_EQ(client.GetName(), "UDP client thread, port " + std::to_string(client.GetPort()));

  ASSERT_TRUE(camera_.SendTo(client.GetPort(), {1, 2, 3, 4, 5}));
  ASSERT_TRUE(WaitUntil([&] { return user_.Count() == 1; }));
  const Datagram d = user_.Datagrams()[0];
  EXPECT_EQ(d.bytes, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(d.from, (SocketAddress{testing::LoopbackIp(), camera_.port()}));
  EXPECT_EQ(user_.LastClient(), static_cast<IRTPClient*>(&client));
}

TEST_F(UdpClientTest, PortInUseFailsAndPortStaysZero) {
  CUDPClient holder(&log_);
  ASSERT_TRUE(holder.Open(&user_, 0));
  RecordingUser second_user;
  CUDPClient client(&log_);
  EXPECT_FALSE(client.Open(&second_user, holder.GetPort()));
  EXPECT_EQ(client.GetPort(), 0);
  EXPECT_FALSE(client.IsRunning());
  // Nothing was open, so nothing was closed.
  EXPECT_EQ(second_user.closed_, 0);
  // The port is still served by its holder.
  ASSERT_TRUE(camera_.SendTo(holder.GetPort(), {7}));
  EXPECT_TRUE(WaitUntil([&] { return user_.Count() == 1; }));
}

TEST_F(UdpClientTest, OpenOnAnOpenClientFailsAndClosesIt) {
  CUDPClient client(&log_);
  ASSERT_TRUE(client.Open(&user_, 0));
  RecordingUser other;
  EXPECT_FALSE(client.Open(&other, 0));
  EXPECT_EQ(client.GetPort(), 0);
  EXPECT_FALSE(client.IsRunning());
  // The first user, whose socket it was, hears of the close.
  EXPECT_EQ(user_.closed_, 1);
  EXPECT_EQ(other.closed_, 0);
}

// Sizes sent one after the other and what arrives, for a read buffer that starts at `initial`.
struct OversizeCase {
  const char* name;
  uint32_t initial;
  std::vector<size_t> sent;
  std::vector<size_t> received;
};

class UdpClientOversize : public UdpClientTest,
                          public ::testing::WithParamInterface<OversizeCase> {};

TEST_P(UdpClientOversize, OversizedDatagramIsLostAndBufferGrows) {
  const OversizeCase& c = GetParam();
  CUDPClient client(&log_);
  client.SetReceiveSize(c.initial);
  ASSERT_TRUE(client.Open(&user_, 0));
  uint8_t fill = 1;
  for (size_t size : c.sent) {
    ASSERT_TRUE(camera_.SendTo(client.GetPort(), Bytes(size, fill++)));
    // Near-64 KiB datagrams would overflow the 64 KiB socket buffer if sent back to back.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // A final small datagram tells that everything before it was handled.
  ASSERT_TRUE(camera_.SendTo(client.GetPort(), Bytes(1, 0xEE)));
  ASSERT_TRUE(WaitUntil([&] {
    const auto d = user_.Datagrams();
    return !d.empty() && d.back().bytes == Bytes(1, 0xEE);
  }));
  std::vector<size_t> received;
  for (const Datagram& d : user_.Datagrams()) {
    received.push_back(d.bytes.size());
    // Whole and not mixed with another datagram.
    EXPECT_EQ(d.bytes, Bytes(d.bytes.size(), d.bytes[0]));
  }
  received.pop_back();
  EXPECT_EQ(received, c.received);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UdpClientOversize,
    ::testing::Values(
        OversizeCase{"FitsExactly", 1536, {1536, 100}, {1536, 100}},
        OversizeCase{"OneByteTooManyIsLost", 1536, {1537, 100}, {100}},
        OversizeCase{"NextUpTo1024MoreArrives", 1536, {2000, 2560}, {2560}},
        OversizeCase{"GrowsOnlyBy1024", 1536, {2000, 2561, 3584}, {3584}},
        OversizeCase{"MaximumDatagramAfterGrowthToCap", 64511, {65000, 65507}, {65507}},
        OversizeCase{"DefaultBufferIs8192", CUDPClient::kDefaultReceiveSize,
                     {8192, 8193, 9216}, {8192, 9216}}),
    [](const ::testing::TestParamInfo<OversizeCase>& info) { return std::string(info.param.name); });

TEST_F(UdpClientTest, ReceiveSizeSetAfterOpenAppliesToTheNextRead) {
  CUDPClient client(&log_);
  ASSERT_TRUE(client.Open(&user_, 0));
  client.SetReceiveSize(1000);
  ASSERT_TRUE(camera_.SendTo(client.GetPort(), Bytes(1001, 1)));
  ASSERT_TRUE(camera_.SendTo(client.GetPort(), Bytes(10, 2)));
  ASSERT_TRUE(WaitUntil([&] { return user_.Count() == 1; }));
  EXPECT_EQ(user_.Datagrams()[0].bytes, Bytes(10, 2));
}

TEST_F(UdpClientTest, EmptyDatagramIsNotDelivered) {
  CUDPClient client(&log_);
  ASSERT_TRUE(client.Open(&user_, 0));
  ASSERT_TRUE(camera_.SendTo(client.GetPort(), {}));
  ASSERT_TRUE(camera_.SendTo(client.GetPort(), {9}));
  ASSERT_TRUE(WaitUntil([&] { return user_.Count() >= 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(user_.Count(), 1u);
  EXPECT_EQ(user_.Datagrams()[0].bytes, std::vector<uint8_t>{9});
}

TEST_F(UdpClientTest, SilentSocketReportsWaitTimeouts) {
  CUDPClient client(&log_);
  client.SetWait(1, 0);
  ASSERT_TRUE(client.Open(&user_, 0));
  std::this_thread::sleep_for(std::chrono::milliseconds(2600));
  // About one per second; generous bounds for a loaded machine.
  EXPECT_GE(user_.wait_timeouts_, 1);
  EXPECT_LE(user_.wait_timeouts_, 4);
  EXPECT_EQ(user_.Count(), 0u);
}

TEST_F(UdpClientTest, CloseWakesALongWaitAtOnce) {
  CUDPClient client(&log_);
  client.SetWait(60, 0);
  ASSERT_TRUE(client.Open(&user_, 0));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the thread is in its wait
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(client.Close());
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(3));
  EXPECT_EQ(client.GetPort(), 0);
  EXPECT_FALSE(client.IsRunning());
  EXPECT_EQ(user_.closed_, 1);
  EXPECT_EQ(user_.wait_timeouts_, 0);
  // Nothing is logged for a thread that ended in time.
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(UdpClientTest, CloseOfANeverOpenedClientDoesNotReportClosed) {
  CUDPClient client(&log_);
  EXPECT_TRUE(client.Close());
  EXPECT_EQ(user_.closed_, 0);
}

TEST_F(UdpClientTest, ClosedClientCanBeOpenedAgainOnTheSamePort) {
  CUDPClient client(&log_);
  ASSERT_TRUE(client.Open(&user_, 0));
  const uint16_t port = client.GetPort();
  EXPECT_TRUE(client.Close());
  EXPECT_EQ(user_.closed_, 1);
  ASSERT_TRUE(client.Open(&user_, port));
  EXPECT_EQ(client.GetPort(), port);
  ASSERT_TRUE(camera_.SendTo(port, {42}));
  EXPECT_TRUE(WaitUntil([&] { return user_.Count() == 1; }));
}

TEST_F(UdpClientTest, CloseDrainsWhatIsQueuedWithoutDelivering) {
  CUDPClient client(&log_);
  // Every datagram below is lost however fast the thread reads (each loss grows the buffer by
  // only 1024 bytes), so whatever is still queued at Close must go without a delivery.
  client.SetReceiveSize(1);
  ASSERT_TRUE(client.Open(&user_, 0));
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(camera_.SendTo(client.GetPort(), Bytes(40000, 3)));
  EXPECT_TRUE(client.Close());
  EXPECT_EQ(user_.Count(), 0u);
  EXPECT_EQ(user_.closed_, 1);
}

TEST_F(UdpClientTest, SendToReachesThePeerFromTheBoundPort) {
  CUDPClient client(&log_);
  EXPECT_FALSE(client.SendTo(Bytes(4, 1).data(), 4, camera_.socket_address()));  // closed
  ASSERT_TRUE(client.Open(&user_, 0));
  const std::vector<uint8_t> report = {0x81, 201, 0, 7, 1, 2, 3, 4};
  EXPECT_TRUE(client.SendTo(report.data(), report.size(), camera_.socket_address()));
  sockaddr_in from{};
  const auto got = camera_.Receive(5000, &from);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, report);
  EXPECT_EQ(ntohs(from.sin_port), client.GetPort());
  client.Close();
  EXPECT_FALSE(client.SendTo(report.data(), report.size(), camera_.socket_address()));
}

TEST_F(UdpClientTest, DestructionClosesTheSocket) {
  uint16_t port = 0;
  {
    CUDPClient client(&log_);
    ASSERT_TRUE(client.Open(&user_, 0));
    port = client.GetPort();
  }
  EXPECT_EQ(user_.closed_, 1);
  CUDPClient again(&log_);
  EXPECT_TRUE(again.Open(&user_, port));
}

}  // namespace
}  // namespace korvane
