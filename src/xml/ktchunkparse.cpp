// KTChunkParse: the chunked parse of a large document (see the header). The
// split-point finder reads the markup only as far as it needs to; each chunk
// is matched from the XML grammar's content rule by a driver of its own and
// built into a detached element, whose children then move under the element
// of the rest of the document whose content the chunk cut.
#include "xml/ktchunkparse.h"

#include <malloc.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/kterrorlogger.h"
#include "core/ktstringpool.h"
#include "parso/parsoparser.h"
#include "platform/ktmemory.h"
#include "platform/ktwchar.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktparserdriver.h"
#include "xml/ktsourcetext.h"
#include "xml/ktxname.h"
#include "xml/ktxnodepool.h"
#include "xml/ktxnode.h"

namespace {

// Set by the first Run from the environment unless a test set it before.
std::atomic<int> gMode{-1};
std::atomic<long> gChunked{0};

KTChunkMode ModeFromEnvironment() {
  const char* value = std::getenv("OSTXSLT_CHUNKED_PARSE");
  if (!value) return KTChunkMode::kAuto;
  if (std::strcmp(value, "off") == 0) return KTChunkMode::kOff;
  if (std::strcmp(value, "force") == 0) return KTChunkMode::kForce;
  if (std::strcmp(value, "inline") == 0) return KTChunkMode::kForceInline;
  return KTChunkMode::kAuto;
}

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// The first characters of a name in the XML grammar (resources/gra_xml.txt)
// and any character past ASCII: a character the grammar refuses there makes
// a chunk fail, never a wrong cut.
bool StartsName(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_' || c == u':' || c >= 0x80;
}

// The place of `pattern` in text[from, length), or -1.
int Find(const char16_t* text, int length, int from, std::u16string_view pattern) {
  const std::u16string_view view(text, static_cast<size_t>(length));
  const size_t at = view.find(pattern, static_cast<size_t>(from));
  return at == std::u16string_view::npos ? -1 : static_cast<int>(at);
}

// The first '>', '"' or '\'' in text[from, length), or `length`: eight
// units a step, compared at once (the finder's time goes to start tags).
int FindTagStop(const char16_t* text, int from, int length) {
  typedef uint16_t EightUnits __attribute__((vector_size(16)));
  const EightUnits close = {u'>', u'>', u'>', u'>', u'>', u'>', u'>', u'>'};
  const EightUnits dquote = {u'"', u'"', u'"', u'"', u'"', u'"', u'"', u'"'};
  const EightUnits squote = {u'\'', u'\'', u'\'', u'\'', u'\'', u'\'', u'\'', u'\''};
  int i = from;
  for (; length - i >= 8; i += 8) {
    EightUnits units;
    std::memcpy(&units, text + i, sizeof units);
    const auto hit = (units == close) | (units == dquote) | (units == squote);
    uint64_t words[2];
    std::memcpy(words, &hit, sizeof words);
    if (words[0]) return i + std::countr_zero(words[0]) / 16;
    if (words[1]) return i + 4 + std::countr_zero(words[1]) / 16;
  }
  for (; i < length; ++i) {
    if (text[i] == u'>' || text[i] == u'"' || text[i] == u'\'') return i;
  }
  return length;
}

// The end (past '>') of the tag whose '<' is at `start`, with '>' inside a
// quoted attribute value passed over; -1 when the text ends first. `empty`
// tells a tag closed by "/>".
int TagEnd(const char16_t* text, int length, int start, bool& empty) {
  int at = start + 1;
  for (;;) {
    at = FindTagStop(text, at, length);
    if (at >= length) return -1;
    if (text[at] == u'>') {
      empty = text[at - 1] == u'/';
      return at + 1;
    }
    const char16_t* closing = KTFindUnit(text + at + 1, static_cast<size_t>(length - at - 1), text[at]);
    if (!closing) return -1;
    at = static_cast<int>(closing - text) + 1;
  }
}

// Passes over a comment, a processing instruction or a CDATA section whose
// '<' is at `at`: the place past it, 0 when the markup at `at` is none of
// them, -1 when it is one left open.
int SkipMarkup(const char16_t* text, int length, int at, bool allowCData) {
  const std::u16string_view rest(text + at, static_cast<size_t>(length - at));
  int end = -1;
  if (rest.starts_with(u"<!--")) {
    end = Find(text, length, at + 4, u"-->");
    return end < 0 ? -1 : end + 3;
  }
  if (rest.starts_with(u"<?")) {
    end = Find(text, length, at + 2, u"?>");
    return end < 0 ? -1 : end + 2;
  }
  if (allowCData && rest.starts_with(u"<![CDATA[")) {
    end = Find(text, length, at + 9, u"]]>");
    return end < 0 ? -1 : end + 3;
  }
  return 0;
}

}  // namespace

