// KTFrontEnd: set-up, options, document loading, the run loop, the error
// report, the output file and the clean-up of one run.
#include "app/ktfrontend.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <thread>

#include "app/ktoutputfile.h"
#include "app/ktresultwriter.h"
#include "app/ktusage.h"
#include "core/kterrorlogger.h"
#include "core/ktexcept.h"
#include "net/ktnetmessages.h"
#include "platform/inet/ktinternetexception.h"
#include "platform/ktutf8.h"
#include "xml/ktschemaservices.h"
#include "xml/ktdocloader.h"
#include "xml/ktdocmanager.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktidentifiercatalog.h"
#include "xml/ktloadahead.h"
#include "xml/ktloadstatus.h"
#include "xml/ktxnode.h"
#include "xml/ktxpathnode.h"
#include "xml/ktxpathtreecontext.h"
#include "xml/ktxwriter.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktrunloop.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltfileprocessor.h"
#include "xslt/ktxsltnames.h"
#include "xslt/output/ktoutputerror.h"

namespace {

// Writes a text and a line feed, then flushes: every console line of the
// front end ends this way. The program's own reports quote URLs as written
// (document names, system identifiers, hrefs): a user name and password in
// one shows as "***".
void WriteLine(FILE* stream, std::u16string_view text) {
  KTWriteConsole(stream, KTTextForMessage(text).View());
  KTWriteConsole(stream, u"\n");
  std::fflush(stream);
}

// "Out of memory" as WriteLine writes it, without allocating: memory has
// just run out, and an exception thrown from a handler would end the
// process unreported.
void WriteOutOfMemory() {
  std::fputs("Out of memory\n", stderr);
  std::fflush(stderr);
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i] >= u'A' && a[i] <= u'Z' ? a[i] + 32 : a[i];
    char16_t y = b[i] >= u'A' && b[i] <= u'Z' ? b[i] + 32 : b[i];
    if (x != y) return false;
  }
  return true;
}

enum class Option { kSource, kStylesheet, kOutput, kParameter, kTemplateDepth, kUnknown };

// The option of a name given after '-': every name is matched without
// regard to case (-XML, -Out, -XslStack).
Option OptionNamed(std::u16string_view name) {
  static constexpr struct {
    std::u16string_view name;
    Option option;
  } kOptions[] = {{u"xml", Option::kSource},
                  {u"xsl", Option::kStylesheet},
                  {u"out", Option::kOutput},
                  {u"param", Option::kParameter},
                  {u"xslstack", Option::kTemplateDepth}};
  for (const auto& entry : kOptions) {
    if (EqualsNoCase(name, entry.name)) return entry.option;
  }
  return Option::kUnknown;
}

// A whole decimal number: digits only, no sign, no white space. Values past
// the 32-bit range are taken as its largest value.
bool ReadWholeNumber(std::u16string_view text, int32_t& number) {
  if (text.empty()) return false;
  int64_t value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return false;
    value = std::min<int64_t>(value * 10 + (c - u'0'), INT32_MAX);
  }
  number = static_cast<int32_t>(value);
  return true;
}

// A wrong command line: "Error", the reason and an empty line on standard
// error, before the usage.
void CommandLineError(const std::u16string& reason) {
  WriteLine(stderr, u"Error");
  WriteLine(stderr, reason);
  WriteLine(stderr, u"");
}

// The current directory, however long.
KTString CurrentDirectory() {
  std::string buffer(256, '\0');
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return KTString();
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(std::char_traits<char>::length(buffer.c_str()));
  return KTString(KTUtf8ToUtf16(buffer).c_str());
}

