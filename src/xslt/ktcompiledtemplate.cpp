// KTCompiledTemplate: construction (names, match, priority), conflict order
// and the match test with its per-document cache of selected nodes.
#include "xslt/ktcompiledtemplate.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <utility>

#include "xpath/ktxpathastnode.h"
#include "xpath/ktxpathexpression.h"
#include "xpath/ktxpathfunctionlibrary.h"
#include "xpath/ktxpathnodes.h"
#include "xslt/ktcompiledexpression.h"
#include "xslt/ktdeclrecord.h"
#include "xslt/kttemplateruleindex.h"
#include "xslt/ktvariableexecutors.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltnames.h"
#include "xslt/ktxsltprocessor.h"

namespace {

KTXPathNode* FindAttributeNamed(KTXPathNode* element, const char16_t* name) {
  for (const auto& child : element->Children()) {
    if (child->GetKind() == kXPathAttribute && std::u16string_view(child->GetName()) == name) return child.get();
  }
  return nullptr;
}

}  // namespace

KTCompiledTemplate::KTCompiledTemplate(KTTemplateRuleSource source)
    : modeAsWritten_(std::move(source.modeAsWritten)),
      expandedMode_(std::move(source.expandedMode)),
      templateElement_(source.templateElement),
      matchNode_(source.matchNode),
      importPrecedence_(source.importPrecedence),
      declarationPosition_(source.declarationPosition) {
  KTXPathNode* templateElement = source.templateElement;
  const KTCompiledExpression* matchExpression = source.matchExpression;
  const KTPrefixMap* namespaces =
      source.namespaces ? source.namespaces : KTXPathNode::GetNodeNamespaceMap(templateElement);
  KTXPathNode* priorityNode = nullptr;
  for (const auto& child : templateElement->Children()) {
    if (child->GetKind() != kXPathAttribute) continue;
    std::u16string_view attribute(child->GetName());
    if (attribute == u"name") {
      name_ = child->GetValue();
      if (!IsQName(name_.c_str())) throw KTXSLTError::About(KTXSLTError::kNotQName, child.get());
      std::u16string_view name = name_.View();
      size_t colon = name.find(u':');
      expandedName_ = name_;
      if (colon != std::u16string_view::npos) {
        // XSLT 1.0 §2.4: a prefix must be bound.
        const KTPrefixMap* map = KTXPathNode::GetNodeNamespaceMap(templateElement);
        auto found = map ? map->find(KTString(name.substr(0, colon))) : KTPrefixMap::const_iterator();
        if (!map || found == map->end()) throw KTXSLTError::About(KTXSLTError::kUndefinedPrefix, child.get());
        if (found->second && !found->second->IsEmpty()) {
          expandedName_ = *found->second;
          expandedName_ += u':';
          expandedName_ += KTString(name.substr(colon + 1));
        }
      }
    } else if (attribute == u"priority") {
      priorityNode = child.get();
    }
  }
  // The registrar gives each alternative of the match pattern; an empty
  // alternative (a||b) matches nothing.
  match_ = std::move(source.match);
  matchExpression_ = matchExpression;
  if (!FindAttributeNamed(templateElement, u"match") && name_.IsEmpty())
    throw KTXSLTError(KTXSLTError::kTemplateNeedsNameOrMatch, templateElement);
  if (source.pattern)
    pattern_ = source.pattern;
  else
    ownPattern_.Read(matchExpression ? matchExpression->tree.get() : nullptr, namespaces);
  if (priorityNode) {
    double value = KTXPathFunctionLibrary::StringToNumber(priorityNode->GetValue());
    // Zero is a normal priority; NaN, infinities and denormals are not.
    if (value != 0 && !std::isnormal(value)) throw KTXSLTError::About(KTXSLTError::kUnexpectedValue, priorityNode);
    priority_ = value;
  } else {
    priority_ = pattern_->DefaultPriority();
  }
}

KTCompiledTemplate::~KTCompiledTemplate() = default;

bool KTCompiledTemplate::Compare(const KTCompiledTemplate* a, const KTCompiledTemplate* b) {
  if (a->importPrecedence_ != b->importPrecedence_) return a->importPrecedence_ > b->importPrecedence_;
  if (a->priority_ == b->priority_ || std::isnan(a->priority_) || std::isnan(b->priority_))
    return a->declarationPosition_ > b->declarationPosition_;
  return a->priority_ > b->priority_;
}

int KTCompiledTemplate::TemplateElementId(const KTDeclRecord** record) {
  if (!elementIdKnown_) {
    elementId_ = processor_->ElementIdOf(templateElement_, &elementRecord_);
    elementIdKnown_ = true;
  }
  *record = elementRecord_;
  return elementId_;
}

bool KTCompiledTemplate::HasEmptyBody() {
  if (emptyBody_ < 0)
    emptyBody_ = templateElement_ && templateElement_->GetKind() == kXPathElement && !KTFirstContentChild(templateElement_);
  return emptyBody_ == 1;
}

bool KTCompiledTemplate::CopiesStringValue(bool* escape) {
  if (stringValueCopy_ < 0) {
    stringValueCopy_ = 0;
    KTXPathNode* first = templateElement_ && templateElement_->GetKind() == kXPathElement
                             ? KTFirstContentChild(templateElement_)
                             : nullptr;
    const KTDeclRecord* record = nullptr;
    if (first && !KTInstructionExecutor::NextInstructionSibling(first) &&
        processor_->ElementIdOf(first, &record) == kXSLTValueOf && record && record->elementId == kXSLTValueOf) {
      // The shape KTValueOfExecutor writes without an evaluation.
      const auto* valueOf = static_cast<const KTDeclValueOf*>(record);
      const KTCompiledExpression* select = valueOf->select;
      if (select && select->shape == KTCompiledExpression::kShapeSelf && !select->error && select->restrictions == 0) {
        stringValueCopy_ = 1;
        copyEscapes_ = !valueOf->disableOutputEscaping;
      }
    }
  }
  *escape = copyEscapes_;
  return stringValueCopy_ == 1;
}

