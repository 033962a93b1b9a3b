// Recursive-descent parsers of identity-constraint selector and field paths.
// The two grammars share their name-test and step productions; a small table
// of kind numbers tells them apart. Every production either builds its node
// and advances the position, or builds nothing and restores the position.
#include "xpath/ktxpathschemapaths.h"

#include "xpath/ktxpathparser.h"

namespace {

using Holder = KTXPathNodeHolder;
using Pos = const char16_t*;

struct Kinds {
  int step, nameTest, qname, prefixWildcard, ncname, prefixColon, prefix, localPart;
};
constexpr Kinds kField{kFieldStep,   kFieldNameTest,    kFieldQName,  kFieldPrefixWildcard,
                       kFieldNCName, kFieldPrefixColon, kFieldPrefix, kFieldLocalPart};
constexpr Kinds kSelector{kSelectorStep,   kSelectorNameTest,    kSelectorQName,  kSelectorPrefixWildcard,
                          kSelectorNCName, kSelectorPrefixColon, kSelectorPrefix, kSelectorLocalPart};

void SkipSpaces(Pos& pos) {
  while (*pos == u' ') ++pos;
}

int LiteralLength(const char16_t* literal) {
  int n = 0;
  while (literal[n]) ++n;
  return n;
}

// Skips spaces, then matches the literal; on a match a token node is added
// to `parent` and pos moves past it. The spaces stay skipped either way;
// callers that fail restore their own entry position.
bool Literal(Holder& parent, const char16_t* literal, Pos& pos) {
  SkipSpaces(pos);
  int length = LiteralLength(literal);
  for (int i = 0; i < length; ++i) {
    if (pos[i] != literal[i]) return false;
  }
  Holder token = CreateNodeOfKind(kAstToken);
  if (!token || !token->SetTokenText(literal, length, 0)) return false;
  parent->AddChild(token.release(), kRoleChild);
  pos += length;
  return true;
}

bool Make(Holder& node, int kind) {
  node = CreateNodeOfKind(kind);
  return static_cast<bool>(node);
}

// Adds a parsed child; a production that fails past this point drops the
// whole node with what it holds.
void Attach(Holder& parent, Holder& child) { parent->AddChild(child.release(), kRoleChild); }

// NCName: no spaces before it; XML 1.0 name characters, a surrogate pair
// taken as one character.
bool NCName(const Kinds& k, Holder& out, Pos& pos) {
  if (!KTXPathParser::IsNCNameStartChar(pos)) return false;
  Holder node;
  if (!Make(node, k.ncname)) return false;
  Pos p = pos;
  do {
    int width = (*p >= 0xD800 && *p <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) ? 2 : 1;
    for (int i = 0; i < width; ++i) {
      if (!node->AppendTokenChar(p[i])) return false;
    }
    p += width;
  } while (KTXPathParser::IsNCNameChar(p));
  pos = p;
  out = std::move(node);
  return true;
}

// A production with one NCName child (Prefix, LocalPart).
bool Wrapped(const Kinds& k, int kind, Holder& out, Pos& pos) {
  Holder node, name;
  if (!Make(node, kind) || !NCName(k, name, pos)) return false;
  Attach(node, name);
  out = std::move(node);
  return true;
}

// NCName ':' '*'
bool PrefixWildcard(const Kinds& k, Holder& out, Pos& pos) {
  Pos entry = pos;
  Holder node, name;
  if (!Make(node, k.prefixWildcard) || !NCName(k, name, pos)) return false;
  Attach(node, name);
  if (!Literal(node, u":", pos) || !Literal(node, u"*", pos)) {
    pos = entry;
    return false;
  }
  out = std::move(node);
  return true;
}

// (Prefix ':')? LocalPart
bool QName(const Kinds& k, Holder& out, Pos& pos) {
  Pos entry = pos;
  Holder node;
  if (!Make(node, k.qname)) return false;
  {
    Pos optional = pos;
    Holder prefixColon, prefix;
    if (Make(prefixColon, k.prefixColon) && Wrapped(k, k.prefix, prefix, pos)) {
      Attach(prefixColon, prefix);
      if (Literal(prefixColon, u":", pos)) {
        Attach(node, prefixColon);
      } else {
        pos = optional;
      }
    } else {
      pos = optional;
    }
  }
  Holder local;
  if (!Wrapped(k, k.localPart, local, pos)) {
    pos = entry;
    return false;
  }
  Attach(node, local);
  out = std::move(node);
  return true;
}

// '*' | NCName ':' '*' | QName
bool NameTest(const Kinds& k, Holder& out, Pos& pos) {
  Pos entry = pos;
  Holder node, child;
  if (!Make(node, k.nameTest)) return false;
  if (Literal(node, u"*", pos) || (PrefixWildcard(k, child, pos) && (Attach(node, child), true)) ||
      (QName(k, child, pos) && (Attach(node, child), true))) {
    out = std::move(node);
    return true;
  }
  pos = entry;
  return false;
}

// '.' | NameTest
bool Step(const Kinds& k, Holder& out, Pos& pos) {
  Pos entry = pos;
  Holder node, child;
  if (!Make(node, k.step)) return false;
  if (Literal(node, u".", pos) || (NameTest(k, child, pos) && (Attach(node, child), true))) {
    out = std::move(node);
    return true;
  }
  pos = entry;
  return false;
}

// A node of `kind` holding just the literal.
bool TokenProduction(int kind, const char16_t* literal, Holder& out, Pos& pos) {
  Pos entry = pos;
  Holder node;
  if (!Make(node, kind)) return false;
  if (!Literal(node, literal, pos)) {
    pos = entry;
    return false;
  }
  out = std::move(node);
  return true;
}

// ---- field grammar ----

// Step '/'
bool FieldStepSlash(Holder& out, Pos& pos) {
  Pos entry = pos;
  Holder node, step;
  if (!Make(node, kFieldStepSlash) || !Step(kField, step, pos)) return false;
  Attach(node, step);
  if (!Literal(node, u"/", pos)) {
    pos = entry;
    return false;
  }
  out = std::move(node);
  return true;
}

// '@' NameTest
bool FieldAttributeStep(Holder& out, Pos& pos) {
  Pos entry = pos;
  Holder node, test;
  if (!Make(node, kFieldAttributeStep)) return false;
  if (!Literal(node, u"@", pos) || !NameTest(kField, test, pos)) {
    pos = entry;
    return false;
  }
  Attach(node, test);
  out = std::move(node);
  return true;
}

// Step | '@' NameTest
bool FieldLastStep(Holder& out, Pos& pos) {
  Holder node, child;
  if (!Make(node, kFieldLastStep)) return false;
  if (!Step(kField, child, pos) && !FieldAttributeStep(child, pos)) return false;
  Attach(node, child);
  out = std::move(node);
  return true;
}

// ('.//')? (Step '/')* (Step | '@' NameTest)
bool FieldPath(Holder& out, Pos& pos) {
  Pos entry = pos;
  Holder node, child;
  if (!Make(node, kFieldPath)) return false;
  if (TokenProduction(kFieldDescendantPrefix, u".//", child, pos)) Attach(node, child);
  while (FieldStepSlash(child, pos)) Attach(node, child);
  if (!FieldLastStep(child, pos)) {
    pos = entry;
    return false;
  }
  Attach(node, child);
  out = std::move(node);
  return true;
}

// ---- selector grammar ----

// '/' Step
bool SelectorSlashStep(Holder& out, Pos& pos) {
  Pos entry = pos;
  Holder node, step;
  if (!Make(node, kSelectorSlashStep)) return false;
  if (!Literal(node, u"/", pos) || !Step(kSelector, step, pos)) {
    pos = entry;
    return false;
  }
  Attach(node, step);
  out = std::move(node);
  return true;
}

// ('.//')? Step ('/' Step)*
bool SelectorPath(Holder& out, Pos& pos) {
  Pos entry = pos;
  Holder node, child;
  if (!Make(node, kSelectorPath)) return false;
  if (TokenProduction(kSelectorDescendantPrefix, u".//", child, pos)) Attach(node, child);
  if (!Step(kSelector, child, pos)) {
    pos = entry;
    return false;
  }
  Attach(node, child);
  while (SelectorSlashStep(child, pos)) Attach(node, child);
  out = std::move(node);
  return true;
}

using PathParser = bool (*)(Holder&, Pos&);

// Path ('|' Path)*
bool Alternatives(int rootKind, int alternativeKind, PathParser path, Holder& out, Pos& pos) {
  Pos entry = pos;
  Holder node, child;
  if (!Make(node, rootKind) || !path(child, pos)) {
    pos = entry;
    return false;
  }
  Attach(node, child);
  for (;;) {
    Pos before = pos;
    Holder alternative;
    if (!Make(alternative, alternativeKind)) break;
    if (!Literal(alternative, u"|", pos) || !path(child, pos)) {
      pos = before;
      break;
    }
    Attach(alternative, child);
    Attach(node, alternative);
  }
  out = std::move(node);
  return true;
}

}  // namespace

bool ParseFieldPath(KTXPathNodeHolder& out, const char16_t*& pos) {
  return Alternatives(kFieldRoot, kFieldAlternative, &FieldPath, out, pos);
}

bool ParseSelectorPath(KTXPathNodeHolder& out, const char16_t*& pos) {
  return Alternatives(kSelectorRoot, kSelectorAlternative, &SelectorPath, out, pos);
}
