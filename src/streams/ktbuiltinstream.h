// The built-in-file stream (class id 8), a memory stream through which the
// program's embedded files are read by name, and the program-folder stream
// (class id 7), a file stream that opens a file of the program's own folder.
#pragma once

#include "streams/ktfilestream.h"
#include "streams/ktmemorystream.h"
#include "streams/ystream.h"

// Every operation is the member memory stream's, with its results.
class KTBuiltinStreamImpl : public YStream {
 public:
  KTBuiltinStreamImpl();

  int Open(const char16_t* name, int mode) override { return memory_.Open(name, mode); }
  int Close() override { return memory_.Close(); }
  int Read(void* buffer, uint32_t& size) override { return memory_.Read(buffer, size); }
  int ReadLine(char16_t* buffer, uint32_t& count) override { return memory_.ReadLine(buffer, count); }
  bool ReadChar(char16_t& c) override { return memory_.ReadChar(c); }
  int Write(const void* data, uint32_t& size) override { return memory_.Write(data, size); }
  int WriteChar(char16_t c) override { return memory_.WriteChar(c); }
  bool Seek(int32_t position) override { return memory_.Seek(position); }
  long GetSize() override { return memory_.GetSize(); }
  int GetName(char16_t* buffer, int max) override { return memory_.GetName(buffer, max); }

 private:
  // Registers class 8 before the member registers class 6.
  struct KTRegistrar {
    KTRegistrar();
  };
  KTRegistrar registrar_;
  KTMemoryStreamImpl memory_;
};

// Opens the file of the given file name in the program's folder, whatever
// folder the name carries; every other operation is the member file stream's.
class KTAppFolderStreamImpl : public YStream {
 public:
  KTAppFolderStreamImpl();

  int Open(const char16_t* name, int mode) override;
  int Close() override { return file_.Close(); }
  int Read(void* buffer, uint32_t& size) override { return file_.Read(buffer, size); }
  int ReadLine(char16_t* buffer, uint32_t& count) override { return file_.ReadLine(buffer, count); }
  bool ReadChar(char16_t& c) override { return file_.ReadChar(c); }
  int Write(const void* data, uint32_t& size) override { return file_.Write(data, size); }
  int WriteChar(char16_t c) override { return file_.WriteChar(c); }
  bool Seek(int32_t position) override { return file_.Seek(position); }
  long GetSize() override { return file_.GetSize(); }
  int GetName(char16_t* buffer, int max) override { return file_.GetName(buffer, max); }

 private:
  struct KTRegistrar {
    KTRegistrar();
  };
  KTRegistrar registrar_;
  KTFileStreamImpl file_;
};

void* CreateBuiltinStream();
void* CreateAppFolderStream();
