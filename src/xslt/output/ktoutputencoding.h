// KTOutputEncoding: the encoding a result text is prepared for, the name that
// the XML declaration and the HTML META element give for it, and which
// characters it can hold (the others are written as character references or
// refused, ktresultserializer.h).
#pragma once

#include <bitset>

#include "core/ktstring.h"

class KTOutputEncoding {
 public:
  KTOutputEncoding();

  // The encoding named by xsl:output (or the default name). A name that is
  // not one of the 38 encodings falls back to UTF-8, which is then the name
  // written in the output as well.
  void Select(const char16_t* name);

  int GetId() const { return id_; }
  const KTString& GetName() const { return name_; }
  // The byte order of a 16- or 32-bit Unicode form whose name states one
  // ("UTF-16BE", "UTF-16LE"), so that the bytes are what the declaration
  // names; kByteOrderNone (the writer's own order) otherwise.
  int GetByteOrder() const { return byteOrder_; }
  bool FellBack() const { return fellBack_; }

  // c is a Unicode code point (a surrogate pair already joined).
  bool CanRepresent(char32_t c) const {
    if (!set_) return true;
    return c <= 0xFFFF && set_->test(c);
  }
  // True when every character can be written as it is (the Unicode forms).
  bool RepresentsAll() const { return set_ == nullptr; }

 private:
  int id_;
  KTString name_;
  int byteOrder_ = 0;
  bool fellBack_ = false;
  // Characters of the Basic Multilingual Plane that survive a round trip
  // through the encoding; null for the Unicode forms, which hold them all.
  const std::bitset<0x10000>* set_ = nullptr;
};
