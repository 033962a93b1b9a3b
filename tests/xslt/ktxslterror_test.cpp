// Stylesheet error messages: the text of every code, the XPath error form,
// caching, and the node an error is reported for.
#include "xslt/ktxslterror.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "xml/ktxpathnode.h"

namespace {

std::u16string Message(KTXSLTError& e) { return e.GetMessage(); }

struct CodeCase {
  int code;
  const char16_t* text;
};

// The message of every stylesheet error code.
const CodeCase kCodeCases[] = {
    {2, u"An attribute which should only occur once occurs multiple times"},
    {3, u"An attribute set with this name has already been defined"},
    {4, u"A decimal format with this name has already been defined"},
    {5, u"XPath expression expected"},
    {6, u"Invalid XPath expression"},
    {7, u"Unexpected XSLT processor failure"},
    {8, u"Undefined template"},
    {9, u"Undefined attribute set"},
    {10, u"Undefined namespace prefix"},
    {11, u"A template with this name already exists"},
    {12, u"A key with this name already exists"},
    {13, u"A variable with this name already exists"},
    {14, u"A parameter with this name already exists"},
    {15, u"Variables cannot have both select attribute and child elements"},
    {16, u"The template has a mode param but not a match"},
    {17, u"use attribute expected"},
    {18, u"select attribute expected"},
    {19, u"test attribute expected"},
    {20, u"version attribute expected"},
    {21, u"name attribute expected"},
    {22, u"xsl:choose requires as xsl:when child"},
    {23, u"HREF attribute expected"},
    {24, u"elements attribute expected"},
    {25, u"stylesheet-prefix attribute expected"},
    {26, u"result-prefix attribute expected"},
    {27, u"unexpected xsl:otherwise"},
    {28, u"Target node must be an xsl:when or xsl:otherwise instruction"},
    {29, u"Expression did not evaluate to a node set"},
    {30, u"Unexpected children"},
    {31, u"Unexpected value"},
    {32, u"Unexpected attribute"},
    {33, u"Unexpected child"},
    {34, u"Unexpected element"},
    {35, u"Unexpected parent"},
    {36, u"Unexpected xsl:apply-imports"},
    {37, u"Not a child of xsl:stylesheet or xsl:transform"},
    {38, u"Not a root element"},
    {39, u"Not an NCName and PITarget"},
    {40, u"Not a QName"},
    {41, u"unexpected xsl:with-param after xsl:sort"},
    {42, u"Could not load external entity"},
    {43, u"Could not import external entity"},
    {44, u"Could not include external entity"},
    {45, u"Recursive include or import of external entity is not allowed"},
    {46, u"Variables and parameters cannot be used in patterns"},
    {47, u"Attribute value template syntax is incorrect"},
    {48, u"xsl:template requires either a name or a match attribute"},
    {49, u"Import preceded by other XSL element in stylesheet"},
    {50, u"Recursive variable definition"},
    // Outside the table.
    {0, u""},
    {51, u"Unknown error"},
    {-1, u"Unknown error"},
};

TEST(KTXSLTErrorTest, EveryCodeHasItsMessage) {
  for (const CodeCase& c : kCodeCases) {
    KTXSLTError e(c.code, nullptr);
    EXPECT_EQ(Message(e), std::u16string(c.text)) << "code " << c.code;
    // A second call gives the same text (cached for the table codes).
    EXPECT_EQ(Message(e), std::u16string(c.text)) << "code " << c.code;
  }
}

struct XPathCase {
  int kind;
  int function;
  const char16_t* text;
};

const XPathCase kXPathCases[] = {
    {6, -1, u"Error in XPath expression, Invalid variable reference"},
    {2, 14, u"Error in XPath expression, Too few parameters -> string-length"},
    {3, 4, u"Error in XPath expression, Too many parameters -> local-name"},
    {7, 28, u"Error in XPath expression, Invalid key reference -> key"},
    {9, -1, u"Error in XPath expression, Unknown XPath function"},
    {10, 28, u"Error in XPath expression, Argument not a QName -> key"},
    {13, 29, u"Error in XPath expression, Unknown decimal format -> format-number"},
    {16, 27, u"Error in XPath expression, Could not find external entity -> document"},
    {17, 28, u"Error in XPath expression, key function called within a key definition -> key"},
    {5, 0, u"Error in XPath expression, Incorrect argument type -> last"},
    {1, 35, u"Error in XPath expression, Invalid prefix -> function-available"},
    {4, 23, u"Error in XPath expression, Not a node set -> sum"},
    {8, -1, u"Error in XPath expression, Function not in namespace"},
    {11, 31, u"Error in XPath expression, Cannot use result tree fragment -> unparsed-entity-uri"},
    {12, -1, u"Error in XPath expression, Only child and attribute axes allowed in patterns"},
    {14, 29, u"Error in XPath expression, Invalid format pattern -> format-number"},
    {15, 33, u"Error in XPath expression, NaN or Infinite number as argument -> system-property"},
    // A kind without a text and an index without a name.
    {0, -1, u"Error in XPath expression, "},
    {18, 36, u"Error in XPath expression, "},
    {0, 2, u"Error in XPath expression,  -> count"},
};

TEST(KTXSLTErrorTest, XPathErrorsNameTheKindAndTheFunction) {
  for (const XPathCase& c : kXPathCases) {
    KTXSLTError e(KTXSLTError::kXPathError, nullptr);
    e.SetXPathError(c.kind, c.function);
    EXPECT_EQ(Message(e), std::u16string(c.text)) << "kind " << c.kind << " function " << c.function;
    EXPECT_EQ(std::u16string(e.GetXPathMessage()), std::u16string(c.text));
  }
}

TEST(KTXSLTErrorTest, CodeSixKeepsItsOwnTextWithAnXPathKind) {
  KTXSLTError e(KTXSLTError::kInvalidXPathExpression, nullptr);
  e.SetXPathError(9, 2);
  EXPECT_EQ(Message(e), u"Invalid XPath expression");
  EXPECT_EQ(e.GetXPathErrorKind(), 9);
  EXPECT_EQ(e.GetFunctionIndex(), 2);
  EXPECT_EQ(std::u16string(e.GetXPathMessage()), u"Error in XPath expression, Unknown XPath function -> count");
}

TEST(KTXSLTErrorTest, NewErrorHasNoXPathDetails) {
  KTXSLTError e(12, nullptr);
  EXPECT_EQ(e.GetCode(), 12);
  EXPECT_EQ(e.GetXPathErrorKind(), 0);
  EXPECT_EQ(e.GetFunctionIndex(), -1);
  EXPECT_EQ(e.GetNode(), nullptr);
}

TEST(KTXSLTErrorTest, CopiesKeepMessageAndDetails) {
  KTXSLTError e(KTXSLTError::kXPathError, nullptr);
  e.SetXPathError(4, 2);
  const char16_t* first = e.GetMessage();
  KTXSLTError copy(e);
  EXPECT_EQ(std::u16string(copy.GetMessage()), std::u16string(first));
  EXPECT_EQ(copy.GetCode(), 1);
  EXPECT_EQ(copy.GetXPathErrorKind(), 4);
  EXPECT_EQ(copy.GetFunctionIndex(), 2);
  // Thrown by value, the copy the handler sees carries the same message.
  try {
    throw copy;
  } catch (KTXSLTError& caught) {
    EXPECT_EQ(std::u16string(caught.GetMessage()), u"Error in XPath expression, Not a node set -> count");
  }
}

TEST(KTXSLTErrorTest, NodesMadeFromEntitiesReportTheirNearestWrittenAncestor) {
  auto rootOwned = std::make_unique<KTXPathNode>(nullptr, kXPathRoot);
  KTXPathNode& root = *rootOwned;
  KTXPathNode* element = root.AppendChild(std::make_unique<KTXPathNode>(nullptr, kXPathElement));
  KTXPathNode* spliced = element->AppendChild(std::make_unique<KTXPathNode>(nullptr, kXPathElement));
  spliced->SetFromEntity(true);
  KTXPathNode* inner = spliced->AppendChild(std::make_unique<KTXPathNode>(nullptr, kXPathText));
  inner->SetFromEntity(true);

  EXPECT_EQ(KTXSLTError(3, inner).GetNode(), element);
  EXPECT_EQ(KTXSLTError(3, spliced).GetNode(), element);
  EXPECT_EQ(KTXSLTError(3, element).GetNode(), element);
  // A marked node without an unmarked ancestor gives no node.
  auto loneOwned = std::make_unique<KTXPathNode>(nullptr, kXPathElement);
  KTXPathNode& lone = *loneOwned;
  lone.SetFromEntity(true);
  EXPECT_EQ(KTXSLTError(3, &lone).GetNode(), nullptr);
}

// The detailed message: origin, the table text, the subject, and the
// expression with a caret under the failed character. GetMessage stays the
// table text alone.
TEST(KTXSLTErrorTest, DetailedMessagesNameTheirSubjectAndMarkTheExpression) {
  struct Case {
    const char* what;
    int code;
    int kind;
    const char16_t* subject;
    const char16_t* expression;
    int offset;
    const char16_t* origin;
    const char16_t* detailed;
  } cases[] = {
      {"subject only", 8, 0, u"no template named \"x\"", u"", -1, u"", u"Undefined template: no template named \"x\""},
      {"caret under the failed character", 6, 0, u"", u"count(1 +)", 9, u"",
       u"Invalid XPath expression\ncount(1 +)\n         ^"},
      {"caret after the end", 6, 0, u"", u"1 + (2", 6, u"", u"Invalid XPath expression\n1 + (2\n      ^"},
      {"XPath message with subject", 1, 9, u"foo()", u"foo(1)", 0, u"",
       u"Error in XPath expression, Unknown XPath function: foo()\nfoo(1)\n^"},
      {"no place: text alone", 1, 11, u"", u"$v", -1, u"", u"Error in XPath expression, Cannot use result tree fragment\n$v"},
      {"line ends and tabs become spaces", 6, 0, u"", u"a\n+\t(", 5, u"", u"Invalid XPath expression\na + (\n     ^"},
      {"a character outside the BMP takes one column", 6, 0, u"", u"'\U0001D11E' +", 5, u"",
       u"Invalid XPath expression\n'\U0001D11E' +\n    ^"},
      {"origin first", 6, 0, u"", u"(", 1, u"-param p=(", u"-param p=(: Invalid XPath expression\n(\n ^"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto nodeOwned = std::make_unique<KTXPathNode>(nullptr, kXPathElement);
    KTXPathNode& node = *nodeOwned;
    KTXSLTError e(c.code, &node);
    if (c.kind) e.SetXPathError(c.kind, -1);
    if (*c.subject) e.SetSubject(KTString(c.subject));
    if (*c.expression) e.SetExpression(KTString(c.expression), c.offset);
    if (*c.origin) e.SetOrigin(KTString(c.origin));
    EXPECT_EQ(std::u16string(e.GetDetailedMessage()), c.detailed);
    EXPECT_EQ(e.GetNode(), *c.origin ? nullptr : &node);
    // Copies carry the details.
    KTXSLTError copy(e);
    EXPECT_EQ(std::u16string(copy.GetDetailedMessage()), c.detailed);
  }
}

// A long expression shows the part around the failed character, so that
// the caret line stays short.
TEST(KTXSLTErrorTest, LongExpressionsShowThePartAroundTheFailure) {
  std::u16string text(400, u'a');
  text[300] = u'!';
  KTXSLTError e(6, nullptr);
  e.SetExpression(KTString(std::u16string_view(text)), 300);
  std::u16string detailed = e.GetDetailedMessage();
  size_t first = detailed.find(u'\n');
  size_t second = detailed.find(u'\n', first + 1);
  ASSERT_NE(second, std::u16string::npos);
  std::u16string line = detailed.substr(first + 1, second - first - 1);
  std::u16string caret = detailed.substr(second + 1);
  EXPECT_LT(line.size(), 130u);
  EXPECT_EQ(line.substr(0, 3), u"...");
  EXPECT_EQ(line.substr(line.size() - 3), u"...");
  ASSERT_EQ(caret.back(), u'^');
  EXPECT_EQ(line[caret.size() - 1], u'!');
}

}  // namespace
