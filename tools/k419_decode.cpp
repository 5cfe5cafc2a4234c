// k419-decode: replays a raw byte stream from the meter through the front panel model and
// prints, after every frame, the panel's texts as one JSON object per line, or the frame's
// reading record as a CSV row or a JSON line.
//
// Bytes are fed to the model one at a time, with one trigger event after each, which is
// how the serial component reports a byte-by-byte arrival; so the decoder shows exactly
// the frames the window would show, including the effect of a wrong header.

#include <fcntl.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#endif

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "meter/FrontPanel.h"
#include "meter/Reading.h"

#ifndef K419_VERSION
#define K419_VERSION "unknown"
#endif

namespace {

// The panel's exit statuses where they apply.
constexpr int ExitUsage = 2;
constexpr int ExitOutputFailed = 3;

const char* const Usage =
    "Usage: k419-decode [--format json|csv|jsonl] [--decimal-point=SEP] [FILE]\n"
    "Decodes a raw K4-19 byte stream (FILE, or standard input when FILE is absent or \"-\")\n"
    "and prints one line for every frame the front panel would show.\n"
    "\n"
    "  --format FORMAT      json (the default): one JSON object with the panel's texts:\n"
    "                       LA, LD, Base, Dop, A to F, Label1 to Label5 and Label7;\n"
    "                       csv: the reading record as the panel's recording writes it\n"
    "                       (a header row, then one row per frame; values in SI units,\n"
    "                       \".\" as decimal point, an overloaded value an empty cell),\n"
    "                       with the time columns empty: a raw capture has no times;\n"
    "                       jsonl: the same record as one JSON object per line, with\n"
    "                       null times and null for an overloaded value\n"
    "  --decimal-point=SEP  decimal separator of the json texts (default: the locale's)\n"
    "  --help               show this help and exit\n"
    "  --version            show the version and exit\n"
    "\n"
    "Exit status: 0 on success, 2 on a bad argument or an unreadable input, 3 when the\n"
    "output cannot be written.\n";

// The serial component's input buffer as the receive handler sees it.
class QueueSource final : public k419::FrameSource {
  public:
    void Push(std::uint8_t byte) { bytes_.push_back(byte); }

    std::uint16_t InputCount() override {
        return bytes_.size() > 0xFFFF ? 0xFFFF : static_cast<std::uint16_t>(bytes_.size());
    }
    void ReadBlock(std::uint8_t* buffer, std::uint16_t count) override {
        for (std::uint16_t i = 0; i < count; ++i) {
            buffer[i] = bytes_.front();
            bytes_.pop_front();
        }
    }
    void DiscardInput() override { bytes_.clear(); }

