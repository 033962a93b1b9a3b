// KTXSLTProcessor: expression evaluation for the executors and the
// command-line parameters. Every text is compiled once into a syntax tree
// that later evaluations borrow; the variables in scope are looked up
// through the frames' binding layers, never copied.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "platform/ktwchar.h"
#include "xml/ktxpathtreecontext.h"
#include "xpath/ktxpathastnode.h"
#include "xpath/ktxpathparser.h"
#include "xpath/ktxpathfunctionlibrary.h"
#include "xpath/ktxpathpattern.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktinstructionexecutor.h"
#include "xslt/ktkeytable.h"
#include "xslt/ktsimpleselect.h"
#include "xslt/ktstaticcheck.h"
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

constexpr int kShapeTree = KTCompiledExpression::kShapeTree;
constexpr int kShapeSelf = KTCompiledExpression::kShapeSelf;
constexpr int kShapeVariable = KTCompiledExpression::kShapeVariable;
constexpr int kShapeSteps = KTCompiledExpression::kShapeSteps;
constexpr int kShapeKey = KTCompiledExpression::kShapeKey;

// Arguments of a key shape.
constexpr int kArgumentLiteral = 0;  // a string literal
constexpr int kArgumentSelf = 1;     // "."
constexpr int kArgumentStep = 2;     // one step (terms[0])

// Node tests of a step term.
constexpr int kTestNode = 0;     // node()
constexpr int kTestAnyName = 1;  // *
constexpr int kTestText = 2;     // text()
constexpr int kTestName = 3;     // an unprefixed name

std::u16string_view Trimmed(std::u16string_view view) {
  while (!view.empty() && KTIsSpace(view.front())) view.remove_prefix(1);
  while (!view.empty() && KTIsSpace(view.back())) view.remove_suffix(1);
  return view;
}

// The shapes are read from the compiled tree, never from the text: the
// levels of one operand each (or, and, equality, ... union) lie between the
// Expr node and the path that matters.
const KTXPathAstNode* SoleChainTo(const KTXPathAstNode* node, int kind) { return KTSoleChainTo(node, kind); }

std::u16string_view TextBelow(const KTXPathAstNode* node) { return KTTextBelow(node); }

// The name of an unprefixed QName node made of plain ASCII name characters,
// or empty.
std::u16string_view PlainName(const KTXPathAstNode* qname) {
  if (!qname || qname->GetKind() != kAstQName || qname->ChildCount() != 1) return {};
  std::u16string_view name = TextBelow(qname->FirstChild());
  return KTSimpleSelect::IsAsciiNCName(name) ? name : std::u16string_view();
}

// The contents of a Literal node (the run between its quotes; none when
// empty).
KTString LiteralText(const KTXPathAstNode* literal) {
  const KTXPathAstNode* quoted = literal->FirstChild();
  for (int i = 0; quoted && i < quoted->ChildCount(); ++i) {
    if (quoted->ChildAt(i)->GetKind() == kAstCharacterRun) return quoted->ChildAt(i)->Token();
  }
  return KTString();
}

// One abbreviated child or attribute step without predicates, with the
// test node(), *, text() (child axis only) or an unprefixed name; false
// for any other step.
bool TermOfStep(const KTXPathAstNode* step, KTXSLTProcessor::SimpleTerm& term) {
  const KTXPathAstNode* axisStep = step ? step->FirstChild() : nullptr;
  if (!axisStep || axisStep->GetKind() != kAstAxisStep || axisStep->ChildCount() != 2) return false;
  const KTXPathAstNode* specifier = axisStep->FirstChild();
  if (!specifier || specifier->GetKind() != kAstAbbreviatedAxisSpecifier) return false;
  term.attribute = TextBelow(specifier) == u"@";
  const KTXPathAstNode* test = axisStep->ChildAt(1);
  if (test->GetKind() == kAstNodeTypeTest) {
    std::u16string_view type = TextBelow(test->FirstChild());
    if (type == u"node") {
      term.test = kTestNode;
    } else if (type == u"text" && !term.attribute) {
      term.test = kTestText;
    } else {
      return false;
    }
    return true;
  }
  if (test->GetKind() != kAstNameTest) return false;
  const KTXPathAstNode* name = test->FirstChild();
  if (name && name->GetKind() == kAstToken) {
    term.test = kTestAnyName;  // "*"
    return true;
  }
  std::u16string_view plain = PlainName(name);
  if (plain.empty()) return false;
  term.test = kTestName;
  term.name = KTString(plain);
  return true;
}

