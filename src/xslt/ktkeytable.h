// KTKeyTable: one key name of the stylesheet (XSLT 1.0 §12.2). Every
// xsl:key definition of the name adds a match pattern and a use
// expression; each definition is indexed on its own, so string-valued use
// expressions of several definitions never have to form one union. A
// document is indexed on the first lookup in it: key value -> the nodes in
// document order, duplicate-free, hashed so that a lookup never scans the
// index.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/ktstring.h"
#include "xml/ktxpathnode.h"
#include "xpath/ktxpathvalue.h"

class KTXSLTProcessor;

class KTKeyTable {
 public:
  KTKeyTable() = default;
  virtual ~KTKeyTable() = default;
  KTKeyTable(const KTKeyTable&) = delete;
  KTKeyTable& operator=(const KTKeyTable&) = delete;

  void SetName(const KTString& name) { name_ = name; }
  const KTString& GetName() const { return name_; }
  void SetNamespaceId(const KTString* id) { namespaceId_ = id; }
  const KTString* GetNamespaceId() const { return namespaceId_; }
  void SetProcessor(KTXSLTProcessor* processor) { processor_ = processor; }
  // The xsl:key element of the first definition.
  void SetExpressionNode(KTXPathNode* node) { expressionNode_ = node; }
  KTXPathNode* GetExpressionNode() const { return expressionNode_; }

  // Appends a definition; `element` is its xsl:key element, which resolves
  // the prefixes of both texts and which errors point at (null: the
  // expression node).
  void AddDefinition(const KTString& match, const KTString& use, KTXPathNode* element = nullptr);
  int DefinitionCount() const { return static_cast<int>(definitions_.size()); }

  // Indexes the document that holds `document` unless it is indexed already.
  // The node and processor are stored when none is. False without a
  // document or without any processor. Errors of the match and use texts
  // are thrown as KTXSLTError for their xsl:key element.
  bool BuildIndex(KTXPathNode* node, KTXPathNode* document, KTXSLTProcessor* processor);
  // The nodes of the context item's document that the key value selects:
  // for a node-set, the union over its nodes' string values; otherwise the
  // value's string value. Document order, positions 1..n, each node once.
  // An unindexed document gives an empty node-set.
  KTXPathValue Lookup(const KTXPathValue& keyValue, const KTXPathNodeItem& contextItem) const;

  // Forgets every document's index (their trees end with the run).
  void ClearIndexes() { indexes_.clear(); }
  bool IsIndexed(const KTXPathNode* root) const { return indexes_.count(root) != 0; }

 private:
  struct Definition {
    KTString match;
    KTString use;
    KTXPathNode* element = nullptr;
  };
  // Key value -> node-set (sorted, numbered, shared with the results): open
  // addressing over a power-of-two slot array. A slot holds part of the
  // value's hash beside the entry number, so that a lookup reads one entry
  // (and its key text) only when the hashes agree: with tens of thousands
  // of values every read is a cache miss. A lookup makes no string.
  class DocumentIndex {
   public:
    // The node-set of the value, null when no node has it.
    const KTXPathValue* Find(std::u16string_view value) const;
    // The node-set of the value, added empty when none has it yet.
    KTXPathValue& Insert(std::u16string_view value);
    // Room for `more` values beside those held, without growing again.
    void Reserve(size_t more);
    template <typename Visit>
    void ForEachSet(Visit&& visit) {
      for (Entry& entry : entries_) visit(entry.nodes);
    }

   private:
    struct Entry {
      size_t hash;
      KTString key;
      KTXPathValue nodes;
    };
    struct Slot {
      uint32_t tag = 0;    // the hash's high bits
      uint32_t entry = 0;  // entry number + 1; 0: empty
    };
    static size_t Hash(std::u16string_view value) { return std::hash<std::u16string_view>()(value); }
    static uint32_t TagOf(size_t hash) { return static_cast<uint32_t>(hash >> 32); }
    // The slot that holds the value or the empty one where it would go.
    size_t Probe(std::u16string_view value, size_t hash) const;
    void Rehash(size_t slotCount);

    std::vector<Entry> entries_;
    std::vector<Slot> slots_;  // size a power of two, at most 3/4 in use
  };

  // The nodes a definition's match pattern selects in the document of
  // `root`, in document order.
  void MatchNodes(const Definition& definition, KTXPathNode* root, KTXPathNode* element, KTXPathValue& matched);

  const DocumentIndex* FindIndex(const KTXPathNode* node) const;

  KTString name_;
  const KTString* namespaceId_ = nullptr;
  KTXPathNode* expressionNode_ = nullptr;
  KTXSLTProcessor* processor_ = nullptr;
  std::vector<Definition> definitions_;
  std::unordered_map<const KTXPathNode*, DocumentIndex> indexes_;
};
