// xsl:stylesheet, xsl:template and xsl:apply-templates executors.
#include "xslt/kttemplateexecutors.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>

#include "xslt/ktcompiledtemplate.h"
#include "xslt/ktdeclarationexecutors.h"
#include "xslt/ktdeclrecord.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktresultexecutors.h"
#include "xslt/ktstylesheetcompiler.h"
#include "xslt/kttemplateruleindex.h"
#include "xslt/ktvariableexecutors.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltnames.h"
#include "xslt/ktxsltprocessor.h"

namespace {

// The namespace URIs of an exclude-result-prefixes or
// extension-element-prefixes attribute ("#default": the default
// namespace, "" when none is declared); an unbound prefix raises 10 at the
// attribute.
KTNamespaceSet ResolvePrefixes(KTXPathNode* attribute, const KTXPathNode* scope) {
  KTNamespaceSet uris;
  const KTPrefixMap* map = KTInstructionExecutor::NamespaceMapOf(scope);
  for (std::u16string_view token : SplitNameList(attribute->GetValue())) {
    KTString prefix(token == u"#default" ? std::u16string_view() : token);
    const KTString* uri = nullptr;
    if (map) {
      auto found = map->find(prefix);
      if (found != map->end()) uri = found->second;
    }
    if (uri) {
      uris.insert(*uri);
    } else if (prefix.IsEmpty()) {
      uris.insert(KTString());
    } else {
      throw KTXSLTError::About(KTXSLTError::kUndefinedPrefix, attribute);
    }
  }
  return uris;
}

}  // namespace

// XSLT 1.0 §7.1.1: a stylesheet element's exclude-result-prefixes and
// extension-element-prefixes hold for the elements of that stylesheet only,
// not for those of the stylesheets it includes or imports. So a template, or
// a top-level element, runs with the sets of its own stylesheet, whichever
// frame pushed it.
void KTUseStylesheetNamespaces(KTXSLTProcessor* processor, KTExecFrame* frame, KTXPathNode* topLevelElement) {
  KTXPathNode* stylesheet = processor->OwningStylesheetElement(topLevelElement);
  if (!stylesheet || stylesheet->GetKind() != kXPathElement) return;
  auto& known = processor->NamespacesByStylesheet();
  auto found = known.find(stylesheet);
  if (found == known.end()) {
    const KTStylesheetCompiler& compiler = processor->Compiler();
    KTXSLTProcessor::StylesheetNamespaces sets;
    KTXPathNode* exclude = compiler.FindAttribute(stylesheet, u"exclude-result-prefixes", nullptr);
    KTXPathNode* extension = compiler.FindAttribute(stylesheet, u"extension-element-prefixes", nullptr);
    sets.excluded = std::make_shared<const KTNamespaceSet>(exclude ? ResolvePrefixes(exclude, stylesheet)
                                                                   : KTNamespaceSet());
    sets.extension = std::make_shared<const KTNamespaceSet>(extension ? ResolvePrefixes(extension, stylesheet)
                                                                      : KTNamespaceSet());
    found = known.emplace(stylesheet, std::move(sets)).first;
  }
  frame->ShareNamespaceSets(found->second.excluded, found->second.extension);
}

// ---- xsl:template ----

KTTemplateExecutor::KTTemplateExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor, kXSLTTemplate) {
  if (KTExecFrame* frame = TopFrame()) {
    frame->ShareVariables(nullptr);
    frame->ShareParameters(nullptr);
    frame->MakeRoot();
    processor->EnterTemplateFrame();
  }
}

