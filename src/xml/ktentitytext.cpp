// The reader of internal entities' replacement texts for the tree checker
// (ktdocwellformed.cpp): whether a text is well-formed where a reference
// includes it, in content or in an attribute value, with the entities it
// refers to followed on an explicit stack and each text read once per place.
#include <algorithm>
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
  return start.fit[attribute].flawed;
}

// Scans the entity's replacement text on its own, once per place: its
// flaw and the references it holds, each with where it stands.
void KTEntityTextReader::ScanOwnText(EntityFacts& entity, bool attribute) {
  EntityFacts::Fit& fit = entity.fit[attribute];
  if (fit.scanned)
    return;
  fit.scanned = true;
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

}  // namespace ktwf
