// xsl:variable, xsl:param, xsl:with-param and xsl:call-template.
#include "xslt/ktvariableexecutors.h"

#include <algorithm>

#include "xslt/ktcompiledtemplate.h"
#include "xslt/ktdeclrecord.h"
#include "xpath/ktxpathfunctionlibrary.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktstylesheetcompiler.h"
#include "xslt/kttemplateexecutors.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltprocessor.h"

namespace {

constexpr int kVariableExists = KTXSLTError::kVariableExists;
constexpr int kParameterExists = KTXSLTError::kParameterExists;
constexpr int kUndefinedTemplate = KTXSLTError::kUndefinedTemplate;
constexpr int kRecursiveVariable = KTXSLTError::kRecursiveVariable;

bool IsContentNode(const KTXPathNode* node) {
  int kind = node->GetKind();
  return kind != kXPathAttribute && kind != kXPathNamespace && kind != kXPathPI && kind != kXPathComment;
}

}  // namespace

// ---- Shared helpers ----

KTFragmentBuild::~KTFragmentBuild() {
  if (root_ && processor_) processor_->RegisterTree(std::move(root_));
}

KTXPathNode* KTFragmentBuild::Start(KTXSLTProcessor* processor, const KTXPathNode* scope) {
  if (root_ && processor_) processor_->RegisterTree(std::move(root_));
  processor_ = processor;
  root_ = std::make_unique<KTXPathNode>(nullptr, kXPathRoot);
  if (scope) root_->SetMaps(scope->InheritedElementMap(), scope->InheritedAttributeMap());
  return root_.get();
}

KTXPathValue KTFragmentBuild::Finish() { return KTXPathValue::OwningTree(std::move(root_)); }

KTXPathNode* KTFirstContentChild(const KTXPathNode* element) {
  for (const auto& child : element->Children())
    if (IsContentNode(child.get())) return child.get();
  return nullptr;
}

KTExecFrame* KTPushFrameFor(KTXSLTProcessor* processor, KTExecFrame* parent, KTXPathNode* resultParent,
                            KTXPathNode* node) {
  auto child = std::make_unique<KTExecFrame>(parent, resultParent);
  child->SetNodeToRun(node);
  child->SetLastFinished(nullptr);
  KTExecFrame* raw = child.get();
  processor->PushFrame(std::move(child));
  return raw;
}

bool KTPopFrameAfter(KTXSLTProcessor* processor, KTXPathNode* own) {
  processor->PopFrame();
  if (KTExecFrame* top = processor->TopFrame()) top->SetLastFinished(own);
  return true;
}

bool KTPushNextInstruction(KTXSLTProcessor* processor, KTExecFrame* frame, KTXPathNode* resultParent) {
  KTXPathNode* next = KTInstructionExecutor::NextInstructionSibling(frame->CurrentChild());
  if (!next) return false;
  KTPushChildFrame(processor, frame, resultParent, next);
  return true;
}

KTExecFrame* KTPushChildFrame(KTXSLTProcessor* processor, KTExecFrame* frame, KTXPathNode* resultParent,
                              KTXPathNode* child) {
  KTExecFrame* pushed = KTPushFrameFor(processor, frame, resultParent, child);
  frame->SetCurrentChild(child);
  return pushed;
}


