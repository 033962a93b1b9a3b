// Well-formedness checks around a parse: a scan of the text for characters
// XML does not allow, then one walk of the built tree for what XML 1.0 and
// Namespaces in XML 1.0 forbid (replacement texts are read in ktentitytext.cpp).
#include "xml/ktdocwellformed.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/ktstring.h"
#include "platform/ktresources.h"
#include "platform/ktwchar.h"
#include "platform/ktworkcount.h"
#include "xml/ktdocwellformedshared.h"
#include "xml/ktloadstatus.h"
#include "xml/ktsourcetext.h"
#include "xml/ktxdoctype.h"
#include "xml/ktxnode.h"
#include "xml/ktxnodecheck.h"

namespace {

using namespace ktwf;

// Names compared on every element, as constants whose lengths are known
// when compiling (a comparison with a bare literal measures it each time).
constexpr std::u16string_view kXmlnsName = u"xmlns";
constexpr std::u16string_view kXmlName = u"xml";

// Namespace prefixes are a few characters long: a multiplicative hash over
// their units costs less than the library's hash of their bytes.
struct PrefixHash {
  size_t operator()(std::u16string_view text) const noexcept {
    uint64_t h = text.size() * 0x9E3779B97F4A7C15ull;
    for (char16_t c : text) h = (h ^ c) * 0x100000001B3ull;
    return static_cast<size_t>(h ^ (h >> 29));
  }
};

// Interned names that passed a check, by the address of their text: a
// document repeats a few names many times, and the nodes that carry one name
// share that address (ktxname.h), so each distinct name is checked about
// once. Direct-mapped: a name whose slot another took is only checked again.
//
// The tables have 1024 slots for a text of 8K characters or more and fewer
// for a smaller one, which holds fewer distinct names: a small document
// neither clears nor touches the pages of four full tables (48 KB).
int NameTableBits(int textLength) {
  int bits = 6;
  while (bits < 10 && (8 << bits) < textLength) ++bits;
  return bits;
}

size_t NameSlot(const char16_t* text, int bits) {
  return static_cast<size_t>((reinterpret_cast<uintptr_t>(text) >> 3) * 0x9E3779B97F4A7C15ull >> (64 - bits));
}

class CheckedNames {
 public:
  explicit CheckedNames(int textLength)
      : bits_(NameTableBits(textLength)), slots_(std::make_unique<const char16_t*[]>(size_t{1} << bits_)) {}
  bool Has(const char16_t* text) const { return slots_[NameSlot(text, bits_)] == text; }
  void Add(const char16_t* text) { slots_[NameSlot(text, bits_)] = text; }

 private:
  int bits_;
  std::unique_ptr<const char16_t*[]> slots_;
};

// The namespace prefixes a walk has met, each with the binding in scope for
// it (an index into the walk's stack of bindings, -1 when none is). Entries
// are never removed, so a prefix keeps its index for the whole walk: the
// walk remembers it per interned name (PrefixOfName) and reaches a binding
// without hashing the prefix again. Open addressing over the indexes.
class PrefixTable {
 public:
  struct Entry {
    std::u16string_view prefix;
    int32_t current;  // the innermost binding, -1 when the prefix is unbound
    bool xmlns;       // the prefix is "xmlns"
  };

  // The prefix's index, entered unbound when it is new.
  uint32_t Find(std::u16string_view prefix) {
    if (2 * (entries_.size() + 1) > index_.size())
      Grow();
    const size_t mask = index_.size() - 1;
    for (size_t i = PrefixHash()(prefix) & mask;; i = (i + 1) & mask) {
      const uint32_t at = index_[i];
      if (at == kFree) {
        index_[i] = static_cast<uint32_t>(entries_.size());
        entries_.push_back({prefix, -1, prefix == kXmlnsName});
        return index_[i];
      }
      if (entries_[at].prefix == prefix)
        return at;
    }
  }

  Entry& operator[](uint32_t at) { return entries_[at]; }

 private:
  static constexpr uint32_t kFree = 0xFFFFFFFFu;

  void Grow() {
    index_.assign(index_.empty() ? 64 : 2 * index_.size(), kFree);
    const size_t mask = index_.size() - 1;
    for (uint32_t at = 0; at < entries_.size(); ++at) {
      size_t i = PrefixHash()(entries_[at].prefix) & mask;
      while (index_[i] != kFree)
        i = (i + 1) & mask;
      index_[i] = at;
    }
  }

  std::vector<Entry> entries_;
  std::vector<uint32_t> index_;
};

// For interned names, by the address of their text (as CheckedNames): the
// index of a prefix in the walk's PrefixTable and where the name's colon
// stands. A name is entered only once it has passed the checks that come
// before its use, so a failure always takes the full path.
class PrefixOfName {
 public:
  // The prefix index of a name without a colon.
  static constexpr uint32_t kNoPrefix = UINT32_MAX;
  struct Slot {
    const char16_t* text = nullptr;
    uint32_t prefix = 0;
    uint32_t colon = 0;
  };
  explicit PrefixOfName(int textLength)
      : bits_(NameTableBits(textLength)), slots_(std::make_unique<Slot[]>(size_t{1} << bits_)) {}
  Slot& At(const char16_t* text) { return slots_[NameSlot(text, bits_)]; }

 private:
  int bits_;
  std::unique_ptr<Slot[]> slots_;
};

// The place of the first character of the name that XML does not allow
// there, npos when all are allowed. Characters up to U+00FF are the
// grammar's to judge.
size_t BadNameCharacter(std::u16string_view name) {
  for (size_t i = 0; i < name.size(); ++i) {
    long c = name[i];
    if (c <= 0xFF)
      continue;
    size_t at = i;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF)
      c = 0x10000 + ((c - 0xD800) << 10) + (name[++i] - 0xDC00);
    if (!(at == 0 ? IsWideNameStartChar(c) : IsWideNameChar(c)))
      return at;
  }
  return std::u16string_view::npos;
}

bool Fail(const KTSourceText& text, int offset, const KTString& reason, KTLoadStatus& status) {
  int line = 0;
  int column = 0;
  if (offset >= 0)
    text.LineAndColumn(offset, line, column);
  KTString message;
  message.Format(u"line %d, column %d: %s", line, column, reason.c_str());
  status.SetError(KTLoadStatus::kParse, KTLoadStatus::kParseFailed);
  status.SetMessage(message);
  status.SetPosition(line, column);
  return false;
}

bool Fail(const char16_t* text, int length, int offset, const KTString& reason, KTLoadStatus& status) {
  return Fail(KTSourceText(text, length), offset, reason, status);
}

// Calls f(reference) for each reference of the value, in order, until f
// returns false. A '&' without its ';' is left alone: the grammar has
// already refused such a text.
// The place of the first '&' of the value at or after from, npos when none.
size_t FindAmpersand(View value, size_t from) {
  if (from >= value.size())
    return View::npos;
  const char16_t* found = KTFindUnit(value.data() + from, value.size() - from, u'&');
  return found ? static_cast<size_t>(found - value.data()) : View::npos;
}

// The references from the '&' at `first` on (npos: none), for a caller that
// has found the value's first '&' already.
template <typename F>
bool ForEachReferenceFrom(View value, size_t first, F f) {
  for (size_t at = first; at != View::npos; at = FindAmpersand(value, at + 1)) {
    size_t end = value.find(u';', at + 1);
    if (end == View::npos)
      return true;
    Reference ref;
    ref.at = at;
    ref.body = value.substr(at + 1, end - at - 1);
    ref.isChar = !ref.body.empty() && ref.body[0] == u'#';
    if (ref.isChar)
      ref.code = CharacterCode(ref.body);
    if (!f(ref))
      return false;
    at = end;
  }
  return true;
}

template <typename F>
bool ForEachReference(View value, F f) {
  return ForEachReferenceFrom(value, FindAmpersand(value, 0), f);
}

// Where a check failing on a node or an attribute points: the node, or the
// source offsets of an attribute read without its node (an element's pending
// attributes, ktxnode.h).
class Site {
 public:
  Site(const KTXNode* node) : node_(node) {}  // NOLINT: every node is a site
  Site(const KTXAttributeView& attribute) : start_(attribute.start), end_(attribute.end) {}  // NOLINT

  const KTXNode* Node() const { return node_; }
  int Start() const { return node_ ? node_->GetStartOffset() : start_; }
  int End() const { return node_ ? node_->GetEndOffset() : end_; }
  bool IsElement() const { return node_ && node_->GetKind() == kElement; }

 private:
  const KTXNode* node_ = nullptr;
  int start_ = -1;
  int end_ = -1;
};

