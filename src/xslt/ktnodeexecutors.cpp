// xsl:copy, xsl:attribute and xsl:element.
#include "xslt/ktnodeexecutors.h"

#include <string_view>

#include "xml/ktxpathnode.h"
#include "xml/ktxpathtreecontext.h"
#include "xslt/ktdeclrecord.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktvariableexecutors.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltkeywords.h"
#include "xslt/ktxsltnames.h"
#include "xslt/ktxsltprocessor.h"

namespace {

// An error at the name attribute of xsl:element or xsl:attribute, naming
// the name it computed (the attribute may be a template).
KTXSLTError ComputedNameError(int code, KTXPathNode* nameNode, const KTString& computed) {
  KTXSLTError error(code, nameNode);
  KTString subject(u"\"");
  subject += computed;
  subject += u'"';
  error.SetSubject(subject);
  return error;
}

constexpr int kUndefinedPrefix = KTXSLTError::kUndefinedPrefix;
constexpr int kUnexpectedValue = KTXSLTError::kUnexpectedValue;
constexpr int kNotQName = KTXSLTError::kNotQName;
constexpr std::u16string_view kXmlPrefix = u"xml";
constexpr std::u16string_view kXmlnsPrefix = u"xmlns";

KTString Joined(std::u16string_view prefix, std::u16string_view local) {
  if (prefix.empty()) return KTString(local);
  KTString name(prefix);
  name += u':';
  name += KTString(local);
  return name;
}

template <class T>
const T* RecordOf(const KTDeclRecord* record, int id, KTXPathNode* node) {
  if (!record || record->elementId != id) throw KTXSLTError(KTXSLTError::kUnexpectedFailure, node);
  return static_cast<const T*>(record);
}

// The URI a prefix map binds the prefix to; `bound` tells a missing prefix
// from one bound to no URI.
const KTString* Lookup(const KTPrefixMap* map, std::u16string_view prefix, bool* bound) {
  *bound = false;
  if (!map) return nullptr;
  auto found = map->find(prefix);
  if (found == map->end()) return nullptr;
  *bound = true;
  return found->second;
}

// The node of the current node list at the frame's position, or null.
KTXPathNode* CurrentNode(const KTExecFrame* frame) {
  const KTXPathValue& list = frame->NodeList();
  int position = frame->ContextPosition();
  if (list.GetKind() != kValueNodeSet || position < 1 || position > list.ItemCount()) return nullptr;
  return list.Items()[position - 1].GetNode();
}

}  // namespace

// A URI computed at run time, kept for the rest of the run: the tree
// context's interned string, so that every use of one URI shares it.
static const KTString* KeepUri(KTInstructionExecutor& executor, const KTString& uri) {
  if (KTXPathTreeContext* context = executor.GetProcessor()->TreeContext()) return context->InternUri(uri.c_str());
  auto& strings = executor.NamespaceUriStrings();
  strings.push_back(std::make_unique<KTString>(uri));
  return strings.back().get();
}

// ---- Computed names (xsl:attribute, xsl:element) ----

