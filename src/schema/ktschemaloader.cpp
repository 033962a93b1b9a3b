// The schema-language dispatcher: the schema reference of a document, the
// language of the referenced document, and the loader that reads it.
#include "schema/ktschemaloader.h"

#include <algorithm>
#include <map>
#include <string>
#include <string_view>

#include "net/ktnetmessages.h"
#include "platform/ktutf8.h"
#include "platform/ktwchar.h"
#include "schema/ktschemamodel.h"
#include "xml/ktdocmanager.h"
#include "xml/ktdocsource.h"
#include "xml/ktxnode.h"

namespace {

// A warning's text in UTF-8, with the user name and password of any URL in
// it masked (document names and schema locations are quoted as written).
std::string ForMessage(const KTString& text) { return KTUtf16ToUtf8(KTTextForMessage(text.View()).View()); }

constexpr const char16_t* kXsd2001 = u"http://www.w3.org/2001/XMLSchema";
constexpr const char16_t* kXsd1999 = u"http://www.w3.org/1999/XMLSchema";
constexpr const char16_t* kXsd2000 = u"http://www.w3.org/2000/10/XMLSchema";
constexpr const char16_t* kXsltNamespace = u"http://www.w3.org/1999/XSL/Transform";
constexpr const char16_t* kWhite = u" \t\r\n";

bool Contains(const char16_t* text, const char16_t* part) { return KTStrStr(text, part) != nullptr; }

// The shortest of the words an attribute name holding a schema reference
// contains ("schemaLocation"; "targetNamespace" and
// "noNamespaceSchemaLocation" are longer), "xmlns" names aside.
constexpr int kShortestReferenceWord = 14;
static_assert(std::u16string_view(u"schemaLocation").size() == kShortestReferenceWord);

bool BeginsWithXmlns(const char16_t* name) {
  return name[0] == u'x' && name[1] == u'm' && name[2] == u'l' && name[3] == u'n' && name[4] == u's';
}

// Whether the text holds at least `count` characters, reading no further.
bool HasAtLeast(const char16_t* text, int count) {
  for (int i = 0; i < count; ++i) {
    if (text[i] == 0) return false;
  }
  return true;
}
bool BeginsWith(const char16_t* text, const char16_t* part) { return KTStrNCmp(text, part, KTStrLen(part)) == 0; }

// Whether an attribute of this name may hold a schema reference, by the
// test FindSchemaReference makes before it reads a value.
bool MayNameSchema(const KTXName& name) {
  return name.GetLength() >= kShortestReferenceWord || BeginsWithXmlns(name.c_str());
}

KTString Unquote(const KTString& word) {
  return word.GetLength() >= 2 ? word.Mid(1, word.GetLength() - 2) : KTString();
}

bool IsDtdDeclarationKind(int kind) {
  return kind == kDoctype || kind == kDoctypeElement || kind == kDoctypeAttlist || kind == kDoctypeEntity ||
         kind == kDoctypeNotation;
}

int KindOfXsdNamespace(const KTString& uri) {
  if (uri == kXsd1999) return kSchemaXsd1999;
  if (uri == kXsd2000) return kSchemaXsd2000;
  if (uri == kXsd2001) return kSchemaXsd;
  return kSchemaNone;
}

// In-scope namespace bindings during the reference search, by prefix, with
// the prefixes each open element declared so that they unbind after it.
class PrefixScopes {
 public:
  void Declare(const KTString& prefix, const KTString& uri) {
    bindings_[prefix].push_back(uri);
    declared_.push_back(prefix);
  }
  size_t Mark() const { return declared_.size(); }
  bool IsEmpty() const { return bindings_.empty(); }
  void UnwindTo(size_t mark) {
    while (declared_.size() > mark) {
      auto it = bindings_.find(declared_.back());
      it->second.pop_back();
      if (it->second.empty()) bindings_.erase(it);
      declared_.pop_back();
    }
  }
  const KTString* Lookup(const KTString& prefix) const {
    auto it = bindings_.find(prefix);
    return it == bindings_.end() ? nullptr : &it->second.back();
  }

