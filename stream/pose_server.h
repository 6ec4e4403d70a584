#pragma once
// A read-only stream of pose messages to other programs on this machine (or, when asked, the network):
// newline-delimited lines over plain TCP on a port, and the same lines as WebSocket text messages on the
// next port, for browser pages. It runs in the caller's thread and never waits: each Publish accepts the
// connections that are waiting, answers WebSocket handshakes, reads and discards whatever clients send
// (nothing is ever taken as a command), queues the line for every client and sends what each socket
// takes. A client whose queue passes kMaxClientQueue bytes has stopped reading: it is dropped, with a line
// on standard error, so that it cannot slow the tracking.

#include <string>
#include <vector>

namespace quorl {

inline constexpr std::size_t kMaxClientQueue = 1 << 20;  // bytes queued for one client
inline constexpr std::size_t kMaxClients = 64;            // more are refused (closed at once)
inline constexpr std::size_t kMaxHandshake = 8192;        // bytes of a WebSocket request

// The WebSocket handshake's Sec-WebSocket-Accept value for a client's Sec-WebSocket-Key.
std::string WebSocketAccept(const std::string& key);

// Ownership: the server owns its sockets and closes them on destruction. One thread at a time.
class PoseServer {
 public:
  PoseServer() = default;
  ~PoseServer();
  PoseServer(const PoseServer&) = delete;
  PoseServer& operator=(const PoseServer&) = delete;

  // Listens on the IPv4 address `host` at TCP port `port` and WebSocket port `port + 1`. False, with
  // `error` naming the port and the reason ("port 5555 is in use"), when either cannot be had.
  bool Listen(const std::string& host, int port, std::string& error);
  // Sends `line` (no newline; one is added for TCP) to every client.
  void Publish(const std::string& line);
  // Accepts, answers handshakes and sends what is queued, without a new line.
  void Poll();
  // Sends what is still queued, for at most `ms` milliseconds (before the server goes away).
  void Drain(int ms);
  // Clients receiving lines (a WebSocket client once its handshake is answered).
  int clients() const;

 private:
  struct Client {
    int fd = -1;
    bool websocket = false;
    bool upgraded = false;  // WebSocket: the handshake was answered
    std::string request;    // WebSocket: the handshake request read so far
    std::string out;        // bytes not yet sent
  };
  void Accept(int listener, bool websocket);
  // Reads what the client sent; false when it closed or broke the handshake.
  bool Read(Client& c);
  // Sends what the socket takes; false on an error.
  static bool Flush(Client& c);
  void Drop(std::size_t i, const char* why);

  int tcp_ = -1;
  int websocket_ = -1;
  std::vector<Client> clients_;
};

}  // namespace quorl