namespace {

struct ComputedName {
  KTString name;
  const KTString* uri = nullptr;
};

struct ComputedNameRequest {
  KTXPathNode* instruction;      // the xsl:attribute or xsl:element
  KTXPathNode* nameNode;         // its name attribute, where errors point
  const KTString& qname;         // the QName the name attribute computed
  const KTString* namespaceUri;  // what the namespace attribute computed; null without one
  bool forAttribute;
};

// The expanded name the instruction gives its node (XSLT 1.0 §7.1.2,
// §7.1.3): the URI of the namespace attribute when there is one, else the
// binding of the QName's prefix where the instruction stands. A name that
// cannot keep its prefix is renamed here; the result-tree operations then
// declare what the name needs.
ComputedName ExpandComputedName(KTInstructionExecutor& executor, const ComputedNameRequest& request) {
  std::u16string_view prefix = QNamePrefix(request.qname.View());
  std::u16string_view local = QNameLocalPart(request.qname.View());
  ComputedName result{request.qname};
  if (const KTString* namespaceUri = request.namespaceUri) {
    if (namespaceUri->IsEmpty()) {
      // No namespace: the name cannot keep a prefix (for an attribute,
      // XSLT 1.0 §7.1.3).
      result.name = KTString(local);
      return result;
    }
    result.uri = KeepUri(executor, *namespaceUri);
    const KTString* xmlUri = executor.XmlNamespaceUri();
    bool isXmlUri = xmlUri && *xmlUri == *namespaceUri;
    if (request.forAttribute) {
      // "xmlns" is no prefix for an attribute, "xml" only for its own
      // namespace, which keeps that prefix: the result-tree operations give
      // such a name a generated prefix.
      if (isXmlUri) result.name = Joined(kXmlPrefix, local);
      else if (prefix == kXmlnsPrefix || prefix == kXmlPrefix) result.name = KTString(local);
    } else if (prefix == kXmlnsPrefix || (prefix == kXmlPrefix && !isXmlUri)) {
      // A reserved prefix is replaced by "ns_1", which the result-tree
      // operations declare on the element (hiding any outer binding of it).
      result.name = Joined(u"ns_1", local);
    }
    return result;
  }
  if (prefix == kXmlPrefix) {
    result.uri = executor.XmlNamespaceUri();
    return result;
  }
  // An unprefixed attribute is in no namespace; an element's QName expands
  // with the declarations in scope at the instruction, the default
  // namespace included (XSLT 1.0 §7.1.2).
  if (request.forAttribute && prefix.empty()) return result;
  const KTPrefixMap* scope = request.forAttribute ? KTXPathNode::GetNodeNamespaceMap(request.instruction)
                                                  : request.instruction->GetElementNamespaceMap();
  bool bound = false;
  const KTString* uri = Lookup(scope, prefix, &bound);
  if (!prefix.empty() && (!uri || uri->IsEmpty()))
    throw ComputedNameError(kUndefinedPrefix, request.nameNode, request.qname);
  result.uri = uri && !uri->IsEmpty() ? uri : nullptr;
  return result;
}

}  // namespace

// ---- xsl:copy ----

KTCopyExecutor::KTCopyExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor, kXSLTCopy) {}

void KTCopyExecutor::CopyNamespaceNode(const KTXPathNode* source) {
  KTXPathNode* element = resultParent_;
  if (!element || element->GetKind() != kXPathElement) return;
  // A namespace node of the source view is named by its prefix; one of a
  // result tree by its declaration's name.
  std::u16string_view name(source->GetName());
  std::u16string_view prefix = name;
  if (source->GetIndexInParent() >= 0 || !source->GetParent()) {
    if (name == kXmlnsPrefix) prefix = std::u16string_view();
    else if (name.substr(0, 6) == u"xmlns:") prefix = name.substr(6);
  }
  if (prefix == kXmlPrefix) return;
  KTString value(source->GetValue());
  // A declaration may not change what the element's own name means: a
  // default namespace only for an unprefixed name in that namespace, the
  // element's prefix only for its own URI.
  std::u16string_view elementName(element->GetName());
  if (QNamePrefix(elementName) == prefix) {
    const KTString* own = element->GetNamespaceUri();
    if ((own ? own->View() : std::u16string_view()) != value.View()) return;
  }
  KTString declaration = prefix.empty() ? KTString(kXmlnsPrefix) : Joined(kXmlnsPrefix, prefix);
  // Namespace nodes go before content, once per prefix.
  for (const auto& child : element->Children()) {
    int kind = child->GetKind();
    if (kind != kXPathAttribute && kind != kXPathNamespace) break;
    if (kind == kXPathNamespace && declaration == child->GetName()) return;
  }
  auto node = std::make_unique<KTXPathNode>(nullptr, kXPathNamespace);
  node->SetName(declaration.c_str());
  node->SetValue(value.c_str());
  const KTString* uri = KeepUri(*this, value);
  try {
    element->AppendChild(std::move(node));
  } catch (const KTXTreeException& error) {
    if (error.GetCode() != KTXSLTError::kXPathError) throw;
    return;
  }
  // The element's scope now binds the prefix.
  KTPrefixMapRef elementMap = element->InheritedElementMap();
  KTPrefixMapRef attributeMap = element->InheritedAttributeMap();
  auto newElement = elementMap ? std::make_shared<KTPrefixMap>(*elementMap) : std::make_shared<KTPrefixMap>();
  auto newAttribute = attributeMap ? std::make_shared<KTPrefixMap>(*attributeMap) : std::make_shared<KTPrefixMap>();
  (*newElement)[KTString(prefix)] = uri;
  if (!prefix.empty()) (*newAttribute)[KTString(prefix)] = uri;
  element->SetMaps(std::move(newElement), std::move(newAttribute));
}

