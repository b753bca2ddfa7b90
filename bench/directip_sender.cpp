// A gateway for benchmarks: sends MESSAGES DirectIP messages to
// 127.0.0.1:PORT over CONNECTIONS connections at once (each connection one
// message, as the gateway does, a new one as soon as it is confirmed), and
// prints how many were confirmed and how fast.
//   directip_sender PORT MESSAGES CONNECTIONS [FIRST_MOMSN]
// Each message carries one position report; session times are this run's,
// so that runs into one store never repeat a message.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string u16(unsigned v) { return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; }
std::string u32(std::uint32_t v) { return u16(v >> 16) + u16(v & 0xFFFF); }
std::string element(int id, const std::string& contents) {
  return static_cast<char>(id) + u16(static_cast<unsigned>(contents.size())) + contents;
}

// One binary position report (28 bytes, little-endian fields) at
// `second` seconds after midnight of 17 May 2024.
std::string report(unsigned second, unsigned n) {
  std::string r(28, '\0');
  r[0] = static_cast<char>(second / 3600 % 24);
  r[1] = static_cast<char>(second / 60 % 60);
  r[2] = static_cast<char>(second % 60);
  r[5] = 24;  // year
  r[6] = 5;   // month
  r[7] = 17;  // day
  r[8] = static_cast<char>(40 + n % 10);  // latitude degrees
  r[9] = static_cast<char>(n % 60);
  r[12] = static_cast<char>(n % 20);      // longitude degrees
  r[13] = static_cast<char>(n / 7 % 60);
  r[16] = 8;                              // satellites
  r[27] = static_cast<char>(0x80);        // valid fix
  return r;
}

std::string frame(unsigned momsn, std::uint32_t session_time) {
  const std::string payload = std::string("\x01\x01", 2) + report(momsn % 86400, momsn);
  const std::string body = element(0x01, u32(momsn) + "300234019999999" + '\0' + u16(momsn & 0xFFFF) +
                                             u16(0) + u32(session_time)) +
                           element(0x02, payload);
  return '\x01' + u16(static_cast<unsigned>(body.size())) + body;
}

bool send_one(unsigned short port, const std::string& bytes) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval wait{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool confirmed = false;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size())) {
    char answer[16];
    std::size_t got = 0;
    ssize_t n;
    while (got < 7 && (n = ::recv(fd, answer + got, sizeof answer - got, 0)) > 0) got += static_cast<std::size_t>(n);
    confirmed = got == 7 && std::string(answer, 7) == std::string("\x01\x00\x04\x05\x00\x01\x01", 7);
  }
  ::close(fd);
  return confirmed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: directip_sender PORT MESSAGES CONNECTIONS [FIRST_MOMSN]\n");
    return 2;
  }
  const auto port = static_cast<unsigned short>(std::atoi(argv[1]));
  const unsigned messages = static_cast<unsigned>(std::atoi(argv[2]));
  const unsigned connections = static_cast<unsigned>(std::atoi(argv[3]));
  const unsigned first = argc > 4 ? static_cast<unsigned>(std::atoi(argv[4])) : 0;
  const auto session_time = static_cast<std::uint32_t>(std::time(nullptr));
  std::vector<std::string> frames;
  for (unsigned i = 0; i < messages; ++i) frames.push_back(frame(first + i, session_time));

  std::atomic<unsigned> next{0}, confirmed{0};
  const auto began = std::chrono::steady_clock::now();
  std::vector<std::thread> senders;
  for (unsigned c = 0; c < connections; ++c) {
    senders.emplace_back([&] {
      for (unsigned i; (i = next++) < messages;) {
        if (send_one(port, frames[i])) ++confirmed;
      }
    });
  }
  for (auto& s : senders) s.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf("%u of %u confirmed in %.3f s: %.1f messages a second, %.3f ms each over %u connections\n",
              confirmed.load(), messages, seconds, confirmed / seconds, seconds * 1000 / messages, connections);
  return confirmed == messages ? 0 : 1;
}
