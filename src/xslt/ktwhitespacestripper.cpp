// KTWhitespaceStripper: an explicit-stack walk, so that document depth never
// reaches the call stack, and one compaction per parent, so that a parent
// with many whitespace children costs time linear in its child count. The
// same compaction joins adjacent character data into one text node, so that
// text is judged whitespace-only as a whole. Whether a parent's whitespace
// goes is decided once per parent, and once per element name for the
// document rule.
#include "xslt/ktwhitespacestripper.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/ktstring.h"
#include "xml/ktxpathnode.h"
#include "xslt/ktspacerules.h"
#include "xslt/ktxsltnames.h"

namespace {

constexpr std::u16string_view kXsltNamespace = u"http://www.w3.org/1999/XSL/Transform";

bool IsTrimChar(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

bool IsXsltNamespace(const KTString& uri) {
  return uri.GetLength() == static_cast<int>(kXsltNamespace.size()) &&
         std::memcmp(uri.c_str(), kXsltNamespace.data(), kXsltNamespace.size() * sizeof(char16_t)) == 0;
}

bool IsCharacterData(const KTXPathNode* node) {
  return node->GetKind() == kXPathText || node->GetKind() == kXPathCData;
}

using SpaceAttribute = KTXPathNode::SpaceAttribute;

bool PreserveAt(const KTXPathNode* element, bool inherited) {
  switch (KTXPathNode::OwnSpaceAttribute(element)) {
    case SpaceAttribute::kPreserve: return true;
    case SpaceAttribute::kDefault: return false;
    case SpaceAttribute::kNone: break;
  }
  return inherited;
}

// Whether xml:space="preserve" is in force for the children of `node` from
// its ancestors alone.
bool PreservedByAncestors(const KTXPathNode* node) {
  for (const KTXPathNode* up = node ? node->GetParent() : nullptr; up; up = up->GetParent()) {
    switch (KTXPathNode::OwnSpaceAttribute(up)) {
      case SpaceAttribute::kPreserve: return true;
      case SpaceAttribute::kDefault: return false;
      case SpaceAttribute::kNone: break;
    }
  }
  return false;
}

// The document rule's answer by element name, asked once per distinct name
// of a document. Names are interned, so the text pointer and the namespace
// URI pointer stand for the expanded name; a name that is not interned only
// costs a lookup of the rules.
class NameJudge {
 public:
  explicit NameJudge(const KTSpaceRules* rules) : rules_(rules) {}

  bool Strips(const KTXPathNode* element) {
    if (!rules_ || rules_->Empty()) return false;
    const char16_t* name = element->GetName();
    const KTString* uri = element->GetNamespaceUri();
    Key key{name, uri};
    auto found = judged_.find(key);
    if (found != judged_.end()) return found->second;
    bool strips = rules_->Strips(uri ? uri->View() : std::u16string_view(), QNameLocalPart(name));
    if (judged_.size() < kMaxRemembered) judged_.emplace(key, strips);
    return strips;
  }

 private:
  static constexpr size_t kMaxRemembered = 1 << 16;
  struct Key {
    const char16_t* name;
    const KTString* uri;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    size_t operator()(const Key& key) const {
      return std::hash<const void*>()(key.name) * 31 + std::hash<const void*>()(key.uri);
    }
  };
  const KTSpaceRules* rules_;
  std::unordered_map<Key, bool, KeyHash> judged_;
};

// Decides, for one parent, whether its whitespace-only text children go.
class Rule {
 public:
  Rule(const KTSpaceRules* rules, bool stylesheet) : judge_(rules), stylesheet_(stylesheet) {}

  bool StripsUnder(const KTXPathNode* parent, bool preserved) {
    if (preserved || parent->GetKind() != kXPathElement) return false;
    if (stylesheet_) return !IsXslText(parent);
    return judge_.Strips(parent);
  }

 private:
  // KTWhitespaceStripper::IsXslText with the namespace judged once per
  // distinct URI object: the URIs of a wrapped tree are interned, so a
  // stylesheet's elements share a handful of them.
  bool IsXslText(const KTXPathNode* element) {
    const KTString* uri = element->GetNamespaceUri();
    if (!uri) return false;
    if (uri != xsltUri_) {
      if (uri == otherUri_) return false;
      if (!IsXsltNamespace(*uri)) {
        otherUri_ = uri;
        return false;
      }
      xsltUri_ = uri;
    }
    return QNameLocalPart(element->GetName()) == u"text";
  }

  NameJudge judge_;
  bool stylesheet_;
  const KTString* xsltUri_ = nullptr;
  const KTString* otherUri_ = nullptr;
};

bool Removable(const KTXPathNode* child, bool strips) {
  return strips && child->GetKind() == kXPathText && KTWhitespaceStripper::IsWhitespaceOnly(child);
}

// A parent still to visit, with whether xml:space="preserve" is in force
// for its children.
struct Pending {
  KTXPathNode* node;
  bool preserved;
};

// One text node for a run of adjacent text nodes and CDATA sections (XPath
// 1.0 section 5.7: a text node never has a text node as sibling; a CDATA
// section is character data like any other), made from the children of
// `parent` at [first, end). Null when the run holds no character at all.
std::unique_ptr<KTXPathNode> JoinedText(const KTXPathNode* parent, int first, int end) {
  KTString text;
  for (int i = first; i < end; ++i) text += parent->GetChild(i)->GetValue();
  if (text.IsEmpty()) return nullptr;
  // It wraps the first node's document node, so that an error at the text
  // is placed where the run starts in its file.
  const KTXPathNode* start = parent->GetChild(first);
  auto joined = std::make_unique<KTXPathNode>(start->GetXNode(), kXPathText);
  joined->SetValue(std::move(text));
  joined->SetPosition(start->GetPosition());
  joined->SetFromEntity(start->IsFromEntity());
  return joined;
}

// Keeps the children of `parent` that do not go, in order, with each run of
// character data joined into one text node, and destroys the others: one
// pass over the list in place, then one to close the gaps when any went.
// The children that have children of their own go onto `pending`, when
// given, with whether xml:space="preserve" holds for theirs (read only when
// `judged`, when some rule may strip at all); joining changes only
// character data, which has none.
void Compact(KTXPathNode* parent, bool strips, bool preserved, bool judged, std::vector<Pending>* pending) {
  const int count = parent->GetChildCount();
  bool changed = false;
  for (int i = 0; i < count;) {
    KTXPathNode* child = parent->GetChild(i);
    if (!IsCharacterData(child)) {
      if (pending && child->GetChildCount() > 0) pending->push_back({child, judged && PreserveAt(child, preserved)});
      ++i;
      continue;
    }
    int end = i + 1;
    while (end < count && IsCharacterData(parent->GetChild(end))) ++end;
    if (end - i == 1 && child->GetKind() == kXPathText) {
      if (Removable(child, strips)) {
        parent->TakeChildAt(i);
        changed = true;
      }
      i = end;
      continue;
    }
    std::unique_ptr<KTXPathNode> joined = JoinedText(parent, i, end);
    for (int k = i; k < end; ++k) parent->TakeChildAt(k);
    if (joined && !Removable(joined.get(), strips)) parent->PutChildAt(i, std::move(joined));
    changed = true;
    i = end;
  }
  if (!changed) return;
  parent->CloseChildGaps();
  // A kept child without a document number takes its parent's.
  const int32_t number = parent->GetDocumentNumber();
  for (const auto& child : parent->Children()) {
    if (child->GetDocumentNumber() < 0) child->SetDocumentNumber(number);
  }
}

// Joins the runs of character data in the subtree of `node`, nothing being
// stripped. A node whose one child is a text needs nothing (a document's
// elements mostly hold one text or other elements), so it is not visited.
void JoinCharacterData(KTXPathNode* node) {
  std::vector<KTXPathNode*> pending{node};
  while (!pending.empty()) {
    KTXPathNode* parent = pending.back();
    pending.pop_back();
    bool needs = false;
    bool previousText = false;
    for (const auto& child : parent->Children()) {
      const int kind = child->GetKind();
      if (kind == kXPathText) {
        needs |= previousText;
        previousText = true;
        continue;
      }
      previousText = false;
      if (kind == kXPathCData) {
        needs = true;
        continue;
      }
      const int count = child->GetChildCount();
      if (count > 1 || (count == 1 && child->GetChild(0)->GetKind() != kXPathText)) pending.push_back(child.get());
    }
    if (needs) Compact(parent, false, false, false, nullptr);
  }
}
}  // namespace

bool KTWhitespaceStripper::IsWhitespaceOnly(const KTXPathNode* text) {
  for (const char16_t* p = text->GetValue(); p && *p; ++p)
    if (!IsTrimChar(*p)) return false;
  return true;
}

bool KTWhitespaceStripper::IsXslText(const KTXPathNode* element) {
  if (!element || element->GetKind() != kXPathElement) return false;
  const KTString* uri = element->GetNamespaceUri();
  if (!uri || !IsXsltNamespace(*uri)) return false;
  return QNameLocalPart(element->GetName()) == u"text";
}

bool KTWhitespaceStripper::StripStylesheet(KTXPathNode* node) { return Strip(node, nullptr, true); }

bool KTWhitespaceStripper::StripDocument(KTXPathNode* node, const KTSpaceRules* rules) {
  return Strip(node, rules, false);
}

bool KTWhitespaceStripper::Strip(KTXPathNode* node, const KTSpaceRules* rules, bool stylesheet) {
  if (!node) return true;
  const bool characterDataApart = node->TakeCharacterDataApart();
  Rule rule(rules, stylesheet);
  if (node->GetKind() == kXPathText) {
    KTXPathNode* parent = node->GetParent();
    if (parent && Removable(node, rule.StripsUnder(parent, PreservedByAncestors(node))))
      parent->RemoveChild(node->GetIndexInParent());
    return true;
  }
  // Without a rule that strips (a source document and no xsl:strip-space),
  // only character data is joined: xml:space decides nothing, and is not read.
  const bool judged = stylesheet || (rules && !rules->Empty());
  if (!judged) {
    // A view just wrapped knows whether any character data meets other.
    if (!characterDataApart) JoinCharacterData(node);
    return true;
  }
  std::vector<Pending> pending{{node, judged && PreserveAt(node, PreservedByAncestors(node))}};
  while (!pending.empty()) {
    Pending parent = pending.back();
    pending.pop_back();
    bool strips = rule.StripsUnder(parent.node, parent.preserved);
    Compact(parent.node, strips, parent.preserved, judged, &pending);
  }
  return true;
}
