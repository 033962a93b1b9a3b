// KTInstructionExecutor: the template rule lookups of apply-templates,
// apply-imports and call-template, through the processor's rule index.
#include <algorithm>

#include "xml/ktxpathnode.h"
#include "xpath/ktxpathexpression.h"
#include "xslt/ktcompiledtemplate.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktinstructionexecutor.h"
#include "xslt/kttemplateruleindex.h"
#include "xslt/ktxsltprocessor.h"

namespace {

// The requested mode expanded in the scope of the frame's node, with "?"
// standing for the mode the frame's template was selected in.
const KTString* ResolveMode(KTXSLTProcessor* processor, KTExecFrame* frame, const KTString& mode) {
  if (mode.IsEmpty()) return processor->InternMode(mode);
  if (mode == KTTemplateRuleIndex::AnyModeMarker()) {
    const KTString* invoked = frame ? frame->InvokedMode() : nullptr;
    return invoked ? invoked : processor->InternMode(KTString());
  }
  const KTXPathNode* scope = frame ? (frame->OwnNode() ? frame->OwnNode() : frame->NodeToRun()) : nullptr;
  const KTPrefixMap* namespaces = scope ? KTXPathNode::GetNodeNamespaceMap(scope) : nullptr;
  return processor->InternMode(KTXSLTProcessor::ExpandMode(mode, namespaces));
}

}  // namespace

int KTInstructionExecutor::FindTemplateRule(const KTXPathNodeItem& item, KTExecFrame* frame, const KTString& mode,
                                            const KTString** invokedMode) {
  const KTString* requested = ResolveMode(processor_, frame, mode);
  if (invokedMode) *invokedMode = requested;
  return FindTemplateRuleInMode(item, requested);
}

const KTString* KTInstructionExecutor::ResolveTemplateMode(KTExecFrame* frame, const KTString& mode) {
  return ResolveMode(processor_, frame, mode);
}

int KTInstructionExecutor::FindTemplateRuleInMode(const KTXPathNodeItem& item, const KTString* resolvedMode,
                                                  bool* sameForTextSiblings) {
  int found = processor_->TemplateIndex().FindInterned(item.GetNode(), resolvedMode, 0, sameForTextSiblings);
  return found == KTTemplateRuleIndex::kNotFound ? KTExecFrame::kNoTemplate : found;
}

int KTInstructionExecutor::FindImportedTemplateRule(const KTXPathNodeItem& item, KTExecFrame* frame,
                                                    const KTString& mode) {
  if (!frame || !frame->GetCurrentTemplate()) return KTExecFrame::kNoTemplate;
  const auto& rules = processor_->TemplateRules();
  int from = frame->CurrentTemplate();
  const int count = static_cast<int>(rules.size());
  int precedence = frame->GetCurrentTemplate()->ImportPrecedence();
  // XSLT 1.0 §5.6: only the rules imported into the module of the current
  // rule count, those of its import subtree; the rule list is sorted by
  // precedence, highest first, with the built-in rules (-1) last.
  int lowest = processor_->ImportSubtreeStart(precedence);
  auto firstBelow = [&](int bound) {
    auto at = std::partition_point(rules.begin() + from, rules.end(),
                                   [bound](const auto& rule) { return rule->ImportPrecedence() >= bound; });
    return static_cast<int>(at - rules.begin());
  };
  from = firstBelow(precedence);
  const int subtreeEnd = precedence < 0 ? count : firstBelow(lowest);
  const KTString* requested = ResolveMode(processor_, frame, mode);
  KTTemplateRuleIndex& index = processor_->TemplateIndex();
  int found = from < subtreeEnd ? index.Find(item.GetNode(), *requested, from) : KTTemplateRuleIndex::kNotFound;
  if (found == KTTemplateRuleIndex::kNotFound || found >= subtreeEnd) {
    int builtins = precedence < 0 ? count : firstBelow(0);
    found = builtins < count ? index.Find(item.GetNode(), *requested, builtins) : KTTemplateRuleIndex::kNotFound;
  }
  return found == KTTemplateRuleIndex::kNotFound ? KTExecFrame::kNoTemplate : found;
}

int KTInstructionExecutor::FindNamedTemplate(const KTString& expandedName) {
  int found = processor_->TemplateIndex().FindNamed(expandedName);
  return found == KTTemplateRuleIndex::kNotFound ? KTExecFrame::kNoTemplate : found;
}
