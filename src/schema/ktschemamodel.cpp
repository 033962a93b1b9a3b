// The schema model: construction and passes, error recording, declaration
// lookups, fragment parsing and external documents, and the services the
// XPath tree context asks of it.
#include "schema/ktschemamodel.h"

#include <algorithm>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ktwchar.h"
#include "platform/ktworkcount.h"
#include "schema/ktdtdwalker.h"
#include "xml/ktdocloader.h"
#include "xml/ktdocmanager.h"
#include "xml/ktdocwellformed.h"
#include "xml/ktdocsource.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktparserdriver.h"
#include "xml/ktxdoctype.h"
#include "xml/ktxname.h"
#include "xml/ktxnode.h"
#include "xml/ktxpathtreecontext.h"

namespace {

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// TextDecl ::= '<?xml' VersionInfo? EncodingDecl S? '?>' (XML 1.0 §4.3.1):
// `end` becomes the place after it (0 when the text opens with none); false,
// with `fault` saying why and `end` where, for a declaration of another form.
bool SkipTextDeclaration(const KTString& text, int& end, KTString& fault) {
  end = 0;
  const int n = text.GetLength();
  if (KTStrNCmp(text.c_str(), u"<?xml", 5) != 0 || n < 6 || !IsSpace(text[5])) return true;
  int i = 5;
  auto skipSpace = [&] {
    int from = i;
    while (i < n && IsSpace(text[i])) ++i;
    return i > from;
  };
  auto keyword = [&](const char16_t* word) {
    int length = KTStrLen(word);
    if (i + length > n || KTStrNCmp(text.c_str() + i, word, length) != 0) return false;
    i += length;
    return true;
  };
  // Eq and a quoted value whose characters `allowed` accepts; the value's
  // first character is checked by `first`.
  auto quoted = [&](bool (*first)(char16_t), bool (*rest)(char16_t), KTString& value) {
    skipSpace();
    if (i >= n || text[i] != u'=') return false;
    ++i;
    skipSpace();
    if (i >= n || (text[i] != u'"' && text[i] != u'\'')) return false;
    char16_t quote = text[i++];
    int start = i;
    while (i < n && text[i] != quote) {
      if (!(i == start ? first(text[i]) : rest(text[i]))) return false;
      ++i;
    }
    if (i >= n || i == start) return false;
    value = text.Mid(start, i - start);
    ++i;
    return true;
  };
  auto isDigit = [](char16_t c) { return c >= u'0' && c <= u'9'; };
  auto isLetter = [](char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); };
  auto isEncChar = [](char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'.' ||
           c == u'_' || c == u'-';
  };
  auto isVersionChar = [](char16_t c) { return (c >= u'0' && c <= u'9') || c == u'.'; };
  KTString value;
  skipSpace();
  bool spaced = true;
  if (keyword(u"version")) {
    if (!quoted(isDigit, isVersionChar, value) || KTStrNCmp(value.c_str(), u"1.", 2) != 0 || value.GetLength() < 3 ||
        value.Find(u'.', 2) >= 0) {
      fault = KTString(u"the text declaration has a malformed version");
      end = i;
      return false;
    }
    spaced = skipSpace();
  }
  if (!keyword(u"encoding")) {
    fault = KTString(u"a text declaration must name the encoding (XML 1.0 §4.3.1)");
    end = i;
    return false;
  }
  if (!spaced) {
    fault = KTString(u"the text declaration needs a blank before its encoding");
    end = i;
    return false;
  }
  if (!quoted(isLetter, isEncChar, value)) {
    fault = KTString(u"the text declaration has a malformed encoding name");
    end = i;
    return false;
  }
  skipSpace();
  if (!keyword(u"?>")) {
    fault = KTString(u"the text declaration holds more than a version and an encoding, or does not end with '?>'");
    end = i;
    return false;
  }
  end = i;
  return true;
}

KTXNode* Topmost(KTXNode* node) {
  while (node && node->GetParent()) node = node->GetParent();
  return node;
}


// Whether sibling `a` stands before sibling `b`. Both walk forward in
// step, so the cost is the distance between them or from the later one to
// the end, never the whole child list: problems reported in document order
// under one parent cost linear time in all. The steps go to KTWorkCount.
bool SiblingBefore(KTXNode* a, KTXNode* b) {
  KTXNode* fromA = a;
  KTXNode* fromB = b;
  uint64_t steps = 1;
  bool before;
  for (;; ++steps) {
    fromA = fromA->GetNextSibling();
    if (fromA == b || !fromA) {
      before = fromA == b;
      break;
    }
    fromB = fromB->GetNextSibling();
    if (fromB == a || !fromB) {
      before = !fromB;
      break;
    }
  }
  KTWorkCount::Add(steps);
  return before;
}

}  // namespace

