// The stylesheet compiler's walk and its structural checks: element ids,
// allowed places, allowed attributes and allowed children. The per-element
// compile functions are in ktstylesheetcompile_elements.cpp.
#include "xslt/ktstylesheetcompiler.h"

#include <bit>
#include <cstdint>
#include <initializer_list>

#include "xml/ktxpathnode.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltprocessor.h"

namespace {

constexpr uint64_t Ids(std::initializer_list<int> ids) {
  uint64_t mask = 0;
  for (int id : ids) mask |= uint64_t(1) << id;
  return mask;
}

// The content of a template body: the literal result element and the XSLT
// instructions, and also elements that are not instructions (they pass the
// parent's check and are refused by their own context check or compile
// function).
constexpr uint64_t kInstructions =
    Ids({1, 2, 3, 4, 6, 7, 8, 9, 10, 12, 13, 14, 15, 19, 20, 21, 23, 24, 25, 26, 28, 29, 30, 31, 32, 33, 34});

bool IsAttributeLike(int kind) { return kind == kXPathAttribute || kind == kXPathNamespace; }

// Error 33 at a child that may not stand where it is, naming it and its
// parent; an element of the XSLT namespace that XSLT 1.0 does not define
// (most often a misspelt one) is named as such.
KTXSLTError UnexpectedChild(const KTXPathNode* child, bool unknownInstruction) {
  KTXSLTError error(33, const_cast<KTXPathNode*>(child));
  KTString subject = KTXSLTError::Describe(child);
  if (unknownInstruction) {
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

KTStylesheetCompiler::KTStylesheetCompiler(KTXSLTProcessor* processor) : processor_(processor) {
  lists_[1] = kInstructions;
  lists_[2] = 0;
  lists_[3] = 0;
  lists_[4] = kInstructions;
  lists_[5] = 0;
  lists_[6] = 0;
  lists_[7] = Ids({kXSLTSort, kXSLTWithParam});
  lists_[8] = Ids({kAttrSelect, kAttrMode});
  lists_[9] = Ids({kAttrName, kAttrNamespace});
  lists_[10] = Ids({kXSLTAttribute});
  lists_[11] = Ids({kAttrName, kAttrUseAttributeSets});
  lists_[12] = Ids({kXSLTWithParam});
  lists_[13] = Ids({kAttrName});
  lists_[14] = Ids({kXSLTWhen, kXSLTOtherwise});
  lists_[15] = Ids({kAttrUseAttributeSets});
  lists_[16] = Ids({kAttrSelect});
  lists_[17] = Ids({kAttrName, kAttrDecimalSeparator, kAttrGroupingSeparator, kAttrInfinity, kAttrMinusSign, kAttrNaN,
                    kAttrPercent, kAttrPerMille, kAttrZeroDigit, kAttrDigit, kAttrPatternSeparator});
  lists_[18] = Ids({kAttrName, kAttrNamespace, kAttrUseAttributeSets});
  lists_[19] = kInstructions | Ids({kXSLTSort});
  lists_[20] = Ids({kAttrSelect});
  lists_[21] = Ids({kAttrTest});
  lists_[22] = Ids({kAttrHref});
  lists_[23] = Ids({kAttrHref});
  lists_[24] = Ids({kAttrName, kAttrMatch, kAttrUse});
  lists_[25] = Ids({kAttrTerminate});
  lists_[26] = Ids({kAttrStylesheetPrefix, kAttrResultPrefix});
  lists_[27] = Ids({kAttrLevel, kAttrCount, kAttrFrom, kAttrValue, kAttrFormat, kAttrLang, kAttrLetterValue,
                    kAttrGroupingSeparator, kAttrGroupingSize});
  lists_[28] = Ids({kAttrMethod, kAttrVersion, kAttrEncoding, kAttrOmitXmlDeclaration, kAttrStandalone,
                    kAttrDoctypePublic, kAttrDoctypeSystem, kAttrCdataSectionElements, kAttrIndent, kAttrMediaType});
  lists_[29] = Ids({kAttrName, kAttrSelect});
  lists_[30] = Ids({kAttrElements});
  lists_[31] = Ids({kAttrName});
  lists_[32] = Ids({kAttrSelect, kAttrLang, kAttrDataType, kAttrOrder, kAttrCaseOrder});
  lists_[33] = Ids({kAttrElements});
  lists_[34] = Ids({kXSLTAttributeSet, kXSLTDecimalFormat, kXSLTImport, kXSLTInclude, kXSLTKey, kXSLTNamespaceAlias,
                    kXSLTOutput, kXSLTParam, kXSLTPreserveSpace, kXSLTStripSpace, kXSLTTemplate, kXSLTVariable});
  lists_[35] = Ids({kAttrId, kAttrExtensionElementPrefixes, kAttrExcludeResultPrefixes, kAttrVersion});
  lists_[36] = kInstructions | Ids({kXSLTParam});
  lists_[37] = Ids({kAttrMatch, kAttrName, kAttrPriority, kAttrMode});
  lists_[38] = Ids({kXSLTLiteralResult});
  lists_[39] = Ids({kAttrDisableOutputEscaping});
  lists_[40] = Ids({kAttrSelect, kAttrDisableOutputEscaping});
  lists_[41] = Ids({kAttrName, kAttrSelect});
  lists_[42] = Ids({kAttrTest});
  lists_[43] = Ids({kAttrName, kAttrSelect});
}

KTStylesheetCompiler::~KTStylesheetCompiler() = default;

void KTStylesheetCompiler::Clear() {
  records_.clear();
  elementIds_.clear();
  index_.Clear();
  staticCheck_.Clear();
}

void KTStylesheetCompiler::Forget(const KTXPathNode* node) {
  records_.erase(node);
  elementIds_.erase(node);
  index_.Erase(node);
  staticCheck_.Forget(node);
}

int KTStylesheetCompiler::FindElementId(const KTXPathNode* node) const {
  const NodeIndex::Entry* entry = index_.Find(node);
  return entry ? entry->id : 0;
}

int KTStylesheetCompiler::FindElementId(const KTXPathNode* node, KTDeclRecord** record) const {
  const NodeIndex::Entry* entry = index_.Find(node);
  *record = entry ? entry->record : nullptr;
  return entry ? entry->id : 0;
}

KTDeclRecord* KTStylesheetCompiler::FindDeclRecord(const KTXPathNode* node) const {
  const NodeIndex::Entry* entry = index_.Find(node);
  return entry ? entry->record : nullptr;
}

// ---- The flat index ----

size_t KTStylesheetCompiler::NodeIndex::Home(const KTXPathNode* node) const {
  // Fibonacci hashing: the high bits of the product spread aligned pointers.
  return static_cast<size_t>((reinterpret_cast<uintptr_t>(node) * uint64_t{0x9E3779B97F4A7C15}) >> shift_);
}

const KTStylesheetCompiler::NodeIndex::Entry* KTStylesheetCompiler::NodeIndex::Find(const KTXPathNode* node) const {
  if (count_ == 0 || !node) return nullptr;
  const size_t mask = entries_.size() - 1;
  for (size_t i = Home(node);; i = (i + 1) & mask) {
    const Entry& entry = entries_[i];
    if (entry.node == node) return &entry;
    if (!entry.node) return nullptr;
  }
}

KTStylesheetCompiler::NodeIndex::Entry& KTStylesheetCompiler::NodeIndex::Slot(const KTXPathNode* node) {
  if ((count_ + 1) * 2 > entries_.size()) Grow();
  const size_t mask = entries_.size() - 1;
  for (size_t i = Home(node);; i = (i + 1) & mask) {
    Entry& entry = entries_[i];
    if (entry.node == node) return entry;
    if (!entry.node) {
      entry.node = node;
      ++count_;
      return entry;
    }
  }
}

void KTStylesheetCompiler::NodeIndex::Grow() {
  std::vector<Entry> old = std::move(entries_);
  const size_t size = old.empty() ? 64 : old.size() * 2;
  entries_.assign(size, Entry{});
  shift_ = 64 - std::countr_zero(size);
  const size_t mask = size - 1;
  for (const Entry& entry : old) {
    if (!entry.node) continue;
    size_t i = Home(entry.node);
    while (entries_[i].node) i = (i + 1) & mask;
    entries_[i] = entry;
  }
}

void KTStylesheetCompiler::NodeIndex::Erase(const KTXPathNode* node) {
  if (count_ == 0 || !node) return;
  const size_t mask = entries_.size() - 1;
  size_t hole = Home(node);
  while (entries_[hole].node != node) {
    if (!entries_[hole].node) return;
    hole = (hole + 1) & mask;
  }
  // Backward shift: each later entry of the run moves into the hole unless
  // its home lies cyclically after the hole, so that no search stops early.
  for (size_t next = (hole + 1) & mask; entries_[next].node; next = (next + 1) & mask) {
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
  shift_ = 64;
}

// ---- The walk ----

bool KTStylesheetCompiler::CompileElement(int parentId, KTXPathNode* node, bool forwardsCompatible) {
  struct Pending {
    int parentId;
    KTXPathNode* node;
    bool forwardsCompatible;
  };
  std::vector<Pending> stack{{parentId, node, forwardsCompatible}};
  while (!stack.empty()) {
    Pending at = stack.back();
    stack.pop_back();
    // Attribute and namespace nodes are compiled as literal result content.
    int id = IsAttributeLike(at.node->GetKind()) ? int(kXSLTLiteralResult) : elementRecognizer_.ElementId(at.node);
    if (elementIds_.emplace(at.node, id).second) index_.Slot(at.node).id = id;
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

bool KTStylesheetCompiler::CheckContext(int parentId, KTXPathNode* node, bool instructionAllowed,
                                        bool topLevelAllowed) {
  if (topLevelAllowed) {
    if (!instructionAllowed && parentId != kXSLTStylesheet) throw UnexpectedChild(node, false);
  } else if (parentId == kXSLTStylesheet && elementRecognizer_.IsXSLTElement(node)) {
    throw UnexpectedChild(node, false);
  }
  return true;
}

bool KTStylesheetCompiler::CheckAttributes(KTXPathNode* node, int attributeList, bool forwardsCompatible) {
  const KTString* elementUri = node->GetNamespaceUri();
  const KTString& xsltUri = elementRecognizer_.GetXSLTNamespaceUri();
  bool elementIsXslt = elementUri && *elementUri == xsltUri;
  int count = node->GetChildCount();
  int i = node->FirstChildOfKind(kXPathAttribute);
  for (; i < count && node->GetChild(i)->GetKind() == kXPathAttribute; ++i) {
    KTXPathNode* attribute = node->GetChild(i);
    int id = attributeRecognizer_.AttributeId(attribute);
    if (ListHas(attributeList, id)) {
      // Ids 25 (any other name) and 47 (use-attribute-sets) may repeat.
      if (id == kAttrOther || id == kAttrUseAttributeSets) continue;
      for (int j = i + 1; j < count && IsAttributeLike(node->GetChild(j)->GetKind()); ++j) {
        KTXPathNode* later = node->GetChild(j);
        if (later->GetKind() == kXPathAttribute && attributeRecognizer_.AttributeId(later) == id) {
          throw KTXSLTError::About(2, later);
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
      KTXSLTError error(32, attribute);
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

bool KTStylesheetCompiler::CheckChildren(KTXPathNode* node, int childrenList, bool forwardsCompatible) {
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
    if (ListHas(childrenList, ChildId(child))) continue;
    if (forwardsCompatible && inXslt) continue;
    throw UnexpectedChild(child, inXslt && child->GetKind() == kXPathElement && ChildId(child) == 0);
  }
  return true;
}

KTXPathNode* KTStylesheetCompiler::FindAttribute(const KTXPathNode* node, const char16_t* localName,
                                                 const KTString* namespaceUri) const {
  std::u16string_view wanted(localName);
  for (int i = 0, count = node->GetChildCount(); i < count; ++i) {
    KTXPathNode* child = node->GetChild(i);
    int kind = child->GetKind();
    if (!IsAttributeLike(kind)) break;  // attributes and declarations come first
    if (kind != kXPathAttribute || KTXSLTLocalName(child->GetName()) != wanted) continue;
    const KTString* uri = child->GetNamespaceUri();
    if (namespaceUri ? (uri && *uri == *namespaceUri) : !uri) return child;
  }
  return nullptr;
}

void KTStylesheetCompiler::CheckStructure(int parentId, KTXPathNode* node, char context, int attributeList,
                                          int childrenList, bool forwardsCompatible) {
  CheckContext(parentId, node, context != 'T', context != 'I');
  if (attributeList) CheckAttributes(node, attributeList, forwardsCompatible);
  CheckChildren(node, childrenList, forwardsCompatible);
}
