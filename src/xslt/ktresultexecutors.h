// The executors that put nodes into the result tree: xsl:value-of and
// xsl:text append text, the literal result executor copies every stylesheet
// node that is not an XSLT instruction (literal result elements with their
// attributes, literal text) and runs a literal element's content inside its
// copy, and xsl:copy-of copies node-sets and result tree fragments, or the
// string value of any other result.
#pragma once

#include <string>
#include <unordered_map>

#include "core/ktstring.h"
#include "xslt/ktinstructionexecutor.h"

class KTDeclValueOf;
class KTXPathNode;

// xsl:value-of (element id 33): the string value of its select expression.
class KTValueOfExecutor : public KTInstructionExecutor {
 public:
  explicit KTValueOfExecutor(KTXSLTProcessor* processor);
  bool Start() override;
  // Appends the string value of `context` to `resultParent` as
  // xsl:value-of select="." does (a source text node's copy shows the
  // document's text in place).
  static void AppendStringValueOf(KTXPathNode* resultParent, const KTXPathNode* context, bool escape);

 private:
  bool AppendContextString(KTExecFrame* frame, const KTDeclValueOf& record);
};

// xsl:text (element id 31): its text, evaluated never.
class KTTextExecutor : public KTInstructionExecutor {
 public:
  explicit KTTextExecutor(KTXSLTProcessor* processor);
  bool Start() override;
};

// Literal result elements (element id 1), their literal attributes, literal
// text, and XSLT declarations that produce nothing when run
// (xsl:preserve-space, xsl:strip-space). A literal element's xsl:
// attributes are never copied: xsl:use-attribute-sets runs first, then the
// literal attributes, then the content, each in a frame of its own.
class KTLiteralResultElementExecutor : public KTInstructionExecutor {
 public:
  explicit KTLiteralResultElementExecutor(KTXSLTProcessor* processor);
  bool Start() override;
  bool Continue() override;
  bool PerformsFallback() const override { return extensionElement_; }

 private:
  // The child to run after `after` (null: the first): the
  // xsl:use-attribute-sets attribute, the literal attributes, then the
  // instructions of the content.
  KTXPathNode* NextChildToRun(KTXPathNode* element, KTXPathNode* after);
  // The xsl:fallback child of an extension element after `after` (null:
  // the first); null when there is none.
  KTXPathNode* NextFallback(KTXPathNode* element, KTXPathNode* after);
  void Push(KTExecFrame* frame, KTXPathNode* child);

  bool extensionElement_ = false;
};

// xsl:copy-of (element id 10).
class KTCopyOfExecutor : public KTInstructionExecutor {
 public:
  explicit KTCopyOfExecutor(KTXSLTProcessor* processor);
  bool Start() override;

  // Appends a deep copy of one node to the result parent: a root
  // contributes its children, an element its whole subtree with the
  // namespaces in scope where it was, an attribute or namespace node joins
  // the result parent element. A copy the placement rules refuse throws
  // KTXTreeException::kPlacementViolation when `strict`, else it is dropped.
  void AppendCopy(const KTXPathNode* source, bool strict);

  // The attributes of the result parent by expanded name, filled when the
  // first attribute is copied and kept current while one Start copies, so
  // that copying many attributes stays linear.
  std::unordered_map<std::u16string, KTXPathNode*> attributesByName_;
  const KTXPathNode* indexedParent_ = nullptr;
  // The xsl:copy-of being run, named by the warning of an attribute it
  // cannot add.
  const KTXPathNode* instruction_ = nullptr;
};
