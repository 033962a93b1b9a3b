// The syntax-tree node base, its counted child handles and the node-factory
// registry. Deletion and copying of subtrees walk explicit stacks, so a tree
// of any depth is freed or copied without deep recursion.
#include "xpath/ktxpathastnode.h"

#include <cwchar>
#include <utility>

// ---------------------------------------------------------------------------
// KTNodeHandle

KTNodeHandle::KTNodeHandle(KTXPathAstNode* node) {
  if (node)
    block_ = new Block{node, 1};
}

KTNodeHandle::KTNodeHandle(const KTNodeHandle& other) noexcept : block_(other.block_) {
  if (block_)
    ++block_->count;
}

KTNodeHandle& KTNodeHandle::operator=(const KTNodeHandle& other) noexcept {
  if (block_ != other.block_) {
    KTNodeHandle copy(other);
    std::swap(block_, copy.block_);
  }
  return *this;
}

KTNodeHandle& KTNodeHandle::operator=(KTNodeHandle&& other) noexcept {
  if (this != &other) {
    Release();
    block_ = other.block_;
    other.block_ = nullptr;
  }
  return *this;
}

void KTNodeHandle::Release() noexcept {
  Block* block = block_;
  block_ = nullptr;
  if (!block)
    return;
  if (--block->count == 0) {
    delete block->node;
    delete block;
  }
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
  lastChild_.Release();
  KTXPathAstNode* node = this;
  while (true) {
    if (!node->children_.empty()) {
      KTNodeHandle& last = node->children_.back();
      KTXPathAstNode* child = last.Get();
      if (child && last.Count() == 1) {
        child->lastChild_.Release();
        if (!child->children_.empty()) {
          child->resolved_ = node;
          node = child;
          continue;
        }
      }
      // A node without children, or one that another reference keeps.
      node->children_.pop_back();
      continue;
    }
    if (node == this) break;
    KTXPathAstNode* parent = node->resolved_;
    parent->children_.pop_back();  // deletes the node, now without children
    node = parent;
  }
}

bool KTXPathAstNode::Evaluate(KTXPathEvalContext& context) { return EvaluateChildren(context); }

void KTXPathAstNode::ResolveChain() {
  KTXPathAstNode* node = this;
  while (KTXPathAstNode* next = node->SoleTarget())
    node = next;
  resolved_ = node;
}

bool KTXPathAstNode::AddChild(KTXPathAstNode* child, int role) {
  if (!child)
    return false;
  resolved_ = nullptr;
  KTNodeHandle handle(child);
  if (sourcePosition_ == 0)
    sourcePosition_ = child->sourcePosition_;
  child->role_ = role;
  lastChild_ = handle;
  children_.push_back(std::move(handle));
  return true;
}

bool KTXPathAstNode::SetTokenText(const char16_t* text, int length, int position) {
  if (length >= kMaxSetTokenLength || length < 0)
    return false;
  token_.Assign(text ? text : u"", text ? length : 0);
  sourcePosition_ = position;
  return true;
}

bool KTXPathAstNode::AppendTokenChar(char16_t c) { return AppendTokenRun(&c, 1); }

bool KTXPathAstNode::AppendTokenRun(const char16_t* text, int length) {
  if (length <= 0)
    return true;
  KTXPathAstNode* run = lastChild_.Get();
  if (!run || run->role_ != kRoleCharacterRun) {
    KTXPathNodeHolder made = CreateNodeOfKind(kAstCharacterRun);
    if (!made)
      return false;
    run = made.get();
    AddChild(made.release(), kRoleCharacterRun);
  }
  if (length == 1) {
    run->token_ += text[0];
  } else {
    run->token_ += KTString(std::u16string_view(text, length));
  }
  return true;
}

int KTXPathAstNode::ResetChildCursor() {
  cursor_ = 0;
  return ChildCount();
}

KTNodeHandle KTXPathAstNode::NextChild() {
  if (cursor_ >= children_.size())
    return KTNodeHandle();
  return children_[cursor_++];
}

bool KTXPathAstNode::EvaluateChildren(KTXPathEvalContext& context) {
  // Indexing instead of the shared cursor: a node evaluated again inside its
  // own evaluation (a predicate run per context node) keeps its place.
  for (size_t i = 0; i < children_.size(); ++i) {
    if (!children_[i].Get()->Resolved()->Evaluate(context))
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
    for (const KTNodeHandle& child : source->children_) {
      const KTXPathAstNode* from = child.Get();
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
  creators_.clear();
  cachedFactory = nullptr;
  factoryDestroyed = true;
}

namespace {

KTIndividualFactory* FactoryStorage() {
  static KTIndividualFactory storage;
  return &storage;
}

}  // namespace

KTXPathAstNode* KTIndividualFactory::Create(int kind) {
  if (creators_.empty()) {
    KTNullLockGuard guard(lock_);
    if (creators_.empty())
      BuildNodePrototypes();
  }
  auto it = creators_.lower_bound(kind);
  if (it != creators_.end() && it->first == kind)
    return it->second();
  return nullptr;
}

bool KTIndividualFactory::Register(int kind, KTXPathNodeCreator creator) {
  return creators_.emplace(kind, creator).second;
}

KTXPathNodeHolder CreateNodeOfKind(int kind) {
  KTIndividualFactory* factory = KTIndividualFactory::Instance();
  KTXPathNodeHolder node(factory->Create(kind));
  if (!node)
    node.reset(factory->Create(kAstDefault));
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
