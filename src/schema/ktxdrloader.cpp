// The XDR (XML-Data Reduced) schema loader: a Schema element in the
// "urn:schemas-microsoft-com:xml-data" namespace declares element types
// (ElementType) with content models and attribute types (AttributeType);
// datatypes come from attributes of "urn:schemas-microsoft-com:datatypes".
// Every element type is declared in the target namespace that the
// dispatcher put in the model's third prefix binding.
#include <utility>
#include <vector>

#include "schema/ktschemamodel.h"
#include "schema/ktxdrdcdshared.h"
#include "xml/ktxnode.h"

namespace {

constexpr const char16_t* kXdrNamespaceUri = u"urn:schemas-microsoft-com:xml-data";
constexpr const char16_t* kXdrDatatypesUri = u"urn:schemas-microsoft-com:datatypes";

KTNamespaceId XdrNamespace() {
  static const KTNamespaceId ns = KTNamespaceId::Intern(kXdrNamespaceUri);
  return ns;
}
KTNamespaceId XdrDatatypes() {
  static const KTNamespaceId ns = KTNamespaceId::Intern(kXdrDatatypesUri);
  return ns;
}

// The first prefix of the context (map order) bound to the namespace.
const KTPrefixBinding* FirstPrefixFor(const KTNamespaceContext& context, KTNamespaceId ns) {
  for (const auto& [prefix, binding] : context.GetBindings()) {
    if (binding.ns == ns) return &binding;
  }
  return nullptr;
}

// The children of a node, taken before a walk that may start again.
std::vector<KTXNode*> ChildrenOf(KTXNode* node) {
  std::vector<KTXNode*> children;
  for (KTXNode* c = node->GetFirstChild(); c; c = c->GetNextSibling()) children.push_back(c);
  return children;
}

bool IsXdrName(const KTQName& name, const char16_t* local) {
  return name.ns == XdrNamespace() && name.localName == local;
}

}  // namespace

// One XDR element loader's frame: a namespace context with the parent's
// bindings and the element's own declarations; the model's three prefix
// bindings take the prefixes in scope for their namespaces until the frame
// ends, so dt: names and message texts follow the schema's own prefixes.
class KTXdrScope {
 public:
  KTXdrScope(KTSchemaModel& model, KTNamespaceContext* parent, KTXNode* element)
      : model_(model), context_(*parent, element) {
    KTXsdLoadState& state = model_.XsdState();
    KTPrefixBinding* bindings[3] = {&state.xsdBinding, &state.secondBinding, &state.targetBinding};
    for (int i = 0; i < 3; ++i) {
      saved_[i] = *bindings[i];
      if (bindings[i]->ns.IsNone()) continue;
      if (const KTPrefixBinding* inScope = FirstPrefixFor(context_, bindings[i]->ns)) {
        bindings[i]->SetPrefix(inScope->prefix.c_str());
      }
    }
    ++state.depth;
  }
  ~KTXdrScope() {
    KTXsdLoadState& state = model_.XsdState();
    --state.depth;
    // Moved back, not copied: this also runs while an out-of-memory error
    // unwinds, when a copy could not be had.
    state.xsdBinding = std::move(saved_[0]);
    state.secondBinding = std::move(saved_[1]);
    state.targetBinding = std::move(saved_[2]);
  }
  KTXdrScope(const KTXdrScope&) = delete;
  KTXdrScope& operator=(const KTXdrScope&) = delete;

  KTNamespaceContext* Context() { return &context_; }

 private:
  KTSchemaModel& model_;
  KTNamespaceContext context_;
  KTPrefixBinding saved_[3];
};

namespace {

// "prefix:local" in the schema (1) or datatypes (2) binding.
KTString QN1(KTSchemaModel& model, const char16_t* local) {
  return model.XsdState().xsdBinding.QualifiedName(local, false);
}
KTString QN2(KTSchemaModel& model, const char16_t* local) {
  return model.XsdState().secondBinding.QualifiedName(local, false);
}

// An attribute no rule takes: reported (kSchemaUnexpected) when it lies in no namespace
// and is no prefixed namespace declaration, or in the schema namespace.
bool OtherAttribute(KTSchemaModel& model, KTNamespaceContext* context, KTXNode* attribute, const KTString& expected) {
  std::pair<KTQName, KTQName> qname;
  context->GetAttributeQName(qname, attribute);
  bool report;
  if (qname.first.ns.IsNone()) {
    report = !(KTString(attribute->GetName()).GetPrefix() == u"xmlns");
  } else {
    report = qname.first.ns == XdrNamespace();
  }
  return report ? model.ReportError(kSchemaUnexpected, attribute, nullptr, expected) : true;
}

// A child element no rule takes: reported (kSchemaUnexpected) when it lies in the schema
// namespace or has no prefix; prefixed elements of other namespaces pass.
bool OtherChild(KTSchemaModel& model, KTNamespaceContext* context, KTXNode* child, const KTString& expected) {
  KTQName name;
  context->GetElementQName(name, child);
  bool report = name.ns == XdrNamespace() || KTString(child->GetName()).GetPrefix().IsEmpty();
  return report ? model.ReportError(kSchemaUnexpected, child, nullptr, expected) : true;
}

}  // namespace

