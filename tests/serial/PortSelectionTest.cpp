// The port selection dialog's logic behind a scripted view, and port probing over
// pseudo-terminals.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <windows.h>

#include <set>

#include "platform/TestPty.h"
#include "serial/CommErrors.h"
#include "serial/PortSelection.h"

namespace {

struct ListView : TComSelectView {
    std::vector<std::string> Entries;
    int Selected = -2;  // never set
    int Result = mrOk;
    void AppendPort(const std::string& text) override { Entries.push_back(text); }
    void SetSelectedIndex(int index) override { Selected = index; }
    int ShowModal() override { return Result; }
    std::string SelectedText() const override {
        return Selected >= 0 && Selected < static_cast<int>(Entries.size()) ? Entries[Selected]
                                                                            : "";
    }
};

ListView& Listed(TComSelectForm& form) { return *static_cast<ListView*>(form.View()); }

TEST(ComSelectForm, ListsThePresentPortsAndSelectsTheFirst) {
    struct Case {
        std::set<int32_t> present;
        std::vector<std::string> listed;
        int selected;
    } cases[] = {
        {{1, 3}, {"COM1", "COM3"}, 0},
        {{12}, {"COM12"}, 0},
        {{}, {}, -1},
        {{50, 51, 200}, {"COM50"}, 0},  // nothing above COM50
    };
    for (const Case& c : cases) {
        std::vector<int32_t> probed;
        TComSelectForm form(std::make_unique<ListView>(), [&](int32_t n) {
            probed.push_back(n);
            return c.present.count(n) > 0;
        });
        EXPECT_EQ(Listed(form).Entries, c.listed);
        EXPECT_EQ(Listed(form).Selected, c.selected);
        ASSERT_EQ(probed.size(), 50u);
        EXPECT_EQ(probed.front(), 1);
        EXPECT_EQ(probed.back(), 50);
    }
}

TEST(ComSelectForm, TheChosenNumberIsReadFromTheEntryText) {
    struct Case {
        std::string entry;
        int32_t number;  // 0: not a number
        std::string message;
    } cases[] = {
        {"COM3", 3, ""},
        {"COM12", 12, ""},
        {"COM", 0, "'' is not a valid integer value"},
        {"", 0, "'' is not a valid integer value"},
        {"COMx1", 0, "'x1' is not a valid integer value"},
        {"COM99999999999", 0, "'99999999999' is not a valid integer value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        TComSelectForm form(std::make_unique<ListView>(), [](int32_t) { return false; });
        Listed(form).Entries = {c.entry};
        Listed(form).Selected = 0;
        if (c.number != 0) {
            EXPECT_EQ(form.SelectedPortNumber(), c.number);
            continue;
        }
        try {
            form.SelectedPortNumber();
            FAIL() << "no exception";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), c.message);
        }
    }
}

TEST(ComSelectForm, WithoutAViewTheDialogCountsAsCancelledAndProbesNothing) {
    SetComSelectViewFactory({});
    int probes = 0;
    TComSelectForm form([&](int32_t) { return ++probes, true; });
    EXPECT_EQ(form.View(), nullptr);
    EXPECT_EQ(form.ShowModal(), mrCancel);
    EXPECT_EQ(probes, 0);
    EXPECT_THROW(form.SelectedPortNumber(), Exception);
}

TEST(ComSelectForm, TheInstalledFactoryMakesTheView) {
    SetComSelectViewFactory([] {
        auto view = std::make_unique<ListView>();
        view->Result = mrAbort;
        return view;
    });
    TComSelectForm form([](int32_t n) { return n == 2; });
    SetComSelectViewFactory({});
    ASSERT_NE(form.View(), nullptr);
    EXPECT_EQ(Listed(form).Entries, std::vector<std::string>{"COM2"});
    EXPECT_EQ(form.ShowModal(), mrAbort);
    EXPECT_EQ(form.SelectedPortNumber(), 2);
}

TEST(PortExists, OpenablePortsAndHeldPortsArePresent) {
    TestPty free(41);
    TestPty held(42);
    setenv("K419_COM43", "/nonexistent/k419-tty", 1);
    EXPECT_TRUE(PortExists(41));
    EXPECT_TRUE(PortExists(41));  // the probe closed what it opened
    EXPECT_FALSE(PortExists(43));
    EXPECT_FALSE(PortExists(0));
    EXPECT_FALSE(PortExists(-4));

    HANDLE holder = CreateFileA(held.PortName(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(PortExists(42));
    // The probe did not take the port from its holder.
    HANDLE second = CreateFileA(held.PortName(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(holder);
    unsetenv("K419_COM43");
}

TEST(PortExists, AProbeLeavesATerminalThatAnotherProgramUsesAsItWas) {
    TestPty pty(44);
    const int other = ::open(pty.Path().c_str(), O_RDWR | O_NOCTTY);  // e.g. a shell's terminal
    ASSERT_GE(other, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(other, &before), 0);
    ASSERT_TRUE((before.c_lflag & (ICANON | ECHO)) && (before.c_iflag & (ICRNL | IXON)) &&
                (before.c_oflag & OPOST));  // a new terminal is cooked
    EXPECT_TRUE(PortExists(44));
    termios after{};
    ASSERT_EQ(tcgetattr(other, &after), 0);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    ::close(other);
}

}  // namespace