const KTXNode* NextMadeInSubtree(const KTXNode* node, const KTXNode* root) {
  if (const KTXNode* first = node->GetFirstMadeChild()) return first;
  for (const KTXNode* n = node; n && n != root; n = n->GetParent()) {
    if (const KTXNode* next = n->GetNextSibling()) return next;
  }
  return nullptr;
}

KTSchemaModel::KTSchemaModel(KTDocumentManager* manager, KTXNode* internalSubset,
                             const KTSchemaModelSettings& settings)
    : defaultSecondTypeId_(settings.defaultSecondTypeId),
      strict_(settings.strict),
      flag_(settings.flag),
      optionA_(settings.optionA),
      optionB_(settings.optionB),
      word_(settings.word),
      manager_(manager) {
  Reset();
  if (internalSubset) ParseExtSubsetDecl(internalSubset, true, false);
}

KTSchemaModel::~KTSchemaModel() {
  // Element types point at one another through particles: drop them all
  // before anything they point at.
  elements_.clear();
  noNamespaceElements_.clear();
  elementsByInternedName_.clear();
  dtdAttlists_.clear();
  groups_.clear();
  attributeGroups_.clear();
  complexTypes_.clear();
  simpleTypes_.clear();
}

void KTSchemaModel::Reset() {
  currentPass_ = 1;
  lastPassAllowed_ = 1;
  anotherPass_ = false;
  referenceName_ = KTString();
  referenceNode_ = nullptr;
  doctypeSeen_ = false;
  doctypeName_ = KTString();
  dtdFromSchemaReference_ = false;
  for (EntitySet* set : {&notations_, &generalEntities_, &parameterEntities_}) {
    for (auto& [name, record] : *set) {
      record->DropParsedValue();
      record->declaredThisPass = false;
    }
  }
  ResetErrorBlock();
  Clear();
  dtdElements_.clear();
}

void KTSchemaModel::Clear() {
  schemaKind_ = kSchemaNone;
  twoPassMode_ = false;
  namespaces_.Reset();
  elements_.clear();
  noNamespaceElements_.clear();
  elementsByInternedName_.clear();
  dtdAttlists_.clear();
  idAttributes_.clear();
  tokenizedAttributes_.clear();
  groups_.clear();
  attributeGroups_.clear();
  complexTypes_.clear();
  simpleTypes_.clear();
  globalAttributes_.clear();
  globalAttributeIndex_.clear();
  identityConstraints_.clear();
  xsd_ = KTXsdLoadState();
  if (currentPass_ == 1) {
    notations_.clear();
    generalEntities_.clear();
    parameterEntities_.clear();
    DeclarePredefinedEntities();
  }
  treeContext_.reset();
  loadedDocuments_.clear();
}

KTXPathTreeContext* KTSchemaModel::GetTreeContext() const {
  if (!treeContext_) treeContext_ = std::make_unique<KTXPathTreeContext>();
  return treeContext_.get();
}

void KTSchemaModel::DeclarePredefinedEntities() {
  // "lt" and "amp" expand to character references, so that the expanded
  // text never holds markup that was written as data (XML 1.0 §4.6).
  static const struct {
    const char16_t* name;
    const char16_t* value;
  } kPredefined[] = {{u"lt", u"&#60;"}, {u"gt", u">"}, {u"amp", u"&#38;"}, {u"apos", u"'"}, {u"quot", u"\""}};
  for (const auto& e : kPredefined) {
    KTEntityDecl* record = DeclareGeneralEntity(KTString(e.name));
    record->value = e.value;
    record->singleToken = true;
  }
}

void KTSchemaModel::RequestAnotherPass() {
  if (currentPass_ > 1) return;
  anotherPass_ = true;
  lastPassAllowed_ = static_cast<int16_t>(currentPass_ + 1);
}

int64_t KTSchemaModel::TextSizeOf(const KTXNode* node) {
  // The nodes that stand, and the pending attributes of each element read
  // in place: the count is the same as over the attribute nodes, which this
  // walk, run on every document loaded, does not make.
  int64_t size = 0;
  for (const KTXNode* n = node; n; n = NextMadeInSubtree(n, node)) {
    size += n->GetNameLength() + n->GetValueLength();
    if (n->GetKind() != kElement) continue;
    if (const KTXCompactAttributes* pending = static_cast<const KTXContainerNode*>(n)->GetPendingAttributes()) {
      for (const KTXCompactAttribute& a : *pending) size += a.name.GetLength() + a.value.GetLength();
    }
  }
  return size;
}

