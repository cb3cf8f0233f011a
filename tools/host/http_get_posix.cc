#include <curl/curl.h>

#include <algorithm>

#include "platform.h"

namespace tollivar_host {

namespace {

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

struct Body {
  std::string text;
  std::size_t max;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<Body*>(user);
  const size_t n = size * count;
  if (body->text.size() < body->max) {
    body->text.append(data, std::min(n, body->max - body->text.size()));
  }
  return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::atomic<bool>*>(user)->load() ? 1 : 0;
}

}  // namespace

std::optional<std::string> HttpGet(const std::string& url, const std::string& user,
                                   const std::string& password, long connect_timeout_ms,
                                   long request_timeout_ms, std::size_t max_body,
                                   const std::atomic<bool>& stop) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) return std::nullopt;
  Body body{{}, max_body};
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http");
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, connect_timeout_ms);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, request_timeout_ms);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(&stop));
  if (!user.empty()) {
    curl_easy_setopt(c, CURLOPT_USERNAME, user.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, password.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPAUTH, CURLAUTH_BASIC | CURLAUTH_DIGEST);
  }
  long status = 0;
  if (curl_easy_perform(c) != CURLE_OK) return std::nullopt;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (status / 100 != 2) return std::nullopt;
  return std::move(body.text);
}

}  // namespace tollivar_host
