#include "library/picture_library.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>

#include <opencv2/core.hpp>

#include "features/picture_target.h"
#include "tracker/tracker.h"

namespace quorl {
namespace {

static_assert(std::endian::native == std::endian::little, "the library format is read and written as in memory");
static_assert(sizeof(int) == 4 && sizeof(float) == 4 && sizeof(double) == 8);

// The stored fields of each struct, in file order.
template <class A>
void Fields(A& a, TiltView& v) {
  a(v.map);
}
template <class A>
void Fields(A& a, RobustModel& m) {
  a(m.quad, m.points, m.descriptors, m.scales, m.tilts, m.trackPoints, m.barrier, m.arc);
}
template <class A>
void Fields(A& a, Trackability& t) {
  a(t.corners, t.spread, t.distinctness, t.score);
}
template <class A>
void Fields(A& a, ScaledTemplate& s) {
  a(s.scale, s.ratio, s.tmpl);
}
template <class A>
void Fields(A& a, PictureSearch::Tree& t) {
  a(t.nodes, t.order);
}
template <class A>
void Fields(A& a, PictureTarget& t) {
  a(t.name, t.width, t.fileSize, t.workingScale, t.trackability, t.miniature, t.robust.model, t.robust.refinements);
}

template <class A, class T>
concept Stored = requires(A& a, T& t) { Fields(a, t); };

// Values kept as their bytes in memory, and vectors of them copied whole.
template <class T>
inline constexpr bool kRaw = std::is_arithmetic_v<T>;
template <class T, std::size_t N>
inline constexpr bool kRaw<std::array<T, N>> = kRaw<T>;
template <class T>
inline constexpr bool kRaw<cv::Point_<T>> = kRaw<T>;

// A search tree's leaf as a node's stored dimension.
constexpr uint8_t kLeafDim = 0xFF;

// A record that does not hold together, with what is wrong.
struct Malformed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Out {
 public:
  std::string bytes;

  template <class... T>
  void operator()(const T&... v) {
    (Put(v), ...);
  }
  template <class T>
    requires kRaw<T>
  void Put(const T& v) {
    Append(&v, sizeof(T));
  }
  void Put(const std::string& s) {
    Count(s.size());
    Append(s.data(), s.size());
  }
  template <class T>
  void Put(const std::vector<T>& v) {
    Count(v.size());
    if constexpr (kRaw<T>) {
      Append(v.data(), v.size() * sizeof(T));
    } else {
      for (const T& e : v) Put(e);
    }
  }
  template <class T, std::size_t N>
    requires(!kRaw<T>)
  void Put(const std::array<T, N>& a) {
    for (const T& e : a) Put(e);
  }
  void Put(const cv::Size& s) { (*this)(s.width, s.height); }
  template <class T, int M, int N>
  void Put(const cv::Matx<T, M, N>& m) {
    for (const T& v : m.val) Put(v);
  }
  // A point as its position, scale slot (u8), orientation and view (u8): a model has a few dozen of each.
  void Put(const ModelPoint& p) {
    if (p.slot < 0 || p.slot > UINT8_MAX || p.view < 0 || p.view > UINT8_MAX)
      throw std::length_error("a point's scale or view past what a picture library holds");
    (*this)(p.position, static_cast<uint8_t>(p.slot), p.orientation, static_cast<uint8_t>(p.view));
  }
  // Descriptors in half precision (a picture's are rounded to it when built; BuildPictureTarget).
  void Put(const std::vector<KeypointDescriptor>& descriptors) {
    Count(descriptors.size());
    for (const KeypointDescriptor& d : descriptors)
      for (const double v : d) Put(cv::float16_t(static_cast<float>(v)).bits());
  }
  // A search tree's node as its dimension (u8, kLeafDim for a leaf), then a leaf's range or a split's cut and first
  // child (its second is the next node).
  void Put(const PictureSearch::Node& n) {
    Put(n.dim < 0 ? kLeafDim : static_cast<uint8_t>(n.dim));
    if (n.dim < 0) {
      (*this)(n.low, n.high);
    } else {
      (*this)(n.cut, n.low);
    }
  }
  // A grey picture (CV_8UC1) as its width and height (i32 each), then its rows.
  void Put(const cv::Mat& gray) {
    (*this)(static_cast<int32_t>(gray.cols), static_cast<int32_t>(gray.rows));
    for (int y = 0; y < gray.rows; ++y) Append(gray.ptr<uint8_t>(y), static_cast<std::size_t>(gray.cols));
  }
  // Each sample as its level pixel (u16 each), value (u8) and gradient in eighths of a grey level (i16 each).
  void Put(const RefinementTemplate& t) {
    (*this)(t.centre, t.scale);
    for (int level = 0; level < kTemplateLevels; ++level) {
      // The level's place, not its own field: a level the template never reached (its picture too small) keeps 0.
      const TemplateLevel& lvl = t.levels[level];
      Put(static_cast<int32_t>(level));
      Count(lvl.points.size());
      for (std::size_t i = 0; i < lvl.points.size(); ++i) {
        const cv::Point at = LevelPixel(lvl, i);
        const cv::Point2f g = LevelGradient(lvl, t, i);
        (*this)(static_cast<uint16_t>(at.x), static_cast<uint16_t>(at.y), static_cast<uint8_t>(lvl.values[i]),
                static_cast<int16_t>(std::lround(g.x * 8.0f)), static_cast<int16_t>(std::lround(g.y * 8.0f)));
      }
    }
  }
  template <class T>
    requires Stored<Out, T>
  void Put(const T& s) {
    Fields(*this, const_cast<T&>(s));  // only read
  }

