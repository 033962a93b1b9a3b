// The executors of the declarations that other instructions refer to, and of
// forwards-compatible processing:
// - xsl:namespace-alias stores its prefix pair with the processor;
// - xsl:attribute-set registers itself under its expanded name when the
//   stylesheet runs it as a top-level element, and adds its attributes to the
//   current result element when a use-attribute-sets attribute runs it;
// - a use-attribute-sets attribute (of xsl:element, xsl:copy,
//   xsl:attribute-set, or xsl:use-attribute-sets of a literal result element)
//   runs every set it names, name by name, each in every declaration
//   registered under it;
// - xsl:fallback runs its content; an XSLT element this processor does not
//   know, met in forwards-compatible mode, runs its xsl:fallback children and
//   nothing else (XSLT 1.0 §15).
#pragma once

#include <vector>

#include "core/ktstring.h"
#include "xslt/ktinstructionexecutor.h"

class KTXPathNode;

// xsl:namespace-alias (element id 20).
class KTNamespaceAliasExecutor : public KTInstructionExecutor {
 public:
  explicit KTNamespaceAliasExecutor(KTXSLTProcessor* processor);
  bool Start() override;
};

// xsl:attribute-set (element id 5).
class KTAttributeSetExecutor : public KTInstructionExecutor {
 public:
  explicit KTAttributeSetExecutor(KTXSLTProcessor* processor);
  bool Start() override;
  bool Continue() override;

  // The expanded name of an attribute-set name as written, its prefix
  // resolved in `scope` ("uri:local"); an unprefixed name stays as it is and
  // never takes the default namespace. An unbound prefix throws KTXSLTError
  // 10 at `errorNode`.
  static KTString ExpandSetName(std::u16string_view name, const KTPrefixMap* scope, KTXPathNode* errorNode);

 private:
  bool Finish();
  void Push(KTExecFrame* frame, KTXPathNode* child);

  bool finished_ = false;
  bool attributeSetsRunning_ = false;
  bool childrenRunning_ = false;
};

// A use-attribute-sets attribute (no element id of its own: 0).
class KTUseAttributeSetsExecutor : public KTInstructionExecutor {
 public:
  explicit KTUseAttributeSetsExecutor(KTXSLTProcessor* processor);
  bool Start() override;
  bool Continue() override;

 private:
  // Looks the current name up; an unknown set throws KTXSLTError 9 at the
  // attribute.
  void LoadDeclarations(KTXPathNode* attribute);
  void PushDeclaration(KTExecFrame* frame);

  std::vector<KTString> names_;
  size_t nameCursor_ = 0;
  std::vector<KTXPathNode*> declarations_;
  size_t declarationCursor_ = 0;
  const KTPrefixMap* namespaceMap_ = nullptr;
};

// xsl:fallback (element id 13) run as an instruction: its content in order.
class KTFallbackExecutor : public KTInstructionExecutor {
 public:
  explicit KTFallbackExecutor(KTXSLTProcessor* processor);
  bool Start() override;
  bool Continue() override;
};

// An XSLT element without an executor, in forwards-compatible mode: its
// xsl:fallback children in order; nothing else of it runs.
class KTForwardsCompatibleExecutor : public KTInstructionExecutor {
 public:
  // Outside the recogniser's ids 1 to 36.
  static constexpr int kElementId = 37;
  explicit KTForwardsCompatibleExecutor(KTXSLTProcessor* processor);
  bool Start() override;
  bool Continue() override;
};
