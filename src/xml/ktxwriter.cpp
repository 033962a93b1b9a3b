// The tree writer: KTXNode::WriteText walks the subtree with an explicit
// stack and lets each node kind write its own text forms; here are the forms
// of the document kinds 0 to 11 (declarations are in ktxdoctype.cpp). Names
// and values are written as stored: nothing is escaped.
#include "xml/ktxwriter.h"

#include <algorithm>

#include "platform/ktwchar.h"
#include "xml/ktxnodekinds.h"

namespace {

// Smallest growth step of the output block; the block also grows by at
// least half its size, so large outputs are not copied over and over.
constexpr int kWriteGrowth = 16384;

}  // namespace

void KTXTextOut::Put(const char16_t* s, int count) {
  if (count < 0) count = static_cast<int>(KTStrLen(s));
  if (count == 0) return;
  text_.AppendAtLength(s, length_, std::max(kWriteGrowth, length_), count);
}

void KTXTextOut::PutChar(char16_t c) { text_.AppendCharAtLength(c, length_, std::max(kWriteGrowth, length_)); }

void KTXTextOut::PutIndent(int times) {
  if (options_.indent.IsEmpty()) return;
  for (int i = 0; i < times; ++i) Put(options_.indent);
}

void KTXTextOut::PutLeaf(KTXNode* node, int depth) {
  int start = length_;
  KTXWriteFrame frame;
  frame.node = node;
  frame.depth = depth;
  node->WriteOpen(*this, frame);
  if (options_.recordOffsets) node->SetOffsets(start, length_);
}

bool KTXNode::IsSelectedForWrite(const KTWriteOptions& options) const {
  return options.mode == 0 || TestFlag(nullptr, kFlagWrite);
}

void KTXNode::WriteText(KTString& text, int& length, int depth, const KTWriteOptions& options) {
  KTXTextOut out(text, length, options);
  const bool record = options.recordOffsets;
  std::vector<KTXWriteFrame> stack;
  std::vector<int> starts;  // output length where each open frame's node began

  // Opens a node; a node whose children are to be walked gets a frame.
  auto open = [&](KTXNode* node, int nodeDepth) -> bool {
    int start = out.Length();
    KTXWriteFrame frame;
    frame.node = node;
    frame.depth = nodeDepth;
    if (node->WriteOpen(out, frame)) {
      node->BeginChildren(frame.next);
      stack.push_back(frame);
      starts.push_back(start);
      return true;
    }
    if (record) node->SetOffsets(start, out.Length());
    return false;
  };

  open(this, depth);
  while (!stack.empty()) {
    KTXWriteFrame& frame = stack.back();
    if (frame.next.IsEnd()) {
      KTXNode* node = frame.node;
      node->WriteClose(out, frame);
      if (record) node->SetOffsets(starts.back(), out.Length());
      stack.pop_back();
      starts.pop_back();
      if (!stack.empty()) stack.back().node->WriteAfterChild(out, stack.back(), node);
      continue;
    }
    KTXNode* child = frame.next.Node();
    frame.next.Next();
    if (!child->IsSelectedForWrite(options)) continue;
    int childDepth = frame.node->WriteBeforeChild(out, frame, child);
    if (childDepth == kSkipChild) continue;
    if (!open(child, childDepth)) stack.back().node->WriteAfterChild(out, stack.back(), child);
  }
}

// ---- Documents: each selected child one level down, then a line end ----

bool KTXDocumentBase::WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) { return true; }

int KTXDocumentBase::WriteBeforeChild(KTXTextOut& out, KTXWriteFrame& frame, KTXNode* child) {
  return frame.depth + 1;
}

void KTXDocumentBase::WriteAfterChild(KTXTextOut& out, KTXWriteFrame& frame, KTXNode* child) { out.PutLineEnd(); }

// ---- XML declaration: version, encoding, standalone in this order ----

bool KTXTagNode::WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) {
  if (out.Options().omitDeclaration) return false;
  out.Put(u"<?xml");
  static const char16_t* const kOrder[] = {u"version", u"encoding", u"standalone"};
  for (const char16_t* name : kOrder) {
    for (KTXNode* child : Children()) {
      if (child->GetKind() != kAttribute || KTStrCmp(child->GetName(), name) != 0) continue;
      if (!child->IsSelectedForWrite(out.Options())) continue;
      out.PutChar(u' ');
      out.PutLeaf(child, frame.depth + 1);
    }
  }
  out.Put(u"?>");
  return false;
}

// ---- Element ----

