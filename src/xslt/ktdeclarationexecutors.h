// The executors of the declarations that other instructions refer to, and of
// forwards-compatible processing:
// - xsl:namespace-alias stores its prefix pair with the processor;
// - xsl:attribute-set is registered under its expanded name when the
//   stylesheet registers its templates;
// - a use-attribute-sets attribute (of xsl:element, xsl:copy, or
//   xsl:use-attribute-sets of a literal result element) runs the
//   xsl:attribute instructions of the sets it names, flattened by
//   KTAttributeSets into one per attribute;
// - xsl:fallback runs its content; an XSLT element this processor does not
//   know, met in forwards-compatible mode, runs its xsl:fallback children and
//   nothing else (XSLT 1.0 §15).
#pragma once

#include <vector>

#include "core/ktstring.h"
#include "xslt/ktinstructionexecutor.h"
#include "xslt/ktxsltkeywords.h"

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

  // Registers an xsl:attribute-set element under its expanded name with the
  // processor's current import precedence. The stylesheet registers its sets
  // with its templates, before any top-level variable runs, so a variable
  // may use a set declared after it.
  static void Register(KTXSLTProcessor* processor, KTXPathNode* set);

  // The expanded name of an attribute-set name as written, its prefix
  // resolved in `scope` ("uri:local"); an unprefixed name stays as it is and
  // never takes the default namespace. An unbound prefix throws KTXSLTError
  // 10 at `errorNode`.
  static KTString ExpandSetName(std::u16string_view name, const KTPrefixMap* scope, KTXPathNode* errorNode);

};

// A use-attribute-sets attribute (no element id of its own: 0).
class KTUseAttributeSetsExecutor : public KTInstructionExecutor {
 public:
  explicit KTUseAttributeSetsExecutor(KTXSLTProcessor* processor);
  bool Start() override;
  bool Continue() override;

 private:
  void PushInstruction(KTExecFrame* frame);

  std::vector<KTXPathNode*> instructions_;
  size_t cursor_ = 0;
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
  // The first id past the recogniser's ids 1 to 36.
  static constexpr int kElementId = kXSLTElementIdCount;
  explicit KTForwardsCompatibleExecutor(KTXSLTProcessor* processor);
  bool Start() override;
  bool Continue() override;
  bool PerformsFallback() const override { return true; }
};
