// Node tests and the descendant and ancestor sets.
#include "xpath/ktxpathnodetest.h"

#include <string_view>
#include <vector>

#include "xml/ktxpathnode.h"

bool IsDeclarationNode(const KTXPathNode* node) {
  if (!node)
    return false;
  if (KTXPathNodeItem::ItemKindOf(node) == kItemOther)
    return true;
  const KTXPathNode* parent = node->GetParent();
  return parent && KTXPathNodeItem::ItemKindOf(parent) == kItemOther;
}

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

bool KTNamespaceUriTest::Test(const KTXPathNodeItem& item) const {
  if (item.GetKind() != kItemElement && item.GetKind() != kItemAttribute)
    return false;
  const KTString* uri = item.GetNode()->GetNamespaceUri();
  // A URI entry with empty text stands for no namespace as well.
  if (uri && uri->IsEmpty())
    uri = nullptr;
  return uri == uri_;
}

bool KTLocalNameTest::Test(const KTXPathNodeItem& item) const {
  const KTXPathNode* node = item.GetNode();
  if (!node)
    return false;
  std::u16string_view name(node->GetName());
  const size_t colon = name.find(u':');
  if (colon != std::u16string_view::npos)
    name.remove_prefix(colon + 1);
  return name == localName_.View();
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