void KTSchemaModel::SetExpansionBudget(int64_t documentTextSize) {
  expansionBudget_ = std::max<int64_t>(kMaxEntityExpansionChars, documentTextSize * kExpansionPerDocumentFactor);
  expandedChars_ = 0;
  budgetDocument_ = nullptr;
}

void KTSchemaModel::SetExpansionBudgetWhenNeeded(const KTXNode* documentRoot) {
  expansionBudget_ = kMaxEntityExpansionChars;
  expandedChars_ = 0;
  budgetDocument_ = documentRoot;
}

bool KTSchemaModel::HasExpansionRoom(int64_t more) {
  if (expandedChars_ + more <= expansionBudget_) return true;
  if (const KTXNode* root = budgetDocument_) {
    // Past the least budget: now the document's size tells its own.
    budgetDocument_ = nullptr;
    expansionBudget_ = std::max<int64_t>(kMaxEntityExpansionChars, TextSizeOf(root) * kExpansionPerDocumentFactor);
  }
  return expandedChars_ + more <= expansionBudget_;
}

// ---- Error recording ----

bool KTSchemaModel::ReportError(int id, KTXNode* node, const KTElementType* declaration,
                                const KTString& contextText, const KTSchemaErrorDetail& detail) {
  ++reportsMade_;
  if (id == kSchemaUnsupported && !strict_) return true;
  std::vector<KTXNode*> path;
  if (node) {
    for (KTXNode* n = node; n; n = ParentOf(n)) path.push_back(n);
  }
  bool record = true;
  if (error_.node) {
    const std::vector<KTXNode*>& kept = error_.ancestorPath;
    if (error_.id < kSchemaSeverityBoundary && id > kSchemaSeverityBoundary) {
      record = false;
    } else if (!node) {
      record = false;
    } else if (kept.empty()) {
      record = true;
    } else if (kept.back() != path.back()) {
      record = true;  // different documents
    } else {
      // Walk both paths down from the common top.
      size_t i = kept.size(), j = path.size();
      while (i > 0 && j > 0 && kept[i - 1] == path[j - 1]) {
        --i;
        --j;
      }
      if (i == 0 && j > 0) {
        record = true;  // the new node lies inside the kept node
      } else if (j == 0) {
        record = false;  // the same node, or an ancestor of it
      } else {
        // The paths part below a common ancestor: the later branch wins.
        record = SiblingBefore(kept[i - 1], path[j - 1]);
      }
    }
  } else {
    record = error_.declaration == nullptr;
  }
  if (!record) return false;
  error_.id = id;
  error_.node = node;
  error_.declaration = declaration;
  error_.firstWord = detail.firstWord;
  error_.secondWord = detail.secondWord;
  error_.position = detail.position;
  if (!contextText.IsEmpty()) {
    error_.contextText = contextText;
  } else if (declaration) {
    error_.contextText = declaration->GetName().localName;
  } else {
    error_.contextText = KTString();
  }
  error_.ancestorPath = std::move(path);
  return false;
}

// ---- Declarations ----

KTElementType* KTSchemaModel::DeclareElement(const KTQName& name) {
  if (schemaKind_ == kSchemaDtd && name.ns != KTNamespaceId::None()) {
    return DeclareElement(KTQName(name.localName, KTNamespaceId::None()));
  }
  auto it = elements_.find(name);
  if (it == elements_.end()) {
    it = elements_.emplace(name, std::make_unique<KTElementType>(name, this, nullptr)).first;
    if (it->first.ns == KTNamespaceId::None()) noNamespaceElements_.emplace(it->first.localName.View(), it->second.get());
  }
  return it->second.get();
}

KTElementType* KTSchemaModel::DeclareDtdElement(const char16_t* name) {
  auto it = noNamespaceElements_.find(std::u16string_view(name ? name : u""));
  if (it != noNamespaceElements_.end()) return it->second;
  return DeclareElement(KTQName(name, KTNamespaceId::None()));
}

KTElementType* KTSchemaModel::DeclareDtdElementNamed(const KTXName& name) {
  const KTString* key = &name.Str();
  auto known = elementsByInternedName_.find(key);
  if (known != elementsByInternedName_.end()) return known->second.second;
  KTElementType* type = DeclareDtdElement(name.c_str());
  elementsByInternedName_.emplace(key, std::make_pair(name, type));
  return type;
}

size_t KTSchemaModel::DtdNameSet::Hash(std::u16string_view name) {
  // FNV-1a over the code units, its high bits spread over the low ones the
  // table's mask keeps.
  uint64_t h = 14695981039346656037ull;
  for (char16_t c : name) h = (h ^ c) * 1099511628211ull;
  return static_cast<size_t>(h ^ (h >> 29));
}