 private:
  std::map<KTString, std::vector<KTString>> bindings_;
  std::vector<KTString> declared_;
};

// The "x-schema:" namespace that the element carrying the reference declares.
KTString XSchemaNamespace(KTXNode* element) {
  if (!element) return KTString();
  KTChildIterator it;
  for (element->FirstChildOfKind(it, kAttribute); !it.IsEnd(); it.Next()) {
    if (BeginsWith(it.Node()->GetName(), u"xmlns") && BeginsWith(it.Node()->GetValue(), u"x-schema:")) {
      return KTString(it.Node()->GetValue());
    }
  }
  return KTString();
}

// A schema language in words, for messages.
const char16_t* SchemaLanguageName(int kind) {
  switch (kind) {
    case kSchemaDtd: return u"a DTD";
    case kSchemaDcd: return u"a DCD schema";
    case kSchemaXsd: return u"an XML Schema";
    case kSchemaXdr:
    case kSchemaXdrData: return u"an XDR schema";
    case kSchemaXsd1999: return u"an XML Schema of the 1999 draft";
    case kSchemaXsd2000: return u"an XML Schema of the 2000 draft";
    default: return u"in no schema language known here";
  }
}

// Whether the text at a location starts as an external DTD subset does: after
// an optional text declaration, white space, comments and processing
// instructions, a markup declaration, a conditional section or a
// parameter-entity reference, where an XML document would have its element
// or DOCTYPE.
bool LooksLikeDtdText(KTSchemaModel& model, const KTString& location, KTXNode* contextNode) {
  KTString text;
  if (!model.ReadExternalText(location, contextNode, text)) return false;
  const char16_t* p = text.c_str();
  if (*p == 0xFEFF) ++p;
  for (;;) {
    while (*p == u' ' || *p == u'\t' || *p == u'\r' || *p == u'\n') ++p;
    if (BeginsWith(p, u"<?")) {
      const char16_t* end = KTStrStr(p, u"?>");
      if (!end) return false;
      p = end + 2;
    } else if (BeginsWith(p, u"<!--")) {
      const char16_t* end = KTStrStr(p + 4, u"-->");
      if (!end) return false;
      p = end + 3;
    } else {
      break;
    }
  }
  if (*p == u'%') return true;
  for (const char16_t* start : {u"<!ELEMENT", u"<!ATTLIST", u"<!ENTITY", u"<!NOTATION", u"<!["}) {
    if (BeginsWith(p, start)) return true;
  }
  return false;
}

// The search over a document that names no schema, in one visit per node
// that also sizes its text as KTSchemaModel::TextSizeOf does (in the same
// order) when kSize: true, with the size, when no element holds an
// attribute whose name may name a schema and (unless skipDoctype) no DTD
// declaration stands at the top, so that the full search would find
// nothing. False as soon as it meets either; the full search then runs from
// the start.
template <bool kSize>
bool NamesNoSchema(const KTXNode* root, bool skipDoctype, int64_t& size) {
  // GetNameLength and GetValueLength, read in place for the kinds a document
  // is made of: elements and attributes keep both as strings that know
  // their length, Text nodes are named by their kind.
  static const int kTextNameLength = KTStrLen(KTXNode::KindName(kText));
  size = 0;
  for (const KTXNode* n = root; n;) {
    const int kind = n->GetKind();
    if constexpr (kSize) {
      if (kind == kElement || kind == kAttribute) {
        const auto* named = static_cast<const KTXNamedNode*>(n);
        size += named->NameString().GetLength() + named->ValueString().GetLength();
      } else if (kind == kText) {
        size += kTextNameLength + static_cast<const KTXValueNode*>(n)->ValueString().GetLength();
      } else {
        size += n->GetNameLength() + n->GetValueLength();
      }
    }
    if (kind == kElement) {
      if (const KTXCompactAttributes* pending = static_cast<const KTXContainerNode*>(n)->GetPendingAttributes()) {
        for (const KTXCompactAttribute& a : *pending) {
          if (MayNameSchema(a.name)) return false;
          if constexpr (kSize) size += a.name.GetLength() + a.value.GetLength();
        }
      }
    } else if (kind == kAttribute) {
      const KTXNode* parent = n->GetParent();
      if (parent && parent->GetKind() == kElement &&
          MayNameSchema(*static_cast<const KTXNamedNode*>(n)->InternedName()))
        return false;
    } else if (!skipDoctype && n->GetParent() == root && IsDtdDeclarationKind(kind)) {
      return false;
    }
    // The next node in document order within root, the pending attributes
    // passed over (read above).
    const KTXNode* next = n->GetFirstMadeChild();
    for (const KTXNode* up = n; !next && up && up != root; up = up->GetParent()) next = up->GetNextSibling();
    n = next;
  }
  return true;
}

}  // namespace

