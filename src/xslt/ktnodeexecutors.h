// The executors that make result nodes from computed names or from the
// current node: xsl:copy (a shallow copy of the current node, its attribute
// sets and its content inside the copy), xsl:attribute (a name and namespace
// from attribute value templates, the value from its content) and
// xsl:element (a name and namespace from attribute value templates, its
// attribute sets and content inside the new element). Namespace declarations
// that the names need are added by the result-tree operations
// (AppendComputedNode, MakeLiteralResultCopy).
#pragma once

#include <memory>

#include "core/ktstring.h"
#include "xslt/ktinstructionexecutor.h"

class KTXPathNode;

// xsl:copy (element id 9).
class KTCopyExecutor : public KTInstructionExecutor {
 public:
  explicit KTCopyExecutor(KTXSLTProcessor* processor);
  bool Start() override;
  bool Continue() override;

 private:
  bool Finish();
  // Copies a namespace node of the source onto the result element.
  void CopyNamespaceNode(const KTXPathNode* source);

  bool attributeSetsRunning_ = false;
};

// xsl:attribute (element id 4).
class KTAttributeExecutor : public KTInstructionExecutor {
 public:
  explicit KTAttributeExecutor(KTXSLTProcessor* processor);
  bool Start() override;
  bool Continue() override;

 private:
  bool Finish();

  KTString name_;
  KTString namespace_;
  // The attribute made (null when the instruction was ignored) and the tree
  // its content is built in, whose text becomes the value.
  KTXPathNode* attribute_ = nullptr;
  std::unique_ptr<KTXPathNode> scratchRoot_;
};

// xsl:element (element id 12).
class KTElementExecutor : public KTInstructionExecutor {
 public:
  explicit KTElementExecutor(KTXSLTProcessor* processor);
  bool Start() override;
  bool Continue() override;

 private:
  bool Finish();

  KTString name_;
  KTString namespace_;
  bool attributeSetsPending_ = false;
};
