// KTOutputExecutor: the executor of xsl:output (element id 23). It merges the
// attributes of its declaration record into the processor's output settings
// while the stylesheet's top-level elements run; later xsl:output elements
// override earlier ones, cdata-section-elements lists accumulate. It is part
// of the processor library (ost_xslt): the serialiser below it never sees
// the processor.
#pragma once

#include "xslt/ktinstructionexecutor.h"

class KTOutputExecutor : public KTInstructionExecutor {
 public:
  explicit KTOutputExecutor(KTXSLTProcessor* processor);
  // Finishes in its first step; the default Continue pops the frame.
  bool Start() override;
};
