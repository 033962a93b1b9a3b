// xsl:decimal-format at run time (nothing to do: the compiler registered
// the format) and the xsl:number executor.
#include "xslt/ktnumberexecutors.h"

#include "xslt/ktexecframe.h"
#include "xslt/ktxsltkeywords.h"
#include "xslt/ktxsltprocessor.h"

KTDecimalFormatExecutor::KTDecimalFormatExecutor(KTXSLTProcessor* processor)
    : KTInstructionExecutor(processor, kXSLTDecimalFormat) {}

bool KTDecimalFormatExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  frame->SetStarted();
  frame->SetOwnNode(frame->NodeToRun());
  frame->SetLastFinished(frame->NodeToRun());
  frame->SetNodeToRun(nullptr);
  return true;
}
