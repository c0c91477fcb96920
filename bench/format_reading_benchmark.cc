// How fast MOTChallenge files are read beside the same boxes in this format.
//
//   format_reading_benchmark --frames N --boxes B --out-dir DIR [--repeat R]
//
// Writes DIR/gt.txt, a MOT ground truth of N frames with B objects each,
// listed track by track as the benchmark's own files are (so the reader must
// put it in frame order), and DIR/det.txt, a detector's output of the same
// frames listed frame by frame, with decimal coordinates and scores; and
// DIR/map.csv, a class map giving the labels 1 to 10 the ten classes. It
// then writes DIR/gt.csv and DIR/det.csv, the same records in this format
// (what `talmira convert` writes), and times, R times each (median kept,
// the files read once untimed first so that every timed read is from the
// page cache), the reading of each file into a sequence: this format's
// reader on the .csv, the MOT reader on the .txt, and the reader of tracks
// (annotation/track_reader.h) on the .txt, at full precision with the
// identities (the ground truth then put in frame order, framedTracks()).
// The times are the processor time of the reading thread. Prints a
// Markdown table and the ratios.
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "annotation/formats.h"
#include "annotation/track_reader.h"

namespace {

// splitmix64: the same numbers on every platform.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  int64_t between(int64_t low, int64_t high) {
    return low + static_cast<int64_t>(next() % static_cast<uint64_t>(high - low + 1));
  }

 private:
  uint64_t state_;
};

bool writeFile(const std::string& path, const std::string& text) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
  return file != nullptr && std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
}

// A value in hundredths as a decimal text.
std::string hundredths(int64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%02lld", static_cast<long long>(value / 100),
                static_cast<long long>(value % 100));
  return text;
}

struct Object {
  int64_t x, y, width, height;  // in hundredths of a pixel
  int label;
};

void writeInputs(const std::string& dir, int frames, int boxes) {
  Random random(2024);
  std::vector<Object> objects;
  for (int k = 0; k < boxes; ++k) {
    objects.push_back({random.between(0, 180000), random.between(0, 100000),
                       random.between(3000, 20000), random.between(3000, 20000),
                       static_cast<int>(random.between(1, 10))});
  }
  // Ground truth, track by track: each object moves a little every frame.
  std::string truth;
  truth.reserve(static_cast<std::size_t>(frames) * boxes * 40);
  std::vector<std::vector<Object>> perFrame(static_cast<std::size_t>(frames));
  for (int k = 0; k < boxes; ++k) {
    Object o = objects[static_cast<std::size_t>(k)];
    for (int f = 1; f <= frames; ++f) {
      o.x = std::clamp<int64_t>(o.x + random.between(-300, 300), 0, 190000);
      o.y = std::clamp<int64_t>(o.y + random.between(-300, 300), 0, 100000);
      perFrame[static_cast<std::size_t>(f - 1)].push_back(o);
      truth += std::to_string(f) + "," + std::to_string(k + 1) + "," + std::to_string(o.x / 100) +
               "," + std::to_string(o.y / 100) + "," + std::to_string(o.width / 100) + "," +
               std::to_string(o.height / 100) + ",1," + std::to_string(o.label) + "," +
               (random.between(0, 3) == 0 ? "0.5" : "1") + "\n";
    }
  }
  // Detections, frame by frame: jittered, some missed, scores of four places.
  std::string detections;
  detections.reserve(static_cast<std::size_t>(frames) * boxes * 48);
  for (int f = 1; f <= frames; ++f) {
    for (const Object& o : perFrame[static_cast<std::size_t>(f - 1)]) {
      if (random.between(0, 9) == 0) continue;
      detections += std::to_string(f) + ",-1," + hundredths(o.x + random.between(0, 400)) + "," +
                    hundredths(o.y + random.between(0, 400)) + "," +
                    hundredths(o.width + random.between(-200, 200)) + "," +
                    hundredths(o.height + random.between(-200, 200)) + "," + "0." +
                    std::to_string(random.between(1000, 9999)) + "," + std::to_string(o.label) +
                    ",-1,-1\n";
    }
  }
  std::string map = "label,type\n";
  const char* classes[] = {"Car",  "Truck", "Tractor-Trailor", "Bus",    "Container",
                           "Boat", "Plane", "Helicopter",      "Person", "Cyclist"};
  for (int k = 0; k < 10; ++k) map += std::to_string(k + 1) + "," + classes[k] + "\n";
  if (!writeFile(dir + "/gt.txt", truth) || !writeFile(dir + "/det.txt", detections) ||
      !writeFile(dir + "/map.csv", map)) {
    std::fprintf(stderr, "cannot write into %s\n", dir.c_str());
    std::exit(1);
  }
}