bool KTBindWithParamInPlace(KTXSLTProcessor* processor, KTExecFrame* frame, KTXPathNode* resultParent,
                            KTXPathNode* child, const KTDeclRecord* record, const KTXPathValue& nodeList,
                            int position) {
  if (!record || record->elementId != kXSLTWithParam) return false;
  const auto* withParam = static_cast<const KTDeclWithParam*>(record);
  if (!withParam->selectNode || !processor->WithinQuietDepths(1, 0) || processor->TopLevelVariableFlag()) return false;
  KTXPathNode* nodeToRun = frame->NodeToRun();
  try {
    // As KTWithParamExecutor::Start would, with this frame standing in for
    // the child's: same bindings in scope, the given list and position, and
    // the xsl:with-param as the instruction being run.
    KTBindingScope& passed = frame->OwnWithParams();
    if (passed.FindOwn(withParam->name)) throw KTXSLTError::About(kParameterExists, withParam->nameNode);
    frame->SetNodeToRun(child);
    KTXPathValue result;
    processor->CompileExpression(*withParam->select,
                                 {.stylesheetNode = withParam->selectNode,
                                  .contextValue = &nodeList,
                                  .position = position,
                                  .variables = frame,
                                  .allowFragment = true},
                                 &result);
    frame->SetNodeToRun(nodeToRun);
    passed.BindLastingNew(withParam->name, KTBindingRecord{withParam->nameNode, std::move(result)});
  } catch (const KTXSLTError&) {
    // The error is raised with the child's frame on the stack, as it would
    // have been.
    frame->SetNodeToRun(nodeToRun);
    KTExecFrame* pushed = KTPushChildFrame(processor, frame, resultParent, child);
    pushed->SetNodeList(nodeList);
    pushed->SetContextPosition(position);
    throw;
  }
  // The child's frame would have popped now.
  frame->SetLastFinished(child);
  return true;
}

// Kept out of line: the loop of KTPushInstructionFrom, which runs at
// nearly every instruction, then needs few registers.
__attribute__((noinline)) bool KTBindDeclarationInPlace(KTXSLTProcessor* processor, KTExecFrame* frame,
                                                        KTXPathNode* resultParent, KTXPathNode* child,
                                                        const KTDeclRecord* record, int position) {
  if (!record) return false;
  const bool param = record->elementId == kXSLTParam;
  const KTString* name = nullptr;
  KTXPathNode* nameNode = nullptr;
  KTXPathNode* selectNode = nullptr;
  const KTCompiledExpression* select = nullptr;
  if (record->elementId == kXSLTVariable) {
    const auto* variable = static_cast<const KTDeclVariable*>(record);
    if (variable->topLevel) return false;
    name = &variable->name;
    nameNode = variable->nameNode;
    selectNode = variable->selectNode;
    select = variable->select;
  } else if (param) {
    const auto* declaration = static_cast<const KTDeclParam*>(record);
    if (declaration->topLevel) return false;
    name = &declaration->name;
    nameNode = declaration->nameNode;
    selectNode = declaration->selectNode;
    select = declaration->select;
  } else {
    return false;
  }
  if (!processor->WithinQuietDepths(1, 0) || processor->TopLevelVariableFlag()) return false;
  if (!selectNode && KTFirstContentChild(child)) return false;
  KTXPathNode* nodeToRun = frame->NodeToRun();
  try {
    // A local name may not shadow another local variable or parameter in
    // scope (XSLT 1.0 §11.5).
    if ((frame->Variables() && frame->Variables()->Find(*name)) ||
        (frame->Parameters() && frame->Parameters()->Find(*name)))
      throw KTXSLTError::About(param ? kParameterExists : kVariableExists, nameNode);
    KTXPathValue value;
    const KTBindingRecord* passed = param && frame->WithParams() ? frame->WithParams()->Find(*name) : nullptr;
    if (passed) {
      value = passed->value;
    } else if (selectNode) {
      // Evaluated as in the child's frame: the same list, position and
      // bindings, and the declaration as the instruction being run.
      frame->SetNodeToRun(child);
      processor->CompileExpression(*select,
                                   {.stylesheetNode = selectNode,
                                    .contextValue = &frame->NodeList(),
                                    .position = position,
                                    .variables = frame,
                                    .allowFragment = true},
                                   &value);
      frame->SetNodeToRun(nodeToRun);
      if (!param && value.GetKind() == kValueNodeSet && value.ItemCount() > 0) value.SortDocumentOrder();
    } else {
      value = KTXPathValue::String(KTString());
    }
    KTBindingScope& scope = param ? frame->OwnParameters() : frame->OwnVariables();
    // The check above found the name in none of the layers in scope,
    // this one among them.
    scope.BindLastingNew(*name, KTBindingRecord{nameNode, std::move(value)});
  } catch (const KTXSLTError&) {
    frame->SetNodeToRun(nodeToRun);
    KTPushChildFrame(processor, frame, resultParent, child);
    throw;
  }
  frame->SetLastFinished(child);
  return true;
}

