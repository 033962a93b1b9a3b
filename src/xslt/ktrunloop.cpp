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
  // The first step is always asked about; later ones only beyond the
  // bounds (every one without them: no depth is at most -1).
  if (processor.FrameDepth() == 0) return KTRunEnd::kStepFailed;
  if (beforeStep && !beforeStep()) return KTRunEnd::kStopped;
  const bool checks = static_cast<bool>(beforeStep);
  const int quietFrames = quietWithin ? quietWithin->frames : -1;
  const int quietTemplates = quietWithin ? quietWithin->templates : -1;
  for (;;) {
    if (!processor.Step()) return KTRunEnd::kStepFailed;
    if (processor.Terminated()) return KTRunEnd::kTerminated;
    const int depth = processor.FrameDepth();
    if (depth == 0) return KTRunEnd::kFinished;
    if (checks && (depth > quietFrames || processor.TemplateDepth() > quietTemplates) && !beforeStep())
      return KTRunEnd::kStopped;
  }
}

KTRunEnd KTRunTransformation(KTXSLTProcessor& processor, KTXPathNode* stylesheetRoot, KTXPathNode* sourceRoot,
                             const KTStepCheck& beforeStep, const KTStepCheckBounds* quietWithin) {
  processor.Prepare(stylesheetRoot, sourceRoot);
  return KTStepToEnd(processor, beforeStep, quietWithin);
}
