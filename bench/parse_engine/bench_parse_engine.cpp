// Parse engine throughput on a generated 20 MB XML document: with the XML
// grammar shipped as an embedded file, and with a small element grammar
// written here. `xmllint --noout` on the same document runs as the peer
// figure when the tool is installed (Debian: libxml2-utils).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "parso/parso.h"

namespace {

constexpr size_t kDocumentChars = 20u * 1000u * 1000u;

// Nested records with attributes, text, references, comments and CR LF line ends.
const std::u16string& Document() {
  static const std::u16string doc = [] {
    std::u16string d = u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<catalog>\r\n";
    for (int i = 0; d.size() < kDocumentChars; ++i) {
      const std::u16string n(1, static_cast<char16_t>(u'0' + i % 10));
      d += u"  <book id=\"b" + n + u"\" lang='en' available=\"yes\">\r\n";
      d += u"    <title>The Book of Things &amp; Stuff " + n + u"</title>\r\n";
      d += u"    <author><first>Ann</first><last>Other</last></author>\r\n";
      d += u"    <price currency=\"EUR\">12.50</price>\r\n";
      if (i % 4 == 0) d += u"    <!-- reprinted edition -->\r\n";
      d += u"    <description>A long text about things, with more words to fill "
           u"the line, and a character reference &#x41; in it.</description>\r\n";
      d += u"    <empty/>\r\n  </book>\r\n";
    }
    d += u"</catalog>\r\n";
    return d;
  }();
  return doc;
}

const char16_t kSmallGrammar[] =
    u"document ::= prolog element misc*\n"
    u"prolog ::= xmlDecl? misc*\n"
    u"xmlDecl ::= '<?xml' [^?]* '?>'\n"
    u"misc ::= comment | S\n"
    u"element ::= emptyTag | realTag\n"
    u"emptyTag$ ::= '<' Name (S attribute)* S? '/>'\n"
    u"realTag$ ::= sTag content eTag { Name = NameEnd } >element\n"
    u"sTag ::= '<' Name (S attribute)* S? '>'\n"
    u"eTag ::= '</' NameEnd S? '>'\n"
    u"content$ ::= (Text | element | comment | Ref)*\n"
    u"attribute$ ::= Name Eq (('\"' Value1 '\"') | (\"'\" Value2 \"'\"))\n"
    u"comment ::= '<!--' Comment '-->'\n"
    u"Comment ::= [^#x00]* / '--'\n"
    u"Ref ::= '&' [#a-zA-Z0-9]+ ';'\n"
    u"Text ::= [^<&]+\n"
    u"Value1 ::= [^<&\"]*\n"
    u"Value2 ::= [^<&']*\n"
    u"Eq! ::= S? '=' S?\n"
    u"S! ::= [#x20#x09#x0D#x0A]+\n"
    u"Name ::= [:A-Z_a-z#xC0-#xFF] [:A-Z_a-z#xC0-#xFF.0-9-]*\n"
    u"NameEnd ::= [:A-Z_a-z#xC0-#xFF] [:A-Z_a-z#xC0-#xFF.0-9-]* >end tag name\n";

void RunParse(benchmark::State& state, ParsoGrammar& grammar) {
  const std::u16string& doc = Document();
  ParsoParser parser(&grammar);
  parser.SetCaseSensitive(true);
  parser.SetFlatten(true);
  parser.SetEndNameRemoval(true);
  for (auto _ : state) {
    if (!parser.Parse(doc.data(), doc.size())) {
      std::string message;
      for (char16_t c : parser.GetErrorText()) message += static_cast<char>(c);
      state.SkipWithError(("parse failed: " + message + " at " +
                           std::to_string(parser.GetErrorOffset())).c_str());
      break;
    }
    benchmark::DoNotOptimize(parser.GetRoot());
    parser.DropTree();
  }
  // Megabytes of the document as an ASCII file, as the peer tool reads it.
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc.size()));
}

void BM_ParseShippedXmlGrammar(benchmark::State& state) {
  ParsoGrammar grammar;
  if (!grammar.Init(u"gra_xml.txt")) {
    state.SkipWithError("gra_xml.txt is not embedded");
    return;
  }
  RunParse(state, grammar);
}

void BM_ParseSmallGrammar(benchmark::State& state) {
  ParsoGrammar grammar;
  if (!grammar.LoadText(kSmallGrammar, u"bench grammar")) {
    state.SkipWithError("bench grammar does not load");
    return;
  }
  RunParse(state, grammar);
}

void BM_XmllintNoout(benchmark::State& state) {
  if (std::system("command -v xmllint > /dev/null 2>&1") != 0) {
    state.SkipWithError("xmllint not installed");
    return;
  }
  const std::string path = "/tmp/ost_bench_parse_engine.xml";
  {
    std::ofstream out(path, std::ios::binary);
    for (char16_t c : Document()) out.put(static_cast<char>(c));
  }
  const std::string command = "xmllint --noout " + path;
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("xmllint failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(Document().size()));
  std::remove(path.c_str());
}

BENCHMARK(BM_ParseShippedXmlGrammar)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ParseSmallGrammar)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_XmllintNoout)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
