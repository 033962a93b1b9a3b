// KTTemplatePattern: one alternative of a template rule's match pattern (no
// top-level '|'), read into its steps (XSLT 1.0 §5.2). From the steps come
// the default priority (XSLT 1.0 §5.5), the kind and name of node the
// pattern can match (the key of the rule index) and, for patterns without
// predicates and without id() or key(), a direct match: the node is tested
// against the last step, then its parent or ancestors against the steps
// before it, right to left. Patterns with predicates or id()/key() are
// matched by evaluating them over the document (KTCompiledTemplate); the
// last step still serves as a quick test before that.
#pragma once

#include <vector>

#include "core/ktstring.h"
#include "xml/ktxpathnode.h"

class KTXPathAstNode;
class KTXPathNode;
class KTXPathValue;

struct KTPatternStep {
  enum Test : int {
    kName,               // QName
    kNamespaceWildcard,  // NCName:*
    kAnyName,            // *
    kNode,               // node()
    kText,               // text()
    kComment,            // comment()
    kPI,                 // processing-instruction() with or without a literal
  };
  bool attributeAxis = false;
  // The step follows "//" (from the previous step, or from the root for the
  // first step).
  bool descendant = false;
  Test test = kNode;
  KTString prefix;
  KTString local;  // local name; the literal of processing-instruction('x')
  bool hasLiteral = false;
  // The namespace URI a prefix is bound to; null for no namespace.
  const KTString* uri = nullptr;
  bool hasPredicates = false;

  // Whether the node passes this step's axis (principal node type) and node
  // test; whether it has the parent the axis needs is the caller's part.
  bool Passes(const KTXPathNode* node) const;
};

class KTTemplatePattern {
 public:
  // What the pattern starts with.
  enum Anchor : int {
    kRelative,    // a step pattern
    kRoot,        // '/'
    kDescendant,  // '//'
    kIdKey,       // id(...) or key(...)
  };

  // Reads one alternative from its compiled tree (null: it did not
  // compile); prefixes resolve through `namespaces` (may be null). A tree
  // outside the pattern grammar, or with a prefix not bound in
  // `namespaces`, is kept as not understood: it has priority 0.5, no index
  // key and no direct match, and its evaluation reports the error.
  void Read(const KTXPathAstNode* tree, const KTPrefixMap* namespaces);

  bool IsUnderstood() const { return understood_; }
  // The pattern is matched without evaluation.
  bool IsDirect() const { return direct_; }
  // A direct pattern of one relative step that tests no name: whether a
  // node matches depends on its kind and its parent's alone.
  bool TestsKindOnly() const;
  // XSLT 1.0 §5.5.
  double DefaultPriority() const;

  // Direct match (only for IsDirect patterns).
  bool Matches(const KTXPathNode* node) const;
  // The same test of the steps for a pattern with predicates, the
  // predicates left out (false for id()/key() or a pattern not understood).
  bool MatchesSteps(const KTXPathNode* node) const;
  // A necessary condition for any pattern: the node passes the last step
  // (for "/", it is a root; for id()/key() alone, or not understood, true).
  bool MayMatch(const KTXPathNode* node) const;

  // The rule index key: the node item kind the pattern matches (-1: several
  // or unknown kinds) and, for a name test, the local name (null otherwise).
  int IndexKind() const { return indexKind_; }
  const KTString* IndexName() const { return indexName_ ? &steps_.back().local : nullptr; }
  // The pattern can match no node at all (text() on the attribute axis).
  bool MatchesNothing() const { return nothing_; }

  // For a relative pattern of k steps joined by '/' (no "//"): the k-th
  // ancestors of the nodes of the document of `root` that pass the last
  // step, in document order, each once. Only they can select anything, so
  // evaluating the pattern from them alone gives the set that evaluating it
  // from every node gives, its predicates tried on the same nodes in the
  // same order. False (and `contexts` untouched) for another pattern.
  bool NarrowContexts(KTXPathNode* root, KTXPathValue& contexts) const;

  Anchor GetAnchor() const { return anchor_; }
  const std::vector<KTPatternStep>& Steps() const { return steps_; }

 private:
  // Matches steps [0, end) so that step end-1 is `node`.
  bool MatchesUpTo(const KTXPathNode* node, size_t end) const;
  void ComputeIndexKey();

  Anchor anchor_ = kRelative;
  std::vector<KTPatternStep> steps_;
  bool understood_ = false;
  bool direct_ = false;
  bool nothing_ = false;
  int indexKind_ = -1;
  bool indexName_ = false;
};
