// KTChunkParse: parses a large document in chunks of whole items of its
// elements' contents, on several threads, and splices the chunks' nodes into
// the rest of the document in order. Any failure leaves the document as it
// was, so the serial parse runs (and reports) exactly as it would have alone.
#pragma once

#include <cstddef>
#include <vector>

class KTParserDriver;
class KTSourceText;
class KTXContainerNode;
class KTXNode;

// A stretch of a document cut out for a parse of its own: whole items
// (elements, texts, comments, processing instructions, CDATA sections) of
// the content of one element, the one at `depth` (the root's 1).
struct KTChunk {
  int start;
  int end;
  int depth;
};

// The chunks of a document in document order. What is left of the text
// without them (the prolog, the tags of the elements whose content they
// cut, what follows the root) is parsed as a document of its own.
struct KTChunkPlan {
  std::vector<KTChunk> chunks;
};

// A split-point finder, not a parser: it reads a prolog of white space,
// comments and processing instructions (no DOCTYPE), the root's start tag,
// and the markup after it as far as telling where elements start and end
// (passing over comments, processing instructions, CDATA sections and
// quoted attribute values). The content of each element down to `maxDepth`
// is cut into runs at the starts of its child elements, a cut at the first
// child starting `chunkChars` or more after the last; a child of at least
// twice that size whose content was cut keeps its tags in the rest of the
// document and its chunks stand in for its content. False, and no plan,
// when it meets what it does not fully understand or finds fewer than two
// chunks: the grammar, which parses every chunk anyway, is what decides
// whether the text is well formed.
bool KTFindChunks(const char16_t* text, int length, int chunkChars, int maxDepth, KTChunkPlan& plan);
// The same with the content past the first of `stretches` equal shares of
// the text scanned ahead, each from its first '<' taken as a tag's start
// (on threads of their own with `threads`, else one after another); a
// stretch is used only where the scan before it meets that '<' as the start
// of markup, so the plan is always the one above.
bool KTFindChunks(const char16_t* text, int length, int chunkChars, int maxDepth, int stretches, bool threads,
                  KTChunkPlan& plan);

// How a document is parsed: chunks on threads for a large one (kAuto), never
// in chunks (kOff), or in chunks whatever its size, cut at every child, on
// threads (kForce) or one after another on the calling thread (kForceInline:
// the split and the splice without threads). The forced modes are for tests;
// the environment variable OSTXSLT_CHUNKED_PARSE (off, force, inline) sets
// the mode of a process at its first parse.
enum class KTChunkMode { kAuto, kOff, kForce, kForceInline };
void KTSetChunkMode(KTChunkMode mode);
KTChunkMode KTGetChunkMode();

class KTChunkParse {
 public:
  // Documents from this length (in characters) on are parsed in chunks on
  // every thread the machine offers, the finder scanning ahead on them too.
  static constexpr int kMinLength = 1 << 20;
  // Shorter documents from this length on (a 150 KB play, a 400 KB table)
  // are cut for fewer threads, one per kMidCharsPerThread characters, and
  // the finder scans them alone: its scan takes less there than starting
  // threads for it. Below it the threads' start, the rest's parse and the
  // splice cost about what they save. Each thread added touches pages of
  // its own (a fresh allocator arena, its stack, node and string pools):
  // where a page fault is dear (a virtual machine, some 10 us each) one
  // thread per 16K characters made the 150 KB play slower than the serial
  // load (about 950 page faults against 840), one per 64K characters
  // (two threads there) touches no more pages than the serial load and
  // keeps the gain on a 400 KB table.
  static constexpr int kMinMidLength = 1 << 17;
  static constexpr int kMidCharsPerThread = 1 << 16;
  // A document shorter than kMinLength is cut only on a machine of this
  // many cores at least: on two, where the other core is likely busy, a
  // thread that starts late makes the load wait for it.
  static constexpr int kMinMidCores = 4;
  // The size of a chunk in characters. Each chunk's parse tree stands whole
  // before its nodes are built, so the chunk's size bounds the memory each
  // thread adds; small enough to spread a document over every thread.
  static constexpr int kChunkChars = 1 << 17;
  // The depth down to which elements' contents are cut: an auction of
  // regions of items, people of persons, needs three.
  static constexpr int kMaxSplitDepth = 4;
  // Threads at most, the calling one included.
  static constexpr int kMaxThreads = 8;
  // The least step by which the allocator grows an arena once a document
  // has been parsed on threads (see Run).
  static constexpr int kArenaStep = 1 << 20;

  // Parses text[0, length) into the empty `document` in chunks when the mode
  // and the text allow it, with `driver`'s grammar and settings. True when
  // the whole document was built (then tidied when `finish`); false with the
  // document untouched and the driver ready for its serial parse. With
  // `release` (a releasable view of that text) the text the chunks have
  // passed is handed back as in the serial build, and given back whole
  // (KTSourceText::Restore) when the attempt fails.
  static bool Run(KTParserDriver& driver, const char16_t* text, int length, KTXNode* document, bool finish,
                  bool withoutNul, KTSourceText* release);
  // Documents parsed in chunks so far in this process (for tests: a chunked
  // load that fell back to the serial parse is not counted).
  static long GetChunkedCount();
  // Whether a load of `length` characters (or bytes) on the calling thread
  // may be split for threads now: never in kOff, whatever its length in the
  // forced modes, from kMinLength on in kAuto (from kMinMidLength on with
  // kMinMidCores cores, the threads then fewer), and only on the process's
  // first thread (see Run). `threads` tells how many it may use, the
  // calling one included: 1 runs the parts one after another on the
  // calling thread (kForceInline, or a forced mode under a limit on the
  // address space). `forced` tells a forced mode.
  static bool MaySplit(long length, int& threads, bool& forced);

 private:
  struct ChunkResult;
  static bool Locate(KTXContainerNode* element, int depth, const std::vector<KTChunk>& list,
                     std::vector<KTXContainerNode*>& parentOf, size_t& next);
  static bool Assemble(KTXContainerNode* element, int depth, const std::vector<KTChunk>& list,
                       const std::vector<KTXContainerNode*>& parentOf, std::vector<ChunkResult>& results,
                       size_t& next, bool finish, long& tidied);
  static bool ParseChunk(KTParserDriver& d, const char16_t* text, int start, int end, bool finish,
                         bool withoutNul, ChunkResult& result);
};
