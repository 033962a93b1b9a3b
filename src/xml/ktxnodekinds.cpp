// Kind-specific tree behaviour of the document node kinds 0 to 11, and the
// node factory with its table of prototypes.
#include "xml/ktxnodekinds.h"

#include <array>

#include "xml/ktxdoctype.h"

bool KTXDocumentNode::CanHaveChild(int kind) const {
  return kind == kXmlTag || kind == kElement || kind == kComment || kind == kProcessingInstruction ||
         kind == kDoctype;
}

bool KTXDtdDocumentNode::CanHaveChild(int kind) const {
  return kind == kXmlTag || kind == kText || kind == kComment || kind == kProcessingInstruction ||
         (kind >= kDoctypeElement && kind <= kDoctypeNotation);
}

bool KTXDoctypeNode::CanHaveChild(int kind) const {
  return kind == kText || kind == kComment || kind == kProcessingInstruction ||
         (kind >= kDoctypeExternalId && kind <= kDoctypeNotation);
}

namespace {

// The XML declaration first, then (for documents and entities) the DOCTYPE
// in front of the first element.
void GatherProlog(KTXContainerNode& node, KTXChangeLog* log, bool doctype) {
  KTChildIterator begin, afterTags;
  node.BeginChildren(begin);
  node.GatherChildrenOfKind(afterTags, kXmlTag, log, begin, kNoStopKind);
  if (doctype) {
    KTChildIterator ignored;
    node.GatherChildrenOfKind(ignored, kDoctype, log, afterTags, kElement);
  }
}

}  // namespace

void KTXDocumentNode::NormalizeText(KTXChangeLog* log, KTXNode** tracked) {
  KTXContainerNode::NormalizeText(log, tracked);
  GatherProlog(*this, log, true);
}

void KTXEntityNode::NormalizeText(KTXChangeLog* log, KTXNode** tracked) {
  KTXContainerNode::NormalizeText(log, tracked);
  GatherProlog(*this, log, true);
}

void KTXDtdDocumentNode::NormalizeText(KTXChangeLog* log, KTXNode** tracked) {
  KTXContainerNode::NormalizeText(log, tracked);
  GatherProlog(*this, log, false);
}

void KTXDoctypeNode::NormalizeText(KTXChangeLog* log, KTXNode** tracked) {
  KTChildIterator begin, ignored;
  BeginChildren(begin);
  GatherChildrenOfKind(ignored, kDoctypeExternalId, log, begin, kNoStopKind);
  KTXContainerNode::NormalizeText(log, tracked);
}

void KTXAttributeNode::SetName(const char16_t* text, int length) {
  if (GetParent() && GetParent()->GetKind() == kXmlTag && text && length > 0) {
    KTString lower;
    lower.Assign(text, length);
    lower.MakeLower();
    KTXNamedNode::SetName(lower.c_str(), lower.GetLength());
    return;
  }
  KTXNamedNode::SetName(text, length);
}

std::unique_ptr<KTXNode> CreateXNode(int kind) {
  switch (kind) {
    case kXmlDocument: return std::make_unique<KTXDocumentNode>();
    case kXmlEntity: return std::make_unique<KTXEntityNode>();
    case kDtdDocument: return std::make_unique<KTXDtdDocumentNode>();
    case kXmlTag: return std::make_unique<KTXTagNode>();
    case kElement: return std::make_unique<KTXElementNode>();
    case kAttribute: return std::make_unique<KTXAttributeNode>();
    case kText: return std::make_unique<KTXTextNode>();
    case kCData: return std::make_unique<KTXCDataNode>();
    case kComment: return std::make_unique<KTXCommentNode>();
    case kProcessingInstruction: return std::make_unique<KTXPINode>();
    case kDoctype: return std::make_unique<KTXDoctypeNode>();
    case kDoctypeExternalId: return std::make_unique<KTXExternalIdNode>();
    case kDoctypeElement: return std::make_unique<KTDoctypeElementNode>();
    case kDoctypeAttlist: return std::make_unique<KTDoctypeAttlistNode>();
    case kDoctypeEntity: return std::make_unique<KTDoctypeEntityNode>();
    case kDoctypeNotation: return std::make_unique<KTDoctypeNotationNode>();
    default: return nullptr;
  }
}

const KTXNode* GetPrototype(int kind) {
  // Made on first use and kept for the whole run.
  static const std::array<std::unique_ptr<KTXNode>, kXNodeKindCount> prototypes = [] {
    std::array<std::unique_ptr<KTXNode>, kXNodeKindCount> table;
    for (int k = 0; k < kXNodeKindCount; ++k) table[k] = CreateXNode(k);
    return table;
  }();
  return (kind >= 0 && kind < kXNodeKindCount) ? prototypes[kind].get() : nullptr;
}
