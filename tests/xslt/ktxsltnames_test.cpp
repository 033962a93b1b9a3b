// Name syntax checks: QNames, NCNames and the reserved target "xml".
#include "xslt/ktxsltnames.h"

#include <gtest/gtest.h>

#include "platform/ktutf8.h"

namespace {

TEST(XSLTNames, QNamesAndNCNames) {
  struct Case {
    const char16_t* text;
    bool qname;
    bool ncname;
  } cases[] = {
      {u"a", true, true},
      {u"xsl:template", true, false},
      {u"abc", true, true},
      {u"a.b-c_d", true, true},
      {u"_x", true, true},
      {u"col\u00B7lecci\u00F3", true, true},     // middle dot is a name character
      {u"\u0915\u094D\u0937", true, true},       // Devanagari with a combining virama
      {u"p:\u0915\u093F", true, false},
      {u"\U00010400x", true, true},              // a name character above U+FFFF
      {u"a:", false, false},
      {u":a", false, false},
      {u"a:b:c", false, false},
      {u"1a", false, false},
      {u"a:1b", false, false},
      {u"a b", false, false},
      {u" a", false, false},
      {u"a ", false, false},
      {u"", false, false},
      {u"-a", false, false},
      {u"\u00B7a", false, false},                // middle dot cannot start a name
      {u"a\xD800", false, false},                // a lone surrogate
  };
  for (const Case& c : cases) {
    std::string shown = KTUtf16ToUtf8(std::u16string_view(c.text));
    EXPECT_EQ(IsQName(c.text), c.qname) << shown;
    EXPECT_EQ(IsNCName(c.text), c.ncname) << shown;
  }
  EXPECT_FALSE(IsQName(nullptr));
  EXPECT_FALSE(IsNCName(nullptr));
}

TEST(XSLTNames, XmlTarget) {
  EXPECT_FALSE(IsNotXmlName(u"xml"));
  EXPECT_FALSE(IsNotXmlName(u"XML"));
  EXPECT_FALSE(IsNotXmlName(u"xMl"));
  EXPECT_TRUE(IsNotXmlName(u"xml-stylesheet"));
  EXPECT_TRUE(IsNotXmlName(u"xm"));
  EXPECT_TRUE(IsNotXmlName(u"target"));
}

}  // namespace
