// The libcurl entry points of the internet layer, bound on first use. The
// program does not link libcurl: a run that never transfers anything never
// maps the library and the thirty libraries it depends on, which is most of
// the start-up time of a small transform. Internal to the internet layer.
#pragma once

#include <curl/curl.h>

struct KTCurlApi {
  decltype(&::curl_global_init) global_init;
  decltype(&::curl_easy_init) easy_init;
  decltype(&::curl_easy_cleanup) easy_cleanup;
  decltype(&::curl_easy_reset) easy_reset;
  decltype(&::curl_easy_setopt) easy_setopt;
  decltype(&::curl_easy_getinfo) easy_getinfo;
  decltype(&::curl_easy_perform) easy_perform;
  decltype(&::curl_easy_strerror) easy_strerror;
  decltype(&::curl_free) free;
  decltype(&::curl_slist_append) slist_append;
  decltype(&::curl_slist_free_all) slist_free_all;
  decltype(&::curl_url) url;
  decltype(&::curl_url_cleanup) url_cleanup;
  decltype(&::curl_url_get) url_get;
  decltype(&::curl_url_set) url_set;
};

// The entry points, loaded on the first call (thread-safe). When the library
// or one of its functions cannot be found, every entry is a stand-in that
// fails the way libcurl fails when it has no memory (null handles, lists and
// URLs; CURLE_FAILED_INIT, CURLUE_OUT_OF_MEMORY), so callers report their
// usual errors.
const KTCurlApi& KTCurl();
