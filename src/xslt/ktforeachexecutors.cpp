// xsl:for-each, xsl:sort, xsl:comment and xsl:processing-instruction.
#include "xslt/ktforeachexecutors.h"

#include <limits>

#include "xpath/ktxpathfunctionlibrary.h"
#include "xslt/ktdeclrecord.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktsimpleselect.h"
#include "xslt/kttemplateexecutors.h"
#include "xslt/ktvariableexecutors.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltprocessor.h"

namespace {

constexpr int kNotNodeSet = KTXSLTError::kNotNodeSet;
constexpr int kUnexpectedValue = KTXSLTError::kUnexpectedValue;
constexpr int kNotQName = KTXSLTError::kNotQName;
constexpr int kNotPITarget = KTXSLTError::kNotPITarget;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A root of its own for the content of xsl:comment and
// xsl:processing-instruction, resolving names as at the result parent.
std::unique_ptr<KTXPathNode> MakeScratchRoot(const KTXPathNode* resultParent) {
  auto root = std::make_unique<KTXPathNode>(nullptr, kXPathRoot);
  if (resultParent) root->SetMaps(resultParent->InheritedElementMap(), resultParent->InheritedAttributeMap());
  return root;
}

// With content, a scratch root (into `scratch`) and a frame running the
// first content child into it; the frame then walks the children.
void StartScratchContent(KTXSLTProcessor* processor, KTExecFrame* frame, KTXPathNode* own,
                         const KTXPathNode* resultParent, std::unique_ptr<KTXPathNode>& scratch) {
  if (KTXPathNode* first = KTFirstContentChild(own)) {
    scratch = MakeScratchRoot(resultParent);
    KTPushFrameFor(processor, frame, scratch.get(), first);
    frame->SetCurrentChild(first);
  }
}

// Pushes a frame for the next content child into the scratch root; false
// when the content is done (or there was none).
bool PushNextScratchChild(KTXSLTProcessor* processor, KTExecFrame* frame, KTXPathNode* scratch) {
  if (!scratch || !frame->CurrentChild()) return false;
  KTXPathNode* next = KTInstructionExecutor::NextInstructionSibling(frame->CurrentChild());
  if (!next) return false;
  KTPushFrameFor(processor, frame, scratch, next);
  frame->SetCurrentChild(next);
  return true;
}

}  // namespace

// ---- xsl:for-each ----

KTForEachExecutor::KTForEachExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor, kXSLTForEach) {}

bool KTForEachExecutor::SelectNodes(KTExecFrame* frame) {
  const KTDeclRecord* record = Declaration();
  if (!record || record->elementId != kXSLTForEach) throw KTXSLTError(KTXSLTError::kUnexpectedFailure, frame->OwnNode());
  const auto* forEach = static_cast<const KTDeclForEach*>(record);
  frame->SelectNodeList(forEach->selectNode, *forEach->select, false);
  KTXPathValue& list = frame->MutableNodeList();
  if (list.GetKind() != kValueNodeSet) throw KTXSLTError::About(kNotNodeSet, forEach->selectNode);
  if (list.ItemCount() == 0) return false;
  list.SortDocumentOrder();
  return true;
}

bool KTForEachExecutor::PushBody(KTExecFrame* frame, KTXPathNode* node) {
  for (; node; node = NextInstructionSibling(node)) {
    const KTDeclRecord* record = nullptr;
    const int id = processor_->ElementIdOf(node, &record);
    // A body's local variable with a select is bound, and an xsl:if whose
    // test is false passed over, from this frame at the current position
    // where their own frames' steps would be passed by the depth check.
    int passed = -1;
    if (id == kXSLTVariable) {
      if (KTBindDeclarationInPlace(processor_, frame, resultParent_, node, record, position_)) {
        frame->SetCurrentChild(node);
        continue;
      }
    } else if (id == kXSLTIf) {
      passed = KTTestIfInPlace(processor_, frame, resultParent_, node, record, position_);
      if (passed == 0) {
        frame->SetCurrentChild(node);
        continue;
      }
    }
    KTExecFrame* body = KTPushFrameFor(processor_, frame, resultParent_, node);
    body->SetNodeToRun(node, id, record);
    if (passed == 1) body->SetTestPassed();
    // The body has no current template rule (XSLT 1.0 §6: apply-imports
    // finds none inside xsl:for-each).
    body->SetCurrentTemplate(KTExecFrame::kNoTemplate, nullptr);
    body->SetContextPosition(position_);
    frame->SetCurrentChild(node);
    return true;
  }
  return false;
}

