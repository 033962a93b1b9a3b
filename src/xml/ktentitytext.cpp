// The reader of internal entities' replacement texts for the tree checker
// (ktdocwellformed.cpp): whether a text is well-formed where a reference
// includes it, in content or in an attribute value, with the entities it
// refers to followed on an explicit stack and each text read once per place.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <string_view>
#include <utility>
#include <vector>

#include "core/ktstring.h"
#include "xml/ktdocwellformedshared.h"

namespace ktwf {

namespace {

// XML 1.0 §2.3 NameStartChar and NameChar, for the units of a text that no
// grammar has read: a replacement text whose character references spelled
// out markup.
bool IsNameStartUnit(long c) {
  if (c <= 0xFF)
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_' || c == u':' ||
           (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || c >= 0xF8;
  return IsWideNameStartChar(c);
}

bool IsNameUnit(long c) {
  if (c <= 0xFF)
    return IsNameStartUnit(c) || (c >= u'0' && c <= u'9') || c == u'-' || c == u'.' || c == 0xB7;
  return IsWideNameChar(c);
}

bool IsSpaceUnit(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }

}  // namespace

size_t NameLength(View text, size_t at) {
  size_t i = at;
  while (i < text.size()) {
    long c = text[i];
    size_t units = 1;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      units = 2;
    }
    if (!(i == at ? IsNameStartUnit(c) : IsNameUnit(c)))
      break;
    i += units;
  }
  return i - at;
}

bool ReadReference(View text, size_t at, Reference& ref, size_t& end) {
  size_t i = at + 1;
  if (i < text.size() && text[i] == u'#') {
    const bool hex = i + 1 < text.size() && text[i + 1] == u'x';
    size_t digits = i + (hex ? 2 : 1);
    size_t j = digits;
    while (j < text.size() && ((text[j] >= u'0' && text[j] <= u'9') ||
                               (hex && ((text[j] >= u'a' && text[j] <= u'f') || (text[j] >= u'A' && text[j] <= u'F')))))
      ++j;
    if (j == digits || j >= text.size() || text[j] != u';')
      return false;
    ref.isChar = true;
    ref.body = text.substr(i, j - i);
    ref.code = CharacterCode(ref.body);
    end = j + 1;
  } else {
    size_t name = NameLength(text, i);
    if (name == 0 || i + name >= text.size() || text[i + name] != u';')
      return false;
    ref.isChar = false;
    ref.body = text.substr(i, name);
    end = i + name + 1;
  }
  ref.at = at;
  return true;
}

const EntityFacts* KTEntityTextReader::TextFlaw(EntityFacts& facts, Place place, bool follow, bool& inAttribute) {
  if (facts.external || place == Place::kEntityValue)
    return nullptr;
  const bool attribute = place == Place::kAttributeValue;
  if (follow) {
    const EntityFacts* flawed = Flawed(facts, attribute);
    inAttribute = facts.fit[attribute].flawInAttribute;
    return flawed;
  }
  ScanOwnText(facts, attribute);
  inAttribute = attribute;
  return facts.fit[attribute].flaw.IsEmpty() ? nullptr : &facts;
}

// The first flaw that keeps the entity's replacement text from standing
// in content or, `attribute` true, in an attribute value, in its own text
// or in the text of an entity it refers to (each parsed entity is
// well-formed on its own, XML 1.0 §4.3.2): the entity whose text holds it,
// null when there is none; the record tells where that text stands. Each
// entity's text is scanned once per place and each of its references
// followed once, however often the entity is referenced. Iterative, as the
// tree checker's Analyse; a cycle is left to Analyse, which reports it first.
const EntityFacts* KTEntityTextReader::Flawed(EntityFacts& start, bool attribute) {
  if (start.fit[attribute].state == EntityFacts::Fit::kDone)
    return start.fit[attribute].flawed;
  struct Frame {
    EntityFacts* entity;
    bool attribute;  // the record for attribute values
    size_t next;     // the next of its references to follow
  };
  std::vector<Frame> stack;
  uint64_t followed = 0;  // references followed, for KTWorkCount
  auto enter = [&](EntityFacts& entity, bool inAttribute) {
    EntityFacts::Fit& fit = entity.fit[inAttribute];
    fit.state = EntityFacts::Fit::kActive;
    ScanOwnText(entity, inAttribute);
    if (!fit.flaw.IsEmpty()) {
      fit.flawed = &entity;
      fit.flawInAttribute = inAttribute;
    }
    stack.push_back({&entity, inAttribute, 0});
  };
  auto take = [](EntityFacts::Fit& into, const EntityFacts::Fit& from) {
    if (into.flawed == nullptr && from.flawed != nullptr) {
      into.flawed = from.flawed;
      into.flawInAttribute = from.flawInAttribute;
    }
  };
  enter(start, attribute);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    EntityFacts::Fit& fit = frame.entity->fit[frame.attribute];
    if (fit.flawed != nullptr || frame.next == fit.refs.size()) {
      fit.state = EntityFacts::Fit::kDone;
      std::vector<std::pair<View, bool>>().swap(fit.refs);
      stack.pop_back();
      if (!stack.empty())
        take(stack.back().entity->fit[stack.back().attribute], fit);
      continue;
    }
    const auto [name, inAttribute] = fit.refs[frame.next++];
    ++followed;
    auto found = entities_.find(name);
    // Undeclared, unparsed and external entities are Analyse's to report
    // (an external one in an attribute value the text's own scan refuses).
    if (found == entities_.end() || found->second.external)
      continue;
    EntityFacts::Fit& next = found->second.fit[inAttribute];
    if (next.state == EntityFacts::Fit::kDone)
      take(fit, next);
    else if (next.state == EntityFacts::Fit::kNew)
      enter(found->second, inAttribute);  // `frame` and `fit` are not used past this point
  }
  KTWorkCount::Add(followed);
  return start.fit[attribute].flawed;
}

