// Well-formedness checks around a parse: a scan of the text for characters
// XML does not allow, and one walk of the built tree for attributes given
// twice and for character and entity references that XML 1.0 forbids.
#include "xml/ktdocwellformed.h"

#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/ktstring.h"
#include "platform/ktresources.h"
#include "xml/ktloadstatus.h"
#include "xml/ktxdoctype.h"
#include "xml/ktxnode.h"
#include "xml/ktxnodecheck.h"

namespace {

using View = std::u16string_view;

// Up to this many attributes an element's names are compared pair by pair;
// more go through a hash set, so the check stays linear however many there are.
constexpr size_t kPairwiseAttributeLimit = 8;

// XML 1.0 §2.2 Char.
bool IsXmlChar(long c) {
  if (c < 0x20)
    return c == 0x9 || c == 0xA || c == 0xD;
  return (c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// XML 1.0 (fifth edition) §2.3 NameStartChar and NameChar above U+00FF; the
// grammars' character classes hold every character above U+00FF as one, so
// the finer ranges are checked here.
bool IsWideNameStartChar(long c) {
  return (c >= 0x100 && c <= 0x2FF) || (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
         c == 0x200C || c == 0x200D || (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) ||
         (c >= 0x3001 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0xEFFFF);
}

bool IsWideNameChar(long c) {
  return IsWideNameStartChar(c) || (c >= 0x300 && c <= 0x36F) || c == 0x203F || c == 0x2040;
}

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

// 1-based line and column of an offset; CR, LF and CR LF each end a line.
void LineAndColumn(const char16_t* text, int length, int offset, int& line, int& column) {
  line = 1;
  int lineStart = 0;
  if (offset > length)
    offset = length;
  for (int i = 0; i < offset; ++i) {
    if (text[i] == u'\n' || (text[i] == u'\r' && (i + 1 >= length || text[i + 1] != u'\n'))) {
      ++line;
      lineStart = i + 1;
    }
  }
  column = offset - lineStart + 1;
}

bool Fail(const char16_t* text, int length, int offset, const KTString& reason, KTLoadStatus& status) {
  int line = 0;
  int column = 0;
  if (offset >= 0)
    LineAndColumn(text, length, offset, line, column);
  KTString message;
  message.Format(u"line %d, column %d: %s", line, column, reason.c_str());
  status.SetError(KTLoadStatus::kParse, KTLoadStatus::kParseFailed);
  status.SetMessage(message);
  status.SetPosition(line, column);
  return false;
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
long CharacterCode(View body) {
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

// Calls f(reference) for each reference of the value, in order, until f
// returns false. A '&' without its ';' is left alone: the grammar has
// already refused such a text.
template <typename F>
bool ForEachReference(View value, F f) {
  for (size_t at = value.find(u'&'); at != View::npos; at = value.find(u'&', at + 1)) {
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

bool IsPredefinedEntity(View name) {
  return name == u"amp" || name == u"lt" || name == u"gt" || name == u"apos" || name == u"quot";
}

// What the walk knows of a declared general entity: its own declaration, and
// once a reference needs it, what its replacement text reaches through the
// entities it refers to in turn.
struct EntityFacts {
  View name;
  View literal;  // the replacement text as written, without its quotes
  bool external = false;
  bool unparsed = false;
  bool holdsLessThan = false;  // its literal holds '<', written or as a character reference

  enum State { kNew, kActive, kDone } state = kNew;
  enum Problem { kNone, kRecursive, kUndeclared, kUnparsed } problem = kNone;
  View problemName;             // the entity the problem is about
  bool reachesLessThan = false;  // here or in an entity referred to
  bool reachesExternal = false;
};

const char16_t* const kParameterReferenceInside =
    u"a parameter-entity reference may not stand inside a declaration in the internal subset";

enum class Place { kContent, kAttributeValue, kEntityValue };

class TreeChecker {
 public:
  TreeChecker(const char16_t* text, int length, KTLoadStatus& status)
      : text_(text), length_(length), status_(status) {}

  bool Run(const KTXNode* document) {
    // WFC Entity Declared binds a document without a DTD, with only an
    // internal subset free of parameter-entity references, or standalone.
    entitiesMustBeDeclared_ = document->GetKind() == kXmlDocument;
    internalSubset_ = document->GetKind() == kXmlDocument;
    // Iterative walk in document order: trees may be thousands of levels deep.
    const KTXNode* node = document->GetFirstChild();
    while (node != nullptr) {
      if (!Visit(node))
        return false;
      if (const KTXNode* child = node->GetFirstChild()) {
        node = child;
        continue;
      }
      while (node != nullptr && node != document && node->GetNextSibling() == nullptr)
        node = node->GetParent();
      node = (node == nullptr || node == document) ? nullptr : node->GetNextSibling();
    }
    return true;
  }

 private:
  bool Visit(const KTXNode* node) {
    const KTXNode* parent = node->GetParent();
    const int parentKind = parent ? parent->GetKind() : -1;
    if (!CheckName(node, parentKind))
      return false;
    switch (node->GetKind()) {
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
        // A default is checked against the entities declared before it only
        // (XML 1.0 §4.1): entities it reaches are looked at where it is used.
        if (const auto* part = dynamic_cast<const KTDoctypeAttlistNode*>(node)) {
          if (part->GetPart() == kAttlistDefault || part->GetPart() == kAttlistFixed)
            return CheckValue(node, Place::kAttributeValue, false, false);
          if (part->GetPart() == kAttlistWhole)
            return true;  // held as written, literals and all
        }
        return CheckNoParameterReference(node);
      case kElement:
        return CheckAttributeNames(node) && CheckValue(node, Place::kContent, true);
      case kAttribute:
        return parentKind != kElement || CheckValue(node, Place::kAttributeValue, false);
      case kText:
        // Content: in an element, or at the top of an external parsed entity.
        if (parentKind != kElement && parentKind != kXmlEntity)
          return true;
        return CheckValue(node, Place::kContent, false);
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
      size_t at = View(text_ + offset, static_cast<size_t>(end - offset)).find(u'%');
      if (at != View::npos)
        offset += static_cast<int>(at);
    }
    return Fail(text_, length_, offset, KTString(kParameterReferenceInside), status_);
  }

  // The names of elements, attributes, processing-instruction targets and
  // declarations, against the name characters above U+00FF.
  bool CheckName(const KTXNode* node, int parentKind) {
    View name;
    switch (node->GetKind()) {
      case kElement:
      case kAttribute:
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
        break;
    }
    size_t bad = BadNameCharacter(name);
    if (bad == View::npos)
      return true;
    KTString reason;
    reason.Format(u"the character U+%04X may not stand in the name %s", static_cast<unsigned>(name[bad]),
                  KTString(name).c_str());
    return FailInValue(node, name, bad, reason);
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
    if ((external || parameterReferences) && !standalone_)
      entitiesMustBeDeclared_ = false;
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
      facts.literal = value.substr(1, value.size() >= 2 ? value.size() - 2 : 0);
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
    entities_.emplace(name, facts);
    return true;
  }

  bool CheckAttributeNames(const KTXNode* element) {
    attributes_.clear();
    for (const KTXNode* c = element->GetFirstChild(); c; c = c->GetNextSibling())
      if (c->GetKind() == kAttribute)
        attributes_.push_back(c);
    const KTXNode* twice = nullptr;
    if (attributes_.size() <= kPairwiseAttributeLimit) {
      for (size_t i = 1; i < attributes_.size() && !twice; ++i)
        for (size_t j = 0; j < i && !twice; ++j)
          if (View(attributes_[i]->GetName()) == View(attributes_[j]->GetName()))
            twice = attributes_[i];
    } else {
      names_.clear();
      for (const KTXNode* a : attributes_)
        if (!names_.insert(View(a->GetName())).second) {
          twice = a;
          break;
        }
    }
    if (twice == nullptr)
      return true;
    // XML 1.0 §3.1 WFC Unique Att Spec.
    KTString reason;
    const char16_t* format = KTFindStringResource(kMsgDuplicateAttribute);
    reason.Format(format ? format : u"The attribute %s is given more than once", twice->GetName());
    return Fail(text_, length_, twice->GetStartOffset(), reason, status_);
  }

  // Checks the references of the node's value. For an element the value is
  // the text it holds when that text was its only child.
  bool CheckValue(const KTXNode* node, Place place, bool elementText, bool followEntities = true) {
    View value(node->GetValue());
    if (value.find(u'&') == View::npos)
      return true;
    KTString reason;
    size_t failedAt = 0;
    ForEachReference(value, [&](const Reference& ref) {
      if (ref.isChar) {
        // XML 1.0 §4.1 WFC Legal Character.
        if (ref.code < 0 || !IsXmlChar(ref.code)) {
          reason = u"the character reference &" + KTString(ref.body) + u"; names no character allowed in XML";
          failedAt = ref.at;
          return false;
        }
        return true;
      }
      if (size_t bad = BadNameCharacter(ref.body); bad != View::npos) {
        reason = u"the entity reference &" + KTString(ref.body) + u"; holds a character no name may hold";
        failedAt = ref.at + 1 + bad;
        return false;
      }
      if (place == Place::kEntityValue || IsPredefinedEntity(ref.body))
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
        reason = u"the entity " + name() + u" refers to itself through " + other();  // WFC No Recursion
      } else if (followEntities && facts.problem == EntityFacts::kUndeclared) {
        reason = u"the entity " + other() + u", referenced through " + name() + u", is not declared";
      } else if (followEntities && facts.problem == EntityFacts::kUnparsed) {
        reason = u"the unparsed entity " + other() + u", referenced through " + name() + u", may not be referenced";
      } else if (place == Place::kAttributeValue && external) {
        reason = u"the external entity " + name() + u" may not be referenced in an attribute value";
      } else if (place == Place::kAttributeValue && lessThan) {
        reason = u"the entity " + name() + u" holds '<' and may not be referenced in an attribute value";
      } else {
        return true;
      }
      failedAt = ref.at;
      return false;
    });
    if (reason.IsEmpty())
      return true;
    return FailInValue(node, value, failedAt, reason, elementText);
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
    start.state = EntityFacts::kActive;
    start.reachesLessThan = start.holdsLessThan;
    start.reachesExternal = start.external;
    stack.push_back({&start, 0});
    while (!stack.empty()) {
      EntityFacts& entity = *stack.back().entity;
      View literal = entity.literal;
      size_t at = literal.find(u'&', stack.back().next);
      size_t end = at == View::npos ? View::npos : literal.find(u';', at + 1);
      if (end == View::npos) {
        entity.state = EntityFacts::kDone;
        stack.pop_back();
        if (!stack.empty())
          Merge(*stack.back().entity, entity);
        continue;
      }
      stack.back().next = end + 1;
      View name = literal.substr(at + 1, end - at - 1);
      if (name.empty() || name[0] == u'#' || IsPredefinedEntity(name))
        continue;
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
          entity.problemName = name;
        }
      } else if (next.state == EntityFacts::kDone) {
        Merge(entity, next);
      } else {
        next.state = EntityFacts::kActive;
        next.reachesLessThan = next.holdsLessThan;
        next.reachesExternal = next.external;
        stack.push_back({&next, 0});
      }
    }
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
    }
  }

  // Fails at the character `at` of the node's value, found in the node's
  // source range; at the node's start when the value is not found there.
  bool FailInValue(const KTXNode* node, View value, size_t at, const KTString& reason, bool fromEnd = false) {
    int start = node->GetStartOffset();
    int end = node->GetEndOffset();
    int offset = start;
    if (start >= 0 && end <= length_ && start <= end) {
      View range(text_ + start, static_cast<size_t>(end - start));
      // An element's text stands right before its end tag, which holds no '&'.
      size_t found = fromEnd ? range.rfind(value) : range.find(value);
      if (found != View::npos)
        offset = start + static_cast<int>(found + at);
    }
    return Fail(text_, length_, offset, reason, status_);
  }

  const char16_t* text_;
  int length_;
  KTLoadStatus& status_;
  bool standalone_ = false;
  bool entitiesMustBeDeclared_ = true;
  // Declarations in the tree stand in a document's internal subset, not in
  // a DTD of its own.
  bool internalSubset_ = false;
  std::unordered_map<View, EntityFacts> entities_;
  // Reused for every element, so the walk allocates nothing per element.
  std::vector<const KTXNode*> attributes_;
  std::unordered_set<View> names_;
};

}  // namespace

bool KTCheckDocumentCharacters(const char16_t* text, int length, KTLoadStatus& status) {
  for (int i = 0; i < length; ++i) {
    char16_t c = text[i];
    if (c >= 0x20 && c < 0xD800)
      continue;
    KTString reason;
    if (c < 0x20) {
      if (c == 0x9 || c == 0xA || c == 0xD)
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
  return true;
}

bool KTCheckWellFormedTree(const char16_t* text, int length, const KTXNode* document, KTLoadStatus& status) {
  if (document == nullptr)
    return true;
  TreeChecker checker(text, length, status);
  return checker.Run(document);
}
