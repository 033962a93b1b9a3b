// KTStaticCheck: the checks of compiled expression, pattern and attribute
// value template trees that need no evaluation, run by the stylesheet
// compiler so that a fault in a template that never runs is still reported
// before the run: function calls against the function table, prefixes
// against the namespaces in scope, and variable references against the
// bindings visible where they stand (XSLT 1.0 §11).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/ktstring.h"

class KTXPathAstNode;
class KTXPathNode;
class KTStylesheetCompiler;
class KTXSLTProcessor;

class KTStaticCheck {
 public:
  // Checks the tree compiled from `text` (an expression, a pattern or one
  // expression of an attribute value template) that stands at
  // `stylesheetNode`, whose namespace bindings resolve its prefixes. Throws
  // KTXSLTError at the first call of a core function with the wrong number
  // of arguments (XPath 1.0 §3.2), call of an unprefixed function outside
  // the core library, or prefix with no binding (Namespaces in XML, XSLT 1.0
  // §2.4). Its variable references are kept for CheckVariableScopes.
  // Returns true when the outcome does not depend on the place: the tree
  // has no prefix to resolve and no variable reference, so the check of
  // the same tree anywhere else would pass as well and keep nothing.
  bool CheckTree(KTXPathNode* stylesheetNode, std::u16string_view text, const KTXPathAstNode* tree);

  // The names of the top-level variables and parameters of the stylesheet
  // at `stylesheetRoot` and of every module it includes or imports, at any
  // depth (XSLT 1.0 §11.4: they are visible everywhere). Modules are read
  // through the processor's document cache, once each; a module that
  // cannot be loaded is passed over (its import reports that). From then on
  // CheckVariableScopes checks the references it is given.
  void CollectGlobals(KTXSLTProcessor& processor, const KTXPathNode* stylesheetRoot);

  // Once the tree under `subtree` is compiled (a whole module, or the
  // top-level elements that an include placed): throws KTXSLTError at the
  // first kept variable reference in it that no binding is visible to, in
  // document order, and forgets the kept references. A local variable or
  // parameter is visible to its following siblings and their descendants
  // (XSLT 1.0 §11.5). One walk of the subtree; nothing before
  // CollectGlobals.
  void CheckVariableScopes(const KTXPathNode* subtree, const KTStylesheetCompiler& compiler);

  // The node leaves the stylesheet (an xsl:include replaced by its copies).
  void Forget(const KTXPathNode* node) {
    if (!references_.empty()) references_.erase(node);
  }
  void Clear() {
    ForgetReferences();
    globals_.clear();
    globalsKnown_ = false;
  }

 private:
  // A kept variable reference. What only a message shows is found again
  // when one is written: the QName node (its tree lives as long as the
  // compiled stylesheet) and the expression's text, kept once per tree.
  struct Reference {
    // Expanded: URI ':' local (kept in expandedNames_), or the local name
    // alone, read from the QName node's own text.
    std::u16string_view name;
    const KTXPathAstNode* qname = nullptr;    // the name as written, after the "$"
    const KTString* text = nullptr;           // the trimmed expression, in texts_
    int offset = 0;                           // of the "$" in the expression
    bool global = false;                      // names a top-level binding (set by CheckVariableScopes)
  };
  void ForgetReferences() {
    references_.clear();
    texts_.clear();
    expandedNames_.clear();
  }
  std::unordered_map<const KTXPathNode*, std::vector<Reference>> references_;
  // The texts of the trees with kept references, one each.
  std::vector<std::unique_ptr<KTString>> texts_;
  // The expanded names of prefixed references, one each.
  std::vector<std::unique_ptr<std::u16string>> expandedNames_;
  // Looked up by view: a reference's name is not copied to be looked up.
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::u16string_view name) const { return std::hash<std::u16string_view>()(name); }
  };
  std::unordered_set<std::u16string, NameHash, std::equal_to<>> globals_;
  bool globalsKnown_ = false;
  std::vector<const KTXPathAstNode*> walk_;  // CheckTree's stack
};
