// The function-call node: name lookup, argument evaluation on copies of the
// caller's context, and the bridge from the evaluation context and the
// expression to what the function libraries need of them.
#include "xpath/ktxpathcallfunction.h"

#include <span>
#include <string_view>
#include <vector>

#include "xpath/ktxpathevalcontext.h"
#include "xpath/ktxpathexpression.h"
#include "xpath/ktxpathfunctionlibrary.h"
#include "xpath/ktxpathnodes.h"

namespace {

// The text of a name node (a prefix or local part): the character run at the
// end of its chain of first children.
std::u16string_view NameText(const KTXPathAstNode* node) {
  while (node && node->GetKind() != kAstCharacterRun) node = node->FirstChild();
  return node ? std::u16string_view(node->TokenText(), node->TokenLength()) : std::u16string_view();
}

// Whether a location path is "." alone: LocationPath -> RelativeLocationPath
// -> Step -> AbbreviatedStep holding the token ".".
bool IsSelfPath(const KTXPathAstNode* path) {
  const KTXPathAstNode* node = path;
  for (int kind : {kAstLocationPath, kAstRelativeLocationPath, kAstStep}) {
    if (!node || node->GetKind() != kind || node->ChildCount() != 1) return false;
    node = node->FirstChild();
  }
  if (!node || node->GetKind() != kAstAbbreviatedStep || node->ChildCount() != 1) return false;
  const KTXPathAstNode* token = node->FirstChild();
  return token->TokenLength() == 1 && token->TokenText()[0] == u'.';
}

// What a function sees of the evaluation: the context node, position and
// size from the context; bindings, XSLT state and document loading from the
// expression.
class CallContext : public KTXPathFunctionContext {
 public:
  CallContext(const KTXPathEvalContext& context, KTXPathExpression* owner) : context_(context), owner_(owner) {}

  KTXPathNodeItem ContextNode() const override { return context_.ContextNodeItem(); }
  int ContextPosition() const override { return context_.GetContextPosition(); }
  int ContextSize() const override {
    return context_.GetContextSize() != 0 ? context_.GetContextSize() : context_.GetNodeSetSize();
  }
  const KTPrefixMap* Namespaces() const override { return owner_ ? owner_->GetNamespaceMap() : nullptr; }
  int Restrictions() const override { return owner_ ? owner_->GetRestrictions() : 0; }
  KTXPathNode* CurrentNode() const override { return owner_ ? owner_->GetCurrentNode() : nullptr; }
  KTXPathNode* StylesheetNode() const override { return owner_ ? owner_->GetStylesheetNode() : nullptr; }
  KTXPathNode* StylesheetRoot() const override { return owner_ ? owner_->GetStylesheetRoot() : nullptr; }
  KTXPathNode* LoadDocument(const KTString& uri) override { return owner_ ? owner_->LoadDocument(uri) : nullptr; }
  KTXSLTFunctionServices* XSLTServices() const override { return owner_ ? owner_->XSLTServices() : nullptr; }

 private:
  const KTXPathEvalContext& context_;
  KTXPathExpression* owner_;
};

}  // namespace

KTXPathAstNode* CreateCallFunctionNode() { return new CallFunctionNode(); }

void CallFunctionNode::GatherArguments() {
  // Arguments (148): an Argument (149), then ArgumentTails (150) holding
  // "," and an Argument each.
  arguments_.clear();
  for (int i = 1; i < ChildCount(); ++i) {
    KTXPathAstNode* list = ChildAt(i);
    if (list->GetKind() != kAstArguments) continue;
    for (int k = 0; k < list->ChildCount(); ++k) {
      KTXPathAstNode* arg = list->ChildAt(k);
      if (arg->GetKind() == kAstArgumentTail) arg = arg->ChildAt(arg->ChildCount() - 1);
      if (arg) arguments_.push_back(arg);
    }
  }
  gathered_ = true;
}

