// XML Schema element declarations (global, local and references) with their
// types, default and fixed text and substitution groups; type-name
// resolution shared by the loaders; notations.
#include "schema/xsd/ktxsdloader.h"
#include "xml/ktxnode.h"

// ---- Type names ----

bool KTSchemaModel::ResolveXsdTypeName(KTNamespaceContext* context, const KTString& ownName,
                                       const KTString& typeName, KTSimpleTypeDef& record, KTXNode* errorNode,
                                       KTSimpleTypeDef*& found) {
  found = nullptr;
  record.name = KTQName(ownName.c_str(), xsd_.targetBinding.ns);
  context->ResolveQName(record.baseName, typeName.c_str());
  record.finalText = KTString();
  record.datatype = KTDatatypeRef(new KTDatatype(record.baseName.localName, 52, 0, false));
  if (record.baseName.ns == xsd_.secondBinding.ns) {
    if (record.datatype->GetTypeId() <= kDtPositiveInteger) return true;
    if (xsd_.secondBinding.ns != xsd_.targetBinding.ns) return ReportError(kSchemaBadValue, errorNode, nullptr, KTString());
  }
  auto it = simpleTypes_.find(record.baseName);
  if (it != simpleTypes_.end()) {
    record.datatype = it->second->datatype;
    record.finalText = it->second->finalText;
    found = it->second.get();
    // A type that is itself waiting for a reference may still change: what
    // derives from it is loaded again.
    if (!IsXsdSettled(kXsdSimpleType, record.baseName)) RequestXsdPass(record.baseName.localName);
    return true;
  }
  if (xsd_.finalPass) return ReportError(kSchemaBadValue, errorNode, nullptr, KTString());
  RequestXsdPass(record.baseName.localName);
  return true;
}

// ---- Element declarations ----

namespace {

constexpr const char16_t* kElementAttributes =
    u"- expected: (abstract | block | default | substitutionGroup | final | fixed | form | id | maxOccurs | "
    u"minOccurs | name | nillable | ref | type)";
constexpr const char16_t* kTopLevelElementAttributes =
    u"- expected: (abstract | block | default | substitutionGroup | final | fixed | form | id | name | nillable | "
    u"ref | type)";

// "true"/"1" set, "false"/"0" leave; anything else is reported.
bool ReadBoolean(KTSchemaModel& model, KTXNode* attribute, const KTString& value, bool& flag) {
  if (value == u"true" || value == u"1") {
    flag = true;
    return true;
  }
  if (value == u"false" || value == u"0") return true;
  return model.ReportError(kSchemaUnexpected, attribute, nullptr, KTString(u"- expected: (true | false)"));
}

}  // namespace

// What the attributes of an element declaration say, and what its loading
// has settled so far.
struct KTXsdElementParts {
  KTElementType* parentGroup = nullptr;  // null for a top-level declaration
  bool inAll = false;
  bool topLevel = false;
  KTString blockText, finalText;
  bool qualified = false;
  KTQName elementName;
  KTString nameText, refText, typeText, substitutionText, defaultText, fixedText, documentation;
  KTXNode* valueAttribute = nullptr;
  KTXNode* substitutionAttribute = nullptr;
  KTXNode* typeAttribute = nullptr;
  bool abstract = false, nillable = false, typeGiven = false;
  uint32_t minimum = 1, maximum = 1;
};

namespace {

// Values written by a type or copied from a head: the element's own
// abstract (kept when already set), nillable, default and fixed.
void SetOwnValues(const KTXsdElementParts& parts, KTElementType* decl, bool keepAbstract) {
  decl->abstract_ = keepAbstract ? (decl->abstract_ || parts.abstract) : parts.abstract;
  decl->nillable_ = parts.nillable;
  decl->valueText_ = parts.defaultText;
  decl->fixedText_ = parts.fixedText;
}

}  // namespace