bool KTCopyExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  KTXPathNode* own = KTOpenFrame(frame);
  const auto* record = RecordOf<KTDeclCopy>(declaration_, kXSLTCopy, own);
  KTXPathNode* current = CurrentNode(frame);
  int kind = current ? current->GetKind() : -1;
  // The content makes attributes and children, so it runs only for the
  // root and for elements (XSLT 1.0 §7.5); other nodes are copied alone.
  bool runContent = false;
  if (kind == kXPathRoot) {
    runContent = true;
  } else if (kind == kXPathElement) {
    runContent = MakeLiteralResultCopy(current, true, frame, false) != nullptr && resultMadeCurrent_;
    if (runContent && record->useAttributeSetsNode) {
      KTPushChildFrame(processor_, frame, resultParent_, record->useAttributeSetsNode);
      attributeSetsRunning_ = true;
      runContent = false;
    }
  } else if (kind == kXPathNamespace) {
    CopyNamespaceNode(current);
  } else if (current) {
    const char16_t* why = kind == kXPathAttribute ? AttributePlacementProblem(resultParent_) : nullptr;
    if (!MakeLiteralResultCopy(current, false, frame, false) && why)
      WarnAttributeIgnored(own, u"xsl:copy of the attribute", current->GetName(), why);
  }
  if (runContent)
    if (KTXPathNode* first = KTFirstContentChild(own)) KTPushChildFrame(processor_, frame, resultParent_, first);
  KTEndStart(frame);
  return true;
}

bool KTCopyExecutor::Continue() {
  KTExecFrame* frame = TopFrame();
  if (KTXPathNode* current = frame->CurrentChild()) {
    KTXPathNode* next = nullptr;
    if (attributeSetsRunning_) {
      attributeSetsRunning_ = false;
      next = KTFirstContentChild(frame->OwnNode());
    } else {
      next = NextInstructionSibling(current);
    }
    frame->SetCurrentChild(next);
    if (next) {
      KTPushChildFrame(processor_, frame, resultParent_, next);
      return true;
    }
  }
  return Finish();
}

bool KTCopyExecutor::Finish() {
  if (resultMadeCurrent_) {
    resultParent_ = resultParent_->GetParent();
    resultMadeCurrent_ = false;
  }
  return DefaultContinue();
}

// ---- xsl:attribute ----

KTAttributeExecutor::KTAttributeExecutor(KTXSLTProcessor* processor)
    : KTInstructionExecutor(processor, kXSLTAttribute) {}

bool KTAttributeExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  KTXPathNode* own = KTOpenFrame(frame);
  const auto* record = RecordOf<KTDeclAttribute>(declaration_, kXSLTAttribute, own);
  EvaluateAttributeValueTemplate(name_, record->nameNode, record->name, frame);
  if (name_.IsEmpty() || !IsQName(name_.c_str())) throw ComputedNameError(kNotQName, record->nameNode, name_);
  if (name_ == u"xmlns") {
    // XSLT 1.0 §7.1.3 lets the processor recover by adding nothing.
    WarnAttributeIgnored(own, u"xsl:attribute named", name_.View(), u"xmlns is not an attribute name");
    KTEndStart(frame);
    return true;
  }
  if (record->namespaceNode)
    EvaluateAttributeValueTemplate(namespace_, record->namespaceNode, record->namespaceTemplate, frame);

  const auto [name, uri] =
      ExpandComputedName(*this, {own, record->nameNode, name_, record->namespaceNode ? &namespace_ : nullptr, true});

  // Attributes go on an element before any of its content; elsewhere the
  // instruction is ignored with a warning (XSLT 1.0 §7.1.3 allows this
  // recovery).
  KTXPathNode* parent = resultParent_;
  if (const char16_t* why = AttributePlacementProblem(parent)) {
    WarnAttributeIgnored(own, u"xsl:attribute named", name_.View(), why);
    KTEndStart(frame);
    return true;
  }

  auto attribute = std::make_unique<KTXPathNode>(nullptr, kXPathAttribute);
  attribute->SetName(name.c_str());
  attribute->SetNamespaceUri(uri);
  attribute->SetValue(u"");
  attribute_ = AppendComputedNode(std::move(attribute), true, true);
  // The content is built in a scratch tree, not in the attribute.
  resultParent_ = parent;
  resultMadeCurrent_ = false;

  if (KTXPathNode* first = KTFirstContentChild(own)) {
    scratchRoot_ = std::make_unique<KTXPathNode>(nullptr, kXPathRoot);
    KTPushChildFrame(processor_, frame, scratchRoot_.get(), first);
  }
  KTEndStart(frame);
  return true;
}

