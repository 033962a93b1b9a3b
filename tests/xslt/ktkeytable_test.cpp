// Key tables and format-number() through the processor: key() and
// format-number() expressions are evaluated in the first frame of a prepared
// run and compared with the value xsltproc writes for the same expression
// under the same declarations. Errors, which xsltproc reports in its own
// words, are checked by code.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ktscaling_util.h"
#include "kttestprocessor.h"
#include "ktxslttest_util.h"
#include "output/ktresulttree_util.h"
#include "xpath/ktxpathfunctionlibrary.h"
#include "xslt/ktdeclrecord.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktkeytable.h"
#include "xslt/ktnumberformatter.h"
#include "xslt/ktstylesheetcompiler.h"
#include "xslt/ktxslterror.h"

namespace {

std::string U8(std::u16string_view s) { return KTUtf16ToUtf8(s); }

constexpr const char* kDeclarations =
    "<xsl:key name='cat' match='item' use='@cat'/>"
    // Two definitions of one name: string-valued use expressions each.
    "<xsl:key name='any' match='item' use='string(@cat)'/>"
    "<xsl:key name='any' match='other' use='concat(@code, \"\")'/>"
    "<xsl:key name='text' match='item' use='.'/>"
    "<xsl:key name='p:ns' match='item' use='@id'/>"
    "<xsl:key name='tags' match='item' use='tag'/>"
    // Attribute patterns; a prefixed name, which a plain name never matches.
    "<xsl:key name='attr' match='@cat' use='.'/>"
    "<xsl:key name='prefixed' match='p:item' use='@cat'/>"
    "<xsl:decimal-format name='eu' decimal-separator=',' grouping-separator='.'/>"
    "<xsl:decimal-format name='odd' infinity='inf' NaN='not a number' minus-sign='~' percent='p' "
    "per-mille='m' digit='x' zero-digit='0' pattern-separator='!'/>"
    "<xsl:decimal-format name='comma' decimal-separator=','/>"
    "<xsl:decimal-format name='arabic' zero-digit='&#x660;'/>";

constexpr const char* kSource =
    "<doc>"
    "<item id='i1' cat='a'>one<tag>t1</tag><tag>t2</tag></item>"
    "<item id='i2' cat='b'>two<tag>t2</tag></item>"
    "<item id='i3' cat='a'>1</item>"
    "<item id='i4' cat='1.0'>1.0</item>"
    "<item id='i5'>five</item>"
    "<other code='a' id='o1'/>"
    "<other code='x' id='o2'/>"
    "<group><ref>a</ref><ref>b</ref><ref>a</ref></group>"
    "<p:item xmlns:p='urn:p' id='i9' cat='a'><tag>t1</tag></p:item>"
    "</doc>";

std::string Stylesheet(const std::string& body) {
  return "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform' xmlns:p='urn:p'>"
         "<xsl:output method='text'/>" +
         body + "</xsl:stylesheet>";
}

class KeyTableTest : public ::testing::Test {
 protected:
  void SetUp() override { processor_.SetTreeContext(&context_); }

  void Prepare(const std::string& body, const std::string& source) {
    std::u16string style = KTUtf8ToUtf16(Stylesheet(body));
    std::u16string input = KTUtf8ToUtf16(source);
    stylesheet_ = ParseTestDocument(context_, style.c_str());
    source_ = ParseTestDocument(context_, input.c_str());
    ASSERT_TRUE(stylesheet_.view && source_.view);
    processor_.Prepare(stylesheet_.view.get(), source_.view.get());
  }

  KTXPathNode* DocumentElement() {
    return stylesheet_.view->GetChild(stylesheet_.view->FirstChildOfKind(kXPathElement));
  }

  std::string Value(const std::string& expression) {
    KTExecFrame* top = processor_.TopFrame();
    KTXPathValue result;
    std::u16string text = KTUtf8ToUtf16(expression);
    try {
      top->EvaluateExpression(DocumentElement(),
                              *processor_.PrecompileExpression(DocumentElement(), KTString(text.c_str()), 0),
                              &top->NodeList(), &result, true);
    } catch (KTXSLTError& e) {
      return "error " + U8(e.GetMessage());
    }
    return U8(KTXPathFunctionLibrary::ToString(result).View());
  }

  KTXSLTError Error(const std::string& expression) {
    KTExecFrame* top = processor_.TopFrame();
    KTXPathValue result;
    std::u16string text = KTUtf8ToUtf16(expression);
    try {
      top->EvaluateExpression(DocumentElement(),
                              *processor_.PrecompileExpression(DocumentElement(), KTString(text.c_str()), 0),
                              &top->NodeList(), &result, true);
    } catch (KTXSLTError& e) {
      return e;
    }
    ADD_FAILURE() << "no error for " << expression;
    return KTXSLTError(0, nullptr);
  }

