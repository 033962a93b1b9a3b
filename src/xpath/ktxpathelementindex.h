// KTXPathElementIndex: the elements of one document listed by local name in
// document order, so that a descendant, following or preceding step with an
// element name test reads the few elements of that name in a range of
// document positions instead of walking every node of the range.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

class KTXPathNode;

class KTXPathElementIndex {
 public:
  using Elements = std::vector<KTXPathNode*>;

  // The index of the document below `root`, or null when the document's
  // nodes are not numbered in document order (positions strictly growing
  // in a walk of every node, attributes included), which the ranges need.
  // Lists the elements that the content axes reach from the root: none
  // below an attribute or a declaration node.
  static std::unique_ptr<KTXPathElementIndex> Build(KTXPathNode* root);

  // The elements whose name, after its first colon when it has one, is
  // `local`, in document order; null when there is none.
  const Elements* Find(std::u16string_view local) const;

 private:
  std::unordered_map<std::u16string_view, Elements> byLocalName_;
};
