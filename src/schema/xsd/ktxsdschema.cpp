// The XML Schema load entry with its passes and substitution-group step,
// and the schema element: its defaults, include, redefine and import, and
// the four phases that hand top-level components to their loaders.
#include <utility>

#include "schema/xsd/ktxsdloader.h"
#include "xml/ktxnode.h"

// ---- Passes ----

namespace {

// The targetNamespace written on a schema document's `schema` element (no
// namespace when there is none).
KTNamespaceId DeclaredTargetNamespace(KTXNode* root) {
  KTChildIterator top;
  for (root->FirstChildOfKind(top, kElement); !top.IsEnd(); top.Next()) {
    if (!(KTString(top.Node()->GetLocalName()) == u"schema")) continue;
    KTChildIterator a;
    for (top.Node()->FirstChildOfKind(a, kAttribute); !a.IsEnd(); a.Next()) {
      if (KTString(a.Node()->GetName()) == u"targetNamespace") return KTNamespaceId::Intern(a.Node()->GetValue());
    }
    break;
  }
  return KTNamespaceId::None();
}

// The value of an element's attribute with that name, or null.
const char16_t* AttributeValueNamed(KTXNode* element, const char16_t* name) {
  KTChildIterator a;
  for (element->FirstChildOfKind(a, kAttribute); !a.IsEnd(); a.Next()) {
    if (KTString(a.Node()->GetName()) == name) return a.Node()->GetValue();
  }
  return nullptr;
}

bool HasAttributeNamed(KTXNode* element, const char16_t* name) { return AttributeValueNamed(element, name) != nullptr; }

}  // namespace

void KTSchemaModel::RequestXsdPass(const KTString& localName) {
  anotherPass_ = true;
  lastPassAllowed_ = currentPass_ + 1;
  xsd_.pendingNames.insert(localName);
  ++xsd_.unsettled;
}

bool KTSchemaModel::IsXsdSettled(int kind, const KTQName& name) const {
  return xsd_.unsettledComponents.find({kind, name}) == xsd_.unsettledComponents.end();
}

void KTSchemaModel::MarkXsdSettled(int kind, const KTQName& name, bool settled) {
  if (settled) {
    xsd_.unsettledComponents.erase({kind, name});
  } else {
    xsd_.unsettledComponents.insert({kind, name});
  }
}

void KTSchemaModel::SetContextNode(KTXNode* node) {
  namespaces_.Reset();
  if (node) namespaces_.AddDeclarations(node, true);
}

