#include "rtp/smart_ptr.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace korvane {
namespace {

class Counted {
 public:
  explicit Counted(int* deletions) : deletions_(deletions) {}
  virtual ~Counted() { ++*deletions_; }

 private:
  int* deletions_;
};

class Derived : public Counted {
 public:
  Derived(int* deletions, int* derived_deletions)
      : Counted(deletions), derived_deletions_(derived_deletions) {}
  ~Derived() override { ++*derived_deletions_; }

 private:
  int* derived_deletions_;
};

TEST(SmartPtrTest, LastOwnerDeletesThroughTheVirtualDestructor) {
  int deletions = 0;
  int derived_deletions = 0;
  {
    TSmartPtr<Counted> a(new Derived(&deletions, &derived_deletions));
    {
      TSmartPtr<Counted> b = a;
      EXPECT_EQ(a.use_count(), 2);
      EXPECT_EQ(b.get(), a.get());
    }
    EXPECT_EQ(deletions, 0);
    EXPECT_EQ(a.use_count(), 1);
  }
  EXPECT_EQ(deletions, 1);
  EXPECT_EQ(derived_deletions, 1);
}

TEST(SmartPtrTest, TakingANewObjectReleasesTheOld) {
  int first = 0;
  int second = 0;
  TSmartPtr<Counted> p(new Counted(&first));
  TSmartPtr<Counted> keeper = p;
  p.Take(new Counted(&second));
  EXPECT_EQ(first, 0);  // keeper still holds it
  keeper.Release();
  EXPECT_EQ(first, 1);
  p.Take(nullptr);
  EXPECT_EQ(second, 1);
  EXPECT_FALSE(p);
  EXPECT_EQ(p.use_count(), 0);
}

TEST(SmartPtrTest, AssignmentAndMoveKeepOneDeletion) {
  int deletions = 0;
  TSmartPtr<Counted> a(new Counted(&deletions));
  TSmartPtr<Counted> b;
  b = a;
  a = b;  // same object: no change
  TSmartPtr<Counted> c(std::move(a));
  EXPECT_FALSE(a);
  EXPECT_EQ(c.use_count(), 2);
  b = TSmartPtr<Counted>();
  EXPECT_EQ(deletions, 0);
  c.Release();
  EXPECT_EQ(deletions, 1);
}

TEST(SmartPtrTest, CopiesOnSeveralThreadsDeleteOnce) {
  int deletions = 0;
  {
    TSmartPtr<Counted> shared(new Counted(&deletions));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([copy = shared]() mutable {
        for (int i = 0; i < 1000; ++i) {
          TSmartPtr<Counted> local = copy;
          local.Release();
        }
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(deletions, 0);
  }
  EXPECT_EQ(deletions, 1);
}

}  // namespace
}  // namespace korvane
