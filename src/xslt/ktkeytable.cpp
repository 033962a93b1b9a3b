// Key tables: per-document indexes built from the key's definitions on the
// first lookup in a document, and the lookups of key().
#include "xslt/ktkeytable.h"

#include <algorithm>
#include <unordered_set>

#include "xpath/ktxpathfunctionlibrary.h"
#include "xslt/ktxsltprocessor.h"

namespace {

KTXPathNode* RootOf(KTXPathNode* node) {
  while (node && node->GetParent()) node = node->GetParent();
  return node;
}

bool SameNode(const KTXPathNodeItem& a, const KTXPathNodeItem& b) { return a.GetNode() == b.GetNode(); }

// Document order, each node once, positions 1..n.
void Normalize(KTXPathValue& set) {
  KTXPathValue::ItemVector& items = set.MutableItems();
  if (!std::is_sorted(items.begin(), items.end(), DocumentOrderLess))
    std::stable_sort(items.begin(), items.end(), DocumentOrderLess);
  items.erase(std::unique(items.begin(), items.end(), SameNode), items.end());
  for (size_t i = 0; i < items.size(); ++i) items[i].SetPosition(static_cast<int>(i) + 1);
}

}  // namespace

void KTKeyTable::AddDefinition(const KTString& match, const KTString& use, KTXPathNode* element) {
  definitions_.push_back(Definition{match, use, element});
}

bool KTKeyTable::BuildIndex(KTXPathNode* node, KTXPathNode* document, KTXSLTProcessor* processor) {
  if (!document || (!processor && !processor_)) return false;
  KTXPathNode* root = RootOf(document);
  if (indexes_.count(root)) return true;
  if (!expressionNode_) expressionNode_ = node;
  if (!processor_) processor_ = processor;

  DocumentIndex index;
  KTXPathValue matched;
  KTXPathValue keys;
  KTString scratch;
  auto add = [&](std::u16string_view value, const KTXPathNodeItem& item) {
    KTXPathValue& set = index[KTString(value)];
    set.PushItem(item);
  };
  for (const Definition& definition : definitions_) {
    KTXPathNode* element = definition.element ? definition.element : expressionNode_;
    processor_->MatchKeyPattern(&matched, definition.match, root, element);
    int count = matched.ItemCount();
    for (int i = 0; i < count; ++i) {
      const KTXPathNodeItem& item = matched.Items()[static_cast<size_t>(i)];
      processor_->EvaluateKeyUse(&keys, definition.use, element, matched, i + 1);
      if (keys.IsNodeSet()) {
        for (const KTXPathNodeItem& key : keys.Items())
          add(KTXPathFunctionLibrary::StringValueView(key.GetNode(), scratch), item);
      } else {
        KTString text;
        keys.ToString(&text);
        add(text.View(), item);
      }
    }
  }
  for (auto& entry : index) Normalize(entry.second);
  indexes_.emplace(root, std::move(index));
  return true;
}

const KTKeyTable::DocumentIndex* KTKeyTable::FindIndex(const KTXPathNode* node) const {
  while (node && node->GetParent()) node = node->GetParent();
  auto found = indexes_.find(node);
  return found == indexes_.end() ? nullptr : &found->second;
}

KTXPathValue KTKeyTable::Lookup(KTXPathValue keyValue, KTXPathNodeItem contextItem) const {
  KTXPathValue result;
  const DocumentIndex* index = FindIndex(contextItem.GetNode());
  if (!index) return result;
  if (!keyValue.IsNodeSet()) {
    KTString text;
    keyValue.ToString(&text);
    auto found = index->find(text);
    if (found != index->end()) result = found->second;  // shares the items
    return result;
  }
  // The union of the sets of several values: one set alone is returned as
  // it is; more are merged, sorted and made duplicate-free.
  KTString scratch;
  KTString text;
  const KTXPathValue* only = nullptr;
  int hits = 0;
  std::vector<const KTXPathValue*> sets;
  std::unordered_set<const KTXPathValue*> seen;
  for (const KTXPathNodeItem& item : keyValue.Items()) {
    text = KTString(KTXPathFunctionLibrary::StringValueView(item.GetNode(), scratch));
    auto found = index->find(text);
    if (found == index->end()) continue;
    if (!seen.insert(&found->second).second) continue;
    sets.push_back(&found->second);
    only = &found->second;
    ++hits;
  }
  if (hits == 1) return *only;
  if (hits == 0) return result;
  KTXPathValue::ItemVector& items = result.MutableItems();
  for (const KTXPathValue* set : sets) items.insert(items.end(), set->Items().begin(), set->Items().end());
  Normalize(result);
  return result;
}
