// The offline decoder as a program: input sources, options, errors and its JSON output.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "meter/FrameBytes.h"
#include "meter/FrontPanel.h"
#include "meter/Reading.h"

namespace k419 {
namespace {

const std::string Decoder = K419_BINARY_DIR "/tools/k419-decode";
const char* const Keys[] = {"LA", "LD", "Base",   "Dop",    "A",      "B",      "C",      "D",
                            "E",  "F",  "Label1", "Label2", "Label3", "Label4", "Label5", "Label7"};

using JsonObject = std::vector<std::pair<std::string, std::string>>;

// Parses one flat JSON object whose values are strings; nothing else is accepted.
class JsonParser {
  public:
    explicit JsonParser(const std::string& text) : s_(text) {}

    std::optional<JsonObject> Object() {
        JsonObject result;
        if (!Take('{')) return std::nullopt;
        do {
            auto key = String();
            if (!key || !Take(':')) return std::nullopt;
            auto value = String();
            if (!value) return std::nullopt;
            result.emplace_back(*key, *value);
        } while (Take(','));
        if (!Take('}')) return std::nullopt;
        Space();
        return i_ == s_.size() ? std::optional(result) : std::nullopt;
    }

  private:
    void Space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t')) ++i_;
    }
    bool Take(char c) {
        Space();
        return i_ < s_.size() && s_[i_] == c ? (++i_, true) : false;
    }
    std::optional<std::string> String() {
        if (!Take('"')) return std::nullopt;
        std::string out;
        while (i_ < s_.size()) {
            const char c = s_[i_++];
            if (c == '"') return out;
            if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i_ >= s_.size()) return std::nullopt;
            const char e = s_[i_++];
            const std::string simple = "\"\\/bfnrt", meaning = "\"\\/\b\f\n\r\t";
            if (const auto k = simple.find(e); k != std::string::npos) {
                out += meaning[k];
            } else if (e == 'u' && i_ + 4 <= s_.size()) {
                const unsigned cp = std::stoul(s_.substr(i_, 4), nullptr, 16);
                i_ += 4;
                if (cp >= 0x80) return std::nullopt;  // the decoder escapes controls only
                out += static_cast<char>(cp);
            } else {
                return std::nullopt;
            }
        }
        return std::nullopt;
    }
    const std::string& s_;
    std::size_t i_ = 0;
};

struct Result {
    int status;
    std::string out, err;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class DecodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/k419-decode-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    // Runs the decoder with `args` (already shell-quoted) and standard input from `input`.
    Result Run(const std::string& args, const std::string& input = "/dev/null") {
        const std::string out = dir_ + "/out", err = dir_ + "/err";
        const int status = std::system(
            (Decoder + " " + args + " <'" + input + "' >'" + out + "' 2>'" + err + "'").c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out), ReadFile(err)};
    }

    std::string dir_;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Averaged frames, a wrong header whose following byte is discarded, an aligned frame
// after it, and a last frame that is never shown because nothing follows it.
std::vector<std::uint8_t> SampleStream() {
    std::vector<std::uint8_t> bytes;
    test::Append(bytes, test::MakeFrame(1, 10, 5, 0x12, 0x02));
    test::Append(bytes, test::MakeFrame(1, 10, 5, 0x12, 0x02));
    test::Append(bytes, test::MakeFrame(2, 3, 7, 0xA1, 0x01, 0x55));
    bytes.push_back(0x00);
    test::Append(bytes, test::MakeFrame(4, 4, 2, 0x40, 0x00));
    test::Append(bytes, test::MakeFrame(4, 4, 3, 0x40, 0x00));
    return bytes;
}

TEST_F(DecodeTest, FrameExampleGivesOneExactLine) {
    std::vector<std::uint8_t> bytes = {0xAA, 0x00, 0x00, 0x00, 0x7F, 0x00, 0x00,
                                       0x20, 0x82, 0x05, 0x12, 0x02, 0xAA};
    const std::string path = Write("example", bytes);
    const Result r = Run("--decimal-point=, '" + path + "'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"LA\": \"R\", \"LD\": \"Q\", \"Base\": \"  181,82  Ом\", \"Dop\": \"  10,000  \", "
              "\"A\": \"  181,82  Ом\", \"B\": \" 5500,00  мкСм\", \"C\": \"  -87,54  нФ\", "
              "\"D\": \" 289,373  мГн\", \"E\": \"  10,000  \", \"F\": \"   0,100  \", "
              "\"Label1\": \"5\", \"Label2\": \"Ручной\", \"Label3\": \"1кГц\", "
              "\"Label4\": \"ВЫКЛ\", \"Label5\": \"1 V\", \"Label7\": \"ПАР\"}\n");
    bytes.pop_back();  // a frame with nothing after it is not taken
    EXPECT_EQ(Run("'" + Write("short", bytes) + "'").out, "");
}

