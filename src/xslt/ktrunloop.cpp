// KTRunTransformation and KTStepToEnd: prepare, then step until the frame
// stack is empty.
#include "xslt/ktrunloop.h"

#include <climits>

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
  // The processor steps on by itself while no check is due.
  const int withinFrames = !checks ? INT_MAX : quietWithin ? quietWithin->frames : -1;
  const int withinTemplates = !checks ? INT_MAX : quietWithin ? quietWithin->templates : -1;
  for (;;) {
    if (!processor.StepWithin(withinFrames, withinTemplates)) return KTRunEnd::kStepFailed;
    if (processor.Terminated()) return KTRunEnd::kTerminated;
    if (processor.FrameDepth() == 0) return KTRunEnd::kFinished;
    // Beyond the depths: the check is due.
    if (checks && !beforeStep()) return KTRunEnd::kStopped;
  }
}

KTRunEnd KTRunTransformation(KTXSLTProcessor& processor, KTXPathNode* stylesheetRoot, KTXPathNode* sourceRoot,
                             const KTStepCheck& beforeStep, const KTStepCheckBounds* quietWithin) {
  processor.Prepare(stylesheetRoot, sourceRoot);
  return KTStepToEnd(processor, beforeStep, quietWithin);
}
