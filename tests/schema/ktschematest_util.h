// Documents loaded or parsed through a document manager and wrapped with a
// schema model the way a run does it, and their XPath view written as a
// short outline, for the schema tests.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ktloadtest_util.h"
#include "platform/ktutf8.h"
#include "platform/ktwchar.h"
#include "schema/ktschemamodel.h"
#include "xml/ktdocmanager.h"
#include "xml/ktdocsource.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktparserdriver.h"
#include "xml/ktxnode.h"
#include "xml/ktxpathnode.h"
#include "xml/ktxpathtreecontext.h"

namespace {

const std::string kData = OST_TEST_DATA "/schema/";

std::string U8(const char16_t* s) { return KTUtf16ToUtf8(s); }

// One document loaded, modelled and wrapped the way a run does it.
struct Wrapped {
  KTDocumentManager manager{&StandardGrammars(), nullptr};
  std::unique_ptr<KTSchemaModel> model;
  KTXPathTreeContext context;
  std::unique_ptr<KTXPathNode> view;
  KTXNode* document = nullptr;
  FILE* warnings = nullptr;  // the model's warning line; none by default

  bool FromText(const char16_t* text) {
    auto doc = CreateXNode(kXmlDocument);
    KTParserDriver driver;
    KTLoadStatus status;
    if (!driver.Init(StandardGrammars().FindGrammar(KTGrammarCache::kXml), false, true, true) ||
        !driver.Parse(text, KTStrLen(text), status, doc.get(), nullptr, true)) {
      ADD_FAILURE() << StatusMessage(status);
      return false;
    }
    document = manager.AddNewRecord(nullptr, std::move(doc), u"\n", KTGrammarCache::kXml)->GetDocument();
    return Wrap();
  }
  bool FromFile(const std::string& path) {
    KTLoadStatus status;
    document = manager.LoadDocument(KTString(std::u16string_view(KTUtf8ToUtf16(path))), status, nullptr, nullptr,
                                    nullptr, kNoGrammarId);
    if (!document) {
      ADD_FAILURE() << path << ": " << StatusMessage(status);
      return false;
    }
    return Wrap();
  }
  bool Wrap() {
    model = std::make_unique<KTSchemaModel>(&manager);
    model->SetWarningStream(warnings);
    view = context.WrapTree(document, model.get(), true, nullptr);
    return view != nullptr;
  }
  KTXPathNode* Root() const {
    for (int i = 0; i < view->GetChildCount(); ++i) {
      if (view->GetChild(i)->GetKind() == kXPathElement) return view->GetChild(i);
    }
    return nullptr;
  }
};

// Elements, then text of the view in document order, as "name[text]".
std::string Outline(const KTXPathNode* n) {
  std::string out;
  for (int i = 0; i < n->GetChildCount(); ++i) {
    const KTXPathNode* c = n->GetChild(i);
    if (c->GetKind() == kXPathElement) out.append(U8(c->GetName())).append("(").append(Outline(c)).append(")");
    if (c->GetKind() == kXPathText) out.append("[").append(U8(c->GetValue())).append("]");
    if (c->GetKind() == kXPathAttribute) {
      out.append("@").append(U8(c->GetName())).append("=").append(U8(c->GetValue())).append(" ");
    }
  }
  return out;
}

// A directory of this process's own under the test temporary folder (made
// on first use, removed at exit), so that overlapping test runs never write
// the same files.
inline std::filesystem::path OwnTempDir() {
  struct Owned {
    std::filesystem::path path;
    Owned() {
      std::string pattern = (std::filesystem::path(testing::TempDir()) / "schematest-XXXXXX").string();
      std::vector<char> buffer(pattern.begin(), pattern.end());
      buffer.push_back('\0');
      if (const char* made = mkdtemp(buffer.data())) path = made;
    }
    ~Owned() {
      std::error_code ignored;
      if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
  };
  static const Owned dir;
  if (dir.path.empty()) ADD_FAILURE() << "no temporary directory could be made";
  return dir.path;
}

}  // namespace
