// xmlprobe: a test tool over the XML parser, used by the end-to-end tests.
//   xmlprobe parse FILE   "ok elements=E attributes=A texts=T", or the load error
//                         (also when a document came out of bytes that were not
//                         valid in their encoding)
//   xmlprobe write FILE   the tree written back as text (the loader's save options)
//   xmlprobe canon FILE   the XPath view of the document (entities expanded,
//                         defaults supplied) in canonical form (see WriteCanonical)
//   xmlprobe xpath FILE EXPR
//                         EXPR evaluated at the root of that view: a number or
//                         string as its XPath string value, a boolean as
//                         true/false, a node-set as "node-set N" and then one
//                         line per node: kind, name and string value separated
//                         by tabs (line ends in values written as \n)
// Exit code 0 on success, 1 when the document does not load (or the
// expression fails: "error compile ..." or "error xpath ..."; or when memory
// runs out: "error out of memory"), 2 on bad usage.
// The file is loaded by the document loader as the front end loads it: any
// supported encoding, the DTD grammar for a name ending in ".dtd", the XML
// grammar for any other.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/ktexcept.h"
#include "core/ktstring.h"
#include "platform/ktutf8.h"
#include "schema/ktschemamodel.h"
#include "xml/ktdocmanager.h"
#include "xml/ktdocsource.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktdocloader.h"
#include "xml/ktxnode.h"
#include "xml/ktxpathnode.h"
#include "xml/ktxpathtreecontext.h"
#include "xml/ktxwriter.h"
#include "xpath/ktxpathexpression.h"
#include "xpath/ktxpathfunctionlibrary.h"
#include "xpath/ktxpathvalue.h"