std::pair<std::u16string_view*, bool> KTSchemaModel::DtdNameSet::Insert(std::u16string_view name) {
  // Grown to twice the size before it is half full, every name placed
  // again: linear in all.
  if (2 * (count_ + 1) > slots_.size()) {
    std::vector<std::u16string_view> old(std::max<size_t>(16, 2 * slots_.size()));
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (std::u16string_view kept : old) {
      if (kept.data() == nullptr) continue;
      size_t at = Hash(kept) & mask;
      while (slots_[at].data() != nullptr) at = (at + 1) & mask;
      slots_[at] = kept;
    }
  }
  const size_t mask = slots_.size() - 1;
  size_t at = Hash(name) & mask;
  for (; slots_[at].data() != nullptr; at = (at + 1) & mask) {
    if (slots_[at] == name) return {&slots_[at], false};
  }
  // A name's view is never null: an empty name views its string's buffer.
  slots_[at] = name.data() ? name : std::u16string_view(u"", 0);
  ++count_;
  return {&slots_[at], true};
}

KTSchemaModel::DtdAttlistIndex& KTSchemaModel::DtdAttlistOf(KTElementType* type) {
  auto [it, added] = dtdAttlists_.try_emplace(type);
  if (added) {
    for (const KTAttributeDecl& a : type->GetAttributeList()) {
      it->second.names.Insert(a.name.localName.View());
      if (a.id && it->second.idName.IsEmpty()) it->second.idName = a.name.localName;
    }
  }
  return it->second;
}

KTElementType* KTSchemaModel::FindDtdElementBesideSchema(const char16_t* nameAsWritten) {
  if (dtdElements_.empty()) return nullptr;
  // One name object for every lookup: its buffer is kept.
  dtdLookupName_.localName = nameAsWritten;
  dtdLookupName_.ns = KTNamespaceId::None();
  auto it = dtdElements_.find(dtdLookupName_);
  return it == dtdElements_.end() ? nullptr : it->second.get();
}

KTElementType* KTSchemaModel::FindElement(const KTQName& name) {
  if (schemaKind_ == kSchemaDtd || name.ns == KTNamespaceId::None()) {
    auto known = noNamespaceElements_.find(name.localName.View());
    return known == noNamespaceElements_.end() ? nullptr : known->second;
  }
  auto it = FindElementPosition(name);
  return it == elements_.end() ? nullptr : it->second.get();
}

KTSchemaModel::ElementSet::iterator KTSchemaModel::FindElementPosition(const KTQName& name) {
  if (schemaKind_ == kSchemaDtd) return elements_.find(KTQName(name.localName, KTNamespaceId::None()));
  return elements_.find(name);
}

namespace {
// One search of the set: a new record goes where the search ended.
KTEntityDecl* DeclareIn(KTSchemaModel::EntitySet& set, const KTString& name, bool* added = nullptr) {
  auto [it, missing] = set.try_emplace(name);
  if (missing) {
    try {
      it->second = std::make_unique<KTEntityDecl>(name);
    } catch (...) {
      set.erase(it);  // no name without its record
      throw;
    }
  }
  if (added) *added = missing;
  return it->second.get();
}
template <typename Name>
KTEntityDecl* FindIn(KTSchemaModel::EntitySet& set, const Name& name) {
  auto it = set.find(name);
  return it == set.end() ? nullptr : it->second.get();
}
}  // namespace

KTSchemaModel::OrderedEntities KTSchemaModel::InNameOrder(const EntitySet& set) {
  OrderedEntities ordered;
  for (const auto& [name, record] : set) ordered.emplace(name, record.get());
  return ordered;
}

const KTAttributeDecl* KTSchemaModel::FindGlobalAttribute(const KTQName& name) const {
  auto it = globalAttributeIndex_.find(name);
  return it == globalAttributeIndex_.end() ? nullptr : &globalAttributes_[it->second.first];
}

void KTSchemaModel::AddGlobalAttribute(const KTAttributeDecl& decl) {
  auto it = globalAttributeIndex_.find(decl.name);
  if (it == globalAttributeIndex_.end()) {
    globalAttributeIndex_.emplace(decl.name, std::make_pair(globalAttributes_.size(), static_cast<int>(currentPass_)));
    globalAttributes_.push_back(decl);
  } else if (it->second.second != currentPass_) {
    globalAttributes_[it->second.first] = decl;
    it->second.second = currentPass_;
  }
}

