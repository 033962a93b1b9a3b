// KTOutputEncoding: the set of characters an encoding can hold, which is
// built for the single-byte maps from the characters their 256 byte values
// decode to; every character's answer must be the round trip of that
// character alone.
#include "xslt/output/ktoutputencoding.h"

#include <gtest/gtest.h>

#include <memory>

#include "core/ktencoding.h"
#include "core/ktencodingtable.h"

namespace {

bool RoundTripsAlone(char16_t unit, int id) {
  int length = 1;
  std::unique_ptr<char[]> bytes = EncodeFromUtf16(&unit, &length, id, kByteOrderNone, false, false);
  if (!bytes || UnconvertibleCount != 0) return false;
  std::unique_ptr<char16_t[]> back = DecodeToUtf16(bytes.get(), &length, id, kByteOrderNone);
  return back && length == 1 && back[0] == unit;
}

TEST(KTOutputEncodingTest, SingleByteSetsAgreeWithTheRoundTripOfEachCharacter) {
  int checked = 0;
  for (const KTEncodingRow& row : EncodingTable) {
    if (row.id >= 90) continue;
    KTOutputEncoding encoding;
    encoding.Select(row.canonicalName);
    ASSERT_EQ(encoding.GetId(), row.id) << "encoding row " << row.id;
    ++checked;
    int held = 0;
    for (char32_t c = 1; c <= 0xFFFF; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) {
        EXPECT_FALSE(encoding.CanRepresent(c));
        continue;
      }
      const bool expected = RoundTripsAlone(static_cast<char16_t>(c), row.id);
      held += expected;
      ASSERT_EQ(encoding.CanRepresent(c), expected) << "encoding " << row.id << ", character " << unsigned(c);
    }
    // A map that held nothing would agree with a broken set as well.
    EXPECT_GT(held, 100) << "encoding " << row.id;
  }
  EXPECT_GT(checked, 0);
}

}  // namespace
