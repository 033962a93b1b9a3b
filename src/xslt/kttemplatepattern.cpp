// KTTemplatePattern: reading a compiled pattern alternative into steps, its
// default priority and index key, and the direct match from the tested node.
#include "xslt/kttemplatepattern.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>

#include "xpath/ktxpathastnode.h"
#include "xpath/ktxpathpattern.h"
#include "xpath/ktxpathvalue.h"

namespace {

// The name a QName node holds (prefix and local part), or a prefix
// wildcard's prefix; false for another node.
bool NameParts(const KTXPathAstNode* name, KTString& prefix, KTString& local) {
  if (name->GetKind() == kAstPrefixWildcard) {
    prefix = KTString(KTTextBelow(name));
    return true;
  }
  if (name->GetKind() != kAstQName) return false;
  if (name->ChildCount() == 2) prefix = KTString(KTTextBelow(name->ChildAt(0)));
  local = KTString(KTTextBelow(name->ChildAt(name->ChildCount() - 1)));
  return true;
}

// The contents of a Literal node (the run between its quotes).
KTString LiteralText(const KTXPathAstNode* literal) {
  const KTXPathAstNode* quoted = literal->FirstChild();
  for (int i = 0; quoted && i < quoted->ChildCount(); ++i) {
    if (quoted->ChildAt(i)->GetKind() == kAstCharacterRun) return quoted->ChildAt(i)->Token();
  }
  return KTString();
}

// A node's namespace URI, null for none (an empty URI counts as none).
const KTString* UriOf(const KTXPathNode* node) {
  const KTString* uri = node->GetNamespaceUri();
  return uri && !uri->IsEmpty() ? uri : nullptr;
}

bool SameUri(const KTString* a, const KTString* b) {
  if (a == b) return true;
  if (!a || !b) return false;
  return *a == *b;
}

// The node has a parent that is not a declaration.
bool HasContentParent(const KTXPathNode* node) {
  const KTXPathNode* parent = node->GetParent();
  return parent && parent->GetKind() < kXPathXmlDecl;
}

// Nodes the child axis holds: content whose parent is not a declaration.
bool IsContentChild(const KTXPathNode* node) {
  int kind = node->GetKind();
  if (kind == kXPathRoot || kind == kXPathAttribute || kind == kXPathNamespace || kind >= kXPathXmlDecl) return false;
  return HasContentParent(node);
}

// Whether the local part of the node's name is `local` (which holds no
// colon). An unprefixed name is compared in one pass; only a name whose
// characters part from `local` is looked at further, for a prefix.
bool LocalNameIs(const KTXPathNode* node, std::u16string_view local) {
  const char16_t* name = node->GetName();
  size_t at = 0;
  while (at < local.size() && name[at] == local[at]) ++at;
  if (at == local.size() && name[at] == u'\0') return true;
  // The characters matched so far hold no colon: a prefix ends after them,
  // found in one pass over the rest of the name.
  for (const char16_t* p = name + at; *p; ++p) {
    if (*p == u':') return std::u16string_view(p + 1) == local;
  }
  return false;
}

}  // namespace

bool KTPatternStep::Passes(const KTXPathNode* node) const {
  if (!node) return false;
  // Node kinds are read straight from the node: an element, text (or
  // CDATA), comment or processing instruction on the child axis, an
  // attribute on the attribute axis. The cheap kind test comes first, as
  // most nodes offered fail it.
  const int kind = node->GetKind();
  if (attributeAxis) {
    if (kind != kXPathAttribute || !node->GetParent() || node->GetParent()->GetKind() != kXPathElement) return false;
    switch (test) {
      case kName: return LocalNameIs(node, local.View()) && SameUri(UriOf(node), uri);
      case kNamespaceWildcard: return SameUri(UriOf(node), uri);
      case kAnyName:
      case kNode: return true;
      default: return false;
    }
  }
  switch (test) {
    case kName:
      return kind == kXPathElement && HasContentParent(node) && LocalNameIs(node, local.View()) &&
             SameUri(UriOf(node), uri);
    case kNamespaceWildcard: return kind == kXPathElement && HasContentParent(node) && SameUri(UriOf(node), uri);
    case kAnyName: return kind == kXPathElement && HasContentParent(node);
    case kNode: return IsContentChild(node);
    case kText: return (kind == kXPathText || kind == kXPathCData) && HasContentParent(node);
    case kComment: return kind == kXPathComment && HasContentParent(node);
    case kPI:
      return kind == kXPathPI && HasContentParent(node) &&
             (!hasLiteral || std::u16string_view(node->GetName()) == local.View());
  }
  return false;
}

