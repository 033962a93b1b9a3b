// The executors that bind names and call templates: xsl:variable, xsl:param
// and xsl:with-param bind a value (a select result, a result tree fragment
// built from their content, or the empty string), xsl:call-template runs
// its xsl:with-param children and then the named template.
//
// Local bindings go into the binding layer of the frame that runs the
// enclosing instruction sequence (KTExecFrame::OwnVariables and friends),
// top-level ones into the processor's global maps; xsl:with-param binds
// into the passed-parameter layer of its xsl:call-template or
// xsl:apply-templates frame, which the called template's xsl:param reads.
#pragma once

#include "core/ktstring.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktinstructionexecutor.h"
#include "xslt/ktxsltkeywords.h"

// The result tree fragment that a declaration's content builds: its root is
// owned here while the content runs, then by the bound value (the tree goes
// with the last copy of the value, not at the end of the run). A build left
// unfinished hands its tree to the processor, which keeps it to the end of
// the run: frames made for it may still point into it.
class KTFragmentBuild {
 public:
  KTFragmentBuild() = default;
  ~KTFragmentBuild();
  KTFragmentBuild(const KTFragmentBuild&) = delete;
  KTFragmentBuild& operator=(const KTFragmentBuild&) = delete;
  // A new root resolving names as at `scope`, kept here.
  KTXPathNode* Start(KTXSLTProcessor* processor, const KTXPathNode* scope);
  // The value of the finished fragment, which takes the tree.
  KTXPathValue Finish();

 private:
  KTXSLTProcessor* processor_ = nullptr;
  std::unique_ptr<KTXPathNode> root_;
};

// xsl:variable (element id 34) and xsl:param (24) share everything but the
// maps they bind into, the clash code and the passed-value rule.
class KTDeclarationExecutor : public KTInstructionExecutor {
 public:
  KTDeclarationExecutor(KTXSLTProcessor* processor, int elementId);
  bool Start() override;
  bool Continue() override;

 protected:
  bool IsParam() const { return elementId_ == kXSLTParam; }

 private:
  // The name's binding into the own map (local: the parent frame's layer).
  void Bind(KTExecFrame* frame, KTXPathValue&& value, bool recordOwner);
  // The end of a top-level declaration's evaluation.
  void LeaveEvaluation();

  KTXPathNode* declarationNode_ = nullptr;
  KTXPathNode* fragmentRoot_ = nullptr;
  KTFragmentBuild fragment_;
  KTXPathNode* nameNode_ = nullptr;
  // The declaration record's name (set by Start), which outlives the executor.
  const KTString* name_ = nullptr;
  bool topLevel_ = false;
  bool inEvaluation_ = false;
};

class KTVariableExecutor : public KTDeclarationExecutor {
 public:
  explicit KTVariableExecutor(KTXSLTProcessor* processor);
};

class KTParamExecutor : public KTDeclarationExecutor {
 public:
  explicit KTParamExecutor(KTXSLTProcessor* processor);
};

// xsl:with-param (element id 36).
class KTWithParamExecutor : public KTInstructionExecutor {
 public:
  explicit KTWithParamExecutor(KTXSLTProcessor* processor);
  bool Start() override;
  bool Continue() override;

 private:
  KTXPathNode* fragmentRoot_ = nullptr;
  KTFragmentBuild fragment_;
  KTXPathNode* nameNode_ = nullptr;
  // The declaration record's name (set by Start), which outlives the executor.
  const KTString* name_ = nullptr;
};

// xsl:call-template (element id 6): parameters first, each in the caller's
// context, then one frame for the template, which keeps the caller's
// current node list and position.
class KTCallTemplateExecutor : public KTInstructionExecutor {
 public:
  explicit KTCallTemplateExecutor(KTXSLTProcessor* processor);
  bool Start() override;
  bool Continue() override;

 private:
  void CallTemplate(KTExecFrame* frame);
  // Pushes the frame of `child` or of the first sibling after it that needs
  // one, binding the xsl:with-param children before it in place
  // (KTBindWithParamInPlace); false when none is left to push.
  bool PushChild(KTExecFrame* frame, KTXPathNode* child);

  KTXPathValue savedNodeList_;
  int savedPosition_ = 0;
};

// The first child that runs as content: not an attribute, namespace,
// processing-instruction or comment node; null when there is none.
KTXPathNode* KTFirstContentChild(const KTXPathNode* element);
// Pushes a frame that runs `node` with output to `resultParent`.
KTExecFrame* KTPushFrameFor(KTXSLTProcessor* processor, KTExecFrame* parent, KTXPathNode* resultParent,
                            KTXPathNode* node);
