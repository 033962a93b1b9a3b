// Node tests and the descendant and ancestor sets.
#include "xpath/ktxpathnodetest.h"

#include <string_view>
#include <vector>

#include "xml/ktxnode.h"
#include "xml/ktxpathnode.h"

bool IsAttributeOfElement(const KTXPathNode* node) {
  return node && node->GetKind() == kXPathAttribute && node->GetParent() &&
         node->GetParent()->GetKind() == kXPathElement;
}

bool KTAttributeOfElementTest::Test(const KTXPathNodeItem& item) const {
  return item.GetKind() == kItemAttribute && IsAttributeOfElement(item.GetNode());
}

bool KTDeclarationTest::Test(const KTXPathNodeItem& item) const {
  return item.GetKind() == kItemOther || IsDeclarationNode(item.GetNode());
}

bool KTNamespaceUriTest::Test(const KTXPathNodeItem& item) const { return TestNode(item.GetNode(), item.GetKind()); }

bool KTNamespaceUriTest::TestNode(const KTXPathNode* node, int itemKind) const {
  if (itemKind != kItemElement && itemKind != kItemAttribute)
    return false;
  const KTString* uri = node->GetNamespaceUri();
  // A URI entry with empty text stands for no namespace as well.
  if (uri && uri->IsEmpty())
    uri = nullptr;
  return uri == uri_;
}

namespace {

// Whether the NUL-terminated text equals the view, read in one pass that
// stops at the first difference.
bool EqualsToEnd(const char16_t* text, std::u16string_view view) {
  for (char16_t c : view) {
    if (*text != c)
      return false;
    ++text;
  }
  return *text == 0;
}

}  // namespace

bool KTLocalNameTest::Test(const KTXPathNodeItem& item) const { return TestNode(item.GetNode(), item.GetKind()); }

KTLocalNameTest::KTLocalNameTest(const KTString& localName)
    : localName_(localName),
      localLength_(localName.GetLength()),
      hasColon_(localName.View().find(u':') != std::u16string_view::npos) {
  if (!hasColon_)
    interned_.Assign(localName_.c_str(), localLength_);
}

bool KTLocalNameTest::TestPrefixed(std::u16string_view name) const {
  const size_t colon = name.find(u':');
  return colon != std::u16string_view::npos && name.substr(colon + 1) == localName_.View();
}

bool KTLocalNameTest::TestNode(const KTXPathNode* node, int itemKind) const {
  if (!node)
    return false;
  const std::u16string_view local = localName_.View();
  // An element or attribute showing its document node's name: an interned
  // name is answered by TestInterned; otherwise that name's
  // length is known, so only a name of the local name's length, or one
  // with a colon right before a tail of that length, is read at all.
  if (!node->HasOwnName() && !hasColon_ && (itemKind == kItemElement || itemKind == kItemAttribute)) {
    if (const KTXName* interned = node->WrappedInternedName())
      return TestInterned(*interned);
  }
  const KTXNode* shown = node->HasOwnName() || !node->WrapsNode() ? nullptr : node->GetXNode();
  if (shown && !hasColon_ && (itemKind == kItemElement || itemKind == kItemAttribute)) {
    const size_t length = static_cast<size_t>(shown->GetNameLength());
    const size_t n = local.size();
    if (length != n && length < n + 2)
      return false;
    const char16_t* name = shown->GetName();
    if (length == n)
      return std::u16string_view(name, n) == local;
    if (name[length - n - 1] != u':' || std::u16string_view(name + length - n, n) != local)
      return false;
    // That colon must be the name's first.
    return std::u16string_view(name, length - n - 1).find(u':') == std::u16string_view::npos;
  }
  const char16_t* name = node->GetName();
  // A name without a colon is its own local part: a name equal to a local
  // name that has none has no colon either. Only a difference makes the
  // colon worth looking for.
  if (!hasColon_ && EqualsToEnd(name, local))
    return true;
  const char16_t* colon = name;
  while (*colon && *colon != u':')
    ++colon;
  if (*colon == 0)
    return hasColon_ && EqualsToEnd(name, local);
  return EqualsToEnd(colon + 1, local);
}

bool KTElementNameTest::Test(const KTXPathNodeItem& item) const {
  return item.GetKind() == kItemElement && uri_.TestNode(item.GetNode(), kItemElement) &&
         local_.TestNode(item.GetNode(), kItemElement);
}

bool KTStringValueTest::Test(const KTXPathNodeItem& item) const {
  const KTXPathNode* node = item.GetNode();
  return node && std::u16string_view(node->GetValue()) == value_.View();
}

bool KTPITargetTest::Test(const KTXPathNodeItem& item) const {
  if (item.GetKind() != kItemPI)
    return false;
  return target_.IsEmpty() || std::u16string_view(item.GetNode()->GetName()) == target_.View();
}

bool KTAllOfTest::Test(const KTXPathNodeItem& item) const {
  for (const KTXPathNodeTestPtr& test : tests_) {
    if (!test->Test(item))
      return false;
  }
  return true;
}

bool KTAnyOfTest::Test(const KTXPathNodeItem& item) const {
  for (const KTXPathNodeTestPtr& test : tests_) {
    if (test->Test(item))
      return true;
  }
  return false;
}

namespace {

// The last node of the subtree in document order (the node itself when it
// has no children).
const KTXPathNode* LastInSubtree(const KTXPathNode* node) {
  while (node->GetChildCount() > 0)
    node = node->GetChild(node->GetChildCount() - 1);
  return node;
}

}  // namespace

KTDescendantSet::KTDescendantSet(const KTXPathNodeItem& item) : top_(item.GetNode()) {
  if (!top_ || top_->GetPosition() < 1)
    return;
  const KTXPathNode* last = LastInSubtree(top_);
  if (last->GetPosition() < top_->GetPosition())
    return;
  first_ = top_->GetPosition() + 1;
  last_ = last->GetPosition();
  ranged_ = true;
}

bool KTDescendantSet::Contains(const KTXPathNodeItem& item) const {
  const KTXPathNode* node = item.GetNode();
  if (!node || !top_ || node == top_)
    return false;
  if (ranged_ && node->GetKind() != kXPathNamespace && node->GetPosition() >= 1 &&
      node->GetDocumentNumber() == top_->GetDocumentNumber())
    return node->GetPosition() >= first_ && node->GetPosition() <= last_;
  for (const KTXPathNode* up = node->GetParent(); up; up = up->GetParent()) {
    if (up == top_)
      return true;
  }
  return false;
}

KTAncestorSet::KTAncestorSet(const KTXPathNodeItem& item) {
  for (const KTXPathNode* node = item.GetNode(); node; node = node->GetParent())
    nodes_.insert(node);
}

bool KTAncestorSet::Contains(const KTXPathNodeItem& item) const { return nodes_.count(item.GetNode()) != 0; }
