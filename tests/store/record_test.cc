// Records: building, copying and moving them, and failing to.
#include "store/record.h"

#include <gtest/gtest.h>

#include <string>

#include "store/memory.h"
#include "store/store_test_helper.h"

namespace kx {
namespace {

using Str = std::basic_string<tchar>;

Str T(const std::string& ascii) { return Str(ascii.begin(), ascii.end()); }

TEST(Record, ARecordWithoutTextOrADeletionCarriesNoBytes) {
  KXRECORD none = make_string_record(KX_T("n"), nullptr);
  EXPECT_EQ(none.value.text, nullptr);
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

TEST(Record, AFailedBuildLeavesNothingBehind) {
  // Either allocation of a string record failing gives an empty record
  // (ASan sees anything it leaked).
  for (int n = 1; n <= 2; ++n) {
    testing::fail_nth_allocation(n);
    KXRECORD r = make_string_record(kLongName.c_str(), KX_T("t"));
    testing::fail_nth_allocation(0);
    EXPECT_FALSE(r.complete());
  }
}

TEST(Record, NamesOnEitherSideOfTheInlineLimitSurviveAMove) {
  for (const Str& name : {kLongName.substr(1), kLongName}) {
    KXRECORD a = make_value_record(name.c_str(), 1);
    KXRECORD moved(std::move(a));
    EXPECT_EQ(Str(moved.name), name);
    // The pending file writes name_units units of the name.
    EXPECT_EQ(moved.name_units, name.size());
  }
}

}  // namespace
}  // namespace kx