bool KTSchemaModel::LoadXsdElement(KTXNode* node, KTNamespaceContext* parent, KTParticle& particle,
                                   KTElementType*& declaration, KTElementType* parentGroup, bool inAll) {
  KTXsdScope scope(*this, parent, node);
  if (!scope.Entered()) return scope.Result();
  KTNamespaceContext* context = scope.Context();
  const int unsettledBefore = xsd_.unsettled;
  KTXsdElementParts parts;
  parts.parentGroup = parentGroup;
  parts.inAll = inAll;
  parts.topLevel = parentGroup == nullptr;
  parts.blockText = xsd_.blockDefault;
  parts.finalText = xsd_.finalDefault;
  parts.qualified = xsd_.qualifiedElements;
  particle.minOccurs = 1;
  particle.maxOccurs = 1;
  if (!XsdReadForm(*this, node, parts.qualified)) return false;
  if (!ReadXsdElementAttributes(node, context, parts, particle, declaration)) return false;
  if (parts.nameText.IsEmpty() && parts.refText.IsEmpty()) {
    return ReportError(kXsdMissingAttribute, node, nullptr, u"name or ref");
  }

  KTElementType* decl = declaration;
  bool stepsOk = parts.typeText.IsEmpty() || ApplyXsdElementType(node, context, parts, decl);
  if (stepsOk) stepsOk = LoadXsdElementChildren(node, context, parts, decl);
  // No type at all: the head's type, or any content.
  if (parts.typeText.IsEmpty() && !parts.typeGiven && parts.refText.IsEmpty()) {
    TakeXsdElementHeadType(node, context, parts, decl);
  }
  // A type still waiting for a definition further on is checked on the pass
  // that settles it.
  const bool typeWaits = xsd_.unsettled != unsettledBefore && !xsd_.finalPass;
  if ((!parts.defaultText.IsEmpty() || !parts.fixedText.IsEmpty()) && stepsOk && !typeWaits &&
      !CheckXsdElementValue(node, parts, decl)) {
    return false;
  }
  if (!parts.substitutionText.IsEmpty()) {
    if (!parts.topLevel) return ReportError(kXsdLocalSubstitution, parts.substitutionAttribute, nullptr, KTString());
    KTQName headName;
    context->ResolveQName(headName, parts.substitutionText.c_str());
    decl->SetSubstitutionGroupHead(headName);
  }
  if (!stepsOk) return false;
  decl->blockText_ = parts.blockText;
  decl->finalText_ = parts.finalText;
  decl->qualified_ = parts.qualified;
  return true;
}

bool KTSchemaModel::ReadXsdElementAttributes(KTXNode* node, KTNamespaceContext* context, KTXsdElementParts& parts,
                                             KTParticle& particle, KTElementType*& declaration) {
  bool ok = true;
  KTChildIterator it;
  for (node->FirstChildOfKind(it, kAttribute); ok && !it.IsEnd(); it.Next()) {
    KTXNode* attribute = it.Node();
    KTString name, value;
    if (!XsdExpandNode(*this, attribute, name, value)) return false;
    if (name == u"id" || name == u"form") continue;
    if (name == u"abstract") {
      ok = ReadBoolean(*this, attribute, value, parts.abstract);
    } else if (name == u"nillable") {
      ok = ReadBoolean(*this, attribute, value, parts.nillable);
    } else if (name == u"block" || name == u"final") {
      bool block = name == u"block";
      if (value == u"#all") {
        (block ? parts.blockText : parts.finalText) = value;
        continue;
      }
      bool allGood = true;
      if (block) {
        ok = XsdCheckWords(*this, attribute, value, {u"extension", u"restriction", u"substitution"},
                           u"- expected: (#all | List of (extension | restriction | substitution) )", allGood);
      } else {
        ok = XsdCheckWords(*this, attribute, value, {u"extension", u"restriction"},
                           u"- expected: (#all | List of (extension | restriction) )", allGood);
      }
      if (allGood) (block ? parts.blockText : parts.finalText) = value;
    } else if (name == u"default") {
      if (!parts.fixedText.IsEmpty()) return ReportError(kXsdDefaultAndFixed, node, nullptr, KTString());
      parts.defaultText = value;
      parts.valueAttribute = attribute;
    } else if (name == u"fixed") {
      if (!parts.defaultText.IsEmpty()) return ReportError(kXsdDefaultAndFixed, node, nullptr, KTString());
      parts.fixedText = value;
      parts.valueAttribute = attribute;
    } else if (name == u"substitutionGroup") {
      parts.substitutionText = value;
      parts.substitutionAttribute = attribute;
    } else if (name == u"maxOccurs" || name == u"minOccurs") {
      if (parts.topLevel) {
        ok = ReportError(kSchemaUnexpected, attribute, nullptr, KTString(kTopLevelElementAttributes));
        continue;
      }
      if (name == u"maxOccurs") {
        ok = XsdReadMaxOccurs(*this, attribute, value, parts.maximum);
        if (ok && parts.inAll && parts.maximum > 1) {
          ok = ReportError(kSchemaBadValue, attribute, nullptr,
                           KTString(u"- expected: 0 or 1 (maxOccurs inside an 'all' group is limited to these values)"));
        }
      } else {
        XsdReadMinOccurs(value, parts.minimum, parts.maximum);
        if (parts.inAll && parts.minimum > 1) {
          ok = ReportError(kSchemaBadValue, attribute, nullptr,
                           KTString(u"- expected: 0 or 1 (minOccurs inside an 'all' group is limited to these values)"));
        }
      }
      particle.minOccurs = static_cast<int32_t>(parts.minimum);
      particle.maxOccurs = static_cast<int32_t>(parts.maximum);
    } else if (name == u"ref") {
      parts.refText = value;
      KTQName refName;
      context->ResolveQName(refName, value.c_str());
      declaration = DeclareElement(refName);
      if (!declaration->GetDeclaringNode()) declaration->SetDeclaringNode(node);
    } else if (name == u"type") {
      parts.typeText = value;
      parts.typeAttribute = attribute;
    } else if (name == u"name") {
      if (value.Find(u':') >= 0) return ReportError(kXsdPrefixedName, node, nullptr, value);
      parts.nameText = value;
      if (parts.topLevel) {
        parts.elementName = KTQName(value.c_str(), xsd_.targetBinding.ns);
        declaration = DeclareElement(parts.elementName);
      } else {
        parts.elementName = KTQName(value.c_str(), parts.qualified ? xsd_.targetBinding.ns : KTNamespaceId::None());
        declaration = parts.parentGroup->CreateChildType(parts.elementName);
      }
      // Problems found after the passes point at the declaration's element.
      if (!declaration->GetDeclaringNode()) declaration->SetDeclaringNode(node);
    } else {
      ok = XsdOtherAttribute(*this, context, attribute, name, kElementAttributes);
    }
  }
  if (!ok) return false;
  if (parts.blockText == u"#all") parts.blockText = u"extension restriction substitution";
  if (parts.finalText == u"#all") parts.finalText = u"extension restriction";
  return true;
}

