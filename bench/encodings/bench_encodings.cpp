// Decodes 20 MB documents into UTF-16 through DecodeToUtf16: UTF-8 with
// mostly ASCII markup, UTF-8 with mostly Japanese text, Shift_JIS, and
// ISO-8859-1; memcpy of the same bytes is the memory-speed peer figure.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>

#include "core/ktencoding.h"

namespace {

constexpr std::size_t kTargetBytes = 20u * 1000u * 1000u;

// Repeats a UTF-16 record, encodes it once, and grows it to ~20 MB of bytes.
std::string MakeDocument(const std::u16string& record, int id) {
  int length = int(record.size());
  std::unique_ptr<char[]> bytes = EncodeFromUtf16(record.data(), &length, id, 0, false, false);
  std::string one(bytes.get(), std::size_t(length));
  std::string doc;
  doc.reserve(kTargetBytes + one.size());
  while (doc.size() < kTargetBytes) doc += one;
  return doc;
}

const std::u16string kMarkup =
    u"<item id=\"42\" kind=\"book\"><title>An ordinary title of a record</title>"
    u"<price currency=\"EUR\">12.50</price><note>caf\u00E9 na\u00EFve</note></item>\n";
const std::u16string kJapanese =
    u"<p>\u65E5\u672C\u8A9E\u306E\u30C6\u30AD\u30B9\u30C8\u3067\u3059\u3002"
    u"\u6F22\u5B57\u3068\u3072\u3089\u304C\u306A\u3068\u30AB\u30BF\u30AB\u30CA\u3002"
    u"\uFF76\uFF80\uFF76\uFF85</p>\n";

void Decode(benchmark::State& state, const std::string& doc, int id) {
  for (auto _ : state) {
    int length = int(doc.size());
    std::unique_ptr<char16_t[]> text = DecodeToUtf16(doc.data(), &length, id, 0);
    benchmark::DoNotOptimize(text.get());
    if (!text) state.SkipWithError("decoding failed");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(doc.size()));
}

void BM_Utf8Markup(benchmark::State& state) {
  static const std::string doc = MakeDocument(kMarkup, kEncodingUtf8);
  Decode(state, doc, kEncodingUtf8);
}

void BM_Utf8Japanese(benchmark::State& state) {
  static const std::string doc = MakeDocument(kJapanese, kEncodingUtf8);
  Decode(state, doc, kEncodingUtf8);
}

void BM_ShiftJisJapanese(benchmark::State& state) {
  static const std::string doc = MakeDocument(kJapanese, kEncodingShiftJis);
  Decode(state, doc, kEncodingShiftJis);
}

void BM_ShiftJisMarkup(benchmark::State& state) {
  static const std::string doc = MakeDocument(kMarkup + kJapanese, kEncodingShiftJis);
  Decode(state, doc, kEncodingShiftJis);
}

void BM_Latin1Markup(benchmark::State& state) {
  static const std::string doc = MakeDocument(kMarkup, 1);
  Decode(state, doc, 1);
}

// The floor: reading 20 MB and writing 40 MB (the UTF-16 result's size).
void BM_MemcpyPeer(benchmark::State& state) {
  static const std::string doc = MakeDocument(kMarkup, kEncodingUtf8);
  for (auto _ : state) {
    std::unique_ptr<char[]> out(new char[doc.size() * 2]);
    std::memcpy(out.get(), doc.data(), doc.size());
    std::memcpy(out.get() + doc.size(), doc.data(), doc.size());
    benchmark::DoNotOptimize(out.get());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(doc.size()));
}

}  // namespace

BENCHMARK(BM_Utf8Markup)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Utf8Japanese)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShiftJisJapanese)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShiftJisMarkup)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Latin1Markup)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyPeer)->Unit(benchmark::kMillisecond);
