// Tests of the wide string: sharing of the empty block, growth, search,
// substrings, tokenizing, replacing, collapsing, trimming and formatting.
#include "core/ktstring.h"
#include "ktscaling_util.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <thread>

namespace {

std::u16string S(const KTString& s) { return std::u16string(s.View()); }

TEST(KTStringTest, EmptyStringsShareOneBlock) {
  KTString a;
  KTString b(static_cast<const char16_t*>(nullptr));
  KTString c(u"abc");
  c.SetCapacity(0);
  EXPECT_EQ(static_cast<const char16_t*>(a), static_cast<const char16_t*>(b));
  EXPECT_EQ(static_cast<const char16_t*>(a), static_cast<const char16_t*>(c));
  EXPECT_EQ(a.GetCapacity(), 0);
  EXPECT_EQ(a.GetLength(), 0);
  KTString copy(a);
  EXPECT_EQ(static_cast<const char16_t*>(copy), static_cast<const char16_t*>(a));
  // An empty text of its own is not the shared block.
  KTString own(u"");
  EXPECT_NE(static_cast<const char16_t*>(own), static_cast<const char16_t*>(a));
}

TEST(KTStringTest, WritesNeverReachTheSharedEmptyBlock) {
  KTString a;
  a[0] = u'x';  // the terminator slot of an empty string
  a.GetBuffer()[0] = u'y';
  KTString b;
  EXPECT_EQ(b.GetLength(), 0);
  EXPECT_EQ(S(b), u"");
  EXPECT_NE(static_cast<const char16_t*>(a), static_cast<const char16_t*>(b));
}

TEST(KTStringTest, CopiesAreDeep) {
  KTString a(u"hello");
  KTString b(a);
  b.GetBuffer()[0] = u'j';
  EXPECT_EQ(S(a), u"hello");
  EXPECT_EQ(S(b), u"jello");
  a = b;
  EXPECT_EQ(S(a), u"jello");
  a = a;
  EXPECT_EQ(S(a), u"jello");
}

TEST(KTStringTest, TextEndsAtFirstNulWrittenThroughBuffer) {
  KTString s(u"abcdef");
  EXPECT_EQ(s.GetLength(), 6);
  s.GetBuffer()[3] = 0;
  EXPECT_EQ(s.GetLength(), 3);
  s += u'x';
  EXPECT_EQ(S(s), u"abcx");
  s[1] = 0;
  EXPECT_EQ(s.GetLength(), 1);
}

// A write through the buffer whose length the writer records: the NUL goes
// there and the length needs no scan; a length past the capacity is refused.
TEST(KTStringTest, WrittenLengthEndsTheTextThere) {
  KTString s;
  s.ClearAndReserve(8);
  char16_t* buffer = s.GetBuffer();
  for (int i = 0; i < 8; ++i) buffer[i] = static_cast<char16_t>(u'a' + i);
  s.SetWrittenLength(5);
  EXPECT_EQ(s.GetLength(), 5);
  EXPECT_EQ(S(s), u"abcde");
  s += u'x';
  EXPECT_EQ(S(s), u"abcdex");
  EXPECT_THROW(s.SetWrittenLength(s.GetCapacity() + 1), KTExcept);
  KTString empty;
  empty.SetWrittenLength(0);  // never written: stays the shared empty text
  EXPECT_TRUE(empty.IsEmpty());
}

// Copied units that hold a NUL end the text there, however they arrive: the
// recorded length, search, equality and hashing all see the same text.
TEST(KTStringTest, TextEndsAtFirstNulOfCopiedUnits) {
  const char16_t withNul[] = {u'a', u'b', 0, u'c', u'd'};
  KTString assigned;
  assigned.Assign(withNul, 5);
  KTString viewed(std::u16string_view(withNul, 5));
  KTString appended;
  int length = 0;
  appended.AppendAtLength(withNul, length, 16, 5);
  EXPECT_EQ(length, 5);  // the caller's own length counts every unit
  KTString chars;
  int charsLength = 0;
  for (char16_t c : withNul) chars.AppendCharAtLength(c, charsLength, 16);
  KTString later;  // a NUL appended earlier still ends the text after more appends
  int laterLength = 0;
  later.AppendAtLength(withNul, laterLength, 16, 3);
  later.AppendAtLength(u"cd", laterLength, 16);

  KTString own(u"abXcd");  // part of its own buffer, past a NUL written into it
  own.GetBuffer()[2] = 0;
  own.Assign(own.c_str(), 5);

  const KTString ab(u"ab");
  for (const KTString* s : {&assigned, &viewed, &appended, &chars, &later, &own}) {
    EXPECT_EQ(s->GetLength(), 2);
    EXPECT_EQ(s->Find(u'c'), -1);
    EXPECT_TRUE(*s == ab);
    EXPECT_EQ(std::hash<KTString>()(*s), std::hash<KTString>()(ab));
    EXPECT_EQ(S(s->Mid(1)), u"b");
  }
}

TEST(KTStringTest, IndexChecksAgainstCapacity) {
  KTString s(u"abc");
  s.SetCapacity(8);
  EXPECT_EQ(s.GetCapacity(), 8);
  EXPECT_NO_THROW(s[8]);  // the terminator slot at the capacity is accepted
  EXPECT_THROW(s[9], KTExcept);
  try {
    s[9] = u'x';
    FAIL();
  } catch (KTExcept& e) {
    EXPECT_EQ(e.GetCode(), -1010);
  }
}

TEST(KTStringTest, SetCapacityCutsOrKeepsText) {
  KTString s(u"abcdef");
  s.SetCapacity(3);
  EXPECT_EQ(S(s), u"abc");
  EXPECT_EQ(s.GetCapacity(), 3);
  s.SetCapacity(8);
  EXPECT_EQ(S(s), u"abc");
  s.Reserve(0);
  EXPECT_EQ(S(s), u"");
  EXPECT_GE(s.GetCapacity(), 8);  // block kept
}

// A pooled block (short texts of document nodes) behaves as any block: its
// capacity reads as asked, the text survives copies, moves, growth, cuts and
// assignments, and a block given back is taken again for the next text of
// its size. Lengths cross the largest pooled block (123 characters).
TEST(KTStringTest, PooledBlocksBehaveAsOthersAndAreReused) {
  for (int n : {1, 2, 3, 4, 7, 8, 60, 122, 123, 124, 200}) {
    SCOPED_TRACE(n);
    std::u16string text;
    for (int i = 0; i < n; ++i) text += static_cast<char16_t>(u'a' + i % 26);
    KTString s(u"old");
    s.SetCapacityPooled(n);
    EXPECT_EQ(S(s), std::u16string(u"old").substr(0, n));
    EXPECT_EQ(s.GetCapacity(), n);
    char16_t* buffer = s.GetBuffer();
    std::copy(text.begin(), text.end(), buffer);
    buffer[n] = 0;
    EXPECT_EQ(S(s), text);
    EXPECT_EQ(s.GetCapacity(), n);
    KTString copy(s);
    EXPECT_EQ(S(copy), text);
    KTString moved(std::move(copy));
    EXPECT_EQ(S(moved), text);
    moved += u"+";  // grows out of the pooled block
    EXPECT_EQ(S(moved), text + u"+");
    s.SetCapacity(n / 2);  // cuts, into a block of its own
    EXPECT_EQ(S(s), text.substr(0, n / 2));
    KTString assigned;
    assigned.SetCapacityPooled(n);
    assigned = moved;
    EXPECT_EQ(S(assigned), text + u"+");
    // Given back and taken again.
    KTString first;
    first.SetCapacityPooled(n);
    const char16_t* block = first.c_str();
    first = KTString();
    KTString second;
    second.SetCapacityPooled(n);
#if !defined(__SANITIZE_ADDRESS__)  // an address sanitizer build pools nothing
    if (n <= 123) {
      EXPECT_EQ(second.c_str(), block);
    }
#endif
    EXPECT_EQ(second.GetCapacity(), n);
    EXPECT_EQ(S(second), u"");
  }
}

// Texts made by the ordinary calls (construction, assignment, appending,
// reserving) take short blocks from the same pool: each length around the
// largest pooled block (123 characters) keeps its text as it grows out of a
// pooled block, is cut back into one, and is handed between strings; a block
// freed on another thread joins that thread's lists without harm to either.
TEST(KTStringTest, OrdinaryShortTextsLiveInPooledBlocks) {
  for (int n : {0, 1, 2, 5, 61, 122, 123, 124, 125, 250}) {
    SCOPED_TRACE(n);
    std::u16string text;
    for (int i = 0; i < n; ++i) text += static_cast<char16_t>(u'A' + i % 26);
    KTString made(std::u16string_view{text});
    EXPECT_EQ(S(made), text);
    KTString grown;
    for (char16_t c : text) grown += c;
    EXPECT_EQ(S(grown), text);
    grown += KTString(std::u16string_view{text});  // may cross out of the pool
    EXPECT_EQ(S(grown), text + text);
    KTString cut = grown.Left(n);
    EXPECT_EQ(S(cut), text);
    KTString reserved;
    reserved.ClearAndReserve(n);
    reserved = cut;
    EXPECT_EQ(S(reserved), text);
    KTString given;
    std::thread other([&given, &made] {
      KTString local(made);  // taken from the other thread's pool
      given = local;
      KTString spare(u"spare");
      made = KTString();  // freed on the other thread
    });
    other.join();
    EXPECT_EQ(S(given), text);
    EXPECT_EQ(S(made), u"");
    for (int i = 0; i < 3; ++i) {
      KTString again(std::u16string_view{text});
      EXPECT_EQ(S(again), text);
    }
    given = KTString();  // made on the other thread, freed here
    KTString last(std::u16string_view{text});
    EXPECT_EQ(S(last), text);
  }
}

TEST(KTStringTest, AppendingManySingleCharactersIsLinearAndCorrect) {
  KTString s;
  std::u16string expected;
  for (int i = 0; i < 200000; ++i) {
    char16_t c = static_cast<char16_t>(u'a' + i % 26);
    s += c;
    expected.push_back(c);
  }
  EXPECT_EQ(S(s), expected);
  KTString t;
  int len = 0;
  for (int i = 0; i < 1000; ++i) t.AppendAtLength(u"xy", len, 16, -1);
  t.AppendCharAtLength(u'z', len, 16);
  EXPECT_EQ(len, 2001);
  EXPECT_EQ(t.GetLength(), 2001);
  EXPECT_EQ(t[2000], u'z');
}

TEST(KTStringTest, AppendingOwnText) {
  KTString s(u"ab");
  s += s;
  EXPECT_EQ(S(s), u"abab");
  s += static_cast<const char16_t*>(s);
  EXPECT_EQ(S(s), u"abababab");
  s.Insert(s, 2);
  EXPECT_EQ(S(s), u"ab" u"abababab" u"ababab");
}

TEST(KTStringTest, Concatenation) {
  KTString a(u"ab");
  EXPECT_EQ(S(a + KTString(u"cd")), u"abcd");
  EXPECT_EQ(S(u'x' + a), u"xab");
  EXPECT_EQ(S(a + u"z"), u"abz");
  EXPECT_EQ(S(static_cast<const char16_t*>(nullptr) + a), u"ab");
}

TEST(KTStringTest, OrderIsPlainCodeUnitOrder) {
  EXPECT_TRUE(KTString(u"Z") < KTString(u"a"));
  EXPECT_TRUE(KTString(u"ab") < KTString(u"abc"));
  EXPECT_FALSE(KTString(u"abc") < KTString(u"abc"));
  // Code units above U+7FFF order after ASCII (unsigned comparison).
  EXPECT_TRUE(KTString(u"z") < KTString(u"\u00e9"));
  EXPECT_TRUE(KTString(u"\u7fff") < KTString(u"\uffff"));
  std::map<KTString, int> m{{KTString(u"b"), 2}, {KTString(u"B"), 1}, {KTString(u"a"), 3}};
  EXPECT_EQ(S(m.begin()->first), u"B");
  EXPECT_TRUE(KTString(u"abc") == u"abc");
  EXPECT_TRUE(KTString(u"abc") != KTString(u"abd"));
}

TEST(KTStringTest, Search) {
  KTString s(u"abcdefabc");
  struct Case {
    const char16_t* what;
    int start;
    int expected;
  } cases[] = {{u"abc", 0, 0}, {u"abc", 1, 6}, {u"abc", 7, -1}, {u"", 2, 2},
               {u"x", 0, -1},  {u"c", 9, -1},  {u"fab", 0, 5}};
  for (const auto& c : cases) EXPECT_EQ(s.Find(c.what, c.start), c.expected) << c.start;
  EXPECT_EQ(s.Find(u'c', 3), 8);
  EXPECT_EQ(s.FindOneOf(u"fe", 0), 4);
  EXPECT_EQ(KTString().FindOneOf(u"a", 0), -1);
  EXPECT_EQ(KTString().Find(u"", 0), -1);
  EXPECT_EQ(s.ReverseFind(u'a'), 6);
  EXPECT_EQ(s.ReverseFind(u'q'), -1);
  EXPECT_EQ(KTString().ReverseFind(u'a'), -1);
}

// Long patterns over a two-letter alphabet, where partial matches abound:
// every search agrees with a plain one, and Replace finds the same matches.
TEST(KTStringTest, SearchAgreesWithPlainSearchOnRepetitiveText) {
  std::mt19937 random(2024);
  for (int round = 0; round < 400; ++round) {
    std::u16string text, pattern;
    for (int i = 0, n = 20 + static_cast<int>(random() % 200); i < n; ++i) text += (random() % 4) ? u'a' : u'b';
    for (int i = 0, n = 1 + static_cast<int>(random() % 40); i < n; ++i) pattern += (random() % 4) ? u'a' : u'b';
    if (random() % 3 == 0) text.insert(random() % text.size(), pattern);
    const KTString s{std::u16string_view(text)};
    const int start = static_cast<int>(random() % text.size());
    const size_t expected = text.find(pattern, start);
    EXPECT_EQ(s.Find(pattern.c_str(), start), expected == std::u16string::npos ? -1 : static_cast<int>(expected))
        << "pattern of " << pattern.size();

    std::u16string replaced;
    size_t pos = 0;
    for (size_t at = text.find(pattern); at != std::u16string::npos; at = text.find(pattern, pos)) {
      replaced.append(text, pos, at - pos).append(u"#");
      pos = at + pattern.size();
    }
    replaced.append(text, pos);
    KTString r{std::u16string_view(text)};
    r.Replace(pattern.c_str(), u"#");
    EXPECT_EQ(S(r), replaced) << "pattern of " << pattern.size();
  }
}

// A long pattern that almost matches everywhere: the comparisons of a search
// must stay linear in the text (a position-by-position comparison makes
// text length times pattern length of them, 64 times as many for eight
// times the text).
TEST(KTStringTest, SearchForALongAlmostMatchingPatternIsLinear) {
  EXPECT_TRUE(GrowsLinearly(
      [](int scale) {
        const std::u16string text(50000 * scale, u'a');
        const std::u16string pattern = std::u16string(25000 * scale, u'a') + u'b';
        const KTString s{std::u16string_view(text)};
        EXPECT_EQ(s.Find(pattern.c_str(), 0), -1);
        KTString r(s);
        r.Replace(pattern.c_str(), u"x");
        EXPECT_EQ(r.GetLength(), 50000 * scale);
        EXPECT_EQ(KTString{std::u16string_view(text + u'b')}.Find(pattern.c_str(), 0), 25000 * scale);
      },
      3 * 50000));
}

TEST(KTStringTest, Substrings) {
  KTString s(u"abcdef");
  EXPECT_EQ(S(s.Left(10)), u"abcdef");
  EXPECT_EQ(S(s.Left(0)), u"");
  EXPECT_EQ(S(s.Right(2)), u"ef");
  EXPECT_EQ(S(s.Right(0)), u"");
  EXPECT_EQ(S(s.Mid(2, 100)), u"cdef");
  EXPECT_EQ(S(s.Mid(6)), u"");
  EXPECT_EQ(S(s.Mid(1, 2)), u"bc");
}

TEST(KTStringTest, TokenizeWithQuotes) {
  KTString s(u"x='a b' y");
  int pos = 0;
  EXPECT_EQ(S(s.Tokenize(u" ", pos, u"'\"")), u"x='a b'");
  EXPECT_EQ(S(s.Tokenize(u" ", pos, u"'\"")), u"y");
  EXPECT_EQ(S(s.Tokenize(u" ", pos, u"'\"")), u"");
  EXPECT_EQ(pos, s.GetLength());
  // All quote characters share one state: the apostrophe closes what the
  // double quote opened, and the closing double quote opens a new part.
  KTString t(u"\"a ' b\" c d");
  pos = 0;
  EXPECT_EQ(S(t.Tokenize(u" ", pos, u"'\"")), u"\"a '");
  EXPECT_EQ(S(t.Tokenize(u" ", pos, u"'\"")), u"b\" c d");
  KTString u(u"a:b::c");
  pos = 0;
  EXPECT_EQ(S(u.Tokenize(u":", pos)), u"a");
  EXPECT_EQ(S(u.Tokenize(u":", pos)), u"b");
  EXPECT_EQ(S(u.Tokenize(u":", pos)), u"c");
}

TEST(KTStringTest, ReplaceResumesBehindInsertedText) {
  KTString s(u"---");
  s.Replace(u"--", u"- -");
  EXPECT_EQ(S(s), u"- --");
  KTString t(u"a.b.c");
  t.Replace(u".", u"::", 1);
  EXPECT_EQ(S(t), u"a::b.c");
  KTString u(u"aaa");
  u.Replace(u"a", u"aa");
  EXPECT_EQ(S(u), u"aaaaaa");
  u.Replace(u"a", u"", -1);
  EXPECT_EQ(S(u), u"aaaaaa");
  u.Replace(u"a", u"");
  EXPECT_EQ(S(u), u"");
  KTString v(u"xyx");
  v.Replace(u'x', u'z');
  EXPECT_EQ(S(v), u"zyz");
}

TEST(KTStringTest, InsertAndDelete) {
  KTString s(u"abcdef");
  s.Insert(u"XY", 10);
  EXPECT_EQ(S(s), u"abcdef");
  s.Insert(u"XY", 6);
  EXPECT_EQ(S(s), u"abcdefXY");
  s.Insert(u"-", 0);
  EXPECT_EQ(S(s), u"-abcdefXY");
  KTString d(u"abcdef");
  d.Delete(4, 100);
  EXPECT_EQ(S(d), u"abcd");
  d.Delete(10, 1);
  EXPECT_EQ(S(d), u"abcd");
  d.Delete(1, 2);
  EXPECT_EQ(S(d), u"ad");
}

TEST(KTStringTest, CollapseChars) {
  KTString s(u"  a\t\nb");
  s.CollapseChars(u" \t\r\n", u' ');
  EXPECT_EQ(S(s), u" a b");
  KTString q(u"a  'b  c'  d");
  q.CollapseChars(u" ", u'_', u"'\"");
  EXPECT_EQ(S(q), u"a_'b  c'_d");
}

TEST(KTStringTest, Trimming) {
  KTString s(u" \t\f\vabc\v\f \u00a0");
  s.TrimRight();
  EXPECT_EQ(S(s), u" \t\f\vabc\v\f \u00a0");  // a trailing no-break space is not white space
  KTString t(u" \t abc\v\f");
  t.TrimRight().TrimLeft();
  EXPECT_EQ(S(t), u"abc");
  KTString u(u"xxabcxx");
  u.TrimLeft(u'x').TrimRight(u'x');
  EXPECT_EQ(S(u), u"abc");
  KTString v(u"abcba");
  v.TrimLeft(u"ab").TrimRight(u"");
  EXPECT_EQ(S(v), u"cba");
  v.TrimLeft(static_cast<const char16_t*>(nullptr));
  EXPECT_EQ(S(v), u"cba");
  v.TrimRight(u"ab");
  EXPECT_EQ(S(v), u"c");
}

TEST(KTStringTest, MakeLowerOnlyAscii) {
  KTString s(u"ABC\u00c9\u0391z");
  s.MakeLower();
  EXPECT_EQ(S(s), u"abc\u00c9\u0391z");
}

TEST(KTStringTest, FormatKeepsWholeOutput) {
  KTString s;
  s.Format(u"%s=%d (%02X) %ld%%", u"x", -5, 10u, 123456L);
  EXPECT_EQ(S(s), u"x=-5 (0A) 123456%");
  std::u16string big(5000, u'q');
  s.Format(u"<%s>", big.c_str());
  EXPECT_EQ(s.GetLength(), 5002);
  KTString arg(u"str");
  s.Format(u"[%s]", arg);
  EXPECT_EQ(S(s), u"[str]");
  s.Format(u"");
  EXPECT_EQ(S(s), u"");
}

TEST(KTStringTest, LoadString) {
  KTString s(u"old");
  EXPECT_FALSE(s.LoadString(999999));
  EXPECT_EQ(S(s), u"");
  EXPECT_TRUE(s.LoadString(1));
  EXPECT_EQ(S(s), u"Ostrel XSLT Processor");
}

TEST(KTExceptTest, MessagesAndFileParts) {
  KTExcept e(-1001, 42, u"C:\\src\\ktcore/ktstring.cpp");
  EXPECT_EQ(std::u16string(e.GetFile()), u"ktstring.cpp");
  EXPECT_EQ(std::u16string(e.GetMessage(false)), u"An error has occurred. (-1001)");
  EXPECT_EQ(std::u16string(e.GetMessage(true)),
            u"An error has occurred in line 42 of file \"ktstring.cpp\". (-1001)");
  KTExcept trailing(-1010, 1, u"dir/");
  EXPECT_EQ(std::u16string(trailing.GetFile()), u"");
  KTExcept copy(e);
  EXPECT_EQ(copy.GetFile(), e.GetFile());
  // Every call overwrites the one shared buffer.
  const char16_t* first = e.GetMessage(false);
  trailing.GetMessage(false);
  EXPECT_EQ(std::u16string(first), u"An error has occurred. (-1010)");
  KTExcept::messageLanguage = 4;
  EXPECT_EQ(std::u16string(e.GetMessage(false)), u"An error has occurred. (-1001)");
  KTExcept::messageLanguage = 1;
  EXPECT_EQ(std::u16string(e.GetMessage(false)), u"Ein Fehler ist aufgetreten. (-1001)");
  KTExcept::messageLanguage = 0;
}

}  // namespace
