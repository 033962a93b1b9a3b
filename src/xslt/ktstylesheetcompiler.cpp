// The stylesheet compiler's walk and its structural checks: element ids,
// allowed places, allowed attributes and allowed children. The per-element
// compile functions are in ktstylesheetcompile_elements.cpp.
#include "xslt/ktstylesheetcompiler.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <iterator>

#include "xml/ktxpathnode.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltprocessor.h"

namespace {

static_assert(kXSLTElementIdCount <= 64 && kXSLTAttributeIdCount <= 64, "every id has a bit of a KTIdSet");

constexpr KTIdSet ElementIds(std::initializer_list<KTXSLTElementId> ids) {
  KTIdSet set = 0;
  for (int id : ids) set |= KTIdSet(1) << id;
  return set;
}

constexpr KTIdSet AttributeIds(std::initializer_list<KTXSLTAttributeId> ids) {
  KTIdSet set = 0;
  for (int id : ids) set |= KTIdSet(1) << id;
  return set;
}

// The content of a template body: the literal result element and the XSLT
// instructions, and also elements that are not instructions (they pass the
// parent's check and are refused by their own context check or compile
// function).
constexpr KTIdSet kInstructions = ElementIds({
    kXSLTLiteralResult, kXSLTApplyImports, kXSLTApplyTemplates, kXSLTAttribute, kXSLTCallTemplate, kXSLTChoose,
    kXSLTComment, kXSLTCopy, kXSLTCopyOf, kXSLTElement, kXSLTFallback, kXSLTForEach, kXSLTIf, kXSLTMessage,
    kXSLTNamespaceAlias, kXSLTNumber, kXSLTOutput, kXSLTParam, kXSLTPreserveSpace, kXSLTProcessingInstruction,
    kXSLTStripSpace, kXSLTStylesheet, kXSLTTemplate, kXSLTText, kXSLTUnassigned, kXSLTValueOf, kXSLTVariable,
});

// The children of xsl:stylesheet (XSLT 1.0 §2.2).
constexpr KTIdSet kTopLevelElements =
    ElementIds({kXSLTAttributeSet, kXSLTDecimalFormat, kXSLTImport, kXSLTInclude, kXSLTKey, kXSLTNamespaceAlias,
                kXSLTOutput, kXSLTParam, kXSLTPreserveSpace, kXSLTStripSpace, kXSLTTemplate, kXSLTVariable});

constexpr KTIdSet kNoIds = 0;
constexpr bool kChecked = true;
constexpr bool kUnchecked = false;
constexpr KTElementPlace kInstruction = KTElementPlace::kInstruction;
constexpr KTElementPlace kTopLevel = KTElementPlace::kTopLevel;
constexpr KTElementPlace kEither = KTElementPlace::kEither;

// One row per element id, in id order: the place, the attributes and the
// children XSLT 1.0 allows each element (its element syntax summaries).
constexpr KTElementRule kElementRules[] = {
    {kXSLTNoElement, kInstruction, kChecked, kNoIds, kNoIds},
    // Literal result elements, text and every other node outside the XSLT
    // namespace: attributes are value templates, not checked here.
    {kXSLTLiteralResult, kInstruction, kUnchecked, kNoIds, kInstructions},
    {kXSLTApplyImports, kInstruction, kChecked, kNoIds, kNoIds},
    {kXSLTApplyTemplates, kInstruction, kChecked, AttributeIds({kAttrSelect, kAttrMode}),
     ElementIds({kXSLTSort, kXSLTWithParam})},
    {kXSLTAttribute, kInstruction, kChecked, AttributeIds({kAttrName, kAttrNamespace}), kInstructions},
    {kXSLTAttributeSet, kTopLevel, kChecked, AttributeIds({kAttrName, kAttrUseAttributeSets}),
     ElementIds({kXSLTAttribute})},
    {kXSLTCallTemplate, kInstruction, kChecked, AttributeIds({kAttrName}), ElementIds({kXSLTWithParam})},
    {kXSLTChoose, kInstruction, kChecked, kNoIds, ElementIds({kXSLTWhen, kXSLTOtherwise})},
    {kXSLTComment, kInstruction, kChecked, kNoIds, kInstructions},
    {kXSLTCopy, kInstruction, kChecked, AttributeIds({kAttrUseAttributeSets}), kInstructions},
    {kXSLTCopyOf, kInstruction, kChecked, AttributeIds({kAttrSelect}), kNoIds},
    {kXSLTDecimalFormat, kTopLevel, kChecked,
     AttributeIds({kAttrName, kAttrDecimalSeparator, kAttrGroupingSeparator, kAttrInfinity, kAttrMinusSign, kAttrNaN,
                   kAttrPercent, kAttrPerMille, kAttrZeroDigit, kAttrDigit, kAttrPatternSeparator}),
     kNoIds},
    {kXSLTElement, kInstruction, kChecked, AttributeIds({kAttrName, kAttrNamespace, kAttrUseAttributeSets}),
     kInstructions},
    {kXSLTFallback, kInstruction, kChecked, kNoIds, kInstructions},
    {kXSLTForEach, kInstruction, kChecked, AttributeIds({kAttrSelect}), kInstructions | ElementIds({kXSLTSort})},
    {kXSLTIf, kInstruction, kChecked, AttributeIds({kAttrTest}), kInstructions},
    {kXSLTImport, kTopLevel, kChecked, AttributeIds({kAttrHref}), kNoIds},
    {kXSLTInclude, kTopLevel, kChecked, AttributeIds({kAttrHref}), kNoIds},
    {kXSLTKey, kTopLevel, kChecked, AttributeIds({kAttrName, kAttrMatch, kAttrUse}), kNoIds},
    {kXSLTMessage, kInstruction, kChecked, AttributeIds({kAttrTerminate}), kInstructions},
    {kXSLTNamespaceAlias, kTopLevel, kChecked, AttributeIds({kAttrStylesheetPrefix, kAttrResultPrefix}), kNoIds},
    {kXSLTNumber, kInstruction, kChecked,
     AttributeIds({kAttrLevel, kAttrCount, kAttrFrom, kAttrValue, kAttrFormat, kAttrLang, kAttrLetterValue,
                   kAttrGroupingSeparator, kAttrGroupingSize}),
     kNoIds},
    {kXSLTOtherwise, kInstruction, kChecked, kNoIds, kInstructions},
    {kXSLTOutput, kTopLevel, kChecked,
     AttributeIds({kAttrMethod, kAttrVersion, kAttrEncoding, kAttrOmitXmlDeclaration, kAttrStandalone,
                   kAttrDoctypePublic, kAttrDoctypeSystem, kAttrCdataSectionElements, kAttrIndent, kAttrMediaType}),
     kNoIds},
    {kXSLTParam, kEither, kChecked, AttributeIds({kAttrName, kAttrSelect}), kInstructions},
    {kXSLTPreserveSpace, kTopLevel, kChecked, AttributeIds({kAttrElements}), kNoIds},
    {kXSLTProcessingInstruction, kInstruction, kChecked, AttributeIds({kAttrName}), kInstructions},
    {kXSLTSort, kInstruction, kChecked,
     AttributeIds({kAttrSelect, kAttrLang, kAttrDataType, kAttrOrder, kAttrCaseOrder}), kNoIds},
    {kXSLTStripSpace, kTopLevel, kChecked, AttributeIds({kAttrElements}), kNoIds},
    // The document element: not a child of xsl:stylesheet.
    {kXSLTStylesheet, kInstruction, kChecked,
     AttributeIds({kAttrId, kAttrExtensionElementPrefixes, kAttrExcludeResultPrefixes, kAttrVersion}),
     kTopLevelElements},
    {kXSLTTemplate, kTopLevel, kChecked,
     AttributeIds({kAttrMatch, kAttrName, kAttrPriority, kAttrMode}), kInstructions | ElementIds({kXSLTParam})},
    // Its content is text, which counts as kXSLTLiteralResult.
    {kXSLTText, kInstruction, kChecked, AttributeIds({kAttrDisableOutputEscaping}), ElementIds({kXSLTLiteralResult})},
    {kXSLTUnassigned, kInstruction, kChecked, kNoIds, kNoIds},
    {kXSLTValueOf, kInstruction, kChecked, AttributeIds({kAttrSelect, kAttrDisableOutputEscaping}), kNoIds},
    {kXSLTVariable, kEither, kChecked, AttributeIds({kAttrName, kAttrSelect}), kInstructions},
    {kXSLTWhen, kInstruction, kChecked, AttributeIds({kAttrTest}), kInstructions},
    {kXSLTWithParam, kInstruction, kChecked, AttributeIds({kAttrName, kAttrSelect}), kInstructions},
};

constexpr bool RowsInIdOrder() {
  for (size_t i = 0; i < std::size(kElementRules); ++i) {
    if (kElementRules[i].id != static_cast<int>(i)) return false;
  }
  return std::size(kElementRules) == kXSLTElementIdCount;
}
static_assert(RowsInIdOrder(), "one rule per element id, in id order");

bool IsAttributeLike(int kind) { return kind == kXPathAttribute || kind == kXPathNamespace; }

// Why a child may not stand where it is.
enum class ChildFault {
  kNotAllowedHere,      // a known kind of node in the wrong place
  kUnknownInstruction,  // an element of the XSLT namespace XSLT 1.0 does not define
};

// kUnexpectedChild at a child that may not stand where it is, naming it and
// its parent; an element of the XSLT namespace that XSLT 1.0 does not define
// (most often a misspelt one) is named as such.
KTXSLTError UnexpectedChild(const KTXPathNode* child, ChildFault fault) {
  KTXSLTError error(KTXSLTError::kUnexpectedChild, const_cast<KTXPathNode*>(child));
  KTString subject = KTXSLTError::Describe(child);
  if (fault == ChildFault::kUnknownInstruction) {
    subject += u" is not an XSLT 1.0 instruction";
  } else {
    subject += u" is not allowed in ";
    const KTXPathNode* parent = child->GetParent();
    subject += parent && parent->GetKind() == kXPathElement ? KTString(parent->GetName()) : KTString(u"the document");
  }
  error.SetSubject(subject);
  return error;
}

}  // namespace