const char16_t* const kParameterReferenceInside =
    u"a parameter-entity reference may not stand inside a declaration in the internal subset";

class TreeChecker final : public KTNamespaceDeclarations {
 public:
  TreeChecker(const KTSourceText& text, KTLoadStatus& status)
      : text_(text), length_(text.GetLength()), status_(status) {
    entityTexts_.AllowNamespaceChecks(static_cast<size_t>(std::max(length_, 0)));
  }

  bool Run(const KTXNode* document, bool referencesOnly, bool textHoldsAmpersand) {
    referencesOnly_ = referencesOnly;
    valuesHoldNoReference_ = !textHoldsAmpersand;
    // WFC Entity Declared binds a document without a DTD, with only an
    // internal subset free of parameter-entity references, or standalone.
    entitiesMustBeDeclared_ = document->GetKind() == kXmlDocument;
    internalSubset_ = document->GetKind() == kXmlDocument;
    // Iterative walk in document order: trees may be thousands of levels deep.
    // Prefixes are bound by the including document in an external entity.
    prefixesMustBeDeclared_ = document->GetKind() == kXmlDocument;
    const KTXNode* node = document->GetFirstChild();
    while (node != nullptr) {
      if (!Visit(node))
        return false;
      // An element's pending attributes were visited with it.
      if (const KTXNode* child = node->GetFirstMadeChild()) {
        node = child;
        continue;
      }
      Leave(node);
      while (node != nullptr && node != document && node->GetNextSibling() == nullptr) {
        node = node->GetParent();
        if (node != document)
          Leave(node);
      }
      node = (node == nullptr || node == document) ? nullptr : node->GetNextSibling();
    }
    return true;
  }

 private:
  bool Visit(const KTXNode* node) {
    const KTXNode* parent = node->GetParent();
    const int parentKind = parent ? parent->GetKind() : -1;
    const int kind = node->GetKind();
    // A plain tree's names are plain (KTXName::Entry::plain): nothing above
    // U+00FF, and no processing instruction or declaration to name.
    if (!referencesOnly_ && !CheckName(node, kind, parentKind))
      return false;
    switch (kind) {
      case kXmlTag:
        if (parentKind == kXmlDocument)
          NoteStandalone(node);
        return true;
      case kDoctype:
        NoteDoctype(node);
        return true;
      case kDoctypeEntity:
        return CheckEntityDeclaration(node, parentKind == kDoctype);
      case kDoctypeElement:
        return CheckNoParameterReference(node);
      case kDoctypeAttlist:
        // A default is checked against the entities declared before it
        // (XML 1.0 §4.1). Where every entity must be declared, those the
        // referenced entities refer to in turn must be declared by then too,
        // and are followed. Elsewhere one declared later may still complete
        // them, so only the referenced entity's own text is judged: nothing
        // half-known is kept for the references that come after.
        if (const auto* part = dynamic_cast<const KTDoctypeAttlistNode*>(node)) {
          if (part->GetPart() == kAttlistName)
            NoteDeclarationType(node);
          if (part->GetPart() == kAttlistDefault || part->GetPart() == kAttlistFixed)
            return CheckValue(node, Place::kAttributeValue, false, entitiesMustBeDeclared_);
          if (part->GetPart() == kAttlistWhole)
            return true;  // held as written, literals and all
        }
        return CheckNoParameterReference(node);
      case kElement:
        if (referencesOnly_)
          return CheckValue(node, Place::kContent, true) && CheckPendingAttributeValues(node);
        return CheckAttributeNames(node) && CheckNamespaces(node) &&
               (valuesHoldNoReference_ || CheckValue(node, Place::kContent, true)) && VisitPendingAttributes();
      case kAttribute:
        return parentKind != kElement || valuesHoldNoReference_ || CheckValue(node, Place::kAttributeValue, false);
      case kText:
        // Content: in an element, or at the top of an external parsed entity.
        if (parentKind != kElement && parentKind != kXmlEntity)
          return true;
        if (valuesHoldNoReference_)
          return true;
        return CheckValueAt(node, static_cast<const KTXValueNode*>(node)->ValueString().View(), Place::kContent,
                            false);
      default:
        return true;
    }
  }

  // XML 1.0 §2.8 WFC PEs in Internal Subset: in the internal subset (the only
  // DTD text a document's tree holds) a parameter-entity reference may stand
  // between declarations, never inside one. Element declarations and the
  // parts of attribute-list declarations other than defaults hold no
  // literals, so any '%' in them is such a reference.
  bool CheckNoParameterReference(const KTXNode* node) {
    if (!internalSubset_)
      return true;
    bool inName = View(node->GetName()).find(u'%') != View::npos;
    View value(node->GetValue());
    if (!inName && value.find(u'%') == View::npos)
      return true;
    int offset = node->GetStartOffset();
    int end = node->GetEndOffset();
    if (offset >= 0 && end <= length_ && offset <= end) {
      size_t at = text_.Range(offset, end, scratch_).find(u'%');
      if (at != View::npos)
        offset += static_cast<int>(at);
    }
    return Fail(text_, offset, KTString(kParameterReferenceInside), status_);
  }

  // The names of elements, attributes, processing-instruction targets and
  // declarations, against the name characters above U+00FF.
  bool CheckName(const KTXNode* node, int kind, int parentKind) {
    View name;
    switch (kind) {
      case kElement:
      case kAttribute:
        name = NameOf(node);
        if (goodNames_.Has(name.data()))
          return true;
        break;
      case kProcessingInstruction:
      case kDoctype:
      case kDoctypeNotation:
        name = node->GetName();
        break;
      case kDoctypeEntity:
        name = node->GetName();
        if (name.starts_with(u"% "))
          name.remove_prefix(2);
        break;
      case kDoctypeElement:
        if (parentKind == kDoctype)
          name = node->GetName();
        break;
      case kDoctypeAttlist:
        if (const auto* part = dynamic_cast<const KTDoctypeAttlistNode*>(node))
          if (part->GetPart() == kAttlistName)
            name = node->GetValue();
        break;
      default:
        return true;  // no name to check (Text nodes, the most of a document, come here)
    }
    // Namespaces in XML 1.0 §7: no entity name, processing-instruction
    // target or notation name holds a colon.
    if ((kind == kProcessingInstruction || kind == kDoctypeEntity || kind == kDoctypeNotation) &&
        name.find(u':') != View::npos) {
      const char16_t* what = kind == kProcessingInstruction ? u"processing-instruction target"
                             : kind == kDoctypeEntity       ? u"entity name"
                                                            : u"notation name";
      KTString reason;
      reason.Format(u"the %s %s holds a colon, which Namespaces in XML 1.0 (§7) does not allow", what,
                    KTString(name).c_str());
      return FailInValue(node, name, name.find(u':'), reason);
    }
    return CheckNameCharacters(node, name, kind == kElement || kind == kAttribute);
  }

  // The characters of a name; with `remember` a good name is entered in
  // goodNames_ (an interned name).
  bool CheckNameCharacters(Site site, View name, bool remember) {
    size_t bad = BadNameCharacter(name);
    if (bad == View::npos) {
      if (remember)
        goodNames_.Add(name.data());
      return true;
    }
    KTString reason;
    reason.Format(u"the character U+%04X may not stand in the name %s", static_cast<unsigned>(name[bad]),
                  KTString(name).c_str());
    return FailInValue(site, name, bad, reason);
  }

  // What Visit checks of an Attribute node in an element, for the element's
  // pending attributes (those CheckAttributeNames gathered), in order.
  bool VisitPendingAttributes() {
    if (!attributesPending_)
      return true;
    for (const KTXAttributeView& a : attributes_) {
      const View name = a.name->View();
      if (!goodNames_.Has(name.data()) && !CheckNameCharacters(a, name, true))
        return false;
      if (!valuesHoldNoReference_ && !CheckValueAt(a, a.value->View(), Place::kAttributeValue, false))
        return false;
    }
    return true;
  }

  // VisitPendingAttributes of a plain element (Run's referencesOnly): its
  // names are known good and unique, so only the values are read, in place.
  bool CheckPendingAttributeValues(const KTXNode* element) {
    const KTXCompactAttributes* pending = static_cast<const KTXContainerNode*>(element)->GetPendingAttributes();
    if (pending == nullptr)
      return true;
    for (const KTXCompactAttribute& a : *pending) {
      if (!CheckValueAt(KTXAttributeView{&a.name, &a.value, a.start, a.end}, a.value.View(), Place::kAttributeValue,
                        false))
        return false;
    }
    return true;
  }

  void NoteStandalone(const KTXNode* declaration) {
    for (const KTXNode* a = declaration->GetFirstChild(); a; a = a->GetNextSibling())
      if (a->GetKind() == kAttribute && View(a->GetName()) == u"standalone" && View(a->GetValue()) == u"yes")
        standalone_ = true;
  }

