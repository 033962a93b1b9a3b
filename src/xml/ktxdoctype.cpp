// Declaration nodes: computed names, values and type codes of element and
// attribute-list declarations, and the DTD text that every declaration kind
// writes of itself.
#include "xml/ktxdoctype.h"

#include "platform/ktwchar.h"
#include "xml/ktxwriter.h"

void KTDoctypeDeclNode::CopyFieldsFrom(const KTXNode& other) {
  KTXContainerNode::CopyFieldsFrom(other);
  typeCode_ = static_cast<const KTDoctypeDeclNode&>(other).typeCode_;
}

// ---------------------------------------------------------------------------
// Element declarations and content particles

void KTDoctypeElementNode::CopyFieldsFrom(const KTXNode& other) {
  KTDoctypeDeclNode::CopyFieldsFrom(other);
  occurrence_ = static_cast<const KTDoctypeElementNode&>(other).occurrence_;
}

bool KTDoctypeElementNode::IsParticle() const {
  return GetParent() && GetParent()->GetKind() == kDoctypeElement;
}

int KTDoctypeElementNode::GetContentType(bool effective) const {
  if (!effective || !GetParent()) return typeCode_;
  if (HasChildren()) {
    return (typeCode_ == kContentMixed || typeCode_ == kContentSequence || typeCode_ == kContentChoice)
               ? typeCode_
               : kContentSequence;
  }
  if (IsParticle()) return kContentName;
  return (typeCode_ == kContentPCData || typeCode_ == kContentEmpty || typeCode_ == kContentAny ||
          typeCode_ == kContentText)
             ? typeCode_
             : kContentPCData;
}

const char16_t* KTDoctypeElementNode::GetName() const {
  if (IsParticle() && HasChildren()) return u"";
  return name_.c_str();
}

bool KTDoctypeElementNode::HasName() const {
  if (IsParticle()) return GetContentType(true) == kContentName;
  return true;
}

const char16_t* KTDoctypeElementNode::GetValue() const {
  static const char16_t* const kTypeValues[] = {u"#PCDATA", u"#PCDATA and any of", u"sequence of", u"choice of",
                                                u"EMPTY", u"ANY"};
  static const char16_t* const kOccurrencePrefix[] = {u"", u"0 or 1 ", u"1 or more ", u"0 or more "};
  int type = GetContentType(true);
  if (type == kContentText) return value_.c_str();
  // A name particle shows no text of its own; so does a detached node whose
  // stored type is none of the known ones (type codes come from edits too).
  const char16_t* text = (type >= kContentPCData && type <= kContentAny) ? kTypeValues[type] : u"";
  if ((type == kContentSequence || type == kContentChoice || type == kContentName) && occurrence_ >= 1 &&
      occurrence_ <= 3) {
    // The computed value is kept in the value string.
    value_ = kOccurrencePrefix[occurrence_];
    value_ += text;
  } else {
    value_ = text;
  }
  return value_.c_str();
}

KTString KTDoctypeElementNode::GetTypeCode() const {
  char16_t code[3] = {static_cast<char16_t>(u'0' + GetContentType(true)), static_cast<char16_t>(u'0' + occurrence_),
                      0};
  return KTString(code);
}

void KTDoctypeElementNode::SetTypeCode(const char16_t* text) {
  if (!text || !text[0]) return;
  if (text[0] >= u'0') typeCode_ = text[0] - u'0';
  if (text[1] && text[1] >= u'0') occurrence_ = text[1] - u'0';
}

void KTDoctypeElementNode::WriteOccurrence(KTXTextOut& out, int type) const {
  static const char16_t kMarks[] = {0, u'?', u'+', u'*'};
  if (type == kContentMixed) {
    out.PutChar(u'*');
  } else if ((type == kContentSequence || type == kContentChoice || type == kContentName) && occurrence_ >= 1 &&
             occurrence_ <= 3) {
    out.PutChar(kMarks[occurrence_]);
  }
}

bool KTDoctypeElementNode::WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) {
  if (IsParticle()) {
    out.Put(GetName());
  } else {
    out.Put(u"<!ELEMENT ");
    out.Put(name_);
    out.PutChar(u' ');
  }
  int type = GetContentType(true);
  frame.type = type;
  switch (type) {
    case kContentMixed:
      out.Put(u"(#PCDATA");
      return true;
    case kContentSequence:
    case kContentChoice:
      out.PutChar(u'(');
      return true;
    case kContentPCData: out.Put(u"(#PCDATA)"); break;
    case kContentEmpty: out.Put(u"EMPTY"); break;
    case kContentAny: out.Put(u"ANY"); break;
    case kContentText: out.Put(value_); break;
    default: break;  // a name particle: the name alone
  }
  WriteOccurrence(out, type);
  if (!IsParticle()) out.PutChar(u'>');
  return false;
}

int KTDoctypeElementNode::WriteBeforeChild(KTXTextOut& out, KTXWriteFrame& frame, KTXNode* child) {
  if (frame.type == kContentMixed || (frame.type == kContentChoice && !frame.first))
    out.Put(u" | ");
  else if (frame.type == kContentSequence && !frame.first)
    out.Put(u", ");
  frame.first = false;
  return frame.depth;
}

void KTDoctypeElementNode::WriteClose(KTXTextOut& out, KTXWriteFrame& frame) {
  out.PutChar(u')');
  WriteOccurrence(out, frame.type);
  if (!IsParticle()) out.PutChar(u'>');
}

// ---------------------------------------------------------------------------
// Attribute-list declarations

namespace {

const char16_t* const kAttTypeKeywords[] = {u"CDATA",  u"ID",       u"IDREF",   u"IDREFS",
                                            u"ENTITY", u"ENTITIES", u"NMTOKEN", u"NMTOKENS"};

}  // namespace

