// xsl:decimal-format at run time (nothing to do: the compiler registered
// the format) and the xsl:number executor: the number list from the value
// attribute or by counting at level single, multiple or any, then the list
// formatted by the format string into one text node.
#include "xslt/ktnumberexecutors.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "streams/ktunicodedatabase.h"
#include "xpath/ktxpathexpression.h"
#include "xpath/ktxpathfunctionlibrary.h"
#include "xslt/ktdeclrecord.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktvariableexecutors.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltkeywords.h"
#include "xslt/ktxsltprocessor.h"

namespace {

constexpr int kNotANodeSet = KTXSLTError::kNotNodeSet;
constexpr int kUnexpectedValue = KTXSLTError::kUnexpectedValue;

bool IsAlphanumeric(char16_t c) {
  if (c < 0x80) return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
  const char16_t* category = KTUnicodeDatabase::GetCategory(c);
  return category[0] == u'L' || category[0] == u'N';
}

bool IsAttributeLike(const KTXPathNode* node) {
  return node->GetKind() == kXPathAttribute || node->GetKind() == kXPathNamespace;
}

std::u16string_view LocalName(const KTXPathNode* node) {
  std::u16string_view name(node->GetName());
  size_t colon = name.find(u':');
  return colon == std::u16string_view::npos ? name : name.substr(colon + 1);
}

std::string PointerKey(const void* a, const void* b) {
  return std::to_string(reinterpret_cast<std::uintptr_t>(a)) + "/" + std::to_string(reinterpret_cast<std::uintptr_t>(b));
}

std::string Bytes(std::u16string_view text) {
  std::string bytes;
  for (char16_t c : text) {
    bytes += static_cast<char>(c >> 8);
    bytes += static_cast<char>(c & 0xFF);
  }
  return bytes;
}

// Text and CDATA sections are one kind of node to XPath.
int KindOf(const KTXPathNode* node) { return node->GetKind() == kXPathCData ? kXPathText : node->GetKind(); }

// Members in document order (attributes right after their element) give
// ranks among matching siblings and the sorted positions.
void AddMember(KTNumberingSet& set, std::unordered_map<const KTXPathNode*, int>& siblingCounts,
               const KTXPathNode* node) {
  if (IsAttributeLike(node)) {
    set.rank.emplace(node, 1);
    return;
  }
  int rank = node->GetParent() ? ++siblingCounts[node->GetParent()] : 1;
  set.rank.emplace(node, rank);
  set.positions.push_back(node->GetPosition());
}

// Decimal digits from `zero` on (the zero of the token's script).
void AppendDecimal(std::u16string& out, int64_t n, int width, char16_t zero, std::u16string_view separator,
                   int groupingSize) {
  std::u16string digits;
  for (int64_t v = n; v > 0; v /= 10) digits.push_back(static_cast<char16_t>(zero + v % 10));
  if (digits.empty()) digits.push_back(zero);
  while (static_cast<int>(digits.size()) < width) digits.push_back(zero);
  for (size_t i = digits.size(); i-- > 0;) {
    out += digits[i];
    if (groupingSize > 0 && i > 0 && i % static_cast<size_t>(groupingSize) == 0) out += separator;
  }
}

bool IsDecimalDigit(char16_t c) {
  if (c < 0x80) return c >= u'0' && c <= u'9';
  const char16_t* category = KTUnicodeDatabase::GetCategory(c);
  return category[0] == u'N' && category[1] == u'd';
}

// The zero of a decimal token (XSLT 1.0 §7.7.1): its last character is a
// digit one of some script and every character before it is that script's
// zero; 0 for any other token. Decimal digits come in runs of whole sets
// 0 to 9, so a digit's value is its distance from the start of its run,
// modulo 10 (a run holds at most a few sets, so the walk back is short).
char16_t DecimalTokenZero(std::u16string_view token) {
  if (token.empty()) return 0;
  char16_t one = token.back();
  if (!IsDecimalDigit(one)) return 0;
  char16_t start = one;
  while (start > 0 && IsDecimalDigit(static_cast<char16_t>(start - 1))) --start;
  if ((one - start) % 10 != 1) return 0;
  char16_t zero = static_cast<char16_t>(one - 1);
  for (size_t i = 0; i + 1 < token.size(); ++i) {
    if (token[i] != zero) return 0;
  }
  return zero;
}

// The alphabetic numbering of n >= 1 (a, b, ..., z, aa, ab, ...: bijective
// base 26) over the whole range of the number list; at most 14 letters for
// values up to 2^63.
void AppendAlphabetic(std::u16string& out, int64_t n, bool upperCase) {
  char16_t letters[16];
  int at = 16;
  const char16_t first = upperCase ? u'A' : u'a';
  for (uint64_t m = static_cast<uint64_t>(n); m > 0; m = (m - 1) / 26)
    letters[--at] = static_cast<char16_t>(first + (m - 1) % 26);
  out.append(letters + at, letters + 16);
}

// Passes variable lookups through to the frame and notes each variable the
// first time it is looked up, with the binding found.
class KTRecordingVariables : public KTVariableSource {
 public:
  explicit KTRecordingVariables(const KTVariableSource* inner) : inner_(inner) {}
  const KTBindingRecord* FindBinding(const KTString& name) const override {
    const KTBindingRecord* record = inner_ ? inner_->FindBinding(name) : nullptr;
    for (const KTNumberingSet::SeenVariable& known : seen_)
      if (known.name == name) return record;
    KTNumberingSet::SeenVariable entry;
    entry.name = name;
    entry.bound = record != nullptr;
    if (record) entry.value = record->value;
    seen_.push_back(std::move(entry));
    return record;
  }
  std::vector<KTNumberingSet::SeenVariable>& Seen() const { return seen_; }

