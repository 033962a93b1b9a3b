// KTTemplatePattern: reading a pattern alternative into steps, its default
// priority and index key, and the direct match from the tested node.
#include "xslt/kttemplatepattern.h"

#include <string_view>

#include "xpath/ktxpathparser.h"
#include "xpath/ktxpathvalue.h"

namespace {

using Pos = const char16_t*;

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

void SkipSpace(Pos& p) {
  while (IsSpace(*p)) ++p;
}

// An NCName at p (no space skipped); false when none starts there.
bool ReadNCName(Pos& p, KTString* out) {
  if (!KTXPathParser::IsNCNameStartChar(p)) return false;
  Pos start = p;
  // A surrogate pair is one name character.
  auto advance = [](Pos& q) { q += (*q >= 0xD800 && *q <= 0xDBFF && q[1] >= 0xDC00 && q[1] <= 0xDFFF) ? 2 : 1; };
  advance(p);
  while (*p && KTXPathParser::IsNCNameChar(p)) advance(p);
  if (out) *out = KTString(std::u16string_view(start, static_cast<size_t>(p - start)));
  return true;
}

// Skips a bracketed or parenthesised group starting at the opener p points
// to, with quoted literals inside; false when it is not closed.
bool SkipGroup(Pos& p) {
  int depth = 0;
  char16_t quote = 0;
  for (; *p; ++p) {
    char16_t c = *p;
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == u'"' || c == u'\'') {
      quote = c;
    } else if (c == u'[' || c == u'(') {
      ++depth;
    } else if (c == u']' || c == u')') {
      if (--depth == 0) {
        ++p;
        return true;
      }
    }
  }
  return false;
}

// A quoted literal at p; its content in out.
bool ReadLiteral(Pos& p, KTString* out) {
  char16_t quote = *p;
  if (quote != u'"' && quote != u'\'') return false;
  Pos start = ++p;
  while (*p && *p != quote) ++p;
  if (!*p) return false;
  *out = KTString(std::u16string_view(start, static_cast<size_t>(p - start)));
  ++p;
  return true;
}

// The local part of a node's name.
std::u16string_view LocalNameOf(const KTXPathNode* node) {
  std::u16string_view name(node->GetName());
  size_t colon = name.find(u':');
  if (colon != std::u16string_view::npos) name.remove_prefix(colon + 1);
  return name;
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

// Nodes the child axis holds: content whose parent is not a declaration.
bool IsContentChild(const KTXPathNode* node) {
  int kind = node->GetKind();
  if (kind == kXPathRoot || kind == kXPathAttribute || kind == kXPathNamespace || kind >= kXPathXmlDecl) return false;
  const KTXPathNode* parent = node->GetParent();
  return parent && parent->GetKind() < kXPathXmlDecl;
}

}  // namespace

bool KTPatternStep::Passes(const KTXPathNode* node) const {
  if (!node) return false;
  int kind = KTXPathNodeItem::ItemKindOf(node);
  if (attributeAxis) {
    if (kind != kItemAttribute || !node->GetParent() || node->GetParent()->GetKind() != kXPathElement) return false;
    switch (test) {
      case kName: return LocalNameOf(node) == local.View() && SameUri(UriOf(node), uri);
      case kNamespaceWildcard: return SameUri(UriOf(node), uri);
      case kAnyName:
      case kNode: return true;
      default: return false;
    }
  }
  if (!IsContentChild(node)) return false;
  switch (test) {
    case kName: return kind == kItemElement && LocalNameOf(node) == local.View() && SameUri(UriOf(node), uri);
    case kNamespaceWildcard: return kind == kItemElement && SameUri(UriOf(node), uri);
    case kAnyName: return kind == kItemElement;
    case kNode: return true;
    case kText: return kind == kItemText;
    case kComment: return kind == kItemComment;
    case kPI: return kind == kItemPI && (!hasLiteral || std::u16string_view(node->GetName()) == local.View());
  }
  return false;
}