TEST_F(DecodeTest, FileStdinAndDashAgree) {
    const std::string path = Write("sample", SampleStream());
    const Result fromFile = Run("--decimal-point=. '" + path + "'");
    const Result fromStdin = Run("--decimal-point=.", path);
    const Result fromDash = Run("--decimal-point=. -", path);
    EXPECT_EQ(fromFile.status, 0);
    EXPECT_EQ(fromFile.out, fromStdin.out);
    EXPECT_EQ(fromFile.out, fromDash.out);
    const auto lines = Lines(fromFile.out);
    ASSERT_EQ(lines.size(), 4U);
    EXPECT_NE(lines[2].find("\"Label1\": \"7\""), std::string::npos);
    EXPECT_NE(lines[2].find("\"Label7\": \"ПОСЛ\""), std::string::npos);
    EXPECT_NE(lines[3].find("\"Label1\": \"2\""), std::string::npos);  // still aligned
    EXPECT_NE(lines[3].find("\"LA\": \"C\""), std::string::npos);
}

TEST_F(DecodeTest, SeparatorOptionIsEscaped) {
    const std::string path = Write("sample", SampleStream());
    for (const std::string separator : {",", "٫", "\"", "\\", "\t"}) {
        const Result r = Run("'--decimal-point=" + separator + "' '" + path + "'");
        ASSERT_EQ(r.status, 0) << r.err;
        const auto object = JsonParser(Lines(r.out).at(0)).Object();
        ASSERT_TRUE(object.has_value()) << Lines(r.out).at(0);
        EXPECT_EQ(object->at(4).second, "  181" + separator + "82  Ом");
    }
}

TEST_F(DecodeTest, BadArgumentsAndUnreadableInputExitWithTwo) {
    const std::string missing = dir_ + "/no-such-file";
    struct Case {
        std::string args;
        int status;
        std::string inError;
    };
    const Case cases[] = {
        {"'" + missing + "'", 2, missing}, {"'" + dir_ + "'", 2, dir_},
        {"--bogus", 2, "--bogus"},         {"--decimal-point=", 2, "decimal-point"},
        {"a b", 2, "one input file"},      {"--help", 0, ""},
        {"--format xml", 2, "xml"},        {"--format", 2, "--format"},
        {"--format=", 2, "format"},
    };
    for (const auto& c : cases) {
        const Result r = Run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_NE(r.err.find(c.inError), std::string::npos) << c.args << ": " << r.err;
        EXPECT_EQ(r.out.empty(), c.status != 0) << c.args;
    }
    EXPECT_NE(Run("--help").out.find("--decimal-point"), std::string::npos);
    EXPECT_NE(Run("--help").out.find("--format"), std::string::npos);
    const Result version = Run("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("k419-decode ", 0), 0u) << version.out;
}

TEST_F(DecodeTest, AnOutputThatCannotBeWrittenExitsWithThree) {
    const std::string err = dir_ + "/err";
    for (const char* format : {"json", "csv"}) {
        const int status =
            std::system((Decoder + " --format " + format + " <'" +
                         Write("frames.bin", SampleStream()) + "' >/dev/full 2>'" + err + "'")
                            .c_str());
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 3) << format;
        EXPECT_NE(ReadFile(err).find("No space left on device"), std::string::npos) << format;
    }
}

// A simulator's capture as the recording's CSV: its header, then a row per frame shown, each
// with empty times and ending in its own frame's bytes; jsonl likewise with null times.
TEST_F(DecodeTest, CsvAndJsonlOfASimulatorCapture) {
    const std::string capture = dir_ + "/capture";
    const std::string sim = K419_BINARY_DIR "/tools/k419-sim --stdout --rate 0 --frames 40";
    ASSERT_EQ(std::system((sim + " --component inductor >'" + capture + "' 2>/dev/null").c_str()),
              0);
    const std::string bytes = ReadFile(capture);
    const auto rows = Lines(Run("--format csv '" + capture + "'").out);
    ASSERT_EQ(rows.size(), 40U);  // the header; the last frame has nothing after it
    EXPECT_EQ(rows[0] + "\n", CsvHeader());
    for (std::size_t i = 1; i < rows.size(); ++i) {
        Reading frame;
        std::copy_n(bytes.begin() + static_cast<long>((i - 1) * FrameSize), FrameSize,
                    frame.frame.begin());
        const std::string row = CsvRow(frame, std::nullopt);
        EXPECT_TRUE((rows[i] + "\n").ends_with(row.substr(row.rfind(',')))) << i;
        EXPECT_TRUE(rows[i].starts_with(",,L,")) << rows[i];
        EXPECT_EQ(std::count(rows[i].begin(), rows[i].end(), ','),
                  std::count(rows[0].begin(), rows[0].end(), ','));
    }
    const auto lines = Lines(Run("--format=jsonl", capture).out);
    ASSERT_EQ(lines.size(), 39U);
    for (const auto& line : lines) {
        EXPECT_TRUE(line.starts_with("{\"time\": null, \"elapsed_s\": null, \"primary\": \"L\""));
    }
}

