// Writes a synthetic video sequence for benchmarking: a ground-truth file and
// the output of an imperfect detector on it.
//
//   generate_sequence --frames N --boxes B --seed S --out-dir DIR
//
// writes DIR/groundtruth.csv and DIR/systemoutput.csv. Every ground-truth
// frame lists B boxes of the ten classes (mostly cars) that persist from frame
// to frame and move smoothly, as tracked objects do in video, over an image
// whose side grows with the square root of B so that the density of boxes
// stays the same. Some frames carry don't-care regions, and about 2% of the
// boxes are flagged in column 11 or 12. The detector's output jitters every
// corner by a few pixels, misses about 10% of the boxes, adds about 10% false
// alarms, gives about 3% of its boxes the wrong class, and gives confidences
// that are higher for true detections than for false alarms.
//
// The output depends only on the arguments: the random numbers come from a
// generator defined here and every value is derived with exactly rounded
// operations.
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

// xoshiro256** seeded through splitmix64: fast, and the same on every platform
// (unlike the distributions of <random>).
class Random {
 public:
  explicit Random(uint64_t seed) {
    for (auto& word : state_) {
      seed += 0x9e3779b97f4a7c15ULL;
      uint64_t z = seed;
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
      word = z ^ (z >> 31);
    }
  }

  uint64_t next() {
    const uint64_t result = rotate(state_[1] * 5, 7) * 9;
    const uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = rotate(state_[3], 45);
    return result;
  }

  /// Uniform in [0, 1).
  double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  /// Uniform in [low, high).
  double uniform(double low, double high) { return low + (high - low) * unit(); }
  /// Uniform whole number in [low, high].
  int32_t between(int32_t low, int32_t high) {
    const auto span = static_cast<uint64_t>(static_cast<int64_t>(high) - low + 1);
    return static_cast<int32_t>(low + static_cast<int64_t>((next() >> 32) * span >> 32));
  }
  bool chance(double probability) { return unit() < probability; }

 private:
  static uint64_t rotate(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::array<uint64_t, 4> state_{};
};

// ---------------------------------------------------------------------------
// Classes

struct ClassShape {
  std::string_view name;
  double share;      // part of the objects of this class
  double minLength;  // the longer side, in pixels
  double maxLength;
  double minAspect;  // shorter side / longer side
  double maxAspect;
  double movingShare;  // part of the objects that move
  double maxSpeed;     // pixels per frame
};

// Mostly cars, as in traffic footage. The longer side is at least 33 pixels,
// so that rounding and the detector's jitter rarely take a box below the
// 30-pixel size test.
constexpr std::array<ClassShape, 10> kClasses = {{
    {"Car", 0.70, 33, 60, 0.42, 0.60, 0.6, 4.0},
    {"Truck", 0.08, 45, 95, 0.35, 0.50, 0.5, 3.5},
    {"Tractor-Trailor", 0.03, 75, 120, 0.20, 0.30, 0.5, 3.0},
    {"Bus", 0.04, 65, 115, 0.25, 0.35, 0.5, 3.0},
    {"Container", 0.02, 40, 90, 0.30, 0.45, 0.0, 0.0},
    {"Boat", 0.02, 33, 120, 0.30, 0.50, 0.5, 2.0},
    {"Plane", 0.01, 60, 120, 0.80, 1.00, 0.3, 6.0},
    {"Helicopter", 0.01, 40, 80, 0.70, 1.00, 0.5, 4.0},
    {"Person", 0.06, 33, 40, 0.35, 0.50, 0.7, 1.0},
    {"Cyclist", 0.03, 33, 48, 0.35, 0.50, 0.8, 2.0},
}};

std::size_t drawClass(Random& random) {
  double u = random.unit();
  for (std::size_t i = 0; i < kClasses.size(); ++i) {
    if (u < kClasses[i].share) return i;
    u -= kClasses[i].share;
  }
  return 0;
}

// A wrong class the detector might give instead of `actual`: usually a close
// one (a car for a truck), sometimes any other.
std::size_t swappedClass(std::size_t actual, Random& random) {
  static constexpr std::array<std::size_t, 10> kConfusedWith = {1, 0, 1, 1, 1, 0, 7, 6, 9, 8};
  if (random.chance(0.7)) return kConfusedWith[actual];
  const auto other = static_cast<std::size_t>(random.between(1, kClasses.size() - 1));
  return (actual + other) % kClasses.size();
}

// ---------------------------------------------------------------------------
// The scene

struct Quad {
  std::array<int32_t, 8> corners{};  // x1, y1, ..., x4, y4
};

// One tracked object: a rectangle of fixed size and heading whose centre moves
// at nearly constant velocity.
struct Track {
  uint32_t id = 0;
  std::size_t kind = 0;
  double x = 0, y = 0;        // centre
  double dirX = 1, dirY = 0;  // heading, a unit vector
  double halfLength = 0, halfWidth = 0;
  double cruise = 0;  // usual speed along the heading, pixels per frame (0: parked)
  double speed = 0;   // current speed, wandering a little around `cruise`
  int flag = 0;       // 0 none, 11 or 12: the column set to TRUE
  Quad quad() const {
    const double lx = dirX * halfLength, ly = dirY * halfLength;
    const double wx = -dirY * halfWidth, wy = dirX * halfWidth;
    Quad q;
    const std::array<double, 8> exact = {x - lx - wx, y - ly - wy, x + lx - wx, y + ly - wy,
                                         x + lx + wx, y + ly + wy, x - lx + wx, y - ly + wy};
    for (std::size_t i = 0; i < 8; ++i) q.corners[i] = static_cast<int32_t>(std::lround(exact[i]));
    return q;
  }
};

// A unit vector in a uniformly random direction, without trigonometry.
void randomDirection(Random& random, double& dx, double& dy) {
  for (;;) {
    dx = random.uniform(-1.0, 1.0);
    dy = random.uniform(-1.0, 1.0);
    const double square = dx * dx + dy * dy;
    if (square > 0.01 && square <= 1.0) {
      const double norm = std::sqrt(square);
      dx /= norm;
      dy /= norm;
      return;
    }
  }
}

class Scene {
 public:
  Scene(std::size_t boxes, Random& random)
      : random_(random),
        width_(60.0 * std::sqrt(static_cast<double>(boxes)) * 16.0 / 9.0 + 1000.0),
        height_(60.0 * std::sqrt(static_cast<double>(boxes)) + 1000.0 * 9.0 / 16.0) {
    tracks_.resize(boxes);
    for (auto& track : tracks_) spawn(track);
  }