// Kept out of line for the same reason as KTBindDeclarationInPlace.
__attribute__((noinline)) int KTTestIfInPlace(KTXSLTProcessor* processor, KTExecFrame* frame,
                                              KTXPathNode* resultParent, KTXPathNode* child,
                                              const KTDeclRecord* record, int position) {
  if (!record || record->elementId != kXSLTIf) return -1;
  const auto* test = static_cast<const KTDeclIf*>(record);
  if (!test->test || !processor->WithinQuietDepths(1, 0) || processor->TopLevelVariableFlag()) return -1;
  KTXPathNode* nodeToRun = frame->NodeToRun();
  KTXPathValue result;
  try {
    // Evaluated as in the child's frame: the same list, position and
    // bindings, and the xsl:if as the instruction being run.
    frame->SetNodeToRun(child);
    processor->CompileExpression(*test->test,
                                 {.stylesheetNode = test->testNode,
                                  .contextValue = &frame->NodeList(),
                                  .position = position,
                                  .variables = frame,
                                  .allowFragment = true},
                                 &result);
  } catch (const KTXSLTError&) {
    frame->SetNodeToRun(nodeToRun);
    KTPushChildFrame(processor, frame, resultParent, child);
    throw;
  }
  frame->SetNodeToRun(nodeToRun);
  const bool passed =
      result.GetKind() == kValueBoolean ? result.GetBoolean() : KTXPathFunctionLibrary::ToBoolean(result);
  // A false test: the child's frame would have popped now.
  if (!passed) frame->SetLastFinished(child);
  return passed ? 1 : 0;
}

