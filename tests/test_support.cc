#include "tests/test_support.h"

#include <fcntl.h>
#include <stdio.h>  // fmemopen
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace talmira_test {

QuorTarget box(int32_t x0, int32_t y0, int32_t x1, int32_t y1, std::string_view className,
               float confidence, bool markA, bool markB) {
  return makeTarget(x0, y0, x1, y0, x1, y1, x0, y1, className, markB, confidence, markA);
}

FrameCounts countsOf(const QuorFrame& f) {
  return {f.gtCount, f.gtExcluded, f.detCount, f.detExcluded, f.fpCount, f.fnCount};
}

std::ostream& operator<<(std::ostream& out, const FrameCounts& c) {
  return out << "{gt " << c.gtCount << ", gtEx " << c.gtExcluded << ", det " << c.detCount
             << ", detEx " << c.detExcluded << ", fp " << c.fpCount << ", fn " << c.fnCount << "}";
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "talmira-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& name, std::string_view contents) const {
  const std::string target = file(name);
  std::ofstream out(target, std::ios::binary);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!out) throw std::runtime_error("cannot write " + target);
  return target;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> result;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    result.push_back(text.substr(start, end - start));
  }
  return result;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

namespace {

// Runs `program` with `arguments`, standard input from /dev/null, standard
// output into `output` and standard error into `errors` (when not null).
// With `addressSpace` not 0, the child may map no more than that many bytes.
int runProgram(const std::string& program, const std::vector<std::string>& arguments,
               const std::string& workingDir, std::string& output, std::string* errors,
               uint64_t addressSpace = 0) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) throw std::runtime_error("pipe failed");
  // Standard error goes to a file, so that neither pipe can fill while the
  // other is read.
  char errorPath[] = "/tmp/talmira-stderr-XXXXXX";
  const int errorFile = errors != nullptr ? mkstemp(errorPath) : -1;
  if (errors != nullptr && errorFile < 0) throw std::runtime_error("mkstemp failed");
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    const int nullInput = open("/dev/null", O_RDONLY);
    dup2(nullInput, STDIN_FILENO);
    dup2(pipeEnds[1], STDOUT_FILENO);
    if (errorFile >= 0) dup2(errorFile, STDERR_FILENO);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    if (!workingDir.empty() && chdir(workingDir.c_str()) != 0) _exit(127);
    if (addressSpace != 0) {
      const rlimit limit{addressSpace, addressSpace};
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(127);
    }
    std::vector<char*> argv;
    std::string name = program;
    argv.push_back(name.data());
    std::vector<std::string> copies = arguments;
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(pipeEnds[1]);
  char buffer[4096];
  ssize_t got;
  while ((got = read(pipeEnds[0], buffer, sizeof buffer)) > 0) {
    output.append(buffer, static_cast<std::size_t>(got));
  }
  close(pipeEnds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (errorFile >= 0) {
    close(errorFile);
    *errors = readFile(errorPath);
    unlink(errorPath);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

RunResult runConsole(const std::vector<std::string>& arguments, const std::string& workingDir) {
  RunResult result;
  result.status = runProgram(TALMIRA_CONSOLE_PATH, arguments, workingDir, result.output, nullptr);
  return result;
}

ToolResult runTalmira(const std::vector<std::string>& arguments, const std::string& workingDir) {
  ToolResult result;
  result.status =
      runProgram(TALMIRA_TOOL_PATH, arguments, workingDir, result.output, &result.errors);
  return result;
}

// The sanitizers' runtime reserves terabytes of address space up front.
#if defined(__SANITIZE_ADDRESS__)
#define TALMIRA_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TALMIRA_TEST_SANITIZED 1
#endif
#endif

bool addressSpaceLimited() {
#ifdef TALMIRA_TEST_SANITIZED
  return false;
#else
  return true;
#endif
}

ToolResult runTalmiraWithin(uint64_t addressSpace, const std::vector<std::string>& arguments) {
  ToolResult result;
  result.status = runProgram(TALMIRA_TOOL_PATH, arguments, "", result.output, &result.errors,
                             addressSpaceLimited() ? addressSpace : 0);
  return result;
}

namespace {

constexpr const char* kHeader =
    "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Number";
constexpr const char* kTypes[] = {"Car", "Truck", "Bus", "Person", "Cyclist", "Boat"};

struct Rect {
  int x0, y0, x1, y1;
};

class PairWriter {
 public:
  explicit PairWriter(uint32_t seed) : random_(seed) {}
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random_); }

  std::string record(uint32_t frame, const Rect& r, const std::string& type, bool flagA, bool flagB,
                     const std::string& confidence) {
    std::ostringstream line;
    line << frame << ',' << r.x0 << ',' << r.y0 << ',' << r.x1 << ',' << r.y0 << ',' << r.x1 << ','
         << r.y1 << ',' << r.x0 << ',' << r.y1 << ',' << type << ',' << (flagA ? "TRUE" : "FALSE")
         << ',' << (flagB ? "TRUE" : "FALSE") << ',' << confidence << ",,0.0";
    return line.str();
  }
  std::string confidence() {
    static const char* kForms[] = {"1", "1.0", "0.5", "0.25", "0.3", "0.7", "0.05", "0.999"};
    return kForms[pick(0, 7)];
  }
  Rect randomRect() {
    const int x = pick(0, 12) * 20, y = pick(0, 12) * 20;
    return {x, y, x + pick(2, 6) * 20, y + pick(2, 6) * 20};
  }
  Rect near(const Rect& r) {
    const int dx = pick(-2, 2) * 10, dy = pick(-2, 2) * 10;
    return {r.x0 + dx, r.y0 + dy, r.x1 + dx + pick(-1, 1) * 10, r.y1 + dy + pick(-1, 1) * 10};
  }
  std::string lineEnd() { return pick(0, 9) == 0 ? "\r\n" : "\n"; }
  std::string extra() {
    // Records the reader drops, and blank lines.
    switch (pick(0, 12)) {
      case 0:
        return "\n";
      case 1:
        return "5,0,0,10,0,10,10,0,10,Car,FALSE,FALSE,1,,0.0\n";  // too small
      default:
        return "";
    }
  }

  std::mt19937 random_;
};

}  // namespace

