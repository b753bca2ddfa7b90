#include "tool/serve_command.h"

#include <sys/resource.h>
#include <systemd/sd-daemon.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tool/interrupt.h"
#include "tool/run.h"
#include "tool/serve/allow_list.h"
#include "tool/serve/connection_budget.h"
#include "tool/serve/imap_receiver.h"
#include "tool/serve/listener.h"
#include "tool/serve/serve_log.h"
#include "tool/serve/store.h"
#include "tool/sources/imap_folder.h"

namespace kaldo::tool {

namespace {

using namespace std::chrono_literals;
namespace asio = boost::asio;

constexpr int usage_error = 2;
// After SIGTERM, what is in flight gets this long to be answered; systemd
// waits 90 s, our promise is 10.
constexpr auto shutdown_grace = 8s;

struct serve_options {
  std::string destination = "kaldo.gpkg";
  std::string directip;
  std::string http;
  std::vector<std::string> allow;
  double read_timeout = 30;
  std::size_t max_connections = 1024;
  std::string century = "20";
  std::string token_file;
  std::string public_key_file;
  std::string log_format = "text";
  bool insecure = false;
  bool quiet = false;
  std::string imap;
  double imap_poll = 60;
  std::string imap_done;
  mailbox_access mailbox;
};

int refuse(const std::string& text) {
  std::fprintf(stderr, "kaldo serve: %s\n", text.c_str());
  return usage_error;
}

// The file's text without a final line end (token files are written with
// echo); empty with the reason in `*error` when it cannot be read.
std::optional<std::string> read_secret(const std::string& path, const char* what, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) {
    *error = std::string("cannot read the ") + what + " file " + path;
    return std::nullopt;
  }
  if (!in.is_open()) {
    *error = std::string("cannot open the ") + what + " file " + path;
    return std::nullopt;
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty()) {
    *error = std::string("the ") + what + " file " + path + " is empty";
    return std::nullopt;
  }
  return text;
}

// Every accepted connection costs a descriptor: take all the system lets
// this process have, so that accepting never spins on "too many open files".
void raise_open_file_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

std::string describe(const std::string& what, const serve::listen_address& address, unsigned short port) {
  const bool v6 = address.host.find(':') != std::string::npos;
  return what + " on " + (v6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(port);
}

// Empty without --imap; the reason in `*error` when it cannot be used.
std::optional<serve::imap_receiver_settings> imap_settings(const serve_options& options, std::string* error) {
  if (options.imap.empty()) {
    if (!options.imap_done.empty()) *error = "--imap-done needs --imap";
    return std::nullopt;
  }
  serve::imap_receiver_settings settings;
  if (!parse_imap_url(options.imap, &settings.url, error) ||
      !imap_password(options.mailbox, &settings.security.password, error)) {
    return std::nullopt;
  }
  if (!options.mailbox.ca_file.empty() && !std::ifstream(options.mailbox.ca_file)) {
    *error = "cannot read the CA file " + options.mailbox.ca_file;
    return std::nullopt;
  }
  if (!options.imap_done.empty() &&
      !imap_folder_names(options.imap_done, &settings.done_folder, &settings.done_folder_utf8)) {
    *error = "--imap-done is neither UTF-8 nor the server's own name of a folder";
    return std::nullopt;
  }
  if (settings.done_folder == settings.url.folder) {
    *error = "--imap-done names the folder read: nothing would ever leave it";
    return std::nullopt;
  }
  settings.security.ca_file = options.mailbox.ca_file;
  settings.security.timeout = options.mailbox.timeout;
  settings.poll = std::chrono::milliseconds(static_cast<long long>(options.imap_poll * 1000));
  settings.destination = options.destination;
  return settings;
}

int run_serve(const serve_options& options) {
  using namespace serve;
  if (options.directip.empty() && options.http.empty() && options.imap.empty()) {
    return refuse("nothing to receive: give --directip [HOST:]PORT, --http [HOST:]PORT, --imap URL, or more");
  }
  std::string error;
  std::optional<imap_receiver_settings> imap = imap_settings(options, &error);
  if (!error.empty()) return refuse("--imap: " + error);
  std::optional<listen_address> directip_address, http_address;
  if (!options.directip.empty() && !(directip_address = parse_listen_address(options.directip, &error))) {
    return refuse("--directip: " + error);
  }
  if (!options.http.empty() && !(http_address = parse_listen_address(options.http, &error))) {
    return refuse("--http: " + error);
  }
  allow_list allowed;
  for (const std::string& cidr : options.allow) {
    if (!allowed.add(cidr, &error)) return refuse("--allow: " + error);
  }
  webhook_settings webhook;
  if (!options.token_file.empty()) {
    auto token = read_secret(options.token_file, "token", &error);
    if (!token) return refuse(error);
    webhook.token = std::move(*token);
  }
  if (!options.public_key_file.empty()) {
    auto key = read_secret(options.public_key_file, "public key", &error);
    if (!key) return refuse(error);
    webhook.public_key = std::move(*key);
  }
  // A forged DirectIP message could fake an emergency: beyond loopback,
  // only with the gateway's addresses, or when the user says so.
  std::vector<std::string> insecure;
  if (directip_address && beyond_loopback(directip_address->host) && allowed.empty()) {
    insecure.push_back("DirectIP takes messages from any address (no --allow)");
  }
  if (http_address && beyond_loopback(http_address->host) && webhook.token.empty() &&
      webhook.public_key.empty()) {
    insecure.push_back("webhooks are taken without a token or a signature");
  }
  if (!insecure.empty() && !options.insecure) {
    return refuse(insecure.front() + "; refused beyond loopback without --insecure");
  }

  const log_format format = options.log_format == "json" ? log_format::json : log_format::text;
  serve_log log(format, options.quiet);
  for (const std::string& warning : insecure) log.notice("insecure: " + warning);

  raise_open_file_limit();
  store_options store_settings;
  store_settings.century = std::stoi(options.century);
  std::unique_ptr<message_store> store = open_message_store(options.destination, store_settings, &error);
  if (!store) return refuse(error);

  connection_budget budget(options.max_connections);
  asio::io_context io(1);
  listener_context context{io, *store, log, budget};
  const auto read_timeout = std::chrono::milliseconds(static_cast<long long>(options.read_timeout * 1000));
  std::vector<std::shared_ptr<listener>> listeners;
  std::vector<std::string> listening;
  if (directip_address) {
    listener_settings settings{*directip_address, allowed, read_timeout, 4000ms};
    auto opened = open_directip_listener(context, settings, &error);
    if (!opened) return refuse("DirectIP: " + error);
    listening.push_back(describe("DirectIP", *directip_address, opened->port()));
    listeners.push_back(std::move(opened));
  }
  if (http_address) {
    // Providers give up after 3 s.
    listener_settings settings{*http_address, {}, read_timeout, 2500ms};
    auto opened = open_http_listener(context, settings, webhook, {}, &error);
    if (!opened) return refuse("webhooks: " + error);
    listening.push_back(describe("webhooks", *http_address, opened->port()) + "/webhooks/rockblock");
    listeners.push_back(std::move(opened));
  }
  std::unique_ptr<imap_receiver> mailbox;
  if (imap) {
    listening.push_back("IMAP " + imap->url.endpoint.user + "@" + imap->url.endpoint.host + "/" +
                        imap->url.folder_utf8);
    mailbox = start_imap_receiver(std::move(*imap), *store, log);
  }
  std::string ready = "listening: ";
  for (std::size_t i = 0; i < listening.size(); ++i) ready += (i ? ", " : "") + listening[i];
  log.notice(ready + "; storing into " + options.destination);
  sd_notifyf(0, "READY=1\nSTATUS=%s", ready.c_str());

  // SIGTERM and SIGINT are the receiver's own here, not the run's flag of
  // interrupt.h: that flag makes every write refuse, and the messages in
  // flight must still be stored. A second signal ends the process at once;
  // what was confirmed is committed already.
  asio::signal_set signals(io, SIGINT, SIGTERM);
  asio::steady_timer watch(io);
  std::chrono::steady_clock::time_point stop_by{};
  bool stopping = false;
  auto open_connections = [&] {
    std::size_t open = 0;
    for (const auto& l : listeners) open += l->open_connections();
    return open;
  };
  auto begin_stopping = [&] {
    stopping = true;
    stop_by = std::chrono::steady_clock::now() + shutdown_grace;
    sd_notify(0, "STOPPING=1");
    log.notice("stopping: no new connections; answering the " + std::to_string(open_connections()) + " open");
    for (const auto& l : listeners) l->stop();
    // The e-mail at hand is stored and moved, or neither.
    if (mailbox) mailbox->stop();
  };
  std::function<void()> on_signal = [&] {
    signals.async_wait([&](boost::system::error_code failed, int signal) {
      if (failed) return;
      if (stopping) {
        log.notice("second signal: ending at once");
        std::_Exit(128 + signal);
      }
      begin_stopping();
      on_signal();
    });
  };
  on_signal();
  // A signal that came before the handlers above were in place.
  if (interrupt_signal() != 0) begin_stopping();
  std::function<void()> look = [&] {
    watch.expires_after(50ms);
    watch.async_wait([&](boost::system::error_code) {
      const std::size_t open = open_connections();
      if (stopping && (open == 0 || std::chrono::steady_clock::now() >= stop_by)) {
        if (open != 0) log.notice(std::to_string(open) + " connections left unanswered");
        signals.cancel();
        io.stop();
        return;
      }
      look();
    });
  };
  look();
  io.run();
  if (mailbox) mailbox->stop();
  // Whatever was submitted is committed (or answered "not stored") before
  // the process ends.
  store->close();
  log.notice("stopped");
  return 0;
}

}  // namespace

std::function<int()> setup_serve_command(CLI::App& command) {
  auto options = std::make_shared<serve_options>();
  command.add_option("--store", options->destination,
                     "Where messages and positions go: a GeoPackage (.gpkg, default kaldo.gpkg) "
                     "or PG:... (PostgreSQL with PostGIS)");
  command.add_option("--directip", options->directip,
                     "Take the gateway's DirectIP messages on [HOST:]PORT (HOST: 127.0.0.1)");
  command.add_option("--http", options->http,
                     "Take the providers' webhooks (POST /webhooks/rockblock) on [HOST:]PORT");
  command.add_option("--allow", options->allow,
                     "DirectIP: take connections from this network (CIDR) only; repeatable")
      ->allow_extra_args(false);
  command.add_option("--read-timeout", options->read_timeout,
                     "Seconds a connection may take to send its message (default 30)")
      ->check(CLI::Range(0.1, 3600.0));
  command.add_option("--max-connections", options->max_connections,
                     "Connections held at once; more are closed at once (default 1024)")
      ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20));
  add_century_option(command, options->century);
  command.add_option("--webhook-token-file", options->token_file,
                     "Webhooks must carry this file's text as their token query parameter");
  command.add_option("--rockblock-public-key", options->public_key_file,
                     "Webhooks must carry a JWT signed (RS256) with this public key's pair (PEM)");
  command.add_option("--log-format", options->log_format, "text (default) or json: one JSON object a line")
      ->check(CLI::IsMember({"text", "json"}));
  command.add_flag("--insecure", options->insecure,
                   "Listen beyond loopback without --allow (DirectIP) or a token or key (webhooks)");
  command.add_flag("-q,--quiet", options->quiet, "Log only what was refused or not stored");
  command.add_option("--imap", options->imap,
                     "Take the service e-mails of this IMAP folder: imap[s]://USER@HOST[:PORT]/FOLDER");
  command.add_option("--imap-poll", options->imap_poll,
                     "Seconds between looks for new e-mail where the server has no IDLE (default 60)")
      ->check(CLI::Range(1.0, 86400.0));
  command.add_option("--imap-done", options->imap_done,
                     "Move stored e-mails to this folder (else they are marked read)");
  command.add_option("--imap-password-file", options->mailbox.password_file,
                     "The IMAP password, on the file's first line (else from the environment's "
                     "KALDO_IMAP_PASSWORD)");
  command.add_option("--imap-ca-file", options->mailbox.ca_file,
                     "Trust the certificates of this PEM file for imaps:// and STARTTLS instead of "
                     "the system's store");
  command.add_option_function<unsigned>(
             "--imap-timeout",
             [options](unsigned seconds) { options->mailbox.timeout = std::chrono::seconds(seconds); },
             "Give up on a mail server that does not answer within this many seconds (default 30)")
      ->check(CLI::Range(1u, 3600u));
  return [options] { return run_serve(*options); };
}

}  // namespace kaldo::tool