// Scans the entity's replacement text on its own, once per place: its
// flaw and the references it holds, each with where it stands.
void KTEntityTextReader::ScanOwnText(EntityFacts& entity, bool attribute) {
  EntityFacts::Fit& fit = entity.fit[attribute];
  if (fit.scanned)
    return;
  fit.scanned = true;
  KTWorkCount::Add(entity.literal.size());
  fit.flaw = attribute ? AttributeFlaw(entity.literal, fit.refs) : ContentFlaw(entity.literal, fit.refs);
}

// The reference at `at` of a replacement text: its flaw, empty when it is
// well-formed; `end` is where the text goes on. A reference to another
// entity is noted with whether it stands in an attribute value.
KTString KTEntityTextReader::ReferenceFlaw(View text, size_t at, bool inAttribute,
                                           std::vector<std::pair<View, bool>>& refs, size_t& end) {
  Reference ref;
  if (!ReadReference(text, at, ref, end))
    return KTString(u"a '&' that starts no reference");
  if (ref.isChar) {
    if (ref.code < 0 || !IsXmlChar(ref.code))  // WFC Legal Character
      return u"the character reference &" + KTString(ref.body) + u";, which names no character allowed in XML,";
    return KTString();
  }
  if (IsPredefinedEntity(ref.body))
    return KTString();
  if (inAttribute) {
    // WFC No External Entity References.
    auto found = entities_.find(ref.body);
    if (found != entities_.end() && found->second.external && !found->second.unparsed)
      return u"a reference to the external entity " + KTString(ref.body) + u" in an attribute value";
  }
  refs.emplace_back(ref.body, inAttribute);
  return KTString();
}

// An attribute value's share of XML 1.0 §3.1 AttValue: no '<' (WFC No <
// in Attribute Values) and every '&' the start of a reference. `attribute`
// names the attribute of a start tag in a replacement text whose value
// this is, empty for the whole text of an entity referenced in a value.
KTString KTEntityTextReader::AttributeFlaw(View text, std::vector<std::pair<View, bool>>& refs, View attribute) {
  for (size_t i = 0; i < text.size();) {
    if (text[i] == u'<')
      return attribute.empty() ? KTString(u"'<'") : u"'<' in the value of the attribute " + KTString(attribute);
    if (text[i] != u'&') {
      ++i;
      continue;
    }
    KTString flaw = ReferenceFlaw(text, i, true, refs, i);
    if (!flaw.IsEmpty())
      return flaw;
  }
  return KTString();
}

