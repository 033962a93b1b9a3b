// XML Schema simple types (restriction with facets, list, union) and
// attribute declarations (global, local and references) with their checked
// default and fixed values.
#include "schema/ktfacet.h"
#include "schema/xmlregexp.h"
#include "schema/xsd/ktxsdloader.h"
#include "xml/ktxnode.h"

namespace {

// Members one union may hold, counted through nested unions: real unions
// have a handful, while `memberTypes="U U"` nested 30 deep would copy 2^30.
constexpr int kMaxUnionMembers = 1000;

constexpr const char16_t* kFacetNames[] = {u"length",       u"minLength",    u"maxLength",    u"whiteSpace",
                                           u"totalDigits",  u"fractionDigits", u"pattern",    u"enumeration",
                                           u"minExclusive", u"minInclusive", u"maxExclusive", u"maxInclusive"};

bool IsFacetName(const KTString& local) {
  for (const char16_t* name : kFacetNames) {
    if (local == name) return true;
  }
  return false;
}

// The record's datatype made its own, so that what a derivation changes
// never reaches the type it derives from.
void MakePrivate(KTSimpleTypeDef& record) {
  if (record.datatype.IsValid() && record.datatype.GetCount() > 1) {
    record.datatype = KTDatatypeRef(new KTDatatype(*record.datatype.Get()));
  }
}

}  // namespace

// One facet element of a restriction, set on the record's datatype.
static bool LoadFacet(KTSchemaModel& model, KTXNode* facet, KTNamespaceContext* context, KTSimpleTypeDef& record) {
  bool ok = true;
  KTString value;
  KTXNode* valueNode = nullptr;
  KTChildIterator it;
  for (facet->FirstChildOfKind(it, kAttribute); !it.IsEnd(); it.Next()) {
    KTString name, text;
    if (!XsdExpandNode(model, it.Node(), name, text)) return false;
    if (name == u"value") {
      value = text;
      valueNode = it.Node();
      break;
    }
    if (name == u"id") continue;
    if (!XsdOtherAttribute(model, context, it.Node(), name, u"- expected: (id | value)")) ok = false;
  }
  KTXNode* at = valueNode ? valueNode : facet;
  if (!record.datatype.IsValid()) {
    // A nested type without a derivation gives its restriction nothing to
    // restrict.
    model.ReportError(kSchemaUnexpected, facet, nullptr, KTString(u"- a facet needs a base type"));
    return false;
  }
  MakePrivate(record);
  KTString local(facet->GetLocalName());
  if (record.datatype->SetFacet(local, value)) return ok;
  if (local == u"pattern") {
    XMLRegExp regExp(KTString(), 0);
    if (!regExp.Compile(value)) {
      KTString text;
      text.Format(u"%s expected at position %d", XMLRegExp::GetErrorText().c_str(), XMLRegExp::GetErrorOffset());
      model.ReportError(kXsdBadPattern, at, nullptr, text,
                        {0, XMLRegExp::GetErrorOffset(), XMLRegExp::GetErrorLine()});
      return false;
    }
    model.ReportError(kXsdBadPattern, at, nullptr, KTString(u"parser error"));
    return false;
  }
  model.ReportError(kXsdValueLexical, at, nullptr, record.datatype->GetTypeName(true));
  return false;
}

// The members of a union, appended to the record's datatype in constant
// time each, counted through the members' own chains.
struct UnionMembers {
  int count = 0;
  KTDatatype* tail = nullptr;

  // False, with the problem recorded, past kMaxUnionMembers.
  bool Add(KTSchemaModel& model, KTXNode* at, KTSimpleTypeDef& record, const KTDatatypeRef& member) {
    if (!member.IsValid()) return true;
    int size = member->CountChain();
    if (count + size > kMaxUnionMembers) {
      model.ReportError(kSchemaBadValue, at, nullptr, KTString(u"- a union of more than 1000 member types"));
      return false;
    }
    KTDatatype* copy = new KTDatatype(*member.Get());
    if (count == 0) {
      record.datatype = KTDatatypeRef(copy);
      tail = copy;
      while (tail->GetMemberType()) tail = const_cast<KTDatatype*>(tail->GetMemberType());
    } else {
      tail = KTDatatype::LinkMember(tail, copy);
    }
    count += size;
    return true;
  }
};

