// The embedded-file store: the files that the program carries inside itself
// (grammars, the Unicode character data, DTDs, a licence document), held as
// base64 texts generated from resources/ at build time and decoded on request.
#pragma once

#include <memory>

// Decodes a NUL-terminated base64 text in the standard alphabet. On success
// the result is a buffer of length * 3 / 4 + 4 bytes (the last four zero) and
// length is text length * 3 / 4: each '=' of the padding gives one zero byte,
// counted in length. A text whose length is not a multiple of four, that holds
// a character outside the alphabet, or '=' anywhere but in the last two places,
// gives null and length 0.
std::unique_ptr<char[]> Base64Decode(const char* text, int& length);

// Finds the stored file whose name equals name without regard to the case of
// ASCII letters (whole names: no folder is stripped). On a match the result is
// a buffer of its own holding the file followed by a NUL at index size.
// Otherwise null, with size untouched.
std::unique_ptr<char[]> GetEmbeddedFile(const char16_t* name, int& size);

// One stored file of the generated table; text is null for a file the table
// names but the build did not find in resources/.
struct KTEmbeddedFile {
  const char16_t* name;
  int size;
  const char* text;
};

// The generated table, in the order in which names are compared.
extern const KTEmbeddedFile kEmbeddedFiles[];
extern const int kEmbeddedFileCount;
