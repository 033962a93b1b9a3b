// The words of a problem met in an XML Schema document, for its warning: the
// schema file and line, the declaration at fault and what is wrong with it,
// built from the kept problem's message id, node and context text.
#include <string_view>

#include "schema/xsd/ktxsdloader.h"
#include "xml/ktdocloader.h"
#include "xml/ktdocmanager.h"
#include "xml/ktxnode.h"

namespace {

// What each message of the XML Schema loaders means; %s is the context text
// (with a leading "- " dropped) where the message has one.
struct KTXsdProblemWords {
  int id;
  const char16_t* withContext;
  const char16_t* withoutContext;
};

constexpr KTXsdProblemWords kProblemWords[] = {
    {kSchemaElementDeclaredTwice, u"declared twice (%s)", u"declared twice"},
    {kXsdLocalElementTwice, u"the local element \"%s\" is declared twice", u"a local element is declared twice"},
    {kXsdLocalAttributeTwice, u"the attribute \"%s\" is declared twice", u"an attribute is declared twice"},
    {kSchemaTypeNotDeclared, u"referenced but never declared (%s)", u"referenced but never declared"},
    {kXsdGroupNotFound, u"no group named \"%s\" is defined", u"the group is not defined"},
    {kXsdGroupContainsItself, u"the group \"%s\" contains itself", u"the group contains itself"},
    {kSchemaAttributeTypeNotFound, u"no attribute named \"%s\" is declared", u"the attribute is not declared"},
    {kXsdAttributeGroupNotFound, u"no attribute group named \"%s\" is defined", u"the attribute group is not defined"},
    {kSchemaExpansionFailed, u"an entity reference cannot be expanded (%s)", u"an entity reference cannot be expanded"},
    {kSchemaUnexpected, u"not allowed here; %s", u"not allowed here"},
    {kSchemaBadValue, u"%s", u"a name that is not defined, or a value that is not allowed"},
    {kXsdNameAndRef, u"name and ref together (%s)", u"name and ref together"},
    {kXsdDefaultAndFixed, u"default and fixed together (%s)", u"default and fixed together"},
    {kXsdDefaultWithUse, u"a default with a use other than optional (%s)", u"a default with a use other than optional"},
    {kXsdDefaultNamespaceIsXsd, u"the default namespace is the XML Schema namespace in a schema without a target "
                                u"namespace (%s)",
     u"the default namespace is the XML Schema namespace in a schema without a target namespace"},
    {kXsdConstraintTwice, u"the identity constraint \"%s\" is declared twice", u"an identity constraint is declared twice"},
    {kXsdBadPath, u"the path is not a valid selector or field: %s", u"the path is not a valid selector or field"},
    {kXsdBadPattern, u"the pattern does not compile: %s", u"the pattern does not compile"},
    {kXsdPrefixedName, u"the name \"%s\" has a prefix", u"the name has a prefix"},
    {kXsdDerivationBlocked, u"the derivation is blocked by its base (%s)", u"the derivation is blocked by its base"},
    {kXsdMissingAttribute, u"the attribute %s is missing", u"an attribute is missing"},
    {kXsdValueLexical, u"the default or fixed value is not a valid %s", u"the default or fixed value is not valid"},
    {kXsdValueRange, u"the default or fixed value is out of the range of %s", u"the default or fixed value is out of range"},
    {kXsdValueFacet, u"the default or fixed value is refused by the facet %s", u"the default or fixed value is refused by a facet"},
    {kSchemaNamespaceUnbound, u"no prefix is bound to the namespace %s", u"a namespace is not bound to a prefix"},
    {kXsdOtherTargetNamespace, u"the included schema has a target namespace other than \"%s\"",
     u"the included schema has a target namespace other than the including one"},
    {kXsdLocalSubstitution, u"a local element cannot have a substitution group (%s)",
     u"a local element cannot have a substitution group"},
    {kXsdHeadNotDeclared, u"the substitution group head \"%s\" is not declared", u"the substitution group head is not declared"},
    {kXsdDefaultNeedsSimpleContent, u"a default or fixed value needs simple or mixed content (%s)",
     u"a default or fixed value needs simple or mixed content"},
    {kSchemaLoadFailed, u"the schema document \"%s\" cannot be loaded", u"a schema document cannot be loaded"},
};

// An attribute value quoted in a warning is cut after this many characters:
// a long default stays recognisable without filling the screen.
constexpr int kMaxValueShown = 60;

// The components whose name (or ref) says which declaration a problem is in.
constexpr const char16_t* kDeclarationKinds[] = {
    u"element", u"attribute", u"complexType", u"simpleType", u"group", u"attributeGroup", u"notation",
    u"key",     u"keyref",    u"unique",      u"include",    u"import", u"redefine",
};

bool IsDeclarationKind(std::u16string_view local) {
  for (const char16_t* kind : kDeclarationKinds) {
    if (local == kind) return true;
  }
  return false;
}

// The value of an element's attribute with that name, or null.
const char16_t* AttributeValue(KTXNode* element, const char16_t* name) {
  KTChildIterator it;
  for (element->FirstChildOfKind(it, kAttribute); !it.IsEnd(); it.Next()) {
    if (KTString(it.Node()->GetName()) == name) return it.Node()->GetValue();
  }
  return nullptr;
}

}  // namespace

