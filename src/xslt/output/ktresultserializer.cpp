// KTResultSerializer: the serialiser object, the choice of output method, the
// XML declaration and document type declaration, the escaping shared by all
// methods, CDATA sections and the XML writer. The HTML and text writers are in
// ktresultserializer_html.cpp.
#include "xslt/output/ktresultserializer.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "xml/ktxpathnode.h"

namespace {

// Growth step of the output buffer; the buffer also grows by half its size
// at least (KTString::AppendAtLength), so appends stay linear overall.
constexpr int kOutputGrowBy = 16000;

// Appends units to a buffer whose length the caller keeps (the buffer's
// own record of it is left unknown: its readers go by that length or by the
// NUL). Within the room already there it is a copy and the NUL; beyond it
// the buffer grows as KTString grows.
void AppendUnits(KTString& out, int& length, const char16_t* units, int count) {
  if (count <= 0) return;
  if (length + count <= out.GetCapacity()) {
    char16_t* buffer = out.GetBuffer();
    std::memmove(buffer + length, units, static_cast<size_t>(count) * sizeof(char16_t));
    length += count;
    buffer[length] = 0;
    return;
  }
  out.AppendAtLength(units, length, kOutputGrowBy, count);
}

bool IsAttributeLike(int kind) { return kind == kXPathAttribute || kind == kXPathNamespace; }
bool IsTextLike(int kind) { return kind == kXPathText || kind == kXPathCData; }
// xsl:value-of of an empty string appends a text node with no characters;
// it writes nothing and does not count as content.
bool IsEmptyText(const KTXPathNode* node) {
  if (node->GetKind() != kXPathText) return false;
  const char16_t* value = node->GetValue();
  return !value || !*value;
}

// Whether a root writes anything: a node other than empty text below it.
bool HasContent(const KTXPathNode* root) {
  if (root->GetKind() != kXPathRoot) return true;
  return std::any_of(root->Children().begin(), root->Children().end(),
                     [](const auto& child) { return child && !IsEmptyText(child.get()); });
}

bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x - u'A' + u'a');
    if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y - u'A' + u'a');
    if (x != y) return false;
  }
  return true;
}

bool IsXmlSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

bool IsWhitespaceOnly(std::u16string_view text) {
  for (char16_t c : text) {
    if (!IsXmlSpace(c)) return false;
  }
  return true;
}

std::u16string_view LocalPart(std::u16string_view name) {
  std::size_t colon = name.find(u':');
  return colon == std::u16string_view::npos ? name : name.substr(colon + 1);
}

// XML 1.1 §2.2: the C1 controls but NEL (RestrictedChar) may stand in an
// XML 1.1 document only as character references.
bool IsXml11Restricted(char32_t c) { return c >= 0x7F && c <= 0x9F && c != 0x85; }
// XML 1.1 §2.11: a reader takes NEL and LINE SEPARATOR for line feeds.
bool IsXml11LineEnd(char32_t c) { return c == 0x85 || c == 0x2028; }

// "&#N;" in decimal into buffer (at least 16 units); returns the length.
int FormatCharacterReference(char32_t c, char16_t* buffer) {
  char16_t digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char16_t>(u'0' + c % 10);
    c /= 10;
  } while (c != 0);
  int length = 0;
  buffer[length++] = u'&';
  buffer[length++] = u'#';
  while (n > 0) buffer[length++] = digits[--n];
  buffer[length++] = u';';
  return length;
}

}  // namespace

// The characters below 64 that AppendText may replace under some rules or
// refuse, as bits by code: markup, the quote and every control character.
constexpr uint64_t kMayBeReplaced = (uint64_t{1} << u'<') | (uint64_t{1} << u'>') | (uint64_t{1} << u'&') |
                                    (uint64_t{1} << u'"') | ((uint64_t{1} << 0x20) - 1);