// Nested group elements inside one element type: deeper ones are refused.
static constexpr int kMaxXdrNesting = 256;

bool KTSchemaModel::LoadXdrSchema(KTXNode* root) {
  if (!root) return true;
  int kind = schemaKind_;
  KTPrefixBinding target = xsd_.targetBinding;
  currentPass_ = 0;
  Clear();
  schemaKind_ = kind;
  xsd_.targetBinding = target;
  bool ok = true;
  AddSchemaDocuments({root});
  xsd_.xsdBinding = KTPrefixBinding{KTString(), XdrNamespace(), false};
  xsd_.secondBinding = KTPrefixBinding{KTString(), XdrDatatypes(), false};
  KTNamespaceContext rootContext(namespaces_, root);

  for (KTXNode* child = root->GetFirstChild(); child && ok; child = child->GetNextSibling()) {
    if (child->GetKind() != kElement) continue;
    if (!(KTString(child->GetName()).GetLocalName() == u"Schema")) continue;
    KTNamespaceContext context(rootContext, child);
    const KTPrefixBinding* schemaPrefix = FirstPrefixFor(context, XdrNamespace());
    if (!schemaPrefix) return ReportError(kSchemaNamespaceUnbound, child, nullptr, KTString(kXdrNamespaceUri));
    xsd_.xsdBinding.SetPrefix(schemaPrefix->prefix.c_str());
    const KTPrefixBinding* typesPrefix = FirstPrefixFor(context, XdrDatatypes());
    if (!typesPrefix) return ReportError(kSchemaNamespaceUnbound, child, nullptr, KTString(kXdrDatatypesUri));
    xsd_.secondBinding.SetPrefix(typesPrefix->prefix.c_str());
    KTQName schemaName;
    context.GetElementQName(schemaName, child);
    if (!IsXdrName(schemaName, u"Schema")) {
      ok = ReportError(kSchemaUnexpected, child, nullptr, u"- expected: " + QN1(*this, u"Schema"));
      continue;
    }
    for (KTXNode* item = child->GetFirstChild(); item && ok; item = item->GetNextSibling()) {
      if (item->GetKind() != kElement) continue;
      KTQName name;
      context.GetElementQName(name, item);
      if (IsXdrName(name, u"ElementType")) {
        ok = LoadXdrElementType(item, &context, nullptr);
      } else if (IsXdrName(name, u"AttributeType")) {
        ok = LoadXdrAttributeType(item, &context, nullptr);
      } else if (IsXdrName(name, u"description")) {
        xsd_.documentation = item->GetValue();
      } else {
        ok = OtherChild(*this, &context, item,
                        u"- expected: (" + QN1(*this, u"ElementType") + u" | " + QN1(*this, u"AttributeType") +
                            u" | " + QN1(*this, u"description") + u")");
      }
    }
    if (ok && elements_.empty()) ok = ReportError(kSchemaNoElements, child, nullptr, KTString());
  }
  if (!ok) return ok;
  for (auto& [name, type] : elements_) {
    if (!type->contentRead_) return ReportError(kSchemaTypeNotDeclared, type->GetDeclaringNode(), type.get(), KTString());
  }
  return ok;
}