bool KTTemplateExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  frame->SetStarted();
  KTXPathNode* element = frame->NodeToRun();
  frame->SetOwnNode(element);
  // Includes are resolved before any template starts, so a template's
  // stylesheet, and with it its namespace sets, stays the same for the run.
  if (const KTXSLTProcessor::StylesheetNamespaces* known = processor_->FindTemplateNamespaces(element)) {
    frame->ShareNamespaceSets(known->excluded, known->extension);
  } else {
    KTUseStylesheetNamespaces(processor_, frame, element);
    KTXPathNode* stylesheet = processor_->OwningStylesheetElement(element);
    auto sets = processor_->NamespacesByStylesheet().find(stylesheet);
    if (sets != processor_->NamespacesByStylesheet().end())
      processor_->NamespacesByTemplate().emplace(element, &sets->second);
  }
  if (element->GetKind() == kXPathElement)
    KTPushInstructionFrom(processor_, frame, resultParent_, KTFirstContentChild(element));
  frame->SetLastFinished(element);
  frame->SetNodeToRun(nullptr);
  return true;
}

bool KTTemplateExecutor::Continue() {
  return KTContinueWithNextInstruction(processor_, TopFrame(), resultParent_);
}

// ---- xsl:apply-templates ----

KTApplyTemplatesExecutor::KTApplyTemplatesExecutor(KTXSLTProcessor* processor)
    : KTInstructionExecutor(processor, kXSLTApplyTemplates) {}

void KTApplyTemplatesExecutor::Select(KTExecFrame* frame) {
  const KTXPathValue& current = frame->NodeList();
  int position = frame->ContextPosition();
  if (selectNode_ == frame->OwnNode() && current.GetKind() == kValueNodeSet && position >= 1 &&
      position <= current.ItemCount()) {
    // Without a select attribute the selection is child::node() of the
    // current node: its children but attributes, namespace nodes and
    // declarations, already in document order.
    KTXPathNode* node = current.Items()[position - 1].GetNode();
    KTXPathValue children;
    KTXPathValue::ItemVector& items = children.MutableItems();
    if (node && node->GetKind() != kXPathAttribute && node->GetKind() != kXPathNamespace) {
      items.reserve(node->GetChildCount());
      for (const auto& child : node->Children()) {
        int kind = child->GetKind();
        if (kind == kXPathAttribute || kind == kXPathNamespace || kind >= kXPathXmlDecl) continue;
        items.emplace_back(child.get(), static_cast<int>(items.size()) + 1);
      }
    }
    frame->SetContextPosition(items.empty() ? 0 : 1);
    frame->SetNodeList(std::move(children));
    selected_ = true;
    return;
  }
  if (!frame->SelectNodeList(selectNode_, *select_, false)) throw KTXSLTError(KTXSLTError::kXPathError, nullptr);
  KTXPathValue& list = frame->MutableNodeList();
  if (list.GetKind() != kValueNodeSet) throw KTXSLTError::About(KTXSLTError::kNotNodeSet, selectNode_);
  // The selection is processed in document order (XSLT 1.0 §5.4) unless
  // xsl:sort orders it.
  if (list.ItemCount() > 0) list.SortDocumentOrder();
  selected_ = true;
}

bool KTApplyTemplatesExecutor::PushChild(KTExecFrame* frame, KTXPathNode* child) {
  const KTDeclRecord* record = nullptr;
  const int id = processor_->ElementIdOf(child, &record);
  // Parameters are evaluated where xsl:apply-templates was reached, before
  // or after the selection.
  if (id == kXSLTWithParam &&
      KTBindWithParamInPlace(processor_, frame, resultParent_, child, record, savedNodeList_, savedPosition_)) {
    frame->SetCurrentChild(child);
    return false;
  }
  KTExecFrame* pushed = KTPushFrameFor(processor_, frame, resultParent_, child);
  if (id == kXSLTWithParam) {
    pushed->SetNodeList(savedNodeList_);
    pushed->SetContextPosition(savedPosition_);
  }
  frame->SetCurrentChild(child);
  return true;
}

