// KTWhitespaceStripper: removes whitespace-only text nodes from the XPath view
// of a stylesheet or a source document before it takes part in a
// transformation (XSLT 1.0 §3.4). Both rules first join each run of adjacent
// text nodes and CDATA sections into one text node, as XPath 1.0's data
// model has it, and both keep the text under an element whose nearest
// ancestor-or-self xml:space attribute says "preserve".
// - Stylesheet rule: every other whitespace-only text node goes, except
//   those of xsl:text elements.
// - Document rule: a whitespace-only text node goes only when its parent's
//   name is stripped by the stylesheet's xsl:strip-space and
//   xsl:preserve-space declarations.
#pragma once

class KTSpaceRules;
class KTXPathNode;

class KTWhitespaceStripper {
 public:
  KTWhitespaceStripper() = default;
  virtual ~KTWhitespaceStripper() = default;

  // Both walk the subtree of `node` (a root, or any node whose text children
  // may go) and return true. Only the XPath view changes; the wrapped tree
  // is left as it was. xml:space attributes above `node` count too.
  bool StripStylesheet(KTXPathNode* node);
  // Without rules (null or empty) no text goes; runs are still joined.
  bool StripDocument(KTXPathNode* node, const KTSpaceRules* rules);

  // Space, tab, CR and LF only (a no-break space is text).
  static bool IsWhitespaceOnly(const KTXPathNode* text);
  // True for an element in the XSLT namespace whose local name is "text".
  static bool IsXslText(const KTXPathNode* element);

 private:
  bool Strip(KTXPathNode* node, const KTSpaceRules* rules, bool stylesheet);
};
