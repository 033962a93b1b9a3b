// The document node kinds 0 to 11: documents, external entities, DTD
// documents, the XML declaration, elements, attributes, character data,
// comments, processing instructions and the DOCTYPE with its external id.
// The declaration kinds 12 to 15 are in ktxdoctype.h.
#pragma once

#include "xml/ktxnode.h"

// Shared by XML-Document, XML-Entity and DTD-Document: always expanded, and
// their kind never changes.
class KTXDocumentBase : public KTXContainerNode {
 public:
  bool IsUnnamed() const override { return true; }
  bool IsExpanded() const override { return true; }
  bool CanChangeKindTo(int kind) const override { return false; }
  KTXNode* ChangeKind(int kind, KTXChangeLog* log) override { return nullptr; }
  bool WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) override;
  int WriteBeforeChild(KTXTextOut& out, KTXWriteFrame& frame, KTXNode* child) override;
  void WriteAfterChild(KTXTextOut& out, KTXWriteFrame& frame, KTXNode* child) override;
};

class KTXDocumentNode : public KTXDocumentBase {
 public:
  int GetKind() const override { return kXmlDocument; }
  bool CanHaveChild(int kind) const override;
  void NormalizeText(KTXChangeLog* log, KTXNode** tracked) override;
  bool Validate(KTTextChecker& checker) override;
};

class KTXEntityNode : public KTXDocumentBase {
 public:
  int GetKind() const override { return kXmlEntity; }
  bool CanHaveChild(int kind) const override { return kind >= kXmlTag && kind <= kProcessingInstruction; }
  void NormalizeText(KTXChangeLog* log, KTXNode** tracked) override;
  bool Validate(KTTextChecker& checker) override;
};

class KTXDtdDocumentNode : public KTXDocumentBase {
 public:
  int GetKind() const override { return kDtdDocument; }
  bool CanHaveChild(int kind) const override;
  bool IsEmpty() const override { return false; }
  bool MergesTexts() const override { return true; }
  bool GathersAttributes() const override { return false; }
  void NormalizeText(KTXChangeLog* log, KTXNode** tracked) override;
};

// The XML or text declaration; its pseudo-attributes are Attribute children.
class KTXTagNode : public KTXContainerNode {
 public:
  int GetKind() const override { return kXmlTag; }
  const char16_t* GetName() const override { return u"XML"; }
  int GetNameLength() const override { return KTXNode::GetNameLength(); }
  bool IsUnnamed() const override { return true; }
  bool IsEmpty() const override { return false; }
  bool CanHaveChild(int kind) const override { return kind == kAttribute; }
  bool Validate(KTTextChecker& checker) override;
  bool WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) override;
};

class KTXElementNode : public KTXContainerNode {
 public:
  int GetKind() const override { return kElement; }
  bool CanHaveChild(int kind) const override { return kind >= kElement && kind <= kProcessingInstruction; }
  bool MergesTexts() const override { return true; }
  bool Validate(KTTextChecker& checker) override;
  bool WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) override;
  int WriteBeforeChild(KTXTextOut& out, KTXWriteFrame& frame, KTXNode* child) override;
  void WriteAfterChild(KTXTextOut& out, KTXWriteFrame& frame, KTXNode* child) override;
  void WriteClose(KTXTextOut& out, KTXWriteFrame& frame) override;
};

class KTXAttributeNode : public KTXNamedNode {
 public:
  int GetKind() const override { return kAttribute; }
  using KTXNode::SetName;
  // Pseudo-attributes of an XML declaration are stored lower-cased.
  void SetName(const char16_t* text, int length) override;
  bool Validate(KTTextChecker& checker) override;
  bool WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) override;
};

class KTXTextNode : public KTXValueNode {
 public:
  int GetKind() const override { return kText; }
  bool IsUnnamed() const override { return true; }
  bool Validate(KTTextChecker& checker) override;
  bool WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) override;
};

class KTXCDataNode : public KTXValueNode {
 public:
  int GetKind() const override { return kCData; }
  bool IsUnnamed() const override { return true; }
  bool Validate(KTTextChecker& checker) override;
  bool WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) override;
};

class KTXCommentNode : public KTXValueNode {
 public:
  int GetKind() const override { return kComment; }
  bool IsUnnamed() const override { return true; }
  bool Validate(KTTextChecker& checker) override;
  bool WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) override;
};

class KTXPINode : public KTXNamedNode {
 public:
  int GetKind() const override { return kProcessingInstruction; }
  bool Validate(KTTextChecker& checker) override;
  bool WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) override;
};

class KTXDoctypeNode : public KTXContainerNode {
 public:
  int GetKind() const override { return kDoctype; }
  bool CanHaveChild(int kind) const override;
  bool IsEmpty() const override { return false; }
  bool MergesTexts() const override { return true; }
  bool GathersAttributes() const override { return false; }
  void NormalizeText(KTXChangeLog* log, KTXNode** tracked) override;
  bool Validate(KTTextChecker& checker) override;
  bool WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) override;
  int WriteBeforeChild(KTXTextOut& out, KTXWriteFrame& frame, KTXNode* child) override;
  void WriteAfterChild(KTXTextOut& out, KTXWriteFrame& frame, KTXNode* child) override;
  void WriteClose(KTXTextOut& out, KTXWriteFrame& frame) override;
};

// Name: "SYSTEM" or "PUBLIC"; value: the literal(s) as written.
class KTXExternalIdNode : public KTXContainerNode {
 public:
  int GetKind() const override { return kDoctypeExternalId; }
  bool Validate(KTTextChecker& checker) override;
  bool WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) override;
};