 private:
  const KTVariableSource* inner_;
  mutable std::vector<KTNumberingSet::SeenVariable> seen_;
};

// Node-sets longer than this are compared only when they share their items.
constexpr int kMaxComparedItems = 64;

bool SameValue(const KTXPathValue& a, const KTXPathValue& b) {
  if (a.GetKind() != b.GetKind()) return false;
  switch (a.GetKind()) {
    case kValueBoolean: return a.GetBoolean() == b.GetBoolean();
    case kValueNumber: return a.GetNumber() == b.GetNumber();
    case kValueString: return a.StringText() == b.StringText();
    default: break;
  }
  // Copies of one value share their items; nodes stay in place for the run.
  if (&a.Items() == &b.Items()) return true;
  if (a.ItemCount() != b.ItemCount() || a.ItemCount() > kMaxComparedItems) return false;
  return std::equal(a.Items().begin(), a.Items().end(), b.Items().begin());
}

// Whether every variable the set's evaluation looked up has the value it had
// then.
bool SameVariables(const KTNumberingSet& set, const KTVariableSource* variables) {
  for (const KTNumberingSet::SeenVariable& known : set.seen) {
    const KTBindingRecord* record = variables ? variables->FindBinding(known.name) : nullptr;
    if ((record != nullptr) != known.bound) return false;
    if (record && !SameValue(record->value, known.value)) return false;
  }
  return true;
}

}  // namespace

// ---- xsl:decimal-format ----

KTDecimalFormatExecutor::KTDecimalFormatExecutor(KTXSLTProcessor* processor)
    : KTInstructionExecutor(processor, kXSLTDecimalFormat) {}

bool KTDecimalFormatExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  KTOpenFrame(frame);
  KTEndStart(frame);
  return true;
}

// ---- xsl:number ----

KTNumberExecutor::KTNumberExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor, kXSLTNumber) {}