// The core library's log: failures go to standard error, notices meant for
// developers (a grammar read through a deprecated entry) are not shown.
void LogToStandardError(const std::string& line) {
  if (line.rfind("notice: ", 0) == 0) return;
  std::string shown = KTUtf16ToUtf8(KTTextForMessage(KTUtf8ToUtf16(line)).View());
  std::fputs(KTEscapeControls(std::string_view(shown)).c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace

KTGrammarCache& FrontEndGrammars() {
  // Built once and never destroyed: freeing the hundreds of small blocks of
  // a loaded grammar at exit cost more than loading a small document, and
  // the operating system takes the memory back anyway. The static pointer
  // keeps it reachable, so leak checkers do not count it.
  static KTGrammarCache* grammars = new KTGrammarCache;
  return *grammars;
}

KTFrontEnd::KTFrontEnd() = default;

KTFrontEnd::~KTFrontEnd() { DestroyGlobalObjects(); }

int KTFrontEnd::Run(const std::vector<std::u16string>& arguments) {
  int status = kExitFailed;
  try {
    CreateGlobalObjects();
    if (!ParseCommandLine(arguments)) {
      PrintUsage();
      std::fflush(stdout);
      status = kExitCommandLine;
    } else if (LoadInputDocuments() && RunTransformation() && WriteOutputFile()) {
      WriteLine(stdout, u"");
      WriteLine(stdout, OutputFileName.c_str());
      status = kExitWritten;
    }
  } catch (const KTPlatformException& error) {
    // A file or transfer that failed outside a load status.
    char16_t text[1024];
    error.GetErrorMessage(text, 1024);
    WriteLine(stderr, text);
  } catch (KTXSLTError& error) {
    ReportXSLTError(error);
  } catch (KTExcept& error) {
    // A string block that could not be had is memory running out too.
    if (error.GetCode() == KTExcept::kNoMemory)
      WriteOutOfMemory();
    else
      WriteLine(stderr, std::u16string(u"Internal error: ") + error.GetMessage(true));
  } catch (const KTXTreeException&) {
    WriteLine(stderr, u"Internal error: a node was placed where the tree does not allow it");
  } catch (const KTOutputError& error) {
    WriteLine(stderr, error.GetMessage());
  } catch (const std::bad_alloc&) {
    WriteOutOfMemory();
  } catch (const std::exception& error) {
    // KTComError among others: its text holds the failed step and the code.
    WriteLine(stderr, std::u16string(u"Internal error: ") + KTUtf8ToUtf16(error.what()));
  } catch (...) {
    // Whatever else escapes still ends the run in order.
    WriteLine(stderr, u"Internal error: an unexpected exception ended the run");
  }
  // Loads still made ahead end before anything is let go.
  if (documentManager_) documentManager_->StopLoadAhead();
  if (leaveObjectsToExit_) {
    // Never deleted: the process ends next and gives the memory back whole.
    (void)processor_.release();
    (void)stylesheetTree_.release();
    (void)sourceTree_.release();
    // The models are let go in place: this also runs after memory ran
    // out, so nothing may be allocated here.
    for (auto& entry : DocumentSchemaModels) (void)entry.second.release();
    (void)treeContext_.release();
    (void)documentManager_.release();
    (void)catalog_.release();
  }
  DestroyGlobalObjects();
  return status;
}

bool KTFrontEnd::CreateGlobalObjects() {
  SetLogSink(LogToStandardError);
  // Each grammar is loaded when a document first needs it; one that cannot
  // be loaded stays absent, and a document that needs it fails to load with
  // its own message.
  FrontEndGrammars().SetLoadOnFirstUse(true);
  catalog_ = std::make_unique<KTIdentifierCatalog>();
  documentManager_ = std::make_unique<KTDocumentManager>(&FrontEndGrammars(), catalog_.get());
  treeContext_ = std::make_unique<KTXPathTreeContext>();
  processor_ = std::make_unique<KTXSLTFileProcessor>(documentManager_.get());
  // Every xsl:message is shown on standard error as it is instantiated, so
  // messages keep their order among themselves and with the run's other
  // reports; standard output keeps only the output file's name. A message
  // ends its last line unless its text already does (an empty one still
  // shows as an empty line).
  processor_->SetMessageSink([](const KTString& text, bool) {
    std::u16string_view chars(text.c_str(), text.GetLength());
    // The stylesheet's own text, shown as it is.
    KTWriteConsole(stderr, chars);
    if (chars.empty() || chars.back() != u'\n') KTWriteConsole(stderr, u"\n");
    std::fflush(stderr);
  });
  processor_->SetWarningSink(
      [this](const KTXPathNode* node, const KTString& text) { ReportXSLTWarning(node, text); });
  return true;
}

bool KTFrontEnd::ParseCommandLine(const std::vector<std::u16string>& arguments) {
  const size_t count = arguments.size();
  if (count < 2) return false;
  for (size_t i = 1; i < count; i += 2) {
    const std::u16string& option = arguments[i];
    // Options start with '-'; '/' starts an absolute path, which is a value.
    if (option.empty() || option[0] != u'-') {
      CommandLineError(u"\"" + option + u"\" is not an option");
      return false;
    }
    const Option kind = OptionNamed(std::u16string_view(option).substr(1));
    if (kind == Option::kUnknown) {
      CommandLineError(u"Unknown option " + option);
      return false;
    }
    if (i + 1 >= count) {
      CommandLineError(u"The option " + option + u" needs a value");
      return false;
    }
    const std::u16string& value = arguments[i + 1];
    // A value that starts with '-' is most likely the next option, its own
    // value forgotten; a depth is checked as a number instead (-3).
    if (kind != Option::kTemplateDepth && !value.empty() && value[0] == u'-') {
      CommandLineError(u"The option " + option + u" needs a value before " + value);
      return false;
    }
    // An empty file name names no file: said here, not as a failed load or
    // write later.
    if (value.empty() && (kind == Option::kSource || kind == Option::kStylesheet || kind == Option::kOutput)) {
      CommandLineError(u"The option " + option + u" needs a file name, not an empty text");
      return false;
    }
    if (kind == Option::kSource) {
      SourceFileName = value.c_str();
      HaveSourceFile = true;
    } else if (kind == Option::kStylesheet) {
      StylesheetFileName = value.c_str();
      HaveStylesheetFile = true;
    } else if (kind == Option::kOutput) {
      OutputFileName = value.c_str();
      HaveOutputFile = true;
    } else if (kind == Option::kParameter) {
      // The name is all before the first '=', as the processor splits it; a
      // prefix could only be bound by a namespace declaration, which the
      // command line cannot give.
      const size_t equals = value.find(u'=');
      if (equals == std::u16string::npos) {
        CommandLineError(option + u" \"" + value + u"\": a stylesheet parameter must be given as name=expr");
        return false;
      }
      if (equals == 0) {
        CommandLineError(option + u" \"" + value + u"\": the parameter has no name before '='");
        return false;
      }
      if (value.find(u':') < equals) {
        CommandLineError(option + u" \"" + value + u"\": the parameter name " + value.substr(0, equals) +
                         u" has a prefix, which cannot be bound on the command line");
        return false;
      }
      // A name no stylesheet parameter can have ("p " with a space, "1p")
      // would be passed over without a word.
      const std::u16string name = value.substr(0, equals);
      if (!IsNCName(name.c_str())) {
        CommandLineError(option + u" \"" + value + u"\": the parameter name \"" + name + u"\" is not an XML name");
        return false;
      }
      processor_->AddParameter(value.c_str());
    } else {
      if (!ReadWholeNumber(value, MaxTemplateDepth)) {
        CommandLineError(option + u" \"" + value + u"\": the value must be a whole decimal number");
        return false;
      }
      if (MaxTemplateDepth < kMinTemplateDepth) {
        CommandLineError(u"XSLT stack size should be at least 100");
        return false;
      }
    }
  }
  const char16_t* missing = nullptr;
  if (!HaveStylesheetFile)
    missing = u"An input XSL file must be supplied";
  else if (!HaveSourceFile)
    missing = u"An input XML file must be supplied";
  else if (!HaveOutputFile)
    missing = u"An output file must be specified";
  if (missing) {
    WriteLine(stderr, missing);
    WriteLine(stderr, u"");
    return false;
  }
  return true;
}

KTString KTFrontEnd::AbsoluteName(const KTString& name) {
  // A user name and password in a URL are not used for the transfer and
  // would show in every message that names the document.
  if (ClassifyUrl(name.c_str()) == kNameIsUrl) return KTUrlWithoutCredentials(name.View());
  if (name.IsEmpty() || name.c_str()[0] == u'/') return name;
  return name.MakeAbsolute(nullptr, CurrentDirectory().c_str());
}

KTXNode* KTFrontEnd::LoadInput(const KTString& name, int grammarId, KTDocumentLoader** loaderOut) {
  std::unique_ptr<KTDocumentLoader> loader = documentManager_->NewLoader();
  // Without a cached grammar of that id the loader chooses one by the name.
  loader->SetGrammar(FrontEndGrammars().FindGrammar(grammarId));
  // The source needs only its tree; of the stylesheet's text only where its
  // lines start is kept, for the places of messages.
  const bool isStylesheet = grammarId == KTGrammarCache::kXsl;
  // The map is made at the load: it moves to this object at once.
  loader->SetKeptText(isStylesheet ? KTDocumentLoader::KeptText::kLines : KTDocumentLoader::KeptText::kNothing, true);
  std::unique_ptr<KTDocumentRecord> record;
  KTLoadAhead* ahead = documentManager_->GetLoadAhead();
  if (ahead && isStylesheet) record = ahead->Take(name, KTLoadAhead::Kind::kStylesheet);
  KTLoadStatus status;
  KTXNode* root;
  KTDocumentLoader* used;
  if (record) {
    // Loaded on another thread, set up as below, without a word.
    root = record->GetDocument();
    used = record->GetLoader();
  } else {
    record = std::make_unique<KTDocumentRecord>();
    root = loader->LoadFromUrl(name.c_str(), status, record.get());
    used = loader.get();
    record->SetLoader(std::move(loader));
  }
  documentManager_->AddRecord(std::move(record));
  *loaderOut = used;

  if (root && !status.HasError() && used->GetTextLength() > 0) {
    // The stylesheet's line map moves here: the loader answers the checks
    // that run on its record later as one that kept no text.
    if (isStylesheet) documentLines_[root] = used->TakeLineMap();
    return root;
  }
  WriteLine(stderr, u"Failed to load " + std::u16string(name.c_str()));
  if (status.HasError() && !status.GetMessage().IsEmpty())
    WriteLine(stderr, status.GetMessage().c_str());
  else if (used->GetTextLength() == 0)
    WriteLine(stderr, u"The document is empty");
  return nullptr;
}

// What the loader found in the text of `root` spares its wrap the searches
// for references and line ends.
void KTFrontEnd::MarkPlainTexts(const KTDocumentLoader& loader, const KTXNode* root) {
  const bool withoutCr = loader.ParsedWithoutCr(root);
  if (withoutCr) treeContext_->SetNextTextsWithoutCr();
  if (withoutCr && loader.ParsedWithoutReference(root)) treeContext_->SetNextTextsPlain();
}

std::unique_ptr<KTXPathNode> KTFrontEnd::WrapInput(KTXNode* root, const KTString& name) {
  // The same model as for the documents the stylesheet loads (document(),
  // includes, imports): DTD subsets, entities, defaults and schemas apply
  // alike to all of them.
  std::unique_ptr<KTSchemaServices> model = processor_->NewSchemaModel();
  std::unique_ptr<KTXPathNode> tree;
  try {
    tree = treeContext_->WrapTree(root, model.get(), true, name.c_str());
  } catch (const KTXTreeException&) {
    tree.reset();
  }
  // A document whose entities could not all be expanded would run with part
  // of its text missing: it is refused instead.
  KTString why;
  if (tree && model->DocumentRefused(why)) {
    WriteLine(stderr, u"Failed to load " + std::u16string(name.c_str()));
    WriteLine(stderr, why.c_str());
    DocumentSchemaModels[root] = std::move(model);
    return nullptr;
  }
  if (tree && model->ExpansionStopped(why)) {
    WriteLine(stderr, u"Failed to load " + std::u16string(name.c_str()));
    WriteLine(stderr, u"Entity references cannot be expanded: " + std::u16string(why.c_str()));
    DocumentSchemaModels[root] = std::move(model);
    return nullptr;
  }
  DocumentSchemaModels[root] = std::move(model);
  if (!tree) WriteLine(stderr, u"Internal error creating tree for " + std::u16string(name.c_str()));
  return tree;
}

namespace {
// The largest source beside which the stylesheet's modules are loaded ahead.
constexpr off_t kLoadAheadSourceBytes = 512 * 1024;
// Below these sizes, a stylesheet that names no other file loads serially
// after the source: the two loads would overlap by well under a millisecond,
// less than starting the thread costs (its stack, its allocation arena, and
// the lock every allocation then takes). On the small XSLTMark cases the
// serial run was 0.1 to 2 ms faster.
constexpr off_t kSmallSourceBytes = 16 * 1024;
constexpr off_t kSmallStylesheetBytes = 16 * 1024;

// True for a plain file of at most kSmallStylesheetBytes whose bytes hold
// none of the words by which a stylesheet names another file (an import or
// include, a document() call, a document type with its subsets) and no zero byte (in a UTF-16
// file those words would not be seen). Anything it cannot read is not small.
bool IsSmallSelfContainedFile(const std::string& path) {
  // Only a regular file is opened: opening a named pipe would release a
  // writer waiting on it, which the close that follows would then break.
  struct stat info;
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kSmallStylesheetBytes)
    return false;
  // Not blocking, should the name have become a pipe since.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  std::string bytes;
  bool small = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kSmallStylesheetBytes;
  if (small) {
    bytes.resize(static_cast<size_t>(info.st_size));
    size_t have = 0;
    while (have < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + have, bytes.size() - have);
      if (n <= 0) break;
      have += static_cast<size_t>(n);
    }
    small = have == bytes.size();
  }
  ::close(fd);
  if (!small) return false;
  const std::string_view text(bytes);
  return text.find('\0') == std::string_view::npos && text.find("import") == std::string_view::npos &&
         text.find("include") == std::string_view::npos && text.find("document") == std::string_view::npos &&
         text.find("DOCTYPE") == std::string_view::npos;
}
}  // namespace

