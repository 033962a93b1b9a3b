// KTResultSerializer: the html output method (HTML 4 end tags, minimised
// boolean attributes, escaped URI attributes, the META element after HEAD,
// line breaks around block elements) and the text output method.
#include "xslt/output/ktresultserializer.h"
#include "xml/ktxpathnode.h"

namespace {

bool IsAttributeLike(int kind) { return kind == kXPathAttribute || kind == kXPathNamespace; }
bool IsTextLike(int kind) { return kind == kXPathText || kind == kXPathCData; }

bool IsNamed(std::u16string_view name, std::u16string_view lowerCase) {
  if (name.size() != lowerCase.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char16_t c = name[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != lowerCase[i]) return false;
  }
  return true;
}

constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";

// XSLT 1.0 §16.2: non-ASCII characters of URI attribute values are written
// as %-escaped UTF-8 bytes; the space is escaped too, so that the value stays
// one URI. Every other character is kept.
void EscapeUriValue(std::u16string_view value, KTString& out) {
  out.ClearAndReserve(static_cast<int>(value.size()));
  int length = 0;
  auto appendByte = [&](unsigned byte) {
    const char16_t escaped[3] = {u'%', kHexDigits[(byte >> 4) & 0xF], kHexDigits[byte & 0xF]};
    out.AppendAtLength(escaped, length, 64, 3);
  };
  for (std::size_t i = 0; i < value.size(); ++i) {
    char32_t c = value[i];
    if (c != u' ' && c < 0x80) {
      out.AppendCharAtLength(static_cast<char16_t>(c), length, 64);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < value.size() && value[i + 1] >= 0xDC00 &&
        value[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (char32_t(value[++i]) - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    if (c < 0x80) {
      appendByte(c);
    } else if (c < 0x800) {
      appendByte(0xC0 | (c >> 6));
      appendByte(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      appendByte(0xE0 | (c >> 12));
      appendByte(0x80 | ((c >> 6) & 0x3F));
      appendByte(0x80 | (c & 0x3F));
    } else {
      appendByte(0xF0 | (c >> 18));
      appendByte(0x80 | ((c >> 12) & 0x3F));
      appendByte(0x80 | ((c >> 6) & 0x3F));
      appendByte(0x80 | (c & 0x3F));
    }
  }
}

}  // namespace

// One node whose children the HTML writer is walking.
struct KTResultSerializer::HtmlFrame {
  const KTXPathNode* node;
  int next = 0;
  bool element = false;
  bool empty = false;     // IsHtmlEmptyElement
  bool endTag = false;    // IsHtmlElementWithEndTag
  bool block = false;     // IsHtmlBlockElement
  bool raw = false;       // script or style: text written unescaped
  bool head = false;      // the META element belongs after this start tag
  bool closed = false;    // the start tag has its '>' (the element has content)
  bool lastText = false;  // the last child written was text
};

void KTResultSerializer::WriteHtmlDoctype() {
  if (!settings_.IsDoctypeSystemSpecified() && !settings_.IsDoctypePublicSpecified()) return;
  if (resultRoot_->FirstChildOfKind(kXPathElement) >= resultRoot_->GetChildCount()) return;
  Append(u"<!DOCTYPE HTML");
  if (settings_.IsDoctypePublicSpecified()) {
    Append(u" PUBLIC \"");
    AppendText(settings_.GetDoctypePublic().View(), kNoReferences, nullptr);
    if (settings_.IsDoctypeSystemSpecified()) {
      Append(u"\" \"");
      AppendText(settings_.GetDoctypeSystem().View(), kNoReferences, nullptr);
    }
  } else {
    Append(u" SYSTEM \"");
    AppendText(settings_.GetDoctypeSystem().View(), kNoReferences, nullptr);
  }
  Append(u"\">");
}

void KTResultSerializer::WriteHtmlMeta() {
  if (indent_) {
    WriteNewline();
    for (int i = 0; i <= depth_; ++i) Append(u'\t');
  }
  Append(u"<META http-equiv=\"Content-Type\" content=\"text/html; charset=");
  Append(encoding_.GetName().View());
  Append(u"\">");
  pendingMeta_ = false;
}

void KTResultSerializer::WriteHtmlAttribute(const KTXPathNode* node) {
  Append(u' ');
  AppendName(node);
  const std::u16string_view name = node->GetName();
  if (node->GetKind() == kXPathNamespace) {
    Append(u"=\"");
    AppendText(node->GetValue(), kXmlAttributeRules, node);
    Append(u'"');
    return;
  }
  if (htmlVocabulary_.IsHtmlBooleanAttribute(name)) return;
  Append(u"=\"");
  if (htmlVocabulary_.IsHtmlUriAttribute(name)) {
    EscapeUriValue(node->GetValue(), uriBuffer_);
    AppendText(uriBuffer_.View(), kHtmlAttributeRules, node);
  } else {
    AppendText(node->GetValue(), kHtmlAttributeRules, node);
  }
  Append(u'"');
}

void KTResultSerializer::OpenHtmlElement(const KTXPathNode* node, std::vector<HtmlFrame>& stack) {
  const std::u16string_view name = node->GetName();
  HtmlFrame frame{node};
  frame.element = true;
  // An element in a namespace that has content keeps its end tag even under
  // the name of an HTML empty element (XSLT 1.0 §16.2 has it written as
  // XML), so that its content is not left outside it. Without content it
  // is a start tag alone like the HTML element (an end tag "</br>" reads as
  // a second br in HTML).
  const KTString* uri = node->GetNamespaceUri();
  const bool namespaced = uri && !uri->IsEmpty();
  const int childCount = node->GetChildCount();
  const bool hasContent = childCount > 0 && !IsAttributeLike(node->GetChild(childCount - 1)->GetKind());
  frame.empty = htmlVocabulary_.IsHtmlEmptyElement(name) && !(namespaced && hasContent);
  frame.endTag = !frame.empty && htmlVocabulary_.IsHtmlElementWithEndTag(name);
  frame.block = htmlVocabulary_.IsHtmlBlockElement(name);
  if (indent_ && blockContext_ && frame.block) {
    bool hasText = false;
    for (const auto& child : node->Children()) {
      if (IsTextLike(child->GetKind())) {
        hasText = true;
        break;
      }
    }
    if (!hasText) {
      WriteNewline();
      WriteIndent();
    }
  }
  blockContext_ = frame.block;
  Append(u'<');
  AppendName(node);
  frame.raw = IsNamed(name, u"script") || IsNamed(name, u"style");
  if (IsNamed(name, u"head")) {
    pendingMeta_ = true;
    frame.head = true;
  }
  stack.push_back(frame);
}

void KTResultSerializer::CloseHtmlElement(const HtmlFrame& frame) {
  if (frame.closed) --depth_;
  const bool endBreak = indent_ && blockContext_ && !frame.lastText;
  if (!frame.closed && frame.empty) {
    // An empty element of HTML is its start tag alone (XSLT 1.0 §16.2).
    Append(u'>');
  } else if (!frame.empty) {
    // Any other element has an end tag even without content: HTML knows no
    // empty-element tag, so "<p />" would leave p open over what follows. A
    // head element without content still gets its META.
    if (!frame.closed) {
      Append(u'>');
      if (pendingMeta_) WriteHtmlMeta();
    }
    if (endBreak) {
      WriteNewline();
      WriteIndent();
    }
    Append(u"</");
    AppendName(frame.node);
    Append(u'>');
  }
  blockContext_ = frame.block;
}

bool KTResultSerializer::WriteHtmlNode(const KTXPathNode* top) {
  if (!top) return false;
  std::vector<HtmlFrame> stack;
  const KTXPathNode* node = top;
  bool raw = false;  // node is a child of script or style
  for (;;) {
    switch (node->GetKind()) {
      case kXPathRoot:
      case kXPathDoctype:
      case kXPathDoctypeExternalId:
      case kXPathDoctypeElement:
      case kXPathDoctypeAttlist:
      case kXPathDoctypeEntity:
      case kXPathDoctypeNotation:
        stack.push_back(HtmlFrame{node});
        break;
      case kXPathElement:
        OpenHtmlElement(node, stack);
        break;
      case kXPathAttribute:
      case kXPathNamespace:
        WriteHtmlAttribute(node);
        break;
      case kXPathText:
      case kXPathCData:
        WriteTextContent(node, node->GetOutputFlag() && !raw);
        break;
      case kXPathPI:
      case kXPathComment: {
        const bool placed = indent_ && blockContext_;
        if (placed) WriteIndent();
        if (node->GetKind() == kXPathPI) {
          Append(u"<?");
          AppendName(node);
          Append(u' ');
          AppendText(node->GetValue(), kNoReferences, node, KTOutputError::kPlaceProcessingInstruction);
          Append(u'>');
        } else {
          Append(u"<!--");
          AppendText(node->GetValue(), kNoReferences, node, KTOutputError::kPlaceComment);
          Append(u"-->");
        }
        if (placed) WriteNewline();
        stack.push_back(HtmlFrame{node});
        break;
      }
      default:  // the XML declaration and unknown kinds write nothing
        break;
    }

    node = nullptr;
    while (!stack.empty()) {
      HtmlFrame& frame = stack.back();
      if (frame.next < frame.node->GetChildCount()) {
        const KTXPathNode* child = frame.node->GetChild(frame.next++);
        if (!child) return false;
        if (frame.element && !frame.closed && !IsAttributeLike(child->GetKind())) {
          Append(u'>');
          if (pendingMeta_) WriteHtmlMeta();
          frame.closed = true;
          ++depth_;
        }
        frame.lastText = IsTextLike(child->GetKind());
        raw = frame.raw;
        node = child;
        break;
      }
      const HtmlFrame done = frame;
      stack.pop_back();
      if (done.element) CloseHtmlElement(done);
    }
    if (!node) return true;
  }
}

// ---- text method ----

bool KTResultSerializer::WriteTextNode(const KTXPathNode* top) {
  if (!top) return false;
  // Children are pushed in reverse so that they come off in document order.
  std::vector<const KTXPathNode*> pending{top};
  while (!pending.empty()) {
    const KTXPathNode* node = pending.back();
    pending.pop_back();
    if (!node) return false;
    const int kind = node->GetKind();
    if (kind == kXPathRoot || kind == kXPathElement) {
      for (int i = node->GetChildCount() - 1; i >= 0; --i) pending.push_back(node->GetChild(i));
    } else if (IsTextLike(kind)) {
      AppendText(node->GetValue(), kNoReferences, node, KTOutputError::kPlaceTextOutput);
    }
  }
  return true;
}
