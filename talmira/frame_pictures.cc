#include "talmira/frame_pictures.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "annotation/sequence_reader.h"
#include "talmira/cli_common.h"

extern char** environ;

namespace talmira {

namespace {

// The one field of a pattern: where it starts and ends, and its flags and
// width as printf would take them.
struct PatternField {
  std::size_t start = 0;
  std::size_t end = 0;
  bool zeroPad = false;
  bool leftAlign = false;
  std::size_t width = 0;
};

std::optional<PatternField> fieldOf(std::string_view pattern) {
  std::optional<PatternField> found;
  for (std::size_t at = 0; at < pattern.size(); ++at) {
    if (pattern[at] != '%') continue;
    if (at + 1 < pattern.size() && pattern[at + 1] == '%') {
      ++at;
      continue;
    }
    PatternField field;
    field.start = at;
    std::size_t i = at + 1;
    for (; i < pattern.size() && std::strchr("0-+ ", pattern[i]) != nullptr; ++i) {
      if (pattern[i] == '0') field.zeroPad = true;
      if (pattern[i] == '-') field.leftAlign = true;
    }
    const std::size_t digits = i;
    while (i < pattern.size() && pattern[i] >= '0' && pattern[i] <= '9') ++i;
    if (i > digits) {
      if (i - digits > 3) return std::nullopt;
      std::from_chars(pattern.data() + digits, pattern.data() + i, field.width);
    }
    if (i >= pattern.size() || std::strchr("diu", pattern[i]) == nullptr || found) {
      return std::nullopt;
    }
    field.end = i + 1;
    found = field;
    at = i;
  }
  return found;
}

std::string unescapePercents(std::string_view text) {
  std::string out;
  for (std::size_t at = 0; at < text.size(); ++at) {
    out += text[at];
    if (text[at] == '%' && at + 1 < text.size() && text[at + 1] == '%') ++at;
  }
  return out;
}

uint32_t bigEndian(std::string_view bytes, std::size_t at, std::size_t count) {
  uint32_t value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

// The first `most` bytes of a file (all of it when shorter).
std::optional<std::string> readFile(const std::string& path, std::size_t most) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes;
  char buffer[1 << 16];
  while (bytes.size() < most && in.read(buffer, sizeof buffer).gcount() > 0) {
    bytes.append(buffer, static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad()) return std::nullopt;
  if (bytes.size() > most) bytes.resize(most);
  return bytes;
}

std::string_view mimeOf(std::string_view bytes) {
  if (bytes.starts_with("\x89PNG")) return "image/png";
  if (bytes.starts_with("GIF8")) return "image/gif";
  return "image/jpeg";
}

// A program's run: its standard output, its standard error (the last part)
// and its exit status (-1 when it could not be started).
struct ProgramRun {
  std::string out;
  std::string err;
  int status = -1;
};

ProgramRun runProgram(const std::vector<std::string>& words) {
  ProgramRun run;
  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) return run;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  std::vector<char*> argv;
  std::vector<std::string> copies = words;
  for (std::string& word : copies) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(errPipe[1]);
  if (spawned != 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    run.err = std::strerror(spawned);
    return run;
  }
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open = 2;
  char buffer[1 << 16];
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (const pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  if (run.err.size() > 2000) run.err.erase(0, run.err.size() - 2000);
  return run;
}

std::string lastLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const std::size_t end = text.rfind('\n');
  return end == std::string::npos ? text : text.substr(end + 1);
}

}  // namespace

void RecordCorners::read(const std::string& path) {
  std::sort(lines_.begin(), lines_.end());
  lines_.erase(std::unique(lines_.begin(), lines_.end()), lines_.end());
  corners_.assign(lines_.size(), {});
  found_.assign(lines_.size(), 0);
  if (lines_.empty()) return;
  std::FILE* stream = std::fopen(path.c_str(), "rb");
  if (stream == nullptr) return;
  const uint64_t last = lines_.back();
  readRecordsOf(stream, path, [&](const AnnotationRecord& record) {
    const auto at = std::lower_bound(lines_.begin(), lines_.end(), record.line);
    if (at != lines_.end() && *at == record.line) {
      const auto index = static_cast<std::size_t>(at - lines_.begin());
      corners_[index] = record.corners;
      found_[index] = 1;
    }
    return record.line < last;
  });
}

std::optional<std::array<int32_t, 8>> RecordCorners::find(uint64_t line) const {
  const auto at = std::lower_bound(lines_.begin(), lines_.end(), line);
  if (at == lines_.end() || *at != line) return std::nullopt;
  const auto index = static_cast<std::size_t>(at - lines_.begin());
  if (found_[index] == 0) return std::nullopt;
  return corners_[index];
}

bool validPicturePattern(std::string_view pattern) { return fieldOf(pattern).has_value(); }

std::string picturePath(std::string_view pattern, uint32_t frame) {
  const std::optional<PatternField> field = fieldOf(pattern);
  if (!field) return std::string(pattern);
  std::string digits = std::to_string(frame);
  if (digits.size() < field->width) {
    const std::string pad(field->width - digits.size(),
                          field->zeroPad && !field->leftAlign ? '0' : ' ');
    digits = field->leftAlign ? digits + pad : pad + digits;
  }
  return unescapePercents(pattern.substr(0, field->start)) + digits +
         unescapePercents(pattern.substr(field->end));
}

std::optional<std::pair<int, int>> pictureSize(std::string_view bytes) {
  if (bytes.size() >= 24 && bytes.starts_with("\x89PNG\r\n\x1a\n") &&
      bytes.substr(12, 4) == "IHDR") {
    return std::pair<int, int>(static_cast<int>(bigEndian(bytes, 16, 4)),
                               static_cast<int>(bigEndian(bytes, 20, 4)));
  }
  if (bytes.size() >= 10 && bytes.starts_with("GIF8")) {
    const auto little = [&](std::size_t at) {
      return static_cast<int>(static_cast<unsigned char>(bytes[at]) |
                              (static_cast<unsigned char>(bytes[at + 1]) << 8));
    };
    return std::pair<int, int>(little(6), little(8));
  }
  if (bytes.size() >= 4 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xD8) {
    std::size_t at = 2;
    while (at + 9 < bytes.size()) {
      if (static_cast<unsigned char>(bytes[at]) != 0xFF) return std::nullopt;
      const auto marker = static_cast<unsigned char>(bytes[at + 1]);
      if (marker == 0xFF) {
        ++at;
        continue;
      }
      const uint32_t length = bigEndian(bytes, at + 2, 2);
      // The frame headers: baseline, extended, progressive, lossless, ...
      if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
        return std::pair<int, int>(static_cast<int>(bigEndian(bytes, at + 7, 2)),
                                   static_cast<int>(bigEndian(bytes, at + 5, 2)));
      }
      if (length < 2) return std::nullopt;
      at += 2 + length;
    }
  }
  return std::nullopt;
}