bool KTSchemaModel::LoadXsdSimpleType(KTXNode* node, KTNamespaceContext* parent, KTSimpleTypeDef* record) {
  KTXsdScope scope(*this, parent, node);
  if (!scope.Entered()) return scope.Result();
  KTNamespaceContext* context = scope.Context();
  KTString nameText, finalText, baseText;
  if (!ReadXsdSimpleTypeAttributes(node, context, nameText, finalText)) return false;
  bool ok = true;
  KTChildIterator it;
  for (node->FirstChildOfKind(it, kElement); ok && !it.IsEnd(); it.Next()) {
    KTXNode* derivation = it.Node();
    KTString name, value;
    if (!XsdExpandNode(*this, derivation, name, value)) return false;
    KTString local = XsdLocalName(context, derivation);
    if (local == u"annotation") continue;
    if (local == u"list") {
      ok = LoadXsdListType(derivation, context, nameText, *record);
    } else if (local == u"restriction") {
      ok = LoadXsdRestrictionType(node, derivation, context, nameText, baseText, *record);
    } else if (local == u"union") {
      ok = LoadXsdUnionType(derivation, context, nameText, baseText, *record);
    } else {
      ok = ReportError(kSchemaUnexpected, derivation, nullptr,
                       XsdExpected(*this, {u"annotation", u"list", u"restriction", u"union"}));
      continue;
    }
    break;  // the first derivation child decides; later children are not read
  }
  if (ok) {
    record->finalText = finalText;
    record->definingNode = node;
  }
  return ok;
}

bool KTSchemaModel::ReadXsdSimpleTypeAttributes(KTXNode* node, KTNamespaceContext* context, KTString& nameText,
                                                KTString& finalText) {
  KTChildIterator it;
  for (node->FirstChildOfKind(it, kAttribute); !it.IsEnd(); it.Next()) {
    KTXNode* attribute = it.Node();
    KTString name, value;
    if (!XsdExpandNode(*this, attribute, name, value)) return false;
    if (name == u"id") continue;
    if (name == u"final") {
      if (value == u"#all") {
        finalText = value;
        continue;
      }
      bool allGood = true;
      bool ok = XsdCheckWords(*this, attribute, value, {u"extension", u"restriction", u"list", u"union"},
                              u"- expected: (#all | List of (extension | list | restriction | union) )", allGood);
      if (allGood) finalText = value;
      if (!ok) return false;
    } else if (name == u"name") {
      if (value.Find(u':') >= 0) return ReportError(kXsdPrefixedName, node, nullptr, value);
      nameText = value;
    } else if (!XsdOtherAttribute(*this, context, attribute, name, u"- expected: (id | final | name)")) {
      return false;
    }
  }
  if (finalText == u"#all") finalText = u"extension restriction list union";
  return true;
}

namespace {

// Visits each element child of a derivation but its annotations, with its
// local name, while the visits succeed; false when a child's name does not
// expand or a visit fails.
template <typename Visit>
bool ForEachDerivationChild(KTSchemaModel& model, KTXNode* derivation, KTNamespaceContext* context, Visit visit) {
  KTChildIterator c;
  for (derivation->FirstChildOfKind(c, kElement); !c.IsEnd(); c.Next()) {
    KTString childName, childValue;
    if (!XsdExpandNode(model, c.Node(), childName, childValue)) return false;
    KTString childLocal = XsdLocalName(context, c.Node());
    if (childLocal == u"annotation") continue;
    if (!visit(c.Node(), childLocal)) return false;
  }
  return true;
}

}  // namespace

bool KTSchemaModel::LoadXsdNestedSimpleType(KTXNode* child, KTNamespaceContext* context, KTSimpleTypeDef& into,
                                            const char16_t* blockWord) {
  if (!LoadXsdSimpleType(child, context, &into)) return false;
  if (into.finalText.Find(blockWord) >= 0) return ReportError(kXsdDerivationBlocked, child, nullptr, into.finalText);
  return true;
}

