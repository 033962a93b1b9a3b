// Element types: content-model building and lookups, attribute declarations
// and the defaults the tree builder supplies.
#include "schema/ktelementtype.h"

#include <set>
#include <unordered_map>

#include "schema/ktschemamodel.h"

namespace {
// Complex-type links and nested groups come from schema documents; a schema
// that links a type to itself must not make a lookup endless. Real content
// models nest a few levels.
constexpr int kMaxContentNesting = 256;
}  // namespace

KTElementType::KTElementType(const KTQName& name, KTSchemaModel* owner, KTElementType* parent)
    : owner_(owner), name_(name), parent_(parent) {}

KTElementType::KTElementType(const KTElementType& other) : owner_(other.owner_), parent_(nullptr) {
  Assign(other, true);
}

KTElementType& KTElementType::operator=(const KTElementType& other) {
  if (this != &other) Assign(other, true);
  return *this;
}

KTElementType::~KTElementType() = default;

std::vector<KTParticle>& KTElementType::GetParticles() {
  return complexType_ ? complexType_->contentModel.GetEffectiveParticles() : particles_;
}

std::vector<KTParticle>& KTElementType::GetEffectiveParticles() {
  KTElementType* t = this;
  for (int i = 0; t->complexType_ && i < kMaxContentNesting; ++i) t = &t->complexType_->contentModel;
  return t->particles_;
}

std::list<KTAttributeDecl>& KTElementType::GetAttributeList() {
  KTElementType* t = this;
  for (int i = 0; t->complexType_ && i < kMaxContentNesting; ++i) t = &t->complexType_->contentModel;
  return t->attributes_;
}

void KTElementType::AddParticle(KTParticle particle) {
  if (!particle.child) return;
  childIndex_.reset();
  particle.owner = this;
  particle.child->parent_ = this;
  particles_.push_back(particle);
}

KTElementType* KTElementType::CreateChildType(const KTQName& name) {
  if (name.localName.IsEmpty()) {
    // An anonymous compositor is linked to its creator at once, so that the
    // local elements made inside it always find their owner.
    ownedChildren_.push_back(std::make_unique<KTElementType>(KTQName(), owner_, this));
    return ownedChildren_.back().get();
  }
  // Named local elements of all nested compositors share one set of child
  // declarations: the nearest enclosing type that is not a group owns them.
  KTElementType* ownerType = this;
  for (int i = 0; ownerType->group_ && ownerType->parent_ && i < kMaxContentNesting; ++i) {
    ownerType = ownerType->parent_;
  }
  auto known = ownerType->namedChildren_.find(name);
  if (known != ownerType->namedChildren_.end()) return known->second;
  ownerType->ownedChildren_.push_back(std::make_unique<KTElementType>(name, owner_, nullptr));
  ownerType->namedChildren_.emplace(name, ownerType->ownedChildren_.back().get());
  return ownerType->ownedChildren_.back().get();
}

bool KTElementType::ContainsParticle(const KTElementType* child) {
  // Groups are searched once each: a group that contains itself (a named
  // group reference in a cycle) ends the search instead of repeating it.
  std::vector<KTElementType*> work{this};
  std::set<const KTElementType*> visited{this};
  while (!work.empty()) {
    KTElementType* t = work.back();
    work.pop_back();
    for (KTParticle& p : t->GetEffectiveParticles()) {
      if (p.child == child) return true;
      if (p.child->group_ && visited.insert(p.child).second) work.push_back(p.child);
    }
  }
  return false;
}

KTElementType* KTElementType::FindChildElementDecl(const KTQName& name) {
  KTElementType* t = this;
  for (int i = 0; t->complexType_ && i < kMaxContentNesting; ++i) t = &t->complexType_->contentModel;
  if (!t->childIndex_) t->BuildChildIndex();
  auto found = t->childIndex_->byName.find(name);
  if (found != t->childIndex_->byName.end()) return found->second;
  if (t->childIndex_->heads.empty() || !owner_) return nullptr;
  // A member of a substitution group stands for its head: follow the
  // heads of the named element up the chain; a chain that comes back on
  // itself ends the search.
  KTElementType* member = owner_->FindElement(name);
  if (!member) return nullptr;
  for (KTElementType* head : t->childIndex_->heads) {
    std::set<const KTElementType*> seen;
    for (KTElementType* m = member; m && !m->substitutionHead_.localName.IsEmpty() && seen.insert(m).second;) {
      if (QNameEqual(m->substitutionHead_, head->name_)) return member;
      m = owner_->FindElement(m->substitutionHead_);
    }
  }
  return nullptr;
}