namespace {

void Print(const std::u16string_view text) {
  const std::string utf8 = KTUtf16ToUtf8(text);
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
}

bool IsNamespaceDeclaration(std::u16string_view name) {
  return name.size() >= 5 && name[0] == u'x' && name.substr(0, 5) == u"xmlns" &&
         (name.size() == 5 || name[5] == u':');
}

bool IsNamespaceDeclaration(const KTXNode* attribute) {
  // An interned name knows its length: no scan for its end.
  const KTXName* interned = attribute->InternedName();
  return IsNamespaceDeclaration(interned ? interned->View() : std::u16string_view(attribute->GetName()));
}

// Counts as an XPath view of the tree would see it: elements; attributes of
// elements other than namespace declarations; text nodes, where Text and
// CData children are one each and an element holding its text as its value
// (the tidied form of an element whose only child was a text) is one.
// Each container's children are classified with the container's kind at
// hand, so a node's kind is read once and its parent's not at all. The
// attributes an element keeps pending are counted as they are, without
// making their nodes (the count is part of the load's measure).
void Count(KTXNode* root, long& elements, long& attributes, long& texts) {
  auto countElement = [&](const KTXNode* element) {
    ++elements;
    if (element->GetValue()[0] != 0) ++texts;
    if (const KTXCompactAttributes* pending = static_cast<const KTXContainerNode*>(element)->GetPendingAttributes()) {
      for (const KTXCompactAttribute& a : *pending) {
        if (!IsNamespaceDeclaration(a.name.View())) ++attributes;
      }
    }
  };
  if (root->GetKind() == kElement) countElement(root);
  std::vector<KTXNode*> work{root};
  while (!work.empty()) {
    KTXNode* parent = work.back();
    work.pop_back();
    const bool inElement = parent->GetKind() == kElement;
    for (KTXNode* node = parent->GetFirstMadeChild(); node; node = node->GetNextSibling()) {
      const int kind = node->GetKind();
      if (kind == kElement) {
        countElement(node);
      } else if (inElement && kind == kAttribute) {
        if (!IsNamespaceDeclaration(node)) ++attributes;
      } else if (inElement && (kind == kText || kind == kCData)) {
        ++texts;
      }
      if (node->GetFirstMadeChild()) work.push_back(node);
    }
  }
}

void PutEscapedChar(std::u16string& out, char16_t c) {
  switch (c) {
    case u'&': out += u"&amp;"; break;
    case u'<': out += u"&lt;"; break;
    case u'>': out += u"&gt;"; break;
    case u'"': out += u"&quot;"; break;
    case u'\t': out += u"&#9;"; break;
    case u'\n': out += u"&#10;"; break;
    case u'\r': out += u"&#13;"; break;
    default: out += c; break;
  }
}

void PutEscaped(std::u16string& out, const char16_t* value) {
  for (const char16_t* p = value; *p; ++p) PutEscapedChar(out, *p);
}

// Canonical form of the XPath view: no XML declaration, DOCTYPE or comments;
// attributes (and the namespace declarations written in the document or
// supplied as defaults) sorted by name; every element as a start and an end
// tag; processing instructions as "<?target data?>"; text and attribute
// values, which the view holds with their references expanded, escaped.
void WriteCanonical(const KTXPathNode* node, std::u16string& out) {
  struct Frame {
    const KTXPathNode* node;
    int next;  // index of the next child to write
  };
  std::vector<Frame> stack;
  std::vector<const KTXPathNode*> attributes;
  auto open = [&](const KTXPathNode* n) -> bool {
    switch (n->GetKind()) {
      case kXPathElement: {
        out += u'<';
        out += n->GetName();
        attributes.clear();
        for (const auto& c : n->Children()) {
          if (c->GetKind() == kXPathAttribute || c->GetKind() == kXPathNamespace) attributes.push_back(c.get());
        }
        std::stable_sort(attributes.begin(), attributes.end(), [](const KTXPathNode* a, const KTXPathNode* b) {
          return std::u16string_view(a->GetName()) < std::u16string_view(b->GetName());
        });
        for (const KTXPathNode* a : attributes) {
          out += u' ';
          out += a->GetName();
          out += u"=\"";
          PutEscaped(out, a->GetValue());
          out += u'"';
        }
        out += u'>';
        return true;
      }
      case kXPathText:
      case kXPathCData:
        if (n->GetParent() && n->GetParent()->GetKind() == kXPathElement) PutEscaped(out, n->GetValue());
        return false;
      case kXPathPI:
        out += u"<?";
        out += n->GetName();
        out += u' ';
        out += n->GetValue();
        out += u"?>";
        return false;
      case kXPathRoot:
        return true;
      default:
        return false;  // declarations, DOCTYPE, comments, attributes (written with their element)
    }
  };
  if (open(node)) stack.push_back({node, 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next >= top.node->GetChildCount()) {
      if (top.node->GetKind() == kXPathElement) {
        out += u"</";
        out += top.node->GetName();
        out += u'>';
      }
      stack.pop_back();
      continue;
    }
    const KTXPathNode* child = top.node->GetChild(top.next++);
    if (open(child)) stack.push_back({child, 0});
  }
}

const char* ItemKindName(int kind) {
  static const char* const kNames[] = {"root",  "element",                "text",    "attribute", "namespace",
                                       "processing-instruction", "comment", "other"};
  return kind >= 0 && kind <= kItemOther ? kNames[kind] : "none";
}

// Prints the value of the expression at the root of the view.
int PrintXPath(KTXPathNode* root, const KTXPathTreeContext& context, const char* text) {
  KTXPathExpression expression;
  const std::u16string source = KTUtf8ToUtf16(text);
  expression.Init(expression.GetNamespaceMap(), &context.GetUriTable(), KTString(std::u16string_view(source)), 0);
  if (!expression.Compile(true, KTXPathExpression::kModeExpr)) {
    std::printf("error compile position=%d\n", expression.GetErrorPosition());
    return 1;
  }
  KTXPathValue value;
  if (!expression.Evaluate(root, root, &value, nullptr, 1, 1, true)) {
    std::printf("error xpath code=%d function=%d position=%d\n", expression.GetErrorCode(),
                expression.GetFunctionIndex(), expression.GetErrorPosition());
    return 1;
  }
  KTString out;
  switch (value.GetKind()) {
    case kValueBoolean:
      std::printf("%s\n", value.GetBoolean() ? "true" : "false");
      return 0;
    case kValueNumber:
    case kValueString:
      Print(value.ToString(&out).View());
      std::printf("\n");
      return 0;
    default:
      break;
  }
  std::printf("node-set %d\n", value.ItemCount());
  KTString scratch;
  for (const KTXPathNodeItem& item : value.Items()) {
    std::u16string line = KTUtf8ToUtf16(ItemKindName(item.GetKind()));
    line += u'\t';
    line += item.GetNode()->GetName();
    line += u'\t';
    for (char16_t c : KTXPathFunctionLibrary::StringValueView(item.GetNode(), scratch)) {
      if (c == u'\n')
        line += u"\\n";
      else
        line += c;
    }
    line += u'\n';
    Print(line);
  }
  return 0;
}

int Usage() {
  std::fputs("usage: xmlprobe parse|write|canon FILE\n       xmlprobe xpath FILE EXPR\n", stderr);
  return 2;
}

}  // namespace

