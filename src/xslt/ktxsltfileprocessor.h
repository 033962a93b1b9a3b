// KTXSLTFileProcessor: the processor of the command-line program. It loads
// the documents a stylesheet reaches (document(), and later includes and
// imports) through the XML layer's document manager, once per URL for the
// processor's life, and gives each document a schema model of its own.
#pragma once

#include <map>
#include <memory>

#include "core/ktstring.h"
#include "xslt/ktxsltprocessor.h"

class KTDocumentLoader;
class KTLineMap;
class KTDocumentManager;
class KTXNode;

class KTXSLTFileProcessor : public KTXSLTProcessor {
 public:
  // The manager is borrowed; the documents loaded through it stay with it.
  explicit KTXSLTFileProcessor(KTDocumentManager* manager);
  ~KTXSLTFileProcessor() override;

  // A stylesheet whose document element is not one (CheckStylesheetDocument)
  // is refused before it is prepared. The base processor runs any element
  // as the first instruction, which its tests use to run one instruction.
  void Prepare(KTXPathNode* stylesheetRoot, KTXPathNode* sourceRoot) override;
  // The document at the URL, read once; a failure is reported on standard
  // error ("Failed to load " and the URL, then the load status's message)
  // and gives null.
  // A load the manager's KTLoadAhead made of the same name, cleanly, is
  // taken instead of loading again.
  KTXNode* LoadDocument(const char16_t* url) override;
  bool ForgetDocument(const char16_t* url) override;
  // The key of LoadDocument's cache for a URL, and the name it loads it by.
  static KTString DocumentKey(const char16_t* url);
  static KTString LoadNameOf(const KTString& key);
  // A schema model over the processor's document manager, which loads what
  // the document's DTD and schema references name (external subsets and
  // parameter entities, XML Schema, XDR and DCD documents); the caller owns
  // it. The front end's inputs take the same model.
  std::unique_ptr<KTSchemaServices> NewSchemaModel() override;
  // The folder of the URL the document was loaded from, with its trailing
  // separator; empty for a document this processor did not load.
  virtual KTString DocumentUrl(const KTXNode* document) const;
  // Where the lines start in the text a document this processor loaded was
  // parsed from (node offsets point into that text); null for any other
  // document.
  const KTLineMap* DocumentLines(const KTXNode* document) const;
  // The unparsed entities of the document's whole DTD, its internal subset
  // and the external subset and parameter entities it names, each resolved
  // against the URL of the document that declares it.
  void CollectUnparsedEntities(const KTXPathNode* root, std::unordered_map<KTString, KTString>& entities) override;

 private:
  std::map<KTString, KTXNode*> documentsByUrl_;
  std::map<const KTXNode*, KTString> foldersByDocument_;
  std::map<const KTXNode*, const KTDocumentLoader*> loadersByDocument_;
  KTDocumentManager* manager_;
};
