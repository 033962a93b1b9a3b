// XPath values: KTXPathNodeItem (one member of a node-set: a view node, its
// item kind and a context position) and KTXPathValue (a node-set, boolean,
// number or string) with the XPath 1.0 operators of XPath 1.0 §3.4 and §3.5.
// Values are passed by value everywhere, so copies share their node vector
// and string and copy only when one of them is changed (copy on write).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/ktstring.h"

class KTXPathNode;

// The kind of a node item, derived from the view node's kind.
enum KTXPathItemKind : int {
  kItemRoot = 0,
  kItemElement = 1,
  kItemText = 2,  // text and CDATA sections
  kItemAttribute = 3,
  kItemNamespace = 4,
  kItemPI = 5,
  kItemComment = 6,
  kItemOther = 7,  // XML declaration and the DOCTYPE kinds
  kItemNoNode = 9,
};

enum KTXPathValueKind : int {
  kValueNodeSet = 0,
  kValueBoolean = 1,
  kValueNumber = 2,
  kValueString = 3,
};

// Items are stored by value in vectors, so the class has no virtual members:
// 16 bytes per item.
class KTXPathNodeItem {
 public:
  KTXPathNodeItem() noexcept = default;  // the empty item: no node, kind 9
  explicit KTXPathNodeItem(KTXPathNode* node) noexcept : node_(node), kind_(ItemKindOf(node)) {}
  KTXPathNodeItem(KTXPathNode* node, int position) noexcept
      : node_(node), kind_(ItemKindOf(node)), position_(position) {}

  static int ItemKindOf(const KTXPathNode* node) noexcept;

  KTXPathNode* GetNode() const noexcept { return node_; }
  int GetKind() const noexcept { return kind_; }
  bool IsEmpty() const noexcept { return node_ == nullptr; }
  int GetPosition() const noexcept { return position_; }
  void SetPosition(int position) noexcept { position_ = position; }

  // The node's document-order position, -1 without a node.
  int TreePosition() const noexcept;
  // The item of the node's parent; the empty item at a root or without a node.
  KTXPathNodeItem& ParentItem(KTXPathNodeItem& out) const noexcept;

  // Same node (positions are not compared).
  friend bool operator==(const KTXPathNodeItem& a, const KTXPathNodeItem& b) noexcept {
    return a.node_ == b.node_;
  }

 private:
  KTXPathNode* node_ = nullptr;  // borrowed
  int kind_ = kItemNoNode;
  int position_ = 0;
};

// Document order: document number, then position in the document. Namespace
// nodes, which the tree context leaves unnumbered, stand right after their
// element and before its attributes; nodes that share one place (unnumbered
// result-tree nodes) are told apart by identity, so that the order is strict
// and a node equals only itself. An item without a node sorts first.
bool DocumentOrderLess(const KTXPathNodeItem& a, const KTXPathNodeItem& b) noexcept;

class KTXPathValue {
 public:
  using ItemVector = std::vector<KTXPathNodeItem>;

  KTXPathValue() noexcept = default;  // an empty node-set
  KTXPathValue(const KTXPathValue&) = default;
  KTXPathValue(KTXPathValue&&) noexcept = default;
  KTXPathValue& operator=(const KTXPathValue&) = default;
  KTXPathValue& operator=(KTXPathValue&&) noexcept = default;
  // An item vector held alone goes back to the spares (see TakeItemVector).
  ~KTXPathValue() {
    if (items_ && items_.use_count() == 1 && !ownsTree_) RecycleItems();
  }

  static KTXPathValue Number(double number);
  static KTXPathValue Boolean(bool value);
  static KTXPathValue String(const KTString& text);
  static KTXPathValue String(KTString&& text);
  // A string of `piece`, a stretch of `whole`'s text as StringText() gave
  // it. When the piece ends where the text `whole` holds ends and is at
  // least half of it, the value shares that text instead of copying it: a
  // recursion that peels a long string with substring-after or substring
  // then holds one text, not one per level. A shared text is at most twice
  // its piece, so no value keeps much more alive than itself. Any other
  // piece is copied.
  static KTXPathValue StringPiece(const KTXPathValue& whole, std::u16string_view piece);
  // A node-set of the tree's root alone (position 1) that owns the tree: the
  // tree goes when the last copy of the value goes (copies share the item
  // vector that owns it). A result-tree fragment is bound this way.
  static KTXPathValue OwningTree(std::unique_ptr<KTXPathNode> root);

  int GetKind() const noexcept { return kind_; }
  bool IsNodeSet() const noexcept { return kind_ == kValueNodeSet; }
  // The scalar fields: false, 0.0 and the empty string unless the value is of
  // that kind. The string's text is valid while the value or a copy is.
  bool GetBoolean() const noexcept { return boolean_; }
  double GetNumber() const noexcept { return number_; }
  std::u16string_view StringText() const noexcept {
    if (!string_) return {};
    const size_t length = static_cast<size_t>(string_->GetLength());
    return std::u16string_view(string_->c_str() + stringStart_, length - stringStart_);
  }
  // The string as a whole KTString, or null when the value is not a string
  // or shares a longer text (StringPiece).
  const KTString* WholeString() const noexcept {
    return string_ && stringStart_ == 0 ? string_.get() : nullptr;
  }