int readAnnotationText(std::string text, QuorSequence& sequence, ReadDetails* details,
                       std::string* error) {
  std::FILE* stream = fmemopen(text.data(), text.size(), "r");
  if (stream == nullptr) return -2;
  return readSequenceFile(stream, sequence, "text.csv", error, details);
}

FilePair randomFilePair(uint32_t seed, int frames, int maxBoxes) {
  PairWriter w(seed);
  FilePair pair;
  pair.groundTruth = std::string(kHeader) + "\n";
  pair.system = std::string(kHeader) + "\n";
  std::vector<uint32_t> numbers;
  for (int f = 1; f <= frames; ++f) numbers.push_back(static_cast<uint32_t>(f));
  // A number that comes back later, on either side.
  numbers.push_back(static_cast<uint32_t>(w.pick(1, frames)));
  for (const uint32_t number : numbers) {
    std::vector<std::pair<Rect, std::string>> truths;
    const bool truthFrame = w.pick(0, 7) != 0;
    const bool systemFrame = w.pick(0, 7) != 0;
    const int count = w.pick(0, maxBoxes);
    for (int k = 0; k < count; ++k) {
      const Rect r = w.randomRect();
      const std::string type = kTypes[w.pick(0, 5)];
      truths.emplace_back(r, type);
      if (truthFrame) {
        pair.groundTruth += w.extra() +
                            w.record(number, r, type, w.pick(0, 12) == 0, w.pick(0, 12) == 0,
                                     w.pick(0, 5) == 0 ? w.confidence() : "1") +
                            w.lineEnd();
      }
    }
    if (truthFrame && w.pick(0, 3) == 0) {
      pair.groundTruth += w.record(number, w.randomRect(), "DCR", false, false, "1") + "\n";
    }
    if (truthFrame && w.pick(0, 9) == 0) {
      pair.groundTruth += w.record(number, w.randomRect(), "DCF", false, false, "1") + "\n";
    }
    if (!systemFrame) continue;
    const int detections = w.pick(0, maxBoxes);
    for (int k = 0; k < detections; ++k) {
      Rect r;
      std::string type = kTypes[w.pick(0, 5)];
      if (!truths.empty() && w.pick(0, 3) != 0) {
        const auto& truth =
            truths[static_cast<std::size_t>(w.pick(0, static_cast<int>(truths.size()) - 1))];
        r = w.near(truth.first);
        if (w.pick(0, 4) != 0) type = truth.second;
      } else {
        r = w.randomRect();
      }
      pair.system +=
          w.extra() +
          w.record(number, r, type, w.pick(0, 20) == 0, w.pick(0, 20) == 0, w.confidence()) +
          w.lineEnd();
    }
  }
  // A system frame no ground-truth frame has.
  pair.system +=
      w.record(static_cast<uint32_t>(frames + 5), w.randomRect(), "Car", false, false, "0.5") +
      "\n";
  return pair;
}