bool KTSchemaModel::LoadXsdListType(KTXNode* derivation, KTNamespaceContext* context, const KTString& nameText,
                                    KTSimpleTypeDef& record) {
  bool ok = true;
  KTChildIterator a;
  for (derivation->FirstChildOfKind(a, kAttribute); ok && !a.IsEnd(); a.Next()) {
    KTString attributeName, attributeValue;
    if (!XsdExpandNode(*this, a.Node(), attributeName, attributeValue)) return false;
    if (!(attributeName == u"itemType")) continue;
    KTSimpleTypeDef* found = nullptr;
    if (!ResolveXsdTypeName(context, nameText, attributeValue, record, a.Node(), found)) return false;
    if (record.finalText.Find(u"list") >= 0) {
      ok = ReportError(kXsdDerivationBlocked, a.Node(), nullptr, record.finalText);
    }
    MakePrivate(record);
    if (record.datatype.IsValid()) record.datatype->SetList(true);
  }
  if (!ok) return false;
  return ForEachDerivationChild(*this, derivation, context, [&](KTXNode* child, const KTString& local) {
    if (!(local == u"simpleType")) {
      return ReportError(kSchemaUnexpected, child, nullptr, XsdExpected(*this, {u"annotation", u"simpleType"}));
    }
    bool loaded = LoadXsdNestedSimpleType(child, context, record, u"list");
    record.name = KTQName(nameText.c_str(), xsd_.targetBinding.ns);
    MakePrivate(record);
    if (record.datatype.IsValid()) record.datatype->SetList(true);
    return loaded;
  });
}

bool KTSchemaModel::LoadXsdRestrictionType(KTXNode* node, KTXNode* derivation, KTNamespaceContext* context,
                                           KTString& nameText, KTString& baseText, KTSimpleTypeDef& record) {
  bool ok = true;
  KTChildIterator a, c;
  KTXNode* baseNode = nullptr;
  for (derivation->FirstChildOfKind(a, kAttribute); ok && !a.IsEnd(); a.Next()) {
    KTString attributeName, attributeValue;
    if (!XsdExpandNode(*this, a.Node(), attributeName, attributeValue)) return false;
    if (attributeName == u"id") continue;
    if (attributeName == u"base") {
      baseText = attributeValue;
      baseNode = a.Node();
    } else if (attributeName == u"name") {
      if (attributeValue.Find(u':') >= 0) return ReportError(kXsdPrefixedName, node, nullptr, attributeValue);
      nameText = attributeValue;
    } else {
      ok = XsdOtherAttribute(*this, context, a.Node(), attributeName, u"- expected: (base | id | name)");
    }
  }
  if (!ok) return false;
  if (!baseNode) {
    bool hasNested = false;
    for (derivation->FirstChildOfKind(c, kElement); !c.IsEnd(); c.Next()) {
      KTString childName, childValue;
      if (!XsdExpandNode(*this, c.Node(), childName, childValue)) return false;
      hasNested = hasNested || XsdLocalName(context, c.Node()) == u"simpleType";
    }
    if (!hasNested) return ReportError(kXsdMissingAttribute, derivation, nullptr, KTString(u"base"));
  } else {
    KTSimpleTypeDef* found = nullptr;
    if (!ResolveXsdTypeName(context, nameText, baseText, record, baseNode, found)) return false;
    if (record.finalText.Find(u"restriction") >= 0) {
      ok = ReportError(kXsdDerivationBlocked, baseNode, nullptr, record.finalText);
    }
    MakePrivate(record);
  }
  if (!ok) return false;
  return ForEachDerivationChild(*this, derivation, context, [&](KTXNode* child, const KTString& local) {
    if (local == u"simpleType") {
      bool loaded = LoadXsdNestedSimpleType(child, context, record, u"restriction");
      record.name = KTQName(nameText.c_str(), xsd_.targetBinding.ns);
      return loaded;
    }
    if (IsFacetName(local)) return LoadFacet(*this, child, context, record);
    return ReportError(kSchemaUnexpected, child, nullptr,
                       XsdExpected(*this, {u"annotation", u"simpleType", u"length", u"minLength", u"maxLength",
                                           u"whiteSpace", u"enumeration", u"totalDigits", u"fractionDigits",
                                           u"minExclusive", u"minInclusive", u"maxExclusive", u"maxInclusive",
                                           u"pattern"}));
  });
}