void KTFrontEnd::StartLoadAhead() {
  // A setting for tests that compare a run with the serial one.
  const char* serial = std::getenv("OSTXSLT_SERIAL_LOAD");
  if (serial && *serial && std::strcmp(serial, "0") != 0) return;
  // What loading ahead saves is the modules' parse, whatever the source;
  // what it costs grows with the run: once a thread has started, the C
  // library locks around every allocation to the end. A run over a large
  // source (the 1 MB DocBook book: 3% slower by the clock) loads serially.
  struct stat info;
  const std::string sourcePath = KTUtf16ToUtf8(SourceFileName.View());
  const bool sourceKnown = ::stat(sourcePath.c_str(), &info) == 0;
  if (sourceKnown && info.st_size > kLoadAheadSourceBytes) return;
  if (sourceKnown && info.st_size <= kSmallSourceBytes &&
      IsSmallSelfContainedFile(KTUtf16ToUtf8(StylesheetFileName.View()))) {
    return;
  }
  rlimit space{};
  const bool limited = getrlimit(RLIMIT_AS, &space) != 0 || space.rlim_cur != RLIM_INFINITY;
  const int threads = KTLoadAhead::ThreadsFor(std::thread::hardware_concurrency(), limited);
  if (threads <= 0) return;
  // A module's name is found as the processor finds it: its URL from the
  // href and the URL of the module that holds it, then the name it is
  // loaded by.
  auto names = [](const KTString& baseUrl, const KTString& href, KTString& url, KTString& loadName) {
    url = KTXSLTProcessor::ModuleUrl(&baseUrl, href);
    loadName = KTXSLTFileProcessor::LoadNameOf(KTXSLTFileProcessor::DocumentKey(url.c_str()));
    return true;
  };
  auto ahead = std::make_unique<KTLoadAhead>(documentManager_.get(), names, threads);
  // The stylesheet's URL is the name it is wrapped with (the base of its
  // hrefs) and the name it is loaded by.
  ahead->Add(StylesheetFileName, StylesheetFileName, KTLoadAhead::Kind::kStylesheet);
  documentManager_->SetLoadAhead(std::move(ahead));
}