// A pattern that names no variable selects the same nodes wherever
// xsl:number runs, so its set is made once per document. One that names a
// variable is made over the whole document at its first run and used again
// while the variables it looked up keep their values; when they change it
// is evaluated again, at levels single and multiple only from the nodes
// that can matter.
const KTNumberingSet& KTNumberExecutor::PatternSet(KTXPathNode* attribute, const KTCompiledExpression& pattern,
                                                   KTXPathNode* root, KTXPathNode* current, bool anyLevel,
                                                   KTExecFrame* frame) {
  auto& sets = processor_->NumberingSets();
  std::string key = "p" + PointerKey(attribute, root);
  std::unique_ptr<KTNumberingSet>& set = sets[key];
  if (set && !set->variable) return *set;
  if (set && set->whole && SameVariables(*set, frame)) return *set;
  const bool first = !set;
  if (first) {
    set = std::make_unique<KTNumberingSet>();
  } else {
    set->rank.clear();
    set->positions.clear();
    set->whole = false;
    set->seen.clear();
  }
  const bool fromNear = !first && !anyLevel;
  KTXPathValue near;
  if (fromNear) NearContexts(current, near);
  // The stylesheet node resolves the pattern's prefixes and is the node
  // its errors point at.
  KTXPathValue matched;
  KTRecordingVariables variables(frame);
  processor_->EvaluatePattern(&matched, pattern,
                              {.root = root,
                               .contexts = fromNear ? &near : &processor_->PatternContexts(root),
                               .stylesheetNode = attribute,
                               .variables = &variables});
  if (!matched.IsNodeSet()) {
    sets.erase(key);
    throw KTXSLTError::About(kNotANodeSet, attribute);
  }
  if (first) set->variable = pattern.namesVariables;
  if (set->variable && !fromNear) {
    set->whole = true;
    set->seen = std::move(variables.Seen());
  }
  std::unordered_map<const KTXPathNode*, int> siblingCounts;
  for (const KTXPathNodeItem& item : matched.Items()) AddMember(*set, siblingCounts, item.GetNode());
  std::sort(set->positions.begin(), set->positions.end());
  return *set;
}

// Levels single and multiple test the current node and its ancestors, each
// ranked among its matching siblings. A pattern selects only descendants of
// its context nodes (or starts at the root), so the parents of those nodes,
// the current node's ancestors, select as context nodes every one of them
// that the pattern matches together with all their matching siblings. Their
// siblings need not serve as contexts: that would evaluate the pattern over
// whole subtrees beside the current node at every run.
void KTNumberExecutor::NearContexts(KTXPathNode* current, KTXPathValue& out) {
  std::vector<KTXPathNode*> chain;
  for (KTXPathNode* at = current->GetParent(); at; at = at->GetParent()) chain.push_back(at);
  // The root alone when the current node is the root.
  if (chain.empty()) chain.push_back(current);
  out.SetNodeSet();
  KTXPathValue::ItemVector& items = out.MutableItems();
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) items.emplace_back(*it, static_cast<int>(items.size()) + 1);
}

// The key of the default count set a node belongs to: its kind and, for
// named kinds, its expanded name (no URI and the empty URI alike).
std::string DefaultSetKey(const KTXPathNode* root, const KTXPathNode* node) {
  int kind = KindOf(node);
  std::string key = "d" + PointerKey(root, nullptr) + "/" + std::to_string(kind);
  if (kind == kXPathElement || kind == kXPathAttribute || kind == kXPathNamespace || kind == kXPathPI) {
    const KTString* uri = node->GetNamespaceUri();
    std::u16string_view uriText = uri ? uri->View() : std::u16string_view();
    key += "/" + std::to_string(uriText.size()) + ":" + Bytes(uriText) + Bytes(LocalName(node));
  }
  return key;
}

// Without a count attribute: the nodes of the current node's kind and
// expanded name. The first such count in a document groups all its nodes
// by kind and name in one pass; a set is then made from its group alone, so
// numbering many differently named nodes does not walk the document once
// per name.
const KTNumberingSet& KTNumberExecutor::CountSet(const KTDeclNumber& record, KTXPathNode* current, KTXPathNode* root,
                                                 KTExecFrame* frame) {
  if (record.countNode)
    return PatternSet(record.countNode, *record.count, root, current, record.level == u"any", frame);
  auto& sets = processor_->NumberingSets();
  std::string key = DefaultSetKey(root, current);
  std::unique_ptr<KTNumberingSet>& set = sets[key];
  if (set) return *set;
  set = std::make_unique<KTNumberingSet>();
  std::unique_ptr<KTNumberingSet>& groups = sets["g" + PointerKey(root, nullptr)];
  if (!groups) {
    groups = std::make_unique<KTNumberingSet>();
    for (const KTXPathNodeItem& item : processor_->PatternContexts(root).Items())
      groups->groups[DefaultSetKey(root, item.GetNode())].push_back(item.GetNode());
  }
  auto group = groups->groups.find(key);
  if (group != groups->groups.end()) {
    std::unordered_map<const KTXPathNode*, int> siblingCounts;
    for (const KTXPathNode* node : group->second) AddMember(*set, siblingCounts, node);
    groups->groups.erase(group);
  }
  return *set;
}

