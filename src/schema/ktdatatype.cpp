// Datatypes: type names and the name lookup, the datatype record with its
// facets and union members, the counted handle, and CheckValue (character
// references, white space, lists and unions). The per-type lexical checks
// are in ktdatatypecheck.cpp.
#include "schema/ktdatatype.h"

#include <new>

#include "schema/ktfacet.h"

namespace {

struct KTTypeNames {
  const char16_t* xsd;
  const char16_t* xdr;
};

constexpr KTTypeNames kTypeNames[kDatatypeIdCount] = {
    {u"string", u"string"},           {u"boolean", u"boolean"},
    {u"float", u"float"},             {u"double", u"number"},
    {u"decimal", u"number"},          {u"duration", u"string"},
    {u"dateTime", u"dateTime.tz"},    {u"time", u"time.tz"},
    {u"date", u"date"},               {u"gYearMonth", u"string"},
    {u"gYear", u"string"},            {u"gMonthDay", u"string"},
    {u"gDay", u"string"},             {u"gMonth", u"string"},
    {u"hexBinary", u"bin.hex"},       {u"base64Binary", u"bin.base64"},
    {u"anyURI", u"uri"},              {u"QName", u"string"},
    {u"NOTATION", u"notation"},       {u"normalizedString", u"string"},
    {u"token", u"string"},            {u"language", u"string"},
    {u"IDREFS", u"idrefs"},           {u"ENTITIES", u"entities"},
    {u"NMTOKEN", u"nmtoken"},         {u"NMTOKENS", u"nmtokens"},
    {u"Name", u"string"},             {u"NCName", u"string"},
    {u"ID", u"id"},                   {u"IDREF", u"idref"},
    {u"ENTITY", u"entity"},           {u"integer", u"int"},
    {u"nonPositiveInteger", u"int"},  {u"negativeInteger", u"int"},
    {u"long", u"i8"},                 {u"int", u"i4"},
    {u"short", u"i2"},                {u"byte", u"i1"},
    {u"nonNegativeInteger", u"int"},  {u"unsignedLong", u"ui8"},
    {u"unsignedInt", u"ui4"},         {u"unsignedShort", u"ui2"},
    {u"unsignedByte", u"ui1"},        {u"positiveInteger", u"int"},
    {u"uuid", u"uuid"},               {u"string", u"enumeration"},
    {u"string", u"char"},             {u"dateTime", u"dateTime"},
    {u"time", u"time"},               {u"decimal", u"fixed.14.4"},
    {u"boolean", u"boolean"},         {u"string", u"string"},
    {u"string", u"string"},           {u"string", u"string"},
};

struct KTNameToId {
  const char16_t* name;
  uint32_t id;
};

// The accepted names in the order of comparison; "boolean" and "time" are
// mapped by dialect.
constexpr KTNameToId kAcceptedNames[] = {
    {u"string", 0},        {u"boolean", 1},         {u"r4", 2},
    {u"float", 2},         {u"r8", 3},              {u"double", 3},
    {u"number", 3},        {u"decimal", 4},         {u"dateTime", 6},
    {u"dateTime.tz", 6},   {u"duration", 5},        {u"bin.base64", 15},
    {u"base64Binary", 15}, {u"bin.hex", 14},        {u"hexBinary", 14},
    {u"uri", 16},          {u"anyURI", 16},         {u"id", 28},
    {u"ID", 28},           {u"idref", 29},          {u"IDREF", 29},
    {u"entity", 30},       {u"ENTITY", 30},         {u"QName", 17},
    {u"normalizedString", 19}, {u"token", 20},      {u"language", 21},
    {u"idrefs", 22},       {u"IDREFS", 22},         {u"entities", 23},
    {u"ENTITIES", 23},     {u"nmtoken", 24},        {u"NMTOKEN", 24},
    {u"nmtokens", 25},     {u"NMTOKENS", 25},       {u"Name", 26},
    {u"notation", 18},     {u"NOTATION", 18},       {u"NCName", 27},
    {u"integer", 31},      {u"nonPositiveInteger", 32}, {u"negativeInteger", 33},
    {u"long", 34},         {u"i8", 34},             {u"int", 35},
    {u"i4", 35},           {u"short", 36},          {u"i2", 36},
    {u"byte", 37},         {u"i1", 37},             {u"nonNegativeInteger", 38},
    {u"unsignedLong", 39}, {u"ui8", 39},            {u"unsignedInt", 40},
    {u"ui4", 40},          {u"unsignedShort", 41},  {u"ui2", 41},
    {u"unsignedByte", 42}, {u"ui1", 42},            {u"positiveInteger", 43},
    {u"gYearMonth", 9},    {u"gYear", 10},          {u"gMonth", 13},
    {u"gMonthDay", 11},    {u"gDay", 12},           {u"date", 8},
    {u"time", 7},          {u"uuid", 44},           {u"enumeration", 45},
    {u"char", 46},         {u"time.tz", 7},         {u"fixed.14.4", 49},
    {u"anySimpleType", 0},
};

bool IsXmlSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// Runs of white space become one space; none at either end.
KTString Collapse(const KTString& text) {
  const char16_t* p = text.c_str();
  const int n = text.GetLength();
  KTString out;
  out.Reserve(n);
  int length = 0;
  bool pendingSpace = false;
  for (int i = 0; i < n; ++i) {
    if (IsXmlSpace(p[i])) {
      pendingSpace = length > 0;
      continue;
    }
    if (pendingSpace) out.AppendCharAtLength(u' ', length, n);
    pendingSpace = false;
    out.AppendCharAtLength(p[i], length, n);
  }
  return out;
}

// XML Schema built-in types other than string and normalizedString collapse
// white space before their check (XML Schema Part 2, 4.3.6), so int " 5 "
// is 5. The XDR enumeration and char types and the unknown type keep it.
bool CollapsesWhiteSpace(uint32_t id) {
  if (id == kDtString || id == kDtNormalizedString) return false;
  return (id >= kDtBoolean && id <= kDtUuid) || (id >= kDtXdrDateTime && id <= kDtXdrBoolean);
}

KTString& FailingFacetText() {
  static KTString text;
  return text;
}

}  // namespace

