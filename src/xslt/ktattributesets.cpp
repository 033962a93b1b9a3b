// KTAttributeSets: attribute-set declarations by name and their flattening
// into the xsl:attribute instructions a use-attribute-sets attribute runs.
#include "xslt/ktattributesets.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>

#include "xml/ktnamespace.h"
#include "xml/ktxpathnode.h"
#include "xslt/ktdeclarationexecutors.h"
#include "xslt/ktdeclrecord.h"
#include "xslt/ktinstructionexecutor.h"
#include "xslt/ktvariableexecutors.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltkeywords.h"
#include "xslt/ktxsltnames.h"
#include "xslt/ktxsltprocessor.h"

namespace {

constexpr int kUndefinedAttributeSet = KTXSLTError::kUndefinedAttributeSet;
constexpr int kUnexpectedValue = KTXSLTError::kUnexpectedValue;
constexpr int kNotQName = KTXSLTError::kNotQName;

// Separates namespace URI and local name in a key; no XML text holds it.
constexpr char16_t kKeySeparator = u'\uFFFF';

// The expanded names of the sets a use-attribute-sets attribute names, in
// order, prefixes resolved where the attribute stands.
std::vector<KTString> SetNames(KTXPathNode* useAttribute) {
  std::vector<KTString> names;
  std::u16string_view text(useAttribute->GetValue());
  const KTPrefixMap* scope = KTInstructionExecutor::NamespaceMapOf(useAttribute);
  for (std::u16string_view token : SplitNameList(text)) {
    KTString name(token);
    if (!IsQName(name.c_str())) throw KTXSLTError::About(kNotQName, useAttribute);
    names.push_back(KTAttributeSetExecutor::ExpandSetName(name.View(), scope, useAttribute));
  }
  return names;
}

KTXSLTError SetError(KTXPathNode* useAttribute, const KTString& expandedName, const char16_t* what) {
  KTXSLTError error(kUnexpectedValue, useAttribute);
  error.SetMessageText(KTString(u"Attribute set ") + expandedName + what);
  return error;
}

// Clears the mark of a set being flattened when the flattening fails, so
// that the set is not taken for one that uses itself later.
class ExpandingMark {
 public:
  explicit ExpandingMark(bool* expanding) : expanding_(expanding) { *expanding_ = true; }
  ~ExpandingMark() { *expanding_ = false; }
  ExpandingMark(const ExpandingMark&) = delete;
  ExpandingMark& operator=(const ExpandingMark&) = delete;

 private:
  bool* expanding_;
};

}  // namespace

void KTAttributeSets::Add(const KTString& expandedName, KTXPathNode* declaration, int importPrecedence) {
  declarations_[expandedName].push_back(Declaration{declaration, importPrecedence});
  expansions_.clear();
  instructions_.clear();
}

void KTAttributeSets::Clear() {
  declarations_.clear();
  expansions_.clear();
  instructions_.clear();
}

const std::vector<KTXPathNode*>& KTAttributeSets::Instructions(KTXPathNode* useAttribute,
                                                                const KTXSLTProcessor& processor) {
  auto found = instructions_.find(useAttribute);
  if (found != instructions_.end()) return found->second;
  std::vector<Part> parts(1);
  parts.front().uses = Used(useAttribute, processor, 0);
  Expansion merged;
  const Expansion* run = &merged;
  if (parts.front().uses.size() == 1) run = parts.front().uses.front();
  else Merge(parts, merged, processor);
  std::vector<KTXPathNode*> instructions;
  const std::vector<Entry>& order = run->computedNames ? run->lastWins : run->firstMade;
  instructions.reserve(order.size());
  for (const Entry& entry : order) instructions.push_back(entry.instruction);
  return instructions_.emplace(useAttribute, std::move(instructions)).first->second;
}

std::vector<const KTAttributeSets::Expansion*> KTAttributeSets::Used(KTXPathNode* useAttribute,
                                                                     const KTXSLTProcessor& processor, int depth) {
  std::vector<const Expansion*> used;
  for (const KTString& name : SetNames(useAttribute)) used.push_back(&Expand(name, useAttribute, processor, depth));
  return used;
}

const KTAttributeSets::Expansion& KTAttributeSets::Expand(const KTString& expandedName, KTXPathNode* useAttribute,
                                                          const KTXSLTProcessor& processor, int depth) {
  auto declared = declarations_.find(expandedName);
  if (declared == declarations_.end()) {
    KTXSLTError error(kUndefinedAttributeSet, useAttribute);
    // The name as the attribute writes it (the expanded name holds a URI).
    KTString written = expandedName;
    const KTPrefixMap* scope = useAttribute ? KTInstructionExecutor::NamespaceMapOf(useAttribute) : nullptr;
    for (std::u16string_view token : SplitNameList(useAttribute ? useAttribute->GetValue() : u"")) {
      if (KTAttributeSetExecutor::ExpandSetName(token, scope, useAttribute) == expandedName) {
        written = KTString(token);
        break;
      }
    }
    KTString subject(u"no attribute set named \"");
    subject += written;
    subject += u'"';
    error.SetSubject(subject);
    throw error;
  }
  // References stay valid while the map grows, so the slot can be filled
  // after the sets it uses have been added.
  Expansion& slot = expansions_[expandedName];
  if (slot.done) return slot;
  if (slot.expanding) throw SetError(useAttribute, expandedName, u" uses itself");
  if (depth >= kMaxNesting) throw SetError(useAttribute, expandedName, u" is nested too deeply");
  slot = Expansion();
  ExpandingMark mark(&slot.expanding);

  std::vector<Part> parts;
  parts.reserve(declared->second.size());
  for (const Declaration& declaration : declared->second) {
    Part part;
    part.importPrecedence = declaration.importPrecedence;
    part.declaration = declaration.node;
    const KTDeclRecord* record = processor.FindDeclaration(declaration.node);
    if (!record || record->elementId != kXSLTAttributeSet)
      throw KTXSLTError(KTXSLTError::kUnexpectedFailure, declaration.node);
    if (KTXPathNode* uses = static_cast<const KTDeclAttributeSet*>(record)->useAttributeSetsNode)
      part.uses = Used(uses, processor, depth + 1);
    parts.push_back(std::move(part));
  }
  Merge(parts, slot, processor);
  slot.done = true;
  return slot;
}

