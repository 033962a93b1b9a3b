// The XSLT 1.0 additions to the XPath function library (XSLT 1.0 §12, §15).
#include "xpath/ktxsltfunctionlibrary.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "xpath/ktxpathparser.h"
#include "xpath/ktxsltfunctionservices.h"

namespace {

// The elements that are instructions in XSLT 1.0 (§15: element-available is
// true only for instructions; top-level elements such as xsl:template are
// not).
constexpr const char16_t* kInstructions[] = {
    u"apply-imports", u"apply-templates", u"attribute", u"call-template", u"choose", u"comment",
    u"copy",          u"copy-of",         u"element",   u"fallback",      u"for-each", u"if",
    u"message",       u"number",          u"processing-instruction",      u"text",     u"value-of",
    u"variable",
};

KTString Ascii(const char* text) {
  std::u16string wide(text, text + std::strlen(text));
  return KTString(std::u16string_view(wide));
}

[[noreturn]] void Raise(int code, int index) { KTXPathFunctionLibrary::Raise(code, index); }

// The error names what was asked for: `what` and the text in quotes.
[[noreturn]] void RaiseAbout(int code, int index, const char16_t* what, const KTString& text) {
  KTString subject(what);
  subject += u'"';
  subject += text;
  subject += u'"';
  KTXPathFunctionLibrary::Raise(code, index, subject);
}

// The namespace URI bound to the prefix, null when the prefix is not bound
// (or bound to no namespace).
const KTString* LookupPrefix(const KTXPathFunctionContext& context, std::u16string_view prefix) {
  const KTPrefixMap* map = context.Namespaces();
  if (!map) return nullptr;
  auto found = map->find(prefix);
  if (found == map->end() || !found->second || found->second->IsEmpty()) return nullptr;
  return found->second;
}

// "URI:local" for a prefixed name whose prefix is bound; otherwise the
// unprefixed form that each caller chooses.
bool ExpandPrefixed(const KTXPathFunctionContext& context, std::u16string_view name, KTString& out) {
  size_t colon = name.find(u':');
  if (colon == std::u16string_view::npos) return false;
  const KTString* uri = LookupPrefix(context, name.substr(0, colon));
  if (!uri) return false;
  out = *uri;
  out += u":";
  out += KTString(name.substr(colon + 1));
  return true;
}

// The document at uri, resolved against the document URI of the base node
// when it is relative; null when there is no base or no such document.
KTXPathNode* ResolveDocument(const KTString& uri, const KTXPathNode* base, KTXPathFunctionContext& context) {
  KTString absolute = uri;
  if (uri.IsRelativePath(false)) {
    const KTString* baseUri = base ? KTXPathNode::GetDocumentUri(base) : nullptr;
    if (!baseUri || baseUri->IsEmpty()) return nullptr;
    absolute = uri.MakeAbsolute(*baseUri, u"");
  }
  if (absolute.IsEmpty()) return nullptr;
  return context.LoadDocument(absolute);
}

const KTXPathNode* FirstNode(const KTXPathValue& value) {
  const KTXPathNodeItem* first = value.FirstInDocumentOrder();
  return first ? first->GetNode() : nullptr;
}

// True when `node` belongs to the tree of the stylesheet or of the module
// that holds the expression being evaluated.
bool IsInStylesheet(const KTXPathNode* node, KTXPathFunctionContext& context) {
  const KTXPathNode* root = node;
  while (root && root->GetParent()) root = root->GetParent();
  if (root == context.StylesheetRoot()) return true;
  const KTXPathNode* here = context.StylesheetNode();
  const KTXPathNode* hereRoot = here;
  while (hereRoot && hereRoot->GetParent()) hereRoot = hereRoot->GetParent();
  return root == hereRoot;
}

// The document named by an empty URI reference against `base`: the document
// that holds a source node, or the stylesheet module that holds the
// expression (or the base node) when the base is in the stylesheet or none
// was given. The module is loaded as a source document, so it keeps the text
// that the stylesheet's own tree has lost to stripping; a stylesheet with no
// URI (built in memory) gives its own tree.
KTXPathNode* EmptyReferenceDocument(const KTXPathNode* base, bool baseGiven, KTXPathFunctionContext& context) {
  if (baseGiven && base && !IsInStylesheet(base, context)) {
    const KTXPathNode* root = base;
    while (root->GetParent()) root = root->GetParent();
    return const_cast<KTXPathNode*>(root);
  }
  const KTString* own = base ? KTXPathNode::GetDocumentUri(base) : nullptr;
  KTXPathNode* loaded = own && !own->IsEmpty() ? context.LoadDocument(*own) : nullptr;
  return loaded ? loaded : context.StylesheetRoot();
}

KTXPathValue Document(KTXPathFunctionContext& context, std::span<const KTXPathValue> args) {
  const KTXPathValue* baseSet = args.size() > 1 ? &args[1] : nullptr;
  if (baseSet && (!baseSet->IsNodeSet() || baseSet->ItemCount() == 0)) Raise(kXPathErrNotANodeSet, kFnDocument);
  const KTXPathNode* baseNode = baseSet ? FirstNode(*baseSet) : nullptr;
  KTXPathValue::ItemVector roots;
  std::unordered_set<const KTXPathNode*> seen;
  auto add = [&](KTXPathNode* root) {
    if (root && seen.insert(root).second) roots.emplace_back(root);
  };
  const KTXPathValue& object = args[0];
  if (object.IsNodeSet()) {
    // Each node names a document relative to its own document (or to the
    // second argument); names that load nothing are skipped. A node whose
    // string value is empty names what document('', node) names: the
    // document that holds the node (XSLT 1.0 §12.1).
    KTString scratch;
    for (const KTXPathNodeItem& item : object.Items()) {
      KTString uri(KTXPathFunctionLibrary::StringValueView(item.GetNode(), scratch));
      const KTXPathNode* base = baseSet ? baseNode : item.GetNode();
      if (uri.IsEmpty()) add(EmptyReferenceDocument(base, true, context));
      else add(ResolveDocument(uri, base, context));
    }
  } else {
    KTString uri = KTXPathFunctionLibrary::ToString(object);
    // A document that cannot be loaded contributes nothing: the loader has
    // reported it, and the transformation goes on (XSLT 1.0 §12.1 allows
    // this recovery).
    const KTXPathNode* base = baseSet ? baseNode : context.StylesheetNode();
    if (!uri.IsEmpty()) add(ResolveDocument(uri, base, context));
    else add(EmptyReferenceDocument(base, baseSet != nullptr, context));
  }
  KTXPathValue result;
  result.SetNodeSet(std::move(roots));
  result.SortDocumentOrder();
  return result;
}

KTXPathValue Key(KTXPathFunctionContext& context, std::span<const KTXPathValue> args) {
  // The name is nearly always a literal without a prefix: it is used as it
  // stands, without a copy per call.
  KTString converted;
  const KTString* text = &converted;
  if (const KTString* whole = args[0].WholeString()) text = whole;
  else converted = KTXPathFunctionLibrary::ToString(args[0]);
  KTString expanded;
  const KTString* name = text;
  if (text->View().find(u':') != std::u16string_view::npos) {
    if (!ExpandPrefixed(context, text->View(), expanded)) expanded = KTString(text->GetLocalNamePtr());
    name = &expanded;
  }
  KTXSLTFunctionServices* services = context.XSLTServices();
  KTXPathValue result;
  if (!services || !services->LookupKey(*name, args[1], context.ContextNode(), result)) {
    RaiseAbout(kXPathErrInvalidKey, kFnKey, u"no key named ", *text);
  }
  result.SortDocumentOrder();
  return result;
}

KTXPathValue FormatNumber(KTXPathFunctionContext& context, std::span<const KTXPathValue> args) {
  double number = KTXPathFunctionLibrary::ToNumber(args[0]);
  KTString pattern = KTXPathFunctionLibrary::ToString(args[1]);
  KTString name;
  if (args.size() > 2) {
    KTString text = KTXPathFunctionLibrary::ToString(args[2]);
    if (text.HasPrefix()) {
      if (!ExpandPrefixed(context, text.View(), name)) Raise(kXPathErrInvalidPrefix, kFnFormatNumber);
    } else {
      name = text;
    }
  }
  KTXSLTFunctionServices* services = context.XSLTServices();
  if (!services) Raise(kXPathErrUnknownDecimalFormat, kFnFormatNumber);
  KTString out;
  int code = services->FormatNumber(number, pattern, name, out);
  if (code == kXPathErrUnknownDecimalFormat)
    RaiseAbout(code, kFnFormatNumber, u"no decimal format named ",
               args.size() > 2 ? KTXPathFunctionLibrary::ToString(args[2]) : name);
  if (code == kXPathErrInvalidFormatPattern) RaiseAbout(code, kFnFormatNumber, u"", pattern);
  if (code != kXPathErrNone) Raise(code, kFnFormatNumber);
  return KTXPathValue::String(std::move(out));
}

// The empty string without a processor or a context node.
KTXPathValue UnparsedEntityUri(KTXPathFunctionContext& context, std::span<const KTXPathValue> args) {
  KTXSLTFunctionServices* services = context.XSLTServices();
  const KTXPathNode* node = context.ContextNode().GetNode();
  if (!services || !node) return KTXPathValue::String(KTString());
  const KTString* uri = services->UnparsedEntityUri(node, KTXPathFunctionLibrary::ToString(args[0]));
  return KTXPathValue::String(uri ? *uri : KTString());
}

// The argument of system-property, element-available and function-available.
KTString QNameArgument(const KTXPathValue& value, int index) {
  KTString text = KTXPathFunctionLibrary::ToString(value);
  if (!KTXSLTFunctionLibrary::IsQNameString(text.c_str())) RaiseAbout(kXPathErrNotAQName, index, u"", text);
  return text;
}

KTXPathValue SystemProperty(KTXPathFunctionContext& context, std::span<const KTXPathValue> args) {
  KTString text = QNameArgument(args[0], kFnSystemProperty);
  KTString name;
  if (!ExpandPrefixed(context, text.View(), name)) name = text;
  KTString xslt(KTXSLTFunctionLibrary::kXSLTNamespaceUri);
  if (name == xslt + u":version") return KTXPathValue::String(KTString(u"1.0"));
  if (name == xslt + u":vendor") return KTXPathValue::String(KTString(KTXSLTFunctionLibrary::kVendor));
  if (name == xslt + u":vendor-url") return KTXPathValue::String(KTString(KTXSLTFunctionLibrary::kVendorUrl));
  return KTXPathValue::String(KTString());
}

bool ElementAvailable(KTXPathFunctionContext& context, std::span<const KTXPathValue> args) {
  KTString text = QNameArgument(args[0], kFnElementAvailable);
  std::u16string_view name = text.View();
  size_t colon = name.find(u':');
  if (colon == std::u16string_view::npos) return false;
  const KTString* uri = LookupPrefix(context, name.substr(0, colon));
  if (!uri || *uri != KTXSLTFunctionLibrary::kXSLTNamespaceUri) return false;
  std::u16string_view local = name.substr(colon + 1);
  for (const char16_t* instruction : kInstructions) {
    if (local == instruction) return true;
  }
  return false;
}

bool FunctionAvailable(std::span<const KTXPathValue> args) {
  KTString text = QNameArgument(args[0], kFnFunctionAvailable);
  if (text.HasPrefix()) return false;
  return KTXPathFunctionLibrary::FindFunction(text.View(), true) != nullptr;
}

// Code units of the name character at `at` (a surrogate pair is one).
int NameCharWidth(const char16_t* at) { return at[0] >= 0xD800 && at[0] <= 0xDBFF ? 2 : 1; }

// Reads one NCName from `at` with the XPath parser's name-character classes;
// false when none starts there.
bool ScanNCName(const char16_t*& at) {
  if (!KTXPathParser::IsNCNameStartChar(at)) return false;
  at += NameCharWidth(at);
  while (KTXPathParser::IsNCNameChar(at)) at += NameCharWidth(at);
  return true;
}

}  // namespace

