// The shapes of select texts that are read straight from the tree, and the
// node tests they make.
#include "xslt/ktsimpleselect.h"

#include "platform/ktwchar.h"
#include "xpath/ktxpathfunctionlibrary.h"

bool KTSimpleSelect::IsAsciiNCName(std::u16string_view text) {
  if (text.empty()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    bool letter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_';
    bool other = (c >= u'0' && c <= u'9') || c == u'-' || c == u'.';
    if (!letter && (i == 0 || !other)) return false;
  }
  return true;
}

bool KTSimpleSelect::Parse(std::u16string_view view) {
  while (!view.empty() && KTIsSpace(view.front())) view.remove_prefix(1);
  while (!view.empty() && KTIsSpace(view.back())) view.remove_suffix(1);
  if (view == u".") {
    shape_ = Shape::kSelf;
    return true;
  }
  Shape shape = Shape::kChild;
  if (!view.empty() && view.front() == u'@') {
    shape = Shape::kAttribute;
    view.remove_prefix(1);
  }
  if (!IsAsciiNCName(view)) return false;
  // Words that could read as operators or node types are left to the
  // expression grammar.
  for (std::u16string_view word :
       {u"and", u"or", u"div", u"mod", u"node", u"text", u"comment", u"processing-instruction"})
    if (view == word) return false;
  shape_ = shape;
  name_ = KTString(view);
  return true;
}

bool KTSimpleSelect::Selects(const KTXPathNode* child) const {
  if (shape_ == Shape::kChild)
    return child->GetKind() == kXPathElement && IsContentNode(child) && MatchesUnprefixedName(child, name_.View());
  return child->GetKind() == kXPathAttribute && MatchesUnprefixedName(child, name_.View());
}

KTXPathNode* KTSimpleSelect::First(KTXPathNode* context) const {
  if (!context) return nullptr;
  if (shape_ == Shape::kSelf) return context;
  // Selects as one loop: an element child is on the child axis unless the
  // context is a declaration node; attributes hang on elements only.
  if (shape_ == Shape::kAttribute ? context->GetKind() != kXPathElement : context->GetKind() >= kXPathXmlDecl)
    return nullptr;
  const int wanted = shape_ == Shape::kChild ? kXPathElement : kXPathAttribute;
  const std::u16string_view name = name_.View();
  const int count = context->GetChildCount();
  for (int i = 0; i < count; ++i) {
    KTXPathNode* child = context->GetChild(i);
    if (child->GetKind() == wanted && MatchesUnprefixedName(child, name)) return child;
  }
  return nullptr;
}

std::u16string_view KTSimpleSelect::StringValue(const KTXPathNode* node, KTString& scratch, bool* inTree) {
  const int kind = node ? node->GetKind() : kXPathRoot;
  if (inTree) *inTree = node && kind != kXPathRoot && kind != kXPathElement;
  if (node && kind == kXPathElement && node->GetChildCount() == 1) {
    const KTXPathNode* child = node->GetChild(0);
    if (child->GetKind() == kXPathText || child->GetKind() == kXPathCData) {
      if (inTree) *inTree = true;
      return std::u16string_view(child->GetValue());
    }
  }
  return KTXPathFunctionLibrary::StringValueView(node, scratch);
}

bool KTSimpleSelect::IsNameOfContext(std::u16string_view text) {
  // The ends are trimmed as every expression text is; between the tokens
  // only XPath white space (XPath 1.0 §3.7) may stand, as the expression
  // grammar allows: other spaces there make the text no expression.
  while (!text.empty() && KTIsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && KTIsSpace(text.back())) text.remove_suffix(1);
  auto skipSpace = [&text] {
    while (!text.empty() && (text.front() == u' ' || text.front() == u'\t' || text.front() == u'\r' ||
                             text.front() == u'\n'))
      text.remove_prefix(1);
  };
  auto take = [&text, &skipSpace](std::u16string_view token) {
    skipSpace();
    if (!text.starts_with(token)) return false;
    text.remove_prefix(token.size());
    return true;
  };
  if (!take(u"name") || !take(u"(")) return false;
  take(u".");
  if (!take(u")")) return false;
  skipSpace();
  return text.empty();
}
