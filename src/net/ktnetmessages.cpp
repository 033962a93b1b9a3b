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