// Their parts: the control characters XML 1.0 §2.2 refuses (all below the
// space but tab, LF and CR), '<' and '>', and tab, LF and CR.
constexpr uint64_t kLineEndBits = (uint64_t{1} << u'\t') | (uint64_t{1} << u'\n') | (uint64_t{1} << u'\r');
constexpr uint64_t kRefusedControls = ((uint64_t{1} << 0x20) - 1) & ~kLineEndBits;
constexpr uint64_t kMarkupBits = (uint64_t{1} << u'<') | (uint64_t{1} << u'>');

// The characters below 64 AppendText looks at under each combination of
// rule bits, worked out once (as a run of tests it costs more than the scan
// of a short name).
constexpr std::array<uint64_t, KTResultSerializer::kRuleCombinations> KTResultSerializer::kLookedAt = [] {
  std::array<uint64_t, kRuleCombinations> table{};
  for (unsigned rules = 0; rules < kRuleCombinations; ++rules) {
    uint64_t looked = kRefusedControls;
    if (rules & kEscapeMarkup) looked |= kMarkupBits;
    if (rules & (kEscapeAmpersand | kAmpersandBeforeBrace)) looked |= uint64_t{1} << u'&';
    if (rules & kEscapeQuote) looked |= uint64_t{1} << u'"';
    if (rules & kEscapeLineEnds) looked |= kLineEndBits;
    if (rules & kEscapeCarriageReturn) looked |= uint64_t{1} << u'\r';
    table[rules] = looked;
  }
  return table;
}();

// One element (or other container) whose children the XML writer is walking.
struct KTResultSerializer::XmlFrame {
  const KTXPathNode* node;
  int next;
  XmlFlags childFlags;  // the flags of the children and of the end tag
  bool element;
  bool closed;  // the start tag has its '>' (the element has content)
};

KTResultSerializer::KTResultSerializer() : defaultEncoding_(u"UTF-8") {}

KTResultSerializer::~KTResultSerializer() = default;

void KTResultSerializer::ClearOutput() {
  outputLength_ = 0;
  output_.ClearAndReserve(0);
  outputBuffer_ = nullptr;
  outputCapacity_ = 0;
}

void KTResultSerializer::SyncOutputBuffer() {
  outputBuffer_ = output_.GetBuffer();
  outputCapacity_ = output_.GetCapacity();
}

void KTResultSerializer::AppendToOutput(const char16_t* units, int count) {
  AppendUnits(output_, outputLength_, units, count);
  SyncOutputBuffer();
  FlushIfFull();
}

void KTResultSerializer::AppendEscaped(std::u16string_view text, unsigned rules, const KTXPathNode* node,
                                       KTOutputError::Place place) {
  AppendText(output_, outputLength_, text, rules, node, place);
  SyncOutputBuffer();
  FlushIfFull();
}

void KTResultSerializer::FlushToSink() {
  if (outputLength_ > 0) sink_->WriteOutput(output_.c_str(), static_cast<size_t>(outputLength_));
  outputLength_ = 0;
}

void KTResultSerializer::WriteNewline() { Append(u'\n'); }

// Two spaces a level: the unit xsltproc and most XSLT processors indent
// with, so that an indented result reads and compares as theirs does.
void KTResultSerializer::WriteIndent() {
  for (int i = 0; i < depth_; ++i) Append(std::u16string_view(u"  "));
}

// ---- Serialize and the method ----

