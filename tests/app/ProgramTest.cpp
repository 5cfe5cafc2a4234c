// The k419 program headless, as a logger runs it: what it says on standard error when the
// port cannot be opened, its exit status after Ctrl+C or SIGTERM, and a display that cannot
// be reached.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "PanelTestSupport.h"
#include "ProgramProcess.h"
#include "meter/FrameBytes.h"

namespace {

using k419::test::MeterLine;
using k419::test::Program;

const std::string K419 = K419_BINARY_DIR "/app/k419";

// The environment of a machine without a display (the tests' own offscreen setting removed).
std::map<std::string, std::string> Headless(const std::string& com1) {
    return {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}, {"K419_COM1", com1}};
}

// Sends frames until k419 prints one (bytes that come before it opened the port are not
// read), and returns the line it printed for it.
std::optional<std::string> ShowAFrame(MeterLine& line, Program& k419) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        // Whole frames: the first ones may meet the line before it was made raw, and a frame
        // taken out of alignment makes the panel discard what waits.
        const auto frame = k419::test::MakeFrame(1, 1, 5, 0x12, 0);
        if (!line.WriteRaw(std::string(frame.begin(), frame.end()))) return std::nullopt;
        while (auto printed = k419.OutputLine(200)) {
            if (printed->rfind("R ", 0) == 0) return printed;  // not a watchdog line
        }
    }
    return std::nullopt;
}

// What a run that ended in order leaves on standard error: the statistics of its readings.
void ExpectOnlyTheSummary(const std::string& errors) {
    std::istringstream lines(errors);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_EQ(line.rfind("k419: ", 0), 0u) << line;
        EXPECT_NE(line.find("reading"), std::string::npos) << line;
    }
    EXPECT_EQ(count, 2) << errors;  // the primary and the secondary value
}

// The error line k419 printed for COM1, and its exit status after a terminate request.
struct Outcome {
    std::string line;
    int status;
};

Outcome RunUntilTheErrorLine(std::vector<std::string> argv,
                             const std::map<std::string, std::string>& env) {
    Program k419(std::move(argv), env);
    EXPECT_TRUE(k419.Started());
    Outcome outcome{};
    // Lines of other programs (fontconfig for a user without a cache folder) may come first.
    while (auto line = k419.ErrorLine()) {
        if (line->rfind("k419: COM1", 0) == 0) {
            outcome.line = *line;
            break;
        }
    }
    k419.Signal(SIGTERM);
    outcome.status = k419.Wait();
    return outcome;
}