bool KTForEachExecutor::PushBodyFrom(KTExecFrame* frame, KTXPathNode* node) {
  for (;;) {
    if (PushBody(frame, node)) return true;
    // The body has run for the current node.
    if (position_ >= frame->NodeList().ItemCount() || !firstBodyNode_) return false;
    ++position_;
    // Variables bound by one iteration are gone in the next.
    if (frame->OwnsVariables()) frame->ShareVariables(frame->Parent() ? frame->Parent()->VariablesRef() : nullptr);
    node = firstBodyNode_;
  }
}

bool KTForEachExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  frame->SetStarted();
  KTXPathNode* own = frame->NodeToRun();
  frame->SetOwnNode(own);
  frame->SetNodeToRun(nullptr);
  frame->SetLastFinished(own);
  KTXPathNode* first = KTFirstContentChild(own);
  const bool sorted = first && processor_->ElementIdOf(first) == kXSLTSort;
  if (sorted) {
    // The xsl:sort children read the list as it is before the selection.
    contextPosition_ = frame->ContextPosition();
    if (frame->OwnsNodeList()) {
      ownContextList_ = frame->NodeList();
      contextList_ = &ownContextList_;
    } else {
      contextList_ = &frame->NodeList();
    }
  }
  if (!SelectNodes(frame)) {
    frame->SetCurrentChild(nullptr);
    return true;
  }
  if (!first) return true;
  if (sorted) {
    KTPushFrameFor(processor_, frame, resultParent_, first);
    frame->SetCurrentChild(first);
    sortPhase_ = true;
    return true;
  }
  firstBodyNode_ = first;
  bodyStarted_ = true;
  if (!PushBodyFrom(frame, first)) return KTPopFrameAfter(processor_, own);
  return true;
}

bool KTForEachExecutor::Continue() {
  KTExecFrame* frame = TopFrame();
  KTXPathNode* current = frame->CurrentChild();
  if (!current) return KTPopFrameAfter(processor_, frame->OwnNode());
  KTXPathNode* next = NextInstructionSibling(current);
  if (next && sortPhase_ && processor_->ElementIdOf(next) == kXSLTSort) {
    KTPushFrameFor(processor_, frame, resultParent_, next);
    frame->SetCurrentChild(next);
    return true;
  }
  if (next) {
    if (!bodyStarted_) {
      // Every key is known: order the selection once, before the body runs.
      KTSortSelection(frame->MutableNodeList(), sortKeys_);
      bodyStarted_ = true;
    }
    sortPhase_ = false;
    if (!firstBodyNode_) firstBodyNode_ = next;
    if (PushBodyFrom(frame, next)) return true;
    return KTPopFrameAfter(processor_, frame->OwnNode());
  }
  if (PushBodyFrom(frame, nullptr)) return true;
  return KTPopFrameAfter(processor_, frame->OwnNode());
}

// ---- xsl:sort ----

KTSortExecutor::KTSortExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor, kXSLTSort) {}

KTString KTSortExecutor::Evaluate(KTXPathNode* attribute, const KTCompiledValueTemplate* compiled,
                                  KTExecFrame* frame, const KTXPathValue& list) {
  KTString value;
  EvaluateAttributeValueTemplate(value, attribute, compiled, frame, &list);
  return value;
}