bool KTApplyTemplatesExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  frame->SetStarted();
  KTXPathNode* element = frame->NodeToRun();
  frame->SetOwnNode(element);
  // The with-param children bind afresh for the templates applied here.
  frame->ShareWithParams(nullptr);
  const KTDeclRecord* record = Declaration();
  if (!record || record->elementId != kXSLTApplyTemplates) throw KTXSLTError(KTXSLTError::kUnexpectedFailure, element);
  const auto* apply = static_cast<const KTDeclApplyTemplates*>(record);
  select_ = apply->select;
  selectNode_ = apply->selectNode;
  mode_ = &apply->mode;

  if (element->FirstChildOfKind(kXPathElement) == element->GetChildCount()) {
    Select(frame);
    ApplyToNextNode(frame);
  } else if (KTXPathNode* first = KTFirstContentChild(element)) {
    // What with-param children evaluate against: the list and position as
    // they were before the selection (only they use it).
    savedNodeList_ = frame->NodeList();
    savedPosition_ = frame->ContextPosition();
    if (processor_->ElementIdOf(first) == kXSLTSort) {
      Select(frame);
      hasSort_ = true;
    }
    frame->SetNodeToRun(nullptr);
    frame->SetLastFinished(element);
    // Nothing selected: there is nothing to sort, so the keys' attribute
    // value templates are not evaluated (as after a later xsl:sort).
    if (hasSort_ && frame->NodeList().GetKind() == kValueNodeSet && frame->NodeList().ItemCount() == 0) {
      frame->SetCurrentChild(first);
      return Finish(frame);
    }
    // A parameter bound in place: the step goes on as the next would.
    if (!PushChild(frame, first)) return AfterChild(frame);
    return true;
  }
  frame->SetNodeToRun(nullptr);
  frame->SetLastFinished(element);
  return true;
}

bool KTApplyTemplatesExecutor::Continue() {
  KTExecFrame* frame = TopFrame();
  KTXPathNode* own = frame->OwnNode();
  if (!IsAncestor(own, frame->LastFinished())) {
    // A template frame has finished, or nothing was pushed.
    if (!selected_) {
      Select(frame);
      return ApplyToNextNode(frame);
    }
    int count = frame->NodeList().ItemCount();
    if (nextIndex_ != count && count > 0) return ApplyToNextNode(frame);
    return Finish(frame);
  }
  // An xsl:sort or xsl:with-param child has finished.
  return AfterChild(frame);
}

bool KTApplyTemplatesExecutor::AfterChild(KTExecFrame* frame) {
  for (;;) {
    if (!frame->CurrentChild()) return Finish(frame);
    KTXPathNode* next = NextInstructionSibling(frame->CurrentChild());
    if (!next) {
      if (!selected_) Select(frame);
      int count = frame->NodeList().ItemCount();
      if (count == 0 || nextIndex_ == count) return Finish(frame);
      return ApplyToNextNode(frame);
    }
    if (processor_->ElementIdOf(next) == kXSLTSort) {
      if (!selected_) Select(frame);
      hasSort_ = true;
    }
    if (frame->NodeList().GetKind() == kValueNodeSet && frame->NodeList().ItemCount() == 0) {
      frame->SetCurrentChild(next);
      return Finish(frame);
    }
    if (PushChild(frame, next)) return true;
  }
}

bool KTApplyTemplatesExecutor::Finish(KTExecFrame* frame) { return KTPopFrameAfter(processor_, frame->OwnNode()); }

