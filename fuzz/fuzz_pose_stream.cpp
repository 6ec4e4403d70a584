// What a pose stream client can send: a WebSocket handshake and the frames after it, to a live server over
// loopback. Each input goes to the WebSocket port on a new connection that is then half-closed, while a
// line is published; the server must close the connection in turn, never waiting on a client that is done.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "fuzz/require.h"
#include "stream/pose_server.h"

using quorl::fuzz::Require;

namespace {

constexpr int kPort = 27795;  // TCP, WebSocket on the next: below the ephemeral range

quorl::PoseServer& Server() {
  static quorl::PoseServer server({"https://example.org"});
  static const bool listening = [] {
    std::string error;
    return server.Listen("127.0.0.1", kPort, error);
  }();
  Require(listening, "the fuzz ports are free");
  return server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  quorl::PoseServer& server = Server();
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kPort + 1);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Require(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "the server accepts");
  const timeval limit{quorl::kHandshakeTimeout.count() + 2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  // The server may close first (a refused request): sending then fails, which is no fault.
  for (std::size_t sent = 0; sent < size;) {
    const ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  server.Publish("{\"frame\":0}");
  shutdown(fd, SHUT_WR);
  char buffer[4096];
  ssize_t n = 0;
  while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
  }
  Require(n == 0 || errno == ECONNRESET, "the server closes a connection whose client is done");
  close(fd);
  return 0;
}