bool KTSortExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  frame->SetStarted();
  KTXPathNode* own = frame->NodeToRun();
  frame->SetOwnNode(own);
  const KTDeclRecord* record = Declaration();
  if (!record || record->elementId != kXSLTSort) throw KTXSLTError(KTXSLTError::kUnexpectedFailure, own);
  const auto* sort = static_cast<const KTDeclSort*>(record);

  KTExecFrame* parent = frame->Parent();
  KTInstructionExecutor* parentExecutor = parent ? parent->Executor() : nullptr;
  int parentId = parentExecutor ? parentExecutor->GetElementId() : kXSLTNoElement;
  if (parentId != kXSLTApplyTemplates && parentId != kXSLTForEach)
    throw KTXSLTError(KTXSLTError::kUnexpectedFailure, own);
  auto* applyParent =
      parentId == kXSLTApplyTemplates ? static_cast<KTApplyTemplatesExecutor*>(parentExecutor) : nullptr;
  auto* forEachParent = parentId == kXSLTForEach ? static_cast<KTForEachExecutor*>(parentExecutor) : nullptr;

  // The attribute value templates see the current node where the
  // xsl:for-each or xsl:apply-templates stands, with its position and size,
  // not the selected nodes (XSLT 1.0 §10).
  const KTXPathValue& context = applyParent ? applyParent->SortContextList() : forEachParent->SortContextList();
  frame->SetContextPosition(applyParent ? applyParent->SortContextPosition() : forEachParent->SortContextPosition());
  KTString language =
      sort->langNode ? Evaluate(sort->langNode, sort->lang, frame, context) : KTCollation::DefaultLanguage();
  int dataType = 0;
  KTString dataTypeText(u"text");
  if (sort->dataTypeNode) {
    dataTypeText = Evaluate(sort->dataTypeNode, sort->dataType, frame, context);
    if (dataTypeText == u"number") {
      dataType = 1;
    } else if (dataTypeText != u"text") {
      // A QName data type sorts as text (XSLT 1.0 §10 leaves it to the
      // processor); anything else is refused.
      if (!IsQName(dataTypeText.c_str()))
        throw KTXSLTError::About(kNotQName, sort->dataTypeNode);
    }
  }
  bool descending = false;
  if (sort->orderNode) {
    KTString order = Evaluate(sort->orderNode, sort->order, frame, context);
    if (order == u"descending") descending = true;
    else if (order != u"ascending") throw KTXSLTError::About(kUnexpectedValue, sort->orderNode);
  }
  int caseOrder = 0;
  if (sort->caseOrderNode) {
    KTString text = Evaluate(sort->caseOrderNode, sort->caseOrder, frame, context);
    if (text == u"upper-first") caseOrder = 1;
    else if (text == u"lower-first") caseOrder = 2;
    else throw KTXSLTError::About(kUnexpectedValue, sort->caseOrderNode);
  }

  std::unique_ptr<KTSortKeyComparator> key;
  KTTextSortKeyComparator* textKey = nullptr;
  KTNumberSortKeyComparator* numberKey = nullptr;
  if (dataType == 1) {
    auto made = std::make_unique<KTNumberSortKeyComparator>();
    numberKey = made.get();
    key = std::move(made);
  } else {
    auto made = std::make_unique<KTTextSortKeyComparator>();
    textKey = made.get();
    key = std::move(made);
  }
  key->SetCaseOrder(caseOrder);
  key->SetDataType(dataType, dataTypeText);
  key->SetDescending(descending);
  key->SetLanguage(language);

  // One key per selected node, computed once before the sort.
  const KTXPathValue& list = parent->NodeList();
  KTXPathNode* expressionNode = sort->selectNode ? sort->selectNode : own;
  int count = list.GetKind() == kValueNodeSet ? list.ItemCount() : 0;
  key->Reserve(count);
  // The select, compiled with the stylesheet, with its shapes read from
  // the tree then.
  const KTCompiledExpression& select = *sort->select;
  if (count > 0 && select.hasSimpleSelect && !select.error) {
    const KTSimpleSelect& simple = select.simpleSelect;
    // A select of a simple shape is read from the tree: the string value of
    // its first node, as string() and number() of the node-set give it.
    const KTXPathValue::ItemVector& items = list.Items();
    KTString scratch;
    for (int i = 0; i < count; ++i) {
      KTXPathNode* first = simple.First(items[static_cast<size_t>(i)].GetNode());
      bool inTree = false;
      std::u16string_view keyText = first ? KTSimpleSelect::StringValue(first, scratch, &inTree) : std::u16string_view();
      // The tree's own text stays put until the sort, which comes before
      // the body can change anything.
      if (textKey) inTree ? textKey->AddKeyInPlace(keyText) : textKey->AddKey(keyText);
      else numberKey->AddKey(first ? KTXPathFunctionLibrary::StringToNumber(keyText) : kNaN);
    }
    frame->SetContextPosition(count);
  } else if (count > 0 && select.isNameOfContext) {
    // name() of each node, read from the node.
    const KTXPathValue::ItemVector& items = list.Items();
    for (int i = 0; i < count; ++i) {
      std::u16string_view name = KTXPathFunctionLibrary::NameOf(items[static_cast<size_t>(i)].GetNode());
      if (textKey) textKey->AddKey(name);
      else numberKey->AddKey(KTXPathFunctionLibrary::StringToNumber(name));
    }
    frame->SetContextPosition(count);
  } else {
    KTXPathValue value;
    KTString keyText;
    for (int i = 1; i <= count; ++i) {
      frame->SetContextPosition(i);
      frame->EvaluateExpression(expressionNode, select, &list, &value, false);
      if (textKey) {
        value.ToString(&keyText);
        textKey->AddKey(keyText.View());
      } else {
        numberKey->AddKey(value.GetKind() == kValueNumber ? value.GetNumber()
                                                          : KTXPathFunctionLibrary::ToNumber(value));
      }
    }
  }

  if (applyParent) applyParent->AddSortKey(std::move(key));
  else forEachParent->AddSortKey(std::move(key));
  frame->SetLastFinished(own);
  frame->SetNodeToRun(nullptr);
  return true;
}

