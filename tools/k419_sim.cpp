// k419-sim: a simulated K4-19 meter on a pseudo-terminal, an existing tty or standard
// output. It streams frames at a meter's pace, reacts to the key codes it receives and
// can inject the faults a real line shows. The meter itself is sim/SimulatedMeter.

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/SimulatedMeter.h"

#ifndef K419_VERSION
#define K419_VERSION "unknown"
#endif

namespace {

using namespace k419::sim;
using Clock = std::chrono::steady_clock;

constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

// Without a listener on the pseudo-terminal the master reports a hang-up on every poll,
// so the simulator looks for a new listener at this interval instead of waiting on it.
constexpr auto ListenerCheck = std::chrono::milliseconds(10);
// After the last frame a pseudo-terminal stays open until the listener closes it, so
// that it can read every byte; closing the master would drop what it has not read yet.
constexpr auto LingerLimit = std::chrono::seconds(10);
// Frames built at once when running as fast as possible. Writes of at most PIPE_BUF
// bytes never block once poll reports a pipe writable.
constexpr int FastBatch = 64;
constexpr std::size_t WriteChunk = 4096;

const char* const Usage =
    "Usage: k419-sim [OPTION]...\n"
    "Simulates a K4-19 LCR meter: streams its 12-byte frames and reacts to its key codes.\n"
    "\n"
    "Line (default: a new pseudo-terminal, set to 9600 8N1 raw; its path is printed as the\n"
    "first line on standard output):\n"
    "  --tty PATH            use an existing tty (e.g. one end of a null-modem cable),\n"
    "                        set to 9600 8N1 raw\n"
    "  --stdout              write the byte stream to standard output (keys are not read)\n"
    "  --frames N            stop after N frames (default: run until stopped)\n"
    "  --rate HZ             frames per second (default 4; 0: as fast as the reader takes\n"
    "                        them)\n"
    "\n"
    "The part on the terminals:\n"
    "  --component KIND      resistor, capacitor (default) or inductor\n"
    "  --value V             ohm, farad or henry, with an optional SI prefix and unit:\n"
    "                        1e3, 1k, 4.7kOhm, 100n, 100nF, 10m, 10mH (prefixes p n u m k M\n"
    "                        G); default 1k, 100n or 10m\n"
    "  --loss X              at 1 kHz: the dissipation factor D of a capacitor (dielectric\n"
    "                        loss, the same at 100 Hz; default 0.001) or of an inductor\n"
    "                        (winding resistance in series, D ten times larger at 100 Hz;\n"
    "                        default 0.02), the phase tangent of a resistor's parasitic\n"
    "                        series inductance (default 0)\n"
    "  --noise X             relative measurement noise (default 0.0001, ten times as much\n"
    "                        at the 0.1 V level; 0 for exact readings)\n"
    "  --seed N              seed of the noise and the garbage bytes (default 1)\n"
    "\n"
    "Initial settings of the meter (the keys change them later):\n"
    "  --frequency F         100 or 1k (default 1k)\n"
    "  --main Q              L, C, R or G (default: the part's kind)\n"
    "  --aux Q               D or Q (default D for a capacitor, Q otherwise)\n"
    "  --circuit P|S         parallel or series equivalent circuit (default P, S for an\n"
    "                        inductor). Ranges 1-4 measure the admittance and show the\n"
    "                        parallel equivalent, ranges 5-8 the impedance and the series\n"
    "                        one; auto-ranging keeps to the circuit's ranges while they show\n"
    "                        four significant digits\n"
    "  --range N             start in manual ranging in range N (1-8)\n"
    "  --level V             test level 1 or 0.1 (default 1)\n"
    "  --bias                bias on\n"
    "  --averaging           averaging on\n"
    "\n"
    "Faults (frames are numbered from 1):\n"
    "  --bad-header-every N  header 0x55 instead of 0xAA in every N-th frame\n"
    "  --bad-range-every N   an invalid range byte in every N-th frame\n"
    "  --bad-range-value B   that range byte: 0 or 9-255 (default 0)\n"
    "  --garbage-every N     random bytes after every N-th frame\n"
    "  --garbage-bytes M     how many (default 5)\n"
    "  --silence-after N     fall silent after frame N ...\n"
    "  --silence-ms T        ... for T milliseconds (default 3000), then go on\n"
    "\n"
    "  --help                show this help and exit\n"
    "  --version             show the version and exit\n"
    "\n"
    "Auto-ranging picks the range whose main reading fits with the most digits.\n"
    "Keys: every byte received is logged on standard error. Codes 0 L, 1 C, 2 R/G, 4 D/Q,\n"
    "5 P/S, 6 frequency, 8 level, 9 bias, 10 averaging, 12 auto-ranging, 13 range up and\n"
    "14 range down (both switch to manual ranging); other bytes are ignored.\n"
    "\n"
    "The simulator stops after --frames, on SIGINT or SIGTERM, and when the pipe on its\n"
    "standard output is closed. On a pseudo-terminal, frames are sent only while a program\n"
    "has the terminal open, and after the last frame it stays open until that program\n"
    "closes it (at most 10 s).\n"
    "Exit status: 0 when stopped so, 1 on a line failure, 2 on a bad argument.\n";

volatile sig_atomic_t stopRequested = 0;

void RequestStop(int) { stopRequested = 1; }

class UsageError {
  public:
    explicit UsageError(std::string message) : message_(std::move(message)) {}
    const std::string& Message() const { return message_; }