const char16_t* KTResultSerializer::Serialize(const KTOutputSettings& settings) {
  if (!resultRoot_) return output_.c_str();
  ClearOutput();
  settings_ = settings;
  ChooseMethod();
  depth_ = 0;
  metaHead_ = nullptr;
  ownMeta_ = nullptr;
  metaHtml_ = nullptr;
  metaScope_ = nullptr;
  xml11_ = false;
  encoding_.Select(settings_.IsEncodingSpecified() ? settings_.GetEncoding().c_str()
                                                   : defaultEncoding_.c_str());
  ParseCdataList();
  if (sink_) sink_->BeginOutput(encoding_.GetId(), encoding_.GetByteOrder());

  bool written = false;
  if (xml_) {
    indent_ = settings_.IsIndentSpecified() && settings_.GetIndent();
    // Line breaks part the declarations and the nodes at the top of the
    // document unless indent="no" says otherwise: the layout xsltproc
    // writes, so that results compare equal line by line.
    const bool topBreaks = !settings_.IsIndentSpecified() || settings_.GetIndent();
    if (!(settings_.IsOmitXmlDeclarationSpecified() && settings_.GetOmitXmlDeclaration())) {
      WriteXmlDeclaration();
      // An empty result is the declaration alone.
      if (HasContent(resultRoot_)) WriteNewline();
    }
    if (WriteXmlDoctype() && topBreaks) WriteNewline();
    written = WriteXmlDocument(topBreaks);
  } else if (html_) {
    indent_ = settings_.IsIndentSpecified() ? settings_.GetIndent() : true;
    if (WriteHtmlDoctype()) WriteNewline();
    FindHtmlMetaPlace();
    written = WriteHtmlNode(resultRoot_);
    // The document ends with a line break, as a text file does.
    if (written && HasContent(resultRoot_)) WriteNewline();
  } else if (text_) {
    written = WriteTextNode(resultRoot_);
  }
  if (!written) ClearOutput();
  if (sink_) {
    FlushToSink();
    // The piece buffer is not needed until the next Serialize.
    ClearOutput();
  }
  return output_.c_str();
}

void KTResultSerializer::ChooseMethod() {
  if (settings_.IsMethodSpecified()) {
    const KTString method = settings_.GetMethod();
    const std::u16string_view name = method.View();
    const bool isXml = EqualsIgnoringAsciiCase(name, u"xml");
    const bool isHtml = !isXml && EqualsIgnoringAsciiCase(name, u"html");
    const bool isText = !isXml && !isHtml && EqualsIgnoringAsciiCase(name, u"text");
    if (isXml || isHtml || isText) {
      xml_ = isXml;
      html_ = isHtml;
      text_ = isText;
      return;
    }
  }
  // XSLT 1.0 §16: html when the first element child of the root is named
  // html (any case) in no namespace and only white space text precedes it.
  bool html = false;
  if (resultRoot_) {
    bool onlySpaceBefore = true;
    for (const auto& child : resultRoot_->Children()) {
      const int kind = child->GetKind();
      if (kind == kXPathElement) {
        html = onlySpaceBefore && !child->GetNamespaceUri() &&
               EqualsIgnoringAsciiCase(LocalPart(child->GetName()), u"html");
        break;
      }
      if (IsTextLike(kind) && !IsWhitespaceOnly(child->GetValue())) onlySpaceBefore = false;
    }
  }
  html_ = html;
  xml_ = !html;
  text_ = false;
  settings_.SetMethod(html ? KTString(u"html") : KTString(u"xml"));
}

// ---- Escaping ----

