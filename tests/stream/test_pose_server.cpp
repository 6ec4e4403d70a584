// The pose server on its own: the WebSocket handshake's accept value, and a client that stops reading
// dropped once its queue is full while a reading client keeps every line.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "stream/pose_server.h"

namespace quorl {
namespace {

TEST(PoseServer, AnswersTheWebSocketHandshakeAsTheStandardSays) {
  // The example of RFC 6455, section 1.3.
  EXPECT_EQ(WebSocketAccept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

TEST(PoseServer, DropsAClientThatStopsReadingAndKeepsTheOthers) {
  PoseServer server;
  std::string error;
  ASSERT_TRUE(server.Listen("127.0.0.1", 47701, error)) << error;
  const int silent = Connect(47701);
  const int reader = Connect(47701);
  server.Poll();
  ASSERT_EQ(server.clients(), 2);
  const std::string line(4000, 'x');
  constexpr std::size_t kLines = 4000;  // 16 MB: more than the kernel buffers a silent client and kMaxClientQueue
  std::size_t received = 0;
  char buffer[1 << 16];
  for (std::size_t i = 0; i < kLines; ++i) {
    server.Publish(line);
    for (ssize_t n; (n = recv(reader, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) received += static_cast<std::size_t>(n);
  }
  EXPECT_EQ(server.clients(), 1);  // the silent one fell behind by over kMaxClientQueue bytes
  server.Drain(2000);
  for (ssize_t n; (n = recv(reader, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) received += static_cast<std::size_t>(n);
  EXPECT_EQ(received, kLines * (line.size() + 1));
  close(silent);
  close(reader);
  EXPECT_FALSE(PoseServer().Listen("127.0.0.1", 47701, error));
  EXPECT_EQ(error, "port 47701 is in use");
  EXPECT_FALSE(PoseServer().Listen("localhost", 47703, error));
  EXPECT_EQ(error, "'localhost' is not an IPv4 address");
}

}  // namespace
}  // namespace quorl
