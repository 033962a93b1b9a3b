// What the tree checker (ktdocwellformed.cpp) and the reader of internal
// entities' replacement texts (ktentitytext.cpp) share: character classes,
// references, what is known of each declared entity, and the reader itself.
// Internal to src/xml.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/ktstring.h"
#include "platform/ktworkcount.h"

namespace ktwf {

using View = std::u16string_view;

// Up to this many attributes an element's names are compared pair by pair;
// more go through a hash set, so the check stays linear however many there are.
constexpr size_t kPairwiseAttributeLimit = 8;

// Empties a hash table before it takes `coming` entries. clear() costs
// its bucket count, which one element with very many attributes leaves
// large: a table far larger than the next element needs is replaced, so
// each element costs in proportion to its own attributes. The buckets
// cleared and the entries to come go to KTWorkCount.
template <typename Table>
void ClearForReuse(Table& table, size_t coming) {
  if (table.bucket_count() > 4 * coming + 64) {
    KTWorkCount::Add(coming);
    table = Table();
  } else {
    KTWorkCount::Add(coming + table.bucket_count());
    table.clear();
  }
}

// XML 1.0 §2.2 Char.
inline bool IsXmlChar(long c) {
  if (c < 0x20)
    return c == 0x9 || c == 0xA || c == 0xD;
  return (c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// XML 1.0 (fifth edition) §2.3 NameStartChar and NameChar above U+00FF; the
// grammars' character classes hold every character above U+00FF as one, so
// the finer ranges are checked here.
inline bool IsWideNameStartChar(long c) {
  return (c >= 0x100 && c <= 0x2FF) || (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
         c == 0x200C || c == 0x200D || (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) ||
         (c >= 0x3001 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0xEFFFF);
}

inline bool IsWideNameChar(long c) {
  return IsWideNameStartChar(c) || (c >= 0x300 && c <= 0x36F) || c == 0x203F || c == 0x2040;
}

// One reference "&...;" found in a value: its place in the value, the text
// between '&' and ';', and for a character reference the code (-1 when it
// names no character at all).
struct Reference {
  size_t at = 0;
  View body;
  bool isChar = false;
  long code = -1;
};

// The character a reference body "#123" or "#x7B" names, -1 when the digits
// are missing or the value leaves the Unicode range.
inline long CharacterCode(View body) {
  bool hex = body.size() > 1 && body[1] == u'x';
  View digits = body.substr(hex ? 2 : 1);
  if (digits.empty())
    return -1;
  long code = 0;
  for (char16_t d : digits) {
    int v = d >= u'0' && d <= u'9'           ? d - u'0'
            : hex && d >= u'a' && d <= u'f' ? d - u'a' + 10
            : hex && d >= u'A' && d <= u'F' ? d - u'A' + 10
                                            : -1;
    if (v < 0)
      return -1;
    code = code * (hex ? 16 : 10) + v;
    if (code > 0x10FFFF)
      return -1;
  }
  return code;
}

inline bool IsPredefinedEntity(View name) {
  switch (name.size()) {
    case 2:
      return (name[0] == u'l' || name[0] == u'g') && name[1] == u't';
    case 3:
      return name == std::u16string_view(u"amp", 3);
    case 4:
      return name == std::u16string_view(u"apos", 4) || name == std::u16string_view(u"quot", 4);
    default:
      return false;
  }
}

// Characters that may follow a name's colon: the name has been read as a
// Name, so only those that are NameChar but not NameStartChar are refused.
inline bool IsNameStartAfterColon(char16_t c) {
  return !((c >= u'0' && c <= u'9') || c == u'-' || c == u'.' || c == 0xB7 || (c >= 0x300 && c <= 0x36F) ||
           c == 0x203F || c == 0x2040);
}

// Namespaces in XML 1.0 §3: a name with a colon is a prefix and a local
// part, each an NCName.
inline bool IsQualifiedName(View name) {
  const size_t colon = name.find(u':');
  return colon == View::npos || (colon > 0 && colon + 1 < name.size() && name.find(u':', colon + 1) == View::npos &&
                                 IsNameStartAfterColon(name[colon + 1]));
}

// The length of the Name that starts at `at`, 0 when none does.
size_t NameLength(View text, size_t at);

// The reference that the '&' at `at` starts, read as XML 1.0 §4.1 writes
// one: "&" Name ";", "&#" digits ";" or "&#x" hex digits ";". False when the
// '&' starts none; else `ref` holds it and `end` the place after its ';'.
bool ReadReference(View text, size_t at, Reference& ref, size_t& end);

struct EntityFacts;

// The names one entity's markup may leave to the scope of its reference
// (open prefixes and open tags' attributes, kept or taken over) that are
// read and checked freely; real markup leaves a handful. Past it, every
// name stored, taken over or checked at a reference is charged against one
// allowance for the whole document, in proportion to its length
// (KTEntityTextReader::Charge), so a chain of entities each adding a prefix
// or many references to a wide entity stay linear in the input.
constexpr size_t kMaxOpenNames = 64;

// What an internal entity's markup leaves to the scope where a reference in
// content includes it (Namespaces in XML 1.0), worked out once per entity
// with the entities it refers to: the prefixes its names use that the
// markup does not bind itself, and the start tags whose attributes could
// share an expanded name once those prefixes are bound. A flaw that no
// scope can mend (a name that is not a qualified name, a declaration that
// may not stand, attributes with one expanded name within the markup) is
// kept as text, with the entity whose text holds it.
struct NamespaceFit {
  // A prefix used and not bound: the first name that uses it, and the
  // entity whose text holds that name.
  // `element` is set when the name is an attribute that the internal
  // subset supplies to that element as a default, empty otherwise.
  struct OpenPrefix {
    View prefix;
    View name;
    const EntityFacts* holder;
    View element;
  };
  // A prefixed attribute of a start tag: its namespace URI, or the prefix
  // whose binding where the entity is referenced gives it (`open`).
  struct Attribute {
    View name;
    View local;
    View prefix;
    View uri;
    bool open;
    bool defaulted = false;  // supplied by a default of the internal subset
  };
  // A start tag holding attributes that share a local name, one of them at
  // least with an open prefix; only those attributes are kept.
  struct OpenTag {
    const EntityFacts* holder;
    View element;
    std::vector<Attribute> attributes;
  };

  enum State { kNew, kActive, kDone } state = kNew;
  const EntityFacts* flawed = nullptr;  // the entity whose text holds the flaw, null when none
  KTString flaw;
  // The flaw is that the document's allowance ran out while this was read
  // (`flaw` is then empty).
  bool overAllowance = false;
  // The open prefixes and open tags' attributes kept, known once read.
  size_t openNames = 0;
  // Kept by the reader, shared by the entities that take them over.
  std::vector<const OpenPrefix*> prefixes;
  std::vector<const OpenTag*> tags;
  // The walk's own index of each open prefix, entered at the first
  // reference it checks.
  std::vector<uint32_t> prefixIds;
};

// An attribute that the internal subset supplies to every element of a name
// as a default (a namespace declaration, or a prefixed attribute): the
// attribute's name and its value.
struct DefaultDeclaration {
  View name;
  View value;
};

// What the reader asks of the walk about namespace declarations met in a
// replacement text, so they are judged as those written in the document.
class KTNamespaceDeclarations {
 public:
  virtual ~KTNamespaceDeclarations() = default;
  // The declarations the internal subset defaults on elements of the name;
  // null when none.
  virtual const std::vector<DefaultDeclaration>* DefaultsFor(View element) = 0;
  // The prefixed attributes other than namespace declarations that the
  // internal subset defaults on elements of the name; null when none.
  virtual const std::vector<DefaultDeclaration>* AttributeDefaultsFor(View element) = 0;
  // What the declaration `attribute`="`value`" on the element binds the
  // prefix to (`uri`, valid until the next call), and why it may not stand,
  // empty when it may.
  virtual KTString Judge(View element, View attribute, View value, View prefix, View& uri) = 0;
};

// What the walk knows of a declared general entity: its own declaration, and
// once a reference needs it, what its replacement text reaches through the
// entities it refers to in turn.
struct EntityFacts {
  View name;
  // The replacement text: the literal without its quotes, its character
  // references resolved (XML 1.0 §4.5); general references stay for the
  // place of use.
  View literal;
  bool external = false;
  bool unparsed = false;
  bool holdsLessThan = false;  // its literal holds '<', written or as a character reference

  enum State { kNew, kActive, kDone } state = kNew;
  enum Problem { kNone, kRecursive, kUndeclared, kUnparsed } problem = kNone;
  // A reference to it in content, with its references followed, was found
  // flawless where nothing in its scope could change that (its markup, if
  // any, is external or it reaches no '<'): later ones pass at once.
  bool passesInContent = false;
  View problemName;             // the entity the problem is about (for a cycle, the one that closes it)
  View cycleName;               // the entity a cycle leads back to
  bool reachesLessThan = false;  // here or in an entity referred to
  bool reachesExternal = false;

  // Whether the replacement text is well-formed where a reference includes
  // it (XML 1.0 §4.3.2, §4.4.2, §4.4.5), with the entities it refers to in
  // turn: one record for content, one for attribute values, each worked out
  // once, when a reference first needs it.
  struct Fit {
    enum State { kNew, kActive, kDone } state = kNew;
    bool scanned = false;  // the text's own scan is done: flaw and refs hold its findings
    KTString flaw;         // what the text itself holds that may not stand there, empty when nothing
    // The references its own scan met, each with whether it stands in an
    // attribute value; dropped once the record is done.
    std::vector<std::pair<View, bool>> refs;
    const EntityFacts* flawed = nullptr;  // the entity whose text holds the first flaw reached
    bool flawInAttribute = false;         // that text stands in an attribute value
  };
  Fit fit[2];  // in content ([0]) and in an attribute value ([1])
  std::unique_ptr<NamespaceFit> namespaces;  // made when a reference in content first needs it
};

// The declared general entities by name; the first declaration binds.
using EntityTable = std::unordered_map<View, EntityFacts>;

enum class Place { kContent, kAttributeValue, kEntityValue };

// Reads an internal entity's replacement text where a reference includes
// it: in content as content, balanced markup and all; in an attribute value
// as part of one. Each text is read once per place, and the entities it
// refers to are followed on an explicit stack.
class KTEntityTextReader {
 public:
  explicit KTEntityTextReader(EntityTable& entities) : entities_(entities) {}

  // The entity whose replacement text holds the first flaw that keeps the
  // referenced entity's text from standing in `place`, null when none does;
  // `inAttribute` tells whether that text stands in an attribute value. A
  // reference not followed (`follow` false: an attribute default where an
  // entity may be declared after it) is judged by the entity's own text.
  const EntityFacts* TextFlaw(EntityFacts& facts, Place place, bool follow, bool& inAttribute);

  // What the entity's markup leaves to the scope of a reference in content.
  // Asked only once the text fits in content (TextFlaw found no flaw there).
  NamespaceFit& Namespaces(EntityFacts& facts, KTNamespaceDeclarations& declarations);

  // Sets the allowance for the namespace work past kMaxOpenNames names per
  // entity from the length of the document's text, in characters.
  void AllowNamespaceChecks(size_t documentLength);
  // Charges that many names read or checked past kMaxOpenNames against the
  // allowance: false once it is spent.
  bool Charge(size_t names);
  // Why a reference to `entity` is refused once the allowance is spent.
  KTString OverAllowance(View entity) const;

 private:
  struct ScanFrame;
  bool ScanStartTag(ScanFrame& frame, KTNamespaceDeclarations& declarations);
  bool Declare(ScanFrame& frame, View element, View attribute, View value, View prefix,
               KTNamespaceDeclarations& declarations);
  void Include(ScanFrame& frame, const NamespaceFit& nested);
  void NoteOpenPrefix(ScanFrame& frame, View prefix, View name, const NamespaceFit::OpenPrefix* record,
                      View defaultedOn = View());
  void NoteAttributes(ScanFrame& frame, View element);
  void AddOpenTag(ScanFrame& frame, const NamespaceFit::OpenTag& tag, const NamespaceFit::OpenTag* record);

  const EntityFacts* Flawed(EntityFacts& start, bool attribute);
  void ScanOwnText(EntityFacts& entity, bool attribute);
  KTString ReferenceFlaw(View text, size_t at, bool inAttribute, std::vector<std::pair<View, bool>>& refs,
                         size_t& end);
  KTString AttributeFlaw(View text, std::vector<std::pair<View, bool>>& refs, View attribute = View());
  KTString ContentFlaw(View text, std::vector<std::pair<View, bool>>& refs);
  KTString StartTagFlaw(View text, size_t& at, std::vector<View>& open, std::vector<std::pair<View, bool>>& refs);

  EntityTable& entities_;
  // The attribute names of one start tag in a replacement text.
  std::vector<View> tagAttributes_;
  std::unordered_set<View> tagAttributeSet_;
  // Namespace URIs of declarations in replacement texts that are not their
  // value as written (resolved or collapsed); kept while the walk lasts.
  std::deque<std::u16string> uris_;
  // One start tag's attributes while its namespaces are read.
  std::vector<std::pair<View, View>> tagNames_;
  std::unordered_set<View> tagGiven_;  // their names, when there are many, for the defaults
  std::vector<NamespaceFit::Attribute> qualified_;
  std::vector<NamespaceFit::Attribute> known_;
  // What the texts leave open, each kept once and pointed to by every
  // entity that takes it over.
  std::deque<NamespaceFit::OpenPrefix> openPrefixes_;
  std::deque<NamespaceFit::OpenTag> openTags_;
  std::unordered_map<View, int> localCounts_;
  size_t documentLength_ = 0;
  size_t allowance_ = 0;  // in names, set by AllowNamespaceChecks
  size_t remaining_ = 0;
};

// Where two attributes of the list share a local name and a namespace URI
// (NSC Attributes Unique): the index of the later one, with the earlier one
// in `first`; npos when none do. Compares pair by pair up to a few, then
// through a hash table.
size_t SharedExpandedName(const std::vector<NamespaceFit::Attribute>& attributes, size_t& first);

// How a message names an attribute that a default of the internal subset
// supplies: "p:c (supplied by a default in the DTD)".
KTString DefaultedName(View name);

// "the start tag <element>, whose attributes ... have one expanded name"
// for the pair at `first` and `second`; `where` says in what scope.
KTString ExpandedNameFlaw(View element, const NamespaceFit::Attribute& first, const NamespaceFit::Attribute& second,
                          const KTString& where);

}  // namespace ktwf
