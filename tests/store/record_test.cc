// Records: building, copying and moving them, and failing to.
#include "store/record.h"

#include <gtest/gtest.h>

#include <string>

#include "store/memory.h"

namespace kx {
namespace {

using Str = std::basic_string<tchar>;

Str T(const std::string& ascii) { return Str(ascii.begin(), ascii.end()); }

TEST(Record, AssignedStringRecordsAreIndependentCopies) {
  KXRECORD b = make_value_record(KX_T("other"), 5);
  {
    KXRECORD a = make_string_record(KX_T("name"), KX_T("text"));
    ASSERT_TRUE(a.complete() && b.complete());
    ASSERT_TRUE(b.assign(a));
    EXPECT_EQ(b.type, TYPE_STRING);
    EXPECT_NE(b.value.text, a.value.text);
    EXPECT_NE(b.name, a.name);
  }
  EXPECT_EQ(Str(b.value.text), T("text"));
  EXPECT_EQ(Str(b.name), T("name"));

  KXRECORD none = make_string_record(KX_T("n"), nullptr);
  ASSERT_TRUE(b.assign(none));
  EXPECT_EQ(b.value.text, nullptr);
  KXRECORD del = make_record(KX_T("d"), TYPE_DELETE);
  for (unsigned char byte : del.value.bytes) EXPECT_EQ(byte, 0);
}

TEST(Record, AMovedRecordTakesItsStringsAndLeavesAnEmptyOne) {
  KXRECORD a = make_string_record(KX_T("name"), KX_T("text"));
  const tchar* text = a.value.text;
  KXRECORD b(std::move(a));
  EXPECT_FALSE(a.complete());
  EXPECT_EQ(a.value.text, nullptr);  // destroying a frees nothing twice
  EXPECT_EQ(b.value.text, text);
  EXPECT_EQ(Str(b.name), T("name"));
}

// A name this long is allocated; shorter ones live in the record.
const Str kLongName = T(std::string(KXRECORD::kInlineUnits, 'n'));

TEST(Record, AFailedAssignmentOrBuildLeavesNothingBehind) {
  KXRECORD source = make_string_record(kLongName.c_str(), KX_T("long text"));
  KXRECORD target = make_double_record(KX_T("target"), 2.5);
  for (int n = 1; n <= 2; ++n) {
    testing::fail_nth_allocation(n);
    EXPECT_FALSE(target.assign(source));
    testing::fail_nth_allocation(0);
    EXPECT_EQ(target.type, TYPE_DOUBLE);
    EXPECT_EQ(target.value.number, 2.5);
    EXPECT_EQ(Str(target.name), T("target"));
  }
  // Either allocation of a string record failing gives an empty record
  // (ASan sees anything it leaked).
  for (int n = 1; n <= 2; ++n) {
    testing::fail_nth_allocation(n);
    KXRECORD r = make_string_record(kLongName.c_str(), KX_T("t"));
    testing::fail_nth_allocation(0);
    EXPECT_FALSE(r.complete());
  }
}

TEST(Record, NamesOnEitherSideOfTheInlineLimitSurviveMovesAndAssignment) {
  for (const Str& name : {kLongName.substr(1), kLongName}) {
    KXRECORD a = make_value_record(name.c_str(), 1);
    KXRECORD moved(std::move(a));
    KXRECORD copy = make_value_record(kLongName.c_str(), 2);
    ASSERT_TRUE(copy.assign(moved));
    ASSERT_TRUE(moved.assign(moved));
    EXPECT_EQ(Str(moved.name), name);
    EXPECT_EQ(Str(copy.name), name);
    EXPECT_NE(copy.name, moved.name);
    // The pending file writes name_units units of the name.
    EXPECT_EQ(moved.name_units, name.size());
    EXPECT_EQ(copy.name_units, name.size());
  }
}

}  // namespace
}  // namespace kx