FilePair orderedFilePair(uint32_t seed, bool odd) {
  const FilePair files = randomFilePair(seed, 14, 10);
  std::mt19937 random(seed);
  const auto ordered = [&](const std::string& text) {
    std::vector<std::string> lines = splitLines(text);
    const std::string header = lines.front();
    std::vector<std::pair<uint32_t, std::string>> records;
    for (std::size_t at = 1; at < lines.size(); ++at) {
      std::string line = lines[at];
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      const auto number = static_cast<uint32_t>(std::strtoul(line.c_str(), nullptr, 10));
      records.emplace_back(number, line);
      if (random() % 6 == 0) {
        // A diamond around a random centre, and a box turned a little.
        const int x = static_cast<int>(random() % 200) + 40;
        const int y = static_cast<int>(random() % 200) + 40;
        const int r = static_cast<int>(random() % 30) + 20;
        std::ostringstream turned;
        turned << number << ',' << x << ',' << y - r << ',' << x + r << ',' << y << ',' << x << ','
               << y + r << ',' << x - r << ',' << y << ",Car,FALSE,FALSE,"
               << (random() % 2 == 0 ? "0.6" : "1") << ",,0.0";
        records.emplace_back(number, turned.str());
        std::ostringstream tilted;
        tilted << number << ',' << x << ',' << y << ',' << x + 60 << ',' << y + 8 << ',' << x + 54
               << ',' << y + 50 << ',' << x - 6 << ',' << y + 42 << ",Person,FALSE,FALSE,0.9,,0.0";
        records.emplace_back(number, tilted.str());
      }
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    static constexpr const char* kEnds[] = {"\n", "\n", "\r\n", "\r"};
    const auto end = [&] { return odd ? kEnds[random() % 4] : "\n"; };
    std::string out = header + end();
    uint32_t last = 0;
    for (const auto& record : records) {
      if (odd && random() % 9 == 0 && record.first > last + 1) {
        // A frame of a record of no class only, between two others.
        out += std::to_string(record.first - 1) + ",5,5,60,5,60,60,5,60,Thing,FALSE,FALSE,1,,0" +
               end();
      }
      last = record.first;
      out += record.second + end();
      // A record the size test drops starts no frame, so its number may be
      // any, even one the page holds.
      if (random() % 8 == 0)
        out += std::to_string(random() % 20) + ",0,0,9,0,9,9,0,9,Car,FALSE,FALSE,1,,0.0\n";
      if (!odd) continue;
      switch (random() % 10) {
        case 0:
          out +=
              std::to_string(random() % 20) + ",0,0,50,0,50,50,0,50,DCF,FALSE,FALSE,1,,0" + end();
          break;
        case 1:
          out +=
              std::to_string(record.first) + ",1,1,70,1,70,70,1,70,Thing,FALSE,FALSE,1,,0" + end();
          break;
        case 2:
          out += random() % 2 == 0 ? end() : std::string(" \t") + end();
          break;
        default:
          break;
      }
    }
    return out;
  };
  return {ordered(files.groundTruth), ordered(files.system)};
}

}  // namespace talmira_test
