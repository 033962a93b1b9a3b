// The embedded-file store: the files that the program carries inside itself
// (grammars, the Unicode character data, DTDs, a licence document), held as
// base64 texts generated from resources/ at build time and decoded on request.
#pragma once

// Decodes a NUL-terminated base64 text in the standard alphabet. On success
// bytes is a new buffer (free with delete[]) of length * 3 / 4 + 4 bytes and
// length is text length * 3 / 4: each '=' of the padding gives one zero byte,
// counted in length. A text whose length is not a multiple of four, that holds
// a character outside the alphabet, or '=' anywhere but in the last two places,
// gives bytes null and length 0.
void Base64Decode(const char* text, char*& bytes, int& length);

// Finds the stored file whose name equals name without regard to the case of
// ASCII letters (whole names: no folder is stripped). On a match bytes is a new
// buffer (free with delete[]) holding the file followed by a NUL at index size,
// and the result is true. Otherwise false, with bytes and size untouched.
bool GetEmbeddedFile(const char16_t* name, char*& bytes, int& size);

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
