// xmlprobe: a test tool over the XML parser, used by the end-to-end tests.
//   xmlprobe parse FILE   "ok elements=E attributes=A texts=T", or the load error
//                         (also when a document came out of bytes that were not
//                         valid in their encoding)
//   xmlprobe write FILE   the tree written back as text (the loader's save options)
//   xmlprobe canon FILE   the document in canonical form (see WriteCanonical)
// Exit code 0 on success, 1 when the document does not load, 2 on bad usage.
// The file is loaded by the document loader as the front end loads it: any
// supported encoding, the DTD grammar for a name ending in ".dtd", the XML
// grammar for any other.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/ktstring.h"
#include "platform/ktutf8.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktdocloader.h"
#include "xml/ktxnode.h"
#include "xml/ktxwriter.h"

namespace {

void Print(const std::u16string_view text) {
  const std::string utf8 = KTUtf16ToUtf8(text);
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
}

bool IsNamespaceDeclaration(const KTXNode* attribute) {
  const std::u16string_view name = attribute->GetName();
  return name == u"xmlns" || name.starts_with(u"xmlns:");
}

// Counts as an XPath view of the tree would see it: elements; attributes of
// elements other than namespace declarations; text nodes, where Text and
// CData children are one each and an element holding its text as its value
// (the tidied form of an element whose only child was a text) is one.
void Count(KTXNode* root, long& elements, long& attributes, long& texts) {
  std::vector<KTXNode*> work{root};
  while (!work.empty()) {
    KTXNode* node = work.back();
    work.pop_back();
    const int kind = node->GetKind();
    const KTXNode* parent = node->GetParent();
    const bool inElement = parent && parent->GetKind() == kElement;
    if (kind == kElement) {
      ++elements;
      if (node->GetValue()[0] != 0) ++texts;
    } else if (kind == kAttribute && inElement && !IsNamespaceDeclaration(node)) {
      ++attributes;
    } else if ((kind == kText || kind == kCData) && inElement) {
      ++texts;
    }
    for (KTXNode* child = node->GetLastChild(); child; child = child->GetPreviousSibling()) {
      work.push_back(child);
    }
  }
}

// The character a character reference or one of the five predefined entity
// references at text[i] ('&') stands for, with the reference's length in
// `used`; -1 for any other entity reference, which stays as written.
long ReferenceAt(std::u16string_view text, size_t i, size_t& used) {
  const size_t semi = text.find(u';', i);
  if (semi == std::u16string_view::npos) return -1;
  used = semi + 1 - i;
  const std::u16string_view name = text.substr(i + 1, semi - i - 1);
  if (name == u"amp") return u'&';
  if (name == u"lt") return u'<';
  if (name == u"gt") return u'>';
  if (name == u"quot") return u'"';
  if (name == u"apos") return u'\'';
  if (!name.starts_with(u"#") || name.size() < 2) return -1;
  const bool hex = name[1] == u'x';
  long code = 0;
  for (char16_t d : name.substr(hex ? 2 : 1)) {
    const int v = d >= u'0' && d <= u'9'           ? d - u'0'
                  : hex && d >= u'a' && d <= u'f' ? d - u'a' + 10
                  : hex && d >= u'A' && d <= u'F' ? d - u'A' + 10
                                                  : -1;
    if (v < 0) return -1;
    code = code * (hex ? 16 : 10) + v;
    if (code > 0x10FFFF) return -1;
  }
  return code;
}

// XML 1.0 §2.11: CR LF and a lone CR are read as LF. In attribute values
// (§3.3.3) every literal white-space character then counts as a space.
std::u16string NormalizeLineEnds(std::u16string_view text, bool attribute) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c == u'\r') {
      if (i + 1 < text.size() && text[i + 1] == u'\n') ++i;
      c = u'\n';
    }
    if (attribute && (c == u'\n' || c == u'\t')) c = u' ';
    out += c;
  }
  return out;
}

void PutEscapedChar(std::u16string& out, long c) {
  switch (c) {
    case u'&': out += u"&amp;"; break;
    case u'<': out += u"&lt;"; break;
    case u'>': out += u"&gt;"; break;
    case u'"': out += u"&quot;"; break;
    case u'\t': out += u"&#9;"; break;
    case u'\n': out += u"&#10;"; break;
    case u'\r': out += u"&#13;"; break;
    default:
      if (c >= 0x10000) {
        out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
      } else {
        out += static_cast<char16_t>(c);
      }
      break;
  }
}