bool KTSchemaModel::ReportXsdElementClash(KTXNode* node, const KTXsdElementParts& parts, KTElementType* decl) {
  return parts.topLevel ? ReportError(kSchemaElementDeclaredTwice, node, decl, KTString())
                        : ReportError(kXsdLocalElementTwice, node, decl, decl->GetName().localName);
}

bool KTSchemaModel::ApplyXsdElementType(KTXNode* node, KTNamespaceContext* context, KTXsdElementParts& parts,
                                        KTElementType* decl) {
  bool stepsOk = true;
  KTQName typeName;
  context->ResolveQName(typeName, parts.typeText.c_str());
  const bool declaredBefore = currentPass_ == 1 && decl->contentRead_;
  bool inXsd = typeName.ns == xsd_.secondBinding.ns;
  if (inXsd) {
    KTDatatypeRef datatype(new KTDatatype(typeName.localName, 52, 0, false));
    if (declaredBefore) {
      if (decl->GetDatatype().IsValid() && !(decl->GetDatatype()->GetTypeName(false) == typeName.localName)) {
        stepsOk = ReportXsdElementClash(node, parts, decl);
      }
    } else if (datatype->GetTypeId() <= kDtPositiveInteger) {
      decl->SetDatatype(datatype);
      decl->SetDeclaringNode(node);
      decl->textOnly_ = true;
    } else if (xsd_.targetBinding.ns == xsd_.secondBinding.ns) {
      inXsd = false;  // a schema for the XML Schema namespace itself
    } else if (typeName.localName == u"anyType") {
      decl->SetDatatype(datatype);
      decl->SetDeclaringNode(node);
      // anyType takes any content: its wildcard is lax, so children with a
      // global declaration are given it.
      decl->mixed_ = true;
      decl->any_ = true;
    } else {
      stepsOk = ReportError(kSchemaBadValue, parts.typeAttribute, nullptr, KTString());
    }
  }
  if (!inXsd && stepsOk) {
    auto complexType = complexTypes_.find(typeName);
    auto simpleType = simpleTypes_.find(typeName);
    if (complexType != complexTypes_.end()) {
      KTComplexTypeDef* record = complexType->second.get();
      if (declaredBefore) {
        if (decl->GetDeclaringNode() != record->contentModel.GetDeclaringNode()) {
          stepsOk = ReportXsdElementClash(node, parts, decl);
        }
      } else {
        decl->Assign(record->contentModel, false);
        decl->SetComplexTypeLink(record);
        SetOwnValues(parts, decl, true);
      }
    } else if (simpleType != simpleTypes_.end()) {
      KTSimpleTypeDef* record = simpleType->second.get();
      if (declaredBefore) {
        if (decl->GetDatatype().IsValid() && decl->GetDatatype().Get() != record->datatype.Get()) {
          stepsOk = ReportXsdElementClash(node, parts, decl);
        }
      } else {
        decl->SetSimpleTypeLink(record);
        decl->SetDatatype(record->datatype);
        decl->SetDeclaringNode(node);
        decl->textOnly_ = true;
        // The element shares the type's datatype: a type that may still
        // change asks for another pass.
        if (!IsXsdSettled(kXsdSimpleType, typeName)) RequestXsdPass(typeName.localName);
      }
    } else if (declaredBefore) {
      if (decl->GetDatatype().IsValid() && !(decl->GetDatatype()->GetTypeName(false) == typeName.localName)) {
        stepsOk = ReportXsdElementClash(node, parts, decl);
      }
    } else if (!xsd_.finalPass) {
      RequestXsdPass(typeName.localName);
    } else {
      stepsOk = ReportError(kSchemaBadValue, parts.typeAttribute, nullptr, KTString());
    }
  }
  if (stepsOk) {
    parts.typeGiven = true;
    if (!parts.elementName.localName.IsEmpty()) decl->SetName(parts.elementName);
    decl->contentRead_ = true;
    SetOwnValues(parts, decl, true);
  }
  return stepsOk;
}