bool KTApplyTemplatesExecutor::ApplyToNextNode(KTExecFrame* frame) {
  if (hasSort_ && !sorted_) {
    KTSortSelection(frame->MutableNodeList(), sortKeys_);
    sorted_ = true;
  }
  const KTXPathValue& list = frame->NodeList();
  if (list.GetKind() == kValueNodeSet && list.ItemCount() == 0) return true;
  if (list.GetKind() != kValueNodeSet) throw KTXSLTError(KTXSLTError::kNotNodeSet, nullptr);
  const auto& rules = processor_->TemplateRules();
  int count = list.ItemCount();
  while (nextIndex_ < count) {
    const KTXPathNodeItem& item = list.Items()[nextIndex_];
    ++nextIndex_;
    // The frame and the mode text stay the same for every node selected
    // here: the mode is resolved once.
    if (!resolvedMode_) resolvedMode_ = ResolveTemplateMode(frame, *mode_);
    const KTString* invoked = resolvedMode_;
    // Text nodes of one parent get one rule when the lookup says so.
    const KTXPathNode* textParent =
        item.GetKind() == kItemText && item.GetNode() ? item.GetNode()->GetParent() : nullptr;
    int position;
    if (textParent && textParent == textRuleParent_) {
      position = textRulePosition_;
    } else {
      bool sameForTextSiblings = false;
      position = FindTemplateRuleInMode(item, invoked, &sameForTextSiblings);
      if (textParent && sameForTextSiblings) {
        textRuleParent_ = textParent;
        textRulePosition_ = position;
      }
    }
    if (position == KTExecFrame::kNoTemplate) {
      // The built-in rule for namespace nodes does nothing (XSLT 1.0 §5.8).
      if (item.GetKind() == kItemNamespace) continue;
      throw KTXSLTError(KTXSLTError::kUnexpectedFailure, nullptr);
    }
    KTCompiledTemplate* rule = rules[position].get();
    // A rule whose template is empty and has run once already (so its
    // stylesheet's namespace sets are known) would take two steps that do
    // nothing but push and pop its frame. Where the check before each step
    // would pass them by, the node is done with here, as it would be when
    // the frame had popped.
    if (rule->HasEmptyBody() && processor_->WithinQuietDepths(1, 1) && !processor_->TopLevelVariableFlag() &&
        processor_->FindTemplateNamespaces(rule->TemplateElement())) {
      frame->SetNodeToRun(nullptr);
      frame->SetLastFinished(rule->TemplateElement());
      continue;
    }
    // Likewise a rule whose body is one xsl:value-of select="." (the
    // built-in rule for text): its two frames would append the node's
    // string value and pop; the value is appended here instead.
    bool escape = true;
    if (item.GetNode() && rule->CopiesStringValue(&escape) && processor_->WithinQuietDepths(2, 1) &&
        !processor_->TopLevelVariableFlag() && processor_->FindTemplateNamespaces(rule->TemplateElement())) {
      KTValueOfExecutor::AppendStringValueOf(resultParent_, item.GetNode(), escape);
      frame->SetNodeToRun(nullptr);
      frame->SetLastFinished(rule->TemplateElement());
      continue;
    }
    // A rule whose body applies templates to the node's children (the
    // built-in rule for elements, or xsl:copy around that as in the
    // identity rule) takes two or three frames, and more for each child.
    // When every rule below it is done without frames as above, or is
    // such a rule again, the node is done with here; the depths allowed
    // must cover the deepest of the frames left out. The children's rules
    // are looked up ahead of their frames only where a lookup cannot
    // report anything.
    if (item.GetNode() && rule->AppliesTemplatesToChildren() && rule->WorthTryingInPlace() &&
        !processor_->TopLevelVariableFlag() && processor_->TemplateIndex().LookupsWithoutEvaluation() &&
        processor_->FindTemplateNamespaces(rule->TemplateElement())) {
      InPlacePlan plan;
      const bool planned = PlanInPlace(item.GetNode(), rule, invoked, 0, 0, plan);
      rule->CountInPlaceAttempt(planned);
      if (planned && processor_->WithinQuietDepths(plan.frames, plan.templates)) {
        RunInPlace(frame, plan, 0, 1);
        frame->SetNodeToRun(nullptr);
        frame->SetLastFinished(rule->TemplateElement());
        continue;
      }
    }
    auto child = std::make_unique<KTExecFrame>(frame, resultParent_);
    child->SetCurrentTemplate(position, rule);
    child->SetInvokedMode(invoked);
    const KTDeclRecord* record = nullptr;
    int id = rule->TemplateElementId(&record);
    child->SetNodeToRun(rule->TemplateElement(), id, record);
    child->SetLastFinished(nullptr);
    child->SetContextPosition(nextIndex_);
    processor_->PushFrame(std::move(child));
    frame->SetNodeToRun(nullptr);
    frame->SetLastFinished(rule->TemplateElement());
    return true;
  }
  return true;
}

