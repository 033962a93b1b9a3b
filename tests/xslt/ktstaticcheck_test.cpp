// The checks of compiled trees before the run, inside the processor: the
// node an unbound variable is reported at, the references of a module
// included as the run starts, and the work of the scope walk, which must
// grow in proportion to the stylesheet however many bindings it holds.
#include <gtest/gtest.h>

#include <string>

#include "kttestprocessor.h"
#include "ktscaling_util.h"
#include "xpath/ktxpathfunctionlibrary.h"
#include "xslt/ktxslterror.h"

namespace {

constexpr const char16_t* kMainUri = u"file:///s/main.xsl";

std::u16string Sheet(const std::u16string& body) { return TestStylesheet(body); }

std::u16string Number(int n) { return KTUtf8ToUtf16(std::to_string(n)); }

class StaticCheckTest : public KTFirstStepTest {
 protected:
  void Run(const std::u16string& stylesheet) { KTFirstStepTest::Run(stylesheet, kMainUri); }

  // Runs the stylesheet and expects the unbound-prefix error at an
  // attribute named `attribute` inside the template of mode m.
  void ExpectUnboundPrefixInModeM(const std::u16string& stylesheet, std::u16string_view attribute) {
    try {
      Run(stylesheet);
      ADD_FAILURE() << "no error";
    } catch (const KTXSLTError& e) {
      EXPECT_EQ(e.GetXPathErrorKind(), kXPathErrInvalidPrefix);
      ASSERT_NE(e.GetNode(), nullptr);
      EXPECT_EQ(std::u16string_view(e.GetNode()->GetName()), attribute);
      bool inModeM = false;
      for (const KTXPathNode* at = e.GetNode()->GetParent(); at; at = at->GetParent())
        for (const auto& node : at->Children())
          if (std::u16string_view(node->GetName()) == u"mode")
            inModeM = inModeM || std::u16string_view(node->GetValue()) == u"m";
      EXPECT_TRUE(inModeM);
    }
  }
};

TEST_F(StaticCheckTest, AnUnboundVariableIsReportedAtItsAttribute) {
  const struct {
    const char16_t* module;  // included, or null
    const char16_t* main;
    const char16_t* subject;     // the reference as written
    const char16_t* expression;  // the text the message shows, trimmed
    int offset;                  // of the "$"
  } cases[] = {
      {nullptr, u"<xsl:template match='never'><xsl:value-of select='1 + $nowhere'/></xsl:template>", u"$nowhere",
       u"1 + $nowhere", 4},
      {u"<xsl:template match='never'><xsl:value-of select='1 + $nowhere'/></xsl:template>",
       u"<xsl:include href='m.xsl'/>", u"$nowhere", u"1 + $nowhere", 4},
      // A bound reference before the unbound one, a prefixed name, and the
      // text as trimmed.
      {nullptr,
       u"<xsl:variable name='g' select='1'/><xsl:template match='never' xmlns:p='urn:p'>"
       u"<xsl:value-of select=' concat($g, $p:nowhere) '/></xsl:template>",
       u"$p:nowhere", u"concat($g, $p:nowhere)", 11},
      // The same text in another place: the second reference is unbound
      // only there.
      {nullptr,
       u"<xsl:template match='never'><xsl:param name='x'/><xsl:value-of select='$x + $x'/></xsl:template>"
       u"<xsl:template match='never' mode='m'><xsl:value-of select='$x + $x'/></xsl:template>",
       u"$x", u"$x + $x", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(KTUtf16ToUtf8(c.main));
    if (c.module) processor_.AddDocument(u"file:///s/m.xsl", Sheet(c.module));
    try {
      Run(Sheet(c.main));
      ADD_FAILURE() << "no error";
    } catch (const KTXSLTError& e) {
      EXPECT_EQ(e.GetCode(), KTXSLTError::kXPathError);
      EXPECT_EQ(e.GetXPathErrorKind(), kXPathErrInvalidVariable);
      ASSERT_NE(e.GetNode(), nullptr);
      EXPECT_EQ(std::u16string_view(e.GetNode()->GetName()), u"select");
      EXPECT_EQ(e.GetSubject().View(), c.subject);
      EXPECT_EQ(e.GetExpression().View(), c.expression);
      EXPECT_EQ(e.GetExpressionOffset(), c.offset);
    }
  }
}

// Template rules whose patterns are the same text share one compiled
// tree; each is still checked where it stands: a prefix bound for the first
// and unbound for the second is an error at the second.
TEST_F(StaticCheckTest, ASharedPatternIsCheckedAtEachRule) {
  const char16_t* const mains[] = {
      u"<xsl:template match='p:a' xmlns:p='urn:p'/><xsl:template match='p:a' mode='m'/>",
      u"<xsl:template match='a' mode='x'/><xsl:template match='p:a' xmlns:p='urn:p'/>"
      u"<xsl:template match='p:a' mode='m'/>",
  };
  for (const char16_t* main : mains) {
    SCOPED_TRACE(KTUtf16ToUtf8(main));
    ExpectUnboundPrefixInModeM(Sheet(main), u"match");
  }
}

// Instructions whose expressions or value templates are the same text share
// one compiled tree, and a tree that passed its check without resolving a
// prefix is not walked again; one that resolved a prefix is checked again
// at each place: bound at the first, unbound at the second (in mode m) is
// an error at the second, and one text without a prefix shared before it
// changes nothing.
TEST_F(StaticCheckTest, ASharedExpressionIsCheckedAgainWhereItNeedsItsPlace) {
  const struct {
    const char16_t* first;   // instructions of a template where p is bound
    const char16_t* second;  // the same in mode m, where p is unbound
    const char16_t* attribute;
  } cases[] = {
      {u"<xsl:value-of select='count(a)'/><xsl:value-of select='p:a'/>",
       u"<xsl:value-of select='count(a)'/><xsl:value-of select='p:a'/>", u"select"},
      {u"<xsl:value-of select='p:f(1)'/>", u"<xsl:value-of select='p:f(1)'/>", u"select"},
      {u"<xsl:apply-templates select='//p:*'/>", u"<xsl:apply-templates select='//p:*'/>", u"select"},
      {u"<r a='{string(.)}'/><r a='{p:a}'/>", u"<r a='{string(.)}'/><r a='{p:a}'/>", u"a"},
  };
  for (const auto& c : cases) {
    const std::u16string main = u"<xsl:template match='never' xmlns:p='urn:p'>" + std::u16string(c.first) +
                                u"</xsl:template><xsl:template match='never' mode='m'>" + c.second +
                                u"</xsl:template>";
    SCOPED_TRACE(KTUtf16ToUtf8(main));
    ExpectUnboundPrefixInModeM(Sheet(main), c.attribute);
  }
}

// Each local variable names the one before it, and the top-level ones of
// an included module: the scope walk visits each node once and looks each
// reference up once.
TEST_F(StaticCheckTest, TheScopeWalkGrowsLinearly) {
  auto work = [&](int scale) {
    std::u16string module;
    std::u16string body = u"<xsl:template match='/'><xsl:variable name='v0' select='1'/>";
    for (int i = 1; i <= 300 * scale; ++i) {
      module += u"<xsl:variable name='g" + Number(i) + u"' select='" + Number(i) + u"'/>";
      body += u"<xsl:variable name='v" + Number(i) + u"' select='$v" + Number(i - 1) + u" + $g" + Number(i) +
              u"'/><xsl:if test='$v" + Number(i) + u"'><r a='{$v0}'/></xsl:if>";
    }
    body += u"</xsl:template>";
    KTTestProcessor processor;
    processor.SetTreeContext(&context_);
    processor.AddDocument(u"file:///s/m.xsl", Sheet(module));
    KTTestDocument stylesheet =
        ParseTestDocument(context_, Sheet(u"<xsl:include href='m.xsl'/>" + body).c_str(), kMainUri);
    KTTestDocument source = ParseTestDocument(context_, u"<doc/>");
    ASSERT_TRUE(stylesheet.view && source.view);
    processor.Prepare(stylesheet.view.get(), source.view.get());
  };
  EXPECT_TRUE(GrowsLinearly(work, 3000));
}

}  // namespace
