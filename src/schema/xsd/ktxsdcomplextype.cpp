// XML Schema complex types (plain, simpleContent and complexContent,
// derived by extension or restriction), model groups and particles, the
// any and anyAttribute wildcards, and attribute groups.
#include "schema/ktfacet.h"
#include "schema/xmlregexp.h"
#include "schema/xsd/ktxsdloader.h"
#include "xml/ktxnode.h"

namespace {

bool ReadFlag(KTSchemaModel& model, KTXNode* attribute, const KTString& value, bool& flag) {
  if (value == u"true" || value == u"1") {
    flag = true;
    return true;
  }
  if (value == u"false" || value == u"0") return true;
  return model.ReportError(kSchemaUnexpected, attribute, nullptr, KTString(u"- expected: (true | false)"));
}

void SetOccurs(KTParticle& particle, uint32_t minimum, uint32_t maximum) {
  particle.minOccurs = static_cast<int32_t>(minimum);
  particle.maxOccurs = static_cast<int32_t>(maximum);
}

// The compositor flag of a model-group element ("group" and "sequence" are
// sequences); false for any other name.
bool SetCompositorKind(KTElementType* compositor, const KTString& local) {
  if (local == u"sequence" || local == u"group") {
    compositor->sequence_ = true;
  } else if (local == u"choice") {
    compositor->choice_ = true;
  } else if (local == u"all") {
    compositor->all_ = true;
  } else {
    return false;
  }
  compositor->group_ = true;
  return true;
}

// The named group whose definition contains the compositor (following
// the links to enclosing compositors), or null.
const KTElementType* DefiningGroup(const KTElementType* compositor) {
  for (int i = 0; compositor && i < KTSchemaModel::kMaxXsdNesting; ++i, compositor = compositor->GetParent()) {
    if (!compositor->GetName().localName.IsEmpty()) return compositor;
  }
  return nullptr;
}

// processContents of xsd:any and xsd:anyAttribute: skip 1, lax 0, strict 2
// (the value already set); anything else is reported.
bool XsdReadProcessContents(KTSchemaModel& model, KTXNode* attribute, const KTString& value, int32_t& process) {
  if (value == u"skip") {
    process = 1;
  } else if (value == u"lax") {
    process = 0;
  } else if (!(value == u"strict")) {
    return model.ReportError(kSchemaUnexpected, attribute, nullptr, KTString(u"- expected: (skip | lax | strict)"));
  }
  return true;
}

// The element children of a declaration whose only allowed child is
// xsd:annotation; anything else is reported.
bool XsdAnnotationOnly(KTSchemaModel& model, KTXNode* node, KTNamespaceContext* context) {
  bool ok = true;
  KTChildIterator it;
  for (node->FirstChildOfKind(it, kElement); ok && !it.IsEnd(); it.Next()) {
    KTString name, value;
    if (!XsdExpandNode(model, it.Node(), name, value)) return false;
    if (XsdLocalName(context, it.Node()) == u"annotation") continue;
    ok = model.ReportError(kSchemaUnexpected, it.Node(), nullptr, XsdExpected(model, {u"annotation"}));
  }
  return ok;
}

}  // namespace

// ---- Particles and model groups ----