bool KTApplyTemplatesExecutor::PlanInPlace(KTXPathNode* node, KTCompiledTemplate* rule, const KTString* mode,
                                           int framesAbove, int templatesAbove, InPlacePlan& plan) {
  if (plan.count == InPlacePlan::kMostNodes) return false;
  const int at = plan.count++;
  InPlacePlan::Entry& entry = plan.entries[at];
  entry = {node, rule, at + 1, InPlacePlan::kEmpty, true};
  // The frames each rule would take: its template's, then an
  // xsl:value-of's, or an xsl:copy's and an xsl:apply-templates'.
  auto need = [&plan](int frames, int templates) {
    plan.frames = std::max(plan.frames, frames);
    plan.templates = std::max(plan.templates, templates);
  };
  const int templates = templatesAbove + 1;
  if (rule->HasEmptyBody()) {
    need(framesAbove + 1, templates);
    return true;
  }
  if (rule->CopiesStringValue(&entry.escape)) {
    entry.kind = InPlacePlan::kStringValue;
    need(framesAbove + 2, templates);
    return true;
  }
  bool sameMode = false;
  bool copies = false;
  if (!rule->AppliesTemplatesToChildren(&sameMode, &copies)) return false;
  // xsl:copy runs its content for an element alone here.
  if (copies && node->GetKind() != kXPathElement) return false;
  entry.kind = copies ? InPlacePlan::kCopyChildren : InPlacePlan::kChildren;
  const int applyFrames = framesAbove + (copies ? 3 : 2);
  need(applyFrames, templates);
  const KTString* childMode = sameMode ? mode : processor_->InternMode(KTString());
  // The children as Select takes them; the text children of one parent
  // share a rule when the lookup says so, as in ApplyToNextNode.
  const int kind = node->GetKind();
  if (kind != kXPathAttribute && kind != kXPathNamespace) {
    const auto& rules = processor_->TemplateRules();
    bool textRuleKnown = false;
    int textRule = 0;
    int count = 0;
    for (const auto& child : node->Children()) {
      const int childKind = child->GetKind();
      if (childKind == kXPathAttribute || childKind == kXPathNamespace || childKind >= kXPathXmlDecl) continue;
      KTXPathNodeItem item(child.get(), ++count);
      int position;
      if (item.GetKind() == kItemText && textRuleKnown) {
        position = textRule;
      } else {
        bool sameForTextSiblings = false;
        position = FindTemplateRuleInMode(item, childMode, &sameForTextSiblings);
        if (item.GetKind() == kItemText && sameForTextSiblings) {
          textRuleKnown = true;
          textRule = position;
        }
      }
      if (position == KTExecFrame::kNoTemplate) return false;
      KTCompiledTemplate* childRule = rules[position].get();
      if (!processor_->FindTemplateNamespaces(childRule->TemplateElement()) ||
          !PlanInPlace(child.get(), childRule, childMode, applyFrames, templates, plan))
        return false;
    }
  }
  plan.entries[at].end = plan.count;
  return true;
}

void KTApplyTemplatesExecutor::RunInPlace(KTExecFrame* frame, const InPlacePlan& plan, int begin, int end) {
  for (int i = begin; i < end; i = plan.entries[i].end) {
    const InPlacePlan::Entry& entry = plan.entries[i];
    switch (entry.kind) {
      case InPlacePlan::kStringValue:
        KTValueOfExecutor::AppendStringValueOf(resultParent_, entry.node, entry.escape);
        break;
      case InPlacePlan::kChildren:
        RunInPlace(frame, plan, i + 1, entry.end);
        break;
      case InPlacePlan::kCopyChildren: {
        // The element's copy, as xsl:copy makes it, is the result parent
        // of the children's output until they are done; one that could not
        // be added runs no content.
        KTXPathNode* const savedParent = resultParent_;
        const bool savedMadeCurrent = resultMadeCurrent_;
        if (MakeLiteralResultCopy(entry.node, true, frame, false) && resultMadeCurrent_)
          RunInPlace(frame, plan, i + 1, entry.end);
        resultParent_ = savedParent;
        resultMadeCurrent_ = savedMadeCurrent;
        break;
      }
      default:
        break;
    }
  }
}

// ---- xsl:stylesheet ----

KTStylesheetExecutor::KTStylesheetExecutor(KTXSLTProcessor* processor)
    : KTInstructionExecutor(processor, kXSLTStylesheet) {}