// XML 1.0 §3.1 content: character data, references, elements, CDATA
// sections, comments and processing instructions, every element closed
// in the text that opened it. The open elements are kept on a stack that
// the text's length bounds.
KTString KTEntityTextReader::ContentFlaw(View text, std::vector<std::pair<View, bool>>& refs) {
  std::vector<View> open;
  size_t i = 0;
  while (i < text.size()) {
    const char16_t c = text[i];
    if (c == u'&') {
      KTString flaw = ReferenceFlaw(text, i, false, refs, i);
      if (!flaw.IsEmpty())
        return flaw;
      continue;
    }
    if (c == u']' && text.substr(i, 3) == u"]]>")
      return KTString(u"']]>' outside a CDATA section");
    if (c != u'<') {
      ++i;
      continue;
    }
    View rest = text.substr(i);
    if (rest.starts_with(u"<!--")) {
      // XML 1.0 §2.5: no "--" inside, none right before the "-->".
      size_t dashes = text.find(u"--", i + 4);
      if (dashes == View::npos)
        return KTString(u"an unfinished comment");
      if (text.substr(dashes, 3) != u"-->")
        return KTString(u"a comment with '--' inside");
      i = dashes + 3;
    } else if (rest.starts_with(u"<![CDATA[")) {
      size_t close = text.find(u"]]>", i + 9);
      if (close == View::npos)
        return KTString(u"an unfinished CDATA section");
      i = close + 3;
    } else if (rest.starts_with(u"<?")) {
      // XML 1.0 §2.6: a target, then "?>" or white space and data.
      size_t name = NameLength(text, i + 2);
      View target = text.substr(i + 2, name);
      if (name == 0)
        return KTString(u"a processing instruction without a target");
      if (name == 3 && (target[0] | 0x20) == u'x' && (target[1] | 0x20) == u'm' && (target[2] | 0x20) == u'l')
        return u"a processing instruction with the reserved target " + KTString(target);
      size_t after = i + 2 + name;
      size_t close = text.find(u"?>", after);
      if (close == View::npos || (close != after && !IsSpaceUnit(text[after])))
        return u"an unfinished processing instruction " + KTString(target);
      i = close + 2;
    } else if (rest.starts_with(u"</")) {
      size_t name = NameLength(text, i + 2);
      View tag = text.substr(i + 2, name);
      size_t j = i + 2 + name;
      while (j < text.size() && IsSpaceUnit(text[j]))
        ++j;
      if (name == 0 || j >= text.size() || text[j] != u'>')
        return u"a malformed end tag </" + KTString(tag);
      if (open.empty())
        return u"the end tag </" + KTString(tag) + u"> without its start tag";
      if (open.back() != tag)
        return u"the end tag </" + KTString(tag) + u"> where </" + KTString(open.back()) + u"> is due";
      open.pop_back();
      i = j + 1;
    } else {
      KTString flaw = StartTagFlaw(text, i, open, refs);
      if (!flaw.IsEmpty())
        return flaw;
    }
  }
  if (!open.empty())
    return u"the start tag <" + KTString(open.back()) + u"> without its end tag";
  return KTString();
}

// XML 1.0 §3.1 STag and EmptyElemTag at `at`; `at` moves past the tag and
// a start tag's name goes on `open`.
KTString KTEntityTextReader::StartTagFlaw(View text, size_t& at, std::vector<View>& open,
                                          std::vector<std::pair<View, bool>>& refs) {
  size_t name = NameLength(text, at + 1);
  if (name == 0)
    return KTString(u"a '<' that starts no markup");
  View element = text.substr(at + 1, name);
  auto malformed = [&] { return u"a malformed start tag <" + KTString(element); };
  tagAttributes_.clear();
  size_t i = at + 1 + name;
  for (;;) {
    size_t spaces = i;
    while (i < text.size() && IsSpaceUnit(text[i]))
      ++i;
    if (i >= text.size())
      return malformed();
    if (text[i] == u'>' || (text[i] == u'/' && i + 1 < text.size() && text[i + 1] == u'>')) {
      if (text[i] == u'>')
        open.push_back(element);
      at = i + (text[i] == u'>' ? 1 : 2);
      return KTString();
    }
    size_t attribute = i == spaces ? 0 : NameLength(text, i);
    if (attribute == 0)
      return malformed();
    View attributeName = text.substr(i, attribute);
    // WFC Unique Att Spec: names compared pair by pair up to a few, then
    // through a hash set.
    bool twice = false;
    if (tagAttributes_.size() < kPairwiseAttributeLimit) {
      twice = std::find(tagAttributes_.begin(), tagAttributes_.end(), attributeName) != tagAttributes_.end();
      tagAttributes_.push_back(attributeName);
      if (tagAttributes_.size() == kPairwiseAttributeLimit) {
        ClearForReuse(tagAttributeSet_, 0);
        tagAttributeSet_.insert(tagAttributes_.begin(), tagAttributes_.end());
      }
    } else {
      twice = !tagAttributeSet_.insert(attributeName).second;
    }
    if (twice)
      return u"the start tag <" + KTString(element) + u"> with the attribute " + KTString(attributeName) +
             u" twice";
    i += attribute;
    while (i < text.size() && IsSpaceUnit(text[i]))
      ++i;
    if (i >= text.size() || text[i] != u'=')
      return malformed();
    ++i;
    while (i < text.size() && IsSpaceUnit(text[i]))
      ++i;
    if (i >= text.size() || (text[i] != u'"' && text[i] != u'\''))
      return malformed();
    const size_t close = text.find(text[i], i + 1);
    if (close == View::npos)
      return malformed();
    KTString flaw = AttributeFlaw(text.substr(i + 1, close - i - 1), refs, attributeName);
    if (!flaw.IsEmpty())
      return flaw;
    i = close + 1;
  }
}