bool KTSchemaModel::LoadXsdParticle(KTXNode* node, KTNamespaceContext* parent, KTParticle& particle,
                                    KTElementType*& target, bool inAll) {
  if (!target) return true;
  KTXsdScope scope(*this, parent, node);
  if (!scope.Entered()) return scope.Result();
  KTNamespaceContext* context = scope.Context();
  uint32_t minimum = static_cast<uint32_t>(particle.minOccurs);
  uint32_t maximum = static_cast<uint32_t>(particle.maxOccurs);
  bool nameSeen = false, refSeen = false, ok = true;
  KTChildIterator it;
  for (node->FirstChildOfKind(it, kAttribute); ok && !it.IsEnd(); it.Next()) {
    KTXNode* attribute = it.Node();
    KTString name, value;
    if (!XsdExpandNode(*this, attribute, name, value)) return false;
    if (name == u"id") continue;
    if (name == u"name") {
      if (value.Find(u':') >= 0) return ReportError(kXsdPrefixedName, node, nullptr, value);
      if (refSeen) return ReportError(kXsdNameAndRef, node, nullptr, KTString());
      nameSeen = true;
      if (target->GetName().localName.IsEmpty()) target->SetName(KTQName(value.c_str(), xsd_.targetBinding.ns));
      target->sequence_ = true;
      target->group_ = true;
    } else if (name == u"ref") {
      if (nameSeen) return ReportError(kXsdNameAndRef, node, nullptr, KTString());
      refSeen = true;
      KTQName refName;
      context->ResolveQName(refName, value.c_str());
      auto found = groups_.find(refName);
      const KTElementType* defining = DefiningGroup(target);
      if (found != groups_.end() && xsd_.redefining && defining && QNameEqual(defining->GetName(), refName)) {
        // A redefinition that names the group it replaces takes a copy of
        // the redefined content: a link would make the group contain itself.
        KTElementType* parentType = target->GetParent();
        *target = *found->second;
        target->SetName(KTQName());
        target->SetParent(parentType);
      } else if (found != groups_.end()) {
        if (found->second->ContainsParticle(found->second.get())) {
          ok = ReportError(kXsdGroupContainsItself, attribute, nullptr, value);
        } else {
          target = found->second.get();  // particles share the stored definition
        }
      } else if (!xsd_.finalPass) {
        RequestXsdPass(refName.localName);
      } else {
        ok = ReportError(kXsdGroupNotFound, attribute, nullptr, value);
      }
    } else if (name == u"maxOccurs") {
      ok = XsdReadMaxOccurs(*this, attribute, value, maximum);
    } else if (name == u"minOccurs") {
      XsdReadMinOccurs(value, minimum, maximum);
    } else {
      ok = XsdOtherAttribute(*this, context, attribute, name, u"- expected: (id | minOccurs | maxOccurs | name | ref)");
    }
  }
  SetOccurs(particle, minimum, maximum);
  KTElementType* into = target;
  for (node->FirstChildOfKind(it, kElement); ok && !it.IsEnd(); it.Next()) {
    KTXNode* child = it.Node();
    KTString name, value;
    if (!XsdExpandNode(*this, child, name, value)) return false;
    KTString local = XsdLocalName(context, child);
    if (local == u"annotation") continue;
    KTParticle childParticle;
    if (local == u"element") {
      KTElementType* declaration = nullptr;
      ok = LoadXsdElement(child, context, childParticle, declaration, into, inAll);
      childParticle.child = declaration;
    } else if (local == u"any") {
      KTElementType* compositor = into->CreateAnonymousChild();
      compositor->any_ = true;
      compositor->group_ = true;
      ok = LoadXsdAny(child, context, childParticle, compositor);
      childParticle.child = compositor;
    } else {
      KTElementType* compositor = into->CreateAnonymousChild();
      if (!SetCompositorKind(compositor, local)) {
        ok = ReportError(kSchemaUnexpected, child, nullptr,
                         XsdExpected(*this, {u"annotation", u"element", u"group", u"all", u"choice", u"sequence",
                                             u"any"}));
        break;
      }
      ok = LoadXsdParticle(child, context, childParticle, compositor, local == u"all");
      childParticle.child = compositor;
    }
    into->AddParticle(childParticle);
  }
  return ok;
}

// ---- Wildcards ----

bool KTSchemaModel::LoadXsdAny(KTXNode* node, KTNamespaceContext* parent, KTParticle& particle,
                               KTElementType* compositor) {
  if (!compositor) return true;
  KTXsdScope scope(*this, parent, node);
  if (!scope.Entered()) return scope.Result();
  KTNamespaceContext* context = scope.Context();
  compositor->elementWildcard_ = u"##any";
  compositor->elementWildcardProcess_ = 2;
  uint32_t minimum = 1, maximum = 1;
  bool ok = true;
  KTChildIterator it;
  for (node->FirstChildOfKind(it, kAttribute); ok && !it.IsEnd(); it.Next()) {
    KTXNode* attribute = it.Node();
    KTString name, value;
    if (!XsdExpandNode(*this, attribute, name, value)) return false;
    if (name == u"id") continue;
    if (name == u"namespace") {
      compositor->elementWildcard_ = value;
    } else if (name == u"processContents") {
      ok = XsdReadProcessContents(*this, attribute, value, compositor->elementWildcardProcess_);
    } else if (name == u"maxOccurs") {
      ok = XsdReadMaxOccurs(*this, attribute, value, maximum);
    } else if (name == u"minOccurs") {
      XsdReadMinOccurs(value, minimum, maximum);
    } else {
      ok = XsdOtherAttribute(*this, context, attribute, name,
                             u"- expected: (id | maxOccurs | minOccurs | namespace | processContents)");
    }
  }
  SetOccurs(particle, minimum, maximum);
  return ok && XsdAnnotationOnly(*this, node, context);
}