KTStylesheetCompiler::KTStylesheetCompiler(KTXSLTProcessor* processor) : processor_(processor) {}

const KTElementRule& KTStylesheetCompiler::RuleOf(int elementId) {
  const bool inTable = elementId > kXSLTNoElement && elementId < static_cast<int>(std::size(kElementRules));
  return kElementRules[inTable ? elementId : kXSLTNoElement];
}

KTStylesheetCompiler::~KTStylesheetCompiler() = default;

void KTStylesheetCompiler::Clear() {
  index_.Clear();
  staticCheck_.Clear();
  records_.clear();
}

void KTStylesheetCompiler::Forget(const KTXPathNode* node) {
  index_.Erase(node);
  staticCheck_.Forget(node);
}

KTStylesheetCompiler::ElementIdList KTStylesheetCompiler::ElementIds() const {
  ElementIdList list;
  for (const NodeIndex::Entry& entry : index_.Entries())
    if (entry.node && entry.HasId()) list.emplace_back(entry.node, entry.Id());
  return list;
}

KTStylesheetCompiler::DeclarationList KTStylesheetCompiler::DeclarationRecords() const {
  DeclarationList list;
  for (const NodeIndex::Entry& entry : index_.Entries())
    if (entry.node && entry.Record()) list.emplace_back(entry.node, entry.Record());
  return list;
}