namespace {

// Whether `element` has an xsl:variable or xsl:param child: content that
// declares runs in a frame of its own, whose bindings go with it.
bool DeclaresAsChild(const KTStylesheetCompiler& compiler, const KTXPathNode* element) {
  for (const auto& child : element->Children()) {
    const int id = compiler.FindElementId(child.get());
    if (id == kXSLTVariable || id == kXSLTParam) return true;
  }
  return false;
}

bool IfRunsInPlace(const KTStylesheetCompiler& compiler, const KTDeclIf* record, const KTXPathNode* element) {
  if (record->inPlace == KTInPlace::kUnknown)
    record->inPlace = DeclaresAsChild(compiler, element) ? KTInPlace::kNo : KTInPlace::kYes;
  return record->inPlace == KTInPlace::kYes;
}

// The checks of KTChooseExecutor::PushBranchFrom, made once for all the
// branches, and no branch declaring: a choice that passes them is made
// without the xsl:choose frame, which would raise no error of its own.
bool ChooseRunsInPlace(const KTStylesheetCompiler& compiler, const KTDeclChoose* record, const KTXPathNode* element) {
  if (record->inPlace != KTInPlace::kUnknown) return record->inPlace == KTInPlace::kYes;
  bool fits = true;
  bool first = true;
  for (KTXPathNode* child = KTFirstContentChild(element); child && fits;
       child = KTInstructionExecutor::NextInstructionSibling(child), first = false) {
    KTDeclRecord* found = nullptr;
    const int id = compiler.FindElementId(child, &found);
    if (id == kXSLTWhen) {
      fits = found && found->elementId == kXSLTWhen && static_cast<const KTDeclWhen*>(found)->test;
    } else {
      fits = !first && id == kXSLTOtherwise && found && found->elementId == kXSLTOtherwise &&
             !KTInstructionExecutor::NextInstructionSibling(child);
    }
    if (fits) fits = !DeclaresAsChild(compiler, child);
  }
  record->inPlace = fits && !first ? KTInPlace::kYes : KTInPlace::kNo;
  return record->inPlace == KTInPlace::kYes;
}

// Chooses the branch of the xsl:choose `choose` (its record `record`) from
// `frame`, the frame that runs its parent, as the xsl:choose's frame would
// in its first step with the tests evaluated in place: the chosen
// xsl:when or xsl:otherwise, or null when none is chosen. Done only where
// the check before each step would pass the steps of the choice's frame and
// of its branch's by, and no top-level declaration is being evaluated;
// `*handled` is false, with nothing done, otherwise. A failing test pushes
// the xsl:choose's frame and the xsl:when's before the error passes on, so
// the error shows the stack it would have shown.
KTXPathNode* ChooseInPlace(KTXSLTProcessor* processor, KTExecFrame* frame, KTXPathNode* resultParent,
                           KTXPathNode* choose, const KTDeclRecord* record, bool* handled) {
  *handled = false;
  if (!record || record->elementId != kXSLTChoose) return nullptr;
  if (!processor->WithinQuietDepths(2, 0) || processor->TopLevelVariableFlag()) return nullptr;
  const KTStylesheetCompiler& compiler = processor->Compiler();
  if (!ChooseRunsInPlace(compiler, static_cast<const KTDeclChoose*>(record), choose)) return nullptr;
  *handled = true;
  KTXPathNode* nodeToRun = frame->NodeToRun();
  for (KTXPathNode* child = KTFirstContentChild(choose); child;
       child = KTInstructionExecutor::NextInstructionSibling(child)) {
    KTDeclRecord* found = nullptr;
    if (compiler.FindElementId(child, &found) == kXSLTOtherwise) return child;
    const auto* when = static_cast<const KTDeclWhen*>(found);
    KTXPathValue result;
    try {
      // Evaluated as in the xsl:when's frame: the same list, position and
      // bindings, and the xsl:when as the instruction being run.
      frame->SetNodeToRun(child);
      processor->CompileExpression(*when->test,
                                   {.stylesheetNode = when->testNode,
                                    .contextValue = &frame->NodeList(),
                                    .position = frame->ContextPosition(),
                                    .variables = frame,
                                    .allowFragment = true},
                                   &result);
    } catch (const KTXSLTError&) {
      frame->SetNodeToRun(nodeToRun);
      KTExecFrame* chooseFrame = KTPushChildFrame(processor, frame, resultParent, choose);
      chooseFrame->SetStarted();
      chooseFrame->SetOwnNode(choose);
      KTPushChildFrame(processor, chooseFrame, resultParent, child);
      throw;
    }
    frame->SetNodeToRun(nodeToRun);
    if (result.GetKind() == kValueBoolean ? result.GetBoolean() : KTXPathFunctionLibrary::ToBoolean(result))
      return child;
  }
  return nullptr;
}

}  // namespace

