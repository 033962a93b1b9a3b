// KTWhitespaceStripper: an explicit-stack walk, so that document depth never
// reaches the call stack, and one compaction per parent, so that a parent
// with many whitespace children costs time linear in its child count.
#include "xslt/ktwhitespacestripper.h"

#include <memory>
#include <string_view>
#include <vector>

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

// Keeps the children of `parent` that do not go, in order, and destroys the
// others.
void Compact(KTXPathNode* parent, bool stylesheet) {
  KTXPathNode::ChildList children = parent->ReleaseChildren();
  parent->ReserveChildren(static_cast<int>(children.size()));
  for (std::unique_ptr<KTXPathNode>& child : children) {
    if (Removable(parent, child.get(), stylesheet)) {
      child.reset();
      continue;
    }
    int32_t number = child->GetDocumentNumber();
    KTXPathNode* kept = parent->AppendChild(std::move(child));
    kept->SetDocumentNumber(number);
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
    bool any = false;
    for (const auto& child : parent->Children()) {
      if (Removable(parent, child.get(), stylesheet)) {
        any = true;
        break;
      }
    }
    if (any) Compact(parent, stylesheet);
    for (const auto& child : parent->Children())
      if (child->GetChildCount() > 0) pending.push_back(child.get());
  }
  return true;
}
