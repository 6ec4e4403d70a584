#pragma once
// A tool's command-line options declared once: glibc's getopt_long parses them and the help text is made from
// the same table, so an option cannot be parsed and left out of the help, or the other way round.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorl {

struct ToolOption {
  std::string name;   // without the leading dashes
  std::string value;  // the value's name in the help ("N", "WxH"); empty: a flag that takes none
  // The help text; its lines ('\n' between) are set under each other after the name.
  std::string help;
  // Reads the value ("" for a flag): nothing when it is accepted, else the message for the user.
  std::function<std::optional<std::string>(const std::string& value)> read;
  // A recorded session fixes it: given beside quorl-track's --replay, it is refused.
  bool recorded = false;
  char shortName = '\0';  // a one-letter alias ('h' for --help), '\0' for none
};

// A flag that sets `into`, and an option whose value (any text) is kept in `into`; both must outlive the table.
ToolOption FlagOption(std::string name, std::string help, bool& into, bool recorded = false);
ToolOption TextOption(std::string name, std::string value, std::string help, std::string& into, bool recorded = false);

// "  --name VALUE  help", the help beginning at column 22 (on the next line when the name and value are longer),
// its later lines indented to the same column; one option after another, in the table's order.
std::string OptionHelp(const std::vector<ToolOption>& options);

// Parses argv[1..argc) with getopt_long (whole names, or "--name=value"; a unique abbreviation is accepted as
// getopt_long accepts it), calling each option's `read` in command-line order and appending it to `given`
// (when not null). Stops at the first message: an unknown or ambiguous option, a missing value, a value that
// `read` refuses, or an argument that is not an option. Returns that message, or nothing when all were read.
std::optional<std::string> ParseOptions(int argc, char** argv, const std::vector<ToolOption>& options,
                                        std::vector<const ToolOption*>* given = nullptr);

}  // namespace quorl
