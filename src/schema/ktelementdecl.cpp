// Element declarations of a DTD: the element type, its content flags and
// its content model as particles, with an anonymous compositor for every
// nested group. Parameter entities may stand for the name, the whole
// contentspec (content model) or names and groups inside it.
#include "platform/ktwchar.h"
#include "schema/ktdtdwalker.h"
#include "schema/ktschemamodel.h"
#include "xml/ktxdoctype.h"
#include "xml/ktxnode.h"
#include "xml/ktxwriter.h"

namespace {

KTQName DtdName(const KTString& name) { return KTQName(name.c_str(), KTNamespaceId::None()); }

KTString ReferenceName(const KTString& reference) {
  return reference.GetLength() >= 2 ? reference.Mid(1, reference.GetLength() - 2) : KTString();
}

bool Bounds(int occurrence, int& minOccurs, int& maxOccurs) {
  switch (occurrence) {
    case 0: minOccurs = 1; maxOccurs = 1; return true;
    case 1: minOccurs = 0; maxOccurs = 1; return true;
    case 2: minOccurs = 1; maxOccurs = -1; return true;
    case 3: minOccurs = 0; maxOccurs = -1; return true;
    default: minOccurs = 1; maxOccurs = 1; return false;
  }
}

int OccurrenceOf(KTXNode* node) {
  return node->GetKind() == kDoctypeElement ? static_cast<KTDoctypeElementNode*>(node)->GetOccurrence() : 0;
}

// Reading one declaration runs nested groups and entity values inside one
// another; the depth is bounded like every DTD nesting.
class NestingGuard {
 public:
  explicit NestingGuard(int& depth) : depth_(depth) { ++depth_; }
  ~NestingGuard() { --depth_; }
  bool TooDeep() const { return depth_ > KTSchemaModel::kMaxDtdNesting; }

 private:
  int& depth_;
};

class ElementReader {
 public:
  explicit ElementReader(KTSchemaModel& model) : model_(model) {}
  bool Read(KTXNode* node, KTElementType* type, bool parameterText, bool splice);

 private:
  bool Report(int id, KTXNode* node, KTElementType* type, const KTString& context = KTString()) {
    return model_.ReportError(id, node, type, context);
  }
  bool SetContentFlags(KTXNode* node, KTElementType* type, int content);
  bool ReadContentEntity(KTXNode* node, KTElementType* type);
  bool ReadChildren(KTXNode* node, KTElementType* fill, bool starred);
  bool ReadEntityParticles(KTXNode* child, KTElementType* fill, bool starred);
  bool ReadTreeOf(KTEntityDecl* entity, KTXNode* tree, KTElementType* type, bool splice);
  bool ReadAgainAsText(KTXNode* node, KTElementType* fill, bool whole);

