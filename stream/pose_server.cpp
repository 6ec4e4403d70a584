#include "stream/pose_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace quorl {
namespace {

uint32_t RotateLeft(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

// SHA-1 of `text` (RFC 3174), as the WebSocket handshake needs it.
std::array<uint8_t, 20> Sha1(const std::string& text) {
  std::vector<uint8_t> data(text.begin(), text.end());
  const uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
  data.push_back(0x80);
  while (data.size() % 64 != 56) data.push_back(0);
  for (int i = 7; i >= 0; --i) data.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  for (std::size_t block = 0; block < data.size(); block += 64) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
      w[i] = uint32_t{data[block + 4 * i]} << 24 | uint32_t{data[block + 4 * i + 1]} << 16 |
             uint32_t{data[block + 4 * i + 2]} << 8 | uint32_t{data[block + 4 * i + 3]};
    for (int i = 16; i < 80; ++i) w[i] = RotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
      uint32_t f, k;
      if (i < 20) {
        f = (b & c) | (~b & d);
        k = 0x5A827999;
      } else if (i < 40) {
        f = b ^ c ^ d;
        k = 0x6ED9EBA1;
      } else if (i < 60) {
        f = (b & c) | (b & d) | (c & d);
        k = 0x8F1BBCDC;
      } else {
        f = b ^ c ^ d;
        k = 0xCA62C1D6;
      }
      const uint32_t t = RotateLeft(a, 5) + f + e + k + w[i];
      e = d;
      d = c;
      c = RotateLeft(b, 30);
      b = a;
      a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
  }
  std::array<uint8_t, 20> out{};
  for (int i = 0; i < 20; ++i) out[i] = static_cast<uint8_t>(h[i / 4] >> (24 - 8 * (i % 4)));
  return out;
}

std::string Base64(const uint8_t* data, std::size_t size) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < size; i += 3) {
    const uint32_t v = uint32_t{data[i]} << 16 | (i + 1 < size ? uint32_t{data[i + 1]} << 8 : 0) |
                       (i + 2 < size ? uint32_t{data[i + 2]} : 0);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < size ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < size ? kAlphabet[v & 63] : '=';
  }
  return out;
}

// The value of header `name` (case-insensitive) in an HTTP request, trimmed; empty when absent.
std::string Header(const std::string& request, const std::string& name) {
  std::string lower = request;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  const std::size_t at = lower.find("\r\n" + name + ":");
  if (at == std::string::npos) return {};
  std::size_t begin = at + name.size() + 3;
  const std::size_t end = request.find("\r\n", begin);
  while (begin < end && request[begin] == ' ') ++begin;
  std::size_t last = end;
  while (last > begin && request[last - 1] == ' ') --last;
  return request.substr(begin, last - begin);
}

// A WebSocket text frame from the server (unmasked) holding `line`.
std::string TextFrame(const std::string& line) {
  std::string frame(1, static_cast<char>(0x81));
  const uint64_t n = line.size();
  if (n < 126) {
    frame += static_cast<char>(n);
  } else if (n < 65536) {
    frame += static_cast<char>(126);
    frame += static_cast<char>(n >> 8);
    frame += static_cast<char>(n & 0xff);
  } else {
    frame += static_cast<char>(127);
    for (int i = 7; i >= 0; --i) frame += static_cast<char>((n >> (8 * i)) & 0xff);
  }
  return frame + line;
}

int ListenOn(const std::string& host, int port, std::string& error) {
  const std::string where = "port " + std::to_string(port);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
    error = "'" + host + "' is not an IPv4 address";
    return -1;
  }
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = where + ": " + std::strerror(errno);
    return -1;
  }
  const int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0) {
    error = errno == EADDRINUSE ? where + " is in use" : where + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::string WebSocketAccept(const std::string& key) {
  const std::array<uint8_t, 20> digest = Sha1(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11");
  return Base64(digest.data(), digest.size());
}

PoseServer::~PoseServer() {
  for (const Client& c : clients_) close(c.fd);
  if (tcp_ >= 0) close(tcp_);
  if (websocket_ >= 0) close(websocket_);
}

bool PoseServer::Listen(const std::string& host, int port, std::string& error) {
  if (port < 1 || port > 65534) {
    error = "port " + std::to_string(port) + " is not from 1 to 65534";
    return false;
  }
  tcp_ = ListenOn(host, port, error);
  if (tcp_ < 0) return false;
  websocket_ = ListenOn(host, port + 1, error);
  if (websocket_ >= 0) return true;
  close(tcp_);
  tcp_ = -1;
  return false;
}

int PoseServer::clients() const {
  return static_cast<int>(std::count_if(clients_.begin(), clients_.end(),
                                        [](const Client& c) { return !c.websocket || c.upgraded; }));
}

void PoseServer::Accept(int listener, bool websocket) {
  if (listener < 0) return;
  for (;;) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (clients_.size() >= kMaxClients) {
      close(fd);
      continue;
    }
    clients_.push_back(Client{fd, websocket, false, {}, {}});
  }
}

bool PoseServer::Read(Client& c) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (!c.websocket || c.upgraded) continue;  // what clients send is never a command
    c.request.append(buffer, static_cast<std::size_t>(n));
    if (c.request.size() > kMaxHandshake) return false;
    if (c.request.find("\r\n\r\n") == std::string::npos) continue;
    const std::string key = Header(c.request, "sec-websocket-key");
    if (key.empty() || c.request.compare(0, 4, "GET ") != 0) return false;
    c.out = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: " + WebSocketAccept(key) + "\r\n\r\n" + c.out;
    c.upgraded = true;
    c.request.clear();
  }
}

bool PoseServer::Flush(Client& c) {
  while (!c.out.empty()) {
    const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    c.out.erase(0, static_cast<std::size_t>(n));
  }
  return true;
}

void PoseServer::Drop(std::size_t i, const char* why) {
  std::fprintf(stderr, "pose stream: client dropped: %s\n", why);
  close(clients_[i].fd);
  clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
}

void PoseServer::Poll() {
  Accept(tcp_, false);
  Accept(websocket_, true);
  for (std::size_t i = clients_.size(); i-- > 0;) {
    Client& c = clients_[i];
    if (!Read(c)) {
      close(c.fd);
      clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
    } else if (!Flush(c)) {
      Drop(i, "the connection broke");
    } else if (c.out.size() > kMaxClientQueue) {
      Drop(i, "it fell behind (stopped reading)");
    }
  }
}

void PoseServer::Drain(int ms) {
  for (int waited = 0; waited < ms; ++waited) {
    Poll();
    if (std::all_of(clients_.begin(), clients_.end(), [](const Client& c) { return c.out.empty(); })) return;
    usleep(1000);
  }
}

void PoseServer::Publish(const std::string& line) {
  Accept(tcp_, false);
  Accept(websocket_, true);
  const std::string frame = TextFrame(line);
  for (Client& c : clients_) {
    if (!c.websocket) {
      c.out += line;
      c.out += '\n';
    } else if (c.upgraded) {
      c.out += frame;  // lines start after the handshake
    }
  }
  Poll();
}

}  // namespace quorl