void KTTemplatePattern::Parse(const KTString& text, const KTPrefixMap* namespaces) {
  anchor_ = kRelative;
  steps_.clear();
  understood_ = direct_ = nothing_ = false;
  indexKind_ = -1;
  indexName_ = false;

  Pos p = text.c_str();
  SkipSpace(p);
  bool descendantNext = false;
  if (p[0] == u'/' && p[1] == u'/') {
    anchor_ = kDescendant;
    descendantNext = true;
    p += 2;
  } else if (p[0] == u'/') {
    anchor_ = kRoot;
    ++p;
    SkipSpace(p);
    if (!*p) {
      understood_ = direct_ = true;
      indexKind_ = kItemRoot;
      return;
    }
  } else {
    // id(...) or key(...) heads a pattern.
    Pos q = p;
    KTString name;
    if (ReadNCName(q, &name) && (name == u"id" || name == u"key")) {
      Pos r = q;
      SkipSpace(r);
      if (*r == u'(') {
        if (!SkipGroup(r)) return;
        anchor_ = kIdKey;
        p = r;
        SkipSpace(p);
        if (!*p) {
          understood_ = true;
          return;
        }
        if (p[0] != u'/') return;
        descendantNext = p[1] == u'/';
        p += descendantNext ? 2 : 1;
      }
    }
  }

  bool anyPredicates = false;
  for (;;) {
    SkipSpace(p);
    KTPatternStep step;
    step.descendant = descendantNext;
    if (*p == u'@') {
      step.attributeAxis = true;
      ++p;
      SkipSpace(p);
    }
    KTString name;
    Pos nameStart = p;
    if (*p == u'*') {
      step.test = KTPatternStep::kAnyName;
      ++p;
    } else if (ReadNCName(p, &name)) {
      // An axis name?
      Pos q = p;
      SkipSpace(q);
      if (!step.attributeAxis && q[0] == u':' && q[1] == u':') {
        if (name == u"attribute") step.attributeAxis = true;
        else if (name != u"child") return;
        p = q + 2;
        SkipSpace(p);
        nameStart = p;
        if (*p == u'*') {
          step.test = KTPatternStep::kAnyName;
          ++p;
        } else if (!ReadNCName(p, &name)) {
          return;
        }
      }
      if (p > nameStart && *nameStart != u'*') {
        if (p[0] == u':' && p[1] == u'*') {
          step.test = KTPatternStep::kNamespaceWildcard;
          step.prefix = name;
          p += 2;
        } else if (p[0] == u':' && KTXPathParser::IsNCNameStartChar(p + 1)) {
          step.prefix = name;
          ++p;
          ReadNCName(p, &step.local);
          step.test = KTPatternStep::kName;
        } else {
          q = p;
          SkipSpace(q);
          if (*q == u'(') {
            ++q;
            SkipSpace(q);
            if (name == u"node") step.test = KTPatternStep::kNode;
            else if (name == u"text") step.test = KTPatternStep::kText;
            else if (name == u"comment") step.test = KTPatternStep::kComment;
            else if (name == u"processing-instruction") step.test = KTPatternStep::kPI;
            else return;
            if (step.test == KTPatternStep::kPI && (*q == u'"' || *q == u'\'')) {
              if (!ReadLiteral(q, &step.local)) return;
              step.hasLiteral = true;
              SkipSpace(q);
            }
            if (*q != u')') return;
            p = q + 1;
          } else {
            step.test = KTPatternStep::kName;
            step.local = name;
          }
        }
      }
    } else {
      return;
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
    SkipSpace(p);
    while (*p == u'[') {
      if (!SkipGroup(p)) return;
      step.hasPredicates = anyPredicates = true;
      SkipSpace(p);
    }
    steps_.push_back(std::move(step));
    if (!*p) break;
    if (*p != u'/') return;
    descendantNext = p[1] == u'/';
    p += descendantNext ? 2 : 1;
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

bool KTTemplatePattern::MayMatch(const KTXPathNode* node) const {
  if (!node || nothing_) return false;
  if (!understood_) return true;
  if (steps_.empty()) return anchor_ == kIdKey || node->GetKind() == kXPathRoot;
  return steps_.back().Passes(node);
}

bool KTTemplatePattern::Matches(const KTXPathNode* node) const {
  if (!direct_ || !node) return false;
  if (steps_.empty()) return node->GetKind() == kXPathRoot;
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