  void NoteDoctype(const KTXNode* doctype) {
    bool external = false;
    bool parameterReferences = false;
    for (const KTXNode* c = doctype->GetFirstChild(); c; c = c->GetNextSibling()) {
      if (c->GetKind() == kDoctypeExternalId)
        external = true;
      else if (c->GetKind() == kText && View(c->GetValue()).find(u'%') != View::npos)
        parameterReferences = true;
    }
    if ((external || parameterReferences) && !standalone_) {
      entitiesMustBeDeclared_ = false;
      // Declarations this walk does not read (the external subset, parameter
      // entities) may default namespace declarations on any element, as
      // xmlns:p CDATA #FIXED "..." does: a prefix without a binding in the
      // document is then not an error here; the document's view binds it
      // from the defaults once its DTD is read.
      prefixesMustBeDeclared_ = false;
    }
  }

  bool CheckEntityDeclaration(const KTXNode* node, bool internalSubset) {
    View name(node->GetName());
    View value(node->GetValue());
    bool literal = !value.empty() && (value[0] == u'"' || value[0] == u'\'');
    if (literal) {
      // XML 1.0 §2.8 WFC PEs in Internal Subset: there a parameter-entity
      // reference may stand between declarations only, never inside one.
      if (internalSubset && value.find(u'%') != View::npos)
        return FailInValue(node, value, value.find(u'%'), KTString(kParameterReferenceInside));
      if (!CheckValue(node, Place::kEntityValue, false))
        return false;
    }
    if (name.empty() || name[0] == u'%')
      return true;  // parameter entities are not referenced from content
    EntityFacts facts;
    facts.name = name;
    if (literal) {
      facts.literal = ReplacementText(value.substr(1, value.size() >= 2 ? value.size() - 2 : 0));
      facts.holdsLessThan = value.find(u'<') != View::npos;
      ForEachReference(value, [&](const Reference& ref) {
        if (ref.isChar && ref.code == u'<')
          facts.holdsLessThan = true;
        return true;
      });
    } else {
      facts.external = true;
      facts.unparsed = value.find(u"NDATA") != View::npos;
    }
    // XML 1.0 §4.2: the first declaration of an entity binds.
    entities_.emplace(name, std::move(facts));
    return true;
  }

  // The name of an element or attribute: both kinds are named nodes whose
  // interned name (ktxname.h) knows its length, and nodes that carry one
  // name share the address of its text.
  static View NameOf(const KTXNode* node) {
    return static_cast<const KTXNamedNode*>(node)->NameString().View();
  }

  // A node's value. Elements, attributes and texts hold theirs as a string
  // that knows its length, so it is not scanned for its end.
  static View ValueOf(const KTXNode* node) {
    const int kind = node->GetKind();
    if (kind == kElement || kind == kAttribute || kind == kText)
      return static_cast<const KTXValueNode*>(node)->ValueString().View();
    return View(node->GetValue());
  }

  // The text of an attribute's name as the name table holds it: two
  // attributes carry the same name exactly when this pointer is the same, so
  // names compare without reading their characters.
  static const char16_t* InternedName(const KTXAttributeView& attribute) { return attribute.name->c_str(); }

  // Gathers the element's attributes (pending or made, without making
  // nodes) in attributes_ and checks that no name is given twice.
  bool CheckAttributeNames(const KTXNode* element) {
    attributes_.clear();
    const auto* container = static_cast<const KTXContainerNode*>(element);
    attributesPending_ = container->GetPendingAttributes() != nullptr;
    container->VisitAttributes([this](const KTXAttributeView& a) { attributes_.push_back(a); });
    const KTXAttributeView* twice = nullptr;
    if (attributes_.size() <= kPairwiseAttributeLimit) {
      for (size_t i = 1; i < attributes_.size() && !twice; ++i) {
        const char16_t* name = InternedName(attributes_[i]);
        for (size_t j = 0; j < i && !twice; ++j)
          if (InternedName(attributes_[j]) == name)
            twice = &attributes_[i];
      }
    } else {
      // Open addressing over the interned pointers, sized for this element
      // alone, so each element costs in proportion to its own attributes.
      size_t size = 32;
      while (size < 2 * attributes_.size())
        size *= 2;
      seen_.assign(size, nullptr);
      const size_t mask = size - 1;
      for (const KTXAttributeView& a : attributes_) {
        const char16_t* name = InternedName(a);
        size_t i = (reinterpret_cast<uintptr_t>(name) >> 3) * 0x9E3779B97F4A7C15ull >> 20 & mask;
        while (seen_[i] != nullptr && seen_[i] != name)
          i = (i + 1) & mask;
        if (seen_[i] == name) {
          twice = &a;
          break;
        }
        seen_[i] = name;
      }
    }
    if (twice == nullptr)
      return true;
    // XML 1.0 §3.1 WFC Unique Att Spec.
    KTString reason;
    const char16_t* format = KTFindStringResource(kMsgDuplicateAttribute);
    reason.Format(format ? format : u"The attribute %s is given more than once", twice->name->c_str());
    return Fail(text_, twice->start, reason, status_);
  }

  // Checks the references of the node's value. For an element the value is
  // the text it holds when that text was its only child.
  // Most values hold no reference and are passed here, without the frame
  // that checking references needs.
  bool CheckValue(const KTXNode* node, Place place, bool elementText, bool followEntities = true) {
    return CheckValueAt(node, ValueOf(node), place, elementText, followEntities);
  }

  bool CheckValueAt(Site site, View value, Place place, bool elementText, bool followEntities = true) {
    const size_t first = FindAmpersand(value, 0);
    if (first == View::npos)
      return true;
    return CheckReferences(site, value, first, place, elementText, followEntities);
  }

  // The references of `value`, the first of them at `first`.
  [[gnu::noinline]] bool CheckReferences(Site node, View value, size_t first, Place place, bool elementText,
                                         bool followEntities) {
    KTString reason;
    size_t failedAt = 0;
    ForEachReferenceFrom(value, first, [&](const Reference& ref) {
      if (ref.isChar) {
        // XML 1.0 §4.1 WFC Legal Character.
        if (ref.code < 0 || !IsXmlChar(ref.code)) {
          reason = u"the character reference &" + KTString(ref.body) + u"; names no character allowed in XML";
          failedAt = ref.at;
          return false;
        }
        return true;
      }
      // The five predefined names (the bulk of references) hold no bad
      // character: they pass without the look at each one.
      if (IsPredefinedEntity(ref.body))
        return true;
      if (size_t bad = BadNameCharacter(ref.body); bad != View::npos) {
        reason = u"the entity reference &" + KTString(ref.body) + u"; holds a character no name may hold";
        failedAt = ref.at + 1 + bad;
        return false;
      }
      if (place == Place::kEntityValue)
        return true;  // references in entity values are checked where the entity is used
      auto found = entities_.find(ref.body);
      // The names become text only for a message: most references pass.
      auto name = [&] { return KTString(ref.body); };
      if (found == entities_.end()) {
        if (entitiesMustBeDeclared_) {
          reason = u"the entity " + name() + u" is referenced but not declared";
          failedAt = ref.at;
          return false;
        }
        return true;
      }
      EntityFacts& facts = found->second;
      if (facts.passesInContent && place == Place::kContent && followEntities)
        return true;
      bool external = facts.external;
      bool lessThan = facts.holdsLessThan;
      if (followEntities && !facts.unparsed) {
        Analyse(facts);
        external = facts.reachesExternal;
        lessThan = facts.reachesLessThan;
      }
      auto other = [&] { return KTString(facts.problemName); };
      if (facts.unparsed) {
        reason = u"the unparsed entity " + name() + u" may not be referenced";  // WFC Parsed Entity
      } else if (followEntities && facts.problem == EntityFacts::kRecursive) {
        // WFC No Recursion: the message names the entity the cycle leads
        // back to and the one whose text closes it.
        reason = u"the entity " + KTString(facts.cycleName) + u" refers to itself through " + other();
        if (facts.cycleName != ref.body)
          reason += u", referenced through " + name();
      } else if (followEntities && facts.problem == EntityFacts::kUndeclared) {
        reason = u"the entity " + other() + u", referenced through " + name() + u", is not declared";
      } else if (followEntities && facts.problem == EntityFacts::kUnparsed) {
        reason = u"the unparsed entity " + other() + u", referenced through " + name() + u", may not be referenced";
      } else if (place == Place::kAttributeValue && external) {
        reason = u"the external entity " + name() + u" may not be referenced in an attribute value";
      } else if (place == Place::kAttributeValue && lessThan) {
        reason = u"the entity " + name() + u" holds '<' and may not be referenced in an attribute value";
      } else if (bool inAttribute = false;
                 const EntityFacts* flawed = entityTexts_.TextFlaw(facts, place, followEntities, inAttribute)) {
        // The replacement text, or that of an entity it refers to, does not
        // fit where it is included.
        reason = u"the entity " + KTString(flawed->name);
        if (flawed != &facts)
          reason += u", referenced through " + name() + u",";
        reason += u" holds " + flawed->fit[inAttribute].flaw + u" and may not be referenced " +
                  (inAttribute ? u"in an attribute value" : u"in content");
      } else {
        if (place != Place::kContent)
          return true;
        if (followEntities && (facts.external || !facts.reachesLessThan)) {
          facts.passesInContent = true;  // NamespaceFlaw has nothing to find
          return true;
        }
        reason = NamespaceFlaw(facts, ref.body);
        if (reason.IsEmpty())
          return true;
      }
      failedAt = ref.at;
      return false;
    });
    if (reason.IsEmpty())
      return true;
    return FailInValue(node, value, failedAt, reason, elementText);
  }

