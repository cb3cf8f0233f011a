#pragma once

#include <atomic>
#include <utility>

namespace korvane {

// Shared ownership of one object through a separately allocated reference count; the last
// owner deletes the object through its virtual destructor. Copies may live on different threads
// (the count is atomic); one TSmartPtr object itself is not for concurrent use.
template <typename T>
class TSmartPtr {
 public:
  TSmartPtr() = default;
  // Takes ownership of `object` (may be null).
  explicit TSmartPtr(T* object) { Take(object); }
  TSmartPtr(const TSmartPtr& other) : object_(other.object_), count_(other.count_) {
    if (count_ != nullptr) count_->fetch_add(1, std::memory_order_relaxed);
  }
  TSmartPtr(TSmartPtr&& other) noexcept
      : object_(std::exchange(other.object_, nullptr)), count_(std::exchange(other.count_, nullptr)) {}
  TSmartPtr& operator=(TSmartPtr other) noexcept {
    std::swap(object_, other.object_);
    std::swap(count_, other.count_);
    return *this;
  }
  virtual ~TSmartPtr() { Release(); }

  // Releases the object held so far and takes ownership of `object` (may be null).
  void Take(T* object) {
    Release();
    if (object == nullptr) return;
    count_ = new std::atomic<long>(1);
    object_ = object;
  }

  // Drops this owner's share; the last one deletes the object and the count.
  void Release() {
    T* object = std::exchange(object_, nullptr);
    std::atomic<long>* count = std::exchange(count_, nullptr);
    if (count == nullptr) return;
    if (count->fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete object;
      delete count;
    }
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }
  long use_count() const { return count_ != nullptr ? count_->load(std::memory_order_relaxed) : 0; }

 private:
  T* object_ = nullptr;
  std::atomic<long>* count_ = nullptr;
};

}  // namespace korvane