void KTResultSerializer::AppendText(KTString& out, int& length, std::u16string_view text,
                                    unsigned rules, const KTXPathNode* node,
                                    KTOutputError::Place place) {
  const bool representsAll = encoding_.RepresentsAll();
  // xml and html results are read by XML and HTML parsers, which take only
  // the characters of XML 1.0 §2.2. Text output is plain text (XSLT 1.0
  // §16.3): any character. (Values end at NUL, so none holds one.)
  const bool xmlCharsOnly = !text_;
  const std::size_t size = text.size();
  std::size_t runStart = 0;
  char16_t reference[16];
  // XML 1.0 output through an encoding that writes every character: the
  // common case, whose characters from 64 below the surrogates are let by
  // on one comparison.
  const bool plain = representsAll && !xml11_;
  // Of the characters below 64, those these rules replace or may refuse:
  // the others (the line ends of text, the quote outside attributes) are let
  // by as the loop below would let them by.
  const uint64_t looked = kLookedAt[rules & (kRuleCombinations - 1)];
  std::size_t first = 0;
  if (plain) {
    // Most texts and names hold no character the rules look at: one tight
    // scan finds the first that may be, and a text without one is copied
    // whole. The loop below starts at that character, since it lets every
    // character before it by.
    const char16_t* units = text.data();
    while (first < size) {
      const char16_t c = units[first];
      if (c >= 64 ? c >= 0xD800 : ((looked >> c) & 1) != 0) break;
      ++first;
    }
    if (first == size) {
      AppendUnits(out, length, units, static_cast<int>(size));
      return;
    }
  }
  for (std::size_t i = first; i < size; ++i) {
    const char16_t c = text[i];
    // An encoding that writes every character leaves only the characters
    // the rules may replace or refuse to look at: those below 64 and from
    // the surrogates up.
    if (plain && (c >= 64 ? c < 0xD800 : ((looked >> c) & 1) == 0)) continue;
    if (representsAll && (c >= 64 ? c < 0xD800 && !(xml11_ && (IsXml11Restricted(c) || IsXml11LineEnd(c)))
                                  : ((kMayBeReplaced >> c) & 1) == 0)) {
      continue;
    }
    const char16_t* replacement = nullptr;
    int replacementLength = 0;
    std::size_t units = 1;
    char32_t code = c;
    if (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r' && xmlCharsOnly) {
      throw KTOutputError(code, place, node);
    }
    if (c >= 0xD800) {
      if (c <= 0xDBFF && i + 1 < size && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        code = 0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00);
        units = 2;
      } else if (xmlCharsOnly && (c <= 0xDFFF || c >= 0xFFFE)) {
        throw KTOutputError(code, place, node);
      }
      if (representsAll) {
        i += units - 1;
        continue;
      }
    }
    if (xml11_ && (IsXml11Restricted(c) || IsXml11LineEnd(c))) {
      // A line end of XML 1.1 where no reference may stand is written as it
      // is, as a CR is in a comment.
      if (rules & kNoReferences) {
        if (IsXml11Restricted(c)) throw KTOutputError(code, place, node, true);
        if (representsAll || encoding_.CanRepresent(c)) continue;
        throw KTOutputError(code, place, encoding_.GetName(), node);
      }
      replacementLength = FormatCharacterReference(code, reference);
      replacement = reference;
    } else if (c < 0x80) {
      switch (c) {
        case u'<':
          if (rules & kEscapeMarkup) replacement = u"&lt;";
          break;
        case u'>':
          if (rules & kEscapeMarkup) replacement = u"&gt;";
          break;
        case u'&':
          if ((rules & kEscapeAmpersand) ||
              ((rules & kAmpersandBeforeBrace) && (i + 1 >= size || text[i + 1] != u'{'))) {
            replacement = u"&amp;";
          }
          break;
        case u'"':
          if (rules & kEscapeQuote) replacement = u"&quot;";
          break;
        case u'\r':
          if (rules & (kEscapeLineEnds | kEscapeCarriageReturn)) replacement = u"&#13;";
          break;
        case u'\n':
          if (rules & kEscapeLineEnds) replacement = u"&#10;";
          break;
        case u'\t':
          if (rules & kEscapeLineEnds) replacement = u"&#9;";
          break;
        default:
          break;
      }
      if (replacement) {
        replacementLength = static_cast<int>(std::char_traits<char16_t>::length(replacement));
      } else if (representsAll || encoding_.CanRepresent(c)) {
        continue;
      }
    } else if (representsAll) {
      continue;
    }
    if (!replacement) {
      if (encoding_.CanRepresent(code)) {
        i += units - 1;
        continue;
      }
      if (rules & kNoReferences) throw KTOutputError(code, place, encoding_.GetName(), node);
      replacementLength = FormatCharacterReference(code, reference);
      replacement = reference;
    }
    if (i > runStart) AppendUnits(out, length, text.data() + runStart, int(i - runStart));
    AppendUnits(out, length, replacement, replacementLength);
    i += units - 1;
    runStart = i + 1;
  }
  if (size > runStart) AppendUnits(out, length, text.data() + runStart, int(size - runStart));
}

