// XPath node items and values, and the XPath 1.0 comparison, logical and
// arithmetic operators on values. Node-set comparisons cost linear time:
// relational ones need only the smallest and largest number of each side,
// equality of two node-sets probes a hash set of one side's string values.
#include "xpath/ktxpathvalue.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "platform/ktworkcount.h"
#include "xml/ktxpathnode.h"
#include "xpath/ktxpathfunctionlibrary.h"

// ---- KTXPathNodeItem ----

int KTXPathNodeItem::ItemKindOf(const KTXPathNode* node) noexcept {
  if (!node) return kItemNoNode;
  switch (node->GetKind()) {
    case kXPathRoot: return kItemRoot;
    case kXPathElement: return kItemElement;
    case kXPathText:
    case kXPathCData: return kItemText;
    case kXPathAttribute: return kItemAttribute;
    case kXPathNamespace: return kItemNamespace;
    case kXPathPI: return kItemPI;
    case kXPathComment: return kItemComment;
    default: return kItemOther;
  }
}

int KTXPathNodeItem::TreePosition() const noexcept { return node_ ? node_->GetPosition() : -1; }

KTXPathNodeItem& KTXPathNodeItem::ParentItem(KTXPathNodeItem& out) const noexcept {
  out = KTXPathNodeItem(node_ ? node_->GetParent() : nullptr);
  return out;
}

namespace {

// Where a node stands in document order: document number, position, and a
// tier that puts an unnumbered namespace node right after its element.
struct OrderKey {
  int32_t document;
  int32_t position;
  int tier;
};

OrderKey KeyOf(const KTXPathNode* node) noexcept {
  if (node->GetKind() == kXPathNamespace && node->GetPosition() < 0 && node->GetParent()) {
    const KTXPathNode* element = node->GetParent();
    return {element->GetDocumentNumber(), element->GetPosition(), 1};
  }
  return {node->GetDocumentNumber(), node->GetPosition(), 0};
}

}  // namespace

bool DocumentOrderLess(const KTXPathNodeItem& a, const KTXPathNodeItem& b) noexcept {
  const KTXPathNode* x = a.GetNode();
  const KTXPathNode* y = b.GetNode();
  // Items without a node should not reach a sort; if one does, it sorts
  // first instead of being followed.
  if (!x || !y) return !x && y;
  if (x->GetDocumentNumber() != y->GetDocumentNumber() && x->GetKind() != kXPathNamespace &&
      y->GetKind() != kXPathNamespace) {
    return x->GetDocumentNumber() < y->GetDocumentNumber();
  }
  OrderKey kx = KeyOf(x);
  OrderKey ky = KeyOf(y);
  if (kx.document != ky.document) return kx.document < ky.document;
  if (kx.position != ky.position) return kx.position < ky.position;
  if (kx.tier != ky.tier) return kx.tier < ky.tier;
  if (kx.tier == 1 && x->GetParent() == y->GetParent()) {
    // Two namespace nodes of one element: a fixed order, not their
    // addresses, which vary with the allocator's state.
    const int rx = x->GetParent()->NamespaceNodeRank(x);
    const int ry = y->GetParent()->NamespaceNodeRank(y);
    if (rx != ry && rx >= 0 && ry >= 0) return rx < ry;
  }
  return std::less<const KTXPathNode*>()(x, y);
}

// ---- KTXPathValue: construction and setters ----

namespace {

const KTXPathValue::ItemVector& EmptyItems() {
  static const KTXPathValue::ItemVector empty;
  return empty;
}

// Item vectors given up by the values that held them alone, emptied but with
// their capacity: a location path makes and drops several node-sets for each
// context node, and a spare saves the shared block and the growth of each.
// Constant-initialised, so it outlives every value destroyed at exit.
using SharedItems = std::shared_ptr<KTXPathValue::ItemVector>;
constinit std::vector<SharedItems> gSpareItems;
// Enough for the node-sets alive in nested evaluations at once.
constexpr size_t kSpareVectors = 64;
// A larger vector goes back to the allocator, so that the spares never hold
// more than about 64 x 4096 items.
constexpr size_t kSpareCapacity = 4096;

SharedItems TakeItemVector() {
  if (gSpareItems.empty()) {
    // The spares get their room here, where an allocation may fail, so that
    // giving a vector back never allocates.
    if (gSpareItems.capacity() == 0) gSpareItems.reserve(kSpareVectors);
    return std::make_shared<KTXPathValue::ItemVector>();
  }
  SharedItems items = std::move(gSpareItems.back());
  gSpareItems.pop_back();
  return items;
}

}  // namespace