  private:
    std::string message_;
};

enum class Line { Pty, Tty, Stdout };

struct Options {
    Line line = Line::Pty;
    std::string ttyPath;
    std::uint64_t frames = std::numeric_limits<std::uint64_t>::max();
    double rate = 4.0;
    Component component = Component::Capacitor;
    std::optional<double> value;
    std::optional<double> loss;
    double noise = 1e-4;
    std::uint64_t seed = 1;
    std::optional<bool> frequencyIs1kHz;
    std::optional<Quantity> main;
    std::optional<bool> auxIsD;
    std::optional<bool> series;
    std::optional<int> range;
    bool lowLevel = false;
    bool bias = false;
    bool averaging = false;
    FaultPlan faults;
};

std::uint64_t ParseCount(const char* option, const char* text, std::uint64_t max) {
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno == ERANGE || v > max) {
        throw UsageError(std::string(option) + " needs a whole number from 0 to " +
                         std::to_string(max) + ", not \"" + text + "\"");
    }
    return v;
}

double ParseReal(const char* option, const char* text) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v)) {
        throw UsageError(std::string(option) + " needs a number, not \"" + text + "\"");
    }
    return v;
}

// A value with an optional SI prefix and an optional unit: "4.7k", "100nF", "10mH", "1e3".
double ParseQuantity(const char* option, const char* text) {
    char* end = nullptr;
    double v = std::strtod(text, &end);
    std::string_view rest(end);
    struct Prefix {
        std::string_view text;
        double factor;
    };
    static constexpr Prefix Prefixes[] = {
        {"p", 1e-12}, {"n", 1e-9}, {"u", 1e-6}, {"\xC2\xB5", 1e-6}, {"\xCE\xBC", 1e-6},
        {"m", 1e-3},  {"k", 1e3},  {"K", 1e3},  {"M", 1e6},         {"G", 1e9},
    };
    static constexpr std::string_view Units[] = {"", "F", "H", "Ohm", "ohm", "\xCE\xA9"};
    bool valid = end != text && std::isfinite(v);
    if (valid) {
        for (const Prefix& p : Prefixes) {
            // No unit starts with a prefix letter, so a leading letter is a prefix.
            if (rest.substr(0, p.text.size()) == p.text) {
                v *= p.factor;
                rest.remove_prefix(p.text.size());
                break;
            }
        }
        valid = std::find(std::begin(Units), std::end(Units), rest) != std::end(Units);
    }
    if (!valid || !(v > 0.0) || !std::isfinite(v)) {
        throw UsageError(std::string(option) + " needs a positive value such as 1k, 100n or " +
                         "10m, not \"" + text + "\"");
    }
    return v;
}

