// KTXSLTFunctionServices: what key(), format-number() and
// unparsed-entity-uri() need of the XSLT processor (its key tables, decimal
// formats and the entity declarations of the documents it loaded). The processor implements
// it and hands it to the functions through the expression that calls them
// (KTXPathExpression::XSLTServices), so that this layer never includes its
// headers and no process-wide state says which processor runs.
#pragma once

#include "core/ktstring.h"
#include "xpath/ktxpathvalue.h"

class KTXPathElementIndex;

class KTXSLTFunctionServices {
 public:
  virtual ~KTXSLTFunctionServices() = default;

  // Expanded names below are "URI:local" for a prefixed QName and the bare
  // local name for an unprefixed one (XSLT 1.0 §2.4: no default namespace).

  // key(): the nodes that the key of that name indexes under the value, in
  // the document that holds `node` (its index built on first use); a
  // node-set value unites the lookups of its nodes' string values. The
  // result is in document order, numbered 1..n. False when the stylesheet
  // has no key of that name.
  virtual bool LookupKey(const KTString& keyName, const KTXPathValue& value, const KTXPathNodeItem& node,
                         KTXPathValue& result) = 0;

  // format-number(): the number formatted with the pattern under the named
  // decimal format (the empty name: the default format). Answers 0 with the
  // text in out, or the XPath error kind: 13 when no decimal format has that
  // name, 14 when the pattern does not parse completely.
  virtual int FormatNumber(double number, const KTString& pattern, const KTString& formatName, KTString& out) = 0;

  // unparsed-entity-uri(): the URI of the unparsed entity of that name
  // declared in the document type declaration of the document that holds
  // `node`, its system identifier as written (XSLT 1.0 §3.3); null when
  // there is none.
  virtual const KTString* UnparsedEntityUri(const KTXPathNode* node, const KTString& name) = 0;

  // The element index of the document whose root this is (built on first
  // use), for documents that keep their nodes unchanged while the
  // processor holds them: null for any other (a result-tree fragment), and
  // then the axes walk the tree.
  virtual KTXPathElementIndex* ElementIndexOf(KTXPathNode* root) { return nullptr; }
};
