// KTSimpleSelect: a select text of one of the shapes ".", "name" and "@name"
// (names unprefixed, plain ASCII) read straight from the tree. Sort keys and
// key tables take the string values of millions of nodes; these shapes need
// no expression evaluation and give the same nodes, in document order.
#pragma once

#include <string_view>

#include "core/ktstring.h"
#include "xml/ktxpathnode.h"

class KTSimpleSelect {
 public:
  // True when the text has one of the shapes; any other text (false) is
  // left to the expression evaluator.
  bool Parse(std::u16string_view text);

  // Calls `visit(node)` for every node the text selects from `context`, in
  // document order.
  template <typename Visit>
  void ForEach(KTXPathNode* context, Visit&& visit) const;
  // The first selected node in document order, or null.
  KTXPathNode* First(KTXPathNode* context) const;

  // True for "name()" and "name(.)" (white space between the tokens
  // allowed): the context node's name, as name() gives it.
  static bool IsNameOfContext(std::u16string_view text);

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