int FindSchemaReference(KTSchemaModel& model, KTXNode* node, KTXNode*& referenceNode,
                        std::vector<KTString>& namespaces, std::vector<KTString>& locations, bool skipDoctype,
                        int64_t* textSize) {
  int kind = kSchemaNone;
  namespaces.clear();
  locations.clear();
  referenceNode = nullptr;
  if (textSize) *textSize = -1;
  if (!node) return kind;
  if (int64_t walked = 0; textSize ? NamesNoSchema<true>(node, skipDoctype, walked)
                                   : NamesNoSchema<false>(node, skipDoctype, walked)) {
    if (textSize) *textSize = walked;
    return kind;
  }
  // The text size of what the search has passed (textSize): each node it
  // visits, the pending attributes it reads and the subtrees it does not
  // search.
  int64_t size = node->GetNameLength() + node->GetValueLength();
  KTString targetNamespace, foundNamespace;
  PrefixScopes scopes;
  // Depth-first over the elements: per open element the next child to look
  // at and the scope mark to unwind to when it closes.
  struct Frame {
    KTXNode* next;
    size_t mark;
  };
  std::vector<Frame> stack{{node->GetFirstChild(), 0}};
  while (!stack.empty() && kind == kSchemaNone) {
    Frame& frame = stack.back();
    KTXNode* child = frame.next;
    if (!child) {
      scopes.UnwindTo(frame.mark);
      stack.pop_back();
      continue;
    }
    frame.next = child->GetNextSibling();
    int childKind = child->GetKind();
    bool topLevel = stack.size() == 1;
    if (textSize) {
      // Elements are searched below; other nodes only hold declarations,
      // attributes of the XML declaration or nothing.
      size += childKind == kElement || !child->GetFirstMadeChild() ? child->GetNameLength() + child->GetValueLength()
                                                                    : KTSchemaModel::TextSizeOf(child);
    }
    if (childKind == kElement) {
      size_t mark = scopes.Mark();
      // The element's name is read in place, and split into prefix and
      // local name only when an attribute or a bound prefix asks: this walk
      // visits every element of every document loaded.
      std::u16string_view localName;
      std::u16string_view prefix;
      bool nameSplit = false;
      auto splitName = [&]() {
        if (nameSplit) return;
        nameSplit = true;
        const std::u16string_view elementName(child->GetName());
        const size_t colon = elementName.find(u':');
        if (colon != std::u16string_view::npos && colon > 0) prefix = elementName.substr(0, colon);
        localName = colon == std::u16string_view::npos ? elementName : elementName.substr(colon + 1);
      };
      // "xmlns" or "xmlns:prefix": the declaration of the element's own prefix.
      auto isOwnDeclaration = [&prefix](std::u16string_view attribute) {
        if (prefix.empty()) return attribute == u"xmlns";
        return attribute.size() == 6 + prefix.size() && attribute.substr(0, 6) == u"xmlns:" &&
               attribute.substr(6) == prefix;
      };
      // The attributes in order, read in place: an element's pending
      // attributes (ktxnode.h) get no nodes made here.
      // Attributes that stand as nodes are children the walk counts.
      const bool pending = static_cast<KTXContainerNode*>(child)->GetPendingAttributes() != nullptr;
      static_cast<KTXContainerNode*>(child)->VisitAttributes([&](const KTXAttributeView& attribute) {
        if (pending) size += attribute.name->GetLength() + attribute.value->GetLength();
        const char16_t* name = attribute.name->c_str();
        // Most attributes can hold no reference: a name that neither begins
        // with "xmlns" nor is long enough to contain one of the words below
        // is passed over without reading its value.
        if (!BeginsWithXmlns(name) && !HasAtLeast(name, kShortestReferenceWord)) return;
        splitName();
        const char16_t* value = attribute.value->c_str();
        if (KTStrCmp(name, u"xmlns") == 0) scopes.Declare(KTString(), KTString(value));
        if (BeginsWith(name, u"xmlns:")) scopes.Declare(KTString(name + 6), KTString(value));
        if (kind != kSchemaNone) return;  // the rest only declares prefixes
        if (BeginsWith(name, u"xmlns") && BeginsWith(value, u"x-schema:")) {
          kind = kSchemaXdrData;
          KTString location(value + 9);
          locations.push_back(location.TrimLeft());
          namespaces.push_back(KTString());
          referenceNode = child;
        } else if (BeginsWith(name, u"xmlns") && isOwnDeclaration(name)) {
          foundNamespace = value;
          kind = KindOfXsdNamespace(foundNamespace);
          if (kind != kSchemaNone) {
            namespaces.push_back(foundNamespace);
            referenceNode = child;
          }
        } else if (Contains(name, u"noNamespaceSchemaLocation")) {
          kind = kSchemaXsd;
          namespaces.push_back(KTString());
          locations.push_back(KTString(value));
          referenceNode = child;
        } else if (Contains(name, u"schemaLocation") && localName != u"include" && localName != u"import") {
          kind = kSchemaXsd;
          KTString text(value);
          int position = 0;
          for (;;) {
            KTString ns = text.Tokenize(kWhite, position, u"'\"");
            if (ns.IsEmpty()) break;
            namespaces.push_back(ns);
            locations.push_back(text.Tokenize(kWhite, position, u"'\""));
          }
          referenceNode = child;
        } else if (Contains(name, u"targetNamespace")) {
          targetNamespace = value;
        }
      });
      if (kind != kSchemaNone) break;
      // A stylesheet's literal result elements may carry schema attributes
      // for the result: nothing below an XSLT element is searched.
      const KTString* uri = nullptr;
      if (!scopes.IsEmpty()) {
        splitName();
        uri = scopes.Lookup(KTString(prefix));
      }
      KTXNode* first = child->GetFirstMadeChild();
      // An element without children (or an XSLT one) closes at once.
      if (!first || (uri && *uri == kXsltNamespace)) {
        if (textSize) {
          for (const KTXNode* below = first; below; below = below->GetNextSibling())
            size += KTSchemaModel::TextSizeOf(below);
        }
        scopes.UnwindTo(mark);
        continue;
      }
      stack.push_back({first, mark});
    } else if (topLevel && !skipDoctype && IsDtdDeclarationKind(childKind)) {
      kind = kSchemaDtd;
      model.SetReference(KTString(child->GetName()), nullptr);
      KTXNode* first = child->GetFirstChild();
      if (childKind == kDoctype && first && first->GetKind() == kDoctypeExternalId) {
        KTString idText(first->GetValue());
        int position = 0;
        KTString word = Unquote(idText.Tokenize(kWhite, position, u"'\""));
        if (KTString(first->GetName()) == u"SYSTEM") {
          namespaces.push_back(KTString());
          locations.push_back(word);
        } else {
          namespaces.push_back(word);
          locations.push_back(Unquote(idText.Tokenize(kWhite, position, u"'\"")));
        }
      }
    }
  }
  if (textSize && kind == kSchemaNone) *textSize = size;
  if (referenceNode) model.SetReference(KTString(referenceNode->GetName()), referenceNode);
  if (!targetNamespace.IsEmpty() && targetNamespace == foundNamespace) {
    locations.assign(1, KTString(kSchemaSelfLocation));
    if (namespaces.empty()) namespaces.push_back(foundNamespace);
  }
  return kind;
}