long KTChunkParse::GetChunkedCount() { return gChunked.load(); }

void KTSetChunkMode(KTChunkMode mode) { gMode.store(static_cast<int>(mode)); }

KTChunkMode KTGetChunkMode() {
  int mode = gMode.load();
  if (mode < 0) {
    mode = static_cast<int>(ModeFromEnvironment());
    int expected = -1;
    if (!gMode.compare_exchange_strong(expected, mode)) mode = expected;
  }
  return static_cast<KTChunkMode>(mode);
}

namespace {

// A tag met by the scan of content: its '<', the place past its '>', its
// kind, and the depth before it (elements open, the root's included; for a
// scan started at a guessed place, counted from there).
enum class TagKind : uint8_t { kStart, kEmpty, kEnd };
struct TagEvent {
  int open;
  int end;
  int depth;  // a tag takes three units at least: any depth fits
  TagKind kind;
};

// How a scan of content ended.
enum class ScanEnd {
  kStopped,  // the tag handler stopped it
  kSynced,   // it met the '<' at `syncAt` as the start of markup
  kPassed,   // it went past `syncAt` inside markup: that '<' starts none
  kFailed,   // it met what the finder does not fully understand
};

// Scans content from `at` (in content, `depth` elements open) tag by tag,
// passing over comments, processing instructions and CDATA sections, and
// hands each tag to `onTag`, which returns false to stop. With `syncAt` >= 0
// it stops at that place (see ScanEnd). `at` and `depth` are left where it
// stopped.
template <class OnTag>
ScanEnd ScanContent(const char16_t* text, int length, int& at, int& depth, int syncAt, OnTag&& onTag) {
  for (;;) {
    if (syncAt >= 0 && at > syncAt) return ScanEnd::kPassed;
    const char16_t* found = KTFindUnit(text + at, static_cast<size_t>(length - at), u'<');
    const int open = found ? static_cast<int>(found - text) : -1;
    if (open >= 0 && open == syncAt) {
      at = open;
      return ScanEnd::kSynced;
    }
    if (open < 0 || open + 1 >= length) return ScanEnd::kFailed;
    const char16_t next = text[open + 1];
    bool empty = false;
    if (next == u'/') {
      const int end = TagEnd(text, length, open, empty);
      if (end < 0) return ScanEnd::kFailed;
      at = end;
      if (!onTag(TagEvent{open, end, depth, TagKind::kEnd})) return ScanEnd::kStopped;
      --depth;
    } else if (next == u'!' || next == u'?') {
      const int past = SkipMarkup(text, length, open, true);
      if (past <= 0) return ScanEnd::kFailed;
      at = past;
    } else if (StartsName(next)) {
      const int end = TagEnd(text, length, open, empty);
      if (end < 0) return ScanEnd::kFailed;
      at = end;
      if (!onTag(TagEvent{open, end, depth, empty ? TagKind::kEmpty : TagKind::kStart})) return ScanEnd::kStopped;
      if (!empty) ++depth;
    } else {
      return ScanEnd::kFailed;
    }
  }
}

// The cutting of contents into chunks, fed the tags in document order with
// their true depths.
class ChunkCutter {
 public:
  ChunkCutter(int chunkChars, int maxDepth) : chunkChars_(chunkChars), maxDepth_(maxDepth), frames_(maxDepth + 1) {}

  void OpenRoot(int start, int contentStart) { OpenFrame(1, start, contentStart); }

  // False once the root has ended (then TakeChunks gives the plan, if
  // any). Inlined: it runs for every tag the cutter looks at, most of them
  // a child's start tag to measure from the last cut.
  [[gnu::always_inline]] bool Tag(const TagEvent& tag) {
    const int depth = tag.depth;
    if (tag.kind == TagKind::kEnd) {
      if (depth <= maxDepth_) {
        const int d = static_cast<int>(depth);
        Frame& frame = frames_[static_cast<size_t>(d)];
        FinishRun(frame, d, tag.open);
        if (d == 1) {
          ended_ = true;
          return false;
        }
        // A large element whose content is cut stands in the rest of the
        // document with its chunks; a smaller one stays in its parent's.
        Frame& parent = frames_[static_cast<size_t>(d) - 1];
        if (tag.end - frame.start >= 2 * chunkChars_ && frame.chunks.size() >= 2) {
          FinishRun(parent, d - 1, frame.start);
          parent.chunks.insert(parent.chunks.end(), frame.chunks.begin(), frame.chunks.end());
          parent.runStart = parent.lastCut = tag.end;
        }
      }
      return true;
    }
    if (depth <= maxDepth_) {
      Frame& parent = frames_[static_cast<size_t>(depth)];
      if (tag.open - parent.lastCut >= chunkChars_) {
        parent.cuts.push_back(tag.open);
        parent.lastCut = tag.open;
      }
    }
    if (tag.kind == TagKind::kStart && depth + 1 <= maxDepth_) OpenFrame(static_cast<int>(depth + 1), tag.open, tag.end);
    return true;
  }