bool KTSchemaModel::LoadXsdSchema(std::vector<KTXNode*> roots) {
  currentPass_ = 0;
  Clear();
  schemaKind_ = kSchemaXsd;
  lastPassAllowed_ = 1;
  xsd_.roots = roots;
  AddSchemaDocuments(roots);
  // Every pass loads every document again; declarations stay, so a pass
  // finds what the one before declared. Another pass follows while a pass
  // leaves fewer references unsettled than the one before (a chain of
  // forward references settles one link per pass). The count falls by at
  // least one each time, so the passes are bounded by the references the
  // first pass met, however long the chain; when a pass settles nothing
  // more, the next pass is the last and records what is missing.
  int previousUnsettled = -1;
  for (;;) {
    ++currentPass_;
    anotherPass_ = false;
    ResetErrorBlock();
    for (EntitySet* set : {&generalEntities_, &parameterEntities_}) {
      for (auto& [name, record] : *set) {
        record->DropParsedValue();
        record->declaredThisPass = false;
      }
    }
    xsd_.schemaRoots.clear();
    xsd_.schemaLocations.clear();
    xsd_.pendingNames.clear();
    xsd_.unsettled = 0;
    for (size_t i = 0; i < roots.size(); ++i) {
      // A document that an import or include of an earlier one already
      // loaded in its own target namespace is not loaded again: its
      // declarations would clash with themselves.
      if (i > 0 && xsd_.schemaRoots.count({DeclaredTargetNamespace(roots[i]).Identity(), roots[i]}) > 0) continue;
      if (!LoadXsdSchemaDocument(roots[i], &namespaces_, i > 0, false, KTString())) return false;
    }
    if (!anotherPass_) break;
    if (xsd_.finalPass) {
      // Found but never settled: components defined through one another.
      KTString names;
      int listed = 0;
      for (const KTString& pending : xsd_.pendingNames) {
        if (listed == kMaxUnsettledNamesListed) {
          KTString more;
          more.Format(u" and %d more", static_cast<int>(xsd_.pendingNames.size()) - listed);
          names += more;
          break;
        }
        if (listed++ > 0) names += u", ";
        names += pending;
      }
      return ReportError(kSchemaBadValue, roots.empty() ? nullptr : roots[0], nullptr,
                         KTString(u"- definitions that do not settle: ") + names);
    }
    bool progress = previousUnsettled < 0 || xsd_.unsettled < previousUnsettled;
    previousUnsettled = xsd_.unsettled;
    if (!progress) xsd_.finalPass = true;
  }
  xsd_.pendingNames.clear();

  // Substitution groups.
  for (auto& [name, decl] : elements_) {
    if (!decl->contentRead_) return ReportError(kSchemaTypeNotDeclared, decl->GetDeclaringNode(), decl.get(), KTString());
    const KTQName& headName = decl->GetSubstitutionGroupHead();
    if (headName.localName.IsEmpty()) continue;
    KTElementType* head = FindElement(headName);
    if (!head) {
      return ReportError(kXsdHeadNotDeclared, ParentOf(decl->GetDeclaringNode()), decl.get(), headName.localName);
    }
    // A head's block value governs instance documents, which are not
    // validated here: it never refuses a member.
    head->substitutionHeadFlag_ = true;
  }
  if (elements_.empty()) {
    return ReportError(kSchemaNoElements, roots.empty() ? nullptr : roots[0], nullptr, KTString());
  }
  return true;
}

// ---- The schema element ----

namespace {

const char16_t* const kTopLevelExpected[] = {u"include",   u"import",    u"redefine",  u"annotation",
                                             u"simpleType", u"complexType", u"element", u"group",
                                             u"attribute",  u"attributeGroup", u"notation"};

KTString TopLevelExpected(KTSchemaModel& model) {
  return XsdExpected(model, {kTopLevelExpected[0], kTopLevelExpected[1], kTopLevelExpected[2], kTopLevelExpected[3],
                             kTopLevelExpected[4], kTopLevelExpected[5], kTopLevelExpected[6], kTopLevelExpected[7],
                             kTopLevelExpected[8], kTopLevelExpected[9], kTopLevelExpected[10]});
}

int PhaseOf(const KTString& local) {
  if (local == u"include" || local == u"redefine" || local == u"import" || local == u"annotation" ||
      local == u"simpleType" || local == u"notation") {
    return 1;
  }
  if (local == u"complexType") return 2;
  if (local == u"group" || local == u"attribute" || local == u"attributeGroup") return 3;
  if (local == u"element") return 4;
  return 0;
}

// The model's bindings and a schema document's defaults, saved around a
// document loaded from inside another (include, redefine, import), so that
// each document's defaults hold for it alone.
struct SavedDocumentState {
  explicit SavedDocumentState(KTXsdLoadState& state)
      : state(state),
        xsd(state.xsdBinding),
        second(state.secondBinding),
        target(state.targetBinding),
        qualifiedElements(state.qualifiedElements),
        qualifiedAttributes(state.qualifiedAttributes),
        finalDefault(state.finalDefault),
        blockDefault(state.blockDefault) {}
  // Moved back, not copied: this also runs while an out-of-memory error
  // unwinds, when a copy could not be had.
  ~SavedDocumentState() {
    state.xsdBinding = std::move(xsd);
    state.secondBinding = std::move(second);
    state.targetBinding = std::move(target);
    state.qualifiedElements = qualifiedElements;
    state.qualifiedAttributes = qualifiedAttributes;
    state.finalDefault = std::move(finalDefault);
    state.blockDefault = std::move(blockDefault);
  }
  KTXsdLoadState& state;
  KTPrefixBinding xsd, second, target;
  bool qualifiedElements, qualifiedAttributes;
  KTString finalDefault, blockDefault;
};

}  // namespace

