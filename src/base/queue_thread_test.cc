#include "base/queue_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/testing/recording_debug_message.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

template <typename Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = 5000ms) {
  const auto deadline = Clock::now() + limit;
  while (!pred()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Counts how often each item is destroyed, to prove every item is deleted exactly once.
struct Ledger {
  std::mutex mutex;
  std::vector<int> handled;
  std::vector<int> deleted;
  std::vector<int> Handled() {
    std::lock_guard<std::mutex> guard(mutex);
    return handled;
  }
  std::vector<int> Deleted() {
    std::lock_guard<std::mutex> guard(mutex);
    return deleted;
  }
};

class Item {
 public:
  Item(Ledger& ledger, int id, bool throws = false) : ledger_(ledger), id_(id), throws_(throws) {}
  virtual ~Item() {
    std::lock_guard<std::mutex> guard(ledger_.mutex);
    ledger_.deleted.push_back(id_);
  }
  int id() const { return id_; }
  bool throws() const { return throws_; }
  Ledger& ledger() { return ledger_; }

 private:
  Ledger& ledger_;
  const int id_;
  const bool throws_;
};

class TestQueue : public CQueueThread<Item> {
 public:
  explicit TestQueue(IDebugMessage* logger = nullptr) : CQueueThread(logger) {}
  ~TestQueue() override { StopQueue(); }

  // While closed, HandleWorkItem blocks on the first item it gets (bounded).
  std::atomic<bool> gate_open{true};
  std::atomic<int> blocked_in_handler{0};

 protected:
  void HandleWorkItem(Item* item) override {
    if (!gate_open) {
      ++blocked_in_handler;
      const auto deadline = Clock::now() + 10s;
      while (!gate_open && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    }
    {
      std::lock_guard<std::mutex> guard(item->ledger().mutex);
      item->ledger().handled.push_back(item->id());
    }
    if (item->throws()) throw std::runtime_error("item failed");
  }
};

TEST(QueueThreadTest, HandlesItemsInOrderAndDeletesEach) {
  Ledger ledger;
  TestQueue queue;
  ASSERT_TRUE(queue.StartQueue("queue"));
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(queue.AddWorkItem(new Item(ledger, i)));
  ASSERT_TRUE(Eventually([&] { return ledger.Deleted().size() == 20; }));
  std::vector<int> expected;
  for (int i = 0; i < 20; ++i) expected.push_back(i);
  EXPECT_EQ(ledger.Handled(), expected);
  EXPECT_EQ(ledger.Deleted(), expected);
  EXPECT_TRUE(queue.StopQueue());
}

// Items queued while the thread is busy are drained on one wake-up, in order; an exception while
// handling one of them does not stop the next.
TEST(QueueThreadTest, ExceptionFromOneItemDoesNotStopTheNext) {
  Ledger ledger;
  TestQueue queue;
  queue.gate_open = false;
  ASSERT_TRUE(queue.StartQueue("queue"));
  ASSERT_TRUE(queue.AddWorkItem(new Item(ledger, 0)));
  ASSERT_TRUE(Eventually([&] { return queue.blocked_in_handler.load() == 1; }));
  ASSERT_TRUE(queue.AddWorkItem(new Item(ledger, 1)));
  ASSERT_TRUE(queue.AddWorkItem(new Item(ledger, 2, /*throws=*/true)));
  ASSERT_TRUE(queue.AddWorkItem(new Item(ledger, 3)));
  queue.gate_open = true;
  ASSERT_TRUE(Eventually([&] { return ledger.Deleted().size() == 4; }));
  EXPECT_EQ(ledger.Handled(), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(ledger.Deleted(), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_TRUE(queue.IsRunning());
  // The queue still serves new work afterwards.
  ASSERT_TRUE(queue.AddWorkItem(new Item(ledger, 4)));
  ASSERT_TRUE(Eventually([&] { return ledger.Deleted().size() == 5; }));
}

// WaitForEarlierItems returns once the items queued before it are handled, not before; it is
// bounded by its time-out and gives up at once without a thread.
TEST(QueueThreadTest, WaitForEarlierItemsFollowsTheQueue) {
  Ledger ledger;
  TestQueue queue;
  EXPECT_TRUE(queue.WaitForEarlierItems(1000));  // nothing queued
  ASSERT_TRUE(queue.AddWorkItem(new Item(ledger, 0)));
  auto start = Clock::now();
  EXPECT_FALSE(queue.WaitForEarlierItems(1000));  // no thread to work it off
  EXPECT_LT(Clock::now() - start, 200ms);
  queue.gate_open = false;
  ASSERT_TRUE(queue.StartQueue("queue"));
  ASSERT_TRUE(queue.AddWorkItem(new Item(ledger, 1)));
  ASSERT_TRUE(Eventually([&] { return queue.blocked_in_handler.load() == 1; }));
  start = Clock::now();
  EXPECT_FALSE(queue.WaitForEarlierItems(300));  // item 0 is in hand, 1 still queued
  EXPECT_GE(Clock::now() - start, 290ms);
  std::thread opener([&] {
    std::this_thread::sleep_for(100ms);
    queue.gate_open = true;
  });
  EXPECT_TRUE(queue.WaitForEarlierItems(5000));
  EXPECT_EQ(ledger.Handled(), (std::vector<int>{0, 1}));
  opener.join();
}

TEST(QueueThreadTest, AddAfterStopDeletesTheItemAndFails) {
  Ledger ledger;
  TestQueue queue;
  ASSERT_TRUE(queue.StartQueue("queue"));
  ASSERT_TRUE(queue.StopQueue());
  EXPECT_FALSE(queue.AddWorkItem(new Item(ledger, 7)));
  EXPECT_EQ(ledger.Deleted(), (std::vector<int>{7}));
  EXPECT_TRUE(ledger.Handled().empty());
  EXPECT_EQ(queue.QueueSize(), 0u);
}

TEST(QueueThreadTest, StopDeletesQueuedItemsWithoutHandlingThem) {
  Ledger ledger;
  TestQueue queue;
  queue.gate_open = false;
  ASSERT_TRUE(queue.StartQueue("queue"));
  ASSERT_TRUE(queue.AddWorkItem(new Item(ledger, 0)));
  ASSERT_TRUE(Eventually([&] { return queue.blocked_in_handler.load() == 1; }));
  ASSERT_TRUE(queue.AddWorkItem(new Item(ledger, 1)));
  ASSERT_TRUE(queue.AddWorkItem(new Item(ledger, 2)));
  std::thread opener([&] {
    std::this_thread::sleep_for(100ms);
    queue.gate_open = true;
  });
  EXPECT_TRUE(queue.StopQueue());
  opener.join();
  EXPECT_EQ(ledger.Handled(), (std::vector<int>{0}));
  EXPECT_EQ(ledger.Deleted(), (std::vector<int>{1, 2, 0}));
}

TEST(QueueThreadTest, ItemsAddedBeforeStartAreHandledAfterStart) {
  Ledger ledger;
  TestQueue queue;
  ASSERT_TRUE(queue.AddWorkItem(new Item(ledger, 0)));
  ASSERT_TRUE(queue.AddWorkItem(new Item(ledger, 1)));
  ASSERT_TRUE(queue.StartQueue("queue"));
  // Well inside one idle pass of the queue: they must not wait for a third item.
  ASSERT_TRUE(Eventually([&] { return ledger.Handled().size() == 2; }, 800ms));
  EXPECT_EQ(ledger.Handled(), (std::vector<int>{0, 1}));
}

TEST(QueueThreadTest, DestructionDeletesLeftoverItems) {
  Ledger ledger;
  {
    TestQueue queue;
    ASSERT_TRUE(queue.AddWorkItem(new Item(ledger, 0)));
    ASSERT_TRUE(queue.AddWorkItem(std::make_unique<Item>(ledger, 1)));
  }
  EXPECT_EQ(ledger.Deleted(), (std::vector<int>{0, 1}));
  EXPECT_TRUE(ledger.Handled().empty());
}

TEST(QueueThreadTest, IdleQueueStopsWithoutWaitingForItsIdlePass) {
  TestQueue queue;
  ASSERT_TRUE(queue.StartQueue("queue"));
  std::this_thread::sleep_for(20ms);
  const auto start = Clock::now();
  EXPECT_TRUE(queue.StopQueue());
  EXPECT_LT(Clock::now() - start, 900ms);
}

TEST(QueueThreadTest, RestartAfterStopServesItemsAgain) {
  Ledger ledger;
  TestQueue queue;
  ASSERT_TRUE(queue.StartQueue("queue"));
  ASSERT_TRUE(queue.StopQueue());
  ASSERT_TRUE(queue.StartQueue("queue again"));
  ASSERT_TRUE(queue.AddWorkItem(new Item(ledger, 5)));
  ASSERT_TRUE(Eventually([&] { return ledger.Handled().size() == 1; }));
}

TEST(QueueThreadTest, ManyProducersLoseNothing) {
  Ledger ledger;
  TestQueue queue;
  ASSERT_TRUE(queue.StartQueue("queue"));
  constexpr int kProducers = 3;
  constexpr int kPerProducer = 200;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) queue.AddWorkItem(new Item(ledger, p * 1000 + i));
    });
  }
  for (auto& t : producers) t.join();
  ASSERT_TRUE(Eventually([&] { return ledger.Deleted().size() == kProducers * kPerProducer; }));
  // Each producer's items keep their relative order.
  std::vector<int> last(kProducers, -1);
  for (int id : ledger.Handled()) {
    const int p = id / 1000;
    EXPECT_GT(id % 1000, last[p]);
    last[p] = id % 1000;
  }
  EXPECT_EQ(ledger.Handled().size(), static_cast<size_t>(kProducers * kPerProducer));
}

}  // namespace
}  // namespace korvane
