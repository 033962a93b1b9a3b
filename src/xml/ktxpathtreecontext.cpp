// Wrapping document trees as XPath views: numbering, namespace resolution,
// entity expansion with fragment splicing, schema defaults, and the
// namespace-scope cache.
#include "xml/ktxpathtreecontext.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/ktwchar.h"
#include "platform/ktworkcount.h"
#include "xml/ktnamespace.h"
#include "xml/ktschemaservices.h"
#include "xml/ktxnode.h"

namespace {

// Process-wide: every wrapped document gets the next number, so nodes of
// different documents order by the order in which they were wrapped.
int32_t gDocumentCounter = 0;

// The next node after `node` in document order within the subtree of `root`.
KTXNode* NextInSubtree(KTXNode* node, const KTXNode* root) {
  if (KTXNode* first = node->GetFirstChild()) return first;
  for (KTXNode* n = node; n && n != root; n = n->GetParent()) {
    if (KTXNode* next = n->GetNextSibling()) return next;
  }
  return nullptr;
}

// Splits a qualified name at the first ':'.
const char16_t* LocalPart(const char16_t* name) {
  const char16_t* colon = KTStrChr(name, u':');
  return colon ? colon + 1 : name;
}

std::u16string_view PrefixPart(const char16_t* name) {
  const char16_t* colon = KTStrChr(name, u':');
  return colon ? std::u16string_view(name, colon - name) : std::u16string_view();
}

bool IsDefaultDeclarationName(const char16_t* name) { return KTStrCmp(name, u"xmlns") == 0; }
bool IsPrefixedDeclarationName(const char16_t* name) { return KTStrNCmp(name, u"xmlns:", 6) == 0; }

// For a namespace declaration's attribute name, the prefix it declares:
// empty for "xmlns", "p" for "xmlns:p"; false for any other name.
bool DeclaredPrefix(const char16_t* name, KTString& prefix) {
  if (IsDefaultDeclarationName(name)) {
    prefix = KTString();
    return true;
  }
  if (!IsPrefixedDeclarationName(name)) return false;
  prefix = KTString(name + 6);
  return true;
}

// The URI a prefix has in a map; null when unbound or undeclared.
const KTString* Lookup(const KTPrefixMap* map, std::u16string_view prefix) {
  if (!map) return nullptr;
  auto it = map->find(prefix);
  return it == map->end() ? nullptr : it->second;
}

// The value a view node shows, with its length: a node without a value of
// its own shows its wrapped node's, whose length is kept.
std::u16string_view ShownValue(const KTXPathNode* node) {
  if (!node->HasOwnValue())
    if (const KTXCompactAttribute* entry = node->CompactAttribute()) return entry->value.View();
  const KTXNode* wrapped = node->GetXNode();
  if (node->HasOwnValue() || !wrapped) return std::u16string_view(node->GetValue());
  return std::u16string_view(wrapped->GetValue(), static_cast<size_t>(wrapped->GetValueLength()));
}

// The place of the first unit of `text` that is one of Units (all below 64),
// npos when there is none. Eight units are compared at once, with no branch
// per unit; the units past the last whole block are read once more as the
// text's last eight, a text of four to seven units as its first four and
// last four, and a shorter one unit by unit through a bit mask. Only a text that
// holds one of the units is then searched for its place.
typedef std::uint16_t EightUnits __attribute__((vector_size(16)));
template <char16_t... Units>
bool BlockHolds(const EightUnits& block) {
  const auto hit = ((block == static_cast<std::uint16_t>(Units)) | ...);
  std::uint64_t words[2];
  std::memcpy(words, &hit, sizeof words);
  return (words[0] | words[1]) != 0;
}
template <char16_t... Units>
bool BlockHolds(const char16_t* at) {
  EightUnits block;
  std::memcpy(&block, at, sizeof block);
  return BlockHolds<Units...>(block);
}
template <char16_t... Units>
size_t FindFirstOf(std::u16string_view text) {
  static_assert(((Units < 64) && ...));
  constexpr std::uint64_t kMask = ((std::uint64_t{1} << Units) | ...);
  const size_t size = text.size();
  size_t i = 0;
  if (size >= 8) {
    for (; i + 8 <= size; i += 8) {
      if (BlockHolds<Units...>(text.data() + i)) break;
    }
    if (i + 8 > size && (i == size || !BlockHolds<Units...>(text.data() + size - 8))) {
      return std::u16string_view::npos;
    }
  } else if (size >= 4) {
    // The first four units and the last four, overlapping, as one block.
    EightUnits block;
    std::memcpy(&block, text.data(), 4 * sizeof(char16_t));
    std::memcpy(reinterpret_cast<char*>(&block) + 4 * sizeof(char16_t), text.data() + size - 4,
                4 * sizeof(char16_t));
    if (!BlockHolds<Units...>(block)) return std::u16string_view::npos;
  } else {
    std::uint64_t any = 0;
    for (size_t k = 0; k < size; ++k) {
      const unsigned unit = text[k];
      any |= unit < 64 ? kMask >> unit : 0;
    }
    if ((any & 1) == 0) return std::u16string_view::npos;
  }
  for (; i < size; ++i) {
    if (((text[i] == Units) || ...)) return i;
  }
  return std::u16string_view::npos;
}

// Prefixes "xml" and "xmlns" keep their fixed meaning (Namespaces in XML §3).
bool IsReservedPrefix(std::u16string_view prefix) { return prefix == u"xml" || prefix == u"xmlns"; }

// XML 1.0 §2.11: a CR LF pair and a lone CR read as one LF. The tree keeps
// text as written; the view shows it as a processor reads it. Runs before
// character references resolve, so that "&#13;" stays a CR. The text is
// put together in `scratch`, a buffer the wrap reuses for every text.
bool NormalizeLineEnds(const char16_t* value, std::u16string& scratch, KTString& out) {
  const char16_t* cr = KTStrChr(value, u'\r');
  if (!cr) return false;
  std::u16string& text = scratch;
  text.assign(value, cr);
  for (const char16_t* p = cr; *p; ++p) {
    if (*p == u'\r') {
      if (p[1] == u'\n') ++p;
      text += u'\n';
    } else {
      text += *p;
    }
  }
  // The view keeps the text for as long as the document lives: a block of
  // its exact size (no NUL stands in it, the scan above ended at the first).
  out.AssignPooled(text.data(), static_cast<int>(text.size()));
  return true;
}
}  // namespace

KTXPathTreeContext::KTXPathTreeContext() { InternUri(kXmlNamespaceUri); }

KTXPathTreeContext::~KTXPathTreeContext() = default;

int32_t KTXPathTreeContext::GetDocumentCounter() { return gDocumentCounter; }

const KTString* KTXPathTreeContext::InternUri(const char16_t* uri) {
  std::u16string_view key(uri ? uri : u"");
  auto it = uriIndex_.find(key);
  if (it != uriIndex_.end()) return it->second;
  uris_.push_back(std::make_unique<KTString>(key));
  const KTString* entry = uris_.back().get();
  uriIndex_.emplace(entry->View(), entry);  // the view points into the owned entry
  return entry;
}

KTPrefixMapRef KTXPathTreeContext::NewRootMap() {
  auto map = std::make_shared<KTPrefixMap>();
  (*map)[KTString(u"xml")] = uris_[0].get();
  return map;
}

namespace {
// True when an element of the parsed fragment holds two attributes of one
// name as written. The walk keeps its own stack, so a deep fragment never
// reaches the call stack; each element's names go through one hash set.
bool RepeatsAnAttributeIn(KTXNode* root) {
  std::vector<KTXNode*> pending{root};
  std::unordered_set<std::u16string_view> names;
  while (!pending.empty()) {
    KTXNode* node = pending.back();
    pending.pop_back();
    names.clear();
    KTChildIterator it;
    for (node->BeginChildren(it); !it.IsEnd(); it.Next()) {
      KTXNode* child = it.Node();
      if (child->GetKind() == kAttribute) {
        if (!names.insert(std::u16string_view(child->GetName())).second) return true;
      } else if (child->GetKind() == kElement) {
        pending.push_back(child);
      } else if (child->HasChildren()) {
        pending.push_back(child);
      }
    }
  }
  return false;
}
}  // namespace