 private:
  void Append(const void* data, std::size_t n) {
    const std::size_t at = bytes.size();
    bytes.resize(at + n);
    if (n > 0) std::memcpy(bytes.data() + at, data, n);
  }
  void Count(std::size_t n) {
    if (n > UINT32_MAX) throw std::length_error("a list too long for a picture library");
    Put(static_cast<uint32_t>(n));
  }
};

// The bytes a default T takes: the fewest any stored T takes, to bound counts by the bytes left.
template <class T>
std::size_t LeastBytes() {
  if constexpr (kRaw<T>) {
    return sizeof(T);
  } else {
    static const std::size_t least = [] {
      Out out;
      out.Put(T{});
      return std::max<std::size_t>(1, out.bytes.size());
    }();
    return least;
  }
}

class In {
 public:
  In(const char* begin, const char* end) : p_(begin), end_(end) {}
  std::size_t left() const { return static_cast<std::size_t>(end_ - p_); }

  template <class... T>
  void operator()(T&... v) {
    (Get(v), ...);
  }
  template <class T>
    requires kRaw<T>
  void Get(T& v) {
    Take(&v, sizeof(T));
  }
  void Get(std::string& s) {
    s.resize(Count(1));
    Take(s.data(), s.size());
  }
  template <class T>
  void Get(std::vector<T>& v) {
    const std::size_t n = Count(LeastBytes<T>());
    v.resize(n);
    if constexpr (kRaw<T>) {
      Take(v.data(), n * sizeof(T));
    } else {
      for (T& e : v) Get(e);
    }
  }
  template <class T, std::size_t N>
    requires(!kRaw<T>)
  void Get(std::array<T, N>& a) {
    for (T& e : a) Get(e);
  }
  void Get(cv::Size& s) { (*this)(s.width, s.height); }
  template <class T, int M, int N>
  void Get(cv::Matx<T, M, N>& m) {
    for (T& v : m.val) Get(v);
  }
  void Get(ModelPoint& p) {
    uint8_t slot = 0, view = 0;
    (*this)(p.position, slot, p.orientation, view);
    p.slot = slot;
    p.view = view;
  }
  void Get(std::vector<KeypointDescriptor>& descriptors) {
    descriptors.resize(Count(sizeof(uint16_t) * kDescriptorSize));
    for (KeypointDescriptor& d : descriptors)
      for (double& v : d) {
        uint16_t bits = 0;
        Get(bits);
        v = static_cast<float>(cv::float16_t::fromBits(bits));
      }
  }
  void Get(PictureSearch::Node& n) {
    uint8_t dim = 0;
    Get(dim);
    n.dim = dim == kLeafDim ? -1 : dim;  // one past the descriptor is refused with the forest
    if (n.dim < 0) {
      (*this)(n.low, n.high);
    } else {
      (*this)(n.cut, n.low);
      n.high = n.low == INT32_MAX ? n.low : n.low + 1;
    }
  }
  void Get(cv::Mat& gray) {
    int32_t width = 0, height = 0;
    (*this)(width, height);
    if (width < 0 || height < 0 || (width == 0) != (height == 0)) throw Malformed("a picture of no size");
    if (static_cast<uint64_t>(width) * static_cast<uint64_t>(height) > left())
      throw Malformed("a picture past the end of the file");
    gray.create(height, width, CV_8UC1);
    for (int y = 0; y < height; ++y) Take(gray.ptr<uint8_t>(y), static_cast<std::size_t>(width));
  }
  void Get(RefinementTemplate& t) {
    (*this)(t.centre, t.scale);
    if (!(t.scale > 0.0) || !std::isfinite(t.scale) || !std::isfinite(t.centre.x) || !std::isfinite(t.centre.y))
      throw Malformed("a template of no size");
    for (int level = 0; level < kTemplateLevels; ++level) {
      TemplateLevel& lvl = t.levels[level];
      int32_t stored = 0;
      Get(stored);
      if (stored != level) throw Malformed("template levels out of order");
      lvl.level = level;
      constexpr std::size_t kSampleBytes = 9;
      const std::size_t n = Count(kSampleBytes);
      lvl.points.reserve(n);
      lvl.values.reserve(n);
      lvl.steepest.reserve(n);
      for (std::size_t i = 0; i < n; ++i) {
        uint16_t x = 0, y = 0;
        uint8_t value = 0;
        int16_t gx = 0, gy = 0;
        (*this)(x, y, value, gx, gy);
        AddTemplateSample(lvl, t, cv::Point(x, y), value, gx / 8.0f, gy / 8.0f);
      }
    }
  }
  template <class T>
    requires Stored<In, T>
  void Get(T& s) {
    Fields(*this, s);
  }

