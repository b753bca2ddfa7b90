// Service e-mails as `kaldo serve --imap` keys their messages, and the
// store taking one e-mail's messages in one transaction with the folder's
// progress.
#include <gtest/gtest.h>

#include <glib.h>
#include <ogrsf_frmts.h>

#include "tests/test_support.h"
#include "tests/tool/serve/service_emails.h"
#include "tool/serve/mailbox_email.h"
#include "tool/serve/store.h"

namespace kaldo::tool::serve {
namespace {

using testing::service_email;

constexpr std::int64_t june_20_14_38_55 = 1718894335;  // 2024-06-20 14:38:55 UTC

const char* const full_body =
    "MOMSN: 9\r\nMTMSN: 3\r\nTime of Session (UTC): Thu Jun 20 14:38:55 2024\r\n"
    "Session Status: 00 - Transfer OK\r\nMessage Size (bytes): 3\r\n\r\n"
    "Unit Location: Lat = 51.50123 Long = -0.12345\r\nCEPradius = 4\r\n";

TEST(MailboxEmail, KeysEachAttachmentLikeTheOtherChannels) {
  struct expected {
    std::string imei;
    std::uint32_t momsn;
    std::int64_t session_time;
  };
  const struct {
    const char* why;
    std::string email;
    std::vector<expected> messages;  // none: the e-mail is left, `none` says why
    const char* none = "";
  } cases[] = {
      {"name and body", service_email({{"300234010123450_000123.sbd", "abc"}}, full_body),
       {{"300234010123450", 123, june_20_14_38_55}}},
      {"no time in the body: the Date, in UTC",
       service_email({{"300234010123450_000124.sbd", "abc"}}, "Tracker message\r\n", "Thu, 20 Jun 2024 16:38:55 +0200"),
       {{"300234010123450", 124, june_20_14_38_55}}},
      {"a name without MOMSN takes the body's, and the subject's IMEI",
       service_email({{"report.sbd", "abc"}}, full_body, "", "SBD Msg From Unit: 300234010123459"),
       {{"300234010123459", 9, june_20_14_38_55}}},
      {"two attachments: two messages, each keyed by its own name",
       service_email({{"300234010123450_000001.sbd", "a"}, {"300234010123451_000007.sbd", "b"}}, full_body),
       {{"300234010123450", 1, june_20_14_38_55}, {"300234010123451", 7, june_20_14_38_55}}},
      {"two attachments, one without a MOMSN of its own: the e-mail is left whole",
       service_email({{"300234010123450_000001.sbd", "a"}, {"300234010123450.sbd", "b"}}, full_body),
       {}, "has no MOMSN"},
      {"no IMEI anywhere", service_email({{"report.sbd", "abc"}}, full_body, "", "Position"), {}, "has no IMEI"},
      {"no time of session and no Date", service_email({{"300234010123450_000001.sbd", "a"}}, "x\r\n", "-"), {},
       "has no time of session"},
      {"no attachment (a reply)", service_email({}, "Thanks!\r\n"), {}, "no .sbd attachment"},
  };
  const mailbox_place place{"INBOX", 77, 5};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const email_messages read = read_mailbox_email(c.email, place, {});
    ASSERT_EQ(read.messages.size(), c.messages.size()) << read.none_because;
    for (std::size_t i = 0; i < c.messages.size(); ++i) {
      const received_message& m = read.messages[i];
      EXPECT_EQ(m.channel, "imap");
      EXPECT_EQ(m.imei, c.messages[i].imei);
      EXPECT_EQ(m.momsn, c.messages[i].momsn);
      EXPECT_EQ(m.session_time, c.messages[i].session_time);
      ASSERT_TRUE(m.mailbox.has_value());
      EXPECT_EQ(m.mailbox->uid, 5u);
      EXPECT_EQ(m.mailbox->uidvalidity, 77u);
    }
    if (c.messages.empty()) {
      EXPECT_NE(read.none_because.find(c.none), std::string::npos) << read.none_because;
    }
  }
}

TEST(MailboxEmail, KeepsTheBodysSessionDetailsForALoneAttachment) {
  const email_messages read =
      read_mailbox_email(service_email({{"300234010123450_000123.sbd", "abc"}}, full_body), {"INBOX", 1, 1}, {});
  ASSERT_EQ(read.messages.size(), 1u);
  const received_message& m = read.messages[0];
  EXPECT_EQ(m.payload, "abc");
  EXPECT_EQ(m.mtmsn, 3);
  EXPECT_EQ(m.session_status, 0);
  EXPECT_DOUBLE_EQ(m.iridium_latitude.value_or(0), 51.50123);
  EXPECT_DOUBLE_EQ(m.iridium_longitude.value_or(0), -0.12345);
  EXPECT_DOUBLE_EQ(m.iridium_cep_km.value_or(0), 4);
}

// Rows of the store as "imei/momsn folder/uidvalidity/uid", and the folder's progress.
struct stored_rows {
  std::vector<std::string> messages;
  std::string progress;
};

stored_rows read_rows(const std::string& path) {
  stored_rows rows;
  std::unique_ptr<GDALDataset> dataset(GDALDataset::Open(path.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr));
  if (!dataset) return rows;
  for (auto& row : *dataset->GetLayerByName("messages")) {
    // GDAL formats numbers into a buffer of its own: each is copied at once.
    std::string line;
    for (const char* field : {"imei", "momsn", "imap_folder", "imap_uidvalidity", "imap_uid"}) {
      if (!line.empty()) line += std::string(field) == "imap_folder" ? ' ' : '/';
      line += row->GetFieldAsString(field);
    }
    rows.messages.push_back(line);
  }
  std::optional<mailbox_progress> progress;
  std::string error;
  if (read_mailbox_progress(path, "INBOX", &progress, &error) && progress) {
    rows.progress = std::to_string(progress->uidvalidity) + "/" + std::to_string(progress->last_uid);
  }
  return rows;
}

TEST(MailboxEmail, AnEmailsMessagesAndTheFoldersProgressShareOneTransaction) {
  temp_dir directory;
  const std::string path = directory.path() + "/live.gpkg";
  std::string error;
  auto store = open_message_store(path, {}, &error);
  ASSERT_NE(store, nullptr) << error;
  auto email = [](std::uint32_t uid, std::vector<std::pair<std::string, std::string>> attachments) {
    email_messages read = read_mailbox_email(service_email(attachments, full_body), {"INBOX", 9, uid}, {});
    EXPECT_FALSE(read.messages.empty()) << read.none_because;
    received_message head = read.messages.front();
    head.together.assign(read.messages.begin() + 1, read.messages.end());
    return head;
  };
  received_message progress_only;
  progress_only.channel = "imap";
  progress_only.mailbox = mailbox_place{"INBOX", 9, 6};
  received_message bad_imei = email(7, {{"300234010123450_000003.sbd", "a"}, {"300234010123450_000004.sbd", "b"}});
  bad_imei.together[0].imei = "30023401012345x";
  const struct {
    const char* why;
    received_message message;
    bool committed, duplicate;
    std::vector<std::string> rows;  // all rows after it
    std::string progress;
  } steps[] = {
      {"two attachments, one commit", email(3, {{"300234010123450_000001.sbd", "a"}, {"300234010123451_000002.sbd", "b"}}),
       true, false, {"300234010123450/1 INBOX/9/3", "300234010123451/2 INBOX/9/3"}, "9/3"},
      {"the same e-mail again (stored, not moved, then killed)",
       email(3, {{"300234010123450_000001.sbd", "a"}, {"300234010123451_000002.sbd", "b"}}), true, true,
       {"300234010123450/1 INBOX/9/3", "300234010123451/2 INBOX/9/3"}, "9/3"},
      {"an e-mail without messages moves the progress only", progress_only, true, false,
       {"300234010123450/1 INBOX/9/3", "300234010123451/2 INBOX/9/3"}, "9/6"},
      {"one bad message of an e-mail: none of it is stored", bad_imei, false, false,
       {"300234010123450/1 INBOX/9/3", "300234010123451/2 INBOX/9/3"}, "9/6"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.why);
    const store_result result = store->store(step.message);
    EXPECT_EQ(result.committed, step.committed) << result.error;
    EXPECT_EQ(result.duplicate, step.duplicate);
    const stored_rows rows = read_rows(path);
    EXPECT_EQ(rows.messages, step.rows);
    EXPECT_EQ(rows.progress, step.progress);
  }
  store->close();
}

}  // namespace
}  // namespace kaldo::tool::serve
