// The two wrapping streams: class 8 over a memory stream, class 7 over a file
// stream whose path is the program's folder and the given file name.
#include "streams/ktbuiltinstream.h"

#include <new>

#include "core/ktclassfactory.h"
#include "core/ktstring.h"
#include "streams/ktprogramfolder.h"

namespace {

constinit bool builtinStreamRegistered = false;
constinit bool appFolderStreamRegistered = false;

}  // namespace

void* CreateBuiltinStream() {
  return static_cast<YStream*>(new (std::nothrow) KTBuiltinStreamImpl());
}

void* CreateAppFolderStream() {
  return static_cast<YStream*>(new (std::nothrow) KTAppFolderStreamImpl());
}

KTBuiltinStreamImpl::KTRegistrar::KTRegistrar() {
  EnsureStreamFactories();
  if (!builtinStreamRegistered) {
    builtinStreamRegistered = GetClassFactoryRegistry()->Register(kStreamClassBuiltin, &CreateBuiltinStream);
  }
}

KTBuiltinStreamImpl::KTBuiltinStreamImpl() = default;

KTAppFolderStreamImpl::KTRegistrar::KTRegistrar() {
  EnsureStreamFactories();
  if (!appFolderStreamRegistered) {
    appFolderStreamRegistered = GetClassFactoryRegistry()->Register(kStreamClassAppFolder, &CreateAppFolderStream);
  }
}

KTAppFolderStreamImpl::KTAppFolderStreamImpl() = default;

int KTAppFolderStreamImpl::Open(const char16_t* name, int mode) {
  // The file-name part: what follows the last '/' or '\', the whole name
  // when it has neither.
  const char16_t* fileName = name ? name : u"";
  for (const char16_t* p = fileName; *p; ++p) {
    if (*p == u'/' || *p == u'\\') fileName = p + 1;
  }
  KTString path = GetProgramFolder(true);
  if (path.IsEmpty()) return kStreamNotFound;
  path += fileName;
  return file_.Open(path, mode);
}
