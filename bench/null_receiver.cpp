// kaldo serve's DirectIP listener with a store that confirms every message
// at once and keeps nothing: what the sender costs, for the benchmark's
// floor. Never a product: it confirms what it does not store.
//   null_receiver PORT      (runs until SIGTERM or SIGINT)
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <cstdio>
#include <cstdlib>

#include "tool/serve/listener.h"

namespace {

using namespace kaldo::tool::serve;

class confirming_store final : public message_store {
 public:
  void submit(received_message, std::function<void(store_result)> done) override {
    store_result result;
    result.committed = true;
    result.status = stored_status::converted;
    done(result);
  }
  void close() override {}
  std::uint64_t commits() const override { return 0; }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: null_receiver PORT\n");
    return 2;
  }
  confirming_store store;
  serve_log log(log_format::text, true);
  connection_budget budget(4096);
  boost::asio::io_context io(1);
  listener_settings settings;
  settings.address = {"127.0.0.1", static_cast<unsigned short>(std::atoi(argv[1]))};
  std::string error;
  auto listener = open_directip_listener({io, store, log, budget}, settings, &error);
  if (!listener) {
    std::fprintf(stderr, "null_receiver: %s\n", error.c_str());
    return 1;
  }
  boost::asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](auto, int) { io.stop(); });
  std::printf("ready %u\n", listener->port());
  std::fflush(stdout);
  io.run();
  return 0;
}
