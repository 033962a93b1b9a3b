// Path, URL and line-end operations of KTString. Paths are POSIX, but '\' is
// read as a separator too when names are taken apart, and Windows forms (drive
// letters, \\server) are recognised so that their documents still resolve.
// Nothing here touches the file system.
#include "core/ktstring.h"

#include <string>

#include "platform/ktwchar.h"
#include "platform/ktworkcount.h"

namespace {

using TextView = std::u16string_view;
constexpr size_t npos = TextView::npos;

bool IsSep(char16_t c) { return c == u'/' || c == u'\\'; }

bool IsAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

size_t LastSep(TextView text) { return text.find_last_of(u"/\\"); }

size_t FirstSepFrom(TextView text, size_t from) { return text.find_first_of(u"/\\", from); }

// A drive form at the start: a letter and ':' followed by a separator or nothing.
bool HasDrive(TextView text) {
  return text.size() >= 2 && IsAsciiLetter(text[0]) && text[1] == u':' && (text.size() == 2 || IsSep(text[2]));
}

// Length of the part of a folder that ".." never climbs out of: the
// "scheme://authority/" of a URL (RFC 3986 §5.2.4), the "\\server\share\" of a
// network path, a drive root "D:\" or the POSIX root "/". 0 for a relative
// folder; the whole length when the folder is no more than such a root. The
// search for "://" reads the whole folder: its length goes to KTWorkCount.
size_t RootLength(TextView folder) {
  KTWorkCount::Add(folder.size());
  size_t scheme = folder.find(u"://");
  if (scheme != npos) {
    size_t slash = FirstSepFrom(folder, scheme + 3);
    return slash == npos ? folder.size() : slash + 1;
  }
  if (folder.size() >= 2 && IsSep(folder[0]) && IsSep(folder[1])) {
    size_t server = FirstSepFrom(folder, 2);
    size_t share = server == npos ? npos : FirstSepFrom(folder, server + 1);
    return share == npos ? folder.size() : share + 1;
  }
  if (HasDrive(folder))
    return folder.size() >= 3 ? 3 : folder.size();
  if (!folder.empty() && IsSep(folder[0]))
    return 1;
  return 0;
}

// Removes the last level of folder (which ends with a separator or is empty) for
// one "../". Returns false when the step must stay in the name instead: the
// folder is relative and has no level left, or its last level is itself "..".
// root is RootLength of the folder, which no climb changes: it is found once,
// so that many "../" steps cost no more than the folder's length (the level
// read goes to KTWorkCount).
bool ClimbOneLevel(std::u16string& folder, size_t root) {
  if (folder.size() <= root)
    return root > 0;  // at a root: the step is dropped
  TextView body(folder.data(), folder.size() - 1);
  size_t sep = LastSep(body);
  size_t segmentStart = sep == npos ? 0 : sep + 1;
  KTWorkCount::Add(folder.size() - segmentStart);
  if (body.substr(segmentStart) == u"..")
    return false;
  folder.resize(segmentStart);
  return true;
}

// Lower-cases the ASCII capitals of text[from, to).
void LowerAscii(std::u16string& text, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i)
    if (text[i] >= u'A' && text[i] <= u'Z')
      text[i] = static_cast<char16_t>(text[i] + (u'a' - u'A'));
}

std::u16string NormalizedPath(TextView text) {
  std::u16string path(text);
  for (char16_t& c : path)
    if (c == u'\\')
      c = u'/';
  // Only a URL's scheme and host name are case-insensitive (RFC 3986 §6.2.2.1);
  // local paths and URL paths keep their case.
  size_t scheme = path.find(u"://");
  if (scheme != npos) {
    LowerAscii(path, 0, scheme);
    size_t hostStart = scheme + 3;
    size_t hostEnd = path.find_first_of(u"/?#", hostStart);
    if (hostEnd == npos)
      hostEnd = path.size();
    size_t at = TextView(path).substr(hostStart, hostEnd - hostStart).rfind(u'@');
    if (at != npos)
      hostStart += at + 1;  // user information keeps its case
    LowerAscii(path, hostStart, hostEnd);
  }
  return path;
}

}  // namespace

KTString KTString::GetFileName() const {
  TextView text = View();
  size_t sep = LastSep(text);
  return sep == npos ? *this : KTString(text.substr(sep + 1));
}

KTString KTString::GetFolder(bool withSeparator) const {
  TextView text = View();
  size_t sep = LastSep(text);
  if (sep == npos)
    return KTString();
  return KTString(text.substr(0, withSeparator ? sep + 1 : sep));
}

KTString KTString::GetExtension(bool lowerCase) const {
  TextView text = View();
  size_t dot = text.rfind(u'.');
  if (dot == npos)
    return KTString();
  TextView extension = text.substr(dot + 1);
  // A '.' followed by one of these belongs to a folder, a fragment, a query-like
  // part or a name with spaces, not to an extension.
  if (extension.empty() || extension.find_first_of(u" #%;/\\") != npos)
    return KTString();
  KTString result(extension);
  if (lowerCase)
    result.MakeLower();
  return result;
}