  KTSchemaModel& model_;
};

bool ElementReader::Read(KTXNode* node, KTElementType* type, bool parameterText, bool splice) {
  if (!node || node->GetKind() != kDoctypeElement) return Report(kSchemaMalformedDecl, node, type);
  NestingGuard guard(model_.DeclarationDepth());
  if (guard.TooDeep()) return Report(kSchemaMalformedDecl, node, type);
  auto* decl = static_cast<KTDoctypeElementNode*>(node);
  int content = decl->GetContentType(true);
  KTString name(node->GetName());
  bool groupContent = content == kContentSequence || content == kContentChoice;
  const bool topLevel = !type;

  if (type) {
    if (!groupContent && !parameterText) return Report(kSchemaGroupInMixedContent, node, type);
    if (type->IsMixed() && groupContent) {
      bool nested = parameterText ? node->HasChildren() && node->GetFirstChild()->HasChildren() : node->HasChildren();
      if (nested) return Report(kSchemaGroupInMixedContent, node, type);
    }
    if (parameterText && splice) return ReadChildren(node, type, false);
  } else {
    if (name.GetLength() > 0 && name[0] == u'%') {
      KTString entityName = ReferenceName(name);
      KTEntityDecl* entity = model_.FindParameterEntity(entityName);
      if (!entity) {
        if (model_.GetCurrentPass() > 1) return Report(kSchemaUndeclaredEntity, node, nullptr, entityName);
        model_.RequestAnotherPass();
        name = entityName;  // read under the entity's name for now
      } else if (!entity->singleToken) {
        return Report(kSchemaUnusableParameterEntity, node, nullptr, entity->Describe());
      } else {
        name = entity->GetTrimmedValue(model_);
      }
    }
    type = model_.FindElement(DtdName(name));
    if (type && type->contentRead_) {
      // The first declaration holds (XML 1.0 §3.2); the walk goes on.
      model_.WarnAboutDeclaration(kSchemaElementDeclaredTwice, node,
                                  u"element type \"" + name + u"\" is declared again; the first declaration holds");
      return true;
    }
    if (!type) type = model_.DeclareElement(DtdName(name));
  }

  if (!SetContentFlags(node, type, content)) return false;
  type->contentRead_ = true;
  type->contentDeclared_ = true;
  if (!parameterText) type->SetDeclaringNode(node);

  KTElementType* fill = type;
  int occurrence = decl->GetOccurrence();
  bool starred = occurrence == 3;
  if ((topLevel || (parameterText && !splice)) && (type->IsChoice() || type->IsSequence()) && occurrence != 0) {
    // "(a, b)*": the element holds one particle, a group with those bounds.
    KTElementType* compositor = type->CreateAnonymousChild();
    compositor->group_ = true;
    compositor->choice_ = type->choice_;
    compositor->mixed_ = type->mixed_;
    compositor->sequence_ = type->sequence_;
    compositor->SetDeclaringNode(node);
    KTParticle particle;
    particle.child = compositor;
    bool known = Bounds(occurrence, particle.minOccurs, particle.maxOccurs);
    type->AddParticle(particle);
    if (!known) return Report(kSchemaMalformedDecl, node, type);
    fill = compositor;
  }
  bool ok = ReadChildren(node, fill, starred);
  if (!ok && topLevel && model_.GetErrorId() == kSchemaExpansionFailed) {
    // A nested group did not parse once its references were expanded: the
    // whole declaration is read again from its expanded text.
    return ReadAgainAsText(node, type, true);
  }
  return ok;
}

bool ElementReader::SetContentFlags(KTXNode* node, KTElementType* type, int content) {
  switch (content) {
    case kContentPCData: type->textOnly_ = true; return true;
    case kContentMixed: type->mixed_ = true; return true;
    case kContentSequence: type->sequence_ = true; return true;
    case kContentChoice: type->choice_ = true; return true;
    case kContentEmpty: type->empty_ = true; return true;
    case kContentAny: type->any_ = type->mixed_ = true; return true;
    case kContentText: return ReadContentEntity(node, type);
    default: return Report(kSchemaMalformedDecl, node, type);
  }
}

// A contentspec (content model) given by parameter entities.
bool ElementReader::ReadContentEntity(KTXNode* node, KTElementType* type) {
  KTString value(node->GetValue());
  value.TrimLeft().TrimRight();
  if (IsParameterEntityReference(value)) {
    KTString entityName = ReferenceName(value);
    KTEntityDecl* entity = model_.FindParameterEntity(entityName);
    if (!entity) {
      if (model_.GetCurrentPass() > 1) return Report(kSchemaUndeclaredEntity, node, type, entityName);
      model_.RequestAnotherPass();
      return true;  // read without content on this pass
    }
    if (entity->singleToken) {
      const KTString& keyword = entity->GetTrimmedValue(model_);
      if (keyword == u"EMPTY") {
        type->empty_ = true;
      } else if (keyword == u"ANY") {
        type->any_ = type->mixed_ = true;
      } else if (keyword == u"PCDATA") {
        type->textOnly_ = true;
      } else {
        return Report(kSchemaUnusableParameterEntity, node, type, entity->Describe());
      }
      return true;
    }
    KTXNode* tree = nullptr;
    if (!entity->ParseValueAs(model_, tree, KTString(u"elementSpecFormatted"), node, type)) return false;
    return ReadTreeOf(entity, tree, type, false);
  }
  KTString expanded;
  if (!model_.ExpandEntityReferences(node, value.c_str(), expanded, true, false, false)) return false;
  // A declaration's own content model (not one reached inside another
  // reading) may read the tree of an earlier declaration with the same
  // expanded text; only a tree read without a problem is kept for that.
  const bool topLevel = model_.DeclarationDepth() == 1;
  const size_t key = topLevel ? KTSchemaModel::ContentModelKey(expanded) : 0;
  if (topLevel) {
    if (KTXNode* root = model_.FindReadContentModel(expanded, key, node))
      return Read(root->GetFirstChild(), type, true, false);
  }
  std::unique_ptr<KTXNode> tree = model_.ParseContentModel(expanded.View(), node);
  if (!tree) {
    if (model_.IsAnotherPassNeeded()) return true;
    return Report(kSchemaExpansionFailed, node, type);
  }
  KTXNode* root = model_.AdoptFragment(std::move(tree), node);
  const int64_t reports = model_.GetReportCount();
  bool ok = Read(root->GetFirstChild(), type, true, false);
  if (ok && topLevel && model_.GetReportCount() == reports) model_.KeepReadContentModel(expanded, key, root);
  return ok;
}

bool ElementReader::ReadTreeOf(KTEntityDecl* entity, KTXNode* tree, KTElementType* type, bool splice) {
  if (model_.IsActive(entity)) {
    return Report(kSchemaUnusableParameterEntity, entity->declaringNode, type, entity->Describe());
  }
  if (!tree || !tree->GetFirstChild()) return Report(kSchemaUnusableParameterEntity, entity->declaringNode, type,
                                                     entity->Describe());
  model_.PushActive(entity);
  bool ok = Read(tree->GetFirstChild(), type, true, splice);
  model_.PopActive();
  return ok;
}

bool ElementReader::ReadChildren(KTXNode* node, KTElementType* fill, bool starred) {
  // A group's particles in one step: DocBook's mixes hold a hundred names.
  size_t count = 0;
  for (KTXNode* child = node->GetFirstChild(); child; child = child->GetNextSibling()) ++count;
  fill->ReserveParticles(count);
  for (KTXNode* child = node->GetFirstChild(); child; child = child->GetNextSibling()) {
    if (child->GetKind() != kDoctypeElement) continue;
    if (!model_.CountDtdVisit(child)) return false;
    int minOccurs = 1, maxOccurs = 1;
    bool known = Bounds(OccurrenceOf(child), minOccurs, maxOccurs);
    if (child->HasChildren()) {
      KTElementType* compositor = fill->CreateAnonymousChild();
      compositor->group_ = true;
      if (!Read(child, compositor, false, false)) return false;
      KTParticle particle;
      particle.child = compositor;
      particle.minOccurs = minOccurs;
      particle.maxOccurs = maxOccurs;
      fill->AddParticle(particle);
    } else {
      const char16_t* name = child->GetName();
      if (name && name[0] == u'%') {
        if (!ReadEntityParticles(child, fill, starred)) return false;
        continue;
      }
      const KTXName* interned = child->InternedName();
      KTElementType* declared = interned ? model_.DeclareDtdElementNamed(*interned) : model_.DeclareDtdElement(name);
      if (!declared->GetDeclaringNode() || !declared->contentDeclared_) declared->SetDeclaringNode(child);
      KTParticle particle;
      particle.child = declared;
      particle.minOccurs = minOccurs;
      particle.maxOccurs = maxOccurs;
      fill->AddParticle(particle);
    }
    if (!known) return Report(kSchemaMalformedDecl, child, fill);
  }
  return true;
}

// A parameter entity among the particles of a group: its value is read as
// particles of the same group.
bool ElementReader::ReadEntityParticles(KTXNode* child, KTElementType* fill, bool starred) {
  KTString entityName = ReferenceName(KTString(child->GetName()));
  KTEntityDecl* entity = model_.FindParameterEntity(entityName);
  if (!entity) {
    if (model_.GetCurrentPass() > 1) return Report(kSchemaUndeclaredEntity, child, fill, entityName);
    model_.RequestAnotherPass();
    return true;
  }
  if (model_.IsActive(entity)) {
    // Met again inside its own value: refused, never followed.
    return Report(kSchemaUnusableParameterEntity, child, fill, entity->Describe());
  }
  bool wasMixed = fill->IsMixed();
  if (!fill->IsSequence() && !fill->IsChoice() && !wasMixed) fill->sequence_ = true;
  bool wasSequence = fill->IsSequence();
  KTXNode* tree = nullptr;
  bool parsed = entity->ParseValueAs(model_, tree, KTString(wasSequence ? u"elementSeqI" : u"elementChoiceI"), child,
                                     fill);
  if (!parsed || fill->IsSequence() != wasSequence) {
    model_.PushActive(entity);
    bool ok = ReadAgainAsText(child, fill, false);
    model_.PopActive();
    if (!ok) return false;
  } else if (!ReadTreeOf(entity, tree, fill, true)) {
    return false;
  }
  if (fill->IsMixed() && !wasMixed && !starred && fill->HasParticles()) return Report(kSchemaLateMixedContent, child, fill);
  if (wasMixed && !fill->IsMixed()) fill->mixed_ = true;
  return true;
}

// Reads a declaration again from its text with the parameter references
// expanded: `whole` the top-level declaration `node` into its element type
// `fill`, else the group `node` belongs to into `fill`.
bool ElementReader::ReadAgainAsText(KTXNode* node, KTElementType* fill, bool whole) {
  KTXNode* source = whole ? node : node->GetParent();
  if (!source) return Report(kSchemaMalformedDecl, node, fill);
  KTWriteOptions options{.emptyTag = false, .omitDeclaration = true};
  KTString text;
  int length = 0;
  source->WriteText(text, length, 0, options);
  if (text.IsEmpty()) return Report(kSchemaMalformedDecl, node, fill);
  // Text without references reads the same again: the failure stands.
  if (text.Find(u'%') < 0) return false;
  KTString expanded;
  if (!model_.ExpandEntityReferences(node, text.c_str(), expanded, true, false, false)) return false;
  bool declaration = source->GetParent() == nullptr || source->GetParent()->GetKind() != kDoctypeElement;
  std::unique_ptr<KTXNode> tree =
      model_.ParseFragment(expanded.c_str(), declaration ? u"elementdecl" : u"elementSpecFormatted", node);
  if (!tree) {
    if (model_.IsAnotherPassNeeded()) return true;
    return Report(kSchemaExpansionFailed, node, fill);
  }
  KTXNode* root = model_.AdoptFragment(std::move(tree), node);
  bool ok;
  if (whole) {
    fill->ResetContent();
    ok = Read(root->GetFirstChild(), nullptr, false, false);
  } else {
    // The group's particles are read again from the whole text.
    bool group = fill->group_;
    fill->ResetContent();
    fill->group_ = group;
    ok = Read(root->GetFirstChild(), fill, true, false);
  }
  if (ok) model_.ResetErrorBlock();  // the earlier failure is mended
  return ok;
}

}  // namespace

bool ParseElementDecl(KTSchemaModel& model, KTXNode* node, KTElementType* type, bool parameterText, bool splice) {
  return ElementReader(model).Read(node, type, parameterText, splice);
}
