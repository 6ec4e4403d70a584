// quorl-track: the tracker without a window. Feeds frames from a source through the frame loop the way a
// user at the desktop would (live detection, Register Frame with four clicks, then tracking) and reports
// per-frame results and a summary.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "camera/camera_setup.h"
#include "capture/open_source.h"
#include "geometry/homography.h"
#include "geometry/quad.h"
#include "library/picture_library.h"
#include "session/session_reader.h"
#include "session/session_writer.h"
#include "tools/track_options.h"
#include "tools/track_report.h"
#include "stream/pose_message.h"
#include "stream/pose_server.h"
#include "tracker/engine.h"

namespace quorl {
namespace {

constexpr const char* kUsageHead = R"(Usage: quorl-track [options]
Runs the tracker headless: detection ticks up to the registration frame, Register Frame with four
corners, then one tracked tick per frame. Prints a summary; optionally a per-frame CSV and pictures.

)";

struct Args : TrackArgs {
  EngineOptions engine;
  long long reregisterEvery = 0;
  long long memoryEvery = 0;
  std::string saveDisplay;
  std::string saveFrames;
  std::string json;
  int publishPort = 0;
  std::string publishHost = "127.0.0.1";
  long long publishWait = 0;
  std::vector<std::string> publishOrigins;
  bool stageTimes = false;
  std::string record;
  std::string replay;
  std::vector<std::string> libraries;  // --library files
  bool help = false;
  bool listProfiles = false;
};

// "flow,guided,vote,refine" or a part of it: those stages off. False for an unknown name.
bool ParseStagesOff(const std::string& text, RobustStages& stages) {
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find(',', start), text.size());
    const std::string name = text.substr(start, end - start);
    if (name == "flow") stages.flow = false;
    else if (name == "guided") stages.guided = false;
    else if (name == "vote") stages.vote = false;
    else if (name == "refine") stages.refine = false;
    else return false;
    start = end + 1;
  }
  return true;
}

// Mean per-frame counts and stage times of the robust mode over the tracked frames.
class StageTable {
 public:
  void Add(const RobustFrameStats& s) {
    const double values[kColumns] = {double(s.corners), double(s.matches), double(s.flowPoints), double(s.inliers),
                                     s.global ? 1.0 : 0.0, s.flowMs, s.detectMs, s.matchMs, s.estimateMs, s.refineMs};
    for (int i = 0; i < kColumns; ++i) sums_[i] += values[i];
    ++frames_;
  }
  void Print(std::FILE* out, std::size_t modelPoints, int trackPoints) const {
    if (frames_ == 0) return;
    std::fprintf(out, "robust stages: model points %zu, track points %d; per frame:", modelPoints, trackPoints);
    static const char* const kNames[kColumns] = {"corners", "matches", "flow points", "inliers", "global share",
                                                 "flow ms", "detect ms", "match ms", "estimate ms", "refine ms"};
    for (int i = 0; i < kColumns; ++i)
      std::fprintf(out, "%s %s %.2f", i == 0 ? "" : ",", kNames[i], sums_[i] / static_cast<double>(frames_));
    std::fprintf(out, "\n");
  }

 private:
  static constexpr int kColumns = 10;
  double sums_[kColumns] = {};
  long long frames_ = 0;
};

int usageError(const std::string& text) {
  std::cerr << "quorl-track: " << text << "\nTry 'quorl-track --help'.\n";
  return 2;
}

