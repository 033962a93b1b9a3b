// Cloning and copying of document sources.
#include "xml/ktdocsource.h"

std::unique_ptr<KTDocumentSource> KTDocumentSource::Clone() const {
  std::unique_ptr<KTDocumentSource> copy = CreateEmpty();
  if (copy)
    copy->Assign(*this);
  return copy;
}

std::unique_ptr<KTDocumentSource> KTDocumentSource::CreateEmpty() const {
  return std::make_unique<KTDocumentSource>(kSourcePlain);
}

void KTDocumentSource::Assign(const KTDocumentSource& other) {
  url_ = other.url_;
  kind_ = other.kind_;
}

std::unique_ptr<KTDocumentSource> KTFileSource::CreateEmpty() const {
  return std::make_unique<KTFileSource>(kSourceFile);
}

void KTFileSource::Assign(const KTDocumentSource& other) {
  KTDocumentSource::Assign(other);
  if (const auto* file = dynamic_cast<const KTFileSource*>(&other)) {
    readFlags_ = file->readFlags_;
    writeFlags_ = file->writeFlags_;
  }
}

KTUrlSource::KTUrlSource(const char16_t* url, const KTUrlOptions& request, uint32_t kind)
    : KTDocumentSource(url, kind),
      user_(request.user),
      password_(request.password),
      interactive_(request.interactive),
      askCredentials_(request.askCredentials),
      useCache_(request.useCache),
      contentType_(request.contentType) {
  if (request.headers)
    headers_ = *request.headers;
}

std::unique_ptr<KTDocumentSource> KTUrlSource::CreateEmpty() const {
  return std::make_unique<KTUrlSource>(kSourceUrl);
}

void KTUrlSource::Assign(const KTDocumentSource& other) {
  KTDocumentSource::Assign(other);
  if (const auto* url = dynamic_cast<const KTUrlSource*>(&other)) {
    user_ = url->user_;
    password_ = url->password_;
    interactive_ = url->interactive_;
    askCredentials_ = url->askCredentials_;
    useCache_ = url->useCache_;
    verb_ = url->verb_;
    headers_ = url->headers_;
    response_ = url->response_;
    contentType_ = url->contentType_;
  }
}
