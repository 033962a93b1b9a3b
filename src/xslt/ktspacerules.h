// KTSpaceRules: the name tests of a stylesheet's xsl:strip-space and
// xsl:preserve-space declarations, and the answer they give for an element
// of a source document: are its whitespace-only text children stripped?
//
// XSLT 1.0 §3.4: an element whose name matches no test keeps them. When
// tests of both kinds match, the one of higher import precedence wins, then
// the one of higher priority (a QName 0, prefix:* -0.25, * -0.5), then the
// one declared last.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/ktstring.h"

class KTXPathNode;

class KTSpaceRules {
 public:
  // One token of an `elements` list, its prefix resolved.
  struct NameTest {
    enum Kind { kAnyName, kAnyLocalName, kName } kind = kAnyName;
    KTString uri;    // empty: no namespace (kAnyLocalName, kName)
    KTString local;  // kName only
  };

  enum class ParseResult { kParsed, kNotNameTest, kUndefinedPrefix };

  // Reads the whitespace-separated name tests of `text`, resolving prefixes
  // with the namespaces in scope at `element` (an unprefixed name is in no
  // namespace). On a fault `tests` holds the tests before it, and `fault`
  // (when given) the token at fault.
  static ParseResult ParseNameTests(const KTXPathNode* element, std::u16string_view text,
                                    std::vector<NameTest>& tests, std::u16string_view* fault = nullptr);

  void Clear();
  bool Empty() const { return !hasAny_ && byNamespace_.empty() && byName_.empty(); }

  // Adds one declaration's tests; `precedence` grows with import precedence.
  // Of two tests of equal precedence and priority the one added later wins.
  void Add(const std::vector<NameTest>& tests, bool strip, int precedence);

  // True when whitespace-only text children of an element named
  // {uri}local are stripped (uri empty: no namespace).
  bool Strips(std::u16string_view uri, std::u16string_view local) const;

 private:
  // What one test says and how strongly; compared field by field.
  struct Rank {
    int precedence = 0;
    int priority = 0;  // 0, -1 (prefix:*), -2 (*)
    int order = 0;
    bool strip = false;
    bool Beats(const Rank& other) const;
  };

  static void Keep(Rank& held, const Rank& candidate);
  static std::u16string NameKey(std::u16string_view uri, std::u16string_view local);

  bool hasAny_ = false;
  Rank any_;
  std::unordered_map<std::u16string, Rank> byNamespace_;
  std::unordered_map<std::u16string, Rank> byName_;
  int added_ = 0;
};
