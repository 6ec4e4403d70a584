#include "tools/option_table.h"

#include <getopt.h>

#include <algorithm>
#include <utility>

namespace quorl {
namespace {

// Column of the help text, and the longest "  --name VALUE" that still leaves two blanks before it on its line.
constexpr std::size_t kHelpColumn = 22;
constexpr std::size_t kLongestSameLine = 22;

// getopt_long's value of the option at `index` (long options only come back this way).
constexpr int kFirstValue = 256;

}  // namespace

ToolOption FlagOption(std::string name, std::string help, bool& into, bool recorded) {
  return {std::move(name), "", std::move(help),
          [&into](const std::string&) -> std::optional<std::string> {
            into = true;
            return std::nullopt;
          },
          recorded};
}

ToolOption TextOption(std::string name, std::string value, std::string help, std::string& into, bool recorded) {
  return {std::move(name), std::move(value), std::move(help),
          [&into](const std::string& v) -> std::optional<std::string> {
            into = v;
            return std::nullopt;
          },
          recorded};
}

std::string OptionHelp(const std::vector<ToolOption>& options) {
  std::string text;
  for (const ToolOption& option : options) {
    std::string left = "  --" + option.name;
    if (!option.value.empty()) left += " " + option.value;
    text += left;
    if (left.size() > kLongestSameLine) text += "\n" + std::string(kHelpColumn, ' ');
    else text += std::string(std::max(kHelpColumn, left.size() + 2) - left.size(), ' ');
    for (const char c : option.help) {
      text += c;
      if (c == '\n') text += std::string(kHelpColumn, ' ');
    }
    text += '\n';
  }
  return text;
}

std::optional<std::string> ParseOptions(int argc, char** argv, const std::vector<ToolOption>& options,
                                        std::vector<const ToolOption*>* given) {
  std::vector<option> longOptions;
  // '+': stop at the first argument that is not an option; ':': report a missing value as ':' and print nothing.
  std::string shortOptions = "+:";
  for (std::size_t i = 0; i < options.size(); ++i) {
    const bool takesValue = !options[i].value.empty();
    longOptions.push_back({options[i].name.c_str(), takesValue ? required_argument : no_argument, nullptr,
                           kFirstValue + static_cast<int>(i)});
    if (options[i].shortName != '\0') {
      shortOptions += options[i].shortName;
      if (takesValue) shortOptions += ':';
    }
  }
  longOptions.push_back({nullptr, 0, nullptr, 0});
  opterr = 0;
  optind = 0;  // glibc: start again from argv[1], whatever an earlier parse left
  for (;;) {
    const int previous = optind == 0 ? 1 : optind;
    const int code = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr);
    if (code == -1) break;
    const std::string text = argv[previous];
    const std::string written = text.substr(0, text.find('='));
    if (code == '?') {
      std::string matches;
      for (const ToolOption& option : options)
        if (written.size() > 2 && written.rfind("--", 0) == 0 && option.name.rfind(written.substr(2), 0) == 0)
          matches += (matches.empty() ? "" : ", ") + ("--" + option.name);
      if (matches.find(',') != std::string::npos) return "option " + written + " is ambiguous: " + matches;
      return "unknown option " + written;
    }
    if (code == ':') return "option " + written + " needs a value";
    const ToolOption* found = nullptr;
    if (code >= kFirstValue) {
      found = &options[static_cast<std::size_t>(code - kFirstValue)];
    } else {
      for (const ToolOption& option : options)
        if (option.shortName == code) found = &option;
    }
    if (given != nullptr) given->push_back(found);
    if (auto message = found->read(optarg != nullptr ? std::string(optarg) : std::string())) return message;
  }
  if (optind < argc) return "unknown option " + std::string(argv[optind]);
  return std::nullopt;
}

}  // namespace quorl
