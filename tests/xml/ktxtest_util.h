// Small helpers shared by the document node tests: building trees by hand
// and writing them to UTF-8 for readable comparisons.
#pragma once

#include <memory>
#include <string>

#include "platform/ktutf8.h"
#include "xml/ktxdoctype.h"
#include "xml/ktxnode.h"
#include "xml/ktxnodekinds.h"
#include "xml/ktxwriter.h"

inline std::unique_ptr<KTXNode> MakeNode(int kind, const char16_t* name = nullptr, const char16_t* value = nullptr) {
  std::unique_ptr<KTXNode> node = CreateXNode(kind);
  if (name) node->SetName(name);
  if (value) node->SetValue(value);
  return node;
}

inline KTXNode* AddNode(KTXNode* parent, int kind, const char16_t* name = nullptr, const char16_t* value = nullptr) {
  return parent->AppendChild(MakeNode(kind, name, value));
}

inline std::string Utf8(const char16_t* text) { return KTUtf16ToUtf8(text); }

// The options the document loader saves trees with (line end "\n").
inline KTWriteOptions SaveOptions() { return KTWriteOptions{.indent = u"\t"}; }

inline std::string WriteTree(KTXNode* node, const KTWriteOptions& options, int depth = -1) {
  KTString text;
  int length = 0;
  node->WriteText(text, length, depth, options);
  return KTUtf16ToUtf8(std::u16string_view(text.c_str(), length));
}

// Names of the children of a node, by kind name for unnamed nodes.
inline std::string ChildNames(const KTXNode* node) {
  std::string out;
  for (KTXNode* c = node->GetFirstChild(); c; c = c->GetNextSibling()) {
    if (!out.empty()) out += ",";
    out += Utf8(c->HasName() ? c->GetName() : c->GetKindName());
  }
  return out;
}