// The one step of a relative location path of one step, or null.
const KTXPathAstNode* SoleStep(const KTXPathAstNode* path) {
  const KTXPathAstNode* location = path && path->ChildCount() == 1 ? path->FirstChild() : nullptr;
  if (!location || location->GetKind() != kAstLocationPath) return nullptr;
  const KTXPathAstNode* relative = location->FirstChild();
  if (!relative || relative->GetKind() != kAstRelativeLocationPath || relative->ChildCount() != 1) return nullptr;
  return relative->FirstChild();
}

// A key() call whose key name is a literal of a plain ASCII name and whose
// argument is a literal, "." or one step, without predicates, followed by
// single "/" steps ("key('k', @ref)/name").
bool KeyShapeOf(const KTXPathAstNode* path, KTString& name, int& keyArgument, KTString& keyLiteral,
                std::vector<KTXSLTProcessor::SimpleTerm>& keyTerms) {
  const KTXPathAstNode* form = path->ChildCount() == 1 ? path->FirstChild() : nullptr;
  if (!form) return false;
  const KTXPathAstNode* filter = form->GetKind() == kAstFilterChildPath ? form->FirstChild() : form;
  if (filter->GetKind() != kAstFilterExpr || filter->ChildCount() != 1) return false;
  const KTXPathAstNode* call = filter->FirstChild()->FirstChild();
  if (!call || call->GetKind() != kAstFunctionCall) return false;
  if (PlainName(call->FirstChild()->FirstChild()) != u"key") return false;
  const KTXPathAstNode* arguments = call->ChildAt(2);
  if (!arguments || arguments->GetKind() != kAstArguments || arguments->ChildCount() != 2) return false;
  const KTXPathAstNode* nameLiteral = SoleChainTo(arguments->ChildAt(0), kAstLiteral);
  if (!nameLiteral) return false;
  KTString keyName = LiteralText(nameLiteral);
  if (!KTSimpleSelect::IsAsciiNCName(keyName.View())) return false;
  const KTXPathAstNode* argument = arguments->ChildAt(1)->ChildAt(1);
  std::vector<KTXSLTProcessor::SimpleTerm> terms(1);
  if (const KTXPathAstNode* literal = SoleChainTo(argument, kAstLiteral)) {
    keyArgument = kArgumentLiteral;
    keyLiteral = LiteralText(literal);
  } else {
    const KTXPathAstNode* step = SoleStep(SoleChainTo(argument, kAstPathExpr));
    if (!step) return false;
    if (step->FirstChild()->GetKind() == kAstAbbreviatedStep && TextBelow(step->FirstChild()) == u".") {
      keyArgument = kArgumentSelf;
    } else if (TermOfStep(step, terms[0])) {
      keyArgument = kArgumentStep;
    } else {
      return false;
    }
  }
  if (form->GetKind() == kAstFilterChildPath) {
    const KTXPathAstNode* relative = form->ChildAt(2);
    for (int i = 0; i < relative->ChildCount(); ++i) {
      const KTXPathAstNode* step = relative->ChildAt(i);
      if (step->GetKind() == kAstStepContinuation) {
        if (TextBelow(step->FirstChild()) != u"/") return false;
        step = step->ChildAt(1);
      }
      KTXSLTProcessor::SimpleTerm term;
      if (!TermOfStep(step, term)) return false;
      terms.push_back(std::move(term));
    }
  } else if (form->GetKind() != kAstFilterExpr) {
    return false;
  }
  name = std::move(keyName);
  keyTerms = std::move(terms);
  return true;
}

// The shape of a compiled expression, with what it names (the fields of
// KTCompiledExpression).
int ShapeOf(const KTXPathAstNode* tree, KTString& name, int& keyArgument, KTString& keyLiteral,
            std::vector<KTXSLTProcessor::SimpleTerm>& terms) {
  const KTXPathAstNode* unionExpr = SoleChainTo(tree, kAstUnionExpr);
  if (!unionExpr) return kShapeTree;
  const KTXPathAstNode* path = unionExpr->FirstChild();
  if (unionExpr->ChildCount() == 1) {
    const KTXPathAstNode* form = path->ChildCount() == 1 ? path->FirstChild() : nullptr;
    if (!form) return kShapeTree;
    if (form->GetKind() == kAstFilterExpr && form->ChildCount() == 1) {
      const KTXPathAstNode* variable = form->FirstChild()->FirstChild();
      if (variable && variable->GetKind() == kAstVariableReference) {
        std::u16string_view plain = PlainName(variable->ChildAt(1));
        if (plain.empty()) return kShapeTree;
        name = KTString(plain);
        return kShapeVariable;
      }
    }
    if (KeyShapeOf(path, name, keyArgument, keyLiteral, terms)) return kShapeKey;
    const KTXPathAstNode* step = SoleStep(path);
    if (step && step->FirstChild()->GetKind() == kAstAbbreviatedStep)
      return TextBelow(step->FirstChild()) == u"." ? kShapeSelf : kShapeTree;
  }
  std::vector<KTXSLTProcessor::SimpleTerm> steps;
  for (int i = 0; i < unionExpr->ChildCount(); ++i) {
    const KTXPathAstNode* operand = unionExpr->ChildAt(i);
    if (operand->GetKind() == kAstUnionOperand) operand = operand->ChildAt(1);
    KTXSLTProcessor::SimpleTerm term;
    if (!TermOfStep(SoleStep(operand), term)) return kShapeTree;
    steps.push_back(std::move(term));
  }
  terms = std::move(steps);
  return kShapeSteps;
}

