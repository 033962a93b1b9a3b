// xsl:value-of, xsl:text, literal result nodes and xsl:copy-of.
#include "xslt/ktresultexecutors.h"

#include <memory>
#include <string_view>

#include "xml/ktxpathnode.h"
#include "xml/ktxpathtreecontext.h"
#include "xpath/ktxpathfunctionlibrary.h"
#include "xslt/ktdeclrecord.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktvariableexecutors.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltkeywords.h"
#include "xslt/ktxsltnames.h"
#include "xslt/ktxsltprocessor.h"

namespace {

bool IsAttributeLike(int kind) { return kind == kXPathAttribute || kind == kXPathNamespace; }

// Unused room (in units) a result text may keep.
constexpr int kTextSlack = 8;

bool IsXsltUri(const KTString* uri) { return uri && uri->View() == kXSLTNamespaceUri; }

// The key of an expanded name: the URI, a character no XML name or URI
// holds, and the local name.
std::u16string ExpandedKey(const KTString* uri, std::u16string_view local) {
  std::u16string key(uri ? uri->View() : std::u16string_view());
  key += u'\x01';
  key += local;
  return key;
}

bool SameUri(const KTString* a, const KTString* b) {
  std::u16string_view x = a ? a->View() : std::u16string_view();
  std::u16string_view y = b ? b->View() : std::u16string_view();
  return x == y;
}

// The root of a result tree fragment: a root the processor built, wrapping
// no document node.
bool IsFragmentRoot(const KTXPathNode* node) { return node->GetKind() == kXPathRoot && !node->GetXNode(); }

// Appends a text node; a text node is accepted under any parent. String
// values are built with room to grow: a text kept as a node of its own (not
// joined to the text before it) keeps only the room it needs.
void AppendText(KTXPathNode* parent, KTString&& text, bool escape) {
  const int count = parent->GetChildCount();
  const KTXPathNode* last = count > 0 ? parent->GetChild(count - 1) : nullptr;
  const bool joins = last && last->GetKind() == kXPathText && last->GetOutputFlag() == escape;
  if (!joins) {
    const int length = text.GetLength();
    if (length > 0 && text.GetCapacity() - length > kTextSlack) text.SetCapacityPooled(length);
  }
  auto node = KTXPathNode::NewLeaf(kXPathText);
  node->SetValue(std::move(text));
  node->SetOutputFlag(escape);
  KTInstructionExecutor::AppendResultText(parent, std::move(node));
}

// The end of a Start that pushed nothing of its own to wait for.
void Finish(KTExecFrame* frame, KTXPathNode* node) {
  frame->SetLastFinished(node);
  frame->SetNodeToRun(nullptr);
}

template <class T>
const T* RecordOf(const KTDeclRecord* record, int id, KTXPathNode* node) {
  if (!record || record->elementId != id) throw KTXSLTError(KTXSLTError::kUnexpectedFailure, node);
  return static_cast<const T*>(record);
}

}  // namespace

// ---- xsl:value-of ----

// select=".", as in the built-in rule for text: the string value of the
// context node goes to the result without an evaluation and its node-set.
// A source text node's copy shows the document's text in place, as
// xsl:copy's does. False when the shape or context asks for the full
// evaluation (which also reports what is wrong).
bool KTValueOfExecutor::AppendContextString(KTExecFrame* frame, const KTDeclValueOf& record) {
  const KTCompiledExpression* select = record.select;
  if (!select || select->shape != KTCompiledExpression::kShapeSelf || select->error || select->restrictions != 0)
    return false;
  const int position = frame->ContextPosition();
  if (position < 1) return false;
  const KTXPathValue& list = frame->NodeList();
  const KTXPathNodeItem* item = list.NodeItemAt(position - 1);
  if (item == list.ItemsEnd() || !item->GetNode()) return false;
  AppendStringValueOf(resultParent_, item->GetNode(), !record.disableOutputEscaping);
  return true;
}

