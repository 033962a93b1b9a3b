// KTDatatype: the datatype of a simple value in the schema model (the
// built-in type that a DTD attribute type, an XDR dt:type, a DCD datatype or
// an XML Schema simple type stands for), with its facets, a list flag and a
// chain of union members; KTDatatypeRef, the counted handle through which
// declaration records hold one; the type ids and their names; CheckValue, the
// one entry that checks a text against a datatype.
//
// Usage by a loader:
//   KTDatatype* dt = new KTDatatype(KTString(u"int"), 52, 0, false);
//   if (!dt->SetFacet(KTString(u"maxInclusive"), KTString(u"10"))) report(kXsdValueFacet, ...);
//   KTDatatypeRef ref(dt);          // the handle owns the datatype from here
//   record.datatype = ref;          // copies count up; the last release deletes
//   int code = ref->CheckValue(value, false, false);  // 0 valid, 1, 2 or 4
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/ktstring.h"

class KTFacet;

// Type ids (the XML Schema name in the comment; 45-50 are XDR-only types).
enum KTDatatypeId : uint32_t {
  kDtString = 0, kDtBoolean = 1, kDtFloat = 2, kDtDouble = 3, kDtDecimal = 4,
  kDtDuration = 5, kDtDateTime = 6, kDtTime = 7, kDtDate = 8, kDtGYearMonth = 9,
  kDtGYear = 10, kDtGMonthDay = 11, kDtGDay = 12, kDtGMonth = 13, kDtHexBinary = 14,
  kDtBase64Binary = 15, kDtAnyUri = 16, kDtQName = 17, kDtNotation = 18,
  kDtNormalizedString = 19, kDtToken = 20, kDtLanguage = 21, kDtIdrefs = 22,
  kDtEntities = 23, kDtNmtoken = 24, kDtNmtokens = 25, kDtName = 26, kDtNCName = 27,
  kDtId = 28, kDtIdref = 29, kDtEntity = 30, kDtInteger = 31,
  kDtNonPositiveInteger = 32, kDtNegativeInteger = 33, kDtLong = 34, kDtInt = 35,
  kDtShort = 36, kDtByte = 37, kDtNonNegativeInteger = 38, kDtUnsignedLong = 39,
  kDtUnsignedInt = 40, kDtUnsignedShort = 41, kDtUnsignedByte = 42,
  kDtPositiveInteger = 43, kDtUuid = 44,
  kDtXdrEnumeration = 45, kDtXdrChar = 46, kDtXdrDateTime = 47, kDtXdrTime = 48,
  kDtXdrFixed = 49, kDtXdrBoolean = 50,
  kDtSelectorPath = 51, kDtFieldPath = 52,
  kDtUnknown = 53,  // any other name: every value is valid, no facet is checked
};
inline constexpr uint32_t kDatatypeIdCount = 54;

// Results of CheckValue and CheckBuiltinLexical.
enum KTDatatypeCheck : int {
  kDatatypeValid = 0,
  kDatatypeLexical = 1,  // not a literal of the type
  kDatatypeRange = 2,    // a literal outside the type's value range
  kDatatypeFacet = 4,    // a facet refused it (see GetFailingFacetText)
};

class KTDatatype {
 public:
  // secondId is stored and copied only; loaders pass 52.
  KTDatatype(uint32_t typeId, uint32_t secondId, bool listFlag);
  // The id from DatatypeIdFromName(typeName, dialect); XDR and DCD use dialect 1.
  KTDatatype(const KTString& typeName, uint32_t secondId, uint8_t dialect, bool listFlag);
  // Deep copies: facets are cloned, the member chain copied member by member.
  KTDatatype(const KTDatatype& other);
  KTDatatype& operator=(const KTDatatype& other);
  ~KTDatatype();

  uint32_t GetTypeId() const { return typeId_; }
  uint32_t GetSecondTypeId() const { return secondId_; }
  bool IsList() const { return listFlag_; }
  uint32_t GetWord() const { return word_; }
  void SetWord(uint32_t word) { word_ = word; }

  void SetList(bool on) { listFlag_ = on; }
  // Another built-in type for the same facets (XDR and DCD loaders).
  void SetTypeId(uint32_t typeId) { typeId_ = typeId; }
  // Union members: takes ownership and appends at the end of the chain.
  void AddMemberType(KTDatatype* member);
  // Takes ownership of `member` (with its own chain) and links it after
  // `tail`, which must be the last datatype of a chain; returns the new last
  // one, so that a loader appends members in constant time each.
  static KTDatatype* LinkMember(KTDatatype* tail, KTDatatype* member);
  // The datatypes of the chain that starts here, this one included.
  int CountChain() const;
  const KTDatatype* GetMemberType() const { return member_.get(); }

