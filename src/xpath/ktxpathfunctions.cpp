// The XPath 1.0 core function library (XPath 1.0 §4) over evaluated argument
// values, the table of function names and argument counts, and the dispatch
// that the function-call node uses. String functions count characters: a
// surrogate pair is one character and is never split.
#include "xpath/ktxpathfunctionlibrary.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/ktwchar.h"
#include "xml/ktnamespace.h"
#include "xpath/ktxsltfunctionlibrary.h"
#include "xpath/ktxsltfunctionservices.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// In index order; `not` has its own index for its messages.
constexpr KTXPathFunctionInfo kFunctions[kFunctionCount] = {
    {u"last", kFnLast, 0, 0, false},
    {u"position", kFnPosition, 0, 0, false},
    {u"count", kFnCount, 1, 1, false},
    {u"id", kFnId, 1, 1, false},
    {u"local-name", kFnLocalName, 0, 1, false},
    {u"namespace-uri", kFnNamespaceUri, 0, 1, false},
    {u"name", kFnName, 0, 1, false},
    {u"string", kFnString, 0, 1, false},
    {u"concat", kFnConcat, 2, kUnlimitedArgs, false},
    {u"starts-with", kFnStartsWith, 2, 2, false},
    {u"contains", kFnContains, 2, 2, false},
    {u"substring-before", kFnSubstringBefore, 2, 2, false},
    {u"substring-after", kFnSubstringAfter, 2, 2, false},
    {u"substring", kFnSubstring, 2, 3, false},
    {u"string-length", kFnStringLength, 0, 1, false},
    {u"normalize-space", kFnNormalizeSpace, 0, 1, false},
    {u"translate", kFnTranslate, 3, 3, false},
    {u"boolean", kFnBoolean, 1, 1, false},
    {u"not", kFnNot, 1, 1, false},
    {u"true", kFnTrue, 0, 0, false},
    {u"false", kFnFalse, 0, 0, false},
    {u"lang", kFnLang, 1, 1, false},
    {u"number", kFnNumber, 0, 1, false},
    {u"sum", kFnSum, 1, 1, false},
    {u"floor", kFnFloor, 1, 1, false},
    {u"ceiling", kFnCeiling, 1, 1, false},
    {u"round", kFnRound, 1, 1, false},
    {u"document", kFnDocument, 1, 2, true},
    {u"key", kFnKey, 2, 2, true},
    {u"format-number", kFnFormatNumber, 2, 3, true},
    {u"current", kFnCurrent, 0, 0, true},
    {u"unparsed-entity-uri", kFnUnparsedEntityUri, 1, 1, true},
    {u"generate-id", kFnGenerateId, 0, 1, true},
    {u"system-property", kFnSystemProperty, 1, 1, true},
    {u"element-available", kFnElementAvailable, 1, 1, true},
    {u"function-available", kFnFunctionAvailable, 1, 1, true},
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

// The string value of a value, as string() gives it, read in place where it
// stands (a string's own text, a text or attribute node's value) and
// otherwise made in `scratch`. Valid while the value and `scratch` are.
std::u16string_view StringView(const KTXPathValue& value, KTString& scratch) {
  switch (value.GetKind()) {
    case kValueString: return value.StringText();
    case kValueNodeSet: {
      const KTXPathNodeItem* first = value.FirstInDocumentOrder();
      return first ? KTXPathFunctionLibrary::StringValueView(first->GetNode(), scratch) : std::u16string_view();
    }
    default: return KTXPathFunctionLibrary::ToString(scratch, value).View();
  }
}

// The same for the argument, or the context node when there is none.
std::u16string_view ArgumentOrContextView(std::span<const KTXPathValue> args, const KTXPathFunctionContext& context,
                                          KTString& scratch) {
  if (!args.empty()) return StringView(args[0], scratch);
  KTXPathNodeItem node = context.ContextNode();
  return node.IsEmpty() ? std::u16string_view() : KTXPathFunctionLibrary::StringValueView(node.GetNode(), scratch);
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
    case kXPathPI: return std::u16string_view(node->GetName());
    case kXPathNamespace: {
      // Namespace nodes are named by their prefix; one that stands for a
      // declaration may carry the declaration's name ("xmlns", "xmlns:p").
      std::u16string_view name(node->GetName());
      if (name == u"xmlns") return {};
      if (name.starts_with(u"xmlns:")) return name.substr(6);
      return name;
    }
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
// arguments need no special cases. The result is a stretch of `text`.
std::u16string_view Substring(std::u16string_view text, double start, double length, bool hasLength) {
  double first = KTXPathFunctionLibrary::RoundDouble(start);
  double end = hasLength ? first + KTXPathFunctionLibrary::RoundDouble(length)
                         : std::numeric_limits<double>::infinity();
  if (!(first < end)) return {};
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
  if (from >= to) return {};
  return text.substr(from, to - from);
}

// What translate() needs of its second and third arguments: the first
// position of each character of `from` (those below 128, the usual letter
// tables, in an array; others sorted for a binary search) and the place of
// each character of `to`.
struct TranslateTable {
  std::u16string from;
  std::u16string to;
  std::array<int, 128> asciiIndex;
  std::vector<std::pair<char32_t, int>> otherIndex;
  std::vector<std::pair<uint32_t, uint32_t>> replacements;  // offset and width in `to`

  void Build(std::u16string_view fromText, std::u16string_view toText) {
    from.assign(fromText);
    to.assign(toText);
    asciiIndex.fill(-1);
    otherIndex.clear();
    replacements.clear();
    int fromCount = 0;
    for (size_t at = 0; at < from.size(); ++fromCount) {
      const size_t width = CharWidth(from, at);
      const char32_t c = CharAt(from, at, width);
      if (c < asciiIndex.size()) {
        if (asciiIndex[c] < 0) asciiIndex[c] = fromCount;
      } else {
        otherIndex.emplace_back(c, fromCount);
      }
      at += width;
    }
    // By character, then by position: the first of equal characters is
    // the one that counts.
    std::sort(otherIndex.begin(), otherIndex.end());
    for (size_t at = 0; at < to.size();) {
      const size_t width = CharWidth(to, at);
      replacements.emplace_back(static_cast<uint32_t>(at), static_cast<uint32_t>(width));
      at += width;
    }
  }
  int IndexOf(char32_t c) const {
    if (c < asciiIndex.size()) return asciiIndex[c];
    auto found = std::lower_bound(otherIndex.begin(), otherIndex.end(), std::pair<char32_t, int>(c, -1));
    return found != otherIndex.end() && found->first == c ? found->second : -1;
  }
};

// The table of the arguments: a stylesheet calls translate() with a few
// fixed letter tables, often long ones, for many strings; the last few
// tables built are kept instead of being built again at every call.
const TranslateTable& TranslateTableFor(std::u16string_view from, std::u16string_view to) {
  constexpr size_t kKept = 4;
  thread_local std::array<TranslateTable, kKept> tables;
  thread_local std::array<bool, kKept> built{};
  thread_local size_t next = 0;
  for (size_t i = 0; i < kKept; ++i) {
    if (built[i] && tables[i].from == from && tables[i].to == to) return tables[i];
  }
  TranslateTable& table = tables[next];
  built[next] = true;
  next = (next + 1) % kKept;
  table.Build(from, to);
  return table;
}

KTString Translate(std::u16string_view text, std::u16string_view from, std::u16string_view to) {
  const TranslateTable& table = TranslateTableFor(from, to);
  const std::u16string_view replacement = table.to;
  std::u16string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const size_t width = CharWidth(text, at);
    const int index = table.IndexOf(CharAt(text, at, width));
    if (index < 0) {
      out.append(text.substr(at, width));
    } else if (index < static_cast<int>(table.replacements.size())) {
      const auto& [offset, length] = table.replacements[index];
      out.append(replacement.substr(offset, length));
    }
    at += width;
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

std::u16string_view TrimSpace(std::u16string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsXPathSpace(text[begin])) ++begin;
  while (end > begin && IsXPathSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// ID value -> the first element in document order that carries it.
using IdIndex = std::unordered_map<std::u16string, KTXPathNode*>;

IdIndex BuildIdIndex(KTXPathNode* root) {
  IdIndex index;
  if (root->GetChildCount() == 0) return index;
  // Document order through parent and sibling links, without recursion.
  KTXPathNode* current = root->GetChild(0);
  while (current) {
    if (current->GetKind() == kXPathElement) {
      for (const auto& child : current->Children()) {
        int kind = child->GetKind();
        if (kind == kXPathNamespace) continue;
        if (kind != kXPathAttribute) break;  // attributes lead the children
        if (child->IsIdAttribute()) index.try_emplace(std::u16string(TrimSpace(child->GetValue())), current);
      }
      if (current->GetChildCount() > 0) {
        current = current->GetChild(0);
        continue;
      }
    }
    while (current != root) {
      if (KTXPathNode* next = current->GetNextSibling()) {
        current = next;
        break;
      }
      current = current->GetParent();
    }
    if (current == root) break;
  }
  return index;
}

// The index of the document, built on its first use and kept for the run:
// documents are numbered once per run, so a number never names another
// document. Unnumbered trees get a fresh index each time.
const IdIndex& IdIndexOf(KTXPathNode* root, IdIndex& scratch) {
  static std::unordered_map<int32_t, IdIndex> indexes;
  if (root->GetDocumentNumber() <= 0) return scratch = BuildIdIndex(root);
  auto found = indexes.find(root->GetDocumentNumber());
  if (found == indexes.end()) found = indexes.emplace(root->GetDocumentNumber(), BuildIdIndex(root)).first;
  return found->second;
}

// XPath 1.0 §4.1 id(): the elements of the context node's document whose ID
// attribute (typed by the DTD) equals one of the white-space separated
// tokens of the argument (of each node's string value for a node-set).
KTXPathValue Id(const KTXPathValue& argument, const KTXPathFunctionContext& context) {
  KTXPathValue result;
  KTXPathNode* root = context.ContextNode().GetNode();
  if (!root) return result;
  while (root->GetParent()) root = root->GetParent();
  IdIndex scratch;
  const IdIndex& index = IdIndexOf(root, scratch);
  if (index.empty()) return result;
  std::vector<KTString> texts;
  if (argument.IsNodeSet()) {
    KTString value;
    for (const KTXPathNodeItem& item : argument.Items()) {
      texts.emplace_back(KTXPathFunctionLibrary::StringValueView(item.GetNode(), value));
    }
  } else {
    texts.push_back(StringOf(argument));
  }
  std::unordered_set<const KTXPathNode*> seen;
  KTXPathValue::ItemVector items;
  std::u16string token;
  for (const KTString& text : texts) {
    std::u16string_view rest = text.View();
    while (!rest.empty()) {
      size_t start = 0;
      while (start < rest.size() && IsXPathSpace(rest[start])) ++start;
      size_t end = start;
      while (end < rest.size() && !IsXPathSpace(rest[end])) ++end;
      if (end > start) {
        token.assign(rest.substr(start, end - start));
        auto found = index.find(token);
        if (found != index.end() && seen.insert(found->second).second) items.emplace_back(found->second);
      }
      rest = rest.substr(end);
    }
  }
  result.SetNodeSet(std::move(items));
  result.SortDocumentOrder();
  return result;
}

}  // namespace

// ---- Table and dispatch ----

namespace {

// The function names by length, worked out when the program is compiled:
// a lookup compares the name with the few names of its length only, and
// never measures a name of the table.
constexpr size_t kLongestName = [] {
  size_t longest = 0;
  for (const KTXPathFunctionInfo& function : kFunctions)
    longest = std::max(longest, std::u16string_view(function.name).size());
  return longest;
}();

struct FunctionNameTable {
  // Names of length n are order[start[n]] .. order[start[n + 1] - 1].
  std::array<int, kLongestName + 2> start{};
  std::array<int, kFunctionCount> order{};
  std::array<std::u16string_view, kFunctionCount> names{};
};

constexpr FunctionNameTable kFunctionNames = [] {
  FunctionNameTable table;
  for (int i = 0; i < kFunctionCount; ++i) {
    table.names[i] = kFunctions[i].name;
    ++table.start[table.names[i].size() + 1];
  }
  for (size_t n = 1; n < table.start.size(); ++n) table.start[n] += table.start[n - 1];
  std::array<int, kLongestName + 2> next = table.start;
  for (int i = 0; i < kFunctionCount; ++i) table.order[next[table.names[i].size()]++] = i;
  return table;
}();

}  // namespace

const KTXPathFunctionInfo* KTXPathFunctionLibrary::FindFunction(std::u16string_view name, bool xslt) noexcept {
  if (name.size() > kLongestName) return nullptr;
  for (int at = kFunctionNames.start[name.size()]; at < kFunctionNames.start[name.size() + 1]; ++at) {
    const int index = kFunctionNames.order[at];
    if (kFunctionNames.names[index] != name) continue;
    const KTXPathFunctionInfo& function = kFunctions[index];
    return function.xslt && !xslt ? nullptr : &function;
  }
  return nullptr;
}

const KTXPathFunctionInfo& KTXPathFunctionLibrary::FunctionAt(int index) noexcept { return kFunctions[index]; }

void KTXPathFunctionLibrary::Raise(int code, int functionIndex) {
  throw KTXPathFunctionLibraryException{code, functionIndex, KTString()};
}

void KTXPathFunctionLibrary::Raise(int code, int functionIndex, const KTString& subject) {
  throw KTXPathFunctionLibraryException{code, functionIndex, subject};
}

bool KTXPathFunctionLibrary::TakesNodeSet(int functionIndex) noexcept {
  switch (functionIndex) {
    case kFnCount:
    case kFnSum:
    case kFnLocalName:
    case kFnNamespaceUri:
    case kFnName:
    case kFnGenerateId: return true;
    default: return false;
  }
}

bool KTXPathFunctionLibrary::IsResultTreeFragment(const KTXPathValue& value) noexcept {
  if (!value.IsNodeSet() || value.ItemCount() != 1) return false;
  const KTXPathNode* node = value.Items()[0].GetNode();
  return node && node->GetKind() == kXPathRoot && node->GetXNode() == nullptr;
}

void KTXPathFunctionLibrary::CheckCall(const KTXPathFunctionInfo& function, int argumentCount,
                                       const KTXPathFunctionContext& context) {
  if (function.index == kFnKey && (context.Restrictions() & 2) != 0) {
    Raise(kXPathErrKeyInKeyDefinition, kFnKey);
  }
  if (argumentCount < function.minArgs) Raise(kXPathErrTooFewParameters, function.index);
  if (argumentCount > function.maxArgs) Raise(kXPathErrTooManyParameters, function.index);
}

std::u16string_view KTXPathFunctionLibrary::NameOf(const KTXPathNode* node) { return QualifiedName(node); }

KTString& KTXPathFunctionLibrary::NormalizeSpace(std::u16string_view text, KTString& out) {
  size_t first = 0;
  while (first < text.size() && IsXPathSpace(text[first])) ++first;
  // Written in place into room for the rest of the text, which it never
  // exceeds; white space alone gives the empty string without a block.
  out.ClearAndReserve(static_cast<int>(text.size() - first));
  if (first == text.size()) return out;
  text.remove_prefix(first);
  char16_t* data = out.GetBuffer();
  int length = 0;
  bool pendingSpace = false;
  for (char16_t c : text) {
    if (IsXPathSpace(c)) {
      pendingSpace = length > 0;
      continue;
    }
    if (pendingSpace) data[length++] = u' ';
    pendingSpace = false;
    data[length++] = c;
  }
  out.SetWrittenLength(length);
  return out;
}

KTXPathValue KTXPathFunctionLibrary::Call(const KTXPathFunctionInfo& function, KTXPathFunctionContext& context,
                                          std::span<const KTXPathValue> args) {
  CheckCall(function, static_cast<int>(args.size()), context);
  if (!args.empty() && TakesNodeSet(function.index) && !args[0].IsNodeSet())
    Raise(kXPathErrNotANodeSet, function.index);
  if (function.xslt) return KTXSLTFunctionLibrary::CallXSLT(function, context, args);
  switch (function.index) {
    case kFnLast: return KTXPathValue::Number(context.ContextSize());
    case kFnPosition: return KTXPathValue::Number(context.ContextPosition());
    case kFnCount:
      if (!args[0].IsNodeSet()) Raise(kXPathErrNotANodeSet, kFnCount);
      return KTXPathValue::Number(args[0].ItemCount());
    case kFnId: return Id(args[0], context);
    case kFnLocalName: {
      std::u16string_view local = LocalPart(QualifiedName(NamedNode(ArgumentOrContext(args, context))));
      return KTXPathValue::String(FromView(local == u"xmlns" ? std::u16string_view() : local));
    }
    case kFnNamespaceUri:
      return KTXPathValue::String(NamespaceUri(NamedNode(ArgumentOrContext(args, context))));
    case kFnName:
      return KTXPathValue::String(FromView(QualifiedName(NamedNode(ArgumentOrContext(args, context)))));
    case kFnString:
      // A string argument is its own value, shared rather than copied.
      if (!args.empty() && args[0].GetKind() == kValueString) return args[0];
      return KTXPathValue::String(StringOf(ArgumentOrContext(args, context)));
    // The string functions read their arguments in place (StringView): a
    // string passed down a recursion is not copied at every call.
    case kFnConcat: {
      KTString out;
      int length = 0;
      KTString scratch;
      for (const KTXPathValue& arg : args) {
        const std::u16string_view part = StringView(arg, scratch);
        out.AppendAtLength(part.data(), length, 64, static_cast<int>(part.size()));
      }
      return KTXPathValue::String(std::move(out));
    }
    case kFnStartsWith: {
      KTString scratch0, scratch1;
      return KTXPathValue::Boolean(StringView(args[0], scratch0).starts_with(StringView(args[1], scratch1)));
    }
    case kFnContains: {
      KTString scratch0, scratch1;
      return KTXPathValue::Boolean(StringView(args[0], scratch0).find(StringView(args[1], scratch1)) !=
                                   std::u16string_view::npos);
    }
    case kFnSubstringBefore:
    case kFnSubstringAfter: {
      KTString scratch0, scratch1;
      const std::u16string_view text = StringView(args[0], scratch0);
      const std::u16string_view what = StringView(args[1], scratch1);
      size_t at = text.find(what);
      if (at == std::u16string_view::npos) return KTXPathValue::String(KTString());
      if (function.index == kFnSubstringBefore) return KTXPathValue::String(FromView(text.substr(0, at)));
      // The rest shares the argument's text where it can (StringPiece).
      return KTXPathValue::StringPiece(args[0], text.substr(at + what.size()));
    }
    case kFnSubstring: {
      KTString scratch;
      const std::u16string_view text = StringView(args[0], scratch);
      double start = ToNumber(args[1]);
      bool hasLength = args.size() > 2;
      double length = hasLength ? ToNumber(args[2]) : 0.0;
      return KTXPathValue::StringPiece(args[0], Substring(text, start, length, hasLength));
    }
    case kFnStringLength: {
      KTString scratch;
      return KTXPathValue::Number(static_cast<double>(CharCount(ArgumentOrContextView(args, context, scratch))));
    }
    case kFnNormalizeSpace: {
      KTString scratch;
      KTString out;
      NormalizeSpace(ArgumentOrContextView(args, context, scratch), out);
      return KTXPathValue::String(std::move(out));
    }
    case kFnTranslate: {
      KTString scratch0, scratch1, scratch2;
      return KTXPathValue::String(
          Translate(StringView(args[0], scratch0), StringView(args[1], scratch1), StringView(args[2], scratch2)));
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