bool KTXSLTFunctionLibrary::IsQNameString(const char16_t* text) noexcept {
  if (!text) return false;
  const char16_t* at = text;
  if (!ScanNCName(at)) return false;
  if (*at == 0) return true;
  if (*at != u':') return false;
  ++at;
  return ScanNCName(at) && *at == 0;
}

KTString KTXSLTFunctionLibrary::GenerateId(const KTXPathNode* node) {
  if (!node) return KTString();
  const KTXPathNode* parent = node->GetParent();
  if (node->GetKind() == kXPathNamespace && parent && parent->GetKind() == kXPathElement) {
    // Namespace nodes are made once per element and kept, so their place in
    // the element's list is stable.
    const auto* namespaces = const_cast<KTXPathNode*>(parent)->GetNamespaceNodes();
    for (size_t i = 0; namespaces && i < namespaces->size(); ++i) {
      if ((*namespaces)[i].get() == node) {
        char suffix[32];
        std::snprintf(suffix, sizeof(suffix), "s%zu", i);
        KTString id = GenerateId(parent);
        id += Ascii(suffix);
        return id;
      }
    }
  }
  char id[48];
  if (node->GetDocumentNumber() > 0 && node->GetPosition() > 0) {
    std::snprintf(id, sizeof(id), "d%dn%d", static_cast<int>(node->GetDocumentNumber()),
                  static_cast<int>(node->GetPosition()));
    return Ascii(id);
  }
  // A node the tree context did not number (none that an expression can
  // reach, now that a result tree fragment is no node-set): named by its
  // place, the child index of it and of each ancestor, so that the value
  // depends on the tree alone, never on where it lies in memory.
  KTString path(u"r");
  for (const KTXPathNode* at = node; at->GetParent(); at = at->GetParent()) {
    const KTXPathNode* up = at->GetParent();
    int index = 0;
    while (index < up->GetChildCount() && up->GetChild(index) != at) ++index;
    std::snprintf(id, sizeof(id), "p%d", index);
    path += Ascii(id);
  }
  return path;
}