  // Sets a facet by name: an existing facet takes the value (an enumeration
  // adds it, a pattern adds an alternative), otherwise a new facet is
  // appended. Returns whether the facet's own value suits this datatype; a
  // facet whose value fails stays (the caller reports it). An unknown facet
  // name returns false and adds nothing.
  bool SetFacet(const KTString& name, const KTString& value);
  KTFacet* FindFacet(const KTString& name) const;
  const std::vector<std::unique_ptr<KTFacet>>& GetFacets() const { return facets_; }

  // The XML Schema or XDR name of the type; with `describe`, "list of " and
  // "union of " with the members' names, for messages.
  KTString GetTypeName(bool describe) const;
  KTString GetXdrTypeName(bool describe) const;

  // Checks a value (character references resolved, white space handled by
  // the whiteSpace facet and the type) as one literal, or as a white-space
  // separated list when the list flag or `asList` is set; a union tries its
  // members in chain order. Never throws.
  int CheckValue(const KTString& value, bool asList, bool skipFacets) const;
  // The value as the type's white-space rule leaves it (XML Schema Part 2,
  // 4.3.6): the whiteSpace facet when there is one, else replace for
  // normalizedString, preserve for string and the types that keep white
  // space, collapse for lists and every other built-in type. Default and
  // fixed values are supplied in this form.
  KTString NormalizeWhiteSpace(const KTString& value) const;
  // One literal of this datatype's built-in type, its range, then its facets.
  int CheckBuiltinLexical(const KTString& text, bool skipFacets) const;

  // The facet that refused the last value ("name=\"value\""), process-wide;
  // overwritten by every refusal, never cleared.
  static const KTString& GetFailingFacetText();
  static void SetFailingFacetText(const KTFacet& facet);

 private:
  int CheckOne(const KTString& value, bool asList, bool skipFacets) const;
  void CopyFrom(const KTDatatype& other);
  void DeleteMembers();

  uint32_t typeId_;
  uint32_t secondId_;
  std::vector<std::unique_ptr<KTFacet>> facets_;
  bool listFlag_;
  std::unique_ptr<KTDatatype> member_;  // the next member of a union
  uint32_t word_ = 0;
};

// The type id of a name (exact, case-sensitive); "boolean" and "time" give
// the XDR ids 50 and 48 when `dialect` is non-zero. Unknown names give 53.
uint32_t DatatypeIdFromName(const KTString& name, uint8_t dialect);
// The names of a type id (ids 51 and above: "string").
const char16_t* DatatypeName(uint32_t typeId);
const char16_t* DatatypeXdrName(uint32_t typeId);

// Compiles the table of built-in patterns now (it is otherwise built by the
// first check that needs it); it lives until the process ends.
void BuildBuiltinPatternTable();

// Numeric comparison of decimal numerals given as text (any length; leading
// white space, one sign; zero has no sign).
bool DecimalEquals(const KTString& a, const KTString& b);
bool DecimalLess(const KTString& a, const KTString& b);

// The shared block of a handle.
struct KTDatatypeHolder {
  KTDatatype* datatype;
  int32_t count;
};

// Counted handle of a datatype, passed by value; null means "no datatype".
// The datatype is deleted with the last handle.
class KTDatatypeRef {
 public:
  KTDatatypeRef() = default;
  // Takes ownership; count 1. When the handle cannot be had, the datatype
  // is freed and std::bad_alloc thrown.
  explicit KTDatatypeRef(KTDatatype* datatype);
  KTDatatypeRef(const KTDatatypeRef& other);
  KTDatatypeRef(KTDatatypeRef&& other) noexcept;
  KTDatatypeRef& operator=(const KTDatatypeRef& other);
  KTDatatypeRef& operator=(KTDatatypeRef&& other) noexcept;
  ~KTDatatypeRef() { Release(); }

  // Counts down, deletes at zero; the handle is null afterwards.
  void Release();
  bool IsValid() const { return holder_ != nullptr; }
  KTDatatype* Get() const { return holder_ ? holder_->datatype : nullptr; }
  KTDatatype* operator->() const { return Get(); }
  int32_t GetCount() const { return holder_ ? holder_->count : 0; }

 private:
  KTDatatypeHolder* holder_ = nullptr;
};
