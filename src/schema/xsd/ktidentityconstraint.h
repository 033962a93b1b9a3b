// KTIdentityConstraint: one unique, key or keyref of an XML Schema element
// declaration: its kind, its name, the key a keyref refers to, and its
// selector and field paths compiled in the identity-constraint modes of the
// XPath engine. The schema model keeps the records in one set ordered by
// name; element declarations point at the records declared inside them.
// Nothing evaluates them against instance documents.
#pragma once

#include <vector>

#include "core/ktstring.h"
#include "xml/ktnamespace.h"
#include "xpath/ktxpathexpression.h"

class KTIdentityConstraint {
 public:
  enum Kind : int { kUnique = 0, kKey = 1, kKeyref = 2 };
  using NamespaceMap = KTXPathExpression::NamespaceMap;
  using UriList = KTXPathExpression::UriList;

  // A record without name, selector or fields yet: the loader sets them as
  // it reads the constraint's attributes and children.
  KTIdentityConstraint(const NamespaceMap* namespaces, const UriList* uris, int kind);

  // Initialises the selector with the text and compiles it as a selector
  // path (mode 2), keeping its tree; the result is the compile's.
  bool SetSelector(const NamespaceMap* namespaces, const UriList* uris, const KTString& text);
  // Appends a field expression and compiles it as a field path (mode 1); it
  // stays in the list when the compile fails.
  bool AddField(const NamespaceMap* namespaces, const UriList* uris, const KTString& text);

  KTQName name;
  int kind;
  KTQName refer;
  KTXPathExpression selector;
  std::vector<KTXPathExpression> fields;
};