void KTValueOfExecutor::AppendStringValueOf(KTXPathNode* resultParent, const KTXPathNode* context, bool escape) {
  // An element of one source text node has that text as its value: the
  // result shows it in place, as for the text node itself, rather than
  // holding a copy of every line of a document written out.
  if (context->GetKind() == kXPathElement && context->GetChildCount() == 1) {
    const KTXPathNode* only = context->GetChild(0);
    if (only->GetKind() == kXPathText) context = only;
  }
  if (context->GetKind() == kXPathText && !context->HasOwnValue() && context->GetXNode()) {
    auto text = KTXPathNode::NewLeaf(context->GetXNode(), kXPathText, nullptr, -1, -1, false);
    text->SetOutputFlag(escape);
    AppendResultText(resultParent, std::move(text));
    return;
  }
  KTString text;
  int length = 0;
  text.ClearAndReserve(0);
  KTXPathFunctionLibrary::AppendStringValue(context, text, length);
  AppendText(resultParent, std::move(text), escape);
}

KTValueOfExecutor::KTValueOfExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor, kXSLTValueOf) {}

bool KTValueOfExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  KTXPathNode* node = KTOpenFrame(frame);
  const auto* record = RecordOf<KTDeclValueOf>(declaration_, kXSLTValueOf, node);
  if (AppendContextString(frame, *record)) {
    Finish(frame, node);
    return true;
  }
  KTString text;
  if (!processor_->StringOfSimpleExpression(*record->select, frame->NodeList(), frame->ContextPosition(), text)) {
    KTXPathValue value;
    if (!frame->EvaluateExpression(record->selectNode, *record->select, &frame->NodeList(), &value, true))
      throw KTXSLTError(KTXSLTError::kXPathError, nullptr);
    value.ToString(&text);
  }
  AppendText(resultParent_, std::move(text), !record->disableOutputEscaping);
  Finish(frame, node);
  return true;
}

// ---- xsl:text ----

KTTextExecutor::KTTextExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor, kXSLTText) {}

bool KTTextExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  KTXPathNode* node = KTOpenFrame(frame);
  const auto* record = RecordOf<KTDeclText>(declaration_, kXSLTText, node);
  AppendText(resultParent_, KTString(record->text), !record->disableOutputEscaping);
  Finish(frame, node);
  return true;
}

// ---- Literal result nodes ----

KTLiteralResultElementExecutor::KTLiteralResultElementExecutor(KTXSLTProcessor* processor)
    : KTInstructionExecutor(processor, kXSLTLiteralResult) {}

void KTLiteralResultElementExecutor::Push(KTExecFrame* frame, KTXPathNode* child) {
  auto pushed = std::make_unique<KTExecFrame>(frame, resultParent_);
  pushed->SetNodeToRun(child);
  pushed->SetLastFinished(nullptr);
  processor_->PushFrame(std::move(pushed));
  frame->SetCurrentChild(child);
}

KTXPathNode* KTLiteralResultElementExecutor::NextFallback(KTXPathNode* element, KTXPathNode* after) {
  const KTXSLTElementRecognizer& recognizer = processor_->ElementRecognizer();
  int count = element->GetChildCount();
  int from = after ? after->GetIndexInParent() + 1 : 0;
  for (int i = FirstInstructionChild(element, from); i < count; i = FirstInstructionChild(element, i + 1)) {
    KTXPathNode* child = element->GetChild(i);
    if (!IsAttributeLike(child->GetKind()) && recognizer.IsXSLFallback(child)) return child;
  }
  return nullptr;
}

KTXPathNode* KTLiteralResultElementExecutor::NextChildToRun(KTXPathNode* element, KTXPathNode* after) {
  int count = element->GetChildCount();
  int content = 0;
  KTXPathNode* useSets = nullptr;
  while (content < count && IsAttributeLike(element->GetChild(content)->GetKind())) {
    KTXPathNode* child = element->GetChild(content);
    if (child->GetKind() == kXPathAttribute && IsXsltUri(child->GetNamespaceUri()) &&
        QNameLocalPart(child->GetName()) == u"use-attribute-sets")
      useSets = child;
    ++content;
  }
  auto isLiteralAttribute = [](const KTXPathNode* n) {
    return n->GetKind() == kXPathAttribute && !IsXsltUri(n->GetNamespaceUri());
  };
  auto firstContent = [&]() -> KTXPathNode* {
    int first = FirstInstructionChild(element, content);
    return first < count ? element->GetChild(first) : nullptr;
  };
  auto literalAttributeFrom = [&](int from) -> KTXPathNode* {
    for (int i = from; i < content; ++i)
      if (isLiteralAttribute(element->GetChild(i))) return element->GetChild(i);
    return firstContent();
  };
  if (!after) return useSets ? useSets : literalAttributeFrom(0);
  if (after == useSets) return literalAttributeFrom(0);
  if (after->GetKind() == kXPathAttribute) return literalAttributeFrom(after->GetIndexInParent() + 1);
  return NextInstructionSibling(after);
}