uint32_t DatatypeIdFromName(const KTString& name, uint8_t dialect) {
  for (const KTNameToId& entry : kAcceptedNames) {
    if (name == entry.name) {
      if (dialect != 0 && entry.id == kDtBoolean) return kDtXdrBoolean;
      if (dialect != 0 && entry.id == kDtTime && name == u"time") return kDtXdrTime;
      return entry.id;
    }
  }
  return kDtUnknown;
}

const char16_t* DatatypeName(uint32_t typeId) {
  return typeId < kDatatypeIdCount ? kTypeNames[typeId].xsd : u"string";
}

const char16_t* DatatypeXdrName(uint32_t typeId) {
  return typeId < kDatatypeIdCount ? kTypeNames[typeId].xdr : u"string";
}

const KTString& KTDatatype::GetFailingFacetText() { return FailingFacetText(); }

void KTDatatype::SetFailingFacetText(const KTFacet& facet) {
  KTString& text = FailingFacetText();
  text = facet.Name();
  text += u"=\"";
  text += facet.Value();
  text += u"\"";
}

// ---------------------------------------------------------------------------
// The record

KTDatatype::KTDatatype(uint32_t typeId, uint32_t secondId, bool listFlag)
    : typeId_(typeId), secondId_(secondId), listFlag_(listFlag) {}

KTDatatype::KTDatatype(const KTString& typeName, uint32_t secondId, uint8_t dialect, bool listFlag)
    : typeId_(DatatypeIdFromName(typeName, dialect)), secondId_(secondId), listFlag_(listFlag) {}

KTDatatype::KTDatatype(const KTDatatype& other)
    : typeId_(other.typeId_), secondId_(other.secondId_), listFlag_(other.listFlag_) {
  CopyFrom(other);
}

KTDatatype& KTDatatype::operator=(const KTDatatype& other) {
  if (this != &other) CopyFrom(other);
  return *this;
}

