// KTRunTransformation and KTStepToEnd: the run loop of one transformation,
// shared by the front end and the tests: prepare the processor for a
// stylesheet and a source, then step it until its frame stack is empty.
// Serialising the result is left to the caller.
#pragma once

#include <functional>

class KTXPathNode;
class KTXSLTProcessor;

enum class KTRunEnd {
  kFinished,    // the frame stack emptied and the last step did work
  kStepFailed,  // a step reported failure, or no step ran
  kTerminated,  // an xsl:message with terminate="yes" ended the run
  kStopped,     // the caller's check refused the next step
};

// Asked before every step (the first right after Prepare); false stops the
// run there.
using KTStepCheck = std::function<bool()>;

// Depths within which the caller's check is known to pass and to change
// nothing: with them, the check is asked before the first step and then only
// before a step at which the frame stack is deeper than `frames` or more
// templates are being run than `templates`. A step costs a few compares
// instead of a call.
struct KTStepCheckBounds {
  int frames;
  int templates;
};

// Steps a prepared (or started) processor until its frame stack is empty.
// KTXSLTError from a step passes through, the frame stack left as it was
// when the error was raised.
KTRunEnd KTStepToEnd(KTXSLTProcessor& processor, const KTStepCheck& beforeStep = {},
                     const KTStepCheckBounds* quietWithin = nullptr);

// Prepares the processor for the two trees and steps it to the end; a
// KTXSLTError of Prepare passes through too.
KTRunEnd KTRunTransformation(KTXSLTProcessor& processor, KTXPathNode* stylesheetRoot, KTXPathNode* sourceRoot,
                             const KTStepCheck& beforeStep = {}, const KTStepCheckBounds* quietWithin = nullptr);
