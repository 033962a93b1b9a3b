// Build-time generator of the linked grammar tables: loads each named grammar
// file from the embedded-file store, as the program would at run time, and
// writes a C++ source holding the linked grammar as words (ParsoGrammar::SaveLinked).
//
//   gen_grammar_tables <output.cpp> <grammar file name>...
//
// A grammar that is not embedded or does not load gets no tables: the program
// then reads it at run time and meets the same failure there.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "parso/parsogrammar.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: gen_grammar_tables <output.cpp> <grammar file name>...\n");
    return 2;
  }
  const std::string output = argv[1];
  std::ostringstream words;
  std::ostringstream table;
  int stored = 0;
  for (int a = 2; a < argc; ++a) {
    const std::string name = argv[a];
    for (char c : name) {
      if (c <= ' ' || c > '~' || c == '"' || c == '\\') {
        std::fprintf(stderr, "gen_grammar_tables: unusable file name '%s'\n", name.c_str());
        return 1;
      }
    }
    ParsoGrammar grammar;
    if (!grammar.Init(std::u16string(name.begin(), name.end()).c_str())) continue;
    std::vector<uint32_t> linked;
    grammar.SaveLinked(linked);
    words << "// " << name << ": " << grammar.GetRuleCount() << " rule slots\n";
    words << "const uint32_t kWords" << stored << "[] = {";
    for (size_t i = 0; i < linked.size(); ++i) {
      words << (i % 12 == 0 ? "\n    " : " ") << "0x" << std::hex << linked[i] << std::dec << ",";
    }
    words << "\n};\n\n";
    table << "    {u\"" << name << "\", kWords" << stored << ", " << linked.size() << "},\n";
    ++stored;
  }

  const std::string temporary = output + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) {
      std::fprintf(stderr, "gen_grammar_tables: cannot write %s\n", temporary.c_str());
      return 1;
    }
    out << "// Generated at build time by gen_grammar_tables from the embedded grammar files;\n"
        << "// not to be edited.\n"
        << "#include \"xml/ktgrammarcache.h\"\n\n"
        << "namespace {\n\n"
        << words.str() << "}  // namespace\n\n"
        << "const KTLinkedGrammarTables kLinkedGrammarTables[] = {\n"
        << table.str() << (stored == 0 ? "    {nullptr, nullptr, 0},\n" : "") << "};\n\n"
        << "const int kLinkedGrammarTableCount = " << stored << ";\n";
    if (!out.flush()) {
      std::fprintf(stderr, "gen_grammar_tables: cannot write %s\n", temporary.c_str());
      return 1;
    }
  }
  if (std::rename(temporary.c_str(), output.c_str()) != 0) {
    std::fprintf(stderr, "gen_grammar_tables: cannot replace %s\n", output.c_str());
    return 1;
  }
  return 0;
}
