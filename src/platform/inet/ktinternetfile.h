// The files of the internet layer: KTInternetFile (a transfer's body, or an FTP
// file being written), KTHttpFile (an HTTP request and its answer), KTGopherFile
// (a gopher item) and KTFtpFileFind (the entries of an FTP folder). Bodies are
// received whole when the request is sent and then read from memory, capped by
// the limits of ktinetdefs.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/inet/ktinetdefs.h"
#include "platform/inet/ktstdiofile.h"

class KTCurlTransfer;
class KTFtpConnection;
class KTHttpConnection;

class KTInternetFile : public KTStdioFile {
 public:
  // A file in read mode over a body that has arrived already.
  KTInternetFile(std::vector<unsigned char> body, std::u16string object, std::u16string server,
                 uint32_t context);
  // A file in write mode on an FTP connection: what is written is stored on
  // the server by Flush and, for bytes written after the last Flush, by Close.
  // The connection must outlive the file.
  KTInternetFile(KTFtpConnection* connection, std::u16string object, uint32_t context,
                 uint32_t transferFlags);
  // Never throws: a Close that fails is reported on stderr.
  ~KTInternetFile() override;

  // Both throw KTInternetException 6 on a closed file or one in the other mode.
  unsigned Read(void* buffer, unsigned count) override;
  void Write(const void* data, unsigned count) override;
  // Sends what was written; a failure throws KTInternetException.
  void Flush() override;
  // The bytes that can be read now; 0 for a closed file or one being written.
  uint64_t GetLength() const override;
  // Sends what is still unsent, then closes; a failed send throws, and the
  // file is closed all the same.
  void Close() override;

  bool IsOpen() const { return open_; }
  bool IsReadMode() const { return readMode_; }
  uint32_t GetContext() const { return context_; }
  const std::u16string& GetServerName() const { return server_; }
  const std::u16string& GetObject() const { return path_; }

 protected:
  KTInternetFile(std::u16string object, std::u16string server, uint32_t context, bool readMode);

  std::vector<unsigned char> body_;
  size_t position_ = 0;
  bool open_ = true;
  bool readMode_ = true;
  uint32_t context_ = 0;
  std::u16string server_;

 private:
  KTFtpConnection* ftp_ = nullptr;
  uint32_t transferFlags_ = 0;
  std::vector<unsigned char> written_;
  bool unsent_ = false;
};

class KTHttpFile : public KTInternetFile {
 public:
  // A request opened on a connection (which must outlive the file); nothing is
  // sent before SendRequest.
  KTHttpFile(KTHttpConnection* connection, std::u16string verb, std::u16string object,
             std::u16string version, uint32_t flags, uint32_t context);
  // The answer of a URL open: a GET that was sent already.
  KTHttpFile(std::vector<unsigned char> body, uint32_t status, std::u16string object,
             std::u16string server, uint32_t context);
  ~KTHttpFile() override;

  // Adds "Name: value" lines separated by CR LF. kHttpAddReqFlagAddIfNew keeps
  // a header that is present already, kHttpAddReqFlagReplace replaces it.
  // False when the text holds no header line.
  bool AddRequestHeaders(const std::u16string& headers, uint32_t flags = kHttpAddReqFlagAdd);
  // Sends the request with further header lines and the body (optional,
  // optionalLength bytes) and receives the whole answer. A network failure
  // throws KTInternetException; any HTTP status is an answer. May be called
  // again to send the same request once more (with the connection's current
  // credentials).
  bool SendRequest(const char16_t* headers = nullptr, const void* optional = nullptr,
                   uint64_t optionalLength = 0);
  // The status of the last answer; false (status unchanged) when none came.
  bool QueryInfoStatusCode(uint32_t& status) const;
  // The body bytes that arrived in answer to the last send, also when it
  // failed: a body stopped by the cap counts up to the block that passed it.
  uint64_t GetBodyBytesReceived() const { return received_; }

  std::u16string GetFileURL() const;
  const std::u16string& GetVerb() const { return verb_; }

 private:
  KTHttpConnection* connection_ = nullptr;
  std::u16string verb_;
  std::u16string version_;
  uint32_t flags_ = 0;
  std::vector<std::string> headers_;
  uint32_t status_ = 0;
  uint64_t received_ = 0;
  std::unique_ptr<KTCurlTransfer> transfer_;
};

// The locator of a gopher item: the text that names the item on its server
// (type, selector, host and port), with its length. Deleted through its
// virtual destructor, like the files that hold one.
class KTGopherLocator {
 public:
  KTGopherLocator() = default;
  explicit KTGopherLocator(std::u16string text) : text_(std::move(text)) {}
  virtual ~KTGopherLocator();

  const std::u16string& GetText() const { return text_; }
  size_t GetLength() const { return text_.size(); }

 private:
  std::u16string text_;
};

class KTGopherFile : public KTInternetFile {
 public:
  // A gopher item whose body has arrived; object is the URL's path.
  KTGopherFile(std::vector<unsigned char> body, KTGopherLocator locator, std::u16string object,
               std::u16string server, uint32_t context);
  const KTGopherLocator& GetLocator() const { return locator_; }

 private:
  KTGopherLocator locator_;
};

// The entries of one FTP folder, fetched whole by FindFile.
class KTFtpFileFind {
 public:
  // context 1 stands for the connection's own context.
  explicit KTFtpFileFind(KTFtpConnection* connection, uint32_t context = 1);
  ~KTFtpFileFind();
  KTFtpFileFind(const KTFtpFileFind&) = delete;
  KTFtpFileFind& operator=(const KTFtpFileFind&) = delete;

  // Lists the folder name (null or empty: the login folder); a last path
  // segment holding '*' or '?' is a pattern that entries must match. False
  // when the folder cannot be listed or nothing matches; otherwise the first
  // entry waits for FindNextFile.
  bool FindFile(const char16_t* name = nullptr, uint32_t flags = 0);
  // Makes the waiting entry current; false when no further entry waits after
  // it (the current one is still valid) or no search is open.
  bool FindNextFile();
  void Close();

  std::u16string GetFileName() const;
  bool IsDirectory() const;
  // True when the current entry has one of the attribute bits of mask.
  bool MatchesMask(uint32_t mask) const;
  std::u16string GetFileURL() const;

 private:
  struct Entry {
    std::u16string name;
    uint32_t attributes;
  };
  KTFtpConnection* connection_;
  uint32_t context_;
  std::u16string root_;
  std::vector<Entry> entries_;
  size_t next_ = 0;
  long current_ = -1;
  bool open_ = false;
};

// Parses the lines of an FTP LIST answer (Unix "ls -l" and DOS forms); "." and
// ".." are left out.
std::vector<std::pair<std::u16string, bool>> KTParseFtpListing(const std::string& listing);