const char16_t* KTDoctypeAttlistNode::GetName() const {
  switch (typeCode_) {
    case kAttlistDefinition:
    case kAttlistWhole: return name_.c_str();
    case kAttlistName: return u"Name";
    case kAttlistValue: return u"Values";
    case kAttlistRequired:
    case kAttlistImplied:
    case kAttlistFixed: return u"Presence";
    case kAttlistDefault: return u"Default";
    default: return (typeCode_ >= kAttlistTypeCDATA && typeCode_ <= kAttlistTypePERef) ? u"Type" : name_.c_str();
  }
}

const char16_t* KTDoctypeAttlistNode::GetValue() const {
  if (typeCode_ >= kAttlistTypeCDATA && typeCode_ <= kAttlistTypeNMTOKENS)
    return kAttTypeKeywords[typeCode_ - kAttlistTypeCDATA];
  switch (typeCode_) {
    case kAttlistTypeNotation: return u"NOTATION";
    case kAttlistTypeEnum: return u"Choice";
    case kAttlistRequired: return u"#REQUIRED";
    case kAttlistImplied: return u"#IMPLIED";
    case kAttlistFixed: return u"#FIXED";
    default: return value_.c_str();
  }
}

bool KTDoctypeAttlistNode::IsEmpty() const {
  switch (typeCode_) {
    case kAttlistDefinition:
    case kAttlistName:
    case kAttlistTypePERef:
    case kAttlistValue:
    case kAttlistDefault:
    case kAttlistWhole: return true;
    default: return false;
  }
}

KTString KTDoctypeAttlistNode::GetTypeCode() const { return KTString(static_cast<char16_t>(u'0' + typeCode_)); }

void KTDoctypeAttlistNode::SetTypeCode(const char16_t* text) {
  if (text && text[0] >= u'0') typeCode_ = text[0] - u'0';
}

bool KTDoctypeAttlistNode::SameDeclaration(const KTXNode* sibling) const {
  return sibling && sibling->GetKind() == kDoctypeAttlist &&
         static_cast<const KTDoctypeAttlistNode*>(sibling)->typeCode_ == kAttlistDefinition &&
         KTStrCmp(sibling->GetName(), name_.c_str()) == 0;
}

bool KTDoctypeAttlistNode::WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) {
  auto quoted = [&](const KTString& text) {
    char16_t quote = text.Find(u'"') >= 0 ? u'\'' : u'"';
    out.PutChar(quote);
    out.Put(text);
    out.PutChar(quote);
  };
  switch (typeCode_) {
    case kAttlistDefinition: {
      const bool continues = SameDeclaration(GetPreviousSibling());
      if (!continues) {
        out.Put(u"<!ATTLIST ");
        out.Put(name_);
        if (HasChildren()) out.PutLineEnd();
      }
      if (HasChildren()) {
        // Definitions of one declaration must stay apart even when the
        // indent string is empty, or the text no longer parses.
        if (continues && out.Options().indent.IsEmpty()) out.PutChar(u' ');
        out.PutIndent(1);
        return true;
      }
      WriteClose(out, frame);
      return false;
    }
    case kAttlistName:
      out.Put(value_);
      out.PutChar(u' ');
      break;
    case kAttlistTypeNotation: out.Put(u"NOTATION "); break;
    case kAttlistTypeEnum: break;
    case kAttlistTypePERef: out.Put(value_); break;
    case kAttlistValue: {
      const KTXNode* previous = GetPreviousSibling();
      const KTXNode* next = GetNextSibling();
      auto isValue = [](const KTXNode* n) {
        return n && n->GetKind() == kDoctypeAttlist &&
               static_cast<const KTDoctypeAttlistNode*>(n)->GetPart() == kAttlistValue;
      };
      out.Put(isValue(previous) ? u" | " : u"(");
      out.Put(value_);
      if (!isValue(next)) out.PutChar(u')');
      break;
    }
    case kAttlistRequired: out.Put(u" #REQUIRED"); break;
    case kAttlistImplied: out.Put(u" #IMPLIED"); break;
    case kAttlistFixed: out.Put(u" #FIXED"); break;
    case kAttlistDefault:
      out.PutChar(u' ');
      quoted(value_);
      break;
    case kAttlistWhole:
      out.Put(u"<!ATTLIST ");
      out.Put(name_);
      out.PutChar(u' ');
      out.Put(value_);
      out.PutChar(u'>');
      break;
    default:
      if (typeCode_ >= kAttlistTypeCDATA && typeCode_ <= kAttlistTypeNMTOKENS)
        out.Put(kAttTypeKeywords[typeCode_ - kAttlistTypeCDATA]);
      break;
  }
  return false;
}

int KTDoctypeAttlistNode::WriteBeforeChild(KTXTextOut& out, KTXWriteFrame& frame, KTXNode* child) {
  return frame.depth;
}

void KTDoctypeAttlistNode::WriteClose(KTXTextOut& out, KTXWriteFrame& frame) {
  if (SameDeclaration(GetNextSibling())) return;
  if (HasChildren()) out.PutLineEnd();
  out.PutChar(u'>');
}

// ---------------------------------------------------------------------------
// Entity and notation declarations

bool KTDoctypeEntityNode::WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) {
  out.Put(u"<!ENTITY ");
  out.Put(name_);
  out.PutChar(u' ');
  out.Put(value_);
  out.PutChar(u'>');
  return false;
}

bool KTDoctypeNotationNode::WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) {
  out.Put(u"<!NOTATION ");
  out.Put(name_);
  out.PutChar(u' ');
  out.Put(value_);
  out.PutChar(u'>');
  return false;
}
