// KTLoadAhead: worker threads that load a stylesheet and its modules while
// the run loads its source; the run takes a load only where it would make it
// itself and only when it went through without a word.
#include "xml/ktloadahead.h"

#include <sys/stat.h>

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>

#include "core/kterrorlogger.h"
#include "core/ktstringpool.h"
#include "platform/ktutf8.h"
#include "xml/ktdocloader.h"
#include "xml/ktdocmanager.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktxname.h"
#include "xml/ktxnode.h"
#include "xml/ktxnodepool.h"

namespace {

constexpr std::u16string_view kXsltNamespace = u"http://www.w3.org/1999/XSL/Transform";

// More workers than this gain nothing on a stylesheet's modules: the run
// takes them one by one, in the order it meets them, and two keep ahead of
// it on DocBook's 60 modules while the source and its DTD load; each more
// parse at once holds its own buffers and parse tree, which shows in the
// peak memory.
constexpr int kMostThreads = 2;

// A worker's stack: enough for the modules of real stylesheets (the parser
// stops cleanly where its stack ends, and the run then loads that module
// itself), small enough that the workers add little to the address space a
// run under a memory limit has.
// A sanitizer's frames are several times larger.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr size_t kWorkerStackBytes = size_t{8} << 20;
#else
constexpr size_t kWorkerStackBytes = size_t{1} << 20;
#endif

// The value of the attribute `name` of an element, or null.
const KTString* AttributeValue(const KTXNode* element, std::u16string_view name) {
  if (!element->IsContainer()) return nullptr;
  const KTString* found = nullptr;
  static_cast<const KTXContainerNode*>(element)->VisitAttributes([&](const KTXAttributeView& attribute) {
    if (!found && attribute.name->View() == name) found = attribute.value;
  });
  return found;
}

// Whether the prefix of the element's name is bound to the XSLT namespace
// by a declaration on the element or one of its ancestors.
bool InXsltNamespace(const KTXNode* element, std::u16string_view qualifiedName) {
  const size_t colon = qualifiedName.find(u':');
  std::u16string declaration = u"xmlns";
  if (colon != std::u16string_view::npos) {
    declaration += u':';
    declaration += qualifiedName.substr(0, colon);
  }
  for (const KTXNode* node = element; node && node->GetKind() == kElement; node = node->GetParent()) {
    if (const KTString* uri = AttributeValue(node, declaration)) return uri->View() == kXsltNamespace;
  }
  return false;
}

std::u16string_view LocalPart(std::u16string_view qualifiedName) {
  const size_t colon = qualifiedName.find(u':');
  return colon == std::u16string_view::npos ? qualifiedName : qualifiedName.substr(colon + 1);
}

// An href whose value the run could read otherwise than it stands in the
// tree (a reference, white space its view normalises) is not followed.
bool PlainHref(std::u16string_view href) {
  if (href.empty()) return false;
  for (const char16_t c : href)
    if (c == u'&' || c == u'<' || c == u' ' || c == u'\t' || c == u'\n' || c == u'\r') return false;
  return true;
}

// A regular local file of at most `mostBytes`: nothing else is read ahead (a
// FIFO would lose what the run reads from it; a URL is fetched only when the
// run asks).
bool LocalRegularFile(const KTString& name, off_t mostBytes) {
  if (name.IsEmpty() || ClassifyUrl(name.c_str()) == kNameIsUrl) return false;
  const std::string path = KTUtf16ToUtf8(name.View());
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= mostBytes;
}

// Spaces, tabs and line feeds only, as the stylesheet view judges a text
// it may leave out (a CR or any other unit keeps it).
bool DroppableSpace(const KTXNode* text) {
  const char16_t* value = text->GetValue();
  const int length = text->GetValueLength();
  for (int i = 0; i < length; ++i) {
    const char16_t unit = value[i];
    if (unit != u' ' && unit != u'\t' && unit != u'\n') return false;
  }
  return true;
}

bool HasSpaceAttribute(const KTXNode* element) {
  return AttributeValue(element, u"xml:space") != nullptr;
}

// The stylesheet element of a module that can be thinned ahead: a document
// without a document type declaration (so no defaults, entities or
// xml:space values come from elsewhere) whose document element is
// xsl:stylesheet or xsl:transform; null otherwise.
KTXNode* ThinnableStylesheet(const KTXNode* document) {
  if (!document || document->GetKind() != kXmlDocument) return nullptr;
  KTXNode* root = nullptr;
  for (KTXNode* child = document->GetFirstMadeChild(); child; child = child->GetNextSibling()) {
    const int kind = child->GetKind();
    if (kind == kDoctype) return nullptr;
    if (kind == kElement && !root) root = child;
  }
  if (!root) return nullptr;
  const std::u16string_view name(root->GetName());
  const std::u16string_view local = LocalPart(name);
  if ((local != u"stylesheet" && local != u"transform") || !InXsltNamespace(root, name)) return nullptr;
  return root;
}

// Deletes from a module's parsed tree the lone white-space texts that the
// run's view of it leaves out and deletes in turn (XSLT 1.0 §3.4), so that
// their memory goes back to the worker that parsed them, for its next
// module, instead of to the run, which parses no more modules. Only the
// plainest cases are judged here; whatever is left the run judges as it
// always does: a text beside anything but an element (or the attributes
// that lead), below an element named "text" in any namespace, or under an
// xml:space attribute stays.
void ThinModule(KTXNode* stylesheet) {
  if (HasSpaceAttribute(stylesheet)) return;
  std::vector<KTXNode*> open{stylesheet};
  while (!open.empty()) {
    KTXNode* element = open.back();
    open.pop_back();
    const KTXNode* previous = nullptr;
    for (KTXNode* child = element->GetFirstMadeChild(); child;) {
      KTXNode* next = child->GetNextSibling();
      const int kind = child->GetKind();
      if (kind == kText) {
        const int previousKind = previous ? previous->GetKind() : kElement;
        const int nextKind = next ? next->GetKind() : kElement;
        if ((previousKind == kElement || previousKind == kAttribute) && nextKind != kText && nextKind != kCData &&
            DroppableSpace(child)) {
          static_cast<KTXContainerNode*>(element)->RemoveChild(
              static_cast<KTXContainerNode*>(element)->IteratorAt(child), nullptr);
          child = next;
          continue;
        }
      } else if (kind == kElement && child->IsContainer() && !HasSpaceAttribute(child) &&
                 LocalPart(child->GetName()) != u"text") {
        open.push_back(child);
      }
      previous = child;
      child = next;
    }
  }
}

}  // namespace