void KTTemplatePattern::Read(const KTXPathAstNode* tree, const KTPrefixMap* namespaces) {
  anchor_ = kRelative;
  steps_.clear();
  understood_ = direct_ = nothing_ = false;
  indexKind_ = -1;
  indexName_ = false;
  // Only a tree within the pattern grammar (XSLT 1.0 §5.2) and of one
  // alternative is read.
  if (!tree || FindPatternProblem(tree).node) return;
  const KTXPathAstNode* unionExpr = KTSoleChainTo(tree, kAstUnionExpr);
  if (!unionExpr || unionExpr->ChildCount() != 1) return;
  const KTXPathAstNode* form = unionExpr->FirstChild()->FirstChild();
  const KTXPathAstNode* relative = nullptr;
  bool descendantNext = false;
  switch (form->GetKind()) {
    case kAstLocationPath: {
      const KTXPathAstNode* path = form->FirstChild();
      if (path->GetKind() == kAstRelativeLocationPath) {
        relative = path;
        break;
      }
      const KTXPathAstNode* absolute = path->FirstChild();
      if (absolute->GetKind() == kAstAbbreviatedAbsoluteLocationPath) {
        anchor_ = kDescendant;
        descendantNext = true;
      } else {
        anchor_ = kRoot;
        if (absolute->ChildCount() < 2) {
          understood_ = direct_ = true;
          indexKind_ = kItemRoot;
          return;
        }
      }
      relative = absolute->ChildAt(1);
      break;
    }
    case kAstFilterExpr:
      // id() or key() alone.
      anchor_ = kIdKey;
      understood_ = true;
      return;
    default:
      anchor_ = kIdKey;
      descendantNext = form->GetKind() == kAstFilterDescendantPath;
      relative = form->ChildAt(2);
      break;
  }

  bool anyPredicates = false;
  for (int i = 0; i < relative->ChildCount(); ++i) {
    const KTXPathAstNode* at = relative->ChildAt(i);
    if (at->GetKind() == kAstStepContinuation) {
      descendantNext = KTTextBelow(at->FirstChild()) == u"//";
      at = at->ChildAt(1);
    }
    // The grammar check let only axis steps on the child and attribute
    // axes through.
    const KTXPathAstNode* axisStep = at->FirstChild();
    KTPatternStep step;
    step.descendant = descendantNext;
    const KTXPathAstNode* specifier = axisStep->FirstChild();
    step.attributeAxis = specifier->GetKind() == kAstNamedAxis ? KTTextBelow(specifier) == u"attribute"
                                                                : KTTextBelow(specifier) == u"@";
    const KTXPathAstNode* test = axisStep->ChildAt(1);
    switch (test->GetKind()) {
      case kAstNameTest: {
        const KTXPathAstNode* name = test->FirstChild();
        if (name->GetKind() == kAstToken) {
          step.test = KTPatternStep::kAnyName;
        } else if (!NameParts(name, step.prefix, step.local)) {
          return;
        } else {
          step.test = name->GetKind() == kAstPrefixWildcard ? KTPatternStep::kNamespaceWildcard : KTPatternStep::kName;
        }
        break;
      }
      case kAstNodeTypeTest: {
        std::u16string_view type = KTTextBelow(test->FirstChild());
        step.test = type == u"node"      ? KTPatternStep::kNode
                    : type == u"text"    ? KTPatternStep::kText
                    : type == u"comment" ? KTPatternStep::kComment
                                         : KTPatternStep::kPI;
        break;
      }
      case kAstProcessingInstructionTest:
        step.test = KTPatternStep::kPI;
        step.hasLiteral = true;
        step.local = LiteralText(test->ChildAt(2));
        break;
      default: return;
    }
    if (!step.prefix.IsEmpty()) {
      const KTString* bound = nullptr;
      if (namespaces) {
        auto found = namespaces->find(step.prefix);
        if (found != namespaces->end()) bound = found->second;
      }
      // An unbound prefix is the evaluation's error to report.
      if (!bound) return;
      step.uri = bound->IsEmpty() ? nullptr : bound;
    }
    step.hasPredicates = axisStep->ChildCount() > 2;
    anyPredicates = anyPredicates || step.hasPredicates;
    steps_.push_back(std::move(step));
    descendantNext = false;
  }
  understood_ = true;
  direct_ = anchor_ != kIdKey && !anyPredicates;
  ComputeIndexKey();
}