  bool Ended() const { return ended_; }
  // The plan once the root has ended: at least two chunks.
  bool TakeChunks(KTChunkPlan& plan) {
    if (!ended_ || frames_[1].chunks.size() < 2) return false;
    plan.chunks = std::move(frames_[1].chunks);
    return true;
  }

 private:
  // One frame per open element down to maxDepth (reused, so that an
  // element costs no allocation): the run of its content not yet given to
  // chunks, the cuts in that run, and the chunks decided so far.
  struct Frame {
    int start = 0;     // the element's '<'
    int runStart = 0;  // where the items not in a chunk yet begin
    int lastCut = 0;
    std::vector<int> cuts;
    std::vector<KTChunk> chunks;
  };
  // The run of `frame` (at `depth`) up to `runEnd` cut into chunks.
  [[gnu::noinline]] static void FinishRun(Frame& frame, int depth, int runEnd) {
    int from = frame.runStart;
    for (int cut : frame.cuts) {
      if (cut <= from || cut >= runEnd) continue;
      frame.chunks.push_back(KTChunk{from, cut, depth});
      from = cut;
    }
    if (from < runEnd) frame.chunks.push_back(KTChunk{from, runEnd, depth});
    frame.cuts.clear();
  }
  void OpenFrame(int depth, int start, int contentStart) {
    Frame& frame = frames_[static_cast<size_t>(depth)];
    frame.start = start;
    frame.runStart = frame.lastCut = contentStart;
    frame.cuts.clear();
    frame.chunks.clear();
  }

  const int chunkChars_;
  const int maxDepth_;
  std::vector<Frame> frames_;
  bool ended_ = false;
};

// The tags a stretch keeps, in page blocks taken straight from the system
// (ktmemory.h) rather than from the allocator: a run of large blocks
// allocated and freed on threads would leave the allocator holding more
// memory for the rest of the load.
class TagLog {
 public:
  TagLog() = default;
  TagLog(TagLog&& other) noexcept : blocks_(std::move(other.blocks_)), used_(other.used_) {
    other.blocks_.clear();
    other.used_ = 0;
  }
  TagLog& operator=(TagLog&&) = delete;
  ~TagLog() { Clear(); }

  // False when no memory is left for it.
  bool Add(const TagEvent& tag) {
    if (used_ == kPerBlock || blocks_.empty()) {
      void* block = KTTakePageBlock();
      if (!block) return false;
      try {
        blocks_.push_back(static_cast<TagEvent*>(block));
      } catch (...) {
        KTGiveBackPageBlock(block);
        return false;
      }
      used_ = 0;
    }
    blocks_.back()[used_++] = tag;
    return true;
  }
  template <class Visit>
  void ForEach(Visit&& visit) const {
    for (size_t b = 0; b < blocks_.size(); ++b) {
      const size_t count = b + 1 == blocks_.size() ? used_ : kPerBlock;
      for (size_t i = 0; i < count; ++i) {
        if (!visit(blocks_[b][i])) return;
      }
    }
  }
  // The blocks wait for the parse that follows (its trees take many), so
  // that they go to it with their pages rather than back to the system.
  void Clear() {
    for (TagEvent* block : blocks_) KTGiveBackPageBlock(block, true);
    blocks_.clear();
    used_ = 0;
  }

 private:
  static constexpr size_t kPerBlock = kKTPageBlockBytes / sizeof(TagEvent);
  std::vector<TagEvent*> blocks_;
  size_t used_ = 0;
};

// A stretch of the content scanned ahead from a guessed place: the first
// '<' past a share of the text, taken as the start of a tag in content. The
// tags that may matter to the cutter (those no deeper than it looks, for
// the least depth the start can have) are kept with depths counted from
// the start; the scan ends where it meets the next stretch's start, or
// passes it.
struct Stretch {
  int start = 0;
  int syncAt = -1;  // the next stretch's start; -1 for the last
  TagLog tags;
  ScanEnd ended = ScanEnd::kFailed;
  int stoppedAt = 0;    // where the scan ended
  int depthAtEnd = 0;  // the depth there, counted from the start
};

void ScanStretch(const char16_t* text, int length, int maxDepth, Stretch& stretch) noexcept {
  int at = stretch.start;
  int depth = 0;
  // Before the root ends, the depth before any tag is at least one: the
  // depth at the start is at least one more than the least depth met so
  // far, and a tag deeper than the cutter looks then is left out.
  int least = 0;
  bool kept = true;
  stretch.ended = ScanContent(text, length, at, depth, stretch.syncAt, [&](const TagEvent& tag) {
    least = std::min(least, tag.depth);
    if (tag.depth <= maxDepth - 1 + least) kept = stretch.tags.Add(tag);
    return kept;
  });
  if (!kept) {
    // Memory ran out: the finder gives up, and the serial parse runs.
    stretch.tags.Clear();
    stretch.ended = ScanEnd::kFailed;
  }
  stretch.stoppedAt = at;
  stretch.depthAtEnd = depth;
}

}  // namespace