namespace {
thread_local bool tWalkingModules = false;
}  // namespace

KTLoadAhead::ModuleWalk::ModuleWalk(bool walking) : before_(tWalkingModules) { tWalkingModules = walking; }

KTLoadAhead::ModuleWalk::~ModuleWalk() { tWalkingModules = before_; }

int KTLoadAhead::ThreadsFor(unsigned cores, bool addressSpaceLimited) {
  if (cores <= 2 || addressSpaceLimited) return 0;
  return std::min<int>(kMostThreads, static_cast<int>(cores) - 1);
}

KTLoadAhead::KTLoadAhead(KTDocumentManager* manager, ModuleNames names, int threads)
    : manager_(manager), names_(std::move(names)), maxThreads_(threads) {
  // Looked up (and loaded on first use) here, so that no worker loads a
  // grammar: a grammar that fails to load would say so from the worker.
  if (const KTGrammarCache* grammars = manager_ ? manager_->GetGrammarCache() : nullptr) {
    grammars->FindGrammar(KTGrammarCache::kXml);
    grammars->FindGrammar(KTGrammarCache::kXsl);
  }
}

KTLoadAhead::~KTLoadAhead() { Stop(); }

void KTLoadAhead::Add(const KTString& url, const KTString& loadName, Kind kind) {
  std::lock_guard<std::mutex> lock(busy_);
  AddLocked(url, loadName, kind, false);
}

