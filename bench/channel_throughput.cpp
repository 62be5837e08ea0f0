// Throughput of the helper's request channel: lines per second through a real
// velmaris-gui process over pipes, for lines refused before any platform call (invalid
// JSON, and a "windows" request with a member it must not carry). Prints the median of
// five runs per case.
//
//   bench_channel_throughput <path to velmaris-gui> [lines per run]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

struct Child {
  pid_t pid = -1;
  int input = -1;   // the helper's standard input
  int output = -1;  // the helper's standard output
};

Child spawnHelper(const char* path) {
  int toChild[2];
  int fromChild[2];
  if (pipe(toChild) != 0 || pipe(fromChild) != 0) {
    std::perror("pipe");
    std::exit(1);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  posix_spawn_file_actions_addclose(&actions, toChild[1]);
  posix_spawn_file_actions_addclose(&actions, fromChild[0]);
  Child child;
  char* const argv[] = {const_cast<char*>(path), nullptr};
  const int rc = posix_spawn(&child.pid, path, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    std::fprintf(stderr, "cannot start %s: %s\n", path, std::strerror(rc));
    std::exit(1);
  }
  close(toChild[0]);
  close(fromChild[1]);
  child.input = toChild[1];
  child.output = fromChild[0];
  return child;
}

void writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// Seconds to send `lines` copies of `line` and read as many response lines back. The
// helper's start-up is outside the measured time: one line is answered first.
double timeRun(const char* path, const std::string& line, std::size_t lines) {
  Child child = spawnHelper(path);
  std::vector<char> buffer(1 << 16);
  const auto awaitLines = [&](std::size_t wanted) {
    std::size_t seen = 0;
    while (seen < wanted) {
      const ssize_t n = read(child.output, buffer.data(), buffer.size());
      if (n <= 0) {
        std::fprintf(stderr, "helper ended after %zu of %zu responses\n", seen, wanted);
        std::exit(1);
      }
      seen += static_cast<std::size_t>(std::count(buffer.data(), buffer.data() + n, '\n'));
    }
  };
  writeAll(child.input, line);
  awaitLines(1);

  std::string batch;
  for (std::size_t i = 0; i < 512; ++i) batch += line;
  const auto start = std::chrono::steady_clock::now();
  std::thread writer([&] {
    for (std::size_t sent = 0; sent < lines; sent += 512) writeAll(child.input, batch);
    close(child.input);
  });
  awaitLines(lines);
  const auto end = std::chrono::steady_clock::now();
  writer.join();
  close(child.output);
  int status = 0;
  waitpid(child.pid, &status, 0);
  return std::chrono::duration<double>(end - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <velmaris-gui> [lines per run]\n", argv[0]);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  // Lines go out in batches of 512.
  std::size_t lines = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 200000;
  lines = std::max<std::size_t>(1, (lines + 511) / 512) * 512;
  const std::pair<const char*, std::string> cases[] = {
      {"invalid JSON", "{\"id\":1,\"method\":\n"},
      {"windows refused by shape", "{\"id\":1,\"method\":\"windows\",\"app\":\"x\",\"window_id\":1}\n"},
  };
  for (const auto& [name, line] : cases) {
    std::vector<double> rates;
    for (int run = 0; run < 5; ++run) rates.push_back(static_cast<double>(lines) / timeRun(argv[1], line, lines));
    std::sort(rates.begin(), rates.end());
    std::printf("%-26s median %10.0f lines/s  (min %.0f, max %.0f; %zu lines per run)\n", name,
                rates[2], rates.front(), rates.back(), lines);
  }
  return 0;
}