// ---- The flat index ----

KTStylesheetCompiler::NodeIndex::Entry& KTStylesheetCompiler::NodeIndex::Slot(const KTXPathNode* node) {
  if (hint_ < entries_.size() && entries_[hint_].node == node) return entries_[hint_];
  // A node already held is found without asking for room: a table sized
  // for exactly its nodes would otherwise double at their second look-up.
  if (count_ != 0) {
    for (size_t i = Home(node);; i = Next(i)) {
      Entry& entry = entries_[i];
      if (entry.node == node) return entry;
      if (!entry.node) {
        if (!HasRoomFor(count_ + 1)) break;
        entry.node = node;
        ++count_;
        return entry;
      }
    }
  }
  if (!HasRoomFor(count_ + 1)) Reserve(count_ + 1);
  for (size_t i = Home(node);; i = Next(i)) {
    Entry& entry = entries_[i];
    if (entry.node == node) return entry;
    if (!entry.node) {
      entry.node = node;
      ++count_;
      return entry;
    }
  }
}

bool KTStylesheetCompiler::NodeIndex::HasRoomFor(size_t count) const {
  return count * kLoadDenominator <= entries_.size() * kLoadNumerator;
}

void KTStylesheetCompiler::NodeIndex::Reserve(size_t count) {
  if (HasRoomFor(count)) return;
  // At least twice the size, so that entries added a few at a time still
  // cost amortised constant time each.
  const size_t size =
      std::max({size_t{64}, entries_.size() * 2, count * kLoadDenominator / kLoadNumerator + 1});
  std::vector<Entry> old = std::move(entries_);
  entries_.assign(size, Entry{});
  for (const Entry& entry : old) {
    if (!entry.node) continue;
    size_t i = Home(entry.node);
    while (entries_[i].node) i = Next(i);
    entries_[i] = entry;
  }
}