std::string dataUri(std::string_view mime, std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string uri = "data:" + std::string(mime) + ";base64,";
  uri.reserve(uri.size() + (bytes.size() + 2) / 3 * 4);
  std::size_t at = 0;
  for (; at + 3 <= bytes.size(); at += 3) {
    const uint32_t v = bigEndian(bytes, at, 3);
    for (int shift = 18; shift >= 0; shift -= 6) uri += kDigits[(v >> shift) & 63];
  }
  const std::size_t left = bytes.size() - at;
  if (left > 0) {
    const uint32_t v = bigEndian(bytes, at, left) << (8 * (3 - left));
    uri += kDigits[(v >> 18) & 63];
    uri += kDigits[(v >> 12) & 63];
    uri += left == 2 ? kDigits[(v >> 6) & 63] : '=';
    uri += '=';
  }
  return uri;
}

std::vector<std::optional<FramePicture>> picturesFromFiles(const std::string& pattern,
                                                           const std::vector<uint32_t>& frames,
                                                           const std::string& pagePath,
                                                           bool embed) {
  namespace fs = std::filesystem;
  std::error_code ignored;
  fs::path pageFolder = fs::absolute(fs::path(pagePath), ignored).parent_path();
  std::vector<std::optional<FramePicture>> pictures;
  pictures.reserve(frames.size());
  for (const uint32_t frame : frames) {
    const std::string path = picturePath(pattern, frame);
    // A linked picture's header is enough to tell its size.
    const std::optional<std::string> bytes =
        readFile(path, embed ? std::string::npos : std::size_t{1} << 18);
    const std::optional<std::pair<int, int>> size =
        bytes ? pictureSize(*bytes) : std::optional<std::pair<int, int>>();
    if (!size || size->first <= 0 || size->second <= 0) {
      pictures.emplace_back();
      continue;
    }
    FramePicture picture;
    picture.width = size->first;
    picture.height = size->second;
    if (embed) {
      picture.href = dataUri(mimeOf(*bytes), *bytes);
    } else {
      const fs::path relative =
          fs::absolute(fs::path(path), ignored).lexically_relative(pageFolder);
      std::string link;
      // Each part of the path as a URL path segment.
      for (const unsigned char c : relative.generic_string()) {
        if (std::isalnum(c) || std::strchr("-._~/", c) != nullptr) {
          link += static_cast<char>(c);
        } else {
          char escaped[4];
          std::snprintf(escaped, sizeof escaped, "%%%02X", c);
          link += escaped;
        }
      }
      picture.href = link;
    }
    pictures.push_back(std::move(picture));
  }
  return pictures;
}