Options ParseOptions(int argc, char** argv, bool& exitNow) {
    enum : int {
        OptTty = 1000,
        OptStdout,
        OptFrames,
        OptRate,
        OptComponent,
        OptValue,
        OptLoss,
        OptNoise,
        OptSeed,
        OptFrequency,
        OptMain,
        OptAux,
        OptCircuit,
        OptRange,
        OptLevel,
        OptBias,
        OptAveraging,
        OptBadHeaderEvery,
        OptBadRangeEvery,
        OptBadRangeValue,
        OptGarbageEvery,
        OptGarbageBytes,
        OptSilenceAfter,
        OptSilenceMs,
        OptHelp,
        OptVersion,
    };
    static const option Long[] = {
        {"tty", required_argument, nullptr, OptTty},
        {"stdout", no_argument, nullptr, OptStdout},
        {"frames", required_argument, nullptr, OptFrames},
        {"rate", required_argument, nullptr, OptRate},
        {"component", required_argument, nullptr, OptComponent},
        {"value", required_argument, nullptr, OptValue},
        {"loss", required_argument, nullptr, OptLoss},
        {"noise", required_argument, nullptr, OptNoise},
        {"seed", required_argument, nullptr, OptSeed},
        {"frequency", required_argument, nullptr, OptFrequency},
        {"main", required_argument, nullptr, OptMain},
        {"aux", required_argument, nullptr, OptAux},
        {"circuit", required_argument, nullptr, OptCircuit},
        {"range", required_argument, nullptr, OptRange},
        {"level", required_argument, nullptr, OptLevel},
        {"bias", no_argument, nullptr, OptBias},
        {"averaging", no_argument, nullptr, OptAveraging},
        {"bad-header-every", required_argument, nullptr, OptBadHeaderEvery},
        {"bad-range-every", required_argument, nullptr, OptBadRangeEvery},
        {"bad-range-value", required_argument, nullptr, OptBadRangeValue},
        {"garbage-every", required_argument, nullptr, OptGarbageEvery},
        {"garbage-bytes", required_argument, nullptr, OptGarbageBytes},
        {"silence-after", required_argument, nullptr, OptSilenceAfter},
        {"silence-ms", required_argument, nullptr, OptSilenceMs},
        {"help", no_argument, nullptr, OptHelp},
        {"version", no_argument, nullptr, OptVersion},
        {nullptr, 0, nullptr, 0},
    };
    constexpr std::uint64_t MaxPeriod = std::numeric_limits<unsigned>::max();

    Options o;
    bool stdoutChosen = false;
    opterr = 0;
    optind = 1;
    exitNow = false;
    for (;;) {
        int index = 0;
        const int c = getopt_long(argc, argv, ":", Long, &index);
        if (c == -1) {
            break;
        }
        const std::string_view arg = optarg != nullptr ? optarg : "";
        const char* name = c >= OptTty && c <= OptVersion ? Long[c - OptTty].name : "";
        const std::string opt = std::string("--") + name;
        switch (c) {
            case OptTty:
                o.line = Line::Tty;
                o.ttyPath = optarg;
                break;
            case OptStdout:
                stdoutChosen = true;
                break;
            case OptFrames:
                o.frames =
                    ParseCount(opt.c_str(), optarg, std::numeric_limits<std::uint64_t>::max());
                break;
            case OptRate:
                o.rate = ParseReal(opt.c_str(), optarg);
                if (o.rate < 0.0) {
                    throw UsageError("--rate cannot be negative");
                }
                break;
            case OptComponent:
                if (arg == "resistor" || arg == "R" || arg == "r") {
                    o.component = Component::Resistor;
                } else if (arg == "capacitor" || arg == "C" || arg == "c") {
                    o.component = Component::Capacitor;
                } else if (arg == "inductor" || arg == "L" || arg == "l") {
                    o.component = Component::Inductor;
                } else {
                    throw UsageError("--component is resistor, capacitor or inductor");
                }
                break;
            case OptValue:
                o.value = ParseQuantity(opt.c_str(), optarg);
                break;
            case OptLoss:
                o.loss = ParseReal(opt.c_str(), optarg);
                if (*o.loss < 0.0) {
                    throw UsageError("--loss cannot be negative");
                }
                break;
            case OptNoise:
                o.noise = ParseReal(opt.c_str(), optarg);
                if (o.noise < 0.0 || o.noise > 0.1) {
                    throw UsageError("--noise is a relative amount from 0 to 0.1");
                }
                break;
            case OptSeed:
                o.seed = ParseCount(opt.c_str(), optarg, std::numeric_limits<std::uint64_t>::max());
                break;
            case OptFrequency:
                if (arg == "1k" || arg == "1kHz" || arg == "1000") {
                    o.frequencyIs1kHz = true;
                } else if (arg == "100" || arg == "100Hz") {
                    o.frequencyIs1kHz = false;
                } else {
                    throw UsageError("--frequency is 100 or 1k");
                }
                break;
            case OptMain:
                if (arg == "L") {
                    o.main = Quantity::L;
                } else if (arg == "C") {
                    o.main = Quantity::C;
                } else if (arg == "R") {
                    o.main = Quantity::R;
                } else if (arg == "G") {
                    o.main = Quantity::G;
                } else {
                    throw UsageError("--main is L, C, R or G");
                }
                break;
            case OptAux:
                if (arg != "D" && arg != "Q") {
                    throw UsageError("--aux is D or Q");
                }
                o.auxIsD = arg == "D";
                break;
            case OptCircuit:
                if (arg != "P" && arg != "S") {
                    throw UsageError("--circuit is P or S");
                }
                o.series = arg == "S";
                break;
            case OptRange:
                o.range = static_cast<int>(ParseCount(opt.c_str(), optarg, 8));
                if (*o.range < 1) {
                    throw UsageError("--range is 1 to 8");
                }
                break;
            case OptLevel:
                if (arg != "1" && arg != "0.1") {
                    throw UsageError("--level is 1 or 0.1");
                }
                o.lowLevel = arg == "0.1";
                break;
            case OptBias:
                o.bias = true;
                break;
            case OptAveraging:
                o.averaging = true;
                break;
            case OptBadHeaderEvery:
                o.faults.badHeaderEvery =
                    static_cast<unsigned>(ParseCount(opt.c_str(), optarg, MaxPeriod));
                break;
            case OptBadRangeEvery:
                o.faults.badRangeEvery =
                    static_cast<unsigned>(ParseCount(opt.c_str(), optarg, MaxPeriod));
                break;
            case OptBadRangeValue: {
                const auto v = ParseCount(opt.c_str(), optarg, 255);
                if (v >= 1 && v <= 8) {
                    throw UsageError("--bad-range-value is 0 or 9 to 255: 1 to 8 are valid");
                }
                o.faults.badRangeValue = static_cast<std::uint8_t>(v);
                break;
            }
            case OptGarbageEvery:
                o.faults.garbageEvery =
                    static_cast<unsigned>(ParseCount(opt.c_str(), optarg, MaxPeriod));
                break;
            case OptGarbageBytes:
                o.faults.garbageBytes =
                    static_cast<unsigned>(ParseCount(opt.c_str(), optarg, 65536));
                break;
            case OptSilenceAfter:
                o.faults.silenceAfter =
                    static_cast<unsigned>(ParseCount(opt.c_str(), optarg, MaxPeriod));
                break;
            case OptSilenceMs:
                o.faults.silenceMs =
                    static_cast<unsigned>(ParseCount(opt.c_str(), optarg, 86400000));
                break;
            case OptHelp:
                std::fputs(Usage, stdout);
                exitNow = true;
                return o;
            case OptVersion:
                std::printf("k419-sim %s\n", K419_VERSION);
                exitNow = true;
                return o;
            case ':':
                throw UsageError(std::string(argv[optind - 1]) + " needs a value");
            default:
                throw UsageError(std::string("unknown option ") + argv[optind - 1]);
        }
    }
    if (optind < argc) {
        throw UsageError(std::string("unexpected argument ") + argv[optind]);
    }
    if (stdoutChosen) {
        if (o.line == Line::Tty) {
            throw UsageError("--tty and --stdout exclude each other");
        }
        o.line = Line::Stdout;
    }
    return o;
}

