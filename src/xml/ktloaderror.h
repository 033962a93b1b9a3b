// The load-status codes that document loading adds to those of KTLoadStatus,
// and the helpers through which sources, input buffers, decoding, the loader
// and the manager write a failure with its message.
#pragma once

#include <cstdint>

#include "core/ktstring.h"
#include "xml/ktloadstatus.h"

// Loader codes (category 4) beyond KTLoadStatus's own.
inline constexpr uint32_t kLoadEmptySourceName = 11;    // the source names no file or URL
inline constexpr uint32_t kLoadUnsupportedSource = 12;  // the source is neither a file nor a URL
inline constexpr uint32_t kLoadNothingToSave = 13;      // no text or tree, or no record source to save
inline constexpr uint32_t kLoadNotRegularFile = 14;     // a directory, named pipe, device or socket

// Category, code and message in one step. Categories 1 and 2 also set detail
// 0; the parse and loader categories leave detail as it was.
void KTSetLoadError(KTLoadStatus& status, int category, uint32_t code, const KTString& message);
// An operating-system error number: category 1, detail 1 and the system's
// text for the number (at most 256 characters) as the message.
void KTSetLoadSystemError(KTLoadStatus& status, int error);