bool KTFindChunks(const char16_t* text, int length, int chunkChars, int maxDepth, KTChunkPlan& plan) {
  return KTFindChunks(text, length, chunkChars, maxDepth, 1, false, plan);
}

bool KTFindChunks(const char16_t* text, int length, int chunkChars, int maxDepth, int stretches, bool threads,
                  KTChunkPlan& plan) {
  if (maxDepth < 1) return false;
  plan = KTChunkPlan();
  // The prolog: white space, comments and processing instructions (the XML
  // declaration among them); a DOCTYPE or anything else ends the attempt.
  int at = 0;
  for (;;) {
    while (at < length && IsSpace(text[at])) ++at;
    if (at >= length || text[at] != u'<') return false;
    const int past = SkipMarkup(text, length, at, false);
    if (past < 0) return false;
    if (past == 0) break;
    at = past;
  }
  if (at + 1 >= length || !StartsName(text[at + 1])) return false;
  bool empty = false;
  const int contentStart = TagEnd(text, length, at, empty);
  if (contentStart < 0 || empty) return false;

  ChunkCutter cutter(chunkChars, maxDepth);
  cutter.OpenRoot(at, contentStart);
  auto cut = [&](const TagEvent& tag) { return cutter.Tag(tag); };
  at = contentStart;
  int depth = 1;  // elements open, the root's included

  // The content past the first stretch is scanned ahead in stretches, each
  // from the first '<' past its share of the text. A stretch whose start
  // the scan before it meets as the start of markup began where the serial
  // scan passes, at a depth then known: its tags go to the cutter as they
  // would have come. From the first stretch whose start was passed inside
  // markup (or that the scan before it never reached), the rest is scanned
  // here as it comes.
  std::vector<Stretch> ahead;
  for (int k = 1; k < stretches; ++k) {
    const int guess = static_cast<int>(static_cast<long long>(length) * k / stretches);
    const int from = std::max(guess, ahead.empty() ? contentStart : ahead.back().start + 1);
    if (from >= length) break;
    const char16_t* found = KTFindUnit(text + from, static_cast<size_t>(length - from), u'<');
    if (!found) break;
    ahead.emplace_back();
    ahead.back().start = static_cast<int>(found - text);
  }
  for (size_t k = 0; k + 1 < ahead.size(); ++k) ahead[k].syncAt = ahead[k + 1].start;
  std::vector<std::thread> pool;
  if (threads && !ahead.empty()) {
    try {
      for (Stretch& stretch : ahead) pool.emplace_back(ScanStretch, text, length, maxDepth, std::ref(stretch));
    } catch (...) {
      // Fewer threads: the stretches not started are scanned here.
    }
  }
  for (size_t k = pool.size(); k < ahead.size(); ++k) ScanStretch(text, length, maxDepth, ahead[k]);
  struct Joiner {
    std::vector<std::thread>& pool;
    ~Joiner() {
      for (std::thread& t : pool) {
        if (t.joinable()) t.join();
      }
    }
  } joiner{pool};

  ScanEnd ended = ScanContent(text, length, at, depth, ahead.empty() ? -1 : ahead.front().start, cut);
  size_t next = 0;  // the stretch the scan goes on to
  for (;;) {
    if (ended == ScanEnd::kPassed) {
      // The next stretch's start lies in markup: the scan goes on from where
      // it stopped, past that markup, as the serial scan does.
      ended = ScanContent(text, length, at, depth, -1, cut);
    }
    if (ended != ScanEnd::kSynced) break;
    // Stretch k was scanned by pool[k] (those started, from the first on);
    // the later ones scan on while this one's tags are read.
    if (next < pool.size()) pool[next].join();
    const Stretch& stretch = ahead[next++];
    stretch.tags.ForEach([&](const TagEvent& tag) {
      // A tag deeper than the cutter looks changes nothing there.
      const int tagDepth = depth + tag.depth;
      return tagDepth > maxDepth || cutter.Tag(TagEvent{tag.open, tag.end, tagDepth, tag.kind});
    });
    if (cutter.Ended()) break;
    depth += stretch.depthAtEnd;
    at = stretch.stoppedAt;
    ended = stretch.ended;
  }
  return cutter.TakeChunks(plan);
}