void KTXPathValue::RecycleItems() noexcept {
  if (items_->capacity() <= kSpareCapacity && gSpareItems.size() < gSpareItems.capacity()) {
    items_->clear();
    gSpareItems.push_back(std::move(items_));
  }
  items_.reset();
}

namespace {

// A result-tree fragment's item vector with the tree whose root it lists:
// one block with the count of sharers, so that binding a fragment costs one
// allocation besides the item's. The tree goes with the last copy.
struct OwnedTree {
  KTXPathValue::ItemVector items;
  std::unique_ptr<KTXPathNode> root;
};

}  // namespace

KTXPathValue KTXPathValue::OwningTree(std::unique_ptr<KTXPathNode> root) {
  KTXPathValue v;
  auto owned = std::make_shared<OwnedTree>();
  // Should the item fail to fit, `root` still owns the tree and deletes it.
  owned->items.push_back(KTXPathNodeItem(root.get(), 1));
  owned->root = std::move(root);
  v.items_ = SharedItems(owned, &owned->items);
  v.ownsTree_ = true;
  return v;
}

KTXPathValue KTXPathValue::Number(double number) {
  KTXPathValue v;
  v.SetNumber(number);
  return v;
}

KTXPathValue KTXPathValue::Boolean(bool value) {
  KTXPathValue v;
  v.SetBoolean(value);
  return v;
}

KTXPathValue KTXPathValue::String(const KTString& text) {
  KTXPathValue v;
  v.SetString(text);
  return v;
}

KTXPathValue KTXPathValue::String(KTString&& text) {
  KTXPathValue v;
  v.SetString(std::move(text));
  return v;
}

KTXPathValue KTXPathValue::StringPiece(const KTXPathValue& whole, std::u16string_view piece) {
  if (whole.kind_ == kValueString && whole.string_) {
    const char16_t* begin = whole.string_->c_str();
    const size_t length = static_cast<size_t>(whole.string_->GetLength());
    const std::less_equal<const char16_t*> notAfter;
    if (notAfter(begin, piece.data()) && piece.data() + piece.size() == begin + length && piece.size() * 2 >= length) {
      KTXPathValue v;
      v.kind_ = kValueString;
      v.string_ = whole.string_;
      v.stringStart_ = static_cast<uint32_t>(piece.data() - begin);
      return v;
    }
  }
  return String(KTString(piece));
}

void KTXPathValue::DropContents() noexcept {
  boolean_ = false;
  ordered_ = false;
  number_ = 0.0;
  if (items_ && items_.use_count() == 1 && !ownsTree_) RecycleItems();
  items_.reset();
  ownsTree_ = false;
  string_.reset();
  stringStart_ = 0;
}

void KTXPathValue::SetString(const KTString& text) {
  auto copy = std::make_shared<const KTString>(text);
  DropContents();
  kind_ = kValueString;
  string_ = std::move(copy);
}

void KTXPathValue::SetString(KTString&& text) {
  auto moved = std::make_shared<const KTString>(std::move(text));
  DropContents();
  kind_ = kValueString;
  string_ = std::move(moved);
}

void KTXPathValue::SetNumber(const double& number) noexcept {
  double n = number;  // the argument may live in this value
  DropContents();
  kind_ = kValueNumber;
  number_ = n;
}

void KTXPathValue::SetBoolean(const bool& value) noexcept {
  bool b = value;
  DropContents();
  kind_ = kValueBoolean;
  boolean_ = b;
}

void KTXPathValue::SetNodeSet() noexcept {
  DropContents();
  kind_ = kValueNodeSet;
}

