// The DCD (Document Content Description) schema loader: a DCD element whose
// ElementDef children declare element types, their content models,
// datatypes and attribute definitions. DCD knows no namespaces: names are
// compared as written and declared in no namespace. A property may be
// written as an attribute or as a child element of the same name.
#include <vector>

#include "schema/ktschemamodel.h"
#include "schema/ktxdrdcdshared.h"
#include "xml/ktxnode.h"

namespace {

// Groups nested inside one ElementDef: deeper ones are refused.
constexpr int kMaxDcdNesting = 256;

std::vector<KTXNode*> PropertiesOf(KTXNode* node) {
  std::vector<KTXNode*> children;
  for (KTXNode* c = node->GetFirstChild(); c; c = c->GetNextSibling()) {
    if (c->GetKind() == kAttribute || c->GetKind() == kElement) children.push_back(c);
  }
  return children;
}

int CountElementChildren(KTXNode* node) {
  int count = 0;
  for (KTXNode* c = node->GetFirstChild(); c; c = c->GetNextSibling()) count += c->GetKind() == kElement;
  return count;
}

// The facet a Min, Max, MinExclusive or MaxExclusive property sets, or null.
const char16_t* BoundFacet(const KTString& name) {
  if (name == u"Min") return u"minInclusive";
  if (name == u"Max") return u"maxInclusive";
  if (name == u"MinExclusive") return u"minExclusive";
  if (name == u"MaxExclusive") return u"maxExclusive";
  return nullptr;
}

}  // namespace

bool KTSchemaModel::LoadDcdSchema(KTXNode* root) {
  if (!root) return true;
  currentPass_ = 0;
  Clear();
  schemaKind_ = kSchemaDcd;
  bool ok = true;
  AddSchemaDocuments({root});
  for (KTXNode* dcd = root->GetFirstChild(); dcd && ok; dcd = dcd->GetNextSibling()) {
    if (dcd->GetKind() != kElement || KTString(dcd->GetName()) != u"DCD") continue;
    for (KTXNode* child = dcd->GetFirstChild(); child && ok; child = child->GetNextSibling()) {
      if (child->GetKind() != kElement) continue;
      KTString name(child->GetName());
      if (name == u"ElementDef") {
        ok = LoadDcdElementDef(child, nullptr, 1, 1);
      } else if (name == u"AttributeDef") {
        ok = ReportError(kSchemaUnsupported, child, nullptr, KTString(u"DCD global <AttributeDef>"));
      } else if (name == u"Description") {
        xsd_.documentation = child->GetValue();
      } else {
        ok = ReportError(kSchemaUnexpected, child, nullptr, KTString(u"- expected: (ElementDef | AttributeDef | Description)"));
      }
    }
    if (ok && elements_.empty()) ok = ReportError(kSchemaNoElements, dcd, nullptr, KTString());
  }
  if (!ok) return ok;
  for (auto& [name, type] : elements_) {
    if (!type->contentRead_) return ReportError(kSchemaTypeNotDeclared, type->GetDeclaringNode(), type.get(), KTString());
  }
  return ok;
}

