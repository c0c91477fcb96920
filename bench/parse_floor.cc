// The parsing floor: what reading a ground truth and a detector output takes
// when nothing is done with the records. The benchmarks give every figure
// of the scorer as a ratio to this program's time on the same files.
//
//   parse_floor GROUNDTRUTH.csv SYSTEMOUTPUT.csv
//
// Each file is read on a thread of its own, in large blocks into one reused
// buffer, as a fast reader would. Every record's frame number and eight
// corner coordinates (columns 1 to 9) are parsed with std::from_chars into
// integers and its confidence (column 13) into a float; the values are
// summed, so that no parse can be optimised away, and the sums printed. No
// frame and no box is kept. The first line (the header) is passed over; a
// record that does not parse stops the file with its line number, status 1.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

// Large enough that the system calls cost nothing beside the parse, small
// enough to stay in the cache while it is parsed.
constexpr std::size_t kBlockSize = std::size_t{1} << 20;
constexpr std::size_t kConfidenceColumn = 13;

struct Sums {
  uint64_t records = 0;
  int64_t integers = 0;      // every frame number and corner coordinate
  double confidences = 0.0;  // every confidence, each as its float value
  std::string error;         // empty when the whole file was read
};

class Descriptor {
 public:
  explicit Descriptor(const char* path) : fd_(::open(path, O_RDONLY | O_CLOEXEC)) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Parses one line (without its line end) into `sums`; false when it is no
// record: fewer columns, or a number that from_chars does not read whole.
bool parseLine(const char* p, const char* end, Sums& sums) {
  int64_t integers = 0;
  for (int column = 1; column <= 9; ++column) {
    int64_t value = 0;  // wide enough for a frame number and a coordinate
    const auto [next, status] = std::from_chars(p, end, value);
    if (status != std::errc{} || next == end || *next != ',') return false;
    integers += value;
    p = next + 1;
  }
  // Columns 10 to 12 (the type and the two flags) are passed over.
  for (std::size_t column = 10; column < kConfidenceColumn; ++column) {
    const void* comma = std::memchr(p, ',', static_cast<std::size_t>(end - p));
    if (comma == nullptr) return false;
    p = static_cast<const char*>(comma) + 1;
  }
  float confidence = 0.0f;
  const auto [next, status] = std::from_chars(p, end, confidence);
  if (status != std::errc{} || (next != end && *next != ',')) return false;
  sums.integers += integers;
  sums.confidences += confidence;
  ++sums.records;
  return true;
}

Sums readFile(const char* path) {
  Sums sums;
  const Descriptor file(path);
  if (file.get() < 0) {
    sums.error = std::string(path) + ": " + std::strerror(errno);
    return sums;
  }
  std::vector<char> buffer(kBlockSize);
  std::size_t held = 0;  // bytes of an unfinished line kept at the buffer's start
  uint64_t line = 0;
  bool atEnd = false;
  while (!atEnd) {
    if (held == buffer.size()) buffer.resize(buffer.size() * 2);  // a very long line
    const ssize_t got = ::read(file.get(), buffer.data() + held, buffer.size() - held);
    if (got < 0) {
      if (errno == EINTR) continue;
      sums.error = std::string(path) + ": " + std::strerror(errno);
      return sums;
    }
    atEnd = got == 0;
    const char* p = buffer.data();
    const char* const end = buffer.data() + held + static_cast<std::size_t>(got);
    for (;;) {
      const void* found = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
      if (found == nullptr && !(atEnd && p != end)) break;  // the line goes on in the next block
      const char* const lineEnd = found != nullptr ? static_cast<const char*>(found) : end;
      const char* const textEnd = lineEnd != p && lineEnd[-1] == '\r' ? lineEnd - 1 : lineEnd;
      ++line;
      if (line > 1 && textEnd != p && !parseLine(p, textEnd, sums)) {
        sums.error = std::string(path) + ":" + std::to_string(line) + ": not a record";
        return sums;
      }
      p = found != nullptr ? lineEnd + 1 : end;
    }
    held = static_cast<std::size_t>(end - p);
    std::memmove(buffer.data(), p, held);
  }
  return sums;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: parse_floor GROUNDTRUTH.csv SYSTEMOUTPUT.csv\n");
    return 2;
  }
  std::array<Sums, 2> sums;
  std::thread reader([&] { sums[1] = readFile(argv[2]); });
  sums[0] = readFile(argv[1]);
  reader.join();
  int status = 0;
  for (std::size_t file = 0; file < sums.size(); ++file) {
    if (!sums[file].error.empty()) {
      std::fprintf(stderr, "%s\n", sums[file].error.c_str());
      status = 1;
      continue;
    }
    std::printf("%s: %llu records, integer sum %lld, confidence sum %.6f\n", argv[file + 1],
                static_cast<unsigned long long>(sums[file].records),
                static_cast<long long>(sums[file].integers), sums[file].confidences);
  }
  return status;
}
