// The syntax-tree node base, its counted child handles and the node-factory
// registry. Deletion and copying of subtrees walk explicit stacks, so a tree
// of any depth is freed or copied without deep recursion.
#include "xpath/ktxpathastnode.h"

#include <cwchar>
#include <memory>
#include <new>
#include <utility>

#include "platform/ktmemory.h"

// ---------------------------------------------------------------------------
// KTNodeHandle

KTNodeHandle::KTNodeHandle(KTXPathAstNode* node) noexcept : node_(node) {
  if (node_)
    ++node_->refCount_;
}

KTNodeHandle::KTNodeHandle(const KTNodeHandle& other) noexcept : node_(other.node_) {
  if (node_)
    ++node_->refCount_;
}

KTNodeHandle& KTNodeHandle::operator=(const KTNodeHandle& other) noexcept {
  if (node_ != other.node_) {
    KTNodeHandle copy(other);
    std::swap(node_, copy.node_);
  }
  return *this;
}

KTNodeHandle& KTNodeHandle::operator=(KTNodeHandle&& other) noexcept {
  if (this != &other) {
    Release();
    node_ = other.node_;
    other.node_ = nullptr;
  }
  return *this;
}

void KTNodeHandle::Release() noexcept {
  KTXPathAstNode* node = node_;
  node_ = nullptr;
  if (node && --node->refCount_ == 0)
    delete node;
}

// ---------------------------------------------------------------------------
// Pool of node blocks

namespace {

// Node sizes in steps of 8 bytes (a node's alignment), each size with a free
// list; carved out of page blocks that are never given back. Per thread, so
// no lock; a node freed on another thread joins that thread's lists. An
// address sanitizer build takes every node on its own, so that it still sees
// a node used after it was freed.
constexpr bool kPoolNodes = !kKTAddressSanitizerBuild;
constexpr size_t kNodeStep = 8;

struct NodePool {
  void* free[KTXPathAstNode::kPooledNodeBytes / kNodeStep + 1];
  char* chunk;
  size_t left;
};
thread_local constinit NodePool tNodePool = {};

size_t NodeBlockSize(size_t bytes) { return (bytes + kNodeStep - 1) / kNodeStep * kNodeStep; }

// Child arrays of up to kPooledNodeBytes share the nodes' pool: most arrays
// hold two to eight children, and the general allocator's header and
// rounding would double the smallest of them.
KTXPathAstNode** NewChildArray(uint32_t capacity) {
  return static_cast<KTXPathAstNode**>(KTXPathAstNode::operator new(capacity * sizeof(KTXPathAstNode*)));
}

void DeleteChildArray(KTXPathAstNode** array, uint32_t capacity) {
  KTXPathAstNode::operator delete(array, capacity * sizeof(KTXPathAstNode*));
}

}  // namespace

void* KTXPathAstNode::operator new(size_t size) {
  const size_t bytes = NodeBlockSize(size);
  if (!kPoolNodes || bytes > kPooledNodeBytes)
    return ::operator new(size);
  NodePool& pool = tNodePool;
  if (void* block = pool.free[bytes / kNodeStep]) {
    pool.free[bytes / kNodeStep] = *static_cast<void**>(block);
    return block;
  }
  if (pool.left < bytes) {
    // What is left of the old chunk serves the size that fits it exactly.
    if (pool.left >= kNodeStep) {
      *reinterpret_cast<void**>(pool.chunk) = pool.free[pool.left / kNodeStep];
      pool.free[pool.left / kNodeStep] = pool.chunk;
    }
    pool.chunk = static_cast<char*>(KTTakePageBlock());
    pool.left = pool.chunk ? kKTPageBlockBytes : 0;
    if (!pool.chunk)
      throw std::bad_alloc();
  }
  void* block = pool.chunk;
  pool.chunk += bytes;
  pool.left -= bytes;
  return block;
}

void KTXPathAstNode::operator delete(void* block, size_t size) noexcept {
  if (!block)
    return;
  const size_t bytes = NodeBlockSize(size);
  if (!kPoolNodes || bytes > kPooledNodeBytes) {
    ::operator delete(block);
    return;
  }
  NodePool& pool = tNodePool;
  *static_cast<void**>(block) = pool.free[bytes / kNodeStep];
  pool.free[bytes / kNodeStep] = block;
}

// ---------------------------------------------------------------------------
// KTXPathAstNode

