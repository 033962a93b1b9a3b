// The schema model: construction and passes, error recording, declaration
// lookups, fragment parsing and external documents, and the services the
// XPath tree context asks of it.
#include "schema/ktschemamodel.h"

#include <algorithm>
#include <array>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ktwchar.h"
#include "platform/ktworkcount.h"
#include "xml/ktdocloader.h"
#include "xml/ktdocmanager.h"
#include "xml/ktdocwellformed.h"
#include "xml/ktdocsource.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktparserdriver.h"
#include "xml/ktxdoctype.h"
#include "xml/ktxname.h"
#include "xml/ktxnode.h"
#include "xml/ktxpathtreecontext.h"

namespace {

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// TextDecl ::= '<?xml' VersionInfo? EncodingDecl S? '?>' (XML 1.0 §4.3.1):
// `end` becomes the place after it (0 when the text opens with none); false,
// with `fault` saying why and `end` where, for a declaration of another form.
bool SkipTextDeclaration(const KTString& text, int& end, KTString& fault) {
  end = 0;
  const int n = text.GetLength();
  if (KTStrNCmp(text.c_str(), u"<?xml", 5) != 0 || n < 6 || !IsSpace(text[5])) return true;
  int i = 5;
  auto skipSpace = [&] {
    int from = i;
    while (i < n && IsSpace(text[i])) ++i;
    return i > from;
  };
  auto keyword = [&](const char16_t* word) {
    int length = KTStrLen(word);
    if (i + length > n || KTStrNCmp(text.c_str() + i, word, length) != 0) return false;
    i += length;
    return true;
  };
  // Eq and a quoted value whose characters `allowed` accepts; the value's
  // first character is checked by `first`.
  auto quoted = [&](bool (*first)(char16_t), bool (*rest)(char16_t), KTString& value) {
    skipSpace();
    if (i >= n || text[i] != u'=') return false;
    ++i;
    skipSpace();
    if (i >= n || (text[i] != u'"' && text[i] != u'\'')) return false;
    char16_t quote = text[i++];
    int start = i;
    while (i < n && text[i] != quote) {
      if (!(i == start ? first(text[i]) : rest(text[i]))) return false;
      ++i;
    }
    if (i >= n || i == start) return false;
    value = text.Mid(start, i - start);
    ++i;
    return true;
  };
  auto isDigit = [](char16_t c) { return c >= u'0' && c <= u'9'; };
  auto isLetter = [](char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); };
  auto isEncChar = [](char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'.' ||
           c == u'_' || c == u'-';
  };
  auto isVersionChar = [](char16_t c) { return (c >= u'0' && c <= u'9') || c == u'.'; };
  KTString value;
  skipSpace();
  bool spaced = true;
  if (keyword(u"version")) {
    if (!quoted(isDigit, isVersionChar, value) || KTStrNCmp(value.c_str(), u"1.", 2) != 0 || value.GetLength() < 3 ||
        value.Find(u'.', 2) >= 0) {
      fault = KTString(u"the text declaration has a malformed version");
      end = i;
      return false;
    }
    spaced = skipSpace();
  }
  if (!keyword(u"encoding")) {
    fault = KTString(u"a text declaration must name the encoding (XML 1.0 §4.3.1)");
    end = i;
    return false;
  }
  if (!spaced) {
    fault = KTString(u"the text declaration needs a blank before its encoding");
    end = i;
    return false;
  }
  if (!quoted(isLetter, isEncChar, value)) {
    fault = KTString(u"the text declaration has a malformed encoding name");
    end = i;
    return false;
  }
  skipSpace();
  if (!keyword(u"?>")) {
    fault = KTString(u"the text declaration holds more than a version and an encoding, or does not end with '?>'");
    end = i;
    return false;
  }
  end = i;
  return true;
}

KTXNode* Topmost(KTXNode* node) {
  while (node && node->GetParent()) node = node->GetParent();
  return node;
}

// The next node after `node` in document order within the subtree of
// `root`, among the nodes that stand: the pending attributes of an element
// (ktxnode.h) are passed over, and no node is made for them.
const KTXNode* NextMadeInSubtree(const KTXNode* node, const KTXNode* root) {
  if (const KTXNode* first = node->GetFirstMadeChild()) return first;
  for (const KTXNode* n = node; n && n != root; n = n->GetParent()) {
    if (const KTXNode* next = n->GetNextSibling()) return next;
  }
  return nullptr;
}

// Whether sibling `a` stands before sibling `b`. Both walk forward in
// step, so the cost is the distance between them or from the later one to
// the end, never the whole child list: problems reported in document order
// under one parent cost linear time in all. The steps go to KTWorkCount.
bool SiblingBefore(KTXNode* a, KTXNode* b) {
  KTXNode* fromA = a;
  KTXNode* fromB = b;
  uint64_t steps = 1;
  bool before;
  for (;; ++steps) {
    fromA = fromA->GetNextSibling();
    if (fromA == b || !fromA) {
      before = fromA == b;
      break;
    }
    fromB = fromB->GetNextSibling();
    if (fromB == a || !fromB) {
      before = !fromB;
      break;
    }
  }
  KTWorkCount::Add(steps);
  return before;
}

// Every conditional section nested in a section's body at any depth, in
// the order they open, found the way the grammar's conditional section
// matches them (sectContents): "<![" opens one and "]]>" closes the
// innermost open one, whatever text stands around them. False when the
// body's sections do not balance. The text is searched for '<' and ']'
// only, sixteen units a step.
bool FindNestedSections(std::u16string_view body, std::vector<KTSchemaModel::SectionRange>& found) {
  const char16_t* const base = body.data();
  const size_t n = body.size();
  auto next = [&](size_t from, char16_t c) {
    if (from >= n) return n;
    const char16_t* at = KTFindUnit(base + from, n - from, c);
    return at ? static_cast<size_t>(at - base) : n;
  };
  std::vector<size_t> open;  // the entries of the sections open, innermost last
  size_t lt = next(0, u'<');
  size_t rb = next(0, u']');
  while (lt < n || rb < n) {
    if (lt < rb) {
      if (lt + 2 < n && base[lt + 1] == u'!' && base[lt + 2] == u'[') {
        open.push_back(found.size());
        found.push_back({lt, 0, static_cast<int>(open.size())});
        lt = next(lt + 3, u'<');
      } else {
        lt = next(lt + 1, u'<');
      }
    } else if (rb + 2 < n && base[rb + 1] == u']' && base[rb + 2] == u'>') {
      if (open.empty()) return false;
      found[open.back()].end = rb + 3;
      open.pop_back();
      rb = next(rb + 3, u']');
    } else {
      rb = next(rb + 1, u']');
    }
  }
  return open.empty();
}

