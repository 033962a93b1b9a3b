// The XPath 1.0 core function library (XPath 1.0 §4) over evaluated argument
// values, the table of function names and argument counts, and the dispatch
// that the function-call node uses. String functions count characters: a
// surrogate pair is one character and is never split.
#include "xpath/ktxpathfunctionlibrary.h"

#include <cmath>
#include <limits>
#include <string>
#include <unordered_map>

#include "platform/ktwchar.h"
#include "xml/ktnamespace.h"
#include "xpath/ktxsltfunctionlibrary.h"
#include "xpath/ktxsltfunctionservices.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// In index order; `not` has its own index for its messages.
constexpr KTXPathFunctionInfo kFunctions[kFunctionCount] = {
    {u"last", kFnLast, 0, 0, false, true},
    {u"position", kFnPosition, 0, 0, false, true},
    {u"count", kFnCount, 1, 1, false, true},
    {u"id", kFnId, 1, 1, false, true},
    {u"local-name", kFnLocalName, 0, 1, false, true},
    {u"namespace-uri", kFnNamespaceUri, 0, 1, false, true},
    {u"name", kFnName, 0, 1, false, true},
    {u"string", kFnString, 0, 1, false, true},
    {u"concat", kFnConcat, 2, kUnlimitedArgs, false, true},
    {u"starts-with", kFnStartsWith, 2, 2, false, true},
    {u"contains", kFnContains, 2, 2, false, true},
    {u"substring-before", kFnSubstringBefore, 2, 2, false, true},
    {u"substring-after", kFnSubstringAfter, 2, 2, false, true},
    {u"substring", kFnSubstring, 2, 3, false, true},
    {u"string-length", kFnStringLength, 0, 1, false, true},
    {u"normalize-space", kFnNormalizeSpace, 0, 1, false, true},
    {u"translate", kFnTranslate, 3, 3, false, true},
    {u"boolean", kFnBoolean, 1, 1, false, true},
    {u"not", kFnNot, 1, 1, false, true},
    {u"true", kFnTrue, 0, 0, false, true},
    {u"false", kFnFalse, 0, 0, false, true},
    {u"lang", kFnLang, 1, 1, false, true},
    {u"number", kFnNumber, 0, 1, false, true},
    {u"sum", kFnSum, 1, 1, false, true},
    {u"floor", kFnFloor, 1, 1, false, true},
    {u"ceiling", kFnCeiling, 1, 1, false, true},
    {u"round", kFnRound, 1, 1, false, true},
    {u"document", kFnDocument, 1, 2, true, true},
    {u"key", kFnKey, 2, 2, true, true},
    {u"format-number", kFnFormatNumber, 2, 3, true, true},
    {u"current", kFnCurrent, 0, 0, true, true},
    {u"unparsed-entity-uri", kFnUnparsedEntityUri, 0, kUnlimitedArgs, true, false},
    {u"generate-id", kFnGenerateId, 0, 1, true, true},
    {u"system-property", kFnSystemProperty, 1, 1, true, true},
    {u"element-available", kFnElementAvailable, 1, 1, true, true},
    {u"function-available", kFnFunctionAvailable, 1, 1, true, true},
};

constexpr bool IsXPathSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }
constexpr bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
constexpr bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Code units of the character starting at text[at]: 2 for a surrogate pair.
size_t CharWidth(std::u16string_view text, size_t at) {
  return IsHighSurrogate(text[at]) && at + 1 < text.size() && IsLowSurrogate(text[at + 1]) ? 2 : 1;
}

char32_t CharAt(std::u16string_view text, size_t at, size_t width) {
  if (width == 1) return text[at];
  return 0x10000 + ((static_cast<char32_t>(text[at]) - 0xD800) << 10) + (text[at + 1] - 0xDC00);
}

size_t CharCount(std::u16string_view text) {
  size_t count = 0;
  for (size_t at = 0; at < text.size(); at += CharWidth(text, at)) ++count;
  return count;
}