bool KTSchemaModel::LoadXdrElementType(KTXNode* element, KTNamespaceContext* parentContext, KTElementType* type) {
  KTXdrScope scope(*this, parentContext, element);
  KTNamespaceContext* context = scope.Context();
  if (xsd_.depth > kMaxXdrNesting) {
    return ReportError(kSchemaUnexpected, element, nullptr, KTString(u"- groups nested too deeply"));
  }
  bool ok = true;
  KTElementType scratch(KTQName(), this, nullptr);
  KTQName ownName;
  context->ResolveQName(ownName, element->GetName());
  bool isGroup = IsXdrName(ownName, u"group");

  std::vector<KTXNode*> children = ChildrenOf(element);
  bool pending = false;
  for (size_t i = 0; i < children.size() && ok; ++i) {
    KTXNode* child = children[i];
    KTString name(child->GetName());
    KTString value(child->GetValue());
    if (child->GetKind() == kAttribute) {
      if (isGroup) continue;  // the caller read the group's attributes
      if (name == u"name") {
        if (type) continue;  // read first, on an earlier walk
        type = DeclareElement(KTQName(value, xsd_.targetBinding.ns));
        if (type->contentRead_) {
          ok = ReportError(kSchemaElementDeclaredTwice, element, type, KTString());
          continue;
        }
        type->contentRead_ = true;
        type->SetDeclaringNode(element);
        type->open_ = true;
        type->sequence_ = true;
        if (pending) {
          pending = false;
          i = static_cast<size_t>(-1);  // walk again from the first child
        }
        continue;
      }
      if (!type) {
        pending = true;
        continue;
      }
      ok = ReadXdrElementAttribute(child, name, value, context, type);
      continue;
    }
    if (child->GetKind() != kElement) continue;
    // An ElementType without a name declares nothing: its content is not read.
    if (!type) break;
    KTQName childName;
    context->ResolveQName(childName, child->GetName());
    if (IsXdrName(childName, u"AttributeType")) {
      ok = LoadXdrAttributeType(child, context, &scratch);
    } else if (IsXdrName(childName, u"attribute")) {
      ok = LoadXdrAttributeReference(child, context, type, scratch);
    } else if (IsXdrName(childName, u"element")) {
      ok = LoadXdrElementReference(child, context, type);
    } else if (IsXdrName(childName, u"group")) {
      ok = LoadXdrGroup(child, context, type);
    } else if (IsXdrName(childName, u"datatype")) {
      ok = ReportError(kSchemaUnsupported, child, nullptr, KTString(u"XML-Data <datatype>"));
    } else if (IsXdrName(childName, u"description")) {
      type->description_ = value;
    } else {
      ok = OtherChild(*this, context, child,
                      u"- expected: (" + QN1(*this, u"attribute") + u" | " + QN1(*this, u"AttributeType") + u" | " +
                          QN1(*this, u"datatype") + u" | " + QN1(*this, u"description") + u" | " +
                          QN1(*this, u"element") + u" | " + QN1(*this, u"group") + u")");
    }
  }

  if (ok && type) ok = CheckXdrContent(element, type);
  return ok;
}

bool KTSchemaModel::ReadXdrElementAttribute(KTXNode* attribute, const KTString& name, const KTString& value,
                                            KTNamespaceContext* context, KTElementType* type) {
  bool ok = true;
  if (name == u"content") {
    if (value == u"empty") {
      type->empty_ = true;
      type->sequence_ = false;
    } else if (value == u"textOnly") {
      type->textOnly_ = true;
      type->sequence_ = false;
    } else if (value == u"eltOnly") {
      if (!type->choice_) type->sequence_ = true;
    } else if (value == u"mixed") {
      type->mixed_ = true;
    } else {
      ok = ReportError(kSchemaBadValue, attribute, nullptr, KTString(u"- expected (empty | textOnly | eltOnly | mixed)"));
    }
  } else if (name == u"model") {
    if (value == u"open") {
      type->open_ = true;
    } else if (value == u"closed") {
      type->open_ = false;
    } else {
      ok = ReportError(kSchemaBadValue, attribute, nullptr, KTString(u"- expected (open | closed)"));
    }
  } else if (name == u"order") {
    if (value == u"one") {
      type->choice_ = true;
      type->sequence_ = false;
    } else if (value == u"seq") {
      type->sequence_ = true;
    } else if (value == u"many") {
      type->all_ = true;
      type->sequence_ = false;
    } else {
      ok = ReportError(kSchemaBadValue, attribute, nullptr, KTString(u"- expected (one | seq | many)"));
    }
  } else if (name == QN2(*this, u"type")) {
    KTString typeName = value.GetLocalName();
    uint32_t id = DatatypeIdFromName(typeName, 1);
    if (id == kDtUnknown) return ReportError(kSchemaBadValue, attribute, nullptr, KTString());
    type->textOnly_ = true;
    type->sequence_ = false;
    if (type->GetDatatype().IsValid()) {
      type->GetDatatype()->SetTypeId(id);
    } else {
      type->SetDatatype(KTDatatypeRef(new KTDatatype(typeName, defaultSecondTypeId_, 1, false)));
    }
  } else if (name == QN2(*this, u"values")) {
    for (const KTString& token : EnumeratedTokens(value)) {
      if (!type->GetDatatype().IsValid()) {
        // One value of the enumeration, not a list of them: "red green"
        // is no value of (red | green).
        type->SetDatatype(KTDatatypeRef(new KTDatatype(kDtXdrEnumeration, defaultSecondTypeId_, false)));
      }
      type->GetDatatype()->SetFacet(KTString(u"enumeration"), token);
    }
  } else if (name == QN2(*this, u"minLength") || name == QN2(*this, u"maxLength")) {
    if (!type->GetDatatype().IsValid()) {
      type->SetDatatype(KTDatatypeRef(new KTDatatype(KTString(u"string"), defaultSecondTypeId_, 1, false)));
    }
    type->GetDatatype()->SetFacet(name.GetLocalName(), value);
  } else {
    ok = OtherAttribute(*this, context, attribute,
                        u"- expected attribute: (name | model | " + QN2(*this, u"type") + u" | " +
                            QN2(*this, u"minLength") + u" | " + QN2(*this, u"maxLength") + u" | content | order)");
  }
  return ok;
}