  // xsltproc's values of the expressions, one per line.
  static std::vector<std::string> Reference(const std::string& declarations, const std::string& source,
                                            const std::vector<std::string>& expressions) {
    std::string body = declarations + "<xsl:template match='/'>";
    for (const std::string& e : expressions) {
      std::string quoted;
      for (char c : e) quoted += c == '"' ? std::string("&quot;") : c == '<' ? std::string("&lt;") : std::string(1, c);
      body += "<xsl:value-of select=\"" + quoted + "\"/><xsl:text>&#10;</xsl:text>";
    }
    body += "</xsl:template>";
    ktresulttree::ScratchFolder folder;
    std::string style = folder.Write("style.xsl", Stylesheet(body));
    std::string input = folder.Write("in.xml", source);
    std::string out = ktresulttree::Run("xsltproc '" + style + "' '" + input + "' 2>/dev/null");
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
      lines.push_back(out.substr(start, end - start));
    return lines;
  }

  // Each expression's value over the tables of `declarations` on `source`
  // equals xsltproc's.
  void ExpectXsltprocValues(const std::string& declarations, const std::string& source,
                            const std::vector<std::string>& expressions) {
    Prepare(declarations, source);
    std::vector<std::string> expected = Reference(declarations, source, expressions);
    ASSERT_EQ(expected.size(), expressions.size());
    for (size_t i = 0; i < expressions.size(); ++i)
      EXPECT_EQ(Value(expressions[i]), expected[i]) << expressions[i];
  }

