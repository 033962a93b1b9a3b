// "//" followed by a step with predicates (a predicate that counts positions
// selects per parent, one that does not may test every descendant in one
// set), and name tests over the names of a loaded document, prefixed or not.
// Answers are compared with xsltproc's, computed when the test runs.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ktloadtest_util.h"
#include "ktxpathtest_util.h"
#include "ktxpathxsltproc_util.h"
#include "xml/ktdocloader.h"
#include "xml/ktxpathtreecontext.h"
#include "xpath/ktxpathexpression.h"

namespace {

// Loads the source, evaluates each expression at its root with the given
// prefixes bound and expects xsltproc's value-of of it ("error" where ours
// fails); the folder goes afterwards. Skips when xsltproc is missing.
void ExpectXsltprocAnswers(const std::vector<std::string>& expressions, const std::filesystem::path& folder,
                           const std::string& source, const std::string& namespaces,
                           const std::vector<std::pair<std::u16string, std::u16string>>& bindings) {
  const std::vector<std::string> reference = XsltprocValues(expressions, source, namespaces);
  if (reference.empty()) {
    std::filesystem::remove_all(folder);
    GTEST_SKIP() << "xsltproc is not available";
  }
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  KTLoadStatus status;
  const std::u16string path = KTUtf8ToUtf16(source);
  std::unique_ptr<KTXNode> document(loader.LoadFromUrl(path.c_str(), status));
  ASSERT_TRUE(document) << StatusMessage(status);
  KTXPathTreeContext context;
  std::unique_ptr<KTXPathNode> view = context.WrapTree(document.get(), nullptr, false, path.c_str());
  KTPrefixMap prefixes;
  for (const auto& [prefix, uri] : bindings)
    prefixes[KTString(prefix.c_str())] = context.InternUri(uri.c_str());
  for (size_t i = 0; i < expressions.size(); ++i) {
    KTXPathExpression expression;
    expression.Init(&prefixes, &context.GetUriTable(), KTString(KTUtf8ToUtf16(expressions[i]).c_str()), 0);
    ASSERT_TRUE(expression.Compile(true, KTXPathExpression::kModeExpr)) << expressions[i];
    KTXPathValue value;
    std::string answer = "error";
    if (expression.Evaluate(view.get(), view.get(), &value, nullptr, 1, 1, true)) {
      KTString text;
      answer = U8(value.ToString(&text));
    }
    EXPECT_EQ(answer, reference[i]) << expressions[i];
  }
  std::filesystem::remove_all(folder);
}

TEST(DescendantStepPredicates, AgreeWithXsltproc) {
  const auto folder = std::filesystem::temp_directory_path() / ("ktxpathdescendant_" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const std::string source = (folder / "nested.xml").string();
  // x elements at several depths, several under one parent, some nested in
  // other x elements, with and without attributes a and b.
  std::ofstream(source) << "<r><x n='1' a='p'><y/><x n='2' b='1'><y/><y/></x><x n='3' a='q' k='2'/></x>"
                           "<s><x n='4' k='1'/><x n='5' a='p' b='2'><x n='6' a='p'/></x><x n='7' a='q' k='3'/></s>"
                           "<x n='8'><s><x n='9' b='3' a='p'><y/></x></s></x></r>";
  const std::vector<std::string> expressions = {
      // Tests of the node alone: any grouping gives the same nodes.
      "sum(//x[@a]/@n)",
      "sum(//x[@a = 'p'][@b]/@n)",
      "sum(//*[@a = 'q']/@n)",
      "sum(//x[not(@a)]/@n)",
      "sum(//x[@a | @b]/@n)",
      "sum(//x[@n > 4 and @n < 9]/@n)",
      "sum(//x[starts-with(@a, 'p')]/@n)",
      "sum(//x[.//y]/@n)",
      "sum(//x[y[2]]/@n)",
      "sum(//x[../x[2] = .]/@n)",
      "sum(/r//x[@a]//x[@b]/@n)",
      "sum(//x//x[not(@b)]/@n)",
      "sum(//s//x[@a]/@n)",
      "count(//r[.//x[@a = 'q']])",
      "count(//x[x[@b]])",
      "//x[@b][2]/@n",
      // Positions count per parent: the one pass must not take these.
      "sum(//x[1]/@n)",
      "sum(//x[@a][1]/@n)",
      "sum(//x[not(@b)][2]/@n)",
      "sum(//x[position() = 2]/@n)",
      "sum(//x[last()]/@n)",
      "sum(//x[@a and position() = 1]/@n)",
      "sum(//x[boolean(@a)][last()]/@n)",
      // Number values select by position, whatever they are made of.
      "sum(//x[count(../x)]/@n)",
      "sum(//x[number(@k)]/@n)",
      "sum(//x[@k - 1]/@n)",
      "sum(//x[(@k)]/@n)",
  };
  ExpectXsltprocAnswers(expressions, folder, source, "", {});
}

// A child step over a long child list whose predicates keep a node by the
// node alone walks the children a window at a time: the nodes kept, their
// order and an existence test's first node must not change at the window
// edges, and steps whose predicates count positions, or that walk another
// axis from such a parent, take the whole list.
TEST(ChildStepWindows, AgreeWithXsltproc) {
  const auto folder = std::filesystem::temp_directory_path() / ("ktxpathwindows_" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const std::string source = (folder / "long.xml").string();
  {
    std::ofstream out(source);
    out << "<r k='1' j='2'>";
    for (int n = 1; n <= 2600; ++n) {
      out << "<x n='" << n << "'" << (n % 3 == 0 ? " a='p'" : "") << "/>";
      if (n % 7 == 0) out << "<y n='" << n << "'>t</y>";
    }
    out << "</r>";
  }
  const std::vector<std::string> expressions = {
      "count(/r/x[@a])",
      "sum(/r/x[@n > 1020 and @n < 1030]/@n)",
      "sum(/r/*[@n >= 1023 and @n <= 1026]/@n)",
      "count(/r/x[@a = 'p'][@n > 2000])",
      "/r/x[@n > 1023]/@n",
      "sum(/r/node()[self::y][@n > 2040 and @n < 2060]/@n)",
      "count(/r/text())",
      "boolean(/r/x[@n = 2600])",
      "count(/r[x[@n = 2048]])",
      "count(/r[y[@n = 1029]])",
      "sum(/r/x[following-sibling::*[1][self::y]][@n > 1000 and @n < 1100]/@n)",
      "(/r/x[@n > 1022])[3]/@n",
      "count(/r/x[../x[@n = 5]])",
      "count(/r/@*[. != ''])",
      // Positions and sizes: the whole list, never a window.
      "sum(/r/x[position() = 1025]/@n)",
      "/r/x[@n > 1500][last()]/@n",
      "/r/x[@a][342]/@n",
      "/r/x[@n > 1023][1]/@n",
  };
  ExpectXsltprocAnswers(expressions, folder, source, "", {});
}

// A union is in document order whichever way its operands come: operands
// already in order skip the sort, operands out of order or interleaved must
// still be sorted, and a node in both is kept once.
TEST(UnionOrder, AgreeWithXsltproc) {
  const auto folder = std::filesystem::temp_directory_path() / ("ktxpathunion_" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const std::string source = (folder / "union.xml").string();
  std::ofstream(source) << "<r><x n='1' a='p' b='q'/><s><x n='2' b='r'/><x n='3'/></s><x n='4' a='s'/></r>";
  const std::vector<std::string> expressions = {
      "(//x[@n = 1] | //x[@n = 3])[1]/@n",
      "(//x[@n = 3] | //x[@n = 1])[1]/@n",
      "(//x[@n = 4] | //x[@n = 2])[2]/@n",
      "(//x[@n > 2] | //x[@n < 3])[2]/@n",
      "(//x[@n > 2] | //x[@n < 3])[last()]/@n",
      "(//x[@n = 2] | //s | //x[@n = 1])[2]/@n",
      "name((//x[@n = 2] | //s | //x[@n = 1])[2])",
      "count(//x | //x[@a] | //s/x)",
      "(//x[@a | @b][2])/@n",
      "(//x/@b | //x/@a)[1]",
      "(//x/@b | //x/@a)[2]",
      "(//x/@b | //x/@a)[last()]",
      "(//x[1]/@b | //x[1]/@a)[1]",
  };
  ExpectXsltprocAnswers(expressions, folder, source, "", {});
}

TEST(LoadedNameTests, AgreeWithXsltproc) {
  const auto folder = std::filesystem::temp_directory_path() / ("ktxpathnames_" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const std::string source = (folder / "names.xml").string();
  // Local names that are the tails, heads or prefixes of others, in and out
  // of a namespace written with two prefixes.
  std::ofstream(source) << "<r xmlns:p='urn:u' xmlns:pp='urn:u'><x n='1' a='1' p:a='2' pa='4'/><p:x n='2' xa='8'/>"
                           "<pp:xx n='4' p:xa='16'/><xx n='8'/><p:px n='16'/><ax n='32' p:pa='64'/></r>";
  const std::vector<std::string> expressions = {
      "sum(//x/@n)",        "sum(//q:x/@n)",      "sum(//q:xx/@n)",     "sum(//xx/@n)",
      "sum(//q:px/@n)",     "sum(//px/@n)",       "sum(//*/@a)",        "sum(//*/@q:a)",
      "sum(//*/@xa)",       "sum(//*/@q:xa)",     "sum(//*/@q:pa)",     "sum(//*/@pa)",
      "count(//q:*)",       "count(//*[self::x or self::q:x])",
  };
  ExpectXsltprocAnswers(expressions, folder, source, " xmlns:q='urn:u'", {{u"q", u"urn:u"}});
}

}  // namespace

namespace {

// Loads the file and evaluates each compiled expression at its root; the
// string values, or "error".
std::vector<std::string> AnswersOver(const std::string& source, std::vector<KTXPathExpression>& expressions) {
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  KTLoadStatus status;
  const std::u16string path = KTUtf8ToUtf16(source);
  std::unique_ptr<KTXNode> document(loader.LoadFromUrl(path.c_str(), status));
  EXPECT_TRUE(document) << StatusMessage(status);
  if (!document)
    return {};
  KTXPathTreeContext context;
  std::unique_ptr<KTXPathNode> view = context.WrapTree(document.get(), nullptr, false, path.c_str());
  std::vector<std::string> answers;
  for (KTXPathExpression& expression : expressions) {
    KTXPathValue value;
    std::string answer = "error";
    if (expression.Evaluate(view.get(), view.get(), &value, nullptr, 1, 1, true)) {
      KTString text;
      answer = U8(value.ToString(&text));
    }
    answers.push_back(answer);
  }
  return answers;
}

// A name test answers from the interned names of a loaded document: the
// same compiled tests run over one document of many names (some of the
// test's length, some prefixed with the test's name as local part), then
// over a second one loaded after the first is gone, whose names are
// interned anew and must be told apart from the test's own as well.
TEST(LoadedNameTests, OneTestOverManyNamesAndDocuments) {
  const auto folder = std::filesystem::temp_directory_path() / ("ktxpathknown_" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const std::string first = (folder / "first.xml").string();
  const std::string second = (folder / "second.xml").string();
  std::string many;
  for (int i = 0; i < 40; ++i) {
    many += "<n" + std::to_string(i) + "><title/></n" + std::to_string(i) + ">";
    many += "<tit" + std::to_string(i % 10) + "e/>";
  }
  std::ofstream(first) << "<r xmlns:a='urn:a'><title/><a:title/><titles/><xtitle/><b:title xmlns:b='urn:b'/>"
                       << many << "<a:title/><title/></r>";
  std::ofstream(second) << "<r xmlns:a='urn:a'><other/><titla/><a:titlf/><abcde/><title/><n100/><n101><title/></n101>"
                        << "<z1/><z2/><z3/><z4/><z5/><z6/><z7/><z8/><z9/></r>";
  const std::vector<std::string> texts = {
      "count(//title)", "count(//*[self::title])", "count(//*[not(self::title)])", "count(//n5 | //z5)",
      "count(//*[starts-with(name(), 'tit')][not(self::title)])",
  };
  std::vector<KTXPathExpression> expressions(texts.size());
  KTPrefixMap prefixes;
  const KTXPathExpression::UriList uris;
  for (size_t i = 0; i < texts.size(); ++i) {
    expressions[i].Init(&prefixes, &uris, KTString(KTUtf8ToUtf16(texts[i]).c_str()), 0);
    ASSERT_TRUE(expressions[i].Compile(true, KTXPathExpression::kModeExpr)) << texts[i];
  }
  for (const std::string& source : {first, second}) {
    const std::vector<std::string> reference = XsltprocValues(texts, source);
    if (reference.empty()) {
      std::filesystem::remove_all(folder);
      GTEST_SKIP() << "xsltproc is not available";
    }
    const std::vector<std::string> answers = AnswersOver(source, expressions);
    ASSERT_EQ(answers.size(), reference.size());
    for (size_t i = 0; i < texts.size(); ++i)
      EXPECT_EQ(answers[i], reference[i]) << texts[i] << " over " << source;
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
