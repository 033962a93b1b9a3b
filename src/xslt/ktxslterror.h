// KTXSLTError: the one error type of stylesheet compilation and
// transformation, thrown by value. It carries a stylesheet error code, the
// stylesheet node it concerns and, for XPath errors, the XPath error kind and
// the index of the function involved. Every code has a name below; its
// message text stands beside it in the table of ktxslterror.cpp, as do the
// texts of the XPath error kinds. Functions are named as the XPath function
// library names them.
#pragma once

#include "core/ktstring.h"

class KTXPathNode;

class KTXSLTError {
 public:
  // The error codes. The numbers are fixed: tests and callers compare them.
  // Codes 2 to 50 have their text in the message table; the others are
  // handled apart.
  enum Code : int {
    kNone = 0,
    // An XPath error: the message is made from the XPath error kind and the
    // function involved (SetXPathError).
    kXPathError = 1,
    kAttributeRepeated = 2,
    kAttributeSetExists = 3,
    kDecimalFormatExists = 4,
    kExpressionExpected = 5,
    kInvalidXPathExpression = 6,
    kUnexpectedFailure = 7,
    kUndefinedTemplate = 8,
    kUndefinedAttributeSet = 9,
    kUndefinedPrefix = 10,
    kTemplateExists = 11,
    kKeyExists = 12,
    kVariableExists = 13,
    kParameterExists = 14,
    kSelectWithContent = 15,
    // A match attribute is missing: on xsl:key, or on an xsl:template with a
    // mode (the case the text speaks of).
    kMatchExpected = 16,
    kUseExpected = 17,
    kSelectExpected = 18,
    kTestExpected = 19,
    kVersionExpected = 20,
    kNameExpected = 21,
    kWhenExpected = 22,
    kHrefExpected = 23,
    kElementsExpected = 24,
    kStylesheetPrefixExpected = 25,
    kResultPrefixExpected = 26,
    kUnexpectedOtherwise = 27,
    kNotWhenOrOtherwise = 28,
    kNotNodeSet = 29,
    kUnexpectedChildren = 30,
    kUnexpectedValue = 31,
    kUnexpectedAttribute = 32,
    kUnexpectedChild = 33,
    kUnexpectedElement = 34,
    kUnexpectedParent = 35,
    kUnexpectedApplyImports = 36,
    kNotTopLevel = 37,
    kNotRootElement = 38,
    kNotPITarget = 39,
    kNotQName = 40,
    kWithParamAfterSort = 41,
    kCannotLoad = 42,
    kCannotImport = 43,
    kCannotInclude = 44,
    kRecursiveInclude = 45,
    kVariablesInPattern = 46,
    kValueTemplateSyntax = 47,
    kTemplateNeedsNameOrMatch = 48,
    kImportAfterOtherElement = 49,
    kRecursiveVariable = 50,
    // An xsl:message with terminate="yes" ended the run (no text here; the
    // front end gives it).
    kTerminatedByMessage = 100,
    // The serialiser met a character the output encoding cannot write where
    // no reference may stand; the serialiser gives the message (its string
    // resource 7260, whence the number).
    kOutputError = 7260,
    kFirstTableCode = kAttributeRepeated,
    kLastTableCode = kRecursiveVariable,
  };

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

  // The text of a table code (2 to 50); null for any other code.
  static const char16_t* TextOfCode(int code);
  // The text of an XPath error kind (1 to 17); null for any other.
  static const char16_t* TextOfXPathKind(int kind);
  // A function's name by function index (the XPath function library's
  // table); null for an index outside it.
  static const char16_t* FunctionNameOfIndex(int index);

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