  KTXPathTreeContext context_;
  KTTestProcessor processor_;
  KTTestDocument stylesheet_;
  KTTestDocument source_;
};

const std::vector<std::string> kKeyCases = {
    "count(key('cat', 'a'))",
    "count(key('cat', //item/@cat))",
    "key('cat', 'b')/@id",
    "count(key('cat', 'zzz'))",
    "count(key('cat', ''))",
    // Values are compared as strings: 1 is "1", not "1.0".
    "count(key('cat', 1))",
    "count(key('cat', '1.0'))",
    // Both definitions of 'any': items by @cat and others by @code.
    "count(key('any', 'a'))",
    "key('any', 'x')/@id",
    "key('any', 'a')[last()]/@id",
    "count(key('text', 'one'))",
    "count(key('text', 1))",
    "key('p:ns', 'i3')/@cat",
    // A node-set of values: union in document order, each node once.
    "count(key('cat', //ref))",
    "key('cat', //ref)[1]/@id",
    // A node with several values is found under each.
    "count(key('tags', 't2'))",
    "key('tags', 't1')/@id",
    "count(key('tags', //tag))",
    "count(//item[key('cat', @cat)[2]])",
    "count(key('cat', 'a') | key('cat', 'b'))",
    "count(key('attr', 'a'))",
    "key('attr', 'b')/../@id",
    "key('attr', 'a')[last()]/../@id",
    "key('prefixed', 'a')/@id",
    "count(key('tags', 't1'))",
    // A number literal as predicate picks the node at that place, if any.
    "key('cat', 'a')[1]/@id",
    "key('cat', 'a')[2]/@id",
    "count(key('cat', 'a')[3])",
    "count(key('cat', 'a')[0])",
    "count(key('cat', 'a')[1.5])",
    "key('tags', //tag)[2]/@id",
    "(//item)[4]/@id",
    "//item[3]/preceding-sibling::*[2]/@id",
    "//tag[2]/ancestor::*[2]/@id",
    // last() as predicate keeps the last candidate.
    "key('cat', 'a')[last()]/@id",
    "count(key('cat', 'zzz')[last()])",
    "(//item)[last()]/@id",
    "name(//tag[1]/ancestor::*[last()])",
    "//item[last()]/preceding-sibling::item[last()]/@id",
};

TEST_F(KeyTableTest, KeysAgreeWithXsltproc) {
  if (!ktresulttree::HaveTool("xsltproc")) GTEST_SKIP() << "xsltproc is not installed";
  ExpectXsltprocValues(kDeclarations, kSource, kKeyCases);
}

// Match patterns of every shape the index builds in its own way: tested
// node by node (steps without predicates), evaluated from the parents of
// the nodes that pass the last step (predicates on it alone) or from every
// node (other predicates, unions). Each key lists its nodes under one
// value, so that their number, order and ends show.
constexpr const char* kPatternDeclarations =
    "<xsl:key name='path' match='doc/item' use='\"all\"'/>"
    "<xsl:key name='rooted' match='/doc/other' use='\"all\"'/>"
    "<xsl:key name='deep' match='//group/ref' use='.'/>"
    "<xsl:key name='under' match='doc//tag' use='\"all\"'/>"
    "<xsl:key name='texts' match='text()' use='\"all\"'/>"
    "<xsl:key name='attrs' match='item/@*' use='\"all\"'/>"
    "<xsl:key name='prefixed' match='doc/p:item/tag' use='\"all\"'/>"
    "<xsl:key name='root' match='/' use='\"all\"'/>"
    "<xsl:key name='last' match='item/tag[. = \"t2\"]' use='\"all\"'/>"
    "<xsl:key name='has' match='item[tag]' use='\"all\"'/>"
    "<xsl:key name='second' match='doc/item[2]' use='\"all\"'/>"
    "<xsl:key name='final' match='*[last()]' use='\"all\"'/>"
    "<xsl:key name='attrPick' match='item/@*[2]' use='\"all\"'/>"
    "<xsl:key name='earlier' match='item[@cat = \"a\"]/tag' use='\"all\"'/>"
    "<xsl:key name='union' match='ref | other' use='\"all\"'/>";

const std::vector<std::string> kPatternCases = {
    "count(key('path', 'all'))", "key('path', 'all')[1]/@id", "key('path', 'all')[last()]/@id",
    "count(key('rooted', 'all'))", "key('rooted', 'all')[2]/@id",
    "count(key('deep', 'a'))", "count(key('deep', 'b'))",
    "count(key('under', 'all'))", "key('under', 'all')[last()]",
    "count(key('texts', 'all'))", "key('texts', 'all')[3]", "key('texts', 'all')[last()]",
    "count(key('attrs', 'all'))", "name(key('attrs', 'all')[2])", "key('attrs', 'all')[last()]",
    "count(key('prefixed', 'all'))", "key('prefixed', 'all')",
    "count(key('root', 'all'))",
    "count(key('last', 'all'))", "key('last', 'all')[1]/../@id", "key('last', 'all')[2]/../@id",
    "count(key('has', 'all'))", "key('has', 'all')[last()]/@id",
    "count(key('second', 'all'))", "key('second', 'all')/@id",
    "count(key('final', 'all'))", "name(key('final', 'all')[1])", "name(key('final', 'all')[last()])",
    "count(key('attrPick', 'all'))", "key('attrPick', 'all')[1]",
    "count(key('earlier', 'all'))", "key('earlier', 'all')[last()]",
    "count(key('union', 'all'))", "name(key('union', 'all')[1])", "name(key('union', 'all')[last()])",
};

TEST_F(KeyTableTest, MatchPatternsOfEveryShapeAgreeWithXsltproc) {
  if (!ktresulttree::HaveTool("xsltproc")) GTEST_SKIP() << "xsltproc is not installed";
  ExpectXsltprocValues(kPatternDeclarations, kSource, kPatternCases);
}

// Definitions whose nodes the index finds without an evaluation file
// their nodes in two passes (counted, then placed in node-sets of their
// final size); they meet values filed by other definitions of the name
// before and after them, and a node with one value twice keeps it once.
constexpr const char* kFilingDeclarations =
    "<xsl:key name='mix' match='other' use='concat(@code, \"\")'/>"
    "<xsl:key name='mix' match='item' use='@cat'/>"
    "<xsl:key name='mixSet' match='ref' use='string(.)'/>"
    "<xsl:key name='mixSet' match='item' use='@cat'/>"
    "<xsl:key name='twice' match='item' use='@cat'/>"
    "<xsl:key name='twice' match='@cat' use='.'/>"
    "<xsl:key name='dup' match='item' use='tag'/>"
    "<xsl:key name='counted' match='other' use='@code'/>"
    "<xsl:key name='counted' match='ref' use='concat(., \"\")'/>"
    "<xsl:key name='counted' match='ref' use='.'/>";

constexpr const char* kFilingSource =
    "<doc>"
    "<item id='i1' cat='a'><tag>t1</tag><tag>t1</tag><tag>t2</tag></item>"
    "<item id='i2' cat='b'><tag>t2</tag></item>"
    "<item id='i3' cat='a'/>"
    "<other code='a' id='o1'/>"
    "<other code='b' id='o2'/>"
    "<group><ref>a</ref><ref>c</ref><ref>a</ref></group>"
    "</doc>";

const std::vector<std::string> kFilingCases = {
    "count(key('mix', 'a'))", "count(key('mix', 'a')[@id = 'o1'])", "count(key('mix', 'b'))",
    "count(key('mixSet', 'a'))", "count(key('mixSet', 'a')[self::ref])", "count(key('mixSet', 'c'))",
    "count(key('twice', 'a'))", "count(key('twice', 'a')[self::item])", "count(key('twice', 'b'))",
    "count(key('dup', 't1'))", "count(key('dup', 't2'))", "key('dup', 't2')[2]/@id",
    "count(key('counted', 'a'))", "count(key('counted', 'a')[self::other])", "count(key('counted', 'c'))",
    "count(key('counted', 'b'))",
};

TEST_F(KeyTableTest, DefinitionsFiledInTwoPassesAgreeWithXsltproc) {
  if (!ktresulttree::HaveTool("xsltproc")) GTEST_SKIP() << "xsltproc is not installed";
  ExpectXsltprocValues(kFilingDeclarations, kFilingSource, kFilingCases);
}

// The same nodes in document order, whichever definition filed them
// (xsltproc lists them definition by definition, so the answers are ours).
TEST_F(KeyTableTest, DefinitionsFiledInTwoPassesGiveDocumentOrder) {
  Prepare(kFilingDeclarations, kFilingSource);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"key('mix', 'a')[1]/@id", "i1"},          {"key('mix', 'a')[2]/@id", "i3"},
      {"key('mix', 'a')[last()]/@id", "o1"},     {"key('mix', 'b')[1]/@id", "i2"},
      {"key('mix', 'b')[2]/@id", "o2"},          {"key('mixSet', 'a')[2]/@id", "i3"},
      {"name(key('mixSet', 'a')[3])", "ref"},    {"name(key('twice', 'a')[2])", "cat"},
      {"key('twice', 'a')[3]/@id", "i3"},        {"name(key('counted', 'a')[1])", "other"},
      {"name(key('counted', 'a')[last()])", "ref"},
  };
  for (const auto& [expression, expected] : cases) EXPECT_EQ(Value(expression), expected) << expression;
}