// Whether a child (attribute step: an attribute) passes the term's test,
// as the location step and its node test would decide.
bool PassesTerm(const KTXPathNode* child, const KTXSLTProcessor::SimpleTerm& term) {
  const int kind = child->GetKind();
  if (term.attribute) {
    if (kind != kXPathAttribute) return false;
    return term.test != kTestName || KTSimpleSelect::MatchesUnprefixedName(child, term.name.View());
  }
  // A name test passes elements alone: the other children (most often the
  // white space between them) are passed by before anything else is read.
  if ((term.test == kTestName || term.test == kTestAnyName) && kind != kXPathElement) return false;
  if (!KTSimpleSelect::IsContentNode(child)) return false;
  switch (term.test) {
    case kTestNode:
      return true;
    case kTestAnyName:
      return kind == kXPathElement;
    case kTestText:
      return kind == kXPathText || kind == kXPathCData;
    default:
      return kind == kXPathElement && KTSimpleSelect::MatchesUnprefixedName(child, term.name.View());
  }
}

// A variable's result-tree fragment: one root the processor built.
bool IsFragment(const KTXPathValue& value) {
  if (!value.IsNodeSet() || value.ItemCount() != 1) return false;
  const KTXPathNode* node = value.Items()[0].GetNode();
  return node && node->GetKind() == kXPathRoot && node->GetXNode() == nullptr;
}

}  // namespace

bool KTXSLTProcessor::EvaluateSimple(const KTCompiledExpression& entry, const KTXPathValue& contextValue, int position,
                                     const KTVariableSource* variables, bool allowFragment,
                                     KTXPathValue* result) const {
  if (entry.shape == kShapeVariable) {
    // Without any node to start from, the tree run reports the failure.
    const KTXPathNodeItem* first = contextValue.NodeItemAt(position == -1 ? 0 : position - 1);
    bool haveContext = first != contextValue.ItemsEnd() && first->GetNode();
    if (!haveContext && !sourceRoot_) return false;
    EvaluationScope scope(variables, &globalVariables_, &globalParameters_);
    const KTBindingRecord* record = scope.FindBinding(entry.name);
    if (!record || (!allowFragment && IsFragment(record->value))) return false;
    *result = record->value;
    if (result->IsNodeSet() && result->ItemCount() > 0) result->SortDocumentOrder();
    return true;
  }
  // The steps run from the one context node at the position.
  if (position == -1) return false;
  const KTXPathNodeItem* item = contextValue.NodeItemAt(position - 1);
  if (item == contextValue.ItemsEnd() || !item->GetNode()) return false;
  KTXPathNode* node = item->GetNode();
  if (entry.shape == kShapeSelf) {
    KTXPathNodeItem self = *item;
    self.SetPosition(1);
    result->SetNodeSet();
    result->PushItem(self);
    return true;
  }
  // Each step gives its nodes numbered along the axis; one step is put in
  // document order, a union is sorted, each node kept once, and numbered
  // anew, as the union operator does.
  KTXPathValue::ItemVector items;
  const int count = node->GetChildCount();
  items.reserve(static_cast<size_t>(count) * entry.terms.size());
  for (const SimpleTerm& term : entry.terms) {
    if (term.attribute && node->GetKind() != kXPathElement) continue;
    int counter = 1;
    for (int i = 0; i < count; ++i) {
      KTXPathNode* child = node->GetChild(i);
      if (PassesTerm(child, term)) items.emplace_back(child, counter++);
    }
  }
  if (items.empty()) {
    result->SetNodeSet();
    return true;
  }
  if (entry.terms.size() > 1) {
    // Attributes before children, as "@*|node()" gives them, are in order
    // already.
    if (!std::is_sorted(items.begin(), items.end(), DocumentOrderLess))
      std::stable_sort(items.begin(), items.end(), DocumentOrderLess);
    items.erase(std::unique(items.begin(), items.end()), items.end());
    for (size_t i = 0; i < items.size(); ++i) items[i].SetPosition(static_cast<int>(i) + 1);
    result->SetNodeSet(std::move(items));
    return true;
  }
  result->SetNodeSet(std::move(items));
  result->SortDocumentOrder();
  return true;
}