// "capacitor 100 nF, D 0.001" for the start-up line.
std::string DescribePart(const Part& part) {
    const char* kind = "capacitor";
    const char* unit = "F";
    const char* loss = "D";
    if (part.component == Component::Resistor) {
        kind = "resistor";
        unit = "Ohm";
        loss = "Q";
    } else if (part.component == Component::Inductor) {
        kind = "inductor";
        unit = "H";
    }
    static constexpr std::pair<double, const char*> Prefixes[] = {
        {1e9, "G"},  {1e6, "M"},  {1e3, "k"},  {1.0, ""},
        {1e-3, "m"}, {1e-6, "u"}, {1e-9, "n"}, {1e-12, "p"},
    };
    auto prefix = std::end(Prefixes) - 1;
    for (auto p = std::begin(Prefixes); p != std::end(Prefixes); ++p) {
        if (part.value >= p->first) {
            prefix = p;
            break;
        }
    }
    char text[128];
    std::snprintf(text, sizeof text, "%s %.6g %s%s, %s %g", kind, part.value / prefix->first,
                  prefix->second, unit, loss, part.loss);
    return text;
}

// Puts a tty into the meter's line settings: 9600 baud, 8 data bits, no parity, one stop
// bit, raw bytes both ways, no flow control, modem lines ignored.
bool SetMeterLine(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

void Fail(const std::string& what) {
    std::fprintf(stderr, "k419-sim: %s: %s\n", what.c_str(), std::strerror(errno));
}

// Drops the frames a listener that has gone left unread, so the next one starts on a
// frame boundary. Key bytes on their way to the simulator stay: a user sent them.
void DropStaleInput(const std::string& terminal) {
    const int fd = open(terminal.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        tcflush(fd, TCIFLUSH);
        close(fd);
    }
}

bool ListenerPresent(int master) {
    pollfd p{master, POLLIN, 0};
    return poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
}

int Milliseconds(Clock::duration d) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, 60000));
}