  // Namespaces in XML 1.0 for the markup that a reference in content
  // includes, as if it stood in the document there: what no scope can mend
  // is known once per entity (KTEntityTextReader::Namespaces), the prefixes
  // it leaves open must be bound in the scope of this reference, and start
  // tags whose attributes use them must not then give two attributes one
  // expanded name. Empty when the markup fits; asked once the text is
  // well-formed in content.
  KTString NamespaceFlaw(EntityFacts& facts, View referenced) {
    if (facts.external || !facts.reachesLessThan)
      return KTString();  // no markup, here or in an entity it refers to
    NamespaceFit& fit = entityTexts_.Namespaces(facts, *this);
    auto entity = [&](const EntityFacts* holder) {
      KTString text = u"the entity " + KTString(holder->name);
      if (holder != &facts)
        text += u", referenced through " + KTString(referenced) + u",";
      return text;
    };
    if (fit.overAllowance)
      return entityTexts_.OverAllowance(referenced);
    if (fit.flawed != nullptr)
      return entity(fit.flawed) + u" holds " + fit.flaw + u" and may not be referenced in content";
    // Each reference checks every name the markup leaves open.
    if (fit.openNames > kMaxOpenNames && !entityTexts_.Charge(fit.openNames - kMaxOpenNames))
      return entityTexts_.OverAllowance(referenced);
    KTWorkCount::Add(fit.prefixes.size() + fit.tags.size());
    auto where = [&](const EntityFacts* holder) {
      return holder == &facts ? KTString(u" where it is referenced")
                              : u" where " + KTString(referenced) + u" is referenced";
    };
    if (fit.prefixIds.size() != fit.prefixes.size()) {
      fit.prefixIds.clear();
      for (const NamespaceFit::OpenPrefix* open : fit.prefixes)
        fit.prefixIds.push_back(prefixes_.Find(open->prefix));
    }
    for (size_t i = 0; i < fit.prefixes.size(); ++i) {
      if (Bound(fit.prefixIds[i]) != nullptr)
        continue;
      const NamespaceFit::OpenPrefix& open = *fit.prefixes[i];
      const KTString holds = open.element.empty() ? u" holds the name " + KTString(open.name)
                                                  : u" holds the start tag <" + KTString(open.element) +
                                                        u">, which gets the attribute " + DefaultedName(open.name);
      return entity(open.holder) + holds + u", whose prefix " + KTString(open.prefix) + u" is not declared" +
             where(open.holder) + u" (Namespaces in XML 1.0, NSC Prefix Declared)";
    }
    for (const NamespaceFit::OpenTag* tag : fit.tags) {
      scopedAttributes_ = tag->attributes;
      for (NamespaceFit::Attribute& a : scopedAttributes_)
        if (a.open)
          a.uri = *Bound(prefixes_.Find(a.prefix));  // bound: every open prefix passed above
      size_t first = 0;
      if (const size_t second = SharedExpandedName(scopedAttributes_, first); second != View::npos)
        return entity(tag->holder) + u" holds " +
               ExpandedNameFlaw(tag->element, scopedAttributes_[first], scopedAttributes_[second], where(tag->holder));
    }
    return KTString();
  }

  // Follows the references of the entity's replacement text, and of theirs,
  // once per entity: what it reaches is kept with it, so each literal is read
  // once however often its entity is referenced. Iterative, since chains of
  // entities may be long.
  void Analyse(EntityFacts& start) {
    if (start.state == EntityFacts::kDone)
      return;
    struct Frame {
      EntityFacts* entity;
      size_t next;  // where the scan of its literal goes on
    };
    std::vector<Frame> stack;
    uint64_t read = start.literal.size();  // the literals read, for KTWorkCount
    start.state = EntityFacts::kActive;
    start.reachesLessThan = start.holdsLessThan;
    start.reachesExternal = start.external;
    stack.push_back({&start, 0});
    while (!stack.empty()) {
      EntityFacts& entity = *stack.back().entity;
      View literal = entity.literal;
      const size_t at = FindReference(literal, stack.back().next);
      if (at == View::npos) {
        entity.state = EntityFacts::kDone;
        stack.pop_back();
        if (!stack.empty())
          Merge(*stack.back().entity, entity);
        continue;
      }
      // A '&' that starts no reference names no entity: the text is refused
      // for it where it is included (KTEntityTextReader::TextFlaw).
      Reference ref;
      size_t end = at + 1;
      const bool reference = ReadReference(literal, at, ref, end);
      stack.back().next = end;
      if (!reference || ref.isChar || IsPredefinedEntity(ref.body))
        continue;
      const View name = ref.body;
      auto found = entities_.find(name);
      if (found == entities_.end()) {
        if (entitiesMustBeDeclared_ && entity.problem == EntityFacts::kNone) {
          entity.problem = EntityFacts::kUndeclared;
          entity.problemName = name;
        }
        continue;
      }
      EntityFacts& next = found->second;
      if (next.state == EntityFacts::kActive) {
        if (entity.problem == EntityFacts::kNone) {
          entity.problem = EntityFacts::kRecursive;
          entity.problemName = entity.name;
          entity.cycleName = name;
        }
      } else if (next.state == EntityFacts::kDone) {
        Merge(entity, next);
      } else {
        next.state = EntityFacts::kActive;
        next.reachesLessThan = next.holdsLessThan;
        next.reachesExternal = next.external;
        stack.push_back({&next, 0});
        read += next.literal.size();
      }
    }
    KTWorkCount::Add(read);
  }

  static void Merge(EntityFacts& into, const EntityFacts& from) {
    into.reachesLessThan = into.reachesLessThan || from.reachesLessThan;
    into.reachesExternal = into.reachesExternal || from.reachesExternal;
    if (into.problem != EntityFacts::kNone)
      return;
    if (from.unparsed) {
      into.problem = EntityFacts::kUnparsed;
      into.problemName = from.name;
    } else if (from.problem != EntityFacts::kNone) {
      into.problem = from.problem;
      into.problemName = from.problemName;
      into.cycleName = from.cycleName;
    }
  }

  // Fails at the character `at` of the node's value, found in the node's
  // source range; at the node's start when the value is not found there.
  bool FailInValue(Site node, View value, size_t at, const KTString& reason, bool fromEnd = false) {
    int start = node.Start();
    int end = node.End();
    int offset = start;
    if (start >= 0 && end <= length_ && start <= end) {
      View range = text_.Range(start, end, scratch_);
      // An element's text stands right before its end tag, which holds no '&'.
      size_t found = fromEnd ? range.rfind(value) : range.find(value);
      if (found != View::npos)
        offset = start + static_cast<int>(found + at);
    }
    return Fail(text_, offset, reason, status_);
  }

  // The literal with its character references resolved, kept for the walk.
  // Most literals hold none and are used as they stand.
  View ReplacementText(View literal) {
    if (literal.find(u"&#") == View::npos)
      return literal;
    std::u16string& text = replacements_.emplace_back();
    size_t done = 0;
    ForEachReference(literal, [&](const Reference& ref) {
      if (!ref.isChar || ref.code < 0)
        return true;
      text.append(literal.substr(done, ref.at - done));
      done = ref.at + ref.body.size() + 2;
      if (ref.code >= 0x10000) {
        text += static_cast<char16_t>(0xD800 + ((ref.code - 0x10000) >> 10));
        text += static_cast<char16_t>(0xDC00 + ((ref.code - 0x10000) & 0x3FF));
      } else {
        text += static_cast<char16_t>(ref.code);
      }
      return true;
    });
    text.append(literal.substr(done));
    return text;
  }