bool KTXSLTProcessor::StringOfSimpleShape(const KTCompiledExpression& compiled, const KTXPathValue& contextValue,
                                          int position, KTString& out) {
  const int restrictions = compiled.restrictions;
  if (compiled.error || (restrictions != 0 && restrictions != KTXPathExpression::kRestrictKey) || position == -1)
    return false;
  if (compiled.shape != kShapeSelf && (compiled.shape != kShapeSteps || compiled.terms.size() != 1)) return false;
  const KTXPathNodeItem* item = contextValue.NodeItemAt(position - 1);
  if (item == contextValue.ItemsEnd() || !item->GetNode()) return false;
  KTXPathNode* node = item->GetNode();
  // One step's nodes are the node's children (or attributes) in order: the
  // first that passes is the first in document order. All are counted, as
  // the evaluation records the size of its result.
  const KTXPathNode* first = compiled.shape == kShapeSelf ? node : nullptr;
  int found = first ? 1 : 0;
  if (!first) {
    const SimpleTerm& term = compiled.terms[0];
    if (!term.attribute || node->GetKind() == kXPathElement) {
      const int count = node->GetChildCount();
      for (int i = 0; i < count; ++i) {
        const KTXPathNode* child = node->GetChild(i);
        if (!PassesTerm(child, term)) continue;
        if (!first) first = child;
        ++found;
      }
    }
  }
  lastCompiled_ = &compiled;
  lastEvaluation_.contextPosition = position;
  lastEvaluation_.contextSize = contextValue.ItemCount();
  lastEvaluation_.resultSize = found;
  int length = 0;
  out.ClearAndReserve(0);
  if (first) KTXPathFunctionLibrary::AppendStringValue(first, out, length);
  return true;
}

bool KTXSLTProcessor::StringOfContextFunction(const KTCompiledExpression& compiled, const KTXPathValue& contextValue,
                                              int position, KTString& out) {
  const int restrictions = compiled.restrictions;
  if (compiled.error || (restrictions != 0 && restrictions != KTXPathExpression::kRestrictKey) || position == -1)
    return false;
  const KTXPathNodeItem* item = contextValue.NodeItemAt(position - 1);
  if (item == contextValue.ItemsEnd() || !item->GetNode()) return false;
  const KTXPathNode* node = item->GetNode();
  // A string: the evaluation records no nodes.
  lastCompiled_ = &compiled;
  lastEvaluation_.contextPosition = position;
  lastEvaluation_.contextSize = contextValue.ItemCount();
  lastEvaluation_.resultSize = 0;
  if (compiled.contextFunction == KTSimpleSelect::ContextFunction::kName) {
    const std::u16string_view name = KTXPathFunctionLibrary::NameOf(node);
    out.Assign(name.data(), static_cast<int>(name.size()));
  } else {
    KTString scratch;
    KTXPathFunctionLibrary::NormalizeSpace(KTXPathFunctionLibrary::StringValueView(node, scratch), out);
  }
  return true;
}