bool KTFrontEnd::LoadInputDocuments() {
  StylesheetFileName = AbsoluteName(StylesheetFileName);
  SourceFileName = AbsoluteName(SourceFileName);

  StartLoadAhead();
  KTDocumentLoader* loader = nullptr;
  KTXNode* source = LoadInput(SourceFileName, KTGrammarCache::kXml, &loader);
  if (!source) return false;
  MarkPlainTexts(*loader, source);
  if (loader->ParsedWithoutDeclarations(source)) treeContext_->SetNextEntitiesPredefined();
  sourceTree_ = WrapInput(source, SourceFileName);
  if (!sourceTree_) return false;

  KTXNode* stylesheet = LoadInput(StylesheetFileName, KTGrammarCache::kXsl, &loader);
  if (!stylesheet) return false;
  MarkPlainTexts(*loader, stylesheet);
  processor_->Serializer().SetDefaultEncoding(KTString(u"UTF-8"));

  stylesheetTree_ = WrapInput(stylesheet, StylesheetFileName);
  return stylesheetTree_ != nullptr;
}

namespace {

// What a template rule or named template is called in a message: its name,
// else its match pattern.
std::u16string TemplateLabel(const KTXPathNode* element) {
  if (!element) return u"";
  const KTXPathNode* match = nullptr;
  for (const auto& child : element->Children()) {
    if (child->GetKind() != kXPathAttribute) break;
    std::u16string_view name(child->GetName());
    if (name == u"name") return u"the template named \"" + std::u16string(child->GetValue()) + u"\"";
    if (name == u"match") match = child.get();
  }
  if (match) return u"the template matching \"" + std::u16string(match->GetValue()) + u"\"";
  return u"";
}

}  // namespace

