// xsl:for-each runs its body once per selected node, in document order or
// in the order of its xsl:sort children; xsl:sort computes one sort key per
// selected node for its xsl:for-each or xsl:apply-templates; xsl:comment and
// xsl:processing-instruction build their content in a scratch tree and
// append one comment or processing instruction made from its text.
#pragma once

#include <memory>

#include "core/ktstring.h"
#include "xslt/ktinstructionexecutor.h"
#include "xslt/ktsortkeys.h"

// xsl:for-each (element id 14).
class KTForEachExecutor : public KTInstructionExecutor {
 public:
  explicit KTForEachExecutor(KTXSLTProcessor* processor);
  bool Start() override;
  bool Continue() override;
  // Evaluates the selection into the frame, in document order; false when
  // it is empty.
  bool SelectNodes(KTExecFrame* frame);
  // The keys its xsl:sort children add, first the primary one.
  void AddSortKey(std::unique_ptr<KTSortKeyComparator> key) { sortKeys_.push_back(std::move(key)); }
  // The current node list and position where the instruction stands, which
  // its xsl:sort children's attribute value templates see (XSLT 1.0 §10).
  const KTXPathValue& SortContextList() const { return *contextList_; }
  int SortContextPosition() const { return contextPosition_; }

 private:
  // Pushes the frame of the body instruction `node` or of a later one at
  // the current position; local variables with a select before it are
  // bound, and xsl:if children with a false test passed over, without
  // frames where the depth check would pass their steps by
  // (KTBindDeclarationInPlace, KTTestIfInPlace). False when the rest of
  // the body needed no frame.
  bool PushBody(KTExecFrame* frame, KTXPathNode* node);
  // PushBody, going on to the next positions while the body needs no
  // frame; false when the last position is done.
  bool PushBodyFrom(KTExecFrame* frame, KTXPathNode* node);

  int position_ = 1;
  // The list before the selection: read in place from the frame below that
  // holds it, or a copy when the frame held it itself.
  const KTXPathValue* contextList_ = nullptr;
  KTXPathValue ownContextList_;
  int contextPosition_ = 0;
  KTXPathNode* firstBodyNode_ = nullptr;
  bool sortPhase_ = false;
  bool bodyStarted_ = false;
  KTSortKeyList sortKeys_;
};

// xsl:sort (element id 27).
class KTSortExecutor : public KTInstructionExecutor {
 public:
  explicit KTSortExecutor(KTXSLTProcessor* processor);
  bool Start() override;

 private:
  // An attribute's value template, evaluated in the frame with `list` as
  // the current node list at the frame's context position.
  KTString Evaluate(KTXPathNode* attribute, const KTCompiledValueTemplate* compiled, KTExecFrame* frame,
                    const KTXPathValue& list);
};

// xsl:comment (element id 8).
class KTCommentExecutor : public KTInstructionExecutor {
 public:
  explicit KTCommentExecutor(KTXSLTProcessor* processor);
  bool Start() override;
  bool Continue() override;

 private:
  // The content's result parent while it runs.
  std::unique_ptr<KTXPathNode> scratch_;
};

// xsl:processing-instruction (element id 26).
class KTProcessingInstructionExecutor : public KTInstructionExecutor {
 public:
  explicit KTProcessingInstructionExecutor(KTXSLTProcessor* processor);
  bool Start() override;
  bool Continue() override;

 private:
  KTString target_;
  // The content's result parent while it runs.
  std::unique_ptr<KTXPathNode> scratch_;
};