// ---- Wrapping ----

std::unique_ptr<KTXPathNode> KTXPathTreeContext::WrapTree(KTXNode* root, KTSchemaServices* model, bool loadSchema,
                                                          const char16_t* documentUri, bool stylesheet) {
  model_ = model;
  stylesheet_ = stylesheet;
  fromEntity_ = false;
  textsPlain_ = nextTextsPlain_;
  nextTextsPlain_ = false;
  entitiesPredefined_ = nextEntitiesPredefined_;
  nextEntitiesPredefined_ = false;
  textsWithoutCr_ = nextTextsWithoutCr_;
  nextTextsWithoutCr_ = false;
  // A tree wrapped before has views that may show its texts: only a first
  // wrap deletes any.
  deletesParsedSpace_ = wrappedRoots_.insert(root).second && nextDeletesParsedSpace_ && stylesheet;
  nextDeletesParsedSpace_ = false;
  characterDataMeets_ = false;
  if (loadSchema && model_) LoadDocumentSchema(root);
  declaresNothing_ = model_ && !model_->DeclaresElements() && !model_->DeclaresDtdElementsBesideSchema();
  internsNamespaces_ = model_ && !model_->KeysNamesAsWritten();
  nodeCounter_ = 0;
  documentNumber_ = ++gDocumentCounter;
  std::fill(std::begin(prefixSlots_), std::end(prefixSlots_), PrefixSlot{});
  declarationSlots_.clear();
  lastInternedUri_ = nullptr;
  attributeTypeSlots_.clear();
  defaultMap_.reset();
  defaultUri_ = nullptr;
  pendingElementMap_ = NewRootMap();
  pendingAttributeMap_ = std::make_shared<KTPrefixMap>(*pendingElementMap_);
  spliceStack_.clear();
  wrapDepth_ = 0;
  attributesPendingFor_ = nullptr;
  attributePrefixesStale_ = false;
  std::unique_ptr<KTXPathNode> view;
  try {
    view = stylesheet_ ? WrapNode<true>(root) : WrapNode<false>(root);
  } catch (...) {
    model_ = nullptr;
    stylesheet_ = false;
    textsPlain_ = false;
    entitiesPredefined_ = false;
    textsWithoutCr_ = false;
    deletesParsedSpace_ = false;
    pendingElementMap_.reset();
    pendingAttributeMap_.reset();
    defaultMap_.reset();
    throw;
  }
  model_ = nullptr;
  stylesheet_ = false;
  textsPlain_ = false;
  entitiesPredefined_ = false;
  textsWithoutCr_ = false;
  deletesParsedSpace_ = false;
  defaultMap_.reset();
  if (!view) {
    // A lone text root merges into nothing; give it a view of its own.
    view = NewNode(root, kXPathKindFromNode, nullptr);
  }
  view->SetParentLink(nullptr);
  view->SetCharacterDataApart(!characterDataMeets_);
  if (documentUri) view->SetDocumentUri(InternUri(documentUri));
  return view;
}

void KTXPathTreeContext::LoadDocumentSchema(KTXNode* root) {
  // The outcome is kept in the model (7506 and 7530 count as success); the
  // document is wrapped whatever it was.
  model_->LoadSchema(root, true);
}

// Inline: every node of a document is made here.
[[gnu::always_inline]] inline std::unique_ptr<KTXPathNode> KTXPathTreeContext::NewNode(KTXNode* node, int kind,
                                                                                      KTXPathNode* parent) {
  if (kind == kXPathKindFromNode) kind = KTXPathNode::KindOfXNode(node);
  return std::unique_ptr<KTXPathNode>(
      new KTXPathNode(node, kind, parent, ++nodeCounter_, documentNumber_, fromEntity_));
}

void KTXPathTreeContext::WrapShownAttributes(KTXPathNode* element, const KTXCompactAttributes* block) {
  const int count = block->Count();
  for (int index = 0; index < count; ++index) {
    // Appended first: what follows reads only its parent link, set already.
    // Shown attributes take no children; one that takes maps (none does
    // while the block holds no namespace declaration) is made whole.
    const bool takesMaps = pendingElementMap_ && pendingAttributeMap_;
    KTXPathNode* v = element->AppendChild(
        takesMaps ? std::unique_ptr<KTXPathNode>(
                        new KTXPathNode(block, index, element, ++nodeCounter_, documentNumber_, fromEntity_))
                  : KTXPathNode::NewLeaf(block, index, element, ++nodeCounter_, documentNumber_, fromEntity_));
    if (takesMaps) {
      v->SetMaps(std::move(pendingElementMap_), std::move(pendingAttributeMap_));
      pendingElementMap_.reset();
      pendingAttributeMap_.reset();
    }
    ResolveNamespaces(v);
    ExpandAttributeEntities(v);
  }
}

[[gnu::noinline]] const KTXCompactAttributes* KTXPathTreeContext::ShowableAttributes(KTXNode* element) {
  auto* container = static_cast<KTXContainerNode*>(element);
  const KTXCompactAttributes* block = container->GetPendingAttributes();
  if (!block) return nullptr;
  // A namespace declaration stands as a namespace node, made from its node.
  for (const KTXCompactAttribute& entry : *block) {
    const char16_t* name = entry.name.c_str();
    if (name[0] == u'x' && KTStrNCmp(name, u"xmlns", 5) == 0 && (name[5] == 0 || name[5] == u':')) return nullptr;
  }
  return container->ShowPendingAttributes();
}