// quorl-track's options after the common ones, in the order of the help.
std::vector<ToolOption> OwnOptions(Args& a) {
  const auto folder = [](std::string option, std::string& into) {
    return [option, &into](const std::string& v) -> std::optional<std::string> {
      if (v.empty()) return option + " wants a folder";
      into = v;
      return std::nullopt;
    };
  };
  return {
      CountOption("warmup", "N", "detection ticks on frame K before registering (default 30)", kMaxWarmup, false,
                  "a count up to " + std::to_string(kMaxWarmup), a.engine.warmup, true),
      CountOption("corner-type", "T", "FAST variant 0..3 for FAST-9..FAST-12 (default 1)", kMaxCornerType, false,
                  "0.." + std::to_string(kMaxCornerType), a.engine.cornerType, true),
      {"barrier", "B", "initial detector threshold (default 40)",
       [&a](const std::string& v) -> std::optional<std::string> {
         const bool negative = !v.empty() && v[0] == '-';
         const auto b = ParseCount(negative ? v.substr(1) : v, kMaxBarrier);
         if (!b)
           return "--barrier wants an integer -" + std::to_string(kMaxBarrier) + ".." + std::to_string(kMaxBarrier) +
                  ", not '" + v + "'";
         a.engine.barrier = static_cast<int>(negative ? -*b : *b);
         return std::nullopt;
       },
       true},
      FlagOption("robust", "the robust tracking mode", a.engine.robust, true),
      {"robust-without", "S", "robust mode with stages S switched off (comma-separated: flow, guided, vote, refine)",
       [&a](const std::string& v) -> std::optional<std::string> {
         if (!ParseStagesOff(v, a.engine.stages))
           return "--robust-without wants stages among flow, guided, vote, refine, not '" + v + "'";
         a.engine.robust = true;
         return std::nullopt;
       },
       true},
      FlagOption("stage-times", "print the robust mode's mean counts and milliseconds per stage", a.stageTimes),
      {"library", "FILE",
       "the pictures of a picture library (quorl-library build) as targets, beside\nthe --picture ones (repeatable)",
       [&a](const std::string& v) -> std::optional<std::string> {
         if (v.empty()) return std::string("--library wants a picture library file");
         a.libraries.push_back(v);
         return std::nullopt;
       },
       true},
      CountOption("reregister-every", "N", "register again every N frames after K (default never)", 1LL << 40, false,
                  "a count", a.reregisterEvery, true),
      CountOption("memory-every", "N", "print the resident memory every N frames and at the end", 1LL << 40, true,
                  "a positive count", a.memoryEvery),
      TextOption("save-display", "DIR", "PNG of each displayed picture, with its green quad", a.saveDisplay),
      TextOption("save-frames", "DIR", "PNG of each frame as the source gave it, without marks", a.saveFrames),
      TextOption("json", "FILE",
                 "one line of JSON per frame (from frame K on, or from frame 0 with pictures\n"
                 "alone): every target's state, corners, homography, pose and counts, as\n"
                 "docs/pose-message.schema.json describes them; - for standard output",
                 a.json),
      CountOption("publish", "PORT",
                  "the same lines, live, to programs that connect: plain TCP on PORT (one line\n"
                  "each), WebSocket on PORT+1 (one text message each); read-only",
                  65534, true, "a port from 1 to 65534", a.publishPort),
      TextOption("publish-host", "A", "the IPv4 address to listen on (default 127.0.0.1: this machine only)",
                 a.publishHost),
      CountOption("publish-wait", "N", "wait up to 10 s for N clients before the first frame (default 0)",
                  static_cast<long long>(kMaxClients), false, "a count", a.publishWait),
      {"publish-origin", "O",
       "a web page origin allowed to read the WebSocket stream besides file pages\n"
       "and http://localhost, 127.0.0.1 and [::1] (repeatable), e.g. https://example.org",
       [&a](const std::string& v) -> std::optional<std::string> {
         if (v.empty()) return std::string("--publish-origin wants an origin such as https://example.org");
         a.publishOrigins.push_back(v);
         return std::nullopt;
       }},
      {"record", "DIR",
       "write the run as a session into DIR (a new or empty folder): the frames as\n"
       "the source gave them, the calibration, options, registrations, pictures\n"
       "and the source's truth, so that --replay runs it again",
       folder("--record", a.record)},
      {"replay", "DIR",
       "run the session in DIR again: its frames, size, calibration, options,\n"
       "registrations and pictures; options that would change them are refused,\n"
       "output options (--csv, --json, --save-*, --quiet, ...) and --frames are taken",
       folder("--replay", a.replay)},
      FlagOption("list-profiles", "the synthetic scene's motion profiles, one per line", a.listProfiles),
  };
}