  // The next '&' of a replacement text at or after `from` that starts a
  // reference: none is recognised inside CDATA sections, comments and
  // processing instructions (XML 1.0 §4.4).
  static size_t FindReference(View text, size_t from) {
    while (from < text.size()) {
      size_t at = text.find_first_of(u"&<", from);
      if (at == View::npos || text[at] == u'&')
        return at;
      View rest = text.substr(at);
      View close = rest.starts_with(u"<![CDATA[") ? View(u"]]>")
                   : rest.starts_with(u"<!--")    ? View(u"-->")
                   : rest.starts_with(u"<?")      ? View(u"?>")
                                                  : View();
      if (close.empty()) {
        from = at + 1;
        continue;
      }
      size_t end = text.find(close, at + 2);
      if (end == View::npos)
        return View::npos;
      from = end + close.size();
    }
    return View::npos;
  }

  // ---- Namespaces in XML 1.0 ----

  // Ends the scope of the namespace declarations of an element whose
  // subtree the walk has left.
  void Leave(const KTXNode* node) {
    if (scopes_.empty() || scopes_.back().element != node)
      return;
    for (size_t i = bindings_.size(); i > scopes_.back().mark; --i) {
      // A prefix keeps its entry, unbound, for the next element that binds it.
      const Binding& binding = bindings_[i - 1];
      prefixes_[binding.prefix].current = binding.previous;
      if (binding.owned)
        uris_.pop_back();
    }
    bindings_.resize(scopes_.back().mark);
    scopes_.pop_back();
  }

  // The namespace constraints of one element: its declarations first (they
  // bind for its own name and attributes), then its name, the names of its
  // attributes and their expanded names. Runs over the attributes that
  // CheckAttributeNames gathered, so the walk stays a single pass.
  bool CheckNamespaces(const KTXNode* element) {
    const size_t mark = bindings_.size();
    for (const KTXAttributeView& a : attributes_) {
      View name = a.name->View();
      if (!name.starts_with(kXmlnsName))
        continue;
      if (name.size() == 5) {
        if (!Declare(element, name, AttributeValue(a), a, View(), DeclaredPrefix(name, View())))
          return false;
      } else if (name[5] == u':') {
        if (!CheckQName(a, name) ||
            !Declare(element, name, AttributeValue(a), a, name.substr(6), DeclaredPrefix(name, name.substr(6))))
          return false;
      }
    }
    if (!defaultDeclarations_.empty() && !DeclareDefaults(element))
      return false;
    if (bindings_.size() > mark)
      scopes_.push_back({element, mark});

    View name = NameOf(element);
    if (!SeenAsQualified(name) && !CheckQName(element, name))
      return false;
    if (const PrefixOfName::Slot* used = UsedPrefix(name); used && !Bound(used->prefix))
      return FailUnbound(element, name, name.substr(0, used->colon));

    qualified_.clear();
    for (const KTXAttributeView& a : attributes_) {
      View attribute = a.name->View();
      if (!SeenAsQualified(attribute) && !CheckQName(a, attribute))
        return false;
      const PrefixOfName::Slot* used = UsedPrefix(attribute);
      if (used == nullptr || prefixes_[used->prefix].xmlns)
        continue;
      const View* uri = Bound(used->prefix);
      if (uri == nullptr)
        return FailUnbound(a, attribute, attribute.substr(0, used->colon));
      if (uri != &kUnknownUri) qualified_.push_back({*uri, attribute.substr(used->colon + 1), a, attribute, false});
    }
    if (!attributeDefaults_.empty() && !CheckDefaultedAttributes(element))
      return false;
    // One prefixed attribute, or none, cannot share its expanded name.
    return qualified_.size() < 2 || CheckExpandedNamesUnique();
  }

  // A prefixed attribute the internal subset defaults on an element name:
  // its name, where its colon stands and its prefix's index in prefixes_
  // (both unset for a name that is not a qualified name).
  struct AttributeDefault {
    View name;
    uint32_t prefix;
    uint32_t colon;
    bool qualified;
  };

  // The prefixed attributes the internal subset defaults on the element and
  // it does not give itself are held to the same constraints as those it
  // gives: their prefixes must be bound, and their expanded names join the
  // element's for NSC Attributes Unique. A refusal points at the element.
  bool CheckDefaultedAttributes(const KTXNode* element) {
    const std::vector<AttributeDefault>* defaults = AttributeDefaultsOf(element);
    if (defaults == nullptr)
      return true;
    const bool hashed = NoteGivenNames();
    for (const AttributeDefault& d : *defaults) {
      if (Gives(d.name, hashed))
        continue;
      KTString reason;
      if (!d.qualified) {
        reason.Format(u"the name %s of an attribute supplied by a default in the DTD is not a qualified name "
                      u"(Namespaces in XML 1.0 §3)",
                      KTString(d.name).c_str());
        return Fail(text_, element->GetStartOffset(), reason, status_);
      }
      const View* uri = Bound(d.prefix);
      if (uri == nullptr) {
        reason.Format(u"the prefix %s of %s is not declared (Namespaces in XML 1.0, NSC Prefix Declared)",
                      KTString(d.name.substr(0, d.colon)).c_str(), DefaultedName(d.name).c_str());
        return Fail(text_, element->GetStartOffset(), reason, status_);
      }
      if (uri != &kUnknownUri) qualified_.push_back({*uri, d.name.substr(d.colon + 1), element, d.name, true});
    }
    return true;
  }

  // The element's prefixed attribute defaults, found once per element name
  // (by the interned name's address) and kept with their prefixes' indices.
  const std::vector<AttributeDefault>* AttributeDefaultsOf(const KTXNode* element) {
    const View name = NameOf(element);
    auto [at, added] = defaultsByName_.try_emplace(name.data());
    if (!added)
      return at->second.empty() ? nullptr : &at->second;
    auto found = attributeDefaults_.find(name);
    if (found == attributeDefaults_.end())
      return nullptr;
    for (const DefaultDeclaration& d : found->second) {
      AttributeDefault entry{d.name, 0, 0, IsQualifiedName(d.name)};
      if (entry.qualified) {
        entry.colon = static_cast<uint32_t>(d.name.find(u':'));
        entry.prefix = prefixes_.Find(d.name.substr(0, entry.colon));
      }
      at->second.push_back(entry);
    }
    return &at->second;
  }

  // Gets Gives ready for the element's attributes: true when it looks them
  // up in names_ (many attributes), false when it compares them one by one.
  bool NoteGivenNames() {
    if (attributes_.size() <= kPairwiseAttributeLimit)
      return false;
    ClearForReuse(names_, attributes_.size());
    for (const KTXAttributeView& a : attributes_)
      names_.insert(a.name->View());
    return true;
  }

  // Whether the element gives the attribute itself.
  bool Gives(View name, bool hashed) const {
    if (hashed)
      return names_.count(name) != 0;
    for (const KTXAttributeView& a : attributes_)
      if (a.name->View() == name)
        return true;
    return false;
  }

  static View AttributeValue(const KTXAttributeView& attribute) { return attribute.value->View(); }

  // The prefix a namespace declaration binds, by its index in prefixes_;
  // remembered per interned attribute name (from NameOf).
  uint32_t DeclaredPrefix(View name, View prefix) {
    PrefixOfName::Slot& slot = declaredPrefixes_.At(name.data());
    if (slot.text != name.data()) {
      slot.prefix = prefixes_.Find(prefix);
      slot.text = name.data();
    }
    return slot.prefix;
  }

  // The prefix of a qualified element or attribute name (one from NameOf
  // that passed CheckQName) and where its colon stands; null for a name
  // without a colon.
  // True when UsedPrefix remembers the name: it is asked only of names that
  // passed CheckQName, so the check need not run again.
  bool SeenAsQualified(View name) { return usedPrefixes_.At(name.data()).text == name.data(); }

  const PrefixOfName::Slot* UsedPrefix(View name) {
    PrefixOfName::Slot& slot = usedPrefixes_.At(name.data());
    if (slot.text == name.data())
      return slot.prefix == PrefixOfName::kNoPrefix ? nullptr : &slot;
    const size_t colon = name.find(u':');
    if (colon == View::npos) {
      // Remembered too: most elements of a document carry a name without a
      // prefix, and each would otherwise be searched again.
      slot = {name.data(), PrefixOfName::kNoPrefix, 0};
      return nullptr;
    }
    slot = {name.data(), prefixes_.Find(name.substr(0, colon)), static_cast<uint32_t>(colon)};
    return &slot;
  }

