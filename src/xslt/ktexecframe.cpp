// KTExecFrame: construction from the processor or a parent frame, binding
// layers, and the frame step with the choice of executor.
#include "xslt/ktexecframe.h"

#include <string_view>

#include "xml/ktxpathnode.h"
#include "xslt/ktdeclrecord.h"
#include "xslt/ktinstructionexecutor.h"
#include "xslt/ktstylesheetcompiler.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltprocessor.h"

namespace {

const std::shared_ptr<const KTNamespaceSet>& EmptyNamespaceSet() {
  static const std::shared_ptr<const KTNamespaceSet> empty = std::make_shared<const KTNamespaceSet>();
  return empty;
}

// Whether the nearest ancestor that states a version (xsl:stylesheet's
// version, a literal result element's xsl:version) states one other than
// "1.0" (XSLT 1.0 §2.5). The stylesheet executor marks frames for the first
// case; a literal result element, and one used as the whole stylesheet,
// are found here. Only an unknown XSLT element asks, so the walk is rare.
bool IsForwardsCompatibleAt(const KTXPathNode* node, const KTXSLTElementRecognizer& recognizer) {
  for (const KTXPathNode* at = node->GetParent(); at; at = at->GetParent()) {
    if (at->GetKind() != kXPathElement) continue;
    bool xslt = recognizer.IsInXSLTNamespace(at);
    for (const auto& child : at->Children()) {
      if (child->GetKind() != kXPathAttribute) continue;
      std::u16string_view name(child->GetName());
      std::u16string_view local = name.substr(name.find(u':') == std::u16string_view::npos ? 0 : name.find(u':') + 1);
      if (local != u"version") continue;
      bool versionAttribute = xslt ? !child->GetNamespaceUri() : recognizer.IsInXSLTNamespace(child.get());
      if (versionAttribute) return std::u16string_view(child->GetValue()) != u"1.0";
    }
  }
  return false;
}

}  // namespace

KTExecFrame::KTExecFrame(KTXSLTProcessor* processor)
    : root_(this),
      ownedResultRoot_(std::make_unique<KTXPathNode>(nullptr, kXPathRoot)),
      processor_(processor),
      excluded_(EmptyNamespaceSet().get()),
      extension_(EmptyNamespaceSet().get()) {
  resultParent_ = ownedResultRoot_.get();
}

KTExecFrame::KTExecFrame(KTExecFrame* parent, KTXPathNode* resultParent)
    : parent_(parent),
      root_(parent->root_),
      currentTemplatePosition_(parent->currentTemplatePosition_),
      currentTemplate_(parent->currentTemplate_),
      invokedMode_(parent->invokedMode_),
      forwardsCompatible_(parent->forwardsCompatible_),
      list_(parent->list_),
      contextPosition_(parent->contextPosition_),
      resultParent_(resultParent),
      processor_(parent->processor_),
      variables_(parent->variables_),
      withParams_(parent->withParams_),
      parameters_(parent->parameters_),
      excluded_(parent->excluded_),
      extension_(parent->extension_) {}

KTExecFrame::~KTExecFrame() = default;

std::unique_ptr<KTXPathNode> KTExecFrame::ReleaseResultRoot() { return std::move(ownedResultRoot_); }

void KTExecFrame::AdvanceImportPrecedence() { processor_->AdvanceImportPrecedence(); }

// ---- Bindings ----

namespace {

KTBindingScope& TakeOver(KTBindingScopeRef& scope, bool& owns) {
  if (!owns) {
    // Layers come and go with the frames: each takes one pool block.
    scope = std::allocate_shared<KTBindingScope>(KTPoolAllocator<KTBindingScope>(), std::move(scope));
    owns = true;
  }
  return *scope;
}

}  // namespace

KTBindingScope& KTExecFrame::OwnVariables() { return TakeOver(variables_, ownsVariables_); }
KTBindingScope& KTExecFrame::OwnParameters() { return TakeOver(parameters_, ownsParameters_); }
KTBindingScope& KTExecFrame::OwnWithParams() { return TakeOver(withParams_, ownsWithParams_); }

void KTExecFrame::ShareVariables(KTBindingScopeRef scope) {
  variables_ = std::move(scope);
  ownsVariables_ = false;
}

void KTExecFrame::ShareParameters(KTBindingScopeRef scope) {
  parameters_ = std::move(scope);
  ownsParameters_ = false;
}

void KTExecFrame::ShareWithParams(KTBindingScopeRef scope) {
  withParams_ = std::move(scope);
  ownsWithParams_ = false;
}

void KTExecFrame::SetOwnWithParams(KTBindingScopeRef scope) {
  withParams_ = std::move(scope);
  ownsWithParams_ = withParams_ != nullptr;
}

const KTBindingRecord* KTExecFrame::FindBinding(const KTString& name) const {
  if (variables_)
    if (const KTBindingRecord* found = variables_->Find(name)) return found;
  if (parameters_)
    if (const KTBindingRecord* found = parameters_->Find(name)) return found;
  return nullptr;
}

// A set replaced here stays with the frame: child frames made before may
// still borrow it.
void KTExecFrame::SetExcludedNamespaces(KTNamespaceSet set) { excluded_ = &ownSets_.emplace_front(std::move(set)); }

void KTExecFrame::SetExtensionNamespaces(KTNamespaceSet set) { extension_ = &ownSets_.emplace_front(std::move(set)); }

