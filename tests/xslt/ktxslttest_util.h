// Helpers of the XSLT tests: a document parsed from text and wrapped as an
// XPath view, and a compact picture of a view for comparisons.
#pragma once

#include <memory>
#include <string>

#include "ktloadtest_util.h"
#include "platform/ktutf8.h"
#include "platform/ktwchar.h"
#include "xml/ktparserdriver.h"
#include "xml/ktxnode.h"
#include "xml/ktxpathnode.h"
#include "xml/ktxpathtreecontext.h"

// A parsed document and its XPath view; the view borrows the tree, so both
// live together.
struct KTTestDocument {
  std::unique_ptr<KTXNode> tree;
  std::unique_ptr<KTXPathNode> view;
};

inline KTTestDocument ParseTestDocument(KTXPathTreeContext& context, const char16_t* text,
                                        const char16_t* documentUri = nullptr) {
  KTTestDocument doc;
  KTParserDriver driver;
  if (!driver.Init(StandardGrammars().FindGrammar(KTGrammarCache::kXml), true, true, true)) return doc;
  std::unique_ptr<KTXNode> tree = CreateXNode(kXmlDocument);
  KTLoadStatus status;
  if (!driver.Parse(text, KTStrLen(text), status, tree.get(), nullptr, true)) return doc;
  doc.view = context.WrapTree(tree.get(), nullptr, false, documentUri);
  doc.tree = std::move(tree);
  return doc;
}

// Kind letter (root, element, text, attribute, namespace, PI, CDATA, comment), name, '=' and value for text-like nodes, children in brackets.
inline std::string ViewPicture(const KTXPathNode* n) {
  static const char* kLetters = "/etanpdc";
  std::string out;
  int k = n->GetKind();
  out += k < 8 ? kLetters[k] : '?';
  if (k == kXPathElement || k == kXPathAttribute || k == kXPathNamespace || k == kXPathPI)
    out += KTUtf16ToUtf8(n->GetName());
  if (k == kXPathText || k == kXPathAttribute || k == kXPathCData) {
    out += '=';
    out += KTUtf16ToUtf8(n->GetValue());
  }
  if (n->GetChildCount()) {
    out += "(";
    for (int i = 0; i < n->GetChildCount(); ++i) {
      if (i) out += " ";
      out += ViewPicture(n->GetChild(i));
    }
    out += ")";
  }
  return out;
}