bool KTSchemaModel::LoadXsdUnionType(KTXNode* derivation, KTNamespaceContext* context, const KTString& nameText,
                                     const KTString& baseText, KTSimpleTypeDef& record) {
  bool ok = true;
  KTChildIterator a;
  KTQName baseName;
  context->ResolveQName(baseName, baseText.c_str());
  record = KTSimpleTypeDef(KTQName(nameText.c_str(), xsd_.targetBinding.ns), baseName,
                           KTDatatypeRef(new KTDatatype(baseText.GetLocalName(), 52, 0, false)));
  UnionMembers members;
  for (derivation->FirstChildOfKind(a, kAttribute); ok && !a.IsEnd(); a.Next()) {
    KTString attributeName, attributeValue;
    if (!XsdExpandNode(*this, a.Node(), attributeName, attributeValue)) return false;
    if (!(attributeName == u"memberTypes")) continue;
    int position = 0;
    for (;;) {
      KTString token = attributeValue.Tokenize(kXsdWhite, position);
      if (token.IsEmpty()) break;
      KTSimpleTypeDef member;
      KTSimpleTypeDef* found = nullptr;
      if (!ResolveXsdTypeName(context, token, token, member, a.Node(), found)) return false;
      if (member.finalText.Find(u"union") >= 0) {
        ok = ReportError(kXsdDerivationBlocked, a.Node(), nullptr, member.finalText);
      }
      if (!members.Add(*this, a.Node(), record, member.datatype)) return false;
      if (!ok) break;
    }
  }
  if (!ok) return false;
  return ForEachDerivationChild(*this, derivation, context, [&](KTXNode* child, const KTString& local) {
    if (!(local == u"simpleType")) {
      return ReportError(kSchemaUnexpected, child, nullptr, XsdExpected(*this, {u"annotation", u"simpleType"}));
    }
    KTSimpleTypeDef member;
    bool loaded = LoadXsdNestedSimpleType(child, context, member, u"union");
    return members.Add(*this, child, record, member.datatype) && loaded;
  });
}

// ---- Attribute declarations ----

namespace {

// The attribute-type flags and enumerated values a datatype gives.
void TakeTypeFlags(KTAttributeDecl& decl) {
  uint32_t id = decl.datatype.IsValid() ? decl.datatype->GetTypeId() : kDtUnknown;
  decl.id = id == kDtId;
  decl.idref = id == kDtIdref;
  decl.idrefs = id == kDtIdrefs;
  decl.entity = id == kDtEntity;
  decl.entities = id == kDtEntities;
  decl.nmtoken = id == kDtNmtoken;
  decl.nmtokens = id == kDtNmtokens;
  decl.notation = id == kDtNotation;
  decl.enumerated = id == kDtXdrEnumeration;
}

void TakeEnumerations(KTAttributeDecl& decl) {
  if (!decl.datatype.IsValid()) return;
  for (const KTDatatype* d = decl.datatype.Get(); d; d = d->GetMemberType()) {
    if (auto* facet = dynamic_cast<KTEnumerationFacet*>(d->FindFacet(KTString(u"enumeration")))) {
      for (const KTString& v : facet->GetValues()) decl.enumeratedValues.push_back(v);
      decl.enumerated = true;
    }
  }
}

}  // namespace

// What the attributes of an attribute declaration say: the declaration as
// read so far, and the value constraint and use as written.
struct KTXsdAttributeParts {
  KTAttributeDecl decl;
  bool qualified = false;
  bool nameSeen = false, refSeen = false, typeSeen = false;
  KTString useText, defaultCopy, fixedCopy;
  KTXNode* defaultNode = nullptr;
  KTXNode* fixedNode = nullptr;
};