// ---- Step ----

const KTDeclRecord* KTExecFrame::CreateExecutor() {
  if (!nodeToRun_) throw KTXSLTError(KTXSLTError::kUnexpectedFailure, nullptr);
  const KTExecutorFactory& factory = processor_->Executors();
  const KTDeclRecord* record = knownRecord_;
  int id = knownId_;
  if (id == kIdUnknown) {
    // ElementIdOf, with the compiler's index read inline.
    const KTStylesheetCompiler& compiler = processor_->Compiler();
    KTDeclRecord* found = nullptr;
    id = compiler.FindElementId(nodeToRun_, &found);
    record = found;
    if (!id) id = compiler.ElementRecognizer().ElementId(nodeToRun_);
  }
  int kind = -1;
  if (id != kXSLTNoElement && id != kXSLTLiteralResult && id != kXSLTParam && id != kXSLTVariable) {
    // An XSLT element id without an executor of its own (xsl:include,
    // xsl:preserve-space, xsl:strip-space) runs as a literal result element.
    kind = factory.Has(id) ? id : kXSLTLiteralResult;
  } else if (id == kXSLTVariable || id == kXSLTParam) {
    kind = id;
    // The record knows whether the declaration is top-level; a node without
    // one asks its parent's id.
    bool topLevel;
    if (record && record->elementId == kXSLTVariable) {
      topLevel = static_cast<const KTDeclVariable*>(record)->topLevel;
    } else if (record && record->elementId == kXSLTParam) {
      topLevel = static_cast<const KTDeclParam*>(record)->topLevel;
    } else {
      KTXPathNode* parent = nodeToRun_->GetParent();
      topLevel = parent && processor_->ElementIdOf(parent) == kXSLTStylesheet;
    }
    if (topLevel) processor_->SetTopLevelVariableFlag(true);
  } else {
    const KTXSLTElementRecognizer& recognizer = processor_->ElementRecognizer();
    KTXPathNode* owner = nodeToRun_->GetParent();
    const bool inXslt = recognizer.IsInXSLTNamespace(nodeToRun_);
    // Neither the node nor its owner in the XSLT namespace (a literal
    // attribute of a literal element, the common case): copied, whatever
    // its name, so the name is not looked up.
    const int attributeId =
        inXslt || (owner && recognizer.IsInXSLTNamespace(owner)) ? processor_->AttributeIdOf(nodeToRun_) : kAttrOther;
    // use-attribute-sets of an XSLT element, or xsl:use-attribute-sets of a
    // literal one; a literal attribute of that name is copied like any other.
    if (attributeId == kAttrUseAttributeSets && nodeToRun_->GetKind() == kXPathAttribute) {
      kind = KTExecutorFactory::kUseAttributeSets;
    } else if (attributeId != kAttrOther || !inXslt) {
      kind = kXSLTLiteralResult;
    } else {
      // An XSLT element this version does not know runs its fallback only in
      // forwards-compatible mode (XSLT 1.0 §2.5).
      bool forwards = (parent_ && parent_->forwardsCompatible_) || IsForwardsCompatibleAt(nodeToRun_, recognizer);
      if (!forwards) throw KTXSLTError(KTXSLTError::kUnexpectedElement, nullptr);
      kind = KTExecutorFactory::kForwardsCompatible;
    }
  }
  if (const KTExecutorFactory::Creator create = factory.CreatorFor(kind)) executor_ = create(processor_);
  // A node kind whose executor family is not part of the processor yet.
  if (!executor_) throw KTXSLTError(KTXSLTError::kUnexpectedFailure, nodeToRun_);
  executor_->SetResultParent(resultParent_);
  return record;
}

bool KTExecFrame::Step() {
  // Executors that clear their node to run keep the record they were given.
  // A new executor's node is the one it was made for, whose record the
  // making found.
  if (!executor_) {
    if (const KTDeclRecord* record = CreateExecutor()) executor_->SetDeclaration(record);
  } else if (nodeToRun_) {
    if (const KTDeclRecord* record = processor_->FindDeclaration(nodeToRun_)) executor_->SetDeclaration(record);
  }
  // The processor steps its top frame, this one: the executor starts or
  // continues without asking for the top frame again.
  bool done = processor_->TopLevelVariableFlag() ? executor_->ExecuteStepWithRecovery()
              : started_                         ? executor_->Continue()
                                                 : executor_->Start();
  if (!done) return false;
  resultParent_ = executor_->ResultParent();
  return true;
}

// ---- Evaluation ----

bool KTExecFrame::EvaluateExpression(KTXPathNode* stylesheetNode, const KTCompiledExpression& compiled,
                                     const KTXPathValue* nodeList, KTXPathValue* result, bool allowFragments) {
  return processor_->CompileExpression(compiled,
                                       {.stylesheetNode = stylesheetNode,
                                        .contextValue = nodeList,
                                        .position = contextPosition_,
                                        .variables = this,
                                        .allowFragment = allowFragments},
                                       result);
}

bool KTExecFrame::SelectNodeList(KTXPathNode* stylesheetNode, const KTCompiledExpression& select,
                                 bool allowFragments) {
  KTXPathValue selected;
  if (!EvaluateExpression(stylesheetNode, select, list_, &selected, allowFragments)) return false;
  SetNodeList(std::move(selected));
  contextPosition_ = nodeList_.ItemCount() > 0 ? 1 : 0;
  return true;
}