void KTCompiledTemplate::ReadChildrenApply() {
  childrenApply_ = 0;
  KTXPathNode* first =
      templateElement_ && templateElement_->GetKind() == kXPathElement ? KTFirstContentChild(templateElement_) : nullptr;
  const KTDeclRecord* record = nullptr;
  if (!first || KTInstructionExecutor::NextInstructionSibling(first)) return;
  int id = processor_->ElementIdOf(first, &record);
  if (id == kXSLTCopy && record && record->elementId == kXSLTCopy &&
      !static_cast<const KTDeclCopy*>(record)->useAttributeSetsNode) {
    // xsl:copy around the xsl:apply-templates alone.
    KTXPathNode* inner = KTFirstContentChild(first);
    if (!inner || KTInstructionExecutor::NextInstructionSibling(inner)) return;
    first = inner;
    record = nullptr;
    id = processor_->ElementIdOf(first, &record);
    childrenApplyCopies_ = true;
  }
  if (id != kXSLTApplyTemplates || !record || record->elementId != kXSLTApplyTemplates ||
      first->FirstChildOfKind(kXPathElement) != first->GetChildCount())
    return;
  // Without a select attribute the record names the element itself.
  const auto* apply = static_cast<const KTDeclApplyTemplates*>(record);
  const bool anyMode = apply->mode == KTTemplateRuleIndex::AnyModeMarker();
  if (apply->selectNode == first && (apply->mode.IsEmpty() || anyMode)) {
    childrenApply_ = 1;
    childrenApplySameMode_ = anyMode;
  }
}

namespace {

// The predicates of a tree, those inside another predicate left out.
void CollectPredicates(KTXPathAstNode* node, std::vector<KTXPathAstNode*>& out) {
  if (node->GetKind() == kAstPredicate) {
    out.push_back(node);
    return;
  }
  for (int i = 0; i < node->ChildCount(); ++i) CollectPredicates(node->ChildAt(i), out);
}

// The node of `kind` reached through nodes of one child each (null: none).
KTXPathAstNode* SoleChainDown(KTXPathAstNode* node, int kind) {
  while (node && node->GetKind() != kind && node->ChildCount() == 1) node = node->FirstChild();
  return node && node->GetKind() == kind ? node : nullptr;
}

}  // namespace

void KTCompiledTemplate::ReadNodeFilters() {
  filtersRead_ = -1;
  const std::vector<KTPatternStep>& steps = pattern_->Steps();
  if (!pattern_->IsUnderstood() || pattern_->GetAnchor() == KTTemplatePattern::kIdKey || steps.empty() ||
      !steps.back().hasPredicates || !matchExpression_->tree)
    return;
  for (size_t i = 0; i + 1 < steps.size(); ++i)
    if (steps[i].hasPredicates) return;
  std::vector<KTXPathAstNode*> predicates;
  CollectPredicates(matchExpression_->tree.get(), predicates);
  std::vector<BinaryExprNode*> filters;
  for (KTXPathAstNode* predicate : predicates) {
    auto* equality = dynamic_cast<BinaryExprNode*>(
        predicate->ChildCount() > 1 ? SoleChainDown(predicate->ChildAt(1), kAstEqualityExpr) : nullptr);
    if (!equality || !equality->IsChildLiteral()) return;
    filters.push_back(equality);
  }
  if (filters.empty()) return;
  filters_ = std::move(filters);
  filtersRead_ = 1;
}

bool KTCompiledTemplate::Matches(const KTXPathNode* node) {
  if (match_.IsEmpty() || !matchExpression_) return false;
  // A direct match tests the last step itself first.
  if (pattern_->IsDirect()) return pattern_->Matches(node);
  if (!pattern_->MayMatch(node)) return false;
  if (filtersRead_ == 0) ReadNodeFilters();
  if (filtersRead_ == 1) {
    if (!pattern_->MatchesSteps(node)) return false;
    for (const BinaryExprNode* filter : filters_)
      if (!filter->TestChildLiteral(node)) return false;
    return true;
  }
  return MatchedNodes(node).count(node) != 0;
}

bool KTCompiledTemplate::MatchesWithoutEvaluation() {
  if (match_.IsEmpty() || !matchExpression_ || pattern_->IsDirect()) return true;
  if (filtersRead_ == 0) ReadNodeFilters();
  return filtersRead_ == 1;
}

const KTCompiledTemplate::NodeSet& KTCompiledTemplate::MatchedNodes(const KTXPathNode* node) {
  KTXPathNode* root = const_cast<KTXPathNode*>(node);
  while (root->GetParent()) root = root->GetParent();
  auto found = matched_.find(root);
  if (found != matched_.end()) return found->second;
  KTXPathNode* resolver = matchNode_ ? matchNode_ : templateElement_;
  KTXPathValue selected;
  KTXPathValue contexts;
  if (pattern_->NarrowContexts(root, contexts)) {
    if (contexts.ItemCount() > 0)
      processor_->EvaluatePattern(&selected, *matchExpression_,
                                  {.root = root, .contexts = &contexts, .stylesheetNode = resolver});
  } else {
    processor_->MatchesPattern(&selected, *matchExpression_, const_cast<KTXPathNode*>(node), resolver, false);
  }
  NodeSet& set = matched_[root];
  if (selected.GetKind() == kValueNodeSet) {
    for (const KTXPathNodeItem& item : selected.Items()) set.insert(item.GetNode());
  }
  return set;
}