// One chunk's outcome: its nodes under a detached element, and what the
// driver that built them counted (KTParserDriver's build counters).
struct KTChunkParse::ChunkResult {
  std::unique_ptr<KTXNode> holder;
  bool plainTree = false;
  bool containerInElement = false;
  long elementsMade = 0;
  long elementsTidied = 0;
  bool parented = false;  // its nodes' parent is set already (SetChildrenParent)
};

bool KTChunkParse::MaySplit(long length, int& threads, bool& forced) {
  threads = 1;
  const KTChunkMode mode = KTGetChunkMode();
  if (mode == KTChunkMode::kOff) return false;
  forced = mode == KTChunkMode::kForce || mode == KTChunkMode::kForceInline;
  if (!forced && length < kMinMidLength) return false;
  // A load on another thread than the process's first (a module fetched
  // ahead) is parsed serially: that thread may hold its log already, and
  // the chunked parse holds and releases the log of the thread it runs on.
  if (syscall(SYS_gettid) != getpid()) return false;
  if (mode != KTChunkMode::kForceInline) {
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    threads = std::min<int>(kMaxThreads, cores);
    if (!forced && length < kMinLength) {
      // The cores this process may run on (a container or `taskset` may
      // allow fewer than the machine has).
      cpu_set_t allowed;
      CPU_ZERO(&allowed);
      const int usable = sched_getaffinity(0, sizeof allowed, &allowed) == 0 ? CPU_COUNT(&allowed) : cores;
      if (std::min(cores, usable) < kMinMidCores) return false;
      threads = std::min(threads, usable);
      threads = std::min<int>(threads, static_cast<int>(length / kMidCharsPerThread));
    }
    // Under a limit on the address space or on the data segment (which
    // counts every private mapping: `ulimit -d`) the threads' stacks,
    // allocator arenas and pools would take from what the serial parse may
    // need: a document that loads serially under the limit must load alike.
    for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
      rlimit space{};
      if (getrlimit(resource, &space) != 0 || space.rlim_cur != RLIM_INFINITY) threads = 1;
    }
    if (threads < 2 && !forced) return false;
    threads = std::max(threads, 1);
  }
  if (threads > 1) {
    // Before the first thread of a load starts: the allocator then gives
    // each thread's arena a megabyte of room beyond what it asks, and keeps
    // as much when it trims, rather than 128 KB. Every step of an arena is a
    // call that holds the process's map of memory against the other
    // threads' page faults: eight threads building at once made some 1,200
    // of them for the 11 MB auction, now under 100. The pages are still
    // taken only as they are written.
    static std::once_flag padded;
    std::call_once(padded, [] { mallopt(M_TOP_PAD, kArenaStep); });
  }
  return true;
}