bool KTLiteralResultElementExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  KTXPathNode* node = frame->NodeToRun();
  bool element = node->GetKind() == kXPathElement;

  // An XSLT element that reached this executor: the space declarations and
  // xsl:include produce nothing; any other has no executor in this
  // processor, and copying it would put the instruction into the output.
  if (element && IsXsltUri(node->GetNamespaceUri())) {
    const KTXSLTElementRecognizer& recognizer = processor_->ElementRecognizer();
    if (!recognizer.IsXSLPreserveSpace(node) && !recognizer.IsXSLStripSpace(node) &&
        !recognizer.IsXSLInclude(node))
      throw KTXSLTError(KTXSLTError::kUnexpectedFailure, node);
    KTOpenFrame(frame);
    frame->SetLastFinished(node);
    return true;
  }

  // xsl:exclude-result-prefixes and xsl:extension-element-prefixes add to
  // what the enclosing elements designated (XSLT 1.0 §7.1.1).
  if (element && declaration_ && declaration_->elementId == kXSLTLiteralResult) {
    const auto* record = static_cast<const KTDeclLiteralResult*>(declaration_);
    if (record->excludeResultPrefixesNode) {
      KTNamespaceSet set = frame->ExcludedNamespaces();
      set.insert(record->excludedNamespaces.begin(), record->excludedNamespaces.end());
      frame->SetExcludedNamespaces(std::move(set));
    }
    if (record->extensionElementPrefixesNode) {
      KTNamespaceSet set = frame->ExtensionNamespaces();
      set.insert(record->extensionNamespaces.begin(), record->extensionNamespaces.end());
      frame->SetExtensionNamespaces(std::move(set));
    }
  }

  // An extension element, which this processor implements none of: no
  // result node; its xsl:fallback children run in order, and without one it
  // is an error (XSLT 1.0 §15).
  const KTString* uri = node->GetNamespaceUri();
  if (element && uri && frame->ExtensionNamespaces().count(*uri)) {
    extensionElement_ = true;
    KTXPathNode* fallback = NextFallback(node, nullptr);
    if (!fallback) {
      KTXSLTError error(KTXSLTError::kUnexpectedElement, node);
      error.SetMessageText(KTString(u"Extension element ") + node->GetName() + u" in namespace " + *uri +
                           u" is not available and has no xsl:fallback child");
      throw error;
    }
    KTOpenFrame(frame);
    Push(frame, fallback);
    Finish(frame, node);
    return true;
  }

  KTXPathNode* first = element ? NextChildToRun(node, nullptr) : nullptr;
  MakeLiteralResultCopy(node, first != nullptr, frame, true);
  KTOpenFrame(frame);
  if (first) Push(frame, first);
  Finish(frame, node);
  return true;
}

bool KTLiteralResultElementExecutor::Continue() {
  KTExecFrame* frame = TopFrame();
  KTXPathNode* own = frame->OwnNode();
  if (extensionElement_) {
    KTXPathNode* current = frame->CurrentChild();
    if (KTXPathNode* next = current ? NextFallback(own, current) : nullptr) {
      Push(frame, next);
      return true;
    }
  } else if (frame->CurrentChild() && IsAncestor(own, frame->LastFinished())) {
    KTXPathNode* next = NextChildToRun(own, frame->CurrentChild());
    frame->SetCurrentChild(next);
    if (next) {
      Push(frame, next);
      return true;
    }
  }
  if (resultMadeCurrent_) {
    resultParent_ = resultParent_->GetParent();
    resultMadeCurrent_ = false;
  }
  return DefaultContinue();
}

