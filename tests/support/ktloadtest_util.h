// Helpers shared by the tests and benchmarks that load documents: the
// standard grammars, loaded once per program, load status messages as UTF-8
// for failure output, and loaded trees written back for comparison.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "core/ktstring.h"
#include "platform/ktutf8.h"
#include "xml/ktdocloader.h"
#include "xml/ktdocmanager.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktxnode.h"
#include "xml/ktxwriter.h"

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

// The tree as UTF-8 text without its XML declaration, which names each file's
// own encoding: trees loaded from different encodings or sources compare equal.
inline std::string WrittenWithoutDeclaration(KTXNode* tree) {
  KTWriteOptions options{.omitDeclaration = true};
  KTString text;
  int length = 0;
  tree->WriteText(text, length, -1, options);
  return KTUtf16ToUtf8(std::u16string_view(text.c_str(), length));
}

// A path or URL given as UTF-8, as the loaders take it.
inline KTString LoadName(const std::string& utf8) { return KTString(std::u16string_view(KTUtf8ToUtf16(utf8))); }

// A folder of its own (with a folder "sub" inside) for the files a test
// writes, removed afterwards; `prefix` names the test program.
class KTLoadTestFolder {
 public:
  KTLoadTestFolder(const char* prefix, const char* name)
      : path_(std::filesystem::temp_directory_path() /
              (std::string(prefix) + "-" + std::to_string(getpid()) + "-" + name)) {
    std::filesystem::create_directories(path_ / "sub");
  }
  ~KTLoadTestFolder() { std::filesystem::remove_all(path_); }
  KTLoadTestFolder(const KTLoadTestFolder&) = delete;
  KTLoadTestFolder& operator=(const KTLoadTestFolder&) = delete;
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(File(name), std::ios::binary) << text;
    return File(name);
  }

 private:
  std::filesystem::path path_;
};

// A document loaded by a new loader of the manager: whether it loaded
// without error, and its tree written as WrittenWithoutDeclaration does.
struct KTLoadResult {
  bool loaded = false;
  std::string tree;
};

inline KTLoadResult LoadAndWrite(KTDocumentManager& manager, const std::string& path) {
  std::unique_ptr<KTDocumentLoader> loader = manager.NewLoader();
  KTLoadStatus status;
  std::unique_ptr<KTXNode> tree(loader->LoadFromUrl(LoadName(path).c_str(), status));
  KTLoadResult result;
  result.loaded = tree && !status.HasError();
  if (tree) result.tree = WrittenWithoutDeclaration(tree.get());
  return result;
}