// Names matched through namespaces the source spells in its own way: a
// default namespace, another prefix than the stylesheet's, a prefix declared
// on xsl:key itself. The index lets names by on their first character
// before the test; a source name whose prefix differs, or that has none
// though the pattern's has one, must still reach the test, with or without
// predicates on the last step.
constexpr const char* kNamespaceDeclarations =
    "<xsl:key name='dflt' match='q:a' use='\"all\"' xmlns:q='urn:d'/>"
    "<xsl:key name='dfltFirst' match='q:a[1]' use='\"all\"' xmlns:q='urn:d'/>"
    "<xsl:key name='dfltLast' match='q:q/q:a[last()]' use='\"all\"' xmlns:q='urn:d'/>"
    "<xsl:key name='dfltAny' match='q:*[2]' use='\"all\"' xmlns:q='urn:d'/>"
    "<xsl:key name='other' match='p:a[1]' use='\"all\"'/>"
    "<xsl:key name='otherPath' match='p:a/p:b[1]' use='\"all\"'/>"
    "<xsl:key name='mixed' match='p:a/b[1]' use='\"all\"'/>"
    "<xsl:key name='attr' match='@t:x[. = \"1\"]' use='\"all\"' xmlns:t='urn:at'/>"
    "<xsl:key name='attrFirst' match='a/@t:x[1]' use='\"all\"' xmlns:t='urn:at'/>";

constexpr const char* kNamespaceSource =
    "<r xmlns:z='urn:p' xmlns:y='urn:at'>"
    "<a y:x='1' x='2'><b>v1</b></a>"
    "<z:a y:x='1'><b>v2</b><z:b>v3</z:b></z:a>"
    "<q xmlns='urn:d'><a>v4</a><a>v5</a></q>"
    "<w xmlns='urn:p'><b>v6</b><a><b>v7</b></a></w>"
    "</r>";

const std::vector<std::string> kNamespaceCases = {
    "count(key('dflt', 'all'))", "key('dflt', 'all')[last()]",
    "count(key('dfltFirst', 'all'))", "key('dfltFirst', 'all')",
    "count(key('dfltLast', 'all'))", "key('dfltLast', 'all')",
    "count(key('dfltAny', 'all'))", "key('dfltAny', 'all')",
    "count(key('other', 'all'))", "key('other', 'all')[1]", "key('other', 'all')[2]",
    "count(key('otherPath', 'all'))", "key('otherPath', 'all')[1]", "key('otherPath', 'all')[2]",
    "count(key('mixed', 'all'))", "key('mixed', 'all')",
    "count(key('attr', 'all'))", "name(key('attr', 'all')[2]/..)",
    "count(key('attrFirst', 'all'))", "name(key('attrFirst', 'all')/..)",
};