void KTLoadAhead::AddLocked(const KTString& url, const KTString& loadName, Kind kind, bool first) {
  if (stopping_ || maxThreads_ <= 0 || !manager_) return;
  Key key{std::u16string(loadName.View()), static_cast<int>(kind)};
  if (jobs_.count(key)) return;
  // The DTD grammar would be chosen for it, which is not looked up ahead.
  const std::u16string_view view = loadName.View();
  if (view.size() >= 4 && view.substr(view.size() - 4) == u".dtd") return;
  const off_t mostBytes =
      kind == Kind::kDocument ? static_cast<off_t>(kMostDocumentBytes) : std::numeric_limits<off_t>::max();
  if (!LocalRegularFile(loadName, mostBytes)) return;
  auto job = std::make_unique<Job>();
  job->url = url;
  job->loadName = loadName;
  job->kind = kind;
  // A job is queued only once the table owns it, so that memory running out
  // on the way leaves no pointer to a freed job; one the table holds that
  // never reached the queue is made by the run when it asks for it.
  Job* queued = job.get();
  jobs_.emplace(std::move(key), std::move(job));
  if (first)
    queue_.push_front(queued);
  else
    queue_.push_back(queued);
  if (idleThreads_ > 0) {
    changed_.notify_one();
    return;
  }
  if (static_cast<int>(threads_.size()) >= maxThreads_) return;
  if (!threaded_) {
    KTXName::BeginThreaded();
    threaded_ = true;
  }
  // No thread to be had: the run loads what is left itself.
  if (!StartThread() && threads_.empty()) queue_.clear();
}

bool KTLoadAhead::StartThread() {
  try {
    threads_.reserve(threads_.size() + 1);
  } catch (...) {
    return false;
  }
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setstacksize(&attributes, kWorkerStackBytes);
  pthread_t thread;
  const int failed = pthread_create(
      &thread, &attributes,
      [](void* self) -> void* {
        static_cast<KTLoadAhead*>(self)->Work();
        return nullptr;
      },
      this);
  pthread_attr_destroy(&attributes);
  if (failed) return false;
  threads_.push_back(thread);
  return true;
}

void KTLoadAhead::JoinAll(std::vector<pthread_t>& threads) {
  for (pthread_t thread : threads) pthread_join(thread, nullptr);
  threads.clear();
}

void KTLoadAhead::Work() {
  KTXNodePoolAdoptParked();
  KTStringPoolAdoptParked();
  KTXName::ForgetRecentNames();
  {
    std::unique_lock<std::mutex> lock(busy_);
    while (!stopping_) {
      if (!queue_.empty() && held_ + loading_ < kMaxHeld) {
        Job* job = queue_.front();
        queue_.pop_front();
        if (job->state != Job::State::kQueued) continue;
        RunJob(*job, lock);
        continue;
      }
      // Nothing queued and no load under way that could queue more.
      if (queue_.empty() && loading_ == 0) break;
      ++idleThreads_;
      changed_.wait(lock);
      --idleThreads_;
    }
    changed_.notify_all();
  }
  KTStringPoolParkThread();
  KTXNodePoolParkThread();
}

void KTLoadAhead::RunJob(Job& job, std::unique_lock<std::mutex>& lock, bool forTaker) {
  job.state = Job::State::kLoading;
  ++loading_;
  lock.unlock();
  // A load for the run stays whole: the run may want it for document().
  const bool thin = !forTaker && job.kind == Kind::kModule;
  bool thinned = false;
  std::unique_ptr<KTDocumentRecord> record = Load(job, thin, thinned);
  lock.lock();
  --loading_;
  if (record && !stopping_) {
    // Memory too short to schedule the modules leaves them to the run,
    // which loads them itself and says so if it cannot; nothing thrown here
    // may leave a worker, where it would end the program.
    try {
      AddModulesOf(record->GetDocument(), job.url, job.loadName);
    } catch (...) {
    }
  }
  if (record && !forTaker && ++held_ > mostHeld_) mostHeld_ = held_;
  job.held = record && !forTaker;
  job.record = std::move(record);
  job.thinned = thinned;
  job.state = Job::State::kDone;
  changed_.notify_all();
}

