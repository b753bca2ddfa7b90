#include "tool/serve/imap_receiver.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>
#include <vector>

#include "tool/serve/mailbox_email.h"

namespace kaldo::tool::serve {
namespace {

using namespace std::chrono_literals;

// Servers end an IDLE after 30 minutes at most; it is begun anew before.
constexpr std::chrono::milliseconds longest_idle = 25min;
// E-mails held in memory at once, between their fetch and their storing.
constexpr std::size_t emails_per_fetch = 50;

enum class session_end { stopped, failed, failed_at_once, login_refused };

class receiver final : public imap_receiver {
 public:
  receiver(imap_receiver_settings settings, message_store& store, serve_log& log)
      : settings_(std::move(settings)), store_(store), log_(log) {
    if (pipe(wake_) != 0) wake_[0] = wake_[1] = -1;
    thread_ = std::thread([this] { run(); });
  }
  ~receiver() override {
    stop();
    for (const int fd : wake_) {
      if (fd >= 0) close(fd);
    }
  }

  void stop() override {
    if (!stopping_.exchange(true) && wake_[1] >= 0) {
      [[maybe_unused]] const auto written = write(wake_[1], "x", 1);
    }
    if (thread_.joinable()) thread_.join();
  }

 private:
  // Waits `how_long` unless told to stop; false when told.
  bool pause(std::chrono::milliseconds how_long) {
    pollfd woken{wake_[0], POLLIN, 0};
    ::poll(&woken, 1, static_cast<int>(how_long.count()));
    return !stopping_;
  }

  std::string where() const {
    return settings_.url.endpoint.user + "@" + settings_.url.endpoint.host + "/" + settings_.url.folder_utf8;
  }

  void run() {
    auto backoff = settings_.first_backoff;
    while (!stopping_) {
      std::string error;
      const session_end end = session(&error);
      if (end == session_end::stopped || stopping_) break;
      if (end == session_end::login_refused) {
        log_.notice("IMAP " + where() + ": " + error + "; trying again in " +
                    std::to_string(settings_.login_retry.count() / 1000) + " s");
        pause(settings_.login_retry);
        continue;
      }
      // A session that got going has shown the server to be there.
      if (end == session_end::failed) backoff = settings_.first_backoff;
      log_.notice("IMAP " + where() + ": " + error + "; connecting again in " +
                  std::to_string(backoff.count()) + " ms");
      pause(backoff);
      backoff = std::min(backoff * 2, settings_.longest_backoff);
    }
  }

  session_end session(std::string* error) {
    bool refused = false;
    std::unique_ptr<imap_client> client =
        imap_client::open(settings_.url.endpoint, settings_.security, error, &refused);
    if (!client) return refused ? session_end::login_refused : session_end::failed_at_once;
    std::uint32_t uidvalidity = 0;
    std::optional<mailbox_progress> progress;
    char separator = 0;
    if (!client->select(settings_.url.folder, &uidvalidity, error) ||
        (!settings_.done_folder.empty() && !client->separator_of(settings_.done_folder, &separator, error)) ||
        !read_mailbox_progress(settings_.destination, settings_.url.folder_utf8, &progress, error)) {
      return session_end::failed_at_once;
    }
    std::uint32_t last = 0;
    if (progress && progress->uidvalidity == uidvalidity) {
      last = progress->last_uid;
    } else if (progress) {
      log_.notice("IMAP " + where() + ": the folder's UIDVALIDITY changed from " +
                  std::to_string(progress->uidvalidity) + " to " + std::to_string(uidvalidity) +
                  ": reading it again from the start (what is stored already is not stored again)");
    }
    const bool idle = client->offers("IDLE");
    if (!connected_once_) {
      log_.notice("IMAP " + where() + ": " + (idle ? "waiting for e-mail in IDLE" : "the server has no IDLE: looking for e-mail every " + std::to_string(settings_.poll.count() / 1000) + " s") + "; done e-mails " + (settings_.done_folder.empty() ? std::string("are marked read") : "go to " + settings_.done_folder_utf8));
      connected_once_ = true;
    }
    // What a crash may have left: e-mails stored but not yet moved or
    // marked. E-mails up to `last` that hold no message were named before.
    if (uidvalidity != listed_validity_) listed_up_to_ = 0;
    listed_validity_ = uidvalidity;
    listed_up_to_ = std::max(listed_up_to_, last);
    std::vector<std::uint32_t> left, newer;
    if (settings_.done_folder.empty() ? !client->unseen_uids(last, left, error) : !client->uids(1, left, error)) {
      return session_end::failed;
    }
    if (!client->uids(last + 1, newer, error)) return session_end::failed;
    left.insert(left.end(), newer.begin(), newer.end());
    std::sort(left.begin(), left.end());
    left.erase(std::unique(left.begin(), left.end()), left.end());
    std::uint32_t next = last + 1;
    if (!take(*client, left, uidvalidity, &next, error)) return session_end::failed;
    while (!stopping_) {
      if (idle) {
        if (!client->idle(std::min(settings_.poll, longest_idle), wake_[0], error)) return session_end::failed;
      } else if (!pause(settings_.poll)) {
        break;
      }
      if (stopping_) break;
      std::vector<std::uint32_t> arrived;
      if (!client->uids(next, arrived, error) || !take(*client, arrived, uidvalidity, &next, error)) {
        return session_end::failed;
      }
    }
    client->logout();
    return session_end::stopped;
  }