TEST_F(KeyTableTest, NamesInTheSourcesOwnNamespaceSpellingAgreeWithXsltproc) {
  if (!ktresulttree::HaveTool("xsltproc")) GTEST_SKIP() << "xsltproc is not installed";
  ExpectXsltprocValues(kNamespaceDeclarations, kNamespaceSource, kNamespaceCases);
}

TEST_F(KeyTableTest, TheCompilerLinksDefinitionsToOneTablePerName) {
  Prepare(kDeclarations, kSource);
  KTKeyTable* any = processor_.FindKeyTable(KTString(u"any"));
  ASSERT_NE(any, nullptr);
  EXPECT_EQ(any->DefinitionCount(), 2);
  ASSERT_NE(processor_.FindKeyTable(KTString(u"urn:p:ns")), nullptr);
  EXPECT_EQ(processor_.FindKeyTable(KTString(u"ns")), nullptr);
  int linked = 0;
  for (const auto& [node, record] : processor_.Compiler().DeclarationRecords()) {
    if (record->elementId != kXSLTKey) continue;
    EXPECT_NE(static_cast<const KTDeclKey*>(record)->keyTable, nullptr);
    ++linked;
  }
  EXPECT_EQ(linked, 8);
  // The index is built on the first lookup in a document, once.
  EXPECT_FALSE(any->IsIndexed(source_.view.get()));
  EXPECT_EQ(Value("count(key('any', 'a'))"), "3");
  EXPECT_TRUE(any->IsIndexed(source_.view.get()));
  EXPECT_FALSE(processor_.FindKeyTable(KTString(u"cat"))->IsIndexed(source_.view.get()));
}

TEST_F(KeyTableTest, KeyErrors) {
  Prepare(kDeclarations + std::string("<xsl:key name='self' match='item' use=\"key('cat', 'a')\"/>"), kSource);
  // No key of that name: XPath error 7.
  KTXSLTError unknown = Error("key('nothing', 'a')");
  EXPECT_EQ(unknown.GetCode(), KTXSLTError::kXPathError);
  EXPECT_EQ(unknown.GetXPathErrorKind(), 7);
  // key() inside a key definition.
  KTXSLTError inner = Error("key('self', 'a')");
  EXPECT_EQ(inner.GetCode(), KTXSLTError::kXPathError);
  EXPECT_EQ(inner.GetXPathErrorKind(), 17);
  // A match or use that does not compile, or a match outside the pattern
  // grammar (XSLT 1.0 §12.2: match is a Pattern), is reported for its
  // xsl:key when the stylesheet is compiled, before any lookup.
  const struct {
    const char* key;
    int code;
  } refused[] = {
      {"<xsl:key name='bad' match='item[' use='.'/>", KTXSLTError::kInvalidXPathExpression},
      {"<xsl:key name='bad' match='item' use='1 +'/>", KTXSLTError::kInvalidXPathExpression},
      {"<xsl:key name='bad' match='namespace::*' use='.'/>", KTXSLTError::kXPathError},
      {"<xsl:key name='bad' match='(item)' use='.'/>", KTXSLTError::kInvalidXPathExpression},
      {"<xsl:key name='bad' match='item' use='$v'/>", KTXSLTError::kVariablesInPattern},
  };
  for (const auto& r : refused) {
    try {
      Prepare(kDeclarations + std::string(r.key), kSource);
      ADD_FAILURE() << "no error for " << r.key;
    } catch (const KTXSLTError& error) {
      EXPECT_EQ(error.GetCode(), r.code) << r.key;
      ASSERT_NE(error.GetNode(), nullptr);
      EXPECT_EQ(U8(error.GetNode()->GetName()), "xsl:key") << r.key;
    }
  }
}