void KTStylesheetCompiler::NodeIndex::Erase(const KTXPathNode* node) {
  if (count_ == 0 || !node) return;
  size_t hole = Home(node);
  while (entries_[hole].node != node) {
    if (!entries_[hole].node) return;
    hole = Next(hole);
  }
  // Backward shift: each later entry of the run moves into the hole unless
  // its home lies cyclically after the hole, so that no search stops early.
  for (size_t next = Next(hole); entries_[next].node; next = Next(next)) {
    const size_t home = Home(entries_[next].node);
    const bool stays = hole < next ? (hole < home && home <= next) : (hole < home || home <= next);
    if (stays) continue;
    entries_[hole] = entries_[next];
    hole = next;
  }
  entries_[hole] = Entry{};
  --count_;
}

void KTStylesheetCompiler::NodeIndex::Clear() {
  entries_.clear();
  count_ = 0;
}

// ---- The walk ----

bool KTStylesheetCompiler::CompileElement(int parentId, KTXPathNode* node, bool forwardsCompatible,
                                          size_t subtreeNodes) {
  struct Pending {
    int parentId;
    KTXPathNode* node;
    bool forwardsCompatible;
  };
  // Room for the whole subtree at once: one table of the final size, not a
  // series of doublings each holding the last one's entries beside it.
  size_t room = subtreeNodes == kSizeUnknown ? node->SubtreeSize() : subtreeNodes;
  // The built-in rules are compiled right after a stylesheet: room for their
  // few entries now spares doubling a table the size of the whole
  // stylesheet for them, with the old table beside the new one meanwhile.
  if (parentId == kRootParentId && processor_) {
    const KTXPathNode* builtin = processor_->BuiltinRulesRoot();
    if (builtin && builtin != node) room += builtin->SubtreeSize();
  }
  index_.Reserve(index_.Size() + room);
  std::vector<Pending> stack{{parentId, node, forwardsCompatible}};
  while (!stack.empty()) {
    Pending at = stack.back();
    stack.pop_back();
    NodeIndex::Entry& entry = index_.Slot(at.node);
    index_.SetHint(entry);
    int id = entry.Id();
    if (!entry.HasId()) {
      // Attribute and namespace nodes, and nodes without a namespace, are
      // literal result content.
      id = IsAttributeLike(at.node->GetKind()) || !at.node->GetNamespaceUri() ? int(kXSLTLiteralResult)
                                                                                : elementRecognizer_.ElementId(at.node);
      entry.SetId(id);
    }
    // A top-level element that is no XSLT declaration got past the
    // stylesheet's children check only as a foreign element or, in
    // forwards-compatible mode, as an unknown XSLT element. XSLT 1.0 §2.2 and
    // §2.5 have both ignored together with their content, so nothing in them
    // is checked or compiled; the stylesheet executor passes them over.
    if (at.parentId == kXSLTStylesheet && id == kXSLTLiteralResult && at.node->GetKind() == kXPathElement) continue;
    childrenForwardsCompatible_ = at.forwardsCompatible;
    CompileById(id, at.parentId, at.node, at.forwardsCompatible);
    // Children in reverse onto the stack, so that they are compiled in order.
    for (int i = at.node->GetChildCount() - 1; i >= 0; --i) {
      stack.push_back({id, at.node->GetChild(i), childrenForwardsCompatible_});
    }
  }
  staticCheck_.CheckVariableScopes(node, *this);
  return true;
}

