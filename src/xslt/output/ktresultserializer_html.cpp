// KTResultSerializer: the html output method (HTML 4 end tags, minimised
// boolean attributes, escaped URI attributes, the META element in the head,
// line breaks around block elements) and the text output method.
#include "xslt/output/ktresultserializer.h"
#include "xml/ktxpathnode.h"

namespace {

bool IsAttributeLike(int kind) { return kind == kXPathAttribute || kind == kXPathNamespace; }
bool IsTextLike(int kind) { return kind == kXPathText || kind == kXPathCData; }
bool IsEmptyText(const KTXPathNode* node) {
  if (node->GetKind() != kXPathText) return false;
  const char16_t* value = node->GetValue();
  return !value || !*value;
}

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

bool IsNotXmlChar(char32_t c) { return (c >= 0xD800 && c <= 0xDFFF) || c >= 0xFFFE; }

// XSLT 1.0 §16.2: the non-ASCII characters of a URI attribute value are
// written as their UTF-8 bytes, each as "%HH" (RFC 2396 §5.1.1 / HTML 4.01
// §B.2.1). Every ASCII character, white space included, stays as it is: it
// is the author's value, and escaping it would change the link. Characters
// that XML does not allow are left for the caller to refuse.
void EscapeUriValue(std::u16string_view value, KTString& out) {
  out.ClearAndReserve(static_cast<int>(value.size()));
  int length = 0;
  auto appendByte = [&](unsigned byte) {
    const char16_t escaped[3] = {u'%', kHexDigits[(byte >> 4) & 0xF], kHexDigits[byte & 0xF]};
    out.AppendAtLength(escaped, length, 64, 3);
  };
  for (std::size_t i = 0; i < value.size(); ++i) {
    char32_t c = value[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < value.size() && value[i + 1] >= 0xDC00 &&
        value[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (char32_t(value[++i]) - 0xDC00);
    } else if (c < 0x80 || IsNotXmlChar(c)) {
      out.AppendCharAtLength(static_cast<char16_t>(c), length, 64);
      continue;
    }
    if (c < 0x800) {
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

bool IsNamedLocal(const KTXPathNode* node, std::u16string_view lowerCase) {
  std::u16string_view name = node->GetName();
  const std::size_t colon = name.find(u':');
  if (colon != std::u16string_view::npos) name.remove_prefix(colon + 1);
  return IsNamed(name, lowerCase);
}

bool InNamespace(const KTXPathNode* node) {
  const KTString* uri = node->GetNamespaceUri();
  return uri && !uri->IsEmpty();
}

}  // namespace

// One node whose children the HTML writer is walking.
//
// Line breaks (indent="yes", the default) go where they cannot change how
// the page renders, at the places xsltproc chooses, so that results compare
// equal: after the start tag of a block element whose content is more than
// one node and starts with an element; before its end tag when the content
// ends with one; and after a block element that a node other than text
// follows. Nothing is ever indented, and no break goes into an element whose
// name begins with "p" (p, pre, param: the breaks xsltproc leaves out there)
// nor anywhere inside pre, textarea, script or style, whose content is shown
// or run as written (XSLT 1.0 §16.2: no white space that changes rendering).
struct KTResultSerializer::HtmlFrame {
  const KTXPathNode* node;
  int next = 0;
  bool element = false;
  bool xmlForm = false;           // in a namespace: written as the xml method writes it
  bool empty = false;             // IsHtmlEmptyElement, in no namespace
  bool block = false;             // IsHtmlBlockElement, in no namespace
  bool raw = false;               // script or style: text written unescaped
  bool meta = false;              // the META is the first thing in its content
  bool closed = false;            // the start tag has its '>' (the element has content)
  bool verbatim = false;          // pre, textarea, script or style, or inside one
  bool breaksBetween = false;     // a break may follow a block child
  bool breakAfterStart = false;
  bool breakBeforeEnd = false;
  bool afterBlock = false;        // the last child written was a block element or the META
};

bool KTResultSerializer::WriteHtmlDoctype() {
  if (resultRoot_->FirstChildOfKind(kXPathElement) >= resultRoot_->GetChildCount()) return false;
  if (!settings_.IsDoctypeSystemSpecified() && !settings_.IsDoctypePublicSpecified()) {
    // HTML 5 has one document type declaration, without identifiers.
    if (!settings_.IsVersionSpecified() || settings_.GetVersion().View() != u"5") return false;
    Append(u"<!DOCTYPE html>");
    return true;
  }
  Append(u"<!DOCTYPE html");
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
  return true;
}

bool KTResultSerializer::IsContentTypeMeta(const KTXPathNode* element) const {
  if (element->GetKind() != kXPathElement || InNamespace(element) || !IsNamedLocal(element, u"meta")) return false;
  for (const auto& child : element->Children()) {
    if (child->GetKind() != kXPathAttribute) continue;
    if (IsNamed(child->GetName(), u"http-equiv") && IsNamed(child->GetValue(), u"content-type")) return true;
  }
  return false;
}

// The META goes into the head of the html element at the top of the result
// (or a head at the top). A META of the result that already declares the
// content type, in that head or before it, takes its place: it is written as
// the serialiser's, naming the output encoding, and any further one there is
// left out, so that the page never carries two declarations.
void KTResultSerializer::FindHtmlMetaPlace() {
  const KTXPathNode* head = nullptr;
  const KTXPathNode* html = nullptr;
  for (const auto& child : resultRoot_->Children()) {
    if (child->GetKind() != kXPathElement) continue;
    if (InNamespace(child.get())) continue;
    if (IsNamedLocal(child.get(), u"html")) {
      html = child.get();
      break;
    }
    if (IsNamedLocal(child.get(), u"head")) {
      head = child.get();
      break;
    }
  }
  metaHtml_ = html;
  if (html) {
    for (const auto& child : html->Children()) {
      if (child->GetKind() != kXPathElement) continue;
      if (!InNamespace(child.get()) && IsNamedLocal(child.get(), u"head")) {
        head = child.get();
        break;
      }
      if (!ownMeta_ && IsContentTypeMeta(child.get())) ownMeta_ = child.get();
    }
  }
  metaScope_ = head;
  if (!head || ownMeta_) return;
  for (const auto& child : head->Children()) {
    if (IsContentTypeMeta(child.get())) {
      ownMeta_ = child.get();
      return;
    }
  }
  metaHead_ = head;
}

bool KTResultSerializer::IsLeftOutMeta(const KTXPathNode* element) const {
  if (!ownMeta_ || element == ownMeta_) return false;
  const KTXPathNode* parent = element->GetParent();
  return (parent == metaHtml_ || parent == metaScope_) && IsContentTypeMeta(element);
}

void KTResultSerializer::WriteHtmlMeta() {
  Append(u"<meta http-equiv=\"Content-Type\" content=\"text/html; charset=");
  Append(encoding_.GetName().View());
  Append(u"\">");
}

void KTResultSerializer::WriteHtmlAttribute(const KTXPathNode* node) {
  const KTXPathNode* parent = node->GetParent();
  // The result's own content-type META is written as the serialiser's.
  if (parent && parent == ownMeta_) return;
  const bool xmlForm = !parent || InNamespace(parent);
  if (node->GetKind() == kXPathNamespace || xmlForm) {
    Append(u' ');
    AppendName(node);
    Append(u"=\"");
    AppendText(node->GetValue(), kXmlAttributeRules, node, KTOutputError::kPlaceAttribute);
    Append(u'"');
    return;
  }
  const unsigned flags = KTHtmlVocabulary::AttributeFlags(node->GetName());
  Append(u' ');
  AppendName(node);
  if (flags & KTHtmlVocabulary::kBooleanAttribute) return;
  Append(u"=\"");
  if ((flags & KTHtmlVocabulary::kUriAttribute) ||
      ((flags & KTHtmlVocabulary::kNameAttribute) && IsNamed(parent->GetName(), u"a"))) {
    EscapeUriValue(node->GetValue(), uriBuffer_);
    AppendText(uriBuffer_.View(), kHtmlAttributeRules, node, KTOutputError::kPlaceAttribute);
  } else {
    AppendText(node->GetValue(), kHtmlAttributeRules, node, KTOutputError::kPlaceAttribute);
  }
  Append(u'"');
}

void KTResultSerializer::OpenHtmlElement(const KTXPathNode* node, std::vector<HtmlFrame>& stack) {
  const std::u16string_view name = node->GetName();
  const bool parentVerbatim = !stack.empty() && stack.back().verbatim;
  HtmlFrame frame{node};
  frame.element = true;
  const int childCount = node->GetChildCount();
  // XSLT 1.0 §16.2: an element whose name has a namespace URI is not HTML's,
  // whatever its name: it is written as the xml method writes it (escaped
  // text, empty-element tag, no end-tag rules and no line breaks inside).
  if (InNamespace(node)) {
    frame.xmlForm = true;
    frame.verbatim = parentVerbatim;
    Append(u'<');
    AppendName(node);
    // Namespace declarations first, then the attributes, as the xml method.
    int leading = 0;
    while (leading < childCount && IsAttributeLike(node->GetChild(leading)->GetKind())) ++leading;
    for (int kind : {static_cast<int>(kXPathNamespace), static_cast<int>(kXPathAttribute)}) {
      for (int i = 0; i < leading; ++i) {
        if (node->GetChild(i)->GetKind() == kind) WriteHtmlAttribute(node->GetChild(i));
      }
    }
    frame.next = leading;
    stack.push_back(frame);
    return;
  }
  const unsigned flags = KTHtmlVocabulary::ElementFlags(name);
  frame.empty = (flags & KTHtmlVocabulary::kEmptyElement) != 0;
  frame.block = (flags & KTHtmlVocabulary::kBlockElement) != 0;
  frame.raw = (flags & KTHtmlVocabulary::kRawTextElement) != 0;
  frame.meta = node == metaHead_;
  frame.verbatim = parentVerbatim || (flags & KTHtmlVocabulary::kVerbatimElement) != 0;
  const std::u16string_view local = name.substr(name.find(u':') + 1);
  frame.breaksBetween = indent_ && !frame.verbatim && !frame.empty && !local.empty() && local[0] != u'p';
  if (frame.breaksBetween && frame.block) {
    // The content as written: no attributes, no empty text, the META first.
    int first = 0;
    while (first < childCount && (IsAttributeLike(node->GetChild(first)->GetKind()) ||
                                  IsEmptyText(node->GetChild(first)))) {
      ++first;
    }
    int last = childCount - 1;
    while (last >= first && IsEmptyText(node->GetChild(last))) --last;
    const bool anyChild = first <= last;
    const bool several = frame.meta ? anyChild : first < last;
    const bool textFirst = !frame.meta && anyChild && IsTextLike(node->GetChild(first)->GetKind());
    const bool textLast = anyChild && IsTextLike(node->GetChild(last)->GetKind());
    frame.breakAfterStart = several && !textFirst;
    frame.breakBeforeEnd = several && !textLast;
  }
  if (node == ownMeta_) {
    // The result's own content-type META gives way to the serialiser's,
    // which names the encoding the bytes are really in; its attributes are
    // not written.
    WriteHtmlMeta();
    frame.closed = true;
  } else {
    Append(u'<');
    AppendName(node);
  }
  stack.push_back(frame);
}

void KTResultSerializer::FinishHtmlStartTag(HtmlFrame& frame) {
  Append(u'>');
  frame.closed = true;
  if (frame.breakAfterStart) WriteNewline();
  if (frame.meta) {
    WriteHtmlMeta();
    frame.afterBlock = true;
  }
}

void KTResultSerializer::CloseHtmlElement(HtmlFrame& frame) {
  if (frame.xmlForm) {
    Append(frame.closed ? u"</" : u"/>");
    if (frame.closed) {
      AppendName(frame.node);
      Append(u'>');
    }
    return;
  }
  if (frame.empty) {
    // An empty element of HTML is its start tag alone (XSLT 1.0 §16.2).
    if (!frame.closed) Append(u'>');
    return;
  }
  // Any other element has an end tag even without content: HTML knows no
  // empty-element tag, so "<p />" would leave p open over what follows. A
  // head element without content still gets its META.
  if (!frame.closed) FinishHtmlStartTag(frame);
  if (frame.breakBeforeEnd) WriteNewline();
  Append(u"</");
  AppendName(frame.node);
  Append(u'>');
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
        // An HTML processing instruction ends with '>' (XSLT 1.0 §16.2).
        WriteProcessingInstructionStart(node);
        Append(u'>');
        stack.push_back(HtmlFrame{node});
        break;
      case kXPathComment:
        WriteComment(node);
        stack.push_back(HtmlFrame{node});
        break;
      default:  // the XML declaration and unknown kinds write nothing
        break;
    }

    node = nullptr;
    while (!stack.empty()) {
      HtmlFrame& frame = stack.back();
      if (frame.next < frame.node->GetChildCount()) {
        const KTXPathNode* child = frame.node->GetChild(frame.next++);
        if (!child) return false;
        const int kind = child->GetKind();
        if (!IsAttributeLike(kind)) {
          // An empty text node (value-of of an empty string) writes nothing
          // and leaves the layout as it is.
          if (IsEmptyText(child)) continue;
          if (kind == kXPathElement && IsLeftOutMeta(child)) continue;
          if (frame.element && !frame.closed) FinishHtmlStartTag(frame);
          if (frame.afterBlock && frame.breaksBetween && !IsTextLike(kind)) WriteNewline();
          frame.afterBlock = false;
        }
        raw = frame.raw;
        node = child;
        break;
      }
      HtmlFrame done = frame;
      stack.pop_back();
      if (!done.element) continue;
      CloseHtmlElement(done);
      if (!stack.empty()) stack.back().afterBlock = done.block;
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
