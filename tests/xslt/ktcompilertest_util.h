// Helpers of the stylesheet compiler's tests: a stylesheet (or any document)
// loaded from text through the document loader and wrapped as an XPath view,
// and lookups of view nodes by path.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ktloadtest_util.h"
#include "platform/ktutf8.h"
#include "xml/ktdocloader.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktxnode.h"
#include "xml/ktxpathnode.h"
#include "xml/ktxpathtreecontext.h"
#include "xslt/ktwhitespacestripper.h"

inline std::string U8(const char16_t* text) { return KTUtf16ToUtf8(text ? text : u""); }

// The XSLT namespace declaration, for string-literal concatenation.
#define XSLNS "xmlns:xsl='http://www.w3.org/1999/XSL/Transform'"

// A document parsed from UTF-8 text through the document loader and wrapped.
class KTTestStylesheet {
 public:
  bool Load(const std::string& text) {
    KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
    KTLoadStatus status;
    tree_.reset(loader.LoadFromBytes(text.data(), static_cast<uint32_t>(text.size()), KTGrammarCache::kXml,
                                     status));
    if (!tree_) {
      ADD_FAILURE() << StatusMessage(status) << "\n" << text;
      return false;
    }
    view_ = context_.WrapTree(tree_.get(), nullptr, false, nullptr);
    return view_ != nullptr;
  }

  KTXPathNode* Root() const { return view_.get(); }
  KTXPathTreeContext& Context() { return context_; }

  // The document element.
  KTXPathNode* Element() const {
    for (int i = 0; i < view_->GetChildCount(); ++i) {
      if (view_->GetChild(i)->GetKind() == kXPathElement) return view_->GetChild(i);
    }
    return nullptr;
  }

  // Removes whitespace-only text outside xsl:text, as the processor does
  // before it compiles a stylesheet.
  void StripWhitespace() { KTWhitespaceStripper().StripStylesheet(view_.get()); }

 private:
  std::unique_ptr<KTXNode> tree_;
  KTXPathTreeContext context_;
  std::unique_ptr<KTXPathNode> view_;
};

// The node reached from `from` by child indexes counted among element
// children ("0/2": first element child, then its third element child), or
// "@name" for an attribute of the node reached so far.
inline KTXPathNode* NodeAt(KTXPathNode* from, const std::string& path) {
  KTXPathNode* node = from;
  size_t at = 0;
  while (node && at < path.size()) {
    size_t end = path.find('/', at);
    std::string step = path.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? path.size() : end + 1;
    KTXPathNode* next = nullptr;
    if (step[0] == '@' || step[0] == '#') {
      int kind = step[0] == '@' ? kXPathAttribute : kXPathNamespace;
      for (int i = 0; i < node->GetChildCount() && !next; ++i) {
        KTXPathNode* c = node->GetChild(i);
        if (c->GetKind() == kind && U8(c->GetName()) == step.substr(1)) next = c;
      }
    } else if (step[0] == 't') {  // "tN": the N-th non-element content child
      int want = std::stoi(step.substr(1));
      for (int i = 0; i < node->GetChildCount() && !next; ++i) {
        KTXPathNode* c = node->GetChild(i);
        int k = c->GetKind();
        if (k != kXPathElement && k != kXPathAttribute && k != kXPathNamespace && want-- == 0) next = c;
      }
    } else {
      int want = std::stoi(step);
      for (int i = 0; i < node->GetChildCount() && !next; ++i) {
        if (node->GetChild(i)->GetKind() == kXPathElement && want-- == 0) next = node->GetChild(i);
      }
    }
    node = next;
  }
  return node;
}
