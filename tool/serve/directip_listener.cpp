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

class directip_listener final : public accepting_listener {
 public:
  // The gateway opens many connections at once from few addresses: no
  // limit per peer but the budget's own.
  directip_listener(listener_context context, listener_settings settings)
      : accepting_listener(context, std::move(settings), "directip", [](const auto&) { return SIZE_MAX; }) {}

 protected:
  void start_connection(tcp::socket socket, std::string peer) override {
    auto self = std::static_pointer_cast<directip_listener>(shared_from_this());
    std::make_shared<directip_connection>(std::move(self), std::move(socket), std::move(peer))->start();
  }
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
      self->owner_->context().log.message(
          stored_entry("directip", self->peer_, imei, momsn, result, self->answered_));
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
