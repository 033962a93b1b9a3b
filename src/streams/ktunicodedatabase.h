// The Unicode character database: general category and block name of every
// character of the Basic Multilingual Plane, from the Unicode 3.2 data files
// that the program carries as built-in files.
#pragma once

#include <cstdint>
#include <vector>

#include "core/ktstring.h"

struct KTUnicodeBlockRange {
  uint16_t first;
  uint16_t last;  // both ends belong to the block
};

// a is less than b when it lies wholly below it; a range is equivalent to
// every range that it overlaps, so the point {c, c} finds the block of c.
struct KTUnicodeBlockRangeLess {
  bool operator()(const KTUnicodeBlockRange& a, const KTUnicodeBlockRange& b) const {
    return a.first < b.first && a.last < b.last;
  }
};

class KTUnicodeDatabase {
 public:
  // Loads "Blocks.txt" and "UnicodeData.txt" through built-in-file streams.
  // Raises KTComError when a stream cannot be created, opened or read.
  KTUnicodeDatabase();
  // The same from the two named streams of class 8.
  KTUnicodeDatabase(const char16_t* blocksName, const char16_t* dataName);

  // The general category of c ("Lu", "Nd", ...); "Cn" for a code point that
  // the data does not assign. Never null.
  static const char16_t* GetCategory(char16_t c);
  // The name of the block holding c ("BasicLatin"), or null when c lies in none.
  static const char16_t* GetBlockName(char16_t c);

  // The one process-wide instance, built on first use.
  static const KTUnicodeDatabase& Instance();

  // Reads a block list ("first;last;Name" lines) into the block table. Ranges
  // overlapping one already held are not taken.
  void LoadBlocks(const char16_t* streamName);
  // Reads a UnicodeData file into the category records.
  void LoadUnicodeData(const char16_t* streamName);

  const char16_t* CategoryOf(char16_t c) const { return categories_[c].text; }
  const char16_t* BlockNameOf(char16_t c) const;
  int GetBlockCount() const { return static_cast<int>(blocks_.size()); }

 private:
  struct KTCategoryRecord {
    char16_t text[3];  // one or two letters, NUL-terminated
  };
  struct KTBlock {
    KTUnicodeBlockRange range;
    KTString name;
  };

  void InsertBlock(KTUnicodeBlockRange range, const char16_t* name);

  KTCategoryRecord categories_[0x10000];
  std::vector<KTBlock> blocks_;  // ordered by range, no overlaps
};