bool KTXSLTProcessor::EvaluateKeyPath(const KTCompiledExpression& entry, const KTXPathValue& contextValue, int position,
                                      bool allowFragment, KTXPathValue* result) {
  if (position == -1) return false;
  const KTXPathNodeItem* item = contextValue.NodeItemAt(position - 1);
  if (item == contextValue.ItemsEnd() || !item->GetNode()) return false;
  // An unknown key is the tree's error to report.
  KTKeyTable* table = FindKeyTable(entry.name);
  if (!table) return false;
  KTXPathNode* node = item->GetNode();
  IndexDocumentOf(table, node);
  // The key's nodes, read in place from the index where the argument gives
  // one value (a literal, the context node, or one node of its step).
  KTXPathNodeItem one;
  KTString scratch;
  KTXPathValue nodes;  // the key's node-set where the argument gives several values
  std::span<const KTXPathNodeItem> found;
  if (entry.keyArgument == kArgumentLiteral) {
    found = table->LookupText(entry.literal.View(), *item, one);
  } else if (entry.keyArgument == kArgumentSelf) {
    found = table->LookupText(KTXPathFunctionLibrary::StringValueView(node, scratch), *item, one);
  } else {
    const SimpleTerm& term = entry.terms[0];
    KTXPathValue::ItemVector selected;
    if (!term.attribute || node->GetKind() == kXPathElement) {
      const int count = node->GetChildCount();
      for (int i = 0; i < count; ++i) {
        KTXPathNode* child = node->GetChild(i);
        if (PassesTerm(child, term)) selected.emplace_back(child, static_cast<int>(selected.size()) + 1);
      }
    }
    if (selected.size() == 1) {
      found = table->LookupText(KTXPathFunctionLibrary::StringValueView(selected[0].GetNode(), scratch), *item, one);
    } else if (selected.size() > 1) {
      KTXPathValue argument;
      argument.SetNodeSet(std::move(selected));
      nodes = table->Lookup(argument, *item);
      found = nodes.Items();
    }
  }
  // Each step gives its nodes from every node before it, in document order,
  // each once, numbered 1..n, as a location step does.
  KTXPathValue::ItemVector items(found.begin(), found.end());
  KTXPathValue::ItemVector next;
  for (size_t n = 1; n < entry.terms.size(); ++n) {
    const SimpleTerm& term = entry.terms[n];
    next.clear();
    for (const KTXPathNodeItem& context : items) {
      KTXPathNode* from = context.GetNode();
      if (term.attribute && from->GetKind() != kXPathElement) continue;
      int counter = 1;
      const int count = from->GetChildCount();
      for (int i = 0; i < count; ++i) {
        KTXPathNode* child = from->GetChild(i);
        if (PassesTerm(child, term)) next.emplace_back(child, counter++);
      }
    }
    if (items.size() > 1) {
      if (!std::is_sorted(next.begin(), next.end(), DocumentOrderLess))
        std::stable_sort(next.begin(), next.end(), DocumentOrderLess);
      next.erase(std::unique(next.begin(), next.end()), next.end());
      for (size_t i = 0; i < next.size(); ++i) next[i].SetPosition(static_cast<int>(i) + 1);
    }
    items.swap(next);
  }
  KTXPathValue value;
  value.SetNodeSet(std::move(items));
  if (!allowFragment && IsFragment(value)) return false;
  *result = std::move(value);
  return true;
}

bool KTXSLTProcessor::CompileExpression(const KTCompiledExpression& compiled, const KTEvaluationRequest& request,
                                        KTXPathValue* result) {
  if (!expression_) expression_ = std::make_unique<KTXSLTXPathExpression>(this);
  return Evaluate(*expression_, KTXPathNode::GetNodeNamespaceMap(request.stylesheetNode), compiled, request, result);
}

bool KTXSLTProcessor::EvaluateExpression(const KTCompiledExpression& compiled, const KTEvaluationRequest& request,
                                         KTXPathValue* result) {
  if (!privateExpression_) {
    privateExpression_ = std::make_unique<KTXSLTXPathExpression>(this, true);
    privateExpression_->EnableXSLTFunctions(true);
  }
  return Evaluate(*privateExpression_, KTXPathNode::GetNodeNamespaceMap(request.stylesheetNode), compiled, request,
                  result);
}

