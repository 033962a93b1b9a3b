// KTLoadAhead: documents loaded on worker threads before the run asks for
// them (a stylesheet and the modules it includes or imports), so that their
// parses overlap the load of the source and each other. The run still
// decides: it takes a load made ahead only where it would load that very
// name itself, and only when that load went through without a word;
// otherwise it loads as it always does, with its own messages.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "core/ktstring.h"

class KTDocumentManager;
class KTDocumentRecord;
class KTGrammarCache;
class KTXNode;

class KTLoadAhead {
 public:
  // How a load is set up, as the code that takes it sets up its own: the
  // stylesheet named on the command line (the stylesheet grammar, its line
  // starts made at the load) or a module it includes or imports (the grammar
  // chosen by name, line starts made when first asked for). A document that
  // the select of a top-level xsl:param or xsl:variable of a module reads
  // with document() of a literal is loaded as a module is (kDocument: never
  // thinned) and handed to a Take of kModule made outside the walk over the
  // modules, as document() makes it.
  enum class Kind { kStylesheet, kModule, kDocument };

  // From a module's URL and an href found in it: the URL of the module it
  // names and the name it is loaded by, exactly as the run finds them; false
  // for a module not to load ahead. Called on the worker threads.
  using ModuleNames = std::function<bool(const KTString& baseUrl, const KTString& href, KTString& url,
                                         KTString& loadName)>;

  // Worker threads to use beside the calling one for a machine of `cores`
  // cores: none on one or two cores, at most two; none either under a limit
  // on the address space, where the workers' stacks and arenas would take
  // from what the run needs (a run that loads serially under a limit must
  // go through alike).
  static int ThreadsFor(unsigned cores, bool addressSpaceLimited);

  // The grammars a load may need are looked up here, before any thread
  // starts. `threads` workers at most.
  KTLoadAhead(KTDocumentManager* manager, ModuleNames names, int threads);
  ~KTLoadAhead();
  KTLoadAhead(const KTLoadAhead&) = delete;
  KTLoadAhead& operator=(const KTLoadAhead&) = delete;

  // Schedules a load of the local file `loadName` (a name that is not a
  // local file is passed over); its modules are found relative to `url`.
  void Add(const KTString& url, const KTString& loadName, Kind kind);

  // The record of the load of `loadName` made ahead as `kind`, with its
  // loader and document, when it went through without an error, a message
  // or an empty text; else null, and the caller loads the name itself. A
  // load under way is waited for; one not started is made on the calling
  // thread at once, the modules it names still loaded ahead.
  std::unique_ptr<KTDocumentRecord> Take(const KTString& loadName, Kind kind);

  // While one stands on a thread with `walking` true, Take on that thread
  // may give a module whose parsed tree was thinned ahead: the lone
  // white-space texts its stylesheet view leaves out are already deleted.
  // Only the walk that wraps modules as stylesheets (and deletes those
  // texts itself) may take one; document() needs the whole tree, and a
  // thinned load is not given to it (it loads the name itself).
  class ModuleWalk {
   public:
    explicit ModuleWalk(bool walking);
    ~ModuleWalk();
    ModuleWalk(const ModuleWalk&) = delete;
    ModuleWalk& operator=(const ModuleWalk&) = delete;

   private:
    bool before_;
  };

  // Stops: loads not started are dropped, loads under way end, the threads
  // are joined and what was not taken is freed. Idempotent.
  void Stop();

  // Loads made ahead and taken so far (for tests).
  size_t GetTakenCount() const { return taken_; }

  // The workers start no load while this many loads, finished and not yet
  // taken or under way, stand, so that the trees parsed ahead never all
  // stand at once for a stylesheet of hundreds of modules. The bound leaves
  // room for all of DocBook's 60 or so, which the workers finish while the
  // run loads the source and its DTD: held thinned (see ModuleWalk), they
  // cost about what their wrapped trees keep later. A load not started when
  // the run asks for it is made by the run itself.
  static constexpr int kMaxHeld = 64;
  // A document named by a top-level binding's document() (kDocument) is
  // loaded ahead only up to this size: the run may never read it (a param
  // set on the command line, a binding that one of higher import
  // precedence hides), and a large one read for nothing costs its whole
  // parse and tree, where the modules' and DocBook's documents are a few
  // kilobytes each.
  static constexpr long kMostDocumentBytes = 512 * 1024;
  // The most finished loads that waited at once (for tests).
  int GetMostHeld() {
    std::lock_guard<std::mutex> lock(busy_);
    return mostHeld_;
  }

 private:
  struct Job {
    KTString url;
    KTString loadName;
    Kind kind;
    enum class State { kQueued, kLoading, kDone } state = State::kQueued;
    std::unique_ptr<KTDocumentRecord> record;  // null: not clean
    bool held = false;  // counted in held_ until taken
    bool thinned = false;  // see ModuleWalk
  };
  using Key = std::pair<std::u16string, int>;

  void Work();
  // Loads a queued job on the calling thread, the lock released meanwhile;
  // a load made for Take's caller is not counted as held.
  void RunJob(Job& job, std::unique_lock<std::mutex>& lock, bool forTaker = false);
  // `thin`: a module's tree is thinned when it can be (`thinned` says so).
  std::unique_ptr<KTDocumentRecord> Load(const Job& job, bool thin, bool& thinned);
  // Schedules the modules the xsl:include and xsl:import children of the
  // stylesheet element name. Under the lock.
  // Also schedules, last, the documents its top-level bindings read with
  // document() of a literal ("" names the module itself, `loadName`).
  void AddModulesOf(const KTXNode* document, const KTString& url, const KTString& loadName);
  // The module an xsl:include or xsl:import names, queued first or last.
  void AddModuleNamedBy(const KTXNode* reference, const KTString& url, bool first);
  // The documents a top-level binding's select reads with document() of a
  // literal; queued last.
  void AddDocumentReadBy(const KTXNode* binding, const KTString& url, const KTString& loadName);
  // Queues a load at the front (`first`) or at the back. Under the lock.
  void AddLocked(const KTString& url, const KTString& loadName, Kind kind, bool first);
  // Starts one worker; false when no thread could be had.
  bool StartThread();
  static void JoinAll(std::vector<pthread_t>& threads);
  // Joins the threads once no load is queued or under way.
  void JoinWhenIdle(std::unique_lock<std::mutex>& lock);

  KTDocumentManager* manager_;
  ModuleNames names_;
  int maxThreads_;
  std::mutex busy_;
  std::condition_variable changed_;
  std::map<Key, std::unique_ptr<Job>> jobs_;
  std::deque<Job*> queue_;  // the next load to start at the front
  int loading_ = 0;
  int held_ = 0;  // loads finished ahead and not yet taken
  int mostHeld_ = 0;
  int idleThreads_ = 0;
  bool stopping_ = false;
  bool threaded_ = false;  // KTXName::BeginThreaded is in force
  std::vector<pthread_t> threads_;
  size_t taken_ = 0;
};
