// The k419-sim program from outside: through a pipe into k419-decode, over a pseudo-terminal
// it creates, over an existing tty, and its options.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

const std::string Sim = K419_BINARY_DIR "/tools/k419-sim";
const std::string Decode = K419_BINARY_DIR "/tools/k419-decode";
constexpr auto Patience = std::chrono::seconds(10);

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until `fd` is readable (or hung up) or the deadline passes.
bool Readable(int fd, Clock::time_point deadline) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, RemainingMs(deadline)) > 0;
}

// Reads exactly `count` bytes, or fewer when the deadline passes or the stream ends.
Bytes ReadBytes(int fd, std::size_t count, Clock::time_point deadline) {
    Bytes out;
    std::uint8_t buffer[512];
    while (out.size() < count && Readable(fd, deadline)) {
        const ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - out.size()));
        if (n <= 0) {
            break;
        }
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

// A k419-sim process with pipes on its standard output and error; killed if still
// running when the test is over.
class SimProcess {
  public:
    explicit SimProcess(const std::vector<std::string>& args) {
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            const int null = open("/dev/null", O_RDONLY);
            dup2(null, STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            for (const int fd : {null, out[0], out[1], err[0], err[1]}) {
                close(fd);
            }
            std::vector<char*> argv{const_cast<char*>(Sim.c_str())};
            for (const std::string& a : args) {
                argv.push_back(const_cast<char*>(a.c_str()));
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }

    ~SimProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        CloseOut();
        if (err_ >= 0) {
            close(err_);
        }
    }

    int Out() const { return out_; }
    void CloseOut() {
        if (out_ >= 0) {
            close(out_);
            out_ = -1;
        }
    }
    void Signal(int sig) { kill(pid_, sig); }

    // One line of standard output, without its newline.
    std::optional<std::string> OutLine() {
        std::string line;
        const auto deadline = Clock::now() + Patience;
        for (;;) {
            const Bytes b = ReadBytes(out_, 1, deadline);
            if (b.empty()) {
                return std::nullopt;
            }
            if (b[0] == '\n') {
                return line;
            }
            line += static_cast<char>(b[0]);
        }
    }

    // Reads standard error until `text` has appeared in it.
    bool ErrContains(const std::string& text) {
        const auto deadline = Clock::now() + Patience;
        while (errText_.find(text) == std::string::npos) {
            const Bytes b = ReadBytes(err_, 1, deadline);
            if (b.empty()) {
                return false;
            }
            errText_ += static_cast<char>(b[0]);
        }
        return true;
    }

    // The exit status once the process has ended by itself (its standard error closes),
    // or nothing when it is still running after the test's patience.
    std::optional<int> ExitStatus() {
        const auto deadline = Clock::now() + Patience;
        char buffer[512];
        while (Readable(err_, deadline)) {
            const ssize_t n = read(err_, buffer, sizeof buffer);
            if (n <= 0) {
                int status = 0;
                waitpid(pid_, &status, 0);
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            errText_.append(buffer, static_cast<std::size_t>(n));
        }
        return std::nullopt;
    }

    const std::string& ErrText() const { return errText_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string errText_;
};

// Everything a shell command writes on its standard output.
std::string Capture(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << command;
        return out;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        out.append(buffer, n);
    }
    pclose(pipe);
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

// The text of `key` in one JSON line of k419-decode.
std::string JsonField(const std::string& line, const std::string& key) {
    const std::string marker = "\"" + key + "\": \"";
    const std::size_t at = line.find(marker);
    if (at == std::string::npos) {
        return "<missing " + key + ">";
    }
    const std::size_t start = at + marker.size();
    return line.substr(start, line.find('"', start) - start);
}

// A readout field's value in SI units and its last digit's weight, or nothing when the
// text does not parse.
struct FieldReading {
    double value;
    double resolution;
    std::string unit;
};

std::optional<FieldReading> ParseField(const std::string& text) {
    static const std::map<std::string, double> Units = {
        {"M"
         "Ом",
         1e6},
        {"кОм", 1e3},
        {"Ом", 1.0},
        {"O"
         "м",
         1.0},
        {"пФ", 1e-12},
        {"нФ", 1e-9},
        {"мкФ", 1e-6},
        {"мФ", 1e-3},
        {"Гн", 1.0},
        {"мГн", 1e-3},
        {"мкГн", 1e-6},
    };
    const std::size_t gap = text.rfind("  ");
    if (gap == std::string::npos) {
        return std::nullopt;
    }
    const std::string number = text.substr(0, gap);
    const std::string unit = text.substr(gap + 2);
    const auto scale = Units.find(unit);
    if (scale == Units.end()) {
        return std::nullopt;
    }
    const std::size_t point = number.find('.');
    const int decimals =
        point == std::string::npos ? 0 : static_cast<int>(number.size() - point - 1);
    return FieldReading{std::stod(number) * scale->second,
                        std::pow(10.0, -decimals) * scale->second, unit};
}

std::string Join(const std::vector<std::string>& args) {
    std::string s;
    for (const std::string& a : args) {
        s += " " + a;
    }
    return s;
}

struct PipeCase {
    const char* name;
    std::vector<std::string> args;
    const char* field;  // decoder key of the field that carries the part
    double expected;    // SI
    const char* unit;
    const char* range;
    bool isMain;  // the field is also the main display
};

void PrintTo(const PipeCase& c, std::ostream* os) { *os << c.name; }

class SimThroughDecoder : public ::testing::TestWithParam<PipeCase> {};

// The stream, taken apart by the panel's own decoder, shows the simulated part within the
// noise (0.01 %) and the field's last digit.
TEST_P(SimThroughDecoder, ShowsThePart) {
    const PipeCase& c = GetParam();
    const std::string command = Sim + " --stdout --rate 0 --frames 6" + Join(c.args) + " | " +
                                Decode + " --decimal-point=.";
    const std::vector<std::string> lines = Lines(Capture(command));
    // A frame is shown once the first byte of the next has come: six frames, five lines.
    ASSERT_EQ(lines.size(), 5u) << command;
    for (const std::string& line : lines) {
        const std::string text = JsonField(line, c.field);
        const std::optional<FieldReading> shown = ParseField(text);
        ASSERT_TRUE(shown.has_value()) << c.name << ": \"" << text << "\"";
        EXPECT_EQ(shown->unit, c.unit) << c.name << ": \"" << text << "\"";
        EXPECT_NEAR(shown->value, c.expected, c.expected * 2e-4 + shown->resolution / 2)
            << c.name << ": \"" << text << "\"";
        EXPECT_EQ(JsonField(line, "Label1"), c.range) << c.name;
        if (c.isMain) {
            EXPECT_EQ(JsonField(line, "Base"), text) << c.name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sim, SimThroughDecoder,
    ::testing::Values(
        PipeCase{"100 nF",
                 {"--component", "capacitor", "--value", "100n"},
                 "C",
                 100e-9,
                 "нФ",
                 "3",
                 true},
        PipeCase{"100 nF at 100 Hz",
                 {"--value", "100n", "--frequency", "100"},
                 "C",
                 100e-9,
                 "нФ",
                 "2",
                 true},
        PipeCase{"100 nF series",
                 {"--value", "100nF", "--circuit", "S", "--loss", "0"},
                 "C",
                 100e-9,
                 "нФ",
                 "5",
                 true},
        PipeCase{
            "100 nF, main R", {"--value", "100n", "--main", "R"}, "C", 100e-9, "нФ", "4", false},
        PipeCase{
            "1 kOhm", {"--component", "resistor", "--value", "1k"}, "A", 1e3, "кОм", "4", true},
        PipeCase{"1 kOhm series",
                 {"--component", "resistor", "--value", "1k", "--circuit", "S"},
                 "A",
                 1e3,
                 "O"
                 "м",
                 "7",
                 true},
        PipeCase{"10 mH",
                 {"--component", "inductor", "--value", "10mH"},
                 "D",
                 10e-3,
                 "мГн",
                 "6",
                 true}));

TEST(SimOptions, ValueSpellingsAgree) {
    const std::vector<std::vector<std::string>> groups = {
        {"100n", "100nF", "0.1u", "0.1\xC2\xB5", "1e-7", "100e-9F"},
        {"1k", "1000", "1kOhm", "1e3", "1K"},
        {"4.7M", "4700k", "4.7e6ohm"},
    };
    for (const auto& group : groups) {
        std::string first;
        for (const std::string& spelling : group) {
            const std::string bytes = Capture(Sim + " --stdout --rate 0 --frames 1 --noise 0 " +
                                              "--value '" + spelling + "'");
            ASSERT_EQ(bytes.size(), 12u) << spelling;
            if (first.empty()) {
                first = bytes;
            }
            EXPECT_EQ(bytes, first) << spelling << " differs from " << group.front();
        }
    }
}

TEST(SimOptions, BadArgumentsExitWithTwo) {
    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"},
        {"--frames"},
        {"--frames", "-3"},
        {"--frames", "3x"},
        {"--rate", "-1"},
        {"--rate", "fast"},
        {"--value", "0"},
        {"--value", "abc"},
        {"--value", "10q"},
        {"--value", "inf"},
        {"--component", "diode"},
        {"--range", "9"},
        {"--range", "0"},
        {"--main", "X"},
        {"--frequency", "50"},
        {"--noise", "nan"},
        {"--noise", "0.5"},
        {"--loss", "-1"},
        {"--bad-range-value", "5"},
        {"--tty", "/dev/null", "--stdout"},
        {"stray"},
    };
    for (const auto& args : bad) {
        SimProcess sim(args);
        EXPECT_EQ(sim.ExitStatus(), std::optional<int>(2)) << Join(args);
        EXPECT_NE(sim.ErrText().find("k419-sim: "), std::string::npos) << Join(args);
    }
}

TEST(SimOptions, HelpAndVersion) {
    const std::string help = Capture(Sim + " --help");
    for (const char* option : {"--tty", "--stdout", "--frames", "--rate", "--component", "--value",
                               "--loss", "--noise", "--seed", "--bad-header-every",
                               "--garbage-every", "--bad-range-every", "--silence-after"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
    EXPECT_EQ(Capture(Sim + " --version").rfind("k419-sim ", 0), 0u);
}

struct FaultCase {
    std::vector<std::string> args;
    // One token per frame or run of garbage: "." a sound frame, "h" a frame with header
    // 0x55, "r" one with range byte `badRange`, "+N" N garbage bytes.
    std::string layout;
    std::uint8_t badRange = 0;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << Join(c.args); }

class SimFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SimFaults, AppearInTheStream) {
    const FaultCase& c = GetParam();
    const std::string s =
        Capture(Sim + " --stdout --rate 0 --frames 6 --component resistor" + Join(c.args));
    std::size_t at = 0;
    std::istringstream layout(c.layout);
    for (std::string token; layout >> token;) {
        if (token[0] == '+') {
            at += std::stoul(token.substr(1));
            continue;
        }
        ASSERT_LE(at + 12, s.size()) << c.layout;
        EXPECT_EQ(static_cast<std::uint8_t>(s[at]), token == "h" ? 0x55 : 0xAA) << "at " << at;
        EXPECT_EQ(static_cast<std::uint8_t>(s[at + 9]), token == "r" ? c.badRange : 4)
            << "at " << at;
        at += 12;
    }
    EXPECT_EQ(at, s.size());
}

INSTANTIATE_TEST_SUITE_P(
    Sim, SimFaults,
    ::testing::Values(
        FaultCase{{}, ". . . . . ."}, FaultCase{{"--bad-header-every", "2"}, ". h . h . h"},
        FaultCase{{"--bad-range-every", "3"}, ". . r . . r"},
        FaultCase{{"--bad-range-every", "4", "--bad-range-value", "9"}, ". . . r . .", 9},
        FaultCase{{"--garbage-every", "2", "--garbage-bytes", "3"}, ". . +3 . . +3 . . +3"},
        FaultCase{{"--garbage-every", "5"}, ". . . . . +5 ."}));

// The silence is a fault to inject, not a speed: only a lower bound is checked, with a
// margin for the moment the reader wakes up after the last frame before it.
TEST(SimFaults, SilenceHoldsTheStream) {
    SimProcess sim({"--stdout", "--rate", "0", "--frames", "4", "--silence-after", "2",
                    "--silence-ms", "500"});
    const auto deadline = Clock::now() + Patience;
    ASSERT_EQ(ReadBytes(sim.Out(), 24, deadline).size(), 24u);
    const auto quietFrom = Clock::now();
    ASSERT_EQ(ReadBytes(sim.Out(), 1, deadline).size(), 1u);
    EXPECT_GE(Clock::now() - quietFrom, std::chrono::milliseconds(400));
    EXPECT_EQ(ReadBytes(sim.Out(), 100, deadline).size(), 23u);
    EXPECT_EQ(sim.ExitStatus(), std::optional<int>(0));
}

// Reads frames from `fd` until one satisfies `wanted`; false after `limit` frames.
template <typename Wanted>
bool FrameArrives(int fd, int limit, Wanted wanted) {
    const auto deadline = Clock::now() + Patience;
    for (int i = 0; i < limit; ++i) {
        const Bytes f = ReadBytes(fd, 12, deadline);
        if (f.size() != 12) {
            return false;
        }
        EXPECT_EQ(f[0], 0xAA);
        if (wanted(f)) {
            return true;
        }
    }
    return false;
}

TEST(SimPty, StreamsOnTheTerminalAndTakesKeys) {
    SimProcess sim({"--rate", "100", "--noise", "0"});
    const std::optional<std::string> path = sim.OutLine();
    ASSERT_TRUE(path.has_value());
    ASSERT_EQ(path->rfind("/dev/pts/", 0), 0u) << *path;
    const int fd = open(path->c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0) << *path;

    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);

    // The first bytes a new listener gets start a frame.
    EXPECT_TRUE(FrameArrives(fd, 1, [](const Bytes& f) { return (f[10] & 0x02) != 0; }));

    const std::uint8_t frequency = 0x06;
    ASSERT_EQ(write(fd, &frequency, 1), 1);
    EXPECT_TRUE(FrameArrives(fd, 100, [](const Bytes& f) { return (f[10] & 0x02) == 0; }));
    EXPECT_TRUE(sim.ErrContains("key 0x06 F"));

    const std::uint8_t unknown[] = {0x03, 0x0B, 0xFF};
    ASSERT_EQ(write(fd, unknown, sizeof unknown), 3);
    EXPECT_TRUE(sim.ErrContains("byte 0x03 ignored"));
    EXPECT_TRUE(sim.ErrContains("byte 0x0B ignored"));
    EXPECT_TRUE(sim.ErrContains("byte 0xFF ignored"));
    const std::uint8_t bias = 0x09;
    ASSERT_EQ(write(fd, &bias, 1), 1);
    // Until the bias shows, frames keep the status of before: the ignored bytes changed
    // nothing.
    EXPECT_TRUE(FrameArrives(fd, 100, [](const Bytes& f) {
        EXPECT_EQ(f[10] & ~0x01, 0xC8);
        EXPECT_EQ(f[11], 0x00);
        return (f[10] & 0x01) != 0;
    }));
    close(fd);

    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.ExitStatus(), std::optional<int>(0));
}

TEST(SimPty, EndsWhenTheListenerHasTakenTheLastFrame) {
    SimProcess sim({"--rate", "0", "--frames", "50", "--noise", "0"});
    const std::optional<std::string> path = sim.OutLine();
    ASSERT_TRUE(path.has_value());
    const int fd = open(path->c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    // Every frame reaches a listener that reads slowly, none after the last.
    const Bytes bytes = ReadBytes(fd, 50 * 12, Clock::now() + Patience);
    ASSERT_EQ(bytes.size(), 50u * 12);
    for (std::size_t at = 0; at < bytes.size(); at += 12) {
        EXPECT_EQ(bytes[at], 0xAA) << at;
    }
    close(fd);
    EXPECT_EQ(sim.ExitStatus(), std::optional<int>(0));
}

TEST(SimPty, EndsWhenItsStandardOutputCloses) {
    SimProcess sim({"--rate", "4"});
    ASSERT_TRUE(sim.OutLine().has_value());
    sim.CloseOut();
    EXPECT_EQ(sim.ExitStatus(), std::optional<int>(0));
}

TEST(SimStdout, EndsWhenItsReaderGoes) {
    SimProcess sim({"--stdout", "--rate", "0"});
    EXPECT_EQ(ReadBytes(sim.Out(), 1200, Clock::now() + Patience).size(), 1200u);
    sim.CloseOut();
    EXPECT_EQ(sim.ExitStatus(), std::optional<int>(0));
}

TEST(SimTty, UsesAnExistingTerminal) {
    int master = -1;
    int slave = -1;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    SimProcess sim({"--tty", name, "--rate", "100", "--noise", "0", "--component", "inductor"});
    close(slave);  // the simulator holds its own
    EXPECT_TRUE(FrameArrives(master, 1, [](const Bytes& f) {
        return f[10] == 0x2A && f[11] == 0x01;  // 1 kHz, auto, L, Q; series
    }));
    const std::uint8_t keys[] = {0x0D, 0x0D};  // two ranges up, manual ranging
    ASSERT_EQ(write(master, keys, sizeof keys), 2);
    EXPECT_TRUE(
        FrameArrives(master, 100, [](const Bytes& f) { return f[9] == 8 && f[10] == 0x22; }));
    EXPECT_TRUE(sim.ErrContains("key 0x0D range up"));
    sim.Signal(SIGINT);
    EXPECT_EQ(sim.ExitStatus(), std::optional<int>(0));
    close(master);
}

}  // namespace