// Megabytes of random bytes: every line is a complete object with the sixteen keys in
// order, and its texts are exactly the model's after the same frame.
TEST_F(DecodeTest, RandomStreamMatchesTheModel) {
    std::mt19937 random(99);
    std::vector<std::uint8_t> bytes(2 << 20);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    const Result r = Run("--decimal-point=, '" + Write("random", bytes) + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("nan"), std::string::npos);
    EXPECT_EQ(r.out.find("inf"), std::string::npos);

    FrontPanelModel model(",");
    struct Queue : FrameSource {
        std::vector<std::uint8_t> q;
        std::uint16_t InputCount() override { return static_cast<std::uint16_t>(q.size()); }
        void ReadBlock(std::uint8_t* b, std::uint16_t n) override {
            std::copy_n(q.begin(), n, b);
            q.erase(q.begin(), q.begin() + n);
        }
        void DiscardInput() override { q.clear(); }
    } queue;
    struct : Watchdog {
        void Disable() override {}
        void Enable() override {}
    } watchdog;

    const auto lines = Lines(r.out);
    std::size_t line = 0;
    for (const std::uint8_t b : bytes) {
        queue.q.push_back(b);
        if (!model.ReceiveTrigger(queue, watchdog)) continue;
        ASSERT_LT(line, lines.size());
        const auto object = JsonParser(lines[line]).Object();
        ASSERT_TRUE(object.has_value()) << lines[line];
        ASSERT_EQ(object->size(), std::size(Keys));
        const PanelTexts& t = model.Texts();
        const std::string* expected[] = {
            &t.LA, &t.LD, &t.Base,   &t.Dop,    &t.A,      &t.B,      &t.C,      &t.D,
            &t.E,  &t.F,  &t.Label1, &t.Label2, &t.Label3, &t.Label4, &t.Label5, &t.Label7};
        for (std::size_t k = 0; k < std::size(Keys); ++k) {
            ASSERT_EQ((*object)[k].first, Keys[k]);
            ASSERT_EQ((*object)[k].second, *expected[k]) << "line " << line << " " << Keys[k];
        }
        ++line;
    }
    EXPECT_EQ(line, lines.size());
    EXPECT_GT(line, bytes.size() / 13 - 1000);
}

// In a live pipeline each line must come out as soon as its frame is taken, while the
// input is still open.
TEST_F(DecodeTest, LinesAreFlushedWhileInputStaysOpen) {
    int toChild[2], fromChild[2];
    ASSERT_EQ(::pipe(toChild), 0);
    ASSERT_EQ(::pipe(fromChild), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(toChild[0], STDIN_FILENO);
        ::dup2(fromChild[1], STDOUT_FILENO);
        ::close(toChild[1]);
        ::close(fromChild[0]);
        ::execl(Decoder.c_str(), Decoder.c_str(), "--decimal-point=.", nullptr);
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);

    std::vector<std::uint8_t> bytes;
    test::Append(bytes, test::MakeFrame(1, 10, 5, 0x12, 0x02));
    bytes.push_back(FrameHeader);
    ASSERT_EQ(::write(toChild[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));

    std::string received;
    while (received.find('\n') == std::string::npos) {
        pollfd ready{fromChild[0], POLLIN, 0};
        ASSERT_EQ(::poll(&ready, 1, 20000), 1) << "no line while the input is open";
        char chunk[512];
        const ssize_t n = ::read(fromChild[0], chunk, sizeof chunk);
        ASSERT_GT(n, 0);
        received.append(chunk, static_cast<std::size_t>(n));
    }
    EXPECT_NE(received.find("\"A\": \"  181.82  Ом\""), std::string::npos) << received;

    ::close(toChild[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::close(fromChild[0]);
}

}  // namespace
}  // namespace k419
