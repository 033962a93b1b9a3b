// The syntax-tree node base of the XPath engine: nodes that evaluate
// themselves over a KTXPathEvalContext, hold their children through counted
// handles and carry token text, plus the node-factory registry that makes a
// node of any kind and the table of grammar kinds the parser builds.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "core/kterrorlogger.h"
#include "core/ktstring.h"

class KTXPathEvalContext;
class KTXPathAstNode;
class KTXPathValue;

// Grammar kinds of the syntax tree. The numbers are fixed: parsers, node
// classes and stylesheet code all test them.
enum KTXPathAstNodeKind : int {
  kAstUnset = -1,
  kAstLocationPath = 50,
  kAstRelativeLocationPath = 51,
  kAstAbsoluteLocationPath = 52,
  kAstRootLocationPath = 53,
  kAstAbbreviatedAbsoluteLocationPath = 55,
  kAstStepContinuation = 56,
  kAstStep = 57,
  kAstStepSeparator = 59,
  kAstAxisStep = 60,
  kAstPredicate = 63,
  kAstAbbreviatedStep = 64,
  kAstNamedAxis = 65,
  kAstAxisName = 66,
  kAstAbbreviatedAxisSpecifier = 68,
  kAstProcessingInstructionTest = 82,
  kAstNodeType = 83,
  kAstNodeTypeTest = 86,
  kAstLiteral = 88,
  kAstNameTest = 89,
  kAstPredicateExpr = 91,
  kAstExpr = 93,
  kAstOrExpr = 101,
  kAstAndExpr = 102,
  kAstOrOperand = 103,
  kAstEqualityExpr = 105,
  kAstAndOperand = 106,
  kAstRelationalExpr = 108,
  kAstEqualityOperand = 109,
  kAstEqualityOperator = 110,
  kAstAdditiveExpr = 113,
  kAstRelationalOperand = 114,
  kAstRelationalOperator = 115,
  kAstMultiplicativeExpr = 120,
  kAstAdditiveOperand = 121,
  kAstUnaryExpr = 125,
  kAstMultiplicativeOperand = 126,
  kAstMultiplyOperand = 127,
  kAstDivOperand = 129,
  kAstModOperand = 131,
  kAstUnionExpr = 133,
  kAstNegation = 134,
  kAstPathExpr = 135,
  kAstUnionOperand = 136,
  kAstFilterExpr = 138,
  kAstFilterDescendantPath = 139,
  kAstFilterChildPath = 140,
  kAstPrimaryExpr = 141,
  kAstFilterPredicate = 142,
  kAstVariableReference = 143,
  kAstParenthesizedExpr = 144,
  kAstNumber = 145,
  kAstFunctionCall = 146,
  kAstFunctionName = 147,
  kAstArguments = 148,
  kAstArgument = 149,
  kAstArgumentTail = 150,
  kAstPrefixWildcard = 153,
  kAstNCName = 154,
  kAstQName = 156,
  kAstDoubleQuotedLiteral = 160,
  kAstSingleQuotedLiteral = 163,
  kAstDigitsNumber = 167,
  kAstDigits = 168,
  kAstFraction = 169,
  kAstLeadingPointNumber = 170,
  kAstQNamePrefix = 177,
  kAstPrefix = 178,
  kAstLocalPart = 179,
  // Selector and field path kinds that the shared node classes also serve.
  kAstFieldStep = 8,
  kAstFieldNameTest = 13,
  kAstSelectorStep = 33,
  kAstSelectorNameTest = 37,
  kAstToken = 8190,
  kAstCharacterRun = 8191,
  kAstDefault = 8192,
};

// Roles a parent gives a child when it adds it.
inline constexpr int kRoleCharacterRun = 2;
inline constexpr int kRoleChild = 3;