void KTTemplatePattern::ComputeIndexKey() {
  indexKind_ = -1;
  indexName_ = false;
  if (steps_.empty()) return;
  const KTPatternStep& last = steps_.back();
  if (last.attributeAxis) {
    switch (last.test) {
      case KTPatternStep::kName: indexName_ = true; [[fallthrough]];
      case KTPatternStep::kNamespaceWildcard:
      case KTPatternStep::kAnyName:
      case KTPatternStep::kNode: indexKind_ = kItemAttribute; break;
      default: nothing_ = true; break;
    }
    return;
  }
  switch (last.test) {
    case KTPatternStep::kName: indexName_ = true; [[fallthrough]];
    case KTPatternStep::kNamespaceWildcard:
    case KTPatternStep::kAnyName: indexKind_ = kItemElement; break;
    case KTPatternStep::kText: indexKind_ = kItemText; break;
    case KTPatternStep::kComment: indexKind_ = kItemComment; break;
    case KTPatternStep::kPI: indexKind_ = kItemPI; break;
    case KTPatternStep::kNode: indexKind_ = -1; break;
  }
}

double KTTemplatePattern::DefaultPriority() const {
  if (!understood_ || anchor_ != kRelative || steps_.size() != 1) return 0.5;
  const KTPatternStep& step = steps_.front();
  if (step.hasPredicates) return 0.5;
  switch (step.test) {
    case KTPatternStep::kName: return 0;
    case KTPatternStep::kPI: return step.hasLiteral ? 0 : -0.5;
    case KTPatternStep::kNamespaceWildcard: return -0.25;
    default: return -0.5;
  }
}

bool KTTemplatePattern::TestsKindOnly() const {
  if (!direct_ || anchor_ != kRelative || steps_.size() != 1) return false;
  const KTPatternStep& step = steps_.front();
  switch (step.test) {
    case KTPatternStep::kName:
    case KTPatternStep::kNamespaceWildcard: return false;
    case KTPatternStep::kPI: return !step.hasLiteral;
    default: return true;
  }
}

bool KTTemplatePattern::MayMatch(const KTXPathNode* node) const {
  if (!node || nothing_) return false;
  if (!understood_) return true;
  if (steps_.empty()) return anchor_ == kIdKey || node->GetKind() == kXPathRoot;
  return steps_.back().Passes(node);
}

bool KTTemplatePattern::Matches(const KTXPathNode* node) const {
  if (!direct_) return false;
  return MatchesSteps(node);
}

