// Build-time generator of the embedded-file store: reads the named files of a
// resources folder and writes a C++ source holding each as one base64 text
// (standard alphabet, '=' padding) in string-literal pieces of 512 characters.
//
//   gen_embedded_files <output.cpp> <resources folder> <name>|<name>=<file>...
//
// The table keeps the names in the order given; a name whose file is missing
// gets an entry without text, which the lookup answers with "not found".
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr size_t kPieceLength = 512;

std::string EncodeBase64(const std::string& data) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(data[i]) << 16 | static_cast<unsigned char>(data[i + 1]) << 8 |
                 static_cast<unsigned char>(data[i + 2]);
    out += alphabet[v >> 18 & 63];
    out += alphabet[v >> 12 & 63];
    out += alphabet[v >> 6 & 63];
    out += alphabet[v & 63];
  }
  size_t rest = data.size() - i;
  if (rest > 0) {
    unsigned v = static_cast<unsigned char>(data[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(data[i + 1]) << 8;
    out += alphabet[v >> 18 & 63];
    out += alphabet[v >> 12 & 63];
    out += rest == 2 ? alphabet[v >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

bool ReadWhole(const std::string& path, std::string& data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool PlainName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    if (c <= ' ' || c > '~' || c == '"' || c == '\\' || c == '/') return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: gen_embedded_files <output.cpp> <resources folder> <name>[=<file>]...\n");
    return 2;
  }
  const std::string output = argv[1];
  const std::string folder = argv[2];
  std::ostringstream texts;
  std::ostringstream table;
  int stored = 0;
  for (int a = 3; a < argc; ++a) {
    // An argument is the stored name, or "stored=file" when the file in the
    // resources folder has another name than the one the program asks for.
    const std::string argument = argv[a];
    const size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    const std::string file = equals == std::string::npos ? name : argument.substr(equals + 1);
    if (!PlainName(name) || !PlainName(file)) {
      std::fprintf(stderr, "gen_embedded_files: unusable file name '%s'\n", argument.c_str());
      return 1;
    }
    std::string data;
    if (!ReadWhole(folder + "/" + file, data)) {
      table << "    {u\"" << name << "\", 0, nullptr},\n";
      continue;
    }
    if (data.size() > 0x7FFFFFFF / 2) {
      std::fprintf(stderr, "gen_embedded_files: %s is too large\n", name.c_str());
      return 1;
    }
    const std::string text = EncodeBase64(data);
    texts << "// " << name << ": " << data.size() << " bytes\n";
    texts << "const char kText" << stored << "[] =\n";
    if (text.empty()) texts << "    \"\"";
    for (size_t at = 0; at < text.size(); at += kPieceLength) {
      if (at > 0) texts << "\n";
      texts << "    \"" << text.substr(at, kPieceLength) << "\"";
    }
    texts << ";\n\n";
    table << "    {u\"" << name << "\", " << data.size() << ", kText" << stored << "},\n";
    ++stored;
  }

  const std::string temporary = output + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) {
      std::fprintf(stderr, "gen_embedded_files: cannot write %s\n", temporary.c_str());
      return 1;
    }
    out << "// Generated at build time by gen_embedded_files from resources/; not to be edited.\n"
        << "#include \"streams/ktembeddedfiles.h\"\n\n"
        << "namespace {\n\n"
        << texts.str() << "}  // namespace\n\n"
        << "const KTEmbeddedFile kEmbeddedFiles[] = {\n"
        << table.str() << "};\n\n"
        << "const int kEmbeddedFileCount = " << (argc - 3) << ";\n";
    if (!out.flush()) {
      std::fprintf(stderr, "gen_embedded_files: cannot write %s\n", temporary.c_str());
      return 1;
    }
  }
  if (std::rename(temporary.c_str(), output.c_str()) != 0) {
    std::fprintf(stderr, "gen_embedded_files: cannot replace %s\n", output.c_str());
    return 1;
  }
  return 0;
}