bool KTChunkParse::Run(KTParserDriver& driver, const char16_t* text, int length, KTXNode* document,
                       bool finish, bool withoutNul, KTSourceText* release) {
  int threads = 1;
  bool forced = false;
  if (!MaySplit(length, threads, forced)) return false;
  if (!driver.entry_ || !driver.parser_ || document->GetKind() != kXmlDocument) return false;

  KTChunkPlan plan;
  // The finder scans ahead on as many threads as the parse of a large
  // document will use. A shorter one is scanned on this thread and cut into
  // two chunks a thread, so that a thread that starts late leaves its
  // second to the others.
  int chunkChars = forced ? 1 : kChunkChars;
  int stretches = forced ? kMaxThreads : threads;
  if (!forced && length < kMinLength) {
    chunkChars = std::max(1, length / (2 * threads));
    stretches = 1;
  }
  if (!KTFindChunks(text, length, chunkChars, kMaxSplitDepth, stretches, stretches > 1 && threads > 1, plan))
    return false;
  const std::vector<KTChunk>& list = plan.chunks;
  const size_t chunks = list.size();
  std::vector<ChunkResult> results(chunks);
  // Set once a chunk is built; the calling thread hands back the text of the
  // chunks done from the first on (and of the tags between them, copied
  // before), which no thread reads again.
  std::unique_ptr<std::atomic<bool>[]> done(new std::atomic<bool>[chunks]);
  for (size_t k = 0; k < chunks; ++k) done[k].store(false);
  size_t donePrefix = 0;
  auto giveBack = [&] {
    if (release) release->Restore();
  };

  try {
    std::vector<KTXContainerNode*> parentOf(chunks, nullptr);
    std::atomic<bool> parentsReady{false};
    // The chunks, taken in order by each thread as it comes free.
    std::atomic<size_t> nextChunk{0};
    std::atomic<bool> failed{false};
    auto work = [&](bool calling) {
      // A worker takes over the node and string pools a finished one left
      // (and leaves its own as it ends), and holds back what the core log
      // would write: a line there sends the document to the serial parse,
      // which writes it where it belongs.
      if (!calling) {
        KTXNodePoolAdoptParked();
        KTStringPoolAdoptParked();
        KTXName::ForgetRecentNames();
      }
      bool logged = false;
      if (!calling) HoldLogOnThisThread(&logged);
      try {
        KTParserDriver chunkDriver;
        if (!chunkDriver.Init(driver.entry_, driver.caseSensitive_, driver.endNameRemoval_, driver.flatten_))
          failed = true;
        // A chunk's parse nodes are freed as its nodes are built: their
        // blocks wait, pages in place, for the other threads' pools and then
        // for the document's view, rather than going back to the system
        // while those take fresh pages.
        else
          chunkDriver.parser_->SetArenaBlocksTakenSoon(true);
        // A chunk's parse tree stands whole, and its nodes fill most of the
        // blocks they take: each block's pages are put in place by one call
        // as it is taken, where writing them would fault once a page (some
        // 12 us each on a virtual machine). Only documents from
        // kMinMidLength on come here, so the last block's unwritten pages
        // stay a small part of what the load holds.
        if (!failed) chunkDriver.parser_->SetArenaBlocksGrowing(true);
        KTXNodePoolGrowFromNow();
        const GrammarRule* empty = failed ? nullptr : chunkDriver.rules_->Get(KTGrammarRuleTable::kEmptyElemTag);
        const GrammarRule* real = failed ? nullptr : chunkDriver.rules_->Get(KTGrammarRuleTable::kRealElemTag);
        if (!empty || !real) failed = true;
        int limitDepth = 0;
        while (!failed) {
          const size_t k = nextChunk.fetch_add(1);
          if (k >= chunks) break;
          // A chunk's elements stand below the element whose content it
          // cuts: the serial parse's limit on nesting, counted from there.
          if (list[k].depth != limitDepth) {
            limitDepth = list[k].depth;
            chunkDriver.parser_->SetMatchNestingLimit({empty, real}, KTParserDriver::kMaxElementDepth - limitDepth,
                                                      u"");
          }
          if (!ParseChunk(chunkDriver, text, list[k].start, list[k].end, finish, withoutNul, results[k])) {
            failed = true;
            break;
          }
          if (parentsReady.load(std::memory_order_acquire)) {
            static_cast<KTXContainerNode*>(results[k].holder.get())->SetChildrenParent(parentOf[k]);
            results[k].parented = true;
          }
          done[k].store(true, std::memory_order_release);
          if (calling && release) {
            while (donePrefix < chunks && done[donePrefix].load(std::memory_order_acquire)) ++donePrefix;
            release->ReleaseBefore(donePrefix < chunks ? list[donePrefix].start : list.back().end);
          }
        }
      } catch (...) {
        failed = true;
      }
      if (!calling) {
        HoldLogOnThisThread(nullptr);
        if (logged) failed = true;
        KTStringPoolParkThread();
        KTXNodePoolParkThread();
      }
    };
    // Names made from here on count against the plain tree (BuiltPlainTree),
    // whichever thread makes them.
    const unsigned long notPlainBefore = KTXName::GetNotPlainCount();
    std::vector<std::thread> pool;
    const int extra = std::min<int>(threads - 1, static_cast<int>(chunks) - 1);
    // Names are interned under a lock while other threads build (and the
    // calling thread's log is held, as the workers' are).
    if (extra > 0) KTXName::BeginThreaded();
    bool logged = false;
    struct Held {
      bool threaded;
      ~Held() {
        HoldLogOnThisThread(nullptr);
        if (threaded) KTXName::EndThreaded();
      }
    };
    std::optional<Held> held;
    held.emplace(extra > 0);
    HoldLogOnThisThread(&logged);
    for (int i = 0; i < extra; ++i) {
      try {
        pool.emplace_back(work, false);
      } catch (...) {
        break;  // fewer threads: the rest share the work
      }
    }
    // Meanwhile the rest of the document: the text without the chunks,
    // parsed serially from a copy. removedBefore[k]: the characters of the
    // chunks before chunk k, so chunk k stood at list[k].start -
    // removedBefore[k] in the copy.
    std::vector<int> removedBefore(chunks + 1, 0);
    std::u16string outer;
    bool outerParsed = false;
    try {
      int from = 0;
      for (size_t k = 0; k < chunks; ++k) {
        outer.append(text + from, static_cast<size_t>(list[k].start - from));
        from = list[k].end;
        removedBefore[k + 1] = removedBefore[k] + (list[k].end - list[k].start);
      }
      outer.append(text + from, static_cast<size_t>(length - from));
      KTLoadStatus status;
      driver.nextWithoutNul_ = withoutNul;
      driver.source_ = nullptr;
      outerParsed = driver.Parse(outer.c_str(), static_cast<int>(outer.size()), status, document, nullptr, false);
    } catch (...) {
      outerParsed = false;
    }
    // The rest of the document as the text places it.
    KTXContainerNode* root = nullptr;
    auto placeRest = [&]() -> bool {
      // Offsets in the copy to offsets in the text: a start at the place of a
      // chunk lies after it, an end there before it.
      auto toText = [&](int offset, bool isEnd) {
        size_t low = 0, high = chunks;  // chunks standing at or before (before, for an end) the offset
        while (low < high) {
          const size_t mid = (low + high) / 2;
          const int place = list[mid].start - removedBefore[mid];
          if (place < offset || (!isEnd && place == offset))
            low = mid + 1;
          else
            high = mid;
        }
        return offset + removedBefore[low];
      };
      // Every node of the rest gets the offsets of the text, attributes kept
      // pending included (a start tag holds no chunk).
      std::vector<KTXNode*> stack;
      for (KTXNode* child = document->GetFirstMadeChild(); child; child = child->GetNextSibling()) stack.push_back(child);
      while (!stack.empty()) {
        KTXNode* node = stack.back();
        stack.pop_back();
        if (node->GetStartOffset() >= 0) {
          const int start = toText(node->GetStartOffset(), false);
          if (node->IsContainer()) static_cast<KTXContainerNode*>(node)->ShiftPendingOffsets(start - node->GetStartOffset());
          node->SetOffsets(start, toText(node->GetEndOffset(), true));
        }
        for (KTXNode* child = node->GetFirstMadeChild(); child; child = child->GetNextSibling()) stack.push_back(child);
      }
      for (KTXNode* child = document->GetFirstMadeChild(); child && !root; child = child->GetNextSibling()) {
        if (child->GetKind() == kElement) root = static_cast<KTXContainerNode*>(child);
      }
      // The element each chunk's nodes go under; once known, the threads set
      // it as the parent of the nodes of the chunks they finish, so that the
      // splice moves each chunk in one step.
      size_t located = 0;
      if (!root || !Locate(root, 1, list, parentOf, located) || located != chunks) return false;
      parentsReady.store(true, std::memory_order_release);
      return true;
    };
    bool placed = false;
    try {
      placed = outerParsed && placeRest();
    } catch (...) {
      placed = false;  // the threads are joined below before anything is undone
    }
    if (!placed) failed = true;
    work(true);
    for (std::thread& t : pool) t.join();
    held.reset();
    if (logged) failed = true;
    if (failed) {
      giveBack();
      results.clear();
      document->DeleteChildren();
      return false;
    }
    driver.notPlainBefore_ = notPlainBefore;

    size_t next = 0;
    long tidied = 0;
    if (!root || !Assemble(root, 1, list, parentOf, results, next, finish, tidied) || next != chunks) {
      giveBack();
      results.clear();
      document->DeleteChildren();
      return false;
    }
    for (ChunkResult& result : results) {
      driver.plainTree_ = driver.plainTree_ && result.plainTree;
      driver.containerInElement_ = driver.containerInElement_ || result.containerInElement;
      driver.elementsMade_ += result.elementsMade;
      driver.elementsTidied_ += result.elementsTidied;
    }
    results.clear();
    if (finish) {
      // The elements of the rest were tidied as the chunks went in (as the
      // serial build tidies an element once built); then the tree is
      // finished as the serial parse finishes it.
      driver.elementsTidied_ += tidied;
      if (driver.elementsMade_ == driver.elementsTidied_ && !driver.containerInElement_)
        driver.TidyBesideElements(document);
      else
        document->ApplyToSubtree(nullptr, nullptr);
    }
    driver.text_ = text;
    if (release) release->ReleaseBefore(length);
    gChunked.fetch_add(1);
    // The document's view and the transformation grow on this thread alone.
    if (threads > 1) {
      KTPreparePageBlocksAhead();
      KTXNodePoolGrowFromNow();
    }
    return true;
  } catch (...) {
    // Memory that ran out on the way: the serial parse meets it again, and
    // reports it.
    giveBack();
    results.clear();
    document->DeleteChildren();
    return false;
  }
}

