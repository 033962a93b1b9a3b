// KTXPathExpression: XPath text compiled once into a syntax tree, with the
// bindings its nodes consult while they run (namespace prefixes, variables,
// XSLT context) and the error state they leave behind. The XSLT processor
// derives its own expression class from it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "core/ktstring.h"
#include "xml/ktxpathnode.h"
#include "xpath/ktxpathastnode.h"
#include "xpath/ktxpatherrorkind.h"
#include "xpath/ktxpathparser.h"
#include "xpath/ktxpathvalue.h"

class KTXSLTFunctionServices;

class KTXPathExpression {
 public:
  // Variable bindings by name ("uri:local" for a prefixed name).
  using VariableMap = std::map<KTString, KTXPathValue>;
  // Prefix -> interned namespace URI; the empty prefix is the default.
  using NamespaceMap = KTPrefixMap;
  // The interned URIs of the tree context that wrapped the documents.
  using UriList = std::vector<std::unique_ptr<KTString>>;

  // Compile modes.
  static constexpr int kModeNone = 0;
  static constexpr int kModeField = 1;
  static constexpr int kModeSelector = 2;
  static constexpr int kModeExpr = 3;
  // Restriction flags: a pattern allows only the child, attribute and
  // descendant-or-self axes outside predicates; a key definition may not
  // call key(). Both refuse variable references. A count or from pattern of
  // xsl:number has the axes of a pattern but may name variables (XSLT 1.0
  // forbids them only in the patterns of xsl:template and xsl:key).
  static constexpr int kRestrictPattern = 1;
  static constexpr int kRestrictKey = 2;
  // Not 3: key() is refused where the kRestrictKey bit is set.
  static constexpr int kRestrictNumberPattern = 4;

  KTXPathExpression();
  KTXPathExpression(const NamespaceMap* namespaces, const UriList* uris, const KTString& text);
  KTXPathExpression(const KTXPathExpression& other);
  KTXPathExpression& operator=(const KTXPathExpression& other);
  virtual ~KTXPathExpression();

  // Called by a variable reference whose name has no binding (after error 6).
  virtual void UnknownVariable(const KTString& name) {}
  // Called by document() to load another document; none here.
  virtual KTXPathNode* LoadDocument(const KTString& uri) { return nullptr; }
  // What key(), format-number() and unparsed-entity-uri() need of the
  // processor whose expression this is; none here.
  virtual KTXSLTFunctionServices* XSLTServices() const { return nullptr; }
  // Called with the value of every location path evaluated; nothing here.
  virtual void OnLocationPath(const KTXPathValue& value) {}

  // Sets the bindings and the text (trimmed of white space at both ends) and
  // forgets any compiled tree.
  void Init(const NamespaceMap* namespaces, const UriList* uris, const KTString& text, int restrictions);
  // Sets the bindings for a tree compiled elsewhere (AttachTree follows),
  // leaving the text as it is: a run of a compiled tree copies no text.
  // Inline, as AttachTree: every evaluation of a stylesheet expression
  // calls both.
  void Rebind(const NamespaceMap* namespaces, const UriList* uris, int restrictions) {
    ownedTree_.reset();
    compileMode_ = kModeNone;
    namespaces_ = namespaces;
    uris_ = uris;
    restrictions_ = restrictions;
  }
  // The parses made on this thread so far (Compile calls), for tests that
  // check that a run parses no expression text.
  static uint64_t CompileCount() noexcept { return compileCount_; }

  // Parses the text with the production of the mode (3: an XPath Expr; 1 an
  // identity-constraint field path, 2 a selector path). Fails when
  // text is left after the parse or the parse fails (the error position is
  // then the characters left after the farthest terminal reached, at most
  // the whole text's length), when nesting is too deep,
  // or, with keepTree, when the restrictions refuse a variable reference.
  // Without keepTree the tree is only checked and dropped.
  bool Compile(bool keepTree, int mode);
  bool CompileField(bool keepTree) { return Compile(keepTree, kModeField); }
  bool CompileSelector(bool keepTree) { return Compile(keepTree, kModeSelector); }

