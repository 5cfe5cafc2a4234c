// The program's own command line options (what is left after Qt took its own).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace k419::app {

enum class OutputFormat { Text, Csv, Jsonl };

struct Options {
    bool help = false;
    bool version = false;
    bool simulate = false;
    bool listPorts = false;
    // --port COMn=PATH, repeatable: the device each of these numbers names.
    std::vector<std::pair<int, std::string>> ports;
    std::string record;   // --record FILE: the CSV recording, from the start
    std::string capture;  // --capture FILE: the raw received bytes
    OutputFormat format = OutputFormat::Text;
    std::uint64_t frames = 0;  // --frames N: end after N frames (0: no limit)
    double duration = 0.0;     // --duration SECONDS: end after that long (0: no limit)
};

// Reads `args` (without the program's name) into `options`. Values follow their option as the
// next argument or after "=". Returns a message for the user when an option is unknown or a
// value is missing or malformed.
std::optional<std::string> ParseOptions(const std::vector<std::string>& args, Options& options);

}  // namespace k419::app
