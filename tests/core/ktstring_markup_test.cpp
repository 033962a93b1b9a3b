// Text and markup operations of KTString: whitespace, character references,
// UTF-8 bytes and URI escaping, qualified names and the name tables.
#include "core/ktstring.h"

#include <string>

#include <gtest/gtest.h>

namespace {

struct RewriteCase {
  const char16_t* input;
  std::u16string expected;
};

TEST(Whitespace, OnlyTheFourXmlCharacters) {
  EXPECT_TRUE(KTString::IsWhitespace(u""));
  EXPECT_TRUE(KTString::IsWhitespace(nullptr));
  EXPECT_TRUE(KTString::IsWhitespace(u" \t\r\n "));
  EXPECT_FALSE(KTString::IsWhitespace(u" \f"));      // form feed is no XML space
  EXPECT_FALSE(KTString::IsWhitespace(u"\u00A0"));   // nor is no-break space
  EXPECT_FALSE(KTString::IsWhitespace(u"  x  "));
  EXPECT_TRUE(KTString().IsWhitespace());
  EXPECT_FALSE(KTString(u"\n a").IsWhitespace());
}

TEST(ResolveCharRefs, ConvertsWellFormedReferences) {
  const RewriteCase cases[] = {
      {u"no references", u"no references"},
      {u"&#x41;&#66;", u"AB"},                      // each reference picks its own radix
      {u"a&#x4a;&#x4A;b", u"aJJb"},                 // hex digits of either case
      {u"&#65;&amp;&#65;", u"A&amp;A"},             // entity references are not touched
      {u"&#x10000;", u"\U00010000"},                // above U+FFFF: a surrogate pair
      {u"x&#128512;y", u"x\U0001F600y"},
      {u"&#x10FFFF;", u"\U0010FFFF"},
      {u"&#00065;", u"A"},
      {u"&#65601;", u"\U00010041"},                // not cut to 16 bits
  };
  for (const RewriteCase& c : cases) {
    KTString s(c.input);
    s.ResolveCharRefs();
    EXPECT_EQ(s.View(), c.expected);
  }
}

// Nothing that is not a well-formed reference to a character from U+0001 to
// U+10FFFF may change, and nothing after it may be lost.
TEST(ResolveCharRefs, LeavesMalformedReferencesAsWritten) {
  const char16_t* unchanged[] = {
      u"&#;rest",            // no digits
      u"&#0;rest",           // value 0 would end the text
      u"&#x0000;rest",
      u"&#X41;rest",         // only a lower-case x selects hexadecimal
      u"&#1a;rest",          // hex digit in a decimal reference
      u"&#x4g;rest",
      u"&#65",               // runs to the end without ';'
      u"&#65 and more text;",
      u"&#x110000;rest",     // beyond U+10FFFF
      u"&#99999999999999999999;rest",  // huge values do not wrap round
      u"&#\u0661;rest",      // digits outside ASCII do not count
      u"&#",
      u"tail&",
  };
  for (const char16_t* text : unchanged) {
    KTString s(text);
    s.ResolveCharRefs();
    EXPECT_EQ(s.View(), std::u16string_view(text));
  }
}

TEST(ResolveCharRefs, MixedGoodAndBadReferencesInOneText) {
  KTString s(u"&#0;&#65;&#;&#x42;&");
  s.ResolveCharRefs();
  EXPECT_EQ(s.View(), u"&#0;A&#;B&");
}

// Runs of text between references move up as references shrink; the
// length follows, so that later appends land after the resolved text.
TEST(ResolveCharRefs, RunsBetweenReferencesKeepTheirPlaceAndTheLength) {
  KTString s(u"a&#38;bc&#x1F600;d&amp;e&#10;&#60;&#0;tail");
  s.ResolveCharRefs();
  EXPECT_EQ(s.View(), u"a&bc\U0001F600d&amp;e\n<&#0;tail");
  EXPECT_EQ(s.GetLength(), static_cast<int>(s.View().size()));
  s += u"!";
  EXPECT_EQ(s.View(), u"a&bc\U0001F600d&amp;e\n<&#0;tail!");
}

TEST(EncodeUtf8Bytes, OneByteValuePerCharacter) {
  static const char16_t loneHigh[] = {0xD83D, u'x', 0};
  static const char16_t loneLow[] = {0xDE00, 0};
  const RewriteCase cases[] = {
      {u"plain ascii", u"plain ascii"},
      {u"\u00E9", u"\u00C3\u00A9"},
      {u"a\u20ACb", u"a\u00E2\u0082\u00ACb"},
      {u"\U0001F600", u"\u00F0\u009F\u0098\u0080"},  // a pair is one 4-byte sequence
      {loneHigh, u"\u00EF\u00BF\u00BDx"},               // a lone surrogate becomes U+FFFD
      {loneLow, u"\u00EF\u00BF\u00BD"},
  };
  for (const RewriteCase& c : cases) {
    KTString s(c.input);
    s.EncodeUtf8Bytes();
    EXPECT_EQ(s.View(), c.expected);
  }
}

TEST(UrlEscape, EscapesExactlyTheExcludedBytes) {
  const RewriteCase cases[] = {
      {u"a b", u"a%20b"},
      {u"\u00E9", u"%C3%A9"},
      {u"100%", u"100%25"},
      {u"\u007F\t\u0001", u"%7F%09%01"},
      {u"\"<>^`{|}", u"%22%3C%3E%5E%60%7B%7C%7D"},
      {u"http://h/p?q=1&r=[2]#f;x\\~", u"http://h/p?q=1&r=[2]#f;x\\~"},
      {u"\U0001F600", u"%F0%9F%98%80"},
      {u"", u""},
  };
  for (const RewriteCase& c : cases) {
    KTString s(c.input);
    s.UrlEscape();
    EXPECT_EQ(s.View(), c.expected);
  }
}

TEST(QualifiedName, SplitsAtTheFirstColon) {
  struct Case {
    const char16_t* name;
    bool hasPrefix;
    const char16_t* prefix;
    const char16_t* local;
  };
  const Case cases[] = {
      {u"a:b:c", true, u"", u"b:c"},
      {u":x", true, u"", u"x"},
      {u"x", false, u"", u"x"},
      {u"xsl:", true, u"xsl", u""},
      {u"", false, u"", u""},
  };
  for (const Case& c : cases) {
    KTString name(c.name);
    EXPECT_EQ(name.HasPrefix(), c.hasPrefix) << ::testing::PrintToString(std::u16string(c.name));
    EXPECT_EQ(name.GetLocalName().View(), std::u16string_view(c.local));
    EXPECT_EQ(std::u16string_view(name.GetLocalNamePtr()), std::u16string_view(c.local));
  }
  EXPECT_EQ(KTString(u"a:b:c").GetPrefix().View(), u"a");
  EXPECT_EQ(KTString(u"xsl:").GetPrefix().View(), u"xsl");

  KTString name(u"ns:local");
  EXPECT_EQ(name.GetLocalNamePtr(), static_cast<const char16_t*>(name) + 3);  // no copy
}

TEST(NameTables, EntriesAndGaps) {
  auto name = [](const char16_t* entry) { return entry ? std::u16string_view(entry) : u"(null)"; };
  EXPECT_EQ(name(KTString::HtmlEntityNames[0x22]), u"quot");
  EXPECT_EQ(name(KTString::HtmlEntityNames[0xC0]), u"Agrave");
  EXPECT_EQ(name(KTString::HtmlEntityNames[0xD0]), u"ETH");
  EXPECT_EQ(name(KTString::HtmlEntityNames[0xDF]), u"szlig");
  EXPECT_EQ(name(KTString::HtmlEntityNames[0xF8]), u"oslash");
  EXPECT_EQ(name(KTString::HtmlEntityNames[0xFF]), u"yuml");
  EXPECT_EQ(KTString::HtmlEntityNames[0xD7], nullptr);
  EXPECT_EQ(KTString::HtmlEntityNames[0xF7], nullptr);
  EXPECT_EQ(KTString::HtmlEntityNames[0xA0], nullptr);
  EXPECT_EQ(KTString::HtmlEntityNames[0x27], nullptr);
  int htmlNames = 0;
  for (const char16_t* entry : KTString::HtmlEntityNames)
    htmlNames += entry != nullptr;
  EXPECT_EQ(htmlNames, 66);

  EXPECT_EQ(name(KTString::XmlEntityNames[0x27]), u"apos");
  EXPECT_EQ(name(KTString::XmlEntityNames[0x3C]), u"lt");
  EXPECT_EQ(KTString::XmlEntityNames[0x3D], nullptr);

  EXPECT_EQ(KTString::HexDigitValues[u'0'], 0);
  EXPECT_EQ(KTString::HexDigitValues[u'9'], 9);
  EXPECT_EQ(KTString::HexDigitValues[u'a'], 10);
  EXPECT_EQ(KTString::HexDigitValues[u'F'], 15);
  EXPECT_EQ(KTString::HexDigitValues[u'G'], 0);
}

}  // namespace