 private:
  void Take(void* to, std::size_t n) {
    if (n > left()) throw Malformed("it ends inside a record");
    if (n > 0) std::memcpy(to, p_, n);
    p_ += n;
  }
  // A count of elements that take at least `least` bytes each, checked against the bytes left.
  std::size_t Count(std::size_t least) {
    uint32_t n = 0;
    Get(n);
    if (n > left() / least) throw Malformed("a count of " + std::to_string(n) + " past the end of the file");
    return n;
  }

  const char* p_;
  const char* end_;
};

constexpr std::size_t kHeaderBytes = sizeof(kLibraryMagic) + 4 + 8 + 4;
constexpr std::size_t kChecksumBytes = 4;

// The CRC-32 of a large file in a piece per core, joined by zlib's crc32_combine.
uint32_t Checksum(const char* data, std::size_t n) {
  constexpr std::size_t kLeastPiece = std::size_t{1} << 22;
  const std::size_t pieces =
      std::clamp<std::size_t>(n / kLeastPiece, 1, std::max(1u, std::thread::hardware_concurrency()));
  const std::size_t each = n / pieces;
  const auto length = [&](std::size_t k) { return k + 1 == pieces ? n - k * each : each; };
  std::vector<uLong> crcs(pieces);
  const auto crc = [&](std::size_t k) {
    crcs[k] = crc32_z(crc32_z(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data + k * each), length(k));
  };
  std::vector<std::thread> threads;
  for (std::size_t k = 1; k < pieces; ++k) threads.emplace_back(crc, k);
  crc(0);
  for (std::thread& t : threads) t.join();
  uLong whole = crcs[0];
  for (std::size_t k = 1; k < pieces; ++k)
    whole = crc32_combine(whole, crcs[k], static_cast<z_off_t>(length(k)));
  return static_cast<uint32_t>(whole);
}

bool Finite(cv::Point2f p) { return std::isfinite(p.x) && std::isfinite(p.y); }

// What keeps a read target from being tracked safely; empty when nothing does.
std::string Problem(const PictureTarget& t) {
  const RobustModel& m = t.robust.model;
  if (t.name.empty() || t.name.size() > kMaxPictureNameBytes) return "a name of " + std::to_string(t.name.size()) + " bytes";
  if (!std::isfinite(t.width) || t.width < 0.0) return "a width that is not a length";
  if (const std::string size = PictureSizeProblem(t.fileSize.width, t.fileSize.height); !size.empty())
    return "a picture of " + size;
  if (!(t.workingScale > 0.0 && t.workingScale <= 1.0)) return "a working scale outside 0..1";
  if (m.arc < 9 || m.arc > 12) return "FAST-" + std::to_string(m.arc) + " corners";
  if (m.points.size() != m.descriptors.size()) return "points and descriptors of different counts";
  if (m.scales.empty()) return "a model without scales";
  for (std::size_t s = 0; s < m.scales.size(); ++s)
    if (!(m.scales[s] > 0.0 && std::isfinite(m.scales[s])) || (s > 0 && !(m.scales[s] > m.scales[s - 1])))
      return "scales that are not ascending";
  for (const cv::Point2f& c : m.quad)
    if (!Finite(c)) return "a quad that is not finite";
  for (const TiltView& v : m.tilts)
    for (const float e : v.map.val)
      if (!std::isfinite(e)) return "a tilted view that is not finite";
  for (const ModelPoint& p : m.points)
    if (p.slot < 0 || p.slot >= static_cast<int>(m.scales.size()) || !Finite(p.position) ||
        !std::isfinite(p.orientation) || p.view < 0 || p.view > static_cast<int>(m.tilts.size()))
      return "a model point outside its scales";
  for (const KeypointDescriptor& d : m.descriptors)
    for (const double v : d)
      if (!std::isfinite(v)) return "a descriptor that is not finite";
  for (const cv::Point2f& p : m.trackPoints)
    if (!Finite(p)) return "a followed point that is not finite";
  if (t.robust.refinements.empty()) return "no refinement template";
  for (const ScaledTemplate& s : t.robust.refinements)
    if (!(s.scale > 0.0 && s.scale <= 1.0 && s.ratio.x > 0.0 && s.ratio.x <= 1.0 && s.ratio.y > 0.0 &&
          s.ratio.y <= 1.0))
      return "a template scale outside 0..1";
  return {};
}

}  // namespace

std::vector<PictureTarget> BuildLibraryTargets(const std::vector<LibraryInput>& inputs, int arc, int jobs,
                                               const LibraryProgress& done) {
  std::vector<PictureTarget> out(inputs.size());
  std::atomic<std::size_t> next{0};
  std::mutex reporting;
  InitDescriptorTables();
  const auto work = [&] {
    for (std::size_t i = next++; i < inputs.size(); i = next++) {
      const LibraryInput& in = inputs[i];
      std::string error;
      bool built = false;
      PictureTarget target;
      try {
        const cv::Mat picture = readPictureFile(in.path, error);
        const cv::Mat gray = error.empty() ? PrepareTargetPicture(picture, in.path, error) : cv::Mat();
        if (!gray.empty()) {
          target = BuildPictureTarget(in.name, gray, picture.size(), in.width, arc);
          built = true;
        }
      } catch (const std::exception& e) {
        error = in.path + ": " + e.what();
      }
      const std::lock_guard lock(reporting);
      if (built) out[i] = std::move(target);
      if (done) done(i, built ? &out[i] : nullptr, error);
    }
  };
  // One picture per task; OpenCV's own workers would only compete with the tasks.
  const int previous = cv::getNumThreads();
  cv::setNumThreads(1);
  const int workers = std::clamp(jobs, 1, static_cast<int>(std::max<std::size_t>(1, inputs.size())));
  std::vector<std::thread> threads;
  for (int k = 1; k < workers; ++k) threads.emplace_back(work);
  work();
  for (std::thread& t : threads) t.join();
  cv::setNumThreads(previous);
  return out;
}

std::string EncodePictureLibrary(const std::vector<PictureTarget>& targets) {
  Out out;
  for (const char c : kLibraryMagic) out.Put(c);
  out(kLibraryVersion, uint64_t{0}, static_cast<uint32_t>(targets.size()));
  for (const PictureTarget& t : targets) {
    const std::size_t at = out.bytes.size();
    out.Put(uint64_t{0});
    out.Put(t);
    const uint64_t recordLength = out.bytes.size() - at - sizeof(uint64_t);
    std::memcpy(out.bytes.data() + at, &recordLength, sizeof(recordLength));
  }
  PictureSearch search;
  if (targets.size() >= kSearchedPictures) {
    std::vector<const RobustModel*> models;
    for (const PictureTarget& t : targets) models.push_back(&t.robust.model);
    search.Build(models);
  }
  out.Put(search.trees());
  const uint64_t length = out.bytes.size() + kChecksumBytes;
  std::memcpy(out.bytes.data() + sizeof(kLibraryMagic) + 4, &length, sizeof(length));
  out.Put(Checksum(out.bytes.data(), out.bytes.size()));
  return std::move(out.bytes);
}

bool WritePictureLibrary(const std::string& path, const std::vector<PictureTarget>& targets, std::string& error) {
  const auto fail = [&](const std::string& reason) {
    error = path + ": " + reason;
    return false;
  };
  if (targets.size() > kMaxLibraryPictures)
    return fail("more than " + std::to_string(kMaxLibraryPictures) + " pictures");
  // Only a file is replaced: renaming over a device or a pipe would put the library in its place.
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::symlink_status(path, ec);
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
    return fail("not a file: a picture library only replaces a file");
  std::string bytes;
  try {
    bytes = EncodePictureLibrary(targets);
  } catch (const std::length_error& e) {
    return fail(e.what());
  }
  // A new file in the same folder, renamed over the old one once it is whole.
  const std::filesystem::path target(path);
  std::string temporary = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
  const int fd = mkstemp(temporary.data());
  if (fd < 0) return fail(std::string("cannot be written: ") + std::strerror(errno));
  const auto abandon = [&](const std::string& reason) {
    ::close(fd);
    ::unlink(temporary.c_str());
    return fail(reason);
  };
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(fd, 0666 & ~mask) != 0) return abandon(std::string("cannot be written: ") + std::strerror(errno));
  for (std::size_t written = 0; written < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return abandon(std::string("cannot be written: ") + std::strerror(n < 0 ? errno : EIO));
    written += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) return abandon(std::string("cannot be written: ") + std::strerror(errno));
  if (::close(fd) != 0) {
    ::unlink(temporary.c_str());
    return fail(std::string("cannot be written: ") + std::strerror(errno));
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int e = errno;
    ::unlink(temporary.c_str());
    return fail(std::string("cannot be written: ") + std::strerror(e));
  }
  return true;
}