bool KTSchemaModel::LoadXdrElementReference(KTXNode* element, KTNamespaceContext* context, KTElementType* type) {
  bool ok = true;
  KTParticle particle;
  KTString typeName;
  for (KTXNode* a = element->GetFirstChild(); a && ok; a = a->GetNextSibling()) {
    if (a->GetKind() != kAttribute) continue;
    KTString aName(a->GetName());
    KTString aValue(a->GetValue());
    if (aName == u"type") {
      typeName = aValue;
    } else if (aName == u"minOccurs" || aName == u"maxOccurs") {
      ok = ReadXdrOccurs(a, aName, aValue, particle);
    } else {
      ok = OtherAttribute(*this, context, a, KTString(u"- expected attribute: (type | minOccurs | maxOccurs)"));
    }
  }
  if (!ok) return ok;
  if (typeName.IsEmpty()) {
    ok = ReportError(kSchemaTypeMissing, element, nullptr, KTString());
  } else {
    KTElementType* referred = DeclareElement(KTQName(typeName, xsd_.targetBinding.ns));
    if (!referred->contentRead_) referred->SetDeclaringNode(element);
    particle.child = referred;
    type->AddParticle(particle);
  }
  return ok;
}

bool KTSchemaModel::LoadXdrGroup(KTXNode* group, KTNamespaceContext* context, KTElementType* type) {
  KTParticle particle;
  KTElementType* compositor = type->CreateAnonymousChild();
  compositor->group_ = true;
  bool attributesOk = true;
  for (KTXNode* a = group->GetFirstChild(); a && attributesOk; a = a->GetNextSibling()) {
    if (a->GetKind() != kAttribute) continue;
    KTString aName(a->GetName());
    KTString aValue(a->GetValue());
    if (aName == u"order") {
      if (aValue == u"one") {
        compositor->choice_ = true;
      } else if (aValue == u"seq") {
        compositor->sequence_ = true;
      } else if (aValue == u"many") {
        attributesOk = ReportError(kSchemaUnsupported, group, nullptr, KTString(u"order=\"many\""));
      } else {
        attributesOk = ReportError(kSchemaBadValue, group, nullptr, KTString(u"- expected (one | seq | many)"));
      }
    } else if (aName == u"minOccurs" || aName == u"maxOccurs") {
      attributesOk = ReadXdrOccurs(a, aName, aValue, particle);
    } else {
      attributesOk =
          OtherAttribute(*this, context, a, KTString(u"- expected attribute: (order | minOccurs | maxOccurs)"));
    }
  }
  // A problem among the group's attributes stays recorded; its content
  // is loaded all the same.
  particle.child = compositor;
  type->AddParticle(particle);
  return LoadXdrElementType(group, context, compositor);
}

bool KTSchemaModel::CheckXdrContent(KTXNode* element, KTElementType* type) {
  bool particles = type->HasParticles();
  bool hasDatatype = type->GetDatatype().IsValid();
  if (particles && type->empty_) return ReportError(kSchemaChildrenInEmpty, element, type, KTString());
  if (particles && (type->textOnly_ || hasDatatype)) return ReportError(kSchemaChildrenInTextOnly, element, type, KTString());
  if (!particles && !type->empty_ && !type->mixed_ && !type->textOnly_ && !hasDatatype) {
    return ReportError(kSchemaNoContent, element, type, KTString());
  }
  return true;
}