bool KTSchemaModel::LoadXsdAnyAttribute(KTXNode* node, KTNamespaceContext* parent, KTElementType* target) {
  if (!target) return true;
  KTXsdScope scope(*this, parent, node);
  if (!scope.Entered()) return scope.Result();
  KTNamespaceContext* context = scope.Context();
  target->attributeWildcard_ = u"##any";
  target->attributeWildcardProcess_ = 2;
  bool ok = true;
  KTChildIterator it;
  for (node->FirstChildOfKind(it, kAttribute); ok && !it.IsEnd(); it.Next()) {
    KTXNode* attribute = it.Node();
    KTString name, value;
    if (!XsdExpandNode(*this, attribute, name, value)) return false;
    if (name == u"id") continue;
    if (name == u"namespace") {
      target->attributeWildcard_ = value;
    } else if (name == u"processContents") {
      ok = XsdReadProcessContents(*this, attribute, value, target->attributeWildcardProcess_);
    } else {
      ok = XsdOtherAttribute(*this, context, attribute, name, u"- expected: (id | namespace | processContents)");
    }
  }
  return ok && XsdAnnotationOnly(*this, node, context);
}

// ---- Attribute groups ----

bool KTSchemaModel::LoadXsdAttributeGroup(KTXNode* node, KTNamespaceContext* parent, KTElementType* target) {
  if (!target) return true;
  KTXsdScope scope(*this, parent, node);
  if (!scope.Entered()) return scope.Result();
  KTNamespaceContext* context = scope.Context();
  KTString nameText, refText;
  bool nameSeen = false, refSeen = false, ok = true;
  KTChildIterator it;
  for (node->FirstChildOfKind(it, kAttribute); ok && !it.IsEnd(); it.Next()) {
    KTXNode* attribute = it.Node();
    KTString name, value;
    if (!XsdExpandNode(*this, attribute, name, value)) return false;
    if (name == u"id") continue;
    if (name == u"name") {
      if (value.Find(u':') >= 0) return ReportError(kXsdPrefixedName, node, nullptr, value);
      nameText = value;
      nameSeen = true;
      if (refSeen) return ReportError(kXsdNameAndRef, node, nullptr, KTString());
    } else if (name == u"ref") {
      refText = value;
      refSeen = true;
      if (nameSeen) return ReportError(kXsdNameAndRef, node, nullptr, KTString());
    } else {
      ok = XsdOtherAttribute(*this, context, attribute, name, u"- expected: (id | name | ref)");
    }
  }
  if (!ok) return false;
  if (refSeen) {
    KTQName refName;
    context->ResolveQName(refName, refText.c_str());
    auto found = attributeGroups_.find(refName);
    if (QNameEqual(refName, target->GetName()) && !xsd_.redefining) {
      // A group that names itself would copy itself for ever.
      return ReportError(kXsdGroupContainsItself, node, nullptr, refText);
    }
    if (!xsd_.definingAttributeGroup.localName.IsEmpty() && !xsd_.redefining) {
      // A chain of references that leads back to the group being defined
      // (a1 names a2, a2 names a1) would copy the groups into each other.
      const KTQName defining = xsd_.definingAttributeGroup;
      xsd_.attributeGroupRefs[defining].insert(refName);
      std::set<KTQName, KTQNameLessFn> seen{refName};
      std::vector<KTQName> work{refName};
      while (!work.empty()) {
        KTQName next = work.back();
        work.pop_back();
        if (QNameEqual(next, defining)) return ReportError(kXsdGroupContainsItself, node, nullptr, refText);
        auto edges = xsd_.attributeGroupRefs.find(next);
        if (edges == xsd_.attributeGroupRefs.end()) continue;
        for (const KTQName& to : edges->second) {
          if (seen.insert(to).second) work.push_back(to);
        }
      }
    }
    if (found != attributeGroups_.end()) {
      target->AddAttributes(found->second->GetAttributeList());
      if (!IsXsdSettled(kXsdAttributeGroup, refName)) RequestXsdPass(refName.localName);
    } else if (!xsd_.finalPass) {
      RequestXsdPass(refName.localName);
    } else {
      return ReportError(kXsdAttributeGroupNotFound, node, nullptr, refText);
    }
  } else if (nameSeen) {
    if (target->GetName().localName.IsEmpty()) target->SetName(KTQName(nameText.c_str(), xsd_.targetBinding.ns));
  } else {
    return ReportError(kXsdNameAndRef, node, nullptr, KTString());
  }
  // The references among the children belong to this definition; the name
  // in force is restored on every way out.
  struct DefiningScope {
    KTQName& slot;
    KTQName saved;
    ~DefiningScope() { slot = saved; }
  } defining{xsd_.definingAttributeGroup, xsd_.definingAttributeGroup};
  if (nameSeen) xsd_.definingAttributeGroup = target->GetName();
  for (node->FirstChildOfKind(it, kElement); ok && !it.IsEnd(); it.Next()) {
    KTXNode* child = it.Node();
    KTString name, value;
    if (!XsdExpandNode(*this, child, name, value)) return false;
    KTString local = XsdLocalName(context, child);
    if (local == u"annotation") continue;
    if (local == u"attribute") {
      ok = LoadXsdAttribute(child, context, target, false);
    } else if (local == u"attributeGroup") {
      ok = LoadXsdAttributeGroup(child, context, target);
    } else if (local == u"anyAttribute") {
      ok = LoadXsdAnyAttribute(child, context, target);
    } else {
      ok = ReportError(kSchemaUnexpected, child, nullptr,
                       XsdExpected(*this, {u"annotation", u"attribute", u"attributeGroup", u"anyAttribute"}));
    }
  }
  return ok;
}