  private:
    std::deque<std::uint8_t> bytes_;
};

// Time does not pass in a replay, so the watchdog never fires.
class NoWatchdog final : public k419::Watchdog {
  public:
    void Disable() override {}
    void Enable() override {}
};

bool IsValidUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto lead = static_cast<unsigned char>(s[i]);
        std::size_t length;
        std::uint32_t cp;
        if (lead < 0x80) {
            length = 1;
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            cp = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            cp = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            cp = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > s.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(s[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (next & 0x3F);
        }
        static constexpr std::uint32_t Smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < Smallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

void AppendJsonString(std::string& out, std::string_view s) {
    out += '"';
    for (const char ch : s) {
        const auto byte = static_cast<unsigned char>(ch);
        switch (ch) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", byte);
                    out += escape;
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
}

std::string TextsJsonLine(const k419::PanelTexts& t) {
    const std::pair<const char*, const std::string*> fields[] = {
        {"LA", &t.LA},         {"LD", &t.LD},         {"Base", &t.Base},     {"Dop", &t.Dop},
        {"A", &t.A},           {"B", &t.B},           {"C", &t.C},           {"D", &t.D},
        {"E", &t.E},           {"F", &t.F},           {"Label1", &t.Label1}, {"Label2", &t.Label2},
        {"Label3", &t.Label3}, {"Label4", &t.Label4}, {"Label5", &t.Label5}, {"Label7", &t.Label7},
    };
    std::string line = "{";
    bool first = true;
    for (const auto& [key, value] : fields) {
        if (!first) {
            line += ", ";
        }
        first = false;
        AppendJsonString(line, key);
        line += ": ";
        AppendJsonString(line, *value);
    }
    line += "}\n";
    return line;
}

// The separator the user's locale writes, the one the window would show.
std::string LocaleDecimalPoint() {
    if (std::setlocale(LC_ALL, "") != nullptr) {
        const std::lconv* conventions = std::localeconv();
        if (conventions != nullptr && conventions->decimal_point != nullptr &&
            conventions->decimal_point[0] != '\0' && IsValidUtf8(conventions->decimal_point)) {
            return conventions->decimal_point;
        }
    }
    return ".";
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "k419-decode: %s\n", message.c_str());
    return ExitUsage;
}

enum class Format { Texts, Csv, Records };

std::optional<Format> ParseFormat(std::string_view name) {
    if (name == "json") return Format::Texts;
    if (name == "csv") return Format::Csv;
    if (name == "jsonl") return Format::Records;
    return std::nullopt;
}

// What the decoder prints after `model` has shown a frame.
std::string Line(Format format, const k419::FrontPanelModel& model) {
    if (format == Format::Texts) return TextsJsonLine(model.Texts());
    // A replay has no clock: the record's time is left out by giving no start.
    const k419::Reading reading = k419::MakeReading(model, {});
    return format == Format::Csv ? k419::CsvRow(reading, std::nullopt)
                                 : k419::JsonLine(reading, std::nullopt);
}

bool WriteOut(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
        std::fflush(stdout) != 0) {
        std::fprintf(stderr, "k419-decode: cannot write the output: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view separatorOption = "--decimal-point=";
    const std::string_view formatOption = "--format";
    Format format = Format::Texts;
    bool separatorGiven = false;
    std::string separator;
    const char* path = nullptr;
    bool optionsEnded = false;

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!optionsEnded && arg == "--help") {
            std::fputs(Usage, stdout);
            return 0;
        }
        if (!optionsEnded && arg == "--version") {
            std::printf("k419-decode %s\n", K419_VERSION);
            return 0;
        }
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && (arg == formatOption || arg.starts_with("--format="))) {
            std::string_view name;
            if (arg == formatOption) {
                if (i + 1 >= argc) return Fail("--format needs json, csv or jsonl");
                name = argv[++i];
            } else {
                name = arg.substr(formatOption.size() + 1);
            }
            const auto parsed = ParseFormat(name);
            if (!parsed) {
                return Fail("unknown format '" + std::string(name) + "' (json, csv or jsonl)");
            }
            format = *parsed;
        } else if (!optionsEnded && arg.starts_with(separatorOption)) {
            separator = arg.substr(separatorOption.size());
            separatorGiven = true;
            if (separator.empty()) {
                return Fail("--decimal-point needs a separator, e.g. --decimal-point=,");
            }
            if (!IsValidUtf8(separator)) {
                return Fail("the decimal separator must be UTF-8 text");
            }
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            return Fail("unknown option '" + std::string(arg) + "' (see --help)");
        } else if (path != nullptr) {
            return Fail("only one input file may be given (see --help)");
        } else {
            path = argv[i];
        }
    }
    if (!separatorGiven) {
        separator = LocaleDecimalPoint();
    }

#ifdef _WIN32
    // Bytes as they are, both ways: no CR LF translation, no end at 0x1A.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    constexpr int openFlags = O_RDONLY | O_BINARY;
#else
    constexpr int openFlags = O_RDONLY | O_CLOEXEC;
#endif
    int fd = STDIN_FILENO;
    std::string inputName = "standard input";
    if (path != nullptr && std::string_view(path) != "-") {
        inputName = std::string("'") + path + "'";
        fd = ::open(path, openFlags);
        if (fd < 0) {
            return Fail("cannot open " + inputName + ": " + std::strerror(errno));
        }
    }

    k419::FrontPanelModel model(separator);
    model.FormCreated();
    QueueSource source;
    NoWatchdog watchdog;

    if (format == Format::Csv && !WriteOut(k419::CsvHeader())) {
        return ExitOutputFailed;
    }

    // read() returns whatever has arrived, so a live pipe is decoded as it flows; every
    // line is flushed for the same reason.
    unsigned char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Fail("cannot read " + inputName + ": " + std::strerror(errno));
        }
        if (n == 0) {
            break;
        }
        for (ssize_t i = 0; i < n; ++i) {
            source.Push(buffer[i]);
            if (model.ReceiveTrigger(source, watchdog) && !WriteOut(Line(format, model))) {
                return ExitOutputFailed;
            }
        }
    }
    if (fd != STDIN_FILENO) {
        ::close(fd);
    }
    return 0;
}