KTDatatype::~KTDatatype() { DeleteMembers(); }

// Long member chains are copied and deleted in loops, never by recursion.
void KTDatatype::CopyFrom(const KTDatatype& other) {
  // The source may be one of our own members: copy before deleting anything.
  std::vector<std::unique_ptr<KTFacet>> facets;
  facets.reserve(other.facets_.size());
  for (const auto& f : other.facets_) facets.emplace_back(f->Clone());
  std::unique_ptr<KTDatatype> chain;
  KTDatatype* tail = nullptr;
  for (const KTDatatype* m = other.member_.get(); m; m = m->member_.get()) {
    auto copy = std::make_unique<KTDatatype>(m->typeId_, m->secondId_, m->listFlag_);
    copy->word_ = m->word_;
    for (const auto& f : m->facets_) copy->facets_.emplace_back(f->Clone());
    KTDatatype* raw = copy.get();
    if (tail) {
      tail->member_ = std::move(copy);
    } else {
      chain = std::move(copy);
    }
    tail = raw;
  }
  typeId_ = other.typeId_;
  secondId_ = other.secondId_;
  listFlag_ = other.listFlag_;
  word_ = other.word_;
  facets_ = std::move(facets);
  DeleteMembers();
  member_ = std::move(chain);
}

void KTDatatype::DeleteMembers() {
  std::unique_ptr<KTDatatype> next = std::move(member_);
  while (next) {
    std::unique_ptr<KTDatatype> after = std::move(next->member_);
    next.reset();
    next = std::move(after);
  }
}

void KTDatatype::AddMemberType(KTDatatype* member) {
  if (!member) return;
  KTDatatype* last = this;
  while (last->member_) last = last->member_.get();
  last->member_.reset(member);
}

KTDatatype* KTDatatype::LinkMember(KTDatatype* tail, KTDatatype* member) {
  tail->member_.reset(member);
  KTDatatype* last = tail;
  while (last->member_) last = last->member_.get();
  return last;
}

int KTDatatype::CountChain() const {
  int n = 0;
  for (const KTDatatype* d = this; d; d = d->member_.get()) ++n;
  return n;
}

KTFacet* KTDatatype::FindFacet(const KTString& name) const {
  for (const auto& f : facets_) {
    if (name == f->Name()) return f.get();
  }
  return nullptr;
}

bool KTDatatype::SetFacet(const KTString& name, const KTString& value) {
  if (KTFacet* facet = FindFacet(name)) {
    if (!facet->SetValue(value)) return false;
    return facet->CheckOwnValue(*this);
  }
  KTFacet* created = CreateFacet(name, value);
  if (!created) return false;
  facets_.emplace_back(created);
  return created->CheckOwnValue(*this);
}

namespace {

KTString DescribeType(const KTDatatype& dt, const char16_t* (*name)(uint32_t)) {
  KTString text;
  if (dt.IsList()) text = u"list of ";
  if (dt.GetMemberType()) {
    text += u"union of ";
    text += name(dt.GetTypeId());
    for (const KTDatatype* m = dt.GetMemberType(); m; m = m->GetMemberType()) {
      text += u", ";
      text += name(m->GetTypeId());
    }
  } else {
    text += name(dt.GetTypeId());
  }
  return text;
}

}  // namespace

KTString KTDatatype::GetTypeName(bool describe) const {
  return describe ? DescribeType(*this, DatatypeName) : KTString(DatatypeName(typeId_));
}

KTString KTDatatype::GetXdrTypeName(bool describe) const {
  return describe ? DescribeType(*this, DatatypeXdrName) : KTString(DatatypeXdrName(typeId_));
}

// ---------------------------------------------------------------------------
// Checking a value

int KTDatatype::CheckValue(const KTString& value, bool asList, bool skipFacets) const {
  // A union tries itself, then each member with the list flag of the
  // datatype before it, along the chain.
  const KTDatatype* d = this;
  bool list = asList;
  for (;;) {
    const int result = d->CheckOne(value, list, skipFacets);
    if (result == kDatatypeValid || !d->member_) return result;
    list = d->listFlag_;
    d = d->member_.get();
  }
}

