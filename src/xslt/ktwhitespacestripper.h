// KTWhitespaceStripper: removes whitespace-only text nodes from the XPath view
// of a stylesheet or a source document before it takes part in a
// transformation. The stylesheet rule keeps the text of xsl:text elements;
// the document rule removes every whitespace-only text node. Both first join
// each run of adjacent text nodes and CDATA sections into one text node, as
// XPath 1.0's data model has it.
#pragma once

class KTXPathNode;

class KTWhitespaceStripper {
 public:
  KTWhitespaceStripper() = default;
  virtual ~KTWhitespaceStripper() = default;

  // Both walk the subtree of `node` (a root, or any node whose text children
  // may go) and return true. Only the XPath view changes; the wrapped tree
  // is left as it was.
  bool StripStylesheet(KTXPathNode* node);
  bool StripDocument(KTXPathNode* node);

  // Space, tab, CR and LF only (a no-break space is text).
  static bool IsWhitespaceOnly(const KTXPathNode* text);
  // True for an element in the XSLT namespace whose local name is "text".
  static bool IsXslText(const KTXPathNode* element);

 private:
  bool Strip(KTXPathNode* node, bool stylesheet);
};