TEST(Program, APortThatCannotBeOpenedIsNamedWithItsDeviceAndCauseAndTheRunFails) {
    // Missing device.
    {
        const Outcome o = RunUntilTheErrorLine({K419}, Headless("/nonexistent/k419-tty"));
        EXPECT_EQ(o.line,
                  "k419: COM1 (/nonexistent/k419-tty): ie_BadId - Specified comport doesn't exist");
        EXPECT_EQ(o.status, 1);
    }
    // Held by another program.
    {
        MeterLine line(1);
        const int held = ::open(line.Path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(held, 0);
        ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
        const Outcome o = RunUntilTheErrorLine({K419}, Headless(line.Path()));
        ::close(held);
        EXPECT_EQ(o.line, "k419: COM1 (" + line.Path() + "): ie_Open - device already open");
        EXPECT_EQ(o.status, 1);
    }
}

// k419 as the user nobody, whom file modes stop (root, who runs the tests, they do not): a
// copy of the program in a folder nobody may enter, with a cache folder of its own.
class AsNobody {
  public:
    AsNobody() {
        char folder[] = "/tmp/k419-nobody-XXXXXX";
        if (::mkdtemp(folder) == nullptr) return;
        dir_ = folder;
        namespace fs = std::filesystem;
        fs::permissions(dir_, fs::perms(0755));
        fs::copy_file(K419, dir_ / "k419");
        fs::permissions(dir_ / "k419", fs::perms(0755));
        fs::create_directory(dir_ / "cache");
        fs::permissions(dir_ / "cache", fs::perms(0777));
    }
    ~AsNobody() {
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
    static bool Possible() { return ::geteuid() == 0; }
    std::vector<std::string> Command(std::vector<std::string> args) const {
        std::vector<std::string> command = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                            "--clear-groups", (dir_ / "k419").string()};
        command.insert(command.end(), args.begin(), args.end());
        return command;
    }
    std::map<std::string, std::string> Environment(std::map<std::string, std::string> env) const {
        env["XDG_CACHE_HOME"] = (dir_ / "cache").string();
        env["HOME"] = dir_.string();
        return env;
    }

  private:
    std::filesystem::path dir_;
};

constexpr const char* NeedsRoot =
    "needs root: the test runs k419 as nobody, against a device only root may open";

TEST(Program, AUserWithoutPermissionIsToldToJoinTheDialoutGroup) {
    if (!AsNobody::Possible()) GTEST_SKIP() << NeedsRoot;
    AsNobody nobody;
    MeterLine line(1);
    ASSERT_EQ(::chmod(line.Path().c_str(), 0600), 0);
    const Outcome o =
        RunUntilTheErrorLine(nobody.Command({}), nobody.Environment(Headless(line.Path())));
    EXPECT_EQ(o.line.rfind("k419: COM1 (" + line.Path() + "): Permission denied", 0), 0u) << o.line;
    EXPECT_NE(o.line.find("dialout"), std::string::npos) << o.line;
    EXPECT_EQ(o.status, 1);
}

// The lines of `k419 --list-ports` with `args`, run by `command`.
std::vector<std::string> Listing(std::vector<std::string> command,
                                 const std::map<std::string, std::string>& env) {
    Program k419(std::move(command), env);
    std::vector<std::string> lines;
    while (const auto line = k419.OutputLine(5000)) lines.push_back(*line);
    EXPECT_EQ(k419.Wait(), 0);
    return lines;
}

TEST(Program, TheListOfPortsSaysWhatEachNumberNamesAndWhetherItCanBeOpened) {
    TestPty free(90), busy(91), guarded(92);
    const int held = ::open(busy.Path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    const std::vector<std::string> ports = {
        "--list-ports",          "--port", "COM1=" + free.Path(),        "--port",
        "COM2=" + busy.Path(),   "--port", "COM3=/nonexistent/k419-tty", "--port",
        "COM4=" + guarded.Path()};
    std::vector<std::string> command = {K419};
    command.insert(command.end(), ports.begin(), ports.end());
    const auto lines = Listing(command, Headless(""));
    // A number above 4 names nothing the panel can use: said once, and left out.
    auto env = Headless("");
    env["K419_COM5"] = guarded.Path();
    Program higher(command, env);
    EXPECT_EQ(higher.ErrorLine(), "k419: K419_COM5 ignored: the panel has COM1 to COM4");
    std::vector<std::string> listed;
    while (const auto line = higher.OutputLine(5000)) listed.push_back(*line);
    EXPECT_EQ(higher.Wait(), 0);
    EXPECT_EQ(listed, lines);
    ::close(held);
    ASSERT_GE(lines.size(), 4u);
    const auto expect = [&](std::size_t i, const std::string& com, const std::string& path,
                            const std::string& state) {
        std::istringstream line(lines[i]);
        std::string c, p, s;
        line >> c >> p >> s;
        if (s == "no") s += " permission";
        EXPECT_EQ(c + " " + p + " " + s, com + " " + path + " " + state) << lines[i];
    };
    expect(0, "COM1", free.Path(), "ok");
    expect(1, "COM2", busy.Path(), "busy");
    expect(2, "COM3", "/nonexistent/k419-tty", "missing");
    EXPECT_EQ(lines[0].substr(lines[0].size() - 15), "given by --port");
    expect(3, "COM4", guarded.Path(), "ok");

    if (!AsNobody::Possible()) GTEST_SKIP() << NeedsRoot;
    ASSERT_EQ(::chmod(guarded.Path().c_str(), 0600), 0);
    AsNobody nobody;
    const auto asNobody = Listing(nobody.Command(ports), nobody.Environment(Headless("")));
    ASSERT_GE(asNobody.size(), 4u);
    EXPECT_NE(asNobody[3].find("no permission"), std::string::npos) << asNobody[3];
}

TEST(Program, EndsWithSuccessAfterCtrlCOrSigtermWhenThePortWasOpen) {
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        MeterLine line(1);
        Program k419({K419}, Headless(line.Path()));
        // A frame on standard output shows the port is open.
        const auto printed = ShowAFrame(line, k419);
        ASSERT_TRUE(printed.has_value());
        EXPECT_EQ(printed->rfind("R ", 0), 0u) << *printed;
        k419.Signal(signal);
        EXPECT_EQ(k419.Wait(), 0);
        ExpectOnlyTheSummary(k419.RestOfErrors());
    }
}

TEST(Program, ADisplayThatCannotBeReachedIsNamedOnceAndThePanelRunsHeadless) {
    MeterLine line(1);
    auto env = Headless(line.Path());
    env["DISPLAY"] = ":97.0";  // no X server on display 97 here
    ASSERT_FALSE(std::filesystem::exists("/tmp/.X11-unix/X97"));
    Program k419({K419}, env);
    EXPECT_EQ(k419.ErrorLine(),
              "k419: the display DISPLAY=:97.0 cannot be reached; running without a window");
    const auto printed = ShowAFrame(line, k419);
    ASSERT_TRUE(printed.has_value());
    EXPECT_EQ(printed->rfind("R ", 0), 0u) << *printed;
    k419.Signal(SIGTERM);
    EXPECT_EQ(k419.Wait(), 0);
    ExpectOnlyTheSummary(k419.RestOfErrors());
}

// A scratch file name that is removed again when the test ends.
struct ScratchFile {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("k419-program-" + std::to_string(::getpid()) + ".csv");
    ~ScratchFile() { std::filesystem::remove(path); }
};

TEST(Program, ASimulatedCapacitorRecordedHeadlessReadsBackWithPythonsCsvModule) {
    Program sim({K419_BINARY_DIR "/tools/k419-sim", "--component", "capacitor", "--value", "100n",
                 "--rate", "100"},
                {});
    const auto terminal = sim.OutputLine();
    ASSERT_TRUE(terminal.has_value());
    ScratchFile csv;
    Program k419({K419, "--record", csv.path.string(), "--frames", "200"}, Headless(*terminal));
    EXPECT_EQ(k419.Wait(30000), 0);
    // 100 nF within the simulated noise (1e-4 of the value, a few times over).
    const char* script =
        "import csv, sys\n"
        "rows = list(csv.DictReader(open(sys.argv[1], newline='', encoding='utf-8')))\n"
        "off = [r for r in rows if abs(float(r['capacitance_f']) - 1e-7) > 1e-10]\n"
        "print(len(rows), len(off), rows[0]['primary'], rows[0]['primary_unit'])\n";
    Program python({"/usr/bin/python3", "-c", script, csv.path.string()}, {});
    EXPECT_EQ(python.OutputLine(), "200 0 C F");
    EXPECT_EQ(python.Wait(), 0) << python.RestOfErrors();
}

TEST(Program, AnUnknownOptionIsAUsageError) {
    Program k419({K419, "--no-such-option"}, Headless(""));
    EXPECT_EQ(k419.ErrorLine(), "k419: unknown option --no-such-option");
    EXPECT_EQ(k419.ErrorLine(), "Try 'k419 --help'.");
    EXPECT_EQ(k419.Wait(), 2);
}

// A run that cannot keep what it was asked to (a recording, a capture, standard output) says
// so once, with the file and the system's reason, and ends with status 3: at once when the
// output cannot be created, before the port is opened; after its first frame when it cannot be
// written.
TEST(Program, AnOutputThatCannotBeKeptEndsTheRunWithThree) {
    const auto folder = std::filesystem::temp_directory_path() / "k419-program-outputs";
    std::filesystem::create_directories(folder);
    struct Case {
        std::vector<std::string> args;
        std::string message;
        bool opensThePort;
    };
    const std::string dir = folder.string();
    const Case cases[] = {
        {{"--record", "/nonexistent-k419-dir/r.csv"},
         "k419: recording not started: cannot create /nonexistent-k419-dir/r.csv: No such file "
         "or directory",
         false},
        {{"--record", "/dev/full"},
         "k419: recording not started: cannot write /dev/full: No space left on device",
         false},
        {{"--record", dir},
         "k419: recording not started: cannot create " + dir + ": Is a directory",
         false},
        {{"--capture", "/dev/full"},
         "k419: capture stopped: cannot write /dev/full: No space left on device",
         true},
        {{"--format", "csv", "STDOUT=/dev/full"},
         "k419: cannot write standard output: No space left on device",
         false},
        {{"STDOUT=/dev/full"}, "k419: cannot write standard output: No space left on device", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        MeterLine line(1);
        // Standard output goes where the case says, through a shell.
        std::string command = "exec '" + K419 + "'";
        std::string redirect;
        for (const std::string& arg : c.args) {
            if (arg.rfind("STDOUT=", 0) == 0) {
                redirect = " >" + arg.substr(7);
            } else {
                command += " '" + arg + "'";
            }
        }
        Program k419({"/bin/sh", "-c", command + redirect}, Headless(line.Path()));
        // Frames until it ends (with the port open, the first frame's output fails).
        const auto frame = k419::test::MakeFrame(1, 1, 5, 0x12, 0);
        int status = -1;
        for (int tries = 0; tries < 100 && (status = k419.Wait(100)) == -1; ++tries) {
            if (c.opensThePort) line.WriteRaw(std::string(frame.begin(), frame.end()));
        }
        EXPECT_EQ(status, 3);
        std::optional<std::string> said;
        while ((said = k419.ErrorLine(0)) && said->rfind("k419: ", 0) != 0) {
        }
        EXPECT_EQ(said, c.message);
    }
    std::filesystem::remove_all(folder);

    // A file the user may not write.
    if (!AsNobody::Possible()) GTEST_SKIP() << NeedsRoot;
    AsNobody nobody;
    ScratchFile rootsOwn;
    std::ofstream(rootsOwn.path) << "";
    std::filesystem::permissions(rootsOwn.path, std::filesystem::perms(0644));
    MeterLine line(1);
    Program k419(nobody.Command({"--record", rootsOwn.path.string()}),
                 nobody.Environment(Headless(line.Path())));
    std::optional<std::string> said;
    while ((said = k419.ErrorLine()) && said->rfind("k419: ", 0) != 0) {
    }
    EXPECT_EQ(said, "k419: recording not started: cannot create " + rootsOwn.path.string() +
                        ": Permission denied");
    EXPECT_EQ(k419.Wait(), 3);
}

// Frames that piled up are all taken at once, but a run of N frames still shows exactly N.
TEST(Program, FramesEndsAfterExactlyThatManyFramesOfABacklog) {
    MeterLine line(1);
    Program k419({K419, "--frames", "3"}, Headless(line.Path()));
    const auto frame = k419::test::MakeFrame(1, 1, 5, 0x12, 0);
    std::string ten;
    for (int i = 0; i < 10; ++i) ten += std::string(frame.begin(), frame.end());
    ten += static_cast<char>(k419::FrameHeader);
    // Ten frames at a time until the panel has opened the port and takes them.
    std::vector<std::string> printed;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (printed.empty() && std::chrono::steady_clock::now() < deadline) {
        ASSERT_TRUE(line.WriteRaw(ten));
        while (const auto out = k419.OutputLine(300)) printed.push_back(*out);
    }
    EXPECT_EQ(k419.Wait(), 0);
    while (const auto out = k419.OutputLine(100)) printed.push_back(*out);
    EXPECT_EQ(printed.size(), 3u);
}

// With the record on standard output, a silent meter's watchdog lines go to standard error:
// every line of standard output stays a JSON object.
TEST(Program, JsonLinesStayJsonThroughASilenceOfTheMeter) {
    MeterLine line(1);
    Program k419({K419, "--format", "jsonl"}, Headless(line.Path()));
    std::vector<std::string> out;
    const auto frame = k419::test::MakeFrame(1, 1, 5, 0x12, 0);
    const auto sendUntilALine = [&] {
        for (int i = 0; i < 100; ++i) {
            line.WriteRaw(std::string(frame.begin(), frame.end()));
            if (const auto printed = k419.OutputLine(100)) {
                out.push_back(*printed);
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(sendUntilALine());
    // Three seconds without a frame: the watchdog speaks after two.
    std::optional<std::string> watchdog;
    while ((watchdog = k419.ErrorLine(3500)) && watchdog->find("Нет данных") == std::string::npos) {
    }
    EXPECT_EQ(watchdog, "k419: Нет данных | разрыв связи");
    ASSERT_TRUE(sendUntilALine());
    k419.Signal(SIGTERM);
    EXPECT_EQ(k419.Wait(), 0);
    while (const auto printed = k419.OutputLine(100)) out.push_back(*printed);
    ScratchFile lines;
    std::ofstream(lines.path) << [&] {
        std::string all;
        for (const std::string& l : out) all += l + "\n";
        return all;
    }();
    Program python({"/usr/bin/python3", "-c",
                    "import json, sys\n"
                    "rows = [json.loads(l) for l in open(sys.argv[1], encoding='utf-8')]\n"
                    "print(len(rows), all(isinstance(r, dict) for r in rows))\n",
                    lines.path.string()},
                   {});
    EXPECT_EQ(python.OutputLine(), std::to_string(out.size()) + " True");
    EXPECT_EQ(python.Wait(), 0) << python.RestOfErrors();
}

// A capture holds every byte received, also those the panel threw away, and the decoder
// replays it into the recording's form.
TEST(Program, ACaptureKeepsEveryByteAndTheDecoderReplaysIt) {
    MeterLine line(1);
    ScratchFile capture;
    Program k419({K419, "--capture", capture.path.string()}, Headless(line.Path()));
    // Once a frame has been shown, the port is open and what waited at the open is gone.
    ASSERT_TRUE(ShowAFrame(line, k419).has_value());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    const auto frame = k419::test::MakeFrame(1, 1, 5, 0x12, 0);
    const auto wrong = k419::test::MakeFrame(1, 1, 5, 0x12, 0, 0x55);
    std::string sent(frame.begin(), frame.end());
    // The wrong header is shown, and what waits behind it is thrown away.
    sent += std::string(wrong.begin(), wrong.end()) + "garbage";
    for (int i = 0; i < 3; ++i) sent += std::string(frame.begin(), frame.end());
    ASSERT_TRUE(line.WriteRaw(sent));
    for (int shown = 0; shown < 1 && std::chrono::steady_clock::now() < deadline;) {
        const auto printed = k419.OutputLine(1000);
        if (printed && printed->rfind("R ", 0) == 0) ++shown;
    }
    k419.Signal(SIGTERM);
    EXPECT_EQ(k419.Wait(), 0);
    std::ifstream in(capture.path, std::ios::binary);
    const std::string captured((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(captured.find(sent), std::string::npos);

    Program decode({K419_BINARY_DIR "/tools/k419-decode", "--format", "csv", capture.path.string()},
                   {});
    const auto header = decode.OutputLine();
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->rfind("time,elapsed_s,", 0), 0u);
    int rows = 0;  // of the frames (the first bytes of a capture may be out of alignment)
    while (const auto row = decode.OutputLine(1000)) {
        if (row->rfind(",,R,", 0) == 0) ++rows;  // no times in a raw capture
    }
    EXPECT_GE(rows, 2);  // the frame and the one with the wrong header
    EXPECT_EQ(decode.Wait(), 0);
}

}  // namespace
