// KTXPathExpression: initialisation, compilation and the copies of a
// compiled expression.
#include "xpath/ktxpathexpression.h"

#include <algorithm>

#include "xpath/ktxpathevalcontext.h"
#include "xpath/ktxpathinvariant.h"
#include "xpath/ktxpathschemapaths.h"

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
      rootInstruction_(other.rootInstruction_),
      rootResolver_(other.rootResolver_),
      rootResolverOwner_(other.rootResolverOwner_),
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
  errorSubject_ = other.errorSubject_;
  errorMark_ = other.errorMark_;
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
  ++compileCount_;
  compileMode_ = mode;
  ownedTree_.reset();
  refusedVariable_ = 0;
  errorPosition_ = 0;
  errorSubject_ = KTString();
  errorMark_ = 0;
  // Each compile reports the position of its own text only.
  parser_.Reset();
  KTXPathParser::Pos pos = text_.c_str();
  KTXPathNodeHolder tree;
  bool ok = false;
  if (mode == kModeExpr) {
    parser_.SetGrammarSelector(30);
    try {
      ok = parser_.ParseExpr(tree, pos);
    } catch (const KTXPathAstNode::TooManyChildren&) {
      // More operands of one operator (or steps, or arguments) than a node
      // holds: the text is refused as one the parser could not take, at the
      // farthest point it reached, not reported as memory run out.
      tree.reset();
      pos = text_.c_str();
      ok = false;
    }
  } else if (mode == kModeField || mode == kModeSelector) {
    // Identity-constraint paths: their parsers record no farthest terminal,
    // so text left over is the error position itself.
    ok = mode == kModeField ? ParseFieldPath(tree, pos) : ParseSelectorPath(tree, pos);
    if (ok && *pos) {
      errorPosition_ = static_cast<int>(text_.GetLength() - (pos - text_.c_str()));
      ok = false;
    }
  }
  if (ok && keepTree && (restrictions_ == kRestrictPattern || restrictions_ == kRestrictKey) &&
      parser_.BuiltVariableReference()) {
    if (const KTXPathAstNode* reference = KTXPathParser::FindNodeOfKind(tree.get(), kAstVariableReference)) {
      refusedVariable_ = 1;
      ok = false;
      // Placed at its "$" for the message.
      if (reference->FirstChild()) errorMark_ = reference->FirstChild()->SourcePosition();
    }
  }
  // Text left after the parse (a failed parse leaves all of it) is a syntax
  // error at the farthest terminal reached. When no terminal matched, the
  // whole text remains: the error lies at its first character, not at the
  // parser's "nothing matched" mark.
  const int textLength = static_cast<int>(text_.GetLength());
  auto farthest = [&] { return std::min(parser_.GetMinRemainingLength(), textLength); };
  if (mode == kModeExpr && !refusedVariable_ && *pos) {
    ok = false;
    errorPosition_ = farthest();
  }
  if (ok && parser_.NestingExceeded())
    ok = false;
  if (!ok) {
    if (parser_.NestingExceeded() && errorPosition_ == 0)
      errorPosition_ = farthest();
    compileMode_ = kModeNone;
    return false;
  }
  if (keepTree) {
    if (mode == kModeExpr && parser_.BuiltPredicate())
      MarkInvariantOperands(tree.get());
    ownedTree_ = std::move(tree);
  }
  return true;
}

KTXPathAstNode* KTXPathExpression::DetachTree() { return ownedTree_.release(); }

void KTXPathExpression::SetVariables(const VariableMap& variables) {
  if (&variables != &variables_)
    variables_ = variables;
}

const KTXPathValue* KTXPathExpression::FindVariable(const KTString& name) const {
  auto it = variables_.find(name);
  return it == variables_.end() ? nullptr : &it->second;
}

const KTXPathNodeItem* KTXPathExpression::GetRootItem() const {
  if (!hasRootItem_)
    return nullptr;
  if (!rootFound_) {
    KTXPathNodeItem root(rootLookup_);
    while (root.GetKind() != kItemRoot && !root.IsEmpty()) {
      KTXPathNodeItem parent;
      root = root.ParentItem(parent);
    }
    rootItem_ = root;
    rootFound_ = true;
  }
  return &rootItem_;
}

bool KTXPathExpression::Evaluate(KTXPathNode* rootLookupNode, KTXPathNode* contextNode, KTXPathValue* result,
                                 const KTXPathValue* startValue, int position, int size, bool allowFragments) {
  return EvaluateFrom(rootLookupNode, contextNode, result, startValue, nullptr, false, position, size,
                      allowFragments);
}

bool KTXPathExpression::EvaluateAtItem(KTXPathNode* rootLookupNode, KTXPathNode* contextNode, KTXPathValue* result,
                                       const KTXPathNodeItem* startItem, int position, int size,
                                       bool allowFragments) {
  return EvaluateFrom(rootLookupNode, contextNode, result, nullptr, startItem, true, position, size, allowFragments);
}

bool KTXPathExpression::EvaluateFrom(KTXPathNode* rootLookupNode, KTXPathNode* contextNode, KTXPathValue* result,
                                     const KTXPathValue* startValue, const KTXPathNodeItem* startItem,
                                     bool emptyStart, int position, int size, bool allowFragments) {
  static const KTXPathValue kEmptyStart;
  if (!namespaces_ || !uris_)
    return false;
  KTXPathEvalContext context;
  context.SetOwner(this);
  KTXPathInvariantValues invariants;
  context.SetInvariantValues(&invariants);
  allowFragments_ = allowFragments;
  KTXPathAstNode* tree = GetTree();
  if (!result || !tree || !rootLookupNode || !contextNode)
    return false;
  result->SetNodeSet();
  if (startValue)
    context.SetResult(*startValue);
  else if (startItem)
    context.SetCurrentItem(*startItem);
  else if (emptyStart)
    context.SetResult(kEmptyStart);
  else
    context.SetCurrentItem(KTXPathNodeItem(contextNode, 1));
  context.SetContextPosition(position);
  context.SetContextSize(size);
  contextItem_ = KTXPathNodeItem(contextNode, position);
  hasContextItem_ = true;
  rootLookup_ = rootLookupNode;
  rootFound_ = false;
  hasRootItem_ = true;
  errorCode_ = kXPathErrNone;
  functionIndex_ = -1;
  errorPosition_ = 0;
  errorMark_ = 0;
  if (!errorSubject_.IsEmpty()) errorSubject_ = KTString();

  bool ok = tree->Resolved()->Evaluate(context);
  // The context goes with this call: its value moves out, no count of
  // sharers taken and given back.
  if (ok)
    *result = std::move(context.Current());
  // A variable's result-tree fragment where the caller allows none (XSLT
  // 1.0 §11.1).
  if (ok && !allowFragments && std::u16string_view(context.GetNameTest()) == u"$" && result->IsNodeSet() &&
      result->ItemCount() == 1) {
    const KTXPathNode* node = result->Items()[0].GetNode();
    if (node && node->GetKind() == kXPathRoot && !node->GetXNode()) {
      errorCode_ = kXPathErrResultTreeFragment;
      ok = false;
    }
  }
  lentTree_ = nullptr;
  contextItem_ = KTXPathNodeItem();
  hasContextItem_ = false;
  currentNode_ = nullptr;
  stylesheetRoot_ = nullptr;
  rootResolver_ = nullptr;
  return ok;
}
