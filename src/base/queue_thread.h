#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "base/base_thread.h"
#include "base/event.h"
#include "base/lock.h"

namespace korvane {

// A thread that handles queued work items of type T one at a time, in order of arrival.
//
// AddWorkItem() may be called from any thread; the queue lock is held only to append or remove,
// never while HandleWorkItem() runs. The queue owns its items: each is deleted exactly once,
// after it was handled or when it is dropped. The queue has no bound; users that need one cap it
// themselves. Derived classes call StopQueue() (or JoinThread()) in their destructor, before
// HandleWorkItem() loses what it uses.
template <typename T>
class CQueueThread : public CBaseThread {
 public:
  static constexpr uint32_t kStopJoinMs = 5000;
  static constexpr uint32_t kIdleWaitMs = 1000;
  // Longest single wait of WaitForEarlierItems between two looks at the queue.
  static constexpr uint32_t kDoneRecheckMs = 50;

  explicit CQueueThread(IDebugMessage* logger) : CBaseThread(logger) {}

  // Waits for the thread (logging if it takes longer than kStopJoinMs), then deletes the items
  // still queued.
  ~CQueueThread() override {
    CQueueThread::JoinThread(kStopJoinMs);
    ClearQueue();
  }

  // Resets the item event (re-arming it when items are already queued) and starts the thread.
  virtual bool StartQueue(const std::string& name) {
    item_event_.Reset();
    // Items added while no thread ran must not wait for the next AddWorkItem().
    if (QueueSize() > 0) {
      item_event_.Set();
    }
    return StartThread(name);
  }

  // Sets the stop event, deletes the queued items unhandled, and joins the thread.
  virtual bool StopQueue() {
    SignalStop();
    ClearQueue();
    return JoinThread(kStopJoinMs);
  }

  // Takes ownership of `item` in every case. False (the item deleted) once the stop event is set.
  bool AddWorkItem(T* item) { return AddWorkItem(std::unique_ptr<T>(item)); }

  bool AddWorkItem(std::unique_ptr<T> item) {
    if (IsStopRequested()) {
      return false;
    }
    CAutoLock guard(queue_lock_);
    queue_.push_back({next_number_++, std::move(item)});
    item_event_.Set();
    return true;
  }

  // Waits until every item queued before this call has been handled or dropped, at most
  // `timeout_ms`; true when they have. False on time-out, on a stop, and at once when no thread
  // runs to work them off. Callers that must not overtake queued work (a preset stored right
  // after a stop) call it first; it may be called on several threads at a time.
  bool WaitForEarlierItems(uint32_t timeout_ms) {
    uint64_t ticket;
    {
      CAutoLock guard(queue_lock_);
      ticket = next_number_;
      if (EarlierItemsDoneLocked(ticket)) {
        return true;
      }
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    CEvent* events[] = {&StopEvent(), &item_done_event_};
    for (;;) {
      if (!IsRunning() || IsStopRequested()) {
        return false;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        return false;
      }
      // The done event is auto-reset and one waiter may take another's wake-up: short waits
      // keep a second waiter's delay small.
      WaitForEvents(2, events,
                    static_cast<uint32_t>(std::min<int64_t>(left.count(), kDoneRecheckMs)));
      CAutoLock guard(queue_lock_);
      if (EarlierItemsDoneLocked(ticket)) {
        return true;
      }
    }
  }

  // Removes and deletes every queued item, oldest first.
  void ClearQueue() {
    std::deque<Numbered> dropped;
    {
      CAutoLock guard(queue_lock_);
      dropped.swap(queue_);
    }
    // Deleted outside the lock: an item's destructor may do anything.
    while (!dropped.empty()) {
      dropped.pop_front();
    }
    item_done_event_.Set();
  }

  size_t QueueSize() {
    CAutoLock guard(queue_lock_);
    return queue_.size();
  }

 protected:
  // Does the work of one item, on the queue thread. The item is deleted afterwards. An exception
  // that escapes is dropped and the queue goes on.
  virtual void HandleWorkItem(T* item) = 0;

  // AddWorkItem for a queue that holds at most `max_items`: while the queue is full, the oldest
  // item for which `droppable` is true is removed (the oldest of all when none is), so the newest
  // commands win a burst. The dropped items are deleted outside the queue lock.
  template <typename Droppable>
  bool AddWorkItemBounded(std::unique_ptr<T> item, size_t max_items, Droppable droppable) {
    if (IsStopRequested()) {
      return false;
    }
    std::deque<Numbered> dropped;
    {
      CAutoLock guard(queue_lock_);
      while (max_items > 0 && queue_.size() >= max_items) {
        auto victim = queue_.begin();
        for (auto it = queue_.begin(); it != queue_.end(); ++it) {
          if (droppable(*it->second)) {
            victim = it;
            break;
          }
        }
        dropped.push_back(std::move(*victim));
        queue_.erase(victim);
      }
      queue_.push_back({next_number_++, std::move(item)});
      item_event_.Set();
    }
    if (!dropped.empty()) {
      item_done_event_.Set();
    }
    return true;
  }

  // The oldest item, or null when the queue is empty. It counts as in hand until
  // FinishWorkItem().
  std::unique_ptr<T> GetNextWorkItem() {
    CAutoLock guard(queue_lock_);
    if (queue_.empty()) {
      return nullptr;
    }
    in_hand_ = queue_.front().first;
    std::unique_ptr<T> item = std::move(queue_.front().second);
    queue_.pop_front();
    return item;
  }

  void FinishWorkItem() {
    {
      CAutoLock guard(queue_lock_);
      in_hand_.reset();
    }
    item_done_event_.Set();
  }

  void Run() override {
    CEvent* events[] = {&StopEvent(), &item_event_};
    while (!IsStopRequested()) {
      if (WaitForEvents(2, events, kIdleWaitMs) != 1) {
        continue;
      }
      // The item event is auto-reset and the drain empties the queue, so several items added
      // before the thread wakes cost one wake-up.
      while (std::unique_ptr<T> item = GetNextWorkItem()) {
        if (IsStopRequested()) {
          FinishWorkItem();
          break;  // this item is deleted here; the rest stay for StopQueue()
        }
        try {
          HandleWorkItem(item.get());
        } catch (...) {
          // A failing item must not end the queue; the next one is independent of it.
        }
        item.reset();
        FinishWorkItem();
      }
    }
  }

 private:
  // Each item with its number in the order of arrival; the queue keeps that order.
  using Numbered = std::pair<uint64_t, std::unique_ptr<T>>;

  // True when no item numbered below `ticket` is queued or in hand.
  bool EarlierItemsDoneLocked(uint64_t ticket) const REQUIRES(queue_lock_) {
    return (queue_.empty() || queue_.front().first >= ticket) &&
           (!in_hand_ || *in_hand_ >= ticket);
  }

  CEvent item_event_;
  // Set after each item was handled and whenever items were dropped.
  CEvent item_done_event_;
  CLock queue_lock_;
  std::deque<Numbered> queue_ GUARDED_BY(queue_lock_);
  uint64_t next_number_ GUARDED_BY(queue_lock_) = 0;
  std::optional<uint64_t> in_hand_ GUARDED_BY(queue_lock_);  // the item HandleWorkItem works on
};

}  // namespace korvane
