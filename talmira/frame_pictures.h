// The pictures under the boxes of `talmira view`: files named by a pattern
// with the frame number in it, linked or embedded, or frames taken from a
// video with ffmpeg.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "talmira/pages/view_page.h"

namespace talmira {

/// The corners of some records of a file of this format, read again from
/// it (the scoring keeps only their bounding rectangles): want() the lines,
/// then read() the file, up to the last line wanted only.
class RecordCorners {
 public:
  void want(std::span<const uint64_t> lines) {
    lines_.insert(lines_.end(), lines.begin(), lines.end());
  }
  /// A file that cannot be read leaves every corner unknown.
  void read(const std::string& path);
  std::optional<std::array<int32_t, 8>> find(uint64_t line) const;

 private:
  std::vector<uint64_t> lines_;
  std::vector<std::array<int32_t, 8>> corners_;
  std::vector<char> found_;
};

/// Whether `pattern` has exactly one printf field for a whole number (%d,
/// %i or %u, with flags and a width such as %06d) and no other field but %%.
bool validPicturePattern(std::string_view pattern);
/// The pattern with `frame` in its field.
std::string picturePath(std::string_view pattern, uint32_t frame);

/// The width and height a PNG, JPEG or GIF says it has, from its first bytes
/// (a JPEG's up to its frame header); nothing for anything else.
std::optional<std::pair<int, int>> pictureSize(std::string_view bytes);

/// `bytes` as a data: URI of type `mime`.
std::string dataUri(std::string_view mime, std::string_view bytes);

/// The picture of each frame number from the files `pattern` names (read
/// relative to the working folder): linked by their path relative to the
/// folder of `pagePath`, or embedded as data: URIs. A file that cannot be
/// read, or whose size cannot be told, gives nothing.
std::vector<std::optional<FramePicture>> picturesFromFiles(const std::string& pattern,
                                                           const std::vector<uint32_t>& frames,
                                                           const std::string& pagePath, bool embed);

/// The picture of each frame number n from `video`: the picture at time
/// (n - firstFrame) / fps, taken by ffmpeg (found on PATH), scaled to at
/// most 1920 pixels wide and embedded as JPEG, drawn at the video's own
/// size. A frame before the video's start or after its end gives nothing.
/// Throws a CommandError of status 1 when ffmpeg or ffprobe is missing or
/// the video cannot be read. Runs up to `jobs` ffmpeg at a time.
std::vector<std::optional<FramePicture>> picturesFromVideo(const std::string& video, double fps,
                                                           int64_t firstFrame,
                                                           const std::vector<uint32_t>& frames,
                                                           unsigned jobs);

}  // namespace talmira