// ---- Namespaces in XML 1.0 in the markup of replacement texts ----

namespace {

constexpr View kXmlPrefix = u"xml";
constexpr View kXmlnsPrefix = u"xmlns";
constexpr View kXmlUri = u"http://www.w3.org/XML/1998/namespace";

// The allowance for the names read and checked past kMaxOpenNames per
// entity: so many per character of the document, plus a floor that lets a
// small document use a few thousand open names over many references. It
// bounds both the time and the memory (one pointer a name kept) that
// entity markup's namespaces may cost beyond the free part.
constexpr size_t kNamespaceChecksPerCharacter = 4;
constexpr size_t kNamespaceChecksFloor = size_t{1} << 20;

KTString NotQualified(View name) {
  return u"the name " + KTString(name) + u", which is not a qualified name (Namespaces in XML 1.0 §3)";
}

}  // namespace

void KTEntityTextReader::AllowNamespaceChecks(size_t documentLength) {
  documentLength_ = documentLength;
  allowance_ = kNamespaceChecksFloor + kNamespaceChecksPerCharacter * documentLength;
  remaining_ = allowance_;
}

bool KTEntityTextReader::Charge(size_t names) {
  if (names > remaining_) {
    remaining_ = 0;
    return false;
  }
  remaining_ -= names;
  return true;
}

KTString KTEntityTextReader::OverAllowance(View entity) const {
  KTString reason;
  reason.Format(u"the document's entity markup needs more namespace checking than its size allows: past %d names "
                u"per entity left to the scope of a reference, a document of %llu characters allows %llu such names "
                u"read or checked, and the entity %s needs more",
                static_cast<int>(kMaxOpenNames), static_cast<unsigned long long>(documentLength_),
                static_cast<unsigned long long>(allowance_), KTString(entity).c_str());
  return reason;
}

// The reading of one replacement text: where it goes on, the prefixes its
// markup binds so far (each binding with the one it hides) and, per open
// element, how many bindings stood before its start tag.
struct KTEntityTextReader::ScanFrame {
  struct Binding {
    View prefix;
    View uri;
    int32_t previous;  // the binding of the same prefix it hides, -1 when none
  };
  EntityFacts* entity = nullptr;
  NamespaceFit* fit = nullptr;
  size_t pos = 0;
  std::vector<Binding> bindings;
  std::unordered_map<View, int32_t> current;  // prefix → its innermost binding
  std::vector<size_t> marks;
  std::unordered_set<View> openPrefixes;        // those already in fit->prefixes
  std::unordered_set<std::u16string> openTags;  // those in fit->tags, as AddOpenTag keys them
  size_t openNames = 0;                         // open prefixes and open tags' attributes

  // The URI the text binds the prefix to at this point, null when it does
  // not (xml is always bound).
  const View* Bound(View prefix) const {
    auto found = current.find(prefix);
    if (found != current.end() && found->second >= 0)
      return &bindings[found->second].uri;
    return prefix == kXmlPrefix ? &kXmlUri : nullptr;
  }

  void Bind(View prefix, View uri) {
    int32_t& innermost = current.try_emplace(prefix, -1).first->second;
    bindings.push_back({prefix, uri, innermost});
    innermost = static_cast<int32_t>(bindings.size() - 1);
  }