// Loads the children of one `schema` element: attributes, then four phases.
static bool LoadSchemaElement(KTSchemaModel& model, KTXNode* root, KTXNode* schema, KTNamespaceContext* context,
                              bool included);
static bool LoadTopLevelChild(KTSchemaModel& model, KTXNode* child, const KTString& local,
                              KTNamespaceContext* context);
static bool LoadInclude(KTSchemaModel& model, KTXNode* schema, KTXNode* child, KTNamespaceContext* context,
                        bool redefine);
static bool LoadImport(KTSchemaModel& model, KTXNode* schema, KTXNode* child, KTNamespaceContext* context);

bool KTSchemaModel::LoadXsdSchemaDocument(KTXNode* root, KTNamespaceContext* parent, bool notFirstRoot,
                                          bool included, const KTString& targetNamespace) {
  KTXsdScope scope(*this, parent, root);
  if (!scope.Entered()) return scope.Result();
  KTNamespaceContext* context = scope.Context();
  if (!included) {
    xsd_.xsdBinding = KTPrefixBinding{KTString(), XsdNamespace(), false};
    xsd_.secondBinding = xsd_.xsdBinding;
    xsd_.targetBinding = KTPrefixBinding{KTString(), KTNamespaceId::Intern(targetNamespace.c_str()), false};
  }
  if (!xsd_.targetBinding.ns.IsNone()) {
    xsd_.schemaLocations.insert({xsd_.targetBinding.ns.Identity(), targetNamespace});
  }
  xsd_.schemaRoots.insert({xsd_.targetBinding.ns.Identity(), root});

  bool ok = true;
  KTXNode* documentElement = nullptr;
  KTChildIterator it;
  for (root->FirstChildOfKind(it, kElement); ok && !it.IsEnd(); it.Next()) {
    KTXNode* child = it.Node();
    KTString name, value;
    if (!XsdExpandNode(*this, child, name, value)) return false;
    if (!(name.GetLocalName() == u"schema")) continue;
    context->AddDeclarations(child, false);
    const char16_t* ownDefault = AttributeValueNamed(child, u"xmlns");
    if (included && !xsd_.targetBinding.ns.IsNone() && !HasAttributeNamed(child, u"targetNamespace") &&
        (!ownDefault || !*ownDefault)) {
      // A chameleon include (XML Schema 1.0 Part 1, §4.2.1): the document
      // has no target namespace and takes the includer's, and so do its
      // unqualified references, which name no namespace (no default
      // namespace of its own, or xmlns=""): the includer's default namespace
      // must not capture them either.
      context->Bind(KTString(), xsd_.targetBinding.ns, false);
    }
    const KTPrefixBinding* bound = FirstPrefixFor(*context, XsdNamespace());
    if (!bound) return ReportError(kSchemaNamespaceUnbound, child, nullptr, KTString(kXsdNamespaceUri));
    xsd_.xsdBinding.SetPrefix(bound->prefix.c_str());
    xsd_.secondBinding = xsd_.xsdBinding;
    KTQName qname;
    context->GetElementQName(qname, child);
    if (qname.ns != XsdNamespace()) {
      ok = ReportError(kSchemaUnexpected, child, nullptr, XsdExpected(*this, {u"schema"}));
      continue;
    }
    if (!documentElement) documentElement = child;
    ok = LoadSchemaElement(*this, root, child, context, included);
  }
  if (ok && !notFirstRoot && !included && documentElement) {
    // The prefixes of the schema resolve names for the instance's lookups.
    for (const auto& [prefix, binding] : context->GetBindings()) namespaces_.Bind(prefix, binding.ns, false);
  }
  return ok;
}

