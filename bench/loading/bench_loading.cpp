// Document loading on a 20 MB UTF-8 file written once to the temporary
// folder: reading and decoding alone (ReadText), the whole load into a tree
// (LoadFromUrl), and saving the text back in UTF-8 and UTF-16.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "ktloadtest_util.h"
#include "core/ktencoding.h"
#include "platform/ktutf8.h"
#include "xml/ktdocloader.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktxnode.h"

namespace {

constexpr std::size_t kTargetBytes = 20u * 1000u * 1000u;

std::string TempPath(const char* name) {
  return (std::filesystem::temp_directory_path() / ("bench-loading-" + std::to_string(getpid()) + name)).string();
}

const KTString& DocumentPath() {
  static KTString path = [] {
    std::string file = TempPath(".xml");
    std::string record =
        "  <item id=\"42\" kind=\"book\"><title>An ordinary title</title><note>caf\xC3\xA9 na\xC3\xAFve</note></item>\n";
    std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<items>\n";
    while (doc.size() < kTargetBytes) doc += record;
    doc += "</items>\n";
    FILE* f = std::fopen(file.c_str(), "wb");
    std::fwrite(doc.data(), 1, doc.size(), f);
    std::fclose(f);
    return KTString(std::u16string_view(KTUtf8ToUtf16(file)));
  }();
  return path;
}

void BM_ReadAndDecode(benchmark::State& state) {
  const KTString& path = DocumentPath();
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  for (auto _ : state) {
    KTLoadStatus status;
    KTString text = loader.ReadText(path, status, nullptr);
    if (status.HasError() || text.IsEmpty()) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(text.c_str());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kTargetBytes));
}

void BM_LoadTree(benchmark::State& state) {
  const KTString& path = DocumentPath();
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  for (auto _ : state) {
    KTLoadStatus status;
    std::unique_ptr<KTXNode> tree(loader.LoadFromUrl(path, status));
    if (!tree) state.SkipWithError("load failed");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kTargetBytes));
}

void Save(benchmark::State& state, int id) {
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  KTLoadStatus status;
  KTString text = loader.ReadText(DocumentPath(), status, nullptr);
  std::string out = TempPath("-out.xml");
  KTString outPath(std::u16string_view(KTUtf8ToUtf16(out)));
  for (auto _ : state) {
    if (!loader.SaveTextToFile(outPath, text, status, id, kByteOrderLittle)) state.SkipWithError("save failed");
  }
  std::remove(out.c_str());
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kTargetBytes));
}

void BM_SaveUtf8(benchmark::State& state) { Save(state, kEncodingUtf8); }
void BM_SaveUtf16(benchmark::State& state) { Save(state, kEncodingUtf16); }

BENCHMARK(BM_ReadAndDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadTree)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveUtf8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveUtf16)->Unit(benchmark::kMillisecond);

}  // namespace