void KTXPathValue::SetNodeSet(ItemVector&& items) {
  // A vector this value holds alone takes the items in place: no new block
  // for each step's result. Items that fit are copied, so that the vector
  // keeps its room; an empty or small vector moved in would leave the next
  // items to allocate again.
  if (kind_ == kValueNodeSet && items_ && items_.use_count() == 1 && &items != items_.get()) {
    if (items.size() <= items_->capacity())
      items_->assign(items.begin(), items.end());
    else
      *items_ = std::move(items);
    boolean_ = false;
    ordered_ = false;
    number_ = 0.0;
    return;
  }
  SharedItems vector = TakeItemVector();
  if (items.size() <= vector->capacity())
    vector->assign(items.begin(), items.end());
  else
    *vector = std::move(items);
  DropContents();
  kind_ = kValueNodeSet;
  items_ = std::move(vector);
}

// ---- KTXPathValue: items ----

const KTXPathValue::ItemVector& KTXPathValue::Items() const noexcept { return items_ ? *items_ : EmptyItems(); }

KTXPathValue::ItemVector& KTXPathValue::OwnItems() {
  if (kind_ != kValueNodeSet) SetNodeSet();
  ordered_ = false;
  if (!items_) {
    items_ = TakeItemVector();
    ownsTree_ = false;
  } else if (items_.use_count() > 1) {
    SharedItems copy = TakeItemVector();
    copy->assign(items_->begin(), items_->end());
    items_ = std::move(copy);
    ownsTree_ = false;
  }
  return *items_;
}

// The check of the order reads every item (KTWorkCount): a set marked
// ordered is not read again.
void KTXPathValue::SortDocumentOrder() {
  if (kind_ != kValueNodeSet || !items_ || items_->empty() || ordered_) return;
  const ItemVector& items = *items_;
  KTWorkCount::Add(items.size());
  bool ordered = std::is_sorted(items.begin(), items.end(), DocumentOrderLess);
  bool numbered = true;
  for (size_t i = 0; i < items.size() && numbered; ++i) numbered = items[i].GetPosition() == static_cast<int>(i) + 1;
  if (!(ordered && numbered)) {
    ItemVector& own = MutableItems();
    if (!ordered) std::stable_sort(own.begin(), own.end(), DocumentOrderLess);
    for (size_t i = 0; i < own.size(); ++i) own[i].SetPosition(static_cast<int>(i) + 1);
  }
  ordered_ = true;
}

const KTXPathNodeItem* KTXPathValue::FirstInDocumentOrder() const noexcept {
  if (kind_ != kValueNodeSet || !items_ || items_->empty()) return nullptr;
  if (ordered_) {
    // Items without a node sort first: the first with one is the answer.
    for (const KTXPathNodeItem& item : *items_)
      if (!item.IsEmpty()) return &item;
    return items_->data();
  }
  // Not known to be ordered: every item is read (KTWorkCount).
  KTWorkCount::Add(items_->size());
  const KTXPathNodeItem* first = nullptr;
  for (const KTXPathNodeItem& item : *items_) {
    if (item.IsEmpty()) continue;
    if (!first || DocumentOrderLess(item, *first)) first = &item;
  }
  return first ? first : items_->data();
}

KTString& KTXPathValue::ToString(KTString* out) const {
  return KTXPathFunctionLibrary::ToString(*out, *this);
}

// ---- Comparisons ----