KTEntityDecl* KTSchemaModel::DeclareNotation(const KTString& name) { return DeclareIn(notations_, name); }
KTEntityDecl* KTSchemaModel::FindNotation(const KTString& name) { return FindIn(notations_, name); }
KTEntityDecl* KTSchemaModel::DeclareGeneralEntity(const KTString& name) { return DeclareIn(generalEntities_, name); }
KTEntityDecl* KTSchemaModel::FindGeneralEntity(const KTString& name) { return FindIn(generalEntities_, name); }
KTEntityDecl* KTSchemaModel::DeclareParameterEntity(const KTString& name) {
  return DeclareIn(parameterEntities_, name);
}
KTEntityDecl* KTSchemaModel::FindParameterEntity(const KTString& name) { return FindIn(parameterEntities_, name); }
KTEntityDecl* KTSchemaModel::FindOrDeclareEntity(const KTString& name, bool parameter, bool& added) {
  return DeclareIn(parameter ? parameterEntities_ : generalEntities_, name, &added);
}
KTEntityDecl* KTSchemaModel::FindEntity(std::u16string_view name, bool parameter) {
  return FindIn(parameter ? parameterEntities_ : generalEntities_, name);
}

// ---- Documents ----

KTXNode* KTSchemaModel::AdoptFragment(std::unique_ptr<KTXNode> fragment, KTXNode* parent) {
  KTXNode* root = fragment.get();
  if (!root) return nullptr;
  fragmentParents_[root] = parent;
  fragmentRoots_.push_back(std::move(fragment));
  return root;
}

KTXNode* KTSchemaModel::FindReadContentModel(const KTString& expanded, size_t key, KTXNode* node) {
  for (auto [it, end] = readContentModels_.equal_range(key); it != end; ++it) {
    if (!(it->second.first == expanded)) continue;
    const ReadContentModel& kept = it->second.second;
    if (kept.grammar != GrammarOfDocument(node) || dtdVisits_ + kept.nodes > kMaxDtdVisits) return nullptr;
    return kept.root;
  }
  return nullptr;
}

void KTSchemaModel::KeepReadContentModel(const KTString& expanded, size_t key, KTXNode* root) {
  // The first tree kept for a text stays.
  for (auto [it, end] = readContentModels_.equal_range(key); it != end; ++it) {
    if (it->second.first == expanded) return;
  }
  ReadContentModel kept;
  kept.root = root;
  kept.grammar = GrammarOfDocument(root);
  // Every node counts, an upper bound on the visits a reading makes.
  std::vector<const KTXNode*> work{root};
  while (!work.empty()) {
    const KTXNode* at = work.back();
    work.pop_back();
    ++kept.nodes;
    for (const KTXNode* child = at->GetFirstChild(); child; child = child->GetNextSibling()) work.push_back(child);
  }
  readContentModels_.emplace(key, std::make_pair(expanded, kept));
}

KTXNode* KTSchemaModel::ParentOf(const KTXNode* node) const {
  if (!node) return nullptr;
  if (KTXNode* parent = node->GetParent()) return parent;
  auto it = fragmentParents_.find(node);
  return it == fragmentParents_.end() ? nullptr : it->second;
}

KTXNode* KTSchemaModel::DocumentRootOf(KTXNode* node) const {
  while (KTXNode* parent = ParentOf(node)) node = parent;
  return node;
}

bool KTSchemaModel::IsActive(const void* entity) const {
  // The stack is at most kMaxDtdNesting deep.
  return std::find(active_.begin(), active_.end(), entity) != active_.end();
}

const KTGrammarEntry* KTSchemaModel::GrammarOfDocument(KTXNode* contextNode) {
  KTXNode* root = Topmost(contextNode);
  // Only fragment holders (elements without a parent) are entered in
  // fragmentGrammars_, and an entry outlives its holder (an entity's tree
  // is dropped between passes): a document loaded later may stand at that
  // address, and must not be read in the grammar of the dropped fragment.
  if (root && root->GetKind() == kElement) {
    auto known = fragmentGrammars_.find(root);
    if (known != fragmentGrammars_.end()) return known->second;
  }
  root = DocumentRootOf(contextNode);
  if (!manager_ || !manager_->GetGrammarCache()) return nullptr;
  KTDocumentRecord* record = manager_->FindByDocument(root);
  if (!record) return nullptr;
  return manager_->GetGrammarCache()->FindGrammar(record->GetGrammarId());
}

std::unique_ptr<KTXNode> KTSchemaModel::ParseFragment(const char16_t* text, const char16_t* startRule,
                                                      KTXNode* contextNode) {
  if (!manager_ || !contextNode || !text) return nullptr;
  return ParseFragmentOfLength(text, static_cast<int>(KTStrLen(text)), startRule, contextNode);
}

