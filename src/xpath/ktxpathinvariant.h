// Invariant operands: the parts of a compiled XPath expression that no context
// node, position or size inside it can change, marked on the tree at compile
// time, and the store in which one evaluation keeps their values.
#pragma once

#include <vector>

#include "xpath/ktxpathvalue.h"

class KTXPathAstNode;
class KTXPathNode;

// Marks every invariant operand of the tree that a predicate would run again
// for each of its candidates, giving each a slot of its own (0, 1, ...). An
// operand inside a marked one is marked only when a predicate of its own
// repeats it. Walks with explicit stacks: trees may nest deeply.
void MarkInvariantOperands(KTXPathAstNode* root);

// The values of the invariant operands during one evaluation of one tree,
// by slot. It lives on the stack of KTXPathExpression::Evaluate, so nothing
// outlives the evaluation: the next one, with other variables or another
// context node, starts empty.
class KTXPathInvariantValues {
 public:
  struct Entry {
    bool filled = false;
    // The root of the context node's document, for an operand that reads it
    // (key(), id()); null otherwise.
    const KTXPathNode* document = nullptr;
    KTXPathValue value;
    // What the operand's own run left in the context for a following "/" or
    // predicate: the path marker and the axis.
    const char16_t* marker = u"";
    int axis = 0;
  };

  // The entry of the slot when it was filled for this document, else null.
  const Entry* Find(int slot, const KTXPathNode* document) const {
    if (slot < 0 || static_cast<size_t>(slot) >= entries_.size())
      return nullptr;
    const Entry& entry = entries_[slot];
    return entry.filled && entry.document == document ? &entry : nullptr;
  }
  // Fills the slot (a value for another document replaces the one it held).
  void Keep(int slot, const KTXPathNode* document, const KTXPathValue& value, const char16_t* marker, int axis);

 private:
  std::vector<Entry> entries_;
};