template <bool kStylesheet>
std::unique_ptr<KTXPathNode> KTXPathTreeContext::OpenNode(KTXNode* node, int kind, KTXPathNode* parent,
                                                          KTElementType* parentDecl, const WrapFrame* up,
                                                          WrapFrame& frame) {
  if constexpr (kStylesheet) {
    if (up && up->dropsSpace && DropsText(*up, node)) {
      ++nodeCounter_;  // the position the text would have had
      if (deletesParsedSpace_ && !fromEntity_) DeleteParsedText(node);
      return nullptr;
    }
  }
  std::unique_ptr<KTXPathNode> view = NewNode(node, kind, parent);
  KTXPathNode* v = view.get();
  frame = WrapFrame{v, parentDecl, nullptr, nullptr, false, kStylesheet && up && up->preserve, false};
  if (v->GetKind() == kXPathText && !pendingElementMap_) {
    // The most common node: no children, maps, name or defaults.
    if (!textsPlain_ && ExpandTextEntities(v)) return nullptr;  // the fragment stands in its place
    frame.defaultsDone = true;
    return view;
  }
  if (v->GetKind() == kXPathElement) {
    attributesPendingFor_ = v;
    attributePrefixesStale_ = false;
  }
  v->ReserveChildren(node->GetChildCount());
  if (pendingElementMap_ && pendingAttributeMap_) {
    v->SetMaps(std::move(pendingElementMap_), std::move(pendingAttributeMap_));
    pendingElementMap_.reset();
    pendingAttributeMap_.reset();
  } else if (v->GetKind() == kXPathElement && parent) {
    v->ShareParentMaps();
  }
  // A declaration's value may hold entity references (xmlns:p="&uri;"): the
  // namespace is the expanded text (XML 1.0 section 3.3.3).
  if (v->GetKind() == kXPathNamespace) ExpandAttributeEntities(v);
  if (v->GetKind() == kXPathElement && !pendingElementMap_) {
    // Most elements of a document stand under one map and use one or two
    // prefixes: the map's default namespace and the last prefix looked up
    // in it are kept with it.
    const KTPrefixMap* map = v->GetElementNamespaceMap();
    if (map && map != defaultMap_.get()) DefaultNamespaceIn(v, map);
    if (map && map == defaultMap_.get()) {
      const std::u16string_view prefix = PrefixOf(node->GetName());
      if (prefix.empty()) {
        v->SetNamespaceUri(defaultUri_);
      } else {
        if (prefix != lastPrefix_) {
          lastPrefix_ = prefix;
          lastPrefixUri_ = Lookup(map, prefix);
        }
        v->SetNamespaceUri(lastPrefixUri_);
      }
    } else {
      ResolveNamespaces(v);
    }
  } else {
    ResolveNamespaces(v);
  }

  if (v->GetKind() == kXPathText) {
    if (!textsPlain_ && ExpandTextEntities(v)) return nullptr;  // the fragment stands in its place
    frame.defaultsDone = true;                  // a text has no defaults to supply
    return view;
  }

  if (v->GetKind() == kXPathElement && !node->HasChildren() && node->GetValue()[0] != 0) {
    // The element holds its text as its value: defaults first (they stand
    // before content), then one text child showing that value.
    frame.decl = SupplyDefaults(v, parentDecl, true);
    frame.defaultsDone = true;
    if constexpr (kStylesheet) JudgeSpace(frame);
    if (kStylesheet && frame.dropsSpace &&
        IsDroppableSpace({node->GetValue(), static_cast<size_t>(node->GetValueLength())})) {
      ++nodeCounter_;  // the position the text would have had
    } else {
      std::unique_ptr<KTXPathNode> text =
          KTXPathNode::NewLeaf(node, kXPathText, v, ++nodeCounter_, documentNumber_, fromEntity_);
      const KTString& written = static_cast<const KTXValueNode*>(node)->ValueString();
      if (textsPlain_ || !ExpandTextEntities(text.get(), written.View())) v->AppendChild(std::move(text));
    }
  }
  if (v->GetKind() == kXPathAttribute) ExpandAttributeEntities(v);
  if (!textsPlain_ && (v->GetKind() == kXPathCData || v->GetKind() == kXPathPI || v->GetKind() == kXPathComment)) {
    KTString normalized;
    if (NormalizeLineEnds(v->GetValue(), expansionScratch_, normalized)) v->SetValue(std::move(normalized));
  }
  if (v->GetKind() == kXPathElement && static_cast<const KTXContainerNode*>(node)->GetPendingAttributes()) {
    if (const KTXCompactAttributes* block = ShowableAttributes(node)) {
      // The attributes come first, from the block, as the first children
      // would; the children that stand as nodes follow. (An expansion may
      // make the attribute nodes, in front of those children.)
      KTXNode* firstMade = node->GetFirstMadeChild();
      WrapShownAttributes(v, block);
      frame.next = firstMade;
      return view;
    }
  }
  frame.next = node->GetFirstChild();
  return view;
}

template <bool kStylesheet>
std::unique_ptr<KTXPathNode> KTXPathTreeContext::WrapNode(KTXNode* node) {
  // Without recursion: a frame per open node, so a tree of any depth (result
  // trees are built by hand, not parsed) wraps within a bounded stack. A
  // fragment spliced in while a text is opened wraps through a nested call;
  // kMaxSpliceWrapDepth bounds those by the depth they stand at.
  const int baseDepth = wrapDepth_;
  struct DepthRestore {
    int& depth;
    int base;
    ~DepthRestore() { depth = base; }
  } restore{wrapDepth_, baseDepth};

  std::vector<WrapFrame> stack;
  WrapFrame frame;
  wrapDepth_ = baseDepth + 1;
  std::unique_ptr<KTXPathNode> view = OpenNode<kStylesheet>(node, kXPathKindFromNode, nullptr, nullptr, nullptr, frame);
  if (!view) return nullptr;
  stack.push_back(frame);
  while (!stack.empty()) {
    WrapFrame& open = stack.back();
    KTXNode* child = open.next;
    if (child == nullptr) {
      if (!open.defaultsDone) SupplyDefaults(open.view, open.parentDecl, false);
      stack.pop_back();
      continue;
    }
    open.next = child->GetNextSibling();
    const int childKind = child->GetKind();
    if (!open.defaultsDone && childKind != kAttribute) {
      open.decl = SupplyDefaults(open.view, open.parentDecl, false);
      open.defaultsDone = true;
      if constexpr (kStylesheet) JudgeSpace(open);
    }
    KTXPathNode* into = open.view;
    wrapDepth_ = baseDepth + static_cast<int>(stack.size()) + 1;
    if (childKind == kText && !pendingElementMap_) {
      // The most common node, made here without a frame of its own: a text
      // has no children, maps, name or defaults.
      if (kStylesheet && open.dropsSpace && DropsText(open, child)) {
        ++nodeCounter_;  // the position the text would have had
        if (deletesParsedSpace_ && !fromEntity_) DeleteParsedText(child);
        continue;
      }
      std::unique_ptr<KTXPathNode> text =
          KTXPathNode::NewLeaf(child, kXPathText, into, ++nodeCounter_, documentNumber_, fromEntity_);
      const KTString& written = static_cast<const KTXValueNode*>(child)->ValueString();
      if (textsPlain_ || !ExpandTextEntities(text.get(), written.View())) {
        NoteCharacterData(into, kXPathText);
        into->AppendChild(std::move(text));
      }
      continue;
    }
    KTElementType* childDecl = open.defaultsDone ? open.decl : nullptr;
    std::unique_ptr<KTXPathNode> wrapped =
        OpenNode<kStylesheet>(child, childKind == kElement ? kXPathElement : kXPathKindFromNode, into, childDecl,
                              kStylesheet ? &open : nullptr, frame);
    if (!wrapped) continue;
    NoteCharacterData(into, wrapped->GetKind());
    frame.view = into->AppendChild(std::move(wrapped));
    stack.push_back(frame);  // `open` is not used past this point
  }
  return view;
}

// ---- Stylesheet white space ----

void KTXPathTreeContext::JudgeSpace(WrapFrame& frame) {
  // Texts of a spliced entity fragment stand where the fragment goes, under
  // ancestors this wrap does not see: the stripper judges them.
  if (fromEntity_ || frame.view->GetKind() != kXPathElement) return;
  switch (KTXPathNode::OwnSpaceAttribute(frame.view)) {
    case KTXPathNode::SpaceAttribute::kPreserve: frame.preserve = true; break;
    case KTXPathNode::SpaceAttribute::kDefault: frame.preserve = false; break;
    case KTXPathNode::SpaceAttribute::kNone: break;
  }
  frame.dropsSpace = !frame.preserve && !IsXsltText(frame.view);
}

bool KTXPathTreeContext::IsXsltText(const KTXPathNode* element) {
  constexpr std::u16string_view kXsltNamespace = u"http://www.w3.org/1999/XSL/Transform";
  const KTString* uri = element->GetNamespaceUri();
  if (!uri) return false;
  if (uri != xsltUri_) {
    if (uri == otherUri_) return false;
    if (uri->View() != kXsltNamespace) {
      otherUri_ = uri;
      return false;
    }
    xsltUri_ = uri;
  }
  return std::u16string_view(LocalPart(element->GetName())) == u"text";
}

bool KTXPathTreeContext::DropsText(const WrapFrame& open, const KTXNode* child) {
  if (child->GetKind() != kText) return false;
  // A run of character data is joined before it is judged, so a text with
  // character data beside it stays for the stripper.
  if (const KTXNode* next = child->GetNextSibling()) {
    const int kind = next->GetKind();
    if (kind == kText || kind == kCData) return false;
  }
  const KTXPathNode* into = open.view;
  if (const int count = into->GetChildCount(); count > 0) {
    const int kind = into->GetChild(count - 1)->GetKind();
    if (kind == kXPathText || kind == kXPathCData) return false;
  }
  return IsDroppableSpace({child->GetValue(), static_cast<size_t>(child->GetValueLength())});
}

