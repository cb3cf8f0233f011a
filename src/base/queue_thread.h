#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

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
    queue_.push_back(std::move(item));
    item_event_.Set();
    return true;
  }

  // Removes and deletes every queued item, oldest first.
  void ClearQueue() {
    std::deque<std::unique_ptr<T>> dropped;
    {
      CAutoLock guard(queue_lock_);
      dropped.swap(queue_);
    }
    // Deleted outside the lock: an item's destructor may do anything.
    while (!dropped.empty()) {
      dropped.pop_front();
    }
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
    std::deque<std::unique_ptr<T>> dropped;
    {
      CAutoLock guard(queue_lock_);
      while (max_items > 0 && queue_.size() >= max_items) {
        auto victim = queue_.begin();
        for (auto it = queue_.begin(); it != queue_.end(); ++it) {
          if (droppable(**it)) {
            victim = it;
            break;
          }
        }
        dropped.push_back(std::move(*victim));
        queue_.erase(victim);
      }
      queue_.push_back(std::move(item));
      item_event_.Set();
    }
    return true;
  }

  // The oldest item, or null when the queue is empty.
  std::unique_ptr<T> GetNextWorkItem() {
    CAutoLock guard(queue_lock_);
    if (queue_.empty()) {
      return nullptr;
    }
    std::unique_ptr<T> item = std::move(queue_.front());
    queue_.pop_front();
    return item;
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
          break;  // this item is deleted here; the rest stay for StopQueue()
        }
        try {
          HandleWorkItem(item.get());
        } catch (...) {
          // A failing item must not end the queue; the next one is independent of it.
        }
      }
    }
  }

 private:
  CEvent item_event_;
  CLock queue_lock_;
  std::deque<std::unique_ptr<T>> queue_ GUARDED_BY(queue_lock_);
};

}  // namespace korvane