int KTFrontEnd::FrameLimit() {
  // Frames may take at most about a quarter of the machine's memory, at a
  // generous 2 KB a frame, whatever -xslstack allows: an endless recursion
  // ends with the overflow report instead of exhausting memory.
  constexpr long long kBytesPerFrame = 2048;
  long long pages = sysconf(_SC_PHYS_PAGES);
  long long pageSize = sysconf(_SC_PAGE_SIZE);
  long long frames = pages > 0 && pageSize > 0 ? pages / 4 * pageSize / kBytesPerFrame : 1000000;
  return static_cast<int>(std::clamp<long long>(frames, 100000, 100000000));
}

namespace {

// The memory the process holds now (its resident set), or -1 when the
// system does not tell.
long long ResidentBytes() {
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (!statm) return -1;
  long long size = 0;
  long long resident = -1;
  if (std::fscanf(statm, "%lld %lld", &size, &resident) != 2) resident = -1;
  std::fclose(statm);
  const long long pageSize = sysconf(_SC_PAGE_SIZE);
  return resident >= 0 && pageSize > 0 ? resident * pageSize : -1;
}

}  // namespace

void KTFrontEnd::ReportStackOverflow(bool memoryBound) {
  // The innermost template being run: the nearest frame that runs one.
  std::u16string label;
  const KTFrameStack* frames = processor_->FrameStack();
  for (auto at = frames->rbegin(); at != frames->rend() && label.empty(); ++at) {
    if ((*at)->Root() == at->get()) label = TemplateLabel((*at)->OwnNode() ? (*at)->OwnNode() : (*at)->NodeToRun());
  }
  WriteLine(stderr, u"XSL template stack overflow");
  std::u16string why =
      memoryBound ? u"The nested template calls would take more memory than this machine allows"
                  : u"More than " + KTUtf8ToUtf16(std::to_string(MaxTemplateDepth)) + u" nested template calls";
  if (!label.empty()) why += u", the last one to " + label;
  why += memoryBound ? u"." : u" (-xslstack sets the limit).";
  WriteLine(stderr, why);
  WriteLine(stderr, u"");
}