// Where a comment that opens at `at` ("<!--") ends (behind its "-->"),
// when it closes before `limit` and the grammar's comment production
// matches it as written: a text of at least one printable ASCII character,
// tab, CR or LF without "--". npos for any other comment, which is left to
// the grammar.
size_t PlainCommentEnd(std::u16string_view body, size_t at, size_t limit) {
  const size_t textStart = at + 4;
  for (size_t i = textStart; i + 2 < limit; ++i) {
    const char16_t c = body[i];
    if (c == u'-' && body[i + 1] == u'-') return body[i + 2] == u'>' && i > textStart ? i + 3 : std::u16string_view::npos;
    if (c > 0x7E || (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r')) return std::u16string_view::npos;
  }
  return std::u16string_view::npos;
}

// The ASCII characters of names: bit 1 may start one, bit 2 may go on one.
constexpr std::array<uint8_t, 128> kAsciiNameClass = [] {
  std::array<uint8_t, 128> table{};
  for (int c = 0; c < 128; ++c) {
    const bool start = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
    const bool more = start || (c >= '0' && c <= '9') || c == '.' || c == '-';
    table[c] = static_cast<uint8_t>((start ? 1 : 0) | (more ? 2 : 0));
  }
  return table;
}();

bool IsAsciiNameStart(char16_t c) { return c < 128 && (kAsciiNameClass[c] & 1) != 0; }
bool IsAsciiNameChar(char16_t c) { return c < 128 && (kAsciiNameClass[c] & 2) != 0; }

// Behind the name of ASCII characters that starts at `i`, or npos.
size_t AsciiNameEnd(std::u16string_view text, size_t i, size_t limit) {
  if (i >= limit || !IsAsciiNameStart(text[i])) return std::u16string_view::npos;
  while (++i < limit && IsAsciiNameChar(text[i])) {
  }
  return i;
}

// An entity declaration with a quoted value, as the grammar's geDecl or
// peDecl matches it, that the walk can take without the grammar: its name
// (with the '%' and blanks of a parameter entity) and its value (with the
// quotes), the parts the driver keeps of one.
struct PlainEntityDecl {
  size_t end = std::u16string_view::npos;  // behind its '>'
  size_t nameStart = 0, nameEnd = 0;
  size_t valueStart = 0, valueEnd = 0;
};

// Behind the parameter-entity reference ('%' Name ';', the name in ASCII)
// that starts at `i`, or npos.
size_t AsciiReferenceEnd(std::u16string_view text, size_t i, size_t limit) {
  if (i >= limit || text[i] != u'%') return std::u16string_view::npos;
  i = AsciiNameEnd(text, i + 1, limit);
  return i < limit && text[i] == u';' ? i + 1 : std::u16string_view::npos;
}

bool IsPlainAscii(char16_t c) { return (c >= 0x20 && c <= 0x7E) || c == u'\t' || c == u'\n' || c == u'\r'; }

// An element type declaration whose content model opens with a
// parameter-entity reference that more text follows ("<!ELEMENT para %ho;
// (...)>", as DocBook writes them): the grammar reads the model as written
// (elementSpecUnformatted), since contentspec ends with the reference and
// '>' does not follow. The name and that text (from the '%' to the '>') are
// the parts the driver keeps of one. End stays npos for any other
// declaration, or one not written in printable ASCII, tab, CR and LF.
struct PlainElementDecl {
  size_t end = std::u16string_view::npos;
  size_t nameStart = 0, nameEnd = 0;
  size_t modelStart = 0, modelEnd = 0;
};

PlainElementDecl ReadPlainElementDecl(std::u16string_view text, size_t at, size_t limit) {
  PlainElementDecl decl;
  constexpr std::u16string_view kOpen = u"<!ELEMENT";
  size_t i = at + kOpen.size();
  auto blanks = [&] {
    const size_t from = i;
    while (i < limit && IsSpace(text[i])) ++i;
    return i > from;
  };
  if (i > limit || text.substr(at, kOpen.size()) != kOpen || !blanks()) return decl;
  decl.nameStart = i;
  i = AsciiNameEnd(text, i, limit);
  if (i == std::u16string_view::npos) return decl;
  decl.nameEnd = i;
  if (!blanks()) return decl;
  decl.modelStart = i;
  i = AsciiReferenceEnd(text, i, limit);
  if (i == std::u16string_view::npos) return decl;
  blanks();
  if (i >= limit || text[i] == u'>') return decl;
  while (i < limit && text[i] != u'>') {
    if (!IsPlainAscii(text[i])) return decl;
    ++i;
  }
  if (i >= limit) return decl;
  decl.modelEnd = i;
  decl.end = i + 1;
  return decl;
}

// An attribute-list declaration read the way the grammar's attlistDecl
// reads one with its definitions formatted (attlistRestFormatted): each
// definition (attDef) with its parts, each part with its code, its range
// and the range of the text the driver keeps of it. Parts of an enumerated
// or notation type carry no range (the driver gives them none).
struct AttlistPart {
  int code = 0;
  size_t start = 0, end = 0;
  size_t valueStart = 0, valueEnd = 0;  // valueEnd > valueStart: a text kept
  bool ranged = true;
};
struct AttlistDefinition {
  size_t start = 0, end = 0;
  size_t firstPart = 0, partCount = 0;
};
struct PlainAttlist {
  size_t end = std::u16string_view::npos;
  size_t nameStart = 0, nameEnd = 0;
  std::vector<AttlistDefinition> definitions;
  std::vector<AttlistPart> parts;
};

class PlainAttlistReader {
 public:
  PlainAttlistReader(std::u16string_view text, size_t limit, PlainAttlist& out)
      : text_(text), limit_(limit), out_(out) {}

  // The declaration that opens at `at` ("<!ATTLIST"); out.end stays npos
  // when it is not read here.
  void Read(size_t at) {
    out_.end = std::u16string_view::npos;
    out_.definitions.clear();
    out_.parts.clear();
    constexpr std::u16string_view kOpen = u"<!ATTLIST";
    i_ = at + kOpen.size();
    if (i_ > limit_ || text_.substr(at, kOpen.size()) != kOpen || !Blanks()) return;
    out_.nameStart = i_;
    if (!Name()) return;
    out_.nameEnd = i_;
    // attlistText: S* attDef (S+ attDef)* S*, then S* '>'.
    for (bool first = true;; first = false) {
      const bool blank = Blanks();
      if (i_ >= limit_) return;
      if (text_[i_] == u'>') break;
      if (!first && !blank) return;
      if (ReadDefinition() != kMatch) return;
    }
    out_.end = i_ + 1;
  }

  // The whole text as attlistText (S* attDef (S+ attDef)* S*), the way an
  // entity value of definitions is read; out.end is the text's end, or
  // npos when it is not read here.
  void ReadDefinitions() {
    out_.end = std::u16string_view::npos;
    out_.definitions.clear();
    out_.parts.clear();
    i_ = 0;
    for (bool first = true;; first = false) {
      const bool blank = Blanks();
      if (i_ >= limit_) {
        if (first) return;  // one definition at least
        break;
      }
      if (!first && !blank) return;
      if (ReadDefinition() != kMatch) return;
    }
    out_.end = limit_;
  }

 private:
  enum Result { kMatch, kNoMatch, kUnsure };

  bool Blanks() {
    const size_t from = i_;
    while (i_ < limit_ && IsSpace(text_[i_])) ++i_;
    return i_ > from;
  }
  bool Name() {
    const size_t end = AsciiNameEnd(text_, i_, limit_);
    if (end == std::u16string_view::npos) return false;
    i_ = end;
    return true;
  }
  // A name token of ASCII name characters.
  bool Token() {
    const size_t from = i_;
    while (i_ < limit_ && IsAsciiNameChar(text_[i_])) ++i_;
    return i_ > from;
  }
  bool Reference() {
    const size_t end = AsciiReferenceEnd(text_, i_, limit_);
    if (end == std::u16string_view::npos) return false;
    i_ = end;
    return true;
  }
  // Whether the text at i_ would go on a name, token or reference in the
  // grammar though not here: a character past ASCII.
  bool Doubtful() const { return i_ < limit_ && text_[i_] > 0x7E; }
  void Add(int code, size_t start, size_t end, bool keep) {
    AttlistPart part;
    part.code = code;
    part.start = start;
    part.end = end;
    if (keep) {
      part.valueStart = start;
      part.valueEnd = end;
    }
    out_.parts.push_back(part);
  }

  // attDef: (AttDefName S+ attTypeText S+ attDefault) | AttDefPERef.
  Result ReadDefinition() {
    const size_t start = i_;
    const size_t firstPart = out_.parts.size();
    const Result full = ReadFullDefinition();
    if (full == kUnsure) return kUnsure;
    if (full == kNoMatch) {
      out_.parts.resize(firstPart);
      i_ = start;
      if (!Reference()) return kUnsure;
      Add(kAttlistName, start, i_, true);
    }
    out_.definitions.push_back({start, i_, firstPart, out_.parts.size() - firstPart});
    return kMatch;
  }

  Result ReadFullDefinition() {
    // AttDefName: Name | PEReference.
    const size_t nameStart = i_;
    if (!(i_ < limit_ && text_[i_] == u'%' ? Reference() : Name())) return kUnsure;
    if (Doubtful()) return kUnsure;
    Add(kAttlistName, nameStart, i_, true);
    if (!Blanks()) return kNoMatch;
    const Result type = ReadType();
    if (type != kMatch) return type;
    if (!Blanks()) return kNoMatch;
    return ReadDefault();
  }

  // attTypeText, its alternatives in the grammar's order.
  Result ReadType() {
    static constexpr std::pair<std::u16string_view, int> kKeywords[] = {
        {u"CDATA", kAttlistTypeCDATA},       {u"IDREFS", kAttlistTypeIDREFS},   {u"IDREF", kAttlistTypeIDREF},
        {u"ID", kAttlistTypeID},             {u"ENTITIES", kAttlistTypeENTITIES}, {u"ENTITY", kAttlistTypeENTITY},
        {u"NMTOKENS", kAttlistTypeNMTOKENS}, {u"NMTOKEN", kAttlistTypeNMTOKEN},
    };
    const size_t start = i_;
    for (const auto& [word, code] : kKeywords) {
      if (text_.substr(i_, word.size()) == word && i_ + word.size() <= limit_) {
        i_ += word.size();
        Add(code, start, i_, false);
        return kMatch;
      }
    }
    constexpr std::u16string_view kNotation = u"NOTATION";
    if (text_.substr(i_, kNotation.size()) == kNotation && i_ + kNotation.size() <= limit_) {
      const size_t at = i_;
      i_ += kNotation.size();
      if (Blanks() && i_ < limit_ && text_[i_] == u'(') {
        Add(kAttlistTypeNotation, 0, 0, false);
        out_.parts.back().ranged = false;
        ++i_;
        return ReadValues(true);
      }
      i_ = at;  // attTypeEnum and AttTypePERef cannot start with 'N'
      return kNoMatch;
    }
    if (i_ < limit_ && text_[i_] == u'(') {
      Add(kAttlistTypeEnum, 0, 0, false);
      out_.parts.back().ranged = false;
      ++i_;
      return ReadValues(false);
    }
    if (i_ < limit_ && text_[i_] == u'%') {
      if (!Reference()) return kUnsure;
      Add(kAttlistTypePERef, start, i_, true);
      return kMatch;
    }
    return Doubtful() ? kUnsure : kNoMatch;
  }

  // The values of an enumeration or a notation type behind its '(':
  // S* value (S* '|' S* value)* S* ')'.
  Result ReadValues(bool notation) {
    for (bool first = true;; first = false) {
      Blanks();
      if (!first) {
        if (i_ < limit_ && text_[i_] == u')') break;
        if (i_ >= limit_ || text_[i_] != u'|') return kUnsure;
        ++i_;
        Blanks();
      }
      const size_t start = i_;
      const bool read = i_ < limit_ && text_[i_] == u'%' ? Reference() : notation ? Name() : Token();
      if (!read || Doubtful()) return kUnsure;
      Add(kAttlistValue, start, i_, true);
    }
    ++i_;
    return kMatch;
  }

  // attDefault: '#REQUIRED' | '#IMPLIED' | (('#FIXED' S+)? attDefValue).
  Result ReadDefault() {
    static constexpr std::pair<std::u16string_view, int> kKeywords[] = {
        {u"#REQUIRED", kAttlistRequired}, {u"#IMPLIED", kAttlistImplied}};
    const size_t start = i_;
    for (const auto& [word, code] : kKeywords) {
      if (text_.substr(i_, word.size()) == word && i_ + word.size() <= limit_) {
        i_ += word.size();
        Add(code, start, i_, false);
        return kMatch;
      }
    }
    constexpr std::u16string_view kFixed = u"#FIXED";
    if (text_.substr(i_, kFixed.size()) == kFixed && i_ + kFixed.size() <= limit_) {
      i_ += kFixed.size();
      const size_t fixedEnd = i_;
      if (Blanks()) {
        Add(kAttlistFixed, start, fixedEnd, false);
      } else {
        i_ = start;  // '#' opens no quoted value
        return kNoMatch;
      }
    }
    if (i_ >= limit_ || (text_[i_] != u'"' && text_[i_] != u'\'')) return Doubtful() ? kUnsure : kNoMatch;
    // attDefValue: a quoted value of characters other than '<', '&' and the
    // quote, and references.
    const char16_t quote = text_[i_];
    const size_t valueStart = i_++;
    while (i_ < limit_ && text_[i_] != quote) {
      const char16_t c = text_[i_];
      if (c == u'&') {
        size_t j = i_ + 1;
        if (j < limit_ && text_[j] == u'#') {
          const bool hex = ++j < limit_ && text_[j] == u'x';
          if (hex) ++j;
          const size_t digits = j;
          while (j < limit_ && ((text_[j] >= u'0' && text_[j] <= u'9') ||
                                (hex && ((text_[j] >= u'a' && text_[j] <= u'f') || (text_[j] >= u'A' && text_[j] <= u'F')))))
            ++j;
          if (j == digits) return kUnsure;
        } else {
          j = AsciiNameEnd(text_, j, limit_);
          if (j == std::u16string_view::npos) return kUnsure;
        }
        if (j >= limit_ || text_[j] != u';') return kUnsure;
        i_ = j + 1;
        continue;
      }
      if (c == u'<' || !IsPlainAscii(c)) return kUnsure;
      ++i_;
    }
    if (i_ >= limit_) return kUnsure;
    ++i_;
    AttlistPart part;
    part.code = kAttlistDefault;
    part.start = valueStart;
    part.end = i_;
    part.valueStart = valueStart + 1;
    part.valueEnd = i_ - 1;
    out_.parts.push_back(part);
    return kMatch;
  }

  std::u16string_view text_;
  size_t limit_;
  PlainAttlist& out_;
  size_t i_ = 0;
};

// The nodes the driver makes of a declaration PlainAttlistReader read,
// appended to `holder`: the first definition fills the declaration's node
// (its range the whole declaration); each further one stands beside it,
// named like it, with its own range.
// `first`: the node the first definition fills, made by the caller (an
// entity value's definitions), else null.
void MakeAttlistNodes(std::u16string_view text, size_t at, const PlainAttlist& attlist, KTXContainerNode* holder,
                      KTXContainerNode* first = nullptr) {
  const char16_t* const base = text.data();
  const int nameLength = static_cast<int>(attlist.nameEnd - attlist.nameStart);
  auto definitionNode = [&](size_t start, size_t end) {
    std::unique_ptr<KTXNode> node = CreateXNode(kDoctypeAttlist);
    static_cast<KTDoctypeAttlistNode*>(node.get())->SetPart(kAttlistDefinition);
    if (first) {
      node->SetName(first->GetName());
    } else {
      node->SetName(base + attlist.nameStart, nameLength);
    }
    node->SetOffsets(static_cast<int>(start), static_cast<int>(end));
    return static_cast<KTXContainerNode*>(holder->AppendMade(std::move(node)));
  };
  KTXContainerNode* declaration = first ? first : definitionNode(at, attlist.end);
  for (size_t k = 0; k < attlist.definitions.size(); ++k) {
    const AttlistDefinition& definition = attlist.definitions[k];
    KTXContainerNode* into = k == 0 ? declaration : definitionNode(definition.start, definition.end);
    for (size_t p = definition.firstPart; p < definition.firstPart + definition.partCount; ++p) {
      const AttlistPart& part = attlist.parts[p];
      std::unique_ptr<KTXNode> node = CreateXNode(kDoctypeAttlist);
      static_cast<KTDoctypeAttlistNode*>(node.get())->SetPart(part.code);
      if (part.valueEnd > part.valueStart)
        node->SetValue(base + part.valueStart, static_cast<int>(part.valueEnd - part.valueStart));
      if (!part.ranged) {
        into->AppendChild(std::move(node));
        continue;
      }
      node->SetOffsets(static_cast<int>(part.start), static_cast<int>(part.end));
      into->AppendMade(std::move(node));
    }
  }
}

// Reads a content model the way the grammar's elementSpecFormatted does
// (XML 1.0 §3.2.1-§3.2.2: children and Mixed) and builds what the driver
// builds of it into `model`, the declaration node: a node per particle
// (elementGroup) with its range, its name or its group kind, and its
// occurrence; for mixed content a name node per element name. Only text in
// printable ASCII, tab, CR and LF with ASCII names is taken; Read answers
// false for any other, and for text the grammar refuses.
class PlainContentModelReader {
 public:
  PlainContentModelReader(std::u16string_view text) : text_(text) {}

  bool Read(KTDoctypeElementNode* model) {
    SkipBlanks();
    if (at_ >= text_.size() || text_[at_] != u'(') return false;
    const size_t open = at_;
    ++at_;
    SkipBlanks();
    if (Next(u"#PCDATA")) {
      at_ += 7;
      SkipBlanks();
      if (at_ < text_.size() && text_[at_] == u')') {
        // ElementPCDATA: '(' S* '#PCDATA' S* ')' '*'?
        ++at_;
        if (at_ < text_.size() && text_[at_] == u'*') ++at_;
        model->SetContentType(kContentPCData);
        return AtEnd();
      }
      // elementMixed: '(' S* '#PCDATA' S* ('|' S* Name S*)* ')*'
      model->SetContentType(kContentMixed);
      while (at_ < text_.size() && text_[at_] == u'|') {
        ++at_;
        SkipBlanks();
        const size_t start = at_;
        if (!SkipName()) return false;
        auto* name = static_cast<KTDoctypeElementNode*>(Append(model, kDoctypeElement, start, at_));
        name->SetContentType(kContentName);
        name->SetName(text_.data() + start, static_cast<int>(at_ - start));
        SkipBlanks();
      }
      if (!Next(u")*")) return false;
      at_ += 2;
      return AtEnd();
    }
    at_ = open;
    // elementChildren: a group and its occurrence.
    if (!ReadGroupAfterOpen(model, 0)) return false;
    ReadRepeat(model);
    return AtEnd();
  }

 private:
  // Nesting past this is left to the grammar: the reading recurses once per
  // level.
  static constexpr int kMaxDepth = 64;

  bool Next(std::u16string_view word) const { return text_.substr(at_, word.size()) == word; }
  void SkipBlanks() {
    while (at_ < text_.size() && IsSpace(text_[at_])) ++at_;
  }
  bool SkipName() {
    const size_t end = AsciiNameEnd(text_, at_, text_.size());
    if (end == std::u16string_view::npos) return false;
    at_ = end;
    return true;
  }
  bool AtEnd() {
    SkipBlanks();
    return at_ == text_.size();
  }
  KTXNode* Append(KTXNode* to, int kind, size_t start, size_t end) {
    std::unique_ptr<KTXNode> made = CreateXNode(kind);
    made->SetOffsets(static_cast<int>(start), static_cast<int>(end));
    return static_cast<KTXContainerNode*>(to)->AppendMade(std::move(made));
  }
  void ReadRepeat(KTXNode* node) {
    if (at_ >= text_.size()) return;
    const char16_t c = text_[at_];
    if (c != u'?' && c != u'+' && c != u'*') return;
    static_cast<KTDoctypeElementNode*>(node)->SetOccurrence(c == u'?' ? 1 : c == u'+' ? 2 : 3);
    ++at_;
  }
  // elementGroup: a name or a nested group, and its occurrence.
  bool ReadParticle(KTXNode* owner, int depth) {
    const size_t start = at_;
    if (at_ < text_.size() && text_[at_] == u'(') {
      auto* group = static_cast<KTDoctypeElementNode*>(Append(owner, kDoctypeElement, start, start));
      if (!ReadGroupAfterOpen(group, depth + 1)) return false;
      ReadRepeat(group);
      group->SetOffsets(static_cast<int>(start), static_cast<int>(at_));
      return true;
    }
    if (!SkipName()) return false;
    auto* name = static_cast<KTDoctypeElementNode*>(Append(owner, kDoctypeElement, start, at_));
    name->SetContentType(kContentName);
    name->SetName(text_.data() + start, static_cast<int>(at_ - start));
    ReadRepeat(name);
    name->SetOffsets(static_cast<int>(start), static_cast<int>(at_));
    return true;
  }
  // elementGrouping from its '(': the particles of `group`, separated by
  // '|' (a choice) or ',' (a sequence), to the ')'.
  bool ReadGroupAfterOpen(KTXNode* group, int depth) {
    if (depth > kMaxDepth || at_ >= text_.size() || text_[at_] != u'(') return false;
    ++at_;
    SkipBlanks();
    if (!ReadParticle(group, depth)) return false;
    SkipBlanks();
    if (at_ >= text_.size()) return false;
    const char16_t separator = text_[at_];
    if (separator != u'|' && separator != u',' && separator != u')') return false;
    static_cast<KTDoctypeElementNode*>(group)->SetContentType(separator == u'|' ? kContentChoice : kContentSequence);
    while (text_[at_] == separator && separator != u')') {
      ++at_;
      SkipBlanks();
      if (!ReadParticle(group, depth)) return false;
      SkipBlanks();
      if (at_ >= text_.size()) return false;
    }
    if (text_[at_] != u')') return false;
    ++at_;
    return true;
  }

  std::u16string_view text_;
  size_t at_ = 0;
};

// The entity declaration that opens at `at` ("<!ENTITY"), when it ends
// before `limit` and is written only in printable ASCII, tab, CR and LF,
// with names of ASCII characters and a value of characters and references
// (XML 1.0 §4.2, EntityValue); end stays npos for any other, which is left
// to the grammar.
PlainEntityDecl ReadPlainEntityDecl(std::u16string_view text, size_t at, size_t limit) {
  PlainEntityDecl decl;
  constexpr std::u16string_view kOpen = u"<!ENTITY";
  size_t i = at + kOpen.size();
  auto blanks = [&] {
    const size_t from = i;
    while (i < limit && IsSpace(text[i])) ++i;
    return i > from;
  };
  if (i > limit || text.substr(at, kOpen.size()) != kOpen || !blanks()) return decl;
  decl.nameStart = i;
  if (i < limit && text[i] == u'%') {
    ++i;
    if (!blanks()) return decl;
  }
  i = AsciiNameEnd(text, i, limit);
  if (i == std::u16string_view::npos) return decl;
  decl.nameEnd = i;
  if (!blanks() || i >= limit || (text[i] != u'"' && text[i] != u'\'')) return decl;
  const char16_t quote = text[i];
  decl.valueStart = i++;
  while (i < limit && text[i] != quote) {
    const char16_t c = text[i];
    if (c == u'%' || c == u'&') {
      // '%' Name ';', '&' Name ';', "&#" [0-9]+ ';' or "&#x" [0-9a-fA-F]+ ';'.
      size_t j = i + 1;
      if (c == u'&' && j < limit && text[j] == u'#') {
        const bool hex = ++j < limit && text[j] == u'x';
        if (hex) ++j;
        const size_t digits = j;
        while (j < limit && ((text[j] >= u'0' && text[j] <= u'9') ||
                             (hex && ((text[j] >= u'a' && text[j] <= u'f') || (text[j] >= u'A' && text[j] <= u'F')))))
          ++j;
        if (j == digits) return decl;
      } else {
        j = AsciiNameEnd(text, j, limit);
        if (j == std::u16string_view::npos) return decl;
      }
      if (j >= limit || text[j] != u';') return decl;
      i = j + 1;
      continue;
    }
    if (c > 0x7E || (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r')) return decl;
    ++i;
  }
  if (i >= limit) return decl;
  decl.valueEnd = ++i;
  blanks();
  if (i < limit && text[i] == u'>') decl.end = i + 1;
  return decl;
}

// Whether a nested section (its text from "<![" to "]]>") opens as the
// grammar's conditional section does: '<![' S* (Name | PEReference) S* '['.
// Only names of ASCII characters are accepted here; any other section is
// left to the grammar.
bool HasPlainSectionHead(std::u16string_view section) {
  size_t i = 3;
  const size_t n = section.size();
  while (i < n && IsSpace(section[i])) ++i;
  const bool reference = i < n && section[i] == u'%';
  if (reference) ++i;
  if (i >= n || !IsAsciiNameStart(section[i])) return false;
  while (i < n && IsAsciiNameChar(section[i])) ++i;
  if (reference) {
    if (i >= n || section[i] != u';') return false;
    ++i;
  }
  while (i < n && IsSpace(section[i])) ++i;
  return i < n && section[i] == u'[';
}

}  // namespace

KTSchemaModel::KTSchemaModel(KTDocumentManager* manager, KTXNode* internalSubset,
                             const KTSchemaModelSettings& settings)
    : defaultSecondTypeId_(settings.defaultSecondTypeId),
      strict_(settings.strict),
      flag_(settings.flag),
      optionA_(settings.optionA),
      optionB_(settings.optionB),
      word_(settings.word),
      manager_(manager) {
  Reset();
  if (internalSubset) ParseExtSubsetDecl(internalSubset, true, false);
}

KTSchemaModel::~KTSchemaModel() {
  // Element types point at one another through particles: drop them all
  // before anything they point at.
  elements_.clear();
  noNamespaceElements_.clear();
  elementsByInternedName_.clear();
  dtdAttlists_.clear();
  groups_.clear();
  attributeGroups_.clear();
  complexTypes_.clear();
  simpleTypes_.clear();
}

void KTSchemaModel::Reset() {
  currentPass_ = 1;
  lastPassAllowed_ = 1;
  anotherPass_ = false;
  referenceName_ = KTString();
  referenceNode_ = nullptr;
  doctypeSeen_ = false;
  doctypeName_ = KTString();
  dtdFromSchemaReference_ = false;
  for (EntitySet* set : {&notations_, &generalEntities_, &parameterEntities_}) {
    for (auto& [name, record] : *set) {
      record->DropParsedValue();
      record->declaredThisPass = false;
    }
  }
  ResetErrorBlock();
  Clear();
  dtdElements_.clear();
}

void KTSchemaModel::Clear() {
  schemaKind_ = kSchemaNone;
  twoPassMode_ = false;
  namespaces_.Reset();
  elements_.clear();
  noNamespaceElements_.clear();
  elementsByInternedName_.clear();
  dtdAttlists_.clear();
  idAttributes_.clear();
  tokenizedAttributes_.clear();
  groups_.clear();
  attributeGroups_.clear();
  complexTypes_.clear();
  simpleTypes_.clear();
  globalAttributes_.clear();
  globalAttributeIndex_.clear();
  identityConstraints_.clear();
  xsd_ = KTXsdLoadState();
  if (currentPass_ == 1) {
    notations_.clear();
    generalEntities_.clear();
    parameterEntities_.clear();
    DeclarePredefinedEntities();
  }
  treeContext_ = std::make_unique<KTXPathTreeContext>();
  loadedDocuments_.clear();
}

void KTSchemaModel::DeclarePredefinedEntities() {
  // "lt" and "amp" expand to character references, so that the expanded
  // text never holds markup that was written as data (XML 1.0 §4.6).
  static const struct {
    const char16_t* name;
    const char16_t* value;
  } kPredefined[] = {{u"lt", u"&#60;"}, {u"gt", u">"}, {u"amp", u"&#38;"}, {u"apos", u"'"}, {u"quot", u"\""}};
  for (const auto& e : kPredefined) {
    KTEntityDecl* record = DeclareGeneralEntity(KTString(e.name));
    record->value = e.value;
    record->singleToken = true;
  }
}

void KTSchemaModel::RequestAnotherPass() {
  if (currentPass_ > 1) return;
  anotherPass_ = true;
  lastPassAllowed_ = static_cast<int16_t>(currentPass_ + 1);
}

int64_t KTSchemaModel::TextSizeOf(const KTXNode* node) {
  // The nodes that stand, and the pending attributes of each element read
  // in place: the count is the same as over the attribute nodes, which this
  // walk, run on every document loaded, does not make.
  int64_t size = 0;
  for (const KTXNode* n = node; n; n = NextMadeInSubtree(n, node)) {
    size += n->GetNameLength() + n->GetValueLength();
    if (n->GetKind() != kElement) continue;
    if (const KTXCompactAttributes* pending = static_cast<const KTXContainerNode*>(n)->GetPendingAttributes()) {
      for (const KTXCompactAttribute& a : *pending) size += a.name.GetLength() + a.value.GetLength();
    }
  }
  return size;
}

void KTSchemaModel::SetExpansionBudget(int64_t documentTextSize) {
  expansionBudget_ = std::max<int64_t>(kMaxEntityExpansionChars, documentTextSize * kExpansionPerDocumentFactor);
  expandedChars_ = 0;
  budgetDocument_ = nullptr;
}

void KTSchemaModel::SetExpansionBudgetWhenNeeded(const KTXNode* documentRoot) {
  expansionBudget_ = kMaxEntityExpansionChars;
  expandedChars_ = 0;
  budgetDocument_ = documentRoot;
}

bool KTSchemaModel::HasExpansionRoom(int64_t more) {
  if (expandedChars_ + more <= expansionBudget_) return true;
  if (const KTXNode* root = budgetDocument_) {
    // Past the least budget: now the document's size tells its own.
    budgetDocument_ = nullptr;
    expansionBudget_ = std::max<int64_t>(kMaxEntityExpansionChars, TextSizeOf(root) * kExpansionPerDocumentFactor);
  }
  return expandedChars_ + more <= expansionBudget_;
}

// ---- Error recording ----

bool KTSchemaModel::ReportError(int id, KTXNode* node, const KTElementType* declaration,
                                const KTString& contextText, const KTSchemaErrorDetail& detail) {
  ++reportsMade_;
  if (id == kSchemaUnsupported && !strict_) return true;
  std::vector<KTXNode*> path;
  if (node) {
    for (KTXNode* n = node; n; n = ParentOf(n)) path.push_back(n);
  }
  bool record = true;
  if (error_.node) {
    const std::vector<KTXNode*>& kept = error_.ancestorPath;
    if (error_.id < kSchemaSeverityBoundary && id > kSchemaSeverityBoundary) {
      record = false;
    } else if (!node) {
      record = false;
    } else if (kept.empty()) {
      record = true;
    } else if (kept.back() != path.back()) {
      record = true;  // different documents
    } else {
      // Walk both paths down from the common top.
      size_t i = kept.size(), j = path.size();
      while (i > 0 && j > 0 && kept[i - 1] == path[j - 1]) {
        --i;
        --j;
      }
      if (i == 0 && j > 0) {
        record = true;  // the new node lies inside the kept node
      } else if (j == 0) {
        record = false;  // the same node, or an ancestor of it
      } else {
        // The paths part below a common ancestor: the later branch wins.
        record = SiblingBefore(kept[i - 1], path[j - 1]);
      }
    }
  } else {
    record = error_.declaration == nullptr;
  }
  if (!record) return false;
  error_.id = id;
  error_.node = node;
  error_.declaration = declaration;
  error_.firstWord = detail.firstWord;
  error_.secondWord = detail.secondWord;
  error_.position = detail.position;
  if (!contextText.IsEmpty()) {
    error_.contextText = contextText;
  } else if (declaration) {
    error_.contextText = declaration->GetName().localName;
  } else {
    error_.contextText = KTString();
  }
  error_.ancestorPath = std::move(path);
  return false;
}

// ---- Declarations ----

KTElementType* KTSchemaModel::DeclareElement(const KTQName& name) {
  if (schemaKind_ == kSchemaDtd && name.ns != KTNamespaceId::None()) {
    return DeclareElement(KTQName(name.localName, KTNamespaceId::None()));
  }
  auto it = elements_.find(name);
  if (it == elements_.end()) {
    it = elements_.emplace(name, std::make_unique<KTElementType>(name, this, nullptr)).first;
    if (it->first.ns == KTNamespaceId::None()) noNamespaceElements_.emplace(it->first.localName.View(), it->second.get());
  }
  return it->second.get();
}

KTElementType* KTSchemaModel::DeclareDtdElement(const char16_t* name) {
  auto it = noNamespaceElements_.find(std::u16string_view(name ? name : u""));
  if (it != noNamespaceElements_.end()) return it->second;
  return DeclareElement(KTQName(name, KTNamespaceId::None()));
}

KTElementType* KTSchemaModel::DeclareDtdElementNamed(const KTXName& name) {
  const KTString* key = &name.Str();
  auto known = elementsByInternedName_.find(key);
  if (known != elementsByInternedName_.end()) return known->second.second;
  KTElementType* type = DeclareDtdElement(name.c_str());
  elementsByInternedName_.emplace(key, std::make_pair(name, type));
  return type;
}

size_t KTSchemaModel::DtdNameSet::Hash(std::u16string_view name) {
  // FNV-1a over the code units, its high bits spread over the low ones the
  // table's mask keeps.
  uint64_t h = 14695981039346656037ull;
  for (char16_t c : name) h = (h ^ c) * 1099511628211ull;
  return static_cast<size_t>(h ^ (h >> 29));
}

std::pair<std::u16string_view*, bool> KTSchemaModel::DtdNameSet::Insert(std::u16string_view name) {
  // Grown to twice the size before it is half full, every name placed
  // again: linear in all.
  if (2 * (count_ + 1) > slots_.size()) {
    std::vector<std::u16string_view> old(std::max<size_t>(16, 2 * slots_.size()));
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (std::u16string_view kept : old) {
      if (kept.data() == nullptr) continue;
      size_t at = Hash(kept) & mask;
      while (slots_[at].data() != nullptr) at = (at + 1) & mask;
      slots_[at] = kept;
    }
  }
  const size_t mask = slots_.size() - 1;
  size_t at = Hash(name) & mask;
  for (; slots_[at].data() != nullptr; at = (at + 1) & mask) {
    if (slots_[at] == name) return {&slots_[at], false};
  }
  // A name's view is never null: an empty name views its string's buffer.
  slots_[at] = name.data() ? name : std::u16string_view(u"", 0);
  ++count_;
  return {&slots_[at], true};
}

KTSchemaModel::DtdAttlistIndex& KTSchemaModel::DtdAttlistOf(KTElementType* type) {
  auto [it, added] = dtdAttlists_.try_emplace(type);
  if (added) {
    for (const KTAttributeDecl& a : type->GetAttributeList()) {
      it->second.names.Insert(a.name.localName.View());
      if (a.id && it->second.idName.IsEmpty()) it->second.idName = a.name.localName;
    }
  }
  return it->second;
}

KTElementType* KTSchemaModel::FindDtdElementBesideSchema(const char16_t* nameAsWritten) {
  if (dtdElements_.empty()) return nullptr;
  // One name object for every lookup: its buffer is kept.
  dtdLookupName_.localName = nameAsWritten;
  dtdLookupName_.ns = KTNamespaceId::None();
  auto it = dtdElements_.find(dtdLookupName_);
  return it == dtdElements_.end() ? nullptr : it->second.get();
}

KTElementType* KTSchemaModel::FindElement(const KTQName& name) {
  if (schemaKind_ == kSchemaDtd || name.ns == KTNamespaceId::None()) {
    auto known = noNamespaceElements_.find(name.localName.View());
    return known == noNamespaceElements_.end() ? nullptr : known->second;
  }
  auto it = FindElementPosition(name);
  return it == elements_.end() ? nullptr : it->second.get();
}

KTSchemaModel::ElementSet::iterator KTSchemaModel::FindElementPosition(const KTQName& name) {
  if (schemaKind_ == kSchemaDtd) return elements_.find(KTQName(name.localName, KTNamespaceId::None()));
  return elements_.find(name);
}

namespace {
// One search of the set: a new record goes where the search ended.
KTEntityDecl* DeclareIn(KTSchemaModel::EntitySet& set, const KTString& name, bool* added = nullptr) {
  auto [it, missing] = set.try_emplace(name);
  if (missing) {
    try {
      it->second = std::make_unique<KTEntityDecl>(name);
    } catch (...) {
      set.erase(it);  // no name without its record
      throw;
    }
  }
  if (added) *added = missing;
  return it->second.get();
}
template <typename Name>
KTEntityDecl* FindIn(KTSchemaModel::EntitySet& set, const Name& name) {
  auto it = set.find(name);
  return it == set.end() ? nullptr : it->second.get();
}
}  // namespace

KTSchemaModel::OrderedEntities KTSchemaModel::InNameOrder(const EntitySet& set) {
  OrderedEntities ordered;
  for (const auto& [name, record] : set) ordered.emplace(name, record.get());
  return ordered;
}

const KTAttributeDecl* KTSchemaModel::FindGlobalAttribute(const KTQName& name) const {
  auto it = globalAttributeIndex_.find(name);
  return it == globalAttributeIndex_.end() ? nullptr : &globalAttributes_[it->second.first];
}

void KTSchemaModel::AddGlobalAttribute(const KTAttributeDecl& decl) {
  auto it = globalAttributeIndex_.find(decl.name);
  if (it == globalAttributeIndex_.end()) {
    globalAttributeIndex_.emplace(decl.name, std::make_pair(globalAttributes_.size(), static_cast<int>(currentPass_)));
    globalAttributes_.push_back(decl);
  } else if (it->second.second != currentPass_) {
    globalAttributes_[it->second.first] = decl;
    it->second.second = currentPass_;
  }
}

KTEntityDecl* KTSchemaModel::DeclareNotation(const KTString& name) { return DeclareIn(notations_, name); }
KTEntityDecl* KTSchemaModel::FindNotation(const KTString& name) { return FindIn(notations_, name); }
KTEntityDecl* KTSchemaModel::DeclareGeneralEntity(const KTString& name) { return DeclareIn(generalEntities_, name); }
KTEntityDecl* KTSchemaModel::FindGeneralEntity(const KTString& name) { return FindIn(generalEntities_, name); }
KTEntityDecl* KTSchemaModel::DeclareParameterEntity(const KTString& name) {
  return DeclareIn(parameterEntities_, name);
}
KTEntityDecl* KTSchemaModel::FindParameterEntity(const KTString& name) { return FindIn(parameterEntities_, name); }
KTEntityDecl* KTSchemaModel::FindOrDeclareEntity(const KTString& name, bool parameter, bool& added) {
  return DeclareIn(parameter ? parameterEntities_ : generalEntities_, name, &added);
}
KTEntityDecl* KTSchemaModel::FindEntity(std::u16string_view name, bool parameter) {
  return FindIn(parameter ? parameterEntities_ : generalEntities_, name);
}

// ---- Documents ----

KTXNode* KTSchemaModel::AdoptFragment(std::unique_ptr<KTXNode> fragment, KTXNode* parent) {
  KTXNode* root = fragment.get();
  if (!root) return nullptr;
  fragmentParents_[root] = parent;
  fragmentRoots_.push_back(std::move(fragment));
  return root;
}

KTXNode* KTSchemaModel::FindReadContentModel(const KTString& expanded, size_t key, KTXNode* node) {
  for (auto [it, end] = readContentModels_.equal_range(key); it != end; ++it) {
    if (!(it->second.first == expanded)) continue;
    const ReadContentModel& kept = it->second.second;
    if (kept.grammar != GrammarOfDocument(node) || dtdVisits_ + kept.nodes > kMaxDtdVisits) return nullptr;
    return kept.root;
  }
  return nullptr;
}

void KTSchemaModel::KeepReadContentModel(const KTString& expanded, size_t key, KTXNode* root) {
  // The first tree kept for a text stays.
  for (auto [it, end] = readContentModels_.equal_range(key); it != end; ++it) {
    if (it->second.first == expanded) return;
  }
  ReadContentModel kept;
  kept.root = root;
  kept.grammar = GrammarOfDocument(root);
  // Every node counts, an upper bound on the visits a reading makes.
  std::vector<const KTXNode*> work{root};
  while (!work.empty()) {
    const KTXNode* at = work.back();
    work.pop_back();
    ++kept.nodes;
    for (const KTXNode* child = at->GetFirstChild(); child; child = child->GetNextSibling()) work.push_back(child);
  }
  readContentModels_.emplace(key, std::make_pair(expanded, kept));
}

KTXNode* KTSchemaModel::ParentOf(const KTXNode* node) const {
  if (!node) return nullptr;
  if (KTXNode* parent = node->GetParent()) return parent;
  auto it = fragmentParents_.find(node);
  return it == fragmentParents_.end() ? nullptr : it->second;
}

KTXNode* KTSchemaModel::DocumentRootOf(KTXNode* node) const {
  while (KTXNode* parent = ParentOf(node)) node = parent;
  return node;
}

bool KTSchemaModel::IsActive(const void* entity) const {
  // The stack is at most kMaxDtdNesting deep.
  return std::find(active_.begin(), active_.end(), entity) != active_.end();
}

const KTGrammarEntry* KTSchemaModel::GrammarOfDocument(KTXNode* contextNode) {
  KTXNode* root = Topmost(contextNode);
  // Only fragment holders (elements without a parent) are entered in
  // fragmentGrammars_, and an entry outlives its holder (an entity's tree
  // is dropped between passes): a document loaded later may stand at that
  // address, and must not be read in the grammar of the dropped fragment.
  if (root && root->GetKind() == kElement) {
    auto known = fragmentGrammars_.find(root);
    if (known != fragmentGrammars_.end()) return known->second;
  }
  root = DocumentRootOf(contextNode);
  if (!manager_ || !manager_->GetGrammarCache()) return nullptr;
  KTDocumentRecord* record = manager_->FindByDocument(root);
  if (!record) return nullptr;
  return manager_->GetGrammarCache()->FindGrammar(record->GetGrammarId());
}

std::unique_ptr<KTXNode> KTSchemaModel::ParseFragment(const char16_t* text, const char16_t* startRule,
                                                      KTXNode* contextNode) {
  if (!manager_ || !contextNode || !text) return nullptr;
  return ParseFragmentOfLength(text, static_cast<int>(KTStrLen(text)), startRule, contextNode);
}

KTParserDriver* KTSchemaModel::FragmentDriver(const KTGrammarEntry* entry, std::unique_ptr<KTParserDriver>& own) {
  if (keepFragmentDrivers_) {
    auto kept = fragmentDrivers_.find(entry);
    if (kept != fragmentDrivers_.end()) return kept->second.get();
  }
  own = std::make_unique<KTParserDriver>();
  if (!own->Init(entry, true, true, true)) return nullptr;
  KTParserDriver* driver = own.get();
  if (keepFragmentDrivers_) fragmentDrivers_.emplace(entry, std::move(own));
  return driver;
}

std::unique_ptr<KTXNode> KTSchemaModel::ParseFragmentOfLength(const char16_t* text, int length,
                                                              const char16_t* startRule, KTXNode* contextNode) {
  if (!manager_ || !contextNode || !text) return nullptr;
  const KTGrammarEntry* entry = GrammarOfDocument(contextNode);
  if (!entry) return nullptr;
  std::unique_ptr<KTParserDriver> own;
  KTParserDriver* driver = FragmentDriver(entry, own);
  if (!driver) return nullptr;
  std::unique_ptr<KTXNode> holder = CreateXNode(kElement);
  KTXNode* target = holder.get();
  KTString rule(startRule);
  if (rule == u"attlistText") {
    target = holder->AppendChild(CreateXNode(kDoctypeAttlist));
  } else if (rule == u"elementSpecFormatted" || rule == u"elementMixedI" || rule == u"elementChoiceI" ||
             rule == u"elementSeqI") {
    auto element = CreateXNode(kDoctypeElement);
    if (rule == u"elementMixedI") static_cast<KTDoctypeElementNode*>(element.get())->SetContentType(kContentMixed);
    target = holder->AppendChild(std::move(element));
  }
  KTLoadStatus status;
  if (!driver->Parse(text, length, status, target, startRule, false)) return nullptr;
  fragmentGrammars_[holder.get()] = entry;
  return holder;
}

std::unique_ptr<KTXNode> KTSchemaModel::ReadPlainContentModel(std::u16string_view text, KTXNode* contextNode) {
  if (!manager_ || !contextNode || text.size() > static_cast<size_t>(INT32_MAX)) return nullptr;
  for (char16_t c : text) {
    if (!IsPlainAscii(c)) return nullptr;
  }
  const KTGrammarEntry* entry = GrammarOfDocument(contextNode);
  if (!entry) return nullptr;
  std::unique_ptr<KTXNode> holder = CreateXNode(kElement);
  auto* model = static_cast<KTDoctypeElementNode*>(holder->AppendChild(CreateXNode(kDoctypeElement)));
  if (!PlainContentModelReader(text).Read(model)) return nullptr;
  fragmentGrammars_[holder.get()] = entry;
  return holder;
}

std::u16string_view KTSchemaModel::DtdTextOf(const KTXNode* node) const {
  auto known = knownSections_.find(node);
  if (known != knownSections_.end()) return known->second.text;
  const char16_t* value = node->GetValue();
  // A text node holds no NUL: its length is the one it keeps.
  return value ? std::u16string_view(value, static_cast<size_t>(node->GetValueLength())) : std::u16string_view();
}

std::unique_ptr<KTXNode> KTSchemaModel::ReadPlainAttlistText(std::u16string_view text, KTXNode* contextNode) {
  if (!manager_ || !contextNode || text.size() > static_cast<size_t>(INT32_MAX)) return nullptr;
  PlainAttlist attlist;
  PlainAttlistReader(text, text.size(), attlist).ReadDefinitions();
  if (attlist.end == std::u16string_view::npos) return nullptr;
  const KTGrammarEntry* entry = GrammarOfDocument(contextNode);
  if (!entry) return nullptr;
  std::unique_ptr<KTXNode> holder = CreateXNode(kElement);
  auto* first = static_cast<KTXContainerNode*>(holder->AppendChild(CreateXNode(kDoctypeAttlist)));
  MakeAttlistNodes(text, 0, attlist, static_cast<KTXContainerNode*>(holder.get()), first);
  fragmentGrammars_[holder.get()] = entry;
  return holder;
}

std::unique_ptr<KTXNode> KTSchemaModel::ParseAttlistText(std::u16string_view text, KTXNode* contextNode) {
  if (std::unique_ptr<KTXNode> tree = ReadPlainAttlistText(text, contextNode)) return tree;
  return ParseFragmentOfLength(text.data(), static_cast<int>(text.size()), u"attlistText", contextNode);
}

std::unique_ptr<KTXNode> KTSchemaModel::ParseContentModel(std::u16string_view text, KTXNode* contextNode) {
  if (std::unique_ptr<KTXNode> tree = ReadPlainContentModel(text, contextNode)) return tree;
  return ParseFragmentOfLength(text.data(), static_cast<int>(text.size()), u"elementSpecFormatted", contextNode);
}

std::unique_ptr<KTXNode> KTSchemaModel::ParseSectionBody(std::u16string_view body, KTXNode* contextNode,
                                                         const std::vector<SectionRange>* known) {
  if (!manager_ || !contextNode || body.size() > static_cast<size_t>(INT32_MAX)) return nullptr;
  std::vector<SectionRange> scanned;
  if (!known) {
    if (!FindNestedSections(body, scanned)) return nullptr;
    known = &scanned;
  }
  const std::vector<SectionRange>& nested = *known;
  const KTGrammarEntry* entry = GrammarOfDocument(contextNode);
  if (!entry) return nullptr;
  std::unique_ptr<KTParserDriver> own;
  KTParserDriver* driver = FragmentDriver(entry, own);
  if (!driver) return nullptr;
  std::unique_ptr<KTXNode> holder = CreateXNode(kElement);
  auto* target = static_cast<KTXContainerNode*>(holder.get());
  // The text between nested sections parses into the holder; its nodes
  // then stand where that text stands in the body.
  auto parseBetween = [&](size_t from, size_t to) {
    // Blanks make no node.
    while (from < to && IsSpace(body[from])) ++from;
    if (from == to) return true;
    KTXNode* last = target->GetLastChild();
    KTLoadStatus status;
    if (!driver->Parse(body.data() + from, static_cast<int>(to - from), status, target, u"extSubsetDecl", false))
      return false;
    if (from == 0) return true;
    for (KTXNode* top = last ? last->GetNextSibling() : target->GetFirstChild(); top; top = top->GetNextSibling()) {
      for (KTXNode* n = top; n; n = const_cast<KTXNode*>(NextMadeInSubtree(n, top))) {
        const int start = n->GetStartOffset(), end = n->GetEndOffset();
        n->SetOffsets(start >= 0 ? start + static_cast<int>(from) : start, end >= 0 ? end + static_cast<int>(from) : end);
      }
    }
    return true;
  };
  // The text before a nested section (or the body's end): the comments and
  // the declarations of the plain shapes above in it are made here, as the
  // driver makes them (a comment's text between "<!--" and "-->"; an
  // entity's name and quoted value; an element's name and model as
  // written; one definition node per reference of an attribute list; the
  // range over the whole), and only the text around them is parsed:
  // comments are a third of DocBook's modules, those declarations most of
  // the rest. A declaration cannot hold another or a comment, so text that
  // parses up to one parses the same way with it behind; text that does
  // not makes the whole body be read instead.
  PlainAttlist attlist;
  auto parseGap = [&](size_t from, size_t to) {
    const char16_t* const base = body.data();
    for (size_t lt = from; lt + 4 < to;) {
      const char16_t* found = KTFindUnit(base + lt, to - lt, u'<');
      if (!found) break;
      lt = static_cast<size_t>(found - base);
      if (base[lt + 1] != u'!') {
        ++lt;
        continue;
      }
      size_t end = std::u16string_view::npos;
      std::unique_ptr<KTXNode> made;
      if (base[lt + 2] == u'-' && base[lt + 3] == u'-') {
        end = PlainCommentEnd(body, lt, to);
        if (end != std::u16string_view::npos) {
          made = CreateXNode(kComment);
          made->SetValue(base + lt + 4, static_cast<int>(end - lt - 7));
        }
      } else if (base[lt + 2] == u'E' && base[lt + 3] == u'N') {
        const PlainEntityDecl decl = ReadPlainEntityDecl(body, lt, to);
        end = decl.end;
        if (end != std::u16string_view::npos) {
          made = CreateXNode(kDoctypeEntity);
          made->SetName(base + decl.nameStart, static_cast<int>(decl.nameEnd - decl.nameStart));
          made->SetValue(base + decl.valueStart, static_cast<int>(decl.valueEnd - decl.valueStart));
        }
      } else if (base[lt + 2] == u'E' && base[lt + 3] == u'L') {
        const PlainElementDecl decl = ReadPlainElementDecl(body, lt, to);
        end = decl.end;
        if (end != std::u16string_view::npos) {
          made = CreateXNode(kDoctypeElement);
          made->SetName(base + decl.nameStart, static_cast<int>(decl.nameEnd - decl.nameStart));
          static_cast<KTDoctypeElementNode*>(made.get())->SetContentType(kContentText);
          made->SetValue(base + decl.modelStart, static_cast<int>(decl.modelEnd - decl.modelStart));
        }
      } else if (base[lt + 2] == u'A' && base[lt + 3] == u'T') {
        PlainAttlistReader(body, to, attlist).Read(lt);
        end = attlist.end;
        if (end != std::u16string_view::npos) {
          if (!parseBetween(from, lt)) return false;
          MakeAttlistNodes(body, lt, attlist, target);
          from = lt = end;
          continue;
        }
      }
      if (!made) {
        ++lt;
        continue;
      }
      if (!parseBetween(from, lt)) return false;
      made->SetOffsets(static_cast<int>(lt), static_cast<int>(end));
      target->AppendMade(std::move(made));
      from = lt = end;
    }
    return parseBetween(from, to);
  };
  // The nodes made for the sections nested directly in the body, each with
  // its text and the sections nested in it, kept once the whole body has
  // parsed. The text is not copied into the node: the body outlives the
  // walk of the section (it is a node's text, or a view of one, held by the
  // model or its documents), and the nesting copied it once per level.
  std::vector<std::pair<const KTXNode*, KnownSection>> inner;
  size_t at = 0;
  for (size_t k = 0; k < nested.size(); ++k) {
    const SectionRange& range = nested[k];
    if (range.depth != 1) continue;
    const std::u16string_view section = body.substr(range.begin, range.end - range.begin);
    if (!parseGap(at, range.begin) || !HasPlainSectionHead(section)) return nullptr;
    // The node the grammar makes of a conditional section, its text viewed.
    std::unique_ptr<KTXNode> text = CreateXNode(kText);
    text->SetOffsets(static_cast<int>(range.begin), static_cast<int>(range.end));
    KnownSection known{section, {}};
    for (size_t j = k + 1; j < nested.size() && nested[j].depth > 1; ++j) {
      known.nested.push_back({nested[j].begin - range.begin, nested[j].end - range.begin, nested[j].depth - 1});
    }
    inner.emplace_back(target->AppendMade(std::move(text)), std::move(known));
    at = range.end;
  }
  if (!parseGap(at, body.size())) return nullptr;
  for (auto& [node, known] : inner) knownSections_[node] = std::move(known);
  fragmentGrammars_[holder.get()] = entry;
  return holder;
}

KTXNode* KTSchemaModel::LoadExternalDocument(const KTString& identifier, const KTString& url, KTXNode* contextNode,
                                             uint16_t grammarKind) {
  if (!manager_) return nullptr;
  KTString resolved = ResolveAgainstDocument(url, contextNode);
  KTDocumentRecord* record = nullptr;
  if (!identifier.IsEmpty()) record = manager_->FindByIdentifiers(resolved, identifier, nullptr);
  KTXNode* document = record ? record->GetDocument() : nullptr;
  if (!document) {
    int grammarId = grammarKind == 0   ? KTGrammarCache::kXml
                    : grammarKind == 1 ? KTGrammarCache::kDtd
                    : grammarKind == 2 ? KTGrammarCache::kEntity
                                       : kNoGrammarId;
    KTLoadStatus status;
    document = manager_->LoadDocument(resolved, status, nullptr, nullptr, nullptr, grammarId);
    // Memory that ran out is not a problem of the schema: it ends the run as
    // such instead of becoming a warning about the document.
    if (status.IsNoMemory()) throw std::bad_alloc();
    if (!document || status.HasError()) {
      lastLoadFailure_ = status;
      if (!status.HasError()) {
        lastLoadFailure_.SetError(KTLoadStatus::kLoader, KTLoadStatus::kNoDocument);
        lastLoadFailure_.SetMessage(KTString(u"No document came out of it"));
      }
      lastLoadUrl_ = resolved;
      return nullptr;
    }
    record = manager_->FindByDocument(document);
  }
  if (record && std::find(loadedDocuments_.begin(), loadedDocuments_.end(), record) == loadedDocuments_.end()) {
    loadedDocuments_.push_back(record);
  }
  return document;
}

namespace {

// The URL with the "." and ".." segments of its path taken out (RFC 3986,
// 5.2.4), so that "dir/../b.xsd" and "b.xsd" name one document. A ".." that
// would climb above the start of a relative path is kept. The scheme, the
// authority, the query and the fragment are left as they are.
KTString WithoutDotSegments(const KTString& url) {
  const std::u16string_view text = url.View();
  size_t start = 0;
  const size_t scheme = text.find(u"://");
  if (scheme != std::u16string_view::npos) {
    start = text.find(u'/', scheme + 3);
    if (start == std::u16string_view::npos) return url;
  } else if (text.size() >= 3 && text[1] == u':' && text[2] == u'/') {
    start = 2;  // a drive letter
  }
  size_t end = text.find_first_of(u"?#", start);
  if (end == std::u16string_view::npos) end = text.size();
  const std::u16string_view path = text.substr(start, end - start);
  if (path.find(u'.') == std::u16string_view::npos) return url;

  const bool rooted = !path.empty() && path[0] == u'/';
  std::vector<std::u16string_view> kept;
  bool trailingSlash = false;
  for (size_t at = rooted ? 1 : 0; at <= path.size();) {
    size_t slash = path.find(u'/', at);
    if (slash == std::u16string_view::npos) slash = path.size();
    const std::u16string_view segment = path.substr(at, slash - at);
    const bool last = slash == path.size();
    trailingSlash = false;
    if (segment == u".") {
      trailingSlash = true;
    } else if (segment == u"..") {
      if (!kept.empty() && kept.back() != u"..") {
        kept.pop_back();
      } else if (!rooted) {
        kept.push_back(segment);
      }
      trailingSlash = true;
    } else if (!(segment.empty() && last)) {
      kept.push_back(segment);
    }
    if (last && segment.empty() && at > 0) trailingSlash = true;
    at = slash + 1;
  }
  std::u16string out(text.substr(0, start));
  if (rooted) out += u'/';
  for (size_t i = 0; i < kept.size(); ++i) {
    if (i > 0) out += u'/';
    out += kept[i];
  }
  if (trailingSlash && !kept.empty()) out += u'/';
  out += text.substr(end);
  return KTString(std::u16string_view(out));
}

}  // namespace

KTString KTSchemaModel::ResolveAgainstDocument(const KTString& url, KTXNode* contextNode) {
  if (!manager_ || !url.IsRelativePath(false) || !contextNode) return WithoutDotSegments(url);
  KTDocumentRecord* base = manager_->FindByDocument(DocumentRootOf(contextNode));
  return WithoutDotSegments(base && base->GetSource() ? url.MakeAbsolute(base->GetSource()->GetUrl(), u"") : url);
}

bool KTSchemaModel::ReadExternalText(const KTString& systemId, KTXNode* contextNode, KTString& text, KTString* why,
                                     bool* notWellFormed) {
  if (notWellFormed) *notWellFormed = false;
  if (!manager_ || systemId.IsEmpty()) return false;
  KTString resolved = ResolveAgainstDocument(systemId, contextNode);
  std::unique_ptr<KTDocumentLoader> loader = manager_->NewLoader();
  KTLoadStatus status;
  text = loader->ReadText(resolved.c_str(), status, nullptr);
  if (status.IsNoMemory()) throw std::bad_alloc();
  // Characters XML does not allow are refused, as in every loaded document.
  if (!status.HasError()) KTCheckDocumentCharacters(text.c_str(), text.GetLength(), status);
  if (status.HasError()) {
    if (why) *why = DescribeLoadFailure(status, resolved);
    if (notWellFormed) *notWellFormed = IsNotWellFormed(status);
    return false;
  }
  // The text declaration is no part of the replacement text (XML 1.0 §4.3.1).
  int end = 0;
  KTString fault;
  if (!SkipTextDeclaration(text, end, fault)) {
    if (why) *why = resolved + LineAndColumn(KTLineMap(text.View()), end) + u": " + fault;
    if (notWellFormed) *notWellFormed = true;
    return false;
  }
  if (end > 0) text = text.Mid(end);
  text.NormalizeLineEnds(u"\n");  // XML 1.0 §2.11
  return true;
}

bool KTSchemaModel::IsNotWellFormed(const KTLoadStatus& status) {
  // A file or URL that could not be read fails in the file or loader
  // category; decoding and the parse fail on what was read.
  return status.GetCategory() == KTLoadStatus::kParse || status.GetCategory() == KTLoadStatus::kEncoding;
}

KTString KTSchemaModel::DescribeLoadFailure(const KTLoadStatus& status, const KTString& url) {
  KTString message = status.GetMessage();
  if (message.IsEmpty()) message = KTString(u"it could not be loaded");
  // The text follows a comma or a colon: "No such file or directory" reads
  // on in lower case (an acronym such as "URL" stays).
  if (message[0] >= u'A' && message[0] <= u'Z' && !(message.GetLength() > 1 && message[1] >= u'A' && message[1] <= u'Z'))
    message = KTString(static_cast<char16_t>(message[0] - u'A' + u'a')) + message.Mid(1);
  return IsNotWellFormed(status) ? url + u", " + message : message;
}

KTXNode* KTSchemaModel::LoadExternalSubset(const KTString& keyword, const KTString& idText, KTXNode* contextNode,
                                           bool dtdGrammar, KTString* systemIdOut, bool report) {
  int position = 0;
  KTString first = idText.Tokenize(u" \t\r\n", position, u"'\"");
  KTString publicId, systemId;
  auto unquote = [](const KTString& s) { return s.GetLength() >= 2 ? s.Mid(1, s.GetLength() - 2) : KTString(); };
  if (keyword == u"SYSTEM") {
    systemId = unquote(first);
  } else {
    publicId = unquote(first);
    systemId = unquote(idText.Tokenize(u" \t\r\n", position, u"'\""));
  }
  KTXNode* root = LoadExternalDocument(publicId, systemId, contextNode, dtdGrammar ? 1 : 2);
  if (systemIdOut) *systemIdOut = systemId;
  if (!root && report) ReportError(kSchemaLoadFailed, contextNode, nullptr, systemId);
  return root;
}

// ---- The tree context's view ----

bool KTSchemaModel::ExpandContentReferences(KTXNode* node, const char16_t* text, KTString& out) {
  return ExpandEntityReferences(node, text, out, false, false, false);
}

KTElementType* KTSchemaModel::FindChildElementDecl(KTElementType* parent, const KTQName& name) {
  // DTD declarations are global: a child has its declaration whatever its
  // parent's content model says.
  if (schemaKind_ == kSchemaDtd) return FindElement(name);
  if (!parent) return nullptr;
  if (KTElementType* found = parent->FindChildElementDecl(name)) return found;
  // An element declared without a type (anyType) takes any child, and so
  // does a content model with an element wildcard; XML Schema's anyType
  // wildcard is lax, so a child that has a global declaration is given it
  // (unless the wildcard says skip; its namespace list is not consulted).
  if (schemaKind_ != kSchemaXsd) return nullptr;
  if (parent->IsAny() || HasElementWildcard(parent)) return FindElement(name);
  return nullptr;
}

bool KTSchemaModel::HasElementWildcard(KTElementType* type) {
  std::vector<KTElementType*> work{type};
  std::set<const KTElementType*> visited{type};
  while (!work.empty()) {
    KTElementType* t = work.back();
    work.pop_back();
    for (KTParticle& p : t->GetEffectiveParticles()) {
      KTElementType* child = p.child;
      if (!child->IsGroup()) continue;
      if (child->IsAny() && child->elementWildcardProcess_ != 1) return true;
      if (visited.insert(child).second) work.push_back(child);
    }
  }
  return false;
}

bool KTSchemaModel::CollectDefaults(KTElementType* declaration, std::vector<KTDefaultAttribute>& attributes,
                                    KTString& text, bool& hasText) {
  attributes.clear();
  hasText = false;
  if (!declaration) return false;
  std::vector<KTAttributeDecl*> decls;
  const KTString* defaultText = nullptr;
  if (!declaration->CollectDefaultAttributes(decls, defaultText)) return false;
  for (const KTAttributeDecl* d : decls) attributes.push_back({d->name, d->defaultText});
  if (defaultText) {
    text = *defaultText;
    hasText = true;
  }
  return true;
}

bool KTSchemaModel::IsIdAttribute(KTElementType* declaration, const KTQName& attributeName) {
  if (!declaration) return false;
  auto [entry, added] = idAttributes_.try_emplace(declaration, nullptr);
  if (added) {
    for (const KTAttributeDecl& a : declaration->GetAttributeList()) {
      if (a.id) {
        entry->second = &a;
        break;
      }
    }
  }
  return entry->second && QNameEqual(entry->second->name, attributeName);
}

bool KTSchemaModel::IsTokenizedAttribute(KTElementType* declaration, const KTQName& attributeName) {
  // Only DTD types have this normalisation; an XML Schema type's white-space
  // facet is another matter.
  if (!declaration || schemaKind_ != kSchemaDtd) return false;
  auto [entry, added] = tokenizedAttributes_.try_emplace(declaration);
  if (added) {
    for (const KTAttributeDecl& a : declaration->GetAttributeList()) {
      if (a.IsTokenized()) entry->second.insert(a.name.localName);
    }
  }
  return !entry->second.empty() && entry->second.count(attributeName.localName) != 0;
}

bool KTSchemaModel::ReportViewProblem(int messageId, KTXNode* node, const KTString& contextText) {
  if (messageId == kSchemaExpansionFailed) NoteExpansionStopped(contextText);
  return ReportError(messageId, node, nullptr, contextText);
}

void KTSchemaModel::NoteExpansionStopped(const KTString& why) {
  if (expansionStopped_.IsEmpty()) expansionStopped_ = why.IsEmpty() ? KTString(u"entity not expanded") : why;
}

bool KTSchemaModel::ExpansionStopped(KTString& why) const {
  if (expansionStopped_.IsEmpty()) return false;
  why = expansionStopped_;
  return true;
}