// The element of the rest of the document each chunk's nodes go under
// (parentOf), found in document order from `element` (at `depth`) down,
// from chunk `next` on. False when a chunk lies in none.
bool KTChunkParse::Locate(KTXContainerNode* element, int depth, const std::vector<KTChunk>& list,
                          std::vector<KTXContainerNode*>& parentOf, size_t& next) {
  // Only elements down to the finder's depth hold chunks: the recursion is
  // bounded by it.
  if (depth > kMaxSplitDepth) return true;
  const int end = element->GetEndOffset();
  for (KTXNode* child = element->GetFirstMadeChild();; child = child->GetNextSibling()) {
    const int before = child ? child->GetStartOffset() : end;
    for (; next < list.size() && list[next].start < before; ++next) {
      if (list[next].depth != depth) return false;
      parentOf[next] = element;
    }
    if (!child) return true;
    if (child->GetKind() == kElement && !Locate(static_cast<KTXContainerNode*>(child), depth + 1, list, parentOf, next))
      return false;
  }
}

// The children of `element` (an element of the rest of the document, at
// `depth`) in document order: its own, each assembled in turn, and the
// nodes of the chunks that cut its content, from chunk `next` on. Then it
// is tidied when `finish`. False when what stands there is not what
// Locate found.
bool KTChunkParse::Assemble(KTXContainerNode* element, int depth, const std::vector<KTChunk>& list,
                            const std::vector<KTXContainerNode*>& parentOf, std::vector<ChunkResult>& results,
                            size_t& next, bool finish, long& tidied) {
  if (depth > kMaxSplitDepth) return true;
  std::unique_ptr<KTXNode> parked = CreateXNode(kElement);
  if (!parked) return false;
  auto* own = static_cast<KTXContainerNode*>(parked.get());
  own->AppendChildrenOf(element);
  for (;;) {
    KTXNode* child = own->GetFirstMadeChild();
    if (next < list.size() && parentOf[next] == element && (!child || list[next].start < child->GetStartOffset())) {
      auto* holder = static_cast<KTXContainerNode*>(results[next].holder.get());
      if (results[next].parented)
        element->SpliceChildrenOf(holder);
      else
        element->AppendChildrenOf(holder);
      ++next;
      continue;
    }
    if (!child) break;
    element->AppendChildrenOf(own, child->GetNextSibling());
    if (child->GetKind() == kElement &&
        !Assemble(static_cast<KTXContainerNode*>(child), depth + 1, list, parentOf, results, next, finish, tidied)) {
      return false;
    }
  }
  if (finish && element->GetKind() == kElement) {
    element->NormalizeText(nullptr, nullptr);
    ++tidied;
  }
  return true;
}

