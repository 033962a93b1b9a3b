// KTOutputExecutor: copies each attribute present in the xsl:output record
// into the processor's KTOutputSettings, in attribute order.
#include "xslt/ktoutputexecutor.h"

#include "xslt/ktdeclrecord.h"
#include "xslt/ktexecframe.h"
#include "xslt/output/ktoutputsettings.h"

KTOutputExecutor::KTOutputExecutor(KTXSLTProcessor* processor)
    : KTInstructionExecutor(processor, kXSLTOutput) {}

bool KTOutputExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  frame->SetStarted();
  frame->SetOwnNode(frame->NodeToRun());
  const auto* record = dynamic_cast<const KTDeclOutput*>(Declaration());
  if (record) {
    KTOutputSettings& settings = OutputSettings();
    if (record->methodNode) settings.SetMethod(record->method);
    if (record->versionNode) settings.SetVersion(record->version);
    if (record->encodingNode) settings.SetEncoding(record->encoding);
    if (record->omitXmlDeclarationNode) settings.SetOmitXmlDeclaration(record->omitXmlDeclaration);
    if (record->standaloneNode) settings.SetStandalone(record->standalone);
    if (record->doctypePublicNode) settings.SetDoctypePublic(record->doctypePublic);
    if (record->doctypeSystemNode) settings.SetDoctypeSystem(record->doctypeSystem);
    if (record->cdataSectionElementsNode) settings.AppendCdataSectionElements(record->cdataSectionElements);
    if (record->indentNode) settings.SetIndent(record->indent);
  }
  frame->SetLastFinished(frame->NodeToRun());
  frame->SetNodeToRun(nullptr);
  return true;
}
