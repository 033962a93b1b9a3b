// KTCompiledTemplate: one template rule of the processor's rule list: one
// xsl:template (or built-in rule) and one alternative of its match pattern.
// It holds the rule's names, pattern, modes, priority and import precedence,
// orders rules for conflict resolution (Compare) and tells whether a node
// matches its pattern: directly from the node for patterns without
// predicates or id()/key(), else by membership in the set of nodes the
// pattern selects in the node's document, computed once per document.
#pragma once

#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/ktstring.h"
#include "xml/ktxpathnode.h"
#include "xslt/kttemplatepattern.h"

class BinaryExprNode;
class KTDeclRecord;
class KTXSLTProcessor;
struct KTCompiledExpression;

// What one template rule is made of: the xsl:template element and its
// match attribute, one alternative of the match pattern (its text and
// compiled form, null when it has none), the mode as written and expanded,
// the import precedence and declaration position that order rules in a
// conflict, the prefixes of the name and the pattern (null: the element's
// own map), and the pattern's steps when the stylesheet compile read them
// (null: read from the compiled form).
struct KTTemplateRuleSource {
  KTXPathNode* templateElement = nullptr;
  KTXPathNode* matchNode = nullptr;
  KTString match;
  const KTCompiledExpression* matchExpression = nullptr;
  KTString modeAsWritten;
  KTString expandedMode;
  int importPrecedence = 0;
  int declarationPosition = 0;
  const KTPrefixMap* namespaces = nullptr;
  const KTTemplatePattern* pattern = nullptr;
};

class KTCompiledTemplate {
 public:
  // Reads the template element's name and priority attributes; the match
  // text is one alternative of its match pattern. Throws KTXSLTError 40 for
  // a name that is not a QName (10 for an unbound prefix; at the
  // attribute), 48 for a template with neither name nor match attribute, 31
  // for a priority that is not a finite normal number (at the attribute).
  // The source's texts move into the rule.
  explicit KTCompiledTemplate(KTTemplateRuleSource source);
  virtual ~KTCompiledTemplate();
  KTCompiledTemplate(const KTCompiledTemplate&) = delete;
  KTCompiledTemplate& operator=(const KTCompiledTemplate&) = delete;

  // The expanded name ("uri:local" for a bound prefix, else the name).
  const KTString& Name() const { return expandedName_; }
  const KTString& NameAsWritten() const { return name_; }
  const KTString& Match() const { return match_; }
  // The compiled alternative (null without a match).
  const KTCompiledExpression* MatchExpression() const { return matchExpression_; }
  // The expanded mode; "?" for the built-in rules that serve every mode.
  const KTString& Mode() const { return expandedMode_; }
  const KTString& ModeAsWritten() const { return modeAsWritten_; }
  int ImportPrecedence() const { return importPrecedence_; }
  double Priority() const { return priority_; }
  int DeclarationPosition() const { return declarationPosition_; }
  KTXPathNode* TemplateElement() const { return templateElement_; }
  KTXPathNode* MatchNode() const { return matchNode_; }
  const KTTemplatePattern& Pattern() const { return *pattern_; }
  // The template element's element id and compiled record (null: none),
  // looked up through the processor the first time: a frame that runs the
  // rule is given them instead of looking them up at every node.
  int TemplateElementId(const KTDeclRecord** record);
  // The template element holds no instruction, parameter or text: running
  // the rule outputs and binds nothing.
  bool HasEmptyBody();
  // The template's body is one xsl:value-of select="." (as in the built-in
  // rule for text and attributes) that needs no evaluation: running the
  // rule appends the string value of its node. `escape` receives whether
  // the value is output-escaped.
  bool CopiesStringValue(bool* escape);
  // The template's body is one xsl:apply-templates without select, sort or
  // parameters, in the default mode or in mode "?" (as in the built-in rule
  // for elements and the root), or one xsl:copy without attribute sets
  // holding only such an xsl:apply-templates (as in the identity rule):
  // running the rule applies templates to the node's children. `sameMode`
  // receives whether they are applied in the mode the rule was invoked in
  // ("?") rather than the default mode, `copies` whether xsl:copy wraps
  // them.
  bool AppliesTemplatesToChildren() {
    if (childrenApply_ < 0) ReadChildrenApply();
    return childrenApply_ == 1;
  }
  bool AppliesTemplatesToChildren(bool* sameMode, bool* copies) {
    if (childrenApply_ < 0) ReadChildrenApply();
    *sameMode = childrenApplySameMode_;
    *copies = childrenApplyCopies_;
    return childrenApply_ == 1;
  }
  // How the attempts to do the rule's work without frames went: a rule
  // whose attempts mostly fail (its nodes' children mostly need frames) is
  // no longer tried, so that the lookups of a failed attempt are not paid
  // for at every node.
  void CountInPlaceAttempt(bool done) { ++(done ? inPlaceDone_ : inPlaceFailed_); }
  bool WorthTryingInPlace() const { return inPlaceFailed_ < 64 || inPlaceFailed_ < 4 * inPlaceDone_; }

  void SetProcessor(KTXSLTProcessor* processor) { processor_ = processor; }
  KTXSLTProcessor* Processor() const { return processor_; }

  // Whether the node matches the rule's pattern (false for an empty match).
  bool Matches(const KTXPathNode* node);
  // Whether Matches never evaluates the pattern, so that it never reports
  // an error, loads a document or writes a message: no match, a direct
  // pattern, or one whose predicates compare children with literals.
  bool MatchesWithoutEvaluation();

  // True when rule a is to be tried before rule b: higher import
  // precedence, then higher priority, then later declaration.
  static bool Compare(const KTCompiledTemplate* a, const KTCompiledTemplate* b);

 private:
  using NodeSet = std::unordered_set<const KTXPathNode*>;
  // The nodes of the node's document that the pattern selects.
  const NodeSet& MatchedNodes(const KTXPathNode* node);
  // Reads whether the pattern's predicates all stand on its last step and
  // each compares a child or "." with a string literal (filters_).
  void ReadNodeFilters();
  // Reads whether the body is the one AppliesTemplatesToChildren looks for.
  void ReadChildrenApply();

  KTString name_;
  KTString expandedName_;
  KTString match_;
  const KTCompiledExpression* matchExpression_ = nullptr;
  KTString modeAsWritten_;
  KTString expandedMode_;
  KTXPathNode* templateElement_;
  KTXPathNode* matchNode_;
  double priority_ = 0;
  int importPrecedence_;
  int declarationPosition_;
  KTXSLTProcessor* processor_ = nullptr;
  bool elementIdKnown_ = false;
  int emptyBody_ = -1;  // -1: not looked at yet
  int stringValueCopy_ = -1;  // -1: not looked at yet
  bool copyEscapes_ = true;
  int childrenApply_ = -1;  // -1: not looked at yet
  bool childrenApplySameMode_ = false;
  bool childrenApplyCopies_ = false;
  long long inPlaceDone_ = 0;
  long long inPlaceFailed_ = 0;
  int elementId_ = 0;
  const KTDeclRecord* elementRecord_ = nullptr;
  // The pattern the stylesheet compile read into the template's record, or
  // the rule's own reading.
  KTTemplatePattern ownPattern_;
  const KTTemplatePattern* pattern_ = &ownPattern_;
  // Document root -> the nodes the pattern selects there.
  std::unordered_map<const KTXPathNode*, NodeSet> matched_;
  // The last step's predicates when they depend on the tested node alone
  // (none of them counts positions): the node matches when it passes the
  // steps and every one of them, with no evaluation over its document.
  int filtersRead_ = 0;
  std::vector<BinaryExprNode*> filters_;
};
