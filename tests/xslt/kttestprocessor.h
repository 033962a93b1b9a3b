// A processor for the tests: documents come from texts registered by URL,
// parsed on first request and kept; each load is counted.
#pragma once

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
