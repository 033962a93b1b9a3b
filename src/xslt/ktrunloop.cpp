// KTRunTransformation and KTStepToEnd: prepare, then step until the frame
// stack is empty.
#include "xslt/ktrunloop.h"

#include "xslt/ktxsltprocessor.h"

KTRunEnd KTStepToEnd(KTXSLTProcessor& processor, const KTStepCheck& beforeStep,
                     const KTStepCheckBounds* quietWithin) {
  bool worked = false;
  bool first = true;
  while (!processor.FrameStack()->empty()) {
    if (beforeStep) {
      bool ask = first || !quietWithin || processor.FrameDepth() > quietWithin->frames ||
                 processor.TemplateDepth() > quietWithin->templates;
      first = false;
      if (ask && !beforeStep()) return KTRunEnd::kStopped;
    }
    worked = processor.Step();
    if (!worked) return KTRunEnd::kStepFailed;
    if (processor.Terminated()) return KTRunEnd::kTerminated;
  }
  return worked ? KTRunEnd::kFinished : KTRunEnd::kStepFailed;
}

KTRunEnd KTRunTransformation(KTXSLTProcessor& processor, KTXPathNode* stylesheetRoot, KTXPathNode* sourceRoot,
                             const KTStepCheck& beforeStep, const KTStepCheckBounds* quietWithin) {
  processor.Prepare(stylesheetRoot, sourceRoot);
  return KTStepToEnd(processor, beforeStep, quietWithin);
}
