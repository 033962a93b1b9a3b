// KTAttributeSets: the xsl:attribute-set declarations of a run by expanded
// name, and each use-attribute-sets attribute flattened, once per run, into
// the xsl:attribute instructions it runs. The processor owns one; the
// use-attribute-sets executor runs what it gives.
#pragma once

#include <unordered_map>
#include <vector>

#include "core/ktstring.h"

class KTXPathNode;
class KTXSLTProcessor;

class KTAttributeSets {
 public:
  // How deep sets may use sets that use sets: the flattening recurses once
  // per level, and no stylesheet comes near this many.
  static constexpr int kMaxNesting = 1000;

  // Registers a declaration under its set's expanded name; what was
  // flattened before is worked out again.
  void Add(const KTString& expandedName, KTXPathNode* declaration, int importPrecedence);
  void Clear();

  // The xsl:attribute instructions that `useAttribute` (a use-attribute-sets
  // attribute, or xsl:use-attribute-sets of a literal result element) runs,
  // one per attribute name: the instruction whose value XSLT 1.0 §7.1.4
  // makes the attribute's (the sets named later, declarations of higher
  // import precedence and a set's own attributes over the sets it uses).
  // They come in the order xsltproc makes the attributes: the sets in the
  // order named; within a set the declarations of higher import precedence
  // first, each level its declarations' own attributes before those of the
  // sets they use. Where a name is computed at run time, two instructions
  // may make one attribute; then they all run, in the order §7.1.4 applies
  // them, so that the later value replaces the earlier.
  // Errors: a name that is no QName (KTXSLTError 40), an unbound prefix (10),
  // an unknown set (9), a set that uses itself or nests past kMaxNesting
  // (31), each at the use-attribute-sets attribute that names it.
  const std::vector<KTXPathNode*>& Instructions(KTXPathNode* useAttribute, const KTXSLTProcessor& processor);

 private:
  // One xsl:attribute instruction with the expanded name it makes ("uri",
  // U+FFFF, local name; the local name alone in no namespace), or an empty
  // key when the name is computed at run time.
  struct Entry {
    KTXPathNode* instruction = nullptr;
    KTString key;
  };
  struct Expansion {
    // The instructions in the order §7.1.4 applies them, each name's last
    // only; a computed name's instruction kept at its last place.
    std::vector<Entry> lastWins;
    // The same instructions in the order xsltproc makes the attributes;
    // empty when some name is computed.
    std::vector<Entry> firstMade;
    bool computedNames = false;
    bool expanding = false;
    bool done = false;
  };
  struct Declaration {
    KTXPathNode* node = nullptr;
    int importPrecedence = 0;
  };
  // What one declaration contributes to a merge: its own xsl:attribute
  // children (none for a use-attribute-sets attribute of an instruction)
  // and the sets it uses.
  struct Part {
    int importPrecedence = 0;
    KTXPathNode* declaration = nullptr;
    std::vector<const Expansion*> uses;
  };

  const Expansion& Expand(const KTString& expandedName, KTXPathNode* useAttribute, const KTXSLTProcessor& processor,
                          int depth);
  std::vector<const Expansion*> Used(KTXPathNode* useAttribute, const KTXSLTProcessor& processor, int depth);
  static void Merge(std::vector<Part>& parts, Expansion& out, const KTXSLTProcessor& processor);
  static KTString KeyOf(KTXPathNode* instruction, const KTXSLTProcessor& processor);

  std::unordered_map<KTString, std::vector<Declaration>> declarations_;
  std::unordered_map<KTString, Expansion> expansions_;
  std::unordered_map<const KTXPathNode*, std::vector<KTXPathNode*>> instructions_;
};
