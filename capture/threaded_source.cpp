#include "capture/threaded_source.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace quorl {

// What the queries answer, taken from the source between reads.
struct ThreadedSource::Facts {
  int width = 0;
  int height = 0;
  std::string description;
  std::string name;
  double frameRate = 0.0;
  int frameCount = -1;
};

namespace {

using Clock = std::chrono::steady_clock;

ThreadedSource::Facts factsOf(const FrameSource& source) {
  return {source.width(), source.height(), source.description(), source.name(), source.frameRate(),
          source.frameCount()};
}

// Time between two reads of a file or sequence; zero for a camera, which delivers at its own pace.
Clock::duration readPeriod(const ThreadedSource::Facts& facts, const CaptureTiming& timing) {
  if (facts.frameCount < 0) return Clock::duration::zero();
  if (facts.frameRate <= 0.0) return timing.unknownRatePeriod;
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / facts.frameRate));
}

}  // namespace

struct ThreadedSource::Shared {
  Shared(std::unique_ptr<FrameSource> s, CaptureTiming t) : source(std::move(s)), timing(t) {}

  std::mutex sourceMutex;  // held for every read and every change of `source`
  std::unique_ptr<FrameSource> source;
  const CaptureTiming timing;

  std::mutex mutex;              // guards everything below; never held while the source is read
  std::condition_variable wake;  // a stop request, the end of a change, the thread's end
  std::vector<uint8_t> newest;   // the newest frame, packed
  std::optional<FrameCorners> newestCorners;
  bool fresh = false;  // `newest` not handed over yet
  std::optional<FrameCorners> handedCorners;
  Facts facts;
  bool failing = false;
  int changesWaiting = 0;  // changeSource calls waiting for the source lock
  bool stop = false;
  bool finished = false;
};

ThreadedSource::ThreadedSource(std::unique_ptr<FrameSource> source, CaptureTiming timing)
    : shared_(std::make_shared<Shared>(std::move(source), timing)) {
  shared_->facts = factsOf(*shared_->source);
  thread_ = std::thread(run, shared_);
}

ThreadedSource::~ThreadedSource() {
  std::unique_lock lock(shared_->mutex);
  shared_->stop = true;
  shared_->wake.notify_all();
  const bool ended = shared_->wake.wait_for(lock, shared_->timing.stopWait, [this] { return shared_->finished; });
  lock.unlock();
  if (ended) {
    thread_.join();
  } else {
    thread_.detach();  // still inside the source's read; it ends after it and drops its share
  }
}

void ThreadedSource::run(std::shared_ptr<Shared> s) {
  std::vector<uint8_t> scratch;
  Clock::time_point nextDue = Clock::now();
  Clock::time_point lastRestart = Clock::now();
  Facts known = [&] {
    std::lock_guard lock(s->mutex);
    return s->facts;
  }();
  for (bool running = true; running;) {
    Clock::time_point until;
    {
      // Read and publish under the source lock, so that a change of the source sees the frame read
      // before it and can drop it.
      std::lock_guard sourceLock(s->sourceMutex);
      bool ok = s->source->read(scratch);
      bool newFacts = false;
      if (!ok && Clock::now() - lastRestart >= s->timing.restartInterval) {
        lastRestart = Clock::now();
        newFacts = s->source->restart();
        ok = newFacts && s->source->read(scratch);
      }
      const std::optional<FrameCorners> corners = ok ? s->source->trueCorners() : std::nullopt;
      if (newFacts || (ok && (s->source->width() != known.width || s->source->height() != known.height))) {
        known = factsOf(*s->source);
        newFacts = true;
      }
      const Clock::time_point now = Clock::now();
      if (ok) nextDue = std::max(nextDue + readPeriod(known, s->timing), now);
      until = ok ? nextDue : now + s->timing.retryDelay;

      std::lock_guard lock(s->mutex);
      if (ok) {
        s->newest.swap(scratch);
        s->newestCorners = corners;
        s->fresh = true;
      }
      s->failing = !ok;
      if (newFacts) s->facts = known;
    }
    std::unique_lock lock(s->mutex);
    s->wake.wait_until(lock, until, [&] { return s->stop; });
    // A change of the source goes first: without this wait the thread would take the lock straight back.
    s->wake.wait(lock, [&] { return s->stop || s->changesWaiting == 0; });
    running = !s->stop;
  }
  std::lock_guard lock(s->mutex);
  s->finished = true;
  s->wake.notify_all();
}

bool ThreadedSource::read(std::vector<uint8_t>& packed) {
  std::lock_guard lock(shared_->mutex);
  if (!shared_->fresh) return false;
  packed.swap(shared_->newest);
  shared_->handedCorners = shared_->newestCorners;
  shared_->fresh = false;
  return true;
}

template <class Change>
bool ThreadedSource::changeSource(Change change) {
  {
    std::lock_guard lock(shared_->mutex);
    ++shared_->changesWaiting;
  }
  std::lock_guard sourceLock(shared_->sourceMutex);
  const bool taken = change(*shared_->source);
  const Facts facts = factsOf(*shared_->source);
  std::lock_guard lock(shared_->mutex);
  --shared_->changesWaiting;
  shared_->facts = facts;
  shared_->fresh = false;  // read before the change, perhaps at the old size
  shared_->wake.notify_all();
  return taken;
}

bool ThreadedSource::setFrameSize(int width, int height) {
  return changeSource([&](FrameSource& source) { return source.setFrameSize(width, height); });
}

bool ThreadedSource::setMode(int width, int height, const std::string& fourcc, double framesPerSecond) {
  return changeSource([&](FrameSource& source) { return source.setMode(width, height, fourcc, framesPerSecond); });
}

bool ThreadedSource::failing() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->failing;
}

ThreadedSource::Facts ThreadedSource::facts() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->facts;
}

int ThreadedSource::width() const { return facts().width; }
int ThreadedSource::height() const { return facts().height; }
std::string ThreadedSource::description() const { return facts().description; }
std::string ThreadedSource::name() const { return facts().name; }
double ThreadedSource::frameRate() const { return facts().frameRate; }
int ThreadedSource::frameCount() const { return facts().frameCount; }

std::optional<FrameCorners> ThreadedSource::trueCorners() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->handedCorners;
}

}  // namespace quorl
