// General entities, parameter entities and notations of a DTD, kept in the
// schema model as KTEntityDecl records; reading their declarations, giving
// their values, and expanding entity references in texts.
#pragma once

#include <memory>

#include "core/ktstring.h"

class KTXNode;
class KTSchemaModel;
class KTElementType;

class KTEntityDecl {
 public:
  explicit KTEntityDecl(const KTString& name);
  ~KTEntityDecl();
  KTEntityDecl(const KTEntityDecl&) = delete;
  KTEntityDecl& operator=(const KTEntityDecl&) = delete;

  // The value with leading and trailing white space removed, cached.
  const KTString& GetTrimmedValue(KTSchemaModel& model);
  // "'name' (value)", white-space runs as one blank, cut to 48 characters
  // and "..." when longer than 50: the context text of messages.
  KTString Describe() const;
  // The value parsed from a DTD grammar rule ("extSubsetDecl",
  // "elementSpecFormatted", "elementSeqI", "elementChoiceI", "attlistText"),
  // cached with its rule; a content-model group of another kind than asked
  // for is accepted and the element type marked accordingly. False, with
  // 7523 recorded, when the value does not parse.
  bool ParseValueAs(KTSchemaModel& model, KTXNode*& root, const KTString& rule, KTXNode* contextNode,
                    KTElementType* type);
  // Drops an internal entity's parsed value tree (between passes).
  void DropParsedValue();
  KTXNode* GetParsedValue() const { return parsedValue; }

  KTString name;
  // Internal: the literal without its quotes, references expanded. External
  // and notations: the text from "SYSTEM" or "PUBLIC" on. A parameter
  // entity's value has one blank before and after.
  KTString value;
  KTString parseRule;
  KTString replacementText;  // an external entity's loaded document as text
  KTString trimmedValue;
  KTXNode* declaringNode = nullptr;
  // Internal entity: owned through ownedParsed. External: the loaded
  // document, owned by the document manager.
  KTXNode* parsedValue = nullptr;
  std::unique_ptr<KTXNode> ownedParsed;
  bool declaredThisPass = false;
  bool external = false;
  bool predeclared = false;
  bool parameter = false;
  bool loaded = false;
  bool mayLoad = true;
  bool singleToken = false;
  // Loaded, with replacementText still to be written from parsedValue.
  bool replacementPending = false;
  // An external parameter entity whose text did not parse as declarations:
  // where and why ("url, line L, column C: reason"); used when it stands
  // between declarations, where it must hold whole ones.
  KTString notWellFormed;
};

// Entity and notation readers of the DTD walk (DOCTYPE-ENTITY and
// DOCTYPE-NOTATION nodes); false after a reported problem.
bool ParseEntityDecl(KTSchemaModel& model, KTXNode* node);
bool ParseNotationDecl(KTSchemaModel& model, KTXNode* node);
// The value of an internal entity; for an external one its replacement
// text, loaded on first use (the value text when loading fails).
const KTString& GetEntityValue(KTEntityDecl& record, KTSchemaModel& model);
bool LoadExternalEntity(KTEntityDecl& record, KTSchemaModel& model);
// Replaces the character references of the text in place.
void ExpandCharacterReferences(KTString& text);
