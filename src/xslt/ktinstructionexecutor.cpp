// KTInstructionExecutor: step dispatch, the default Continue, recovery from
// forward references among top-level variables, and the small walks and
// accessors that the executors share.
#include "xslt/ktinstructionexecutor.h"

#include "xml/ktxpathtreecontext.h"
#include "xpath/ktxpathfunctionlibrary.h"
#include "xslt/ktdeclrecord.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltnames.h"
#include "xslt/ktxsltprocessor.h"

namespace {

bool IsCommentPIOrNamespace(const KTXPathNode* node) {
  int kind = node->GetKind();
  return kind == kXPathComment || kind == kXPathPI || kind == kXPathNamespace;
}

}  // namespace

const KTString* KTInstructionExecutor::DeclaredName(const KTDeclRecord* record) {
  if (!record) return nullptr;
  if (record->elementId == kXSLTVariable) return &static_cast<const KTDeclVariable*>(record)->name;
  if (record->elementId == kXSLTParam) return &static_cast<const KTDeclParam*>(record)->name;
  return nullptr;
}

KTInstructionExecutor::KTInstructionExecutor(KTXSLTProcessor* processor, int elementId)
    : processor_(processor), elementId_(elementId) {}

KTInstructionExecutor::~KTInstructionExecutor() = default;

KTExecFrame* KTInstructionExecutor::TopFrame() const { return processor_->TopFrame(); }

bool KTInstructionExecutor::Continue() { return DefaultContinue(); }

bool KTInstructionExecutor::ExecuteStep() {
  KTExecFrame* top = TopFrame();
  return top && top->IsStarted() ? Continue() : Start();
}

bool KTInstructionExecutor::DefaultContinue() {
  KTExecFrame* finished = processor_->PopFrame();
  KTExecFrame* top = TopFrame();
  if (finished && top) top->SetLastFinished(finished->OwnNode());
  return true;
}

bool KTInstructionExecutor::ExecuteStepWithRecovery() {
  try {
    return ExecuteStep();
  } catch (const KTXSLTError& error) {
    if (error.GetCode() != KTXSLTError::kXPathError || error.GetXPathErrorKind() != kXPathErrInvalidVariable) throw;
    if (!RecoverFromForwardReference()) throw;
    return true;
  }
}

// A top-level declaration referred to a variable that has not been evaluated
// yet: evaluate that one first, then the interrupted one from its start.
bool KTInstructionExecutor::RecoverFromForwardReference() {
  KTString missing = processor_->UnknownVariableName();
  KTXPathNode* declaration = nullptr;
  while (KTExecFrame* frame = TopFrame()) {
    processor_->PopFrame();
    KTInstructionExecutor* executor = frame->Executor();
    if (!executor) continue;
    int id = executor->GetElementId();
    if (id != kXSLTVariable && id != kXSLTParam) continue;
    KTXPathNode* node = frame->NodeToRun() ? frame->NodeToRun() : frame->OwnNode();
    KTXPathNode* parent = node ? node->GetParent() : nullptr;
    const KTDeclRecord* parentRecord = parent ? processor_->FindDeclaration(parent) : nullptr;
    if (parentRecord && parentRecord->elementId == kXSLTStylesheet) {
      declaration = node;
      break;
    }
  }
  if (!declaration) return false;

  // The interrupted declaration stays on the in-evaluation stack until the
  // frame pushed here evaluates it again: meeting it before then means the
  // declarations refer to each other (error 50), where dropping it would
  // let the two restart each other without end.
  KTExecFrame* top = TopFrame();
  if (!top) return false;
  auto again = std::make_unique<KTExecFrame>(top, resultParent_);
  again->SetNodeToRun(declaration);
  KTExecFrame* againFrame = again.get();
  processor_->PushFrame(std::move(again));
  processor_->RestartFrames()[declaration] = againFrame;

  // The first top-level declaration of the missing name, through an index
  // of the stylesheet's declarations made at its first recovery: a chain of
  // forward references then costs one walk of the top level, not one each.
  auto findIn = [&](KTXPathNode* stylesheet) -> KTXPathNode* {
    auto [entry, made] = processor_->TopLevelDeclarations().try_emplace(stylesheet);
    KTXSLTProcessor::DeclarationsByName& byName = entry->second;
    if (made) {
      for (const auto& child : stylesheet->Children()) {
        int kind = child->GetKind();
        if (kind == kXPathAttribute || kind == kXPathNamespace || kind == kXPathPI || kind == kXPathComment) continue;
        if (const KTString* name = DeclaredName(processor_->FindDeclaration(child.get())))
          byName.try_emplace(*name, child.get());
      }
    }
    auto found = byName.find(missing);
    return found == byName.end() ? nullptr : found->second;
  };
  KTXPathNode* stylesheet = declaration->GetParent();
  // Once every module is in, the name's winning declaration is known.
  KTXPathNode* target = processor_->DeferringGlobals() ? findIn(stylesheet) : processor_->GlobalWinner(missing);
  if (!target && processor_->DeferringGlobals()) {
    // Top-level bindings are visible in every module (XSLT 1.0 §11.4): a
    // module being imported may refer to a variable that only a module
    // importing it declares, whose declarations run after the import. The
    // importing modules are the stylesheet elements among the frames below;
    // the outermost has the highest import precedence.
    std::vector<KTXPathNode*> importers;
    for (KTExecFrame* below = againFrame->Parent(); below; below = below->Parent()) {
      KTXPathNode* node = below->OwnNode() ? below->OwnNode() : below->NodeToRun();
      const KTDeclRecord* record = node && node != stylesheet ? processor_->FindDeclaration(node) : nullptr;
      if (record && record->elementId == kXSLTStylesheet) importers.push_back(node);
    }
    for (auto importer = importers.rbegin(); importer != importers.rend() && !target; ++importer)
      target = findIn(*importer);
  }
  if (!target) return false;
  auto first = std::make_unique<KTExecFrame>(againFrame, resultParent_);
  first->SetNodeToRun(target);
  processor_->PushFrame(std::move(first));
  return true;
}

