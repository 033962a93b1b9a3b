// Facets of a datatype: the abstract KTFacet and its twelve kinds (length,
// minLength, maxLength, pattern, enumeration, whiteSpace, the four bounds,
// totalDigits and fractionDigits). A datatype owns its facets and asks each
// one after the lexical check; each facet can also adjust a text so that it
// satisfies it.
#pragma once

#include <memory>
#include <vector>

#include "core/ktstring.h"

class KTDatatype;
class XMLRegExp;

enum KTFacetKind : int {
  kFacetLength = 0,
  kFacetMinLength = 1,
  kFacetMaxLength = 2,
  kFacetPattern = 3,
  kFacetEnumeration = 4,
  kFacetWhiteSpace = 5,
  kFacetMaxInclusive = 6,
  kFacetMaxExclusive = 7,
  kFacetMinInclusive = 8,
  kFacetMinExclusive = 9,
  kFacetTotalDigits = 10,
  kFacetFractionDigits = 11,
};

class KTFacet {
 public:
  explicit KTFacet(KTFacetKind kind) : kind_(kind) {}
  virtual ~KTFacet() = default;
  KTFacet(const KTFacet&) = default;
  KTFacet& operator=(const KTFacet&) = delete;

  KTFacetKind GetKind() const { return kind_; }

  // Does the text (one literal of a datatype of that type id) satisfy the facet?
  virtual bool Check(uint32_t typeId, const KTString& text) const = 0;
  // Changes the text so that it satisfies the facet; the base does nothing.
  virtual void Adjust(KTString& text) const;
  virtual const char16_t* Name() const = 0;
  virtual const KTString& Value() const { return value_; }
  // The base takes the first text (empty when none).
  virtual bool SetValues(const std::vector<KTString>& values);
  // The base stores the text.
  virtual bool SetValue(const KTString& text);
  // Does the facet's own value suit the datatype? The base: the value is a
  // valid literal of the datatype (facets skipped).
  virtual bool CheckOwnValue(const KTDatatype& datatype) const;
  virtual KTFacet* Clone() const = 0;

 protected:
  KTFacetKind kind_;
  KTString value_;
};

// Makes the facet of that name with the value, or null for another name.
// The value's fitness is checked later by KTDatatype::SetFacet.
KTFacet* CreateFacet(const KTString& name, const KTString& value);

// The length family: length, minLength, maxLength.
class KTLengthFacetBase : public KTFacet {
 public:
  using KTFacet::KTFacet;
  bool Check(uint32_t typeId, const KTString& text) const override;
  bool CheckOwnValue(const KTDatatype& datatype) const override;
  // Compares a length with the facet's number; an unreadable number refuses.
  bool Accepts(unsigned long long length) const;
};

class KTLengthFacet : public KTLengthFacetBase {
 public:
  KTLengthFacet() : KTLengthFacetBase(kFacetLength) {}
  void Adjust(KTString& text) const override;
  const char16_t* Name() const override { return u"length"; }
  KTFacet* Clone() const override { return new KTLengthFacet(*this); }
};

class KTMinLengthFacet : public KTLengthFacetBase {
 public:
  KTMinLengthFacet() : KTLengthFacetBase(kFacetMinLength) {}
  void Adjust(KTString& text) const override;
  const char16_t* Name() const override { return u"minLength"; }
  KTFacet* Clone() const override { return new KTMinLengthFacet(*this); }
};

class KTMaxLengthFacet : public KTLengthFacetBase {
 public:
  KTMaxLengthFacet() : KTLengthFacetBase(kFacetMaxLength) {}
  void Adjust(KTString& text) const override;
  const char16_t* Name() const override { return u"maxLength"; }
  KTFacet* Clone() const override { return new KTMaxLengthFacet(*this); }
};

class KTPatternFacet : public KTFacet {
 public:
  KTPatternFacet();
  KTPatternFacet(const KTPatternFacet& other);
  ~KTPatternFacet() override;
  bool Check(uint32_t typeId, const KTString& text) const override;
  void Adjust(KTString& text) const override;
  const char16_t* Name() const override { return u"pattern"; }
  // A second value becomes an alternative: "old|new".
  bool SetValue(const KTString& text) override;
  bool CheckOwnValue(const KTDatatype& datatype) const override;
  KTFacet* Clone() const override { return new KTPatternFacet(*this); }

