// Webhook bodies over arbitrary bytes, as JSON, as a form and as the body
// itself tells; the token checks on the bodies' tokens and on the bytes
// themselves, against a key made at start-up that no input can have signed
// with, so that any token that passes is a forgery.
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "tool/serve/webhook.h"

using namespace kaldo::tool;
using namespace kaldo::tool::serve;

namespace {

std::string make_public_key() {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(2048), EVP_PKEY_free);
  std::unique_ptr<BIO, decltype(&BIO_free)> pem(BIO_new(BIO_s_mem()), BIO_free);
  if (!key || !pem || PEM_write_bio_PUBKEY(pem.get(), key.get()) != 1) __builtin_trap();
  char* text = nullptr;
  const long length = BIO_get_mem_data(pem.get(), &text);
  return std::string(text, static_cast<std::size_t>(length));
}

const std::string& public_key() {
  static const std::string pem = make_public_key();
  return pem;
}

void check_read(const parsed<webhook_message, webhook_problem>& read) {
  if (!read) {
    if (read.problem == webhook_problem::none || read.reason.empty()) __builtin_trap();
    if (read.reason.find('\n') != std::string::npos || http_status(read.problem) < 400) __builtin_trap();
    return;
  }
  const webhook_message& message = *read.value;
  if (message.imei.size() != 15 || message.momsn > 0xFFFF) __builtin_trap();
  if (message.payload.size() > webhook_max_payload_bytes) __builtin_trap();
  const std::optional<found_message> found = webhook_found_message(message);
  if (found && (found->bytes != message.payload || found->origin.channel != "rockblock")) __builtin_trap();
  if (message.jwt && check_webhook_token(message, public_key())) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  check_read(parse_webhook_body(body, "application/json"));
  check_read(parse_webhook_body(body, "application/x-www-form-urlencoded"));
  check_read(parse_webhook_body(body, ""));
  if (verify_rs256(body, public_key())) __builtin_trap();
  const std::optional<std::string> token = query_parameter(body, "token");
  if (token && same_secret(*token, "s3cret") != (*token == "s3cret")) __builtin_trap();
  return 0;
}