bool KTFrontEnd::RunTransformation() {
  processor_->SetTreeContext(treeContext_.get());
  const int maxFrames = FrameLimit();
  // Frames whose templates hold large variables take far more than
  // FrameLimit reckons: once the calls nest deeper than the default limit
  // allows, the memory the run has taken since it began (after Prepare) is
  // looked at every few thousand steps too, and may reach a quarter of the
  // machine's.
  const long long pages = sysconf(_SC_PHYS_PAGES);
  const long long pageSize = sysconf(_SC_PAGE_SIZE);
  const long long memoryBudget = pages > 0 && pageSize > 0 ? pages / 4 * pageSize : -1;
  bool started = false;
  long long memoryAtStart = -1;
  unsigned deepSteps = 0;
  auto withinLimits = [&]() {
    if (!started) {
      started = true;
      memoryAtStart = ResidentBytes();
    }
    bool memoryBound = processor_->FrameDepth() > maxFrames;
    if (!memoryBound && memoryBudget > 0 && memoryAtStart >= 0 &&
        processor_->TemplateDepth() > kDefaultTemplateDepth && ++deepSteps % 4096 == 0) {
      memoryBound = ResidentBytes() - memoryAtStart > memoryBudget;
    }
    if (processor_->TemplateDepth() > MaxTemplateDepth || memoryBound) {
      ReportStackOverflow(memoryBound);
      return false;
    }
    return true;
  };
  // Within these depths the check passes and counts nothing: after its
  // first call it is left out of the steps that stay within them.
  const KTStepCheckBounds quiet{maxFrames, std::min<int>(MaxTemplateDepth, kDefaultTemplateDepth)};
  KTRunEnd end;
  try {
    end = KTRunTransformation(*processor_, stylesheetTree_.get(), sourceTree_.get(), withinLimits, &quiet);
  } catch (KTXSLTError& error) {
    ReportXSLTError(error);
    return false;
  }
  if (end == KTRunEnd::kTerminated) {
    // The message itself is already on standard error; the run ends as on
    // any stylesheet error, reported where the xsl:message stands.
    KTXSLTError error(KTXSLTError::kTerminatedByMessage, processor_->TerminatingInstruction());
    error.SetMessageText(KTString(u"The transformation was terminated by xsl:message"));
    ReportXSLTError(error);
    return false;
  }
  return end == KTRunEnd::kFinished;
}