// ---- Complex types ----

namespace {

constexpr const char16_t* kFacetNames[] = {u"length",       u"minLength",    u"maxLength",    u"whiteSpace",
                                           u"totalDigits",  u"fractionDigits", u"pattern",    u"enumeration",
                                           u"minExclusive", u"minInclusive", u"maxExclusive", u"maxInclusive"};

bool IsFacet(const KTString& local) {
  for (const char16_t* name : kFacetNames) {
    if (local == name) return true;
  }
  return false;
}

}  // namespace

// What the attributes and the first children of a complexType element say,
// read before the record is built.
struct KTXsdComplexTypeParts {
  enum class Form { kPlain, kSimple, kComplex };
  KTString nameText, baseText, blockText, finalText, documentation;
  KTXNode* baseNode = nullptr;
  bool abstract = false, mixed = false, restriction = false, extension = false, baseIsAnyType = false;
  Form form = Form::kPlain;
  // The element whose children are read as the content.
  KTXNode* contentParent = nullptr;

  bool SimpleContent() const { return form == Form::kSimple; }
  bool SimpleRestriction() const { return form == Form::kSimple && restriction; }
};

bool KTSchemaModel::LoadXsdComplexType(KTXNode* node, KTNamespaceContext* parent, KTComplexTypeDef& record) {
  KTXsdScope scope(*this, parent, node);
  if (!scope.Entered()) return scope.Result();
  KTNamespaceContext* context = scope.Context();
  KTXsdComplexTypeParts parts;
  parts.contentParent = node;
  if (!ReadXsdComplexTypeAttributes(node, context, parts)) return false;
  if (!ReadXsdComplexTypeForm(node, context, parts)) return false;

  // The record, built afresh.
  KTQName baseName;
  if (!parts.baseText.IsEmpty()) context->ResolveQName(baseName, parts.baseText.c_str());
  record = KTComplexTypeDef();
  record.name = KTQName(parts.nameText.c_str(), xsd_.targetBinding.ns);
  record.baseName = baseName;
  record.contentModel = KTElementType(KTQName(), this, nullptr);
  KTElementType& content = record.contentModel;
  content.SetDeclaringNode(node);
  content.description_ = parts.documentation;
  if (parts.mixed) {
    content.mixed_ = true;
  } else if (parts.SimpleContent()) {
    content.textOnly_ = true;
  } else {
    content.sequence_ = true;
  }
  if (parts.abstract) content.abstract_ = true;
  if (!parts.baseText.IsEmpty() && !DeriveXsdComplexType(node, parts, record)) return false;
  // Facets below change a copy of the base's datatype, never the base's.
  if (parts.SimpleContent() && (parts.restriction || parts.extension) && content.GetDatatype().IsValid()) {
    content.SetDatatype(KTDatatypeRef(new KTDatatype(*content.GetDatatype().Get())));
  }
  if (!LoadXsdComplexContent(node, context, parts, content)) return false;
  FinishXsdComplexContent(parts, content);
  record.blockText = parts.blockText;
  record.finalText = parts.finalText;
  record.declaringNode = node;
  return true;
}