static bool LoadSchemaElement(KTSchemaModel& model, KTXNode* root, KTXNode* schema, KTNamespaceContext* context,
                              bool included) {
  KTXsdLoadState& state = model.XsdState();
  // Each schema document has its own defaults: absent means unqualified,
  // no block and no final.
  state.qualifiedElements = false;
  state.qualifiedAttributes = false;
  state.blockDefault = KTString();
  state.finalDefault = KTString();
  bool ok = true;
  KTChildIterator it;
  for (schema->FirstChildOfKind(it, kAttribute); ok && !it.IsEnd(); it.Next()) {
    KTXNode* attribute = it.Node();
    KTString name, value;
    if (!XsdExpandNode(model, attribute, name, value)) return false;
    if (name == u"targetNamespace") {
      KTNamespaceId ns = KTNamespaceId::Intern(value.c_str());
      if (included) {
        if (ns != state.targetBinding.ns) {
          return model.ReportError(kXsdOtherTargetNamespace, schema, nullptr, state.targetBinding.ns.Uri());
        }
        continue;
      }
      if (state.targetBinding.locked) continue;
      bool wasEmpty = state.targetBinding.ns.IsNone();
      state.targetBinding.ns = ns;
      if (wasEmpty) state.schemaRoots.insert({ns.Identity(), root});
      state.schemaLocations.insert({ns.Identity(), KTString()});
      if (const KTPrefixBinding* bound = FirstPrefixFor(*context, ns)) {
        state.targetBinding.SetPrefix(bound->prefix.c_str());
      }
    } else if (name == u"elementFormDefault" || name == u"attributeFormDefault") {
      bool& flag = name == u"elementFormDefault" ? state.qualifiedElements : state.qualifiedAttributes;
      if (value == u"qualified") {
        flag = true;
      } else if (value == u"unqualified") {
        flag = false;
      } else {
        ok = model.ReportError(kSchemaUnexpected, attribute, nullptr, KTString(u"- expected: (qualified | unqualified)"));
      }
    } else if (name == u"blockDefault") {
      state.blockDefault = value;
      bool allGood = true;
      if (!(value == u"#all")) {
        ok = XsdCheckWords(model, attribute, value, {u"extension", u"restriction", u"substitution"},
                           u"- expected: (#all | List of (extension | restriction | substitution) )", allGood);
      }
    } else if (name == u"finalDefault") {
      state.finalDefault = value;
      bool allGood = true;
      if (!(value == u"#all")) {
        ok = XsdCheckWords(model, attribute, value, {u"extension", u"restriction"},
                           u"- expected: (#all | List of (extension | restriction) )", allGood);
      }
    }
  }
  if (!ok) return false;
  if (state.targetBinding.ns.IsNone()) {
    const KTPrefixBinding* defaultBinding = context->GetDefaultBinding();
    if (defaultBinding && defaultBinding->ns == XsdNamespace()) {
      return model.ReportError(kXsdDefaultNamespaceIsXsd, schema, nullptr, KTString());
    }
    state.schemaRoots.insert({defaultBinding ? defaultBinding->ns.Identity() : state.targetBinding.ns.Identity(), root});
  }

  for (int phase = 1; phase <= 4; ++phase) {
    for (schema->FirstChildOfKind(it, kElement); !it.IsEnd(); it.Next()) {
      KTXNode* child = it.Node();
      KTString name, value;
      if (!XsdExpandNode(model, child, name, value)) return false;
      KTString local = XsdLocalName(context, child);
      int childPhase = PhaseOf(local);
      if (childPhase == 0) {
        if (phase == 1 && !model.ReportError(kSchemaUnexpected, child, nullptr, TopLevelExpected(model))) return false;
        continue;
      }
      if (childPhase != phase) continue;
      bool childOk = true;
      if (local == u"include") {
        childOk = LoadInclude(model, schema, child, context, false);
      } else if (local == u"redefine") {
        childOk = LoadInclude(model, schema, child, context, true);
      } else if (local == u"import") {
        childOk = LoadImport(model, schema, child, context);
      } else {
        childOk = LoadTopLevelChild(model, child, local, context);
      }
      if (!childOk) return false;
    }
  }
  return true;
}