// A stylesheet module holds tens of thousands of indenting texts; once its
// view leaves them out, nothing reads them in the parsed tree either.
void KTXPathTreeContext::DeleteParsedText(KTXNode* text) {
  KTXNode* parent = text->GetParent();
  if (!parent) return;
  // Attributes still pending stay so.
  static_cast<KTXContainerNode*>(parent)->DeleteMadeChild(text);
}

bool KTXPathTreeContext::IsDroppableSpace(std::u16string_view text) {
  // Spaces, tabs and line feeds only: a CR is read as a line end first, and
  // a NUL ends what the stripper reads; both are left to it. A stylesheet
  // module has tens of thousands of indenting texts: eight units are judged
  // at once, the units past the last whole block read once more as the
  // text's last eight.
  const size_t size = text.size();
  if (size < 8) {
    for (char16_t unit : text) {
      if (unit != u' ' && unit != u'\t' && unit != u'\n') return false;
    }
    return true;
  }
  for (size_t at = 0;; at += 8) {
    if (at + 8 > size) at = size - 8;
    EightUnits block;
    std::memcpy(&block, text.data() + at, sizeof block);
    const auto hit = (block == std::uint16_t{u' '}) | (block == std::uint16_t{u'\t'}) | (block == std::uint16_t{u'\n'});
    std::uint64_t words[2];
    std::memcpy(words, &hit, sizeof words);
    if ((words[0] & words[1]) != ~std::uint64_t{0}) return false;
    if (at + 8 == size) return true;
  }
}

// ---- Namespaces ----

void KTXPathTreeContext::ReplaceElementMaps(KTXPathNode* element, const KTString& prefix, const KTString* uri) {
  // Maps that only this element holds (a second declaration on it) take the
  // binding in place, so that many declarations on one element cost no copy
  // each.
  // The binding may change a map in place; the map is not held here while
  // it is judged for that either.
  defaultMap_.reset();
  const KTPrefixMapRef& ownElement = element->OwnElementMap();
  const KTPrefixMapRef& ownAttribute = element->OwnAttributeMap();
  if (element->HoldsMapsAlone() && ownElement != ownAttribute) {
    (*ownElement)[prefix] = uri;
    if (!prefix.IsEmpty()) (*ownAttribute)[prefix] = uri;
    return;
  }
  KTPrefixMapRef current = element->InheritedElementMap();
  auto elementMap = current ? std::make_shared<KTPrefixMap>(*current) : NewRootMap();
  (*elementMap)[prefix] = uri;
  auto attributeMap = std::make_shared<KTPrefixMap>(*elementMap);
  KTWorkCount::Add(2 * elementMap->size());  // the entries copied
  attributeMap->erase(KTString());
  element->SetMaps(std::move(elementMap), std::move(attributeMap));
}

void KTXPathTreeContext::ResolveNamespaces(KTXPathNode* node) {
  int kind = node->GetKind();
  if (kind != kXPathElement && kind != kXPathAttribute && kind != kXPathNamespace) return;
  const char16_t* name = node->GetName();
  KTXPathNode* element = node->GetParent();

  if (kind == kXPathNamespace) {
    if (!element || element->GetKind() != kXPathElement) return;
    const char16_t* value = node->GetValue();
    const KTString* uri = value[0] ? InternUri(value) : nullptr;  // empty: undeclares the default
    if (IsDefaultDeclarationName(name)) {
      ReplaceElementMaps(element, KTString(), uri);
      if (PrefixPart(element->GetName()).empty()) element->SetNamespaceUri(uri);
      return;
    }
    if (!IsPrefixedDeclarationName(name)) return;
    KTString declared(LocalPart(name));
    // Namespaces in XML: "xml" stays bound to its namespace, "xmlns" is never
    // declared, and a prefix cannot be undeclared in XML 1.0.
    if (IsReservedPrefix(declared.View()) || declared.IsEmpty() || !uri) return;
    ReplaceElementMaps(element, declared, uri);
    element->SetNamespaceUri(Lookup(element->GetElementNamespaceMap(), PrefixPart(element->GetName())));
    if (element == attributesPendingFor_) {
      // The element's attributes are still being wrapped: resolve them
      // again once, after the last one (see FinishAttributes).
      attributePrefixesStale_ = true;
    } else {
      ResolveAttributePrefixes(element);
    }
    return;
  }

  std::u16string_view prefix = PrefixOf(name);
  if (kind == kXPathAttribute) {
    node->SetNamespaceUri(prefix.empty() ? nullptr : Lookup(node->GetAttributeNamespaceMap(), prefix));
  } else if (prefix.empty()) {
    node->SetNamespaceUri(DefaultNamespaceIn(node, node->GetElementNamespaceMap()));
  } else {
    node->SetNamespaceUri(Lookup(node->GetElementNamespaceMap(), prefix));
  }
}

inline std::u16string_view KTXPathTreeContext::PrefixOf(const char16_t* name) {
  const uintptr_t bits = reinterpret_cast<uintptr_t>(name);
  PrefixSlot& slot = prefixSlots_[(bits >> 3) * 0x9E3779B97F4A7C15ull >> (64 - kPrefixSlotBits)];
  if (slot.name != name) {
    const std::u16string_view prefix = PrefixPart(name);
    slot.name = name;
    slot.colon = prefix.data() == name ? static_cast<int32_t>(prefix.size()) : -1;
  }
  return slot.colon < 0 ? std::u16string_view() : std::u16string_view(name, static_cast<size_t>(slot.colon));
}

const KTString* KTXPathTreeContext::DefaultNamespaceIn(const KTXPathNode* element, const KTPrefixMap* map) {
  if (map && map == defaultMap_.get()) return defaultUri_;
  const KTString* uri = Lookup(map, std::u16string_view());
  KTPrefixMapRef held = element->InheritedElementMap();
  if (map && held.get() == map) {
    defaultMap_ = std::move(held);
    defaultUri_ = uri;
    lastPrefix_ = std::u16string_view();
  }
  return uri;
}

// Reads every child of the element (KTWorkCount): done once per element,
// after its last declaration, however many it has.
void KTXPathTreeContext::ResolveAttributePrefixes(KTXPathNode* element) {
  KTWorkCount::Add(element->GetChildCount());
  for (int i = 0; i < element->GetChildCount(); ++i) {
    KTXPathNode* attribute = element->GetChild(i);
    if (attribute->GetKind() == kXPathAttribute) ResolveNamespaces(attribute);
  }
}

void KTXPathTreeContext::FinishAttributes(KTXPathNode* element) {
  if (element != attributesPendingFor_) return;
  attributesPendingFor_ = nullptr;
  if (attributePrefixesStale_) ResolveAttributePrefixes(element);
  attributePrefixesStale_ = false;
}

// ---- Entities ----