bool KTSchemaModel::LoadXsdAttribute(KTXNode* node, KTNamespaceContext* parent, KTElementType* owner,
                                     bool restriction) {
  KTXsdScope scope(*this, parent, node);
  if (!scope.Entered()) return scope.Result();
  KTNamespaceContext* context = scope.Context();
  const int unsettledBefore = xsd_.unsettled;
  KTXsdAttributeParts parts;
  KTAttributeDecl& decl = parts.decl;
  decl.owner = this;
  parts.qualified = xsd_.qualifiedAttributes;
  if (!XsdReadForm(*this, node, parts.qualified)) return false;
  if (!ReadXsdAttributeAttributes(node, context, owner, parts)) return false;
  if (!LoadXsdAttributeChildren(node, context, parts)) return false;
  decl.declaringNode = node;
  decl.qualified = parts.qualified;
  decl.implied = !decl.fixed && !decl.required;
  if (!CheckXsdAttributeValues(node, owner, parts)) return false;

  if (decl.hasDefault && decl.datatype.IsValid()) {
    // Supplied as the type's white-space rule leaves it (XML Schema 1.0
    // Structures §3.2.1: the value constraint is a value of the type).
    decl.defaultText = decl.datatype->NormalizeWhiteSpace(decl.defaultText);
  }
  if (decl.prohibited) {
    // A prohibited attribute is absent from the type (XML Schema 1.0
    // Structures §3.4.2, attribute uses): whatever default a referenced
    // declaration carries is not supplied.
    decl.hasDefault = false;
    decl.fixed = false;
    decl.defaultText = KTString();
  }

  if (decl.prohibited && owner && !restriction) {
    // Outside a restriction (in an attribute group, an extension or a type
    // derived from none) a prohibited use stands for nothing at all (XML
    // Schema 1.0 Structures §3.2.2): the type keeps whatever use of that
    // attribute it has, default included.
    return true;
  }
  bool ok = true;
  if (owner && restriction) {
    if (decl.prohibited && !owner->FindAttribute(decl.name) && !anotherPass_) {
      ok = ReportError(kSchemaAttributeTypeNotFound, node, nullptr, decl.name.localName);
    }
    owner->AddAttribute(decl);
  } else if (owner) {
    if (owner->FindAttribute(decl.name)) return ReportError(kXsdLocalAttributeTwice, node, nullptr, decl.name.localName);
    owner->AddAttribute(decl);
  } else {
    AddGlobalAttribute(decl);
    MarkXsdSettled(kXsdAttribute, decl.name, xsd_.unsettled == unsettledBefore);
  }
  return ok;
}

bool KTSchemaModel::ReadXsdAttributeAttributes(KTXNode* node, KTNamespaceContext* context, KTElementType* owner,
                                               KTXsdAttributeParts& parts) {
  KTAttributeDecl& decl = parts.decl;
  bool ok = true;
  KTChildIterator it;
  for (node->FirstChildOfKind(it, kAttribute); ok && !it.IsEnd(); it.Next()) {
    KTXNode* attribute = it.Node();
    KTString name, value;
    if (!XsdExpandNode(*this, attribute, name, value)) return false;
    if (name == u"id" || name == u"form") continue;
    if (name == u"type") {
      parts.typeSeen = true;
      KTSimpleTypeDef record;
      KTSimpleTypeDef* found = nullptr;
      if (!ResolveXsdTypeName(context, value, value, record, attribute, found)) return false;
      decl.datatype = record.datatype;
      decl.namedType = found;
      TakeTypeFlags(decl);
      TakeEnumerations(decl);
    } else if (name == u"ref") {
      parts.refSeen = true;
      if (parts.nameSeen) return ReportError(kXsdNameAndRef, node, nullptr, KTString());
      context->ResolveQName(decl.name, value.c_str());
      if (const KTAttributeDecl* global = FindGlobalAttribute(decl.name)) {
        decl = *global;
        parts.qualified = true;
        if (!IsXsdSettled(kXsdAttribute, decl.name)) RequestXsdPass(decl.name.localName);
      } else if (xsd_.finalPass) {
        ok = ReportError(kSchemaAttributeTypeNotFound, attribute, nullptr, value);
      } else {
        RequestXsdPass(decl.name.localName);
      }
    } else if (name == u"name") {
      if (value.Find(u':') >= 0) return ReportError(kXsdPrefixedName, node, nullptr, value);
      decl.name = KTQName(value.c_str(), !parts.qualified && owner ? KTNamespaceId::None() : xsd_.targetBinding.ns);
      parts.nameSeen = true;
      if (parts.refSeen) return ReportError(kXsdNameAndRef, node, nullptr, KTString());
    } else if (name == u"use") {
      parts.useText = value;
      if (value == u"prohibited") {
        decl.prohibited = true;
      } else if (value == u"required") {
        decl.required = true;
      } else if (!(value == u"optional")) {
        ok = ReportError(kSchemaBadValue, attribute, nullptr, KTString(u"- expected: (optional | prohibited | required)"));
      }
    } else if (name == u"default") {
      if (decl.fixed) return ReportError(kXsdDefaultAndFixed, node, nullptr, KTString());
      parts.defaultNode = attribute;
      parts.defaultCopy = value;
      decl.SetDefault(value);
    } else if (name == u"fixed") {
      if (decl.hasDefault) return ReportError(kXsdDefaultAndFixed, node, nullptr, KTString());
      parts.fixedNode = attribute;
      parts.fixedCopy = value;
      decl.fixed = true;
      decl.SetDefault(value);
    } else {
      ok = XsdOtherAttribute(*this, context, attribute, name,
                             u"- expected: (default | fixed | form | id | name | ref | type | use)");
    }
  }
  if (!ok) return false;
  if (parts.refSeen) {
    // The referenced declaration was copied over the use and the value
    // constraint read before it; the use's own come back.
    decl.prohibited = parts.useText == u"prohibited";
    decl.required = parts.useText == u"required";
    if (parts.defaultNode) {
      if (decl.fixed) return ReportError(kXsdDefaultAndFixed, node, nullptr, KTString());
      decl.SetDefault(parts.defaultCopy);
    }
    if (parts.fixedNode) {
      decl.fixed = true;
      decl.SetDefault(parts.fixedCopy);
    }
  }
  if (parts.defaultNode && !parts.useText.IsEmpty() && !(parts.useText == u"optional")) {
    return ReportError(kXsdDefaultWithUse, node, nullptr, KTString());
  }
  return true;
}

