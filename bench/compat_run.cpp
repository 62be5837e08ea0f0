// One application's row of the compatibility table: starts the application, finds its process
// and key the way the helper does, then drives the real velmaris-gui through "windows",
// "observe", "observe_targets", an image, a press whose effect a fresh observation must show,
// a value write and (for browsers) the browser methods, checking after every step that the
// application is still alive, and times pyatspi walks of the same window alternated with
// "observe". Prints one Markdown table row, then "note:" lines with the evidence behind it.
// Run on a desktop:
//
//   scripts/virtual-desktop -- build/bin/bench_compat_run --press AXCheckBox=7
//       --expect AXTextArea=7 -- galculator        (one line)
//
// Options: --name TEXT; --content ROLE (a role only the window's content has); --press
// ROLE[=LABEL]; --expect ROLE=TEXT (an element of that role whose label or value the press
// makes show TEXT); --write
// ROLE[=LABEL]; --value JSON (what to write; default "velmaris"); --browser; --runs N;
// --settle S (seconds to wait after the first window shows; default 3); --dump (every element
// and target as a note, for choosing the others).
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness.h"
#include "median.h"
#include "platform/linux/linux_platform.h"
#include "platform/platform.h"

namespace {

using Json = nlohmann::json;
using velmaris::testing::Helper;
using velmaris::testing::Process;
using namespace std::chrono_literals;

struct Options {
  std::string name, content, press, expect, write;
  Json value = "velmaris";
  bool browser = false, dump = false;
  int runs = 5, settle = 3;
  std::vector<std::string> command;
};

std::string fixed(double value, int decimals = 0) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string readText(const std::string& path) {
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// State letter of /proc/<pid>/stat, 0 when the process is gone.
char processState(pid_t pid) {
  const std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
}

pid_t parentOf(pid_t pid) {
  const std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string state;
  pid_t parent = 0;
  fields >> state >> parent;
  return parent;
}

bool descendsFrom(pid_t pid, pid_t root) {
  for (int hops = 0; pid > 1 && hops < 32; ++hops, pid = parentOf(pid))
    if (pid == root) return true;
  return false;
}

// The start time a client gives the browser methods: boot time plus the kernel's start ticks.
double processStarted(pid_t pid) {
  const std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 22; ++i) fields >> field;
  const std::uint64_t ticks = std::stoull(field);
  std::istringstream lines(readText("/proc/stat"));
  std::uint64_t boot = 0;
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("btime ", 0) == 0) boot = std::stoull(line.substr(6));
  const auto hz = static_cast<std::uint64_t>(sysconf(_SC_CLK_TCK));
  return double(boot + ticks / hz) + double((ticks % hz) * 1000000 / hz) / 1e6;
}

// "ROLE=LABEL" or "ROLE".
std::pair<std::string, std::optional<std::string>> selector(const std::string& text) {
  const auto equals = text.find('=');
  if (equals == std::string::npos) return {text, std::nullopt};
  return {text.substr(0, equals), text.substr(equals + 1)};
}

void flatten(const Json& node, std::vector<const Json*>& out) {
  out.push_back(&node);
  for (const auto& child : node["children"]) flatten(child, out);
}

std::string scalarText(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return "";
  return value.dump();
}

// What a sighted reader of the window sees: every element's role, label and value.
std::multiset<std::string> visibleText(const Json& tree) {
  std::vector<const Json*> nodes;
  flatten(tree, nodes);
  std::multiset<std::string> seen;
  for (const Json* node : nodes)
    seen.insert(scalarText((*node)["role"]) + "|" + scalarText((*node)["label"]) + "|" +
                scalarText((*node)["value"]));
  return seen;
}

std::multiset<std::string> targetText(const Json& targets) {
  std::multiset<std::string> seen;
  for (const auto& target : targets)
    seen.insert(scalarText(target["role"]) + "|" + scalarText(target["label"]) + "|" +
                target["enabled"].dump());
  return seen;
}

// Whether an element of `spec`'s role ("ROLE=TEXT") has TEXT in its label or value.
bool shows(const Json& tree, const std::string& spec) {
  const auto [role, text] = selector(spec);
  std::vector<const Json*> nodes;
  flatten(tree, nodes);
  for (const Json* node : nodes)
    if ((*node)["role"] == role && (scalarText((*node)["label"]).find(*text) != std::string::npos ||
                                    scalarText((*node)["value"]).find(*text) != std::string::npos))
      return true;
  return false;
}