KTXPathAstNode::~KTXPathAstNode() {
  // Children whose last reference this node holds are taken apart here
  // without recursion and without a side stack (a destructor also runs while
  // an out-of-memory error unwinds, so nothing may be allocated): the walk
  // goes down through last children held only by their parent, keeping the
  // way back in each one's resolved link (no longer needed once the node
  // goes), and drops a child from the end of its parent's list once it has
  // no children left. Each node is reached and dropped once.
  KTXPathAstNode* node = this;
  while (true) {
    if (node->childCount_ != 0) {
      KTXPathAstNode* child = node->Children()[node->childCount_ - 1];
      if (child->refCount_ == 1 && child->childCount_ != 0) {
        child->resolved_ = node;
        node = child;
        continue;
      }
      // A node without children, or one that another reference keeps.
      node->childCount_ = node->childCount_ - 1;
      if (--child->refCount_ == 0)
        delete child;
      continue;
    }
    if (node == this) break;
    KTXPathAstNode* parent = node->resolved_;
    parent->childCount_ = parent->childCount_ - 1;
    node->refCount_ = 0;
    delete node;  // now without children
    node = parent;
  }
  if (capacityShift_ != 0)
    DeleteChildArray(manyChildren_, uint32_t{1} << capacityShift_);
}

bool KTXPathAstNode::Evaluate(KTXPathEvalContext& context) { return EvaluateChildren(context); }

void KTXPathAstNode::ResolveChain() {
  KTXPathAstNode* node = this;
  while (KTXPathAstNode* next = node->SoleTarget())
    node = next;
  resolved_ = node;
}

void KTXPathAstNode::GrowChildren() {
  if (capacityShift_ >= kMaxChildShift)
    throw TooManyChildren();
  const uint32_t capacity = uint32_t{1} << (capacityShift_ + 1);
  KTXPathAstNode** grown = NewChildArray(capacity);
  KTXPathAstNode** old = Children();
  for (uint32_t i = 0; i < childCount_; ++i)
    grown[i] = old[i];
  if (capacityShift_ != 0)
    DeleteChildArray(manyChildren_, uint32_t{1} << capacityShift_);
  manyChildren_ = grown;
  capacityShift_ = capacityShift_ + 1;
}

bool KTXPathAstNode::AddChildGrowing(KTXPathAstNode* child, int role) {
  if (!child)
    return false;
  if (childCount_ == uint32_t{1} << capacityShift_) {
    // The caller has handed the child over: one that nothing else holds goes
    // when there is no room for it.
    std::unique_ptr<KTXPathAstNode> unheld(child->refCount_ == 0 ? child : nullptr);
    GrowChildren();
    unheld.release();
  }
  Place(child, role);
  return true;
}

bool KTXPathAstNode::SetTokenText(const char16_t* text, int length, int position) {
  if (length >= kMaxSetTokenLength || length < 0)
    return false;
  // A token keeps its text for the tree's life: an exact pooled block.
  if (text && length > 0)
    token_.SetCapacityPooled(length);
  token_.Assign(text ? text : u"", text ? length : 0);
  sourcePosition_ = position;
  return true;
}

bool KTXPathAstNode::AppendTokenChar(char16_t c) { return AppendTokenRun(&c, 1); }

bool KTXPathAstNode::AppendTokenRun(const char16_t* text, int length) {
  if (length <= 0)
    return true;
  KTXPathAstNode* run = ChildAt(ChildCount() - 1);
  if (!run || run->role_ != kRoleCharacterRun) {
    KTXPathNodeHolder made = CreateNodeOfKind(kAstCharacterRun);
    if (!made)
      return false;
    run = made.get();
    AddChild(made.release(), kRoleCharacterRun);
  }
  // A run is mostly taken whole: an exact pooled block, like a token's.
  if (run->token_.IsEmpty())
    run->token_.SetCapacityPooled(length);
  int runLength = run->token_.GetLength();
  run->token_.AppendAtLength(text, runLength, 0, length);
  return true;
}

bool KTXPathAstNode::EvaluateChildren(KTXPathEvalContext& context) {
  // Indexing instead of the shared cursor: a node evaluated again inside its
  // own evaluation (a predicate run per context node) keeps its place.
  for (uint32_t i = 0; i < childCount_; ++i) {
    if (!Children()[i]->Resolved()->Evaluate(context))
      return false;
  }
  return true;
}

namespace {

KTXPathAstNode* NewNodeLike(const KTXPathAstNode& source) {
  KTIndividualFactory* factory = KTIndividualFactory::Instance();
  KTXPathAstNode* copy = factory->Create(source.GetKind());
  if (!copy)
    copy = factory->Create(kAstDefault);
  return copy;
}

}  // namespace