bool KTInstructionExecutor::EvaluateTest(KTXPathNode* stylesheetNode, const KTXPathValue* nodeList, int position,
                                         const KTCompiledExpression& test, KTExecFrame* frame) {
  KTXPathValue result;
  processor_->CompileExpression(test,
                                {.stylesheetNode = stylesheetNode,
                                 .contextValue = nodeList,
                                 .position = position,
                                 .variables = frame,
                                 .allowFragment = true},
                                &result);
  return result.GetKind() == kValueBoolean ? result.GetBoolean() : KTXPathFunctionLibrary::ToBoolean(result);
}

// ---- Walks over stylesheet nodes ----

bool KTInstructionExecutor::IsAncestor(const KTXPathNode* a, const KTXPathNode* b) {
  if (!b) return false;
  for (const KTXPathNode* n = b->GetParent(); n; n = n->GetParent())
    if (n == a) return true;
  return false;
}

KTXPathNode* KTInstructionExecutor::NextInstructionSibling(const KTXPathNode* node) {
  if (!node || !node->GetParent()) return nullptr;
  for (KTXPathNode* next = node->GetNextSibling(); next; next = next->GetNextSibling())
    if (!IsCommentPIOrNamespace(next)) return next;
  return nullptr;
}

int KTInstructionExecutor::FirstInstructionChild(const KTXPathNode* node, int from) {
  int count = node->GetChildCount();
  for (int i = from; i < count; ++i)
    if (!IsCommentPIOrNamespace(node->GetChild(i))) return i;
  return count;
}

int KTInstructionExecutor::NextChoiceChild(const KTXPathNode* parent, int index) {
  int count = parent->GetChildCount();
  for (int i = index + 1; i < count; ++i) {
    int kind = parent->GetChild(i)->GetKind();
    if (kind != kXPathComment && kind != kXPathPI) return i;
  }
  return count;
}

// ---- Namespaces, messages and processor state ----

const KTString* KTInstructionExecutor::XsltNamespaceUri() {
  if (!xsltNamespace_ && processor_->TreeContext())
    xsltNamespace_ = processor_->TreeContext()->InternUri(kXSLTNamespaceUri);
  return xsltNamespace_;
}

const KTString* KTInstructionExecutor::XmlNamespaceUri() {
  KTXPathTreeContext* context = processor_->TreeContext();
  if (!xmlNamespace_ && context && !context->GetUriTable().empty())
    xmlNamespace_ = context->GetUriTable().front().get();
  return xmlNamespace_;
}

void KTInstructionExecutor::SetMessage(const char16_t* text, bool terminate, KTXPathNode* instruction) {
  processor_->SetMessage(text, terminate, instruction);
}

KTOutputSettings& KTInstructionExecutor::OutputSettings() { return processor_->OutputSettings(); }

int KTInstructionExecutor::NextGeneratedPrefixNumber() { return processor_->NextGeneratedPrefixNumber(); }

std::vector<std::unique_ptr<KTString>>& KTInstructionExecutor::NamespaceUriStrings() {
  return processor_->OwnedStrings();
}

const KTPrefixMap* KTInstructionExecutor::NamespaceMapOf(const KTXPathNode* node) {
  return KTXPathNode::GetNodeNamespaceMap(node);
}

std::map<KTString, KTXPathNode*>& KTInstructionExecutor::VariableOwners() { return processor_->VariableOwners(); }

std::map<KTString, KTXPathNode*>& KTInstructionExecutor::ParameterOwners() {
  return processor_->ParameterOwners();
}

void KTInstructionExecutor::AddNamespaceAlias(const char16_t* key, const char16_t* value) {
  processor_->AddNamespaceAlias(key, value);
  // Both prefixes are resolved where the xsl:namespace-alias element stands
  // (the top frame's own node); the empty prefix is its default namespace,
  // or no namespace. A stylesheet prefix bound to nothing aliases nothing.
  KTExecFrame* frame = TopFrame();
  const KTXPathNode* at = frame ? frame->OwnNode() : nullptr;
  const KTPrefixMap* scope = at ? KTXPathNode::GetNodeNamespaceMap(at) : nullptr;
  auto lookup = [scope](std::u16string_view prefix, bool& bound) -> const KTString* {
    bound = false;
    if (!scope) return nullptr;
    auto found = scope->find(prefix);
    if (found == scope->end()) return nullptr;
    bound = true;
    return found->second;
  };
  std::u16string_view stylesheetPrefix = key ? std::u16string_view(key) : std::u16string_view();
  std::u16string_view resultPrefix = value ? std::u16string_view(value) : std::u16string_view();
  if (resultPrefix == u"#default") resultPrefix = std::u16string_view();
  bool bound = false;
  const KTString* stylesheetUri = lookup(stylesheetPrefix, bound);
  if (!bound && !stylesheetPrefix.empty()) return;
  const KTString* resultUri = lookup(resultPrefix, bound);
  if (resultUri && resultUri->IsEmpty()) resultUri = nullptr;
  processor_->AddNamespaceAliasUri(stylesheetUri ? *stylesheetUri : KTString(), KTString(resultPrefix), resultUri);
}

bool KTInstructionExecutor::IsNCName(const char16_t* text) { return ::IsNCName(text); }
bool KTInstructionExecutor::IsQName(const char16_t* text) { return ::IsQName(text); }
bool KTInstructionExecutor::IsNotXmlName(const char16_t* text) { return ::IsNotXmlName(text); }
