#include "tests/test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
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

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

namespace {

// Runs `program` with `arguments`, standard input from /dev/null, standard
// output into `output` and standard error into `errors` (when not null).
int runProgram(const std::string& program, const std::vector<std::string>& arguments,
               const std::string& workingDir, std::string& output, std::string* errors) {
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

}  // namespace talmira_test
