// Runs one transformation through the processor: loads the stylesheet and
// the source, steps the processor to the end, serialises, and prints the
// output's length on standard output and the times of loading and of the
// transformation on standard error.
//   bench_templates style.xsl in.xml
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "core/ktstring.h"
#include "platform/ktutf8.h"
#include "xml/ktdocloader.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktschemaservices.h"
#include "xml/ktxnode.h"
#include "xml/ktxpathnode.h"
#include "xml/ktxpathtreecontext.h"
#include "xslt/ktrunloop.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltprocessor.h"

namespace {

class BenchProcessor : public KTXSLTProcessor {
 public:
  KTXNode* LoadDocument(const char16_t*) override { return nullptr; }
  std::unique_ptr<KTSchemaServices> NewSchemaModel() override { return nullptr; }
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::unique_ptr<KTXNode> Load(const KTGrammarCache& grammars, const char* path) {
  std::ifstream file(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  KTDocumentLoader loader(&grammars, nullptr, nullptr);
  KTLoadStatus status;
  std::unique_ptr<KTXNode> tree(
      loader.LoadFromBytes(bytes.data(), static_cast<uint32_t>(bytes.size()), KTGrammarCache::kXml, status));
  if (!tree) std::fprintf(stderr, "%s: %s\n", path, KTUtf16ToUtf8(status.GetMessage().View()).c_str());
  return tree;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_templates style.xsl in.xml\n");
    return 2;
  }
  auto start = std::chrono::steady_clock::now();
  KTGrammarCache grammars;
  KTString failed;
  grammars.LoadStandardGrammars(false, failed);
  KTXPathTreeContext context;
  BenchProcessor processor;
  processor.SetTreeContext(&context);
  std::unique_ptr<KTXNode> styleTree = Load(grammars, argv[1]);
  std::unique_ptr<KTXNode> sourceTree = Load(grammars, argv[2]);
  if (!styleTree || !sourceTree) return 1;
  std::unique_ptr<KTXPathNode> style = context.WrapTree(styleTree.get(), nullptr, false, nullptr);
  std::unique_ptr<KTXPathNode> source = context.WrapTree(sourceTree.get(), nullptr, false, nullptr);
  double loaded = Seconds(start);
  auto run = std::chrono::steady_clock::now();
  size_t length = 0;
  try {
    KTRunTransformation(processor, style.get(), source.get());
    length = KTString(processor.Serialize()).GetLength();
  } catch (KTXSLTError& error) {
    std::fprintf(stderr, "error %d: %s\n", error.GetCode(), KTUtf16ToUtf8(error.GetMessage()).c_str());
    return 1;
  }
  std::fprintf(stderr, "load %.3f s, transform %.3f s\n", loaded, Seconds(run));
  std::printf("%zu\n", length);
  return 0;
}
