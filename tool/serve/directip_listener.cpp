// The DirectIP side of `kaldo serve`: the gateway connects, sends one
// frame, and waits for the confirmation, which goes out only once the
// store has committed the message. A frame that is refused gets no
// confirmation at all: the connection is closed and the gateway, set up to
// wait for one, sends the message again later.
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "tool/serve/directip.h"
#include "tool/serve/listener.h"

namespace kaldo::tool::serve {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;
using boost::system::error_code;

received_message received_from(const mo_message& frame, const std::string& peer) {
  received_message message;
  message.channel = "directip";
  message.imei = frame.imei;
  message.momsn = frame.momsn;
  message.session_time = frame.session_time;
  message.received_at = std::chrono::time_point_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now());
  message.mtmsn = frame.mtmsn;
  message.cdr_reference = frame.cdr_reference;
  message.session_status = frame.session_status;
  message.payload = frame.payload;
  if (frame.location) {
    message.iridium_latitude = frame.location->latitude;
    message.iridium_longitude = frame.location->longitude;
    message.iridium_cep_km = frame.location->cep_km;
  }
  message.peer = peer;
  return message;
}

class directip_listener;

class directip_connection : public std::enable_shared_from_this<directip_connection> {
 public:
  directip_connection(std::shared_ptr<directip_listener> owner, tcp::socket socket, std::string peer);
  ~directip_connection();
  void start();

 private:
  void read_rest(std::size_t frame_length);
  void take(const std::string& frame);
  void answer(bool stored);
  void refuse(const std::string& reason);

  // Shared: a connection may outlive the listener's stop, and even its
  // owner's handle, until the io_context lets go of it.
  std::shared_ptr<directip_listener> owner_;
  beast::tcp_stream stream_;
  asio::ip::address address_;
  std::string peer_;
  std::string frame_;
  asio::steady_timer patience_;
  bool answered_ = false;
};

class directip_listener final : public listener,
                                public std::enable_shared_from_this<directip_listener> {
 public:
  directip_listener(listener_context context, listener_settings settings)
      : context_(context), settings_(std::move(settings)), acceptor_(context.io) {}

  bool open(std::string* error) {
    if (!open_acceptor(acceptor_, settings_.address, error)) return false;
    accept();
    return true;
  }

  unsigned short port() const override { return acceptor_.local_endpoint().port(); }
  void stop() override {
    error_code ignored;
    acceptor_.close(ignored);
  }
  std::size_t open_connections() const override { return open_; }

  listener_context& context() { return context_; }
  const listener_settings& settings() const { return settings_; }
  void opened() { ++open_; }
  void closed(const asio::ip::address& address) {
    --open_;
    context_.budget.give_back(address);
  }

 private:
  void accept() {
    acceptor_.async_accept([this, self = shared_from_this()](error_code failed, tcp::socket socket) {
      if (failed == asio::error::operation_aborted || !acceptor_.is_open()) return;
      if (!failed) welcome(std::move(socket));
      // Out of file descriptors or the like: accept again, not at once.
      if (failed) {
        auto pause = std::make_shared<asio::steady_timer>(context_.io, std::chrono::milliseconds(50));
        pause->async_wait([this, self, pause](error_code) {
          if (acceptor_.is_open()) accept();
        });
        return;
      }
      accept();
    });
  }

  void welcome(tcp::socket socket) {
    error_code failed;
    const tcp::endpoint remote = socket.remote_endpoint(failed);
    if (failed) return;
    const std::string peer = peer_text(remote);
    if (!settings_.allowed.empty() && !settings_.allowed.allows(remote.address())) {
      context_.log.refused("directip", peer, "not in the allowed networks");
      return;
    }
    // The gateway opens many connections at once from few addresses.
    if (!context_.budget.take(remote.address(), SIZE_MAX)) {
      context_.log.refused("directip", peer, "too many connections");
      return;
    }
    opened();
    std::make_shared<directip_connection>(shared_from_this(), std::move(socket), peer)->start();
  }

  listener_context context_;
  listener_settings settings_;
  tcp::acceptor acceptor_;
  std::size_t open_ = 0;
};