bool CallFunctionNode::Evaluate(KTXPathEvalContext& context) {
  KTXPathExpression* owner = context.GetOwner();
  auto fail = [&](int code) {
    if (owner) {
      owner->SetError(code, -1);
      owner->SetErrorPositionIfUnset(SourcePosition());
    }
    return false;
  };

  // FunctionName (147) -> QName (156) -> [QNamePrefix (177)] LocalPart (179).
  const KTXPathAstNode* functionName = FirstChild();
  const KTXPathAstNode* qname = functionName ? functionName->FirstChild() : nullptr;
  const KTXPathAstNode* part = qname ? qname->FirstChild() : nullptr;
  if (!part) return fail(kXPathErrUnknownFunction);
  // The name as written, for the message of an error about the call.
  auto nameAsWritten = [&] {
    KTString written;
    for (int i = 0; i < qname->ChildCount(); ++i) {
      if (i > 0) written += u':';
      written += KTString(NameText(qname->ChildAt(i)));
    }
    written += u"()";
    return written;
  };
  if (part->GetKind() == kAstQNamePrefix) {
    // No function lives in a namespace: a bound prefix is error 8. This
    // processor has no extension functions (EXSLT and the like).
    const KTPrefixMap* map = owner ? owner->GetNamespaceMap() : nullptr;
    auto found = map ? map->find(NameText(part)) : KTPrefixMap::const_iterator();
    bool bound = map && found != map->end() && found->second && !found->second->IsEmpty();
    fail(bound ? kXPathErrFunctionInNamespace : kXPathErrInvalidPrefix);
    if (owner) {
      KTString subject = nameAsWritten();
      if (bound) subject += u": extension functions are not supported";
      owner->SetErrorSubject(subject);
    }
    return false;
  }
  bool xslt = owner && owner->XSLTFunctionsEnabled();
  // The name is looked up once for each setting of the XSLT functions: the
  // tree is evaluated again for every context node.
  if (!looked_[xslt]) {
    found_[xslt] = KTXPathFunctionLibrary::FindFunction(NameText(part), xslt);
    looked_[xslt] = true;
  }
  const KTXPathFunctionInfo* function = found_[xslt];
  if (!function) {
    fail(kXPathErrUnknownFunction);
    if (owner) owner->SetErrorSubject(nameAsWritten());
    return false;
  }

  if (!gathered_) GatherArguments();

  try {
    CallContext callContext(context, owner);
    KTXPathFunctionLibrary::CheckCall(*function, static_cast<int>(arguments_.size()), callContext);
    // Up to three arguments (all but concat's) live on the stack.
    constexpr size_t kInline = 3;
    KTXPathValue inlineValues[kInline];
    std::vector<KTXPathValue> moreValues;
    std::span<KTXPathValue> values;
    if (arguments_.size() > kInline) moreValues.resize(arguments_.size());
    values = arguments_.size() > kInline ? std::span<KTXPathValue>(moreValues)
                                         : std::span<KTXPathValue>(inlineValues, arguments_.size());
    // Each argument runs on a fresh copy of the context, so that arguments
    // never see each other's values; the copy shares the node-sets. One
    // copy is made and reset from the caller's context for each argument.
    // A literal or number argument is read as it stands, in no context; a
    // variable's value is taken (in document order) without one.
    if (!arguments_.empty()) {
      KTXPathEvalContext argumentContext;
      for (size_t i = 0; i < arguments_.size(); ++i) {
        KTXPathAstNode* argument = arguments_[i];
        if (argument->InvariantSlot() < 0) {
          KTXPathAstNode* resolved = argument->Resolved();
          if (const KTXPathValue* constant = resolved->ConstantValue()) {
            values[i] = *constant;
            continue;
          }
          auto* primary = resolved->GetKind() == kAstPrimaryExpr ? static_cast<PrimaryExprNode*>(resolved) : nullptr;
          if (primary && primary->IsVariableReference()) {
            const KTXPathValue* value = primary->VariableValue(context);
            if (!value) return false;
            values[i] = *value;
            values[i].SortDocumentOrder();
            // A variable's result tree fragment where a node-set is needed
            // (XSLT 1.0 §11.1).
            if (KTXPathFunctionLibrary::TakesNodeSet(function->index) &&
                KTXPathFunctionLibrary::IsResultTreeFragment(values[i]))
              KTXPathFunctionLibrary::Raise(kXPathErrResultTreeFragment, function->index);
            continue;
          }
          // "." is the context node-set, as the path would give it (put in
          // document order in an expression, as it stands in a pattern);
          // the path runs where it may fail (a value that is no node-set,
          // a fragment after "$", "." outside a pattern's predicates).
          if (resolved->GetKind() == kAstLocationPath && owner && context.Current().IsNodeSet() &&
              (context.InPredicate() || !owner->HasPatternAxes()) &&
              std::u16string_view(context.GetNameTest()) != u"$" && IsSelfPath(resolved)) {
            values[i] = context.Current();
            if (owner->GetCompileMode() == KTXPathExpression::kModeExpr) values[i].SortDocumentOrder();
            continue;
          }
        }
        // An operator expression ("$n - 1", "(a = b)") computes its number
        // or boolean in place.
        if (BinaryExprNode* nested = BinaryExprNode::NestedOperator(argument)) {
          if (!nested->ComputeValue(context, values[i])) return false;
          continue;
        }
        argumentContext = context;
        if (!argument->EvaluateOperand(argumentContext)) return false;
        values[i] = std::move(argumentContext.Current());
        // A variable's result tree fragment where a node-set is needed
        // (XSLT 1.0 §11.1); the variable reference leaves "$" as its mark.
        if (KTXPathFunctionLibrary::TakesNodeSet(function->index) &&
            std::u16string_view(argumentContext.GetNameTest()) == u"$" &&
            KTXPathFunctionLibrary::IsResultTreeFragment(values[i]))
          KTXPathFunctionLibrary::Raise(kXPathErrResultTreeFragment, function->index);
      }
    }
    context.SetResult(KTXPathFunctionLibrary::Call(*function, callContext, values));
    return true;
  } catch (const KTXPathFunctionLibraryException& e) {
    if (owner) {
      owner->SetError(e.code, e.functionIndex);
      owner->SetErrorMarkIfUnset(SourcePosition());
      if (!e.subject.IsEmpty()) owner->SetErrorSubject(e.subject);
    }
    return false;
  }
}
