// The pose server on its own, with Beast's WebSocket client on the other side: a client that stops reading
// dropped while a reading one keeps every line; pings answered, closes echoed, origins checked;
// unfinished handshakes neither kept nor locking a client out; a client pinging for a minute kept.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>  // before Boost 1.74's Asio under C++20

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "stream/pose_server.h"

namespace quorl {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using ErrorCode = boost::system::error_code;
using namespace std::chrono_literals;

// A plain socket to 127.0.0.1:`port`, its receiving buffer small and its reads given up after 5 s.
int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const timeval limit{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

// A WebSocket client whose every operation is given up after a time limit.
struct Client {
  asio::io_context io;
  websocket::stream<asio::ip::tcp::socket> ws{io};
  websocket::response_type response;
  int pongs = 0;

  // Runs what `start` begins for at most `limit`: its error, or timed_out.
  template <class Start>
  ErrorCode Run(Start start, std::chrono::milliseconds limit = 5s) {
    std::optional<ErrorCode> result;
    start([&](ErrorCode ec, auto&&...) { result = ec; });
    io.restart();
    io.run_for(limit);
    if (result) return *result;
    ws.next_layer().close();
    io.restart();
    io.run();
    return asio::error::timed_out;
  }
  // Connects to `port` and shakes hands, sending `origin` unless it is empty.
  ErrorCode Open(int port, const std::string& origin = {}, std::chrono::milliseconds limit = 5s) {
    ws.next_layer().connect({asio::ip::make_address_v4("127.0.0.1"), static_cast<unsigned short>(port)});
    ws.set_option(websocket::stream_base::decorator([origin](websocket::request_type& request) {
      if (!origin.empty()) request.set(beast::http::field::origin, origin);
    }));
    ws.control_callback([this](websocket::frame_type kind, beast::string_view) {
      pongs += kind == websocket::frame_type::pong;
    });
    return Run([&](auto done) { ws.async_handshake(response, "localhost", "/", done); }, limit);
  }
  ErrorCode Ping() { return Run([&](auto done) { ws.async_ping({}, done); }); }
  // The next text message, or empty after an error.
  std::string Read() {
    beast::flat_buffer buffer;
    if (Run([&](auto done) { ws.async_read(buffer, done); })) return {};
    return beast::buffers_to_string(buffer.data());
  }
};

TEST(PoseServer, DropsAClientThatStopsReadingAndKeepsTheOthers) {
  PoseServer server;
  std::string error;
  ASSERT_TRUE(server.Listen("127.0.0.1", 27701, error)) << error;
  const int silent = Connect(27701);
  const int reader = Connect(27701);
  while (server.clients() < 2) std::this_thread::sleep_for(1ms);
  const std::string line(4000, 'x');
  constexpr std::size_t kLines = 4000;  // 16 MB: more than the kernel buffers a silent client and kMaxClientQueue
  std::size_t received = 0;
  char buffer[1 << 16];
  for (std::size_t i = 0; i < kLines; ++i) {
    server.Publish(line);
    for (ssize_t n = 1; n > 0 && received < (i + 1) * (line.size() + 1);) {
      n = recv(reader, buffer, sizeof buffer, 0);
      received += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
    }
  }
  EXPECT_EQ(received, kLines * (line.size() + 1));
  EXPECT_EQ(server.clients(), 1);  // the silent one fell behind by over kMaxClientQueue bytes
  close(silent);
  close(reader);
  EXPECT_FALSE(PoseServer().Listen("127.0.0.1", 27701, error));
  EXPECT_EQ(error, "port 27701 is in use");
  EXPECT_FALSE(PoseServer().Listen("localhost", 27703, error));
  EXPECT_EQ(error, "'localhost' is not an IPv4 address");
}

TEST(PoseServer, AnswersPingsEchoesClosesAndRefusesOtherOrigins) {
  PoseServer server({"https://example.org"});
  std::string error;
  ASSERT_TRUE(server.Listen("127.0.0.1", 27705, error)) << error;
  for (const char* origin : {"", "null", "http://localhost", "http://localhost:8000", "http://127.0.0.1:1",
                             "http://[::1]:65535", "https://example.org"}) {
    Client client;
    EXPECT_FALSE(client.Open(27706, origin)) << origin;
    while (server.clients() < 1) std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(client.Ping()) << origin;
    for (int i = 0; i < 50 && client.pongs == 0; ++i) {
      server.Publish("{\"frame\":1}");
      EXPECT_EQ(client.Read(), "{\"frame\":1}") << origin;
    }
    EXPECT_EQ(client.pongs, 1) << origin;
    EXPECT_FALSE(client.Run([&](auto done) { client.ws.async_close(websocket::close_code::normal, done); }))
        << origin;  // completes only when the server answers the close
    while (server.clients() > 0) std::this_thread::sleep_for(1ms);
  }
  for (const char* origin : {"https://evil.example", "http://localhost.evil.example", "http://127.0.0.1:80x",
                             "http://localhost:", "https://localhost", "https://example.org.evil", "NULL"}) {
    Client client;
    EXPECT_EQ(client.Open(27706, origin), websocket::error::upgrade_declined) << origin;
    EXPECT_EQ(client.response.result(), beast::http::status::forbidden) << origin;
  }
  EXPECT_EQ(server.clients(), 0);
}

TEST(PoseServer, UnfinishedHandshakesAreDroppedAndLockNoClientOut) {
  PoseServer server;
  std::string error;
  ASSERT_TRUE(server.Listen("127.0.0.1", 27707, error)) << error;
  std::vector<int> idle;
  const std::string partial = "GET / HTTP/1.1\r\nHost: localhost\r\n";
  for (int i = 0; i < 100; ++i) {
    idle.push_back(Connect(27708));
    ASSERT_EQ(send(idle.back(), partial.data(), partial.size(), 0), static_cast<ssize_t>(partial.size()));
  }
  Client client;
  EXPECT_FALSE(client.Open(27708, {}, 1000ms));
  while (server.clients() < 1) std::this_thread::sleep_for(1ms);
  server.Publish("{}");
  EXPECT_EQ(client.Read(), "{}");
  int closed = 0;  // the oldest at once to make room, the rest after kHandshakeTimeout; recv gives up after 5 s
  char byte;
  for (const int fd : idle) {
    const ssize_t n = recv(fd, &byte, 1, 0);
    closed += n == 0 || (n < 0 && errno == ECONNRESET);
    close(fd);
  }
  EXPECT_EQ(closed, 100);
  EXPECT_EQ(server.clients(), 1);
}

// About a minute (labelled "slow" for CTest): Python's websockets client, for one, closes a connection whose
// pings go unanswered for 20 s.
TEST(PoseServerMinute, ClientPingingEverySecondStaysConnected) {
  PoseServer server;
  std::string error;
  ASSERT_TRUE(server.Listen("127.0.0.1", 27709, error)) << error;
  Client client;
  ASSERT_FALSE(client.Open(27710));
  while (server.clients() < 1) std::this_thread::sleep_for(1ms);
  int lines = 0;
  for (int tenth = 0; tenth < 600; ++tenth) {
    if (tenth % 10 == 0) {
      EXPECT_FALSE(client.Ping());
    }
    server.Publish("{}");
    lines += client.Read() == "{}";
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(lines, 600);
  EXPECT_GE(client.pongs, 59);  // the last one may still be on its way
  EXPECT_EQ(server.clients(), 1);
}

}  // namespace
}  // namespace quorl