void KTStylesheetCompiler::CheckVariableScopes(const KTXPathNode* stylesheetRoot) {
  if (!processor_) return;
  staticCheck_.CollectGlobals(*processor_, stylesheetRoot);
  staticCheck_.CheckVariableScopes(stylesheetRoot, *this);
}

// ---- Structural checks ----

bool KTStylesheetCompiler::CheckContext(int parentId, KTXPathNode* node, KTElementPlace place) {
  if (place == KTElementPlace::kTopLevel) {
    if (parentId != kXSLTStylesheet) throw UnexpectedChild(node, ChildFault::kNotAllowedHere);
  } else if (place == KTElementPlace::kInstruction) {
    if (parentId == kXSLTStylesheet && elementRecognizer_.IsXSLTElement(node)) {
      throw UnexpectedChild(node, ChildFault::kNotAllowedHere);
    }
  }
  return true;
}

bool KTStylesheetCompiler::CheckAttributes(KTXPathNode* node, KTIdSet allowed, bool forwardsCompatible) {
  const KTString* elementUri = node->GetNamespaceUri();
  const KTString& xsltUri = elementRecognizer_.GetXSLTNamespaceUri();
  bool elementIsXslt = elementUri && *elementUri == xsltUri;
  int count = node->GetChildCount();
  int i = node->FirstChildOfKind(kXPathAttribute);
  for (; i < count && node->GetChild(i)->GetKind() == kXPathAttribute; ++i) {
    KTXPathNode* attribute = node->GetChild(i);
    int id = attributeRecognizer_.AttributeId(attribute);
    if (SetHas(allowed, id)) {
      // Any other name and use-attribute-sets may repeat.
      if (id == kAttrOther || id == kAttrUseAttributeSets) continue;
      for (int j = i + 1; j < count && IsAttributeLike(node->GetChild(j)->GetKind()); ++j) {
        KTXPathNode* later = node->GetChild(j);
        if (later->GetKind() == kXPathAttribute && attributeRecognizer_.AttributeId(later) == id) {
          throw KTXSLTError::About(KTXSLTError::kAttributeRepeated, later);
        }
      }
      continue;
    }
    // In forwards-compatible mode an attribute this version does not know
    // is ignored (XSLT 1.0 §2.5), so a later version's stylesheet runs.
    if (forwardsCompatible) continue;
    const KTString* uri = attribute->GetNamespaceUri();
    bool unexpected = elementIsXslt ? !uri : !elementUri && uri && *uri == xsltUri;
    if (unexpected) {
      KTXSLTError error(KTXSLTError::kUnexpectedAttribute, attribute);
      KTString subject(attribute->GetName());
      subject += u" is not allowed on ";
      subject += node->GetName();
      error.SetSubject(subject);
      throw error;
    }
  }
  return true;
}

int KTStylesheetCompiler::ChildId(const KTXPathNode* child) const {
  if (elementRecognizer_.IsInXSLTNamespace(child) && child->GetKind() == kXPathElement) {
    return KTXSLTElementIdOfLocalName(KTXSLTLocalName(child->GetName()));
  }
  return elementRecognizer_.ElementId(child);
}

