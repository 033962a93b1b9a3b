// The XSLT 1.0 additions to the XPath function library (XSLT 1.0 §12, §15).
#include "xpath/ktxsltfunctionlibrary.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "xpath/ktxsltfunctionservices.h"

namespace {

KTXSLTFunctionServices* gServices = nullptr;

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
    // second argument); names that load nothing are skipped.
    KTString scratch;
    for (const KTXPathNodeItem& item : object.Items()) {
      KTString uri(KTXPathFunctionLibrary::StringValueView(item.GetNode(), scratch));
      add(ResolveDocument(uri, baseSet ? baseNode : item.GetNode(), context));
    }
  } else {
    KTString uri = KTXPathFunctionLibrary::ToString(object);
    KTXPathNode* root = uri.IsEmpty() ? context.StylesheetRoot()
                                      : ResolveDocument(uri, baseSet ? baseNode : context.StylesheetNode(), context);
    if (!root) Raise(kXPathErrExternalEntity, kFnDocument);
    add(root);
  }
  KTXPathValue result;
  result.SetNodeSet(std::move(roots));
  result.SortDocumentOrder();
  return result;
}

KTXPathValue Key(KTXPathFunctionContext& context, std::span<const KTXPathValue> args) {
  KTString text = KTXPathFunctionLibrary::ToString(args[0]);
  KTString name;
  if (!ExpandPrefixed(context, text.View(), name)) name = KTString(text.GetLocalNamePtr());
  KTXSLTFunctionServices* services = context.XSLTServices();
  KTXPathValue result;
  if (!services || !services->LookupKey(name, args[1], context.ContextNode(), result)) {
    Raise(kXPathErrInvalidKey, kFnKey);
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
  if (code != 0) Raise(code, kFnFormatNumber);
  return KTXPathValue::String(std::move(out));
}

// The argument of system-property, element-available and function-available.
KTString QNameArgument(const KTXPathValue& value, int index) {
  KTString text = KTXPathFunctionLibrary::ToString(value);
  if (!KTXSLTFunctionLibrary::IsQNameString(text.View())) Raise(kXPathErrNotAQName, index);
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

// XML 1.0 (fifth edition) name characters, less ':'.
bool IsNameStartChar(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
  return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
         (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) ||
         (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
         (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool IsNameChar(char32_t c) {
  if (IsNameStartChar(c)) return true;
  if (c < 0x80) return c == '-' || c == '.' || (c >= '0' && c <= '9');
  return c == 0xB7 || (c >= 0x300 && c <= 0x36F) || c == 0x203F || c == 0x2040;
}

// Reads an NCName from text[at]; false when none starts there.
bool ScanNCName(std::u16string_view text, size_t& at) {
  bool first = true;
  size_t start = at;
  while (at < text.size() && text[at] != u':') {
    char32_t c = text[at];
    size_t width = 1;
    if (c >= 0xD800 && c <= 0xDBFF && at + 1 < text.size() && text[at + 1] >= 0xDC00 && text[at + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[at + 1] - 0xDC00);
      width = 2;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return false;
    }
    if (first ? !IsNameStartChar(c) : !IsNameChar(c)) return false;
    first = false;
    at += width;
  }
  return at > start;
}

}  // namespace

void KTXSLTFunctionServices::Register(KTXSLTFunctionServices* services) noexcept { gServices = services; }
KTXSLTFunctionServices* KTXSLTFunctionServices::Registered() noexcept { return gServices; }

bool KTXSLTFunctionLibrary::IsQNameString(std::u16string_view text) noexcept {
  size_t at = 0;
  if (!ScanNCName(text, at)) return false;
  if (at == text.size()) return true;
  ++at;  // the ':' that ended the prefix
  return ScanNCName(text, at) && at == text.size();
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
  } else {
    std::snprintf(id, sizeof(id), "r%jx", static_cast<uintmax_t>(reinterpret_cast<uintptr_t>(node)));
  }
  return Ascii(id);
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
    case kFnUnparsedEntityUri: return KTXPathValue::String(KTString());
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
