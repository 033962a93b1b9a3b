// The executors of xsl:decimal-format and xsl:number. Decimal formats are
// registered while the stylesheet compiles, so the executor of
// xsl:decimal-format only marks its frame done.
#pragma once

#include "xslt/ktinstructionexecutor.h"

class KTDecimalFormatExecutor : public KTInstructionExecutor {
 public:
  explicit KTDecimalFormatExecutor(KTXSLTProcessor* processor);
  bool Start() override;
};
