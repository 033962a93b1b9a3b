// xsl:namespace-alias, xsl:attribute-set, use-attribute-sets, xsl:fallback
// and the executor of unknown XSLT elements in forwards-compatible mode.
#include "xslt/ktdeclarationexecutors.h"

#include <memory>
#include <string_view>

#include "xml/ktxpathnode.h"
#include "xslt/ktdeclrecord.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktvariableexecutors.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltkeywords.h"
#include "xslt/ktxsltprocessor.h"

namespace {

constexpr int kUndefinedPrefix = KTXSLTError::kUndefinedPrefix;

// The attribute of `element` with this name in no namespace, or null.
KTXPathNode* PlainAttribute(const KTXPathNode* element, std::u16string_view name) {
  for (const auto& child : element->Children()) {
    if (child->GetKind() != kXPathAttribute) continue;
    if (!child->GetNamespaceUri() && std::u16string_view(child->GetName()) == name) return child.get();
  }
  return nullptr;
}

}  // namespace

// ---- xsl:namespace-alias ----

KTNamespaceAliasExecutor::KTNamespaceAliasExecutor(KTXSLTProcessor* processor)
    : KTInstructionExecutor(processor, kXSLTNamespaceAlias) {}

bool KTNamespaceAliasExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  KTXPathNode* node = KTOpenFrame(frame);
  if (!declaration_ || declaration_->elementId != kXSLTNamespaceAlias)
    throw KTXSLTError(KTXSLTError::kUnexpectedFailure, node);
  const auto* record = static_cast<const KTDeclNamespaceAlias*>(declaration_);
  // "#default" is the empty prefix on both sides (the compiler replaced it).
  AddNamespaceAlias(record->stylesheetPrefix.c_str(), record->resultPrefix.c_str());
  KTEndStart(frame);
  return true;
}

// ---- xsl:attribute-set ----

KTAttributeSetExecutor::KTAttributeSetExecutor(KTXSLTProcessor* processor)
    : KTInstructionExecutor(processor, kXSLTAttributeSet) {}

KTString KTAttributeSetExecutor::ExpandSetName(std::u16string_view name, const KTPrefixMap* scope,
                                               KTXPathNode* errorNode) {
  size_t colon = name.find(u':');
  if (colon == std::u16string_view::npos) return KTString(name);
  std::u16string_view prefix = name.substr(0, colon);
  const KTString* uri = nullptr;
  if (scope) {
    auto found = scope->find(prefix);
    if (found != scope->end()) uri = found->second;
  }
  if (!uri || uri->IsEmpty()) throw KTXSLTError::About(kUndefinedPrefix, errorNode);
  KTString expanded(*uri);
  expanded += u':';
  expanded += KTString(name.substr(colon + 1));
  return expanded;
}

void KTAttributeSetExecutor::Register(KTXSLTProcessor* processor, KTXPathNode* set) {
  const KTDeclRecord* record = processor->FindDeclaration(set);
  if (!record || record->elementId != kXSLTAttributeSet) throw KTXSLTError(KTXSLTError::kUnexpectedFailure, set);
  KTXPathNode* nameNode = PlainAttribute(set, u"name");
  processor->AddAttributeSet(ExpandSetName(static_cast<const KTDeclAttributeSet*>(record)->name.View(),
                                           KTXPathNode::GetNodeNamespaceMap(set), nameNode ? nameNode : set),
                             set);
}

bool KTAttributeSetExecutor::Start() {
  // Registered with the stylesheet's templates (Register); a use runs the
  // set's xsl:attribute instructions, flattened by KTAttributeSets.
  KTExecFrame* frame = TopFrame();
  KTOpenFrame(frame);
  KTEndStart(frame);
  return true;
}

bool KTAttributeSetExecutor::Continue() { return DefaultContinue(); }

// ---- use-attribute-sets ----

KTUseAttributeSetsExecutor::KTUseAttributeSetsExecutor(KTXSLTProcessor* processor)
    : KTInstructionExecutor(processor, kXSLTNoElement) {}