KTString FromView(std::u16string_view text) { return KTString(text); }

// The argument, or the context node as a one-node set when there is none.
KTXPathValue ArgumentOrContext(std::span<const KTXPathValue> args, const KTXPathFunctionContext& context) {
  if (!args.empty()) return args[0];
  KTXPathValue value;
  KTXPathNodeItem node = context.ContextNode();
  if (!node.IsEmpty()) value.PushItem(node);
  return value;
}

// The node that local-name(), namespace-uri() and name() describe: the first
// of the set in document order; null for another kind or an empty set.
const KTXPathNode* NamedNode(const KTXPathValue& value) {
  const KTXPathNodeItem* first = value.FirstInDocumentOrder();
  return first ? first->GetNode() : nullptr;
}

// XPath 1.0 §5: elements and attributes have QNames, processing instructions
// their target, namespace nodes their prefix (empty for the default
// namespace); other nodes have no name.
std::u16string_view QualifiedName(const KTXPathNode* node) {
  if (!node) return {};
  switch (node->GetKind()) {
    case kXPathElement:
    case kXPathAttribute:
    case kXPathPI:
    case kXPathNamespace: return std::u16string_view(node->GetName());
    default: return {};
  }
}

std::u16string_view LocalPart(std::u16string_view name) {
  size_t colon = name.find(u':');
  return colon == std::u16string_view::npos ? name : name.substr(colon + 1);
}

KTString NamespaceUri(const KTXPathNode* node) {
  if (!node || (node->GetKind() != kXPathElement && node->GetKind() != kXPathAttribute)) return KTString();
  const KTString* uri = node->GetNamespaceUri();
  return uri ? *uri : KTString();
}

// XPath 1.0 §4.2 substring() in doubles: the characters at positions p with
// round(start) <= p < round(start) + round(length), so NaN and infinite
// arguments need no special cases.
KTString Substring(std::u16string_view text, double start, double length, bool hasLength) {
  double first = KTXPathFunctionLibrary::RoundDouble(start);
  double end = hasLength ? first + KTXPathFunctionLibrary::RoundDouble(length)
                         : std::numeric_limits<double>::infinity();
  if (!(first < end)) return KTString();
  size_t from = text.size();
  size_t to = text.size();
  double position = 1;
  for (size_t at = 0; at < text.size(); at += CharWidth(text, at), position += 1) {
    if (from == text.size() && position >= first) from = at;
    if (position >= end) {
      to = at;
      break;
    }
  }
  if (from >= to) return KTString();
  return FromView(text.substr(from, to - from));
}

KTString Translate(std::u16string_view text, std::u16string_view from, std::u16string_view to) {
  // Characters of `from` by their first position; of `to` by position.
  std::unordered_map<char32_t, int> firstIndex;
  int fromCount = 0;
  for (size_t at = 0; at < from.size(); ++fromCount) {
    size_t width = CharWidth(from, at);
    firstIndex.emplace(CharAt(from, at, width), fromCount);
    at += width;
  }
  std::vector<std::u16string_view> replacements;
  for (size_t at = 0; at < to.size();) {
    size_t width = CharWidth(to, at);
    replacements.push_back(to.substr(at, width));
    at += width;
  }
  std::u16string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    size_t width = CharWidth(text, at);
    auto found = firstIndex.empty() ? firstIndex.end() : firstIndex.find(CharAt(text, at, width));
    if (found == firstIndex.end()) {
      out.append(text.substr(at, width));
    } else if (found->second < static_cast<int>(replacements.size())) {
      out.append(replacements[found->second]);
    }
    at += width;
  }
  return FromView(out);
}

KTString NormalizeSpace(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  bool pendingSpace = false;
  for (char16_t c : text) {
    if (IsXPathSpace(c)) {
      pendingSpace = !out.empty();
      continue;
    }
    if (pendingSpace) out.push_back(u' ');
    pendingSpace = false;
    out.push_back(c);
  }
  return FromView(out);
}