std::unique_ptr<KTDocumentRecord> KTLoadAhead::Load(const Job& job, bool thin, bool& thinned) {
  // Whatever the load would log marks it as not clean; the run then loads
  // the name itself and logs it where it belongs.
  bool logged = false;
  HoldLogOnThisThread(&logged);
  std::unique_ptr<KTDocumentRecord> record;
  try {
    std::unique_ptr<KTDocumentLoader> loader = manager_->NewLoader();
    if (job.kind == Kind::kStylesheet) {
      // As KTFrontEnd::LoadInput sets up the stylesheet's load.
      loader->SetGrammar(manager_->GetGrammarCache()->FindGrammar(KTGrammarCache::kXsl));
      loader->SetKeptText(KTDocumentLoader::KeptText::kLines, true);
    } else {
      // As KTXSLTFileProcessor::LoadDocument sets up a module's load.
      loader->SetKeptText(KTDocumentLoader::KeptText::kLines);
    }
    record = std::make_unique<KTDocumentRecord>();
    KTLoadStatus status;
    KTXNode* document = loader->LoadFromUrl(job.loadName.c_str(), status, record.get());
    const bool clean = document && !status.HasError() && loader->GetTextLength() > 0 && !logged;
    record->SetLoader(std::move(loader));
    if (!clean) {
      record.reset();
    } else if (KTXNode* stylesheet = thin ? ThinnableStylesheet(document) : nullptr) {
      ThinModule(stylesheet);
      thinned = true;
    }
  } catch (...) {
    // The run meets the same failure when it loads the name itself.
    record.reset();
  }
  HoldLogOnThisThread(nullptr);
  return record;
}

void KTLoadAhead::AddModulesOf(const KTXNode* document, const KTString& url, const KTString& loadName) {
  if (!document || !names_) return;
  const KTXNode* root = document->GetFirstMadeChild();
  while (root && root->GetKind() != kElement) root = root->GetNextSibling();
  if (!root) return;
  const std::u16string_view rootName(root->GetName());
  const std::u16string_view rootLocal = LocalPart(rootName);
  if ((rootLocal != u"stylesheet" && rootLocal != u"transform") || !InXsltNamespace(root, rootName)) return;
  // Queued in the order the run asks for them: it reads a module's
  // includes from the last to the first, each with its own includes, and
  // the imports once all includes are read, again from the last; so the
  // includes go before everything queued (the last one first) and the
  // imports after it (the last one first).
  std::vector<const KTXNode*> imports;
  std::vector<const KTXNode*> bindings;
  for (const KTXNode* child = root->GetFirstMadeChild(); child; child = child->GetNextSibling()) {
    if (child->GetKind() != kElement) continue;
    const std::u16string_view name(child->GetName());
    const std::u16string_view local = LocalPart(name);
    const bool binding = local == u"param" || local == u"variable";
    if ((local != u"include" && local != u"import" && !binding) || !InXsltNamespace(child, name)) continue;
    if (binding)
      bindings.push_back(child);
    else if (local == u"import")
      imports.push_back(child);
    else
      AddModuleNamedBy(child, url, true);
  }
  for (auto import = imports.rbegin(); import != imports.rend(); ++import) AddModuleNamedBy(*import, url, false);
  for (const KTXNode* binding : bindings) AddDocumentReadBy(binding, url, loadName);
}

void KTLoadAhead::AddModuleNamedBy(const KTXNode* reference, const KTString& url, bool first) {
  const KTString* href = AttributeValue(reference, u"href");
  if (!href || !PlainHref(href->View())) return;
  KTString moduleUrl;
  KTString loadName;
  try {
    if (!names_(url, *href, moduleUrl, loadName)) return;
    AddLocked(moduleUrl, loadName, Kind::kModule, first);
  } catch (...) {
    // Left to the run.
  }
}