bool KTFrontEnd::WriteOutputFile() {
  // The serialiser hands its text to the writer in pieces, which are encoded
  // as they come; the file is written only once the whole result is there.
  KTResultWriter writer;
  const char16_t* text = nullptr;
  KTResultSerializer& output = processor_->Serializer();
  output.SetOutputSink(&writer);
  try {
    text = processor_->Serialize();
  } catch (KTXSLTError& error) {
    output.SetOutputSink(nullptr);
    // A character the output encoding cannot hold where no reference may
    // stand, which the processor reports as a stylesheet error.
    WriteLine(stderr, u"Error writing to file " + std::u16string(KTUrlForMessage(OutputFileName.View()).c_str()));
    WriteLine(stderr, error.GetMessage());
    return false;
  } catch (...) {
    output.SetOutputSink(nullptr);
    throw;
  }
  output.SetOutputSink(nullptr);
  const KTResultSerializer& serializer = processor_->Serializer();
  int encodingId = serializer.GetEncodingId();
  if (serializer.GetOutputEncoding().FellBack()) {
    KTString name = processor_->GetOutputSettings().GetEncoding();
    WriteLine(stderr, u"Warning: the output encoding \"" + std::u16string(name.c_str()) +
                          u"\" is not supported; the output is written in UTF-8");
  }

  // The result goes to a new file that replaces the target only once it is
  // whole: a failed write (a full disk, a file size limit) leaves an existing
  // file as it was, and -out may name the source, which is read by now.
  KTLoadStatus status;
  KTOutputFile file(OutputFileName);
  bool saved = file.Open(status);
  if (saved) {
    const char16_t* path = file.WritePath().c_str();
    saved = writer.HasOutput() ? writer.SaveOutputToFile(path, status)
                               : writer.SaveTextToFile(path, text ? text : u"", status, encodingId,
                                                       serializer.GetOutputEncoding().GetByteOrder());
  }
  if (saved && !status.HasError() && file.Commit(status))
    return true;
  WriteLine(stderr, u"Error writing to file " + std::u16string(KTUrlForMessage(OutputFileName.View()).c_str()));
  if (!status.GetMessage().IsEmpty()) WriteLine(stderr, status.GetMessage().c_str());
  return false;
}