std::vector<std::optional<FramePicture>> picturesFromVideo(const std::string& video, double fps,
                                                           int64_t firstFrame,
                                                           const std::vector<uint32_t>& frames,
                                                           unsigned jobs) {
  const ProgramRun probe =
      runProgram({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                  "stream=width,height", "-of", "csv=p=0", "--", video});
  if (probe.status < 0) {
    throw CommandError{kExitInputOrOutput,
                       "talmira view: --video needs ffmpeg and ffprobe on PATH (Debian: apt-get "
                       "install ffmpeg): " +
                           probe.err};
  }
  int width = 0;
  int height = 0;
  if (probe.status != 0 || std::sscanf(probe.out.c_str(), "%d,%d", &width, &height) != 2 ||
      width <= 0 || height <= 0) {
    const std::string why = lastLine(probe.err);
    throw CommandError{kExitInputOrOutput,
                       video + ": cannot read the video" + (why.empty() ? "" : ": " + why)};
  }
  if (runProgram({"ffmpeg", "-version"}).status != 0) {
    throw CommandError{kExitInputOrOutput,
                       "talmira view: --video needs ffmpeg on PATH (Debian: apt-get install "
                       "ffmpeg)"};
  }
  std::vector<std::optional<FramePicture>> pictures(frames.size());
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t at; (at = next.fetch_add(1)) < frames.size();) {
      const double seconds =
          static_cast<double>(static_cast<int64_t>(frames[at]) - firstFrame) / fps;
      if (!(seconds >= 0.0) || !std::isfinite(seconds)) continue;
      char time[64];
      std::snprintf(time, sizeof time, "%.6f", seconds);
      // Seeking before the input lands on the frame shown at that time.
      const ProgramRun grab = runProgram({"ffmpeg", "-nostdin", "-v", "error", "-ss", time, "-i",
                                          video, "-frames:v", "1", "-vf", "scale='min(1920,iw)':-2",
                                          "-f", "image2pipe", "-c:v", "mjpeg", "-q:v", "4", "-"});
      if (grab.status != 0 || grab.out.size() < 4) continue;
      pictures[at] = FramePicture{dataUri("image/jpeg", grab.out), width, height};
    }
  };
  {
    std::vector<std::jthread> pool;
    const unsigned workers = std::max(1u, std::min<unsigned>(jobs, 8));
    for (unsigned worker = 1; worker < workers; ++worker) pool.emplace_back(work);
    work();
  }
  return pictures;
}

}  // namespace talmira