void KTElementType::BuildChildIndex() {
  childIndex_ = std::make_unique<ChildIndex>();
  // Pre-order over the particles, into groups in place, each group once.
  struct Frame {
    KTElementType* type;
    size_t next;
  };
  std::vector<Frame> stack{{this, 0}};
  std::set<const KTElementType*> visited{this};
  std::set<const KTElementType*> heads;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    std::vector<KTParticle>& particles = frame.type->GetEffectiveParticles();
    if (frame.next >= particles.size()) {
      stack.pop_back();
      continue;
    }
    KTElementType* child = particles[frame.next++].child;
    if (child->group_) {
      if (visited.insert(child).second) stack.push_back({child, 0});
      continue;
    }
    childIndex_->byName.emplace(child->name_, child);
    if (child->substitutionHeadFlag_ && heads.insert(child).second) childIndex_->heads.push_back(child);
  }
}

void KTElementType::ResetContent() {
  childIndex_.reset();
  namedChildren_.clear();
  ownedChildren_.clear();
  particles_.clear();
  contentRead_ = contentDeclared_ = choice_ = sequence_ = empty_ = any_ = all_ = mixed_ = group_ = open_ = false;
  abstract_ = nillable_ = substitutionHeadFlag_ = false;
  hasDefaults_ = true;
  if (complexType_) {
    std::list<KTAttributeDecl> linked = GetAttributeList();
    AddAttributes(linked);
    complexType_ = nullptr;
  }
}

void KTElementType::AddAttribute(const KTAttributeDecl& decl) {
  for (KTAttributeDecl& a : attributes_) {
    if (QNameEqual(a.name, decl.name)) {
      a = decl;
      return;
    }
  }
  attributes_.push_back(decl);
}

void KTElementType::AddAttributes(const std::list<KTAttributeDecl>& decls) {
  if (&decls == &attributes_) return;
  std::unordered_map<KTQName, KTAttributeDecl*, ChildIndex::NameHash, ChildIndex::NameEqual> byName;
  byName.reserve(attributes_.size() + decls.size());
  for (KTAttributeDecl& a : attributes_) byName.emplace(a.name, &a);  // the first of a name, as AddAttribute finds
  for (const KTAttributeDecl& decl : decls) {
    auto [it, added] = byName.emplace(decl.name, nullptr);
    if (added) {
      attributes_.push_back(decl);
      it->second = &attributes_.back();
    } else {
      *it->second = decl;
    }
  }
}

KTAttributeDecl* KTElementType::FindAttribute(const KTQName& name) {
  for (KTAttributeDecl& a : GetAttributeList()) {
    if (QNameEqual(a.name, name)) return &a;
  }
  return nullptr;
}

bool KTElementType::CollectDefaultAttributes(std::vector<KTAttributeDecl*>& out, const KTString*& text) {
  out.clear();
  text = nullptr;
  if (!hasDefaults_) return false;
  for (KTAttributeDecl& a : GetAttributeList()) {
    if (a.hasDefault && !a.prohibited) out.push_back(&a);
  }
  if (HasSimpleContent() || mixed_) {
    if (!valueText_.IsEmpty()) {
      text = &valueText_;
    } else if (!fixedText_.IsEmpty()) {
      text = &fixedText_;
    }
  }
  if (!out.empty() || text) return true;
  hasDefaults_ = false;  // element types without defaults answer at once from now on
  return false;
}