// ---- xsl:comment ----

KTCommentExecutor::KTCommentExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor, kXSLTComment) {}

bool KTCommentExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  frame->SetStarted();
  KTXPathNode* own = frame->NodeToRun();
  frame->SetOwnNode(own);
  StartScratchContent(processor_, frame, own, resultParent_, scratch_);
  frame->SetLastFinished(own);
  frame->SetNodeToRun(nullptr);
  return true;
}

bool KTCommentExecutor::Continue() {
  KTExecFrame* frame = TopFrame();
  if (PushNextScratchChild(processor_, frame, scratch_.get())) return true;
  KTString content;
  if (scratch_) {
    KTXPathValue value;
    value.PushItem(KTXPathNodeItem(scratch_.get()));
    value.ToString(&content);
    scratch_.reset();
  }
  // XML 1.0 §2.5: a comment holds no "--" and does not end in "-".
  KTString text;
  char16_t previous = 0;
  for (char16_t c : content.View()) {
    if (c == u'-' && previous == u'-') text += u' ';
    text += c;
    previous = c;
  }
  if (previous == u'-') text += u' ';
  auto comment = std::make_unique<KTXPathNode>(nullptr, kXPathComment);
  comment->SetName(u"Comment");
  comment->SetValue(std::move(text));
  resultParent_->AppendChild(std::move(comment));
  return KTPopFrameAfter(processor_, frame->OwnNode());
}

// ---- xsl:processing-instruction ----

KTProcessingInstructionExecutor::KTProcessingInstructionExecutor(KTXSLTProcessor* processor)
    : KTInstructionExecutor(processor, kXSLTProcessingInstruction) {}

bool KTProcessingInstructionExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  frame->SetStarted();
  KTXPathNode* own = frame->NodeToRun();
  frame->SetOwnNode(own);
  const KTDeclRecord* record = Declaration();
  if (!record || record->elementId != kXSLTProcessingInstruction)
    throw KTXSLTError(KTXSLTError::kUnexpectedFailure, own);
  const auto* instruction = static_cast<const KTDeclProcessingInstruction*>(record);
  KTXPathNode* nameNode = instruction->nameNode;
  if (!nameNode) throw KTXSLTError(KTXSLTError::kUnexpectedFailure, own);
  EvaluateAttributeValueTemplate(target_, nameNode, instruction->name, frame);
  // XML 1.0 §2.6: a target is a name other than "xml" in any case; with
  // namespaces it has no colon.
  if (!IsNCName(target_.c_str()) || !IsNotXmlName(target_.c_str())) {
    KTXSLTError error(kNotPITarget, nameNode);
    KTString subject(u"\"");
    subject += target_;
    subject += u'"';
    error.SetSubject(subject);
    throw error;
  }
  StartScratchContent(processor_, frame, own, resultParent_, scratch_);
  frame->SetLastFinished(own);
  frame->SetNodeToRun(nullptr);
  return true;
}

bool KTProcessingInstructionExecutor::Continue() {
  KTExecFrame* frame = TopFrame();
  if (PushNextScratchChild(processor_, frame, scratch_.get())) return true;
  // Only the text made directly in the content counts; "?>" would end the
  // instruction early (XML 1.0 §2.6).
  KTString content;
  if (scratch_) {
    for (const auto& child : scratch_->Children())
      if (child->GetKind() == kXPathText || child->GetKind() == kXPathCData) content += child->GetValue();
    scratch_.reset();
  }
  KTString text;
  std::u16string_view view = content.View();
  for (size_t i = 0; i < view.size(); ++i) {
    text += view[i];
    if (view[i] == u'?' && i + 1 < view.size() && view[i + 1] == u'>') text += u' ';
  }
  auto instruction = std::make_unique<KTXPathNode>(nullptr, kXPathPI);
  instruction->SetName(target_.c_str());
  instruction->SetValue(std::move(text));
  resultParent_->AppendChild(std::move(instruction));
  return KTPopFrameAfter(processor_, frame->OwnNode());
}