namespace {
// "&name": a reference that is not a character reference.
bool HasEntityReference(const KTString& text) {
  for (int i = text.Find(u'&'); i >= 0; i = text.Find(u'&', i + 1)) {
    if (text[i + 1] != u'#') return true;
  }
  return false;
}
bool HasMarkup(const KTString& text) { return text.Find(u'<') >= 0 && text.Find(u'>') >= 0; }

// The predefined entity whose name starts at `name` (just after its '&'):
// the length of the name with its ';', and its character in `character`; 0
// when no predefined name stands there. Unit by unit: the text's NUL ends
// it at a mismatch.
size_t MatchPredefinedName(const char16_t* name, char16_t& character) {
  std::u16string_view whole;
  switch (name[0]) {
    case u'a':
      whole = name[1] == u'm' ? u"amp;" : u"apos;";
      character = name[1] == u'm' ? u'&' : u'\'';
      break;
    case u'l':
      whole = u"lt;";
      character = u'<';
      break;
    case u'g':
      whole = u"gt;";
      character = u'>';
      break;
    case u'q':
      whole = u"quot;";
      character = u'"';
      break;
    default:
      return 0;
  }
  for (size_t i = 0; i < whole.size(); ++i) {
    if (name[i] != whole[i]) return 0;
  }
  return whole.size();
}

// What the model's expansion (KTSchemaServices::ExpandContentReferences)
// makes of a text whose entity references are all to the five predefined
// entities (XML 1.0 §4.6), where nothing else is declared: each is replaced
// by the value the model declares for it, "&#60;" and "&#38;" for lt and amp
// so that no markup appears; character references stay for the caller.
// False (and `out` unspecified) at any other reference.
bool ExpandPredefinedReferences(const char16_t* text, std::u16string& scratch, KTString& out) {
  scratch.clear();
  const char16_t* run = text;
  const char16_t* p = text;
  for (; *p; ++p) {
    if (*p != u'&' || p[1] == u'#') continue;
    char16_t character = 0;
    const size_t length = MatchPredefinedName(p + 1, character);
    if (length == 0) return false;
    scratch.append(run, p);
    if (character == u'&') {
      scratch.append(u"&#38;");
    } else if (character == u'<') {
      scratch.append(u"&#60;");
    } else {
      scratch.push_back(character);
    }
    p += length;
    run = p + 1;
  }
  scratch.append(run, p);
  out.Assign(scratch.data(), static_cast<int>(scratch.size()));
  return true;
}

// The text ExpandTextReferences makes of `text` where only the predefined
// entities are declared, in one pass: each predefined reference becomes its
// character, each character reference its character. The same as the
// model's expansion (ExpandPredefinedReferences) and then
// KTString::ResolveCharRefs, as a reference ends at its ';' and what the
// first step writes for one is read by the second as that one reference
// again. False (and `out` unspecified) at any reference of another form.
bool ResolvePredefinedText(const char16_t* text, std::u16string& scratch, KTString& out) {
  scratch.clear();
  const char16_t* run = text;
  const char16_t* p = text;
  for (; *p; ++p) {
    if (*p != u'&') continue;
    scratch.append(run, p);
    char32_t code = 0;
    const char16_t* end = p + 1;
    if (*end == u'#') {
      ++end;
      const bool hex = *end == u'x';
      if (hex) ++end;
      const char16_t* digits = end;
      for (; *end != u';'; ++end) {
        const char16_t c = *end;
        int digit = c >= u'0' && c <= u'9' ? c - u'0' : -1;
        if (hex && c >= u'a' && c <= u'f') digit = c - u'a' + 10;
        if (hex && c >= u'A' && c <= u'F') digit = c - u'A' + 10;
        if (digit < 0) return false;  // the NUL that ends the text too
        code = code * (hex ? 16 : 10) + static_cast<char32_t>(digit);
        if (code > 0x10FFFF) return false;
      }
      if (end == digits || code == 0) return false;
    } else {
      char16_t character = 0;
      const size_t length = MatchPredefinedName(end, character);
      if (length == 0) return false;
      code = character;
      end += length - 1;
    }
    if (code < 0x10000) {
      scratch.push_back(static_cast<char16_t>(code));
    } else {
      scratch.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      scratch.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    }
    p = end;
    run = p + 1;
  }
  scratch.append(run, p);
  // Kept by the view for as long as the document lives: a block of its
  // exact size rather than one rounded up for appends. The text holds no NUL
  // (the scan ended at the first, and a reference to 0 is refused).
  out.AssignPooled(scratch.data(), static_cast<int>(scratch.size()));
  return true;
}

// The end of the markup that starts at the '<' at `at`: a comment, CDATA
// section, processing instruction or tag (whose quoted values may hold
// '>'); the text's end when the markup is not closed.
size_t MarkupEnd(std::u16string_view text, size_t at) {
  const std::u16string_view rest = text.substr(at);
  std::u16string_view close = rest.starts_with(u"<!--")        ? u"-->"
                              : rest.starts_with(u"<![CDATA[") ? u"]]>"
                              : rest.starts_with(u"<?")        ? u"?>"
                                                               : u"";
  if (!close.empty()) {
    const size_t end = text.find(close, at + 2);
    return end == std::u16string_view::npos ? text.size() : end + close.size();
  }
  char16_t quote = 0;
  for (size_t i = at + 1; i < text.size(); ++i) {
    if (quote != 0) {
      if (text[i] == quote) quote = 0;
    } else if (text[i] == u'"' || text[i] == u'\'') {
      quote = text[i];
    } else if (text[i] == u'>') {
      return i + 1;
    }
  }
  return text.size();
}

// A CR in an expanded text came from a character reference in an entity's
// text: written line ends, in the document and in entity texts, were
// normalised before the expansion. In character data it goes into the
// fragment's parse as "&#13;", or the parse would read it as a line end.
// Markup has no such escape and keeps it: in a tag it is white space (an
// attribute value turns it into a space), in comments, CDATA sections and
// processing instructions a line end.
void EscapeCarriageReturnsInCharacterData(KTString& expanded) {
  const std::u16string_view text = expanded.View();
  std::u16string out;
  out.reserve(text.size() + 16);
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == u'<') {
      const size_t end = MarkupEnd(text, i);
      out.append(text.substr(i, end - i));
      i = end;
    } else if (text[i] == u'\r') {
      out += u"&#13;";
      ++i;
    } else {
      out += text[i++];
    }
  }
  expanded = KTString(std::u16string_view(out));
}
}  // namespace

KTString KTXPathTreeContext::ExpandReferenceRounds(const KTXPathNode* view, const char16_t* text, bool stopAtMarkup) {
  // An entity's replacement text may refer to further entities (XML 1.0
  // §4.4.5): expand again until none is left, or until markup appears, which
  // the fragment parse takes over. A text seen before is a cycle; texts are
  // remembered by hash so that the rounds cost no copies.
  KTString next;
  // Their values hold character references only: one round is all.
  if (entitiesPredefined_ && ExpandPredefinedReferences(text, expansionScratch_, next)) return next;
  KTXNode* node = view->GetXNode();
  model_->ExpandContentReferences(node, text, next);
  if (next == text || !HasEntityReference(next) || (stopAtMarkup && HasMarkup(next))) return next;
  // Further rounds (rare): replacement texts that refer to entities again.
  KTString current = std::move(next);
  std::vector<size_t> seen{std::hash<std::u16string_view>()(std::u16string_view(text)),
                           std::hash<KTString>()(current)};
  for (int round = 1; round < kMaxEntitySpliceDepth; ++round) {
    next = KTString();
    model_->ExpandContentReferences(node, current, next);
    if (next == current || !HasEntityReference(next) || (stopAtMarkup && HasMarkup(next))) return next;
    size_t hash = std::hash<KTString>()(next);
    if (std::find(seen.begin(), seen.end(), hash) != seen.end()) {
      model_->ReportViewProblem(kEntityExpansionFailed, node, KTString(u"recursive entity reference"));
      return KTString(text);
    }
    seen.push_back(hash);
    current = std::move(next);
  }
  model_->ReportViewProblem(kEntityExpansionFailed, node, KTString(u"entity nesting too deep"));
  return KTString(text);
}

bool KTXPathTreeContext::ExpandTextEntities(KTXPathNode* text) { return ExpandTextEntities(text, ShownValue(text)); }

bool KTXPathTreeContext::ExpandTextEntities(KTXPathNode* text, std::u16string_view shown) {
  // Most texts hold neither a CR nor a reference: one pass tells, before
  // the call that handles those that do. The value ends at its first NUL, as
  // the expansion reads it.
  const size_t first = FindFirstOf<u'\r', u'&', 0>(shown);
  if (first == std::u16string_view::npos || shown[first] == 0) return false;
  return ExpandTextReferences(text);
}

