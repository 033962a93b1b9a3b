// Document sources: the small value objects that name where a document is read
// from or written to (a file path or a URL) with what is needed to fetch or
// store it. The document loader turns a source into bytes through the input
// buffer of the source's kind.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/ktstring.h"

// Source kinds, tested as bit masks.
inline constexpr uint32_t kSourcePlain = 1;
inline constexpr uint32_t kSourceFile = 2;
inline constexpr uint32_t kSourceUrl = 4;

class KTDocumentSource {
 public:
  explicit KTDocumentSource(uint32_t kind = kSourcePlain) : kind_(kind) {}
  KTDocumentSource(const char16_t* url, uint32_t kind) : url_(url), kind_(kind) {}
  virtual ~KTDocumentSource() = default;
  KTDocumentSource(const KTDocumentSource&) = delete;
  KTDocumentSource& operator=(const KTDocumentSource&) = delete;

  // A new source of the same class holding a copy of every field.
  std::unique_ptr<KTDocumentSource> Clone() const;
  // A new source of the same class with the class's default kind.
  virtual std::unique_ptr<KTDocumentSource> CreateEmpty() const;
  virtual void Assign(const KTDocumentSource& other);

  const KTString& GetUrl() const { return url_; }
  void SetUrl(const char16_t* url) { url_ = url; }
  uint32_t GetKind() const { return kind_; }
  bool IsFile() const { return (kind_ & kSourceFile) != 0; }
  bool IsUrl() const { return (kind_ & kSourceUrl) != 0; }

  // Same kind and the same URL text, code unit by code unit.
  friend bool operator==(const KTDocumentSource& a, const KTDocumentSource& b) {
    return a.kind_ == b.kind_ && a.url_ == b.url_;
  }

 protected:
  KTString url_;
  uint32_t kind_;
};

// A file named by its path.
class KTFileSource : public KTDocumentSource {
 public:
  explicit KTFileSource(uint32_t kind = kSourceFile) : KTDocumentSource(kind) {}
  KTFileSource(const char16_t* path, uint32_t kind = kSourceFile) : KTDocumentSource(path, kind) {}

  std::unique_ptr<KTDocumentSource> CreateEmpty() const override;
  void Assign(const KTDocumentSource& other) override;

  // Open modes of the file: read sharing deny-write without text translation,
  // and create-for-write with the same sharing. POSIX opens ignore the sharing
  // bits; the values are kept so that copies of a source stay alike.
  static constexpr uint32_t kReadFlags = 0x8020;
  static constexpr uint32_t kWriteFlags = 0x9021;
  uint32_t GetReadFlags() const { return readFlags_; }
  uint32_t GetWriteFlags() const { return writeFlags_; }

 private:
  uint32_t readFlags_ = kReadFlags;
  uint32_t writeFlags_ = kWriteFlags;
};

// What a request for a URL carries besides the URL, each field set by name
// (KTUrlOptions{.user = u"me", .password = u"secret"}): the credentials,
// whether the user may be asked for them (interactive) and whether they are
// asked for at all, whether a cached copy may answer, extra headers (may be
// null) and the content type.
struct KTUrlOptions {
  const char16_t* user = nullptr;
  const char16_t* password = nullptr;
  bool interactive = false;
  bool askCredentials = true;
  bool useCache = false;
  const std::vector<KTString>* headers = nullptr;
  const char16_t* contentType = u"text/xml";
};

// A URL with the credentials and transfer options of its request, and the
// server's answer to the last write.
class KTUrlSource : public KTDocumentSource {
 public:
  explicit KTUrlSource(uint32_t kind = kSourceUrl) : KTDocumentSource(kind) {}
  KTUrlSource(const char16_t* url, const KTUrlOptions& request, uint32_t kind = kSourceUrl);

  std::unique_ptr<KTDocumentSource> CreateEmpty() const override;
  void Assign(const KTDocumentSource& other) override;

  const KTString& GetUser() const { return user_; }
  const KTString& GetPassword() const { return password_; }
  void SetCredentials(const KTString& user, const KTString& password) {
    user_ = user;
    password_ = password;
  }
  bool IsInteractive() const { return interactive_; }
  bool GetAskCredentials() const { return askCredentials_; }
  bool GetUseCache() const { return useCache_; }
  // The verb of a write; empty means "PUT".
  const KTString& GetVerb() const { return verb_; }
  void SetVerb(const char16_t* verb) { verb_ = verb; }
  const std::vector<KTString>& GetHeaders() const { return headers_; }
  const KTString& GetContentType() const { return contentType_; }
  const std::vector<char>& GetResponse() const { return response_; }
  void SetResponse(std::vector<char>&& response) { response_ = std::move(response); }

 private:
  KTString user_;
  KTString password_;
  bool interactive_ = false;
  bool askCredentials_ = true;
  bool useCache_ = false;
  KTString verb_;
  std::vector<KTString> headers_;
  std::vector<char> response_;
  KTString contentType_{u"text/xml"};
};
