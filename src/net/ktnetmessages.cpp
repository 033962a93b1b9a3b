// Texts of the URL request's messages. Those of the FTP and connection
// failures end without a full stop, as the request may add the reason.
#include "net/ktnetmessages.h"

#include "platform/ktresources.h"

namespace {

struct NetMessage {
  unsigned id;
  const char16_t* text;
};

const NetMessage kNetMessages[] = {
    {kMsgUrlCannotSplit, u"The URL \"%s\" cannot be split into its parts."},
    {kMsgUrlOpenFailed, u"The URL \"%s\" could not be opened."},
    {kMsgUrlOpenFailedText, u"The URL \"%s\" could not be opened: %s"},
    {kMsgFileUrlWriteFailed, u"The file URL \"%s\" could not be written."},
    {kMsgFileUrlWriteFailedText, u"The file URL \"%s\" could not be written: %s"},
    {kMsgFtpCannotRead, u"The file \"%s\" could not be read from the FTP server %s"},
    {kMsgFtpCannotWrite, u"The file \"%s\" could not be written to the FTP server %s"},
    {kMsgFtpCannotRemove, u"\"%s\" could not be removed from the FTP server %s (error %lu)"},
    {kMsgFtpCannotMakeFolder, u"The folder \"%s\" could not be created on the FTP server %s"},
    {kMsgFtpNoConnection, u"No FTP connection could be made to %s"},
    {kMsgHttpStatus, u"The %s request for \"%s\" on %s failed with status %lu."},
    {kMsgHttpNoRequest, u"The %s request for \"%s\" on %s could not be opened."},
    {kMsgHttpNoConnection, u"No HTTP connection could be made to %s."},
    {kMsgHttpFailed, u"The %s request for \"%s\" failed."},
    {kMsgHttpFailedText, u"The %s request for \"%s\" failed: %s"},
    {kMsgMkcolStatus, u"The folder \"%s\" could not be created on %s (status %lu)."},
};

}  // namespace

const char16_t* KTNetMessageText(unsigned id) {
  if (const char16_t* text = KTFindStringResource(id)) return text;
  for (const NetMessage& m : kNetMessages)
    if (m.id == id) return m.text;
  return nullptr;
}

namespace {

// Finds the user name and password of a URL: [begin, end) runs from the
// start of the authority to the '@' that ends them. False when there are
// none. Whatever stands before "://" counts as the scheme, so that a URL with
// leading blanks or an odd scheme is treated all the same.
bool FindCredentials(std::u16string_view url, size_t& begin, size_t& end) {
  size_t start = url.find(u"://");
  if (start == std::u16string_view::npos) return false;
  start += 3;
  size_t stop = url.find_first_of(u"/?#\\", start);
  std::u16string_view authority = url.substr(start, stop == std::u16string_view::npos ? url.npos : stop - start);
  size_t at = authority.rfind(u'@');
  if (at == std::u16string_view::npos) return false;
  begin = start;
  end = start + at;
  return true;
}

KTString Splice(std::u16string_view url, size_t begin, size_t end, std::u16string_view insert) {
  std::u16string text(url.substr(0, begin));
  text += insert;
  text += url.substr(end);
  return KTString(std::u16string_view(text));
}

}  // namespace

KTString KTUrlForMessage(std::u16string_view url) {
  size_t begin = 0, end = 0;
  if (!FindCredentials(url, begin, end)) return KTString(url);
  return Splice(url, begin, end, u"***");
}

KTString KTTextForMessage(std::u16string_view text) {
  std::u16string shown;
  size_t done = 0;
  for (size_t mark = text.find(u"://"); mark != std::u16string_view::npos; mark = text.find(u"://", mark)) {
    size_t start = mark + 3;
    size_t stop = text.find_first_of(u"/?#\\ \t\r\n\"<>", start);
    if (stop == std::u16string_view::npos) stop = text.size();
    size_t at = text.substr(start, stop - start).rfind(u'@');
    if (at != std::u16string_view::npos) {
      shown += text.substr(done, start - done);
      shown += u"***";
      done = start + at;
    }
    mark = stop;
  }
  if (done == 0) return KTString(text);
  shown += text.substr(done);
  return KTString(std::u16string_view(shown));
}

KTString KTUrlWithoutCredentials(std::u16string_view url) {
  size_t begin = 0, end = 0;
  if (!FindCredentials(url, begin, end)) return KTString(url);
  return Splice(url, begin, end + 1, u"");
}
