// Webhook bodies as the providers post them, and their RS256 tokens, signed
// here with RSA keys that the openssl program makes for the test.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>

#include "kaldo/kaldo.h"
#include "tool/serve/webhook.h"
#include "tool_test_support.h"

namespace kaldo::tool::serve {
namespace {

using field_list = std::vector<std::pair<std::string, std::optional<std::string>>>;

const field_list provider_body = {
    {"imei", "300234010123450"}, {"momsn", "42"}, {"transmit_time", "24-05-17 12:30:05"},
    {"iridium_latitude", "52.3867"}, {"iridium_longitude", "-0.2938"}, {"iridium_cep", "8"},
    {"data", "48656c6c6f"}, {"serial", "12345"}, {"device_type", "ROCKBLOCK"}};

// The provider's form body with some fields changed, or left out (empty).
std::string form(const field_list& changes = {}) {
  std::string body;
  for (auto [name, value] : provider_body) {
    for (const auto& [changed, to] : changes) value = changed == name ? to : value;
    if (!value) continue;
    for (char& c : *value) c = c == ' ' ? '+' : c;
    body += (body.empty() ? "" : "&") + name + "=" + *value;
  }
  return body;
}

const std::int64_t transmitted = 1715949005;  // 2024-05-17 12:30:05 UTC

TEST(WebhookBody, FormAndJsonBodiesAreRead) {
  const struct {
    const char* name;
    const char* content_type;
    std::string body;
    std::string payload;
    std::optional<double> latitude;
  } cases[] = {
      {"form", "application/x-www-form-urlencoded", form(), "Hello", 52.3867},
      {"form, percent-encoded, ISO time, no data", "application/x-www-form-urlencoded",
       "imei=300234010123450&momsn=%34%32&transmit_time=2024-05-17T12%3A30%3A05Z", "", std::nullopt},
      {"JSON of strings", "application/json",
       R"({"imei":"300234010123450","momsn":"42","transmit_time":"2024-05-17T12:30:05.000Z","data":"48656C6C6F"})",
       "Hello", std::nullopt},
      {"JSON of numbers", "Application/JSON; charset=utf-8",
       R"({"imei":"300234010123450","momsn":42,"transmit_time":"24-05-17 12:30:05","iridium_latitude":-52.5,"extra":{"a":[1]}})",
       "", -52.5},
      {"JSON without a content type", "", R"( {"imei":"300234010123450","momsn":"42","transmit_time":"24-05-17 12:30:05"})",
       "", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto read = parse_webhook_body(c.body, c.content_type);
    ASSERT_TRUE(read) << read.reason;
    EXPECT_EQ(read.value->imei, "300234010123450");
    EXPECT_EQ(read.value->momsn, 42u);
    EXPECT_EQ(read.value->transmit_time, transmitted);
    EXPECT_EQ(read.value->payload, c.payload);
    EXPECT_EQ(read.value->latitude, c.latitude);
    EXPECT_EQ(read.value->fields.count("extra"), 0u);
  }
}

TEST(WebhookBody, TransmitTimesInBothForms) {
  const struct {
    const char* text;
    std::optional<std::int64_t> seconds;
  } cases[] = {{"24-05-17 12:30:05", transmitted},       {"2024-05-17T12:30:05Z", transmitted},
               {"2024-05-17T12:30:05.987Z", transmitted}, {"2024-05-17T12:30:05+00:00", transmitted},
               {"00-01-01 00:00:00", 946684800},          {"24-02-30 12:00:00", std::nullopt},
               {"2024-05-17T12:30:05+02:00", std::nullopt}, {"2024-05-17T12:30:05", std::nullopt},
               {"2024-05-17 12:30:05Z", std::nullopt},    {"24-05-17 24:00:00", std::nullopt},
               {"24-05-17 12:30:5", std::nullopt},        {"2024-05-17T12:30:05.Z", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(parse_transmit_time(c.text), c.seconds) << c.text;
}

TEST(WebhookBody, RefusalsSayWhatWasWrong) {
  const struct {
    const char* name;
    std::string body;
    webhook_problem problem;
  } cases[] = {
      {"no imei", form({{"imei", {}}}), webhook_problem::no_imei},
      {"an imei of 14 digits", form({{"imei", "30023401012345"}}), webhook_problem::bad_imei},
      {"an imei with a letter", form({{"imei", "30023401012345x"}}), webhook_problem::bad_imei},
      {"no momsn", form({{"momsn", {}}}), webhook_problem::no_momsn},
      {"a momsn that is not a number", form({{"momsn", "4x"}}), webhook_problem::bad_momsn},
      {"a momsn over 16 bits", form({{"momsn", "65536"}}), webhook_problem::bad_momsn},
      {"no transmit_time", form({{"transmit_time", {}}}), webhook_problem::no_transmit_time},
      {"a transmit_time of another form", form({{"transmit_time", "17/05/2024 12:30"}}),
       webhook_problem::bad_transmit_time},
      {"data that is not hexadecimal", form({{"data", "48zz"}}), webhook_problem::data_not_hex},
      {"data of odd length", form({{"data", "486"}}), webhook_problem::data_odd_length},
      {"a payload over 1960 bytes", form({{"data", std::string(2 * 1961, 'a')}}), webhook_problem::payload_too_long},
      {"a latitude that is not a number", form({{"iridium_latitude", "north"}}), webhook_problem::bad_location},
      {"a latitude past the pole", form({{"iridium_latitude", "90.5"}}), webhook_problem::bad_location},
      {"a field given twice", form() + "&imei=300234010123451", webhook_problem::bad_body},
      {"JSON that is not an object", "[1,2]", webhook_problem::bad_body},
      {"JSON cut short", R"({"imei":"3002340)", webhook_problem::bad_body},
      {"a JSON key given twice", R"({"imei":"300234010123450","imei":"300234010123451"})", webhook_problem::bad_body},
      {"a JSON imei that is an array", R"({"imei":["300234010123450"]})", webhook_problem::bad_body},
      {"a body over 64 KB", form({{"serial", std::string(64 * 1024, '1')}}), webhook_problem::body_too_large},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool json = c.body.starts_with('{') || c.body.starts_with('[');
    const auto read = parse_webhook_body(c.body, json ? "application/json" : "application/x-www-form-urlencoded");
    ASSERT_FALSE(read);
    EXPECT_EQ(read.problem, c.problem) << read.reason;
    EXPECT_FALSE(read.reason.empty());
    EXPECT_EQ(read.reason.find('\n'), std::string::npos);
    EXPECT_EQ(http_status(read.problem), c.problem == webhook_problem::body_too_large ? 413 : 400);
  }
}

TEST(WebhookBody, ThePayloadIsNamedAsTheSbdFileOfTheSession) {
  // Past the name and origin, the payload is handed on as DirectIP's is
  // (directip_test.cpp reads it back as the file of that name).
  const auto read = parse_webhook_body(form(), "application/x-www-form-urlencoded");
  ASSERT_TRUE(read) << read.reason;
  const std::optional<found_message> found = webhook_found_message(*read.value);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->name, "300234010123450_42.sbd");
  EXPECT_EQ(found->bytes, "Hello");
  EXPECT_EQ(found->origin.channel, "rockblock");
  EXPECT_EQ(found->origin.key, "300234010123450/42/1715949005");
  EXPECT_EQ(read_found_message(*found).modem_id, "300234010123450");
  EXPECT_FALSE(webhook_found_message(*parse_webhook_body(form({{"data", {}}}), "").value));
}

TEST(WebhookSecret, QueryTokenComparedWhole) {
  EXPECT_EQ(query_parameter("/webhooks/rockblock?token=s3cr%2Bt", "token"), "s3cr+t");
  EXPECT_EQ(query_parameter("/webhooks/rockblock?a=1&token=two+words", "token"), "two words");
  EXPECT_EQ(query_parameter("/webhooks/rockblock", "token"), std::nullopt);
  EXPECT_EQ(query_parameter("/webhooks/rockblock?tokens=x", "token"), std::nullopt);
  EXPECT_EQ(query_parameter("/webhooks/rockblock?token=a&token=b", "token"), std::nullopt);
  const struct {
    const char *given, *expected;
    bool same;
  } cases[] = {{"s3cret", "s3cret", true}, {"s3creT", "s3cret", false}, {"s3cre", "s3cret", false},
               {"s3cret-", "s3cret", false}, {"", "s3cret", false}};
  for (const auto& c : cases) EXPECT_EQ(same_secret(c.given, c.expected), c.same) << c.given;
}

std::string base64url(std::string_view bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  text.resize(text.find_last_not_of("=\0", n, 2) + 1);
  for (char& c : text) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return text;
}

enum class signer { provider, other_key, hmac_with_public_key, nobody };

class WebhookToken : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    keys_ = new temp_dir;
    for (const char* name : {"provider", "other"}) {
      const std::string key = keys_->path() + "/" + name;
      const std::string command = "openssl genrsa -out '" + key + ".pem' 2048 2>/dev/null && openssl rsa -in '" + key +
                                  ".pem' -pubout -out '" + key + ".pub' 2>/dev/null";
      if (std::system(command.c_str()) != 0) return;
    }
    made_keys_ = true;
  }
  static void TearDownTestSuite() { delete keys_; }
  void SetUp() override { KALDO_REQUIRE_PART(made_keys_, "the openssl program to make RSA keys"); }

  static std::string key(const std::string& file) { return read_file(keys_->path() + "/" + file); }

  static std::string rs256(const std::string& key_file, const std::string& text) {
    const std::string pem = key(key_file);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr),
                                                            EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::string signature(512, '\0');
    std::size_t length = signature.size();
    if (!pkey || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, pkey.get()) != 1 ||
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(text.data()), text.size()) != 1) {
      ADD_FAILURE() << "cannot sign with " << key_file;
    }
    signature.resize(length);
    return signature;
  }

  static std::string token(const nlohmann::json& header, const nlohmann::json& claims, signer by) {
    const std::string text = base64url(header.dump()) + "." + base64url(claims.dump());
    std::string signature;
    if (by == signer::provider) signature = rs256("provider.pem", text);
    if (by == signer::other_key) signature = rs256("other.pem", text);
    if (by == signer::hmac_with_public_key) {
      const std::string secret = key("provider.pub");
      unsigned char mac[EVP_MAX_MD_SIZE];
      unsigned int length = 0;
      HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
           reinterpret_cast<const unsigned char*>(text.data()), text.size(), mac, &length);
      signature.assign(reinterpret_cast<char*>(mac), length);
    }
    return text + "." + base64url(signature);
  }

  static inline temp_dir* keys_ = nullptr;
  static inline bool made_keys_ = false;
};