// Shared ownership of one syntax-tree node: every holder (a slot of a
// parent's children, a handle made from a child) counts one; the node
// is deleted when the last reference goes. The count lives in the node
// itself, so holding a child costs one pointer and no allocation of its own.
class KTNodeHandle {
 public:
  KTNodeHandle() noexcept = default;
  // Takes one reference to the node (a fresh node's count goes to 1); an
  // empty handle for null.
  explicit KTNodeHandle(KTXPathAstNode* node) noexcept;
  KTNodeHandle(const KTNodeHandle& other) noexcept;
  KTNodeHandle(KTNodeHandle&& other) noexcept : node_(other.node_) { other.node_ = nullptr; }
  KTNodeHandle& operator=(const KTNodeHandle& other) noexcept;
  KTNodeHandle& operator=(KTNodeHandle&& other) noexcept;
  ~KTNodeHandle() { Release(); }

  KTXPathAstNode* Get() const noexcept { return node_; }
  KTXPathAstNode* operator->() const noexcept { return node_; }
  explicit operator bool() const noexcept { return node_ != nullptr; }
  uint32_t Count() const noexcept;
  // Drops this reference; the node goes with the last one.
  void Release() noexcept;

 private:
  KTXPathAstNode* node_ = nullptr;
};

// Base of every syntax-tree node. A node evaluates itself (Evaluate) by
// reading and writing the evaluation context; the base evaluates its children
// in order.
class KTXPathAstNode {
 public:
  KTXPathAstNode() = default;
  // Frees the whole subtree without recursion, so that deep trees never
  // exhaust the call stack.
  virtual ~KTXPathAstNode();
  KTXPathAstNode(const KTXPathAstNode&) = delete;
  KTXPathAstNode& operator=(const KTXPathAstNode&) = delete;

  // Nodes of up to kPooledNodeBytes come from free lists of blocks of their
  // size, carved out of page blocks and kept for reuse on this thread: a
  // stylesheet compiles into hundreds of thousands of small nodes, and the
  // allocator's header and rounding would add a fifth to each.
  static void* operator new(size_t size);
  static void operator delete(void* block, size_t size) noexcept;
  static constexpr size_t kPooledNodeBytes = 256;

  virtual bool Evaluate(KTXPathEvalContext& context);
  // The one child whose evaluation is this node's whole evaluation, or null
  // when the node does work of its own. The parser builds a node per
  // grammar level, so most operands are long chains of such nodes.
  virtual KTXPathAstNode* SoleTarget() const { return nullptr; }
  // The value of a string literal or a number that this node evaluates to
  // whatever the context, which an operator or a function call reads as it
  // stands instead of evaluating the node in a context of its own; null for
  // any other node.
  virtual const KTXPathValue* ConstantValue() { return nullptr; }
  // The node where evaluation really starts: the end of the chain of sole
  // targets from this node, found on first use (the tree no longer changes
  // once it is evaluated).
  KTXPathAstNode* Resolved() {
    if (!resolved_) ResolveChain();
    return resolved_;
  }
  // Always true; kept for the classes that override it.
  virtual bool Check(void* unused) { return true; }

  // Evaluates the node as an operand (of an operator, a function call or a
  // predicate). An operand that the compile found invariant (see
  // ktxpathinvariant.h) runs once per evaluation of its expression and is
  // replayed from the evaluation's store after that.
  bool EvaluateOperand(KTXPathEvalContext& context) {
    return invariantSlot_ < 0 ? Resolved()->Evaluate(context) : EvaluateInvariant(context);
  }
  // The slot of the invariant operand in the evaluation's store, -1 for an
  // operand that runs every time; whether its value also follows the
  // document of the context node (key(), id()).
  int InvariantSlot() const { return invariantSlot_; }
  bool InvariantPerDocument() const { return invariantPerDocument_; }
  // A slot past kMaxInvariantSlot leaves the operand to run every time,
  // which gives the same value.
  void SetInvariant(int slot, bool perDocument) {
    if (slot > kMaxInvariantSlot) return;
    invariantSlot_ = static_cast<int16_t>(slot);
    invariantPerDocument_ = perDocument;
  }
  // The invariant operands one expression replays from its store; the slot
  // number is kept in 16 bits, as the node's size matters more than the
  // replay of operands past the 32,767th of one expression.
  static constexpr int kMaxInvariantSlot = 32767;