bool KTSchemaModel::LoadXsdElementChildren(KTXNode* node, KTNamespaceContext* context, KTXsdElementParts& parts,
                                           KTElementType* decl) {
  KTChildIterator it;
  for (node->FirstChildOfKind(it, kElement); !it.IsEnd(); it.Next()) {
    KTXNode* child = it.Node();
    KTString name, value;
    if (!XsdExpandNode(*this, child, name, value)) return false;
    KTString local = XsdLocalName(context, child);
    bool stepsOk = true;
    if (local == u"annotation") {
      bool found = false;
      KTString text = XsdDocumentation(context, child, &found);
      if (found) {
        parts.documentation = text;
        decl->description_ = text;
      }
    } else if (local == u"simpleType" || local == u"complexType") {
      if (parts.typeGiven) {
        return ReportError(kSchemaUnexpected, child, nullptr,
                           KTString(u"- only one of type, simpleType, or complexType may be used"));
      }
      if (currentPass_ == 1 && decl->contentRead_) return ReportXsdElementClash(node, parts, decl);
      if (local == u"simpleType") {
        decl->contentRead_ = true;
        SetOwnValues(parts, decl, false);
        decl->SetDeclaringNode(node);
        decl->textOnly_ = true;
        KTSimpleTypeDef record;
        stepsOk = LoadXsdSimpleType(child, context, &record);
        if (stepsOk) decl->SetDatatype(record.datatype);
      } else {
        KTComplexTypeDef record;
        stepsOk = LoadXsdComplexType(child, context, record);
        if (stepsOk) {
          *decl = record.contentModel;
          decl->contentRead_ = true;
          if (!parts.elementName.localName.IsEmpty()) decl->SetName(parts.elementName);
          if (!parts.documentation.IsEmpty()) decl->description_ = parts.documentation;
          SetOwnValues(parts, decl, true);
        }
      }
      parts.typeGiven = true;
    } else if (local == u"unique" || local == u"key" || local == u"keyref") {
      stepsOk = LoadXsdIdentityConstraint(child, context, decl, local);
    } else {
      stepsOk = ReportError(kSchemaUnexpected, child, nullptr,
                            XsdExpected(*this, {u"annotation", u"simpleType", u"complexType", u"unique", u"key",
                                                u"keyref"}));
    }
    if (!stepsOk) return false;
  }
  return true;
}

