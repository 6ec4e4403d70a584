// quorl-library: builds a picture library from picture files (prepared on every core, written atomically) and lists
// what a library holds.
#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/open_source.h"
#include "library/picture_library.h"
#include "tools/track_options.h"
#include "tracker/engine.h"
#include "tracker/lookalikes.h"

namespace quorl {
namespace {

namespace fs = std::filesystem;

constexpr const char* kVersion = "quorl-library 2.0.0";

// The options, their values and their help: getopt_long's table and the usage text are made from this.
struct OptionInfo {
  const char* name;
  const char* value;  // nullptr: a switch
  const char* help;
};
constexpr OptionInfo kOptions[] = {
    {"list", "FILE", "build: also the pictures of FILE, one a line: path[,name[,width]] (# starts a comment)"},
    {"width", "M", "build: the printed width in metres of every picture not given one (default: model units)"},
    {"corner-type", "T", "build: FAST variant 0..3 for FAST-9..FAST-12 corners (default 1, as quorl-track)"},
    {"jobs", "N", "build: pictures prepared at once (default: the number of cores)"},
    {"quiet", nullptr, "build: no progress on standard error"},
    {"help", nullptr, "this text"},
    {"version", nullptr, "the program's version"},
};
constexpr int kOptionCount = static_cast<int>(sizeof kOptions / sizeof kOptions[0]);

std::string Usage() {
  std::string text =
      "Usage: quorl-library build OUT FILES|FOLDERS... [--list FILE] [--width M] [--corner-type T] [--jobs N]\n"
      "       quorl-library list FILE\n"
      "build prepares every picture (a folder: its picture files, in name order; each named by its file's stem)\n"
      "and writes them to the library OUT, which quorl-track --library and Quorl's File > Open Picture Library...\n"
      "load in a fraction of the time. It prints each picture's rating and warns of poor ones and of those that\n"
      "look the same turned half a turn; a picture that cannot be a target stops it with the file and the\n"
      "reason, OUT left as it was. list prints a library's pictures: name, size in pixels, printed width in\n"
      "metres (0: model units) and rating, tab-separated.\n"
      "Exit status: 0 done, 1 a file that cannot be written, 2 a bad option, picture, list or library.\n\n";
  for (const OptionInfo& o : kOptions) {
    std::string head = std::string("  --") + o.name + (o.value ? std::string(" ") + o.value : "");
    head.resize(std::max<std::size_t>(head.size() + 2, 22), ' ');
    text += head + o.help + "\n";
  }
  return text;
}

struct Args {
  std::vector<std::string> operands;  // the command, then its files
  std::string list;
  double width = 0.0;
  int cornerType = 1;
  int jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  bool quiet = false;
};

int Fail(const std::string& message, int code) {
  std::fprintf(stderr, "quorl-library: %s\n", message.c_str());
  return code;
}

// Nothing when the program goes on; otherwise its exit code (help, version, a bad option).
std::optional<int> ParseArgs(int argc, char** argv, Args& args) {
  std::vector<option> table;
  for (int i = 0; i < kOptionCount; ++i)
    table.push_back({kOptions[i].name, kOptions[i].value ? required_argument : no_argument, nullptr, i});
  table.push_back({nullptr, 0, nullptr, 0});
  opterr = 0;
  const auto bad = [](const std::string& message) { return Fail(message + " (see --help)", 2); };
  int index = 0;
  for (int code; (code = getopt_long(argc, argv, "", table.data(), &index)) != -1;) {
    if (code == '?' || code == ':') {
      const std::string what = optind >= 1 && optind <= argc ? argv[optind - 1] : "?";
      return bad("unknown option or missing value: " + what);
    }
    const std::string name = kOptions[code].name;
    const std::string value = optarg ? optarg : "";
    if (name == "help" || name == "version") {
      std::fputs(name == "help" ? Usage().c_str() : (std::string(kVersion) + "\n").c_str(), stdout);
      return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    } else if (name == "list") {
      args.list = value;
    } else if (name == "width") {
      const std::optional<double> width = ParsePictureWidth(value);
      if (!width) return bad("--width wants a width in metres over 0 and up to 100, not '" + value + "'");
      args.width = *width;
    } else if (name == "corner-type") {
      const std::optional<long long> type = ParseCount(value, kMaxCornerType);
      if (!type) return bad("--corner-type wants 0..3, not '" + value + "'");
      args.cornerType = static_cast<int>(*type);
    } else if (name == "jobs") {
      const std::optional<long long> jobs = ParseCount(value, kMaxThreads);
      if (!jobs || *jobs == 0) return bad("--jobs wants 1.." + std::to_string(kMaxThreads) + ", not '" + value + "'");
      args.jobs = static_cast<int>(*jobs);
    } else if (name == "quiet") {
      args.quiet = true;
    }
  }
  for (int i = optind; i < argc; ++i) args.operands.emplace_back(argv[i]);
  return std::nullopt;
}

// The pictures of a list file: "path[,name[,width]]" a line, a relative path from the list's folder. False, with
// `error` ("<list>:<line>: <reason>"), for a line that cannot be read.
bool ReadList(const std::string& list, double width, std::vector<LibraryInput>& inputs, std::string& error) {
  std::ifstream in(list);
  if (!in) {
    error = list + ": cannot be read";
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (const std::size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::vector<std::string> fields;
    for (std::size_t start = 0;;) {
      const std::size_t comma = line.find(',', start);
      std::string field = line.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
      field.erase(field.begin(), std::find_if_not(field.begin(), field.end(), blank));
      field.erase(std::find_if_not(field.rbegin(), field.rend(), blank).base(), field.end());
      fields.push_back(field);
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    const std::string where = list + ":" + std::to_string(number) + ": ";
    if (fields.size() == 1 && fields[0].empty()) continue;
    if (fields.size() > 3 || fields[0].empty()) {
      error = where + "wants path[,name[,width]]";
      return false;
    }
    LibraryInput input{fs::path(fields[0]).is_absolute() ? fields[0] : (fs::path(list).parent_path() / fields[0]).string(),
                       fields.size() > 1 && !fields[1].empty() ? fields[1] : fs::path(fields[0]).stem().string(), width};
    if (input.name.size() > kMaxPictureNameBytes) {
      error = where + "a name of over " + std::to_string(kMaxPictureNameBytes) + " bytes";
      return false;
    }
    if (fields.size() > 2) {
      const std::optional<double> w = ParsePictureWidth(fields[2]);
      if (!w) {
        error = where + "the width wants metres over 0 and up to 100, not '" + fields[2] + "'";
        return false;
      }
      input.width = *w;
    }
    inputs.push_back(std::move(input));
  }
  return true;
}

// The files and folders given, then the list's pictures.
bool CollectInputs(const Args& args, std::vector<LibraryInput>& inputs, std::string& error) {
  for (std::size_t i = 2; i < args.operands.size(); ++i) {
    const fs::path given(args.operands[i]);
    std::error_code ec;
    if (fs::is_directory(given, ec)) {
      const std::vector<std::string> files = PictureFilesIn(given.string(), ec);
      if (ec) {
        error = given.string() + ": cannot be read: " + ec.message();
        return false;
      }
      for (const std::string& f : files) inputs.push_back({f, fs::path(f).stem().string(), args.width});
    } else {
      inputs.push_back({given.string(), given.stem().string(), args.width});
    }
  }
  return args.list.empty() || ReadList(args.list, args.width, inputs, error);
}

void PrintRating(std::FILE* out, const PictureTarget& t) {
  const Trackability& r = t.trackability;
  std::fprintf(out, "%s\t%dx%d\t%g\t%.2f\t%d\t%.2f\t%.2f\n", t.name.c_str(), t.fileSize.width, t.fileSize.height,
               t.width, r.score, r.corners, r.spread, r.distinctness);
}
constexpr const char* kRatingHeader = "name\tsize\twidth_m\ttrackability\tcorners\tspread\tdistinctness\n";

bool FinishOutput() { return std::fflush(stdout) == 0 && !std::ferror(stdout); }

int Build(const Args& args) {
  if (args.operands.size() < 3 && !(args.operands.size() == 2 && !args.list.empty()))
    return Fail("build wants the library's file and at least one picture (see --help)", 2);
  const std::string& out = args.operands[1];
  std::vector<LibraryInput> inputs;
  std::string error;
  if (!CollectInputs(args, inputs, error)) return Fail(error, 2);
  if (inputs.empty()) return Fail("no pictures to build a library of", 2);
  std::fputs(kRatingHeader, stdout);
  std::size_t finished = 0;
  std::vector<std::string> errors;
  const std::vector<PictureTarget> targets =
      BuildLibraryTargets(inputs, args.cornerType + 9, args.jobs, [&](std::size_t, const PictureTarget* t, const std::string& e) {
        ++finished;
        if (t == nullptr) {
          errors.push_back(e);
          std::fprintf(stderr, "quorl-library: %s\n", e.c_str());
          return;
        }
        PrintRating(stdout, *t);
        if (t->trackability.poor())
          std::fprintf(stderr, "quorl-library: warning: %s: %s\n", t->name.c_str(), kPoorPictureWarning);
        if (AlikeTurned(t->miniature))
          std::fprintf(stderr, "quorl-library: warning: %s: %s\n", t->name.c_str(), kAlikeTurnedWarning);
        if (!args.quiet) std::fprintf(stderr, "quorl-library: %zu of %zu pictures prepared\n", finished, inputs.size());
      });
  if (!errors.empty())
    return Fail(std::to_string(errors.size()) + " of " + std::to_string(inputs.size()) +
                    " pictures cannot be targets; " + out + " is not written",
                2);
  if (!WritePictureLibrary(out, targets, error)) return Fail(error, 1);
  if (!args.quiet) std::fprintf(stderr, "quorl-library: %s: %zu pictures\n", out.c_str(), targets.size());
  return FinishOutput() ? 0 : Fail("standard output cannot be written", 1);
}

int List(const Args& args) {
  if (args.operands.size() != 2) return Fail("list wants one library file (see --help)", 2);
  std::string error;
  const std::optional<PictureLibrary> library = ReadPictureLibrary(args.operands[1], error);
  if (!library) return Fail(error, 2);
  std::fputs(kRatingHeader, stdout);
  for (const PictureTarget& t : library->targets) PrintRating(stdout, t);
  return FinishOutput() ? 0 : Fail("standard output cannot be written", 1);
}

}  // namespace
}  // namespace quorl

int main(int argc, char** argv) {
  quorl::Args args;
  if (const std::optional<int> code = quorl::ParseArgs(argc, argv, args)) return *code;
  const std::string command = args.operands.empty() ? "" : args.operands[0];
  if (command == "build") return quorl::Build(args);
  if (command == "list") return quorl::List(args);
  return quorl::Fail(command.empty() ? "wants a command: build or list (see --help)"
                                     : "unknown command '" + command + "' (see --help)",
                     2);
}