  // Stores and moves the e-mails of `uids`, in order; `*next` follows.
  bool take(imap_client& client, const std::vector<std::uint32_t>& uids, std::uint32_t uidvalidity,
            std::uint32_t* next, std::string* error) {
    for (std::size_t first = 0; first < uids.size() && !stopping_; first += emails_per_fetch) {
      const std::vector<std::uint32_t> batch(
          uids.begin() + static_cast<std::ptrdiff_t>(first),
          uids.begin() + static_cast<std::ptrdiff_t>(std::min(uids.size(), first + emails_per_fetch)));
      // Copied out of libetpan's answer, which the next command may reuse.
      std::vector<std::pair<std::uint32_t, std::string>> emails;
      if (!client.fetch(batch, [&](std::uint32_t uid, std::string_view bytes) { emails.emplace_back(uid, bytes); },
                        error)) {
        return false;
      }
      for (const auto& [uid, bytes] : emails) {
        // A stop lets the e-mail at hand finish: stored and moved, or neither.
        if (stopping_) return true;
        if (!take_one(client, mailbox_place{settings_.url.folder_utf8, uidvalidity, uid}, bytes, error)) {
          return false;
        }
        *next = std::max(*next, uid + 1);
      }
    }
    return true;
  }

  bool take_one(imap_client& client, const mailbox_place& place, const std::string& bytes, std::string* error) {
    const auto now = std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
    email_messages read = read_mailbox_email(bytes, place, now);
    const std::string name = place.folder + "." + std::to_string(place.uid) + ".eml";
    if (read.messages.empty()) {
      if (place.uid > listed_up_to_) {
        log_.notice("IMAP " + where() + ": " + escaped_for_log(name) + " holds no tracker message (" +
                    escaped_for_log(read.none_because) + "): left in the folder");
        listed_up_to_ = place.uid;
      }
      // Only the folder's progress: not named again after a restart.
      received_message progress;
      progress.channel = "imap";
      progress.mailbox = place;
      const store_result result = store_.store(std::move(progress));
      if (!result.committed) {
        *error = "cannot record the folder's progress: " + result.error;
        return false;
      }
      return true;
    }
    received_message head = std::move(read.messages.front());
    head.together.assign(std::make_move_iterator(read.messages.begin() + 1),
                         std::make_move_iterator(read.messages.end()));
    std::vector<message_log_entry> lines;
    for (const received_message* m = &head; m != nullptr;) {
      message_log_entry line;
      line.channel = "imap";
      line.peer = name;
      line.imei = m->imei;
      line.momsn = m->momsn;
      lines.push_back(std::move(line));
      const std::size_t at = lines.size() - 1;
      m = at < head.together.size() ? &head.together[at] : nullptr;
    }
    const store_result result = store_.store(std::move(head));
    for (std::size_t i = 0; i < lines.size(); ++i) {
      message_log_entry& line = lines[i];
      line.outcome = !result.committed ? "not_stored" : result.duplicate ? "duplicate" : "stored";
      if (result.committed) line.status = to_string(result.status);
      if (i == 0) line.positions_added = result.positions_added;
      line.commit_time = result.commit_time;
      line.reason = result.error;
      log_.message(line);
    }
    if (!result.committed) {
      *error = "the store did not commit " + name + ": " + result.error;
      return false;
    }
    listed_up_to_ = std::max(listed_up_to_, place.uid);
    if (!settings_.done_folder.empty()) {
      if (client.offers("MOVE") || client.offers("UIDPLUS")) return client.move(place.uid, settings_.done_folder, error);
      if (!warned_no_move_) {
        log_.notice("IMAP " + where() + ": the server offers neither MOVE nor UID EXPUNGE: done e-mails are "
                    "marked read, not moved (a plain EXPUNGE would remove others marked deleted)");
        warned_no_move_ = true;
      }
    }
    return client.mark_seen(place.uid, error);
  }

  imap_receiver_settings settings_;
  message_store& store_;
  serve_log& log_;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  // Only the receiver's thread touches these.
  std::uint32_t listed_up_to_ = 0;
  std::uint32_t listed_validity_ = 0;
  bool connected_once_ = false;
  bool warned_no_move_ = false;
};

}  // namespace

std::unique_ptr<imap_receiver> start_imap_receiver(imap_receiver_settings settings, message_store& store,
                                                   serve_log& log) {
  return std::make_unique<receiver>(std::move(settings), store, log);
}

}  // namespace kaldo::tool::serve