int ClassifySchemaDocument(KTSchemaModel& model, KTXNode* schemaDocument) {
  if (!schemaDocument) return kSchemaNone;
  if (schemaDocument->GetKind() == kDtdDocument) return kSchemaDtd;
  auto report = [&](int id) {
    model.ReportError(id, schemaDocument, nullptr, KTString());
    return kSchemaNone;
  };
  KTChildIterator top;
  for (schemaDocument->FirstChildOfKind(top, kElement); !top.IsEnd(); top.Next()) {
    KTXNode* root = top.Node();
    const char16_t* rootName = root->GetName();
    const char16_t* local = root->GetLocalName();
    if (Contains(rootName, u"DCD")) return kSchemaDcd;
    if (KTStrCmp(local, u"Schema") == 0) {
      for (KTXNode* c = root->GetFirstChild(); c; c = c->GetNextSibling()) {
        const char16_t* name = c->GetName();
        if (c->GetKind() == kAttribute && BeginsWith(name, u"xmlns")) {
          const char16_t* value = c->GetValue();
          if (Contains(value, u"xml-data")) return kSchemaXdrData;
          if (Contains(value, u"XMLSchema") || Contains(value, u"structures") || Contains(value, u"xmlschema")) {
            return report(kSchemaMixedVocabulary);
          }
        } else if (c->GetKind() == kElement) {
          if (Contains(name, u"ElementType") || Contains(name, u"AttributeType")) return kSchemaXdrData;
          for (const char16_t* word : {u"attributeGroup", u"group", u"notation", u"annotation", u"include",
                                       u"import", u"complexType", u"attrDecl", u"elementType", u"element"}) {
            if (Contains(name, word)) return report(kSchemaMixedVocabulary);
          }
        }
      }
      return kSchemaXdrData;
    }
    if (KTStrCmp(local, u"schema") == 0) {
      for (KTXNode* c = root->GetFirstChild(); c; c = c->GetNextSibling()) {
        const char16_t* name = c->GetName();
        if (c->GetKind() == kElement) {
          if (Contains(name, u"attrDecl") || Contains(name, u"elementType")) return report(kSchemaDraftVocabulary);
          if (Contains(name, u"ElementType") || Contains(name, u"AttributeType")) return report(kSchemaMixedVocabulary);
          for (const char16_t* word : {u"attributeGroup", u"group", u"notation", u"annotation", u"include",
                                       u"import", u"complexType", u"element"}) {
            if (Contains(name, word)) return kSchemaXsd;
          }
        } else if (c->GetKind() == kAttribute && BeginsWith(name, u"xmlns")) {
          const char16_t* value = c->GetValue();
          if (Contains(value, u"1999/XMLSchema")) return kSchemaXsd1999;
          if (Contains(value, u"2000/10/XMLSchema")) return kSchemaXsd2000;
          if (Contains(value, u"/XMLSchema")) return kSchemaXsd;
          if (Contains(value, u"xml-data")) return report(kSchemaMixedVocabulary);
        }
      }
    }
  }
  return kSchemaNone;
}