void KTResultSerializer::EscapeMarkup(KTString& text, bool quotes, bool lineFeeds, bool ampersands) {
  unsigned rules = kEscapeMarkup | (ampersands ? kEscapeAmpersand : kAmpersandBeforeBrace);
  if (quotes) rules |= kEscapeQuote;
  if (lineFeeds) rules |= kEscapeLineEnds;
  int length = 0;
  escapeBuffer_.ClearAndReserve(text.GetLength());
  AppendText(escapeBuffer_, length, text.View(), rules, nullptr, KTOutputError::kPlaceName);
  text = escapeBuffer_;
}

void KTResultSerializer::AppendName(const KTXPathNode* node) {
  AppendText(node->GetName(), kNoReferences, node, KTOutputError::kPlaceName);
}

// ---- CDATA sections ----

void KTResultSerializer::ParseCdataList() {
  cdataTokens_.clear();
  if (!settings_.IsCdataSectionElementsSpecified()) return;
  cdataList_ = settings_.GetCdataSectionElements();
  const std::u16string_view list = cdataList_.View();
  std::size_t i = 0;
  while (i < list.size()) {
    while (i < list.size() && IsXmlSpace(list[i])) ++i;
    std::size_t start = i;
    while (i < list.size() && !IsXmlSpace(list[i])) ++i;
    if (i > start) {
      CdataToken token;
      token.text = KTString(list.substr(start, i - start));
      token.hasColon = token.text.Find(u':') >= 0;
      cdataTokens_.push_back(std::move(token));
    }
  }
}

bool KTResultSerializer::InCdataSectionElement(const KTXPathNode* textNode) const {
  const KTXPathNode* parent = textNode->GetParent();
  if (cdataTokens_.empty() || !parent || parent->GetKind() != kXPathElement) return false;
  const std::u16string_view name = parent->GetName();
  const KTString* uri = parent->GetNamespaceUri();
  for (const CdataToken& token : cdataTokens_) {
    const std::u16string_view t = token.text.View();
    if (!uri) {
      if (!token.hasColon && t == name) return true;
    } else {
      const std::u16string_view u = uri->View();
      const std::u16string_view local = LocalPart(name);
      if (t.size() == u.size() + 1 + local.size() && t.substr(0, u.size()) == u &&
          t[u.size()] == u':' && t.substr(u.size() + 1) == local) {
        return true;
      }
    }
  }
  return false;
}

void KTResultSerializer::WriteXmlAttribute(const KTXPathNode* node) {
  Append(u' ');
  AppendName(node);
  Append(u"=\"");
  AppendText(node->GetValue(), kXmlAttributeRules, node, KTOutputError::kPlaceAttribute);
  Append(u'"');
}

void KTResultSerializer::WriteProcessingInstructionStart(const KTXPathNode* node) {
  Append(u"<?");
  AppendName(node);
  // An instruction without data ends right after its target: "<?p?>".
  if (node->GetValue() && *node->GetValue()) Append(u' ');
  AppendText(node->GetValue(), kNoReferences, node, KTOutputError::kPlaceProcessingInstruction);
}

void KTResultSerializer::WriteComment(const KTXPathNode* node) {
  Append(u"<!--");
  AppendText(node->GetValue(), kNoReferences, node, KTOutputError::kPlaceComment);
  Append(u"-->");
}