bool KTSchemaModel::ReadXsdComplexTypeAttributes(KTXNode* node, KTNamespaceContext* context,
                                                 KTXsdComplexTypeParts& parts) {
  bool ok = true;
  KTChildIterator it;
  for (node->FirstChildOfKind(it, kAttribute); ok && !it.IsEnd(); it.Next()) {
    KTXNode* attribute = it.Node();
    KTString name, value;
    if (!XsdExpandNode(*this, attribute, name, value)) return false;
    if (name == u"id") continue;
    if (name == u"abstract") {
      ok = ReadFlag(*this, attribute, value, parts.abstract);
    } else if (name == u"mixed") {
      ok = ReadFlag(*this, attribute, value, parts.mixed);
    } else if (name == u"block" || name == u"final") {
      KTString& text = name == u"block" ? parts.blockText : parts.finalText;
      if (value == u"#all") {
        text = value;
        continue;
      }
      bool allGood = true;
      ok = XsdCheckWords(*this, attribute, value, {u"extension", u"restriction"},
                         u"- expected: (#all | List of (extension | restriction) )", allGood);
      if (allGood) text = value;
    } else if (name == u"name") {
      if (value.Find(u':') >= 0) return ReportError(kXsdPrefixedName, node, nullptr, value);
      parts.nameText = value;
    } else {
      ok = XsdOtherAttribute(*this, context, attribute, name,
                             u"- expected: (abstract | block | final | id | mixed | name)");
    }
  }
  if (!ok) return false;
  if (parts.blockText == u"#all") parts.blockText = u"extension restriction";
  if (parts.finalText == u"#all") parts.finalText = u"extension restriction";
  return true;
}

bool KTSchemaModel::ReadXsdComplexTypeForm(KTXNode* node, KTNamespaceContext* context,
                                           KTXsdComplexTypeParts& parts) {
  KTChildIterator it;
  for (node->FirstChildOfKind(it, kElement); !it.IsEnd(); it.Next()) {
    KTXNode* child = it.Node();
    KTString local = XsdLocalName(context, child);
    if (local == u"annotation") {
      bool found = false;
      KTString text = XsdDocumentation(context, child, &found);
      if (found) parts.documentation = text;
      continue;
    }
    if (local == u"simpleContent") {
      parts.form = KTXsdComplexTypeParts::Form::kSimple;
      if (!ReadXsdDerivation(child, context, parts)) return false;
    } else if (local == u"complexContent") {
      parts.form = KTXsdComplexTypeParts::Form::kComplex;
      KTChildIterator a;
      for (child->FirstChildOfKind(a, kAttribute); !a.IsEnd(); a.Next()) {
        KTString name, value;
        if (!XsdExpandNode(*this, a.Node(), name, value)) return false;
        if (name == u"id") continue;
        if (name == u"mixed") {
          if (!ReadFlag(*this, a.Node(), value, parts.mixed)) return false;
        } else if (!XsdOtherAttribute(*this, context, a.Node(), name, u"- expected: (id | mixed)")) {
          return false;
        }
      }
      if (!ReadXsdDerivation(child, context, parts)) return false;
    } else if (!(local == u"group" || local == u"all" || local == u"choice" || local == u"sequence" ||
                 local == u"attribute" || local == u"attributeGroup" || local == u"anyAttribute")) {
      return ReportError(kSchemaUnexpected, child, nullptr,
                         XsdExpected(*this, {u"annotation", u"simpleContent", u"complexContent", u"group", u"all",
                                             u"choice", u"sequence", u"attribute", u"attributeGroup",
                                             u"anyAttribute"}));
    }
    break;
  }
  return true;
}