bool KTTemplatePattern::MatchesSteps(const KTXPathNode* node) const {
  if (!understood_ || anchor_ == kIdKey || !node) return false;
  if (steps_.empty()) return node->GetKind() == kXPathRoot;
  // One step of a relative pattern: passing it is the match, as the step
  // asks for the parent its axis needs.
  if (steps_.size() == 1 && anchor_ == kRelative) return steps_.front().Passes(node);
  return MatchesUpTo(node, steps_.size());
}

namespace {

// Steps [to, from] matched by n and its parents: step `from` by n, step
// from-1 by n's parent, and so on; *top is the node step `to` matched.
bool MatchChain(const std::vector<KTPatternStep>& steps, const KTXPathNode* n, size_t from, size_t to,
                const KTXPathNode** top) {
  for (size_t k = from + 1; k-- > to;) {
    if (!n || !steps[k].Passes(n)) return false;
    *top = n;
    if (k > to) n = n->GetParent();
  }
  return true;
}

const KTXPathNode* TreeTop(const KTXPathNode* node) {
  while (node->GetParent()) node = node->GetParent();
  return node;
}

}  // namespace

// Right to left: the steps joined by '/' form chains; a chain after "//"
// may end at any ancestor-or-self of the node where the chain to its right
// began. Without predicates the nearest such place leaves the most room for
// the chains further left, so the first found is taken (except for the
// first chain under a '/' anchor, whose place is fixed by the root).
bool KTTemplatePattern::MatchesUpTo(const KTXPathNode* node, size_t end) const {
  const KTXPathNode* at = node;
  bool fixed = true;
  size_t last = end - 1;
  for (;;) {
    size_t first = last;
    while (first > 0 && !steps_[first].descendant) --first;
    const KTXPathNode* top = nullptr;
    bool found = false;
    for (const KTXPathNode* c = at; c; c = fixed ? nullptr : c->GetParent()) {
      if (!MatchChain(steps_, c, last, first, &top)) continue;
      const KTXPathNode* parent = top->GetParent();
      if (!parent) continue;
      if (first == 0) {
        if (anchor_ == kRoot && parent->GetKind() != kXPathRoot) continue;
        if (anchor_ == kDescendant && TreeTop(parent)->GetKind() != kXPathRoot) continue;
      }
      found = true;
      break;
    }
    if (!found) return false;
    if (first == 0) return true;
    at = top->GetParent();
    fixed = false;
    last = first - 1;
  }
}

bool KTTemplatePattern::NarrowContexts(KTXPathNode* root, KTXPathValue& contexts) const {
  if (!understood_ || anchor_ != kRelative || steps_.empty() ||
      std::any_of(steps_.begin(), steps_.end(), [](const KTPatternStep& step) { return step.descendant; }))
    return false;
  contexts.SetNodeSet();
  std::unordered_set<KTXPathNode*> seen;
  // A last step that tests element (or attribute) names passes no node of
  // another kind: those are let by without the test.
  const int onlyKind = indexKind_ == kItemElement ? kXPathElement : indexKind_ == kItemAttribute ? kXPathAttribute : -1;
  // A name test passes no name that neither starts with the local name's
  // first character nor has a prefix: most names are let by on that look.
  const KTString* local = IndexName();
  const char16_t first = local && !local->IsEmpty() ? local->View().front() : u'\0';
  for (KTXPathNode* at = root; at; at = at->NextInDocumentOrder(true)) {
    if (onlyKind >= 0 && at->GetKind() != onlyKind) continue;
    if (first) {
      const char16_t* name = at->GetName();
      if (name[0] != first && std::u16string_view(name).find(u':') == std::u16string_view::npos) continue;
    }
    if (!MayMatch(at)) continue;
    KTXPathNode* context = at;
    for (size_t i = 0; context && i < steps_.size(); ++i) context = context->GetParent();
    if (context && seen.insert(context).second) contexts.PushItem(KTXPathNodeItem(context));
  }
  if (contexts.ItemCount() > 0) contexts.SortDocumentOrder();
  return true;
}