void KTSchemaModel::TakeXsdElementHeadType(KTXNode* node, KTNamespaceContext* context, const KTXsdElementParts& parts,
                                           KTElementType* decl) {
  if (parts.substitutionText.IsEmpty()) {
    decl->SetDeclaringNode(node);
    decl->any_ = true;
    decl->mixed_ = true;
    decl->contentRead_ = true;
    SetOwnValues(parts, decl, false);
    return;
  }
  KTQName headName;
  context->ResolveQName(headName, parts.substitutionText.c_str());
  KTElementType* head = FindElement(headName);
  bool headReady = head && head != decl && head->contentRead_;
  if (headReady) {
    *decl = *head;
    if (!parts.elementName.localName.IsEmpty()) decl->SetName(parts.elementName);
    if (!parts.documentation.IsEmpty()) decl->description_ = parts.documentation;
    decl->SetSubstitutionGroupHead(KTQName());
    decl->substitutionHeadFlag_ = false;
    decl->contentRead_ = true;
    SetOwnValues(parts, decl, true);
  }
  // A head that is not declared yet, or may still change, is waited for;
  // one never declared is recorded after the passes.
  if (headReady ? !IsXsdSettled(kXsdElement, headName) : (!xsd_.finalPass || head)) {
    RequestXsdPass(headName.localName);
  }
}

bool KTSchemaModel::CheckXsdElementValue(KTXNode* node, const KTXsdElementParts& parts, KTElementType* decl) {
  // A value the type refuses is recorded and supplied nowhere.
  if (!decl->HasSimpleContent() && !decl->IsMixed()) {
    return ReportError(kXsdDefaultNeedsSimpleContent, parts.valueAttribute, nullptr, KTString());
  }
  KTDatatypeRef datatype = decl->GetDatatype();
  if (!datatype.IsValid()) return true;
  KTString text = parts.defaultText.IsEmpty() ? parts.fixedText : parts.defaultText;
  if (text.Find(u'&') >= 0) {
    KTString expanded;
    ExpandEntityReferences(node, text.c_str(), expanded, false, false, false);
    text = expanded;
  }
  // Checked as the type's white-space rule leaves it (XML Schema 1.0
  // Structures §3.14.4, String Valid), so "a&#9;b" is a normalizedString.
  int code = datatype->CheckValue(datatype->NormalizeWhiteSpace(text), false, false);
  if (code != kDatatypeValid) {
    decl->valueText_ = KTString();
    decl->fixedText_ = KTString();
    KTXNode* at = parts.valueAttribute;
    if (code == kDatatypeLexical) return ReportError(kXsdValueLexical, at, decl, datatype->GetTypeName(true));
    if (code == kDatatypeRange) return ReportError(kXsdValueRange, at, decl, datatype->GetTypeName(true));
    return ReportError(kXsdValueFacet, at, decl, KTDatatype::GetFailingFacetText());
  }
  // Supplied as the type's white-space rule leaves it (XML Schema 1.0
  // Structures §3.3.1: the value constraint is a value of the type).
  if (parts.refText.IsEmpty()) {
    decl->valueText_ = datatype->NormalizeWhiteSpace(parts.defaultText);
    decl->fixedText_ = datatype->NormalizeWhiteSpace(parts.fixedText);
  }
  return true;
}

// ---- Notations ----

bool KTSchemaModel::LoadXsdNotation(KTXNode* node, KTNamespaceContext* parent) {
  KTXsdScope scope(*this, parent, node);
  if (!scope.Entered()) return scope.Result();
  KTString nameText, publicText, systemText;
  bool nameGiven = false, publicGiven = false;
  KTChildIterator it;
  for (node->FirstChildOfKind(it, kAttribute); !it.IsEnd(); it.Next()) {
    KTString name, value;
    if (!XsdExpandNode(*this, it.Node(), name, value)) return false;
    if (name == u"id") continue;
    if (name == u"name") {
      if (value.Find(u':') >= 0) return ReportError(kXsdPrefixedName, node, nullptr, value);
      nameText = value;
      nameGiven = true;
    } else if (name == u"public") {
      publicText = value;
      publicGiven = true;
    } else if (name == u"system") {
      systemText = value;
    } else if (!XsdOtherAttribute(*this, scope.Context(), it.Node(), name, u"- expected: (id | name | public | system)")) {
      return false;
    }
  }
  if (!nameGiven) return ReportError(kXsdMissingAttribute, node, nullptr, KTString(u"name"));
  if (!publicGiven) return ReportError(kXsdMissingAttribute, node, nullptr, KTString(u"public"));
  KTString literal = KTString(u"PUBLIC \"") + publicText + u"\"";
  if (!systemText.IsEmpty()) literal += KTString(u" \"") + systemText + u"\"";
  DeclareNotation(nameText)->value = literal;
  return true;
}