bool KTXPathTreeContext::ExpandTextReferences(KTXPathNode* text) {
  KTString normalized;
  if (LineEndsToNormalize() && NormalizeLineEnds(text->GetValue(), expansionScratch_, normalized))
    text->SetValue(std::move(normalized));
  const char16_t* value = text->GetValue();
  if (!model_ || !KTStrChr(value, u'&')) return false;
  KTXPathNode* parent = text->GetParent();
  // General entities belong to element content only.
  if (parent && parent->GetKind() != kXPathElement && parent->GetKind() != kXPathRoot) return false;
  if (entitiesPredefined_) {
    // Predefined entities hold no markup: no fragment, and the text keeps a
    // character for each reference.
    KTString resolved;
    if (ResolvePredefinedText(value, expansionScratch_, resolved)) {
      text->SetValue(std::move(resolved));
      return false;
    }
  }
  KTString expanded = ExpandReferenceRounds(text, value, true);

  if (HasMarkup(expanded) && parent) {
    if (static_cast<int>(spliceStack_.size()) >= kMaxEntitySpliceDepth || wrapDepth_ >= kMaxSpliceWrapDepth) {
      model_->ReportViewProblem(kEntityExpansionFailed, text->GetXNode(), KTString(u"entity nesting too deep"));
      return false;
    }
    for (const KTString& open : spliceStack_) {
      if (open == expanded) {
        // The entity's text leads back to itself: refuse it, keep the
        // reference as written.
        model_->ReportViewProblem(kEntityExpansionFailed, text->GetXNode(), KTString(u"recursive entity reference"));
        return false;
      }
    }
    if (expanded.Find(u'\r') >= 0) EscapeCarriageReturnsInCharacterData(expanded);
    std::unique_ptr<KTXNode> tree = model_->ParseFragment(expanded, u"content", text->GetXNode());
    if (tree && RepeatsAnAttributeIn(tree.get())) {
      // XML 1.0 asks each element of an entity's text for unique attribute
      // names, as it does in the document: the expansion is refused.
      model_->ReportViewProblem(kEntityExpansionFailed, text->GetXNode(),
                                KTString(u"an element in an entity's text names one attribute twice"));
      return false;
    }
    if (tree) {
      pendingElementMap_ = parent->InheritedElementMap();
      pendingAttributeMap_ = parent->InheritedAttributeMap();
      bool savedFlag = fromEntity_;
      fromEntity_ = true;
      spliceStack_.push_back(expanded);
      std::unique_ptr<KTXPathNode> fragment;
      try {
        // A fragment's texts stand under ancestors it does not see: the
        // stripper judges them.
        fragment = WrapNode<false>(tree.get());
      } catch (...) {
        spliceStack_.pop_back();
        fromEntity_ = savedFlag;
        keptFragments_.push_back(std::move(tree));
        throw;
      }
      spliceStack_.pop_back();
      fromEntity_ = savedFlag;
      pendingElementMap_.reset();
      pendingAttributeMap_.reset();
      keptFragments_.push_back(std::move(tree));
      if (fragment) {
        characterDataMeets_ = true;  // the fragment's texts may meet those around it
        for (auto& child : fragment->ReleaseChildren()) parent->AppendChild(std::move(child));
      }
      return true;
    }
  }
  // Plain text (or markup that does not parse): character references too.
  expanded.ResolveCharRefs();
  // References to entities whose text is empty leave no character, and a
  // text node holds at least one (XPath 1.0 §5.7): nothing stands in its
  // place.
  if (expanded.IsEmpty() && parent) return true;
  text->SetValue(std::move(expanded));
  return false;
}

namespace {
// XML 1.0 §3.3.3: each white-space character of an attribute value, written
// or from an entity's replacement text, becomes a space. Line ends of the
// written value are normalised first (§2.11) and entity texts were normalised
// when declared, so a CR LF that a character reference put into an entity
// gives two spaces, as the recommendation's examples show. Run before
// character references are resolved, so that "&#9;" and "&#10;" stay what
// they name.
void NormalizeAttributeWhitespace(KTString& text) {
  if (text.IsEmpty()) return;
  char16_t* p = text.GetBuffer();
  for (; *p; ++p)
    if (*p == u'\t' || *p == u'\n' || *p == u'\r') *p = u' ';
}

// The further step of XML 1.0 §3.3.3 for a value declared with a type other
// than CDATA: leading and trailing spaces go, each run of spaces becomes one.
// Only U+0020 counts, so a tab that a character reference wrote stays.
// Answers false when the value is already so.
bool CollapseSpaces(const char16_t* value, KTString& out) {
  bool changed = false;
  for (const char16_t* p = value; *p; ++p) {
    if (*p == u' ' && (p == value || p[1] == u' ' || p[1] == 0)) {
      changed = true;
      break;
    }
  }
  if (!changed) return false;
  int length = 0;
  bool pendingSpace = false;
  for (const char16_t* p = value; *p; ++p) {
    if (*p == u' ') {
      pendingSpace = length > 0;
      continue;
    }
    if (pendingSpace) {
      out.AppendCharAtLength(u' ', length, 16);
      pendingSpace = false;
    }
    out.AppendCharAtLength(*p, length, 16);
  }
  return true;
}
}  // namespace

void KTXPathTreeContext::ExpandAttributeEntities(KTXPathNode* attribute) {
  // Most values hold neither a reference nor white space other than spaces.
  const std::u16string_view shown = ShownValue(attribute);
  const size_t first = FindFirstOf<u'&', u'\t', u'\n', u'\r', 0>(shown);
  if (first == std::u16string_view::npos || shown[first] == 0) return;
  // The units before `first` are none of those looked for (NUL among them),
  // so the value up to its NUL goes on from there.
  const char16_t* value = attribute->GetValue();
  const std::u16string_view rest(value + first);
  bool hasReference = rest.find(u'&') != std::u16string_view::npos;
  bool hasWhitespace = rest.find_first_of(u"\t\n\r") != std::u16string_view::npos;
  if (!hasReference && !hasWhitespace) return;
  KTString written;
  if (LineEndsToNormalize() && NormalizeLineEnds(value, expansionScratch_, written)) value = written.c_str();
  KTString expanded = model_ && hasReference ? ExpandReferenceRounds(attribute, value, false)
                                             : KTString(value);
  NormalizeAttributeWhitespace(expanded);
  expanded.ResolveCharRefs();
  if (!(expanded == value)) attribute->SetValue(std::move(expanded));
}

// ---- Defaults ----

void KTXPathTreeContext::MarkIdAttributes(KTXPathNode* element, KTElementType* decl, bool namesAsWritten) {
  for (int i = 0; i < element->GetChildCount(); ++i) {
    KTXPathNode* a = element->GetChild(i);
    if (a->GetKind() == kXPathNamespace) continue;
    if (a->GetKind() != kXPathAttribute) break;  // attributes lead the children
    const AttributeTypeSlot* type = nullptr;
    if (namesAsWritten) {
      type = &AttributeTypeOf(decl, a->GetName(), KTNamespaceId::None(), true);
    } else {
      const KTString* uri = a->GetNamespaceUri();
      type = &AttributeTypeOf(decl, LocalPart(a->GetName()), NamespaceIdOf(uri), false);
    }
    if (type->id) a->SetIdAttribute(true);
    KTString collapsed;
    if (type->tokenized && CollapseSpaces(a->GetValue(), collapsed)) {
      a->SetValue(std::move(collapsed));
    }
  }
}