  double width() const { return width_; }
  double height() const { return height_; }
  const std::vector<Track>& tracks() const { return tracks_; }

  // Moves every object one frame on. Objects leaving the image, and now and
  // then one whose track simply ends, are replaced by new ones elsewhere, so
  // that every frame has the same number of boxes.
  void advance() {
    for (auto& track : tracks_) {
      if (track.cruise > 0.0) {
        track.speed += 0.05 * (track.cruise - track.speed) + random_.uniform(-0.05, 0.05);
        track.speed = std::fmax(0.0, track.speed);
      }
      track.x += track.dirX * track.speed;
      track.y += track.dirY * track.speed;
      const double margin = track.halfLength + 2.0;
      const bool outside = track.x < margin || track.y < margin || track.x > width_ - margin ||
                           track.y > height_ - margin;
      if (outside || random_.chance(0.0005)) spawn(track);
    }
  }

 private:
  void spawn(Track& track) {
    track.id = nextId_++;
    track.kind = drawClass(random_);
    const ClassShape& shape = kClasses[track.kind];
    const double length = random_.uniform(shape.minLength, shape.maxLength);
    track.halfLength = length / 2.0;
    track.halfWidth = length * random_.uniform(shape.minAspect, shape.maxAspect) / 2.0;
    randomDirection(random_, track.dirX, track.dirY);
    const double margin = track.halfLength + 2.0;
    track.x = random_.uniform(margin, width_ - margin);
    track.y = random_.uniform(margin, height_ - margin);
    track.cruise = random_.chance(shape.movingShare) ? random_.uniform(0.3, shape.maxSpeed) : 0.0;
    track.speed = track.cruise;
    track.flag = 0;
    if (random_.chance(0.02)) track.flag = random_.chance(0.5) ? 11 : 12;
  }

  Random& random_;
  double width_;
  double height_;
  std::vector<Track> tracks_;
  uint32_t nextId_ = 1;
};

// Don't-care regions: in some stretches of frames, a few fixed rectangles
// (roughly one per 2,000 boxes, at least one).
class Regions {
 public:
  Regions(std::size_t boxes, double width, double height)
      : perStretch_(1 + boxes / 2000), width_(width), height_(height) {}

  const std::vector<Quad>& forFrame(uint64_t frameIndex, Random& random) {
    if (frameIndex % kStretch == 0) {
      regions_.clear();
      if (random.chance(0.3)) {
        const std::size_t count = perStretch_ + static_cast<std::size_t>(random.between(0, 2));
        for (std::size_t i = 0; i < count; ++i) {
          const double w = random.uniform(60.0, 250.0), h = random.uniform(60.0, 250.0);
          const auto x0 = static_cast<int32_t>(random.uniform(0.0, width_ - w));
          const auto y0 = static_cast<int32_t>(random.uniform(0.0, height_ - h));
          const auto x1 = x0 + static_cast<int32_t>(w), y1 = y0 + static_cast<int32_t>(h);
          regions_.push_back(Quad{{x0, y0, x1, y0, x1, y1, x0, y1}});
        }
      }
    }
    return regions_;
  }

