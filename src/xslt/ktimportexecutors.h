// The executors of xsl:import and xsl:apply-imports.
//
// KTImportExecutor runs one xsl:import while the stylesheet executor walks
// the top-level elements: it loads and compiles the imported stylesheet,
// refuses one that is already being processed, runs its stylesheet element
// in a child frame (which registers its templates and declarations) and,
// when that frame has finished, raises the import precedence, so that what
// is registered afterwards outranks what the import brought in.
//
// KTApplyImportsExecutor runs the rule that the current template rule
// overrides: the first rule of lower import precedence that matches the
// node the template was applied to, in the template's mode, found through
// the same rule index as apply-templates.
#pragma once

#include "xslt/ktinstructionexecutor.h"

class KTImportExecutor : public KTInstructionExecutor {
 public:
  explicit KTImportExecutor(KTXSLTProcessor* processor);
  // KTXSLTError 43 at the href attribute when the document cannot be
  // loaded (or holds no element), 45 at the xsl:import when its stylesheet
  // is already being included or imported.
  bool Start() override;
  bool Continue() override;
};

class KTApplyImportsExecutor : public KTInstructionExecutor {
 public:
  explicit KTApplyImportsExecutor(KTXSLTProcessor* processor);
  // KTXSLTError 36 without a current template rule; 7 when no rule (not
  // even a built-in one) matches.
  bool Start() override;
};