const KTXPathTreeContext::AttributeTypeSlot& KTXPathTreeContext::AttributeTypeOf(KTElementType* decl,
                                                                                const char16_t* name,
                                                                                KTNamespaceId ns, bool asWritten) {
  if (attributeTypeSlots_.empty()) attributeTypeSlots_.resize(size_t{1} << kDeclarationSlotBits);
  const uint64_t key = (reinterpret_cast<uintptr_t>(name) >> 1) ^ (reinterpret_cast<uintptr_t>(decl) * 31) ^
                       (reinterpret_cast<uintptr_t>(ns.Identity()) >> 3) ^ (asWritten ? 1 : 0);
  AttributeTypeSlot& slot = attributeTypeSlots_[key * 0x9E3779B97F4A7C15ull >> (64 - kDeclarationSlotBits)];
  if (slot.name == name && slot.decl == decl && slot.ns == ns.Identity() && slot.asWritten == asWritten) return slot;
  // One name object reused for every lookup: its buffer is kept.
  lookupName_.localName = name;
  lookupName_.ns = ns;
  slot = AttributeTypeSlot{decl,
                           name,
                           ns.Identity(),
                           asWritten,
                           model_->IsIdAttribute(decl, lookupName_),
                           model_->IsTokenizedAttribute(decl, lookupName_)};
  return slot;
}

// Whether an attribute is xsi:nil with the value true (a boolean literal,
// white space collapsed: "true" or "1").
static bool IsNilTrue(KTXPathNode* attribute) {
  const KTString* uri = attribute->GetNamespaceUri();
  if (!uri || !(*uri == u"http://www.w3.org/2001/XMLSchema-instance")) return false;
  if (KTStrCmp(LocalPart(attribute->GetName()), u"nil") != 0) return false;
  std::u16string_view value(attribute->GetValue());
  while (!value.empty() && (value.front() == u' ' || value.front() == u'\t' || value.front() == u'\n' ||
                            value.front() == u'\r')) {
    value.remove_prefix(1);
  }
  while (!value.empty() && (value.back() == u' ' || value.back() == u'\t' || value.back() == u'\n' ||
                            value.back() == u'\r')) {
    value.remove_suffix(1);
  }
  return value == u"true" || value == u"1";
}

KTElementType* KTXPathTreeContext::SupplyDefaults(KTXPathNode* node, KTElementType* parentDecl, bool textPending) {
  FinishAttributes(node);  // the element's own attributes are all wrapped
  if (!model_) return nullptr;
  const int kind = node->GetKind();
  if (declaresNothing_) {
    // Nothing is declared, so no declaration is found and none is passed
    // down (parentDecl is null); the namespace is interned as the lookup
    // would.
    if (kind == kXPathElement && internsNamespaces_) {
      const KTString* uri = node->GetNamespaceUri();
      if (uri && uri != lastInternedUri_) NamespaceIdOf(uri);
    }
    return nullptr;
  }
  if (!parentDecl && kind != kXPathElement) return nullptr;  // only elements take defaults of their own
  if (!parentDecl && !model_->DeclaresElements()) {
    // What FindDeclarations would do, without its calls: most documents
    // declare nothing, and every element of them comes here.
    const KTXNode* wrapped = node->GetXNode();
    const char16_t* name = wrapped && !node->HasOwnName() ? wrapped->GetName() : node->GetName();
    if (!model_->FindDtdElementBesideSchema(name)) {
      // The namespace is interned as the lookup would.
      const KTString* uri = node->GetNamespaceUri();
      if (uri && uri != lastInternedUri_ && !model_->KeysNamesAsWritten()) NamespaceIdOf(uri);
      return nullptr;
    }
  }
  return SupplyDeclaredDefaults(node, parentDecl, textPending);
}

KTElementType* KTXPathTreeContext::SupplyDeclaredDefaults(KTXPathNode* node, KTElementType* parentDecl,
                                                          bool textPending) {
  KTElementType* decl = nullptr;
  KTElementType* dtdDecl = nullptr;
  if (!FindDeclarations(node, parentDecl, decl, dtdDecl)) return nullptr;
  if (!decl && !dtdDecl) return nullptr;
  if (node->GetKind() == kXPathElement) {
    if (dtdDecl) MarkIdAttributes(node, dtdDecl, true);
    if (decl) MarkIdAttributes(node, decl, model_->KeysNamesAsWritten());
  }
  std::vector<KTDefaultAttribute> defaults;
  KTString defaultText;
  bool hasText = false;
  CollectAllDefaults(node, decl, dtdDecl, defaults, defaultText, hasText);
  if (defaults.empty() && !hasText) return decl;
  if (hasText && ContentCancelsDefaultText(node, textPending)) hasText = false;
  InsertDefaultAttributes(node, defaults);
  if (hasText) {
    std::unique_ptr<KTXPathNode> text = NewNode(nullptr, kXPathText, node);
    text->SetValue(defaultText);
    characterDataMeets_ = true;
    node->AppendChild(std::move(text));
  }
  return decl;
}

bool KTXPathTreeContext::FindDeclarations(KTXPathNode* node, KTElementType* parentDecl, KTElementType*& decl,
                                          KTElementType*& dtdDecl) {
  // A DTD beside a schema: its declaration of the element, applied first.
  dtdDecl = node->GetKind() == kXPathElement ? model_->FindDtdElementBesideSchema(node->GetName()) : nullptr;
  if (node->GetKind() == kXPathRoot) {
    decl = parentDecl;
    return true;
  }
  if (node->GetKind() != kXPathElement) return false;
  if (!parentDecl && !model_->DeclaresElements()) {
    // Nothing is declared, so nothing is found: no name to look up (the
    // namespace is interned as the lookup would).
    if (!model_->KeysNamesAsWritten()) NamespaceIdOf(node->GetNamespaceUri());
    return dtdDecl != nullptr;
  }
  if (model_->KeysNamesAsWritten()) {
    decl = FindElementDeclaration(parentDecl, node->GetName(), KTNamespaceId::None());
  } else {
    const KTString* uri = node->GetNamespaceUri();
    decl = FindElementDeclaration(parentDecl, LocalPart(node->GetName()), NamespaceIdOf(uri));
  }
  return true;
}

KTNamespaceId KTXPathTreeContext::NamespaceIdOf(const KTString* uri) {
  if (!uri || uri->IsEmpty()) return KTNamespaceId();
  // The process-wide set keeps every URI once interned, so interning the same
  // URI again changes nothing: the last one is remembered, by its address.
  if (uri != lastInternedUri_) {
    lastInternedUri_ = uri;
    lastInternedId_ = KTNamespaceId::Intern(uri->c_str());
  }
  return lastInternedId_;
}

KTElementType* KTXPathTreeContext::FindElementDeclaration(KTElementType* parentDecl, const char16_t* name,
                                                         KTNamespaceId ns) {
  if (declarationSlots_.empty()) declarationSlots_.resize(size_t{1} << kDeclarationSlotBits);
  const uint64_t key = (reinterpret_cast<uintptr_t>(name) >> 1) ^ (reinterpret_cast<uintptr_t>(parentDecl) * 31) ^
                       (reinterpret_cast<uintptr_t>(ns.Identity()) >> 3);
  DeclarationSlot& slot = declarationSlots_[key * 0x9E3779B97F4A7C15ull >> (64 - kDeclarationSlotBits)];
  if (slot.name == name && slot.parent == parentDecl && slot.ns == ns.Identity()) return slot.found;
  // One name object reused for every lookup: its buffer is kept.
  lookupName_.localName = name;
  lookupName_.ns = ns;
  KTElementType* found =
      parentDecl ? model_->FindChildElementDecl(parentDecl, lookupName_) : model_->FindElement(lookupName_);
  slot = DeclarationSlot{parentDecl, name, ns.Identity(), found};
  return found;
}

