// xsl:message runs its content one child frame at a time into its own
// fragment; xsl:key only marks its frame done.
#include "xslt/ktmessageexecutor.h"

#include "xslt/ktdeclrecord.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktvariableexecutors.h"
#include "xslt/ktxsltprocessor.h"

KTMessageExecutor::KTMessageExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor, kXSLTMessage) {}

bool KTMessageExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  frame->SetStarted();
  KTXPathNode* message = frame->NodeToRun();
  frame->SetOwnNode(message);
  KTXPathNode* first = nullptr;
  for (const auto& child : message->Children()) {
    int kind = child->GetKind();
    if (kind != kXPathAttribute && kind != kXPathNamespace && kind != kXPathComment) {
      first = child.get();
      break;
    }
  }
  if (first) {
    // The content's names resolve as in the stylesheet.
    auto root = std::make_unique<KTXPathNode>(nullptr, kXPathRoot);
    root->SetMaps(message->InheritedElementMap(), message->InheritedAttributeMap());
    messageRoot_ = root.get();
    processor_->RegisterTree(std::move(root));
    auto child = std::make_unique<KTExecFrame>(frame, messageRoot_);
    child->SetNodeToRun(first);
    processor_->PushFrame(std::move(child));
    frame->SetCurrentChild(first);
  }
  frame->SetLastFinished(message);
  frame->SetNodeToRun(nullptr);
  return true;
}

bool KTMessageExecutor::Continue() {
  KTExecFrame* frame = TopFrame();
  if (messageRoot_) {
    if (KTXPathNode* next = NextInstructionSibling(frame->CurrentChild())) {
      auto child = std::make_unique<KTExecFrame>(frame, messageRoot_);
      child->SetNodeToRun(next);
      processor_->PushFrame(std::move(child));
      frame->SetCurrentChild(next);
      return true;
    }
    frame->SetCurrentChild(nullptr);
  }
  KTString text;
  if (messageRoot_) {
    KTXPathValue value;
    value.PushItem(KTXPathNodeItem(messageRoot_));
    value.ToString(&text);
  }
  const KTDeclRecord* record = Declaration();
  bool terminate = record && record->elementId == kXSLTMessage && static_cast<const KTDeclMessage*>(record)->terminate;
  KTXPathNode* message = frame->OwnNode();
  SetMessage(text, terminate, message);
  processor_->PopFrame();
  if (KTExecFrame* top = TopFrame()) top->SetLastFinished(message);
  return true;
}

KTKeyExecutor::KTKeyExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor, kXSLTKey) {}

bool KTKeyExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  KTOpenFrame(frame);
  KTEndStart(frame);
  return true;
}