// A top-level (or redefined) annotation, simple type, notation, complex
// type, group, attribute, attribute group or element.
static bool LoadTopLevelChild(KTSchemaModel& model, KTXNode* child, const KTString& local,
                              KTNamespaceContext* context) {
  KTXsdLoadState& state = model.XsdState();
  int before = state.unsettled;
  if (local == u"annotation") {
    bool found = false;
    KTString text = XsdDocumentation(context, child, &found);
    if (found) state.documentation = text;
    return true;
  }
  if (local == u"notation") return model.LoadXsdNotation(child, context);
  if (local == u"simpleType") {
    KTSimpleTypeDef record;
    if (!model.LoadXsdSimpleType(child, context, &record)) return false;
    auto& slot = model.SimpleTypes()[record.name];
    if (slot) {
      *slot = record;
    } else {
      slot = std::make_unique<KTSimpleTypeDef>(record);
    }
    model.MarkXsdSettled(kXsdSimpleType, record.name, state.unsettled == before);
    return true;
  }
  if (local == u"complexType") {
    KTComplexTypeDef record;
    if (!model.LoadXsdComplexType(child, context, record)) return false;
    auto& slot = model.ComplexTypes()[record.name];
    if (slot) {
      *slot = record;
    } else {
      slot = std::make_unique<KTComplexTypeDef>(record);
    }
    model.MarkXsdSettled(kXsdComplexType, record.name, state.unsettled == before);
    return true;
  }
  if (local == u"group") {
    KTElementType scratch(KTQName(), &model, nullptr);
    KTElementType* target = &scratch;
    KTParticle particle;
    bool ok = model.LoadXsdParticle(child, context, particle, target, false);
    if (target != &scratch) return ok;  // a reference at the top level defines nothing
    auto& slot = model.Groups()[scratch.GetName()];
    if (!slot) slot = std::make_unique<KTElementType>(scratch.GetName(), &model, nullptr);
    *slot = scratch;
    model.MarkXsdSettled(kXsdGroup, scratch.GetName(), state.unsettled == before);
    if (slot->ContainsParticle(slot.get())) {
      return model.ReportError(kXsdGroupContainsItself, child, nullptr, scratch.GetName().localName);
    }
    return ok;
  }
  if (local == u"attributeGroup") {
    KTElementType scratch(KTQName(), &model, nullptr);
    if (!model.LoadXsdAttributeGroup(child, context, &scratch)) return false;
    auto& slot = model.AttributeGroups()[scratch.GetName()];
    if (!slot) slot = std::make_unique<KTElementType>(scratch.GetName(), &model, nullptr);
    *slot = scratch;
    model.MarkXsdSettled(kXsdAttributeGroup, scratch.GetName(), state.unsettled == before);
    return true;
  }
  if (local == u"attribute") return model.LoadXsdAttribute(child, context, nullptr, false);
  if (local == u"element") {
    KTParticle particle;
    KTElementType* declaration = nullptr;
    bool ok = model.LoadXsdElement(child, context, particle, declaration, nullptr, false);
    if (declaration) model.MarkXsdSettled(kXsdElement, declaration->GetName(), state.unsettled == before);
    return ok;
  }
  return true;
}

