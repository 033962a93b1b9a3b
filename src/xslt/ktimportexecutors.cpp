// The xsl:import and xsl:apply-imports executors.
#include "xslt/ktimportexecutors.h"

#include <memory>

#include "xml/ktxpathnode.h"
#include "xslt/ktcompiledtemplate.h"
#include "xslt/ktdeclrecord.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktstylesheetcompiler.h"
#include "xslt/kttemplateruleindex.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltprocessor.h"

namespace {

constexpr int kHrefExpected = KTXSLTError::kHrefExpected;
constexpr int kUnexpectedApplyImports = KTXSLTError::kUnexpectedApplyImports;
constexpr int kCannotImport = KTXSLTError::kCannotImport;
constexpr int kRecursiveImport = KTXSLTError::kRecursiveInclude;

}  // namespace

KTImportExecutor::KTImportExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor, kXSLTImport) {}

bool KTImportExecutor::Start() {
  KTExecFrame* frame = processor_->TopFrame();
  frame->SetStarted();
  KTXPathNode* own = frame->NodeToRun();
  frame->SetOwnNode(own);
  const KTDeclRecord* record = Declaration();
  KTXPathNode* hrefNode =
      record && record->elementId == kXSLTImport ? static_cast<const KTDeclImport*>(record)->hrefNode : nullptr;
  if (!hrefNode) throw KTXSLTError(kHrefExpected, own);
  if (processor_->IncludeStack().size() >= KTXSLTProcessor::kMaxIncludeDepth)
    throw KTXSLTError::About(kCannotImport, hrefNode);

  KTXPathNode* root = processor_->GetDocument(KTXPathNode::GetDocumentUri(own), KTString(hrefNode->GetValue()), true);
  if (!root) throw KTXSLTError::About(kCannotImport, hrefNode);
  // Compiled and run in its own document: no include may move its nodes.
  processor_->ClaimModule(root);
  // A stylesheet already being processed is refused before it is compiled
  // again, so that nothing of it is registered twice.
  if (processor_->IsBeingIncluded(root)) {
    KTXSLTError error(kRecursiveImport, own);
    error.SetSubject(KTXSLTError::Describe(hrefNode));
    throw error;
  }
  processor_->CheckStylesheetDocument(root);
  KTXPathNode* first = nullptr;
  for (const auto& child : root->Children()) {
    if (child->GetKind() == kXPathElement) {
      first = child.get();
      break;
    }
  }
  if (!first) throw KTXSLTError::About(kCannotImport, hrefNode);
  processor_->Compiler().CompileElement(KTStylesheetCompiler::kRootParentId, root,
                                        KTStylesheetCompiler::kVersionDecides);

  auto child = std::make_unique<KTExecFrame>(frame, resultParent_);
  child->SetNodeToRun(first);
  child->SetLastFinished(nullptr);
  processor_->PushFrame(std::move(child));
  frame->SetCurrentChild(first);
  frame->SetLastFinished(own);
  frame->SetNodeToRun(nullptr);
  return true;
}

bool KTImportExecutor::Continue() {
  KTExecFrame* frame = processor_->TopFrame();
  frame->AdvanceImportPrecedence();
  KTXPathNode* own = frame->OwnNode();
  processor_->PopFrame();
  if (KTExecFrame* top = processor_->TopFrame()) top->SetLastFinished(own);
  return true;
}

KTApplyImportsExecutor::KTApplyImportsExecutor(KTXSLTProcessor* processor)
    : KTInstructionExecutor(processor, kXSLTApplyImports) {}

bool KTApplyImportsExecutor::Start() {
  KTExecFrame* frame = processor_->TopFrame();
  frame->SetStarted();
  KTXPathNode* own = frame->NodeToRun();
  frame->SetOwnNode(own);
  if (frame->CurrentTemplate() == KTExecFrame::kNoTemplate) throw KTXSLTError(kUnexpectedApplyImports, nullptr);

  // The node the current template was applied to: the item at the context
  // position of the template's own frame.
  KTExecFrame* templateFrame = frame->Root() ? frame->Root() : frame;
  const KTXPathValue& list = templateFrame->NodeList();
  int position = templateFrame->ContextPosition();
  if (list.GetKind() != kValueNodeSet || position < 1 || position > list.ItemCount())
    throw KTXSLTError(KTXSLTError::kUnexpectedFailure, nullptr);
  const KTXPathNodeItem& item = list.Items()[position - 1];

  // The mode the current template was selected in ("?" asks for it).
  int found = FindImportedTemplateRule(item, frame, KTTemplateRuleIndex::AnyModeMarker());
  if (found == KTExecFrame::kNoTemplate) {
    // Namespace nodes have no rule: their built-in rule does nothing.
    if (item.GetKind() == kItemNamespace) {
      frame->SetLastFinished(own);
      frame->SetNodeToRun(nullptr);
      return true;
    }
    throw KTXSLTError(KTXSLTError::kUnexpectedFailure, nullptr);
  }
  KTCompiledTemplate* rule = processor_->TemplateRules()[found].get();
  auto child = std::make_unique<KTExecFrame>(frame, resultParent_);
  child->SetCurrentTemplate(found, rule);
  child->SetInvokedMode(frame->InvokedMode());
  child->SetNodeToRun(rule->TemplateElement());
  child->SetLastFinished(nullptr);
  // The rule runs for the same node, list and position as the overriding
  // one, and receives no parameters (xsl:apply-imports passes none).
  child->SetNodeList(list);
  child->SetContextPosition(position);
  child->ShareWithParams(nullptr);
  processor_->PushFrame(std::move(child));
  frame->SetCurrentChild(nullptr);
  frame->SetLastFinished(own);
  frame->SetNodeToRun(nullptr);
  return true;
}