// Sets up the chunk's driver as Parse sets up a parse, matches
// text[start, end) from the content rule and builds its nodes under a new
// detached element, as the serial build builds the children of the root.
bool KTChunkParse::ParseChunk(KTParserDriver& d, const char16_t* text, int start, int end, bool finish,
                              bool withoutNul, ChunkResult& result) {
  result.holder = CreateXNode(kElement);
  if (!result.holder) return false;
  d.text_ = text;
  d.chunkStart_ = start;
  d.withoutNul_ = withoutNul;
  d.tidyElements_ = finish;
  d.plainTree_ = true;
  d.elementsMade_ = d.elementsTidied_ = 0;
  d.containerInElement_ = false;
  d.pendingAttribute_ = nullptr;
  d.pendingOwner_ = nullptr;
  d.foldedInto_ = nullptr;
  d.levels_.clear();
  d.keepParseNodes_ = false;
  d.releaseLimit_ = 0x7FFFFFFF;
  d.release_ = nullptr;
  d.streamDocument_ = nullptr;
  d.streamed_ = d.streamBuildFailed_ = d.streamOff_ = false;
  d.parser_->SetChildSink(nullptr, {});
  // Names that are not plain are counted per thread.
  const unsigned long notPlainBefore = KTXName::GetNotPlainCount();
  bool ok = d.parser_->Parse(text + start, static_cast<size_t>(end - start), u"content");
  if (ok) {
    KTXNode* holder = result.holder.get();
    KTXNode* current = holder;
    ok = d.BuildTree(nullptr, d.parser_->GetRoot(), current, holder);
  }
  d.parser_->DropTree();
  result.plainTree = d.plainTree_ && KTXName::GetNotPlainCount() == notPlainBefore;
  result.containerInElement = d.containerInElement_;
  result.elementsMade = d.elementsMade_;
  result.elementsTidied = d.elementsTidied_;
  return ok;
}