void KTXPathTreeContext::CollectAllDefaults(KTXPathNode* node, KTElementType* decl, KTElementType* dtdDecl,
                                            std::vector<KTDefaultAttribute>& defaults, KTString& defaultText,
                                            bool& hasText) {
  if (dtdDecl) {
    model_->CollectDefaults(dtdDecl, defaults, defaultText, hasText);
    defaultText = KTString();
    hasText = false;  // a DTD gives no default text
  }
  if (!decl) return;
  std::vector<KTDefaultAttribute> schemaDefaults;
  model_->CollectDefaults(decl, schemaDefaults, defaultText, hasText);
  // A default both give comes from the DTD: a DTD name as written stands
  // for its local part in the namespace its prefix has on the element.
  const size_t fromDtd = defaults.size();
  for (KTDefaultAttribute& def : schemaDefaults) {
    bool given = false;
    for (size_t i = 0; i < fromDtd && !given; ++i) {
      const char16_t* written = defaults[i].name.localName.c_str();
      if (KTStrCmp(LocalPart(written), def.name.localName.c_str()) != 0) continue;
      std::u16string_view prefix = PrefixPart(written);
      const KTString* uri = prefix.empty() ? nullptr : Lookup(node->GetAttributeNamespaceMap(), prefix);
      given = NamespaceUriEqual(def.name.ns, uri ? uri->c_str() : u"");
    }
    if (!given) defaults.push_back(std::move(def));
  }
}

bool KTXPathTreeContext::ContentCancelsDefaultText(KTXPathNode* node, bool textPending) {
  // Text content cancels the default text: text already in the view, text
  // held as the element's value, or text among the document node's children.
  if (textPending) return true;
  // So do element children and xsi:nil="true": XML Schema 1.0 Structures
  // §3.3.4, Element Locally Valid (Element) clause 5 supplies a default only
  // to an element with neither element nor character children, and not
  // when the element is nil (clause 3.2).
  for (int i = 0; i < node->GetChildCount(); ++i) {
    const int k = node->GetChild(i)->GetKind();
    if (k == kXPathText || k == kXPathElement) return true;
    if (k == kXPathAttribute && IsNilTrue(node->GetChild(i))) return true;
  }
  if (const KTXNode* wrapped = node->GetXNode()) {
    // Pending attributes are none of these: their nodes are not made.
    for (const KTXNode* child = wrapped->GetFirstMadeChild(); child; child = child->GetNextSibling()) {
      int k = child->GetKind();
      if (k == kText || k == kCData || k == kElement) return true;
    }
  }
  return false;
}

void KTXPathTreeContext::InsertDefaultAttributes(KTXPathNode* node, std::vector<KTDefaultAttribute>& defaults) {
  // The element's own attributes and namespace nodes lead its children;
  // defaults go after them in order. Only the own ones can hold a default's
  // name (defaults are distinct), so many defaults stay linear.
  int ownEnd = 0;
  while (ownEnd < node->GetChildCount() && (node->GetChild(ownEnd)->GetKind() == kXPathAttribute ||
                                            node->GetChild(ownEnd)->GetKind() == kXPathNamespace)) {
    ++ownEnd;
  }
  int insertAt = ownEnd;
  for (const KTDefaultAttribute& def : defaults) {
    const char16_t* declared = def.name.localName.c_str();
    // An attribute given in the document wins over its default: compared by
    // expanded name, and by the name as written for DTD declarations.
    bool present = false;
    for (int i = 0; i < ownEnd && !present; ++i) {
      KTXPathNode* a = node->GetChild(i);
      if (a->GetKind() != kXPathAttribute && a->GetKind() != kXPathNamespace) continue;
      if (KTStrCmp(a->GetName(), declared) == 0 && def.name.ns.IsNone()) present = true;
      const KTString* uri = a->GetNamespaceUri();
      if (a->GetKind() == kXPathAttribute && KTStrCmp(LocalPart(a->GetName()), declared) == 0 &&
          NamespaceUriEqual(def.name.ns, uri ? uri->c_str() : u"")) {
        present = true;
      }
    }
    if (present) continue;

    if (def.name.ns.IsNone() && (IsDefaultDeclarationName(declared) || IsPrefixedDeclarationName(declared))) {
      // A defaulted namespace declaration binds like one written in the
      // document; it stands under its declared name ("xmlns" or "xmlns:p").
      std::unique_ptr<KTXPathNode> ns = NewNode(node->GetXNode(), kXPathNamespace, node);
      ns->SetName(declared);
      ns->SetValue(def.value);
      ResolveNamespaces(ns.get());
      node->InsertChild(insertAt++, std::move(ns));
      continue;
    }

    std::unique_ptr<KTXPathNode> attribute = NewNode(nullptr, kXPathAttribute, node);
    attribute->SetValue(def.value);
    if (def.name.ns.IsNone()) {
      // A DTD declaration: the name as declared; a prefix takes the binding
      // in scope, as it would for an attribute written in the document.
      attribute->SetName(declared);
      std::u16string_view prefix = PrefixPart(declared);
      if (!prefix.empty()) attribute->SetNamespaceUri(Lookup(node->GetAttributeNamespaceMap(), prefix));
    } else {
      // A declaration in a namespace: the first prefixed binding of that
      // URI, else a generated prefix bound on the element.
      const KTPrefixMap* map = node->GetAttributeNamespaceMap();
      const KTString* boundUri = nullptr;
      KTString prefix;
      if (map) {
        for (const auto& [p, uri] : *map) {
          if (!p.IsEmpty() && uri && *uri == def.name.ns.Uri()) {
            prefix = p;
            boundUri = uri;
            break;
          }
        }
      }
      if (!boundUri) {
        boundUri = InternUri(def.name.ns.Uri());
        const KTPrefixMap* scope = node->GetElementNamespaceMap();
        for (int n = 0;; ++n) {
          prefix.Format(u"ns%d", n);
          if (!scope || !scope->count(prefix)) break;
        }
        ReplaceElementMaps(node, prefix, boundUri);
      }
      attribute->SetName(prefix + u":" + def.name.localName);
      attribute->SetNamespaceUri(boundUri);
    }
    node->InsertChild(insertAt++, std::move(attribute));
  }

}

// ---- Namespace scopes ----

const KTPrefixMap& KTXPathTreeContext::GetNamespaceScope(KTXNode* node) {
  auto found = scopeCache_.find(node);
  if (found != scopeCache_.end()) return found->second;
  KTPrefixMap map;
  map[KTString(u"xml")] = uris_[0].get();
  for (KTXNode* n = node; n; n = n->GetParent()) {
    if (n->GetKind() != kElement) continue;
    KTChildIterator it;
    for (n->BeginChildren(it); !it.IsEnd(); it.Next()) {
      KTXNode* child = it.Node();
      if (child->GetKind() == kElement) break;
      if (child->GetKind() != kAttribute) continue;
      KTString prefix;
      if (!DeclaredPrefix(child->GetName(), prefix)) continue;
      if (map.count(prefix)) continue;  // the nearest declaration wins; "xml" stays
      const char16_t* value = child->GetValue();
      map[prefix] = value[0] ? InternUri(value) : nullptr;
    }
  }
  return scopeCache_.emplace(node, std::move(map)).first->second;
}

bool KTXPathTreeContext::BuildNamespaceScopes(KTXNode* root) {
  workingMap_.clear();
  workingMap_[KTString(u"xml")] = uris_[0].get();
  CollectDeclarations(root);
  scopeCache_.emplace(root, workingMap_);  // an existing entry stays in place
  workingMap_.clear();
  return true;
}

void KTXPathTreeContext::CollectDeclarations(KTXNode* root) {
  for (KTXNode* n = root; n; n = NextInSubtree(n, root))
    if (n->GetKind() == kAttribute) AddDeclaration(n);
}

void KTXPathTreeContext::AddDeclaration(KTXNode* attribute) {
  KTString prefix;
  if (!DeclaredPrefix(attribute->GetName(), prefix) || prefix == u"xml") return;
  const char16_t* value = attribute->GetValue();
  workingMap_[prefix] = value[0] ? InternUri(value) : nullptr;
}
