// The program's folder from /proc/self/exe, with the cut of a trailing build
// folder. Case is kept: the folder is opened afterwards, and names here are
// case-sensitive.
#include "streams/ktprogramfolder.h"

#include <unistd.h>

#include <string>

#include "platform/ktutf8.h"

namespace {

// Index of the first "/<folder>/" of path, compared without regard to ASCII
// case, or npos.
size_t FindFolder(std::u16string_view path, std::u16string_view folder) {
  for (size_t at = path.find(u'/'); at != std::u16string_view::npos; at = path.find(u'/', at + 1)) {
    const size_t end = at + 1 + folder.size();
    if (end >= path.size() || path[end] != u'/') continue;
    bool same = true;
    for (size_t i = 0; i < folder.size() && same; ++i) {
      char16_t c = path[at + 1 + i];
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
      same = c == folder[i];
    }
    if (same) return at;
  }
  return std::u16string_view::npos;
}

}  // namespace

KTString ProgramFolderOfPath(const KTString& programPath, bool stripBuildFolder) {
  const std::u16string_view path = programPath.View();
  const size_t slash = path.rfind(u'/');
  if (slash == std::u16string_view::npos) return programPath;
  std::u16string_view folder = path.substr(0, slash + 1);
  if (stripBuildFolder) {
    size_t at = FindFolder(folder, u"release");
    if (at == std::u16string_view::npos) at = FindFolder(folder, u"serverrelease");
    if (at != std::u16string_view::npos) folder = folder.substr(0, at + 1);
  }
  return KTString(folder);
}

KTString GetProgramFolder(bool stripBuildFolder) {
  std::string buffer(4096, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return KTString();
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      break;
    }
    buffer.resize(buffer.size() * 2);
  }
  return ProgramFolderOfPath(KTString(KTUtf8ToUtf16(buffer)), stripBuildFolder);
}