 private:
  std::unique_ptr<XMLRegExp> regExp_;
};

class KTEnumerationFacet : public KTFacet {
 public:
  KTEnumerationFacet() : KTFacet(kFacetEnumeration) {}
  bool Check(uint32_t typeId, const KTString& text) const override;
  void Adjust(KTString& text) const override;
  const char16_t* Name() const override { return u"enumeration"; }
  // The listed values joined by " ".
  const KTString& Value() const override;
  bool SetValues(const std::vector<KTString>& values) override;
  // Appends one value to the list.
  bool SetValue(const KTString& text) override;
  bool CheckOwnValue(const KTDatatype& datatype) const override;
  KTFacet* Clone() const override { return new KTEnumerationFacet(*this); }
  const std::vector<KTString>& GetValues() const { return values_; }

 private:
  std::vector<KTString> values_;
  mutable KTString joined_;
};

class KTWhiteSpaceFacet : public KTFacet {
 public:
  KTWhiteSpaceFacet() : KTFacet(kFacetWhiteSpace) {}
  bool Check(uint32_t, const KTString&) const override { return true; }
  const char16_t* Name() const override { return u"whiteSpace"; }
  bool CheckOwnValue(const KTDatatype&) const override { return true; }
  KTFacet* Clone() const override { return new KTWhiteSpaceFacet(*this); }
};

// The four bounds, compared by the datatype's type: floating point, decimal
// numerals, date and time values, or day and month numbers.
class KTBoundFacet : public KTFacet {
 public:
  using KTFacet::KTFacet;
  bool Check(uint32_t typeId, const KTString& text) const override;
};

class KTMaxInclusiveFacet : public KTBoundFacet {
 public:
  KTMaxInclusiveFacet() : KTBoundFacet(kFacetMaxInclusive) {}
  void Adjust(KTString& text) const override { text = value_; }
  const char16_t* Name() const override { return u"maxInclusive"; }
  KTFacet* Clone() const override { return new KTMaxInclusiveFacet(*this); }
};

class KTMaxExclusiveFacet : public KTBoundFacet {
 public:
  KTMaxExclusiveFacet() : KTBoundFacet(kFacetMaxExclusive) {}
  const char16_t* Name() const override { return u"maxExclusive"; }
  KTFacet* Clone() const override { return new KTMaxExclusiveFacet(*this); }
};

class KTMinInclusiveFacet : public KTBoundFacet {
 public:
  KTMinInclusiveFacet() : KTBoundFacet(kFacetMinInclusive) {}
  void Adjust(KTString& text) const override { text = value_; }
  const char16_t* Name() const override { return u"minInclusive"; }
  KTFacet* Clone() const override { return new KTMinInclusiveFacet(*this); }
};

class KTMinExclusiveFacet : public KTBoundFacet {
 public:
  KTMinExclusiveFacet() : KTBoundFacet(kFacetMinExclusive) {}
  const char16_t* Name() const override { return u"minExclusive"; }
  KTFacet* Clone() const override { return new KTMinExclusiveFacet(*this); }
};

// totalDigits and fractionDigits count the digits of the value: leading
// zeros and trailing zeros of the fraction are not counted (0012 has two).
class KTTotalDigitsFacet : public KTFacet {
 public:
  KTTotalDigitsFacet() : KTFacet(kFacetTotalDigits) {}
  bool Check(uint32_t typeId, const KTString& text) const override;
  void Adjust(KTString& text) const override;
  const char16_t* Name() const override { return u"totalDigits"; }
  bool CheckOwnValue(const KTDatatype& datatype) const override;
  KTFacet* Clone() const override { return new KTTotalDigitsFacet(*this); }
};

class KTFractionDigitsFacet : public KTFacet {
 public:
  KTFractionDigitsFacet() : KTFacet(kFacetFractionDigits) {}
  bool Check(uint32_t typeId, const KTString& text) const override;
  void Adjust(KTString& text) const override;
  const char16_t* Name() const override { return u"fractionDigits"; }
  bool CheckOwnValue(const KTDatatype& datatype) const override;
  KTFacet* Clone() const override { return new KTFractionDigitsFacet(*this); }
};
