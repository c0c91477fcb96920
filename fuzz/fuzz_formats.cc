// Fuzz target for the readers of other formats (MOT, MOT15, VisDrone, UAVDT, KITTI,
// CVAT, COCO). The first byte picks the format (m f v u k c j; upper case reads
// the input as a detector's output), the rest is the file. Whatever the
// bytes, nothing may crash or read out of bounds, and the one route must
// hold: a direct read either fails with the message that reading the records
// gives, or gives the sequence (and the details) that this format's reader
// makes of the converted text.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "annotation/formats.h"
#include "fuzz_support.h"

namespace {

// The input as a file of its own: the readers read files by name.
std::string writeInput(std::string_view bytes) {
  static const std::string path = "/tmp/talmira-fuzz-formats-" + std::to_string(getpid());
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
      std::fclose(file) != 0) {
    std::perror("cannot write the input");
    std::abort();
  }
  return path;
}

bool sameTargets(const std::vector<const QuorTarget*>& a, const std::vector<const QuorTarget*>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k) {
    const QuorTarget& x = *a[k];
    const QuorTarget& y = *b[k];
    if (x.minX != y.minX || x.minY != y.minY || x.maxX != y.maxX || x.maxY != y.maxY ||
        x.classCode != y.classCode || x.markA != y.markA || x.markB != y.markB ||
        x.confidence != y.confidence || x.sideProduct != y.sideProduct) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  AnnotationReadOptions options;
  switch (data[0] | 0x20) {
    case 'm':
      options.format = AnnotationFormat::kMot;
      break;
    case 'f':
      options.format = AnnotationFormat::kMot15;
      break;
    case 'v':
      options.format = AnnotationFormat::kVisDrone;
      break;
    case 'u':
      options.format = AnnotationFormat::kUavdt;
      break;
    case 'k':
      options.format = AnnotationFormat::kKitti;
      break;
    case 'c':
      options.format = AnnotationFormat::kCvat;
      break;
    case 'j':
      options.format = AnnotationFormat::kCoco;
      break;
    default:
      return 0;
  }
  options.role = (data[0] & 0x20) != 0 ? AnnotationRole::kGroundTruth : AnnotationRole::kSystem;
  // Unknown labels are dropped half of the time, so that inputs get past them.
  options.dropUnknownLabels = size > 1 && (data[size - 1] & 1) != 0;
  const std::string path =
      writeInput(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  // A results list names the images of a ground truth: itself, here.
  options.imagesFrom = path;

  QuorSequence direct;
  ReadDetails directDetails;
  AnnotationReadFailure directFailure;
  const bool read = readAnnotation(path, options, direct, directFailure, &directDetails);
  std::vector<AnnotationRecord> records;
  AnnotationReadFailure recordsFailure;
  const bool listed = readForeignRecords(path, options, records, recordsFailure);
  FUZZ_CHECK(read == listed);
  if (!listed) {
    FUZZ_CHECK(directFailure.message == recordsFailure.message);
    return 0;
  }
  for (std::size_t k = 1; k < records.size(); ++k) {
    FUZZ_CHECK(records[k - 1].frameNumber <= records[k].frameNumber);
  }
  QuorSequence converted;
  ReadDetails convertedDetails;
  std::string error;
  const int status =
      talmira_fuzz::readBytes(annotationText(records), converted, "x", &error, &convertedDetails);
  FUZZ_CHECK((status == 0) == read);
  if (!read) return 0;
  FUZZ_CHECK(direct.frames.size() == converted.frames.size());
  for (std::size_t f = 0; f < direct.frames.size(); ++f) {
    FUZZ_CHECK(direct.frames[f].frameNumber == converted.frames[f].frameNumber);
    FUZZ_CHECK(sameTargets(direct.frames[f].targets, converted.frames[f].targets));
    FUZZ_CHECK(sameTargets(direct.frames[f].regions, converted.frames[f].regions));
  }
  FUZZ_CHECK(directDetails.records == convertedDetails.records);
  FUZZ_CHECK(directDetails.records == records.size());
  FUZZ_CHECK(directDetails.droppedBySize == convertedDetails.droppedBySize);
  FUZZ_CHECK(directDetails.dcfRecords == convertedDetails.dcfRecords);
  // A record of negative width or height is a box of no area, noted on its line.
  std::vector<uint64_t> negative;
  for (const AnnotationRecord& r : records) {
    if (!r.negativeExtent) continue;
    FUZZ_CHECK(r.corners[0] == r.corners[2] || r.corners[1] == r.corners[5]);
    negative.push_back(r.line);
  }
  FUZZ_CHECK(directDetails.negativeExtentLines == negative);
  return 0;
}
