// The conditional executors: xsl:if runs its content when its test is true;
// xsl:choose runs its xsl:when children one at a time until one's test is
// true (that one runs its content and tells the xsl:choose), else its
// xsl:otherwise. The content itself runs one child frame per instruction.
#pragma once

#include "xslt/ktinstructionexecutor.h"

class KTDeclWhen;

// The Continue shared by xsl:if, xsl:when and xsl:otherwise: the next
// instruction of the content, or the end of the frame.
class KTContentExecutor : public KTInstructionExecutor {
 public:
  KTContentExecutor(KTXSLTProcessor* processor, int elementId);
  bool Continue() override;

 protected:
  // Pushes the first content child, or notes that there is none.
  void StartContent(KTExecFrame* frame);
  // Evaluates the test of an xsl:if or xsl:when record.
  bool Test(KTExecFrame* frame);
};

class KTIfExecutor : public KTContentExecutor {
 public:
  explicit KTIfExecutor(KTXSLTProcessor* processor);
  bool Start() override;
};

class KTWhenExecutor : public KTContentExecutor {
 public:
  explicit KTWhenExecutor(KTXSLTProcessor* processor);
  bool Start() override;
};

class KTOtherwiseExecutor : public KTContentExecutor {
 public:
  explicit KTOtherwiseExecutor(KTXSLTProcessor* processor);
  bool Start() override;
};

class KTChooseExecutor : public KTInstructionExecutor {
 public:
  explicit KTChooseExecutor(KTXSLTProcessor* processor);
  bool Start() override;
  bool Continue() override;
  // Set by the xsl:when child whose test was true.
  void SetWhenMatched() { whenMatched_ = true; }

 private:
  // Pushes the frame of the branch `child` (checked to be an xsl:when or
  // an xsl:otherwise where it stands; `first`: the first child) or of a
  // later sibling. Where the check before each step would pass a child
  // frame's steps by and no top-level declaration is being evaluated, an
  // xsl:when's test is evaluated from this frame, as its own first step
  // would: a false one is passed over without a frame (which would take
  // two steps only to pop), a true one is pushed with the test marked as
  // passed. A failing test pushes the xsl:when's frame before the error
  // passes on, so the error shows the stack it would have shown. False
  // when no branch is left.
  bool PushBranchFrom(KTExecFrame* frame, KTXPathNode* child, bool first);
  // Runs the content of the chosen branch `branch` (an xsl:when whose test
  // passed in place, or an xsl:otherwise) from this frame, in place of the
  // branch's own frame, which would only push the content's instructions
  // one after another with this frame's list, position and bindings. The
  // processor counts the branch's frame as if it were there and puts it
  // back on the stack should an error pass (KTXSLTProcessor::HostFrame).
  // Done where the check before each step would pass the branch frame's
  // steps by and no top-level declaration is being evaluated. True when
  // content was pushed, false when the branch is already done.
  bool HostBranch(KTExecFrame* frame, KTXPathNode* branch);
  // Evaluates the test of the xsl:when `child` (its record `when`) from
  // this frame, as the xsl:when's frame would.
  bool TestInPlace(KTExecFrame* frame, KTXPathNode* child, const KTDeclWhen* when);

  bool whenMatched_ = false;
  // The branch whose content this frame runs (HostBranch), or null.
  KTXPathNode* hosted_ = nullptr;
};