TEST_F(KeyTableTest, ALookupDoesNotScanTheIndex) {
  // 20,000 items with distinct short values and 100 with long ones: every
  // lookup is answered from the hash of values. A value of one node is
  // answered from its entry; a value of several nodes shares the index's
  // node-set with the results.
  std::string source = "<doc>";
  for (int i = 0; i < 20000; ++i) source += "<item cat='v" + std::to_string(i) + "'/>";
  for (int i = 0; i < 100; ++i) source += "<item cat='a value longer than any kept inline, " + std::to_string(i) + "'/>";
  source += "<other code='v7'/></doc>";
  Prepare(kDeclarations, source);
  EXPECT_EQ(Value("count(key('cat', 'v19999'))"), "1");
  // Every value finds its own node and no other, however the hashes fall.
  EXPECT_EQ(Value("count(//item[count(key('cat', @cat)) = 1 and generate-id(key('cat', @cat)) = generate-id()])"),
            "20100");
  EXPECT_EQ(Value("count(key('cat', 'v20000'))"), "0");
  EXPECT_EQ(Value("count(key('cat', 'a value longer than any kept inline, 1'))"), "1");
  EXPECT_EQ(Value("count(key('cat', 'a value longer than any kept inline, '))"), "0");
  KTXPathValue value = KTXPathValue::String(KTString(u"v7"));
  KTXPathValue one = processor_.FindKeyTable(KTString(u"cat"))->Lookup(value, KTXPathNodeItem(source_.view.get()));
  ASSERT_EQ(one.ItemCount(), 1);
  EXPECT_EQ(one.Items()[0].GetPosition(), 1);
  EXPECT_EQ(Value("count(key('any', 'v7'))"), "2");
  KTKeyTable* table = processor_.FindKeyTable(KTString(u"any"));
  KTXPathValue first = table->Lookup(value, KTXPathNodeItem(source_.view.get()));
  KTXPathValue second = table->Lookup(value, KTXPathNodeItem(source_.view.get()));
  ASSERT_EQ(first.ItemCount(), 2);
  EXPECT_EQ(&first.Items(), &second.Items());
}

TEST_F(KeyTableTest, GroupingByTheFirstNodeOfEachKeyGrowsLinearly) {
  // The grouping idiom item[generate-id() = generate-id(key('cat', @cat)[1])]
  // over two groups: a key's node-set is known to be in order and "[1]"
  // takes its first node, so an item costs the same however large its
  // group is (checking the group's order or running the predicate for
  // every node of it made this quadratic).
  auto source = [](int count) {
    std::string text = "<doc>";
    for (int i = 0; i < count; ++i) text += "<item cat='g" + std::to_string(i % 2) + "'/>";
    return text + "</doc>";
  };
  const std::string small = source(1000);
  const std::string large = source(8000);
  std::string counted;
  std::string withoutPredicate;
  std::string lastOfGroup;
  // The steps counted are the candidates of each predicate run and the
  // node-sets read for their order: at least one run per item and query.
  EXPECT_TRUE(GrowsLinearly(
      [&](int scale) {
        Prepare(kDeclarations, scale == 1 ? small : large);
        counted = Value("count(//item[generate-id() = generate-id(key('cat', @cat)[1])])");
        // generate-id() of the whole set takes its first node as well, and
        // [last()] the last node.
        withoutPredicate = Value("count(//item[generate-id() = generate-id(key('cat', @cat))])");
        lastOfGroup = Value("count(//item[generate-id() = generate-id(key('cat', @cat)[last()])])");
      },
      3 * 1000));
  EXPECT_EQ(counted, "2");
  EXPECT_EQ(withoutPredicate, "2");
  EXPECT_EQ(lastOfGroup, "2");
}

TEST_F(KeyTableTest, KeyLooksInTheContextNodesDocument) {
  processor_.AddDocument(u"file:///l.xml", u"<l><e r='a' id='l1'/><e r='q' id='l2'/><item cat='a' id='l3'/></l>");
  Prepare(kDeclarations, kSource);
  // Inside the predicate the context node is an e of l.xml: key() looks in
  // l.xml's own index, where one item has cat 'a'.
  EXPECT_EQ(Value("count(document('file:///l.xml')//e[key('cat', @r)])"), "1");
  EXPECT_EQ(Value("document('file:///l.xml')//e[key('cat', @r)]/@id"), "l1");
  EXPECT_EQ(Value("count(document('file:///l.xml')//e[key('cat', @r)/@id = 'l3'])"), "1");
  // The source's index is a different one.
  EXPECT_EQ(Value("count(key('cat', 'a'))"), "2");
  KTKeyTable* table = processor_.FindKeyTable(KTString(u"cat"));
  EXPECT_TRUE(table->IsIndexed(source_.view.get()));
}

