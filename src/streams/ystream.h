// YStream: the byte stream through which the system reads and writes named data
// (built-in files, memory files, disk files, files beside the program, URLs).
// Streams are created by class id through the class-factory registry; this
// header holds the interface, the ids, modes and result codes, and the factories.
#pragma once

#include <cstdint>

#include "core/kterrorlogger.h"

class YStream {
 public:
  virtual ~YStream() = default;

  // Opens the named data in one of the modes below; 0 or a result code.
  virtual int Open(const char16_t* name, int mode) = 0;
  // Returns the stream to the not-open state; allowed on a stream not open.
  virtual int Close() = 0;
  // size: bytes wanted in, bytes read out.
  virtual int Read(void* buffer, uint32_t& size) = 0;
  // count: most characters to store in, characters stored out. The buffer holds
  // count + 1 characters; the line end is not stored.
  virtual int ReadLine(char16_t* buffer, uint32_t& count) = 0;
  virtual bool ReadChar(char16_t& c) = 0;
  virtual int Write(const void* data, uint32_t& size) = 0;
  virtual int WriteChar(char16_t c) = 0;
  virtual bool Seek(int32_t position) = 0;
  // Size in bytes, -1 when it cannot be given.
  virtual long GetSize() = 0;
  // Copies the name into the buffer, always terminated within max characters
  // (max <= 0 copies nothing); returns the full length of the name, -1 when the
  // class keeps no name.
  virtual int GetName(char16_t* buffer, int max) = 0;
};

// Class ids of the stream classes (3 and 4 are not used).
inline constexpr int kStreamClassFile = 1;
inline constexpr int kStreamClassUrl = 2;
inline constexpr int kStreamClassDelegator = 5;
inline constexpr int kStreamClassMemory = 6;
inline constexpr int kStreamClassAppFolder = 7;
inline constexpr int kStreamClassBuiltin = 8;

// Open modes; a stream that is not open holds mode 0.
inline constexpr int kStreamModeNone = 0;
inline constexpr int kStreamModeRead = 1;
inline constexpr int kStreamModeWrite = 2;
inline constexpr int kStreamModeAppend = 3;
inline constexpr int kStreamModeReadWrite = 4;

// Result codes: the platform's system error numbers, and one COM-style code.
inline constexpr int kStreamOk = 0;
inline constexpr int kStreamNotFound = 2;        // no name, or it cannot be found or opened
inline constexpr int kStreamAlreadyOpen = 4;     // Open on an open stream
inline constexpr int kStreamNoMemory = 8;        // a memory file cannot be created
inline constexpr int kStreamInvalidAccess = 12;  // not allowed in the mode, or not open
inline constexpr int kStreamInvalidData = 13;    // empty name (file stream)
inline constexpr int kStreamWriteFault = 29;
inline constexpr int kStreamReadFault = 30;
inline constexpr int kStreamNotSupported = 50;   // open mode not supported
inline constexpr int kStreamOutOfMemory = static_cast<int>(0x8007000Eu);  // a write buffer cannot grow

// Longest stream name, in characters; longer names are refused by Open.
inline constexpr int kStreamMaxName = 511;

// Registers all stream classes in the class-factory registry by constructing
// one static prototype of each; always true. Called by the users of the
// registry (CreateStreamById does it), never by the stream classes.
bool RegisterStreamFactories();

// Runs RegisterStreamFactories once in the process. Every stream class calls
// it first thing in its constructor, so that a registry holding any stream
// class holds all of them, whichever class was constructed first.
void EnsureStreamFactories();

// Stream classes that live in higher libraries (the URL stream, class 2, and the
// delegating stream, class 5) hand in a function that constructs their static
// prototype. RegisterStreamFactories calls it in its place in the class order;
// when the factories are registered already, it is called at once. Safe from
// static initialisers of any file.
using KTStreamPrototypeMaker = void (*)();
void SetStreamPrototypeMaker(int classId, KTStreamPrototypeMaker make);

// The sequence every user performs to get a stream: the guarded registry, its
// one-time filling, the lookup of classId and the call of its create function.
// Null when the id is not registered or nothing could be created; the caller
// owns the stream. Registry failures raise KTComError.
YStream* CreateStreamById(int classId);

// The line-reading rule shared by the streams that read lines: characters are
// taken with readChar until the end of the data, a LF or CR (not kept), or count
// characters are stored. A CR followed by LF ends one line; after a lone CR the
// character read is handed back with unreadChar(c) and begins the next line.
// Writes the terminator, sets count and returns 0; a KTComError raised while
// reading goes to the log hook and its code is returned.
template <typename ReadCharFn, typename UnreadCharFn>
int ReadLineByRule(char16_t* buffer, uint32_t& count, ReadCharFn readChar, UnreadCharFn unreadChar) {
  uint32_t stored = 0;
  try {
    char16_t c = 0;
    while (stored < count && readChar(c)) {
      if (c == u'\n') break;
      if (c == u'\r') {
        char16_t next = 0;
        if (readChar(next) && next != u'\n') unreadChar(next);
        break;
      }
      buffer[stored++] = c;
    }
  } catch (const KTComError& error) {
    LogError(error.Error(), u"Could not read a line", u"" __FILE__, __LINE__, 0);
    buffer[stored] = 0;
    count = stored;
    return error.Error();
  }
  buffer[stored] = 0;
  count = stored;
  return kStreamOk;
}
