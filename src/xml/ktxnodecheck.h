// KTTextChecker: what the node checks (KTXNode::Validate, ValidateSubtree,
// Reparse) work with. A check parses a node's name or value with a grammar
// rule of the document's grammar; a failure names the node, says whether its
// name or its value failed and carries a message, offset and line. Checks
// never throw and never change the tree.
#pragma once

#include "core/ktstring.h"

class ParsoParser;
class KTXNode;

// Message ids of the node checks (texts in the program's string table).
enum KTXCheckMessage : unsigned {
  kMsgNameMissing = 217,
  kMsgChildNotAllowed = 218,
  kMsgValueMissing = 220,
  kMsgOnlyOne = 221,
  kMsgRequiredChild = 223,
  kMsgSyntaxError = 224,
  kMsgUnexpectedEnd = 225,
  kMsgSecondExternalId = 230,
  kMsgBadExternalIdKeyword = 231,
  kMsgEmptyDtdText = 236,
  kMsgBadXmlDeclaration = 287,
  kMsgBadTextDeclaration = 288,
  kMsgAttlistPartOutOfPlace = 379,
  kMsgAttlistTypeMissing = 380,
  kMsgAttlistValuesMissing = 381,
  kMsgAttlistFixedNeedsDefault = 382,
  kMsgAttlistValuesNotAllowed = 383,
  kMsgAttlistDefaultNotAllowed = 384,
  kMsgElementDeclInvalid = 386,
  kMsgAttlistDeclInvalid = 387,
  kMsgAttlistPresenceMissing = 413,
  kMsgDuplicateAttribute = 480,
};

class KTTextChecker {
 public:
  // The parser is set to the document's grammar and is not owned.
  explicit KTTextChecker(ParsoParser* parser) : parser_(parser) {}

  ParsoParser* GetParser() const { return parser_; }
  void SetDisabled(bool disabled) { disabled_ = disabled; }
  bool IsDisabled() const { return disabled_; }

  KTXNode* GetNode() const { return node_; }
  bool IsNameFailure() const { return nameFailed_; }
  int GetDetail() const { return detail_; }
  void SetDetail(int detail) { detail_ = detail; }
  int GetErrorOffset() const { return errorOffset_; }
  int GetErrorLine() const { return errorLine_; }
  const KTString& GetMessage() const { return message_; }

  // Parses text with the rule; on failure records the node, the name flag
  // and the parser's error. True when disabled.
  bool CheckText(KTXNode* node, bool useName, const char16_t* text, int length, const char16_t* ruleName);
  // Records a failure with a message from the string table; returns false.
  bool Fail(KTXNode* node, bool name, unsigned messageId, const char16_t* arg1 = nullptr,
            const char16_t* arg2 = nullptr);

 private:
  ParsoParser* parser_;
  KTXNode* node_ = nullptr;
  int detail_ = 0;
  bool nameFailed_ = false;
  int errorOffset_ = 0;
  int errorLine_ = 0;
  KTString message_;
  bool disabled_ = false;
};