bool KTStylesheetCompiler::CheckChildren(KTXPathNode* node, KTIdSet allowed, bool forwardsCompatible) {
  const KTString& xsltUri = elementRecognizer_.GetXSLTNamespaceUri();
  int count = node->GetChildCount();
  int i = 0;
  for (; i < count; ++i) {
    int kind = node->GetChild(i)->GetKind();
    if (kind != kXPathAttribute && kind != kXPathNamespace && kind != kXPathPI && kind != kXPathComment) break;
  }
  for (; i < count; ++i) {
    KTXPathNode* child = node->GetChild(i);
    int kind = child->GetKind();
    if (kind == kXPathPI || kind == kXPathComment) continue;
    const KTString* uri = child->GetNamespaceUri();
    bool inXslt = uri && *uri == xsltUri;
    if (uri && !inXslt) continue;  // foreign elements may stand anywhere
    // Without a namespace a child is literal result content.
    const int id = uri ? ChildId(child) : int(kXSLTLiteralResult);
    // The compile of an XSLT child reads its id from the index rather than
    // recognising its name again (an unknown XSLT element is recognised
    // there as a literal result); any other child costs less to recognise
    // than to look up.
    if (inXslt && id != kXSLTNoElement) {
      NodeIndex::Entry& entry = index_.Slot(child);
      if (!entry.HasId()) entry.SetId(id);
    }
    if (SetHas(allowed, id)) continue;
    if (forwardsCompatible && inXslt) continue;
    const bool unknown = inXslt && child->GetKind() == kXPathElement && ChildId(child) == kXSLTNoElement;
    throw UnexpectedChild(child, unknown ? ChildFault::kUnknownInstruction : ChildFault::kNotAllowedHere);
  }
  return true;
}

namespace {

// Whether the local part of a name (the part after its first ':', or the
// whole name) is `localName`, which holds no ':'. Most names differ from it
// at their first character and are not read to their end.
bool HasLocalName(const char16_t* name, const char16_t* localName) {
  if (!name) return !*localName;
  const char16_t* at = name;
  const char16_t* wanted = localName;
  while (*at && *at == *wanted) {
    ++at;
    ++wanted;
  }
  if (!*at && !*wanted) return true;  // the whole name, which has no ':' then
  while (*at && *at != u':') ++at;
  return *at && KTXSLTLocalName(name) == std::u16string_view(localName);
}

}  // namespace

KTXPathNode* KTStylesheetCompiler::FindAttribute(const KTXPathNode* node, const char16_t* localName,
                                                 const KTString* namespaceUri) const {
  for (int i = 0, count = node->GetChildCount(); i < count; ++i) {
    KTXPathNode* child = node->GetChild(i);
    int kind = child->GetKind();
    if (!IsAttributeLike(kind)) break;  // attributes and declarations come first
    if (kind != kXPathAttribute) continue;
    // The namespace first: it is a pointer test for most attributes, while
    // the local name is a scan of the name.
    const KTString* uri = child->GetNamespaceUri();
    if (namespaceUri ? !(uri && *uri == *namespaceUri) : uri != nullptr) continue;
    if (HasLocalName(child->GetName(), localName)) return child;
  }
  return nullptr;
}

KTStylesheetCompiler::XsltAttributes KTStylesheetCompiler::FindXsltAttributes(const KTXPathNode* node) const {
  XsltAttributes found;
  const KTString& xsltUri = elementRecognizer_.GetXSLTNamespaceUri();
  for (int i = 0, count = node->GetChildCount(); i < count; ++i) {
    KTXPathNode* child = node->GetChild(i);
    int kind = child->GetKind();
    if (!IsAttributeLike(kind)) break;  // attributes and declarations come first
    if (kind != kXPathAttribute) continue;
    const KTString* uri = child->GetNamespaceUri();
    if (!uri || !(*uri == xsltUri)) continue;
    const std::u16string_view local = KTXSLTLocalName(child->GetName());
    // The first of each name, as FindAttribute finds it.
    KTXPathNode** slot = local == u"version"                      ? &found.version
                         : local == u"use-attribute-sets"         ? &found.useAttributeSets
                         : local == u"exclude-result-prefixes"    ? &found.excludeResultPrefixes
                         : local == u"extension-element-prefixes" ? &found.extensionElementPrefixes
                                                                  : nullptr;
    if (slot && !*slot) *slot = child;
  }
  return found;
}

void KTStylesheetCompiler::CheckStructure(int parentId, KTXPathNode* node, const KTElementRule& rule,
                                          bool forwardsCompatible) {
  CheckContext(parentId, node, rule.place);
  if (rule.attributesChecked) CheckAttributes(node, rule.attributes, forwardsCompatible);
  CheckChildren(node, rule.children, forwardsCompatible);
}
