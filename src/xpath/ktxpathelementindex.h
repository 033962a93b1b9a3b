// KTXPathElementIndex: the elements of one document listed by local name in
// document order, so that a descendant, following or preceding step with an
// element name test reads the few elements of that name in a range of
// document positions instead of walking every node of the range.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
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
  static std::unique_ptr<KTXPathElementIndex> Build(KTXPathNode* root);

  // The elements whose name, after its first colon when it has one, is
  // `local`, in document order; null when there is none. Lists the
  // elements that the content axes reach from the root: none below an
  // attribute or a declaration node. The walk of Build lists every name
  // while the document has at most kMaxNamesListedAtOnce distinct ones;
  // past that, a name's list is made by a walk of its own the first time
  // the name is asked for, so that a document of a million distinct names
  // costs no list of each.
  const Elements* Find(std::u16string_view local);

 private:
  // Enough for the vocabularies of documents (DocBook has some 400 element
  // names, XHTML under 100), few enough that the lists' own cost (about 100
  // bytes a name) stays small beside the tree's.
  static constexpr size_t kMaxNamesListedAtOnce = 4096;
  // The name texts Build finds by their address (see there).
  static constexpr size_t kMaxNameTexts = 4 * kMaxNamesListedAtOnce;

  explicit KTXPathElementIndex(KTXPathNode* root) : root_(root) {}

  // Looked up by a view of the name, without a string made per step.
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::u16string_view name) const { return std::hash<std::u16string_view>()(name); }
  };

  KTXPathNode* root_;
  // Whether byLocalName_ holds every name of the document, so that a name
  // it lacks has no element.
  bool complete_ = false;
  std::unordered_map<std::u16string, Elements, NameHash, std::equal_to<>> byLocalName_;
};
