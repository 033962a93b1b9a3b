// What every XML Schema element loader shares: the loader's frame (its own
// namespace context and the three prefix bindings, restored on every exit),
// reference expansion of names and values, the rule for attributes no
// loader takes, the "- expected: ..." message texts, and the readers of
// occurrence numbers and word lists. Internal to src/schema/xsd.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "core/ktstring.h"
#include "schema/ktschemamodel.h"
#include "xml/ktnamespace.h"

class KTXNode;

inline constexpr const char16_t* kXsdNamespaceUri = u"http://www.w3.org/2001/XMLSchema";
inline constexpr const char16_t* kXsdWhite = u" \t\r\n";
inline constexpr uint32_t kXsdUnbounded = 0xFFFFFFFFu;

// Message ids that only the XML Schema loaders report; those shared with
// the other schema languages are named in KTSchemaMessage.
enum KTXsdMessage : int {
  kXsdLocalElementTwice = 7513,
  kXsdLocalAttributeTwice = 7514,
  kXsdGroupNotFound = 7518,
  kXsdGroupContainsItself = 7519,
  kXsdAttributeGroupNotFound = 7521,
  kXsdNameAndRef = 7540,
  kXsdDefaultAndFixed = 7541,
  kXsdDefaultWithUse = 7542,
  kXsdDefaultNamespaceIsXsd = 7544,
  kXsdConstraintTwice = 7545,
  kXsdBadPath = 7546,
  kXsdBadPattern = 7547,
  kXsdPrefixedName = 7548,
  kXsdDerivationBlocked = 7549,
  kXsdMissingAttribute = 7563,
  kXsdValueLexical = 7587,
  kXsdValueRange = 7588,
  kXsdValueFacet = 7590,
  kXsdOtherTargetNamespace = 7593,
  kXsdLocalSubstitution = 7595,
  kXsdHeadNotDeclared = 7596,
  kXsdDefaultNeedsSimpleContent = 7610,
};

// The interned XML Schema namespace.
KTNamespaceId XsdNamespace();

// One loader's frame: a namespace context with the parent's bindings and
// the element's own declarations; the three prefix bindings of the model
// saved and given the prefixes in scope for their namespaces. The
// destructor restores the bindings, so every exit path restores them.
class KTXsdScope {
 public:
  KTXsdScope(KTSchemaModel& model, KTNamespaceContext* parent, KTXNode* element);
  ~KTXsdScope();
  KTXsdScope(const KTXsdScope&) = delete;
  KTXsdScope& operator=(const KTXsdScope&) = delete;

  KTNamespaceContext* Context() { return &context_; }
  // False when loaders nest deeper than kMaxXsdNesting; the problem is then
  // recorded and `Result()` is what the loader returns.
  bool Entered() const { return entered_; }
  bool Result() const { return result_; }

 private:
  KTSchemaModel& model_;
  KTNamespaceContext context_;
  KTPrefixBinding saved_[3];
  bool entered_ = true;
  bool result_ = true;
};

// The first prefix in the context bound to the namespace (the empty prefix
// of a default declaration counts), or null.
const KTPrefixBinding* FirstPrefixFor(const KTNamespaceContext& context, KTNamespaceId ns);

// Expands the references in a node's name and value; false, with 7524
// recorded at the node, when either cannot be expanded.
bool XsdExpandNode(KTSchemaModel& model, KTXNode* node, KTString& name, KTString& value);

// Whether the element's expanded name is {XML Schema namespace, local}.
bool IsXsdElement(KTNamespaceContext* context, KTXNode* element, const char16_t* local);
// The local name of an element in the XML Schema namespace; empty for one
// in any other namespace.
KTString XsdLocalName(KTNamespaceContext* context, KTXNode* element);

// "- expected: name" or "- expected: (a | b | ...)", each name qualified by
// the XML Schema prefix binding.
KTString XsdExpected(KTSchemaModel& model, std::initializer_list<const char16_t*> names);

// An attribute that the loader does not take: reported (7536 with the
// context text) when it lies in no namespace and is no prefixed namespace
// declaration, or lies in the XML Schema namespace; ignored otherwise.
bool XsdOtherAttribute(KTSchemaModel& model, KTNamespaceContext* context, KTXNode* attribute, const KTString& name,
                       const char16_t* expected);

// The value of an annotation's first element child when that is
// `documentation`; `found` tells whether it was.
KTString XsdDocumentation(KTNamespaceContext* context, KTXNode* annotation, bool* found = nullptr);

// Checks every word of a list value (split at white space, quoted parts
// kept whole) against the allowed words; each bad word is reported (7536 at
// the attribute with the text). `allGood` tells whether every word passed;
// the result is the ok flag.
bool XsdCheckWords(KTSchemaModel& model, KTXNode* attribute, const KTString& value,
                   std::initializer_list<const char16_t*> allowed, const char16_t* expected, bool& allGood);

// Reads a decimal number the way "%lu" does (leading white space, one '+',
// digits), saturating at kXsdUnbounded; false when no digit starts it.
bool XsdReadUnsigned(const KTString& value, uint32_t& out);
// maxOccurs: "unbounded" or a nonNegativeInteger; anything else gives 7537.
bool XsdReadMaxOccurs(KTSchemaModel& model, KTXNode* attribute, const KTString& value, uint32_t& maximum);
// minOccurs: read without a type check; a maximum below it is raised to it.
void XsdReadMinOccurs(const KTString& value, uint32_t& minimum, uint32_t& maximum);
// The form attribute of an element or attribute declaration, read before
// the others: "qualified" or "unqualified" sets `qualified`, anything else
// gives 7536. False when the declaration cannot be loaded further.
bool XsdReadForm(KTSchemaModel& model, KTXNode* node, bool& qualified);