KTExecFrame* KTPushInstructionFrom(KTXSLTProcessor* processor, KTExecFrame* frame, KTXPathNode* resultParent,
                                   KTXPathNode* child) {
  const KTStylesheetCompiler& compiler = processor->Compiler();
  for (;;) {
    while (child) {
      // KTXSLTProcessor::ElementIdOf, with the compiler's index read inline.
      KTDeclRecord* found = nullptr;
      int id = compiler.FindElementId(child, &found);
      if (!id) id = compiler.ElementRecognizer().ElementId(child);
      const KTDeclRecord* record = found;
      if ((id == kXSLTVariable || id == kXSLTParam) &&
          KTBindDeclarationInPlace(processor, frame, resultParent, child, record, frame->ContextPosition())) {
        child = KTInstructionExecutor::NextInstructionSibling(child);
        continue;
      }
      int passed = -1;
      if (id == kXSLTIf) {
        passed = KTTestIfInPlace(processor, frame, resultParent, child, record, frame->ContextPosition());
        if (passed == 0) {
          child = KTInstructionExecutor::NextInstructionSibling(child);
          continue;
        }
        if (passed == 1 && IfRunsInPlace(compiler, static_cast<const KTDeclIf*>(record), child)) {
          // The content runs from here, in place of the xsl:if's frame,
          // and the sequence goes on after the xsl:if once it has run.
          processor->HostFrame(frame, child, child, 1);
          child = KTFirstContentChild(child);
          continue;
        }
      } else if (id == kXSLTChoose) {
        bool handled = false;
        KTXPathNode* branch = ChooseInPlace(processor, frame, resultParent, child, record, &handled);
        if (handled) {
          if (!branch) {
            // No branch: the choice's frame would have popped now.
            frame->SetLastFinished(child);
            child = KTInstructionExecutor::NextInstructionSibling(child);
            continue;
          }
          // The branch's content runs from here, in place of the frames
          // of the choice and of the branch.
          processor->HostFrame(frame, child);
          processor->HostFrame(frame, branch, child, 2);
          child = KTFirstContentChild(branch);
          continue;
        }
      }
      // The id and record found here spare the new frame its own lookup.
      auto pushed = std::make_unique<KTExecFrame>(frame, resultParent);
      pushed->SetNodeToRun(child, id, record);
      if (passed == 1) pushed->SetTestPassed();
      KTExecFrame* raw = pushed.get();
      processor->PushFrame(std::move(pushed));
      frame->SetCurrentChild(child);
      return raw;
    }
    // The sequence has run out: content run in place of a frame goes on
    // in the sequence around it.
    KTXPathNode* after = processor->EndHostedContent(frame);
    if (!after) break;
    frame->SetLastFinished(after);
    child = KTInstructionExecutor::NextInstructionSibling(after);
  }
  frame->SetCurrentChild(nullptr);
  return nullptr;
}

// ---- xsl:variable and xsl:param ----

KTDeclarationExecutor::KTDeclarationExecutor(KTXSLTProcessor* processor, int elementId)
    : KTInstructionExecutor(processor, elementId) {}

KTVariableExecutor::KTVariableExecutor(KTXSLTProcessor* processor) : KTDeclarationExecutor(processor, kXSLTVariable) {}

KTParamExecutor::KTParamExecutor(KTXSLTProcessor* processor) : KTDeclarationExecutor(processor, kXSLTParam) {}