void KTResultSerializer::WriteTextContent(const KTXPathNode* node, bool escape) {
  // Without cdata-section-elements (the common case) the value is written
  // as it ends at its NUL, without measuring it first.
  if (cdataTokens_.empty()) {
    AppendText(node->GetValue(), escape ? kTextRules : 0u, node, KTOutputError::kPlaceText);
    return;
  }
  const std::u16string_view value = node->GetValue();
  if (InCdataSectionElement(node)) {
    // "]]>" cannot stand inside a section: it is split between "]]" and ">".
    // A CR would reach a reader as a line feed (XML 1.0 §2.11), so it leaves
    // the section as a character reference.
    // So do the characters XML 1.1 reads as line ends or takes only as
    // references.
    auto leavesSection = [&](char16_t c) {
      return c == u'\r' || (xml11_ && (IsXml11Restricted(c) || IsXml11LineEnd(c)));
    };
    auto appendPiece = [&](std::u16string_view piece) {
      for (;;) {
        const auto out = std::find_if(piece.begin(), piece.end(), leavesSection);
        if (out == piece.end()) break;
        const std::size_t at = static_cast<std::size_t>(out - piece.begin());
        AppendText(piece.substr(0, at), kNoReferences, node, KTOutputError::kPlaceCData);
        char16_t reference[16];
        Append(u"]]>");
        Append(std::u16string_view(reference, FormatCharacterReference(piece[at], reference)));
        Append(u"<![CDATA[");
        piece.remove_prefix(at + 1);
      }
      AppendText(piece, kNoReferences, node, KTOutputError::kPlaceCData);
    };
    Append(u"<![CDATA[");
    std::size_t start = 0;
    for (std::size_t end = value.find(u"]]>"); end != std::u16string_view::npos;
         end = value.find(u"]]>", start)) {
      appendPiece(value.substr(start, end - start));
      Append(u"]]]]><![CDATA[>");
      start = end + 3;
    }
    appendPiece(value.substr(start));
    Append(u"]]>");
    return;
  }
  AppendText(value, escape ? kTextRules : 0u, node, KTOutputError::kPlaceText);
}

// ---- XML method ----

void KTResultSerializer::WriteXmlDeclaration() {
  // XSLT 1.0 §16.1: a version of XML that is not supported (any but 1.0 and
  // 1.1) gives way to one that is. The document after the declaration is
  // then read by the rules of its version.
  xml11_ = settings_.IsVersionSpecified() && settings_.GetVersion().View() == u"1.1";
  Append(xml11_ ? u"<?xml version=\"1.1\" encoding=\"" : u"<?xml version=\"1.0\" encoding=\"");
  Append(encoding_.GetName().View());
  Append(u'"');
  if (settings_.IsStandaloneSpecified()) {
    Append(settings_.GetStandalone() ? u" standalone=\"yes\"" : u" standalone=\"no\"");
  }
  Append(u"?>");
}

bool KTResultSerializer::WriteXmlDoctype() {
  if (!settings_.IsDoctypeSystemSpecified()) return false;
  const int first = resultRoot_->FirstChildOfKind(kXPathElement);
  if (first >= resultRoot_->GetChildCount()) return false;
  Append(u"<!DOCTYPE ");
  AppendName(resultRoot_->GetChild(first));
  const unsigned rules = kNoReferences;
  if (settings_.IsDoctypePublicSpecified()) {
    Append(u" PUBLIC \"");
    AppendText(settings_.GetDoctypePublic().View(), rules, nullptr);
    Append(u"\" \"");
  } else {
    Append(u" SYSTEM \"");
  }
  AppendText(settings_.GetDoctypeSystem().View(), rules, nullptr);
  Append(u"\">");
  return true;
}

bool KTResultSerializer::WriteXmlDocument(bool topBreaks) {
  if (resultRoot_->GetKind() != kXPathRoot) return WriteXmlNode(resultRoot_, XmlFlags{false, indent_});
  // The nodes at the top stand at the start of their lines as written: a
  // line break follows a comment that is followed by more, and the last node.
  const int count = resultRoot_->GetChildCount();
  bool any = false;
  for (int i = 0; i < count; ++i) {
    const KTXPathNode* child = resultRoot_->GetChild(i);
    if (!child) return false;
    if (IsEmptyText(child)) continue;
    if (!WriteXmlNode(child, XmlFlags{false, indent_})) return false;
    any = true;
    if (topBreaks && child->GetKind() == kXPathComment) {
      int next = i + 1;
      while (next < count && resultRoot_->GetChild(next) && IsEmptyText(resultRoot_->GetChild(next))) ++next;
      if (next < count) WriteNewline();
      i = next - 1;
    }
  }
  if (any && topBreaks) WriteNewline();
  return true;
}