bool KTFrontEnd::FindNodePlace(const KTXPathNode* node, KTString& uriOut, int& lineOut, int& columnOut) {
  KTXNode* treeNode = node ? node->GetXNode() : nullptr;
  // A node of a document without a URI (the built-in template rules) is in
  // no file the user could open: no position is given for it.
  const KTString* uri = node ? KTXPathNode::GetDocumentUri(node) : nullptr;
  if (treeNode && uri && !uri->IsEmpty()) {
    KTXNode* top = treeNode;
    while (top->GetParent()) top = top->GetParent();
    const int parsedOffset = treeNode->GetStartOffset();
    // A node of a file the run loaded (the stylesheet, an included or
    // imported one): its line and character there, from the offset the
    // parser recorded (a written copy of the tree would place elements that
    // share a line on lines of their own).
    const KTLineMap* lines = nullptr;
    auto known = documentLines_.find(top);
    if (known != documentLines_.end()) {
      lines = &known->second;
    } else if (processor_) {
      lines = processor_->DocumentLines(top);
    }
    if (lines && lines->Locate(parsedOffset, lineOut, columnOut)) {
      uriOut = *uri;
      return true;
    }
  }
  if (treeNode && uri && !uri->IsEmpty()) {
    // Any other document: the position in the text the tree writer writes.
    KTXNode* top = treeNode;
    while (top->GetParent()) top = top->GetParent();

    // The document is written again with every node recording where its
    // text starts; line and character are counted in that text.
    KTWriteOptions options{.spaceBeforeSlash = true, .recordOffsets = true};
    KTString written;
    int length = 0;
    top->WriteText(written, length, -1, options);
    int offset = treeNode->GetStartOffset();
    // Text nodes keep the file's own breaks, so CR LF is one break here, as
    // it is in the file.
    if (KTLineMap(std::u16string_view(written.c_str(), length)).Locate(offset, lineOut, columnOut)) {
      uriOut = *uri;
      return true;
    }
  }
  return false;
}

void KTFrontEnd::ReportXSLTError(const KTXSLTError& error) {
  KTXSLTError copy(error);
  std::u16string report;
  KTString uri;
  int line = 0;
  int column = 0;
  if (FindNodePlace(copy.GetNode(), uri, line, column)) {
    KTString head;
    head.Format(u"Error in %s at line %d character %d", KTUrlForMessage(uri.View()), line, column);
    report += head.c_str();
    report += u'\n';
  }
  report += copy.GetDetailedMessage();
  // A -param expression is no part of the stylesheet: its message names the
  // option, and no stylesheet frames led to it.
  if (!copy.GetOrigin().IsEmpty()) {
    report += u'\n';
    KTWriteConsole(stderr, KTTextForMessage(report).View());
    std::fflush(stderr);
    return;
  }
  report += u"\nXSLT stack dump\n\n";
  if (processor_) {
    const KTFrameStack* frames = processor_->FrameStack();
    for (auto frame = frames->rbegin(); frame != frames->rend(); ++frame) {
      KTXPathNode* shown = (*frame)->OwnNode() ? (*frame)->OwnNode() : (*frame)->NodeToRun();
      if (!shown) continue;
      report += shown->GetName();
      report += u'\n';
    }
  }
  KTWriteConsole(stderr, KTTextForMessage(report).View());
  std::fflush(stderr);
}

void KTFrontEnd::ReportXSLTWarning(const KTXPathNode* node, const KTString& text) {
  std::u16string report = u"Warning: ";
  KTString uri;
  int line = 0;
  int column = 0;
  if (FindNodePlace(node, uri, line, column)) {
    KTString place;
    place.Format(u"in %s at line %d character %d: ", KTUrlForMessage(uri.View()), line, column);
    report += place.c_str();
  }
  report += text.c_str();
  WriteLine(stderr, report);
}

bool KTFrontEnd::DestroyGlobalObjects() {
  // The processor's frames and documents refer to the trees; it goes first.
  processor_.reset();
  documentLines_.clear();
  stylesheetTree_.reset();
  sourceTree_.reset();
  DocumentSchemaModels.clear();
  treeContext_.reset();
  documentManager_.reset();
  catalog_.reset();
  return true;
}
