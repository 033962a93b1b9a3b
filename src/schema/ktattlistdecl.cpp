// Attribute-list declarations of a DTD: attribute declarations of the
// element type a declaration names, read part by part (name, type,
// enumerated values, presence, default). The first declaration of an
// attribute is binding (XML 1.0 §3.3); later ones are ignored.
#include <algorithm>
#include <unordered_set>

#include "platform/ktwchar.h"
#include "schema/ktdtdwalker.h"
#include "schema/ktschemamodel.h"
#include "xml/ktxdoctype.h"
#include "xml/ktxnode.h"
#include "xml/ktxwriter.h"

namespace {

constexpr const char16_t* kBlanks = u" \t\r\n";

KTQName DtdName(const KTString& name) { return KTQName(name.c_str(), KTNamespaceId::None()); }

KTString ReferenceName(const KTString& reference) {
  return reference.GetLength() >= 2 ? reference.Mid(1, reference.GetLength() - 2) : KTString();
}

int PartOf(KTXNode* node) {
  return node && node->GetKind() == kDoctypeAttlist ? static_cast<KTDoctypeAttlistNode*>(node)->GetPart() : -1;
}

// Attribute-value normalisation of a default (XML 1.0 §3.3.3), in two steps
// around the expansion of its references: first (`tokenized` false) each
// white-space character written in the literal becomes a space; then, for
// tokenised types, leading and trailing spaces go and runs of spaces become
// one. Only U+0020 counts in the second step: a tab, CR or LF that a
// character reference put in the value stays.
KTString NormalizedDefault(const KTString& text, bool tokenized) {
  KTString out;
  int length = 0;
  bool pendingSpace = false;
  for (int i = 0; i < text.GetLength(); ++i) {
    char16_t c = text[i];
    if (!tokenized && (c == u'\t' || c == u'\r' || c == u'\n')) c = u' ';
    if (tokenized && c == u' ') {
      pendingSpace = length > 0;
      continue;
    }
    if (pendingSpace) {
      out.AppendCharAtLength(u' ', length, 16);
      pendingSpace = false;
    }
    out.AppendCharAtLength(c, length, 16);
  }
  return out;
}

class AttlistReader {
 public:
  explicit AttlistReader(KTSchemaModel& model) : model_(model) {}
  // `declaration`: the top-level ATTLIST node the definitions come from.
  bool Read(KTXNode* node, KTElementType* type, KTXNode* declaration);
  bool ResolveElement(KTXNode* node, KTElementType*& type);
  bool ReadDefinition(KTXNode* node, KTElementType* type, KTXNode* declaration);

 private:
  bool Report(int id, KTXNode* node, KTElementType* type, const KTString& context = KTString()) {
    return model_.ReportError(id, node, type, context);
  }
  // A second ID attribute of one element type (XML 1.0 §3.3.1, "One ID per
  // Element Type"): warned about, the attribute still declared.
  void WarnSecondId(KTXNode* part, KTElementType* type, const KTString& idName, const KTString& name) {
    model_.WarnAboutDeclaration(kSchemaSecondIdAttribute, part,
                                u"element type \"" + type->GetName().localName + u"\" has a second ID attribute \"" +
                                    name + u"\" beside \"" + idName + u"\"");
  }
  bool ReadText(KTXNode* node, const KTString& text, KTElementType* type, KTXNode* declaration, int failureId);
  bool ReadEntityDefinitions(KTXNode* part, KTEntityDecl* entity, KTElementType* type, KTXNode* declaration);
  bool ReadRunAgain(KTXNode* definition, KTEntityDecl* entity, KTElementType* type);
  // The value is moved into the declaration's list.
  bool AppendValue(KTXNode* part, KTAttributeDecl& decl, KTString&& token, bool& result);
  void SetDefault(KTXNode* part, KTAttributeDecl& decl, KTElementType* type, const KTString& value);
  void Add(KTElementType* type, KTAttributeDecl&& decl);

