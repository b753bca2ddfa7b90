#include "tool/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace kaldo::tool {

namespace {

std::atomic<int> received{0};
struct sigaction previous_int, previous_term;

void on_signal(int signal) {
  int none = 0;
  if (received.compare_exchange_strong(none, signal)) return;
  // The second: no more waiting for the run. The line the progress was
  // drawn on is ended first, as the normal way out would.
  constexpr char said[] = "\nkaldo: interrupted again, stopping at once\n";
  [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, said, sizeof said - 1);
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

}  // namespace

interrupt_guard::interrupt_guard() {
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  // Reads and writes in progress go on rather than fail with EINTR.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &previous_int);
  sigaction(SIGTERM, &action, &previous_term);
}

interrupt_guard::~interrupt_guard() {
  sigaction(SIGINT, &previous_int, nullptr);
  sigaction(SIGTERM, &previous_term, nullptr);
}

int interrupt_signal() noexcept { return received.load(std::memory_order_relaxed); }

}  // namespace kaldo::tool
