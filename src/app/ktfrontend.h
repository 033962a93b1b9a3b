// KTFrontEnd: one run of the command-line program. It builds the objects
// that live for the run, reads the options, loads the source and the
// stylesheet, steps the processor under the template depth limit, reports
// stylesheet errors with a dump of the frame stack and writes the output
// file; DestroyGlobalObjects ends every run, whatever happened before.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/ktlinemap.h"
#include "core/ktstring.h"

class KTDocumentManager;
class KTGrammarCache;
class KTIdentifierCatalog;
class KTSchemaServices;
class KTXNode;
class KTXPathNode;
class KTXPathTreeContext;
class KTXSLTError;
class KTXSLTFileProcessor;

class KTFrontEnd {
 public:
  // Exit statuses of the process.
  static constexpr int kExitWritten = 0;      // the output file was written
  static constexpr int kExitFailed = 1;       // load, stylesheet, run or write failure
  static constexpr int kExitCommandLine = 2;  // wrong or incomplete command line

  // The depth limit when -xslstack is not given, and the least value it takes.
  static constexpr int32_t kDefaultTemplateDepth = 1000;
  static constexpr int32_t kMinTemplateDepth = 100;

  KTFrontEnd();
  ~KTFrontEnd();
  KTFrontEnd(const KTFrontEnd&) = delete;
  KTFrontEnd& operator=(const KTFrontEnd&) = delete;

  // The whole run: arguments from index 1 on are the options (argument 0 is
  // the program's name). Returns the exit status.
  int Run(const std::vector<std::u16string>& arguments);

  // When the process ends right after Run, taking its trees apart node by
  // node is wasted work (a large document's trees take a noticeable part of
  // the run to free): with this set, Run leaves the documents, the processor
  // and its result to the process's end instead of deleting them. Everything
  // the run writes has been written and closed by then. Off by default.
  void SetLeaveObjectsToProcessExit(bool on) { leaveObjectsToExit_ = on; }

  // ---- The steps of a run, in order ----
  bool CreateGlobalObjects();
  // True when a stylesheet, a source and an output file are named and no
  // option is wrong; -param values go to the processor at once.
  bool ParseCommandLine(const std::vector<std::u16string>& arguments);
  // True when both documents are loaded, not empty, and wrapped.
  bool LoadInputDocuments();
  // True when the frame stack was run to empty without error.
  bool RunTransformation();
  // The most frames a run may stack, from the machine's memory.
  static int FrameLimit();
  // The report of a run stopped by -xslstack (or, with memoryBound, by
  // FrameLimit): the limit and the innermost template being run.
  void ReportStackOverflow(bool memoryBound);
  // True when the output file was written.
  bool WriteOutputFile();
  // Deletes what the run made; safe whatever was made.
  bool DestroyGlobalObjects();

  // The report of a stylesheet error on standard error: document, line and
  // character, the message, and the frame stack from the top down.
  void ReportXSLTError(const KTXSLTError& error);
  // A warning of the run on standard error: "Warning: ", the document,
  // line and character of the stylesheet node when it has them, the text.
  void ReportXSLTWarning(const KTXPathNode* node, const KTString& text);

  // ---- Option values ----
  KTString OutputFileName;
  KTString SourceFileName;
  KTString StylesheetFileName;
  bool HaveSourceFile = false;
  bool HaveStylesheetFile = false;
  bool HaveOutputFile = false;
  int32_t MaxTemplateDepth = kDefaultTemplateDepth;

 private:
  // The name made absolute against the current directory, unless it is a
  // URL or an absolute path already.
  static KTString AbsoluteName(const KTString& name);
  // Loads one document through a loader of the document manager. Reports a
  // failure on standard error and gives null; `loaderOut` gets the loader
  // (owned by the manager's record).
  KTXNode* LoadInput(const KTString& name, int grammarId, class KTDocumentLoader** loaderOut);
  // Starts loading the stylesheet and the modules it includes and imports
  // on other threads while the source loads (KTLoadAhead); LoadInput and
  // the processor's module loads take what they find loaded cleanly.
  void StartLoadAhead();
  // Tells the tree context what the loader found in the text of `root`
  // (no reference, no CR), for the wrap that follows.
  void MarkPlainTexts(const class KTDocumentLoader& loader, const KTXNode* root);
  // Gives the document a schema model and its XPath view.
  std::unique_ptr<KTXPathNode> WrapInput(KTXNode* root, const KTString& name);
  // The document, line and character of a stylesheet node; false for a
  // node in no file the user could open (the built-in rules, a node made
  // by the processor).
  bool FindNodePlace(const KTXPathNode* node, KTString& uri, int& line, int& column);

  std::unique_ptr<KTIdentifierCatalog> catalog_;
  std::unique_ptr<KTDocumentManager> documentManager_;
  std::unique_ptr<KTXPathTreeContext> treeContext_;
  std::unique_ptr<KTXSLTFileProcessor> processor_;
  std::unique_ptr<KTXPathNode> sourceTree_;
  std::unique_ptr<KTXPathNode> stylesheetTree_;
  // Where each line of a loaded file's text starts (offsets in its decoded
  // text), made on the first error placed in it: a node is placed by the
  // offset the parser gave it. The stylesheet's map is made as it loads,
  // since its text is released.
  std::unordered_map<const KTXNode*, KTLineMap> documentLines_;
  // The schema model of each input document, made by the processor as for
  // every other document it loads.
  std::map<const KTXNode*, std::unique_ptr<KTSchemaServices>> DocumentSchemaModels;
  bool leaveObjectsToExit_ = false;
};

// The grammar cache of the process, loaded by the first CreateGlobalObjects.
KTGrammarCache& FrontEndGrammars();