bool KTXElementNode::WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) {
  const KTWriteOptions& options = out.Options();
  const int d = frame.depth;
  frame.savedIndentAllowed = out.indentAllowed;
  if (out.indentAllowed && options.names &&
      std::find(options.names->begin(), options.names->end(), name_) != options.names->end())
    out.indentAllowed = false;

  frame.hasContent = !value_.IsEmpty();
  frame.newLine = frame.hasContent ? false : out.indentAllowed;
  if (d < 0) {
    frame.newLine = false;
  } else {
    out.PutChar(u'<');
    out.Put(name_);
  }
  for (KTXNode* child : Children()) {
    if (!child->IsSelectedForWrite(options)) continue;
    if (child->GetKind() == kAttribute) {
      // Attributes belong to the start tag, which depth -1 leaves out.
      if (d >= 0) {
        out.PutChar(u' ');
        out.PutLeaf(child, d + 1);
      }
    } else {
      frame.hasContent = true;
    }
  }
  if (!frame.hasContent && options.emptyTag) {
    if (d >= 0) out.Put(options.spaceBeforeSlash ? u" />" : u"/>");
    out.indentAllowed = frame.savedIndentAllowed;
    return false;
  }
  if (d >= 0) out.PutChar(u'>');
  if (!value_.IsEmpty()) out.Put(value_);
  return true;
}

int KTXElementNode::WriteBeforeChild(KTXTextOut& out, KTXWriteFrame& frame, KTXNode* child) {
  int kind = child->GetKind();
  if (kind == kAttribute) return kSkipChild;
  frame.childIsBlock = kind != kText && kind != kCData;
  if (frame.newLine && frame.childIsBlock) {
    out.PutLineEnd();
    out.PutIndent(frame.depth + 1);
  }
  return frame.depth + 1;
}

void KTXElementNode::WriteAfterChild(KTXTextOut& out, KTXWriteFrame& frame, KTXNode* child) {
  frame.newLine = out.indentAllowed && frame.childIsBlock;
}

void KTXElementNode::WriteClose(KTXTextOut& out, KTXWriteFrame& frame) {
  if (frame.depth >= 0) {
    if (frame.newLine && frame.hasContent) {
      out.PutLineEnd();
      out.PutIndent(frame.depth);
    }
    out.Put(u"</");
    out.Put(name_);
    out.PutChar(u'>');
  }
  out.indentAllowed = frame.savedIndentAllowed;
}

// ---- Leaves ----

bool KTXAttributeNode::WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) {
  char16_t quote = value_.Find(u'"') >= 0 ? u'\'' : u'"';
  out.Put(name_);
  out.PutChar(u'=');
  out.PutChar(quote);
  out.Put(value_);
  out.PutChar(quote);
  return false;
}

bool KTXTextNode::WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) {
  out.Put(value_);
  return false;
}

bool KTXCDataNode::WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) {
  out.Put(u"<![CDATA[");
  out.Put(value_);
  out.Put(u"]]>");
  return false;
}

bool KTXCommentNode::WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) {
  out.Put(u"<!--");
  out.Put(value_);
  out.Put(u"-->");
  return false;
}

bool KTXPINode::WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) {
  out.Put(u"<?");
  out.Put(name_);
  if (!value_.IsEmpty()) {
    out.PutChar(u' ');
    out.Put(value_);
  }
  out.Put(u"?>");
  return false;
}

// ---- DOCTYPE: external id on the first line, internal subset in brackets ----

bool KTXDoctypeNode::WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) {
  const int d = frame.depth;
  out.PutIndent(d);
  out.Put(u"<!DOCTYPE ");
  out.Put(name_);
  bool others = false;
  for (KTXNode* child : Children()) {
    if (!child->IsSelectedForWrite(out.Options())) continue;
    if (child->GetKind() == kDoctypeExternalId) {
      out.PutChar(u' ');
      out.PutLeaf(child, d);
    } else {
      others = true;
    }
  }
  if (!others) {
    out.PutChar(u'>');
    return false;
  }
  out.Put(u" [");
  out.PutLineEnd();
  return true;
}

int KTXDoctypeNode::WriteBeforeChild(KTXTextOut& out, KTXWriteFrame& frame, KTXNode* child) {
  if (child->GetKind() == kDoctypeExternalId) return kSkipChild;
  out.PutIndent(frame.depth + 1);
  return frame.depth + 1;
}

void KTXDoctypeNode::WriteAfterChild(KTXTextOut& out, KTXWriteFrame& frame, KTXNode* child) { out.PutLineEnd(); }

void KTXDoctypeNode::WriteClose(KTXTextOut& out, KTXWriteFrame& frame) {
  out.PutIndent(frame.depth);
  out.Put(u"]>");
}

bool KTXExternalIdNode::WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) {
  out.Put(name_);
  out.PutChar(u' ');
  out.Put(value_);
  return false;
}
