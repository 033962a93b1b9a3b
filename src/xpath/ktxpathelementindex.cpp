// KTXPathElementIndex: one walk that checks the numbering and lists every
// name of a document of few distinct names, else one walk for each local
// name asked for.
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

// Pre-order over every child of `root`, calling `visit(child, reached)`,
// where `reached` says whether the content axes reach the child from the
// root; stops and returns false as soon as `visit` does. An explicit stack
// keeps deep documents off the call stack.
template <typename Visit>
bool WalkChildren(KTXPathNode* root, Visit&& visit) {
  struct Entry {
    KTXPathNode* node;
    int next;
    bool reached;
  };
  std::vector<Entry> stack;
  stack.push_back({root, 0, true});
  uint64_t walked = 0;
  bool completed = true;
  while (!stack.empty()) {
    Entry& top = stack.back();
    if (top.next >= top.node->GetChildCount()) {
      stack.pop_back();
      continue;
    }
    KTXPathNode* child = top.node->GetChild(top.next++);
    ++walked;
    const bool reached = top.reached && IsContentNode(child);
    if (!visit(child, reached)) {
      completed = false;
      break;
    }
    if (child->GetChildCount() > 0) stack.push_back({child, 0, reached});
  }
  KTWorkCount::Add(walked);
  return completed;
}

}  // namespace

std::unique_ptr<KTXPathElementIndex> KTXPathElementIndex::Build(KTXPathNode* root) {
  std::unique_ptr<KTXPathElementIndex> index(new KTXPathElementIndex(root));
  auto& lists = index->byLocalName_;
  bool listing = true;
  int32_t last = root->GetPosition();
  // Elements share their interned names: the list of a name text already
  // met is found by the text's address, without measuring and hashing the
  // name again. The texts stay put while the walk runs. Names held apart
  // (not shared) would fill this map with one entry an element: past a
  // bound it is left, and names are looked up by their text alone.
  std::unordered_map<const char16_t*, Elements*> byNameText;
  bool byText = true;
  const bool numbered = WalkChildren(root, [&](KTXPathNode* child, bool reached) {
    if (child->GetPosition() <= last) return false;
    last = child->GetPosition();
    if (listing && reached && child->GetKind() == kXPathElement) {
      const char16_t* name = child->GetName();
      if (byText) {
        auto known = byNameText.find(name);
        if (known != byNameText.end()) {
          known->second->push_back(child);
          return true;
        }
      }
      const std::u16string_view local = LocalPart(name);
      auto found = lists.find(local);
      if (found == lists.end()) {
        if (lists.size() == kMaxNamesListedAtOnce) {
          listing = false;
          lists.clear();
          byNameText.clear();
          return true;
        }
        found = lists.emplace(std::u16string(local), Elements()).first;
      }
      found->second.push_back(child);
      if (byText) {
        if (byNameText.size() == kMaxNameTexts) {
          byText = false;
          byNameText.clear();
        } else {
          byNameText.emplace(name, &found->second);
        }
      }
    }
    return true;
  });
  if (!numbered) return nullptr;
  index->complete_ = listing;
  return index;
}

const KTXPathElementIndex::Elements* KTXPathElementIndex::Find(std::u16string_view local) {
  auto found = byLocalName_.find(local);
  if (found == byLocalName_.end()) {
    if (complete_) return nullptr;
    Elements elements;
    WalkChildren(root_, [&elements, local](KTXPathNode* child, bool reached) {
      if (reached && child->GetKind() == kXPathElement && LocalPart(child->GetName()) == local)
        elements.push_back(child);
      return true;
    });
    found = byLocalName_.emplace(std::u16string(local), std::move(elements)).first;
  }
  return found->second.empty() ? nullptr : &found->second;
}
