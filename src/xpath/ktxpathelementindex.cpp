// KTXPathElementIndex: built in one walk of the document.
#include "xpath/ktxpathelementindex.h"

#include <utility>

#include "platform/ktworkcount.h"
#include "xml/ktxpathnode.h"

namespace {

// What a content axis (child, descendant, sibling, following, preceding)
// holds: not an attribute, namespace or declaration node, nor a node below
// a declaration node. The evaluation context's walks use the same rule.
bool IsContentNode(const KTXPathNode* node) {
  const int kind = node->GetKind();
  if (kind == kXPathAttribute || kind == kXPathNamespace || kind >= kXPathXmlDecl) return false;
  const KTXPathNode* parent = node->GetParent();
  return !(parent && parent->GetKind() >= kXPathXmlDecl);
}

std::u16string_view LocalPart(const char16_t* name) {
  std::u16string_view view(name);
  const size_t colon = view.find(u':');
  return colon == std::u16string_view::npos ? view : view.substr(colon + 1);
}

}  // namespace

std::unique_ptr<KTXPathElementIndex> KTXPathElementIndex::Build(KTXPathNode* root) {
  auto index = std::make_unique<KTXPathElementIndex>();
  // Pre-order over every child; `reached` says whether the content axes
  // reach the node from the root.
  struct Entry {
    KTXPathNode* node;
    int next;
    bool reached;
  };
  std::vector<Entry> stack;
  stack.push_back({root, 0, true});
  int32_t last = root->GetPosition();
  uint64_t walked = 0;
  while (!stack.empty()) {
    Entry& top = stack.back();
    if (top.next >= top.node->GetChildCount()) {
      stack.pop_back();
      continue;
    }
    KTXPathNode* child = top.node->GetChild(top.next++);
    ++walked;
    if (child->GetPosition() <= last) {
      KTWorkCount::Add(walked);
      return nullptr;
    }
    last = child->GetPosition();
    const bool reached = top.reached && IsContentNode(child);
    if (reached && child->GetKind() == kXPathElement)
      index->byLocalName_[LocalPart(child->GetName())].push_back(child);
    if (child->GetChildCount() > 0) stack.push_back({child, 0, reached});
  }
  KTWorkCount::Add(walked);
  return index;
}

const KTXPathElementIndex::Elements* KTXPathElementIndex::Find(std::u16string_view local) const {
  auto found = byLocalName_.find(local);
  return found == byLocalName_.end() ? nullptr : &found->second;
}