KTString KTDatatype::NormalizeWhiteSpace(const KTString& value) const {
  KTString text = value;
  const KTFacet* facet = nullptr;
  for (const auto& f : facets_) {
    if (f->GetKind() == kFacetWhiteSpace) {
      facet = f.get();
      break;
    }
  }
  const bool replace = facet ? facet->Value() == u"replace" : typeId_ == kDtNormalizedString && !listFlag_;
  const bool collapse = facet ? facet->Value() == u"collapse" : listFlag_ || CollapsesWhiteSpace(typeId_);
  if (collapse) return Collapse(text);
  if (replace) {
    text.Replace(u'\t', u' ');
    text.Replace(u'\n', u' ');
    text.Replace(u'\r', u' ');
  }
  return text;
}

int KTDatatype::CheckOne(const KTString& value, bool asList, bool skipFacets) const {
  KTString text = value;
  text.ResolveCharRefs();

  for (const auto& f : facets_) {
    if (f->GetKind() != kFacetWhiteSpace) continue;
    const KTString& mode = f->Value();
    if (mode == u"replace") {
      text.Replace(u'\t', u' ');
      text.Replace(u'\n', u' ');
      text.Replace(u'\r', u' ');
    } else if (mode == u"collapse") {
      text = Collapse(text);
    }
    break;
  }
  if (CollapsesWhiteSpace(typeId_)) text = Collapse(text);

  if (!listFlag_ && !asList) return CheckBuiltinLexical(text, skipFacets);

  int result = kDatatypeValid;
  unsigned long long count = 0;
  const char16_t* p = text.c_str();
  const int n = text.GetLength();
  KTString token;
  for (int i = 0; i < n;) {
    while (i < n && IsXmlSpace(p[i])) ++i;
    if (i == n) break;
    const int start = i;
    while (i < n && !IsXmlSpace(p[i])) ++i;
    token.Assign(p + start, i - start);
    ++count;
    result = CheckBuiltinLexical(token, skipFacets);
    for (const KTDatatype* m = member_.get(); result != kDatatypeValid && m; m = m->member_.get()) {
      result = m->CheckBuiltinLexical(token, skipFacets);
    }
    if (result != kDatatypeValid) break;
  }
  for (const auto& f : facets_) {
    const KTFacetKind kind = f->GetKind();
    if (kind != kFacetLength && kind != kFacetMinLength && kind != kFacetMaxLength) continue;
    if (!static_cast<const KTLengthFacetBase&>(*f).Accepts(count)) {
      SetFailingFacetText(*f);
      result = kDatatypeFacet;
    }
  }
  return result;
}

// ---------------------------------------------------------------------------
// The handle

KTDatatypeRef::KTDatatypeRef(KTDatatype* datatype) {
  if (!datatype) return;
  holder_ = new (std::nothrow) KTDatatypeHolder{datatype, 1};
  if (!holder_) {
    // The datatype is still ours to free; a null handle would be read as a
    // datatype by every caller, so memory that runs out is reported.
    delete datatype;
    throw std::bad_alloc();
  }
}

KTDatatypeRef::KTDatatypeRef(const KTDatatypeRef& other) : holder_(other.holder_) {
  if (holder_) ++holder_->count;
}

KTDatatypeRef::KTDatatypeRef(KTDatatypeRef&& other) noexcept : holder_(other.holder_) {
  other.holder_ = nullptr;
}

KTDatatypeRef& KTDatatypeRef::operator=(const KTDatatypeRef& other) {
  KTDatatypeHolder* next = other.holder_;
  if (next) ++next->count;
  Release();
  holder_ = next;
  return *this;
}

KTDatatypeRef& KTDatatypeRef::operator=(KTDatatypeRef&& other) noexcept {
  if (this != &other) {
    Release();
    holder_ = other.holder_;
    other.holder_ = nullptr;
  }
  return *this;
}

void KTDatatypeRef::Release() {
  if (holder_ && --holder_->count == 0) {
    delete holder_->datatype;
    delete holder_;
  }
  holder_ = nullptr;
}