TEST_F(WebhookToken, OnlyAnRs256TokenOfTheProviderForThisBodyPasses) {
  const nlohmann::json rs256_header = {{"alg", "RS256"}, {"typ", "JWT"}};
  const nlohmann::json body = {{"imei", "300234010123450"}, {"momsn", 42},
                               {"transmit_time", "24-05-17 12:30:05"}, {"data", "48656c6c6f"}};
  nlohmann::json claims = body;
  claims["momsn"] = "42";
  claims["iat"] = 1715949006;
  const auto with = [&](const char* name, const nlohmann::json& value) {
    nlohmann::json changed = claims;
    if (value.is_null()) changed.erase(name); else changed[name] = value;
    return changed;
  };
  const std::string good = token(rs256_header, claims, signer::provider);
  const struct {
    const char* name;
    std::string token;
    token_problem problem;
    const char* key_file = "provider.pub";
  } cases[] = {
      {"signed by the provider", good, token_problem::none},
      {"claims of another imei", token(rs256_header, with("imei", "300234010123451"), signer::provider),
       token_problem::claims_mismatch},
      {"no claim of the data", token(rs256_header, with("data", nullptr), signer::provider),
       token_problem::claims_mismatch},
      {"a claimed location the body lacks", token(rs256_header, with("iridium_cep", "3"), signer::provider),
       token_problem::claims_mismatch},
      {"signed with another key", token(rs256_header, claims, signer::other_key), token_problem::bad_signature},
      {"HS256 with the public key as secret", token({{"alg", "HS256"}}, claims, signer::hmac_with_public_key),
       token_problem::not_rs256},
      {"an HMAC under an RS256 header", token(rs256_header, claims, signer::hmac_with_public_key),
       token_problem::bad_signature},
      {"algorithm none", token({{"alg", "none"}}, claims, signer::nobody), token_problem::not_rs256},
      {"no algorithm", token({{"typ", "JWT"}}, claims, signer::provider), token_problem::not_rs256},
      {"claims changed after signing",
       good.substr(0, good.find('.') + 1) + base64url(with("imei", "300234010123451").dump()) +
           good.substr(good.rfind('.')),
       token_problem::bad_signature},
      {"two parts", good.substr(0, good.rfind('.')), token_problem::malformed},
      {"four parts", good + ".x", token_problem::malformed},
      {"padded base64", good + "==", token_problem::malformed},
      {"a header that is not JSON", base64url("RS256") + good.substr(good.find('.')), token_problem::malformed},
      {"base64 instead of base64url", "+" + good.substr(1), token_problem::malformed},
      {"an empty token", "", token_problem::malformed},
      {"a private key where the public one belongs", good, token_problem::bad_key, "provider.pem"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    nlohmann::json posted = body;
    posted["JWT"] = c.token;
    const auto read = parse_webhook_body(posted.dump(), "application/json");
    ASSERT_TRUE(read) << read.reason;
    const auto verdict = check_webhook_token(*read.value, key(c.key_file));
    EXPECT_EQ(verdict.problem, c.problem) << verdict.reason;
    EXPECT_EQ(verdict.reason.empty(), c.problem == token_problem::none) << verdict.reason;
  }
}

}  // namespace
}  // namespace kaldo::tool::serve