  // Ends the bindings made after `mark`.
  void Unbind(size_t mark) {
    for (size_t i = bindings.size(); i > mark; --i)
      current[bindings[i - 1].prefix] = bindings[i - 1].previous;
    bindings.resize(std::min(mark, bindings.size()));
  }

  bool Flaw(KTString reason) {
    fit->flawed = entity;
    fit->flaw = std::move(reason);
    return false;
  }

  // The document's allowance ran out while this text was read.
  void OverAllowance() {
    fit->flawed = entity;
    fit->overAllowance = true;
  }
};

// Each text is read once, with the entities it refers to in content read
// before it goes on past their reference (on an explicit stack, not by
// recursion), so what they leave open meets the bindings in force there.
NamespaceFit& KTEntityTextReader::Namespaces(EntityFacts& start, KTNamespaceDeclarations& declarations) {
  if (start.namespaces && start.namespaces->state == NamespaceFit::kDone)
    return *start.namespaces;
  std::vector<ScanFrame> stack;
  auto enter = [&](EntityFacts& entity) {
    KTWorkCount::Add(entity.literal.size());  // the text about to be read
    entity.namespaces = std::make_unique<NamespaceFit>();
    entity.namespaces->state = NamespaceFit::kActive;
    stack.emplace_back();
    stack.back().entity = &entity;
    stack.back().fit = entity.namespaces.get();
  };
  enter(start);
  while (!stack.empty()) {
    ScanFrame& frame = stack.back();
    const View text = frame.entity->literal;
    EntityFacts* nested = nullptr;
    while (frame.fit->flawed == nullptr && nested == nullptr && frame.pos < text.size()) {
      const size_t at = text.find_first_of(u"<&", frame.pos);
      if (at == View::npos) {
        frame.pos = text.size();
        break;
      }
      if (text[at] == u'&') {
        Reference ref;
        size_t end = at + 1;
        const bool reference = ReadReference(text, at, ref, end);
        frame.pos = end;
        if (!reference || ref.isChar || IsPredefinedEntity(ref.body))
          continue;
        auto found = entities_.find(ref.body);
        // An external entity's prefixes are bound where it is included too,
        // but its text is not read here.
        if (found == entities_.end() || found->second.external)
          continue;
        EntityFacts& next = found->second;
        if (!next.namespaces)
          nested = &next;
        else if (next.namespaces->state == NamespaceFit::kDone)
          Include(frame, *next.namespaces);
        // One still being read closes a cycle, which the walk reports first.
        continue;
      }
      const View rest = text.substr(at);
      const View close = rest.starts_with(u"<![CDATA[") ? View(u"]]>")
                         : rest.starts_with(u"<!--")    ? View(u"-->")
                         : rest.starts_with(u"<?")      ? View(u"?>")
                                                        : View();
      if (!close.empty()) {
        const size_t end = text.find(close, at + 2);
        frame.pos = end == View::npos ? text.size() : end + close.size();
      } else if (rest.starts_with(u"</")) {
        const size_t end = text.find(u'>', at);
        frame.pos = end == View::npos ? text.size() : end + 1;
        if (!frame.marks.empty()) {
          frame.Unbind(frame.marks.back());
          frame.marks.pop_back();
        }
      } else {
        frame.pos = at;
        // A tag that does not read as one was refused by the text's own scan.
        if (!ScanStartTag(frame, declarations) && frame.fit->flawed == nullptr)
          frame.pos = text.size();
      }
    }
    if (nested != nullptr) {
      enter(*nested);  // `frame` is not used past this point
      continue;
    }
    frame.fit->state = NamespaceFit::kDone;
    frame.fit->openNames = frame.openNames;
    const NamespaceFit* done = frame.fit;
    stack.pop_back();
    if (!stack.empty())
      Include(stack.back(), *done);
  }
  return *start.namespaces;
}