// Returns an exit code when the program should stop (help or a bad option), else nothing.
std::optional<int> parseArgs(int argc, char** argv, Args& a) {
  std::vector<ToolOption> options = TrackOptions(a);
  for (ToolOption& own : OwnOptions(a)) options.push_back(std::move(own));
  options.push_back(FlagOption("help", "this text", a.help));
  options.back().shortName = 'h';
  std::vector<const ToolOption*> given;
  const std::optional<std::string> message = ParseOptions(argc, argv, options, &given);
  // What comes before a bad option is read: --help there still prints the help.
  if (a.help) {
    std::cout << kUsageHead << OptionHelp(options) << "\n" << kTrackCsvUsage;
    return 0;
  }
  if (a.listProfiles) {
    for (const MotionProfile profile : AllMotionProfiles()) std::cout << MotionProfileName(profile) << "\n";
    return 0;
  }
  if (message) return usageError(*message);
  if (a.csv == "-" && a.json == "-") return usageError("--csv - and --json - cannot share standard output");
  if (!a.record.empty() && !a.libraries.empty())
    return usageError("--record keeps picture files, not the pictures of a --library");
  if (!a.replay.empty()) {
    for (const ToolOption* option : given)
      if (option->recorded) return usageError("--" + option->name + " cannot be given with --replay: the session sets it");
  }
  return std::nullopt;
}

// Takes from the session what the command line would give: size, calibration, options, pictures and the
// first registration. Returns an exit code when the session cannot be run.
std::optional<int> applySession(const SessionInfo& session, const std::string& dir, Args& a) {
  a.size = FrameSize{session.width, session.height};
  a.calibration = session.calibration.empty() ? std::string() : SessionPath(dir, session.calibration);
  a.cameraParams = session.cameraParams.empty() ? std::string() : SessionPath(dir, session.cameraParams);
  a.engine = session.options;
  for (const SessionPicture& picture : session.pictures)
    a.pictures.push_back(PictureArg{SessionPath(dir, picture.file), picture.width});
  if (!session.registrations.empty()) {
    a.registerFrame = session.registrations.front().frame;
    a.corners = session.registrations.front().corners;
  }
  return std::nullopt;
}