void KTStylesheetExecutor::PushChild(KTExecFrame* frame, KTXPathNode* child) {
  KTPushFrameFor(processor_, frame, resultParent_, child);
  frame->SetCurrentChild(child);
}

bool KTStylesheetExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  frame->SetExcludedNamespaces(KTNamespaceSet());
  frame->SetStarted();
  KTXPathNode* stylesheet = frame->NodeToRun();
  frame->SetOwnNode(stylesheet);
  const KTDeclRecord* record = Declaration();
  const auto* declaration =
      record && record->elementId == kXSLTStylesheet ? static_cast<const KTDeclStylesheet*>(record) : nullptr;
  if (!declaration) throw KTXSLTError(KTXSLTError::kUnexpectedFailure, stylesheet);
  if (declaration->version != u"1.0") frame->SetForwardsCompatible(true);
  subtreeStart_ = processor_->ImportPrecedence();
  // This stylesheet's document is being processed until its frame pops;
  // its includes are resolved before any top-level element runs.
  KTXPathNode* document = stylesheet;
  while (document->GetParent()) document = document->GetParent();
  processor_->IncludeStack().push_back(document);
  processor_->ResolveIncludes(stylesheet, stylesheet);
  UnbindForSecondImport(stylesheet);
  if (declaration->excludeResultPrefixesNode)
    frame->SetExcludedNamespaces(ResolvePrefixes(declaration->excludeResultPrefixesNode, stylesheet));
  if (declaration->extensionElementPrefixesNode)
    frame->SetExtensionNamespaces(ResolvePrefixes(declaration->extensionElementPrefixesNode, stylesheet));

  bool seenOther = false;
  KTXPathNode* stop = nullptr;
  for (const auto& child : stylesheet->Children()) {
    if (child->GetKind() != kXPathElement) continue;
    int id = processor_->ElementIdOf(child.get());
    if (id == kXSLTLiteralResult) continue;
    if (id == kXSLTImport || id == kXSLTInclude) {
      stop = child.get();
      break;
    }
    seenOther = true;
  }
  if (stop) {
    if (seenOther && processor_->ElementIdOf(stop) == kXSLTImport) throw KTXSLTError(KTXSLTError::kImportAfterOtherElement, stop);
    PushChild(frame, stop);
  } else {
    RegisterTemplates();
    templatesRegistered_ = true;
    for (const auto& child : stylesheet->Children()) {
      if (child->GetKind() != kXPathElement) continue;
      int id = processor_->ElementIdOf(child.get());
      if (id != kXSLTLiteralResult && id != kXSLTTemplate) {
        PushChild(frame, child.get());
        break;
      }
    }
  }
  frame->SetLastFinished(stylesheet);
  frame->SetNodeToRun(nullptr);
  return true;
}

bool KTStylesheetExecutor::Continue() {
  KTExecFrame* frame = TopFrame();
  if (KTXPathNode* current = frame->CurrentChild()) {
    KTXPathNode* next = NextInstructionSibling(current);
    while (next && next->GetKind() != kXPathElement) next = NextInstructionSibling(next);
    frame->SetCurrentChild(next);
    if (!next) return true;
    int id = processor_->ElementIdOf(next);
    if (id == kXSLTImport || id == kXSLTInclude) {
      if (templatesRegistered_ && id == kXSLTImport) throw KTXSLTError(KTXSLTError::kImportAfterOtherElement, next);
      KTPushFrameFor(processor_, frame, resultParent_, next);
    } else if (id != kXSLTLiteralResult) {
      if (!templatesRegistered_) {
        RegisterTemplates();
        templatesRegistered_ = true;
      }
      if (id != kXSLTTemplate) KTPushFrameFor(processor_, frame, resultParent_, next);
    }
    return true;
  }
  if (!rootTemplateStarted_ && processor_->FrameDepth() == 1) {
    // A stylesheet of imports only still has its rule list ordered.
    if (!templatesRegistered_) {
      RegisterTemplates();
      templatesRegistered_ = true;
    }
    // Every module is in: the winning top-level bindings are evaluated, one
    // frame each, in the order they were recorded; one that refers to a
    // later one has that evaluated first (RecoverFromForwardReference).
    processor_->SetDeferringGlobals(false);
    const std::vector<KTXPathNode*>& globals = processor_->GlobalOrder();
    while (nextGlobal_ < globals.size()) {
      KTXPathNode* declaration = globals[nextGlobal_++];
      const KTString* name = DeclaredName(processor_->FindDeclaration(declaration));
      if (!name || processor_->GlobalWinner(*name) != declaration || processor_->Evaluated().count(declaration))
        continue;
      KTPushFrameFor(processor_, frame, resultParent_, declaration);
      return true;
    }
    StartRootTemplate();
    rootTemplateStarted_ = true;
    frame->SetCurrentChild(nullptr);
    return true;
  }
  if (!processor_->IncludeStack().empty()) processor_->IncludeStack().pop_back();
  return KTPopFrameAfter(processor_, frame->OwnNode());
}

