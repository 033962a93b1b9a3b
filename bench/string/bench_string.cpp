// Builds a 50 MB text (25 million UTF-16 code units) in a KTString by single
// character appends, by short-text appends and by appends at a tracked
// length; std::u16string doing the same is the peer figure.
#include <benchmark/benchmark.h>

#include <string>

#include "core/ktstring.h"

namespace {

constexpr int kUnits = 25 * 1000 * 1000;  // 50 MB of UTF-16

void BM_KTStringAppendChar(benchmark::State& state) {
  for (auto _ : state) {
    KTString s;
    for (int i = 0; i < kUnits; ++i) s += static_cast<char16_t>(u'a' + (i & 15));
    benchmark::DoNotOptimize(s.GetLength());
  }
  state.SetBytesProcessed(state.iterations() * kUnits * 2LL);
}

void BM_KTStringAppendText(benchmark::State& state) {
  for (auto _ : state) {
    KTString s;
    for (int i = 0; i < kUnits / 10; ++i) s += u"0123456789";
    benchmark::DoNotOptimize(s.GetLength());
  }
  state.SetBytesProcessed(state.iterations() * kUnits * 2LL);
}

void BM_KTStringAppendAtLength(benchmark::State& state) {
  for (auto _ : state) {
    KTString s;
    int len = 0;
    for (int i = 0; i < kUnits; ++i) s.AppendCharAtLength(static_cast<char16_t>(u'a' + (i & 15)), len, 16384);
    benchmark::DoNotOptimize(s.GetLength());
  }
  state.SetBytesProcessed(state.iterations() * kUnits * 2LL);
}

void BM_U16StringAppendChar(benchmark::State& state) {
  for (auto _ : state) {
    std::u16string s;
    for (int i = 0; i < kUnits; ++i) s += static_cast<char16_t>(u'a' + (i & 15));
    benchmark::DoNotOptimize(s.size());
  }
  state.SetBytesProcessed(state.iterations() * kUnits * 2LL);
}

BENCHMARK(BM_KTStringAppendChar)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KTStringAppendText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KTStringAppendAtLength)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_U16StringAppendChar)->Unit(benchmark::kMillisecond);

}  // namespace