bool KTDeclarationExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  frame->SetStarted();
  KTXPathNode* node = frame->NodeToRun();
  frame->SetOwnNode(node);
  declarationNode_ = node;

  const KTDeclRecord* record = Declaration();
  KTXPathNode* selectNode = nullptr;
  const KTCompiledExpression* select = nullptr;
  if (record && record->elementId == kXSLTVariable && !IsParam()) {
    const auto* variable = static_cast<const KTDeclVariable*>(record);
    name_ = &variable->name;
    nameNode_ = variable->nameNode;
    selectNode = variable->selectNode;
    select = variable->select;
    topLevel_ = variable->topLevel;
  } else if (record && record->elementId == kXSLTParam && IsParam()) {
    const auto* param = static_cast<const KTDeclParam*>(record);
    name_ = &param->name;
    nameNode_ = param->nameNode;
    selectNode = param->selectNode;
    select = param->select;
    topLevel_ = param->topLevel;
  } else {
    throw KTXSLTError(KTXSLTError::kUnexpectedFailure, node);
  }
  auto finishStart = [&] {
    frame->SetLastFinished(node);
    frame->SetNodeToRun(nullptr);
    return true;
  };

  KTXPathNode* parentElement = node->GetParent();
  if (topLevel_ && processor_->DeferringGlobals()) {
    // While the modules are processed a declaration is only recorded; the
    // winners are evaluated once every module is in (see RegisterGlobal).
    // Two bindings of one name in one stylesheet element have the same
    // import precedence: an error (XSLT 1.0 §11.4).
    KTXPathNode* winner = processor_->GlobalWinner(*name_);
    if (winner && winner != node && winner->GetParent() == parentElement)
      throw KTXSLTError::About(IsParam() ? kParameterExists : kVariableExists, nameNode_);
    processor_->RegisterGlobal(*name_, node);
    return finishStart();
  }
  if (topLevel_) {
    // Evaluated early because another declaration referred to it.
    if (processor_->Evaluated().count(node)) {
      // The frame step set the flag for this declaration; nothing is being
      // evaluated unless another declaration is.
      processor_->SetTopLevelVariableFlag(!processor_->InEvaluation().empty());
      return finishStart();
    }
    std::vector<KTXPathNode*>& stack = processor_->InEvaluation();
    if (std::find(stack.begin(), stack.end(), node) != stack.end()) {
      auto& restarts = processor_->RestartFrames();
      auto restart = restarts.find(node);
      if (restart == restarts.end() || restart->second != frame) {
        KTXSLTError error(kRecursiveVariable, node);
        if (nameNode_) error.SetSubject(KTString(u"$") + KTString(nameNode_->GetValue()));
        throw error;
      }
      restarts.erase(restart);
    } else {
      stack.push_back(node);
    }
    inEvaluation_ = true;
    processor_->SetTopLevelVariableFlag(true);
    // Content runs with its own stylesheet's excluded namespaces, whichever
    // frame asked for the value.
    KTUseStylesheetNamespaces(processor_, frame, node);

    // A top-level name is bound once per stylesheet element, variables and
    // parameters together; a binding made by another stylesheet element
    // gives way to the one that runs later.
    KTBindingMap& own = IsParam() ? *processor_->GlobalParameters() : *processor_->GlobalVariables();
    KTBindingMap& other = IsParam() ? *processor_->GlobalVariables() : *processor_->GlobalParameters();
    KTXSLTProcessor::NodeMap& ownOwners = IsParam() ? processor_->ParameterOwners() : processor_->VariableOwners();
    KTXSLTProcessor::NodeMap& otherOwners = IsParam() ? processor_->VariableOwners() : processor_->ParameterOwners();
    if (own.count(*name_) || other.count(*name_)) {
      auto ownOwner = ownOwners.find(*name_);
      auto otherOwner = otherOwners.find(*name_);
      if (ownOwner != ownOwners.end() && ownOwner->second != parentElement) {
        ownOwners.erase(ownOwner);
        own.erase(*name_);
      } else if (otherOwner != otherOwners.end() && otherOwner->second != parentElement) {
        otherOwners.erase(otherOwner);
        other.erase(*name_);
      } else {
        throw KTXSLTError::About(IsParam() ? kParameterExists : kVariableExists, nameNode_);
      }
    }
  } else {
    // A local name may not shadow another local variable or parameter in
    // scope (XSLT 1.0 §11.5); top-level bindings may be shadowed.
    KTExecFrame* parent = frame->Parent();
    bool bound = parent && ((parent->Variables() && parent->Variables()->Find(*name_)) ||
                            (parent->Parameters() && parent->Parameters()->Find(*name_)));
    if (bound) throw KTXSLTError::About(IsParam() ? kParameterExists : kVariableExists, nameNode_);
  }

  if (IsParam()) {
    // A value passed by xsl:with-param (or -param) wins; the default is
    // then never evaluated.
    KTExecFrame* parent = frame->Parent();
    const KTBindingRecord* passed = parent && parent->WithParams() ? parent->WithParams()->Find(*name_) : nullptr;
    if (passed) {
      // Owned like any top-level binding, so that a declaration of the name
      // in another module replaces it by import precedence instead of
      // clashing with it.
      Bind(frame, KTXPathValue(passed->value), true);
      return finishStart();
    }
  }

  if (selectNode) {
    KTXPathValue result;
    frame->EvaluateExpression(selectNode, *select, &frame->NodeList(), &result, true);
    // A variable holds its nodes in document order, whatever axis chose them.
    if (!IsParam() && result.GetKind() == kValueNodeSet && result.ItemCount() > 0) result.SortDocumentOrder();
    Bind(frame, std::move(result), true);
  } else if (KTXPathNode* first = KTFirstContentChild(node)) {
    fragmentRoot_ = fragment_.Start(processor_, resultParent_);
    KTPushFrameFor(processor_, frame, fragmentRoot_, first);
    frame->SetCurrentChild(first);
  } else {
    Bind(frame, KTXPathValue::String(KTString()), true);
  }
  return finishStart();
}

