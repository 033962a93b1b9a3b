// KTRunTransformation and KTStepToEnd: prepare, then step until the frame
// stack is empty.
#include "xslt/ktrunloop.h"

#include "xslt/ktxsltprocessor.h"

KTRunEnd KTStepToEnd(KTXSLTProcessor& processor, const KTStepCheck& beforeStep,
                     const KTStepCheckBounds* quietWithin) {
  // The processor may fold steps that stay within the bounds into the step
  // that would make them: the check would not have been asked before them.
  struct QuietDepths {
    KTXSLTProcessor& processor;
    QuietDepths(KTXSLTProcessor& p, const KTStepCheckBounds* bounds) : processor(p) {
      if (bounds) processor.SetQuietDepths(bounds->frames, bounds->templates);
    }
    ~QuietDepths() { processor.SetQuietDepths(-1, -1); }
  } quiet(processor, beforeStep ? quietWithin : nullptr);
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