// Resident set size of this process in KiB (second field of /proc/self/statm, in pages); -1 if unreadable.
long long residentKiB() {
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return -1;
  long long size = 0, resident = -1;
  if (std::fscanf(statm, "%lld %lld", &size, &resident) != 2) resident = -1;
  std::fclose(statm);
  return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Resident memory, and the bytes the C heap has handed out and not had back (growth there is a leak or a
// growing container; resident memory also grows as big buffers are first touched).
void printMemory(std::FILE* out, long long frames) {
  const struct mallinfo2 heap = mallinfo2();
  std::fprintf(out, "memory: %lld frames, resident %lld KiB, heap in use %zu KiB\n", frames, residentKiB(),
               (heap.uordblks + heap.hblkhd) / 1024);
  std::fflush(out);
}

class ProgressBar {
 public:
  explicit ProgressBar(long long total) : total_(total), enabled_(total > 0 && isatty(STDERR_FILENO)) {}
  void update(long long done) {
    if (!enabled_) return;
    const int percent = static_cast<int>(100 * done / total_);
    if (percent == last_) return;
    last_ = percent;
    const int filled = percent / 4;
    std::fprintf(stderr, "\r[%-25s] %3d%%", std::string(static_cast<std::size_t>(filled), '#').c_str(), percent);
    if (done >= total_) std::fputc('\n', stderr);
  }

 private:
  long long total_;
  bool enabled_;
  int last_ = -1;
};

int run(const Args& a, const std::optional<SessionInfo>& session) {
  cv::setNumThreads(a.threads);
  // A replay uses the session's calibration, or none when it had none.
  const TrackCalibration calibration = session && a.cameraParams.empty() && a.calibration.empty()
                                           ? TrackCalibration{"", std::nullopt, "the session has no calibration", std::nullopt}
                                           : ReadTrackCalibration(a.cameraParams, a.calibration);
  // With the JSON or the CSV on standard output everything else goes to standard error.
  std::FILE* const report = a.json == "-" || a.csv == "-" ? stderr : stdout;
  TrackSummary summary("quorl-track", report);
  // The pictures first: a bad one is named with its reason before any source is opened.
  TrackingEngine engine(a.engine, "quorl-track", calibration.param);
  if (calibration.lens) engine.SetCalibration(*calibration.lens);
  const TrackerState& state = engine.state();
  StageTable stageTable;
  std::vector<SessionPicture> added;  // as the engine named them, for --record
  const auto announce = [&](const PictureTarget& target) {
    const Trackability& rating = target.trackability;
    if (!a.quiet)
      std::fprintf(report, "picture %s: %dx%d pixels, %d corners, spread %.2f, distinctness %.2f, trackability %.2f\n",
                   target.name.c_str(), target.fileSize.width, target.fileSize.height, rating.corners,
                   rating.spread, rating.distinctness, rating.score);
    if (rating.poor()) summary.Warn(target.name + ": " + kPoorPictureWarning);
  };
  for (const PictureArg& picture : a.pictures) {
    std::string error;
    const PictureTarget* target = engine.AddPicture(picture.path, picture.width, error);
    if (target == nullptr) {
      std::cerr << "quorl-track: " << error << "\n";
      return 2;
    }
    announce(*target);
    added.push_back(SessionPicture{target->name, picture.path, picture.width});
  }
  for (const std::string& library : a.libraries) {
    std::string error;
    const std::size_t before = state.pictures.targets().size();
    if (!AddPictureLibrary(engine.state().pictures, library, error)) {
      std::cerr << "quorl-track: " << error << "\n";
      return 2;
    }
    for (std::size_t i = before; i < state.pictures.targets().size(); ++i) announce(state.pictures.targets()[i]);
  }
  // The printed widths of the pictures that have one: their poses come in metres.
  std::map<std::string, double> printedWidths;
  for (const PictureTarget& target : state.pictures.targets())
    if (target.width > 0.0) printedWidths.emplace(target.name, target.width);
  std::string error;
  std::unique_ptr<FrameSource> source;
  const SessionSource* replay = nullptr;
  if (session) {
    auto recorded = std::make_unique<SessionSource>(a.replay, *session);
    replay = recorded.get();
    source = std::move(recorded);
  } else {
    source = OpenTrackSource(a, calibration.param, error);
  }
  if (!source) {
    std::cerr << "quorl-track: " << error << "\n";
    return 1;
  }
  if (const auto code = CheckTrackInput(a, calibration, *source, summary)) return *code;
  const int known = source->frameCount();
  long long total = a.frames.value_or(known >= 0 ? known : 300);
  if (known >= 0) total = std::min<long long>(total, known);
  if (a.registerFrame >= total) {
    std::cerr << "quorl-track: registration frame " << a.registerFrame << " is past the end (" << total
              << " frames)\n";
    return 1;
  }
  TrackCsv csv;
  if (!a.csv.empty() && !csv.Open(a.csv)) {
    std::cerr << "quorl-track: cannot write " << a.csv << "\n";
    return 1;
  }
  for (const std::string& folder : {a.saveDisplay, a.saveFrames}) {
    if (folder.empty()) continue;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
      std::cerr << "quorl-track: cannot create " << folder << ": " << ec.message() << "\n";
      return 1;
    }
  }

  std::ofstream jsonFile;
  if (!a.json.empty() && a.json != "-") {
    jsonFile.open(a.json);
    if (!jsonFile) {
      std::cerr << "quorl-track: cannot write " << a.json << "\n";
      return 1;
    }
  }
  std::ostream* json = a.json.empty() ? nullptr : a.json == "-" ? &std::cout : &jsonFile;
  SessionWriter writer;
  const bool recording = !a.record.empty();
  if (recording) {
    bool opened = writer.Open(a.record, "quorl-track", error);
    writer.SetSource(source->description(), source->frameRate());
    writer.SetOptions(a.engine);
    if (opened && calibration.param)
      opened = calibration.lens ? writer.AddCalibration(calibration.path, error)
                                : writer.AddCameraParams(calibration.path, error);
    for (const SessionPicture& picture : added)
      if (opened) opened = writer.AddPicture(picture.file, picture.name, picture.width, error);
    if (!opened) {
      std::cerr << "quorl-track: cannot record: " << error << "\n";
      return 1;
    }
  }
  PoseServer server(a.publishOrigins);
  if (a.publishPort > 0) {
    std::string error;
    if (!server.Listen(a.publishHost, a.publishPort, error)) {
      std::cerr << "quorl-track: cannot publish poses: " << error << "\n";
      return 1;
    }
    if (a.publishHost != "127.0.0.1")
      std::cerr << "quorl-track: publishing poses on " << a.publishHost << ", reachable from other machines\n";
    for (int waited = 0; server.clients() < a.publishWait && waited < 1000; ++waited) usleep(10000);
  }
  // With pictures (given one by one or in libraries), the clicked target is registered only where --corners places
  // it; in a replay, where the recording registered it.
  const bool pictures = !state.pictures.empty();
  const bool clicked = session ? !session->registrations.empty() : a.corners.has_value() || !pictures;
  // It is registered on frame K, then every --reregister-every frames; in a replay, on the recorded frames.
  auto registersOn = [&](long long index) {
    if (!clicked) return false;
    if (session) return RegistrationOn(*session, index).has_value();
    return index == a.registerFrame ||
           (a.reregisterEvery > 0 && index > a.registerFrame && (index - a.registerFrame) % a.reregisterEvery == 0);
  };
  TargetTally tally;
  if (pictures) csv.SetColumns(true, source->knowsTargets() || source->trueCorners().has_value() || clicked);

  // Every frame from the registration frame on is one CSV row and one count of the summary. The summary keeps every
  // frame's time and error; a quiet run prints none and keeps none.
  auto record = [&](long long index, const FrameReport& report, const TargetReport& clickedReport, bool registration) {
    TrackRow row = MakeTrackRow(index, report, clickedReport, source->trueCorners());
    row.truePose = source->truePose();
    if (pictures) {
      const std::optional<TargetTruth> truth =
          row.truth ? std::optional<TargetTruth>(TargetTruth{row.target, *row.truth, true, row.truePose}) : std::nullopt;
      if (!registration) tally.Add(row, truth, row.truth.has_value());
    }
    csv.Write(row);
    if (!a.quiet) summary.Add(row, registration);
  };
  // One row per picture target, its pose in metres when its printed width was given.
  auto recordPictures = [&](long long index, const FrameReport& report) {
    const std::vector<TargetTruth> truths = source->trueTargets();
    tally.AddFrameTime(report.ms);
    for (const TargetReport& t : report.targets) {
      if (t.name == kClickedTargetName) continue;
      const std::optional<TargetTruth> truth = TruthOf(truths, t.name);
      TrackRow row = MakeTrackRow(index, report, t, truth ? std::optional(truth->corners) : std::nullopt);
      if (truth) row.truePose = truth->pose;
      if (const auto width = printedWidths.find(t.name); width != printedWidths.end()) row.poseWidth = width->second;
      csv.Write(row);
      tally.Add(row, truth, source->knowsTargets());
    }
  };
  // A picture of the frame loop's, as frame `index`, into `folder`; false, with a message, when it is not written.
  auto save = [](const std::string& folder, long long index, const DibImage& picture) {
    char name[32];
    std::snprintf(name, sizeof name, "%06lld.png", index);
    const std::string path = (std::filesystem::path(folder) / name).string();
    bool written = false;
    try {
      written = cv::imwrite(path, UnpackFrame(picture.dib(), static_cast<std::size_t>(picture.dibSize())));
    } catch (const cv::Exception&) {
      written = false;  // OpenCV throws for some failed writes and returns false for others
    }
    if (!written) std::cerr << "quorl-track: cannot write " << path << "\n";
    return written;
  };

  // As at the desktop: watch the live picture for a while, then Register Frame and four clicks.
  auto registerOn = [&](long long index) -> bool {
    Quad corners;
    if (session) {
      corners = *RegistrationOn(*session, index);
    } else if (a.corners && index == a.registerFrame) {
      corners = *a.corners;
    } else if (const auto truth = source->trueCorners()) {
      corners = RoundedCorners(*truth);
    } else {
      std::cerr << "quorl-track: this source does not know where the target is; give --corners\n";
      return false;
    }
    if (!engine.Register(corners)) return true;  // a refused frame: nothing registered, as at a tick
    if (recording) writer.AddRegistration(index, corners);
    summary.CheckModel(index, state.model.modelKeypoints.size());
    // The registration row: the clicks, and the model's points as its keypoints.
    FrameReport frame = engine.Report();
    frame.keypoints = static_cast<int>(state.model.modelKeypoints.size());
    frame.ms = 0.0;
    TargetReport clickedReport = frame.Clicked();
    for (int i = 0; i < 4; ++i) clickedReport.corners[i] = cv::Point2d(state.clicks.pt[i].x, state.clicks.pt[i].y);
    clickedReport.matches = clickedReport.inliers = 0;
    record(index, frame, clickedReport, true);
    return true;
  };

  ProgressBar progress(total);
  long long index = 0;
  for (; index < total; ++index) {
    if (!source->read(engine.frameBuffer())) break;
    if (recording && !writer.AddFrame(engine.frameBuffer().data(), engine.frameBuffer().size(), *source, error)) {
      std::cerr << "quorl-track: cannot record: " << error << "\n";
      return 1;
    }
    const bool registering = registersOn(index);
    if (registering) {
      if (!registerOn(index)) return 1;
    } else {
      engine.Track();
    }
    const FrameReport frame = engine.Report();
    if (clicked && index > a.registerFrame && !registering) {
      if (a.stageTimes && state.trackingState == TrackingState::Tracking) stageTable.Add(state.robust.stats);
      record(index, frame, frame.Clicked(), false);
    }
    if (pictures) recordPictures(index, frame);
    if ((json != nullptr || a.publishPort > 0) && (pictures || index >= a.registerFrame)) {
      const std::string line = PoseMessage(index, MonotonicSeconds(), state.frame.width(), state.frame.height(), frame);
      if (json != nullptr && !(*json << line << '\n')) {
        std::cerr << "quorl-track: cannot write " << (a.json == "-" ? "the JSON to standard output" : a.json) << "\n";
        return 1;
      }
      if (a.publishPort > 0) server.Publish(line);
    }
    if (!a.saveFrames.empty() && !save(a.saveFrames, index, state.frame)) return 1;
    if (!a.saveDisplay.empty() && !save(a.saveDisplay, index, state.display)) return 1;
    progress.update(index + 1);
    if (a.memoryEvery > 0 && (index + 1) % a.memoryEvery == 0) printMemory(report, index + 1);
  }
  if (replay != nullptr && !replay->error().empty()) {
    std::cerr << "quorl-track: " << replay->error() << "\n";
    return 1;
  }
  if (clicked && index <= a.registerFrame) {
    std::cerr << "quorl-track: the source ended after " << index << " frames, before the registration frame "
              << a.registerFrame << "\n";
    return 1;
  }
  if (a.publishPort > 0) server.Drain(1000);
  if (recording && !writer.Finish(error)) {
    std::cerr << "quorl-track: cannot record: " << error << "\n";
    return 1;
  }
  ReleaseIndex(engine.state().model.keypointIndex);
  if (!csv.Finish(error)) {
    std::cerr << "quorl-track: " << error << "\n";
    return 1;
  }
  if (json != nullptr && !json->flush()) {
    std::cerr << "quorl-track: cannot write " << (a.json == "-" ? "the JSON to standard output" : a.json) << "\n";
    return 1;
  }
  if (jsonFile.is_open()) {
    jsonFile.close();
    if (jsonFile.fail()) {
      std::cerr << "quorl-track: cannot write " << a.json << "\n";
      return 1;
    }
  }
  if (a.memoryEvery > 0 && index % a.memoryEvery != 0) printMemory(report, index);
  if (!a.quiet && clicked)
    summary.Print(source->description(), calibration.Describe(), index, a.registerFrame,
                  state.model.modelKeypoints.size());
  if (!a.quiet && !clicked) summary.PrintHead(source->description(), calibration.Describe(), index);
  if (!a.quiet && pictures) tally.Print(report);
  if (!a.quiet && recording) std::fprintf(report, "recorded: %lld frames in %s\n", writer.frames(), a.record.c_str());
  if (a.stageTimes)
    stageTable.Print(report, state.robust.model.points.size(), static_cast<int>(state.robust.model.trackPoints.size()));
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::cerr << "quorl-track: cannot write to standard output\n";
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace quorl

int main(int argc, char** argv) {
  quorl::Args args;
  if (const auto code = quorl::parseArgs(argc, argv, args)) return *code;
  std::optional<quorl::SessionInfo> session;
  if (!args.replay.empty()) {
    std::string error;
    session = quorl::ReadSession(args.replay, error);
    if (!session) {
      std::cerr << "quorl-track: " << error << "\n";
      return 2;
    }
    if (const auto code = quorl::applySession(*session, args.replay, args)) return *code;
  }
  // Whatever escapes a run (an OpenCV error, memory running out) ends it with a message, never an abort.
  try {
    return quorl::run(args, session);
  } catch (const std::exception& e) {
    std::cerr << "quorl-track: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "quorl-track: the run failed\n";
  }
  return 1;
}
