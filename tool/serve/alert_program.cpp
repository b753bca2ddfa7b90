#include "tool/serve/alert_program.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace kaldo::tool::serve {
namespace {

using clock_type = std::chrono::steady_clock;

std::string name_of(const std::string& entry) { return entry.substr(0, entry.find('=') + 1); }

// The receiver's environment without the names `added` sets, then `added`.
std::vector<std::string> merged_environment(const std::vector<std::string>& added) {
  std::vector<std::string> merged;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string entry(*e);
    bool replaced = false;
    for (const std::string& a : added) replaced = replaced || name_of(a) == name_of(entry);
    if (!replaced) merged.push_back(entry);
  }
  merged.insert(merged.end(), added.begin(), added.end());
  return merged;
}

// A program that exits without reading its input must not end the
// receiver with SIGPIPE: blocked on this thread, the signal stays pending
// here (write() then says EPIPE) and is taken off before it is unblocked.
class sigpipe_blocked {
 public:
  sigpipe_blocked() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &before_);
  }
  ~sigpipe_blocked() {
    const timespec none{0, 0};
    while (sigtimedwait(&pipe_, nullptr, &none) == SIGPIPE) {
    }
    pthread_sigmask(SIG_SETMASK, &before_, nullptr);
  }
  sigpipe_blocked(const sigpipe_blocked&) = delete;
  sigpipe_blocked& operator=(const sigpipe_blocked&) = delete;

 private:
  sigset_t pipe_{}, before_{};
};

class spawn_setup {
 public:
  spawn_setup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~spawn_setup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  spawn_setup(const spawn_setup&) = delete;
  spawn_setup& operator=(const spawn_setup&) = delete;
  posix_spawn_file_actions_t actions{};
  posix_spawnattr_t attributes{};
};

std::string exit_text(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("ended by signal ") + strsignal(WTERMSIG(status));
  return "ended";
}

}  // namespace

program_outcome run_alert_program(const std::string& program, const std::string& input,
                                  const std::vector<std::string>& environment,
                                  std::chrono::milliseconds timeout,
                                  const std::function<bool()>& give_up) {
  sigpipe_blocked pipe_guard;
  int to_child[2];
  if (pipe2(to_child, O_CLOEXEC) != 0) {
    return {false, std::string("cannot make a pipe: ") + std::strerror(errno)};
  }
  spawn_setup setup;
  posix_spawn_file_actions_adddup2(&setup.actions, to_child[0], STDIN_FILENO);
  // Whatever it prints joins the receiver's log.
  posix_spawn_file_actions_adddup2(&setup.actions, STDERR_FILENO, STDOUT_FILENO);
  // Nothing else of the receiver's: not every descriptor it holds is
  // close-on-exec (Asio's sockets are not), and a program that outlives
  // a killed receiver would keep its ports, so that it could not start again.
  posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
  // The child starts with no signal blocked and every signal at its
  // default, whatever the receiver's threads had set.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&setup.attributes, &none);
  posix_spawnattr_setsigdefault(&setup.attributes, &all);
  posix_spawnattr_setpgroup(&setup.attributes, 0);
  posix_spawnattr_setflags(&setup.attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  std::vector<std::string> variables = merged_environment(environment);
  std::vector<char*> envp;
  for (std::string& v : variables) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::string path = program;
  char* argv[] = {path.data(), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes, argv,
                                  envp.data());
  close(to_child[0]);
  if (spawned != 0) {
    close(to_child[1]);
    return {false, "cannot run " + program + ": " + std::strerror(spawned)};
  }
  const auto deadline = clock_type::now() + timeout;
  // The input is written without blocking, so that a program that never
  // reads it still meets its timeout.
  fcntl(to_child[1], F_SETFL, O_NONBLOCK);
  std::size_t written = 0;
  int in = to_child[1];
  int status = 0;
  for (;;) {
    if (in >= 0 && written < input.size()) {
      const ssize_t n = write(in, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) written = input.size();  // EPIPE: it left
    }
    if (in >= 0 && written >= input.size()) {
      close(in);
      in = -1;
    }
    const pid_t ended = waitpid(pid, &status, WNOHANG);
    if (ended == pid) break;
    const bool late = clock_type::now() >= deadline;
    if (late || (give_up && give_up())) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      if (in >= 0) close(in);
      return {false, late ? program + " did not finish within " +
                                std::to_string(timeout.count()) + " ms: killed"
                          : program + " was stopped: the receiver is stopping"};
    }
    if (in >= 0) {
      pollfd wait_for{in, POLLOUT, 0};
      poll(&wait_for, 1, 10);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (in >= 0) close(in);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {true, {}};
  return {false, program + " " + exit_text(status)};
}

}  // namespace kaldo::tool::serve