void SetSchemaPrefixEntities(KTSchemaModel& model, const KTString& prefix) {
  KTEntityDecl* p = model.DeclareParameterEntity(KTString(u"p"));
  p->value = prefix + u":";
  KTEntityDecl* s = model.DeclareParameterEntity(KTString(u"s"));
  s->value = u":" + prefix;
  for (KTEntityDecl* e : {p, s}) {
    e->predeclared = true;
    e->parameter = true;
    e->singleToken = true;
    e->trimmedValue = KTString();
  }
  model.SetTwoPassMode(true);
}

// ---- The model's schema load ----

bool KTSchemaModel::LoadSchema(KTXNode* documentRoot, bool searchFurther) {
  // The expansion budget is set by LoadReferencedSchema: the document is
  // sized only when its entities expand past the least budget.
  bool ok = LoadReferencedSchema(documentRoot, searchFurther);
  WarnAboutKeptProblem(documentRoot);
  return ok;
}

bool KTSchemaModel::LoadReferencedSchema(KTXNode* root, bool searchFurther) {
  std::vector<KTString> namespaces, locations;
  KTXNode* referenceNode = nullptr;
  int kind = FindSchemaReference(*this, root, referenceNode, namespaces, locations, false);
  SetExpansionBudgetWhenNeeded(root);
  schemaKind_ = kind;
  dtdElements_.clear();
  dtdAttlists_.clear();  // its views may name the attributes of the types just dropped
  if (kind == kSchemaNone) return ReportError(kSchemaNotFound, root, nullptr, KTString());
  if (kind == kSchemaDtd) {
    if (!LoadDtdPasses(root)) return false;
    if (!elements_.empty() && !searchFurther) return true;
    kind = FindSchemaReference(*this, root, referenceNode, namespaces, locations, true);
    if (kind == kSchemaNone) {
      schemaKind_ = kSchemaDtd;
      return true;
    }
    // The document names a schema too. The DTD's declarations stay in force
    // beside it (its defaults come first, and win where both give one), so
    // they are kept apart from the schema loader, which starts from a
    // cleared model.
    dtdElements_ = std::move(elements_);
    elements_.clear();
    noNamespaceElements_.clear();
    elementsByInternedName_.clear();
    EntitySet dtdSets[3] = {std::move(notations_), std::move(generalEntities_), std::move(parameterEntities_)};
    notations_.clear();
    generalEntities_.clear();
    parameterEntities_.clear();
    DeclarePredefinedEntities();
    bool ok = LoadNamedSchema(root, kind, referenceNode, namespaces, locations);
    // The DTD's entities and notations are back, the DTD's declaration
    // winning over one of the same name (the first declaration binds).
    EntitySet* sets[3] = {&notations_, &generalEntities_, &parameterEntities_};
    for (int i = 0; i < 3; ++i) {
      for (auto& [name, record] : dtdSets[i]) (*sets[i])[name] = std::move(record);
    }
    return ok;
  }
  return LoadNamedSchema(root, kind, referenceNode, namespaces, locations);
}

