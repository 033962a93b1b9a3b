// Helpers shared by the tests and benchmarks that load documents: the
// standard grammars, loaded once per program, and load status messages as
// UTF-8 for failure output.
#pragma once

#include <string>

#include "core/ktstring.h"
#include "platform/ktutf8.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"

// The standard grammars, loaded on first use and kept (never freed) to the end
// of the program, so every test or benchmark pays for loading them once.
inline const KTGrammarCache& StandardGrammars() {
  static KTGrammarCache* cache = [] {
    auto* c = new KTGrammarCache();
    KTString failed;
    c->LoadStandardGrammars(false, failed);
    return c;
  }();
  return *cache;
}

inline std::string StatusMessage(const KTLoadStatus& status) { return KTUtf16ToUtf8(status.GetMessage().View()); }