  KTSchemaModel& model_;
};

bool AttlistReader::ResolveElement(KTXNode* node, KTElementType*& type) {
  type = nullptr;
  if (!node || node->GetKind() != kDoctypeAttlist) return false;
  KTString name(node->GetName());
  if (name.GetLength() > 0 && name[0] == u'%') {
    KTString entityName = ReferenceName(name);
    KTEntityDecl* entity = model_.FindParameterEntity(entityName);
    if (!entity) {
      if (model_.GetCurrentPass() > 1) return Report(kSchemaUndeclaredEntity, node, nullptr, entityName);
      model_.RequestAnotherPass();
      return true;
    }
    if (entity->singleToken) {
      name = entity->GetTrimmedValue(model_);
    } else {
      KTString expanded;
      if (!model_.ExpandEntityReferences(node, name.c_str(), expanded, true, false, false)) return false;
      name = expanded.TrimLeft().TrimRight();
    }
  }
  type = model_.DeclareDtdElement(name.c_str());
  if (!type) return Report(kSchemaMalformedDecl, node, nullptr, name);
  type->SetDeclaringNode(node);
  return true;
}

void AttlistReader::Add(KTElementType* type, KTAttributeDecl&& decl) {
  // The first declaration of an attribute is binding. DTD names carry no
  // namespace, so the local name (prefix included) is the whole key.
  KTSchemaModel::DtdAttlistIndex& index = model_.DtdAttlistOf(type);
  auto [known, added] = index.names.Insert(decl.name.localName.View());
  if (!added) return;
  if (decl.id && index.idName.IsEmpty()) index.idName = decl.name.localName;
  type->AppendAttribute(std::move(decl));
  // The index views the name the list keeps: the moved name keeps its text
  // where it was, or the view is made again in the same slot.
  const KTString& kept = type->GetAttributeList().back().name.localName;
  if (known->data() != kept.c_str()) *known = kept.View();
}

bool AttlistReader::ReadText(KTXNode* node, const KTString& text, KTElementType* type, KTXNode* declaration,
                             int failureId) {
  KTString expanded;
  if (!model_.ExpandEntityReferences(node, text.c_str(), expanded, true, false, false)) return false;
  expanded.TrimLeft().TrimRight();
  if (expanded.IsEmpty()) return true;  // no attribute definitions
  std::unique_ptr<KTXNode> tree = model_.ParseAttlistText(std::u16string_view(expanded.c_str()), node);
  if (!tree) {
    if (model_.IsAnotherPassNeeded()) return true;
    return Report(failureId, node, type);
  }
  KTXNode* root = model_.AdoptFragment(std::move(tree), node);
  for (KTXNode* child = root->GetFirstChild(); child; child = child->GetNextSibling()) {
    if (!Read(child, type, declaration)) return false;
  }
  return true;
}

bool AttlistReader::ReadEntityDefinitions(KTXNode* part, KTEntityDecl* entity, KTElementType* type,
                                          KTXNode* declaration) {
  if (model_.IsActive(entity)) {
    // Met again inside its own value: refused, never followed.
    return Report(kSchemaUnusableParameterEntity, part, type, entity->Describe());
  }
  KTXNode* tree = nullptr;
  if (!entity->ParseValueAs(model_, tree, KTString(u"attlistText"), part, type)) {
    return ReadRunAgain(part->GetParent(), entity, type);
  }
  model_.PushActive(entity);
  bool ok = true;
  for (KTXNode* child = tree->GetFirstChild(); ok && child; child = child->GetNextSibling()) {
    ok = Read(child, type, declaration);
  }
  model_.PopActive();
  return ok;
}

// The definitions of the element's declaration run (adjacent ATTLIST nodes
// of the same element) are read again from their text with the parameter
// references expanded. Only the declarations that run made are replaced.
bool AttlistReader::ReadRunAgain(KTXNode* definition, KTEntityDecl* entity, KTElementType* type) {
  if (!definition) return Report(kSchemaMalformedDecl, definition, type);
  KTString name(definition->GetName());
  auto sameRun = [&](KTXNode* n) {
    return n && n->GetKind() == kDoctypeAttlist && KTStrCmp(n->GetName(), name.c_str()) == 0;
  };
  KTXNode* first = definition;
  while (sameRun(first->GetPreviousSibling())) first = first->GetPreviousSibling();
  std::vector<KTXNode*> run;
  KTWriteOptions options{.emptyTag = false, .omitDeclaration = true};
  KTString text;
  int length = 0;
  for (KTXNode* n = first; sameRun(n); n = n->GetNextSibling()) {
    run.push_back(n);
    n->WriteText(text, length, 0, options);
  }
  if (text.IsEmpty()) return Report(kSchemaMalformedDecl, definition, type);
  if (text.Find(u'%') < 0) return Report(kSchemaUnusableParameterEntity, definition, type, entity->Describe());
  KTString expanded;
  if (!model_.ExpandEntityReferences(definition, text.c_str(), expanded, true, false, false)) return false;
  std::unique_ptr<KTXNode> tree = model_.ParseFragment(expanded.c_str(), u"attlistDecl", definition);
  if (!tree) {
    if (model_.IsAnotherPassNeeded()) return true;
    return Report(kSchemaUnusableParameterEntity, definition, type, entity->Describe());
  }
  KTXNode* root = model_.AdoptFragment(std::move(tree), definition);
  std::list<KTAttributeDecl>& list = type->GetAttributeList();
  std::unordered_set<const KTXNode*> inRun(run.begin(), run.end());
  list.remove_if([&](const KTAttributeDecl& a) { return inRun.count(a.declaringNode) != 0; });
  model_.ForgetDtdAttlist(type);  // rebuilt from what is left
  type->hasDefaults_ = true;
  for (KTXNode* child = root->GetFirstChild(); child; child = child->GetNextSibling()) {
    // Each definition node of the new text stands for the run's first node.
    if (!Read(child, type, first)) return false;
  }
  model_.ResetErrorBlock();  // the earlier failure is mended
  return true;
}

bool AttlistReader::AppendValue(KTXNode* part, KTAttributeDecl& decl, KTString&& token, bool& result) {
  decl.enumeratedValues.push_back(std::move(token));
  const KTString& value = decl.enumeratedValues.back();
  if (!decl.notation || model_.FindNotation(value)) return true;
  if (model_.GetCurrentPass() <= 1) {
    model_.RequestAnotherPass();
    return true;
  }
  // XML 1.0 §3.3.1 "Notation Attributes": warned about, the value kept.
  model_.WarnAboutDeclaration(kSchemaUndeclaredNotation, part,
                              u"notation \"" + value + u"\" of attribute \"" + decl.name.localName +
                                  u"\" is not declared");
  return true;
}

void AttlistReader::SetDefault(KTXNode* part, KTAttributeDecl& decl, KTElementType* type, const KTString& value) {
  KTString normalized = NormalizedDefault(value, false);
  KTString expanded;
  // Entity and character references of the default, with the references
  // inside entity values expanded to any depth.
  model_.ExpandReferencesFully(part, normalized.c_str(), expanded);
  decl.SetDefault(decl.IsTokenized() ? NormalizedDefault(expanded, true) : expanded);
  if (!decl.enumerated || std::find(decl.enumeratedValues.begin(), decl.enumeratedValues.end(), decl.defaultText) !=
                              decl.enumeratedValues.end())
    return;
  KTString joined;
  for (size_t i = 0; i < decl.enumeratedValues.size(); ++i) {
    if (i) joined += u" | ";
    joined += decl.enumeratedValues[i];
  }
  // XML 1.0 §3.3.2 "Attribute Default Value Syntactically Correct": warned
  // about; the default is still supplied.
  model_.WarnAboutDeclaration(kSchemaDefaultNotEnumerated, part,
                              u"default \"" + decl.defaultText + u"\" of attribute \"" + decl.name.localName +
                                  u"\" of element type \"" + type->GetName().localName + u"\" is not one of (" +
                                  joined + u")");
}

bool AttlistReader::Read(KTXNode* node, KTElementType* type, KTXNode* declaration) {
  if (!node) return Report(kSchemaMissingNode, node, type);
  int& depth = model_.DeclarationDepth();
  if (depth >= KTSchemaModel::kMaxDtdNesting) return Report(kSchemaMalformedDecl, node, type);
  ++depth;
  bool ok = ReadDefinition(node, type, declaration);
  --depth;
  return ok;
}

bool AttlistReader::ReadDefinition(KTXNode* node, KTElementType* type, KTXNode* declaration) {
  KTAttributeDecl decl;
  decl.owner = &model_;
  if (!type) {
    if (!ResolveElement(node, type)) return false;
    if (!type) return model_.IsAnotherPassNeeded();
  }
  if (!declaration) declaration = node;
  // The ID attribute the element type has so far; its name is copied only
  // for a definition whose type may be ID, the one that compares with it.
  const KTString& knownId = model_.DtdAttlistOf(type).idName;
  const bool hasId = !knownId.IsEmpty();
  bool mayBeId = false;
  for (KTXNode* part = node->GetFirstChild(); part && !mayBeId; part = part->GetNextSibling()) {
    mayBeId = PartOf(part) == kAttlistTypeID || PartOf(part) == kAttlistTypePERef;
  }
  const KTString idName = hasId && mayBeId ? knownId : KTString();

  if (!node->HasChildren()) return ReadText(node, KTString(node->GetValue()), type, declaration, kSchemaExpansionFailed);

  bool result = true;  // the result of the last report made on the way
  for (KTXNode* part = node->GetFirstChild(); part; part = part->GetNextSibling()) {
    if (!model_.CountDtdVisit(part)) return false;
    // The part's text is copied only by the parts that keep or quote it.
    const char16_t* text = part->GetValue();
    if (!text) text = u"";
    switch (PartOf(part)) {
      case kAttlistName:
        if (text[0] == u'%') {
          KTString entityName = ReferenceName(KTString(text));
          KTEntityDecl* entity = model_.FindParameterEntity(entityName);
          if (!entity) {
            if (model_.GetCurrentPass() > 1) return Report(kSchemaUndeclaredEntity, part, type, entityName);
            model_.RequestAnotherPass();
          } else if (entity->singleToken) {
            decl.name = DtdName(entity->GetTrimmedValue(model_));
          } else if (!ReadEntityDefinitions(part, entity, type, declaration)) {
            return false;
          }
        } else {
          decl.name = KTQName(text, KTNamespaceId::None());
        }
        break;
      case kAttlistTypeID:
        decl.id = true;
        if (hasId && !(idName == decl.name.localName)) WarnSecondId(part, type, idName, decl.name.localName);
        break;
      case kAttlistTypeCDATA: break;
      case kAttlistTypeIDREF: decl.idref = true; break;
      case kAttlistTypeIDREFS: decl.idrefs = true; break;
      case kAttlistTypeENTITY: decl.entity = true; break;
      case kAttlistTypeENTITIES: decl.entities = true; break;
      case kAttlistTypeNMTOKEN: decl.nmtoken = true; break;
      case kAttlistTypeNMTOKENS: decl.nmtokens = true; break;
      case kAttlistTypeNotation: decl.notation = true; break;
      case kAttlistTypeEnum: decl.enumerated = true; break;
      case kAttlistTypePERef: {
        KTString entityName = ReferenceName(KTString(text));
        KTEntityDecl* entity = model_.FindParameterEntity(entityName);
        if (!entity) {
          if (model_.GetCurrentPass() > 1) return Report(kSchemaUndeclaredEntity, part, type, entityName);
          model_.RequestAnotherPass();
          break;
        }
        const KTString& trimmed = entity->GetTrimmedValue(model_);
        if (entity->singleToken) {
          if (trimmed == u"CDATA") {
          } else if (trimmed == u"ID") {
            decl.id = true;
            if (hasId && !(idName == decl.name.localName)) WarnSecondId(part, type, idName, decl.name.localName);
          } else if (trimmed == u"IDREF") {
            decl.idref = true;
          } else if (trimmed == u"IDREFS") {
            decl.idrefs = true;
          } else if (trimmed == u"ENTITY") {
            decl.entity = true;
          } else if (trimmed == u"ENTITIES") {
            decl.entities = true;
          } else if (trimmed == u"NMTOKEN") {
            decl.nmtoken = true;
          } else if (trimmed == u"NMTOKENS") {
            decl.nmtokens = true;
          } else if (!trimmed.IsEmpty()) {
            result = Report(kSchemaUnusableParameterEntity, part, type, entity->Describe());
          }
        } else if (trimmed.GetLength() > 0 && trimmed[0] == u'(') {
          decl.enumerated = true;
          int position = 0;
          for (KTString token = trimmed.Tokenize(u"(| \t\r\n)", position, u"'\""); !token.IsEmpty();
               token = trimmed.Tokenize(u"(| \t\r\n)", position, u"'\"")) {
            if (!AppendValue(part, decl, std::move(token), result)) return result;
          }
        } else {
          return ReadRunAgain(node, entity, type);
        }
        break;
      }
      case kAttlistValue: {
        decl.enumerated = true;
        KTString value(text);
        if (value.GetLength() > 0 && value[0] == u'%') {
          KTString entityName = ReferenceName(value);
          KTEntityDecl* entity = model_.FindParameterEntity(entityName);
          if (!entity) {
            if (model_.GetCurrentPass() > 1) return Report(kSchemaUndeclaredEntity, part, type, entityName);
            model_.RequestAnotherPass();
            break;
          }
          KTString entityValue = GetEntityValue(*entity, model_);
          int position = 0;
          for (KTString token = entityValue.Tokenize(u"| \t\r\n", position); !token.IsEmpty();
               token = entityValue.Tokenize(u"| \t\r\n", position)) {
            if (!AppendValue(part, decl, std::move(token), result)) return result;
          }
        } else if (!AppendValue(part, decl, std::move(value), result)) {
          return result;
        }
        break;
      }
      case kAttlistRequired: decl.required = true; break;
      case kAttlistImplied: decl.implied = true; break;
      case kAttlistFixed: decl.fixed = true; break;
      case kAttlistDefault:
        SetDefault(part, decl, type, KTString(text));
        break;
      case kAttlistWhole:
        if (!ReadText(part, KTString(text), type, declaration, kSchemaExpansionFailed)) return false;
        break;
      default:
        break;
    }
  }
  if (decl.id && !decl.required && !decl.implied) {
    // XML 1.0 §3.3.1 "ID Attribute Default": warned about; a default given
    // is still supplied.
    model_.WarnAboutDeclaration(kSchemaIdWithDefault, node,
                                u"ID attribute \"" + decl.name.localName + u"\" of element type \"" +
                                    type->GetName().localName + u"\" is neither #IMPLIED nor #REQUIRED");
  }
  decl.declaringNode = declaration;
  if (!decl.name.localName.IsEmpty()) Add(type, std::move(decl));
  return result;
}

}  // namespace

bool ResolveAttlistElement(KTSchemaModel& model, KTXNode* node, KTElementType*& type) {
  return AttlistReader(model).ResolveElement(node, type);
}

bool ParseAttlistDecl(KTSchemaModel& model, KTXNode* node, KTElementType* type) {
  return AttlistReader(model).Read(node, type, nullptr);
}