std::string errorText(const Json& response) {
  if (!response.contains("error")) return "no answer";
  const Json& error = response["error"];
  std::string text = error.value("code", "?");
  if (error.contains("ax_status")) text += " " + error["ax_status"].dump();
  if (error.contains("stage")) text += " at " + error["stage"].get<std::string>();
  if (error.contains("attribute")) text += " of " + error["attribute"].get<std::string>();
  return text;
}

class Run {
 public:
  explicit Run(Options options) : options_(std::move(options)) {}

  int go() {
    start();
    if (pid_ == 0) return finish();
    key_ = keyOf(pid_);
    Helper helper;
    helper_ = &helper;
    // Each later step runs even when an earlier one was refused; only a death stops the row.
    windows() && observe() && targets() && image() && press() && valueWrite();
    if (options_.browser) browserMethods();
    if (window_ > 0) referenceWalk();
    if (!died_.empty() || processState(pid_) == 0) return finish();
    // Still answering at the end: one more observation.
    const Json last = ask({{"method", "observe"}, {"window_id", window_}});
    if (window_ > 0 && !last.contains("result"))
      notes_.push_back("final observation: " + errorText(last));
    if (!helper.errorText().empty()) notes_.push_back("helper stderr: " + helper.errorText());
    return finish();
  }