bool KTSchemaModel::LoadDcdElementDef(KTXNode* element, KTElementType* type, int minOccurs, int maxOccurs) {
  struct Depth {
    int& depth;
    explicit Depth(int& d) : depth(++d) {}
    ~Depth() { --depth; }
  } depth(xsd_.depth);
  if (depth.depth > kMaxDcdNesting) return ReportError(kSchemaUnexpected, element, nullptr, KTString(u"- groups nested too deeply"));
  bool ok = true;
  bool isGroup = KTString(element->GetName()) == u"Group";
  std::vector<KTXNode*> children = PropertiesOf(element);
  bool pending = false;
  for (size_t i = 0; i < children.size() && ok; ++i) {
    KTXNode* child = children[i];
    KTString name(child->GetName());
    KTString value(child->GetValue());
    if (isGroup && (name == u"RDF:Order" || name == u"Occurs")) continue;  // the caller read them
    if (!isGroup) {
      if (name == u"Type") {
        if (type) continue;  // read first, on an earlier walk
        type = DeclareElement(KTQName(value, KTNamespaceId::None()));
        if (type->contentRead_) {
          ok = ReportError(kSchemaElementDeclaredTwice, element, type, KTString());
          continue;
        }
        type->contentRead_ = true;
        type->SetDeclaringNode(element);
        if (pending) {
          pending = false;
          i = static_cast<size_t>(-1);  // walk again from the first child
        }
        continue;
      }
      if (name == u"Root") continue;
      const char16_t* facet = BoundFacet(name);
      bool property = facet || name == u"Model" || name == u"Datatype" || name == u"Content";
      if (property && !type) {
        pending = true;
        continue;
      }
      if (property) {
        ok = ReadDcdElementProperty(child, name, value, type);
        continue;
      }
    }
    if (name == u"Attribute") {
      ok = ReportError(kSchemaUnsupported, child, nullptr,
                       KTString(u"DCD <Attribute> reference to global <AttributeDef>"));
      continue;
    }
    bool needsType = name == u"AttributeDef" || name == u"Description" || name == u"Element" || name == u"Group";
    if (needsType && !type) {
      pending = true;
      continue;
    }
    if (name == u"AttributeDef") {
      ok = LoadDcdAttributeDef(child, type);
    } else if (name == u"Description") {
      type->description_ = value;
    } else if (name == u"Element") {
      KTParticle particle;
      particle.child = DeclareElement(KTQName(value, KTNamespaceId::None()));
      particle.minOccurs = minOccurs;
      particle.maxOccurs = maxOccurs;
      type->AddParticle(particle);
    } else if (name == u"Group") {
      ok = LoadDcdGroup(child, type, isGroup);
    } else {
      ok = ReportError(kSchemaUnexpected, child, nullptr,
                       KTString(u"- expected: (Attribute | AttributeDef | Datatype | Description | Element | Group | "
                                u"Type | Model | Content)"));
    }
  }
  return ok;
}

bool KTSchemaModel::LoadDcdAttributeDef(KTXNode* element, KTElementType* type) {
  bool ok = true;
  KTAttributeDecl decl;
  decl.owner = this;
  for (KTXNode* child : PropertiesOf(element)) {
    if (!ok) break;
    KTString name(child->GetName());
    KTString value(child->GetValue());
    const char16_t* facet = BoundFacet(name);
    if (name == u"Name") {
      decl.name = KTQName(value, KTNamespaceId::None());
    } else if (name == u"Default") {
      decl.SetDefault(value);
    } else if (name == u"Datatype") {
      if (!SetAttributeDatatype(decl, value, defaultSecondTypeId_)) {
        ok = ReportError(kSchemaBadValue, child, nullptr, KTString());
        continue;
      }
    } else if (name == u"Values") {
      SetEnumeratedValues(decl, value);
    } else if (name == u"ID-Role") {
      if (value == u"ID") {
        decl.id = true;
      } else if (value == u"IDREF") {
        decl.idref = true;
      } else if (value == u"IDREFS") {
        decl.idrefs = true;
      } else {
        ok = ReportError(kSchemaBadValue, child, nullptr, KTString(u"- expected (ID | IDREF | IDREFS)"));
      }
    } else if (name == u"Occurs") {
      if (value == u"Required" || value == u"Optional") {
        decl.required = value == u"Required";
      } else {
        ok = ReportError(kSchemaBadValue, child, nullptr, KTString(u"- expected (Required | Optional)"));
      }
    } else if (name == u"Fixed") {
      if (value == u"True" || value == u"False") {
        decl.fixed = value == u"True";
      } else {
        ok = ReportError(kSchemaBadValue, child, nullptr, KTString(u"- expected (True | False)"));
      }
    } else if (name == u"Description") {
      decl.description = value;
    } else if (facet) {
      SetAttributeFacet(decl, KTString(facet), value, defaultSecondTypeId_);
    } else {
      ok = ReportError(kSchemaUnexpected, child, nullptr,
                       KTString(u"- expected attribute: (Name | Default | Datatype | Description | Occurs)"));
    }
  }
  if (ok) {
    if (!decl.fixed && !decl.required) decl.implied = true;
    type->AddAttribute(decl);
  }
  return ok;
}

