#include "app/CommandLine.h"

#include <charconv>
#include <cmath>

namespace k419::app {

namespace {

bool ToCount(const std::string& text, std::uint64_t& value) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && value > 0;
}

bool ToSeconds(const std::string& text, double& value) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && std::isfinite(value) && value > 0;
}

}  // namespace

std::optional<std::string> ParseOptions(const std::vector<std::string>& args, Options& options) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (const auto equals = name.find('=');
            name.rfind("--", 0) == 0 && equals != std::string::npos) {
            inlineValue = name.substr(equals + 1);
            name.resize(equals);
        }
        const auto value = [&]() -> std::optional<std::string> {
            if (inlineValue) return inlineValue;
            if (i + 1 < args.size()) return args[++i];
            return std::nullopt;
        };
        const auto flag = [&](bool& target) -> std::optional<std::string> {
            if (inlineValue) return "option " + name + " takes no value";
            target = true;
            return std::nullopt;
        };
        std::optional<std::string> error;
        if (name == "--help" || name == "-h") {
            error = flag(options.help);
        } else if (name == "--version") {
            error = flag(options.version);
        } else if (name == "--simulate") {
            error = flag(options.simulate);
        } else if (name == "--list-ports") {
            error = flag(options.listPorts);
        } else if (name == "--port") {
            // COMn=PATH; "COM" in any case, n from 1 to 4.
            const auto v = value();
            const auto equals = v ? v->find('=') : std::string::npos;
            int number = 0;
            if (equals != std::string::npos && equals > 3) {
                const std::string com = v->substr(0, 3);
                const char* digits = v->data() + 3;
                const auto [ptr, ec] = std::from_chars(digits, v->data() + equals, number);
                if ((com != "COM" && com != "com") || ec != std::errc() ||
                    ptr != v->data() + equals) {
                    number = 0;
                }
            }
            if (number < 1 || equals + 1 >= v->size()) {
                return "option --port takes COMn=PATH, for example --port COM1=/dev/ttyUSB0";
            }
            if (number > 4) {
                return "option --port takes COM1 to COM4 (the panel's ports), not COM" +
                       std::to_string(number);
            }
            options.ports.emplace_back(number, v->substr(equals + 1));
        } else if (name == "--record" || name == "--capture") {
            const auto v = value();
            if (!v || v->empty()) return "option " + name + " needs a file name";
            (name == "--record" ? options.record : options.capture) = *v;
        } else if (name == "--format") {
            const auto v = value();
            if (v == "text") {
                options.format = OutputFormat::Text;
            } else if (v == "csv") {
                options.format = OutputFormat::Csv;
            } else if (v == "jsonl") {
                options.format = OutputFormat::Jsonl;
            } else {
                return "option --format takes text, csv or jsonl";
            }
        } else if (name == "--frames") {
            const auto v = value();
            if (!v || !ToCount(*v, options.frames)) {
                return "option --frames takes a number of frames above 0";
            }
        } else if (name == "--duration") {
            const auto v = value();
            if (!v || !ToSeconds(*v, options.duration)) {
                return "option --duration takes a number of seconds above 0";
            }
        } else {
            return "unknown option " + args[i];
        }
        if (error) return error;
    }
    return std::nullopt;
}

}  // namespace k419::app