bool KTSchemaModel::LoadXsdAttributeChildren(KTXNode* node, KTNamespaceContext* context,
                                             KTXsdAttributeParts& parts) {
  bool ok = true;
  KTChildIterator it;
  for (node->FirstChildOfKind(it, kElement); ok && !it.IsEnd(); it.Next()) {
    KTXNode* child = it.Node();
    KTString name, value;
    if (!XsdExpandNode(*this, child, name, value)) return false;
    KTString local = XsdLocalName(context, child);
    if (local == u"annotation") {
      bool found = false;
      KTString text = XsdDocumentation(context, child, &found);
      if (found) parts.decl.description = text;
    } else if (local == u"simpleType") {
      if (parts.typeSeen) {
        ok = ReportError(kSchemaUnexpected, child, nullptr, KTString(u"- only one of type or simpleType may be used"));
        continue;
      }
      KTSimpleTypeDef record;
      ok = LoadXsdSimpleType(child, context, &record);
      if (ok) {
        parts.decl.datatype = record.datatype;
        TakeEnumerations(parts.decl);
      }
      parts.typeSeen = true;
    } else {
      ok = ReportError(kSchemaUnexpected, child, nullptr, XsdExpected(*this, {u"annotation", u"simpleType"}));
    }
  }
  return ok;
}

bool KTSchemaModel::CheckXsdAttributeValues(KTXNode* node, const KTElementType* owner,
                                            const KTXsdAttributeParts& parts) {
  // A default or fixed value that the type refuses is recorded, and the
  // declaration is not stored, so the value is supplied nowhere.
  const KTAttributeDecl& decl = parts.decl;
  for (auto [at, text] : {std::pair<KTXNode*, KTString>(parts.defaultNode, parts.defaultCopy),
                          std::pair<KTXNode*, KTString>(parts.fixedNode, parts.fixedCopy)}) {
    if (!at || !decl.datatype.IsValid()) continue;
    if (text.Find(u'&') >= 0) {
      KTString expanded;
      ExpandEntityReferences(node, text.c_str(), expanded, false, false, false);
      text = expanded;
    }
    // Checked as the type's white-space rule leaves it (XML Schema 1.0
    // Structures §3.14.4, String Valid), so "a&#9;b" is a normalizedString.
    int code = decl.datatype->CheckValue(decl.datatype->NormalizeWhiteSpace(text), false, false);
    if (code == kDatatypeValid) continue;
    if (code == kDatatypeLexical) return ReportError(kXsdValueLexical, at, owner, decl.datatype->GetTypeName(true));
    if (code == kDatatypeRange) return ReportError(kXsdValueRange, at, owner, decl.datatype->GetTypeName(true));
    return ReportError(kXsdValueFacet, at, owner, KTDatatype::GetFailingFacetText());
  }
  return true;
}
