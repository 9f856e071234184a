// The pending queue and its index of the newest record of each type and name.
#include "store/pending_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>

#include "store/memory.h"
#include "store/record.h"
#include "store/store_test_helper.h"

namespace kx {
namespace {

using Str = std::basic_string<tchar>;

Str T(const std::string& ascii) { return Str(ascii.begin(), ascii.end()); }

// Random pushes and pops against the plain scan the index replaces. Few
// names, so each has many records pending at once, types interleaved; runs
// of pushes long enough for the index to grow while records wait.
void check_against_scan(PendingQueue& queue, int steps, uint32_t seed) {
  std::deque<std::pair<int32_t, Str>> model;
  const Str names[] = {T("a"), T("b"), T("A"), T("ab"), T(""),  T("long name"), T("b "),
                       T("c"), T("d"), T("e"), T("f"),  T("g"), T("h"),         T("i")};
  constexpr uint32_t kNames = sizeof names / sizeof names[0];
  auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
  for (int step = 0; step < steps; ++step) {
    // Phases of mostly pushing, then mostly popping.
    bool filling = (step / 500) % 2 == 0;
    if (model.empty() || next() % 4 != (filling ? 0u : 1u)) {
      int32_t type = static_cast<int32_t>(next() % 4);
      const Str* name_ptr = &names[next() % kNames];
      if (next() % 4 == 0 && !model.empty()) {
        // The newest record's type and name again: the push's shortcut.
        type = model.back().first;
        name_ptr = &*std::find(std::begin(names), std::end(names), model.back().second);
      }
      const Str& name = *name_ptr;
      KXRECORD r = make_record(name.c_str(), type);
      if (type != TYPE_STRING) r.value.integer = step;
      ASSERT_TRUE(queue.push(std::move(r)));
      model.emplace_back(type, name);
    } else {
      queue.pop_front();
      model.pop_front();
    }
    ASSERT_EQ(queue.size(), model.size());
    if (!model.empty()) {
      ASSERT_EQ(queue.front().type, model.front().first);
      ASSERT_EQ(Str(queue.front().name), model.front().second);
    }
    for (int probe = 0; probe < 2; ++probe) {
      int32_t type = static_cast<int32_t>(next() % 4);
      const Str& name = names[next() % kNames];
      const KXRECORD* found = queue.find_newest(type, name.c_str());
      auto it = std::find(model.rbegin(), model.rend(), std::make_pair(type, name));
      ASSERT_EQ(found != nullptr, it != model.rend()) << "step " << step;
      if (found) {
        EXPECT_EQ(found->type, type);
        EXPECT_EQ(Str(found->name), name);
      }
    }
  }
}

TEST(PendingQueue, TheIndexAnswersAsANewestFirstScanWould) {
  PendingQueue queue;
  check_against_scan(queue, 20000, 12345);
}

TEST(PendingQueue, SequenceNumbersRoundTheirRange) {
  // The first records take the last numbers; the steps go well past the end.
  PendingQueue queue(PendingQueue::kLastSeq - 300);
  check_against_scan(queue, 5000, 777);
  PendingQueue at_end(PendingQueue::kLastSeq);
  check_against_scan(at_end, 3000, 4242);
}

TEST(PendingQueue, FindsTheNewestOfManyRecordsOfOneName) {
  PendingQueue queue(PendingQueue::kLastSeq - 500);
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(queue.push(make_value_record(KX_T("n"), i)));
  for (int i = 0; i < 999; ++i) {
    EXPECT_EQ(queue.find_newest(TYPE_VALUE, KX_T("n"))->value.integer, 999);
    EXPECT_EQ(queue.front().value.integer, i);
    queue.pop_front();
  }
  EXPECT_EQ(queue.find_newest(TYPE_VALUE, KX_T("n"))->value.integer, 999);
  queue.pop_front();
  EXPECT_EQ(queue.find_newest(TYPE_VALUE, KX_T("n")), nullptr);
}

TEST(PendingQueue, ManyDistinctNamesStayFoundAsTheIndexGrowsAndEmpties) {
  PendingQueue queue;
  constexpr int kRecords = 5000;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < kRecords; ++i) {
      ASSERT_TRUE(queue.push(make_value_record(T("v" + std::to_string(i)).c_str(), i)));
    }
    for (int i = 0; i < kRecords; i += 97) {
      const KXRECORD* r = queue.find_newest(TYPE_VALUE, T("v" + std::to_string(i)).c_str());
      ASSERT_NE(r, nullptr);
      EXPECT_EQ(r->value.integer, i);
    }
    for (int i = 0; i < kRecords; ++i) {
      ASSERT_EQ(queue.front().value.integer, i);
      queue.pop_front();
      if (i + 1 < kRecords) {
        const KXRECORD* r = queue.find_newest(TYPE_VALUE, T("v" + std::to_string(i + 1)).c_str());
        ASSERT_NE(r, nullptr);
      }
      ASSERT_EQ(queue.find_newest(TYPE_VALUE, T("v" + std::to_string(i)).c_str()), nullptr);
    }
    EXPECT_TRUE(queue.empty());
  }
  // After clear, numbering goes on and nothing stale is found.
  ASSERT_TRUE(queue.push(make_value_record(KX_T("x"), 1)));
  queue.clear();
  EXPECT_EQ(queue.find_newest(TYPE_VALUE, KX_T("x")), nullptr);
  ASSERT_TRUE(queue.push(make_value_record(KX_T("y"), 2)));
  EXPECT_EQ(queue.find_newest(TYPE_VALUE, KX_T("y"))->value.integer, 2);
  EXPECT_EQ(queue.find_newest(TYPE_VALUE, KX_T("x")), nullptr);
}

TEST(PendingQueue, APushThatCannotAllocateChangesNothing) {
  // Enough distinct names that the index and the record blocks must grow.
  PendingQueue queue;
  int failed = 0;
  for (int i = 0; i < 300; ++i) {
    Str name = T("n" + std::to_string(i));
    KXRECORD r = make_string_record(name.c_str(), KX_T("text"));
    std::size_t before = queue.size();
    testing::fail_nth_allocation(1);
    bool pushed = queue.push(std::move(r));
    testing::fail_nth_allocation(0);
    if (!pushed) {
      ++failed;
      EXPECT_EQ(queue.size(), before);
      EXPECT_TRUE(r.complete());  // still the caller's to free
      EXPECT_EQ(queue.find_newest(TYPE_STRING, name.c_str()), nullptr);
      ASSERT_TRUE(queue.push(std::move(r)));
    }
    EXPECT_FALSE(r.complete());
    EXPECT_EQ(Str(queue.find_newest(TYPE_STRING, name.c_str())->value.text), T("text"));
  }
  EXPECT_GT(failed, 5);  // both the index and the deque had to grow
  for (int i = 0; i < 300; ++i) {
    EXPECT_EQ(Str(queue.front().name), T("n" + std::to_string(i)));
    queue.pop_front();
  }
}

}  // namespace
}  // namespace kx
