#include "editor/number_text.h"

#include <charconv>
#include <string>

namespace quorl {

namespace {

// The trimmed text without a leading '+', which std::from_chars does not accept.
std::string prepared(const QString& text) {
  std::string s = text.trimmed().toStdString();
  if (s.size() > 1 && s[0] == '+' && s[1] != '-') s.erase(0, 1);
  return s;
}

template <typename T>
bool parseWhole(const QString& text, T& out) {
  const std::string s = prepared(text);
  if (s.empty()) return false;
  T value{};
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size()) return false;
  out = value;
  return true;
}

}  // namespace

QString formatDouble(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return QString::fromLatin1(buffer, static_cast<int>(result.ptr - buffer));
}

bool parseDouble(const QString& text, double& out) { return parseWhole(text, out); }

bool parseInt32(const QString& text, int32_t& out) { return parseWhole(text, out); }

}  // namespace quorl
