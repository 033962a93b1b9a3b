// KTXSLTError: the one error type of stylesheet compilation and
// transformation, thrown by value. It carries a stylesheet error code, the
// stylesheet node it concerns and, for XPath errors, the XPath error kind and
// the index of the function involved. Texts are string resources 7200-7250
// (stylesheet errors) and 7401-7455 (XPath errors and function names).
#pragma once

#include "core/ktstring.h"

class KTXPathNode;

class KTXSLTError {
 public:
  // Codes with a name of their own in the processor's code; the others are
  // used by number where they are raised (the message table holds 2 to 50).
  enum Code : int {
    kNone = 0,
    kXPathError = 1,
    kInvalidXPathExpression = 6,
    kUnexpectedFailure = 7,
    kUnexpectedElement = 34,
    kVariablesInPattern = 46,
    // The serialiser met a character the output encoding cannot write where
    // no reference may stand; the message is the serialiser's (id 7260).
    kOutputError = 7260,
    // An xsl:message with terminate="yes" ended the run (outside the table
    // and the resource ids; the front end gives the text).
    kTerminatedByMessage = 100,
    kFirstTableCode = 2,
    kLastTableCode = 50,
  };

  // Resource ids of the heads and tables the messages are made from.
  static constexpr unsigned kXPathMessageHeadId = 7250;
  static constexpr unsigned kFirstFunctionNameId = 7413;
  static constexpr int kLastFunctionIndex = 35;
  static constexpr int kLastXPathErrorKind = 17;

  // A node of the XPath view that carries the wrap mark (it was made from an
  // expanded entity) is not in the stylesheet text, so the error is reported
  // for its nearest ancestor that is.
  KTXSLTError(int code, KTXPathNode* node);
  KTXSLTError(const KTXSLTError& other);
  // An error whose subject is the node it is raised for (see Describe).
  static KTXSLTError About(int code, KTXPathNode* node);
  // A stylesheet node as a message names it: an attribute with its value
  // (name="value"), an element by its name, a text by its first characters.
  static KTString Describe(const KTXPathNode* node);
  KTXSLTError& operator=(const KTXSLTError& other);
  virtual ~KTXSLTError();

  void SetXPathError(int kind, int functionIndex);
  // Gives the error a message of its own (a code outside the table, such as
  // kOutputError, whose text comes from elsewhere).
  void SetMessageText(const KTString& text) { message_ = text; }
  // What the error is about, written after the message: the function, the
  // variable, the template or the element as the stylesheet names it.
  void SetSubject(const KTString& subject);
  const KTString& GetSubject() const { return subject_; }
  // The expression that failed and the offset of the character at which it
  // failed (-1 when no character can be named).
  void SetExpression(const KTString& text, int offset);
  const KTString& GetExpression() const { return expression_; }
  int GetExpressionOffset() const { return expressionOffset_; }
  // The error comes from outside the stylesheet (a command-line parameter):
  // it names that origin instead of a stylesheet node.
  void SetOrigin(const KTString& origin);
  const KTString& GetOrigin() const { return origin_; }

  int GetCode() const { return code_; }
  int GetXPathErrorKind() const { return xpathKind_; }
  int GetFunctionIndex() const { return functionIndex_; }
  KTXPathNode* GetNode() const { return node_; }

  // The message text; the pointer stays valid while the object lives. Code 1
  // gives the XPath message, codes 2 to 50 the table text, code 0 the empty
  // text and any other code "Unknown error".
  const char16_t* GetMessage();
  // "Error in XPath expression, " followed by the error kind's text, and
  // " -> " and the function name when a function is involved.
  const char16_t* GetXPathMessage();
  // The message as the user reads it: the origin when there is one, the
  // message and its subject, and for an expression its text with a line
  // that marks the character at which it failed.
  const char16_t* GetDetailedMessage();

  // The resource id of a table code (2 to 50), 0 for any other code. The
  // ids do not follow the codes in order.
  static unsigned ResourceIdOfCode(int code);
  // The resource id of an XPath error kind (1 to 17), 0 for any other.
  static unsigned ResourceIdOfXPathKind(int kind);

 private:
  KTString message_;
  KTString xpathMessage_;
  KTString detailedMessage_;
  KTString subject_;
  KTString expression_;
  KTString origin_;
  int expressionOffset_ = -1;
  int code_ = 0;
  int xpathKind_ = 0;
  int functionIndex_ = -1;
  KTXPathNode* node_ = nullptr;
};
