// Helpers of the XPath tests: a hand-built XPath view (nodes made directly,
// named and valued, and numbered in document order as the tree context would
// number them) and the shape of a syntax tree as text.
#pragma once

#include <memory>
#include <string>

#include "platform/ktutf8.h"
#include "xml/ktxpathnode.h"
#include "xpath/ktxpathastnode.h"
#include "xpath/ktxpathvalue.h"

class KTTestTree {
 public:
  explicit KTTestTree(int documentNumber = 1) : root_(std::make_unique<KTXPathNode>(nullptr, kXPathRoot)) {
    root_->SetDocumentNumber(documentNumber);
    root_->SetPosition(++counter_);
  }

  KTXPathNode* Root() const { return root_.get(); }

  // Appends a node of the kind under parent (the root when null) and numbers it.
  KTXPathNode* Add(KTXPathNode* parent, int kind, const char16_t* name = nullptr, const char16_t* value = nullptr) {
    auto node = std::make_unique<KTXPathNode>(nullptr, kind);
    if (name) node->SetName(name);
    if (value) node->SetValue(value);
    node->SetPosition(++counter_);
    return (parent ? parent : root_.get())->AppendChild(std::move(node));
  }
  KTXPathNode* Element(KTXPathNode* parent, const char16_t* name) { return Add(parent, kXPathElement, name); }
  KTXPathNode* Text(KTXPathNode* parent, const char16_t* text) { return Add(parent, kXPathText, nullptr, text); }
  KTXPathNode* Attribute(KTXPathNode* parent, const char16_t* name, const char16_t* value) {
    return Add(parent, kXPathAttribute, name, value);
  }
  // An element holding one text child.
  KTXPathNode* TextElement(KTXPathNode* parent, const char16_t* name, const char16_t* text) {
    KTXPathNode* e = Element(parent, name);
    Text(e, text);
    return e;
  }

 private:
  int counter_ = 0;
  std::unique_ptr<KTXPathNode> root_;
};

inline KTXPathValue NodeSet(std::initializer_list<KTXPathNode*> nodes) {
  KTXPathValue v;
  for (KTXPathNode* n : nodes) v.PushItem(KTXPathNodeItem(n));
  return v;
}

inline std::string U8(const KTString& s) { return KTUtf16ToUtf8(s.View()); }

// "kind(children)" for every syntax-tree node; a token shows as 't:text', a
// character run as 'c:text'; a node without children shows its kind alone.
inline std::string AstShape(const KTXPathAstNode* node) {
  if (!node)
    return "null";
  if (node->GetKind() == kAstToken)
    return "t:" + KTUtf16ToUtf8(node->TokenText());
  if (node->GetKind() == kAstCharacterRun)
    return "c:" + KTUtf16ToUtf8(node->TokenText());
  std::string text = std::to_string(node->GetKind());
  if (node->ChildCount() == 0)
    return text;
  text += "(";
  for (int i = 0; i < node->ChildCount(); ++i) {
    if (i)
      text += " ";
    text += AstShape(node->ChildAt(i));
  }
  return text + ")";
}