bool KTNumberExecutor::Start() {
  KTExecFrame* frame = TopFrame();
  frame->SetStarted();
  KTXPathNode* node = frame->NodeToRun();
  frame->SetOwnNode(node);
  const KTDeclRecord* base = Declaration();
  if (!base || base->elementId != kXSLTNumber) throw KTXSLTError(KTXSLTError::kUnexpectedFailure, node);
  const auto& record = static_cast<const KTDeclNumber&>(*base);

  const KTXPathValue& list = frame->NodeList();
  const KTXPathNodeItem* item = list.NodeItemAt(frame->ContextPosition() - 1);
  KTXPathNode* current = item != list.ItemsEnd() ? item->GetNode() : nullptr;

  auto avt = [&](KTXPathNode* attribute, const KTCompiledValueTemplate* compiled, KTString& out) {
    if (!attribute) return false;
    EvaluateAttributeValueTemplate(out, attribute, compiled, frame);
    return true;
  };
  KTString format(u"1");
  avt(record.formatNode, record.format, format);
  KTString text;
  avt(record.langNode, record.lang, text);
  if (avt(record.letterValueNode, record.letterValue, text) && !(text == u"alphabetic") && !(text == u"traditional"))
    throw KTXSLTError::About(kUnexpectedValue, record.letterValueNode);
  KTString groupingSeparator;
  int groupingSize = 0;
  if (avt(record.groupingSeparatorNode, record.groupingSeparator, groupingSeparator)) {
    // One character is asked for; of a longer value the first character
    // (both halves of a surrogate pair) is taken, and an empty one groups
    // with nothing between the groups, as xsltproc does.
    std::u16string_view separator = groupingSeparator.View();
    size_t first = separator.size() > 1 && separator[0] >= 0xD800 && separator[0] < 0xDC00 ? 2 : 1;
    if (separator.size() > first) groupingSeparator = KTString(separator.substr(0, first));
    // XSLT 1.0 §7.7.1: a grouping size alone, or a separator alone, is
    // ignored.
    if (avt(record.groupingSizeNode, record.groupingSize, text)) {
      double size = KTXPathFunctionLibrary::ToNumber(KTXPathValue::String(text));
      if (size >= 1 && size < 1000) groupingSize = static_cast<int>(size);
    }
  }

  std::vector<int64_t> numbers;
  std::u16string out;
  bool plain = false;
  if (record.valueNode) {
    KTXPathValue value;
    frame->EvaluateExpression(record.valueNode, *record.value, &list, &value, true);
    double number = KTXPathFunctionLibrary::ToNumber(value);
    double rounded = std::floor(number + 0.5);
    // NaN, infinities, negative numbers and numbers beyond 2^53 are written
    // as their string value (the recovery XSLT 1.0 §7.7 allows).
    if (std::isnan(number) || number < 0 || rounded > 9007199254740992.0) {
      out = KTXPathFunctionLibrary::ToString(KTXPathValue::Number(number)).View();
      plain = true;
    } else {
      numbers.push_back(static_cast<int64_t>(rounded));
    }
  } else if (current && !record.countNode && IsAttributeLike(current)) {
    // An attribute has no siblings, and no other node of its kind and name
    // precedes it or is its ancestor: it counts as 1 at every level.
    numbers.push_back(1);
  } else if (current) {
    KTXPathNode* root = current;
    while (root->GetParent()) root = root->GetParent();
    const bool anyLevel = record.level == u"any";
    const KTNumberingSet& count = CountSet(record, current, root, frame);
    const KTNumberingSet* from =
        record.fromNode ? &PatternSet(record.fromNode, *record.from, root, current, anyLevel, frame) : nullptr;
    if (anyLevel) {
      // An attribute or namespace node has no place of its own among the
      // positions: it follows its element and precedes the element's
      // children, so it sees what its element sees.
      const bool attributeLike = IsAttributeLike(current) && current->GetParent();
      int32_t at = attributeLike ? current->GetParent()->GetPosition() : current->GetPosition();
      int32_t after = std::numeric_limits<int32_t>::min();
      if (from) {
        // The nearest node before the current one that matches from.
        auto it = attributeLike ? std::upper_bound(from->positions.begin(), from->positions.end(), at)
                                : std::lower_bound(from->positions.begin(), from->positions.end(), at);
        if (it != from->positions.begin()) after = *(it - 1);
      }
      auto upper = [&](int32_t p) { return std::upper_bound(count.positions.begin(), count.positions.end(), p); };
      int64_t n = after == std::numeric_limits<int32_t>::min() ? upper(at) - count.positions.begin()
                                                                : upper(at) - upper(after);
      if (IsAttributeLike(current) && count.Has(current)) ++n;
      // XSLT 1.0 §7.7: a list of one number, 0 when nothing is counted.
      numbers.push_back(n);
    } else {
      bool multiple = record.level == u"multiple";
      // Ancestors-or-self up to, not including, the nearest ancestor that
      // matches from.
      for (KTXPathNode* at = current; at; at = at->GetParent()) {
        if (from && at != current && from->Has(at)) break;
        auto found = count.rank.find(at);
        if (found == count.rank.end()) continue;
        numbers.push_back(found->second);
        if (!multiple) break;
      }
      std::reverse(numbers.begin(), numbers.end());
    }
  }
  if (!plain) out = FormatNumberList(format.View(), numbers, groupingSeparator.View(), groupingSize);
  if (!out.empty() && resultParent_) {
    auto textNode = std::make_unique<KTXPathNode>(nullptr, kXPathText);
    textNode->SetValue(KTString(std::u16string_view(out)));
    AppendResultText(resultParent_, std::move(textNode));
  }
  frame->SetLastFinished(node);
  frame->SetNodeToRun(nullptr);
  return true;
}