namespace {

enum class CompareOp { kEq, kNe, kLt, kLe, kGt, kGe };

// The operator that gives the same answer with the operands swapped.
CompareOp Mirror(CompareOp op) {
  switch (op) {
    case CompareOp::kLt: return CompareOp::kGt;
    case CompareOp::kLe: return CompareOp::kGe;
    case CompareOp::kGt: return CompareOp::kLt;
    case CompareOp::kGe: return CompareOp::kLe;
    default: return op;
  }
}

// IEEE 754 comparisons: every one but != is false for a NaN operand.
bool CompareNumbers(double a, double b, CompareOp op) {
  switch (op) {
    case CompareOp::kEq: return a == b;
    case CompareOp::kNe: return a != b;
    case CompareOp::kLt: return a < b;
    case CompareOp::kLe: return a <= b;
    case CompareOp::kGt: return a > b;
    case CompareOp::kGe: return a >= b;
  }
  return false;
}

double NodeNumber(const KTXPathNodeItem& item, KTString& scratch) {
  return KTXPathFunctionLibrary::StringToNumber(KTXPathFunctionLibrary::StringValueView(item.GetNode(), scratch));
}

std::u16string_view NodeString(const KTXPathNodeItem& item, KTString& scratch) {
  return KTXPathFunctionLibrary::StringValueView(item.GetNode(), scratch);
}

// The smallest and largest non-NaN number among the nodes; false when no node
// has one.
bool NumberRange(const KTXPathValue::ItemVector& items, double& low, double& high) {
  KTString scratch;
  bool any = false;
  for (const KTXPathNodeItem& item : items) {
    double n = NodeNumber(item, scratch);
    if (std::isnan(n)) continue;
    if (!any || n < low) low = n;
    if (!any || n > high) high = n;
    any = true;
  }
  return any;
}

struct ViewHash {
  using is_transparent = void;
  size_t operator()(std::u16string_view s) const noexcept { return std::hash<std::u16string_view>()(s); }
};
struct ViewEqual {
  using is_transparent = void;
  bool operator()(std::u16string_view a, std::u16string_view b) const noexcept { return a == b; }
};

// Two node-sets: = holds when some pair of nodes has equal string values; the
// smaller side's values go into a hash set that the other side probes.
bool NodeSetsEqual(const KTXPathValue::ItemVector& left, const KTXPathValue::ItemVector& right) {
  const auto& small = left.size() <= right.size() ? left : right;
  const auto& large = left.size() <= right.size() ? right : left;
  KTString scratch;
  if (small.size() == 1) {
    std::u16string one(NodeString(small[0], scratch));
    for (const KTXPathNodeItem& item : large) {
      if (NodeString(item, scratch) == one) return true;
    }
    return false;
  }
  std::unordered_set<std::u16string, ViewHash, ViewEqual> values;
  values.reserve(small.size());
  for (const KTXPathNodeItem& item : small) values.emplace(NodeString(item, scratch));
  for (const KTXPathNodeItem& item : large) {
    if (values.find(NodeString(item, scratch)) != values.end()) return true;
  }
  return false;
}

// The single string value shared by all nodes, or false when two differ.
bool OnlyStringValue(const KTXPathValue::ItemVector& items, std::u16string& only) {
  KTString scratch;
  only.assign(NodeString(items[0], scratch));
  for (size_t i = 1; i < items.size(); ++i) {
    if (NodeString(items[i], scratch) != only) return false;
  }
  return true;
}

// Two node-sets: != holds when some pair differs, that is unless both sides
// hold one and the same string value throughout.
bool NodeSetsDiffer(const KTXPathValue::ItemVector& left, const KTXPathValue::ItemVector& right) {
  std::u16string leftValue;
  std::u16string rightValue;
  if (!OnlyStringValue(left, leftValue) || !OnlyStringValue(right, rightValue)) return true;
  return leftValue != rightValue;
}

bool CompareNodeSets(const KTXPathValue& left, const KTXPathValue& right, CompareOp op) {
  const auto& l = left.Items();
  const auto& r = right.Items();
  if (l.empty() || r.empty()) return false;
  if (op == CompareOp::kEq) return NodeSetsEqual(l, r);
  if (op == CompareOp::kNe) return NodeSetsDiffer(l, r);
  double lLow = 0, lHigh = 0, rLow = 0, rHigh = 0;
  if (!NumberRange(l, lLow, lHigh) || !NumberRange(r, rLow, rHigh)) return false;
  switch (op) {
    case CompareOp::kLt: return lLow < rHigh;
    case CompareOp::kLe: return lLow <= rHigh;
    case CompareOp::kGt: return lHigh > rLow;
    default: return lHigh >= rLow;
  }
}

// A node-set (left) against a value of another kind (right).
bool CompareNodeSetWith(const KTXPathValue& nodes, const KTXPathValue& other, CompareOp op) {
  if (other.GetKind() == kValueBoolean) {
    bool b = !nodes.Items().empty();
    if (op == CompareOp::kEq) return b == other.GetBoolean();
    if (op == CompareOp::kNe) return b != other.GetBoolean();
    return CompareNumbers(b ? 1.0 : 0.0, other.GetBoolean() ? 1.0 : 0.0, op);
  }
  KTString scratch;
  if (other.GetKind() == kValueString && (op == CompareOp::kEq || op == CompareOp::kNe)) {
    std::u16string_view text = other.StringText();
    for (const KTXPathNodeItem& item : nodes.Items()) {
      if ((NodeString(item, scratch) == text) == (op == CompareOp::kEq)) return true;
    }
    return false;
  }
  double n = KTXPathFunctionLibrary::ToNumber(other);
  for (const KTXPathNodeItem& item : nodes.Items()) {
    if (CompareNumbers(NodeNumber(item, scratch), n, op)) return true;
  }
  return false;
}

bool CompareValues(const KTXPathValue& left, const KTXPathValue& right, CompareOp op) {
  bool leftNodes = left.IsNodeSet();
  bool rightNodes = right.IsNodeSet();
  if (leftNodes && rightNodes) return CompareNodeSets(left, right, op);
  if (leftNodes) return CompareNodeSetWith(left, right, op);
  if (rightNodes) return CompareNodeSetWith(right, left, Mirror(op));
  if (op == CompareOp::kEq || op == CompareOp::kNe) {
    bool equal;
    if (left.GetKind() == kValueBoolean || right.GetKind() == kValueBoolean) {
      equal = KTXPathFunctionLibrary::ToBoolean(left) == KTXPathFunctionLibrary::ToBoolean(right);
    } else if (left.GetKind() == kValueNumber || right.GetKind() == kValueNumber) {
      equal = KTXPathFunctionLibrary::ToNumber(left) == KTXPathFunctionLibrary::ToNumber(right);
    } else {
      equal = left.StringText() == right.StringText();
    }
    return op == CompareOp::kEq ? equal : !equal;
  }
  return CompareNumbers(KTXPathFunctionLibrary::ToNumber(left), KTXPathFunctionLibrary::ToNumber(right), op);
}

}  // namespace

