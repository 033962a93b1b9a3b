// KTSpaceRules: tests are kept by what they match (any name, any name in a
// namespace, one name), each slot holding only the strongest test, so an
// element name is judged with three lookups whatever the number of tests.
#include "xslt/ktspacerules.h"

#include "xml/ktxpathnode.h"
#include "xslt/ktxsltnames.h"

namespace {

// The URI `prefix` is bound to at `element`; false when it is not bound.
bool Resolve(const KTXPathNode* element, std::u16string_view prefix, KTString& uri) {
  const KTPrefixMap* map = KTXPathNode::GetNodeNamespaceMap(element);
  if (!map) return false;
  auto found = map->find(prefix);
  if (found == map->end() || !found->second) return false;
  uri = *found->second;
  return true;
}

}  // namespace

KTSpaceRules::ParseResult KTSpaceRules::ParseNameTests(const KTXPathNode* element, std::u16string_view text,
                                                       std::vector<NameTest>& tests, std::u16string_view* fault) {
  for (std::u16string_view token : SplitNameList(text)) {
    if (fault) *fault = token;
    NameTest test;
    if (token == u"*") {
      tests.push_back(std::move(test));
      continue;
    }
    size_t colon = token.find(u':');
    std::u16string_view prefix = colon == std::u16string_view::npos ? std::u16string_view() : token.substr(0, colon);
    std::u16string_view local = colon == std::u16string_view::npos ? token : token.substr(colon + 1);
    if (local == u"*" && !prefix.empty()) {
      if (!IsNCName(KTString(prefix).c_str())) return ParseResult::kNotNameTest;
      test.kind = NameTest::kAnyLocalName;
    } else {
      if (!IsQName(KTString(token).c_str())) return ParseResult::kNotNameTest;
      test.kind = NameTest::kName;
      test.local = KTString(local);
    }
    if (!prefix.empty() && !Resolve(element, prefix, test.uri)) return ParseResult::kUndefinedPrefix;
    tests.push_back(std::move(test));
  }
  return ParseResult::kParsed;
}

void KTSpaceRules::Clear() {
  hasAny_ = false;
  any_ = Rank();
  byNamespace_.clear();
  byName_.clear();
  added_ = 0;
}

bool KTSpaceRules::Rank::Beats(const Rank& other) const {
  if (precedence != other.precedence) return precedence > other.precedence;
  if (priority != other.priority) return priority > other.priority;
  return order > other.order;
}

void KTSpaceRules::Keep(Rank& held, const Rank& candidate) {
  if (candidate.Beats(held)) held = candidate;
}

std::u16string KTSpaceRules::NameKey(std::u16string_view uri, std::u16string_view local) {
  // Neither a URI nor a local name holds a NUL, so NUL separates them
  // unambiguously.
  std::u16string key;
  key.reserve(uri.size() + local.size() + 1);
  key.append(uri);
  key.push_back(u'\0');
  key.append(local);
  return key;
}

void KTSpaceRules::Add(const std::vector<NameTest>& tests, bool strip, int precedence) {
  for (const NameTest& test : tests) {
    Rank rank;
    rank.precedence = precedence;
    rank.order = ++added_;
    rank.strip = strip;
    switch (test.kind) {
      case NameTest::kAnyName:
        rank.priority = -2;
        if (!hasAny_) any_ = rank;
        Keep(any_, rank);
        hasAny_ = true;
        break;
      case NameTest::kAnyLocalName: {
        rank.priority = -1;
        auto [slot, made] = byNamespace_.try_emplace(std::u16string(test.uri.View()), rank);
        if (!made) Keep(slot->second, rank);
        break;
      }
      case NameTest::kName: {
        auto [slot, made] = byName_.try_emplace(NameKey(test.uri.View(), test.local.View()), rank);
        if (!made) Keep(slot->second, rank);
        break;
      }
    }
  }
}

bool KTSpaceRules::Strips(std::u16string_view uri, std::u16string_view local) const {
  const Rank* best = hasAny_ ? &any_ : nullptr;
  if (!byNamespace_.empty()) {
    auto found = byNamespace_.find(std::u16string(uri));
    if (found != byNamespace_.end() && (!best || found->second.Beats(*best))) best = &found->second;
  }
  if (!byName_.empty()) {
    auto found = byName_.find(NameKey(uri, local));
    if (found != byName_.end() && (!best || found->second.Beats(*best))) best = &found->second;
  }
  return best && best->strip;
}