bool KTSchemaModel::ReadXsdDerivation(KTXNode* holder, KTNamespaceContext* context, KTXsdComplexTypeParts& parts) {
  parts.contentParent = holder;
  KTChildIterator c;
  for (holder->FirstChildOfKind(c, kElement); !c.IsEnd(); c.Next()) {
    KTString local = XsdLocalName(context, c.Node());
    if (local == u"annotation") {
      bool found = false;
      KTString text = XsdDocumentation(context, c.Node(), &found);
      if (found) parts.documentation += text;
    } else if (local == u"restriction" || local == u"extension") {
      (local == u"restriction" ? parts.restriction : parts.extension) = true;
      parts.contentParent = c.Node();
      KTChildIterator a;
      for (c.Node()->FirstChildOfKind(a, kAttribute); !a.IsEnd(); a.Next()) {
        KTString name, value;
        if (!XsdExpandNode(*this, a.Node(), name, value)) return false;
        if (name == u"id") continue;
        if (name == u"base") {
          parts.baseText = value;
          parts.baseNode = a.Node();
        } else if (!XsdOtherAttribute(*this, context, a.Node(), name, u"- expected: (id | base)")) {
          return false;
        }
      }
      return true;
    } else {
      return ReportError(kSchemaUnexpected, c.Node(), nullptr,
                         XsdExpected(*this, {u"annotation", u"restriction", u"extension"}));
    }
  }
  return true;
}

bool KTSchemaModel::DeriveXsdComplexType(KTXNode* node, KTXsdComplexTypeParts& parts, KTComplexTypeDef& record) {
  KTElementType& content = record.contentModel;
  const KTQName& baseName = record.baseName;
  KTXNode* baseNode = parts.baseNode;
  const KTString simpleBaseText =
      KTString().Format(u"- you must use a complexType instead of '%s', because a simpleContent/restriction can't be "
                        u"based on a simpleType",
                        parts.baseText.c_str());
  if (baseName.ns == xsd_.secondBinding.ns) {
    // A base among the built-in types.
    if (baseName.localName == u"anyType") {
      content.SetDatatype(KTDatatypeRef());
      parts.baseIsAnyType = true;
      content.mixed_ = true;
      if (parts.restriction) {
        content.sequence_ = false;
      } else {
        KTElementType* any = content.CreateAnonymousChild();
        any->any_ = true;
        any->group_ = true;
        any->elementWildcard_ = u"##any";
        any->elementWildcardProcess_ = 2;
        KTParticle particle;
        particle.child = any;
        content.AddParticle(particle);
        content.sequence_ = true;
      }
      content.attributeWildcard_ = u"##any";
      content.attributeWildcardProcess_ = 2;
      return true;
    }
    if (baseName.localName == u"anySimpleType") {
      content.SetDatatype(KTDatatypeRef());
      content.sequence_ = false;
      content.textOnly_ = true;
      return true;
    }
    if (parts.SimpleRestriction()) return ReportError(kSchemaBadValue, baseNode, nullptr, simpleBaseText);
    content.SetDatatypeByName(baseName.localName);
    if (content.GetDatatypeId() <= static_cast<int>(kDtPositiveInteger)) {
      content.sequence_ = false;
      content.textOnly_ = true;
      return true;
    }
    // Not built in: a schema for the XML Schema namespace itself defines it.
    if (xsd_.secondBinding.ns != xsd_.targetBinding.ns) return ReportError(kSchemaBadValue, baseNode, nullptr, KTString());
  }
  auto complexBase = complexTypes_.find(baseName);
  auto simpleBase = simpleTypes_.find(baseName);
  if (complexBase != complexTypes_.end()) {
    KTComplexTypeDef* base = complexBase->second.get();
    if (parts.form != KTXsdComplexTypeParts::Form::kComplex && !base->contentModel.HasSimpleContent()) {
      return ReportError(kSchemaUnexpected, baseNode, nullptr,
                         KTString(u"- simpleContent can not have a base that is a complexType with complexContent"));
    }
    // A type derived from itself through a chain of bases would copy
    // itself for ever.
    size_t steps = 0;
    // A redefinition derives from the definition it replaces.
    const bool redefinesItself = xsd_.redefining && QNameEqual(base->name, record.name);
    for (const KTComplexTypeDef* r = base; r && !redefinesItself && steps <= complexTypes_.size();
         r = r->baseRecord, ++steps) {
      if (!parts.nameText.IsEmpty() && QNameEqual(r->name, record.name)) {
        return ReportError(kSchemaBadValue, baseNode, nullptr, KTString(u"- circular derivation of ") + parts.nameText);
      }
    }
    content = base->contentModel;  // deep: particles, groups, attributes, flags, datatype
    content.SetDeclaringNode(node);
    if (!parts.documentation.IsEmpty()) content.description_ = parts.documentation;
    if (!IsXsdSettled(kXsdComplexType, baseName)) RequestXsdPass(baseName.localName);
    if (parts.extension) {
      if (base->finalText.Find(u"extension") >= 0) {
        return ReportError(kXsdDerivationBlocked, baseNode, nullptr, base->finalText);
      }
      record.baseRecord = redefinesItself ? nullptr : base;
    } else if (parts.restriction) {
      if (base->finalText.Find(u"restriction") >= 0) {
        return ReportError(kXsdDerivationBlocked, baseNode, nullptr, base->finalText);
      }
      record.baseRecord = redefinesItself ? nullptr : base;
      content.ResetContent();
      if (parts.mixed) content.mixed_ = true;
    }
  } else if (simpleBase != simpleTypes_.end()) {
    KTSimpleTypeDef* base = simpleBase->second.get();
    if (parts.SimpleRestriction()) return ReportError(kSchemaBadValue, baseNode, nullptr, simpleBaseText);
    if (parts.extension && base->finalText.Find(u"extension") >= 0) {
      return ReportError(kXsdDerivationBlocked, baseNode, nullptr, base->finalText);
    }
    content.SetDatatype(base->datatype);
    content.SetDeclaringNode(node);
    content.textOnly_ = true;
    content.SetSimpleTypeLink(base);
    if (!IsXsdSettled(kXsdSimpleType, baseName)) RequestXsdPass(baseName.localName);
  } else if (xsd_.finalPass) {
    return ReportError(kSchemaBadValue, baseNode, nullptr, KTString());
  } else {
    RequestXsdPass(baseName.localName);
  }
  return true;
}