bool KTXSLTProcessor::Evaluate(KTXSLTXPathExpression& expression, const KTPrefixMap* namespaces,
                               const KTCompiledExpression& compiled, const KTEvaluationRequest& request,
                               KTXPathValue* result) {
  KTXPathNode* stylesheetNode = request.stylesheetNode;
  const KTXPathValue* contextValue = request.contextValue;
  int position = request.position;
  const KTVariableSource* variables = request.variables;
  const bool allowFragment = request.allowFragment;
  static const KTXPathValue kEmpty;
  if (!contextValue) contextValue = &kEmpty;
  if (compiled.error) throw *compiled.error;
  lastCompiled_ = &compiled;
  lastEvaluation_.contextPosition = position;
  lastEvaluation_.contextSize = contextValue->ItemCount();
  lastEvaluation_.resultSize = 0;

  // A key's use expression refuses only variables and key(), which no
  // simple shape but the key shape holds (that one runs unrestricted only);
  // other restrictions change how steps run.
  const int restrictions = compiled.restrictions;
  const bool simpleAllowed = restrictions == 0 || restrictions == KTXPathExpression::kRestrictKey;
  if (simpleAllowed && compiled.shape != kShapeTree &&
      (compiled.shape == kShapeKey
           ? restrictions == 0 && EvaluateKeyPath(compiled, *contextValue, position, allowFragment, result)
           : EvaluateSimple(compiled, *contextValue, position, variables, allowFragment, result))) {
    lastEvaluation_.resultSize = result->ItemCount();
    return true;
  }
  expression.Rebind(namespaces ? namespaces : &kNoPrefixes, treeContext_ ? &treeContext_->GetUriTable() : &kNoUris,
                    restrictions);
  expression.AttachTree(compiled.tree.get(), KTXPathExpression::kModeExpr);

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
  // At a context position the context node-set is that item alone (empty
  // past the end), handed over as the item: no value is built for it.
  const KTXPathNodeItem* startItem = nullptr;
  const bool atItem = position != -1;
  KTXPathNode* contextNode = nullptr;
  int size = 1;
  if (!atItem) {
    const KTXPathNodeItem* first = contextValue->NodeItemAt(0);
    contextNode = first != contextValue->ItemsEnd() ? first->GetNode() : nullptr;
    position = 1;
  } else {
    const KTXPathNodeItem* item = contextValue->NodeItemAt(position - 1);
    if (item != contextValue->ItemsEnd()) {
      contextNode = item->GetNode();
      startItem = item;
    }
    size = contextValue->ItemCount();
  }
  expression.SetXSLTContext(contextNode, frameNode);
  expression.SetStylesheetRootOf(
      frameNode,
      [](const void* processor, KTXPathNode* instruction) {
        return static_cast<const KTXSLTProcessor*>(processor)->StylesheetRootOf(instruction);
      },
      this);

  // Absolute paths start at the root of the context node's own document
  // (XPath 1.0 §2), which for a document() node or a fragment is not the
  // source.
  KTXPathNode* rootLookup =
      request.evaluationRoot ? request.evaluationRoot : (contextNode ? contextNode : sourceRoot_);
  bool done = rootLookup && (atItem ? expression.EvaluateAtItem(rootLookup, rootLookup, result, startItem, position,
                                                                size, allowFragment)
                                     : expression.Evaluate(rootLookup, rootLookup, result, contextValue, position,
                                                           size, allowFragment));
  lastEvaluation_.resultSize = result->ItemCount();
  if (!done) {
    // Trimmed as the compile trimmed it, where the error's place is counted.
    KTString text(*compiled.text);
    text.TrimLeft();
    text.TrimRight();
    throw ExpressionError(KTXSLTError::kXPathError, stylesheetNode, expression, false, text);
  }
  return true;
}

std::unique_ptr<KTCompiledExpression> KTXSLTProcessor::CompileText(KTXSLTXPathExpression& expression,
                                                                  KTXPathNode* stylesheetNode,
                                                                  const KTPrefixMap* namespaces,
                                                                  const KTString& text, int restrictions) {
  CompileChecked(expression, stylesheetNode, namespaces, text, restrictions);
  auto entry = std::make_unique<KTCompiledExpression>();
  entry->restrictions = restrictions;
  entry->tree.reset(expression.DetachTree());
  // The fast paths are rewrites of this one tree, read here once.
  entry->shape = ShapeOf(entry->tree.get(), entry->name, entry->keyArgument, entry->literal, entry->terms);
  // Only xsl:number's patterns ask (their sets are kept while the variables
  // they read keep their values); patterns and keys refuse variables.
  if (restrictions == KTXPathExpression::kRestrictNumberPattern)
    entry->namesVariables = KTXPathParser::FindNodeOfKind(entry->tree.get(), kAstVariableReference) != nullptr;
  // The select shapes of key tables and sort keys (".", "name", "@name")
  // are among the shapes above; name() is none of them.
  if (entry->shape == kShapeSelf || (entry->shape == kShapeSteps && entry->terms.size() == 1))
    entry->hasSimpleSelect = entry->simpleSelect.Read(entry->tree.get());
  else if (entry->shape == kShapeTree) {
    entry->contextFunction = KTSimpleSelect::ContextFunctionOf(entry->tree.get());
    entry->isNameOfContext = entry->contextFunction == KTSimpleSelect::ContextFunction::kName;
  }
  return entry;
}

const KTXPathAstNode* KTXSLTProcessor::CompileChecked(KTXSLTXPathExpression& expression,
                                                      KTXPathNode* stylesheetNode, const KTPrefixMap* namespaces,
                                                      const KTString& text, int restrictions) {
  expression.Init(namespaces ? namespaces : &kNoPrefixes, treeContext_ ? &treeContext_->GetUriTable() : &kNoUris, text,
                  restrictions);
  if (!expression.Compile(true, KTXPathExpression::kModeExpr))
    throw ExpressionError(expression.RefusedVariable() ? KTXSLTError::kVariablesInPattern
                                                       : KTXSLTError::kInvalidXPathExpression,
                          stylesheetNode, expression, true, expression.GetText());
  return expression.GetTree();
}