KTXPathAstNode* KTXPathAstNode::CloneSubtree() const {
  KTXPathAstNode* top = NewNodeLike(*this);
  if (!top)
    return nullptr;
  KTXPathNodeHolder topHolder(top);
  top->token_ = token_;
  top->kind_ = kind_;
  top->role_ = role_;
  top->invariantSlot_ = invariantSlot_;
  top->invariantPerDocument_ = invariantPerDocument_;
  // Pairs of (source, copy) whose children are still to be copied.
  std::vector<std::pair<const KTXPathAstNode*, KTXPathAstNode*>> work{{this, top}};
  while (!work.empty()) {
    auto [source, copy] = work.back();
    work.pop_back();
    for (uint32_t i = 0; i < source->childCount_; ++i) {
      const KTXPathAstNode* from = source->Children()[i];
      KTXPathAstNode* to = NewNodeLike(*from);
      if (!to)
        return nullptr;
      to->token_ = from->token_;
      to->kind_ = from->kind_;
      to->invariantSlot_ = from->invariantSlot_;
      to->invariantPerDocument_ = from->invariantPerDocument_;
      copy->AddChild(to, kRoleChild);
      work.emplace_back(from, to);
    }
  }
  return topHolder.release();
}

// ---------------------------------------------------------------------------
// KTIndividualFactory

namespace {

constinit KTIndividualFactory* cachedFactory = nullptr;
constinit bool factoryDestroyed = false;

KTIndividualFactory* FactoryStorage();

}  // namespace

KTIndividualFactory* KTIndividualFactory::Instance() {
  if (cachedFactory)
    return cachedFactory;
  KTNullLockGuard guard(GetLock());
  if (!cachedFactory) {
    if (factoryDestroyed)
      CheckInstance(nullptr, u"This class has already been destroyed");
    KTIndividualFactory* factory = FactoryStorage();
    CheckInstance(factory, u"The Individual Factory Could Not Be Created");
    factory->lock_ = GetLock();
    cachedFactory = factory;
  }
  return cachedFactory;
}

KTNullLock* KTIndividualFactory::GetLock() {
  static KTNullLock lock;
  return &lock;
}

KTIndividualFactory::~KTIndividualFactory() {
  cachedFactory = nullptr;
  factoryDestroyed = true;
}

namespace {

KTIndividualFactory* FactoryStorage() {
  static KTIndividualFactory storage;
  return &storage;
}

}  // namespace

KTXPathNodeCreator KTIndividualFactory::Find(int kind) const {
  if (kind >= 0 && kind <= kAstDefault) {
    const KindBlock* block = blocks_[kind / kKindsPerBlock].get();
    return block ? block->creators[kind % kKindsPerBlock] : nullptr;
  }
  for (const auto& [other, creator] : otherKinds_) {
    if (other == kind)
      return creator;
  }
  return nullptr;
}

void KTIndividualFactory::BuildIfEmpty() {
  if (entryCount_ == 0) {
    KTNullLockGuard guard(lock_);
    if (entryCount_ == 0)
      BuildNodePrototypes();
  }
}

KTXPathAstNode* KTIndividualFactory::Create(int kind) {
  BuildIfEmpty();
  KTXPathNodeCreator creator = Find(kind);
  return creator ? creator() : nullptr;
}

KTXPathAstNode* KTIndividualFactory::CreateOrDefault(int kind) {
  BuildIfEmpty();
  KTXPathNodeCreator creator = Find(kind);
  if (!creator)
    creator = defaultCreator_;
  return creator ? creator() : nullptr;
}

bool KTIndividualFactory::Register(int kind, KTXPathNodeCreator creator) {
  if (Find(kind))
    return false;
  if (kind >= 0 && kind <= kAstDefault) {
    std::unique_ptr<KindBlock>& block = blocks_[kind / kKindsPerBlock];
    if (!block)
      block = std::make_unique<KindBlock>();
    block->creators[kind % kKindsPerBlock] = creator;
  } else {
    otherKinds_.emplace_back(kind, creator);
  }
  if (kind == kAstDefault)
    defaultCreator_ = creator;
  ++entryCount_;
  return true;
}

KTXPathNodeHolder CreateNodeOfKind(int kind) {
  KTXPathNodeHolder node(KTIndividualFactory::Instance()->CreateOrDefault(kind));
  if (node)
    node->SetKind(kind);
  return node;
}

int CompareChars(const char16_t* a, const char16_t* b, int n) {
  if (!a && !b)
    return 0;
  if (!a || !b)
    return -1;
  for (int i = 0; i < n; ++i) {
    if (a[i] != b[i])
      return a[i] < b[i] ? -1 : 1;
    if (a[i] == 0)
      return 0;
  }
  return 0;
}