bool KTAttributeExecutor::Continue() {
  KTExecFrame* frame = TopFrame();
  if (scratchRoot_) {
    if (frame->CurrentChild() && KTPushNextInstruction(processor_, frame, scratchRoot_.get())) return true;
    // The value: the text the content made, in order; other nodes add
    // nothing (XSLT 1.0 §7.1.3 lets the processor ignore them).
    KTString value;
    bool otherNodes = false;
    for (const auto& child : scratchRoot_->Children()) {
      if (child->GetKind() == kXPathText) value += KTString(child->GetValue());
      else otherNodes = true;
    }
    if (otherNodes)
      processor_->Warn(frame->OwnNode(), KTString(u"xsl:attribute named \"") + name_ +
                                             u"\": the nodes other than text that its content made are ignored");
    if (attribute_) attribute_->SetValue(std::move(value));
    frame->SetCurrentChild(nullptr);
  }
  return Finish();
}

bool KTAttributeExecutor::Finish() {
  scratchRoot_.reset();
  return DefaultContinue();
}

// ---- xsl:element ----

KTElementExecutor::KTElementExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor, kXSLTElement) {}

bool KTElementExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  KTXPathNode* own = KTOpenFrame(frame);
  const auto* record = RecordOf<KTDeclElement>(declaration_, kXSLTElement, own);
  EvaluateAttributeValueTemplate(name_, record->nameNode, record->name, frame);
  if (name_.IsEmpty() || !IsQName(name_.c_str())) throw ComputedNameError(kNotQName, record->nameNode, name_);
  if (name_ == u"xmlns") throw ComputedNameError(kUnexpectedValue, record->nameNode, name_);
  if (record->namespaceNode)
    EvaluateAttributeValueTemplate(namespace_, record->namespaceNode, record->namespaceTemplate, frame);

  const auto [name, uri] =
      ExpandComputedName(*this, {own, record->nameNode, name_, record->namespaceNode ? &namespace_ : nullptr, false});

  auto element = std::make_unique<KTXPathNode>(nullptr, kXPathElement);
  element->SetName(name.c_str());
  element->SetNamespaceUri(uri);
  // The element starts with its parent's scope; the result-tree operations
  // declare what its name needs.
  KTPrefixMapRef elementMap = resultParent_->InheritedElementMap();
  KTPrefixMapRef attributeMap = resultParent_->InheritedAttributeMap();
  element->SetMaps(elementMap ? elementMap : std::make_shared<KTPrefixMap>(),
                   attributeMap ? attributeMap : std::make_shared<KTPrefixMap>());
  AppendComputedNode(std::move(element), true, false);

  if (KTXPathNode* sets = FindChildByName(own, u"use-attribute-sets", nullptr)) {
    KTPushChildFrame(processor_, frame, resultParent_, sets);
    attributeSetsPending_ = true;
  } else if (KTXPathNode* first = KTFirstContentChild(own)) {
    KTPushChildFrame(processor_, frame, resultParent_, first);
  }
  KTEndStart(frame);
  return true;
}

bool KTElementExecutor::Continue() {
  KTExecFrame* frame = TopFrame();
  if (attributeSetsPending_) {
    attributeSetsPending_ = false;
    KTXPathNode* first = KTFirstContentChild(frame->OwnNode());
    frame->SetCurrentChild(first);
    if (!first) return Finish();
    KTPushChildFrame(processor_, frame, resultParent_, first);
    return true;
  }
  if (KTXPathNode* current = frame->CurrentChild()) {
    KTXPathNode* next = NextInstructionSibling(current);
    frame->SetCurrentChild(next);
    if (next) {
      KTPushChildFrame(processor_, frame, resultParent_, next);
      return true;
    }
  }
  return Finish();
}

bool KTElementExecutor::Finish() {
  if (resultMadeCurrent_) {
    resultParent_ = resultParent_->GetParent();
    resultMadeCurrent_ = false;
  }
  return DefaultContinue();
}