const std::vector<std::string> kFormatCases = {
    "format-number(1234567.891, '#,##0.00')",
    "format-number(1234567.891, '#,##0.###')",
    "format-number(1234567.891, '#.##0,00', 'eu')",
    "format-number(-1234.5, '#.##0,0', 'eu')",
    "format-number(0.0012, '0.0000')",
    "format-number(0.25, '#%')",
    "format-number(0.25, '#%;(#)')",
    "format-number(-3, '0;(0)')",
    "format-number(-3, '0')",
    "format-number(1 div 0, '0')",
    "format-number(-1 div 0, '0')",
    "format-number(number('x'), '[0]')",
    "format-number(0.125, '0.00')",
    "format-number(2.5, '0')",
    "format-number(-2.5, '0')",
    "format-number(1.005, '0.00')",
    "format-number(12, '000')",
    "format-number(1234, '#,###')",
    "format-number(123456789, '#,####')",
    "format-number(0.000001, '0.######')",
    "format-number(42, \"'#' 0\")",
    "format-number(42, \"'It''s' 0\")",
    "format-number(7, '$0.00 each')",
    "format-number(0.5, '0.0\u2030')",
    "format-number(1 div 0, '0', 'odd')",
    "format-number(number('x'), '0', 'odd')",
    "format-number(-5, 'x0', 'odd')",
    "format-number(0.5, '0p', 'odd')",
    "format-number(0.5, '0m', 'odd')",
    "format-number(-5, '0!<0>', 'odd')",
    "format-number(9.995, '0.00')",
    "format-number(99999.5, '#,##0')",
    // Where the integer and fraction digits meet: without a '0' the '#'
    // beside the separator stands for one; a lone separator still shows.
    "format-number(0.5, '#.0')",
    "format-number(0.5, '#.#')",
    "format-number(0, '.#')",
    "format-number(1, '.##')",
    "format-number(0.5, '.')",
    "format-number(0, '#.')",
    "format-number(12.25, '0.')",
    "format-number(0.04, '#.#')",
    "format-number(-0.04, '#')",
    // Patterns without digits, or without anything.
    "format-number(-1234.5, '')",
    "format-number(0, 'abc')",
    "format-number(0.5, 'abc%')",
    // The negative sub-pattern gives prefix, suffix and multiplier only.
    "format-number(-77777.77777, '####000,00.##;000.00000')",
    "format-number(-6123.03, '##,##00,000.##;-000000000.0')",
    "format-number(-1234.567, '#.##;#.0')",
    "format-number(-0.5, '#;x%')",
    "format-number(-1.2345, '#%;#\u2030')",
    "format-number(-3, '#;-#-')",
    "format-number(-3, '##0;')",
    "format-number(-1 div 0, '#;(#)')",
    "format-number(-1234.5, '#,##0.00;(0)')",
    "format-number(5, '0.')",
    // A decimal separator equal to the grouping separator is the decimal one.
    "format-number(123, '0,00', 'comma')",
};

TEST_F(KeyTableTest, FormatNumberAgreesWithXsltproc) {
  if (!ktresulttree::HaveTool("xsltproc")) GTEST_SKIP() << "xsltproc is not installed";
  ExpectXsltprocValues(kDeclarations, kSource, kFormatCases);
}