void KTLoadAhead::AddDocumentReadBy(const KTXNode* binding, const KTString& url, const KTString& loadName) {
  const KTString* select = AttributeValue(binding, u"select");
  if (!select) return;
  // Each call document('...') or document("...") of one literal, a plain
  // href or empty; any other argument is left to the run.
  const std::u16string_view text = select->View();
  constexpr std::u16string_view kCall = u"document(";
  for (size_t at = text.find(kCall); at != std::u16string_view::npos; at = text.find(kCall, at + 1)) {
    if (at > 0) {
      // Not the end of a longer name (my-document(, x:document().
      const char16_t before = text[at - 1];
      if (before == u'-' || before == u'_' || before == u'.' || before == u':' || (before >= u'0' && before <= u'9') ||
          (before >= u'a' && before <= u'z') || (before >= u'A' && before <= u'Z') || before > 0x7F)
        continue;
    }
    const size_t open = at + kCall.size();
    if (open >= text.size() || (text[open] != u'\'' && text[open] != u'"')) continue;
    const size_t close = text.find(text[open], open + 1);
    if (close == std::u16string_view::npos || close + 1 >= text.size() || text[close + 1] != u')') continue;
    const std::u16string_view literal = text.substr(open + 1, close - open - 1);
    try {
      if (literal.empty()) {
        // The module itself, read as a source document.
        AddLocked(url, loadName, Kind::kDocument, false);
        continue;
      }
      if (!PlainHref(literal)) continue;
      KTString documentUrl;
      KTString documentName;
      if (!names_(url, KTString(literal), documentUrl, documentName)) continue;
      AddLocked(documentUrl, documentName, Kind::kDocument, false);
    } catch (...) {
      // Left to the run.
    }
  }
}

std::unique_ptr<KTDocumentRecord> KTLoadAhead::Take(const KTString& loadName, Kind kind) {
  std::unique_lock<std::mutex> lock(busy_);
  auto found = jobs_.end();
  // Outside the walk over the modules a module's name is asked for by
  // document(): a load made for it comes first.
  if (kind == Kind::kModule && !tWalkingModules)
    found = jobs_.find(Key{std::u16string(loadName.View()), static_cast<int>(Kind::kDocument)});
  if (found == jobs_.end()) found = jobs_.find(Key{std::u16string(loadName.View()), static_cast<int>(kind)});
  if (found == jobs_.end()) return nullptr;
  Job* job = found->second.get();
  if (job->state == Job::State::kQueued) {
    // Not started: made here at once, as a worker would make it (the
    // modules it names are still loaded ahead), rather than waited for.
    RunJob(*job, lock, true);
  }
  changed_.wait(lock, [job] { return job->state == Job::State::kDone; });
  std::unique_ptr<KTDocumentRecord> record = std::move(job->record);
  // A thinned tree goes only to a walk of the stylesheet's modules.
  if (job->thinned && !tWalkingModules) record.reset();
  if (record) ++taken_;
  if (job->held) {
    job->held = false;
    --held_;
    changed_.notify_all();
  }
  JoinWhenIdle(lock);
  return record;
}

void KTLoadAhead::JoinWhenIdle(std::unique_lock<std::mutex>& lock) {
  if (!queue_.empty() || loading_ > 0 || threads_.empty()) return;
  // Every worker leaves its loop now; once joined, the name table goes back
  // to its one-thread ways.
  changed_.notify_all();
  std::vector<pthread_t> threads = std::move(threads_);
  threads_.clear();
  lock.unlock();
  JoinAll(threads);
  lock.lock();
  if (threaded_ && threads_.empty()) {
    threaded_ = false;
    KTXName::EndThreaded();
  }
}

void KTLoadAhead::Stop() {
  std::vector<pthread_t> threads;
  {
    std::lock_guard<std::mutex> lock(busy_);
    stopping_ = true;
    threads = std::move(threads_);
    threads_.clear();
    changed_.notify_all();
  }
  JoinAll(threads);
  // Loads not taken are freed here, after every worker has ended.
  jobs_.clear();
  queue_.clear();
  if (threaded_) {
    threaded_ = false;
    KTXName::EndThreaded();
  }
}