bool KTSchemaModel::ReadXdrOccurs(KTXNode* attribute, const KTString& name, const KTString& value,
                                  KTParticle& particle) {
  if (name == u"minOccurs") {
    if (value == u"0" || value == u"1") {
      particle.minOccurs = value == u"0" ? 0 : 1;
      return true;
    }
    return ReportError(kSchemaBadValue, attribute, nullptr, KTString(u"- expected (0 | 1)"));
  }
  if (value == u"1" || value == u"*") {
    particle.SetMaxOccursUnbounded(value == u"*");
    return true;
  }
  return ReportError(kSchemaBadValue, attribute, nullptr, KTString(u"- expected (1 | *)"));
}

bool KTSchemaModel::LoadXdrAttributeReference(KTXNode* element, KTNamespaceContext* context, KTElementType* type,
                                              KTElementType& scratch) {
  bool ok = true;
  KTAttributeDecl decl;
  bool found = false, pending = false;
  std::vector<KTXNode*> children = ChildrenOf(element);
  for (size_t i = 0; i < children.size() && ok; ++i) {
    KTXNode* a = children[i];
    if (a->GetKind() != kAttribute) continue;
    KTString name(a->GetName());
    KTString value(a->GetValue());
    if (name == u"type") {
      if (found) continue;
      KTQName key(value, KTNamespaceId::None());
      const KTAttributeDecl* source = scratch.FindAttribute(key);
      if (!source) source = FindGlobalAttribute(key);
      if (!source) {
        ok = ReportError(kSchemaAttributeTypeNotFound, element, nullptr, value);
        continue;
      }
      decl = *source;
      found = true;
      if (pending) {
        pending = false;
        i = static_cast<size_t>(-1);
      }
    } else if (name == u"default") {
      if (found) {
        decl.SetDefault(value);
      } else {
        pending = true;
      }
    } else if (name == u"required") {
      if (!found) {
        pending = true;
      } else if (value == u"yes") {
        decl.required = true;
      } else if (value == u"no") {
        decl.required = false;
      }
    } else {
      ok = OtherAttribute(*this, context, a, KTString(u"- expected attribute: (type | default | required)"));
    }
  }
  if (found) type->AddAttribute(decl);
  return ok;
}

bool KTSchemaModel::LoadXdrAttributeType(KTXNode* element, KTNamespaceContext* parentContext, KTElementType* owner) {
  KTXdrScope scope(*this, parentContext, element);
  KTNamespaceContext* context = scope.Context();
  bool ok = true;
  KTAttributeDecl decl;
  decl.owner = this;
  for (KTXNode* child = element->GetFirstChild(); child && ok; child = child->GetNextSibling()) {
    KTString name(child->GetName());
    KTString value(child->GetValue());
    if (child->GetKind() == kAttribute) {
      if (name == u"name") {
        decl.name = KTQName(value, KTNamespaceId::None());
      } else if (name == u"default") {
        decl.SetDefault(value);
      } else if (name == QN2(*this, u"type")) {
        if (!SetAttributeDatatype(decl, value.GetLocalName(), defaultSecondTypeId_)) {
          ok = ReportError(kSchemaBadValue, child, nullptr, KTString());
          continue;
        }
      } else if (name == QN2(*this, u"minLength") || name == QN2(*this, u"maxLength")) {
        SetAttributeFacet(decl, name.GetLocalName(), value, defaultSecondTypeId_);
      } else if (name == QN2(*this, u"values")) {
        SetEnumeratedValues(decl, value);
      } else if (name == u"required") {
        if (value == u"yes" || value == u"no") {
          decl.required = value == u"yes";
        } else {
          ok = ReportError(kSchemaBadValue, child, nullptr, KTString(u"- expected (yes | no)"));
        }
      } else {
        ok = OtherAttribute(*this, context, child,
                            KTString(u"- expected attribute: (name | default | dt:type | dt:values | required)"));
      }
    } else if (child->GetKind() == kElement) {
      if (name == u"datatype") {
        ok = ReportError(kSchemaUnsupported, child, nullptr, KTString(u"XML-Data <datatype>"));
      } else if (name == u"description") {
        decl.description = value;
      } else {
        ok = OtherChild(*this, context, child,
                        u"- expected: (" + QN1(*this, u"datatype") + u" | " + QN1(*this, u"description") + u")");
      }
    }
  }
  if (ok) {
    if (!decl.fixed && !decl.required) decl.implied = true;
    decl.declaringNode = element;
    if (owner) {
      owner->AddAttribute(decl);
    } else {
      AddGlobalAttribute(decl);
    }
  }
  return ok;
}
