#include "driver/program.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "annotation/quor_records.h"
#include "annotation/sequence_reader.h"
#include "driver/class_run.h"
#include "scoring/counts/sequence_evaluation.h"
#include "scoring/counts/streaming_evaluation.h"

namespace {

constexpr const char* kUsage =
    "Usage: TalmiraConsole.exe groundtruth.csv systemoutput.csv result.csv "
    "confidence(optional)\r\n";
constexpr const char* kConfidenceUsed = "Confidence %f is used \r\n";
constexpr const char* kConfidenceInvalid = "Invalid confidence %f is not in (0.0-1.0)\r\n";
constexpr const char* kResultSameAsInput =
    "Result file %s is the input file %s; it was left unchanged.\r\n";
constexpr const char* kCannotCreateResult = "Can Not Create result file: %s \n";
constexpr const char* kCannotOpenGroundTruth = "Cannot open GroundTruth file: %s\r\n";
constexpr const char* kCannotOpenSystemOutput = "Cannot open SystemOutput file: %s\r\n";
constexpr const char* kCannotWriteResult = "Cannot write result file: %s (%s)\r\n";
constexpr const char* kEvaluated = "%s and %s have been evaluated at confidence %f.\r\n";
constexpr const char* kPromptCompleted = "\n[Enter charater to quit]:";
constexpr const char* kPromptFailed = "\n[Enter any character to quit]:";

// Every run ends by waiting until the user enters an item (a number or any
// other non-blank text) or the input ends.
int waitAndEnd(const char* prompt, int status) {
  std::fputs(prompt, stdout);
  std::fflush(stdout);
  unsigned int ignored = 0;
  if (std::scanf("%u", &ignored) < 0) {
    // End of input ends the wait as well.
  }
  return status;
}

int failureEnding() { return waitAndEnd(kPromptFailed, -1); }

// True when `resultPath` names an existing file that is also `inputPath`:
// opening it for writing would empty that input before it is read.
bool sameExistingFile(const std::string& resultPath, const std::string& inputPath) {
  struct stat result {};
  struct stat input {};
  if (stat(resultPath.c_str(), &result) != 0 || stat(inputPath.c_str(), &input) != 0) return false;
  return result.st_dev == input.st_dev && result.st_ino == input.st_ino;
}

// Opens and reads one annotation file. Returns the reader's status, or -1
// when the file cannot be opened, and leaves in `messages` what is to be
// printed about it, so that two files can be read at once and their
// messages still printed in order.
int loadSequence(const std::string& path, QuorSequence& sequence, std::string& messages) {
  std::FILE* stream = std::fopen(path.c_str(), "r");
  if (stream == nullptr) {
    messages = "COULD NOT OPEN SEQUENCE AT:\n" + path;
    return -1;
  }
  std::string error;
  const int status = readSequenceFile(stream, sequence, path, &error);
  if (status < 0) messages = error + "\r\n";
  return status;
}

}  // namespace

int runProgram(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fputs(kUsage, stdout);
    return failureEnding();
  }

  float confidence = 0.0f;
  if (argc == 5) {
    confidence = static_cast<float>(std::atof(argv[4]));
    std::printf(kConfidenceUsed, static_cast<double>(confidence));
    // "nan" would pass both range tests and then select nothing, so that every
    // class scored perfect; it is refused like any value outside 0 to 1.
    if (!(confidence >= 0.0f && confidence <= 1.0f)) {
      std::printf(kConfidenceInvalid, static_cast<double>(confidence));
      return failureEnding();
    }
  }

  const std::string groundTruthPath = argv[1];
  const std::string systemOutputPath = argv[2];
  const std::string resultPath = argv[3];

  for (const std::string* input : {&groundTruthPath, &systemOutputPath}) {
    if (sameExistingFile(resultPath, *input)) {
      std::printf(kResultSameAsInput, resultPath.c_str(), input->c_str());
      return failureEnding();
    }
  }

  std::FILE* resultFile = std::fopen(resultPath.c_str(), "w+");
  if (resultFile == nullptr) {
    std::printf(kCannotCreateResult, resultPath.c_str());
    return failureEnding();
  }

  // Both files are read, at the same time, before either status is
  // examined; what each read has to say is printed ground truth first. When
  // the frame numbers of both files only grow, the frames are scored while
  // they are read and only those in flight are held; otherwise the files
  // are read whole and scored afterwards.
  std::vector<ClassTotals> totals;
  int32_t frames = 0;
  std::string groundTruthMessages;
  std::string systemOutputMessages;
  int systemOutputStatus = -1;
  int groundTruthStatus = -1;
  StreamedInput streamedTruth{openForStreaming(groundTruthPath), groundTruthPath};
  StreamedInput streamedSystem{openForStreaming(systemOutputPath), systemOutputPath};
  bool scored = false;
  if (streamedTruth.stream != nullptr && streamedSystem.stream != nullptr) {
    StreamedTotals streamed = evaluateClassesWhileReading(
        streamedTruth, streamedSystem, evaluationFilters(confidence), defaultThreadCount());
    groundTruthStatus = streamedTruth.status;
    systemOutputStatus = streamedSystem.status;
    if (groundTruthStatus < 0) groundTruthMessages = streamedTruth.error + "\r\n";
    if (systemOutputStatus < 0) systemOutputMessages = streamedSystem.error + "\r\n";
    scored = streamed.inOrder || groundTruthStatus < 0 || systemOutputStatus < 0;
    totals = std::move(streamed.totals);
    frames = static_cast<int32_t>(streamed.frames);
  } else {
    for (std::FILE* opened : {streamedTruth.stream, streamedSystem.stream}) {
      if (opened != nullptr) std::fclose(opened);
    }
  }
  if (!scored) {
    QuorSequence groundTruth;
    QuorSequence systemOutput;
    {
      std::jthread systemReader([&] {
        systemOutputStatus = loadSequence(systemOutputPath, systemOutput, systemOutputMessages);
      });
      groundTruthStatus = loadSequence(groundTruthPath, groundTruth, groundTruthMessages);
    }
    if (groundTruthStatus >= 0 && systemOutputStatus >= 0) {
      groundTruth.confidenceThreshold = confidence;
      systemOutput.confidenceThreshold = confidence;
      totals = evaluateClasses(groundTruth, systemOutput, evaluationFilters(confidence),
                               defaultThreadCount());
      frames = static_cast<int32_t>(groundTruth.frames.size());
    }
  }
  std::fputs(groundTruthMessages.c_str(), stdout);
  std::fputs(systemOutputMessages.c_str(), stdout);
  if (groundTruthStatus < 0) {
    std::printf(kCannotOpenGroundTruth, groundTruthPath.c_str());
    std::fclose(resultFile);
    return failureEnding();
  }
  if (systemOutputStatus < 0) {
    std::printf(kCannotOpenSystemOutput, systemOutputPath.c_str());
    std::fclose(resultFile);
    return failureEnding();
  }

  bool writeFailed = false;
  reportClassEvaluation(totals, frames, resultFile, &writeFailed);
  // A full disk must not pass for a complete result file.
  errno = 0;
  const bool closeFailed = std::fclose(resultFile) != 0;
  if (writeFailed || closeFailed) {
    std::printf(kCannotWriteResult, resultPath.c_str(),
                errno != 0 ? std::strerror(errno) : "write failed");
    return failureEnding();
  }

  std::printf(kEvaluated, groundTruthPath.c_str(), systemOutputPath.c_str(),
              static_cast<double>(confidence));
  return waitAndEnd(kPromptCompleted, 0);
}