directip_connection::directip_connection(std::shared_ptr<directip_listener> owner, tcp::socket socket,
                                         std::string peer)
    : owner_(std::move(owner)),
      stream_(std::move(socket)),
      peer_(std::move(peer)),
      patience_(owner_->context().io) {
  error_code ignored;
  address_ = stream_.socket().remote_endpoint(ignored).address();
}

directip_connection::~directip_connection() { owner_->closed(address_); }

void directip_connection::start() {
  frame_.resize(directip_prefix_bytes);
  stream_.expires_after(owner_->settings().read_timeout);
  asio::async_read(stream_, asio::buffer(frame_),
                   [self = shared_from_this()](error_code failed, std::size_t) {
                     if (failed) {
                       // A connection closed without a byte is how some
                       // checks of a port's health look: no line for it.
                       if (failed != asio::error::eof) self->refuse("nothing sent: " + failed.message());
                       return;
                     }
                     const auto length = directip_frame_length(self->frame_);
                     if (!length) return self->refuse(length.reason);
                     self->read_rest(*length.value);
                   });
}

void directip_connection::read_rest(std::size_t frame_length) {
  frame_.resize(frame_length);
  asio::async_read(stream_, asio::buffer(frame_.data() + directip_prefix_bytes,
                                         frame_length - directip_prefix_bytes),
                   [self = shared_from_this()](error_code failed, std::size_t got) {
                     if (failed) {
                       return self->refuse("the frame ended after " +
                                           std::to_string(directip_prefix_bytes + got) + " of " +
                                           std::to_string(self->frame_.size()) + " bytes (" +
                                           failed.message() + ")");
                     }
                     self->take(self->frame_);
                   });
}

void directip_connection::take(const std::string& frame) {
  auto parsed = parse_directip_frame(frame);
  if (!parsed) return refuse(parsed.reason);
  stream_.expires_never();
  received_message message = received_from(*parsed.value, peer_);
  auto& io = owner_->context().io;
  auto self = shared_from_this();
  patience_.expires_after(owner_->settings().store_patience);
  patience_.async_wait([self](error_code failed) {
    if (failed) return;
    if (!self->answered_) {
      self->owner_->context().log.notice("the store did not answer in time for " + self->peer_);
      self->answer(false);
    }
  });
  const std::string imei = message.imei;
  const std::uint32_t momsn = message.momsn;
  // The store answers from its own thread: the connection is handed back
  // to the listeners' thread whole, so that it never ends on the other.
  owner_->context().store.submit(std::move(message), [self, &io, imei, momsn](store_result result) mutable {
    asio::post(io, [self = std::move(self), imei, momsn, result = std::move(result)] {
      message_log_entry entry;
      entry.channel = "directip";
      entry.peer = self->peer_;
      entry.imei = imei;
      entry.momsn = momsn;
      entry.outcome = !result.committed ? "not_stored" : result.duplicate ? "duplicate" : "stored";
      if (result.committed) entry.status = to_string(result.status);
      entry.positions_added = result.positions_added;
      entry.commit_time = result.commit_time;
      entry.reason = result.error;
      if (self->answered_ && result.committed) entry.reason = "committed after the sender was told otherwise";
      self->owner_->context().log.message(entry);
      self->answer(result.committed);
    });
  });
}

void directip_connection::answer(bool stored) {
  if (answered_) return;
  answered_ = true;
  patience_.cancel();
  const std::string_view confirmation = stored ? directip_confirm_success : directip_confirm_failure;
  stream_.expires_after(owner_->settings().read_timeout);
  asio::async_write(stream_, asio::buffer(confirmation.data(), confirmation.size()),
                    [self = shared_from_this()](error_code, std::size_t) {
                      error_code ignored;
                      self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
                      self->stream_.close();
                    });
}

void directip_connection::refuse(const std::string& reason) {
  owner_->context().log.refused("directip", peer_, reason);
  stream_.close();
}

}  // namespace

std::shared_ptr<listener> open_directip_listener(listener_context context, listener_settings settings,
                                                 std::string* error) {
  auto opened = std::make_shared<directip_listener>(context, std::move(settings));
  if (!opened->open(error)) return nullptr;
  return opened;
}

}  // namespace kaldo::tool::serve
