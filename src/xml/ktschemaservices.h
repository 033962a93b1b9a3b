// The narrow interface through which the XPath tree context reaches a
// document's schema model. The schema layer (src/schema) sits above this one
// and implements it; the document layer never includes schema headers and
// handles element declarations only as opaque pointers that it hands back.
#pragma once

#include <memory>
#include <vector>

#include "core/ktstring.h"
#include "xml/ktnamespace.h"

class KTXNode;
class KTElementType;  // an element declaration of the schema layer

// A declared default attribute: its declared name (for a DTD declaration the
// whole name as written, in no namespace) and its default value.
struct KTDefaultAttribute {
  KTQName name;
  KTString value;
};

class KTSchemaServices {
 public:
  virtual ~KTSchemaServices() = default;

  // Finds and loads the schema the document refers to; problems stay
  // recorded in the model.
  virtual bool LoadSchema(KTXNode* documentRoot, bool searchFurther) = 0;
  // The message id of the kept schema problem (7500: none).
  virtual int GetErrorId() const = 0;
  // Expands the general entity references of a text from element content or
  // an attribute value into `out`, one level, leaving character references
  // for the caller. An undeclared reference stays as written and is
  // recorded; past the document's expansion budget the rest of the text is
  // copied unexpanded and the problem recorded. `out` always holds the text
  // to use; the result is false when a problem was recorded.
  virtual bool ExpandContentReferences(KTXNode* node, const char16_t* text, KTString& out) = 0;
  // Parses text in the grammar of the context node's document from the start
  // rule; null when it does not parse or no grammar is at hand.
  virtual std::unique_ptr<KTXNode> ParseFragment(const char16_t* text, const char16_t* startRule,
                                                 KTXNode* contextNode) = 0;
  virtual KTElementType* FindElement(const KTQName& name) = 0;
  // False when FindElement finds nothing whatever the name: no element is
  // declared (the view then looks up no element of the document).
  virtual bool DeclaresElements() const { return true; }
  // True when element declarations are keyed by the name as written, prefix
  // included, in no namespace (DTDs); false when by expanded name.
  virtual bool KeysNamesAsWritten() const { return false; }
  virtual KTElementType* FindChildElementDecl(KTElementType* parent, const KTQName& name) = 0;
  // When the document has a DTD and also names a schema (whose declarations
  // then answer FindElement and FindChildElementDecl): the DTD's declaration
  // of an element by its name as written, whose attribute names are as
  // written too. Null otherwise.
  virtual KTElementType* FindDtdElementBesideSchema(const char16_t* nameAsWritten) { return nullptr; }
  // False when FindDtdElementBesideSchema finds nothing whatever the name.
  virtual bool DeclaresDtdElementsBesideSchema() const { return true; }
  // True when the declaration gives the attribute of that name the type ID
  // (named as written for DTD declarations, see KeysNamesAsWritten); the
  // view marks such attributes for the XPath id() function.
  virtual bool IsIdAttribute(KTElementType* declaration, const KTQName& attributeName) { return false; }
  // True when a DTD declares the attribute with a type other than CDATA: the
  // view then normalises its value further (XML 1.0 §3.3.3).
  virtual bool IsTokenizedAttribute(KTElementType* declaration, const KTQName& attributeName) { return false; }
  // The declaration's default attributes and default or fixed element text
  // (`hasText` tells whether there is one); false when it has no defaults.
  virtual bool CollectDefaults(KTElementType* declaration, std::vector<KTDefaultAttribute>& attributes,
                               KTString& text, bool& hasText) = 0;
  // Records a problem met while building the view (an entity text refused
  // for a cycle or for depth); false as a rule, like every report.
  virtual bool ReportViewProblem(int messageId, KTXNode* node, const KTString& contextText) = 0;
  // True when an entity's text could not be put in place (a recursive or
  // too deeply nested entity, or one past the document's expansion budget),
  // so that the document's text is incomplete; `why` then says which entity
  // and why.
  virtual bool ExpansionStopped(KTString& why) const { return false; }
  // True when reading the document's DTD or the external entities it uses
  // met a fatal error (XML 1.0 §5.1: a well-formedness error in the external
  // subset or a parameter entity, an external parsed entity that cannot be
  // read or is not well-formed); the document must not be used. `why` then
  // says what failed, in which file and where.
  virtual bool DocumentRefused(KTString& why) const { return false; }
};