  // Adds the child (owned from then on) with the role; false for null. A
  // child that nothing else holds is freed when no room can be had for it.
  // Inline while there is room: the parser adds a child for every node.
  bool AddChild(KTXPathAstNode* child, int role) {
    if (!child || childCount_ == uint32_t{1} << capacityShift_)
      return AddChildGrowing(child, role);
    Place(child, role);
    return true;
  }
  // Refuses (false, nothing changed) text of kMaxSetTokenLength characters
  // or more; the character runs of names, numbers and literals grow without
  // limit through AppendTokenChar and AppendTokenRun.
  bool SetTokenText(const char16_t* text, int length, int position);
  // Adds one character to the node's current character run (a last child of
  // role 2), starting a new run (kind 8191) when there is none.
  bool AppendTokenChar(char16_t c);
  // The same for a run of characters at once.
  bool AppendTokenRun(const char16_t* text, int length);
  const char16_t* TokenText() const { return token_.c_str(); }
  int TokenLength() const { return token_.GetLength(); }
  const KTString& Token() const { return token_; }

  int ChildCount() const { return static_cast<int>(childCount_); }
  // The child at an index (null when out of range); reads no cursor, so
  // nested evaluations of one node never disturb each other.
  KTXPathAstNode* ChildAt(int index) const {
    return index >= 0 && index < ChildCount() ? Children()[index] : nullptr;
  }
  KTXPathAstNode* FirstChild() const { return ChildAt(0); }

  bool EvaluateChildren(KTXPathEvalContext& context);
  // Deep copy made through the registry by kind; null when no node can be
  // made. Children of the copy have role 3 and the copy's positions are 0.
  KTXPathAstNode* CloneSubtree() const;

  int SourcePosition() const { return sourcePosition_; }
  void SetSourcePosition(int position) { sourcePosition_ = position; }
  int GetKind() const { return kind_; }
  void SetKind(int kind) { kind_ = static_cast<int16_t>(kind); }
  int GetRole() const { return role_; }

  static constexpr int kMaxSetTokenLength = 256;
  // The children one node holds: the count shares a word with the array's
  // size and the role. An expression of 2^22 operands of one operator needs
  // 8 MB of text in one attribute; the node refuses the next (TooManyChildren).
  static constexpr int kMaxChildShift = 22;
  // What a node past that many children throws: memory refused to callers
  // that know no better, told apart where an expression is compiled so
  // that the expression is refused as one it cannot take.
  struct TooManyChildren : std::bad_alloc {
    const char* what() const noexcept override { return "too many operands in one expression"; }
  };

 private:
  friend class KTNodeHandle;

  // The children, each slot one counted reference. Most nodes of a compiled
  // tree have one child (a node per grammar level), so one child is held in
  // place and only a second one moves them all to an array on the heap.
  KTXPathAstNode* const* Children() const { return capacityShift_ == 0 ? &oneChild_ : manyChildren_; }
  KTXPathAstNode** Children() { return capacityShift_ == 0 ? &oneChild_ : manyChildren_; }
  void GrowChildren();

  union {
    KTXPathAstNode* oneChild_ = nullptr;
    KTXPathAstNode** manyChildren_;
  };
  KTString token_;
  KTXPathAstNode* resolved_ = nullptr;
  // The count, the room and the role share one word, which keeps a node at
  // 48 bytes: a compiled stylesheet holds hundreds of thousands of them.
  uint32_t childCount_ : 23 = 0;
  // Room for 1 << capacityShift_ children; 0: the one child held in place.
  uint32_t capacityShift_ : 5 = 0;
  uint32_t invariantPerDocument_ : 1 = 0;
  // The roles a parent gives (2 and 3; up to 7).
  uint32_t role_ : 3 = 0;
  int sourcePosition_ = 0;
  // References held by parents and handles; 0 while a holder owns the node.
  uint32_t refCount_ = 0;
  // The kinds (up to 8192).
  int16_t kind_ = kAstUnset;
  int16_t invariantSlot_ = -1;

