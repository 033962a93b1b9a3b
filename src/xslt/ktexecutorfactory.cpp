// KTExecutorFactory: the creators by kind, and the list of the executor
// families the processor has.
#include "xslt/ktexecutorfactory.h"

#include "xslt/ktconditionalexecutors.h"
#include "xslt/ktdeclarationexecutors.h"
#include "xslt/ktforeachexecutors.h"
#include "xslt/ktimportexecutors.h"
#include "xslt/ktinstructionexecutor.h"
#include "xslt/ktmessageexecutor.h"
#include "xslt/ktnodeexecutors.h"
#include "xslt/ktnumberexecutors.h"
#include "xslt/ktoutputexecutor.h"
#include "xslt/ktresultexecutors.h"
#include "xslt/kttemplateexecutors.h"
#include "xslt/ktvariableexecutors.h"

KTExecutorFactory::KTExecutorFactory() { RegisterStandardExecutors(*this); }

void KTExecutorFactory::Register(int kind, Creator creator) {
  if (kind >= 0 && kind < kKindCount) creators_[kind] = creator;
}

std::unique_ptr<KTInstructionExecutor> KTExecutorFactory::Create(int kind, KTXSLTProcessor* processor) const {
  const Creator creator = CreatorFor(kind);
  return creator ? creator(processor) : nullptr;
}

namespace {

template <typename T>
KTExecutorFactory::Creator CreatorOf() {
  return [](KTXSLTProcessor* processor) -> std::unique_ptr<KTInstructionExecutor> {
    return std::make_unique<T>(processor);
  };
}

}  // namespace

void RegisterStandardExecutors(KTExecutorFactory& factory) {
  factory.Register(kXSLTKey, CreatorOf<KTKeyExecutor>());
  factory.Register(kXSLTDecimalFormat, CreatorOf<KTDecimalFormatExecutor>());
  factory.Register(kXSLTNumber, CreatorOf<KTNumberExecutor>());
  factory.Register(kXSLTMessage, CreatorOf<KTMessageExecutor>());
  factory.Register(kXSLTStylesheet, CreatorOf<KTStylesheetExecutor>());
  factory.Register(kXSLTTemplate, CreatorOf<KTTemplateExecutor>());
  factory.Register(kXSLTApplyTemplates, CreatorOf<KTApplyTemplatesExecutor>());
  factory.Register(kXSLTOutput, CreatorOf<KTOutputExecutor>());
  factory.Register(kXSLTLiteralResult, CreatorOf<KTLiteralResultElementExecutor>());
  factory.Register(kXSLTValueOf, CreatorOf<KTValueOfExecutor>());
  factory.Register(kXSLTText, CreatorOf<KTTextExecutor>());
  factory.Register(kXSLTCopyOf, CreatorOf<KTCopyOfExecutor>());
  factory.Register(kXSLTNamespaceAlias, CreatorOf<KTNamespaceAliasExecutor>());
  factory.Register(kXSLTAttributeSet, CreatorOf<KTAttributeSetExecutor>());
  factory.Register(KTExecutorFactory::kUseAttributeSets, CreatorOf<KTUseAttributeSetsExecutor>());
  factory.Register(kXSLTCopy, CreatorOf<KTCopyExecutor>());
  factory.Register(kXSLTAttribute, CreatorOf<KTAttributeExecutor>());
  factory.Register(kXSLTElement, CreatorOf<KTElementExecutor>());
  factory.Register(kXSLTFallback, CreatorOf<KTFallbackExecutor>());
  factory.Register(KTExecutorFactory::kForwardsCompatible, CreatorOf<KTForwardsCompatibleExecutor>());
  factory.Register(kXSLTVariable, CreatorOf<KTVariableExecutor>());
  factory.Register(kXSLTParam, CreatorOf<KTParamExecutor>());
  factory.Register(kXSLTWithParam, CreatorOf<KTWithParamExecutor>());
  factory.Register(kXSLTCallTemplate, CreatorOf<KTCallTemplateExecutor>());
  factory.Register(kXSLTIf, CreatorOf<KTIfExecutor>());
  factory.Register(kXSLTChoose, CreatorOf<KTChooseExecutor>());
  factory.Register(kXSLTWhen, CreatorOf<KTWhenExecutor>());
  factory.Register(kXSLTOtherwise, CreatorOf<KTOtherwiseExecutor>());
  factory.Register(kXSLTForEach, CreatorOf<KTForEachExecutor>());
  factory.Register(kXSLTSort, CreatorOf<KTSortExecutor>());
  factory.Register(kXSLTComment, CreatorOf<KTCommentExecutor>());
  factory.Register(kXSLTProcessingInstruction, CreatorOf<KTProcessingInstructionExecutor>());
  factory.Register(kXSLTImport, CreatorOf<KTImportExecutor>());
  factory.Register(kXSLTApplyImports, CreatorOf<KTApplyImportsExecutor>());
}
