// Schema documents given as text or files, loaded by the XML Schema loader
// into a model, for the tests of src/schema/xsd.
#pragma once

#include <initializer_list>
#include <string>

#include "ktschematest_util.h"
#include <cstdio>

namespace {

const std::string kXsdData = OST_TEST_DATA "/schema/xsd/";
constexpr const char16_t* kXsdNs = u"http://www.w3.org/2001/XMLSchema";

// A schema document: the body inside an xs:schema element with the given
// extra attributes.
std::u16string Xsd(const std::u16string& body, const std::u16string& attributes = u"") {
  return u"<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" " + attributes + u">" + body + u"</xs:schema>";
}

// Schema documents parsed from text and loaded as the roots of one load.
struct LoadedSchema {
  KTDocumentManager manager{&StandardGrammars(), nullptr};
  std::unique_ptr<KTSchemaModel> model;
  bool result = false;

  explicit LoadedSchema(std::initializer_list<std::u16string> texts) {
    std::vector<KTXNode*> roots;
    for (const std::u16string& text : texts) {
      auto doc = CreateXNode(kXmlDocument);
      KTParserDriver driver;
      KTLoadStatus status;
      if (!driver.Init(StandardGrammars().FindGrammar(KTGrammarCache::kXml), false, true, true) ||
          !driver.Parse(text.c_str(), static_cast<int>(text.size()), status, doc.get(), nullptr, true)) {
        ADD_FAILURE() << StatusMessage(status);
        return;
      }
      roots.push_back(manager.AddNewRecord(nullptr, std::move(doc), u"\n", KTGrammarCache::kXml)->GetDocument());
    }
    model = std::make_unique<KTSchemaModel>(&manager);
    model->SetWarningStream(nullptr);
    result = model->LoadXsdSchema(roots);
  }
  int Error() const { return model->GetErrorId(); }
  std::string Context() const { return U8(model->GetError().contextText.c_str()); }
  // The kept problem's node name ("" when none).
  std::string ErrorNode() const {
    KTXNode* n = model->GetError().node;
    return n ? U8(n->GetName()) : std::string();
  }
  KTElementType* Element(const char16_t* local, const char16_t* ns = u"") {
    return model->FindElement(KTQName(local, KTNamespaceId::Intern(ns)));
  }
};

// What `xmlprobe xpath FILE EXPR` prints for a fixture (the value of the
// expression over the document's view, schema defaults supplied).
[[maybe_unused]] std::string ProbeXPath(const std::string& file, const std::string& expression) {
  std::string command = std::string(OST_BUILD_DIR) + "/tests/tools/xmlprobe xpath '" + kXsdData + file + "' \"" +
                        expression + "\" 2>/dev/null";
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return "<no xmlprobe>";
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  pclose(p);
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

}  // namespace