void KTDeclarationExecutor::Bind(KTExecFrame* frame, KTXPathValue&& value, bool recordOwner) {
  KTBindingRecord record{nameNode_, std::move(value)};
  if (topLevel_) {
    KTBindingMap& own = IsParam() ? *processor_->GlobalParameters() : *processor_->GlobalVariables();
    own.insert_or_assign(*name_, std::move(record));
    if (recordOwner) {
      KTXSLTProcessor::NodeMap& owners = IsParam() ? processor_->ParameterOwners() : processor_->VariableOwners();
      owners[*name_] = declarationNode_->GetParent();
    }
    return;
  }
  KTExecFrame* parent = frame->Parent();
  if (!parent) throw KTXSLTError(KTXSLTError::kUnexpectedFailure, declarationNode_);
  KTBindingScope& scope = IsParam() ? parent->OwnParameters() : parent->OwnVariables();
  scope.BindLasting(*name_, std::move(record));
}

void KTDeclarationExecutor::LeaveEvaluation() {
  if (!inEvaluation_) return;
  inEvaluation_ = false;
  std::vector<KTXPathNode*>& stack = processor_->InEvaluation();
  auto at = std::find(stack.rbegin(), stack.rend(), declarationNode_);
  if (at != stack.rend()) stack.erase(std::next(at).base());
  processor_->Evaluated().insert(declarationNode_);
  processor_->SetTopLevelVariableFlag(!stack.empty());
}

bool KTDeclarationExecutor::Continue() {
  KTExecFrame* frame = TopFrame();
  if (fragmentRoot_ && frame->CurrentChild()) {
    if (KTPushNextInstruction(processor_, frame, fragmentRoot_)) return true;
    Bind(frame, fragment_.Finish(), true);
    frame->SetCurrentChild(nullptr);
  }
  LeaveEvaluation();
  return KTPopFrameAfter(processor_, declarationNode_);
}

// ---- xsl:with-param ----

KTWithParamExecutor::KTWithParamExecutor(KTXSLTProcessor* processor)
    : KTInstructionExecutor(processor, kXSLTWithParam) {}

bool KTWithParamExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  frame->SetStarted();
  KTXPathNode* node = frame->NodeToRun();
  frame->SetOwnNode(node);
  const KTDeclRecord* record = Declaration();
  KTExecFrame* parent = frame->Parent();
  if (!record || record->elementId != kXSLTWithParam || !parent)
    throw KTXSLTError(KTXSLTError::kUnexpectedFailure, node);
  const auto* withParam = static_cast<const KTDeclWithParam*>(record);
  name_ = &withParam->name;
  nameNode_ = withParam->nameNode;

  KTBindingScope& passed = parent->OwnWithParams();
  if (passed.FindOwn(*name_)) throw KTXSLTError::About(kParameterExists, nameNode_);
  if (withParam->selectNode) {
    KTXPathValue result;
    frame->EvaluateExpression(withParam->selectNode, *withParam->select, &frame->NodeList(), &result, true);
    passed.BindLasting(*name_, KTBindingRecord{nameNode_, std::move(result)});
  } else if (KTXPathNode* first = KTFirstContentChild(node)) {
    fragmentRoot_ = fragment_.Start(processor_, resultParent_);
    KTPushFrameFor(processor_, frame, fragmentRoot_, first);
    frame->SetCurrentChild(first);
  } else {
    passed.BindLasting(*name_, KTBindingRecord{nameNode_, KTXPathValue::String(KTString())});
  }
  frame->SetLastFinished(node);
  frame->SetNodeToRun(nullptr);
  return true;
}

