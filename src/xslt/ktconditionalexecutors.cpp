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
  if (Test(frame)) {
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
  if (!first || processor_->ElementIdOf(first) != kXSLTWhen) throw KTXSLTError(kChooseNeedsWhen, own);
  KTPushFrameFor(processor_, frame, resultParent_, first);
  frame->SetCurrentChild(first);
  frame->SetLastFinished(own);
  frame->SetNodeToRun(nullptr);
  return true;
}

bool KTChooseExecutor::Continue() {
  KTExecFrame* frame = TopFrame();
  if (!whenMatched_ && frame->CurrentChild()) {
    if (KTXPathNode* next = NextInstructionSibling(frame->CurrentChild())) {
      int id = processor_->ElementIdOf(next);
      if (id == kXSLTOtherwise && NextInstructionSibling(next)) throw KTXSLTError(kUnexpectedOtherwise, next);
      if (id != kXSLTWhen && id != kXSLTOtherwise) throw KTXSLTError(kNotWhenOrOtherwise, next);
      KTPushFrameFor(processor_, frame, resultParent_, next);
      frame->SetCurrentChild(next);
      return true;
    }
  }
  return KTPopFrameAfter(processor_, frame->OwnNode());
}
