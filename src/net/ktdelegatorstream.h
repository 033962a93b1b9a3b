// The delegating stream (class id 5): opens a URL (a name holding "://")
// through a URL stream or anything else through a file stream, both created
// by id, and forwards every operation to it. Folders of names opened by a
// full name are remembered for the process; a later relative name is looked
// for in them before it is opened as it is.
#pragma once

#include <cstdint>
#include <memory>

#include "streams/ystream.h"

class KTDelegatorStreamImpl : public YStream {
 public:
  // At most this many folders are remembered; later ones are not.
  static constexpr int kMaxRememberedFolders = 10;

  // Results of its own.
  static constexpr int kNoInnerStream = 6;                               // invalid handle
  static constexpr int kCannotCreate = 487;                              // invalid address
  static constexpr int kInnerOpenFailed = static_cast<int>(0x80004005u);  // E_FAIL
  static constexpr int kNotFoundInFolders = 3;

  KTDelegatorStreamImpl();
  // Closes; a Close that fails is logged, never thrown.
  ~KTDelegatorStreamImpl() override;
  KTDelegatorStreamImpl(const KTDelegatorStreamImpl&) = delete;
  KTDelegatorStreamImpl& operator=(const KTDelegatorStreamImpl&) = delete;

  // 0; 4 when already open (the inner stream is kept); 13 for an empty name;
  // 487 when no stream of the class can be created; E_FAIL when the inner
  // stream does not open; a registry failure's code.
  int Open(const char16_t* name, int mode) override;
  // The inner stream's Close; on 0 the inner stream is released, otherwise
  // it stays open (a URL stream whose send failed can be closed again).
  int Close() override;
  int Read(void* buffer, uint32_t& size) override;
  int ReadLine(char16_t* buffer, uint32_t& count) override;
  bool ReadChar(char16_t& c) override;
  int Write(const void* data, uint32_t& size) override;
  int WriteChar(char16_t c) override;
  bool Seek(int32_t position) override;
  long GetSize() override;
  // Always -1.
  int GetName(char16_t* buffer, int max) override;

  int OpenInRememberedFolders(const char16_t* name, int mode);
  int OpenAndRememberFolder(const char16_t* name, int mode);

 private:
  std::unique_ptr<YStream> inner_;
};

void* CreateDelegatorStream();
