// The URL request's messages 7700-7715: their ids and texts, formatted
// printf-style with the arguments each id takes, and the form in which any
// message shows a URL.
#pragma once

#include "core/ktstring.h"

enum KTNetMessage : unsigned {
  kMsgUrlCannotSplit = 7700,        // URL
  kMsgUrlOpenFailed = 7701,         // URL
  kMsgUrlOpenFailedText = 7702,     // URL, text
  kMsgFileUrlWriteFailed = 7703,    // URL
  kMsgFileUrlWriteFailedText = 7704,  // URL, text
  kMsgFtpCannotRead = 7705,         // object path, server
  kMsgFtpCannotWrite = 7706,        // object path, server
  kMsgFtpCannotRemove = 7707,       // object path, server, error
  kMsgFtpCannotMakeFolder = 7708,   // object path, server
  kMsgFtpNoConnection = 7709,       // server
  kMsgHttpStatus = 7710,            // verb, object path, server, status
  kMsgHttpNoRequest = 7711,         // verb, object path, server
  kMsgHttpNoConnection = 7712,      // server
  kMsgHttpFailed = 7713,            // verb, object path
  kMsgHttpFailedText = 7714,        // verb, object path, text
  kMsgMkcolStatus = 7715,           // object path, server, status
};

// The format text of a message id; the string table's text when it has one,
// else our own; null for an id outside 7700-7715.
const char16_t* KTNetMessageText(unsigned id);

template <typename... Args>
KTString KTFormatNetMessage(unsigned id, const Args&... args) {
  KTString text;
  if (const char16_t* format = KTNetMessageText(id)) text.Format(format, args...);
  return text;
}

// The URL as a message shows it: a user name and password written in it give
// way to "***" (http://***@host/path), so that no message gives them away. A
// text without "://" comes back unchanged.
KTString KTUrlForMessage(std::u16string_view url);
// The URL without the user name and password written in it (http://host/path).
// A transfer never takes them from there (a request's credentials are its
// own), so a name that will show in messages can lose them at once.
KTString KTUrlWithoutCredentials(std::u16string_view url);
// A message text with the user name and password of every URL in it masked
// as KTUrlForMessage does. A URL in the text ends its authority at the first
// '/', '?', '#', '\', blank, '"', '<' or '>': a system identifier or a
// document name quoted in a message loses its credentials wherever it stands.
KTString KTTextForMessage(std::u16string_view text);
