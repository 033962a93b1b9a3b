// KTWhitespaceStripper: an explicit-stack walk, so that document depth never
// reaches the call stack, and one compaction per parent, so that a parent
// with many whitespace children costs time linear in its child count. The
// same compaction joins adjacent character data into one text node, so that
// text is judged whitespace-only as a whole.
#include "xslt/ktwhitespacestripper.h"

#include <memory>
#include <string_view>
#include <vector>

#include "core/ktstring.h"
#include "xml/ktxpathnode.h"

namespace {

constexpr std::u16string_view kXsltNamespace = u"http://www.w3.org/1999/XSL/Transform";

bool IsTrimChar(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// Whether `child` of `parent` goes under the rule in force.
bool Removable(const KTXPathNode* parent, const KTXPathNode* child, bool stylesheet) {
  if (child->GetKind() != kXPathText) return false;
  if (stylesheet && KTWhitespaceStripper::IsXslText(parent)) return false;
  return KTWhitespaceStripper::IsWhitespaceOnly(child);
}

bool IsCharacterData(const KTXPathNode* node) {
  return node->GetKind() == kXPathText || node->GetKind() == kXPathCData;
}

// True when the children of `parent` need a compaction: a text node goes, a
// CDATA section stands, or two character-data nodes stand side by side.
// In the same pass the children that have children of their own go onto
// `pending` (compaction changes only character data, which has none).
bool NeedsCompaction(const KTXPathNode* parent, bool stylesheet, std::vector<KTXPathNode*>& pending) {
  bool needs = false;
  bool previousText = false;
  for (const auto& child : parent->Children()) {
    if (!IsCharacterData(child.get()) && child->GetChildCount() > 0) pending.push_back(child.get());
    if (needs) continue;
    if (child->GetKind() == kXPathCData || Removable(parent, child.get(), stylesheet)) {
      needs = true;
      continue;
    }
    bool text = child->GetKind() == kXPathText;
    if (text && previousText) needs = true;
    previousText = text;
  }
  return needs;
}

// One text node for a run of adjacent text nodes and CDATA sections (XPath
// 1.0 section 5.7: a text node never has a text node as sibling; a CDATA
// section is character data like any other). Null when the run holds no
// character at all.
std::unique_ptr<KTXPathNode> JoinedText(std::unique_ptr<KTXPathNode>* first, std::unique_ptr<KTXPathNode>* end) {
  if (end - first == 1 && (*first)->GetKind() == kXPathText) return std::move(*first);
  KTString text;
  for (auto* run = first; run != end; ++run) text += (*run)->GetValue();
  if (text.IsEmpty()) return nullptr;
  // It wraps the first node's document node, so that an error at the text
  // is placed where the run starts in its file.
  auto joined = std::make_unique<KTXPathNode>((*first)->GetXNode(), kXPathText);
  joined->SetValue(std::move(text));
  joined->SetPosition((*first)->GetPosition());
  joined->SetFromEntity((*first)->IsFromEntity());
  return joined;
}

// Keeps the children of `parent` that do not go, in order, with each run of
// character data joined into one text node, and destroys the others.
void Compact(KTXPathNode* parent, bool stylesheet) {
  KTXPathNode::ChildList children = parent->ReleaseChildren();
  parent->ReserveChildren(static_cast<int>(children.size()));
  const int32_t number = parent->GetDocumentNumber();
  for (size_t i = 0; i < children.size();) {
    std::unique_ptr<KTXPathNode> child;
    if (IsCharacterData(children[i].get())) {
      size_t end = i + 1;
      while (end < children.size() && IsCharacterData(children[end].get())) ++end;
      child = JoinedText(&children[i], &children[0] + end);
      i = end;
    } else {
      child = std::move(children[i++]);
    }
    if (!child || Removable(parent, child.get(), stylesheet)) continue;
    int32_t childNumber = child->GetDocumentNumber() >= 0 ? child->GetDocumentNumber() : number;
    KTXPathNode* kept = parent->AppendChild(std::move(child));
    kept->SetDocumentNumber(childNumber);
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
  if (!uri || uri->View() != kXsltNamespace) return false;
  std::u16string_view name = element->GetName();
  size_t colon = name.find(u':');
  if (colon != std::u16string_view::npos) name.remove_prefix(colon + 1);
  return name == u"text";
}

bool KTWhitespaceStripper::StripStylesheet(KTXPathNode* node) { return Strip(node, true); }

bool KTWhitespaceStripper::StripDocument(KTXPathNode* node) { return Strip(node, false); }

bool KTWhitespaceStripper::Strip(KTXPathNode* node, bool stylesheet) {
  if (!node) return true;
  if (node->GetKind() == kXPathText) {
    KTXPathNode* parent = node->GetParent();
    if (parent && Removable(parent, node, stylesheet)) parent->RemoveChild(node->GetIndexInParent());
    return true;
  }
  std::vector<KTXPathNode*> pending{node};
  while (!pending.empty()) {
    KTXPathNode* parent = pending.back();
    pending.pop_back();
    if (NeedsCompaction(parent, stylesheet, pending)) Compact(parent, stylesheet);
  }
  return true;
}