// Reads the start tag at frame.pos and moves past it: its declarations bind
// (those the internal subset defaults included), then its name and its
// attributes' names are checked, their prefixes looked up in the text's own
// bindings and those it does not bind noted as open. False when the tag does
// not read as one, or with the flaw recorded.
bool KTEntityTextReader::ScanStartTag(ScanFrame& frame, KTNamespaceDeclarations& declarations) {
  const View text = frame.entity->literal;
  size_t i = frame.pos + 1;
  const size_t nameLength = NameLength(text, i);
  if (nameLength == 0)
    return false;
  const View element = text.substr(i, nameLength);
  i += nameLength;
  tagNames_.clear();
  bool empty = false;
  for (;;) {
    while (i < text.size() && IsSpaceUnit(text[i]))
      ++i;
    if (i >= text.size())
      return false;
    if (text[i] == u'>' || text[i] == u'/') {
      empty = text[i] == u'/';
      i += empty ? 2 : 1;
      break;
    }
    const size_t attributeLength = NameLength(text, i);
    if (attributeLength == 0)
      return false;
    const View attribute = text.substr(i, attributeLength);
    i += attributeLength;
    while (i < text.size() && IsSpaceUnit(text[i]))
      ++i;
    if (i >= text.size() || text[i] != u'=')
      return false;
    ++i;
    while (i < text.size() && IsSpaceUnit(text[i]))
      ++i;
    if (i >= text.size() || (text[i] != u'"' && text[i] != u'\''))
      return false;
    const size_t close = text.find(text[i], i + 1);
    if (close == View::npos)
      return false;
    tagNames_.emplace_back(attribute, text.substr(i + 1, close - i - 1));
    i = close + 1;
  }
  frame.pos = std::min(i, text.size());

  const size_t mark = frame.bindings.size();
  for (const auto& [name, value] : tagNames_) {
    if (!name.starts_with(kXmlnsPrefix) || (name.size() > 5 && name[5] != u':'))
      continue;
    if (name.size() > 5 && !IsQualifiedName(name))
      return frame.Flaw(NotQualified(name));
    if (!Declare(frame, element, name, value, name.size() > 5 ? name.substr(6) : View(), declarations))
      return false;
  }
  // Whether the tag gives the attribute itself: compared one by one for a
  // few attributes, else looked up among them, entered once per tag.
  bool namesEntered = false;
  auto given = [&](View name) {
    if (tagNames_.size() <= kPairwiseAttributeLimit)
      return std::any_of(tagNames_.begin(), tagNames_.end(), [&](const auto& a) { return a.first == name; });
    if (!namesEntered) {
      ClearForReuse(tagGiven_, tagNames_.size());
      for (const auto& a : tagNames_)
        tagGiven_.insert(a.first);
      namesEntered = true;
    }
    return tagGiven_.count(name) != 0;
  };
  if (const std::vector<DefaultDeclaration>* defaults = declarations.DefaultsFor(element)) {
    for (const DefaultDeclaration& d : *defaults) {
      if (!given(d.name) && !Declare(frame, element, d.name, d.value, d.name.size() > 5 ? d.name.substr(6) : View(),
                             declarations))
        return false;
    }
  }

  if (!IsQualifiedName(element))
    return frame.Flaw(NotQualified(element));
  if (const size_t colon = element.find(u':'); colon != View::npos && !frame.Bound(element.substr(0, colon)))
    NoteOpenPrefix(frame, element.substr(0, colon), element, nullptr);
  qualified_.clear();
  for (const auto& [name, value] : tagNames_) {
    if (!IsQualifiedName(name))
      return frame.Flaw(NotQualified(name));
    const size_t colon = name.find(u':');
    if (colon == View::npos)
      continue;
    const View prefix = name.substr(0, colon);
    if (prefix == kXmlnsPrefix)
      continue;
    const View* uri = frame.Bound(prefix);
    if (uri == nullptr)
      NoteOpenPrefix(frame, prefix, name, nullptr);
    qualified_.push_back({name, name.substr(colon + 1), prefix, uri ? *uri : View(), uri == nullptr});
  }
  // The prefixed attributes the internal subset defaults on the element,
  // those it does not give itself, count as written there.
  if (const std::vector<DefaultDeclaration>* defaults = declarations.AttributeDefaultsFor(element)) {
    for (const DefaultDeclaration& d : *defaults) {
      if (given(d.name))
        continue;
      if (!IsQualifiedName(d.name))
        return frame.Flaw(u"the start tag <" + KTString(element) + u">, whose attribute " + DefaultedName(d.name) +
                          u" is not a qualified name (Namespaces in XML 1.0 §3)");
      const size_t colon = d.name.find(u':');
      const View prefix = d.name.substr(0, colon);
      const View* uri = frame.Bound(prefix);
      if (uri == nullptr)
        NoteOpenPrefix(frame, prefix, d.name, nullptr, element);
      qualified_.push_back({d.name, d.name.substr(colon + 1), prefix, uri ? *uri : View(), uri == nullptr, true});
    }
  }
  if (frame.fit->flawed != nullptr)
    return false;
  if (qualified_.size() >= 2)
    NoteAttributes(frame, element);
  if (empty)
    frame.Unbind(mark);
  else
    frame.marks.push_back(mark);
  return frame.fit->flawed == nullptr;
}