bool KTWithParamExecutor::Continue() {
  KTExecFrame* frame = TopFrame();
  if (fragmentRoot_ && frame->CurrentChild()) {
    if (KTPushNextInstruction(processor_, frame, fragmentRoot_)) return true;
    frame->Parent()->OwnWithParams().BindLasting(*name_, KTBindingRecord{nameNode_, fragment_.Finish()});
    frame->SetCurrentChild(nullptr);
  }
  return KTPopFrameAfter(processor_, frame->OwnNode());
}

// ---- xsl:call-template ----

KTCallTemplateExecutor::KTCallTemplateExecutor(KTXSLTProcessor* processor)
    : KTInstructionExecutor(processor, kXSLTCallTemplate) {}

bool KTCallTemplateExecutor::PushChild(KTExecFrame* frame, KTXPathNode* child) {
  for (; child; child = NextInstructionSibling(child)) {
    const KTDeclRecord* record = nullptr;
    if (processor_->ElementIdOf(child, &record) != kXSLTWithParam) {
      KTPushChildFrame(processor_, frame, resultParent_, child);
      return true;
    }
    if (!KTBindWithParamInPlace(processor_, frame, resultParent_, child, record, savedNodeList_, savedPosition_)) {
      // Parameters are evaluated in the context the call was made in.
      KTExecFrame* pushed = KTPushChildFrame(processor_, frame, resultParent_, child);
      pushed->SetNodeList(savedNodeList_);
      pushed->SetContextPosition(savedPosition_);
      return true;
    }
    frame->SetCurrentChild(child);
  }
  return false;
}

bool KTCallTemplateExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  frame->SetStarted();
  KTXPathNode* node = frame->NodeToRun();
  frame->SetOwnNode(node);
  savedNodeList_ = frame->NodeList();
  savedPosition_ = frame->ContextPosition();
  // The called template sees only the parameters this call passes.
  frame->ShareWithParams(nullptr);
  if (node->FirstChildOfKind(kXPathElement) == node->GetChildCount()) {
    CallTemplate(frame);
  } else if (!PushChild(frame, KTFirstContentChild(node))) {
    CallTemplate(frame);
  }
  frame->SetLastFinished(node);
  frame->SetNodeToRun(nullptr);
  return true;
}

void KTCallTemplateExecutor::CallTemplate(KTExecFrame* frame) {
  const KTDeclRecord* record = Declaration();
  if (!record || record->elementId != kXSLTCallTemplate)
    throw KTXSLTError(KTXSLTError::kUnexpectedFailure, frame->OwnNode());
  const auto* call = static_cast<const KTDeclCallTemplate*>(record);
  int position = FindNamedTemplate(call->expandedName);
  if (position == KTExecFrame::kNoTemplate) {
    KTXSLTError error(kUndefinedTemplate, call->nameNode);
    KTString subject(u"no template named \"");
    if (call->nameNode) subject += call->nameNode->GetValue();
    subject += u'"';
    error.SetSubject(subject);
    throw error;
  }
  KTCompiledTemplate* rule = processor_->TemplateRules()[position].get();
  auto child = std::make_unique<KTExecFrame>(frame, resultParent_);
  child->SetCurrentTemplate(position, rule);
  child->SetNodeToRun(rule->TemplateElement());
  child->SetLastFinished(nullptr);
  processor_->PushFrame(std::move(child));
  frame->SetCurrentChild(rule->TemplateElement());
  frame->SetNodeToRun(nullptr);
}

bool KTCallTemplateExecutor::Continue() {
  KTExecFrame* frame = TopFrame();
  KTXPathNode* own = frame->OwnNode();
  // The template's frame has finished: its node lies outside the call.
  if (!IsAncestor(own, frame->LastFinished())) return KTPopFrameAfter(processor_, own);
  if (!frame->CurrentChild()) return KTPopFrameAfter(processor_, own);
  if (!PushChild(frame, NextInstructionSibling(frame->CurrentChild()))) CallTemplate(frame);
  return true;
}