bool KTSchemaModel::LoadNamedSchema(KTXNode* root, int kind, KTXNode* referenceNode,
                                    const std::vector<KTString>& namespaces, const std::vector<KTString>& locations) {
  // The referenced schema document.
  KTString location = locations.empty() ? KTString() : locations[0];
  KTString firstNamespace = namespaces.empty() ? KTString() : namespaces[0];
  KTXNode* schemaDocument = nullptr;
  if (location == kSchemaSelfLocation) {
    schemaDocument = root;
    kind = kSchemaXsd;
  } else {
    if (!location.IsEmpty()) {
      // A DTD named where an XML Schema is expected is no XML document: it is
      // read with the DTD grammar, so that it reaches the DTD walker below.
      // A location named ".xsd", or one the manager holds already, is not
      // read twice to find out.
      bool mayBeDtd = false;
      if (kind == kSchemaXsd) {
        KTString extension = location.Right(4);
        const bool held = manager_ && manager_->FindByUrl(ResolveAgainstDocument(location, root).c_str());
        mayBeDtd = !held && !(extension.MakeLower() == u".xsd") && LooksLikeDtdText(*this, location, root);
      }
      const uint16_t grammar = mayBeDtd ? 1 : 0;
      schemaDocument = LoadExternalDocument(firstNamespace, location, root, grammar);
      if (!schemaDocument) {
        // Why it failed, for the warning that names the schema.
        NoteUnreadReason(location, DescribeLoadFailure(lastLoadFailure_, lastLoadUrl_));
        return ReportError(kSchemaLoadFailed, root, nullptr, location);
      }
    } else {
      if (firstNamespace.IsEmpty()) return ReportError(kSchemaNotFound, root, nullptr, KTString());
      if (KindOfXsdNamespace(firstNamespace) == kSchemaNone) return ReportError(kSchemaUnknownNamespace, root, nullptr, firstNamespace);
      schemaDocument = LoadExternalDocument(firstNamespace, KTString(), root, 0);
      if (!schemaDocument) return ReportError(kSchemaUnknownNamespace, root, nullptr, firstNamespace);
    }
    int classified = ClassifySchemaDocument(*this, schemaDocument);
    if (classified != kind) {
      if (kind == kSchemaXsd && (classified == kSchemaXsd1999 || classified == kSchemaXsd2000)) {
        kind = classified;
      } else if (kind == kSchemaXsd && classified == kSchemaDtd) {
        // A DTD written for schema documents builds its element names from
        // the referring document's own prefix.
        kind = kSchemaDtd;
        KTChildIterator it;
        root->FirstChildOfKind(it, kElement);
        KTString prefix = it.IsEnd() ? KTString() : KTString(it.Node()->GetName()).GetPrefix();
        if (!prefix.IsEmpty()) SetSchemaPrefixEntities(*this, prefix);
        dtdFromSchemaReference_ = true;
      } else {
        // The document is there but in another schema language: say which.
        KTString text = KTString(u"\"") + location + u"\" is " + SchemaLanguageName(classified) + u", where " +
                        SchemaLanguageName(kind) + u" is expected";
        return ReportError(kSchemaNotFound, schemaDocument, nullptr, text);
      }
    }
  }
  schemaKind_ = kind;

  bool ok = false;
  switch (kind) {
    case kSchemaDtd:
      ok = LoadDtdPasses(schemaDocument);
      break;
    case kSchemaDcd:
      ok = LoadDcdSchema(schemaDocument);
      break;
    case kSchemaXsd: {
      std::vector<KTXNode*> roots{schemaDocument};
      for (size_t i = 1; i < locations.size(); ++i) {
        KTString identifier = i < namespaces.size() ? namespaces[i] : KTString();
        if (KTXNode* more = LoadExternalDocument(identifier, locations[i], root, 0)) roots.push_back(more);
      }
      ok = LoadXsdSchema(roots);
      xsd_.xsdBinding = KTPrefixBinding{KTString(), KTNamespaceId::Intern(firstNamespace.c_str()), false};
      break;
    }
    case kSchemaXdr:
    case kSchemaXdrData:
      // The "x-schema:" namespace itself is the target namespace, so that
      // the document's elements (in that namespace) find their declarations.
      xsd_.targetBinding = KTPrefixBinding{KTString(), KTNamespaceId::Intern(XSchemaNamespace(referenceNode).c_str()),
                                           false};
      ok = LoadXdrSchema(schemaDocument);
      break;
    case kSchemaXsd1999:
    case kSchemaXsd2000: {
      // A draft of XML Schema is not read: say which one was found.
      const KTString& named = location.IsEmpty() ? firstNamespace : location;
      KTString text = KTString(u"\"") + named + u"\" is " + SchemaLanguageName(kind) + u", where " +
                      SchemaLanguageName(kSchemaXsd) + u" is expected";
      ok = ReportError(kind == kSchemaXsd1999 ? kSchemaXsd1999Draft : kSchemaXsd2000Draft, root, nullptr, text);
      break;
    }
    default:
      ok = ReportError(kSchemaNotFound, root, nullptr, KTString());
      break;
  }
  if (ok && referenceNode_) {
    namespaces_.Reset();
    namespaces_.AddDeclarations(referenceNode_, false);
  }
  return ok;
}