bool KTXPathValue::Equals(const KTXPathValue& right) const { return CompareValues(*this, right, CompareOp::kEq); }
bool KTXPathValue::NotEquals(const KTXPathValue& right) const { return CompareValues(*this, right, CompareOp::kNe); }
bool KTXPathValue::Less(const KTXPathValue& right) const { return CompareValues(*this, right, CompareOp::kLt); }
bool KTXPathValue::LessOrEqual(const KTXPathValue& right) const {
  return CompareValues(*this, right, CompareOp::kLe);
}
bool KTXPathValue::Greater(const KTXPathValue& right) const { return CompareValues(*this, right, CompareOp::kGt); }
bool KTXPathValue::GreaterOrEqual(const KTXPathValue& right) const {
  return CompareValues(*this, right, CompareOp::kGe);
}

// ---- Logical and arithmetic operators ----

bool KTXPathValue::Or(const KTXPathValue& right) const {
  return KTXPathFunctionLibrary::ToBoolean(*this) || KTXPathFunctionLibrary::ToBoolean(right);
}

bool KTXPathValue::And(const KTXPathValue& right) const {
  return KTXPathFunctionLibrary::ToBoolean(*this) && KTXPathFunctionLibrary::ToBoolean(right);
}

double KTXPathValue::Add(const KTXPathValue& right) const {
  return KTXPathFunctionLibrary::ToNumber(*this) + KTXPathFunctionLibrary::ToNumber(right);
}

double KTXPathValue::Subtract(const KTXPathValue& right) const {
  return KTXPathFunctionLibrary::ToNumber(*this) - KTXPathFunctionLibrary::ToNumber(right);
}

double KTXPathValue::Multiply(const KTXPathValue& right) const {
  return KTXPathFunctionLibrary::ToNumber(*this) * KTXPathFunctionLibrary::ToNumber(right);
}

double KTXPathValue::Divide(const KTXPathValue& right) const {
  // IEEE 754 division never traps here: x div 0 is an infinity, 0 div 0 NaN.
  return KTXPathFunctionLibrary::ToNumber(*this) / KTXPathFunctionLibrary::ToNumber(right);
}

double KTXPathValue::Modulo(const KTXPathValue& right) const {
  // XPath 1.0 §3.5: the remainder of a truncating division, like fmod
  // (5.5 mod 2 is 1.5, x mod 0 is NaN).
  return std::fmod(KTXPathFunctionLibrary::ToNumber(*this), KTXPathFunctionLibrary::ToNumber(right));
}