void PutEscaped(std::u16string& out, std::u16string_view value, bool attribute) {
  const std::u16string text = NormalizeLineEnds(value, attribute);
  for (size_t i = 0; i < text.size(); ++i) {
    size_t used = 0;
    const long c = text[i] == u'&' ? ReferenceAt(text, i, used) : -2;
    if (c == -2) {
      PutEscapedChar(out, text[i]);
    } else if (c >= 0) {
      PutEscapedChar(out, c);
      i += used - 1;
    } else if (used > 0) {
      out.append(text, i, used);  // an entity reference, as the tree holds it
      i += used - 1;
    } else {
      out += u"&amp;";
    }
  }
}

// Canonical form: no XML declaration, DOCTYPE or comments; attributes sorted
// by name; every element as a start and an end tag; processing
// instructions as "<?target data?>"; text and attribute values escaped.
void WriteCanonical(KTXNode* node, std::u16string& out) {
  struct Frame {
    KTXNode* node;
    KTXNode* next;  // next child to write, null when done
  };
  std::vector<Frame> stack;
  auto open = [&](KTXNode* n) -> bool {
    switch (n->GetKind()) {
      case kElement: {
        out += u'<';
        out += n->GetName();
        std::vector<KTXNode*> attributes;
        for (KTXNode* c = n->GetFirstChild(); c; c = c->GetNextSibling()) {
          if (c->GetKind() == kAttribute) attributes.push_back(c);
        }
        std::stable_sort(attributes.begin(), attributes.end(), [](KTXNode* a, KTXNode* b) {
          return std::u16string_view(a->GetName()) < std::u16string_view(b->GetName());
        });
        for (KTXNode* a : attributes) {
          out += u' ';
          out += a->GetName();
          out += u"=\"";
          PutEscaped(out, a->GetValue(), true);
          out += u'"';
        }
        out += u'>';
        PutEscaped(out, n->GetValue(), false);
        return true;
      }
      case kText:
      case kCData:
        if (n->GetParent() && n->GetParent()->GetKind() == kElement) PutEscaped(out, n->GetValue(), false);
        return false;
      case kProcessingInstruction:
        out += u"<?";
        out += n->GetName();
        out += u' ';
        out += n->GetValue();
        out += u"?>";
        return false;
      case kXmlDocument:
      case kXmlEntity:
        return true;
      default:
        return false;  // declarations, DOCTYPE, comments, attributes (written with their element)
    }
  };
  if (open(node)) stack.push_back({node, node->GetFirstChild()});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (!top.next) {
      if (top.node->GetKind() == kElement) {
        out += u"</";
        out += top.node->GetName();
        out += u'>';
      }
      stack.pop_back();
      continue;
    }
    KTXNode* child = top.next;
    top.next = child->GetNextSibling();
    if (open(child)) stack.push_back({child, child->GetFirstChild()});
  }
}

int Usage() {
  std::fputs("usage: xmlprobe parse|write|canon FILE\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return Usage();
  const std::string_view command = argv[1];
  if (command != "parse" && command != "write" && command != "canon") return Usage();
  KTGrammarCache cache;
  KTString failedGrammar;
  if (!cache.LoadStandardGrammars(false, failedGrammar)) {
    std::printf("error category=4 code=8 line=0 column=0: ");
    Print(cache.GetLoadError().View());
    std::printf("\n");
    return 1;
  }
  KTDocumentLoader loader(&cache, nullptr, nullptr);
  KTLoadStatus status;
  const std::u16string path = KTUtf8ToUtf16(argv[2]);
  std::unique_ptr<KTXNode> document(loader.LoadFromUrl(path.c_str(), status));
  // A document whose bytes had to be replaced while decoding comes out, but
  // XML 1.0 §4.3.3 makes such bytes a fatal error: parse reports the status.
  if (!document || (command == "parse" && status.HasError())) {
    std::printf("error category=%d code=%u line=%d column=%d: ", status.GetCategory(),
                static_cast<unsigned>(status.GetCode()), status.GetLine(), status.GetColumn());
    // The message begins with the position already printed; show it once.
    std::u16string_view message = status.GetMessage().View();
    KTString where;
    where.Format(u"line %d, column %d: ", status.GetLine(), status.GetColumn());
    if (message.starts_with(where.View())) message.remove_prefix(static_cast<size_t>(where.GetLength()));
    Print(message);
    std::printf("\n");
    return 1;
  }

  if (command == "parse") {
    long elements = 0, attributes = 0, texts = 0;
    Count(document.get(), elements, attributes, texts);
    std::printf("ok elements=%ld attributes=%ld texts=%ld\n", elements, attributes, texts);
  } else if (command == "write") {
    KTString out;
    int length = 0;
    const KTWriteOptions options(0, u"\t", true, false, u"\n", nullptr, false, false);
    document->WriteText(out, length, -1, options);
    Print(std::u16string_view(out.c_str(), static_cast<size_t>(length)));
  } else {
    std::u16string out;
    WriteCanonical(document.get(), out);
    Print(out);
  }
  return 0;
}