// Reads `path` into a sequence; exits on failure. Returns the boxes read.
std::size_t readOnce(const std::string& path, const AnnotationReadOptions& options) {
  QuorSequence sequence;
  AnnotationReadFailure failure;
  if (!readAnnotation(path, options, sequence, failure)) {
    std::fprintf(stderr, "%s\n", failure.message.c_str());
    std::exit(1);
  }
  return sequence.targetStore.size();
}

// The tracks of `path`, framed when it is a ground truth; exits on failure.
// Returns the boxes read.
std::size_t readTracksOnce(const std::string& path, AnnotationRole role) {
  try {
    tracking::TrackFile file = tracking::readTrackFile({path, tracking::TrackLayout::kMot16, role});
    if (role == AnnotationRole::kSystem) return file.boxes.size();
    const uint32_t length = file.lastFrame();
    return framedTracks(std::move(file), length).boxes.size();
  } catch (const tracking::TrackReadError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    std::exit(1);
  }
}

// The median processor time of `repeat` runs of `read`, after one untimed
// run that brings the file into the page cache; `boxes` is what it read.
template <class Read>
double medianSeconds(Read read, int repeat, std::size_t* boxes) {
  *boxes = read();
  // The processor time of this thread, not the time on the clock: on a
  // machine shared with other work, the clock also counts the time the
  // thread waited for a core.
  const auto cpuSeconds = [] {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
  };
  std::vector<double> seconds;
  for (int k = 0; k < repeat; ++k) {
    const double start = cpuSeconds();
    read();
    seconds.push_back(cpuSeconds() - start);
  }
  std::sort(seconds.begin(), seconds.end());
  return seconds[seconds.size() / 2];
}

double medianSeconds(const std::string& path, const AnnotationReadOptions& options, int repeat,
                     std::size_t* boxes) {
  return medianSeconds([&] { return readOnce(path, options); }, repeat, boxes);
}

}  // namespace

int main(int argc, char** argv) {
  int frames = 100000;
  int boxes = 10;
  int repeat = 5;
  std::string dir;
  for (int k = 1; k + 1 < argc; k += 2) {
    const std::string option = argv[k];
    if (option == "--frames") frames = std::atoi(argv[k + 1]);
    if (option == "--boxes") boxes = std::atoi(argv[k + 1]);
    if (option == "--repeat") repeat = std::max(1, std::atoi(argv[k + 1]));
    if (option == "--out-dir") dir = argv[k + 1];
  }
  if (dir.empty() || frames < 1 || boxes < 1) {
    std::fprintf(stderr,
                 "usage: format_reading_benchmark --frames N --boxes B --out-dir DIR "
                 "[--repeat R]\n");
    return 2;
  }
  std::filesystem::create_directories(dir);
  writeInputs(dir, frames, boxes);

  std::string error;
  const std::shared_ptr<const ClassMap> map = readClassMap(dir + "/map.csv", &error);
  if (!map) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::printf(
      "| File | Lines | Boxes read | This format, CPU s | MOT reader, CPU s | MOT / this format "
      "| Tracks, CPU s |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
  for (const auto& [name, role] :
       {std::pair{"gt", AnnotationRole::kGroundTruth}, std::pair{"det", AnnotationRole::kSystem}}) {
    AnnotationReadOptions mot;
    mot.format = AnnotationFormat::kMot;
    mot.role = role;
    mot.classes = map;
    // This format's file: the same records, as convert writes them.
    std::vector<AnnotationRecord> records;
    AnnotationReadFailure failure;
    if (!readForeignRecords(dir + "/" + name + ".txt", mot, records, failure) ||
        !writeFile(dir + "/" + name + ".csv", annotationText(records))) {
      std::fprintf(stderr, "%s\n", failure.message.c_str());
      return 1;
    }
    std::size_t nativeBoxes = 0;
    std::size_t motBoxes = 0;
    const double native =
        medianSeconds(dir + "/" + name + ".csv", AnnotationReadOptions{}, repeat, &nativeBoxes);
    const double direct = medianSeconds(dir + "/" + name + ".txt", mot, repeat, &motBoxes);
    if (nativeBoxes != motBoxes) {
      std::fprintf(stderr, "%s: %zu boxes in this format, %zu read from MOT\n", name, nativeBoxes,
                   motBoxes);
      return 1;
    }
    std::size_t trackBoxes = 0;
    const double tracks = medianSeconds(
        [&] { return readTracksOnce(dir + "/" + name + ".txt", role); }, repeat, &trackBoxes);
    if (trackBoxes != records.size()) {
      std::fprintf(stderr, "%s: %zu lines, %zu tracked boxes read\n", name, records.size(),
                   trackBoxes);
      return 1;
    }
    std::printf("| %s.txt | %zu | %zu | %.3f | %.3f | %.2f | %.3f |\n", name, records.size(),
                nativeBoxes, native, direct, direct / native, tracks);
  }
  return 0;
}