void KTSchemaModel::AddSchemaDocuments(const std::vector<KTXNode*>& roots) {
  if (!manager_) return;
  for (KTXNode* root : roots) {
    if (!root) continue;
    KTDocumentRecord* record = manager_->FindByDocument(DocumentRootOf(root));
    if (record && std::find(loadedDocuments_.begin(), loadedDocuments_.end(), record) == loadedDocuments_.end()) {
      loadedDocuments_.push_back(record);
    }
  }
}

void KTSchemaModel::WarnAboutKeptProblem(KTXNode* documentRoot) {
  switch (error_.id) {
    case kSchemaNotFound:
      // A schema in another language than its reference expects says so.
      if (!error_.contextText.IsEmpty()) break;
      return;
    case kSchemaNoError:
    case kSchemaNoElements:
    case kSchemaEmptyDoctype:
    case kSchemaCountsAsLoaded:
    case kSchemaUnknownNamespace:
      return;  // no fault of the document
    default:
      break;
  }
  if (!warningStream_) return;
  // A refused document is reported as such, not warned about.
  if (IsRefused()) return;
  if (schemaKind_ == kSchemaDtd) {
    WarnAboutDtdProblem(documentRoot);
    return;
  }
  KTString xsdWhere, xsdWhat;
  if (DescribeXsdProblem(xsdWhere, xsdWhat)) {
    // A problem in an XML Schema document is named by the schema file, line
    // and declaration, not by the instance that led to it.
    std::string line = "Warning: schema problem " + std::to_string(error_.id) + " in " +
                       ForMessage(xsdWhere) + ": " + ForMessage(xsdWhat) + "\n";
    std::fputs(line.c_str(), warningStream_);
    std::fflush(warningStream_);
    return;
  }
  KTString document = DocumentNameOf(documentRoot);
  auto unread = error_.id == kSchemaLoadFailed ? unreadReasons_.find(error_.contextText) : unreadReasons_.end();
  if (unread != unreadReasons_.end()) {
    // The schema its reference names could not be read, or is no XML.
    KTString text = u"could not read the schema \"" + error_.contextText + u"\" named in " + document + u": " +
                    unread->second;
    std::string line = "Warning: " + ForMessage(text) + " [" + std::to_string(error_.id) + "]\n";
    std::fputs(line.c_str(), warningStream_);
    std::fflush(warningStream_);
    return;
  }
  std::string line = "Warning: schema problem " + std::to_string(error_.id) + " in " + ForMessage(document);
  if (!error_.contextText.IsEmpty()) line += ": " + ForMessage(error_.contextText);
  line += "\n";
  std::fputs(line.c_str(), warningStream_);
  std::fflush(warningStream_);
}

