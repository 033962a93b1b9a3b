// DTD text read without the grammar where its form is plain: the body of
// an included conditional section cut at its nested sections, comments and
// declarations of plain shapes (made here as the parser driver makes them),
// and expanded content models and attribute definitions. Every reader here
// gives the tree the grammar gives, or leaves the text to the grammar.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ktwchar.h"
#include "platform/ktworkcount.h"
#include "schema/ktdtdwalker.h"
#include "schema/ktschemamodel.h"
#include "xml/ktparserdriver.h"
#include "xml/ktxdoctype.h"
#include "xml/ktxnode.h"

namespace {

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

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

// Behind the reference that starts at `i` with '&' or '%' ('&' Name ';',
// '%' Name ';', "&#" [0-9]+ ';' or "&#x" [0-9a-fA-F]+ ';', names in
// ASCII), or npos.
size_t PlainReferenceEnd(std::u16string_view text, size_t i, size_t limit) {
  constexpr size_t kNone = std::u16string_view::npos;
  size_t j = i + 1;
  if (text[i] == u'&' && j < limit && text[j] == u'#') {
    const bool hex = ++j < limit && text[j] == u'x';
    if (hex) ++j;
    const size_t digits = j;
    while (j < limit && ((text[j] >= u'0' && text[j] <= u'9') ||
                         (hex && ((text[j] >= u'a' && text[j] <= u'f') || (text[j] >= u'A' && text[j] <= u'F')))))
      ++j;
    if (j == digits) return kNone;
  } else {
    j = AsciiNameEnd(text, j, limit);
    if (j == kNone) return kNone;
  }
  return j < limit && text[j] == u';' ? j + 1 : kNone;
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
  // Where the search for the '>' stopped without one (a character not
  // plain, or the limit); npos when the search did not run or found it.
  size_t stoppedAt = std::u16string_view::npos;
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
  const size_t from = i;
  while (i < limit && text[i] != u'>' && IsPlainAscii(text[i])) ++i;
  KTWorkCount::Add(i - from);
  if (i >= limit || text[i] != u'>') {
    decl.stoppedAt = i;
    return decl;
  }
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
        const size_t end = PlainReferenceEnd(text_, i_, limit_);
        if (end == std::u16string_view::npos) return kUnsure;
        i_ = end;
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
      const size_t end = PlainReferenceEnd(text, i, limit);
      if (end == std::u16string_view::npos) return decl;
      i = end;
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
    // An element declaration's search for its '>' that stopped at a
    // character not plain (or the gap's end) stops there again for every
    // declaration that opens before that place: those are not read again,
    // which would search the same text once per declaration.
    size_t noElementBefore = 0;
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
      } else if (base[lt + 2] == u'E' && base[lt + 3] == u'L' && lt >= noElementBefore) {
        const PlainElementDecl decl = ReadPlainElementDecl(body, lt, to);
        if (decl.stoppedAt != std::u16string_view::npos) noElementBefore = decl.stoppedAt;
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