  // Evaluates the tree (the lent one, else the owned one) at contextNode;
  // absolute paths start at the root of rootLookupNode's document. The
  // context node-set is startValue when given, else the context node;
  // position and size are the context position and size. With
  // allowFragments false a result that is a variable's result-tree fragment
  // fails with error 11. False on an error (code, function index and
  // position stay here); result holds what was computed before it.
  bool Evaluate(KTXPathNode* rootLookupNode, KTXPathNode* contextNode, KTXPathValue* result,
                const KTXPathValue* startValue, int position, int size, bool allowFragments);
  // The same with the context node-set of the one item (its own position
  // kept), or empty when startItem is null: the caller builds no value for
  // a context of one node.
  bool EvaluateAtItem(KTXPathNode* rootLookupNode, KTXPathNode* contextNode, KTXPathValue* result,
                      const KTXPathNodeItem* startItem, int position, int size, bool allowFragments);

  // Replaces the variable bindings with a copy of the map.
  void SetVariables(const VariableMap& variables);
  // The value bound to a variable name, or null. The XSLT processor's
  // expression looks names up in its frames' bindings instead of a copy.
  virtual const KTXPathValue* FindVariable(const KTString& name) const;
  // The item of the root of the document of the evaluation's root lookup
  // node, found on the first call during an evaluation; null before the
  // first evaluation.
  const KTXPathNodeItem* GetRootItem() const;
  const KTXPathNodeItem* GetContextItem() const { return hasContextItem_ ? &contextItem_ : nullptr; }

  // The owned tree handed to the caller (null when none).
  KTXPathAstNode* DetachTree();
  // Lends a tree compiled earlier for the next evaluation.
  void AttachTree(KTXPathAstNode* tree, int mode) {
    lentTree_ = tree;
    compileMode_ = mode;
  }
  KTXPathAstNode* GetTree() const { return lentTree_ ? lentTree_ : ownedTree_.get(); }

  const KTString& GetText() const { return text_; }
  int GetCompileMode() const { return compileMode_; }
  int GetRestrictions() const { return restrictions_; }
  // Outside predicates only the child, attribute and descendant-or-self axes.
  bool HasPatternAxes() const { return restrictions_ == kRestrictPattern || restrictions_ == kRestrictNumberPattern; }
  bool RefusedVariable() const { return refusedVariable_ != 0; }
  const NamespaceMap* GetNamespaceMap() const { return namespaces_; }
  const UriList* GetUriList() const { return uris_; }
  KTXPathParser& GetParser() { return parser_; }
  const KTXPathParser& GetParser() const { return parser_; }

  int GetErrorCode() const { return errorCode_; }
  int GetFunctionIndex() const { return functionIndex_; }
  // Characters of the text left where the error lies (0 when unknown); the
  // offset of the error is the text's length minus this.
  int GetErrorPosition() const { return errorPosition_; }
  void SetError(int code, int functionIndex) {
    errorCode_ = code;
    functionIndex_ = functionIndex;
  }
  // Sets the position only when none is recorded yet.
  void SetErrorPositionIfUnset(int position) {
    if (errorPosition_ == 0)
      errorPosition_ = position;
  }
  // What the error is about, as the text names it ("foo()", "$v"); empty
  // when the error kind and function index say all.
  const KTString& GetErrorSubject() const { return errorSubject_; }
  void SetErrorSubject(const KTString& subject) { errorSubject_ = subject; }
  // Where a message marks the error, counted as the error position: the
  // start of what the subject names (the "$" of a variable, the name of a
  // function whose call failed); the error position when not set.
  int GetErrorMark() const { return errorMark_ != 0 ? errorMark_ : errorPosition_; }
  void SetErrorMarkIfUnset(int position) {
    if (errorMark_ == 0) errorMark_ = position;
  }