void KTAttributeSets::Merge(std::vector<Part>& parts, Expansion& out, const KTXSLTProcessor& processor) {
  std::stable_sort(parts.begin(), parts.end(),
                   [](const Part& a, const Part& b) { return a.importPrecedence < b.importPrecedence; });
  std::vector<std::vector<Entry>> own(parts.size());
  for (size_t i = 0; i < parts.size(); ++i) {
    if (!parts[i].declaration) continue;
    for (KTXPathNode* child = KTFirstContentChild(parts[i].declaration); child;
         child = KTInstructionExecutor::NextInstructionSibling(child)) {
      if (!processor.ElementRecognizer().IsXSLAttribute(child))
        throw KTXSLTError(KTXSLTError::kUnexpectedFailure, child);
      Entry entry{child, KeyOf(child, processor)};
      if (entry.key.IsEmpty()) out.computedNames = true;
      own[i].push_back(std::move(entry));
    }
  }
  for (const Part& part : parts)
    for (const Expansion* used : part.uses)
      if (used->computedNames) out.computedNames = true;

  // XSLT 1.0 §7.1.4: declarations by increasing import precedence, each the
  // sets it uses and then its own attributes, the last value of a name
  // standing. An instruction whose name is computed is kept once, at its
  // last place: run again in the same context it makes the same attribute.
  std::vector<const Entry*> sequence;
  for (size_t i = 0; i < parts.size(); ++i) {
    for (const Expansion* used : parts[i].uses)
      for (const Entry& entry : used->lastWins) sequence.push_back(&entry);
    for (const Entry& entry : own[i]) sequence.push_back(&entry);
  }
  std::unordered_set<KTString> seenKeys;
  std::unordered_set<const KTXPathNode*> seenInstructions;
  std::unordered_map<KTString, KTXPathNode*> winners;
  for (auto it = sequence.rbegin(); it != sequence.rend(); ++it) {
    const Entry& entry = **it;
    bool last = entry.key.IsEmpty() ? seenInstructions.insert(entry.instruction).second : seenKeys.insert(entry.key).second;
    if (!last) continue;
    out.lastWins.push_back(entry);
    if (!entry.key.IsEmpty()) winners.emplace(entry.key, entry.instruction);
  }
  std::reverse(out.lastWins.begin(), out.lastWins.end());
  if (out.computedNames) return;

  // xsltproc's order: each name where it is first made, the levels of
  // import precedence from the highest, each level its own attributes
  // first, then the sets its declarations use.
  std::unordered_set<KTString> made;
  auto take = [&](const Entry& entry) {
    if (made.insert(entry.key).second) out.firstMade.push_back(Entry{winners[entry.key], entry.key});
  };
  for (size_t end = parts.size(); end > 0;) {
    size_t begin = end;
    while (begin > 0 && parts[begin - 1].importPrecedence == parts[end - 1].importPrecedence) --begin;
    for (size_t i = begin; i < end; ++i)
      for (const Entry& entry : own[i]) take(entry);
    for (size_t i = begin; i < end; ++i)
      for (const Expansion* used : parts[i].uses)
        for (const Entry& entry : used->firstMade) take(entry);
    end = begin;
  }
}

KTString KTAttributeSets::KeyOf(KTXPathNode* instruction, const KTXSLTProcessor& processor) {
  const KTDeclRecord* record = processor.FindDeclaration(instruction);
  if (!record || record->elementId != kXSLTAttribute) return KTString();
  const auto* attribute = static_cast<const KTDeclAttribute*>(record);
  if (!attribute->nameNode) return KTString();
  KTString name(attribute->nameNode->GetValue());
  std::u16string_view view = name.View();
  if (view.find_first_of(u"{}") != std::u16string_view::npos || !IsQName(name.c_str()) || view == u"xmlns")
    return KTString();
  size_t colon = view.find(u':');
  std::u16string_view local = colon == std::u16string_view::npos ? view : view.substr(colon + 1);
  std::u16string_view prefix = colon == std::u16string_view::npos ? std::u16string_view() : view.substr(0, colon);
  KTString uri;
  if (attribute->namespaceNode) {
    uri = KTString(attribute->namespaceNode->GetValue());
    if (uri.View().find_first_of(u"{}") != std::u16string_view::npos) return KTString();
  } else if (prefix == u"xml") {
    uri = KTString(kXmlNamespaceUri);
  } else if (!prefix.empty()) {
    const KTPrefixMap* scope = KTXPathNode::GetNodeNamespaceMap(instruction);
    if (!scope || prefix == u"xmlns") return KTString();
    auto found = scope->find(prefix);
    if (found == scope->end() || !found->second || found->second->IsEmpty()) return KTString();
    uri = *found->second;
  }
  KTString key;
  if (!uri.IsEmpty()) {
    key = uri;
    key += kKeySeparator;
  }
  key += KTString(local);
  return key;
}
