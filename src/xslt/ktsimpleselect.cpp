// The shapes of compiled selects that are read straight from the document
// tree, and the node tests they make.
#include "xslt/ktsimpleselect.h"

#include "platform/ktwchar.h"
#include "xpath/ktxpathastnode.h"
#include "xpath/ktxpathfunctionlibrary.h"
#include "xpath/ktxpathpattern.h"

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

namespace {

// The one step of an expression that is a relative location path of one
// step, or null.
const KTXPathAstNode* SoleStep(const KTXPathAstNode* tree) {
  const KTXPathAstNode* path = KTSoleChainTo(tree, kAstRelativeLocationPath);
  return path && path->ChildCount() == 1 ? path->FirstChild() : nullptr;
}

bool IsSelfStep(const KTXPathAstNode* step) {
  return step && step->FirstChild()->GetKind() == kAstAbbreviatedStep && KTTextBelow(step->FirstChild()) == u".";
}

}  // namespace

bool KTSimpleSelect::Read(const KTXPathAstNode* tree) {
  const KTXPathAstNode* step = SoleStep(tree);
  if (!step) return false;
  if (IsSelfStep(step)) {
    shape_ = Shape::kSelf;
    return true;
  }
  // An abbreviated child or attribute step with an unprefixed name test
  // and no predicate.
  const KTXPathAstNode* axisStep = step->FirstChild();
  if (axisStep->GetKind() != kAstAxisStep || axisStep->ChildCount() != 2) return false;
  const KTXPathAstNode* specifier = axisStep->FirstChild();
  if (specifier->GetKind() != kAstAbbreviatedAxisSpecifier) return false;
  const KTXPathAstNode* test = axisStep->ChildAt(1);
  if (test->GetKind() != kAstNameTest) return false;
  const KTXPathAstNode* qname = test->FirstChild();
  if (!qname || qname->GetKind() != kAstQName || qname->ChildCount() != 1) return false;
  std::u16string_view name = KTTextBelow(qname);
  if (!IsAsciiNCName(name)) return false;
  shape_ = KTTextBelow(specifier) == u"@" ? Shape::kAttribute : Shape::kChild;
  name_ = KTString(name);
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

KTSimpleSelect::ContextFunction KTSimpleSelect::ContextFunctionOf(const KTXPathAstNode* tree) {
  const KTXPathAstNode* filter = KTSoleChainTo(tree, kAstFilterExpr);
  const KTXPathAstNode* call = filter && filter->ChildCount() == 1 ? filter->FirstChild()->FirstChild() : nullptr;
  if (!call || call->GetKind() != kAstFunctionCall) return ContextFunction::kNone;
  const KTXPathAstNode* qname = call->FirstChild()->FirstChild();
  if (qname->ChildCount() != 1) return ContextFunction::kNone;
  const std::u16string_view name = KTTextBelow(qname);
  const ContextFunction function = name == u"name"              ? ContextFunction::kName
                                   : name == u"normalize-space" ? ContextFunction::kNormalizeSpace
                                                                : ContextFunction::kNone;
  if (function == ContextFunction::kNone) return function;
  // Name, "(", the arguments when there are any, ")": none, or "." alone.
  const KTXPathAstNode* arguments = call->ChildAt(2);
  if (arguments->GetKind() != kAstArguments) return function;
  return arguments->ChildCount() == 1 && IsSelfStep(SoleStep(arguments->FirstChild())) ? function
                                                                                        : ContextFunction::kNone;
}
