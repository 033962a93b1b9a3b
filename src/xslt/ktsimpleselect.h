// KTSimpleSelect: a compiled select of one of the shapes ".", "name" and
// "@name" (names unprefixed, plain ASCII) read straight from the tree. Sort keys and
// key tables take the string values of millions of nodes; these shapes need
// no expression evaluation and give the same nodes, in document order.
#pragma once

#include <string_view>

#include "core/ktstring.h"
#include "xml/ktxpathnode.h"

class KTXPathAstNode;

class KTSimpleSelect {
 public:
  // True when the compiled expression has one of the shapes; any other
  // (false) is left to the expression evaluator.
  bool Read(const KTXPathAstNode* tree);

  // Calls `visit(node)` for every node the text selects from `context`, in
  // document order.
  template <typename Visit>
  void ForEach(KTXPathNode* context, Visit&& visit) const;
  // The first selected node in document order, or null.
  KTXPathNode* First(KTXPathNode* context) const;

  // A core function of the context node alone, whose string the processor
  // reads from the node: "name()" or "name(.)" (the node's name, as name()
  // gives it), "normalize-space()" or "normalize-space(.)".
  enum class ContextFunction { kNone, kName, kNormalizeSpace };
  static ContextFunction ContextFunctionOf(const KTXPathAstNode* tree);

  // Shared with the processor's own simple shapes: a plain ASCII NCName;
  // what the child axis holds; the node test of an unprefixed name.
  static bool IsAsciiNCName(std::u16string_view text);
  static inline bool IsContentNode(const KTXPathNode* node);
  static inline bool MatchesUnprefixedName(const KTXPathNode* node, std::u16string_view name);

  // The string value of a node, as string() gives it; an element holding
  // one text node alone is answered with that text, without a copy.
  // `inTree` (when given) tells whether the view is the tree's own text,
  // which stays where it is while the tree is not changed, or `scratch`.
  static std::u16string_view StringValue(const KTXPathNode* node, KTString& scratch, bool* inTree = nullptr);

  // As a pattern (xsl:key's match): "." is no pattern; "@name" matches
  // attributes, reached through ForEach from their element; "name" matches
  // a node that its parent selects (Matches).
  bool IsSelf() const { return shape_ == Shape::kSelf; }
  bool IsAttribute() const { return shape_ == Shape::kAttribute; }
  bool Matches(const KTXPathNode* node) const {
    return shape_ == Shape::kChild && node->GetParent() && Selects(node);
  }

 private:
  enum class Shape { kSelf, kChild, kAttribute };
  bool Selects(const KTXPathNode* child) const;

  Shape shape_ = Shape::kSelf;
  KTString name_;
};

// What the child axis holds (not an attribute, namespace or declaration
// node), as the location step walks it.
inline bool KTSimpleSelect::IsContentNode(const KTXPathNode* node) {
  const int kind = node->GetKind();
  if (kind == kXPathAttribute || kind == kXPathNamespace || kind >= kXPathXmlDecl) return false;
  const KTXPathNode* parent = node->GetParent();
  return !(parent && parent->GetKind() >= kXPathXmlDecl);
}

// The name test of an unprefixed name: the local part (after a colon)
// equals it and the node is in no namespace. One pass over the node's name:
// the name asked for holds no colon, so a prefix shows as a mismatch first.
inline bool KTSimpleSelect::MatchesUnprefixedName(const KTXPathNode* node, std::u16string_view name) {
  const KTString* uri = node->GetNamespaceUri();
  if (uri && !uri->IsEmpty()) return false;
  const char16_t* text = node->GetName();
  size_t i = 0;
  while (i < name.size() && text[i] == name[i]) ++i;
  if (i == name.size() && text[i] == 0) return true;
  while (text[i] != 0 && text[i] != u':') ++i;
  if (text[i] == 0) return false;
  const char16_t* local = text + i + 1;
  for (i = 0; i < name.size(); ++i)
    if (local[i] != name[i]) return false;
  return local[i] == 0;
}

template <typename Visit>
void KTSimpleSelect::ForEach(KTXPathNode* context, Visit&& visit) const {
  if (!context) return;
  if (shape_ == Shape::kSelf) {
    visit(context);
    return;
  }
  if (shape_ == Shape::kAttribute && context->GetKind() != kXPathElement) return;
  const int count = context->GetChildCount();
  for (int i = 0; i < count; ++i) {
    KTXPathNode* child = context->GetChild(i);
    if (Selects(child)) visit(child);
  }
}
