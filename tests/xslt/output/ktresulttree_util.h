// Helpers of the serialiser tests: hand-built result trees, UTF-8 texts and
// runs of xsltproc and xmllint on files in a scratch folder.
#pragma once

#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>

#include "core/ktencoding.h"
#include "core/ktstring.h"
#include "xml/ktxpathnode.h"

namespace ktresulttree {

// Result trees are built the way the executors build them: nodes without a
// wrapped document node, owned names and values, interned URI pointers.
class TreeBuilder {
 public:
  TreeBuilder() : root_(std::make_unique<KTXPathNode>(nullptr, kXPathRoot)) {}
  KTXPathNode* Root() { return root_.get(); }

  KTXPathNode* Add(KTXPathNode* parent, int kind, const char16_t* name, const char16_t* value,
                   const char16_t* uri = nullptr) {
    auto node = std::make_unique<KTXPathNode>(nullptr, kind);
    if (name) node->SetName(name);
    if (value) node->SetValue(value);
    if (uri) node->SetNamespaceUri(Intern(uri));
    return parent->AppendChild(std::move(node));
  }
  KTXPathNode* Element(KTXPathNode* parent, const char16_t* name, const char16_t* uri = nullptr) {
    return Add(parent, kXPathElement, name, nullptr, uri);
  }
  KTXPathNode* Attribute(KTXPathNode* parent, const char16_t* name, const char16_t* value) {
    return Add(parent, kXPathAttribute, name, value);
  }
  KTXPathNode* Namespace(KTXPathNode* parent, const char16_t* name, const char16_t* uri) {
    return Add(parent, kXPathNamespace, name, uri);
  }
  KTXPathNode* Text(KTXPathNode* parent, const char16_t* value) {
    return Add(parent, kXPathText, nullptr, value);
  }
  KTXPathNode* RawText(KTXPathNode* parent, const char16_t* value) {
    KTXPathNode* node = Text(parent, value);
    node->SetOutputFlag(false);
    return node;
  }
  KTXPathNode* Comment(KTXPathNode* parent, const char16_t* value) {
    return Add(parent, kXPathComment, nullptr, value);
  }
  KTXPathNode* Pi(KTXPathNode* parent, const char16_t* target, const char16_t* value) {
    return Add(parent, kXPathPI, target, value);
  }

 private:
  const KTString* Intern(const char16_t* uri) {
    for (const KTString& u : uris_) {
      if (u == uri) return &u;
    }
    return &uris_.emplace_back(uri);
  }
  std::deque<KTString> uris_;
  std::unique_ptr<KTXPathNode> root_;
};

inline std::string Encode(const char16_t* text, int length, int encodingId) {
  int n = length;
  std::unique_ptr<char[]> bytes = EncodeFromUtf16(text, &n, encodingId, kByteOrderNone, false, false);
  return bytes ? std::string(bytes.get(), n) : std::string();
}

inline std::string Utf8(std::u16string_view text) {
  return Encode(text.data(), static_cast<int>(text.size()), kEncodingUtf8);
}

inline bool HaveTool(const char* name) {
  return std::system((std::string(name) + " --version >/dev/null 2>&1").c_str()) == 0;
}

// A scratch folder removed at the end of the test.
class ScratchFolder {
 public:
  ScratchFolder() {
    path_ = std::filesystem::temp_directory_path() /
            ("ost_output_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++));
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::filesystem::path file = path_ / name;
    std::ofstream(file, std::ios::binary) << bytes;
    return file.string();
  }

 private:
  static inline int counter_ = 0;
  std::filesystem::path path_;
};

// Standard output of a command, as bytes.
inline std::string Run(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

// xsltproc's output of a stylesheet (run on itself as the source).
inline std::string Xsltproc(const ScratchFolder& folder, const std::string& stylesheet) {
  std::string file = folder.Write("style.xsl", stylesheet);
  return Run("xsltproc '" + file + "' '" + file + "' 2>/dev/null");
}

// The canonical form (xmllint --c14n) of an XML text.
inline std::string Canonical(const ScratchFolder& folder, const std::string& name,
                             const std::string& bytes) {
  std::string file = folder.Write(name, bytes);
  return Run("xmllint --c14n '" + file + "' 2>&1");
}

}  // namespace ktresulttree
