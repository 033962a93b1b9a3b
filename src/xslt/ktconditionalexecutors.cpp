// xsl:if, xsl:choose, xsl:when and xsl:otherwise.
#include "xslt/ktconditionalexecutors.h"

#include "xslt/ktdeclrecord.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktvariableexecutors.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltprocessor.h"

namespace {

constexpr int kChooseNeedsWhen = KTXSLTError::kWhenExpected;
constexpr int kUnexpectedOtherwise = KTXSLTError::kUnexpectedOtherwise;
constexpr int kNotWhenOrOtherwise = KTXSLTError::kNotWhenOrOtherwise;

}  // namespace

// ---- Content ----

KTContentExecutor::KTContentExecutor(KTXSLTProcessor* processor, int elementId)
    : KTInstructionExecutor(processor, elementId) {}

void KTContentExecutor::StartContent(KTExecFrame* frame) {
  KTXPathNode* own = frame->OwnNode();
  if (KTPushInstructionFrom(processor_, frame, resultParent_, KTFirstContentChild(own))) {
    frame->SetLastFinished(frame->CurrentChild());
  } else {
    frame->SetLastFinished(own);
  }
  frame->SetNodeToRun(nullptr);
}

bool KTContentExecutor::Continue() {
  return KTContinueWithNextInstruction(processor_, TopFrame(), resultParent_);
}

bool KTContentExecutor::Test(KTExecFrame* frame) {
  const KTDeclRecord* record = Declaration();
  if (record && record->elementId == kXSLTIf) {
    const auto* test = static_cast<const KTDeclIf*>(record);
    return EvaluateTest(test->testNode, &frame->NodeList(), frame->ContextPosition(), *test->test, frame);
  }
  if (record && record->elementId == kXSLTWhen) {
    const auto* test = static_cast<const KTDeclWhen*>(record);
    return EvaluateTest(test->testNode, &frame->NodeList(), frame->ContextPosition(), *test->test, frame);
  }
  throw KTXSLTError(KTXSLTError::kUnexpectedFailure, frame->OwnNode());
}

// ---- xsl:if ----

KTIfExecutor::KTIfExecutor(KTXSLTProcessor* processor) : KTContentExecutor(processor, kXSLTIf) {}

bool KTIfExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  KTOpenFrame(frame);
  // A test already passed was evaluated by the parent frame.
  if (frame->TestPassed() || Test(frame)) {
    StartContent(frame);
  } else {
    frame->SetLastFinished(frame->OwnNode());
    frame->SetNodeToRun(nullptr);
  }
  return true;
}

// ---- xsl:when and xsl:otherwise ----

KTWhenExecutor::KTWhenExecutor(KTXSLTProcessor* processor) : KTContentExecutor(processor, kXSLTWhen) {}

bool KTWhenExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  KTOpenFrame(frame);
  // A test already passed was evaluated, and the match noted, by the
  // xsl:choose frame.
  if (frame->TestPassed()) {
    StartContent(frame);
    return true;
  }
  if (!Test(frame)) {
    frame->SetLastFinished(frame->OwnNode());
    frame->SetNodeToRun(nullptr);
    return true;
  }
  KTExecFrame* parent = frame->Parent();
  KTInstructionExecutor* parentExecutor = parent ? parent->Executor() : nullptr;
  if (!parentExecutor || parentExecutor->GetElementId() != kXSLTChoose)
    throw KTXSLTError(KTXSLTError::kUnexpectedFailure, nullptr);
  static_cast<KTChooseExecutor*>(parentExecutor)->SetWhenMatched();
  StartContent(frame);
  return true;
}

KTOtherwiseExecutor::KTOtherwiseExecutor(KTXSLTProcessor* processor) : KTContentExecutor(processor, kXSLTOtherwise) {}

bool KTOtherwiseExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  KTOpenFrame(frame);
  StartContent(frame);
  return true;
}

// ---- xsl:choose ----

