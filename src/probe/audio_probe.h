// The probe's run: the command line, the order of the checks, the capture from start to
// stop, and the one report it prints. Everything happens on the calling thread; the sink's
// tables are reached only through synchronous tasks on the sink's queue.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "platform/audio_capture.h"

namespace velmaris::probe {

// Receives the report's bytes, line feed included.
using ReportPrinter = std::function<void(std::string_view)>;

struct AudioProbe {
  // The whole run for `arguments` (the program name left out); answers the exit status.
  static int main(const std::vector<std::string>& arguments, platform::AudioCapture& platform,
                  const ReportPrinter& print);

  // Prints `report` as one compact line with sorted keys; prints nothing when it cannot be
  // serialised.
  static void emit(const nlohmann::json& report, const ReportPrinter& print);
};

// The current time as ISO 8601 text in UTC, to the whole second: 2024-05-01T09:30:00Z.
std::string iso8601Now();

}  // namespace velmaris::probe