bool KTSchemaModel::ReadDcdElementProperty(KTXNode* property, const KTString& name, const KTString& value,
                                           KTElementType* type) {
  if (const char16_t* facet = BoundFacet(name)) {
    if (type->GetDatatype().IsValid()) type->GetDatatype()->SetFacet(KTString(facet), value);
    return true;
  }
  if (name == u"Model") {
    if (value == u"Empty") {
      type->empty_ = true;
    } else if (value == u"Data") {
      type->textOnly_ = true;
    } else if (value == u"Elements") {
      if (!type->choice_) type->sequence_ = true;
    } else if (value == u"Any") {
      type->any_ = true;
    } else if (value == u"Mixed") {
      type->mixed_ = true;
    } else {
      return ReportError(kSchemaBadValue, property, nullptr, KTString(u"- expected (Empty | Data | Elements | Mixed | Any)"));
    }
    return true;
  }
  if (name == u"Datatype") {
    if (DatatypeIdFromName(value, 1) == kDtUnknown) return ReportError(kSchemaBadValue, property, nullptr, KTString());
    type->textOnly_ = true;
    type->SetDatatype(KTDatatypeRef(new KTDatatype(value, defaultSecondTypeId_, 1, false)));
    return true;
  }
  // Content
  if (value == u"Open" || value == u"Closed") {
    type->open_ = value == u"Open";
    return true;
  }
  return ReportError(kSchemaBadValue, property, nullptr, KTString(u"- expected (Open | Closed)"));
}

bool KTSchemaModel::ReadDcdGroupAttributes(KTXNode* group, int& minOccurs, int& maxOccurs, bool& alternative) {
  bool ok = true;
  for (KTXNode* a = group->GetFirstChild(); a && ok; a = a->GetNextSibling()) {
    if (a->GetKind() != kAttribute) continue;
    KTString aName(a->GetName());
    KTString aValue(a->GetValue());
    if (aName == u"RDF:Order") {
      if (aValue == u"Alt" || aValue == u"Seq") {
        alternative = aValue == u"Alt";
      } else {
        ok = ReportError(kSchemaBadValue, group, nullptr, KTString(u"- expected (Alt | Seq)"));
      }
    } else if (aName == u"Occurs") {
      if (aValue == u"Required") {
        minOccurs = 1, maxOccurs = 1;
      } else if (aValue == u"Optional") {
        minOccurs = 0, maxOccurs = 1;
      } else if (aValue == u"OneOrMore") {
        minOccurs = 1, maxOccurs = -1;
      } else if (aValue == u"ZeroOrMore") {
        minOccurs = 0, maxOccurs = -1;
      } else {
        ok = ReportError(kSchemaBadValue, a, nullptr, KTString(u"- expected (Required | Optional | OneOrMore | ZeroOrMore)"));
      }
    } else {
      ok = ReportError(kSchemaUnexpected, a, nullptr, KTString(u"- expected attribute: (RDF:Order | Occurs)"));
    }
  }
  return ok;
}

bool KTSchemaModel::LoadDcdGroup(KTXNode* group, KTElementType* type, bool insideGroup) {
  int minimum = 1, maximum = 1;
  bool alternative = false;
  // A problem among the group's attributes stays recorded; its content is
  // placed all the same.
  ReadDcdGroupAttributes(group, minimum, maximum, alternative);
  if (!alternative && minimum == 1 && maximum == 1 && !insideGroup) return LoadDcdElementDef(group, type, 1, 1);
  if (CountElementChildren(group) == 1) return LoadDcdElementDef(group, type, minimum, maximum);
  KTElementType* compositor = type->CreateAnonymousChild();
  compositor->group_ = true;
  (alternative ? compositor->choice_ : compositor->sequence_) = true;
  KTParticle particle;
  particle.child = compositor;
  particle.minOccurs = minimum;
  particle.maxOccurs = maximum;
  type->AddParticle(particle);
  return LoadDcdElementDef(group, compositor, 1, 1);
}