KTChooseExecutor::KTChooseExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor, kXSLTChoose) {}

bool KTChooseExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  KTOpenFrame(frame);
  KTXPathNode* own = frame->OwnNode();
  KTXPathNode* first = KTFirstContentChild(own);
  if (!first) throw KTXSLTError(kChooseNeedsWhen, own);
  frame->SetLastFinished(own);
  if (!PushBranchFrom(frame, first, true)) return KTPopFrameAfter(processor_, own);
  frame->SetNodeToRun(nullptr);
  return true;
}

bool KTChooseExecutor::TestInPlace(KTExecFrame* frame, KTXPathNode* child, const KTDeclWhen* when) {
  KTXPathNode* nodeToRun = frame->NodeToRun();
  bool passed = false;
  try {
    // The xsl:when's frame would share this frame's list, position and
    // bindings, with the xsl:when as the instruction being run.
    frame->SetNodeToRun(child);
    passed = EvaluateTest(when->testNode, &frame->NodeList(), frame->ContextPosition(), *when->test, frame);
  } catch (const KTXSLTError&) {
    frame->SetNodeToRun(nodeToRun);
    KTPushChildFrame(processor_, frame, resultParent_, child);
    throw;
  }
  frame->SetNodeToRun(nodeToRun);
  return passed;
}

bool KTChooseExecutor::PushBranchFrom(KTExecFrame* frame, KTXPathNode* child, bool first) {
  for (; child; child = NextInstructionSibling(child), first = false) {
    const KTDeclRecord* record = nullptr;
    const int id = processor_->ElementIdOf(child, &record);
    if (first) {
      if (id != kXSLTWhen) throw KTXSLTError(kChooseNeedsWhen, frame->OwnNode());
    } else {
      if (id == kXSLTOtherwise && NextInstructionSibling(child)) throw KTXSLTError(kUnexpectedOtherwise, child);
      if (id != kXSLTWhen && id != kXSLTOtherwise) throw KTXSLTError(kNotWhenOrOtherwise, child);
    }
    const auto* when = id == kXSLTWhen && record && record->elementId == kXSLTWhen
                           ? static_cast<const KTDeclWhen*>(record)
                           : nullptr;
    const bool inPlace = processor_->WithinQuietDepths(1, 0) && !processor_->TopLevelVariableFlag();
    if (inPlace && id == kXSLTOtherwise && record && record->elementId == kXSLTOtherwise)
      return HostBranch(frame, child);
    if (!when || !when->test || !inPlace) {
      KTPushChildFrame(processor_, frame, resultParent_, child);
      return true;
    }
    if (TestInPlace(frame, child, when)) {
      whenMatched_ = true;
      return HostBranch(frame, child);
    }
    // The xsl:when's frame would have popped now.
    frame->SetCurrentChild(child);
    frame->SetLastFinished(child);
  }
  return false;
}

bool KTChooseExecutor::HostBranch(KTExecFrame* frame, KTXPathNode* branch) {
  hosted_ = branch;
  processor_->HostFrame(frame, branch);
  return KTPushInstructionFrom(processor_, frame, resultParent_, KTFirstContentChild(branch)) != nullptr;
}

bool KTChooseExecutor::Continue() {
  KTExecFrame* frame = TopFrame();
  if (hosted_) {
    // As the branch's frame would: the next instruction of its content
    // after the one that finished, and when none is left, the branch is
    // done and with it the choice.
    if (IsAncestor(hosted_, frame->LastFinished()) && frame->CurrentChild() &&
        KTPushInstructionFrom(processor_, frame, resultParent_, NextInstructionSibling(frame->CurrentChild())))
      return true;
    return KTPopFrameAfter(processor_, frame->OwnNode());
  }
  if (!whenMatched_ && frame->CurrentChild() &&
      PushBranchFrom(frame, NextInstructionSibling(frame->CurrentChild()), false))
    return true;
  return KTPopFrameAfter(processor_, frame->OwnNode());
}