// Binds the xsl:with-param `child` (its record `record`) with a select
// from `frame`, the xsl:call-template or xsl:apply-templates frame that
// would push a frame for it with output to `resultParent`, evaluating against `nodeList` at `position`.
// Its own frame would take two steps that only evaluate the select and bind
// it; where the check before each step would pass them by and no top-level
// declaration is being evaluated, they are done here and true is returned
// (frame's last finished node is then `child`). False, having done
// nothing, when the child needs its frame. A failure pushes the child's
// frame before the error passes on, so the error shows the stack it would
// have shown.
bool KTBindWithParamInPlace(KTXSLTProcessor* processor, KTExecFrame* frame, KTXPathNode* resultParent,
                            KTXPathNode* child, const KTDeclRecord* record, const KTXPathValue& nodeList,
                            int position);
// Binds the local xsl:variable or xsl:param `child` (its record `record`)
// from `frame`, the frame that runs its parent and would push a frame for
// it with output to `resultParent` and context position `position`, as
// KTDeclarationExecutor would in that frame: its own frame would take two steps that only check the name,
// evaluate the select (or take the passed value, or the empty string) and
// bind it. Done here, returning true with `child` as the frame's last
// finished node, only for a declaration without content, where the check
// before each step would pass those steps by and no top-level declaration
// is being evaluated; false, having done nothing, otherwise. A failure
// pushes the child's frame before the error passes on, so the error shows
// the stack it would have shown.
bool KTBindDeclarationInPlace(KTXSLTProcessor* processor, KTExecFrame* frame, KTXPathNode* resultParent,
                              KTXPathNode* child, const KTDeclRecord* record, int position);
// Evaluates the test of the xsl:if `child` (its record `record`) from
// `frame`, the frame that runs its parent and would push a frame for it
// with output to `resultParent` and context position `position`, as the
// xsl:if's own frame would in its first step. Done only where the check before each step would pass the
// child's steps by and no top-level declaration is being evaluated: 0 for
// a false test (its frame would take two steps only to pop; `child` is
// then the frame's last finished node), 1 for a true one (its frame is
// still pushed, marked as passed); -1, having done nothing, otherwise. A
// failure pushes the child's frame before the error passes on, so the
// error shows the stack it would have shown.
int KTTestIfInPlace(KTXSLTProcessor* processor, KTExecFrame* frame, KTXPathNode* resultParent, KTXPathNode* child,
                    const KTDeclRecord* record, int position);
// Pushes the frame of `child` (null: none) or of the first instruction
// sibling after it that needs one, binding the local declarations before
// it in place (KTBindDeclarationInPlace) and passing over the xsl:if
// children whose test is false (KTTestIfInPlace); the frame's current child is the
// node pushed. Null, with no current child, when none is left to push.
KTExecFrame* KTPushInstructionFrom(KTXSLTProcessor* processor, KTExecFrame* frame, KTXPathNode* resultParent,
                                   KTXPathNode* child);
// Pops the top frame; the frame below learns that `own` has finished.
bool KTPopFrameAfter(KTXSLTProcessor* processor, KTXPathNode* own);
// The opening of an executor's Start: the frame has started and owns the
// node it was pushed to run, which is returned. This and the next two run
// at every instruction, so they are inline.
inline KTXPathNode* KTOpenFrame(KTExecFrame* frame) {
  frame->SetStarted();
  KTXPathNode* node = frame->NodeToRun();
  frame->SetOwnNode(node);
  return node;
}
// The end of a Start: the frame names its own node as finished last and has
// nothing left to create.
inline void KTEndStart(KTExecFrame* frame) {
  frame->SetLastFinished(frame->OwnNode());
  frame->SetNodeToRun(nullptr);
}
// The later step of an executor that runs its own node's instruction
// children one after another (a template, xsl:if, xsl:when, ...): when the
// child that finished was one of them, the next one is pushed, else (or
// when none is left) the frame is popped.
inline bool KTContinueWithNextInstruction(KTXSLTProcessor* processor, KTExecFrame* frame,
                                          KTXPathNode* resultParent) {
  KTXPathNode* own = frame->OwnNode();
  if (KTInstructionExecutor::IsAncestor(own, frame->LastFinished()) && frame->CurrentChild()) {
    KTXPathNode* next = KTInstructionExecutor::NextInstructionSibling(frame->CurrentChild());
    if (KTPushInstructionFrom(processor, frame, resultParent, next)) return true;
  }
  return KTPopFrameAfter(processor, own);
}
// KTPushFrameFor, with `child` becoming the frame's current child.
KTExecFrame* KTPushChildFrame(KTXSLTProcessor* processor, KTExecFrame* frame, KTXPathNode* resultParent,
                              KTXPathNode* child);
// Pushes the instruction after the frame's current child, which becomes the
// current child; false when none follows.
bool KTPushNextInstruction(KTXSLTProcessor* processor, KTExecFrame* frame, KTXPathNode* resultParent);
