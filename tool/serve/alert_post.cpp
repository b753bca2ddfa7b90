#include "tool/serve/alert_post.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace kaldo::tool::serve {
namespace {

void initialise_curl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct curl_deleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
  void operator()(char* text) const { curl_free(text); }
};

std::size_t discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

int progress(void* give_up, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto& stop = *static_cast<const std::function<bool()>*>(give_up);
  return stop && stop() ? 1 : 0;
}

}  // namespace

bool usable_alert_url(const std::string& url, std::string* error) {
  std::unique_ptr<CURLU, curl_deleter> parsed(curl_url());
  if (parsed == nullptr || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    *error = "not a URL: " + url;
    return false;
  }
  char* raw = nullptr;
  if (curl_url_get(parsed.get(), CURLUPART_SCHEME, &raw, 0) != CURLUE_OK) {
    *error = "a URL without a scheme: " + url;
    return false;
  }
  std::unique_ptr<char, curl_deleter> scheme(raw);
  const std::string s = scheme.get();
  if (s != "http" && s != "https") {
    *error = "an http or https URL is needed, not " + s;
    return false;
  }
  return true;
}

post_outcome post_alert(const std::string& url, const std::string& json,
                        const std::string& idempotency_key, std::chrono::milliseconds timeout,
                        const std::function<bool()>& give_up) {
  initialise_curl();
  std::unique_ptr<CURL, curl_deleter> curl(curl_easy_init());
  if (curl == nullptr) return {false, 0, "cannot start libcurl"};
  curl_slist* list = curl_slist_append(nullptr, "Content-Type: application/json");
  list = curl_slist_append(list, ("Idempotency-Key: " + idempotency_key).c_str());
  std::unique_ptr<curl_slist, curl_deleter> headers(list);
  char error[CURL_ERROR_SIZE] = {};
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, json.data());
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(json.size()));
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, discard);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(c, CURLOPT_USERAGENT, "kaldo-serve");
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, progress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, const_cast<std::function<bool()>*>(&give_up));
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  const CURLcode done = curl_easy_perform(c);
  post_outcome outcome;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &outcome.status);
  if (done != CURLE_OK) {
    outcome.error = error[0] != '\0' ? error : curl_easy_strerror(done);
    return outcome;
  }
  outcome.delivered = outcome.status >= 200 && outcome.status < 300;
  if (!outcome.delivered) outcome.error = "answered HTTP " + std::to_string(outcome.status);
  return outcome;
}

}  // namespace kaldo::tool::serve
