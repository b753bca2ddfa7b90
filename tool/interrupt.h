// Ctrl-C and SIGTERM during a run: the first asks the run to stop (it
// stops reading, lets the messages in flight finish, leaves every output
// as it was or whole, and ends its report); a second ends the process at
// once, as the signal would have.
#pragma once

namespace kaldo::tool {

// Catches SIGINT and SIGTERM while it lives; the handlers before it come
// back afterwards.
class interrupt_guard {
 public:
  interrupt_guard();
  ~interrupt_guard();
  interrupt_guard(const interrupt_guard&) = delete;
  interrupt_guard& operator=(const interrupt_guard&) = delete;
};

// The signal that asked the run to stop, or 0. Safe from any thread.
int interrupt_signal() noexcept;

}  // namespace kaldo::tool