  // Namespaces in XML 1.0 §3: a name with a colon is a prefix and a local
  // part, each an NCName.
  // The names come from NameOf: interned, so a name found good once is known
  // by its address.
  bool CheckQName(Site node, View name) {
    if (qualifiedNames_.Has(name.data()))
      return true;
    if (IsQualifiedName(name)) {
      qualifiedNames_.Add(name.data());
      return true;
    }
    KTString reason;
    reason.Format(u"the name %s is not a qualified name (Namespaces in XML 1.0 §3)", KTString(name).c_str());
    return Fail(text_, NameOffset(node), reason, status_);
  }

  // Binds the prefix (empty: the default namespace) that the declaration
  // `attribute` names, after NSC Reserved Prefixes and Namespace Names and
  // NSC No Prefix Undeclaring.
  // `at` is the node a refusal points to: the attribute, or the element
  // when the declaration is a default.
  // `entry` is the prefix's index in prefixes_.
  bool Declare(const KTXNode* element, View attribute, View value, Site at, View prefix, uint32_t entry) {
    View uri;
    KTString problem = Judge(View(element->GetName()), attribute, value, prefix, uri);
    if (!problem.IsEmpty())
      return Fail(text_, at.Start(), problem, status_);
    // A URI that is the attribute's own value, as written, lives as long as
    // the tree; one resolved or collapsed here is kept in uris_.
    const bool owned = at.Node() == element || uri.data() != value.data();
    if (owned) {
      uris_.emplace_back(uri);
      uri = uris_.back().View();
    }
    PrefixTable::Entry& bound = prefixes_[entry];
    bindings_.push_back({uri, bound.current, entry, owned});
    bound.current = static_cast<int32_t>(bindings_.size() - 1);
    return true;
  }

  // The URI a namespace declaration binds its prefix to, after the rules of
  // Namespaces in XML 1.0 on reserved prefixes and names and on undeclaring:
  // the reason it may not stand, empty when it may. For the document's own
  // declarations and for those of markup in replacement texts.
  KTString Judge(View element, View attribute, View value, View prefix, View& uri) override {
    static constexpr View kXmlUri = u"http://www.w3.org/XML/1998/namespace";
    static constexpr View kXmlnsUri = u"http://www.w3.org/2000/xmlns/";
    KTString reason;
    uri = ResolveAttributeValue(value);
    if (budget_ == 0) {
      reason.Format(u"the namespace name declared by %s expands through entities to more than %d characters",
                    KTString(attribute).c_str(), static_cast<int>(kMaxUriResolveSteps));
      return reason;
    }
    if (!declarationTypes_.empty() && IsTokenized(element, attribute))
      uri = CollapseSpaces(uri);
    const char16_t* problem = nullptr;
    if (prefix == kXmlnsName)
      problem = u"the prefix xmlns may not be declared";
    else if (prefix == kXmlName && uri != kXmlUri)
      problem = u"the prefix xml may be bound to http://www.w3.org/XML/1998/namespace only";
    else if (prefix != kXmlName && uri == kXmlUri)
      problem = u"only the prefix xml may be bound to http://www.w3.org/XML/1998/namespace";
    else if (uri == kXmlnsUri)
      problem = u"no prefix may be bound to http://www.w3.org/2000/xmlns/";
    if (problem) {
      reason.Format(u"%s (Namespaces in XML 1.0, NSC Reserved Prefixes and Namespace Names)", problem);
    } else if (uri.empty() && !prefix.empty()) {
      reason.Format(u"the declaration xmlns:%s=\"\" unbinds a prefix, which XML 1.0 does not allow "
                    u"(Namespaces in XML 1.0, NSC No Prefix Undeclaring)",
                    KTString(prefix).c_str());
    }
    return reason;
  }

  const std::vector<DefaultDeclaration>* AttributeDefaultsFor(View element) override {
    if (attributeDefaults_.empty())
      return nullptr;
    auto found = attributeDefaults_.find(element);
    return found == attributeDefaults_.end() ? nullptr : &found->second;
  }

  const std::vector<DefaultDeclaration>* DefaultsFor(View element) override {
    if (defaultDeclarations_.empty())
      return nullptr;
    auto found = defaultDeclarations_.find(element);
    return found == defaultDeclarations_.end() ? nullptr : &found->second;
  }

  // The URI the prefix (its index in prefixes_) is bound to in the scope of
  // the element being checked; null when none is (xml is always bound).
  const View* Bound(uint32_t entry) {
    static constexpr View kXmlUri = u"http://www.w3.org/XML/1998/namespace";
    const PrefixTable::Entry& found = prefixes_[entry];
    if (found.current >= 0)
      return &bindings_[found.current].uri;
    if (found.prefix == kXmlName)
      return &kXmlUri;
    // An external parsed entity takes its bindings from where it is used.
    return prefixesMustBeDeclared_ ? nullptr : &kUnknownUri;
  }
  // The URI of a prefix bound where this walk cannot see it: attributes
  // with such prefixes are not compared by expanded name.
  static constexpr View kUnknownUri = u"";

  bool FailUnbound(Site node, View name, View prefix) {
    KTString reason;
    reason.Format(u"the prefix %s of %s is not declared (Namespaces in XML 1.0, NSC Prefix Declared)",
                  KTString(prefix).c_str(), KTString(name).c_str());
    return Fail(text_, NameOffset(node), reason, status_);
  }

  // NSC Attributes Unique: no two attributes of an element share a local
  // name and a namespace URI.
  bool CheckExpandedNamesUnique() {
    const Qualified* twice = nullptr;
    const Qualified* first = nullptr;
    if (qualified_.size() <= kPairwiseAttributeLimit) {
      for (size_t i = 1; i < qualified_.size() && !twice; ++i)
        for (size_t j = 0; j < i && !twice; ++j)
          if (qualified_[i].local == qualified_[j].local && qualified_[i].uri == qualified_[j].uri) {
            twice = &qualified_[i];
            first = &qualified_[j];
          }
    } else {
      ClearForReuse(expanded_, qualified_.size());
      for (const Qualified& q : qualified_) {
        auto [at, added] = expanded_.emplace(ExpandedKey(q), &q);
        if (!added) {
          twice = &q;
          first = at->second;
          break;
        }
      }
    }
    if (twice == nullptr)
      return true;
    auto named = [](const Qualified& q) { return q.defaulted ? DefaultedName(q.name) : KTString(q.name); };
    KTString reason;
    reason.Format(u"the attributes %s and %s have one expanded name {%s}%s (Namespaces in XML 1.0, NSC Attributes "
                  u"Unique)",
                  named(*first).c_str(), named(*twice).c_str(), KTString(twice->uri).c_str(),
                  KTString(twice->local).c_str());
    return Fail(text_, twice->attribute.Start(), reason, status_);
  }

  struct Qualified {
    View uri;
    View local;
    Site attribute;  // the element, for an attribute supplied by a default
    View name;
    bool defaulted;
  };


  static std::u16string ExpandedKey(const Qualified& q) {
    std::u16string key(q.uri);
    key += u'\0';
    key += q.local;
    return key;
  }

  // Records whether an attribute-list declaration gives a namespace
  // declaration attribute a tokenized type (XML 1.0 §3.3.3: its value then
  // loses leading and trailing spaces and runs of spaces become one). Only
  // declarations the tree holds, those of the internal subset, are seen;
  // the first declaration of an attribute binds (§3.3).
  void NoteDeclarationType(const KTXNode* namePart) {
    View attribute(namePart->GetValue());
    if (attribute != u"xmlns" && !attribute.starts_with(u"xmlns:")) {
      if (attribute.find(u':') != View::npos)
        NoteAttributeDefault(namePart, attribute);
      return;
    }
    const KTXNode* definition = namePart->GetParent();
    const auto* typePart = dynamic_cast<const KTDoctypeAttlistNode*>(namePart->GetNextSibling());
    if (definition == nullptr || typePart == nullptr)
      return;
    const int type = typePart->GetPart();
    const bool tokenized = type > kAttlistTypeCDATA && type <= kAttlistTypeEnum;
    if (!declarationTypes_.emplace(DeclarationKey(definition->GetName(), attribute), tokenized).second)
      return;
    // A default value declares the namespace on every element of that name
    // that does not give the attribute itself (XML 1.0 §5.1: defaults of the
    // internal subset are supplied by every processor).
    if (const KTXNode* part = DefaultPartAfter(typePart))
      defaultDeclarations_[View(definition->GetName())].push_back({attribute, View(part->GetValue())});
  }