// include (redefine false) and redefine.
static bool LoadInclude(KTSchemaModel& model, KTXNode* schema, KTXNode* child, KTNamespaceContext* context,
                        bool redefine) {
  KTXsdLoadState& state = model.XsdState();
  KTString location;
  KTChildIterator it;
  for (child->FirstChildOfKind(it, kAttribute); !it.IsEnd(); it.Next()) {
    KTString name, value;
    if (!XsdExpandNode(model, it.Node(), name, value)) return false;
    if (name == u"schemaLocation") {
      location = value;
    } else if (!(name == u"id")) {
      if (!model.ReportError(kSchemaUnexpected, schema, nullptr, KTString(u"- expected: (id | schemaLocation)"))) {
        return false;
      }
    }
  }
  if (location.IsEmpty()) return model.ReportError(kXsdMissingAttribute, child, nullptr, KTString(u"schemaLocation"));
  KTXNode* loaded = model.LoadExternalDocument(KTString(), location, child, 0);
  if (!loaded) return model.ReportError(kSchemaLoadFailed, child, nullptr, location);
  bool seen = false;
  if (redefine) {
    for (const auto& entry : state.schemaRoots) seen = seen || entry.second == loaded;
  } else {
    seen = state.schemaRoots.count({state.targetBinding.ns.Identity(), loaded}) > 0;
  }
  // Include, import and redefine cycles are legal: each document loads once
  // per pass, a document that includes itself stops here.
  if (!seen) {
    bool ok;
    {
      SavedDocumentState saved(state);
      ok = model.LoadXsdSchemaDocument(loaded, context, false, true, KTString());
    }
    if (!ok && (redefine || model.GetErrorId() != kSchemaElementDeclaredTwice)) return false;
  }
  if (!redefine) return true;
  struct Redefining {
    explicit Redefining(int& n) : n(n) { ++n; }
    ~Redefining() { --n; }
    int& n;
  } redefining(state.redefining);
  for (child->FirstChildOfKind(it, kElement); !it.IsEnd(); it.Next()) {
    KTXNode* redefined = it.Node();
    KTString name, value;
    if (!XsdExpandNode(model, redefined, name, value)) return false;
    KTString local = XsdLocalName(context, redefined);
    if (local == u"annotation" || local == u"simpleType" || local == u"complexType" || local == u"group" ||
        local == u"attributeGroup") {
      if (!LoadTopLevelChild(model, redefined, local, context)) return false;
    } else if (!model.ReportError(kSchemaUnexpected, redefined, nullptr,
                                  XsdExpected(model, {u"annotation", u"simpleType", u"complexType", u"group",
                                                      u"attributeGroup"}))) {
      return false;
    }
  }
  return true;
}

static bool LoadImport(KTSchemaModel& model, KTXNode* schema, KTXNode* child, KTNamespaceContext* context) {
  KTXsdLoadState& state = model.XsdState();
  KTString ns, location;
  bool hasNamespace = false, hasLocation = false;
  KTChildIterator it;
  for (child->FirstChildOfKind(it, kAttribute); !it.IsEnd(); it.Next()) {
    KTString name, value;
    if (!XsdExpandNode(model, it.Node(), name, value)) return false;
    if (name == u"namespace") {
      ns = value;
      hasNamespace = true;
    } else if (name == u"schemaLocation") {
      location = value;
      hasLocation = true;
    } else if (!(name == u"id")) {
      if (!model.ReportError(kSchemaUnexpected, schema, nullptr, KTString(u"- expected: (id | schemaLocation)"))) {
        return false;
      }
    }
  }
  if (!hasNamespace && !hasLocation) return true;
  KTNamespaceId nsId = KTNamespaceId::Intern(ns.c_str());
  if (hasNamespace && state.schemaLocations.count({nsId.Identity(), location}) > 0) return true;
  KTXNode* loaded = nullptr;
  if (hasLocation) {
    loaded = model.LoadExternalDocument(ns, location, child, 0);
    if (!loaded) return model.ReportError(kSchemaLoadFailed, child, nullptr, location);
    if (state.schemaRoots.count({nsId.Identity(), loaded}) > 0) return true;
  } else {
    // No resolver for namespaces without a location: the other schema
    // documents of this load stand in for it.
    for (KTXNode* other : state.roots) {
      KTChildIterator top;
      for (other->FirstChildOfKind(top, kElement); !top.IsEnd() && !loaded; top.Next()) {
        if (!(KTString(top.Node()->GetLocalName()) == u"schema")) continue;
        KTChildIterator a;
        for (top.Node()->FirstChildOfKind(a, kAttribute); !a.IsEnd(); a.Next()) {
          if (KTString(a.Node()->GetName()) == u"targetNamespace" && KTString(a.Node()->GetValue()) == ns) {
            loaded = other;
          }
        }
      }
      if (loaded) break;
    }
    if (!loaded || state.schemaRoots.count({nsId.Identity(), loaded}) > 0) return true;
  }
  SavedDocumentState saved(state);
  state.schemaLocations.insert({nsId.Identity(), location});
  return model.LoadXsdSchemaDocument(loaded, context, true, false, ns);
}