  // Each setter makes the value of its kind and drops whatever it held.
  void SetString(const KTString& text);
  void SetString(KTString&& text);
  void SetNumber(const double& number) noexcept;
  void SetBoolean(const bool& value) noexcept;
  // An empty node-set.
  void SetNodeSet() noexcept;
  // An empty node-set that keeps its item vector (and its capacity) when no
  // copy shares it, so that the next items need no allocation. Inline: every
  // step and every context slot clears one.
  void ClearNodeSet() noexcept {
    if (kind_ == kValueNodeSet && (!items_ || items_.use_count() == 1)) {
      if (items_) items_->clear();
      else ownsTree_ = false;
      ordered_ = false;
      return;
    }
    SetNodeSet();
  }
  // A node-set holding the items (moved in, not copied).
  void SetNodeSet(ItemVector&& items);

  // ---- Node-set items (empty for the other kinds) ----
  int ItemCount() const noexcept { return items_ ? static_cast<int>(items_->size()) : 0; }
  const ItemVector& Items() const noexcept;
  // The item at a 0-based index, or ItemsEnd() when the index is negative or
  // not below the count. Inline: every evaluation at a context position
  // reads its item here.
  const KTXPathNodeItem* NodeItemAt(int index) const noexcept {
    if (index < 0 || index >= ItemCount()) return ItemsEnd();
    return items_->data() + index;
  }
  // Past the last item; null when the value holds no vector.
  const KTXPathNodeItem* ItemsEnd() const noexcept { return items_ ? items_->data() + items_->size() : nullptr; }
  // The vector to change in place: makes the value a node-set and gives it a
  // vector of its own when copies share it.
  ItemVector& MutableItems() {
    if (kind_ == kValueNodeSet && items_ && items_.use_count() == 1) {
      ordered_ = false;
      return *items_;
    }
    return OwnItems();
  }
  void PushItem(const KTXPathNodeItem& item) { MutableItems().push_back(item); }
  // Sorts the items into document order and numbers them 1..n (an already
  // ordered set is only renumbered). Duplicates are not removed.
  void SortDocumentOrder();
  // The first item in document order (not necessarily the first stored), or
  // null for an empty set or another kind.
  const KTXPathNodeItem* FirstInDocumentOrder() const noexcept;

  // The XPath string value: a string is copied, any other kind converted as
  // XPath string() does.
  KTString& ToString(KTString* out) const;

  // ---- Operators (this value is the left operand) ----
  // Comparisons follow XPath 1.0 §3.4: a node-set compares true when the
  // comparison holds for some node; NaN is unequal to everything and neither
  // less nor greater than anything.
  bool Equals(const KTXPathValue& right) const;
  bool NotEquals(const KTXPathValue& right) const;
  bool Less(const KTXPathValue& right) const;
  bool LessOrEqual(const KTXPathValue& right) const;
  bool Greater(const KTXPathValue& right) const;
  bool GreaterOrEqual(const KTXPathValue& right) const;
  // Both operands are converted; the syntax nodes skip the right operand
  // themselves when the left one decides.
  bool Or(const KTXPathValue& right) const;
  bool And(const KTXPathValue& right) const;
  // IEEE 754 arithmetic on the numbers of both operands; mod is the
  // floating-point remainder with the sign of the dividend (fmod).
  double Add(const KTXPathValue& right) const;
  double Subtract(const KTXPathValue& right) const;
  double Multiply(const KTXPathValue& right) const;
  double Divide(const KTXPathValue& right) const;
  double Modulo(const KTXPathValue& right) const;

 private:
  void DropContents() noexcept;
  // MutableItems for a value without a vector of its own: makes it a
  // node-set and gives it one (a copy of the shared items, if any).
  ItemVector& OwnItems();
  // Hands items_, held by this value alone, to the spare vectors and resets it.
  void RecycleItems() noexcept;

  // Narrow, so that the flags and stringStart_ share the value's first word.
  uint8_t kind_ = kValueNodeSet;
  bool boolean_ = false;
  // The items are known to be in document order and numbered 1..n: set by
  // SortDocumentOrder, dropped by every change, so that a node-set sorted
  // once (a key's, a variable's) is not checked again at every use.
  bool ordered_ = false;
  // items_ owns a tree (OwningTree): it never goes to the spares, where it
  // would keep the tree alive.
  bool ownsTree_ = false;
  // Where the value's text begins in *string_ (0 unless made by
  // StringPiece); it runs to the end of *string_.
  uint32_t stringStart_ = 0;
  double number_ = 0.0;
  std::shared_ptr<ItemVector> items_;      // null: no items; shared by copies
  std::shared_ptr<const KTString> string_;  // null unless a string; immutable, shared
};
