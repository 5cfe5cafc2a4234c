// The program's own options: values as the next argument or after "=", and the messages for
// what it cannot use.
#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <filesystem>

#include "PanelTestSupport.h"
#include "app/PlatformBridge.h"

namespace {

using k419::app::Options;
using k419::app::OutputFormat;
using k419::app::ParseOptions;

TEST(CommandLine, ReadsEveryOptionInBothSpellings) {
    Options o;
    EXPECT_EQ(ParseOptions({"--simulate", "--record", "a.csv", "--capture=b.bin", "--format=jsonl",
                            "--frames", "200", "--duration=2.5", "--port", "COM1=/dev/ttyUSB0",
                            "--port=com4=/dev/a=b", "--list-ports"},
                           o),
              std::nullopt);
    EXPECT_TRUE(o.listPorts);
    EXPECT_EQ(o.ports,
              (std::vector<std::pair<int, std::string>>{{1, "/dev/ttyUSB0"}, {4, "/dev/a=b"}}));
    EXPECT_TRUE(o.simulate);
    EXPECT_EQ(o.record, "a.csv");
    EXPECT_EQ(o.capture, "b.bin");
    EXPECT_EQ(o.format, OutputFormat::Jsonl);
    EXPECT_EQ(o.frames, 200u);
    EXPECT_EQ(o.duration, 2.5);
}

TEST(CommandLine, SaysWhatItCannotUse) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"--colour"}, "unknown option --colour"},
        {{"--record"}, "option --record needs a file name"},
        {{"--format", "xml"}, "option --format takes text, csv or jsonl"},
        {{"--frames", "0"}, "option --frames takes a number of frames above 0"},
        {{"--frames", "12x"}, "option --frames takes a number of frames above 0"},
        {{"--duration=-1"}, "option --duration takes a number of seconds above 0"},
        {{"--simulate=yes"}, "option --simulate takes no value"},
        {{"--port", "COM0=/dev/x"},
         "option --port takes COMn=PATH, for example --port COM1=/dev/ttyUSB0"},
        {{"--port", "LPT1=/dev/x"},
         "option --port takes COMn=PATH, for example --port COM1=/dev/ttyUSB0"},
        {{"--port", "COM1="},
         "option --port takes COMn=PATH, for example --port COM1=/dev/ttyUSB0"},
        {{"--port", "COM5=/dev/x"},
         "option --port takes COM1 to COM4 (the panel's ports), not COM5"},
    };
    for (const auto& c : cases) {
        Options o;
        EXPECT_EQ(ParseOptions(c.args, o), c.message) << c.args[0];
    }
}

// Qt's file dialog remembers folders and its layout in the user's configuration folder; the
// program stores nothing on disk.
TEST(StoreNoSettings, TheFileDialogLeavesNothingBehind) {
    const auto config =
        std::filesystem::temp_directory_path() / ("k419-config-" + std::to_string(::getpid()));
    std::filesystem::create_directories(config);
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    k419::test::App();
    k419::app::StoreNoSettings();
    { QFileDialog dialog; }
    EXPECT_TRUE(std::filesystem::is_empty(config));
    std::filesystem::remove_all(config);
}

}  // namespace
