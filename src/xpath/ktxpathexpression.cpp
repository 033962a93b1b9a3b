// KTXPathExpression: initialisation, compilation and the copies of a
// compiled expression.
#include "xpath/ktxpathexpression.h"

KTXPathExpression::KTXPathExpression() { Init(&ownNamespaces_, &ownUris_, KTString(), 0); }

KTXPathExpression::KTXPathExpression(const NamespaceMap* namespaces, const UriList* uris, const KTString& text) {
  Init(namespaces, uris, text, 0);
}

KTXPathExpression::KTXPathExpression(const KTXPathExpression& other)
    : text_(other.text_),
      compileMode_(other.compileMode_),
      namespaces_(other.namespaces_ == &other.ownNamespaces_ ? &ownNamespaces_ : other.namespaces_),
      uris_(other.uris_ == &other.ownUris_ ? &ownUris_ : other.uris_),
      keyTables_(other.keyTables_),
      xsltFunctions_(other.xsltFunctions_),
      allowFragments_(other.allowFragments_),
      currentNode_(other.currentNode_),
      stylesheetNode_(other.stylesheetNode_),
      stylesheetRoot_(other.stylesheetRoot_),
      ownNamespaces_(other.ownNamespaces_) {
  if (other.ownedTree_)
    ownedTree_.reset(other.ownedTree_->CloneSubtree());
}

KTXPathExpression& KTXPathExpression::operator=(const KTXPathExpression& other) {
  if (this == &other)
    return *this;
  compileMode_ = other.compileMode_;
  ownNamespaces_ = other.ownNamespaces_;
  namespaces_ = other.namespaces_ == &other.ownNamespaces_ ? &ownNamespaces_ : other.namespaces_;
  uris_ = other.uris_ == &other.ownUris_ ? &ownUris_ : other.uris_;
  refusedVariable_ = other.refusedVariable_;
  errorCode_ = other.errorCode_;
  functionIndex_ = other.functionIndex_;
  errorPosition_ = other.errorPosition_;
  text_ = other.text_;
  currentNode_ = other.currentNode_;
  stylesheetNode_ = other.stylesheetNode_;
  xsltFunctions_ = other.xsltFunctions_;
  allowFragments_ = other.allowFragments_;
  ownedTree_.reset(other.ownedTree_ ? other.ownedTree_->CloneSubtree() : nullptr);
  lentTree_ = nullptr;
  return *this;
}

KTXPathExpression::~KTXPathExpression() = default;

void KTXPathExpression::Init(const NamespaceMap* namespaces, const UriList* uris, const KTString& text,
                             int restrictions) {
  ownedTree_.reset();
  compileMode_ = kModeNone;
  text_ = text;
  text_.TrimLeft();
  text_.TrimRight();
  namespaces_ = namespaces;
  uris_ = uris;
  restrictions_ = restrictions;
}

bool KTXPathExpression::Compile(bool keepTree, int mode) {
  compileMode_ = mode;
  ownedTree_.reset();
  refusedVariable_ = 0;
  errorPosition_ = 0;
  // Each compile reports the position of its own text only.
  parser_.Reset();
  KTXPathParser::Pos pos = text_.c_str();
  KTXPathNodeHolder tree;
  bool ok = false;
  if (mode == kModeExpr) {
    parser_.SetGrammarSelector(30);
    ok = parser_.ParseExpr(tree, pos);
  }
  // Modes 1 and 2 (identity-constraint selector and field paths) have no
  // parser in this engine yet; they fail like any unknown mode.
  if (ok && keepTree && (restrictions_ == kRestrictPattern || restrictions_ == kRestrictKey) &&
      KTXPathParser::FindNodeOfKind(tree.get(), kAstVariableReference)) {
    refusedVariable_ = 1;
    ok = false;
  }
  if (ok && *pos) {
    ok = false;
    errorPosition_ = parser_.GetMinRemainingLength();
  }
  if (ok && parser_.NestingExceeded())
    ok = false;
  if (!ok) {
    if (parser_.NestingExceeded() && errorPosition_ == 0)
      errorPosition_ = parser_.GetMinRemainingLength();
    compileMode_ = kModeNone;
    return false;
  }
  if (keepTree)
    ownedTree_ = std::move(tree);
  return true;
}

KTXPathAstNode* KTXPathExpression::DetachTree() { return ownedTree_.release(); }

void KTXPathExpression::AttachTree(KTXPathAstNode* tree, int mode) {
  lentTree_ = tree;
  compileMode_ = mode;
}