// ---- xsl:copy-of ----

KTCopyOfExecutor::KTCopyOfExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor, kXSLTCopyOf) {}

bool KTCopyOfExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  KTXPathNode* node = KTOpenFrame(frame);
  instruction_ = node;
  const auto* record = RecordOf<KTDeclCopyOf>(declaration_, kXSLTCopyOf, node);
  KTXPathValue value;
  if (!frame->EvaluateExpression(record->selectNode, *record->select, &frame->NodeList(), &value, true))
    throw KTXSLTError(KTXSLTError::kXPathError, nullptr);
  if (!value.IsNodeSet()) {
    KTString text;
    value.ToString(&text);
    AppendText(resultParent_, std::move(text), true);
  } else if (value.ItemCount() > 0) {
    value.SortDocumentOrder();
    indexedParent_ = nullptr;
    // A fragment's content must fit where it goes; nodes of a node-set that
    // do not fit (an attribute after content) are dropped.
    bool strict = value.ItemCount() == 1 && IsFragmentRoot(value.Items()[0].GetNode());
    for (const KTXPathNodeItem& item : value.Items())
      if (item.GetNode()) AppendCopy(item.GetNode(), strict);
    // The index holds nodes of a tree others may change after this Start.
    indexedParent_ = nullptr;
    attributesByName_.clear();
  }
  Finish(frame, node);
  return true;
}