KTParserDriver* KTSchemaModel::FragmentDriver(const KTGrammarEntry* entry, std::unique_ptr<KTParserDriver>& own) {
  if (keepFragmentDrivers_) {
    auto kept = fragmentDrivers_.find(entry);
    if (kept != fragmentDrivers_.end()) return kept->second.get();
  }
  own = std::make_unique<KTParserDriver>();
  if (!own->Init(entry, true, true, true)) return nullptr;
  KTParserDriver* driver = own.get();
  if (keepFragmentDrivers_) fragmentDrivers_.emplace(entry, std::move(own));
  return driver;
}

std::unique_ptr<KTXNode> KTSchemaModel::ParseFragmentOfLength(const char16_t* text, int length,
                                                              const char16_t* startRule, KTXNode* contextNode) {
  if (!manager_ || !contextNode || !text) return nullptr;
  const KTGrammarEntry* entry = GrammarOfDocument(contextNode);
  if (!entry) return nullptr;
  std::unique_ptr<KTParserDriver> own;
  KTParserDriver* driver = FragmentDriver(entry, own);
  if (!driver) return nullptr;
  std::unique_ptr<KTXNode> holder = CreateXNode(kElement);
  KTXNode* target = holder.get();
  KTString rule(startRule);
  if (rule == u"attlistText") {
    target = holder->AppendChild(CreateXNode(kDoctypeAttlist));
  } else if (rule == u"elementSpecFormatted" || rule == u"elementMixedI" || rule == u"elementChoiceI" ||
             rule == u"elementSeqI") {
    auto element = CreateXNode(kDoctypeElement);
    if (rule == u"elementMixedI") static_cast<KTDoctypeElementNode*>(element.get())->SetContentType(kContentMixed);
    target = holder->AppendChild(std::move(element));
  }
  KTLoadStatus status;
  if (!driver->Parse(text, length, status, target, startRule, false)) return nullptr;
  fragmentGrammars_[holder.get()] = entry;
  return holder;
}

KTXNode* KTSchemaModel::LoadExternalDocument(const KTString& identifier, const KTString& url, KTXNode* contextNode,
                                             uint16_t grammarKind) {
  if (!manager_) return nullptr;
  KTString resolved = ResolveAgainstDocument(url, contextNode);
  KTDocumentRecord* record = nullptr;
  if (!identifier.IsEmpty()) record = manager_->FindByIdentifiers(resolved, identifier, nullptr);
  KTXNode* document = record ? record->GetDocument() : nullptr;
  if (!document) {
    int grammarId = grammarKind == 0   ? KTGrammarCache::kXml
                    : grammarKind == 1 ? KTGrammarCache::kDtd
                    : grammarKind == 2 ? KTGrammarCache::kEntity
                                       : kNoGrammarId;
    KTLoadStatus status;
    document = manager_->LoadDocument(resolved, status, nullptr, nullptr, nullptr, grammarId);
    // Memory that ran out is not a problem of the schema: it ends the run as
    // such instead of becoming a warning about the document.
    if (status.IsNoMemory()) throw std::bad_alloc();
    if (!document || status.HasError()) {
      lastLoadFailure_ = status;
      if (!status.HasError()) {
        lastLoadFailure_.SetError(KTLoadStatus::kLoader, KTLoadStatus::kNoDocument);
        lastLoadFailure_.SetMessage(KTString(u"No document came out of it"));
      }
      lastLoadUrl_ = resolved;
      return nullptr;
    }
    record = manager_->FindByDocument(document);
  }
  if (record && std::find(loadedDocuments_.begin(), loadedDocuments_.end(), record) == loadedDocuments_.end()) {
    loadedDocuments_.push_back(record);
  }
  return document;
}