 private:
  static constexpr uint64_t kStretch = 50;
  std::size_t perStretch_;
  double width_;
  double height_;
  std::vector<Quad> regions_;
};

// ---------------------------------------------------------------------------
// Output

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Buffered writer of one file: text is assembled in a large buffer and handed
// to fwrite in big blocks.
class CsvWriter {
 public:
  explicit CsvWriter(const std::filesystem::path& path)
      : path_(path.string()), file_(std::fopen(path_.c_str(), "wb")) {
    buffer_.resize(kBufferSize + kMaxRecord);
    if (!file_) failed_ = true;
  }

  bool ok() const { return !failed_; }
  const std::string& path() const { return path_; }

  void text(std::string_view s) {
    s.copy(buffer_.data() + used_, s.size());
    used_ += s.size();
  }
  void ch(char c) { buffer_[used_++] = c; }
  void number(int64_t value) {
    const auto result =
        std::to_chars(buffer_.data() + used_, buffer_.data() + buffer_.size(), value);
    used_ = static_cast<std::size_t>(result.ptr - buffer_.data());
  }
  // A confidence given in ten-thousandths, written as "1" or "0.dddd" with
  // trailing zeros removed ("0.85", "0").
  void confidence(int32_t tenThousandths) {
    if (tenThousandths >= 10000) return ch('1');
    if (tenThousandths <= 0) return ch('0');
    text("0.");
    char digits[4];
    int32_t rest = tenThousandths;
    for (int i = 3; i >= 0; --i) {
      digits[i] = static_cast<char>('0' + rest % 10);
      rest /= 10;
    }
    int last = 3;
    while (digits[last] == '0') --last;
    text(std::string_view(digits, static_cast<std::size_t>(last) + 1));
  }

  // Ends a record; flushes when the buffer is nearly full.
  void endRecord() {
    ch('\n');
    if (used_ >= kBufferSize) flush();
  }

  bool close() {
    flush();
    if (file_ && std::fclose(file_.release()) != 0) failed_ = true;
    return !failed_;
  }

 private:
  static constexpr std::size_t kBufferSize = std::size_t{8} << 20;
  static constexpr std::size_t kMaxRecord = 512;  // no record is longer than this

  void flush() {
    if (used_ > 0 && file_ && !failed_) {
      if (std::fwrite(buffer_.data(), 1, used_, file_.get()) != used_) failed_ = true;
    }
    used_ = 0;
  }