const KTCompiledExpression* KTXSLTProcessor::PrecompileExpression(KTXPathNode* stylesheetNode,
                                                                  const KTString& text, int restrictions,
                                                                  bool deferErrors) {
  // Texts are shared by restrictions as well: a number pattern runs its
  // steps otherwise than an expression of the same text.
  auto& shared = compiledByText_[static_cast<size_t>(restrictions) % kRestrictionKinds];
  // The place is taken before the compile, so that the text is hashed once;
  // it is given back unless the compile fills it (an error, deferred or
  // not, is not shared).
  auto [slot, added] = shared.try_emplace(text, nullptr);
  if (!added) return slot->second;
  auto* place = &*slot;
  struct GiveBack {
    TextMap<const KTCompiledExpression*>& map;
    const KTString& text;
    bool keep = false;
    ~GiveBack() {
      if (!keep) map.erase(text);
    }
  } giveBack{shared, text};
  if (!expression_) expression_ = std::make_unique<KTXSLTXPathExpression>(this);
  std::unique_ptr<KTCompiledExpression> entry;
  try {
    entry = CompileText(*expression_, stylesheetNode, KTXPathNode::GetNodeNamespaceMap(stylesheetNode), text,
                        restrictions);
  } catch (KTXSLTError& error) {
    if (!deferErrors) throw;
    // Not shared: another node of the same text reports its own place.
    entry = std::make_unique<KTCompiledExpression>();
    entry->ownText = text;
    entry->restrictions = restrictions;
    entry->error = std::make_unique<KTXSLTError>(error);
    compiled_.push_back(std::move(entry));
    return compiled_.back().get();
  }
  KTCompiledExpression* made = entry.get();
  compiled_.push_back(std::move(entry));
  place->second = made;
  made->text = &place->first;
  giveBack.keep = true;
  return made;
}

const KTCompiledExpression* KTXSLTProcessor::PrecompilePattern(KTXPathNode* stylesheetNode, const KTString& text,
                                                               int restrictions, bool deferErrors,
                                                               KTStaticCheck* check) {
  if (deferErrors) {
    try {
      return PrecompilePattern(stylesheetNode, text, restrictions, false, check);
    } catch (KTXSLTError& error) {
      auto entry = std::make_unique<KTCompiledExpression>();
      entry->ownText = text;
      entry->restrictions = restrictions;
      entry->error = std::make_unique<KTXSLTError>(error);
      compiled_.push_back(std::move(entry));
      return compiled_.back().get();
    }
  }
  // A template rule is matched by its alternatives, which are compiled
  // apart: the tree of the whole text is only checked.
  KTXSLTXPathExpression checked(this);
  const KTCompiledExpression* compiled = nullptr;
  const KTXPathAstNode* tree = nullptr;
  // A pattern of one alternative, written without the white space and line
  // ends that the rules trim, is that alternative's text as well: its tree,
  // once it passes the checks, is shared with the alternative's compile
  // rather than parsed twice.
  std::unique_ptr<KTCompiledExpression> whole;
  bool shareWhole = false;
  auto& sharedPatterns = compiledByText_[static_cast<size_t>(restrictions) % kRestrictionKinds];
  if (restrictions == KTXPathExpression::kRestrictPattern) {
    auto found = sharedPatterns.find(text);
    if (found != sharedPatterns.end()) {
      tree = found->second->tree.get();
    } else {
      whole = CompileText(checked, stylesheetNode, KTXPathNode::GetNodeNamespaceMap(stylesheetNode), text,
                          restrictions);
      tree = whole->tree.get();
      const std::u16string_view view = text.View();
      shareWhole = !view.empty() && view.find_first_of(u"|\r\n") == std::u16string_view::npos &&
                   view.front() != u' ' && view.front() != u'\t' && view.back() != u' ' && view.back() != u'\t';
    }
  } else {
    compiled = PrecompileExpression(stylesheetNode, text, restrictions);
    tree = compiled->tree.get();
  }
  const KTXPathPatternProblem problem = FindPatternProblem(tree);
  if (!problem.node) {
    if (check) check->CheckTree(stylesheetNode, text.View(), tree);
    if (shareWhole) {
      KTCompiledExpression* made = whole.get();
      compiled_.push_back(std::move(whole));
      made->text = &sharedPatterns.emplace(text, made).first->first;
    }
    return compiled;
  }
  // The text and the place as the expression's own errors show them.
  KTString trimmed(Trimmed(text.View()));
  const int length = static_cast<int>(trimmed.GetLength());
  const int offset = length - std::min(problem.node->SourcePosition(), length);
  if (problem.wrongAxis) {
    KTXSLTError error(KTXSLTError::kXPathError, stylesheetNode);
    error.SetXPathError(kXPathErrPatternAxis, -1);
    error.SetSubject(problem.axis);
    error.SetExpression(trimmed, offset);
    throw error;
  }
  KTXSLTError error(KTXSLTError::kInvalidXPathExpression, stylesheetNode);
  error.SetSubject(KTString(u"not a pattern"));
  error.SetExpression(trimmed, offset);
  throw error;
}