void KTCopyOfExecutor::AppendCopy(const KTXPathNode* source, bool strict) {
  KTXPathNode* parent = resultParent_;
  auto place = [&](std::unique_ptr<KTXPathNode> copy) -> KTXPathNode* {
    try {
      return parent->AppendChild(std::move(copy));
    } catch (const KTXTreeException& error) {
      if (strict || error.GetCode() != KTXSLTError::kXPathError) throw;
      return nullptr;
    }
  };
  auto refuse = [&]() {
    if (strict) throw KTXTreeException(KTXTreeException::kPlacementViolation);
  };

  switch (source->GetKind()) {
    case kXPathRoot:
      // A document's content without its XML declaration and DOCTYPE.
      for (const auto& child : source->Children())
        if (child->GetKind() < kXPathXmlDecl) AppendCopy(child.get(), strict);
      return;
    case kXPathElement: {
      // The deep copy keeps the scope the element had where it was; its top
      // declares what of that scope the new place lacks, then declarations
      // that repeat a binding in scope where they land go.
      auto copy = std::make_unique<KTXPathNode>(*source, true, nullptr);
      if (!copy->OwnElementMap()) copy->SetMaps(std::make_shared<KTPrefixMap>(), std::make_shared<KTPrefixMap>());
      if (KTXPathNode* added = place(std::move(copy))) {
        AddInScopeNamespaceNodes(added, &DeclarationOrderOf(source));
        DropRepeatedDeclarations(added);
      }
      return;
    }
    case kXPathAttribute: {
      auto copy = std::make_unique<KTXPathNode>(nullptr, kXPathAttribute);
      copy->SetName(source->GetName());
      copy->SetValue(source->GetValue());
      copy->SetNamespaceUri(source->GetNamespaceUri());
      std::u16string key;
      if (parent->GetKind() == kXPathElement) {
        // An attribute of a name the element has replaces it. The element's
        // attributes are indexed once per element a Start copies into.
        if (indexedParent_ != parent) {
          attributesByName_.clear();
          for (int i = 0; i < parent->GetChildCount(); ++i) {
            KTXPathNode* existing = parent->GetChild(i);
            if (!IsAttributeLike(existing->GetKind())) break;
            if (existing->GetKind() == kXPathAttribute)
              attributesByName_.emplace(ExpandedKey(existing->GetNamespaceUri(), QNameLocalPart(existing->GetName())),
                                        existing);
          }
          indexedParent_ = parent;
        }
        key = ExpandedKey(copy->GetNamespaceUri(), QNameLocalPart(copy->GetName()));
        auto found = attributesByName_.find(key);
        if (found != attributesByName_.end()) {
          KTXPathNode* existing = found->second;
          existing->SetName(copy->GetName());
          existing->SetValue(copy->GetValue());
          FixAttributeNamespace(existing);
          return;
        }
      }
      const char16_t* why = AttributePlacementProblem(parent);
      if (KTXPathNode* added = place(std::move(copy))) {
        if (indexedParent_ == parent) attributesByName_.emplace(std::move(key), added);
        FixAttributeNamespace(added);
      } else if (why && instruction_) {
        WarnAttributeIgnored(instruction_, u"xsl:copy-of of the attribute", source->GetName(), why);
      }
      return;
    }
    case kXPathNamespace: {
      // A namespace node joins the declarations of the result element, where
      // it does not contradict one the element has or its name needs.
      std::u16string_view name = source->GetName();
      std::u16string_view prefix = source->GetIndexInParent() < 0 && source->GetParent()
                                       ? name
                                       : (name == u"xmlns" ? std::u16string_view()
                                                           : (name.substr(0, 6) == u"xmlns:" ? name.substr(6) : name));
      if (prefix == u"xml") return;
      if (parent->GetKind() != kXPathElement) return refuse();
      int count = parent->GetChildCount();
      if (count > 0 && !IsAttributeLike(parent->GetChild(count - 1)->GetKind())) return refuse();
      KTXPathTreeContext* context = processor_->TreeContext();
      const KTString* uri = nullptr;
      if (source->GetValue()[0]) {
        if (context) {
          uri = context->InternUri(source->GetValue());
        } else {
          NamespaceUriStrings().push_back(std::make_unique<KTString>(source->GetValue()));
          uri = NamespaceUriStrings().back().get();
        }
      }
      const KTPrefixMap* scope = parent->GetElementNamespaceMap();
      if (scope) {
        auto bound = scope->find(prefix);
        if (bound != scope->end() && SameUri(bound->second, uri)) return;
      }
      if (QNamePrefix(parent->GetName()) == prefix && !SameUri(parent->GetNamespaceUri(), uri)) return;
      for (int i = 0; i < count; ++i) {
        const KTXPathNode* child = parent->GetChild(i);
        if (child->GetKind() == kXPathNamespace) {
          std::u16string_view declared = child->GetName();
          declared = declared == u"xmlns" ? std::u16string_view() : declared.substr(6);
          if (declared == prefix) return;
        } else if (!QNamePrefix(child->GetName()).empty() && QNamePrefix(child->GetName()) == prefix &&
                   !SameUri(child->GetNamespaceUri(), uri)) {
          return;
        }
      }
      auto declaration = std::make_unique<KTXPathNode>(nullptr, kXPathNamespace);
      KTString declarationName(prefix.empty() ? u"xmlns" : u"xmlns:");
      declarationName += KTString(prefix);
      declaration->SetName(declarationName.c_str());
      declaration->SetValue(source->GetValue());
      parent->AppendChild(std::move(declaration));
      // The element's scope now holds the binding.
      KTPrefixMapRef e = parent->InheritedElementMap();
      KTPrefixMapRef a = parent->InheritedAttributeMap();
      auto newElement = e ? std::make_shared<KTPrefixMap>(*e) : std::make_shared<KTPrefixMap>();
      auto newAttribute = a ? std::make_shared<KTPrefixMap>(*a) : std::make_shared<KTPrefixMap>();
      (*newElement)[KTString(prefix)] = uri;
      if (!prefix.empty()) (*newAttribute)[KTString(prefix)] = uri;
      parent->SetMaps(std::move(newElement), std::move(newAttribute));
      return;
    }
    case kXPathText:
    case kXPathCData: {
      auto copy = KTXPathNode::NewLeaf(kXPathText);
      copy->SetValue(source->GetValue());
      copy->SetOutputFlag(source->GetOutputFlag());
      AppendResultText(parent, std::move(copy));
      return;
    }
    case kXPathComment:
    case kXPathPI: {
      auto copy = std::make_unique<KTXPathNode>(nullptr, source->GetKind());
      if (source->GetKind() == kXPathPI) copy->SetName(source->GetName());
      copy->SetValue(source->GetValue());
      place(std::move(copy));
      return;
    }
    default:
      // XML declaration and DOCTYPE nodes have no place in a result tree.
      return;
  }
}