TEST_F(KeyTableTest, FormatNumberAnswersOfOurOwn) {
  Prepare(kDeclarations, kSource);
  // Buffers grow: all 301 digits of 1e300.
  std::string big = Value("format-number(number('1" + std::string(300, '0') + "'), '#')");
  EXPECT_EQ(big.size(), 301u);
  EXPECT_EQ(big.substr(0, 4), "1000") << big;
  // A predicate on key()'s result counts in document order (XPath 1.0
  // §3.3); xsltproc keeps the order of the values (i2).
  EXPECT_EQ(Value("key('cat', //ref)[3]/@id"), "i3");
  // The multiplier is the positive sub-pattern's.
  EXPECT_EQ(Value("format-number(-0.25, '#%;(#)')"), "(25)");
  // XSLT 1.0 §12.3 reads patterns as JDK 1.1 DecimalFormat does, whose
  // documentation says of the quote: "Used to quote special characters in a
  // prefix or suffix, for example, "'#'#" formats 123 to "#123". To create a
  // single quote itself, use two in a row". xsltproc keeps the character
  // after a closing quote as text ('#'#0 gives ##5) and reads the rest of
  // "'No. '0" as digits.
  const struct {
    const char* expression;
    const char* expected;
  } quoted[] = {
      {"format-number(5, \"'#'#0\")", "#5"},
      {"format-number(7, \"'#'0\")", "#7"},
      {"format-number(5, \"'No. '0\")", "No. 5"},
      {"format-number(5, \"0' %'\")", "5 %"},  // a quoted percent sets no multiplier
      {"format-number(5, \"# o''clock\")", "5 o'clock"},
      {"format-number(-5, \"0;'('0''')'\")", "(5')"},
  };
  for (const auto& q : quoted) EXPECT_EQ(Value(q.expression), q.expected) << q.expression;
  // A number that the percent or per-mille scaling takes past the largest
  // double is infinite: JDK 1.1 DecimalFormat writes the infinity symbol
  // between the prefix and suffix (xsltproc writes hundreds of digits).
  const std::string huge = "17" + std::string(307, '0');
  const struct {
    std::string expression;
    const char* expected;
  } scaled[] = {
      {"format-number(" + huge + ", '#%')", "Infinity%"},
      {"format-number(-" + huge + ", '0\u2030')", "-Infinity\u2030"},
      {"format-number(-" + huge + ", '[#%];(#)')", "(Infinity)"},
      {"format-number(" + huge + ", '<0p>', 'odd')", "<infp>"},
      {"format-number(" + huge + ", '\u0660%', 'arabic')", "Infinity%"},
  };
  for (const auto& s : scaled) EXPECT_EQ(Value(s.expression), s.expected) << s.expression;
  // XSLT 1.0 §12.3: "zero-digit specifies the character used for the digit
  // zero", so the digits are that character and the nine after it
  // (xsltproc writes bytes of their UTF-8 form as characters).
  EXPECT_EQ(Value("format-number(1234.5, '#,##\u0660.\u0660', 'arabic')"), "\u0661,\u0662\u0663\u0664.\u0665");
  const struct {
    const char* expression;
    int kind;
  } errors[] = {
      {"format-number(1, '#,##0,')", 14},  // grouping separator last
      {"format-number(1, '0;0;0')", 14},
      {"format-number(1, '0#')", 14},      // '#' after '0' in the integer part
      {"format-number(1, '0.0#0')", 14},   // '0' after '#' in the fraction
      {"format-number(1, '%0%')", 14},     // two multipliers
      {"format-number(1, \"0'\")", 14},    // a quote with nothing after it
      {"format-number(1, \"'0\")", 14},    // a quote left open
      {"format-number(1, '0', 'nothing')", 13},
  };
  for (const auto& e : errors) {
    KTXSLTError error = Error(e.expression);
    EXPECT_EQ(error.GetCode(), KTXSLTError::kXPathError) << e.expression;
    EXPECT_EQ(error.GetXPathErrorKind(), e.kind) << e.expression;
  }
}

TEST_F(KeyTableTest, DecimalFormatRedeclarations) {
  // Equal declarations of one name, and one unnamed format replacing the
  // built-in default, are accepted.
  Prepare(
      "<xsl:decimal-format name='d' NaN='nan'/><xsl:decimal-format name='d' NaN='nan'/>"
      "<xsl:decimal-format decimal-separator=',' grouping-separator='.'/>",
      "<doc/>");
  EXPECT_EQ(Value("format-number(number('x'), '0', 'd')"), "nan");
  EXPECT_EQ(Value("format-number(1.5, '0,0')"), "1,5");
  {
    // Another processor started and ended meanwhile: this one still
    // serves its own expressions.
    KTTestProcessor other;
    other.SetTreeContext(&context_);
    KTTestDocument style = ParseTestDocument(context_, KTUtf8ToUtf16(Stylesheet("")).c_str());
    KTTestDocument input = ParseTestDocument(context_, u"<doc/>");
    other.Prepare(style.view.get(), input.view.get());
  }
  EXPECT_EQ(Value("format-number(number('x'), '0', 'd')"), "nan");
  const char* refused[] = {
      "<xsl:decimal-format name='d' NaN='nan'/><xsl:decimal-format name='d' NaN='other'/>",
      "<xsl:decimal-format digit='x'/><xsl:decimal-format digit='y'/>",
  };
  for (const char* body : refused) {
    KTTestProcessor processor;
    processor.SetTreeContext(&context_);
    std::u16string style = KTUtf8ToUtf16(Stylesheet(body));
    KTTestDocument stylesheet = ParseTestDocument(context_, style.c_str());
    KTTestDocument source = ParseTestDocument(context_, u"<doc/>");
    try {
      processor.Prepare(stylesheet.view.get(), source.view.get());
      ADD_FAILURE() << "accepted: " << body;
    } catch (KTXSLTError& e) {
      EXPECT_EQ(e.GetCode(), 4) << body;
      EXPECT_EQ(U8(e.GetMessage()), "A decimal format with this name has already been defined") << body;
    }
  }
}

}  // namespace