KTXPathValue KTXSLTFunctionLibrary::CallXSLT(const KTXPathFunctionInfo& function, KTXPathFunctionContext& context,
                                             std::span<const KTXPathValue> args) {
  switch (function.index) {
    case kFnDocument: return Document(context, args);
    case kFnKey: return Key(context, args);
    case kFnFormatNumber: return FormatNumber(context, args);
    case kFnCurrent: {
      KTXPathValue result;
      if (KTXPathNode* current = context.CurrentNode()) result.PushItem(KTXPathNodeItem(current, 1));
      return result;
    }
    case kFnUnparsedEntityUri: return UnparsedEntityUri(context, args);
    case kFnGenerateId: {
      KTXPathValue nodes;
      if (!args.empty()) {
        nodes = args[0];
      } else if (!context.ContextNode().IsEmpty()) {
        nodes.PushItem(context.ContextNode());
      }
      if (!nodes.IsNodeSet()) Raise(kXPathErrNotANodeSet, kFnGenerateId);
      return KTXPathValue::String(GenerateId(FirstNode(nodes)));
    }
    case kFnSystemProperty: return SystemProperty(context, args);
    case kFnElementAvailable: return KTXPathValue::Boolean(ElementAvailable(context, args));
    case kFnFunctionAvailable: return KTXPathValue::Boolean(FunctionAvailable(args));
    default: break;
  }
  Raise(kXPathErrUnknownFunction, -1);
}
