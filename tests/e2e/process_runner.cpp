#include "process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace chimewell::e2e {
namespace {

struct Pipe {
  int read = -1, write = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    read = fds[0];
    write = fds[1];
  }
  ~Pipe() {
    if (read >= 0) ::close(read);
    if (write >= 0) ::close(write);
  }
  void CloseRead() { ::close(std::exchange(read, -1)); }
  void CloseWrite() { ::close(std::exchange(write, -1)); }
};

}  // namespace

ProcessOutcome RunProcess(const std::vector<std::string>& command, const std::string& input,
                          const std::map<std::string, std::optional<std::string>>& environment,
                          std::chrono::seconds timeout) {
  std::vector<std::string> env_text;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (!environment.contains(text.substr(0, text.find('=')))) env_text.push_back(text);
  }
  for (const auto& [name, value] : environment) {
    if (value) env_text.push_back(name + "=" + *value);
  }
  std::vector<char*> envp, argv;
  for (auto& text : env_text) envp.push_back(text.data());
  envp.push_back(nullptr);
  std::vector<std::string> command_copy = command;
  for (auto& text : command_copy) argv.push_back(text.data());
  argv.push_back(nullptr);

  Pipe in, out, err;
  const auto started = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::dup2(in.read, 0);
    ::dup2(out.write, 1);
    ::dup2(err.write, 2);
    ::setpgid(0, 0);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  in.CloseRead();
  out.CloseWrite();
  err.CloseWrite();
  ::fcntl(in.write, F_SETFL, O_NONBLOCK);

  ProcessOutcome outcome;
  std::size_t written = 0;
  if (input.empty()) in.CloseWrite();
  const auto deadline = started + timeout;
  bool timed_out = false;
  while (out.read >= 0 || err.read >= 0) {
    std::vector<pollfd> fds;
    if (out.read >= 0) fds.push_back({out.read, POLLIN, 0});
    if (err.read >= 0) fds.push_back({err.read, POLLIN, 0});
    if (in.write >= 0) fds.push_back({in.write, POLLOUT, 0});
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0) continue;
    for (const pollfd& p : fds) {
      if (p.revents == 0) continue;
      if (p.fd == in.write) {
        const ssize_t n = ::write(in.write, input.data() + written, input.size() - written);
        if (n > 0) written += static_cast<std::size_t>(n);
        if (n < 0 || written == input.size()) in.CloseWrite();
        continue;
      }
      char buffer[65536];
      const ssize_t n = ::read(p.fd, buffer, sizeof buffer);
      std::string& sink = p.fd == out.read ? outcome.out : outcome.err;
      if (n > 0) {
        sink.append(buffer, static_cast<std::size_t>(n));
      } else {
        (p.fd == out.read ? out : err).CloseRead();
      }
    }
  }
  if (timed_out) {
    // Says whether the program itself or a process that inherited its output
    // (a helper Wine started) was still holding on.
    int raw = 0;
    const bool program_ended = ::waitpid(pid, &raw, WNOHANG) == pid;
    ::kill(-pid, SIGKILL);
    outcome.err += "\n[run_process: after " + std::to_string(timeout.count()) + " s " +
                   (program_ended ? "the program had ended but its output was still held open"
                                  : "the program was still running") + "; killed]\n";
    if (program_ended) {
      outcome.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - started);
      return outcome;
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  outcome.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  if (timed_out) {
    outcome.exit_code = -1;
  } else {
    outcome.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return outcome;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

}  // namespace chimewell::e2e
