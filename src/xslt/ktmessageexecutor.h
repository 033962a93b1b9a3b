// The xsl:message and xsl:key executors. xsl:message instantiates its
// content into a result-tree fragment of its own and hands the fragment's
// string value, with the terminate flag, to the processor; xsl:key does
// nothing at run time (keys are indexed from their declarations before the
// transformation starts).
#pragma once

#include "xslt/ktinstructionexecutor.h"

class KTMessageExecutor : public KTInstructionExecutor {
 public:
  explicit KTMessageExecutor(KTXSLTProcessor* processor);
  bool Start() override;
  bool Continue() override;

 private:
  // The root of the fragment that receives the content (registered with the
  // processor, which owns it); null when the message has no content.
  KTXPathNode* messageRoot_ = nullptr;
};

class KTKeyExecutor : public KTInstructionExecutor {
 public:
  explicit KTKeyExecutor(KTXSLTProcessor* processor);
  bool Start() override;
};
