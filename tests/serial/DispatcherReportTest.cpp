// The trace and dispatch log buffers and the exact texts of their reports.
#include <gtest/gtest.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/utsname.h>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "DispatcherFake.h"
#include "serial/CommErrors.h"

namespace {

namespace fs = std::filesystem;

// A file name in the test's temporary folder, removed before and after the test.
struct TempFile {
    std::string path;
    explicit TempFile(const std::string& name)
        : path(::testing::TempDir() + "k419-dispatch-" + std::to_string(getpid()) + "-" + name) {
        fs::remove(path);
    }
    ~TempFile() { fs::remove(path); }
    bool Exists() const { return fs::exists(path); }
    std::string Text() const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::string text = Text();
        size_t at = 0;
        while (at <= text.size()) {
            size_t end = text.find("\r\n", at);
            if (end == std::string::npos) {
                if (at < text.size()) lines.push_back(text.substr(at));
                break;
            }
            lines.push_back(text.substr(at, end - at));
            at = end + 2;
        }
        return lines;
    }
};

// The log heading's compiler and system texts, as this test finds them itself.
std::string CompilerText() {
#if defined(__clang__)
    return "Clang " + std::to_string(__clang_major__);
#else
    return "GNU C++ " + std::to_string(__GNUC__);
#endif
}

std::string SystemText() {
#ifdef _WIN32
    // The version Windows reports to a program without a manifest for it, as the log gives it.
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) return "Unknown";
    return "Windows NT " + std::to_string(info.dwMajorVersion) + "." +
           std::to_string(info.dwMinorVersion) + " " + info.szCSDVersion;
#else
    utsname name{};
    if (uname(&name) != 0) return "";
    unsigned major = 0, minor = 0;
    std::sscanf(name.release, "%u.%u", &major, &minor);
    std::string text = "Unknown " + std::to_string(major) + "." + std::to_string(minor) + " " +
                       name.sysname + " " + name.release + " " + name.machine;
    return text.substr(0, 80);
#endif
}

std::string Take(TBaseDispatcher& d, uint32_t n) {
    std::string s(n, '\0');
    EXPECT_EQ(d.TakeInput(reinterpret_cast<uint8_t*>(s.data()), n), static_cast<int32_t>(n));
    return s;
}

// ---------------------------------------------------------------------------------------------
// Trace