 private:
  void start() {
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$@\" </dev/null >/dev/null 2>&1",
                                  "sh"};
    argv.insert(argv.end(), options_.command.begin(), options_.command.end());
    app_.emplace(argv);
    // The process that owns the first top-level window, the command's or a descendant's.
    const auto deadline = std::chrono::steady_clock::now() + 45s;
    while (std::chrono::steady_clock::now() < deadline && pid_ == 0) {
      std::this_thread::sleep_for(200ms);
      for (pid_t candidate : processesUnder(app_->pid()))
        if (!velmaris::testing::XDesktop().windowsOf(candidate).empty()) pid_ = candidate;
    }
    if (pid_ == 0) {
      cells_["windows"] = "no window appeared in 45 s";
      return;
    }
    // Let the application finish building its window before it is observed.
    std::this_thread::sleep_for(std::chrono::seconds(options_.settle));
  }

  static std::vector<pid_t> processesUnder(pid_t root) {
    std::vector<pid_t> found;
    if (DIR* proc = opendir("/proc")) {
      while (dirent* entry = readdir(proc)) {
        const pid_t pid = std::atoi(entry->d_name);
        if (pid > 0 && descendsFrom(pid, root)) found.push_back(pid);
      }
      closedir(proc);
    }
    std::sort(found.begin(), found.end());
    return found;
  }

  static std::string keyOf(pid_t pid) {
    auto platform = velmaris::platform::makeLinuxPlatform();
    if (auto running = platform.workspace->runningApplication(pid))
      if (running->bundleID) return *running->bundleID;
    return "";
  }

  // False, with the cause noted, once the application has died or stopped.
  bool alive(const std::string& step) {
    const char state = processState(pid_);
    if (state != 0 && state != 'Z' && state != 'X') return true;
    std::string how = "died after " + step;
    if (pid_ == app_->pid())
      if (auto status = app_->wait(1000ms)) how += " (status " + std::to_string(*status) + ")";
    died_ = how;
    return false;
  }

  Json ask(Json request) {
    request["id"] = ++id_;
    request["app"] = key_;
    return helper_->request(request, 10000ms);
  }

  double timed(const Json& request, Json& response) {
    const auto begin = std::chrono::steady_clock::now();
    response = ask(request);
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin)
        .count();
  }

  bool windows() {
    // An application registers with accessibility some time after its first window shows.
    Json r;
    for (int attempt = 0; attempt < 40; ++attempt) {
      r = ask({{"method", "windows"}});
      if ((r.contains("result") && !r["result"]["windows"].empty()) || !alive("windows")) break;
      std::this_thread::sleep_for(500ms);
    }
    if (!r.contains("result")) {
      cells_["windows"] = errorText(r);
      return false;
    }
    const Json& list = r["result"]["windows"];
    cells_["windows"] = std::to_string(list.size());
    if (list.empty()) return alive("windows") && false;
    // The first titled window: browsers keep untitled helper windows beside the main one.
    Json chosen = list[0];
    for (const auto& entry : list)
      if (entry["title"].is_string() && !entry["title"].get<std::string>().empty()) {
        chosen = entry;
        break;
      }
    window_ = chosen["window_id"];
    title_ = chosen["title"].is_string() ? chosen["title"].get<std::string>() : "";
    return alive("windows");
  }

  bool observe() {
    std::vector<double> times;
    Json r;
    for (int i = 0; i < options_.runs; ++i) {
      times.push_back(timed({{"method", "observe"}, {"window_id", window_}}, r));
      if (!r.contains("result") || !alive("observe")) break;
    }
    if (!r.contains("result")) {
      cells_["observe"] = errorText(r);
      return alive("observe");
    }
    std::vector<const Json*> nodes;
    flatten(r["result"]["tree"], nodes);
    std::string content = "";
    if (!options_.content.empty()) {
      const bool reached = std::any_of(nodes.begin(), nodes.end(), [&](const Json* node) {
        return (*node)["role"] == options_.content;
      });
      content = reached ? ", content reached (" + options_.content + ")"
                        : ", content NOT reached (no " + options_.content + ")";
      if (!reached) {  // what the bound was spent on instead
        std::map<std::string, int> roles;
        for (const Json* node : nodes) roles[scalarText((*node)["role"])]++;
        std::string spent;
        for (const auto& [role, count] : roles)
          spent += (spent.empty() ? "" : ", ") + role + " ×" + std::to_string(count);
        notes_.push_back("observe reached no " + options_.content + "; its elements: " + spent);
      }
    }
    const int enabled = int(std::count_if(nodes.begin(), nodes.end(), [](const Json* node) {
      return (*node)["enabled"] == true;
    }));
    if (options_.dump)
      for (const Json* node : nodes)
        notes_.push_back("node " + (*node)["role"].dump() + " " + (*node)["label"].dump() + " " +
                         (*node)["value"].dump().substr(0, 60) + " " +
                         (node->contains("bounds") ? (*node)["bounds"].dump() : "") +
                         (node->contains("actions") ? " " + (*node)["actions"].dump() : ""));
    observeMs_ = median(times);
    cells_["observe"] = std::to_string(nodes.size()) + " elements, " + fixed(observeMs_) +
                        " ms" + content + (r["result"]["truncated"] == true ? ", truncated" : "");
    notes_.push_back("observe: " + std::to_string(enabled) + " of " +
                     std::to_string(nodes.size()) + " elements enabled; " +
                     std::to_string(times.size()) + " runs");
    return alive("observe");
  }

  bool targets() {
    const Json r = ask({{"method", "observe_targets"}, {"window_id", window_}});
    if (!r.contains("result")) {
      cells_["targets"] = errorText(r);
      return alive("observe_targets");
    }
    targets_ = r["result"];
    int pressable = 0, settable = 0;
    for (const auto& target : targets_["targets"]) {
      pressable += target["pressable"] == true;
      settable += target["settable"] == true;
    }
    if (options_.dump)
      for (const auto& target : targets_["targets"])
        notes_.push_back("target " + target["role"].dump() + " " + target["label"].dump() + " " +
                         target["identifier"].dump() + (target["pressable"] == true ? " pressable" : "") +
                         (target["settable"] == true ? " settable" : "") +
                         (target["enabled"] == true ? "" : " disabled") + " " +
                         target.value("actions", Json::array()).dump());
    cells_["targets"] = std::to_string(targets_["targets"].size()) + " (" +
                        std::to_string(pressable) + " pressable, " + std::to_string(settable) +
                        " settable)";
    return alive("observe_targets");
  }

  bool image() {
    const Json r = ask({{"method", "observe"}, {"window_id", window_}, {"include_image", true}});
    if (!r.contains("result")) {
      cells_["image"] = errorText(r);
    } else if (r["result"].contains("visual")) {
      const Json& visual = r["result"]["visual"];
      cells_["image"] = "yes, " + visual.value("width", Json(0)).dump() + "×" +
                        visual.value("height", Json(0)).dump();
    } else {
      cells_["image"] = "no: " + r["result"].value("visual_unavailable", std::string("?"));
    }
    return alive("include_image");
  }

  // The first target of the role (and label) that `pick` accepts.
  const Json* findTarget(const std::string& spec, const std::function<bool(const Json&)>& pick) {
    const auto [role, label] = selector(spec);
    for (const auto& target : targets_["targets"]) {
      if (target["role"] != role || target["enabled"] != true || !pick(target)) continue;
      if (label && target["label"] != *label) continue;
      return &target;
    }
    return nullptr;
  }

  bool press() {
    if (options_.press.empty()) {
      cells_["press"] = "not tried";
      return true;
    }
    const Json* target =
        findTarget(options_.press, [](const Json& t) { return t["pressable"] == true; });
    if (!target) {
      cells_["press"] = "no enabled pressable " + options_.press;
      return true;
    }
    const Json windowsBefore = ask({{"method", "windows"}});
    const Json before = ask({{"method", "observe"}, {"window_id", window_}});
    const Json r = ask({{"method", "press"},
                        {"window_id", window_},
                        {"observation_id", targets_["observation_id"]},
                        {"element_ref", (*target)["element_ref"]}});
    if (!alive("press")) return false;
    if (!r.contains("result")) {
      cells_["press"] = options_.press + ": " + errorText(r);
      return true;
    }
    std::this_thread::sleep_for(300ms);
    const Json after = ask({{"method", "observe"}, {"window_id", window_}});
    if (!alive("observe after press")) return false;
    const Json afterTargets = ask({{"method", "observe_targets"}, {"window_id", window_}});
    if (!alive("observe_targets after press")) return false;
    std::string effect = "fresh observation failed: " + errorText(after.contains("error") ? after : before);
    if (before.contains("result") && after.contains("result")) {
      const Json& was = before["result"]["tree"];
      const Json& now = after["result"]["tree"];
      if (options_.expect.find('=') != std::string::npos)
        effect = shows(now, options_.expect) && !shows(was, options_.expect)
                     ? "\"" + options_.expect + "\" appeared"
                     : "\"" + options_.expect + "\" did NOT appear";
      else if (visibleText(was) != visibleText(now))
        effect = "window changed";
      else if (afterTargets.contains("result") &&
               targetText(targets_["targets"]) != targetText(afterTargets["result"]["targets"]))
        effect = "window's targets changed";
      else if (const Json windowsAfter = ask({{"method", "windows"}});
               windowsAfter.contains("result") && windowsBefore.contains("result") &&
               windowsAfter["result"]["windows"].size() > windowsBefore["result"]["windows"].size())
        effect = "a window opened";
      else
        effect = "NO visible change";
    }
    cells_["press"] = options_.press + ": " + effect;
    return true;
  }

  bool valueWrite() {
    if (options_.write.empty()) {
      cells_["write"] = "not tried";
      return true;
    }
    const Json fresh = ask({{"method", "observe_targets"}, {"window_id", window_}});
    if (!fresh.contains("result")) {
      cells_["write"] = errorText(fresh);
      return alive("observe_targets");
    }
    targets_ = fresh["result"];
    const Json* target =
        findTarget(options_.write, [](const Json& t) { return t["settable"] == true; });
    if (!target) {
      cells_["write"] = "no enabled settable " + options_.write;
      return alive("observe_targets");
    }
    const Json r = ask({{"method", "set_value"},
                        {"window_id", window_},
                        {"observation_id", targets_["observation_id"]},
                        {"element_ref", (*target)["element_ref"]},
                        {"value", options_.value}});
    if (!alive("set_value")) return false;
    if (!r.contains("result")) {
      cells_["write"] = options_.write + ": " + errorText(r);
      return true;
    }
    cells_["write"] = options_.write + " ← " + options_.value.dump() + ": value_verified " +
                      r["result"].value("value_verified", Json()).dump();
    return true;
  }

  void browserMethods() {
    const double started = processStarted(pid_);
    std::string text;
    for (const char* method : {"browser_status", "browser_reveal"}) {
      Json request{{"id", ++id_},
                   {"method", method},
                   {"app", "com.google.Chrome"},
                   {"process_id", pid_},
                   {"process_started", started}};
      const Json r = helper_->request(request, 10000ms);
      text += std::string(text.empty() ? "" : "; ") + (method + 8) + ": ";
      if (r.contains("result"))
        text += "foreground_verified " + r["result"]["foreground_verified"].dump() + ", " +
                r["result"]["onscreen_window_count"].dump() + " on screen";
      else
        text += errorText(r);
      if (!alive(method)) break;
    }
    cells_["browser"] = text;
  }

  void referenceWalk() {
    if (processState(pid_) == 0) return;
    // The title may have changed since (an edited document); the walk finds the window by it.
    const Json listed = ask({{"method", "windows"}});
    if (listed.contains("result"))
      for (const auto& entry : listed["result"]["windows"])
        if (entry["window_id"] == window_ && entry["title"].is_string()) title_ = entry["title"];
    Process walk({"/usr/bin/python3", std::string(VELMARIS_SOURCE_DIR) + "/bench/reference_walk.py",
                  std::to_string(pid_), title_});
    auto ready = walk.readLine(20000ms);
    if (!ready || ready->find("ready") == std::string::npos) {
      cells_["walk"] = "failed";
      notes_.push_back("pyatspi walk: " + walk.errorText().substr(0, 200));
      return;
    }
    // After a warm-up of both (pyatspi fills its cache on its first walk), the helper's
    // observations and the walks alternate, so that the load of the moment hits both alike.
    std::vector<double> times, observed;
    int nodes = 0;
    for (int i = -1; i < options_.runs; ++i) {
      Json r;
      const double observeMs = timed({{"method", "observe"}, {"window_id", window_}}, r);
      if (i >= 0 && r.contains("result")) observed.push_back(observeMs);
      walk.write("walk\n");
      auto line = walk.readLine(30000ms);
      if (!line) break;
      const Json answer = Json::parse(*line, nullptr, false);
      if (i >= 0) times.push_back(answer.value("ms", NAN));
      nodes = answer.value("nodes", 0);
      if (!alive("the pyatspi walk")) break;
    }
    walk.closeInput();
    if (times.empty()) {
      cells_["walk"] = "no answer";
      return;
    }
    const double ms = median(times);
    const double helperMs = observed.empty() ? 0 : median(observed);
    cells_["walk"] = fixed(ms) + " ms (" + std::to_string(nodes) + " elements)";
    if (helperMs > 0)
      cells_["walk"] += "; observe " + fixed(helperMs) + " ms alternated with it, " +
                        fixed(helperMs / ms * 100) + " % of the walk, helper " +
                        (ms >= helperMs ? fixed(ms / helperMs, 1) + "× faster"
                                        : fixed(helperMs / ms, 1) + "× slower");
  }

  int finish() {
    std::string row = "| " + options_.name + " | " + (key_.empty() ? "?" : "\"" + key_ + "\"");
    for (const char* column : {"windows", "observe", "targets", "image", "press", "write"})
      row += " | " + (cells_.count(column) ? cells_[column] : "—");
    row += " | " + (options_.browser ? (cells_.count("browser") ? cells_["browser"] : "—") : "n/a");
    row += " | " + (cells_.count("walk") ? cells_["walk"] : "—");
    row += " | " + (died_.empty() ? std::string("alive") : "**" + died_ + "**") + " |";
    std::printf("%s\n", row.c_str());
    for (const auto& note : notes_) std::printf("note: %s: %s\n", options_.name.c_str(), note.c_str());
    std::fflush(stdout);
    return died_.empty() ? 0 : 3;
  }

  Options options_;
  std::optional<Process> app_;
  Helper* helper_ = nullptr;
  pid_t pid_ = 0;
  std::string key_, title_, died_;
  std::int64_t window_ = 0;
  std::int64_t id_ = 0;
  double observeMs_ = 0;
  Json targets_;
  std::map<std::string, std::string> cells_;
  std::vector<std::string> notes_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "--browser" || arg == "--dump") {
      (arg == "--browser" ? options.browser : options.dump) = true;
      continue;
    }
    if (i + 1 >= argc) break;
    const std::string value = argv[++i];
    if (arg == "--name") options.name = value;
    else if (arg == "--content") options.content = value;
    else if (arg == "--press") options.press = value;
    else if (arg == "--expect") options.expect = value;
    else if (arg == "--write") options.write = value;
    else if (arg == "--value") options.value = Json::parse(value);
    else if (arg == "--runs") options.runs = std::max(1, std::atoi(value.c_str()));
    else if (arg == "--settle") options.settle = std::max(0, std::atoi(value.c_str()));
  }
  for (; i < argc; ++i) options.command.push_back(argv[i]);
  if (options.command.empty()) {
    std::fprintf(stderr, "usage: %s [options] -- COMMAND [ARGS...]\n", argv[0]);
    return 2;
  }
  if (options.name.empty()) options.name = options.command[0];
  return Run(std::move(options)).go();
}
