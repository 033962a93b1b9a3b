// A processor for the tests: documents come from texts registered by URL,
// parsed on first request and kept; each load is counted.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "ktxslttest_util.h"
#include "xml/ktschemaservices.h"
#include "xslt/ktxsltprocessor.h"

class KTTestProcessor : public KTXSLTProcessor {
 public:
  void AddDocument(const std::u16string& url, const std::u16string& text) { texts_[url] = text; }
  int Loads() const { return loads_; }

  KTXNode* LoadDocument(const char16_t* url) override {
    auto kept = trees_.find(url);
    if (kept != trees_.end()) return kept->second.get();
    auto text = texts_.find(url);
    if (text == texts_.end()) return nullptr;
    ++loads_;
    KTParserDriver driver;
    if (!driver.Init(StandardGrammars().FindGrammar(KTGrammarCache::kXml), true, true, true)) return nullptr;
    std::unique_ptr<KTXNode> tree = CreateXNode(kXmlDocument);
    KTLoadStatus status;
    if (!driver.Parse(text->second.c_str(), static_cast<int>(text->second.size()), status, tree.get(), nullptr, true))
      return nullptr;
    KTXNode* raw = tree.get();
    trees_[url] = std::move(tree);
    return raw;
  }

  std::unique_ptr<KTSchemaServices> NewSchemaModel() override { return nullptr; }

 private:
  std::map<std::u16string, std::u16string> texts_;
  std::map<std::u16string, std::unique_ptr<KTXNode>> trees_;
  int loads_ = 0;
};

// A stylesheet wrapped in the XSLT 1.0 stylesheet element.
inline std::u16string TestStylesheet(const std::u16string& body) {
  return u"<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>" + body +
         u"</xsl:stylesheet>";
}

// A processor over a stylesheet and a one-element source, prepared and
// stepped once: the step in which the stylesheet element resolves and
// compiles its includes.
class KTFirstStepTest : public ::testing::Test {
 protected:
  void SetUp() override { processor_.SetTreeContext(&context_); }

  void Run(const std::u16string& stylesheet, const char16_t* uri) {
    stylesheet_ = ParseTestDocument(context_, stylesheet.c_str(), uri);
    source_ = ParseTestDocument(context_, u"<doc/>");
    ASSERT_TRUE(stylesheet_.view && source_.view);
    processor_.Prepare(stylesheet_.view.get(), source_.view.get());
    processor_.Step();
  }

  KTXPathTreeContext context_;
  KTTestProcessor processor_;
  KTTestDocument stylesheet_;
  KTTestDocument source_;
};