TEST(DispatcherTrace, SentAndTakenBytesAreReportedInGroups) {
    struct Case {
        bool hex;
        const char* text;
    } cases[] = {
        {true, "Transmit: \r\nK\r\n\r\nReceive: \r\n[0D]A"},
        {false, "Transmit: \r\nK\r\n\r\nReceive: \r\n[13]A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hex);
        TempFile file("trace");
        FakeDispatcher d;
        ASSERT_EQ(d.Open(), 0);
        ASSERT_EQ(d.OpenTraceBuffer(100), 0);
        d.PutOutputByte('K');
        d.Arrive("\rA");
        Take(d, 2);
        EXPECT_EQ(d.WriteTraceReport(file.path.c_str(), false, c.hex), 0);
        EXPECT_EQ(file.Text(), c.text);
        EXPECT_FALSE(d.TraceOn());  // a report ends the trace
        EXPECT_EQ(d.WriteTraceReport(file.path.c_str(), true, c.hex), 0);
        EXPECT_EQ(file.Text(), c.text);
    }
}

TEST(DispatcherTrace, DataItemsAndLineBreaks) {
    struct Case {
        const char* what;
        std::string bytes;
        bool hex;
        uint32_t size;
        std::string text;
    } cases[] = {
        {"space, hex", " ", true, 10, "Transmit: \r\n[20]"},
        {"space, decimal", " ", false, 10, "Transmit: \r\n "},
        {"decimal widths", std::string("\x05\x0c\xff", 3), false, 10, "Transmit: \r\n[5][12][255]"},
        {"oldest overwritten", "12345", true, 3, "Transmit: \r\n345"},
        {"78 characters a line", std::string(80, 'x'), true, 100,
         "Transmit: \r\n" + std::string(78, 'x') + "\r\nxx"},
        {"hex item passing column 78", std::string(20, '\x01'), true, 100,
         "Transmit: \r\n" +
             [] {
                 std::string s;
                 for (int i = 0; i < 19; ++i) s += "[01]";
                 return s;
             }() +
             "\r\n[01]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFile file("trace-items");
        FakeDispatcher d;
        ASSERT_EQ(d.OpenTraceBuffer(c.size), 0);
        for (char ch : c.bytes) d.RecordTracePair('T', static_cast<uint8_t>(ch));
        EXPECT_EQ(d.WriteTraceReport(file.path.c_str(), false, c.hex), 0);
        EXPECT_EQ(file.Text(), c.text);
    }
}

TEST(DispatcherTrace, OtherTagsAndAppending) {
    TempFile file("trace-append");
    FakeDispatcher d;
    ASSERT_EQ(d.OpenTraceBuffer(10), 0);
    d.RecordTracePair('X', 'a');
    ASSERT_EQ(d.WriteTraceReport(file.path.c_str(), false, true), 0);
    ASSERT_EQ(d.OpenTraceBuffer(10), 0);
    d.RecordTracePair('R', 'b');
    ASSERT_EQ(d.WriteTraceReport(file.path.c_str(), true, true), 0);
    EXPECT_EQ(file.Text(), "Special-X: \r\naReceive: \r\nb");
}

TEST(DispatcherTrace, NothingToReportWritesNoFile) {
    TempFile file("trace-empty");
    FakeDispatcher d;
    EXPECT_EQ(d.WriteTraceReport(file.path.c_str(), false, true), 0);  // never started
    ASSERT_EQ(d.OpenTraceBuffer(10), 0);
    EXPECT_EQ(d.WriteTraceReport(file.path.c_str(), false, true), 0);
    EXPECT_FALSE(file.Exists());
    EXPECT_EQ(d.OpenTraceBuffer(4000001), ecBadArgument);
    EXPECT_FALSE(d.TraceOn());
    EXPECT_EQ(d.OpenTraceBuffer(0), 0);  // on, but records nothing
    EXPECT_TRUE(d.TraceOn());
    d.RecordTracePair('T', 'x');
    EXPECT_EQ(d.WriteTraceReport(file.path.c_str(), false, true), 0);
    EXPECT_FALSE(file.Exists());
}

TEST(DispatcherTrace, PauseStopsRecordingAndAnUnwritableFileIsReported) {
    TempFile file("trace-pause");
    FakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    ASSERT_EQ(d.OpenTraceBuffer(10), 0);
    d.PutOutputByte('a');
    d.PauseTrace();
    d.PutOutputByte('b');
    d.ResumeTrace();
    d.PutOutputByte('c');
    ASSERT_EQ(d.WriteTraceReport(file.path.c_str(), false, true), 0);
    EXPECT_EQ(file.Text(), "Transmit: \r\nac");

    ASSERT_EQ(d.OpenTraceBuffer(10), 0);
    d.PutOutputByte('a');
    EXPECT_EQ(d.WriteTraceReport("/nonexistent-k419-dir/K419.TRC", false, true), ecPathNotFound);
    EXPECT_FALSE(d.TraceOn());
}

// ---------------------------------------------------------------------------------------------
// Dispatch log

TEST(DispatcherLog, TimeTexts) {
    EXPECT_EQ(LogTimeText(1234), "0001.234");
    EXPECT_EQ(LogTimeText(0), "0000.000");
    EXPECT_EQ(LogTimeText(12345678), "12345.678");
    EXPECT_EQ(LogTimeText(4294967295u), "4294967.295");
}

TEST(DispatcherLog, ReportHeadingAndEntryLines) {
    struct Case {
        const char* what;
        uint8_t kind, subKind;
        uint32_t value;
        std::string data;
        bool hex;
        std::string line;
    } cases[] = {
        {"a sent byte", 1, 2, 1, "K", true, "0001.234  Dispatch  WriteCom      00000001  K"},
        {"no data", 2, 5, 13, "", true, "0001.234  Trigger   Avail         0000000D  "},
        {"hex data", 1, 1, 2, "\r\n", true, "0001.234  Dispatch  ReadCom       00000002  [0D][0A]"},
        {"decimal data", 1, 1, 2, "\r\n", false,
         "0001.234  Dispatch  ReadCom       00000002  [13][10]"},
        {"modem lines", 1, 4, 0x11, "x", true,
         "0001.234  Dispatch  Modem status  00000011  x (DCTS CTS)"},
        {"status trigger kind", 5, 15, 0x1B, "\x03", true,
         "0001.234  TrigAllc  Status        0000001B  (Output buffer free)"},
        {"option", 10, 0, 1, "", true, "0001.234  Telnet                  00000001  [Echo]"},
        {"handler", 7, 17, 0xABCDEF01, "", true, "0001.234  TrgHdAlc  Window        ABCDEF01  "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFile file("log");
        FakeDispatcher d;
        d.Now = 1000;
        ASSERT_EQ(d.Open(), 0);
        ASSERT_EQ(d.OpenLogBuffer(10000), 0);
        d.Now = 2234;
        d.AddLogEntry(c.kind, c.subKind, c.value, c.data.data(),
                      static_cast<uint32_t>(c.data.size()));
        ASSERT_EQ(d.WriteLogReport(file.path.c_str(), false, c.hex), 0);
        auto lines = file.Lines();
        ASSERT_EQ(lines.size(), 6u);
        EXPECT_EQ(lines[0], "K419 v2.55");
        EXPECT_EQ(lines[1], "Compiler : " + CompilerText());
        EXPECT_EQ(lines[2], "Operating system : " + SystemText());
        EXPECT_EQ(lines[3], "Time      Type      SubType       Data      OtherData");
        EXPECT_EQ(lines[4], "--------  --------  ------------  --------  ---------");
        EXPECT_EQ(lines[5], c.line);
        EXPECT_FALSE(d.LogOn());
    }
}

TEST(DispatcherLog, TheDispatcherLogsWhatItDoes) {
    TempFile file("log-activity");
    FakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    ASSERT_EQ(d.OpenLogBuffer(10000), 0);
    Recorder r;
    d.AddNotifyWindow(reinterpret_cast<HWND>(0x42));
    d.AddNotifyMethod(r.Method());
    d.SetAvailLevel(1);
    d.Arrive("hi");
    d.PutOutputByte('K');
    d.RemoveNotifyWindow(reinterpret_cast<HWND>(0x42));
    ASSERT_EQ(d.WriteLogReport(file.path.c_str(), false, true), 0);
    auto lines = file.Lines();
    std::vector<std::string> entries;
    for (size_t i = 5; i < lines.size(); ++i) entries.push_back(lines[i].substr(10));
    ASSERT_EQ(entries.size(), 7u);
    EXPECT_EQ(entries[0], "TrgHdAlc  Window        00000042  ");
    EXPECT_EQ(entries[1].substr(0, 24), "TrgHdAlc  Method        ");
    EXPECT_EQ(entries[2], "TrDatChg  Avail         00000001  ");
    EXPECT_EQ(entries[3], "Dispatch  ReadCom       00000002  hi");
    EXPECT_EQ(entries[4], "Trigger   Avail         00000002  ");
    EXPECT_EQ(entries[5], "Dispatch  WriteCom      00000001  K");
    EXPECT_EQ(entries[6], "TrgHdDsp  Window        00000042  ");
}

TEST(DispatcherLog, AFullLogDiscardsItsOldestWholeEntries) {
    TempFile file("log-wrap");
    FakeDispatcher d;
    ASSERT_EQ(d.OpenLogBuffer(100), 0);
    const std::string data = "0123456789";
    for (uint32_t value = 1; value <= 4; ++value) d.AddLogEntry(1, 1, value, data.data(), 10);
    d.AddLogEntry(1, 1, 99, std::string(85, 'x').data(), 85);  // larger than the whole log
    ASSERT_EQ(d.WriteLogReport(file.path.c_str(), false, true), 0);
    auto lines = file.Lines();
    ASSERT_EQ(lines.size(), 8u);
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(lines[5 + i], "0000.000  Dispatch  ReadCom       0000000" +
                                    std::to_string(i + 2) + "  0123456789");
}

TEST(DispatcherLog, LongDataContinuesUnderTheDataColumn) {
    TempFile file("log-long");
    FakeDispatcher d;
    ASSERT_EQ(d.OpenLogBuffer(1000), 0);
    d.AddLogEntry(1, 1, 70, std::string(70, '\x01').data(), 70);
    ASSERT_EQ(d.WriteLogReport(file.path.c_str(), false, true), 0);
    auto lines = file.Lines();
    ASSERT_EQ(lines.size(), 5u + 9u);
    std::string eight;
    for (int i = 0; i < 8; ++i) eight += "[01]";
    EXPECT_EQ(lines[5], "0000.000  Dispatch  ReadCom       00000046  " + eight);
    for (size_t i = 6; i < 13; ++i) EXPECT_EQ(lines[i], std::string(44, ' ') + eight);
    EXPECT_EQ(lines[13], std::string(44, ' ') + "[01][01][01][01][01][01]");
}

TEST(DispatcherLog, EmptyPausedAndUnwritable) {
    TempFile file("log-states");
    FakeDispatcher d;
    EXPECT_EQ(d.WriteLogReport(file.path.c_str(), false, true), 0);  // never started
    ASSERT_EQ(d.OpenLogBuffer(100), 0);
    EXPECT_EQ(d.WriteLogReport(file.path.c_str(), false, true), 0);  // empty
    EXPECT_FALSE(file.Exists());

    ASSERT_EQ(d.OpenLogBuffer(100), 0);
    d.AddLogEntry(1, 1, 1);
    d.PauseLog();
    d.AddLogEntry(1, 1, 2);               // ignored while paused
    ASSERT_EQ(d.OpenLogBuffer(5000), 0);  // empties, keeps the size and the pause
    EXPECT_FALSE(d.LogOn());
    d.ResumeLog();
    d.AddLogEntry(1, 1, 3);
    EXPECT_EQ(d.WriteLogReport("/nonexistent-k419-dir/K419.LOG", false, true), ecPathNotFound);
    EXPECT_FALSE(d.LogOn());
    ASSERT_EQ(d.WriteLogReport(file.path.c_str(), false, true), 0);  // the log was kept
    auto lines = file.Lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[5], "0000.000  Dispatch  ReadCom       00000003  ");
}

}  // namespace
