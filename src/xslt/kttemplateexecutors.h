// The executors that drive a transformation: xsl:stylesheet (top-level
// elements in order, template registration, the rule for the source root),
// xsl:template (its body, instruction by instruction) and
// xsl:apply-templates (select, with-param children, one template frame per
// selected node).
#pragma once

#include "xslt/ktinstructionexecutor.h"
#include "xslt/ktsortkeys.h"

class KTCompiledTemplate;

class KTTemplateExecutor : public KTInstructionExecutor {
 public:
  // The frame about to run the template gets a scope of its own: the
  // caller's variables and parameters are out of scope, the with-param
  // values stay for the template's xsl:param elements.
  explicit KTTemplateExecutor(KTXSLTProcessor* processor);
  bool Start() override;
  bool Continue() override;
};

class KTApplyTemplatesExecutor : public KTInstructionExecutor {
 public:
  explicit KTApplyTemplatesExecutor(KTXSLTProcessor* processor);
  bool Start() override;
  bool Continue() override;
  // Pushes a template frame for the next selected node that has a rule.
  bool ApplyToNextNode(KTExecFrame* frame);

  bool HasSort() const { return hasSort_; }
  // The keys its xsl:sort children add, first the primary one; the
  // selection is ordered by them before the first template is applied.
  void AddSortKey(std::unique_ptr<KTSortKeyComparator> key) { sortKeys_.push_back(std::move(key)); }
  // The current node list and position where the instruction stands, which
  // its xsl:sort children's attribute value templates see (XSLT 1.0 §10).
  const KTXPathValue& SortContextList() const { return savedNodeList_; }
  int SortContextPosition() const { return savedPosition_; }

 private:
  // Evaluates the select expression into the frame's node list, in
  // document order.
  void Select(KTExecFrame* frame);
  // Pushes the frame of the xsl:sort or xsl:with-param `child`; false,
  // having pushed nothing, for an xsl:with-param bound from this frame
  // (KTBindWithParamInPlace), which is then the current child.
  bool PushChild(KTExecFrame* frame, KTXPathNode* child);
  // The step after the current child has finished: the next child's
  // frame, or the selection applied, or the end; children bound in place
  // are passed on to the next one within the same step.
  bool AfterChild(KTExecFrame* frame);
  bool Finish(KTExecFrame* frame);
  // What applying templates to a node's children does when no rule below
  // needs frames: the nodes in document order, each with its rule and the
  // end of its children's entries, and the deepest frames and templates
  // the rules would have taken.
  struct InPlacePlan {
    enum Kind { kEmpty, kStringValue, kChildren, kCopyChildren };
    struct Entry {
      KTXPathNode* node;
      KTCompiledTemplate* rule;
      int end;
      Kind kind;
      bool escape;
    };
    // A node of more descendants than this is left to the frames.
    static constexpr int kMostNodes = 40;
    Entry entries[kMostNodes];
    int count = 0;
    int frames = 0;
    int templates = 0;
  };
  // Adds `node` with `rule`, found in `mode`, to the plan, with its
  // children when the rule applies templates to them; false when some rule
  // needs its frames (an empty body, one xsl:value-of select="." and the
  // rules of AppliesTemplatesToChildren need none) or the plan is full.
  // The rule's template frame would stand above `framesAbove` frames and
  // `templatesAbove` templates.
  bool PlanInPlace(KTXPathNode* node, KTCompiledTemplate* rule, const KTString* mode, int framesAbove,
                   int templatesAbove, InPlacePlan& plan);
  // Outputs the plan's entries from `begin` to `end` (xsl:copy as made in
  // `frame`).
  void RunInPlace(KTExecFrame* frame, const InPlacePlan& plan, int begin, int end);

  int nextIndex_ = 0;
  // The select text and the mode as the compiled record holds them (records
  // live as long as the stylesheet).
  const KTCompiledExpression* select_ = nullptr;
  KTXPathNode* selectNode_ = nullptr;
  bool selected_ = false;
  bool hasSort_ = false;
  bool sorted_ = false;
  const KTString* mode_ = nullptr;
  // The mode interned in the frame's scope, at the first node applied.
  const KTString* resolvedMode_ = nullptr;
  // The rule found for the text children of one parent (null: none yet).
  const KTXPathNode* textRuleParent_ = nullptr;
  int textRulePosition_ = 0;
  KTXPathValue savedNodeList_;
  int savedPosition_ = 0;
  KTSortKeyList sortKeys_;
};

class KTStylesheetExecutor : public KTInstructionExecutor {
 public:
  explicit KTStylesheetExecutor(KTXSLTProcessor* processor);
  bool Start() override;
  bool Continue() override;
  // Registers the xsl:template children and sorts the rule list, and
  // registers the xsl:attribute-set children.
  bool RegisterTemplates();
  // Pushes the frame of the rule that matches the source root.
  bool StartRootTemplate();

 private:
  void PushChild(KTExecFrame* frame, KTXPathNode* child);
  // A module imported a second time ranks above everything bound since its
  // first import (XSLT 1.0 §2.6.2): its top-level variables and parameters
  // lose their bindings, whoever made them, and are evaluated afresh, so
  // that references among them see this module's values.
  void UnbindForSecondImport(KTXPathNode* stylesheet);

  bool templatesRegistered_ = false;
  bool rootTemplateStarted_ = false;
  // The next of the processor's recorded top-level declarations to evaluate.
  size_t nextGlobal_ = 0;
  // The import precedence when the module started: the first one its
  // imports take.
  int subtreeStart_ = 0;
};

// Gives the frame of a template or other top-level element the excluded and
// extension namespaces of the stylesheet element it was written in.
void KTUseStylesheetNamespaces(KTXSLTProcessor* processor, KTExecFrame* frame, KTXPathNode* topLevelElement);