KTXSLTError KTXSLTProcessor::ExpressionError(int code, KTXPathNode* node, const KTXPathExpression& expression,
                                             bool compiling, const KTString& text) {
  KTXSLTError error(code, node);
  if (code != KTXSLTError::kVariablesInPattern)
    error.SetXPathError(expression.GetErrorCode(), expression.GetFunctionIndex());
  if (!expression.GetErrorSubject().IsEmpty()) error.SetSubject(expression.GetErrorSubject());
  if (text.IsEmpty()) {
    error.SetSubject(KTString(u"the expression is empty"));
    return error;
  }
  // A parse that failed is marked at the first character after the
  // farthest token it read (the end of the text when none is left). An
  // evaluation error, or a variable a pattern may not name, is marked where
  // its node starts; one without a place (a result-tree fragment where none
  // may stand) shows the text alone.
  const int length = static_cast<int>(text.GetLength());
  int offset = -1;
  if (compiling && code == KTXSLTError::kInvalidXPathExpression) {
    // The parser and the text are the expression's own: the parse that
    // failed was the last one.
    offset = length - std::min(expression.GetParser().GetMinRemainingAfterToken(), length);
    const char16_t* chars = text.c_str();
    while (offset < length && (chars[offset] == u' ' || chars[offset] == u'\t' || chars[offset] == u'\n' ||
                               chars[offset] == u'\r'))
      ++offset;
  } else if (expression.GetErrorMark() > 0) {
    offset = length - std::min(expression.GetErrorMark(), length);
  }
  error.SetExpression(text, offset);
  return error;
}

KTXPathValue* KTXSLTProcessor::EvaluateParameterValue(KTXPathValue* result, const KTCompiledExpression& compiled) {
  KTExecFrame* top = TopFrame();
  KTXPathNode* node = top ? (top->NodeToRun() ? top->NodeToRun() : top->OwnNode()) : nullptr;
  while (node && node->GetKind() != kXPathElement && node->GetKind() != kXPathAttribute) node = node->GetParent();
  // XSLT 1.0 §2.4: an unprefixed name in an expression is in no namespace,
  // so the stylesheet's default namespace is left out of the bindings.
  KTPrefixMap prefixes;
  if (const KTPrefixMap* inScope = KTXPathNode::GetNodeNamespaceMap(node)) prefixes = *inScope;
  prefixes.erase(KTString());
  if (!expression_) expression_ = std::make_unique<KTXSLTXPathExpression>(this);
  Evaluate(*expression_, &prefixes, compiled,
           {.stylesheetNode = node,
            .contextValue = top ? &top->NodeList() : nullptr,
            .position = top ? top->ContextPosition() : -1,
            .variables = top,
            .allowFragment = true},
           result);
  return result;
}

const KTCompiledValueTemplate* KTXSLTProcessor::PrecompileValueTemplate(KTXPathNode* attribute, bool deferErrors) {
  static const KTCompiledValueTemplate kPlain;
  if (std::u16string_view(attribute->GetValue()).find_first_of(u"{}") == std::u16string_view::npos) return &kPlain;
  KTString text(attribute->GetValue());
  auto found = valueTemplatesByText_.find(text);
  if (found != valueTemplatesByText_.end()) return found->second;
  auto compiled = std::make_unique<KTCompiledValueTemplate>();
  KTInstructionExecutor::CompileAttributeValueTemplate(this, attribute, deferErrors, *compiled);
  valueTemplates_.push_back(std::move(compiled));
  const KTCompiledValueTemplate* made = valueTemplates_.back().get();
  const bool ownError = made->error || std::any_of(made->parts.begin(), made->parts.end(), [](const auto& part) {
                          return part.expression && part.expression->error;
                        });
  if (!ownError) valueTemplatesByText_.emplace(std::move(text), made);
  return made;
}
