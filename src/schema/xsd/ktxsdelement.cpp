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
    if (xsd_.secondBinding.ns != xsd_.targetBinding.ns) return ReportError(kXsdBadValue, errorNode, nullptr, KTString());
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
  if (xsd_.finalPass) return ReportError(kXsdBadValue, errorNode, nullptr, KTString());
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
  return model.ReportError(kXsdUnexpected, attribute, nullptr, KTString(u"- expected: (true | false)"));
}

}  // namespace

bool KTSchemaModel::LoadXsdElement(KTXNode* node, KTNamespaceContext* parent, KTParticle& particle,
                                   KTElementType*& declaration, KTElementType* parentGroup, bool inAll) {
  KTXsdScope scope(*this, parent, node);
  if (!scope.Entered()) return scope.Result();
  KTNamespaceContext* context = scope.Context();
  const bool topLevel = parentGroup == nullptr;
  const int unsettledBefore = xsd_.unsettled;
  KTString blockText = xsd_.blockDefault, finalText = xsd_.finalDefault;
  bool qualified = xsd_.qualifiedElements;
  KTQName elementName;
  KTString nameText, refText, typeText, substitutionText, defaultText, fixedText, documentation;
  KTXNode* valueAttribute = nullptr;
  KTXNode* substitutionAttribute = nullptr;
  KTXNode* typeAttribute = nullptr;
  bool abstract = false, nillable = false, typeGiven = false;
  uint32_t minimum = 1, maximum = 1;
  particle.minOccurs = 1;
  particle.maxOccurs = 1;

  KTChildIterator it;
  bool ok = true;
  if (!XsdReadForm(*this, node, qualified)) return false;

  for (node->FirstChildOfKind(it, kAttribute); ok && !it.IsEnd(); it.Next()) {
    KTXNode* attribute = it.Node();
    KTString name, value;
    if (!XsdExpandNode(*this, attribute, name, value)) return false;
    if (name == u"id" || name == u"form") continue;
    if (name == u"abstract") {
      ok = ReadBoolean(*this, attribute, value, abstract);
    } else if (name == u"nillable") {
      ok = ReadBoolean(*this, attribute, value, nillable);
    } else if (name == u"block" || name == u"final") {
      bool block = name == u"block";
      if (value == u"#all") {
        (block ? blockText : finalText) = value;
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
      if (allGood) (block ? blockText : finalText) = value;
    } else if (name == u"default") {
      if (!fixedText.IsEmpty()) return ReportError(kXsdDefaultAndFixed, node, nullptr, KTString());
      defaultText = value;
      valueAttribute = attribute;
    } else if (name == u"fixed") {
      if (!defaultText.IsEmpty()) return ReportError(kXsdDefaultAndFixed, node, nullptr, KTString());
      fixedText = value;
      valueAttribute = attribute;
    } else if (name == u"substitutionGroup") {
      substitutionText = value;
      substitutionAttribute = attribute;
    } else if (name == u"maxOccurs" || name == u"minOccurs") {
      if (topLevel) {
        ok = ReportError(kXsdUnexpected, attribute, nullptr, KTString(kTopLevelElementAttributes));
        continue;
      }
      if (name == u"maxOccurs") {
        ok = XsdReadMaxOccurs(*this, attribute, value, maximum);
        if (ok && inAll && maximum > 1) {
          ok = ReportError(kXsdBadValue, attribute, nullptr,
                           KTString(u"- expected: 0 or 1 (maxOccurs inside an 'all' group is limited to these values)"));
        }
      } else {
        XsdReadMinOccurs(value, minimum, maximum);
        if (inAll && minimum > 1) {
          ok = ReportError(kXsdBadValue, attribute, nullptr,
                           KTString(u"- expected: 0 or 1 (minOccurs inside an 'all' group is limited to these values)"));
        }
      }
      particle.minOccurs = static_cast<int32_t>(minimum);
      particle.maxOccurs = static_cast<int32_t>(maximum);
    } else if (name == u"ref") {
      refText = value;
      KTQName refName;
      context->ResolveQName(refName, value.c_str());
      declaration = DeclareElement(refName);
      if (!declaration->GetDeclaringNode()) declaration->SetDeclaringNode(node);
    } else if (name == u"type") {
      typeText = value;
      typeAttribute = attribute;
    } else if (name == u"name") {
      if (value.Find(u':') >= 0) return ReportError(kXsdPrefixedName, node, nullptr, value);
      nameText = value;
      if (topLevel) {
        elementName = KTQName(value.c_str(), xsd_.targetBinding.ns);
        declaration = DeclareElement(elementName);
      } else {
        elementName = KTQName(value.c_str(), qualified ? xsd_.targetBinding.ns : KTNamespaceId::None());
        declaration = parentGroup->CreateChildType(elementName);
      }
      // Problems found after the passes point at the declaration's element.
      if (!declaration->GetDeclaringNode()) declaration->SetDeclaringNode(node);
    } else {
      ok = XsdOtherAttribute(*this, context, attribute, name, kElementAttributes);
    }
  }
  if (!ok) return false;
  if (blockText == u"#all") blockText = u"extension restriction substitution";
  if (finalText == u"#all") finalText = u"extension restriction";
  if (nameText.IsEmpty() && refText.IsEmpty()) return ReportError(kXsdMissingAttribute, node, nullptr, u"name or ref");

  KTElementType* decl = declaration;
  auto clash = [&]() {
    return topLevel ? ReportError(kXsdElementTwice, node, decl, KTString())
                    : ReportError(kXsdLocalElementTwice, node, decl, decl->GetName().localName);
  };
  // Values written by a type or copied from a head: the element's own
  // abstract (kept when already set), nillable, default and fixed.
  auto setOwnValues = [&](bool keepAbstract) {
    decl->abstract_ = keepAbstract ? (decl->abstract_ || abstract) : abstract;
    decl->nillable_ = nillable;
    decl->valueText_ = defaultText;
    decl->fixedText_ = fixedText;
  };
  const bool firstPass = currentPass_ == 1;

  // The type attribute.
  bool stepsOk = true;
  if (!typeText.IsEmpty()) {
    KTQName typeName;
    context->ResolveQName(typeName, typeText.c_str());
    const bool declaredBefore = firstPass && decl->contentRead_;
    bool inXsd = typeName.ns == xsd_.secondBinding.ns;
    if (inXsd) {
      KTDatatypeRef datatype(new KTDatatype(typeName.localName, 52, 0, false));
      if (declaredBefore) {
        if (decl->GetDatatype().IsValid() && !(decl->GetDatatype()->GetTypeName(false) == typeName.localName)) {
          stepsOk = clash();
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
        // anyType takes any content: its wildcard is lax, so children with
        // a global declaration are given it.
        decl->mixed_ = true;
        decl->any_ = true;
      } else {
        stepsOk = ReportError(kXsdBadValue, typeAttribute, nullptr, KTString());
      }
    }
    if (!inXsd && stepsOk) {
      auto complexType = complexTypes_.find(typeName);
      auto simpleType = simpleTypes_.find(typeName);
      if (complexType != complexTypes_.end()) {
        KTComplexTypeDef* record = complexType->second.get();
        if (declaredBefore) {
          if (decl->GetDeclaringNode() != record->contentModel.GetDeclaringNode()) stepsOk = clash();
        } else {
          decl->Assign(record->contentModel, false);
          decl->SetComplexTypeLink(record);
          setOwnValues(true);
        }
      } else if (simpleType != simpleTypes_.end()) {
        KTSimpleTypeDef* record = simpleType->second.get();
        if (declaredBefore) {
          if (decl->GetDatatype().IsValid() && decl->GetDatatype().Get() != record->datatype.Get()) stepsOk = clash();
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
          stepsOk = clash();
        }
      } else if (!xsd_.finalPass) {
        RequestXsdPass(typeName.localName);
      } else {
        stepsOk = ReportError(kXsdBadValue, typeAttribute, nullptr, KTString());
      }
    }
    if (stepsOk) {
      typeGiven = true;
      if (!elementName.localName.IsEmpty()) decl->SetName(elementName);
      decl->contentRead_ = true;
      setOwnValues(true);
    }
  }

  // Children.
  for (node->FirstChildOfKind(it, kElement); stepsOk && !it.IsEnd(); it.Next()) {
    KTXNode* child = it.Node();
    KTString name, value;
    if (!XsdExpandNode(*this, child, name, value)) {
      stepsOk = false;
      break;
    }
    KTString local = XsdLocalName(context, child);
    if (local == u"annotation") {
      bool found = false;
      KTString text = XsdDocumentation(context, child, &found);
      if (found) {
        documentation = text;
        decl->description_ = text;
      }
    } else if (local == u"simpleType" || local == u"complexType") {
      if (typeGiven) {
        stepsOk = ReportError(kXsdUnexpected, child, nullptr,
                              KTString(u"- only one of type, simpleType, or complexType may be used"));
        break;
      }
      if (firstPass && decl->contentRead_) {
        stepsOk = clash();
        break;
      }
      if (local == u"simpleType") {
        decl->contentRead_ = true;
        setOwnValues(false);
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
          if (!elementName.localName.IsEmpty()) decl->SetName(elementName);
          if (!documentation.IsEmpty()) decl->description_ = documentation;
          setOwnValues(true);
        }
      }
      typeGiven = true;
    } else if (local == u"unique" || local == u"key" || local == u"keyref") {
      stepsOk = LoadXsdIdentityConstraint(child, context, decl, local);
    } else {
      stepsOk = ReportError(kXsdUnexpected, child, nullptr,
                            XsdExpected(*this, {u"annotation", u"simpleType", u"complexType", u"unique", u"key",
                                                u"keyref"}));
    }
  }

  // No type at all: the head's type, or any content.
  if (typeText.IsEmpty() && !typeGiven && refText.IsEmpty()) {
    if (!substitutionText.IsEmpty()) {
      KTQName headName;
      context->ResolveQName(headName, substitutionText.c_str());
      KTElementType* head = FindElement(headName);
      bool headReady = head && head != decl && head->contentRead_;
      if (headReady) {
        *decl = *head;
        if (!elementName.localName.IsEmpty()) decl->SetName(elementName);
        if (!documentation.IsEmpty()) decl->description_ = documentation;
        decl->SetSubstitutionGroupHead(KTQName());
        decl->substitutionHeadFlag_ = false;
        decl->contentRead_ = true;
        setOwnValues(true);
      }
      // A head that is not declared yet, or may still change, is waited
      // for; one never declared is recorded after the passes.
      if (headReady ? !IsXsdSettled(kXsdElement, headName) : (!xsd_.finalPass || head)) {
        RequestXsdPass(headName.localName);
      }
    } else {
      decl->SetDeclaringNode(node);
      decl->any_ = true;
      decl->mixed_ = true;
      decl->contentRead_ = true;
      setOwnValues(false);
    }
  }

  // Default or fixed text, checked against the datatype. A value the type
  // refuses is recorded and supplied nowhere. A type still waiting for a
  // definition further on is checked on the pass that settles it.
  const bool typeWaits = xsd_.unsettled != unsettledBefore && !xsd_.finalPass;
  if ((!defaultText.IsEmpty() || !fixedText.IsEmpty()) && stepsOk && !typeWaits) {
    if (!decl->HasSimpleContent() && !decl->IsMixed()) {
      return ReportError(kXsdDefaultNeedsSimpleContent, valueAttribute, nullptr, KTString());
    }
    KTDatatypeRef datatype = decl->GetDatatype();
    if (datatype.IsValid()) {
      KTString text = defaultText.IsEmpty() ? fixedText : defaultText;
      if (text.Find(u'&') >= 0) {
        KTString expanded;
        ExpandEntityReferences(node, text.c_str(), expanded, false, false, false);
        text = expanded;
      }
      // Checked as the type's white-space rule leaves it (XML Schema 1.0
      // Part 1, §3.14.4, String Valid), so "a&#9;b" is a normalizedString.
      int code = datatype->CheckValue(datatype->NormalizeWhiteSpace(text), false, false);
      if (code != kDatatypeValid) {
        decl->valueText_ = KTString();
        decl->fixedText_ = KTString();
        if (code == kDatatypeLexical) return ReportError(kXsdValueLexical, valueAttribute, decl, datatype->GetTypeName(true));
        if (code == kDatatypeRange) return ReportError(kXsdValueRange, valueAttribute, decl, datatype->GetTypeName(true));
        return ReportError(kXsdValueFacet, valueAttribute, decl, KTDatatype::GetFailingFacetText());
      }
      // Supplied as the type's white-space rule leaves it (XML Schema 1.0
      // Part 1, §3.3.1: the value constraint is a value of the type).
      if (refText.IsEmpty()) {
        decl->valueText_ = datatype->NormalizeWhiteSpace(defaultText);
        decl->fixedText_ = datatype->NormalizeWhiteSpace(fixedText);
      }
    }
  }

  if (!substitutionText.IsEmpty()) {
    if (!topLevel) return ReportError(kXsdLocalSubstitution, substitutionAttribute, nullptr, KTString());
    KTQName headName;
    context->ResolveQName(headName, substitutionText.c_str());
    decl->SetSubstitutionGroupHead(headName);
  }
  if (!stepsOk) return false;
  decl->blockText_ = blockText;
  decl->finalText_ = finalText;
  decl->qualified_ = qualified;
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
