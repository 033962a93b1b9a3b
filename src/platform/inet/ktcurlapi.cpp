// Binds the libcurl entry points with dlopen on first use (see ktcurlapi.h).
#include "platform/inet/ktcurlapi.h"

#include <dlfcn.h>

namespace {

// The run-time name of libcurl's ABI version 4, which the headers describe.
constexpr const char* kCurlLibrary = "libcurl.so.4";

CURLcode NoGlobalInit(long) { return CURLE_FAILED_INIT; }
CURL* NoEasyInit() { return nullptr; }
void NoEasyCleanup(CURL*) {}
void NoEasyReset(CURL*) {}
CURLcode NoEasySetopt(CURL*, CURLoption, ...) { return CURLE_FAILED_INIT; }
CURLcode NoEasyGetinfo(CURL*, CURLINFO, ...) { return CURLE_FAILED_INIT; }
CURLcode NoEasyPerform(CURL*) { return CURLE_FAILED_INIT; }
const char* NoEasyStrerror(CURLcode) { return "libcurl could not be loaded"; }
void NoFree(void*) {}
curl_slist* NoSlistAppend(curl_slist*, const char*) { return nullptr; }
void NoSlistFreeAll(curl_slist*) {}
CURLU* NoUrl() { return nullptr; }
void NoUrlCleanup(CURLU*) {}
CURLUcode NoUrlGet(CURLU*, CURLUPart, char**, unsigned int) { return CURLUE_OUT_OF_MEMORY; }
CURLUcode NoUrlSet(CURLU*, CURLUPart, const char*, unsigned int) { return CURLUE_OUT_OF_MEMORY; }

constexpr KTCurlApi kStandIns = {
    NoGlobalInit, NoEasyInit,   NoEasyCleanup,  NoEasyReset, NoEasySetopt,
    NoEasyGetinfo, NoEasyPerform, NoEasyStrerror, NoFree,     NoSlistAppend,
    NoSlistFreeAll, NoUrl,        NoUrlCleanup,   NoUrlGet,   NoUrlSet,
};

template <typename F>
bool Bind(void* library, const char* name, F& entry) {
  void* symbol = dlsym(library, name);
  if (!symbol) return false;
  entry = reinterpret_cast<F>(symbol);
  return true;
}

KTCurlApi Load() {
  void* library = dlopen(kCurlLibrary, RTLD_NOW | RTLD_LOCAL);
  if (!library) return kStandIns;
  KTCurlApi api{};
  const bool all = Bind(library, "curl_global_init", api.global_init) &&
                   Bind(library, "curl_easy_init", api.easy_init) &&
                   Bind(library, "curl_easy_cleanup", api.easy_cleanup) &&
                   Bind(library, "curl_easy_reset", api.easy_reset) &&
                   Bind(library, "curl_easy_setopt", api.easy_setopt) &&
                   Bind(library, "curl_easy_getinfo", api.easy_getinfo) &&
                   Bind(library, "curl_easy_perform", api.easy_perform) &&
                   Bind(library, "curl_easy_strerror", api.easy_strerror) &&
                   Bind(library, "curl_free", api.free) &&
                   Bind(library, "curl_slist_append", api.slist_append) &&
                   Bind(library, "curl_slist_free_all", api.slist_free_all) &&
                   Bind(library, "curl_url", api.url) &&
                   Bind(library, "curl_url_cleanup", api.url_cleanup) &&
                   Bind(library, "curl_url_get", api.url_get) &&
                   Bind(library, "curl_url_set", api.url_set);
  // The library stays mapped for the rest of the process either way: handles
  // may still be alive when static objects end.
  return all ? api : kStandIns;
}

}  // namespace

const KTCurlApi& KTCurl() {
  static const KTCurlApi api = Load();
  return api;
}