bool KTSchemaModel::DescribeXsdProblem(KTString& where, KTString& what) {
  KTXNode* node = error_.node;
  if (schemaKind_ != kSchemaXsd || !node) return false;
  // Only a problem that lies in a schema document: one whose document
  // element is the XML Schema `schema` element.
  KTXNode* document = DocumentRootOf(node);
  if (!document) return false;
  KTXNode* schema = nullptr;
  KTChildIterator top;
  for (document->FirstChildOfKind(top, kElement); !top.IsEnd() && !schema; top.Next()) {
    KTNamespaceContext context(top.Node(), false);
    KTQName name;
    context.GetElementQName(name, top.Node());
    if (name.ns == XsdNamespace() && name.localName == u"schema") schema = top.Node();
  }
  if (!schema) return false;

  where = DocumentNameOf(node);
  // The line of the node in the text its document was parsed from, when
  // the loader still holds that text.
  KTDocumentRecord* record = manager_ ? manager_->FindByDocument(document) : nullptr;
  const int offset = node->GetStartOffset();
  // An offset between the CR and the LF of a pair starts the next line.
  int line = 0, column = 0;
  if (record && record->GetLoader() && offset >= 0 &&
      LinesOf(record->GetLoader())
          .Locate(offset, line, column, {KTLineMap::Columns::kUnits, KTLineMap::PairMiddle::kOnNextLine})) {
    KTString lineText;
    lineText.Format(u" line %d", line);
    where += lineText;
  }
  // The nearest enclosing declaration with a name or a reference.
  KTXNode* declaration = nullptr;
  for (KTXNode* n = node; n && n != schema; n = ParentOf(n)) {
    if (n->GetKind() != kElement) continue;
    const KTString local(n->GetLocalName());
    if (!IsDeclarationKind(local.View())) continue;
    const char16_t* name = AttributeValue(n, u"name");
    if (!name) name = AttributeValue(n, u"ref");
    if (!name && !(local == u"import" || local == u"include" || local == u"redefine")) continue;
    where += KTString(u", ") + local;
    if (name) where += KTString(u" \"") + name + u"\"";
    declaration = n;
    break;
  }

  KTString context = error_.contextText;
  if (context.GetLength() >= 2 && context[0] == u'-' && context[1] == u' ') context = context.Mid(2);
  what = context;
  for (const KTXsdProblemWords& words : kProblemWords) {
    if (words.id != error_.id) continue;
    if (context.IsEmpty()) {
      what = KTString(words.withoutContext);
    } else {
      what.Format(words.withContext, context.c_str());
    }
    break;
  }
  if (node->GetKind() == kElement && node != declaration) {
    // An element inside the declaration (a child that is not allowed, a
    // facet): its name says which.
    what = KTString(node->GetName()) + u": " + what;
  }
  if (node->GetKind() == kAttribute) {
    // The attribute that holds the value comes first: it says most.
    KTString value(node->GetValue());
    if (value.GetLength() > kMaxValueShown) value = value.Left(kMaxValueShown) + u"...";
    KTString attribute;
    attribute.Format(u"%s=\"%s\": ", node->GetName(), value.c_str());
    what = attribute + what;
  }
  return true;
}