std::u16string KTNumberExecutor::FormatNumberList(std::u16string_view format, const std::vector<int64_t>& numbers,
                                                  std::u16string_view groupingSeparator, int groupingSize) {
  std::u16string out;
  if (numbers.empty()) return out;
  // prefix, then tokens (alphanumeric runs) with the separators between
  // them, then the suffix.
  size_t begin = 0;
  while (begin < format.size() && !IsAlphanumeric(format[begin])) ++begin;
  size_t end = format.size();
  while (end > begin && !IsAlphanumeric(format[end - 1])) --end;
  std::u16string_view prefix = format.substr(0, begin);
  std::u16string_view suffix = begin < end ? format.substr(end) : std::u16string_view();
  std::vector<std::u16string_view> tokens;
  std::vector<std::u16string_view> separators;  // separators[i] precedes tokens[i + 1]
  for (size_t i = begin; i < end;) {
    size_t start = i;
    while (i < end && IsAlphanumeric(format[i])) ++i;
    tokens.push_back(format.substr(start, i - start));
    start = i;
    while (i < end && !IsAlphanumeric(format[i])) ++i;
    if (i > start) separators.push_back(format.substr(start, i - start));
  }
  if (tokens.empty()) tokens.push_back(u"1");
  out += prefix;
  for (size_t i = 0; i < numbers.size(); ++i) {
    size_t t = std::min(i, tokens.size() - 1);
    if (i > 0) {
      if (t > 0) {
        out += separators[t - 1];
      } else {
        out += u'.';
      }
    }
    std::u16string_view token = tokens[t];
    int64_t n = numbers[i];
    bool upper = token == u"A" || token == u"I";
    if ((token == u"A" || token == u"a") && n >= 1) {
      AppendAlphabetic(out, n, upper);
    } else if ((token == u"I" || token == u"i") && n >= 1 && n <= 9999) {
      KTString roman;
      out += roman.FormatRomanNumeral(static_cast<int>(n), upper).View();
    } else {
      // A token 0...01, in any script's digits, gives the minimum width
      // and the digits; any other token numbers as "1" does.
      char16_t zero = DecimalTokenZero(token);
      int width = zero ? static_cast<int>(token.size()) : 1;
      AppendDecimal(out, n, width, zero ? zero : u'0', groupingSeparator, groupingSize);
    }
  }
  out += suffix;
  return out;
}