// Binds the prefix (empty: the default namespace) that a declaration of the
// text names, judged as the walk judges one in the document.
bool KTEntityTextReader::Declare(ScanFrame& frame, View element, View attribute, View value, View prefix,
                                 KTNamespaceDeclarations& declarations) {
  View uri;
  KTString problem = declarations.Judge(element, attribute, value, prefix, uri);
  if (!problem.IsEmpty())
    return frame.Flaw(u"the start tag <" + KTString(element) + u">, where " + problem);
  if (prefix.empty())
    return true;  // no prefixed name takes the default namespace
  if (uri.data() != value.data()) {
    uris_.emplace_back(uri);
    uri = uris_.back();
  }
  frame.Bind(prefix, uri);
  return true;
}

// The prefixed attributes of one start tag (qualified_): two whose URIs the
// text binds may not share an expanded name; those sharing a local name with
// one whose prefix is open are kept, to be judged where the entity is
// referenced.
void KTEntityTextReader::NoteAttributes(ScanFrame& frame, View element) {
  known_.clear();
  bool open = false;
  for (const NamespaceFit::Attribute& a : qualified_) {
    if (a.open)
      open = true;
    else
      known_.push_back(a);
  }
  size_t first = 0;
  if (const size_t second = SharedExpandedName(known_, first); second != View::npos) {
    frame.Flaw(ExpandedNameFlaw(element, known_[first], known_[second], KTString()));
    return;
  }
  if (!open)
    return;
  auto shared = [&](size_t i) {
    if (qualified_.size() <= kPairwiseAttributeLimit) {
      for (size_t j = 0; j < qualified_.size(); ++j)
        if (j != i && qualified_[j].local == qualified_[i].local)
          return true;
      return false;
    }
    return localCounts_[qualified_[i].local] > 1;
  };
  if (qualified_.size() > kPairwiseAttributeLimit) {
    ClearForReuse(localCounts_, qualified_.size());
    for (const NamespaceFit::Attribute& a : qualified_)
      ++localCounts_[a.local];
  }
  NamespaceFit::OpenTag tag{frame.entity, element, {}};
  bool openShared = false;
  for (size_t i = 0; i < qualified_.size(); ++i) {
    if (!shared(i))
      continue;
    tag.attributes.push_back(qualified_[i]);
    openShared = openShared || qualified_[i].open;
  }
  if (openShared)
    AddOpenTag(frame, tag, nullptr);
}

// Keeps a start tag left open, once for each set of attributes: two that
// use the same prefixes for the same local names are judged alike wherever
// the entity is referenced.
// `record` is the tag as a nested entity keeps it, when it is taken over
// unchanged, so the two share it.
void KTEntityTextReader::AddOpenTag(ScanFrame& frame, const NamespaceFit::OpenTag& tag,
                                    const NamespaceFit::OpenTag* record) {
  std::u16string key;
  for (const NamespaceFit::Attribute& a : tag.attributes) {
    key += a.local;
    key += a.open ? (a.defaulted ? u'\3' : u'\1') : (a.defaulted ? u'\4' : u'\2');
    key += a.open ? a.prefix : a.uri;
    key += u'\0';
  }
  if (!frame.openTags.insert(std::move(key)).second)
    return;
  frame.openNames += tag.attributes.size();
  if (frame.openNames > kMaxOpenNames &&
      !Charge(std::min(tag.attributes.size(), frame.openNames - kMaxOpenNames))) {
    frame.OverAllowance();
    return;
  }
  if (record == nullptr) {
    openTags_.push_back(tag);
    record = &openTags_.back();
  }
  frame.fit->tags.push_back(record);
}