bool KTSchemaModel::LoadXsdComplexContent(KTXNode* node, KTNamespaceContext* context,
                                          const KTXsdComplexTypeParts& parts, KTElementType& content) {
  bool ok = true;
  KTChildIterator it;
  for (parts.contentParent->FirstChildOfKind(it, kElement); ok && !it.IsEnd(); it.Next()) {
    KTXNode* child = it.Node();
    KTString name, value;
    if (!XsdExpandNode(*this, child, name, value)) return false;
    KTString local = XsdLocalName(context, child);
    if (local == u"annotation") {
      bool found = false;
      KTString text = XsdDocumentation(context, child, &found);
      if (found) content.description_ = text;
    } else if (local == u"simpleType") {
      KTSimpleTypeDef scratch;
      if (!LoadXsdSimpleType(child, context, &scratch)) return false;
      if (scratch.finalText.Find(u"extension") >= 0) {
        return ReportError(kXsdDerivationBlocked, child, nullptr, scratch.finalText);
      }
      content.SetDatatype(scratch.datatype);
      content.SetDeclaringNode(node);
      content.textOnly_ = true;
    } else if (local == u"group" || local == u"all" || local == u"choice" || local == u"sequence") {
      KTElementType* compositor = content.CreateAnonymousChild();
      SetCompositorKind(compositor, local);
      KTParticle particle;
      ok = LoadXsdParticle(child, context, particle, compositor, local == u"all");
      particle.child = compositor;
      content.AddParticle(particle);
      if (!content.sequence_ && !content.choice_ && !content.any_ && !content.all_ && !content.empty_) {
        content.sequence_ = true;
      }
    } else if (local == u"attribute") {
      ok = LoadXsdAttribute(child, context, &content, parts.restriction);
    } else if (local == u"attributeGroup") {
      ok = LoadXsdAttributeGroup(child, context, &content);
    } else if (local == u"anyAttribute") {
      ok = LoadXsdAnyAttribute(child, context, &content);
    } else if (IsFacet(local)) {
      if (!parts.SimpleRestriction()) {
        return ReportError(kSchemaUnexpected, child, nullptr,
                           KTString(u"- facets are only allowed inside simpleContent/restriction"));
      }
      if (!LoadXsdContentFacet(child, context, local, parts.baseText, content)) return false;
    } else {
      return ReportXsdComplexTypeChild(child, parts);
    }
  }
  return ok;
}

