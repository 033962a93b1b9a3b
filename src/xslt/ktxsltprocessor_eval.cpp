// KTXSLTProcessor: expression evaluation for the executors and the
// command-line parameters. Every text is compiled once into a syntax tree
// that later evaluations borrow; the variables in scope are looked up
// through the frames' binding layers, never copied.
#include <utility>

#include "xml/ktxpathtreecontext.h"
#include "xpath/ktxpathastnode.h"
#include "xpath/ktxpathparser.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltprocessor.h"
#include "xslt/ktxsltxpathexpression.h"

namespace {

// The caller's bindings, then the global variables, then the global
// parameters.
class EvaluationScope : public KTVariableSource {
 public:
  EvaluationScope(const KTVariableSource* local, const KTBindingMap* variables, const KTBindingMap* parameters)
      : local_(local), variables_(variables), parameters_(parameters) {}

  const KTBindingRecord* FindBinding(const KTString& name) const override {
    if (local_)
      if (const KTBindingRecord* found = local_->FindBinding(name)) return found;
    if (const KTBindingRecord* found = variables_.FindBinding(name)) return found;
    return parameters_.FindBinding(name);
  }

 private:
  const KTVariableSource* local_;
  KTBindingMapSource variables_;
  KTBindingMapSource parameters_;
};

const KTPrefixMap kNoPrefixes;
const KTXPathExpression::UriList kNoUris;

}  // namespace

bool KTXSLTProcessor::CompileExpression(KTXPathNode* stylesheetNode, KTXPathNode* evaluationRoot, const KTString& text,
                                        KTXPathValue* result, const KTXPathValue* contextValue, int position,
                                        const KTVariableSource* variables, bool allowFragment, int restrictions) {
  if (!expression_) expression_ = std::make_unique<KTXSLTXPathExpression>(this);
  return Evaluate(*expression_, stylesheetNode, KTXPathNode::GetNodeNamespaceMap(stylesheetNode), evaluationRoot,
                  text, result, contextValue, position, variables, allowFragment, restrictions);
}

bool KTXSLTProcessor::EvaluateExpression(KTXPathNode* stylesheetNode, KTXPathNode* evaluationRoot,
                                         const KTString& text, KTXPathValue* result, const KTXPathValue* contextValue,
                                         int position, const KTVariableSource* variables, bool allowFragment,
                                         int restrictions) {
  if (!privateExpression_) {
    privateExpression_ = std::make_unique<KTXSLTXPathExpression>(this, true);
    privateExpression_->EnableXSLTFunctions(true);
  }
  return Evaluate(*privateExpression_, stylesheetNode, KTXPathNode::GetNodeNamespaceMap(stylesheetNode),
                  evaluationRoot, text, result, contextValue, position, variables, allowFragment, restrictions);
}

