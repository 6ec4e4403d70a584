#include "session/session.h"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <limits>

#include <nlohmann/json.hpp>

namespace quorl {
namespace {

using nlohmann::json;
// Written in the order of SessionJson's fields, format and version first.
using ordered = nlohmann::ordered_json;

ordered PointsJson(const FrameCorners& corners) {
  ordered points = ordered::array();
  for (const cv::Point2d& p : corners) points.push_back({p.x, p.y});
  return points;
}

ordered QuadJson(const Quad& quad) {
  ordered points = ordered::array();
  for (const CornerPoint& p : quad.pt) points.push_back({p.x, p.y});
  return points;
}

// `value` in the fewest digits that give it back, whatever the locale.
std::string Shortest(double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

// Reads the fields of one JSON object; the first problem is kept, named by the field's path.
class Fields {
 public:
  Fields(const json& object, std::string path, std::string& error) : object_(object), path_(std::move(path)), error_(error) {
    if (!object_.is_object()) fail(path_.empty() ? "the text is not a JSON object" : path_ + " is not an object");
  }

  bool ok() const { return error_.empty(); }
  bool has(const char* key) const { return object_.is_object() && object_.contains(key) && !object_[key].is_null(); }
  // The value of `key` (null, with the problem kept, when it is missing).
  const json& at(const char* key) {
    static const json kNull;
    const json* v = need(key);
    return v == nullptr ? kNull : *v;
  }
  std::string name(const char* key) const { return path_.empty() ? key : path_ + "." + key; }

  std::string text(const char* key) {
    const json* v = need(key);
    if (v == nullptr) return {};
    if (!v->is_string()) return fail(name(key) + " must be a string"), std::string();
    return v->get<std::string>();
  }
  long long integer(const char* key, long long low, long long high) {
    const json* v = need(key);
    if (v == nullptr) return 0;
    if (!v->is_number_integer() || v->get<long long>() < low || v->get<long long>() > high)
      return fail(name(key) + " must be an integer " + std::to_string(low) + ".." + std::to_string(high)), 0;
    return v->get<long long>();
  }
  double number(const char* key, double low, double high) {
    const json* v = need(key);
    if (v == nullptr) return 0.0;
    if (!v->is_number() || !(v->get<double>() >= low && v->get<double>() <= high))
      return fail(name(key) + " must be a number from " + Shortest(low) + " to " + Shortest(high)), 0.0;
    return v->get<double>();
  }
  bool boolean(const char* key) {
    const json* v = need(key);
    if (v == nullptr) return false;
    if (!v->is_boolean()) return fail(name(key) + " must be true or false"), false;
    return v->get<bool>();
  }
  // A file name inside the session's folder: relative, without "..", or empty when the field is null or absent.
  std::string file(const char* key) {
    if (!has(key)) return {};
    const std::string value = text(key);
    const std::filesystem::path path(value);
    bool inside = !value.empty() && path.is_relative();
    for (const auto& part : path) inside = inside && part != "..";
    if (ok() && !inside) fail(name(key) + " must name a file inside the session's folder, not '" + value + "'");
    return value;
  }
  // An array of `size` entries (any size when `size` is negative).
  const json* array(const char* key, long long size) {
    const json* v = need(key);
    if (v == nullptr) return nullptr;
    if (!v->is_array() || (size >= 0 && static_cast<long long>(v->size()) != size)) {
      fail(name(key) + (size >= 0 ? " must be an array of " + std::to_string(size) + " entries" : " must be an array"));
      return nullptr;
    }
    return v;
  }
  void fail(const std::string& problem) {
    if (error_.empty()) error_ = problem;
  }

 private:
  const json* need(const char* key) {
    if (!ok()) return nullptr;
    if (!object_.contains(key)) return fail(name(key) + " is missing"), nullptr;
    return &object_[key];
  }

  const json& object_;
  std::string path_;
  std::string& error_;
};

// Four points [x, y] in frame pixels.
bool ReadPoints(const json& v, const std::string& name, FrameCorners& corners, std::string& error) {
  if (v.is_array() && v.size() == 4) {
    bool good = true;
    for (std::size_t i = 0; i < 4 && good; ++i) {
      const json& p = v[i];
      good = p.is_array() && p.size() == 2 && p[0].is_number() && p[1].is_number();
      if (good) corners[i] = cv::Point2d(p[0].get<double>(), p[1].get<double>());
    }
    if (good) return true;
  }
  if (error.empty()) error = name + " must be four points [x, y]";
  return false;
}

bool ReadQuad(const json& v, const std::string& name, Quad& quad, std::string& error) {
  FrameCorners corners;
  if (!ReadPoints(v, name, corners, error)) return false;
  for (int i = 0; i < 4; ++i) {
    const cv::Point2d p = corners[i];
    if (p.x != static_cast<int32_t>(p.x) || p.y != static_cast<int32_t>(p.y)) {
      if (error.empty()) error = name + " must be four points of integer pixels";
      return false;
    }
    quad.pt[i] = {static_cast<int32_t>(p.x), static_cast<int32_t>(p.y)};
  }
  return true;
}

}  // namespace

std::optional<Quad> RegistrationOn(const SessionInfo& info, long long frame) {
  std::optional<Quad> corners;
  for (const SessionRegistration& r : info.registrations)
    if (r.frame == frame) corners = r.corners;
  return corners;
}

std::string SessionFramePath(const std::string& dir, long long index) {
  char name[40];
  std::snprintf(name, sizeof name, "frames/%06lld.png", index);  // kSessionFramePattern for any index
  return (std::filesystem::path(dir) / name).string();
}

std::string SessionJson(const SessionInfo& s) {
  ordered j;
  j["format"] = kSessionFormat;
  j["version"] = kSessionVersion;
  j["program"] = {{"name", s.program}, {"version", s.programVersion}};
  j["source"] = s.source;
  j["frame_size"] = {s.width, s.height};
  j["frame_count"] = s.frameCount;
  j["frame_rate"] = s.frameRate;
  j["frames"] = kSessionFramePattern;
  j["camera_params"] = s.cameraParams.empty() ? ordered() : ordered(s.cameraParams);
  j["calibration"] = s.calibration.empty() ? ordered() : ordered(s.calibration);
  const EngineOptions& o = s.options;
  j["options"] = {{"corner_type", o.cornerType},
                  {"barrier", o.barrier},
                  {"warmup", o.warmup},
                  {"robust", o.robust},
                  {"stages",
                   {{"flow", o.stages.flow}, {"guided", o.stages.guided}, {"vote", o.stages.vote},
                    {"refine", o.stages.refine}}}};
  j["registrations"] = ordered::array();
  for (const SessionRegistration& r : s.registrations)
    j["registrations"].push_back({{"frame", r.frame}, {"corners", QuadJson(r.corners)}});
  j["pictures"] = ordered::array();
  for (const SessionPicture& p : s.pictures)
    j["pictures"].push_back({{"name", p.name}, {"file", p.file}, {"width", p.width}});
  if (!s.truth.empty()) {
    ordered& truth = j["truth"] = ordered::array();
    for (const auto& corners : s.truth) truth.push_back(corners ? PointsJson(*corners) : ordered());
  }
  if (!s.targetTruth.empty()) {
    ordered& truth = j["target_truth"] = ordered::array();
    for (const auto& targets : s.targetTruth) {
      ordered frame = ordered::array();
      for (const TargetTruth& t : targets)
        frame.push_back({{"name", t.name}, {"corners", PointsJson(t.corners)}, {"whole", t.whole}});
      truth.push_back(std::move(frame));
    }
  }
  // One field per line, and each entry of a list of records (a frame's truth, a registration) on a line of its
  // own. Doubles are written with as many digits as give them back exactly; bytes that are not UTF-8 (in a
  // file name) become U+FFFD.
  auto compact = [](const ordered& v) { return v.dump(-1, ' ', false, ordered::error_handler_t::replace); };
  std::string text = "{";
  const char* separator = "\n";
  for (const auto& [key, value] : j.items()) {
    text += separator + std::string(" \"") + key + "\": ";
    separator = ",\n";
    if (!value.is_array() || value.empty() || !(value[0].is_structured() || value[0].is_null())) {
      text += compact(value);
      continue;
    }
    const char* entrySeparator = "[\n  ";
    for (const ordered& entry : value) {
      text += entrySeparator + compact(entry);
      entrySeparator = ",\n  ";
    }
    text += "\n ]";
  }
  return text + "\n}\n";
}

std::optional<SessionInfo> ParseSessionJson(const std::string& text, std::string& error) {
  error.clear();
  const json j = json::parse(text, nullptr, false);
  if (j.is_discarded()) {
    error = "not valid JSON (cut short or damaged)";
    return std::nullopt;
  }
  Fields top(j, "", error);
  SessionInfo s;
  const std::string format = top.text("format");
  if (top.ok() && format != kSessionFormat) top.fail("format is '" + format + "', not '" + kSessionFormat + "'");
  const long long version = top.integer("version", 0, std::numeric_limits<int>::max());
  if (top.ok() && version != kSessionVersion)
    top.fail("version " + std::to_string(version) + " is not supported (this program reads version " +
             std::to_string(kSessionVersion) + ")");
  if (top.ok()) {
    Fields program(top.at("program"), "program", error);
    s.program = program.text("name");
    s.programVersion = program.text("version");
  }
  s.source = top.text("source");
  if (const json* size = top.array("frame_size", 2)) {
    const bool integers = (*size)[0].is_number_integer() && (*size)[1].is_number_integer();
    if (integers) {
      s.width = (*size)[0].get<int>();
      s.height = (*size)[1].get<int>();
    }
    if (!integers || !IsValidFrameSize(s.width, s.height)) top.fail("frame_size: " + FrameSizeRule());
  }
  s.frameCount = top.integer("frame_count", 0, 1LL << 40);
  s.frameRate = top.number("frame_rate", 0.0, 1e6);
  if (top.ok() && top.text("frames") != kSessionFramePattern)
    top.fail(std::string("frames must be '") + kSessionFramePattern + "'");
  s.cameraParams = top.file("camera_params");
  s.calibration = top.file("calibration");
  if (top.ok()) {
    Fields options(top.at("options"), "options", error);
    EngineOptions& o = s.options;
    o.cornerType = static_cast<int>(options.integer("corner_type", 0, kMaxCornerType));
    o.barrier = static_cast<int>(options.integer("barrier", -kMaxBarrier, kMaxBarrier));
    o.warmup = options.integer("warmup", 0, kMaxWarmup);
    o.robust = options.boolean("robust");
    if (options.ok()) {
      Fields stages(options.at("stages"), "options.stages", error);
      o.stages = {stages.boolean("flow"), stages.boolean("guided"), stages.boolean("vote"), stages.boolean("refine")};
    }
  }
  if (const json* registrations = top.array("registrations", -1)) {
    for (std::size_t i = 0; i < registrations->size() && top.ok(); ++i) {
      Fields r((*registrations)[i], "registrations[" + std::to_string(i) + "]", error);
      SessionRegistration registration;
      registration.frame = r.integer("frame", 0, s.frameCount - 1);
      if (r.ok() && !s.registrations.empty() && registration.frame < s.registrations.back().frame)
        r.fail(r.name("frame") + " comes before the registration above it");
      if (const json* corners = r.array("corners", 4))
        ReadQuad(*corners, r.name("corners"), registration.corners, error);
      s.registrations.push_back(registration);
    }
  }
  if (const json* pictures = top.array("pictures", -1)) {
    for (std::size_t i = 0; i < pictures->size() && top.ok(); ++i) {
      Fields p((*pictures)[i], "pictures[" + std::to_string(i) + "]", error);
      SessionPicture picture;
      picture.name = p.text("name");
      picture.file = p.file("file");
      if (p.ok() && picture.file.empty()) p.fail(p.name("file") + " is missing");
      picture.width = p.number("width", 0.0, 100.0);
      s.pictures.push_back(picture);
    }
  }
  if (top.ok() && top.has("truth")) {
    const json* truth = top.array("truth", s.frameCount);
    for (std::size_t i = 0; truth != nullptr && i < truth->size() && top.ok(); ++i) {
      const json& corners = (*truth)[i];
      FrameCorners c;
      if (corners.is_null())
        s.truth.emplace_back();
      else if (ReadPoints(corners, "truth[" + std::to_string(i) + "]", c, error))
        s.truth.emplace_back(c);
    }
  }
  if (top.ok() && top.has("target_truth")) {
    const json* truth = top.array("target_truth", s.frameCount);
    for (std::size_t i = 0; truth != nullptr && i < truth->size() && top.ok(); ++i) {
      const std::string frameName = "target_truth[" + std::to_string(i) + "]";
      if (!(*truth)[i].is_array()) top.fail(frameName + " must be an array");
      std::vector<TargetTruth> targets;
      for (std::size_t k = 0; top.ok() && k < (*truth)[i].size(); ++k) {
        Fields t((*truth)[i][k], frameName + "[" + std::to_string(k) + "]", error);
        TargetTruth target;
        target.name = t.text("name");
        target.whole = t.boolean("whole");
        if (const json* corners = t.array("corners", 4)) ReadPoints(*corners, t.name("corners"), target.corners, error);
        targets.push_back(std::move(target));
      }
      s.targetTruth.push_back(std::move(targets));
    }
  }
  if (!error.empty()) return std::nullopt;
  return s;
}

}  // namespace quorl