bool KTSchemaModel::LoadXsdContentFacet(KTXNode* facet, KTNamespaceContext* context, const KTString& local,
                                        const KTString& baseText, KTElementType& content) {
  KTString facetValue;
  KTChildIterator a;
  for (facet->FirstChildOfKind(a, kAttribute); !a.IsEnd(); a.Next()) {
    KTString attributeName, attributeValue;
    if (!XsdExpandNode(*this, a.Node(), attributeName, attributeValue)) return false;
    if (attributeName == u"id") continue;
    if (attributeName == u"value") {
      facetValue = attributeValue;
    } else if (!XsdOtherAttribute(*this, context, a.Node(), attributeName, u"- expected: (id | value)")) {
      return false;
    }
  }
  if (!content.GetDatatype().IsValid()) content.SetDatatypeByName(baseText.GetLocalName());
  if (content.GetDatatype().GetCount() > 1) {
    content.SetDatatype(KTDatatypeRef(new KTDatatype(*content.GetDatatype().Get())));
  }
  KTDatatype* datatype = content.GetDatatype().Get();
  if (datatype->SetFacet(local, facetValue)) return true;
  if (local == u"pattern") {
    XMLRegExp regExp(KTString(), 0);
    if (!regExp.Compile(facetValue)) {
      KTString text;
      text.Format(u"%s expected at position %d", XMLRegExp::GetErrorText().c_str(), XMLRegExp::GetErrorOffset());
      return ReportError(kXsdBadPattern, facet, nullptr, text,
                         {0, XMLRegExp::GetErrorOffset(), XMLRegExp::GetErrorLine()});
    }
    return ReportError(kXsdBadPattern, facet, nullptr, KTString(u"parser error"));
  }
  return ReportError(kXsdValueLexical, facet, nullptr, datatype->GetTypeName(true));
}

bool KTSchemaModel::ReportXsdComplexTypeChild(KTXNode* child, const KTXsdComplexTypeParts& parts) {
  KTString expected = XsdExpected(*this, {u"annotation"});
  expected.Delete(0, KTString(u"- expected: ").GetLength());
  KTString list = KTString(u"- expected: (") + expected;
  auto add = [&](const char16_t* n) { list += KTString(u" | ") + xsd_.xsdBinding.QualifiedName(n, false); };
  if (parts.SimpleRestriction()) {
    for (const char16_t* n : {u"simpleType", u"length", u"minLength", u"maxLength", u"whiteSpace", u"enumeration",
                              u"totalDigits", u"fractionDigits", u"minExclusive", u"minInclusive", u"maxExclusive",
                              u"maxInclusive", u"pattern"}) {
      add(n);
    }
  } else if (parts.form == KTXsdComplexTypeParts::Form::kComplex) {
    for (const char16_t* n : {u"group", u"all", u"choice", u"sequence"}) add(n);
  } else if (parts.form == KTXsdComplexTypeParts::Form::kPlain) {
    for (const char16_t* n : {u"simpleContent", u"complexContent", u"group", u"all", u"choice", u"sequence"}) add(n);
  }
  for (const char16_t* n : {u"attribute", u"attributeGroup", u"anyAttribute"}) add(n);
  list += u")";
  return ReportError(kSchemaUnexpected, child, nullptr, list);
}

void KTSchemaModel::FinishXsdComplexContent(const KTXsdComplexTypeParts& parts, KTElementType& content) {
  if (!parts.baseIsAnyType && !parts.SimpleContent() && !content.mixed_ && !content.any_ && !content.all_ &&
      content.HasNoParticles()) {
    content.empty_ = true;
    content.sequence_ = false;
    content.textOnly_ = false;
  }
  if (parts.mixed) content.mixed_ = true;
  if (content.empty_) {
    if (content.HasParticles()) {
      content.empty_ = false;
      if (!content.choice_ && !content.all_) content.sequence_ = true;
    } else if (content.textOnly_ || content.any_) {
      content.empty_ = false;
    }
  }
  content.abstract_ = parts.abstract;
}
