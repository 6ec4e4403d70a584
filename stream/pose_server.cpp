#include "stream/pose_server.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <deque>
#include <future>
#include <list>
#include <optional>
#include <thread>
#include <utility>  // before Boost 1.74's Asio, whose awaitable.hpp needs it under C++20

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

namespace quorl {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;
// A client's socket, read at kReadRate at most.
using RateStream = beast::basic_stream<tcp, asio::any_io_executor, beast::simple_rate_policy>;

namespace {

// `text` fit for one line of a terminal: at most 100 bytes, control characters as '?'.
std::string Printable(std::string_view text) {
  std::string out(text.substr(0, 100));
  std::replace_if(out.begin(), out.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }, '?');
  return out;
}

bool OpenListener(tcp::acceptor& acceptor, const tcp::endpoint& at, std::string& error) {
  ErrorCode ec;
  acceptor.open(at.protocol(), ec);
  if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor.bind(at, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (!ec) return true;
  const std::string where = "port " + std::to_string(at.port());
  error = ec == asio::error::address_in_use ? where + " is in use" : where + ": " + ec.message();
  return false;
}

}  // namespace

bool OriginAllowed(std::string_view origin, const std::vector<std::string>& allowed) {
  if (origin == "null" || std::find(allowed.begin(), allowed.end(), origin) != allowed.end()) return true;
  for (const std::string_view loopback : {"http://localhost", "http://127.0.0.1", "http://[::1]"}) {
    if (origin.substr(0, loopback.size()) != loopback) continue;
    const std::string_view port = origin.substr(loopback.size());
    return port.empty() || (port.size() >= 2 && port.size() <= 6 && port[0] == ':' &&
                            std::all_of(port.begin() + 1, port.end(), [](unsigned char c) { return std::isdigit(c); }));
  }
  return false;
}

// Everything below but Publish, Drain and clients() runs on the I/O thread.
struct PoseServer::State {
  struct Listener {
    Listener(asio::io_context& io, bool ws) : acceptor(io), retry(io), websocket(ws) {}
    tcp::acceptor acceptor;
    asio::steady_timer retry;  // after a failed accept (out of descriptors)
    bool websocket;
  };

  explicit State(std::vector<std::string> allowed) : origins(std::move(allowed)) {}
  void Accept(Listener& listener);
  void Admit(tcp::socket socket, bool websocket);

  asio::io_context io;
  const std::vector<std::string> origins;
  Listener tcp{io, false};
  Listener websocket{io, true};
  std::list<std::shared_ptr<Client>> clients;  // in the order they connected
  std::size_t handshakes = 0;                  // WebSocket clients not yet answered
  std::atomic<int> receiving{0};
  std::thread thread;
};

// One connection. Ownership: the server's list and every operation under way hold it; Close takes it off
// the list, and it goes once its last operation has ended.
class PoseServer::Client : public std::enable_shared_from_this<Client> {
 public:
  Client(State& server, tcp::socket socket, bool websocket)
      : server_(server), ws_(std::move(socket)), websocket_(websocket), handshaking_(websocket) {
    ws_.next_layer().rate_policy().read_limit(kReadRate);
  }

  void Start(std::list<std::shared_ptr<Client>>::iterator place) {
    place_ = place;
    if (websocket_) {
      ++server_.handshakes;
      ReadRequest();
    } else {
      Receiving();
    }
  }
  bool handshaking() const { return handshaking_; }
  bool written() const { return queue_.empty(); }

  // Queues `line`; a client that would have more than kMaxClientQueue bytes waiting is dropped.
  void Send(const std::shared_ptr<const std::string>& line) {
    if (!receiving_) return;  // lines start after the handshake
    const std::size_t bytes = line->size() + (websocket_ ? 0 : 1);
    if (queued_ + bytes > kMaxClientQueue) {
      std::fprintf(stderr, "pose stream: client dropped: it fell behind (stopped reading)\n");
      Close();
      return;
    }
    queue_.push_back(line);
    queued_ += bytes;
    if (queue_.size() == 1) Write();
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    if (receiving_) --server_.receiving;
    if (handshaking_) --server_.handshakes;
    receiving_ = handshaking_ = false;
    beast::get_lowest_layer(ws_).close();
    server_.clients.erase(place_);
  }

 private:
  void ReadRequest() {
    parser_.emplace();
    parser_->header_limit(kMaxHandshake);
    ws_.next_layer().expires_after(kHandshakeTimeout);
    http::async_read(ws_.next_layer(), buffer_, *parser_,
                     [self = shared_from_this()](ErrorCode ec, std::size_t) { self->Answer(ec); });
  }

  void Answer(ErrorCode ec) {
    if (ec || closed_) return Close();
    const auto& request = parser_->get();
    const auto origin = request.find(http::field::origin);
    if (origin != request.end()) {
      const std::string_view value(origin->value().data(), origin->value().size());
      if (!OriginAllowed(value, server_.origins)) return Refuse(value);
    }
    ws_.next_layer().expires_never();
    ws_.set_option(websocket::stream_base::timeout{kHandshakeTimeout, websocket::stream_base::none(), false});
    ws_.auto_fragment(false);  // one frame per message
    ws_.text(true);
    ws_.async_accept(request, [self = shared_from_this()](ErrorCode ec) { self->Accepted(ec); });
  }