void KTElementType::Reset() {
  childIndex_.reset();
  namedChildren_.clear();
  ownedChildren_.clear();
  particles_.clear();
  attributes_.clear();
  name_ = KTQName();
  substitutionHead_ = KTQName();
  description_ = valueText_ = fixedText_ = blockText_ = finalText_ = KTString();
  elementWildcard_ = attributeWildcard_ = KTString();
  elementWildcardProcess_ = attributeWildcardProcess_ = 2;
  parent_ = nullptr;
  declaringNode_ = nullptr;
  complexType_ = nullptr;
  simpleType_ = nullptr;
  datatype_.Release();
  contentRead_ = contentDeclared_ = choice_ = sequence_ = textOnly_ = false;
  empty_ = any_ = all_ = mixed_ = group_ = open_ = abstract_ = nillable_ = substitutionHeadFlag_ = false;
  qualified_ = false;
  spareWord_ = 0;
  hasDefaults_ = true;
  identityConstraints_.clear();
}

void KTElementType::Assign(const KTElementType& source, bool deep) {
  Reset();
  owner_ = source.owner_;
  name_ = source.name_;
  description_ = source.description_;
  substitutionHead_ = source.substitutionHead_;
  elementWildcard_ = source.elementWildcard_;
  attributeWildcard_ = source.attributeWildcard_;
  elementWildcardProcess_ = source.elementWildcardProcess_;
  attributeWildcardProcess_ = source.attributeWildcardProcess_;
  parent_ = source.parent_;
  declaringNode_ = source.declaringNode_;
  complexType_ = source.complexType_;
  simpleType_ = source.simpleType_;
  datatype_ = source.datatype_;
  contentRead_ = source.contentRead_;
  contentDeclared_ = source.contentDeclared_;
  choice_ = source.choice_;
  sequence_ = source.sequence_;
  textOnly_ = source.textOnly_;
  empty_ = source.empty_;
  any_ = source.any_;
  all_ = source.all_;
  mixed_ = source.mixed_;
  group_ = source.group_;
  open_ = source.open_;
  abstract_ = source.abstract_;
  nillable_ = source.nillable_;
  substitutionHeadFlag_ = source.substitutionHeadFlag_;
  hasDefaults_ = source.hasDefaults_;
  qualified_ = source.qualified_;
  spareWord_ = source.spareWord_;
  valueText_ = source.valueText_;
  fixedText_ = source.fixedText_;
  blockText_ = source.blockText_;
  finalText_ = source.finalText_;
  identityConstraints_ = source.identityConstraints_;
  if (!deep) return;
  attributes_ = source.attributes_;  // whole: the source holds each name once
  particles_ = source.particles_;
  // The owned tree is copied with an explicit stack; local elements are
  // owned by the nearest non-group type while the particles that name them
  // sit in nested compositors, so every particle and parent link of the
  // copy is re-pointed through one map of the whole tree.
  std::unordered_map<const KTElementType*, KTElementType*> copies{{&source, this}};
  std::vector<std::pair<const KTElementType*, KTElementType*>> work{{&source, this}};
  std::vector<KTElementType*> made{this};
  while (!work.empty()) {
    auto [from, to] = work.back();
    work.pop_back();
    for (const auto& child : from->ownedChildren_) {
      auto copy = std::make_unique<KTElementType>(child->name_, child->owner_, nullptr);
      copy->Assign(*child, false);
      copy->attributes_ = child->attributes_;
      copy->particles_ = child->particles_;
      copies[child.get()] = copy.get();
      made.push_back(copy.get());
      work.emplace_back(child.get(), copy.get());
      if (!copy->name_.localName.IsEmpty()) to->namedChildren_.emplace(copy->name_, copy.get());
      to->ownedChildren_.push_back(std::move(copy));
    }
  }
  for (KTElementType* t : made) {
    for (KTParticle& p : t->particles_) {
      p.owner = t;
      auto it = copies.find(p.child);
      if (it != copies.end()) p.child = it->second;
    }
    if (t == this) continue;
    auto parent = copies.find(t->parent_);
    if (parent != copies.end()) t->parent_ = parent->second;
  }
}

void KTElementType::SetDatatypeByName(const KTString& typeName) {
  datatype_ = KTDatatypeRef(new KTDatatype(typeName, 52, 0, false));
}

int KTElementType::GetDatatypeId() const {
  return datatype_.IsValid() ? static_cast<int>(datatype_->GetTypeId()) : static_cast<int>(kDtUnknown);
}