bool IsXmlLangAttribute(const KTXPathNode* node) {
  if (node->GetKind() != kXPathAttribute) return false;
  const KTString* uri = node->GetNamespaceUri();
  if (uri) return *uri == kXmlNamespaceUri && LocalPart(node->GetName()) == u"lang";
  return std::u16string_view(node->GetName()) == u"xml:lang";
}

// XPath 1.0 §4.3 lang(): the xml:lang in scope at the context node equals the
// argument or starts with it followed by '-', ASCII case ignored.
bool Lang(const KTXPathNode* node, std::u16string_view wanted) {
  const KTXPathNode* found = nullptr;
  for (const KTXPathNode* n = node; n && !found; n = n->GetParent()) {
    if (IsXmlLangAttribute(n)) {
      found = n;
      break;
    }
    if (n->GetKind() != kXPathElement) continue;
    for (const auto& child : n->Children()) {
      int kind = child->GetKind();
      if (kind != kXPathAttribute && kind != kXPathNamespace) break;  // attributes lead
      if (IsXmlLangAttribute(child.get())) {
        found = child.get();
        break;
      }
    }
  }
  if (!found) return false;
  std::u16string_view lang(found->GetValue());
  if (lang.size() < wanted.size()) return false;
  if (lang.size() > wanted.size() && lang[wanted.size()] != u'-') return false;
  for (size_t i = 0; i < wanted.size(); ++i) {
    if (KTToLowerAscii(lang[i]) != KTToLowerAscii(wanted[i])) return false;
  }
  return true;
}

double Sum(const KTXPathValue& value) {
  if (!value.IsNodeSet()) return KTXPathFunctionLibrary::ToNumber(value);
  double sum = 0;
  KTString scratch;
  for (const KTXPathNodeItem& item : value.Items()) {
    sum += KTXPathFunctionLibrary::StringToNumber(KTXPathFunctionLibrary::StringValueView(item.GetNode(), scratch));
  }
  return sum;
}

KTString StringOf(const KTXPathValue& value) { return KTXPathFunctionLibrary::ToString(value); }

}  // namespace

KTXSLTFunctionServices* KTXPathFunctionContext::XSLTServices() const { return KTXSLTFunctionServices::Registered(); }

// ---- Table and dispatch ----

const KTXPathFunctionInfo* KTXPathFunctionLibrary::FindFunction(std::u16string_view name, bool xslt) noexcept {
  for (const KTXPathFunctionInfo& function : kFunctions) {
    if (name == function.name) return function.xslt && !xslt ? nullptr : &function;
  }
  return nullptr;
}

const KTXPathFunctionInfo& KTXPathFunctionLibrary::FunctionAt(int index) noexcept { return kFunctions[index]; }

void KTXPathFunctionLibrary::Raise(int code, int functionIndex) {
  throw KTXPathFunctionLibraryException{code, functionIndex};
}

void KTXPathFunctionLibrary::CheckCall(const KTXPathFunctionInfo& function, int argumentCount,
                                       const KTXPathFunctionContext& context) {
  if (function.index == kFnKey && (context.Restrictions() & 2) != 0) {
    Raise(kXPathErrKeyInKeyDefinition, kFnKey);
  }
  if (!function.checksArgs) return;
  if (argumentCount < function.minArgs) Raise(kXPathErrTooFewParameters, function.index);
  if (argumentCount > function.maxArgs) Raise(kXPathErrTooManyParameters, function.index);
}

