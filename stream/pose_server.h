#pragma once
// A read-only stream of pose messages to other programs on this machine (or, when asked, the network):
// newline-delimited lines over plain TCP on a port, and the same lines as WebSocket text messages on the
// next port, for browser pages. The sockets live on an I/O thread of the server's own (Boost.Asio, with
// Boost.Beast for HTTP and WebSocket); the caller's thread only hands lines over and never waits on a
// client. What clients send is read at a bounded rate and thrown away (nothing is ever taken as a command);
// WebSocket pings are answered and a client's close is echoed. A client whose queue passes
// kMaxClientQueue bytes has stopped reading: it is dropped, with a line on standard error, so that it
// cannot slow the tracking or grow the heap.
//
// WebSocket handshakes: a request whose Origin is not allowed is refused (403). Allowed are no Origin
// (native clients), "null" (a page opened from a file), the loopback origins http://localhost,
// http://127.0.0.1 and http://[::1], each with or without a port, and the origins given to the
// constructor, compared exactly. A handshake not finished within kHandshakeTimeout is dropped; beyond
// kMaxHandshakes unfinished ones the oldest is dropped, so that idle connections cannot lock clients out.

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quorl {

inline constexpr std::size_t kMaxClientQueue = 1 << 20;  // bytes queued for one client
inline constexpr std::size_t kMaxClients = 64;            // receiving clients; more are closed at once
inline constexpr std::size_t kMaxHandshakes = 16;         // WebSocket handshakes under way at once
inline constexpr std::size_t kMaxHandshake = 8192;        // bytes of a WebSocket request's header
inline constexpr std::chrono::seconds kHandshakeTimeout{3};
inline constexpr std::size_t kReadRate = 1 << 20;   // bytes a second read from one client, at most,
inline constexpr std::size_t kReadBurst = 1 << 16;  // after a burst of this many

// Whether a WebSocket request with header `Origin: origin` may connect (see above); `allowed` are the
// origins allowed besides the default ones.
bool OriginAllowed(std::string_view origin, const std::vector<std::string>& allowed);

// Ownership: the server owns its sockets and its I/O thread; destruction closes every connection and
// joins the thread. Listen once, before any Publish; Publish, Drain and clients() from one thread.
class PoseServer {
 public:
  explicit PoseServer(std::vector<std::string> origins = {});
  ~PoseServer();
  PoseServer(const PoseServer&) = delete;
  PoseServer& operator=(const PoseServer&) = delete;

  // Listens on the IPv4 address `host` at TCP port `port` and WebSocket port `port + 1`, and starts the
  // I/O thread. False, with `error` naming the port and the reason ("port 5555 is in use"), when either
  // cannot be had.
  bool Listen(const std::string& host, int port, std::string& error);
  // Queues `line` (no newline; one is added for TCP) for every client receiving now; returns at once.
  void Publish(const std::string& line);
  // Waits until every client's queue is written, for at most `ms` milliseconds (before the server goes).
  void Drain(int ms);
  // Clients receiving lines (a WebSocket client once its handshake is answered).
  int clients() const;

 private:
  class Client;
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace quorl
