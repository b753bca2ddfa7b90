#include "tool/serve_command.h"

#include <sys/resource.h>
#include <unistd.h>
#include <systemd/sd-daemon.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
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
#include "tool/serve/alert_claims.h"
#include "tool/serve/alert_dispatcher.h"
#include "tool/serve/alert_post.h"
#include "tool/serve/allow_list.h"
#include "tool/serve/connection_budget.h"
#include "tool/serve/event_stream.h"
#include "tool/serve/features_api.h"
#include "tool/serve/live_map.h"
#include "tool/serve/imap_receiver.h"
#include "tool/serve/listener.h"
#include "tool/serve/metrics.h"
#include "tool/serve/read_access.h"
#include "tool/serve/serve_log.h"
#include "tool/serve/store.h"
#include "tool/serve/tls_certificate.h"
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
  std::string read_token_file;
  bool public_read = false;
  std::string tls_cert;
  std::string tls_key;
  std::string log_format = "text";
  bool insecure = false;
  bool quiet = false;
  std::string on_emergency;
  std::string alert_url;
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
  read_access reading;
  reading.public_read = options.public_read;
  if (!options.read_token_file.empty()) {
    if (options.public_read) return refuse("--public-read and --read-token-file: give one or the other");
    auto token = read_secret(options.read_token_file, "read token", &error);
    if (!token) return refuse(error);
    reading.token = std::move(*token);
  }
  std::shared_ptr<tls_certificate> tls;
  if (options.tls_cert.empty() != options.tls_key.empty()) return refuse("--tls-cert and --tls-key go together");
  if (!options.tls_cert.empty()) {
    if (!http_address) return refuse("--tls-cert: HTTPS is served on the --http port; give --http");
    tls = tls_certificate::load(options.tls_cert, options.tls_key, &error);
    if (!tls) return refuse(error);
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

  if (!options.on_emergency.empty() && access(options.on_emergency.c_str(), X_OK) != 0) {
    return refuse("--on-emergency: " + options.on_emergency + " is not a program this user can run");
  }
  if (!options.alert_url.empty() && !usable_alert_url(options.alert_url, &error)) {
    return refuse("--alert-url: " + error);
  }

  const log_format format = options.log_format == "json" ? log_format::json : log_format::text;
  serve_log log(format, options.quiet);
  serve_metrics metrics;
  log.count_into(&metrics);
  for (const std::string& warning : insecure) log.notice("insecure: " + warning);

  raise_open_file_limit();
  store_options store_settings;
  store_settings.century = std::stoi(options.century);
  alert_settings alerting;
  alerting.destination = options.destination;
  alerting.program = options.on_emergency;
  alerting.url = options.alert_url;
  alerting.owner = new_alert_owner();
  // Commits feed the alerts only once the dispatcher exists, which is
  // before anything is received.
  std::atomic<alert_dispatcher*> alerts{nullptr};
  store_settings.alert_targets = alert_targets(alerting);
  if (!store_settings.alert_targets.empty()) store_settings.alert_owner = alerting.owner;
  std::unique_ptr<message_store> store = open_message_store(options.destination, store_settings, &error);
  if (!store) return refuse(error);
  if (!store_settings.alert_targets.empty()) {
    store->on_commit([&alerts](const std::vector<committed_point>& points) {
      alert_dispatcher* a = alerts.load();
      if (a == nullptr) return;
      std::vector<track_point> added;
      added.reserve(points.size());
      for (const committed_point& p : points) added.push_back(p.point);
      a->committed(added);
    });
  }

  connection_budget budget(options.max_connections);
  asio::io_context io(1);
  listener_context context{io, *store, log, budget};
  const auto read_timeout = std::chrono::milliseconds(static_cast<long long>(options.read_timeout * 1000));
  std::vector<std::shared_ptr<listener>> listeners;
  std::vector<std::string> listening;
  if (directip_address) {
    listener_settings settings{*directip_address, allowed, read_timeout, 4000ms, nullptr};
    auto opened = open_directip_listener(context, settings, &error);
    if (!opened) return refuse("DirectIP: " + error);
    listening.push_back(describe("DirectIP", *directip_address, opened->port()));
    listeners.push_back(std::move(opened));
  }
  std::unique_ptr<features_api> api;
  // The live map and its events, beside the webhook on the --http port.
  std::unique_ptr<event_stream> events;
  std::unique_ptr<live_map> map;
  if (http_address) {
    api = open_features_api({options.destination, tls ? "https" : "http"});
    events = event_stream::start(options.destination, *store, {}, &error);
    if (!events) return refuse("events: " + error);
    map = live_map::start(options.destination, &error);
    if (!map) return refuse("live map: " + error);
    // Whatever the port shows is read behind the same check.
    std::vector<http_route> routes = {map->route(), events->route(), api->route(), metrics_route(metrics),
                                      health_route(metrics)};
    // Providers give up after 3 s.
    listener_settings settings{*http_address, {}, read_timeout, 2500ms, tls};
    auto opened = open_http_listener(context, settings, webhook, guarded(std::move(routes), reading), &error);
    if (!opened) return refuse("webhooks: " + error);
    listening.push_back(describe(tls ? "webhooks (HTTPS)" : "webhooks", *http_address, opened->port()) +
                        "/webhooks/rockblock");
    listeners.push_back(std::move(opened));
  }
  metrics.count_connections_with([&listeners] {
    std::size_t open = 0;
    for (const auto& l : listeners) open += l->open_connections();
    return open;
  });
  // Nothing is received before io.run(): the dispatcher is in place before
  // the first commit, and takes no alert over when the ports were refused.
  std::unique_ptr<alert_dispatcher> dispatcher;
  if (!store_settings.alert_targets.empty()) {
    dispatcher = std::make_unique<alert_dispatcher>(alerting, log);
    alerts.store(dispatcher.get());
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
  // SIGHUP: the renewed certificate for the connections to come.
  asio::signal_set hangups(io, SIGHUP);
  std::function<void()> on_hangup = [&] {
    hangups.async_wait([&](boost::system::error_code failed, int) {
      if (failed) return;
      std::string why;
      if (!tls) {
        log.notice("SIGHUP: no certificate to reload");
      } else if (tls->reload(&why)) {
        log.notice("SIGHUP: certificate reloaded for new connections");
      } else {
        log.notice("SIGHUP: keeping the certificate in use: " + why);
      }
      on_hangup();
    });
  };
  on_hangup();
  // A signal that came before the handlers above were in place.
  if (interrupt_signal() != 0) begin_stopping();
  std::function<void()> look = [&] {
    watch.expires_after(50ms);
    watch.async_wait([&](boost::system::error_code) {
      const std::size_t open = open_connections();
      if (stopping && (open == 0 || std::chrono::steady_clock::now() >= stop_by)) {
        if (open != 0) log.notice(std::to_string(open) + " connections left unanswered");
        signals.cancel();
        hangups.cancel();
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
  events.reset();
  map.reset();
  if (dispatcher) {
    // An alert under way gets what is left of the promised 10 s.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        stop_by + 1500ms - std::chrono::steady_clock::now());
    dispatcher->stop(std::max<std::chrono::milliseconds>(left, 200ms));
  }
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
  command.add_option("--read-token-file", options->read_token_file,
                     "Pages, /api, /metrics need this file's text: as a bearer token, as the "
                     "Basic password, or as ?token=");
  command.add_flag("--public-read", options->public_read,
                   "Without a read token, answer reads from every address, not this machine's only");
  command.add_option("--tls-cert", options->tls_cert,
                     "Serve HTTPS on the --http port with this certificate (PEM, chain after it); "
                     "SIGHUP reads it again");
  command.add_option("--tls-key", options->tls_key, "The certificate's private key (PEM)");
  command.add_option("--log-format", options->log_format, "text (default) or json: one JSON object a line")
      ->check(CLI::IsMember({"text", "json"}));
  command.add_flag("--insecure", options->insecure,
                   "Listen beyond loopback without --allow (DirectIP) or a token or key (webhooks)");
  command.add_option("--on-emergency", options->on_emergency,
                     "Run this program (no shell) once per new emergency report: the report as "
                     "JSON on its input, KALDO_MODEM_ID, KALDO_TIME, KALDO_LATITUDE and "
                     "KALDO_LONGITUDE in its environment; 30 s to finish");
  command.add_option("--alert-url", options->alert_url,
                     "POST each new emergency report as JSON to this URL, with an "
                     "Idempotency-Key header; retried for up to an hour");
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