std::optional<PictureLibrary> DecodePictureLibrary(const std::string& bytes, const std::string& path,
                                                  std::string& error) {
  const auto refuse = [&](const std::string& reason) {
    error = path + ": " + reason;
    return std::nullopt;
  };
  if (bytes.size() < sizeof(kLibraryMagic) || std::memcmp(bytes.data(), kLibraryMagic, sizeof(kLibraryMagic)) != 0)
    return refuse("not a Quorl picture library");
  if (bytes.size() < kHeaderBytes + kChecksumBytes) return refuse("truncated");
  In header(bytes.data() + sizeof(kLibraryMagic), bytes.data() + kHeaderBytes);
  uint32_t version = 0, count = 0;
  uint64_t length = 0;
  header(version, length, count);
  if (version != kLibraryVersion)
    return refuse("version " + std::to_string(version) + ", this program reads version " +
                  std::to_string(kLibraryVersion));
  if (bytes.size() < length) return refuse("truncated");
  if (bytes.size() > length) return refuse("damaged (" + std::to_string(bytes.size() - length) + " bytes past its end)");
  const std::size_t body = bytes.size() - kChecksumBytes;
  uint32_t stored = 0;
  std::memcpy(&stored, bytes.data() + body, sizeof(stored));
  if (Checksum(bytes.data(), body) != stored) return refuse("damaged (checksum mismatch)");
  if (count > kMaxLibraryPictures || count > (body - kHeaderBytes) / LeastBytes<PictureTarget>())
    return refuse("damaged (a count of " + std::to_string(count) + " pictures)");

  // The records' places first, then each record decoded on its own, on every core.
  std::vector<std::pair<const char*, const char*>> records;
  In in(bytes.data() + kHeaderBytes, bytes.data() + body);
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t recordLength = 0;
    try {
      in.Get(recordLength);
    } catch (const Malformed& e) {
      return refuse("damaged (picture " + std::to_string(i + 1) + ": " + e.what() + ")");
    }
    if (recordLength > in.left()) return refuse("damaged (picture " + std::to_string(i + 1) + ": past the end)");
    const char* const start = bytes.data() + (body - in.left());
    records.emplace_back(start, start + recordLength);
    in = In(start + recordLength, bytes.data() + body);
  }
  PictureLibrary library;
  try {
    in.Get(library.forest);
  } catch (const std::exception& e) {  // Malformed, or no memory for what it holds
    return refuse(std::string("damaged (search forest: ") + e.what() + ")");
  }
  if (in.left() != 0) return refuse("damaged (" + std::to_string(in.left()) + " bytes after the search forest)");
  std::vector<PictureTarget>& targets = library.targets;
  targets.resize(count);
  std::vector<std::string> problems(count);
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i = next++; i < count; i = next++) {
      PictureTarget t = NewPictureTarget();
      In record(records[i].first, records[i].second);
      try {
        record.Get(t);
        if (record.left() != 0) throw Malformed(std::to_string(record.left()) + " bytes after its end");
      } catch (const std::exception& e) {  // Malformed, or no memory for what it holds
        problems[i] = e.what();
        continue;
      }
      problems[i] = Problem(t);
      if (!problems[i].empty()) continue;
      RestartRobustMotion(t.robust);  // never seen: searched for globally
      targets[i] = std::move(t);
    }
  };
  const unsigned workers = std::clamp<unsigned>(std::thread::hardware_concurrency(), 1, std::max<uint32_t>(1, count));
  std::vector<std::thread> threads;
  for (unsigned k = 1; k < workers; ++k) threads.emplace_back(work);
  work();
  for (std::thread& t : threads) t.join();
  for (uint32_t i = 0; i < count; ++i)
    if (!problems[i].empty()) return refuse("damaged (picture " + std::to_string(i + 1) + ": " + problems[i] + ")");
  if (!library.forest.empty()) {
    std::size_t points = 0;
    for (const PictureTarget& t : targets) points += PictureSearch::PointsOf(t.robust.model);
    const std::string problem = PictureSearch::ForestProblem(library.forest, points);
    if (!problem.empty()) return refuse("damaged (search forest: " + problem + ")");
  }
  return library;
}

std::optional<PictureLibrary> ReadPictureLibrary(const std::string& path, std::string& error) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    error = path + ": no such file";
    return std::nullopt;
  }
  if (std::filesystem::is_directory(path, ec)) {
    error = path + ": a folder, not a picture library";
    return std::nullopt;
  }
  std::ifstream file(path, std::ios::binary);
  const auto size = std::filesystem::file_size(path, ec);
  if (!file || ec) {
    error = path + ": cannot be read: " + (ec ? ec.message() : std::strerror(errno));
    return std::nullopt;
  }
  std::string bytes(static_cast<std::size_t>(size), '\0');
  file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (file.gcount() != static_cast<std::streamsize>(bytes.size())) {
    error = path + ": cannot be read";
    return std::nullopt;
  }
  return DecodePictureLibrary(bytes, path, error);
}

std::optional<std::size_t> AddPictureLibrary(TargetSet& set, const std::string& path, std::string& error) {
  std::optional<PictureLibrary> library = ReadPictureLibrary(path, error);
  if (!library) return std::nullopt;
  const std::size_t n = library->targets.size();
  set.AddPrepared(std::move(library->targets), std::move(library->forest));
  return n;
}

}  // namespace quorl