void KTStylesheetExecutor::UnbindForSecondImport(KTXPathNode* stylesheet) {
  if (processor_->StartedModules().insert(stylesheet).second) return;
  std::unordered_set<const KTXPathNode*> declarations;
  for (const auto& child : stylesheet->Children()) {
    if (child->GetKind() != kXPathElement) continue;
    const KTDeclRecord* record = processor_->FindDeclaration(child.get());
    const KTString* name = nullptr;
    if (record && record->elementId == kXSLTVariable) name = &static_cast<const KTDeclVariable*>(record)->name;
    if (record && record->elementId == kXSLTParam) name = &static_cast<const KTDeclParam*>(record)->name;
    if (!name) continue;
    declarations.insert(child.get());
    for (KTBindingMap* bindings : {processor_->GlobalVariables(), processor_->GlobalParameters()}) bindings->erase(*name);
    processor_->VariableOwners().erase(*name);
    processor_->ParameterOwners().erase(*name);
  }
  std::erase_if(processor_->Evaluated(), [&](const KTXPathNode* node) { return declarations.count(node) != 0; });
}

bool KTStylesheetExecutor::RegisterTemplates() {
  KTXPathNode* stylesheet = TopFrame()->OwnNode();
  processor_->SetImportSubtreeStart(processor_->ImportPrecedence(), subtreeStart_);
  for (const auto& child : stylesheet->Children()) {
    if (child->GetKind() != kXPathElement) continue;
    int id = processor_->ElementIdOf(child.get());
    if (id == kXSLTTemplate) processor_->RegisterTemplate(child.get(), 0);
    else if (id == kXSLTAttributeSet) KTAttributeSetExecutor::Register(processor_, child.get());
  }
  processor_->SortTemplateRules();
  return true;
}

bool KTStylesheetExecutor::StartRootTemplate() {
  KTExecFrame* frame = TopFrame();
  const KTXPathValue& list = frame->NodeList();
  if (list.GetKind() != kValueNodeSet || list.ItemCount() == 0) throw KTXSLTError(KTXSLTError::kUnexpectedFailure, nullptr);
  const KTString* invoked = nullptr;
  int position = FindTemplateRule(list.Items()[0], frame, KTString(), &invoked);
  if (position == KTExecFrame::kNoTemplate) throw KTXSLTError(KTXSLTError::kUnexpectedFailure, nullptr);
  KTCompiledTemplate* rule = processor_->TemplateRules()[position].get();
  auto child = std::make_unique<KTExecFrame>(frame, resultParent_);
  // The first frame's with-params are the command-line parameters, meant
  // for top-level xsl:param alone: the template for the root is
  // instantiated without parameters (XSLT 1.0 §11.6).
  child->ShareWithParams(nullptr);
  child->SetCurrentTemplate(position, rule);
  child->SetInvokedMode(invoked);
  child->SetNodeToRun(rule->TemplateElement());
  child->SetLastFinished(nullptr);
  child->SetContextPosition(1);
  processor_->PushFrame(std::move(child));
  return true;
}
