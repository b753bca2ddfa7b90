// kaldo serve --imap against a real Dovecot started here: every e-mail
// stored and then moved (or marked read), new e-mail taken within seconds
// in IDLE and by polling, COPY where the server has no MOVE without
// expunging what the user marked deleted, and a SIGKILL in the middle of
// the e-mails followed by a restart that stores nothing twice.
#include <gtest/gtest.h>

#include <libetpan/mailimap.h>
#include <ogrsf_frmts.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "tests/test_support.h"
#include "tests/tool/dovecot_server.h"
#include "tests/tool/serve/service_emails.h"
#include "tool/sources/imap_client.h"

namespace kaldo::tool::testing {
namespace {

using namespace std::chrono_literals;

// Dovecot's capabilities after the login, without IDLE and MOVE.
const char* const without_idle_and_move =
    "imap_capability = IMAP4rev1 SASL-IR LOGIN-REFERRALS ID ENABLE LITERAL+ UIDPLUS";

std::string tracker_email(int n, int attachments = 1) {
  std::vector<std::pair<std::string, std::string>> parts;
  for (int a = 0; a < attachments; ++a) {
    char name[64];
    std::snprintf(name, sizeof name, "30023401012345%d_%06d.sbd", a, n);
    parts.emplace_back(name, binary_report(binary_fields{}));
  }
  return service_email(parts, "Tracker message\r\n");
}

const std::string reply = service_email({}, "Thanks, got it.\r\n", "", "Re: SBD Msg From Unit: 300234010123450");

class served_mailbox {
 public:
  explicit served_mailbox(const std::string& settings) { server_ = dovecot_server::start(&why_, settings); }
  dovecot_server* server() { return server_.get(); }
  const std::string& why() const { return why_; }

  // Into the Maildir before the server reads it; `flags` as Maildir keeps them ("T": \Deleted).
  void put(const std::string& folder, const std::string& email, const std::string& flags = "") {
    const std::string dir = server_->maildir() + (folder == "INBOX" ? "" : "/." + folder);
    for (const char* sub : {"/cur", "/new", "/tmp"}) std::filesystem::create_directories(dir + sub);
    std::ofstream(dir + "/cur/" + std::to_string(1700000000 + written_) + ".M" + std::to_string(written_) +
                  ".test:2," + flags)
        << email;
    ++written_;
  }

  std::unique_ptr<imap_client> client() {
    imap_security security;
    security.password = dovecot_server::password;
    std::string error;
    auto opened = imap_client::open({false, "127.0.0.1", static_cast<std::uint16_t>(server_->imap_port()),
                                     dovecot_server::user},
                                    security, &error);
    EXPECT_NE(opened, nullptr) << error;
    return opened;
  }

  // E-mails in `folder`, and how many of them are not \Seen.
  std::pair<std::size_t, std::size_t> count(const std::string& folder) {
    auto c = client();
    std::uint32_t validity = 0;
    std::vector<std::uint32_t> all, unseen;
    std::string error;
    if (!c || !c->examine(folder, &validity, &error) || !c->uids(1, all, &error) ||
        !c->unseen_uids(1u << 30, unseen, &error)) {
      ADD_FAILURE() << error;
      return {0, 0};
    }
    c->logout();
    return {all.size(), unseen.size()};
  }

  void append(const std::string& email) {
    auto c = client();
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(mailimap_append(c->session(), "INBOX", nullptr, nullptr, email.data(), email.size()),
              MAILIMAP_NO_ERROR);
    c->logout();
  }

  std::string url() const {
    return std::string("imap://") + dovecot_server::user + "@127.0.0.1:" + std::to_string(server_->imap_port()) +
           "/INBOX";
  }

