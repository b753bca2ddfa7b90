// POSTs one alert to the --alert-url (libcurl): the alert's JSON as the
// body, its Idempotency-Key as a header, so that a service that sees the
// same alert twice (a retry after an answer that was lost, a resend after
// a crash) can tell. Only a 2xx answer counts as delivered; redirects are
// not followed (a POST turned into a GET would deliver nothing).
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace kaldo::tool::serve {

struct post_outcome {
  bool delivered = false;
  long status = 0;    // the HTTP status, 0 when none came
  std::string error;  // why not delivered: one line
};

// Gives up on the request after `timeout`, or once `give_up()` says true.
post_outcome post_alert(const std::string& url, const std::string& json,
                        const std::string& idempotency_key, std::chrono::milliseconds timeout,
                        const std::function<bool()>& give_up = {});

// Whether libcurl takes `url` as an http or https address; the reason in
// `*error` otherwise.
bool usable_alert_url(const std::string& url, std::string* error);

}  // namespace kaldo::tool::serve