class Simulator {
  public:
    Simulator(const Options& o, SimulatedMeter& meter)
        : options_(o), meter_(meter), stream_(meter, o.faults, o.seed ^ 0x9E3779B97F4A7C15ULL) {}

    int Run() {
        if (!OpenLine()) {
            return ExitFailure;
        }
        const Settings& s = meter_.CurrentSettings();
        std::fprintf(stderr, "k419-sim: %s; %s, %s, %s, range %d; %g frames/s%s%s\n",
                     DescribePart(meter_.CurrentPart()).c_str(),
                     s.frequencyIs1kHz ? "1 kHz" : "100 Hz", s.series ? "series" : "parallel",
                     s.autoRange ? "auto-ranging" : "manual ranging", s.range, options_.rate,
                     options_.line == Line::Pty ? " on " : "", terminal_.c_str());
        const int status = Loop();
        CloseLine();
        return status;
    }

  private:
    bool OpenLine() {
        struct stat st {};
        if (options_.line != Line::Stdout && fstat(STDOUT_FILENO, &st) == 0 &&
            (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
            watchStdout_ = true;
        }
        switch (options_.line) {
            case Line::Stdout:
                out_ = STDOUT_FILENO;
                return true;
            case Line::Tty:
                in_ = out_ = open(options_.ttyPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
                if (in_ < 0) {
                    Fail("cannot open " + options_.ttyPath);
                    return false;
                }
                if (!SetMeterLine(in_)) {
                    Fail(options_.ttyPath + " is not a usable tty");
                    return false;
                }
                tcflush(in_, TCIOFLUSH);
                return true;
            case Line::Pty:
                break;
        }
        in_ = out_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (in_ < 0 || grantpt(in_) != 0 || unlockpt(in_) != 0) {
            Fail("cannot create a pseudo-terminal");
            return false;
        }
        const char* name = ptsname(in_);
        if (name == nullptr) {
            Fail("cannot name the pseudo-terminal");
            return false;
        }
        terminal_ = name;
        // Opening the terminal end once sets its line, which stays with it while the
        // master is open, and arms the hang-up report that tells when nobody listens.
        const int slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (slave < 0 || !SetMeterLine(slave)) {
            Fail("cannot set up " + terminal_);
            if (slave >= 0) {
                close(slave);
            }
            return false;
        }
        close(slave);
        std::printf("%s\n", name);
        std::fflush(stdout);
        return true;
    }

    void CloseLine() {
        if (options_.line == Line::Tty && in_ >= 0) {
            tcdrain(in_);
        }
        if (in_ >= 0) {
            close(in_);
        }
        in_ = out_ = -1;
    }

    bool FramesLeft() const { return stream_.FramesSent() < options_.frames; }
    bool Pending() const { return sent_ < pending_.size(); }

    void Produce(Clock::time_point now) {
        pending_.clear();
        sent_ = 0;
        for (int i = options_.rate > 0.0 ? 1 : FastBatch; i > 0 && FramesLeft(); --i) {
            const std::uint64_t n = stream_.AppendNext(pending_);
            if (stream_.SilenceFollows(n)) {
                silenceArmed_ = true;  // it starts once the frame is on the line
                break;
            }
        }
        if (options_.rate > 0.0) {
            const auto period = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(1.0 / options_.rate));
            due_ += period;
            if (due_ < now) {  // fell behind (a slow reader): no burst to catch up
                due_ = now + period;
            }
        }
    }

    void ReactToKeys() {
        std::uint8_t bytes[256];
        const ssize_t n = read(in_, bytes, sizeof bytes);
        for (ssize_t i = 0; i < n; ++i) {
            const KeyReaction r = meter_.PressKey(bytes[i]);
            if (r.known) {
                std::fprintf(stderr, "k419-sim: key 0x%02X %s: %s\n", bytes[i], r.name.c_str(),
                             r.effect.c_str());
            } else {
                std::fprintf(stderr, "k419-sim: byte 0x%02X ignored\n", bytes[i]);
            }
        }
    }

    // Returns false when the line is gone for good.
    bool WritePending() {
        const std::size_t count = std::min(pending_.size() - sent_, WriteChunk);
        const ssize_t n = write(out_, pending_.data() + sent_, count);
        if (n >= 0) {
            sent_ += static_cast<std::size_t>(n);
            if (silenceArmed_ && !Pending()) {
                silenceArmed_ = false;
                silentUntil_ = Clock::now() + std::chrono::milliseconds(options_.faults.silenceMs);
            }
            return true;
        }
        return errno == EAGAIN || errno == EINTR;
    }

    int Loop() {
        if (!FramesLeft()) {
            return ExitOk;
        }
        sigset_t unblocked;
        sigemptyset(&unblocked);
        bool listening = options_.line != Line::Pty;
        std::optional<Clock::time_point> lingerUntil;
        due_ = Clock::now();
        while (stopRequested == 0) {
            auto now = Clock::now();
            if (options_.line == Line::Pty) {
                if (!ListenerPresent(in_)) {
                    if (listening) {
                        pending_.clear();
                        sent_ = 0;
                        silenceArmed_ = false;
                        DropStaleInput(terminal_);
                        listening = false;
                    }
                    if (!FramesLeft() || !WaitForStdout(ListenerCheck)) {
                        return ExitOk;  // the listener took the last frames, or stdout closed
                    }
                    continue;
                }
                if (!listening) {
                    listening = true;
                    due_ = now;
                }
            }
            const bool quiet = silentUntil_ && now < *silentUntil_;
            if (!Pending() && FramesLeft() && !quiet && now >= due_) {
                Produce(now);
            }
            if (!Pending() && !FramesLeft()) {
                if (options_.line != Line::Pty) {
                    return ExitOk;
                }
                if (!lingerUntil) {
                    lingerUntil = now + LingerLimit;
                }
                if (now >= *lingerUntil) {
                    return ExitOk;
                }
            }

            pollfd fds[2];
            nfds_t count = 0;
            const int lineIndex = static_cast<int>(count);
            fds[count++] = {options_.line == Line::Stdout ? out_ : in_,
                            static_cast<short>((options_.line != Line::Stdout ? POLLIN : 0) |
                                               (Pending() ? POLLOUT : 0)),
                            0};
            int stdoutIndex = -1;
            if (watchStdout_) {
                stdoutIndex = static_cast<int>(count);
                fds[count++] = {STDOUT_FILENO, 0, 0};
            }
            int timeout = -1;
            if (lingerUntil) {
                timeout = Milliseconds(*lingerUntil - now);
            } else if (!Pending() && FramesLeft()) {
                auto next = due_;
                if (silentUntil_ && *silentUntil_ > next) {
                    next = *silentUntil_;
                }
                timeout = Milliseconds(next - now);
            }
            timespec ts{timeout / 1000, (timeout % 1000) * 1000000L};
            const int ready = ppoll(fds, count, timeout < 0 ? nullptr : &ts, &unblocked);
            if (ready < 0) {
                if (errno == EINTR) {
                    continue;
                }
                Fail("poll");
                return ExitFailure;
            }
            if (stdoutIndex >= 0 && (fds[stdoutIndex].revents & (POLLERR | POLLHUP)) != 0) {
                return ExitOk;
            }
            const short events = fds[lineIndex].revents;
            if (options_.line == Line::Pty && (events & POLLHUP) != 0) {
                continue;  // the listener went; the top of the loop deals with it
            }
            if (options_.line == Line::Stdout && (events & (POLLERR | POLLHUP)) != 0) {
                return ExitOk;  // the reader of the pipe has gone
            }
            if (options_.line == Line::Tty && (events & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                errno = EIO;
                Fail(options_.ttyPath + " hung up");
                return ExitFailure;
            }
            if ((events & POLLIN) != 0) {
                ReactToKeys();
            }
            if ((events & POLLOUT) != 0 && !WritePending()) {
                if (errno == EPIPE) {
                    return ExitOk;
                }
                if (options_.line == Line::Pty && errno == EIO) {
                    continue;
                }
                Fail("write");
                return ExitFailure;
            }
        }
        return ExitOk;
    }

    // Waits `interval` with only standard output watched; false when its reader has gone.
    bool WaitForStdout(Clock::duration interval) {
        sigset_t unblocked;
        sigemptyset(&unblocked);
        pollfd p{STDOUT_FILENO, 0, 0};
        const int ms = Milliseconds(interval);
        timespec ts{ms / 1000, (ms % 1000) * 1000000L};
        const int ready = ppoll(&p, watchStdout_ ? 1 : 0, &ts, &unblocked);
        return !(ready > 0 && (p.revents & (POLLERR | POLLHUP)) != 0);
    }

    const Options& options_;
    SimulatedMeter& meter_;
    FrameStream stream_;
    int in_ = -1;
    int out_ = -1;
    std::string terminal_;
    bool watchStdout_ = false;
    std::vector<std::uint8_t> pending_;
    std::size_t sent_ = 0;
    Clock::time_point due_{};
    std::optional<Clock::time_point> silentUntil_;
    bool silenceArmed_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        bool exitNow = false;
        options = ParseOptions(argc, argv, exitNow);
        if (exitNow) {
            return std::fflush(stdout) == 0 ? ExitOk : ExitFailure;
        }
    } catch (const UsageError& e) {
        std::fprintf(stderr, "k419-sim: %s\nTry 'k419-sim --help' for more information.\n",
                     e.Message().c_str());
        return ExitUsage;
    }

    Part part = DefaultPart(options.component);
    part.value = options.value.value_or(part.value);
    part.loss = options.loss.value_or(part.loss);
    Settings settings = DefaultSettings(options.component);
    settings.frequencyIs1kHz = options.frequencyIs1kHz.value_or(settings.frequencyIs1kHz);
    settings.main = options.main.value_or(settings.main);
    settings.auxIsD = options.auxIsD.value_or(settings.auxIsD);
    settings.series = options.series.value_or(settings.series);
    settings.levelIsLow = options.lowLevel;
    settings.bias = options.bias;
    settings.averaging = options.averaging;
    if (options.range) {
        settings.autoRange = false;
        settings.range = static_cast<std::uint8_t>(*options.range);
    }

    // Termination signals are taken only inside ppoll, so they never interrupt a write
    // half-way and the loop always sees the request.
    struct sigaction stop {};
    stop.sa_handler = RequestStop;
    sigemptyset(&stop.sa_mask);
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, &stop, nullptr);
        sigaddset(&blocked, sig);
    }
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    signal(SIGPIPE, SIG_IGN);

    SimulatedMeter meter(part, settings, options.noise, options.seed);
    Simulator simulator(options, meter);
    return simulator.Run();
}