KTString KTSchemaModel::DocumentNameOf(KTXNode* node) {
  if (manager_) {
    KTDocumentRecord* record = node ? manager_->FindByDocument(DocumentRootOf(node)) : nullptr;
    if (record && record->GetSource() && !record->GetSource()->GetUrl().IsEmpty()) {
      return record->GetSource()->GetUrl();
    }
    // A tree the manager does not hold (one built in memory) is named by the
    // first document the schema load read: the document itself when the
    // manager holds it, else the DTD or schema its declarations came from.
    for (KTDocumentRecord* loaded : loadedDocuments_) {
      if (loaded->GetSource() && !loaded->GetSource()->GetUrl().IsEmpty()) return loaded->GetSource()->GetUrl();
    }
  }
  return KTString(u"a document without a URL");
}

void KTSchemaModel::WarnAboutDeclaration(int id, KTXNode* node, const KTString& what) {
  ++reportsMade_;
  // Where the declaration is (file, line, column), what failed, the id.
  std::string line =
      "Warning: " + ForMessage(PlaceOf(node)) + ": " + ForMessage(what) + " [" + std::to_string(id) + "]\n";
  // A declaration read again from its expanded text warns once.
  if (declarationWarningLines_.insert(line).second) declarationWarnings_.push_back({id, std::move(line)});
}

void KTSchemaModel::WriteDeclarationWarnings() {
  if (warningStream_) {
    for (const DeclarationWarning& warning : declarationWarnings_) std::fputs(warning.line.c_str(), warningStream_);
    std::fflush(warningStream_);
  }
}