  void Refuse(std::string_view origin) {
    std::fprintf(stderr, "pose stream: refused a page from '%s': not an allowed origin\n", Printable(origin).c_str());
    auto response = std::make_shared<http::response<http::string_body>>(http::status::forbidden, 11);
    response->set(http::field::content_type, "text/plain");
    response->body() = "This origin may not read the pose stream.\n";
    response->keep_alive(false);
    response->prepare_payload();
    http::async_write(ws_.next_layer(), *response,
                      [self = shared_from_this(), response](ErrorCode, std::size_t) { self->Close(); });
  }

  void Accepted(ErrorCode ec) {
    if (closed_) return;
    --server_.handshakes;
    handshaking_ = false;
    parser_.reset();
    buffer_.clear();
    if (ec || server_.receiving >= static_cast<int>(kMaxClients)) return Close();
    Receiving();
  }

  void Receiving() {
    receiving_ = true;
    ++server_.receiving;
    Receive();
  }

  // Reads and throws away what the client sends; the WebSocket stream answers pings and echoes a close.
  void Receive() {
    auto next = [self = shared_from_this()](ErrorCode ec, std::size_t) {
      if (ec || self->closed_) return self->Close();
      self->Receive();
    };
    if (websocket_) {
      ws_.async_read_some(asio::buffer(in_), next);
    } else {
      ws_.next_layer().async_read_some(asio::buffer(in_), next);
    }
  }

  void Write() {
    auto done = [self = shared_from_this()](ErrorCode ec, std::size_t) { self->Written(ec); };
    const std::string& line = *queue_.front();
    if (websocket_) {
      ws_.async_write(asio::buffer(line), done);
    } else {
      asio::async_write(ws_.next_layer(), std::array{asio::buffer(line), asio::buffer("\n", 1)}, done);
    }
  }

  void Written(ErrorCode ec) {
    if (ec || closed_) return Close();
    queued_ -= queue_.front()->size() + (websocket_ ? 0 : 1);
    queue_.pop_front();
    if (!queue_.empty()) Write();
  }

  State& server_;
  websocket::stream<RateStream> ws_;  // plain TCP clients use its next layer only
  const bool websocket_;
  bool handshaking_;
  bool receiving_ = false;
  bool closed_ = false;
  std::list<std::shared_ptr<Client>>::iterator place_;  // in server_.clients
  beast::flat_buffer buffer_;                            // the handshake request
  std::optional<http::request_parser<http::empty_body>> parser_;
  std::array<char, 16384> in_;  // what the client sends, thrown away
  std::deque<std::shared_ptr<const std::string>> queue_;  // the first is being written
  std::size_t queued_ = 0;                                // bytes in queue_ (with TCP's newlines)
};

void PoseServer::State::Accept(Listener& listener) {
  listener.acceptor.async_accept([this, &listener](ErrorCode ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (ec) {
      listener.retry.expires_after(std::chrono::milliseconds(100));
      listener.retry.async_wait([this, &listener](ErrorCode waited) {
        if (!waited) Accept(listener);
      });
      return;
    }
    Admit(std::move(socket), listener.websocket);
    Accept(listener);
  });
}

void PoseServer::State::Admit(tcp::socket socket, bool ws) {
  if (receiving >= static_cast<int>(kMaxClients)) return;  // the socket closes as it goes
  if (ws && handshakes >= kMaxHandshakes) {
    const auto oldest = std::find_if(clients.begin(), clients.end(), [](const auto& c) { return c->handshaking(); });
    (*oldest)->Close();
  }
  clients.push_back(std::make_shared<Client>(*this, std::move(socket), ws));
  clients.back()->Start(std::prev(clients.end()));
}

PoseServer::PoseServer(std::vector<std::string> origins) : state_(std::make_unique<State>(std::move(origins))) {}

PoseServer::~PoseServer() {
  if (!state_->thread.joinable()) return;
  state_->io.stop();
  state_->thread.join();
  // The list, then the io_context with the operations left, release the clients and close their sockets.
}

bool PoseServer::Listen(const std::string& host, int port, std::string& error) {
  if (port < 1 || port > 65534) {
    error = "port " + std::to_string(port) + " is not from 1 to 65534";
    return false;
  }
  ErrorCode ec;
  const asio::ip::address_v4 address = asio::ip::make_address_v4(host, ec);
  if (ec) {
    error = "'" + host + "' is not an IPv4 address";
    return false;
  }
  State& s = *state_;
  if (!OpenListener(s.tcp.acceptor, {address, static_cast<unsigned short>(port)}, error) ||
      !OpenListener(s.websocket.acceptor, {address, static_cast<unsigned short>(port + 1)}, error)) {
    s.tcp.acceptor.close(ec);
    s.websocket.acceptor.close(ec);
    return false;
  }
  s.Accept(s.tcp);
  s.Accept(s.websocket);
  s.thread = std::thread([&s] { s.io.run(); });
  return true;
}

void PoseServer::Publish(const std::string& line) {
  if (state_->receiving == 0) return;
  auto shared = std::make_shared<const std::string>(line);
  asio::post(state_->io, [&s = *state_, shared] {
    for (auto it = s.clients.begin(); it != s.clients.end();) (*it++)->Send(shared);  // Send may drop *it
  });
}

void PoseServer::Drain(int ms) {
  if (!state_->thread.joinable()) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    std::promise<bool> written;
    asio::post(state_->io, [&] {
      written.set_value(std::all_of(state_->clients.begin(), state_->clients.end(),
                                    [](const auto& c) { return c->written(); }));
    });
    if (written.get_future().get() || std::chrono::steady_clock::now() >= deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

int PoseServer::clients() const { return state_->receiving; }

}  // namespace quorl