bool KTXSLTProcessor::Evaluate(KTXSLTXPathExpression& expression, KTXPathNode* stylesheetNode,
                               const KTPrefixMap* namespaces, KTXPathNode* evaluationRoot, const KTString& text,
                               KTXPathValue* result, const KTXPathValue* contextValue, int position,
                               const KTVariableSource* variables, bool allowFragment, int restrictions) {
  static const KTXPathValue kEmpty;
  if (!contextValue) contextValue = &kEmpty;
  // key() and format-number() reach the processor whose expression runs,
  // whichever processor started last.
  KTXSLTFunctionServices::Register(this);
  lastEvaluation_.text = text;
  lastEvaluation_.contextPosition = position;
  lastEvaluation_.contextValue = *contextValue;  // shares the items
  lastEvaluation_.result = KTXPathValue();

  expression.Init(namespaces ? namespaces : &kNoPrefixes, treeContext_ ? &treeContext_->GetUriTable() : &kNoUris, text,
                  restrictions);
  // Template and key patterns are cached apart: their compile refuses
  // variables. The same text compiles to the same tree otherwise.
  const bool refusesVariables =
      restrictions == KTXPathExpression::kRestrictPattern || restrictions == KTXPathExpression::kRestrictKey;
  auto& cache = refusesVariables ? patternCache_ : expressionCache_;
  auto cached = cache.find(text);
  if (cached != cache.end()) {
    expression.AttachTree(cached->second.tree.get(), cached->second.mode);
  } else if (expression.Compile(true, KTXPathExpression::kModeExpr)) {
    CompiledTree& entry = cache[text];
    entry.tree.reset(expression.DetachTree());
    entry.mode = KTXPathExpression::kModeExpr;
    expression.AttachTree(entry.tree.get(), entry.mode);
  } else {
    if (expression.RefusedVariable()) throw KTXSLTError(KTXSLTError::kVariablesInPattern, stylesheetNode);
    KTXSLTError error(KTXSLTError::kInvalidXPathExpression, stylesheetNode);
    error.SetXPathError(expression.GetErrorCode(), expression.GetFunctionIndex());
    throw error;
  }

  EvaluationScope scope(variables, &globalVariables_, &globalParameters_);
  // The scope lives on this stack frame only, whichever way the evaluation
  // ends.
  struct ScopeGuard {
    KTXSLTXPathExpression& expression;
    ~ScopeGuard() { expression.SetVariableSource(nullptr); }
  } guard{expression};
  expression.SetVariableSource(&scope);

  KTExecFrame* top = TopFrame();
  KTXPathNode* frameNode = top ? (top->NodeToRun() ? top->NodeToRun() : top->OwnNode()) : nullptr;
  KTXPathValue single;
  const KTXPathValue* start = contextValue;
  KTXPathNode* contextNode = nullptr;
  int size = 1;
  if (position == -1) {
    const KTXPathNodeItem* first = contextValue->NodeItemAt(0);
    contextNode = first != contextValue->ItemsEnd() ? first->GetNode() : nullptr;
    position = 1;
  } else {
    const KTXPathNodeItem* item = contextValue->NodeItemAt(position - 1);
    if (item != contextValue->ItemsEnd()) {
      contextNode = item->GetNode();
      single.PushItem(*item);
    }
    start = &single;
    size = contextValue->ItemCount();
  }
  expression.SetXSLTContext(contextNode, frameNode);
  expression.SetStylesheetRoot(StylesheetRootOf(frameNode));

  // Absolute paths start at the root of the context node's own document
  // (XPath 1.0 §2), which for a document() node or a fragment is not the
  // source.
  KTXPathNode* rootLookup = evaluationRoot ? evaluationRoot : (contextNode ? contextNode : sourceRoot_);
  bool done = rootLookup && expression.Evaluate(rootLookup, rootLookup, result, start, position, size, allowFragment);
  lastEvaluation_.result = *result;
  if (!done) {
    KTXSLTError error(KTXSLTError::kXPathError, stylesheetNode);
    error.SetXPathError(expression.GetErrorCode(), expression.GetFunctionIndex());
    throw error;
  }
  return true;
}

bool KTXSLTProcessor::NamesVariables(const KTString& text) const {
  auto cached = expressionCache_.find(text);
  return cached != expressionCache_.end() &&
         KTXPathParser::FindNodeOfKind(cached->second.tree.get(), kAstVariableReference) != nullptr;
}

KTXPathValue* KTXSLTProcessor::EvaluateParameterValue(KTXPathValue* result, const char16_t* text) {
  KTString expressionText(text);
  expressionText.Replace(u'\n', u' ');
  expressionText.Replace(u'\r', u' ');
  KTExecFrame* top = TopFrame();
  KTXPathNode* node = top ? (top->NodeToRun() ? top->NodeToRun() : top->OwnNode()) : nullptr;
  while (node && node->GetKind() != kXPathElement && node->GetKind() != kXPathAttribute) node = node->GetParent();
  // XSLT 1.0 §2.4: an unprefixed name in an expression is in no namespace,
  // so the stylesheet's default namespace is left out of the bindings.
  KTPrefixMap prefixes;
  if (const KTPrefixMap* inScope = KTXPathNode::GetNodeNamespaceMap(node)) prefixes = *inScope;
  prefixes.erase(KTString());
  if (!expression_) expression_ = std::make_unique<KTXSLTXPathExpression>(this);
  Evaluate(*expression_, node, &prefixes, nullptr, expressionText, result, top ? &top->NodeList() : nullptr,
           top ? top->ContextPosition() : -1, top, true, 0);
  return result;
}