bool KTString::IsRelativePath(bool rootedIsAbsolute) const {
  TextView text = View();
  if (text.empty() || text.find(u':') != npos)
    return false;  // a drive letter or a URL scheme
  if (!IsSep(text[0]))
    return true;
  if (rootedIsAbsolute)
    return false;
  // "//server" or "\\server": a network path or a URL without its scheme.
  return !(text.size() >= 2 && IsSep(text[1]));
}

KTString KTString::MakeAbsolute(const char16_t* base, const char16_t* defaultBase) const {
  if (!IsRelativePath(false))
    return *this;

  TextView baseText = base ? TextView(base) : TextView();
  std::u16string folder;
  if (baseText.empty()) {
    folder = defaultBase ? defaultBase : u"";
    if (!folder.empty() && !IsSep(folder.back()))
      folder.push_back(u'/');
  } else {
    size_t sep = LastSep(baseText);
    if (sep == npos) {
      // A bare document name lies in the current folder, which a relative
      // result already means.
    } else if (sep >= 2 && baseText[sep - 2] == u':' && baseText[sep - 1] == u'/' && baseText[sep] == u'/') {
      folder = baseText;  // "scheme://server" without a path
      folder.push_back(u'/');
    } else {
      folder = baseText.substr(0, sep + 1);
    }
  }

  TextView name = View();
  std::u16string result;
  if (IsSep(name[0])) {
    size_t scheme = folder.find(u"://");
    if (scheme != npos) {
      size_t pathStart = FirstSepFrom(folder, scheme + 3);
      if (pathStart != npos) {
        result.assign(folder, 0, pathStart);
        result.append(name);
      } else {
        result = folder;
        result.append(name.substr(1));
      }
    } else if (HasDrive(folder)) {
      result.assign(folder, 0, 2);
      result.append(name);
    } else {
      result.assign(name);  // a POSIX absolute path stays as it is
    }
    return KTString(TextView(result));
  }

  if (name.size() >= 2 && name[0] == u'.' && IsSep(name[1]))
    name.remove_prefix(2);
  std::u16string kept;  // "../" steps that the folder cannot take
  const size_t root = RootLength(folder);
  while (name.size() >= 3 && name[0] == u'.' && name[1] == u'.' && IsSep(name[2])) {
    if (!ClimbOneLevel(folder, root))
      kept.append(name.substr(0, 3));
    name.remove_prefix(3);
  }
  result.reserve(folder.size() + kept.size() + name.size());
  result.append(folder).append(kept).append(name);
  return KTString(TextView(result));
}

KTString& KTString::NormalizePath() {
  if (IsEmpty())
    return *this;
  std::u16string path = NormalizedPath(View());
  Assign(path.data(), static_cast<int>(path.size()));
  return *this;
}

bool KTString::IsSamePath(const char16_t* other) const {
  return NormalizedPath(View()) == NormalizedPath(other ? TextView(other) : TextView());
}

KTString KTString::DetectLineEnd() const {
  // Two block searches (KTFindUnit) instead of one unit-by-unit search for
  // either character: the first LF, then a CR before it. A document on one
  // line is scanned whole, so the scan's speed counts.
  TextView text = View();
  const char16_t* begin = text.data();
  const char16_t* lf = KTFindUnit(begin, text.size(), u'\n');
  const size_t beforeLf = lf ? static_cast<size_t>(lf - begin) : text.size();
  const char16_t* cr = KTFindUnit(begin, beforeLf, u'\r');
  if (!cr)
    return lf ? KTString(u"\n") : KTString(u"\r\n");
  const size_t at = static_cast<size_t>(cr - begin);
  if (at + 1 < text.size() && text[at + 1] == u'\n')
    return KTString(u"\r\n");
  return KTString(u"\r");
}

KTString& KTString::NormalizeLineEnds(const char16_t* lineEnd) {
  TextView end = lineEnd ? TextView(lineEnd) : TextView();
  if (end.size() != 1 && end.size() != 2)
    return *this;
  TextView text = View();
  size_t first = text.find_first_of(u"\r\n");
  if (first == npos)
    return *this;

  if (end.size() == 1) {
    // The text can only get shorter: rewrite in place.
    char16_t* buffer = GetBuffer();
    size_t out = first;
    for (size_t i = first; i < text.size(); ++i) {
      char16_t c = buffer[i];
      if (c == u'\r') {
        if (i + 1 < text.size() && buffer[i + 1] == u'\n')
          ++i;
        buffer[out++] = end[0];
      } else if (c == u'\n') {
        buffer[out++] = end[0];
      } else {
        buffer[out++] = c;
      }
    }
    SetLength(static_cast<int>(out));
    return *this;
  }

  size_t needed = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
      ++i;
    needed += (text[i] == u'\r' || text[i] == u'\n') ? 2 : 1;
  }
  KTString rewritten;
  rewritten.ClearAndReserve(static_cast<int>(needed));
  char16_t* out = rewritten.GetBuffer();
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c == u'\r' || c == u'\n') {
      if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
        ++i;
      *out++ = end[0];
      *out++ = end[1];
    } else {
      *out++ = c;
    }
  }
  rewritten.SetLength(static_cast<int>(needed));
  *this = std::move(rewritten);
  return *this;
}