  std::string path_;
  std::unique_ptr<std::FILE, FileCloser> file_;
  std::vector<char> buffer_;
  std::size_t used_ = 0;
  bool failed_ = false;
};

constexpr std::string_view kHeader =
    "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Number\n";

void writeRecord(CsvWriter& out, uint64_t frame, const Quad& quad, std::string_view type, int flag,
                 int32_t confidence, std::string_view label, uint32_t labelNumber) {
  out.number(static_cast<int64_t>(frame));
  for (const int32_t c : quad.corners) {
    out.ch(',');
    out.number(c);
  }
  out.ch(',');
  out.text(type);
  out.text(flag == 11 ? ",TRUE,FALSE," : flag == 12 ? ",FALSE,TRUE," : ",FALSE,FALSE,");
  out.confidence(confidence);
  out.ch(',');
  out.text(label);
  if (labelNumber != 0) out.number(labelNumber);
  out.text(",0");
  out.endRecord();
}

// The detector's confidence in ten-thousandths: mostly high for a true
// detection, mostly low for a false alarm, both spread over 0 to 1.
int32_t trueConfidence(Random& random) {
  return static_cast<int32_t>(std::lround(10000.0 * (1.0 - 0.8 * std::pow(random.unit(), 1.8))));
}
int32_t falseConfidence(Random& random) {
  return static_cast<int32_t>(std::lround(10000.0 * 0.9 * std::pow(random.unit(), 1.6)));
}

// A detection of `quad`: shifted as a whole by up to 3 pixels, each corner
// then moved by up to 1 more.
Quad jitter(const Quad& quad, Random& random) {
  const int32_t dx = random.between(-3, 3), dy = random.between(-3, 3);
  Quad out = quad;
  for (std::size_t i = 0; i < 8; i += 2) {
    out.corners[i] += dx + random.between(-1, 1);
    out.corners[i + 1] += dy + random.between(-1, 1);
  }
  return out;
}

// A false alarm: a box of a random class anywhere in the image.
Quad falseAlarm(std::size_t kind, double width, double height, Random& random) {
  const ClassShape& shape = kClasses[kind];
  Track ghost;
  const double length = random.uniform(shape.minLength, shape.maxLength);
  ghost.halfLength = length / 2.0;
  ghost.halfWidth = length * random.uniform(shape.minAspect, shape.maxAspect) / 2.0;
  randomDirection(random, ghost.dirX, ghost.dirY);
  ghost.x = random.uniform(ghost.halfLength + 2.0, width - ghost.halfLength - 2.0);
  ghost.y = random.uniform(ghost.halfLength + 2.0, height - ghost.halfLength - 2.0);
  return ghost.quad();
}

struct Options {
  uint64_t frames = 0;
  uint64_t boxes = 0;
  uint64_t seed = 1;
  std::string outDir;
};

constexpr std::string_view kUsage =
    "Usage: generate_sequence --frames N --boxes B --seed S --out-dir DIR\n";

bool parseNumber(std::string_view text, uint64_t& value) {
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

bool parseOptions(int argc, char** argv, Options& options) {
  bool haveFrames = false, haveBoxes = false, haveDir = false;
  for (int i = 1; i < argc; i += 2) {
    const std::string_view name = argv[i];
    if (i + 1 >= argc) return false;
    const std::string_view value = argv[i + 1];
    if (name == "--frames") {
      if (!parseNumber(value, options.frames)) return false;
      haveFrames = true;
    } else if (name == "--boxes") {
      if (!parseNumber(value, options.boxes)) return false;
      haveBoxes = true;
    } else if (name == "--seed") {
      if (!parseNumber(value, options.seed)) return false;
    } else if (name == "--out-dir") {
      options.outDir = value;
      haveDir = true;
    } else {
      return false;
    }
  }
  return haveFrames && haveBoxes && haveDir && options.boxes <= 10'000'000;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) {
    std::fputs(kUsage.data(), stderr);
    return 2;
  }
  std::error_code error;
  std::filesystem::create_directories(options.outDir, error);
  if (error) {
    std::fprintf(stderr, "generate_sequence: cannot create %s: %s\n", options.outDir.c_str(),
                 error.message().c_str());
    return 1;
  }

  // Separate streams for the scene and the detector, so that changing how the
  // detector errs leaves the ground truth as it was.
  Random sceneRandom(options.seed * 2 + 1);
  Random detectorRandom(options.seed * 2 + 2);
  Scene scene(static_cast<std::size_t>(options.boxes), sceneRandom);
  Regions regions(static_cast<std::size_t>(options.boxes), scene.width(), scene.height());

  CsvWriter truth(std::filesystem::path(options.outDir) / "groundtruth.csv");
  CsvWriter system(std::filesystem::path(options.outDir) / "systemoutput.csv");
  truth.text(kHeader);
  system.text(kHeader);

  const double falseAlarmsPerFrame = 0.10 * static_cast<double>(options.boxes);
  double falseAlarmDebt = 0.0;
  for (uint64_t index = 0; index < options.frames && truth.ok() && system.ok(); ++index) {
    const uint64_t frame = index + 1;
    if (index > 0) scene.advance();
    for (const Track& track : scene.tracks()) {
      const Quad quad = track.quad();
      writeRecord(truth, frame, quad, kClasses[track.kind].name, track.flag, 10000, "T", track.id);
      if (detectorRandom.chance(0.10)) continue;  // missed
      std::size_t kind = track.kind;
      if (detectorRandom.chance(0.03)) kind = swappedClass(kind, detectorRandom);
      writeRecord(system, frame, jitter(quad, detectorRandom), kClasses[kind].name, 0,
                  trueConfidence(detectorRandom), "det", 0);
    }
    for (const Quad& region : regions.forFrame(index, sceneRandom)) {
      writeRecord(truth, frame, region, "DCR", 0, 10000, "", 0);
    }
    falseAlarmDebt += falseAlarmsPerFrame;
    for (; falseAlarmDebt >= 1.0; falseAlarmDebt -= 1.0) {
      const std::size_t kind = drawClass(detectorRandom);
      writeRecord(system, frame, falseAlarm(kind, scene.width(), scene.height(), detectorRandom),
                  kClasses[kind].name, 0, falseConfidence(detectorRandom), "det", 0);
    }
  }

  const bool truthOk = truth.close();
  const bool systemOk = system.close();
  if (!truthOk || !systemOk) {
    std::fprintf(stderr, "generate_sequence: cannot write %s\n",
                 (truthOk ? system : truth).path().c_str());
    return 1;
  }
  return 0;
}
