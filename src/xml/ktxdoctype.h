// The DTD declaration node kinds 12 to 15: element declarations with their
// content particles, attribute-list declarations held part by part, entity
// and notation declarations. They stand under a DTD-Document or in the
// internal subset of a DOCTYPE and write themselves back as DTD text.
#pragma once

#include "xml/ktxnode.h"

// Shared level of element and attribute-list declarations: a type code.
class KTDoctypeDeclNode : public KTXContainerNode {
 public:
  void SetTypeCodeValue(int code) { typeCode_ = code; }
  int GetTypeCodeValue() const { return typeCode_; }

 protected:
  void CopyFieldsFrom(const KTXNode& other) override;
  int typeCode_ = 0;
};

// Content types of an element declaration or particle.
enum KTContentType : int {
  kContentPCData = 0,
  kContentMixed = 1,
  kContentSequence = 2,
  kContentChoice = 3,
  kContentEmpty = 4,
  kContentAny = 5,
  kContentText = 6,   // the content model held as written
  kContentName = 7,   // an element-name particle
};

// Occurrence of a particle: 0 none, 1 "?", 2 "+", 3 "*".
class KTDoctypeElementNode : public KTDoctypeDeclNode {
 public:
  int GetKind() const override { return kDoctypeElement; }
  const char16_t* GetName() const override;
  bool HasName() const override;
  const char16_t* GetValue() const override;
  int GetNameLength() const override { return KTXNode::GetNameLength(); }
  int GetValueLength() const override { return KTXNode::GetValueLength(); }
  bool IsEmpty() const override { return GetContentType(true) == kContentText; }
  bool HasComputedValue() const override { return !IsEmpty(); }
  bool CanHaveChild(int kind) const override { return kind == kDoctypeElement; }
  KTString GetTypeCode() const override;
  void SetTypeCode(const char16_t* text) override;

  // The stored type, or with `effective` the type the node acts as.
  int GetContentType(bool effective) const;
  void SetContentType(int type) { typeCode_ = type; }
  int GetOccurrence() const { return occurrence_; }
  void SetOccurrence(int occurrence) { occurrence_ = occurrence; }
  bool IsParticle() const;

  bool Validate(KTTextChecker& checker) override;
  bool WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) override;
  int WriteBeforeChild(KTXTextOut& out, KTXWriteFrame& frame, KTXNode* child) override;
  void WriteClose(KTXTextOut& out, KTXWriteFrame& frame) override;

 protected:
  void CopyFieldsFrom(const KTXNode& other) override;
  bool ValidateAfterSubtree(KTTextChecker& checker) override;

 private:
  void WriteOccurrence(KTXTextOut& out, int type) const;
  int occurrence_ = 0;
};

// Part codes of attribute-list nodes.
enum KTAttlistPart : int {
  kAttlistDefinition = 0,
  kAttlistName = 1,
  // The attribute types named by one keyword, in the order of kAttTypeKeywords.
  kAttlistTypeCDATA = 2,
  kAttlistTypeID = 3,
  kAttlistTypeIDREF = 4,
  kAttlistTypeIDREFS = 5,
  kAttlistTypeENTITY = 6,
  kAttlistTypeENTITIES = 7,
  kAttlistTypeNMTOKEN = 8,
  kAttlistTypeNMTOKENS = 9,
  kAttlistTypeNotation = 10,
  kAttlistTypeEnum = 11,
  kAttlistTypePERef = 12,
  kAttlistValue = 13,
  kAttlistRequired = 14,
  kAttlistImplied = 15,
  kAttlistFixed = 16,
  kAttlistDefault = 17,
  kAttlistWhole = 18,  // a whole declaration held as text
};

// A part-0 node is one attribute definition (name = the element name) whose
// children are its parts; consecutive part-0 nodes of one element name form
// one declaration.
class KTDoctypeAttlistNode : public KTDoctypeDeclNode {
 public:
  int GetKind() const override { return kDoctypeAttlist; }
  const char16_t* GetName() const override;
  bool HasName() const override { return typeCode_ == kAttlistDefinition || typeCode_ == kAttlistWhole; }
  const char16_t* GetValue() const override;
  int GetNameLength() const override { return KTXNode::GetNameLength(); }
  int GetValueLength() const override { return KTXNode::GetValueLength(); }
  bool IsEmpty() const override;
  bool HasComputedValue() const override { return !IsEmpty(); }
  bool MergesTexts() const override { return true; }
  KTString GetTypeCode() const override;
  void SetTypeCode(const char16_t* text) override;

  int GetPart() const { return typeCode_; }
  void SetPart(int part) { typeCode_ = part; }

  bool Validate(KTTextChecker& checker) override;
  bool WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) override;
  int WriteBeforeChild(KTXTextOut& out, KTXWriteFrame& frame, KTXNode* child) override;
  void WriteClose(KTXTextOut& out, KTXWriteFrame& frame) override;

 private:
  bool SameDeclaration(const KTXNode* sibling) const;
};

// Name: the entity name ("%" first for a parameter entity); value: the
// definition as written.
class KTDoctypeEntityNode : public KTXContainerNode {
 public:
  int GetKind() const override { return kDoctypeEntity; }
  bool Validate(KTTextChecker& checker) override;
  bool WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) override;
};

// Name: the notation name; value: the external or public id as written.
class KTDoctypeNotationNode : public KTXContainerNode {
 public:
  int GetKind() const override { return kDoctypeNotation; }
  bool Validate(KTTextChecker& checker) override;
  bool WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) override;
};