  // XSLT bindings (borrowed; they must outlive the evaluations).
  void EnableXSLTFunctions(bool enable) { xsltFunctions_ = enable; }
  bool XSLTFunctionsEnabled() const { return xsltFunctions_; }
  void SetKeyTables(void* keyTables) { keyTables_ = keyTables; }
  void* GetKeyTables() const { return keyTables_; }
  void SetXSLTContext(KTXPathNode* currentNode, KTXPathNode* stylesheetNode) {
    currentNode_ = currentNode;
    stylesheetNode_ = stylesheetNode;
  }
  KTXPathNode* GetCurrentNode() const { return currentNode_; }
  KTXPathNode* GetStylesheetNode() const { return stylesheetNode_; }
  void SetStylesheetRoot(KTXPathNode* root) {
    stylesheetRoot_ = root;
    rootResolver_ = nullptr;
  }
  // The root is worked out from the instruction only when an expression
  // asks for it (document('')): finding it walks up the stylesheet tree and
  // looks up the module's URI, too much to do for every evaluation.
  using StylesheetRootResolver = KTXPathNode* (*)(const void* owner, KTXPathNode* instruction);
  void SetStylesheetRootOf(KTXPathNode* instruction, StylesheetRootResolver resolver, const void* owner) {
    stylesheetRoot_ = nullptr;
    rootInstruction_ = instruction;
    rootResolver_ = resolver;
    rootResolverOwner_ = owner;
  }
  KTXPathNode* GetStylesheetRoot() const {
    if (rootResolver_) {
      stylesheetRoot_ = rootResolver_(rootResolverOwner_, rootInstruction_);
      rootResolver_ = nullptr;
    }
    return stylesheetRoot_;
  }
  void SetDecimalFormats(void* formats) { decimalFormats_ = formats; }
  void* GetDecimalFormats() const { return decimalFormats_; }
  bool AllowsFragments() const { return allowFragments_; }

 private:
  // What Evaluate and EvaluateAtItem share: the context node-set is
  // startValue, else startItem alone, else (neither: an empty start when
  // emptyStart, else the context node).
  bool EvaluateFrom(KTXPathNode* rootLookupNode, KTXPathNode* contextNode, KTXPathValue* result,
                    const KTXPathValue* startValue, const KTXPathNodeItem* startItem, bool emptyStart, int position,
                    int size, bool allowFragments);
  KTString text_;
  static inline thread_local uint64_t compileCount_ = 0;
  std::unique_ptr<KTXPathAstNode> ownedTree_;
  KTXPathAstNode* lentTree_ = nullptr;
  int compileMode_ = kModeNone;
  const NamespaceMap* namespaces_ = nullptr;
  const UriList* uris_ = nullptr;
  int refusedVariable_ = 0;
  int errorCode_ = kXPathErrNone;
  int functionIndex_ = -1;
  int errorPosition_ = 0;
  KTString errorSubject_;
  int errorMark_ = 0;
  VariableMap variables_;
  void* keyTables_ = nullptr;
  // Held in place: the processor evaluates for every node it visits. The
  // root is looked up from rootLookup_ when first asked for: most
  // expressions never need it.
  mutable KTXPathNodeItem rootItem_;
  KTXPathNodeItem contextItem_;
  KTXPathNode* rootLookup_ = nullptr;
  bool hasRootItem_ = false;
  mutable bool rootFound_ = false;
  bool hasContextItem_ = false;
  KTXPathParser parser_;
  bool xsltFunctions_ = false;
  bool allowFragments_ = true;
  int restrictions_ = 0;
  KTXPathNode* currentNode_ = nullptr;
  KTXPathNode* stylesheetNode_ = nullptr;
  mutable KTXPathNode* stylesheetRoot_ = nullptr;
  // Set by SetStylesheetRootOf until GetStylesheetRoot resolves it.
  KTXPathNode* rootInstruction_ = nullptr;
  mutable StylesheetRootResolver rootResolver_ = nullptr;
  const void* rootResolverOwner_ = nullptr;
  void* decimalFormats_ = nullptr;
  NamespaceMap ownNamespaces_;
  UriList ownUris_;
};