  // The default value part of one attribute definition, searched from the
  // part after `from` up to the next definition's name; null for #REQUIRED
  // and #IMPLIED.
  static const KTXNode* DefaultPartAfter(const KTXNode* from) {
    for (const KTXNode* n = from->GetNextSibling(); n; n = n->GetNextSibling()) {
      const auto* part = dynamic_cast<const KTDoctypeAttlistNode*>(n);
      if (part == nullptr || part->GetPart() == kAttlistName)
        return nullptr;
      if (part->GetPart() == kAttlistDefault)
        return part;
    }
    return nullptr;
  }

  // Records the default (plain or #FIXED) that an attribute-list
  // declaration of the internal subset gives a prefixed attribute other than
  // a namespace declaration: every element of that name that does not give
  // the attribute gets it (XML 1.0 §5.1), and Namespaces in XML 1.0 then
  // holds for it. The first declaration of an attribute binds (§3.3).
  void NoteAttributeDefault(const KTXNode* namePart, View attribute) {
    const KTXNode* definition = namePart->GetParent();
    if (definition == nullptr || !attributeDeclared_.insert(DeclarationKey(definition->GetName(), attribute)).second)
      return;
    if (const KTXNode* part = DefaultPartAfter(namePart))
      attributeDefaults_[View(definition->GetName())].push_back({attribute, View(part->GetValue())});
  }

  // Binds the namespace declarations the internal subset supplies as
  // defaults to the element, those it does not give itself.
  bool DeclareDefaults(const KTXNode* element) {
    auto found = defaultDeclarations_.find(View(element->GetName()));
    if (found == defaultDeclarations_.end())
      return true;
    const bool hashed = NoteGivenNames();
    for (const DefaultDeclaration& d : found->second) {
      if (Gives(d.name, hashed))
        continue;
      View prefix = d.name.size() == 5 ? View() : d.name.substr(6);
      if (!Declare(element, d.name, d.value, element, prefix, prefixes_.Find(prefix)))
        return false;
    }
    return true;
  }

  bool IsTokenized(View element, View attribute) const {
    auto found = declarationTypes_.find(DeclarationKey(element, attribute));
    return found != declarationTypes_.end() && found->second;
  }

  static std::u16string DeclarationKey(View element, View attribute) {
    std::u16string key(element);
    key += u'\0';
    key += attribute;
    return key;
  }

  View CollapseSpaces(View value) {
    collapsed_.clear();
    for (char16_t c : value) {
      if (c == u' ' && (collapsed_.empty() || collapsed_.back() == u' '))
        continue;
      collapsed_ += c;
    }
    if (!collapsed_.empty() && collapsed_.back() == u' ')
      collapsed_.pop_back();
    return collapsed_;
  }

  // Where the name of an element (after its '<') or an attribute starts.
  int NameOffset(Site node) const {
    int start = node.Start();
    if (node.IsElement() && start >= 0 && start < length_ && text_.At(start) == u'<')
      ++start;
    return start;
  }

  // The value of an attribute as its namespace declaration binds it (XML 1.0
  // §3.3.3 for CDATA): character references and the predefined and internal
  // entities resolved, white-space characters as spaces. Most values hold
  // none of these and are returned as they stand.
  View ResolveAttributeValue(View raw) {
    budget_ = kMaxUriResolveSteps;
    // Only '&' and the line and tab characters change a value; all lie at or
    // below '&', so most characters are passed by one compare.
    bool plain = true;
    for (char16_t c : raw)
      if (c <= u'&' && (c == u'&' || c == u'\t' || c == u'\n' || c == u'\r')) {
        plain = false;
        break;
      }
    if (plain)
      return raw;
    resolved_.clear();
    if (!AppendResolved(raw, 0))
      return {};
    return resolved_;
  }

  // Entity texts are followed this deep at most in a namespace URI; deeper
  // nesting is left as written (the entity checks report real cycles).
  static constexpr int kMaxUriEntityDepth = 16;
  // Characters copied plus entities entered while one value is resolved:
  // nested entities could otherwise expand a short value exponentially.
  static constexpr size_t kMaxUriResolveSteps = size_t{1} << 20;

  // False when the value needs more than kMaxUriResolveSteps steps.
  bool AppendResolved(View raw, int depth) {
    for (size_t i = 0; i < raw.size(); ++i) {
      if (budget_ == 0)
        return false;
      --budget_;
      char16_t c = raw[i];
      if (c == u'\r') {
        if (i + 1 < raw.size() && raw[i + 1] == u'\n')
          ++i;
        resolved_ += u' ';
        continue;
      }
      if (c == u'\t' || c == u'\n') {
        resolved_ += u' ';
        continue;
      }
      size_t end = c == u'&' ? raw.find(u';', i + 1) : View::npos;
      if (end == View::npos) {
        resolved_ += c;
        continue;
      }
      View body = raw.substr(i + 1, end - i - 1);
      if (!body.empty() && body[0] == u'#') {
        long code = CharacterCode(body);
        if (code >= 0x10000) {
          resolved_ += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
          resolved_ += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else if (code >= 0) {
          resolved_ += static_cast<char16_t>(code);
        }
      } else if (body == u"amp") {
        resolved_ += u'&';
      } else if (body == u"lt") {
        resolved_ += u'<';
      } else if (body == u"gt") {
        resolved_ += u'>';
      } else if (body == u"apos") {
        resolved_ += u'\'';
      } else if (body == u"quot") {
        resolved_ += u'"';
      } else {
        auto found = entities_.find(body);
        if (found == entities_.end() || found->second.external || depth >= kMaxUriEntityDepth)
          resolved_.append(raw.substr(i, end - i + 1));
        else if (!AppendResolved(found->second.literal, depth + 1))
          return false;
      }
      i = end;
    }
    return true;
  }

  size_t budget_ = kMaxUriResolveSteps;
  // The document's text; behind a large document's build it may be kept one
  // byte a character (ktsourcetext.h), so it is read through its accessors.
  const KTSourceText& text_;
  int length_;
  std::u16string scratch_;  // a range of the text copied out for a search
  KTLoadStatus& status_;
  bool prefixesMustBeDeclared_ = true;
  // The prefixes met, each with its innermost binding; the bindings of the
  // open scopes, in order, each with the one it hides; the elements whose
  // scopes are open. URIs that are not an attribute's value as written live
  // in uris_ (a deque, so views of them stay valid).
  PrefixTable prefixes_;
  struct Binding {
    View uri;
    int32_t previous;  // the binding of the same prefix it hides, -1 when none
    uint32_t prefix;   // its index in prefixes_
    bool owned;        // its URI is in uris_
  };
  std::vector<Binding> bindings_;
  PrefixOfName declaredPrefixes_{length_};  // by a declaration's name: the prefix it binds
  PrefixOfName usedPrefixes_{length_};      // by a qualified name: its prefix and colon
  struct Scope {
    const KTXNode* element;
    size_t mark;
  };
  std::vector<Scope> scopes_;
  std::deque<KTString> uris_;
  std::u16string resolved_;
  std::u16string collapsed_;
  // (element name, NUL, attribute name) → tokenized, for namespace
  // declaration attributes the internal subset declares.
  std::unordered_map<std::u16string, bool> declarationTypes_;
  // Element name → the namespace declarations the internal subset defaults.
  std::unordered_map<View, std::vector<DefaultDeclaration>> defaultDeclarations_;
  // Element name → the prefixed attributes other than namespace
  // declarations that the internal subset defaults; (element name, NUL,
  // attribute name) of each such attribute declared, for the first to bind;
  // by an element name's interned address, its defaults as the walk uses
  // them (empty when none).
  std::unordered_map<View, std::vector<DefaultDeclaration>> attributeDefaults_;
  std::unordered_set<std::u16string> attributeDeclared_;
  std::unordered_map<const char16_t*, std::vector<AttributeDefault>> defaultsByName_;
  std::vector<Qualified> qualified_;
  std::unordered_map<std::u16string, const Qualified*> expanded_;
  bool standalone_ = false;
  bool entitiesMustBeDeclared_ = true;
  // Run's referencesOnly: elements have only their references checked.
  bool referencesOnly_ = false;
  // The parsed text holds no '&' (KTCheckDocumentCharacters found none), so
  // no value of an element, attribute or text read from it holds a
  // reference: those values are not searched for one. Declarations keep
  // their checks.
  bool valuesHoldNoReference_ = false;
  // Declarations in the tree stand in a document's internal subset, not in
  // a DTD of its own.
  bool internalSubset_ = false;
  EntityTable entities_;
  KTEntityTextReader entityTexts_{entities_};
  std::vector<NamespaceFit::Attribute> scopedAttributes_;  // an open start tag's, as one reference binds them
  std::deque<std::u16string> replacements_;
  // Reused for every element, so the walk allocates nothing per element.
  std::vector<KTXAttributeView> attributes_;  // of the element being checked
  bool attributesPending_ = false;            // they are its pending attributes
  std::vector<const char16_t*> seen_;  // interned attribute names of one element
  CheckedNames goodNames_{length_};              // element and attribute names without a bad character
  CheckedNames qualifiedNames_{length_};         // element and attribute names that are qualified names
  std::unordered_set<View> names_;      // its attribute names, for declared defaults
};

}  // namespace