static int Probe(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string_view command = argv[1];
  if (command == "xpath" ? argc != 4 : argc != 3) return Usage();
  if (command != "parse" && command != "write" && command != "canon" && command != "xpath") return Usage();
  KTGrammarCache cache;
  KTString failedGrammar;
  if (!cache.LoadStandardGrammars(false, failedGrammar)) {
    std::printf("error category=4 code=8 line=0 column=0: ");
    Print(cache.GetLoadError().View());
    std::printf("\n");
    return 1;
  }
  KTDocumentLoader loader(&cache, nullptr, nullptr);
  // Loaded as the processor loads its source document: only the tree is
  // kept, and the text is handed back while the tree is built.
  loader.SetDropTextAfterLoad(true);
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
    // The process ends here: its memory goes back as a whole, not node by
    // node (the processor leaves its trees to the end of the process too).
    static_cast<void>(document.release());
  } else if (command == "write") {
    KTString out;
    int length = 0;
    const KTWriteOptions options{.indent = u"\t"};
    document->WriteText(out, length, -1, options);
    Print(std::u16string_view(out.c_str(), static_cast<size_t>(length)));
  } else {
    // The view XPath and XSLT see: the document registered with a manager
    // (entity fragments parse in its grammar, external entities resolve
    // against its place), its schema model, references expanded.
    KTDocumentManager manager(&cache, nullptr);
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(argv[2], error);
    const std::u16string url = KTUtf8ToUtf16(error ? std::string(argv[2]) : absolute.string());
    const bool dtd = path.ends_with(u".dtd");
    KTXNode* root = manager
                        .AddNewRecord(std::make_unique<KTDocumentSource>(url.c_str(), kSourcePlain),
                                      std::move(document), u"\n", dtd ? KTGrammarCache::kDtd : KTGrammarCache::kXml)
                        ->GetDocument();
    KTSchemaModel model(&manager);
    KTXPathTreeContext context;
    std::unique_ptr<KTXPathNode> view;
    try {
      view = context.WrapTree(root, &model, true, url.c_str());
    } catch (const KTXTreeException& e) {
      std::printf("error category=0 code=%d line=0 column=0: the view of the document could not be built\n",
                  e.GetCode());
      return 1;
    }
    if (command == "xpath") return view ? PrintXPath(view.get(), context, argv[3]) : 1;
    std::u16string out;
    if (view) WriteCanonical(view.get(), out);
    Print(out);
  }
  return 0;
}

int main(int argc, char** argv) {
  // Memory that runs out ends the run in order, with a line of its own.
  try {
    return Probe(argc, argv);
  } catch (const std::bad_alloc&) {
  } catch (const KTExcept& error) {
    if (error.GetCode() != KTExcept::kNoMemory) throw;
  }
  std::fputs("error out of memory\n", stdout);
  std::fflush(stdout);
  return 1;
}