 private:
  std::unique_ptr<dovecot_server> server_;
  std::string why_;
  int written_ = 0;
};

pid_t start_serve(const std::vector<std::string>& arguments, const std::string& log) {
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("KALDO_IMAP_PASSWORD", dovecot_server::password, 1);
    FILE* err = std::freopen(log.c_str(), "a", stderr);
    (void)err;
    std::vector<char*> argv{const_cast<char*>(KALDO_PROGRAM), const_cast<char*>("serve")};
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(KALDO_PROGRAM, argv.data());
    _exit(127);
  }
  return pid;
}

// Ends a serve left running by a failed assertion.
struct serve_guard {
  pid_t& pid;
  ~serve_guard() {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

int end_serve(pid_t pid, int signal) {
  kill(pid, signal);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Rows of `messages`, and rows with distinct keys.
std::pair<long long, long long> stored(const std::string& path) {
  if (!std::filesystem::exists(path)) return {0, 0};
  GDALAllRegister();
  std::unique_ptr<GDALDataset> db(
      GDALDataset::Open(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
  if (!db) {
    ADD_FAILURE() << CPLGetLastErrorMsg();
    return {0, 0};
  }
  OGRLayer* result = db->ExecuteSQL(
      "SELECT count(*), count(DISTINCT imei || '/' || momsn || '/' || session_time) FROM messages "
      "WHERE channel = 'imap'",
      nullptr, nullptr);
  if (result == nullptr) {
    ADD_FAILURE() << CPLGetLastErrorMsg();
    return {0, 0};
  }
  std::unique_ptr<OGRFeature> row(result->GetNextFeature());
  std::pair<long long, long long> counts{row ? row->GetFieldAsInteger64(0) : 0, row ? row->GetFieldAsInteger64(1) : 0};
  db->ReleaseResultSet(result);
  return counts;
}

bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds longest) {
  const auto until = std::chrono::steady_clock::now() + longest;
  while (std::chrono::steady_clock::now() < until) {
    if (done()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return done();
}

std::size_t lines_with(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(DovecotServe, StoresEveryEmailThenMovesOrMarksIt) {
  const struct {
    const char* why;
    const char* settings;
    const char* poll;
    std::string done;
  } cases[] = {
      {"IDLE and MOVE: new e-mail within 5 s though the poll is 600 s", "", "600", "Done"},
      {"no IDLE, no MOVE: polling, and COPY, \\Deleted and UID EXPUNGE", without_idle_and_move, "1", "Done"},
      {"no done folder: marked read", "", "600", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    served_mailbox mail(c.settings);
    KALDO_REQUIRE_PART(mail.server(), "no Dovecot: " + mail.why());
    // 6 e-mails, one with two attachments: 7 messages; two replies, one
    // of them marked deleted by the user, which must survive.
    for (int n = 1; n <= 6; ++n) mail.put("INBOX", tracker_email(n, n == 3 ? 2 : 1));
    mail.put("INBOX", reply);
    mail.put("INBOX", reply, "T");
    mail.put("Done", tracker_email(99));  // the folder exists, and keeps what it had
    std::string why;
    ASSERT_TRUE(mail.server()->hand_over_mail(&why)) << why;
    temp_dir work;
    const std::string store = work.path() + "/live.gpkg";
    const std::string log = work.path() + "/log";
    std::vector<std::string> arguments{"--store", store, "--imap", mail.url(), "--imap-poll", c.poll};
    if (!c.done.empty()) arguments.insert(arguments.end(), {"--imap-done", c.done});
    pid_t serve = start_serve(arguments, log);
    serve_guard guard{serve};
    // A message is stored once its line is logged: the log is written after the commit.
    const auto stored_lines = [&] { return lines_with(read_file(log), ": stored ("); };
    const auto done_with = [&](std::size_t emails) {
      return [&, emails] {
        const auto [inbox, unseen] = mail.count("INBOX");
        return c.done.empty() ? inbox == emails + 2 && unseen == 2 : inbox == 2;
      };
    };
    EXPECT_TRUE(wait_for(done_with(6), 20s)) << read_file(log);
    EXPECT_EQ(stored(store), std::make_pair(7LL, 7LL));
    // Settled in its wait: an e-mail that comes now.
    std::this_thread::sleep_for(1500ms);
    const auto sent = std::chrono::steady_clock::now();
    mail.append(tracker_email(7));
    EXPECT_TRUE(wait_for([&] { return stored_lines() == 8; }, 5s)) << read_file(log);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 5s);
    EXPECT_TRUE(wait_for(done_with(7), 5s)) << read_file(log);
    EXPECT_EQ(end_serve(serve, SIGTERM), 0);
    EXPECT_EQ(stored(store), std::make_pair(8LL, 8LL));
    if (!c.done.empty()) {
      EXPECT_EQ(mail.count("Done").first, 8u);  // 7 moved, once each, and its own
    }
    const std::string said = read_file(log);
    EXPECT_EQ(lines_with(said, "holds no tracker message"), 2u) << said;
  }
}

TEST(DovecotServe, ASigkillAmongTheEmailsAndARestartStoreNothingTwice) {
  served_mailbox mail("");
  KALDO_REQUIRE_PART(mail.server(), "no Dovecot: " + mail.why());
  constexpr int emails = 80;
  for (int n = 1; n <= emails; ++n) mail.put("INBOX", tracker_email(n));
  mail.put("INBOX", reply);
  mail.put("Done", tracker_email(999));
  std::string why;
  ASSERT_TRUE(mail.server()->hand_over_mail(&why)) << why;
  temp_dir work;
  const std::string store = work.path() + "/live.gpkg";
  const std::string log = work.path() + "/log";
  const std::vector<std::string> arguments{"--store", store, "--imap", mail.url(), "--imap-done", "Done"};
  pid_t serve = start_serve(arguments, log);
  serve_guard guard{serve};
  ASSERT_TRUE(wait_for([&] { return lines_with(read_file(log), ": stored (") >= 5; }, 20s)) << read_file(log);
  end_serve(serve, SIGKILL);
  const auto at_kill = lines_with(read_file(log), ": stored (");
  EXPECT_LT(at_kill, static_cast<std::size_t>(emails)) << "the kill met no e-mail in flight";
  serve = start_serve(arguments, log);
  EXPECT_TRUE(wait_for([&] { return mail.count("INBOX").first == 1; }, 30s)) << read_file(log);
  EXPECT_EQ(end_serve(serve, SIGTERM), 0);
  EXPECT_EQ(stored(store), std::make_pair(static_cast<long long>(emails), static_cast<long long>(emails)));
  EXPECT_EQ(mail.count("Done").first, static_cast<std::size_t>(emails) + 1);
  EXPECT_EQ(lines_with(read_file(log), "holds no tracker message"), 1u) << read_file(log);
}

}  // namespace
}  // namespace kaldo::tool::testing