void KTUseAttributeSetsExecutor::PushInstruction(KTExecFrame* frame) {
  KTExecFrame* pushed = KTPushChildFrame(processor_, frame, resultParent_, instructions_[cursor_]);
  // An attribute set sees the top-level variables and parameters only, never
  // those of the template that uses it (XSLT 1.0 §7.1.4).
  pushed->ShareVariables(nullptr);
  pushed->ShareParameters(nullptr);
  pushed->ShareWithParams(nullptr);
}

bool KTUseAttributeSetsExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  KTXPathNode* attribute = KTOpenFrame(frame);
  // A copy: a set declared while these run would rework the processor's.
  instructions_ = processor_->AttributeSets().Instructions(attribute, *processor_);
  cursor_ = 0;
  if (!instructions_.empty()) PushInstruction(frame);
  KTEndStart(frame);
  return true;
}

bool KTUseAttributeSetsExecutor::Continue() {
  if (++cursor_ >= instructions_.size()) return DefaultContinue();
  PushInstruction(TopFrame());
  return true;
}

// ---- xsl:fallback ----

KTFallbackExecutor::KTFallbackExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor, kXSLTFallback) {}

bool KTFallbackExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  KTXPathNode* node = KTOpenFrame(frame);
  // "Normally, instantiating an xsl:fallback element does nothing" (XSLT 1.0
  // §15): its content runs only for an element performing fallback.
  KTExecFrame* parent = frame->Parent();
  KTInstructionExecutor* owner = parent ? parent->Executor() : nullptr;
  bool performing = owner && owner->PerformsFallback();
  if (KTXPathNode* first = performing ? KTFirstContentChild(node) : nullptr)
    KTPushChildFrame(processor_, frame, resultParent_, first);
  KTEndStart(frame);
  return true;
}

bool KTFallbackExecutor::Continue() {
  KTExecFrame* frame = TopFrame();
  if (KTXPathNode* current = frame->CurrentChild()) {
    if (KTXPathNode* next = NextInstructionSibling(current)) {
      KTPushChildFrame(processor_, frame, resultParent_, next);
      return true;
    }
    frame->SetCurrentChild(nullptr);
  }
  return DefaultContinue();
}

// ---- Unknown XSLT elements in forwards-compatible mode ----

KTForwardsCompatibleExecutor::KTForwardsCompatibleExecutor(KTXSLTProcessor* processor)
    : KTInstructionExecutor(processor, kElementId) {}

bool KTForwardsCompatibleExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  KTXPathNode* node = KTOpenFrame(frame);
  // An unknown top-level element is ignored altogether (XSLT 1.0 §2.5);
  // xsl:fallback stands for instructions only.
  KTXPathNode* parent = node->GetParent();
  bool topLevel = parent && processor_->ElementIdOf(parent) == kXSLTStylesheet;
  const KTXSLTElementRecognizer& recognizer = processor_->ElementRecognizer();
  if (!topLevel) {
    KTXPathNode* fallback = nullptr;
    for (KTXPathNode* child = KTFirstContentChild(node); child && !fallback; child = NextInstructionSibling(child))
      if (recognizer.IsXSLFallback(child)) fallback = child;
    // XSLT 1.0 §2.5: without an xsl:fallback child, instantiating an
    // element this version does not know is an error.
    if (!fallback) {
      KTXSLTError error(KTXSLTError::kUnexpectedElement, node);
      error.SetMessageText(KTString(u"Unknown XSLT instruction ") + node->GetName() +
                           u" (forwards-compatible mode) has no xsl:fallback child");
      throw error;
    }
    KTPushChildFrame(processor_, frame, resultParent_, fallback);
  }
  KTEndStart(frame);
  return true;
}

bool KTForwardsCompatibleExecutor::Continue() {
  KTExecFrame* frame = TopFrame();
  if (KTXPathNode* current = frame->CurrentChild()) {
    const KTXSLTElementRecognizer& recognizer = processor_->ElementRecognizer();
    for (KTXPathNode* next = NextInstructionSibling(current); next; next = NextInstructionSibling(next)) {
      if (recognizer.IsXSLFallback(next)) {
        KTPushChildFrame(processor_, frame, resultParent_, next);
        return true;
      }
    }
    frame->SetCurrentChild(nullptr);
  }
  return DefaultContinue();
}