  void ResolveChain();
  bool EvaluateInvariant(KTXPathEvalContext& context);
  // AddChild for a null child or a full array.
  bool AddChildGrowing(KTXPathAstNode* child, int role);
  // Stores the child in the next free slot, which there is.
  void Place(KTXPathAstNode* child, int role) {
    resolved_ = nullptr;
    ++child->refCount_;
    if (sourcePosition_ == 0)
      sourcePosition_ = child->sourcePosition_;
    child->role_ = static_cast<uint32_t>(role) & 7u;
    Children()[childCount_] = child;
    childCount_ = childCount_ + 1;
  }
};

inline uint32_t KTNodeHandle::Count() const noexcept { return node_ ? node_->refCount_ : 0; }

// Owns a node while a parser production builds it.
using KTXPathNodeHolder = std::unique_ptr<KTXPathAstNode>;

using KTXPathNodeCreator = KTXPathAstNode* (*)();

// The process-wide registry from node kind to creator. The first Create on an
// empty registry builds the prototype table (BuildNodePrototypes), so every
// node class is known before the first node is made.
class KTIndividualFactory {
 public:
  // The registry; raises KTComError(kKTErrorUnexpected) after process teardown.
  static KTIndividualFactory* Instance();
  static KTNullLock* GetLock();

  // A new node of the class registered for exactly this kind (kind field
  // still -1), or null when no class registered it.
  KTXPathAstNode* Create(int kind);
  // A new node of the class registered for the kind, else of the default
  // kind's class (kind field still -1); null when neither is registered.
  KTXPathAstNode* CreateOrDefault(int kind);
  // Inserts the pair unless the kind is registered already; true if inserted.
  bool Register(int kind, KTXPathNodeCreator creator);
  int GetEntryCount() const { return entryCount_; }
  bool IsRegistered(int kind) const { return Find(kind) != nullptr; }

  KTIndividualFactory() = default;
  ~KTIndividualFactory();

 private:
  // Kinds from 0 to the default kind are indexed in two levels: a block of
  // kKindsPerBlock creators is made only for a range that holds a registered
  // kind. The few hundred kinds of the grammars lie sparse over 8193 numbers,
  // and a flat index of them all would be 32 pages written at every start.
  static constexpr int kKindsPerBlock = 64;
  static constexpr int kKindBlockCount = kAstDefault / kKindsPerBlock + 1;
  struct KindBlock {
    KTXPathNodeCreator creators[kKindsPerBlock] = {};
  };

  // The creator registered for exactly the kind, or null.
  KTXPathNodeCreator Find(int kind) const;
  void BuildIfEmpty();

  std::unique_ptr<KindBlock> blocks_[kKindBlockCount];
  // Kinds outside the indexed range, in the order registered: none of the
  // engine's classes takes one.
  std::vector<std::pair<int, KTXPathNodeCreator>> otherKinds_;
  // What a kind without a class of its own gets.
  KTXPathNodeCreator defaultCreator_ = nullptr;
  int entryCount_ = 0;
  KTNullLock* lock_ = nullptr;
};

// Registers the creator of every node class in the fixed prototype order
// (the first class to claim a kind keeps it). Called by the registry when its
// map is empty; answers true.
bool BuildNodePrototypes();

// A node of the kind: the registered class, else the default class; its
// kind field is set to the kind asked for. Null only when nothing can be made.
KTXPathNodeHolder CreateNodeOfKind(int kind);

// Compares at most n characters like the bounded wide-string comparison;
// 0 when both are null, -1 when exactly one is.
int CompareChars(const char16_t* a, const char16_t* b, int n);