bool KTResultSerializer::WriteXmlNode(const KTXPathNode* top, XmlFlags topFlags) {
  if (!top) return false;
  std::vector<XmlFrame> stack;
  const KTXPathNode* node = top;
  XmlFlags flags = topFlags;
  for (;;) {
    // Write the start of node (all of it for a node without children to walk).
    switch (node->GetKind()) {
      case kXPathRoot:
      case kXPathXmlDecl:
      case kXPathDoctype:
      case kXPathDoctypeExternalId:
      case kXPathDoctypeElement:
      case kXPathDoctypeAttlist:
      case kXPathDoctypeEntity:
      case kXPathDoctypeNotation:
        stack.push_back(XmlFrame{node, 0, flags, false, false});
        break;
      case kXPathElement: {
        if (flags.lineBreak) {
          WriteNewline();
          WriteIndent();
        }
        Append(u'<');
        AppendName(node);
        // Namespace declarations first, then the attributes, each in the
        // order the tree holds them (as xsltproc writes a start tag).
        int leading = 0;
        while (leading < node->GetChildCount() && IsAttributeLike(node->GetChild(leading)->GetKind())) ++leading;
        for (int kind : {static_cast<int>(kXPathNamespace), static_cast<int>(kXPathAttribute)}) {
          for (int i = 0; i < leading; ++i) {
            const KTXPathNode* attribute = node->GetChild(i);
            if (attribute->GetKind() == kind) WriteXmlAttribute(attribute);
          }
        }
        // Mixed content keeps its white space exactly: no indentation inside
        // it, down to its deepest elements.
        bool hasText = false;
        if (flags.format) {
          for (const auto& child : node->Children()) {
            if (IsTextLike(child->GetKind()) && !IsEmptyText(child.get())) {
              hasText = true;
              break;
            }
          }
        }
        const XmlFlags childFlags = flags.format && !hasText ? XmlFlags{true, true} : XmlFlags{};
        stack.push_back(XmlFrame{node, leading, childFlags, true, false});
        break;
      }
      case kXPathAttribute:
      case kXPathNamespace:
        WriteXmlAttribute(node);
        break;
      case kXPathText:
      case kXPathCData:
        WriteTextContent(node, node->GetOutputFlag());
        break;
      case kXPathPI:
      case kXPathComment:
        if (flags.lineBreak) {
          WriteNewline();
          WriteIndent();
        }
        if (node->GetKind() == kXPathPI) {
          WriteProcessingInstructionStart(node);
          Append(u"?>");
        } else {
          WriteComment(node);
        }
        stack.push_back(XmlFrame{node, 0, flags, false, false});
        break;
      default:
        break;
    }

    // Find the next node to start, finishing the elements left behind.
    node = nullptr;
    while (!stack.empty()) {
      XmlFrame& frame = stack.back();
      if (frame.next < frame.node->GetChildCount()) {
        const KTXPathNode* child = frame.node->GetChild(frame.next++);
        if (!child) return false;
        // An empty text node (xsl:value-of of an empty string) is no content:
        // the element keeps its empty-element tag.
        if (IsEmptyText(child)) continue;
        if (frame.element && !frame.closed && !IsAttributeLike(child->GetKind())) {
          Append(u'>');
          frame.closed = true;
          ++depth_;
        }
        node = child;
        flags = frame.childFlags;
        break;
      }
      const XmlFrame done = frame;
      stack.pop_back();
      if (!done.element) continue;
      if (done.closed) {
        --depth_;
        if (done.childFlags.lineBreak) {
          WriteNewline();
          WriteIndent();
        }
        Append(u"</");
        AppendName(done.node);
        Append(u'>');
      } else {
        Append(u"/>");
      }
    }
    if (!node) return true;
  }
}
