// /proc readers. The start time is built from /proc/stat's btime, never from the difference
// of two clocks, so the same process reads the same to the microsecond every time.
#include "platform/linux/proc_records.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <sstream>

namespace velmaris::platform::linux_desktop {
namespace {

// Files under /proc that this reads are small; a larger one is not what it should be.
constexpr std::size_t kMaxProcessFile = 64 * 1024;
constexpr std::size_t kMaxSystemStat = 1024 * 1024;  // /proc/stat grows with the CPUs

// A regular file, read whole when it holds at most `limit` bytes. Opened without blocking and
// without following a final link, so that what another process put at a path (a FIFO, a
// device, a link elsewhere) is refused rather than waited on or read through.
std::optional<std::string> readFile(const std::string& path, std::size_t limit = kMaxProcessFile) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> text;
  struct stat status {};
  if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
    // Files of /proc report no size: the limit is found by reading one byte past it.
    std::string bytes;
    char chunk[4096];
    for (;;) {
      const ssize_t n = read(fd, chunk, std::min(sizeof chunk, limit + 1 - bytes.size()));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      if (n == 0) {
        text = std::move(bytes);
        break;
      }
      bytes.append(chunk, std::size_t(n));
      if (bytes.size() > limit) break;
    }
  }
  close(fd);
  return text;
}

std::string procPath(std::int32_t pid, const char* entry) {
  return "/proc/" + std::to_string(pid) + "/" + entry;
}

template <typename T>
bool parseNumber(std::string_view text, T& out) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

std::string_view baseName(std::string_view path) {
  auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The boot time of /proc/stat, read once: it is the same for every process, and /proc/stat
// (a line per CPU and per interrupt) cost more to read than the process's own record, on
// every request that names a process. The kernel recomputes it from the wall clock, so
// read once it also keeps a process's start time the same should the clock be set.
std::uint64_t bootTime() {
  static std::atomic<std::uint64_t> known{0};
  std::uint64_t boot = known.load(std::memory_order_relaxed);
  if (boot != 0) return boot;
  auto system = readFile("/proc/stat", kMaxSystemStat);
  if (!system) return 0;
  boot = parseBootTime(*system).value_or(0);
  known.store(boot, std::memory_order_relaxed);
  return boot;
}

}  // namespace

std::optional<StatStart> parseStatStart(std::string_view line) {
  // "pid (comm) state ppid ...": comm may hold spaces and parentheses, so the fields after
  // it are counted from the last ')'.
  auto open = line.find(" (");
  auto close = line.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return std::nullopt;
  }
  StatStart result;
  if (!parseNumber(line.substr(0, open), result.pid)) return std::nullopt;
  std::string_view rest = line.substr(close + 1);
  // Fields 3.. follow; the start time is field 22, the 20th after the ')'.
  int field = 2;
  std::size_t pos = 0;
  while (pos < rest.size()) {
    while (pos < rest.size() && rest[pos] == ' ') pos++;
    std::size_t end = rest.find(' ', pos);
    if (end == std::string_view::npos) end = rest.size();
    if (end > pos) {
      field++;
      if (field == 22) {
        std::string_view value = rest.substr(pos, end - pos);
        while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) {
          value.remove_suffix(1);
        }
        if (!parseNumber(value, result.startTicks)) return std::nullopt;
        return result;
      }
    }
    pos = end;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> parseBootTime(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    if (line.rfind("btime ", 0) == 0) {
      std::uint64_t value = 0;
      if (parseNumber(line.substr(6), value)) return value;
      return std::nullopt;
    }
    pos = end + 1;
  }
  return std::nullopt;
}

ProcessRecord startRecord(std::int32_t pid, std::uint64_t bootTime, std::uint64_t startTicks,
                          long ticksPerSecond) {
  auto hz = static_cast<std::uint64_t>(ticksPerSecond > 0 ? ticksPerSecond : 100);
  ProcessRecord record;
  record.pid = pid;
  record.startSeconds = bootTime + startTicks / hz;
  record.startMicroseconds = (startTicks % hz) * 1000000 / hz;
  return record;
}

std::optional<ProcessRecord> readProcessRecord(std::int32_t pid) {
  if (pid < 1) return std::nullopt;
  auto stat = readFile(procPath(pid, "stat"));
  if (!stat) return std::nullopt;
  auto start = parseStatStart(*stat);
  const std::uint64_t boot = bootTime();
  if (!start || boot == 0) return std::nullopt;
  return startRecord(start->pid, boot, start->startTicks, sysconf(_SC_CLK_TCK));
}

bool processGone(std::int32_t pid) {
  if (pid < 1) return true;
  auto stat = readFile(procPath(pid, "stat"));
  if (!stat) return true;
  auto close = stat->rfind(')');
  if (close == std::string::npos || close + 2 >= stat->size()) return true;
  char state = (*stat)[close + 2];
  return state == 'Z' || state == 'X';
}

std::optional<std::string> flatpakApplicationId(std::int32_t pid) {
  auto info = readFile(procPath(pid, "root/.flatpak-info"));
  if (!info) return std::nullopt;
  // Key file: "name=" in the [Application] group.
  std::istringstream lines(*info);
  std::string line;
  bool inApplication = false;
  while (std::getline(lines, line)) {
    if (!line.empty() && line[0] == '[') {
      inApplication = line == "[Application]";
    } else if (inApplication && line.rfind("name=", 0) == 0 && line.size() > 5) {
      return line.substr(5);
    }
  }
  return std::nullopt;
}

std::optional<std::string> executablePath(std::int32_t pid) {
  char target[PATH_MAX];
  ssize_t length = readlink(procPath(pid, "exe").c_str(), target, sizeof target - 1);
  if (length <= 0) return std::nullopt;
  std::string_view path(target, std::size_t(length));
  // An executable replaced on disk while running reads as "... (deleted)".
  constexpr std::string_view deleted = " (deleted)";
  if (path.size() > deleted.size() && path.substr(path.size() - deleted.size()) == deleted) {
    path.remove_suffix(deleted.size());
  }
  return std::string(path);
}

std::optional<std::string> executableName(std::int32_t pid) {
  if (auto path = executablePath(pid)) {
    std::string_view name = baseName(*path);
    if (!name.empty()) return std::string(name);
  }
  auto comm = readFile(procPath(pid, "comm"));
  if (!comm) return std::nullopt;
  while (!comm->empty() && comm->back() == '\n') comm->pop_back();
  if (comm->empty()) return std::nullopt;
  return comm;
}

}  // namespace velmaris::platform::linux_desktop
