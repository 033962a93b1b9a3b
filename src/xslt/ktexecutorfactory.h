// KTExecutorFactory: which executor class runs a stylesheet node, by the
// node's element id (KTXSLTElementId), plus the two kinds that no element id
// names: the use-attribute-sets attribute and an unknown XSLT element in
// forwards-compatible mode. Each executor family registers its creators in
// RegisterStandardExecutors (ktexecutorfactory.cpp); a processor may replace
// a creator (tests run the frame protocol with executors of their own).
#pragma once

#include <array>
#include <memory>

#include "xslt/ktxsltkeywords.h"

class KTInstructionExecutor;
class KTXSLTProcessor;

class KTExecutorFactory {
 public:
  // Kinds beyond the element ids 0..36.
  static constexpr int kUseAttributeSets = kXSLTElementIdCount;
  static constexpr int kForwardsCompatible = kXSLTElementIdCount + 1;
  static constexpr int kKindCount = kXSLTElementIdCount + 2;

  // A plain function (a lambda without captures converts to one): a frame
  // calls it at its first step, so the call goes straight to it.
  using Creator = std::unique_ptr<KTInstructionExecutor> (*)(KTXSLTProcessor*);

  // A factory holding the standard executors.
  KTExecutorFactory();

  // Replaces the creator of a kind (an empty creator removes it).
  void Register(int kind, Creator creator);
  // Inline, as CreatorFor: a frame asks them at its first step.
  bool Has(int kind) const { return kind >= 0 && kind < kKindCount && creators_[kind]; }
  // The creator of the kind, or null when none is registered.
  Creator CreatorFor(int kind) const { return kind >= 0 && kind < kKindCount ? creators_[kind] : nullptr; }
  // A new executor of the kind, or null when no creator is registered.
  std::unique_ptr<KTInstructionExecutor> Create(int kind, KTXSLTProcessor* processor) const;

 private:
  std::array<Creator, kKindCount> creators_{};
};

// Registers the executors that the processor has: one line per family.
void RegisterStandardExecutors(KTExecutorFactory& factory);
