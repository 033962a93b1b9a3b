// Document trees of 1.6 million nodes (200,000 elements, each with an
// attribute and three children holding text): building, the tidy-up after
// parsing, writing as text (about 30 million characters), deep copying and
// deleting.
#include <benchmark/benchmark.h>

#include <memory>

#include "xml/ktxnodekinds.h"
#include "xml/ktxwriter.h"

namespace {

constexpr int kItems = 200000;
constexpr int kNodesPerItem = 8;

std::unique_ptr<KTXNode> BuildTree() {
  auto doc = CreateXNode(kXmlDocument);
  KTXNode* root = doc->AppendChild(CreateXNode(kElement));
  root->SetName(u"root");
  for (int i = 0; i < kItems; ++i) {
    KTXNode* item = root->AppendChild(CreateXNode(kElement));
    item->SetName(u"item");
    KTXNode* id = item->AppendChild(CreateXNode(kAttribute));
    id->SetName(u"id");
    id->SetValue(u"12345");
    for (int j = 0; j < 3; ++j) {
      KTXNode* child = item->AppendChild(CreateXNode(kElement));
      child->SetName(u"child");
      child->AppendChild(CreateXNode(kText))->SetValue(u"some text content here");
    }
  }
  return doc;
}

void BM_BuildAndDelete(benchmark::State& state) {
  for (auto _ : state) {
    auto doc = BuildTree();
    benchmark::DoNotOptimize(doc.get());
  }
  state.SetItemsProcessed(state.iterations() * kItems * kNodesPerItem);
}

void BM_Tidy(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto doc = BuildTree();
    state.ResumeTiming();
    doc->ApplyToSubtree(nullptr, nullptr);
    state.PauseTiming();
    doc.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kItems * kNodesPerItem);
}

void BM_Write(benchmark::State& state) {
  auto doc = BuildTree();
  doc->ApplyToSubtree(nullptr, nullptr);
  const KTWriteOptions options(0, u"\t", true, false, u"\n", nullptr, true, false);
  int64_t chars = 0;
  for (auto _ : state) {
    KTString text;
    int length = 0;
    doc->WriteText(text, length, -1, options);
    chars += length;
  }
  state.SetBytesProcessed(chars * 2);
}

void BM_Clone(benchmark::State& state) {
  auto doc = BuildTree();
  for (auto _ : state) {
    auto copy = doc->Clone(true);
    benchmark::DoNotOptimize(copy.get());
  }
  state.SetItemsProcessed(state.iterations() * kItems * kNodesPerItem);
}

}  // namespace

BENCHMARK(BM_BuildAndDelete)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Tidy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Write)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Clone)->Unit(benchmark::kMillisecond);