// Notes a prefix the text leaves open, once; `record` is how a nested
// entity keeps it, null for a name of the text itself.
void KTEntityTextReader::NoteOpenPrefix(ScanFrame& frame, View prefix, View name,
                                        const NamespaceFit::OpenPrefix* record, View defaultedOn) {
  if (frame.fit->flawed != nullptr || !frame.openPrefixes.insert(prefix).second)
    return;
  if (++frame.openNames > kMaxOpenNames && !Charge(1)) {
    frame.OverAllowance();
    return;
  }
  if (record == nullptr) {
    openPrefixes_.push_back({prefix, name, frame.entity, defaultedOn});
    record = &openPrefixes_.back();
  }
  frame.fit->prefixes.push_back(record);
}

// Takes over what a nested entity leaves open, at the point of the text
// where it is referenced: its prefixes the text binds there are settled,
// the others stay open; so do its start tags until every prefix they use is
// bound, when their attributes are compared.
void KTEntityTextReader::Include(ScanFrame& frame, const NamespaceFit& nested) {
  NamespaceFit& fit = *frame.fit;
  if (fit.flawed != nullptr)
    return;
  if (nested.flawed != nullptr) {
    fit.flawed = nested.flawed;
    fit.flaw = nested.flaw;
    fit.overAllowance = nested.overAllowance;
    return;
  }
  // Going over a wide nested set costs its size at each reference to it,
  // whatever of it is kept.
  if (nested.openNames > kMaxOpenNames && !Charge(nested.openNames - kMaxOpenNames)) {
    frame.OverAllowance();
    return;
  }
  KTWorkCount::Add(nested.prefixes.size() + nested.tags.size());
  for (const NamespaceFit::OpenPrefix* open : nested.prefixes) {
    if (!frame.Bound(open->prefix))
      NoteOpenPrefix(frame, open->prefix, open->name, open);
    if (fit.flawed != nullptr)
      return;
  }
  for (const NamespaceFit::OpenTag* tag : nested.tags) {
    const bool unchanged = std::none_of(tag->attributes.begin(), tag->attributes.end(), [&](const auto& a) {
      return a.open && frame.Bound(a.prefix) != nullptr;
    });
    if (unchanged) {
      AddOpenTag(frame, *tag, tag);
      if (fit.flawed != nullptr)
        return;
      continue;
    }
    NamespaceFit::OpenTag settled = *tag;
    bool open = false;
    for (NamespaceFit::Attribute& a : settled.attributes) {
      if (!a.open)
        continue;
      if (const View* uri = frame.Bound(a.prefix)) {
        a.uri = *uri;
        a.open = false;
      } else {
        open = true;
      }
    }
    if (!open) {
      size_t first = 0;
      if (const size_t second = SharedExpandedName(settled.attributes, first); second != View::npos) {
        fit.flawed = tag->holder;
        fit.flaw = ExpandedNameFlaw(tag->element, settled.attributes[first], settled.attributes[second], KTString());
        return;
      }
      continue;
    }
    AddOpenTag(frame, settled, nullptr);
    if (fit.flawed != nullptr)
      return;
  }
}

size_t SharedExpandedName(const std::vector<NamespaceFit::Attribute>& attributes, size_t& first) {
  if (attributes.size() <= kPairwiseAttributeLimit) {
    for (size_t i = 1; i < attributes.size(); ++i)
      for (size_t j = 0; j < i; ++j)
        if (attributes[i].local == attributes[j].local && attributes[i].uri == attributes[j].uri) {
          first = j;
          return i;
        }
    return View::npos;
  }
  std::unordered_map<std::u16string, size_t> seen;
  for (size_t i = 0; i < attributes.size(); ++i) {
    std::u16string key(attributes[i].uri);
    key += u'\0';
    key += attributes[i].local;
    auto [at, added] = seen.emplace(std::move(key), i);
    if (!added) {
      first = at->second;
      return i;
    }
  }
  return View::npos;
}

KTString DefaultedName(View name) { return KTString(name) + u" (supplied by a default in the DTD)"; }

KTString ExpandedNameFlaw(View element, const NamespaceFit::Attribute& first, const NamespaceFit::Attribute& second,
                          const KTString& where) {
  auto named = [](const NamespaceFit::Attribute& a) { return a.defaulted ? DefaultedName(a.name) : KTString(a.name); };
  return u"the start tag <" + KTString(element) + u">, whose attributes " + named(first) + u" and " +
         named(second) + u" have one expanded name {" + KTString(second.uri) + u"}" + KTString(second.local) +
         where + u" (Namespaces in XML 1.0, NSC Attributes Unique)";
}

}  // namespace ktwf
