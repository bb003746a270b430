#include "signing.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <stdexcept>

extern char** environ;

namespace Release {

namespace fs = std::filesystem;

namespace {

std::string SignTool() {
  const char* configured = std::getenv("VALDRIX_OSSLSIGNCODE");
  return configured && *configured ? configured : "osslsigncode";
}

// A pipe whose two ends close with it.
class Pipe {
 public:
  Pipe() {
    if (pipe2(ends_, O_CLOEXEC) != 0)
      throw std::runtime_error(fmt::format("Unable to create pipe: {}", std::strerror(errno)));
  }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  int Read() const { return ends_[0]; }
  int Write() const { return ends_[1]; }
  void CloseRead() { Close(ends_[0]); }
  void CloseWrite() { Close(ends_[1]); }

 private:
  static void Close(int& end) {
    if (end >= 0) close(end);
    end = -1;
  }
  int ends_[2] = {-1, -1};
};

// posix_spawn's file actions, destroyed with the object.
class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* Get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& argv) {
  if (argv.empty()) throw std::invalid_argument("RunProgram needs a program");
  Pipe output;
  SpawnActions actions;
  posix_spawn_file_actions_addopen(actions.Get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(actions.Get(), output.Write(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(actions.Get(), output.Write(), STDERR_FILENO);
  std::vector<char*> arguments;
  arguments.reserve(argv.size() + 1);
  for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);
  pid_t child = 0;
  if (const int error = posix_spawnp(&child, arguments[0], actions.Get(), nullptr, arguments.data(), environ)) {
    throw std::runtime_error(fmt::format("Unable to start \"{}\": {}", argv[0], std::strerror(error)));
  }
  output.CloseWrite();
  ProgramResult result;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(output.Read(), buffer, sizeof(buffer));
    if (got > 0) {
      result.output.append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  // A program that cannot be run at all is reported like a failed start.
  if (result.exitCode == 127 && result.output.empty())
    throw std::runtime_error(fmt::format("Unable to start \"{}\"", argv[0]));
  return result;
}

std::optional<SignatureDigests> ParseSignatureDigests(const std::string& verifyOutput) {
  static const std::regex algorithm(R"(Message digest algorithm\s*:\s*(\S+))");
  static const std::regex stored(R"(Current message digest\s*:\s*([0-9A-Fa-f]+))");
  static const std::regex calculated(R"(Calculated message digest\s*:\s*([0-9A-Fa-f]+))");
  std::smatch a;
  std::smatch s;
  std::smatch c;
  if (!std::regex_search(verifyOutput, a, algorithm) || !std::regex_search(verifyOutput, s, stored) ||
      !std::regex_search(verifyOutput, c, calculated)) {
    return std::nullopt;
  }
  return SignatureDigests{a[1], s[1], c[1]};
}

std::string SignExecutable(const SignOptions& options) {
  if (!fs::is_regular_file(options.in)) throw std::runtime_error(fmt::format("\"{}\" is not a file", options.in));
  const std::string temporary = options.out + ".tmp";
  fs::remove(temporary);
  std::vector<std::string> command = {SignTool(), "sign", "-certs", options.cert, "-key", options.key, "-h", "sha256"};
  if (!options.chain.empty()) command.insert(command.end(), {"-ac", options.chain});
  if (!options.timestampUrl.empty()) command.insert(command.end(), {"-ts", options.timestampUrl});
  command.insert(command.end(), {"-in", options.in, "-out", temporary});
  const ProgramResult signing = RunProgram(command);
  if (signing.exitCode != 0) {
    fs::remove(temporary);
    throw std::runtime_error(
        fmt::format("osslsigncode sign failed (exit code {}):\n{}", signing.exitCode, signing.output));
  }
  // Whether the chain is trusted is the verifier's question; here the new
  // signature must be there, be SHA-256 and cover the file's bytes.
  const ProgramResult check = RunProgram({SignTool(), "verify", "-in", temporary});
  const auto digests = ParseSignatureDigests(check.output);
  if (!digests || digests->algorithm != "SHA256" || digests->stored != digests->calculated) {
    fs::remove(temporary);
    throw std::runtime_error(fmt::format("The signed file does not check out:\n{}", check.output));
  }
  fs::rename(temporary, options.out);
  return check.output;
}

bool VerifySignature(const std::string& file, const std::string& caFile, std::string& report) {
  if (!fs::is_regular_file(file)) throw std::runtime_error(fmt::format("\"{}\" is not a file", file));
  if (!fs::is_regular_file(caFile)) throw std::runtime_error(fmt::format("\"{}\" is not a file", caFile));
  const ProgramResult result = RunProgram({SignTool(), "verify", "-in", file, "-CAfile", caFile});
  report = result.output;
  const auto digests = ParseSignatureDigests(result.output);
  return result.exitCode == 0 && digests && digests->stored == digests->calculated;
}

}  // namespace Release