namespace {

// The URL with the "." and ".." segments of its path taken out (RFC 3986,
// 5.2.4), so that "dir/../b.xsd" and "b.xsd" name one document. A ".." that
// would climb above the start of a relative path is kept. The scheme, the
// authority, the query and the fragment are left as they are.
KTString WithoutDotSegments(const KTString& url) {
  const std::u16string_view text = url.View();
  size_t start = 0;
  const size_t scheme = text.find(u"://");
  if (scheme != std::u16string_view::npos) {
    start = text.find(u'/', scheme + 3);
    if (start == std::u16string_view::npos) return url;
  } else if (text.size() >= 3 && text[1] == u':' && text[2] == u'/') {
    start = 2;  // a drive letter
  }
  size_t end = text.find_first_of(u"?#", start);
  if (end == std::u16string_view::npos) end = text.size();
  const std::u16string_view path = text.substr(start, end - start);
  if (path.find(u'.') == std::u16string_view::npos) return url;

  const bool rooted = !path.empty() && path[0] == u'/';
  std::vector<std::u16string_view> kept;
  bool trailingSlash = false;
  for (size_t at = rooted ? 1 : 0; at <= path.size();) {
    size_t slash = path.find(u'/', at);
    if (slash == std::u16string_view::npos) slash = path.size();
    const std::u16string_view segment = path.substr(at, slash - at);
    const bool last = slash == path.size();
    trailingSlash = false;
    if (segment == u".") {
      trailingSlash = true;
    } else if (segment == u"..") {
      if (!kept.empty() && kept.back() != u"..") {
        kept.pop_back();
      } else if (!rooted) {
        kept.push_back(segment);
      }
      trailingSlash = true;
    } else if (!(segment.empty() && last)) {
      kept.push_back(segment);
    }
    if (last && segment.empty() && at > 0) trailingSlash = true;
    at = slash + 1;
  }
  std::u16string out(text.substr(0, start));
  if (rooted) out += u'/';
  for (size_t i = 0; i < kept.size(); ++i) {
    if (i > 0) out += u'/';
    out += kept[i];
  }
  if (trailingSlash && !kept.empty()) out += u'/';
  out += text.substr(end);
  return KTString(std::u16string_view(out));
}

}  // namespace

KTString KTSchemaModel::ResolveAgainstDocument(const KTString& url, KTXNode* contextNode) {
  if (!manager_ || !url.IsRelativePath(false) || !contextNode) return WithoutDotSegments(url);
  KTDocumentRecord* base = manager_->FindByDocument(DocumentRootOf(contextNode));
  return WithoutDotSegments(base && base->GetSource() ? url.MakeAbsolute(base->GetSource()->GetUrl(), u"") : url);
}

bool KTSchemaModel::ReadExternalText(const KTString& systemId, KTXNode* contextNode, KTString& text, KTString* why,
                                     bool* notWellFormed) {
  if (notWellFormed) *notWellFormed = false;
  if (!manager_ || systemId.IsEmpty()) return false;
  KTString resolved = ResolveAgainstDocument(systemId, contextNode);
  std::unique_ptr<KTDocumentLoader> loader = manager_->NewLoader();
  KTLoadStatus status;
  text = loader->ReadText(resolved.c_str(), status, nullptr);
  if (status.IsNoMemory()) throw std::bad_alloc();
  // Characters XML does not allow are refused, as in every loaded document.
  if (!status.HasError()) KTCheckDocumentCharacters(text.c_str(), text.GetLength(), status);
  if (status.HasError()) {
    if (why) *why = DescribeLoadFailure(status, resolved);
    if (notWellFormed) *notWellFormed = IsNotWellFormed(status);
    return false;
  }
  // The text declaration is no part of the replacement text (XML 1.0 §4.3.1).
  int end = 0;
  KTString fault;
  if (!SkipTextDeclaration(text, end, fault)) {
    if (why) *why = resolved + LineAndColumn(KTLineMap(text.View()), end) + u": " + fault;
    if (notWellFormed) *notWellFormed = true;
    return false;
  }
  if (end > 0) text = text.Mid(end);
  text.NormalizeLineEnds(u"\n");  // XML 1.0 §2.11
  return true;
}

bool KTSchemaModel::IsNotWellFormed(const KTLoadStatus& status) {
  // A file or URL that could not be read fails in the file or loader
  // category; decoding and the parse fail on what was read.
  return status.GetCategory() == KTLoadStatus::kParse || status.GetCategory() == KTLoadStatus::kEncoding;
}

KTString KTSchemaModel::DescribeLoadFailure(const KTLoadStatus& status, const KTString& url) {
  KTString message = status.GetMessage();
  if (message.IsEmpty()) message = KTString(u"it could not be loaded");
  // The text follows a comma or a colon: "No such file or directory" reads
  // on in lower case (an acronym such as "URL" stays).
  if (message[0] >= u'A' && message[0] <= u'Z' && !(message.GetLength() > 1 && message[1] >= u'A' && message[1] <= u'Z'))
    message = KTString(static_cast<char16_t>(message[0] - u'A' + u'a')) + message.Mid(1);
  return IsNotWellFormed(status) ? url + u", " + message : message;
}

