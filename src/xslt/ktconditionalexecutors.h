// The conditional executors: xsl:if runs its content when its test is true;
// xsl:choose runs its xsl:when children one at a time until one's test is
// true (that one runs its content and tells the xsl:choose), else its
// xsl:otherwise. The content itself runs one child frame per instruction.
#pragma once

#include "xslt/ktinstructionexecutor.h"

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
  bool whenMatched_ = false;
};