namespace {

// Units checked at once: a block whose units all lie in U+0020..U+D7FF or
// are tabs and line ends (the bulk of any text) needs no look at each one. Two vectors of eight units
// are tested with no branch per unit. A block holding a unit sought (an '&'
// with kSeekAmpersand, a CR with kSeekCr) is not plain either, so that the
// unit-by-unit path notes it.
constexpr int kPlainBlock = 16;
constexpr char16_t kAmpersand = u'&';
constexpr char16_t kCarriageReturn = u'\r';
typedef std::uint16_t EightUnits __attribute__((vector_size(16)));

// What a scan looks for besides the characters XML refuses.
constexpr int kSeekAmpersand = 1;
constexpr int kSeekCr = 2;

template <int kSeek>
bool IsPlainBlock(const char16_t* units) {
  EightUnits low;
  EightUnits high;
  std::memcpy(&low, units, sizeof low);
  std::memcpy(&high, units + 8, sizeof high);
  // A unit below U+0020 wraps round to a large value here; tab, line feed
  // and carriage return, allowed everywhere, are taken back out, so that
  // indented text stays on this path.
  constexpr std::uint16_t kSpace = 0x20;
  constexpr std::uint16_t kAboveSpace = 0xD800 - 0x20;
  auto oddLow = ((low - kSpace) >= kAboveSpace) & (low != 0x9) & (low != 0xA) & (low != 0xD);
  auto oddHigh = ((high - kSpace) >= kAboveSpace) & (high != 0x9) & (high != 0xA) & (high != 0xD);
  auto odd = oddLow | oddHigh;
  if constexpr ((kSeek & kSeekAmpersand) != 0)
    odd |= (low == kAmpersand) | (high == kAmpersand);
  if constexpr ((kSeek & kSeekCr) != 0)
    odd |= (low == kCarriageReturn) | (high == kCarriageReturn);
  std::uint64_t words[2];
  std::memcpy(words, &odd, sizeof words);
  return (words[0] | words[1]) == 0;
}

// The common case of IsPlainBlock in fewer steps: every unit is a line feed
// or lies in U+0020..U+7FFF, read as signed (one compare for the range). A
// block with a tab, a CR or a wider unit goes on to IsPlainBlock.
typedef std::int16_t EightSignedUnits __attribute__((vector_size(16)));

template <int kSeek>
bool IsNarrowPlainBlock(const char16_t* units) {
  EightSignedUnits low;
  EightSignedUnits high;
  std::memcpy(&low, units, sizeof low);
  std::memcpy(&high, units + 8, sizeof high);
  auto plainLow = (low > 0x1F) | (low == 0xA);
  auto plainHigh = (high > 0x1F) | (high == 0xA);
  auto plain = plainLow & plainHigh;
  if constexpr ((kSeek & kSeekAmpersand) != 0)
    plain &= (low != kAmpersand) & (high != kAmpersand);
  std::uint64_t words[2];
  std::memcpy(words, &plain, sizeof words);
  return (words[0] & words[1]) == ~std::uint64_t{0};
}

// IsNarrowPlainBlock over four vectors of eight units at once, with one test
// at the end: long runs of plain text go by a few steps for 32 units.
constexpr int kNarrowRun = 32;

template <int kSeek>
bool IsNarrowPlainRun(const char16_t* units) {
  EightSignedUnits a;
  EightSignedUnits b;
  EightSignedUnits c;
  EightSignedUnits d;
  std::memcpy(&a, units, sizeof a);
  std::memcpy(&b, units + 8, sizeof b);
  std::memcpy(&c, units + 16, sizeof c);
  std::memcpy(&d, units + 24, sizeof d);
  auto plain = ((a > 0x1F) | (a == 0xA)) & ((b > 0x1F) | (b == 0xA)) & ((c > 0x1F) | (c == 0xA)) &
               ((d > 0x1F) | (d == 0xA));
  if constexpr ((kSeek & kSeekAmpersand) != 0)
    plain &= (a != kAmpersand) & (b != kAmpersand) & (c != kAmpersand) & (d != kAmpersand);
  std::uint64_t words[2];
  std::memcpy(words, &plain, sizeof words);
  return (words[0] & words[1]) == ~std::uint64_t{0};
}

// The scan from `i`. With units to seek it stops after the block that holds
// the first of them (its kind added to `found`), so that the caller goes on
// with a scan that seeks only what is still unknown.
template <int kSeek>
bool ScanCharacters(const char16_t* text, int length, int& i, int& found, KTLoadStatus& status) {
  while (i < length) {
    while (length - i >= kNarrowRun && IsNarrowPlainRun<kSeek>(text + i))
      i += kNarrowRun;
    if (length - i >= kPlainBlock &&
        (IsNarrowPlainBlock<kSeek>(text + i) || IsPlainBlock<kSeek>(text + i))) {
      i += kPlainBlock;
      continue;
    }
    // A block with a line end or a wider character: each unit on its own (a
    // surrogate pair may reach past the block's end).
    int blockEnd = std::min(length, i + kPlainBlock);
    for (; i < blockEnd; ++i) {
      char16_t c = text[i];
      if (c >= 0x20 && c < 0xD800) {
        if ((kSeek & kSeekAmpersand) != 0 && c == kAmpersand)
          found |= kSeekAmpersand;
        continue;
      }
      KTString reason;
      if (c < 0x20) {
        if (c == 0xD) {
          if constexpr ((kSeek & kSeekCr) != 0)
            found |= kSeekCr;
          continue;
        }
        if (c == 0x9 || c == 0xA)
          continue;
        reason.Format(u"the character U+%04X is not allowed in XML", static_cast<unsigned>(c));
      } else if (c >= 0xD800 && c <= 0xDBFF) {
        if (i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
          ++i;
          continue;
        }
        reason.Format(u"the surrogate U+%04X stands without its pair", static_cast<unsigned>(c));
      } else if (c >= 0xDC00 && c <= 0xDFFF) {
        reason.Format(u"the surrogate U+%04X stands without its pair", static_cast<unsigned>(c));
      } else if (c == 0xFFFE || c == 0xFFFF) {
        reason.Format(u"the character U+%04X is not allowed in XML", static_cast<unsigned>(c));
      } else {
        continue;
      }
      return Fail(text, length, i, reason, status);
    }
    if ((found & kSeek) != 0)
      return true;
  }
  return true;
}

}  // namespace

bool KTCheckDocumentCharacters(const char16_t* text, int length, KTLoadStatus& status, bool* holdsAmpersand,
                               bool* holdsCarriageReturn) {
  int i = 0;
  int found = 0;
  // Each scan seeks what is still unknown: once a unit sought is found, the
  // rest of the text is scanned by the variant that no longer seeks it.
  int seek = (holdsAmpersand ? kSeekAmpersand : 0) | (holdsCarriageReturn ? kSeekCr : 0);
  bool ok = true;
  while (ok) {
    seek &= ~found;
    if (seek == (kSeekAmpersand | kSeekCr))
      ok = ScanCharacters<kSeekAmpersand | kSeekCr>(text, length, i, found, status);
    else if (seek == kSeekAmpersand)
      ok = ScanCharacters<kSeekAmpersand>(text, length, i, found, status);
    else if (seek == kSeekCr)
      ok = ScanCharacters<kSeekCr>(text, length, i, found, status);
    else
      ok = ScanCharacters<0>(text, length, i, found, status);
    if (i >= length)
      break;
  }
  if (!ok)
    return false;
  if (holdsAmpersand)
    *holdsAmpersand = (found & kSeekAmpersand) != 0;
  if (holdsCarriageReturn)
    *holdsCarriageReturn = (found & kSeekCr) != 0;
  return true;
}

bool KTCheckWellFormedTree(const KTSourceText& text, const KTXNode* document, KTLoadStatus& status,
                           bool referencesOnly, bool textHoldsAmpersand) {
  if (document == nullptr)
    return true;
  TreeChecker checker(text, status);
  return checker.Run(document, referencesOnly, textHoldsAmpersand);
}

bool KTCheckWellFormedTree(const char16_t* text, int length, const KTXNode* document, KTLoadStatus& status) {
  return KTCheckWellFormedTree(KTSourceText(text, length), document, status);
}