KTXPathValue KTXPathFunctionLibrary::Call(const KTXPathFunctionInfo& function, KTXPathFunctionContext& context,
                                          std::span<const KTXPathValue> args) {
  CheckCall(function, static_cast<int>(args.size()), context);
  if (function.xslt) return KTXSLTFunctionLibrary::CallXSLT(function, context, args);
  switch (function.index) {
    case kFnLast: return KTXPathValue::Number(context.ContextSize());
    case kFnPosition: return KTXPathValue::Number(context.ContextPosition());
    case kFnCount:
      if (!args[0].IsNodeSet()) Raise(kXPathErrNotANodeSet, kFnCount);
      return KTXPathValue::Number(args[0].ItemCount());
    case kFnId:
      // No ID-typed attribute declarations reach the XPath view yet, so no
      // element has an ID.
      return KTXPathValue();
    case kFnLocalName: {
      std::u16string_view local = LocalPart(QualifiedName(NamedNode(ArgumentOrContext(args, context))));
      return KTXPathValue::String(FromView(local == u"xmlns" ? std::u16string_view() : local));
    }
    case kFnNamespaceUri:
      return KTXPathValue::String(NamespaceUri(NamedNode(ArgumentOrContext(args, context))));
    case kFnName:
      return KTXPathValue::String(FromView(QualifiedName(NamedNode(ArgumentOrContext(args, context)))));
    case kFnString: return KTXPathValue::String(StringOf(ArgumentOrContext(args, context)));
    case kFnConcat: {
      KTString out;
      int length = 0;
      KTString part;
      for (const KTXPathValue& arg : args) {
        ToString(part, arg);
        out.AppendAtLength(part.c_str(), length, 64, part.GetLength());
      }
      return KTXPathValue::String(std::move(out));
    }
    case kFnStartsWith:
      return KTXPathValue::Boolean(StringOf(args[0]).View().starts_with(StringOf(args[1]).View()));
    case kFnContains:
      return KTXPathValue::Boolean(StringOf(args[0]).View().find(StringOf(args[1]).View()) != std::u16string_view::npos);
    case kFnSubstringBefore:
    case kFnSubstringAfter: {
      KTString text = StringOf(args[0]);
      KTString what = StringOf(args[1]);
      size_t at = text.View().find(what.View());
      if (at == std::u16string_view::npos) return KTXPathValue::String(KTString());
      if (function.index == kFnSubstringBefore) return KTXPathValue::String(FromView(text.View().substr(0, at)));
      return KTXPathValue::String(FromView(text.View().substr(at + what.GetLength())));
    }
    case kFnSubstring: {
      KTString text = StringOf(args[0]);
      double start = ToNumber(args[1]);
      bool hasLength = args.size() > 2;
      double length = hasLength ? ToNumber(args[2]) : 0.0;
      return KTXPathValue::String(Substring(text.View(), start, length, hasLength));
    }
    case kFnStringLength:
      return KTXPathValue::Number(static_cast<double>(CharCount(StringOf(ArgumentOrContext(args, context)).View())));
    case kFnNormalizeSpace:
      return KTXPathValue::String(NormalizeSpace(StringOf(ArgumentOrContext(args, context)).View()));
    case kFnTranslate: {
      KTString text = StringOf(args[0]);
      KTString from = StringOf(args[1]);
      KTString to = StringOf(args[2]);
      return KTXPathValue::String(Translate(text.View(), from.View(), to.View()));
    }
    case kFnBoolean: return KTXPathValue::Boolean(ToBoolean(args[0]));
    case kFnNot: return KTXPathValue::Boolean(!ToBoolean(args[0]));
    case kFnTrue: return KTXPathValue::Boolean(true);
    case kFnFalse: return KTXPathValue::Boolean(false);
    case kFnLang: return KTXPathValue::Boolean(Lang(context.ContextNode().GetNode(), StringOf(args[0]).View()));
    case kFnNumber: return KTXPathValue::Number(ToNumber(ArgumentOrContext(args, context)));
    case kFnSum: return KTXPathValue::Number(Sum(args[0]));
    case kFnFloor: return KTXPathValue::Number(std::floor(ToNumber(args[0])));
    case kFnCeiling: return KTXPathValue::Number(std::ceil(ToNumber(args[0])));
    case kFnRound: return KTXPathValue::Number(RoundNumber(args[0]));
    default: break;
  }
  Raise(kXPathErrUnknownFunction, -1);
}