KTXNode* KTSchemaModel::LoadExternalSubset(const KTString& keyword, const KTString& idText, KTXNode* contextNode,
                                           bool dtdGrammar, KTString* systemIdOut, bool report) {
  int position = 0;
  KTString first = idText.Tokenize(u" \t\r\n", position, u"'\"");
  KTString publicId, systemId;
  auto unquote = [](const KTString& s) { return s.GetLength() >= 2 ? s.Mid(1, s.GetLength() - 2) : KTString(); };
  if (keyword == u"SYSTEM") {
    systemId = unquote(first);
  } else {
    publicId = unquote(first);
    systemId = unquote(idText.Tokenize(u" \t\r\n", position, u"'\""));
  }
  KTXNode* root = LoadExternalDocument(publicId, systemId, contextNode, dtdGrammar ? 1 : 2);
  if (systemIdOut) *systemIdOut = systemId;
  if (!root && report) ReportError(kSchemaLoadFailed, contextNode, nullptr, systemId);
  return root;
}

// ---- The tree context's view ----

bool KTSchemaModel::ExpandContentReferences(KTXNode* node, const char16_t* text, KTString& out) {
  return ExpandEntityReferences(node, text, out, false, false, false);
}

KTElementType* KTSchemaModel::FindChildElementDecl(KTElementType* parent, const KTQName& name) {
  // DTD declarations are global: a child has its declaration whatever its
  // parent's content model says.
  if (schemaKind_ == kSchemaDtd) return FindElement(name);
  if (!parent) return nullptr;
  if (KTElementType* found = parent->FindChildElementDecl(name)) return found;
  // An element declared without a type (anyType) takes any child, and so
  // does a content model with an element wildcard; XML Schema's anyType
  // wildcard is lax, so a child that has a global declaration is given it
  // (unless the wildcard says skip; its namespace list is not consulted).
  if (schemaKind_ != kSchemaXsd) return nullptr;
  if (parent->IsAny() || HasElementWildcard(parent)) return FindElement(name);
  return nullptr;
}

bool KTSchemaModel::HasElementWildcard(KTElementType* type) {
  std::vector<KTElementType*> work{type};
  std::set<const KTElementType*> visited{type};
  while (!work.empty()) {
    KTElementType* t = work.back();
    work.pop_back();
    for (KTParticle& p : t->GetEffectiveParticles()) {
      KTElementType* child = p.child;
      if (!child->IsGroup()) continue;
      if (child->IsAny() && child->elementWildcardProcess_ != 1) return true;
      if (visited.insert(child).second) work.push_back(child);
    }
  }
  return false;
}

bool KTSchemaModel::CollectDefaults(KTElementType* declaration, std::vector<KTDefaultAttribute>& attributes,
                                    KTString& text, bool& hasText) {
  attributes.clear();
  hasText = false;
  if (!declaration) return false;
  std::vector<KTAttributeDecl*> decls;
  const KTString* defaultText = nullptr;
  if (!declaration->CollectDefaultAttributes(decls, defaultText)) return false;
  for (const KTAttributeDecl* d : decls) attributes.push_back({d->name, d->defaultText});
  if (defaultText) {
    text = *defaultText;
    hasText = true;
  }
  return true;
}

bool KTSchemaModel::IsIdAttribute(KTElementType* declaration, const KTQName& attributeName) {
  if (!declaration) return false;
  auto [entry, added] = idAttributes_.try_emplace(declaration, nullptr);
  if (added) {
    for (const KTAttributeDecl& a : declaration->GetAttributeList()) {
      if (a.id) {
        entry->second = &a;
        break;
      }
    }
  }
  return entry->second && QNameEqual(entry->second->name, attributeName);
}

bool KTSchemaModel::IsTokenizedAttribute(KTElementType* declaration, const KTQName& attributeName) {
  // Only DTD types have this normalisation; an XML Schema type's white-space
  // facet is another matter.
  if (!declaration || schemaKind_ != kSchemaDtd) return false;
  auto [entry, added] = tokenizedAttributes_.try_emplace(declaration);
  if (added) {
    for (const KTAttributeDecl& a : declaration->GetAttributeList()) {
      if (a.IsTokenized()) entry->second.insert(a.name.localName);
    }
  }
  return !entry->second.empty() && entry->second.count(attributeName.localName) != 0;
}

bool KTSchemaModel::ReportViewProblem(int messageId, KTXNode* node, const KTString& contextText) {
  if (messageId == kSchemaExpansionFailed) NoteExpansionStopped(contextText);
  return ReportError(messageId, node, nullptr, contextText);
}

void KTSchemaModel::NoteExpansionStopped(const KTString& why) {
  if (expansionStopped_.IsEmpty()) expansionStopped_ = why.IsEmpty() ? KTString(u"entity not expanded") : why;
}

bool KTSchemaModel::ExpansionStopped(KTString& why) const {
  if (expansionStopped_.IsEmpty()) return false;
  why = expansionStopped_;
  return true;
}
