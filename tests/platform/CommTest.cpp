// Serial devices over pseudo-terminals: opening, line settings, event waits, overlapped
// transfers, purging and a vanishing device.
#include <gtest/gtest.h>

#include "platform/PlatformHooks.h"
#include "platform/SerialPorts.h"
#include "platform/TestPty.h"
#include "windows.h"

#include <termios.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kOpenFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED;

HANDLE OpenPort(const char* name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, kOpenFlags,
                       nullptr);
}

// An open port with the engine's read time-outs (return at once with what has arrived) and
// an overlapped record with its own manual-reset event.
struct OpenDevice {
    explicit OpenDevice(const TestPty& pty) : handle(OpenPort(pty.PortName())) {
        if (handle == INVALID_HANDLE_VALUE) return;
        COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
        SetCommTimeouts(handle, &timeouts);
    }
    ~OpenDevice() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
    HANDLE handle;
};

struct Overlapped {
    Overlapped() { record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(record.hEvent); }
    OVERLAPPED record{};
};

double ProcessCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

std::string Pattern(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return data;
}

// Receives the way the engine does: wait for a receive event, then read until nothing is left.
// Returns early with what came if no event arrives for 10 s.
std::string Receive(HANDLE port, size_t size) {
    Overlapped ov;
    std::string received;
    while (received.size() < size) {
        DWORD mask = 0;
        if (!WaitCommEvent(port, &mask, &ov.record)) {
            if (GetLastError() != ERROR_IO_PENDING) break;
            if (WaitForSingleObject(ov.record.hEvent, 10000) != WAIT_OBJECT_0) break;
            DWORD unused = 0;
            if (!GetOverlappedResult(port, &ov.record, &unused, FALSE)) break;
        }
        char buffer[100];
        DWORD read = 0;
        do {
            if (!ReadFile(port, buffer, sizeof buffer, &read, &ov.record)) return received;
            received.append(buffer, read);
        } while (read > 0);
    }
    return received;
}

TEST(CommOpen, ErrorsFollowWin32) {
    char regularFile[] = "/tmp/k419-platform-XXXXXX";
    int fd = mkstemp(regularFile);
    ASSERT_GE(fd, 0);
    close(fd);
    setenv("K419_COM41", regularFile, 1);
    struct Case {
        const char* name;
        DWORD error;
    } cases[] = {
        {"/dev/k419-no-such-device", ERROR_FILE_NOT_FOUND},
        {"\\\\.\\COM41", ERROR_FILE_NOT_FOUND},  // mapped to a file that is no terminal
        {"\\\\.\\COM0", ERROR_FILE_NOT_FOUND},
        {"", ERROR_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(OpenPort(c.name), INVALID_HANDLE_VALUE) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
    unsetenv("K419_COM41");
    unlink(regularFile);
}

TEST(CommOpen, PortHeldElsewhereIsAccessDeniedUntilClosed) {
    TestPty pty(42);
    HANDLE first = OpenPort(pty.PortName());
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    // The same process counts as another holder: the lock belongs to the open description.
    for (const char* name : {pty.PortName(), pty.Path().c_str()}) {
        SetLastError(0);
        EXPECT_EQ(OpenPort(name), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    ASSERT_TRUE(CloseHandle(first));
    HANDLE again = OpenPort(pty.PortName());
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(CommOpen, PortNamesMapToDevicePaths) {
    // No serial device on this "system": only what the program and the environment give.
    k419::platform::ResetPortTableForTests("/nonexistent-k419-root");
    k419::platform::SetPortDevice(12, "/dev/given");
    setenv("K419_COM5", "/tmp/k419-mapped", 1);
    setenv("K419_COM12", "/tmp/k419-not-this", 1);
    struct Case {
        const char* name;
        const char* path;
    } cases[] = {
        {"\\\\.\\COM1", ""},          {"\\\\.\\COM12", "/dev/given"},
        {"com5", "/tmp/k419-mapped"}, {"\\\\.\\COM5", "/tmp/k419-mapped"},
        {"/dev/pts/7", "/dev/pts/7"}, {"\\\\.\\ttyUSB0", "/dev/ttyUSB0"},
        {"\\\\.\\COM0", ""},          {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(k419::platform::DevicePathForName(c.name), c.path) << c.name;
    unsetenv("K419_COM5");
    unsetenv("K419_COM12");
    k419::platform::ResetPortTableForTests("/");
}

TEST(CommState, LineSettingsReachTheTerminalAndReadBack) {
    TestPty pty(43);
    OpenDevice port(pty);
    ASSERT_NE(port.handle, INVALID_HANDLE_VALUE);
    struct Case {
        DWORD baud;
        BYTE byteSize;
        BYTE parity;
        BYTE stopBits;
        bool softwareFlow;
        bool hardwareFlow;
        tcflag_t cflagBits;  // expected among CSTOPB | CRTSCTS
    } cases[] = {
        {9600, 8, NOPARITY, ONESTOPBIT, false, false, 0},
        {19200, 7, EVENPARITY, TWOSTOPBITS, true, false, CSTOPB},
        {1200, 5, ODDPARITY, ONE5STOPBITS, false, true, CSTOPB | CRTSCTS},
        {115200, 6, MARKPARITY, ONESTOPBIT, true, true, CRTSCTS},
        {250000, 8, SPACEPARITY, ONESTOPBIT, false, false, 0},    // non-standard
        {31250, 8, NOPARITY, TWOSTOPBITS, false, false, CSTOPB},  // non-standard
    };
    // A pseudo-terminal keeps no data bits or parity (the kernel forces 8 bits, no parity),
    // so only the other fields can be checked on the terminal itself.
    const tcflag_t checked = CSTOPB | CRTSCTS;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port.handle, &dcb));
        dcb.BaudRate = c.baud;
        dcb.ByteSize = c.byteSize;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stopBits;
        dcb.fOutX = dcb.fInX = c.softwareFlow;
        dcb.XonChar = 0x11;
        dcb.XoffChar = static_cast<char>(0x13 + c.byteSize);
        dcb.fOutxCtsFlow = c.hardwareFlow;
        dcb.fRtsControl = c.hardwareFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
        dcb.XonLim = 409;
        dcb.XoffLim = 410;
        ASSERT_TRUE(SetCommState(port.handle, &dcb)) << GetLastError();

        DCB back{};
        ASSERT_TRUE(GetCommState(port.handle, &back));
        EXPECT_EQ(back.BaudRate, c.baud);
        EXPECT_EQ(back.ByteSize, c.byteSize);
        EXPECT_EQ(back.Parity, c.parity);
        EXPECT_EQ(back.StopBits, c.stopBits);
        EXPECT_EQ(back.fOutX, dcb.fOutX);
        EXPECT_EQ(back.fInX, dcb.fInX);
        EXPECT_EQ(back.XonChar, dcb.XonChar);
        EXPECT_EQ(back.XoffChar, dcb.XoffChar);
        EXPECT_EQ(back.fOutxCtsFlow, dcb.fOutxCtsFlow);
        EXPECT_EQ(back.fRtsControl, dcb.fRtsControl);
        EXPECT_EQ(back.XonLim, 409);
        EXPECT_EQ(back.XoffLim, 410);

        // What the terminal itself holds (the master side reports the slave's settings;
        // opening the slave again would be refused for non-root users).
        termios tio{};
        ASSERT_EQ(tcgetattr(pty.Master(), &tio), 0);
        EXPECT_EQ(tio.c_cflag & checked, c.cflagBits);
        EXPECT_EQ((tio.c_iflag & IXON) != 0, c.softwareFlow);
        EXPECT_EQ(tio.c_cc[VSTOP], static_cast<cc_t>(dcb.XoffChar));
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
        if (c.baud == 9600) {
            EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
        }
    }
}

TEST(CommState, InvalidSettingsAreRefusedAndLeaveTheLineAlone) {
    TestPty pty(44);
    OpenDevice port(pty);
    ASSERT_NE(port.handle, INVALID_HANDLE_VALUE);
    DCB good{};
    ASSERT_TRUE(GetCommState(port.handle, &good));
    good.BaudRate = 9600;
    good.ByteSize = 8;
    good.Parity = NOPARITY;
    good.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(port.handle, &good));
    struct Case {
        const char* what;
        void (*change)(DCB&);
    } cases[] = {
        {"9 data bits", [](DCB& d) { d.ByteSize = 9; }},
        {"4 data bits", [](DCB& d) { d.ByteSize = 4; }},
        {"parity code 5", [](DCB& d) { d.Parity = 5; }},
        {"stop bits code 3", [](DCB& d) { d.StopBits = 3; }},
        {"1.5 stop bits with 8 data bits", [](DCB& d) { d.StopBits = ONE5STOPBITS; }},
        {"2 stop bits with 5 data bits",
         [](DCB& d) {
             d.ByteSize = 5;
             d.StopBits = TWOSTOPBITS;
         }},
        {"baud 0", [](DCB& d) { d.BaudRate = 0; }},
        {"XON equal to XOFF",
         [](DCB& d) {
             d.fOutX = 1;
             d.XonChar = d.XoffChar = 0x11;
         }},
    };
    for (const Case& c : cases) {
        DCB bad = good;
        c.change(bad);
        SetLastError(0);
        EXPECT_FALSE(SetCommState(port.handle, &bad)) << c.what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.what;
        DCB now{};
        ASSERT_TRUE(GetCommState(port.handle, &now));
        EXPECT_EQ(now.BaudRate, 9600u) << c.what;
        EXPECT_EQ(now.ByteSize, 8) << c.what;
        EXPECT_EQ(now.StopBits, ONESTOPBIT) << c.what;
    }
}

TEST(CommState, ModemCallsDegradeOnPseudoTerminals) {
    TestPty pty(45);
    OpenDevice port(pty);
    ASSERT_NE(port.handle, INVALID_HANDLE_VALUE);
    for (DWORD function : {SETRTS, CLRRTS, SETDTR, CLRDTR, SETBREAK, CLRBREAK})
        EXPECT_TRUE(EscapeCommFunction(port.handle, function)) << function;
    EXPECT_FALSE(EscapeCommFunction(port.handle, GETBASEIRQ));
    DWORD status = 0xFFFF;
    EXPECT_TRUE(GetCommModemStatus(port.handle, &status));
    EXPECT_EQ(status, 0u);
}

TEST(CommEvents, ReceiveEventIsEdgeTriggeredAndEmptyMaskEndsTheWait) {
    TestPty pty(46);
    OpenDevice port(pty);
    ASSERT_NE(port.handle, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port.handle, EV_RXCHAR | EV_CTS | EV_DSR));
    Overlapped ov;
    DWORD mask = 0xDEAD;
    ASSERT_FALSE(WaitCommEvent(port.handle, &mask, &ov.record));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(port.handle, &ov.record, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    ASSERT_TRUE(pty.Write("abc"));
    ASSERT_EQ(WaitForSingleObject(ov.record.hEvent, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(port.handle, &ov.record, &bytes, TRUE));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));

    // The three bytes stay unread: the next wait must not complete for them again.
    mask = 0xDEAD;
    if (!WaitCommEvent(port.handle, &mask, &ov.record)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    } else {
        // The bytes may have landed in two steps; that second arrival is a new event.
        EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
        ASSERT_FALSE(WaitCommEvent(port.handle, &mask, &ov.record));
    }
    EXPECT_EQ(WaitForSingleObject(ov.record.hEvent, 200), WAIT_TIMEOUT);
    COMSTAT stat{};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port.handle, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 3u);

    // A new arrival completes it again.
    ASSERT_TRUE(pty.Write("d"));
    ASSERT_EQ(WaitForSingleObject(ov.record.hEvent, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(port.handle, &ov.record, &bytes, TRUE));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));

    // The empty mask ends a pending wait, reporting no event.
    ASSERT_FALSE(WaitCommEvent(port.handle, &mask, &ov.record));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(SetCommMask(port.handle, 0));
    ASSERT_EQ(WaitForSingleObject(ov.record.hEvent, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(port.handle, &ov.record, &bytes, TRUE));
    EXPECT_EQ(mask, 0u);
    // Waiting with an empty mask is refused, as on Win32.
    EXPECT_FALSE(WaitCommEvent(port.handle, &mask, &ov.record));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(CommEvents, AWaitingThreadReadsArrivalsItselfAndHandsInputBackWhenItLeaves) {
    TestPty pty(47);
    OpenDevice port(pty);
    ASSERT_NE(port.handle, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetupComm(port.handle, 16, 64));
    ASSERT_TRUE(SetCommMask(port.handle, EV_RXCHAR));
    Overlapped ov;
    DWORD mask = 0;
    DWORD bytes = 0;
    // Blocked in GetOverlappedResult: the arrival completes the wait on this thread.
    auto waitBlocked = [&](const std::string& arrival) {
        mask = 0;
        if (WaitCommEvent(port.handle, &mask, &ov.record)) return true;
        if (GetLastError() != ERROR_IO_PENDING) return false;
        std::thread far([&] {
            Sleep(20);
            pty.Write(arrival);
        });
        const BOOL done = GetOverlappedResult(port.handle, &ov.record, &bytes, TRUE);
        far.join();
        return done != FALSE;
    };
    ASSERT_TRUE(waitBlocked("abc"));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));

    // A wait nobody blocks in is served all the same once the blocked thread has left.
    mask = 0;
    ASSERT_FALSE(WaitCommEvent(port.handle, &mask, &ov.record));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(pty.Write("d"));
    ASSERT_EQ(WaitForSingleObject(ov.record.hEvent, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(port.handle, &ov.record, &bytes, FALSE));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
    char buffer[100];
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(port.handle, buffer, sizeof buffer, &read, &ov.record));
    EXPECT_EQ(std::string(buffer, read), "abcd");

    // More than the 16-byte queue: the blocked thread stops reading when the queue is full
    // and resumes when a read makes room; what stays in the kernel counts as waiting and a
    // read takes it from there, in order.
    const std::string data = Pattern(40);
    ASSERT_TRUE(waitBlocked(data));
    Sleep(50);
    COMSTAT stat{};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port.handle, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 40u);
    mask = 0;
    if (!WaitCommEvent(port.handle, &mask, &ov.record)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        std::string got;
        std::thread reader([&] {
            Sleep(20);
            DWORD n = 0;
            if (ReadFile(port.handle, buffer, 16, &n, nullptr)) got.assign(buffer, n);
        });
        EXPECT_TRUE(GetOverlappedResult(port.handle, &ov.record, &bytes, TRUE));
        reader.join();
        EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
        EXPECT_EQ(got, data.substr(0, 16));
        ASSERT_TRUE(ReadFile(port.handle, buffer, sizeof buffer, &read, &ov.record));
        EXPECT_EQ(got + std::string(buffer, read), data);
    } else {
        ADD_FAILURE() << "the queue's bytes were reported a second time";
    }

    // Bytes that arrive while nobody waits or reads are counted, and the next wait reports
    // them: they are new to the receive queue.
    ASSERT_TRUE(pty.Write("xyz"));
    Sleep(50);
    ASSERT_TRUE(ClearCommError(port.handle, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 3u);
    mask = 0;
    if (!WaitCommEvent(port.handle, &mask, &ov.record)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        ASSERT_EQ(WaitForSingleObject(ov.record.hEvent, 10000), WAIT_OBJECT_0);
        ASSERT_TRUE(GetOverlappedResult(port.handle, &ov.record, &bytes, FALSE));
    }
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
    ASSERT_TRUE(ReadFile(port.handle, buffer, sizeof buffer, &read, &ov.record));
    EXPECT_EQ(std::string(buffer, read), "xyz");
}

// The documented Win32 pattern, WaitCommEvent and then WaitForSingleObject on the record's
// event, gets a byte that waits in the kernel at once, even from the thread that blocked in
// GetOverlappedResult for the waits before (the device expects it to block again for a while:
// the hand-over's grace is made a minute long here, far beyond the test's limits).
TEST(CommEvents, AThreadSleepingOnTheEventGetsAWaitingByteAtOnce) {
    TestPty pty(47);
    OpenDevice port(pty);
    ASSERT_NE(port.handle, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port.handle, EV_RXCHAR));
    k419::platform::SetHandoverGraceForTests(port.handle, 60'000'000'000LL);
    Overlapped ov;
    DWORD mask = 0;
    DWORD bytes = 0;
    char buffer[16];
    DWORD read = 0;
    auto blockedWait = [&] {
        if (WaitCommEvent(port.handle, &mask, &ov.record)) return true;
        std::thread far([&] {
            Sleep(20);
            pty.Write("b");
        });
        const BOOL done = GetOverlappedResult(port.handle, &ov.record, &bytes, TRUE);
        far.join();
        return done && ReadFile(port.handle, buffer, sizeof buffer, &read, &ov.record);
    };
    // `sleeper` sleeps on the event of a wait this thread issued; a byte waits already.
    auto byteSeenBy = [&](auto sleeper) {
        mask = 0;
        if (WaitCommEvent(port.handle, &mask, &ov.record)) return false;  // nothing waited yet
        if (!pty.Write("w")) return false;
        Sleep(30);
        if (sleeper() != WAIT_OBJECT_0) return false;
        return GetOverlappedResult(port.handle, &ov.record, &bytes, FALSE) && mask == EV_RXCHAR &&
               ReadFile(port.handle, buffer, sizeof buffer, &read, &ov.record) && read == 1;
    };
    const auto thisThread = [&] { return WaitForSingleObject(ov.record.hEvent, 10000); };
    const auto anotherThread = [&] {
        DWORD result = WAIT_FAILED;
        std::thread([&] { result = WaitForSingleObject(ov.record.hEvent, 10000); }).join();
        return result;
    };
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(blockedWait());
    EXPECT_TRUE(byteSeenBy(thisThread));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(blockedWait());
    EXPECT_TRUE(byteSeenBy(anotherThread));
}

TEST(CommTransfer, SmallBlocksMoveBothWays) {
    TestPty pty(47);
    OpenDevice port(pty);
    ASSERT_NE(port.handle, INVALID_HANDLE_VALUE);
    Overlapped ov;
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port.handle, "\xAA\x01key", 5, &written, &ov.record));
    EXPECT_EQ(written, 5u);
    EXPECT_EQ(pty.Read(5), std::string("\xAA\x01key"));

    ASSERT_TRUE(SetCommMask(port.handle, EV_RXCHAR));
    ASSERT_TRUE(pty.Write("frame"));
    std::string received = Receive(port.handle, 5);
    EXPECT_EQ(received, "frame");
    // With nothing waiting, a read returns at once with no bytes.
    char buffer[4];
    DWORD read = 99;
    EXPECT_TRUE(ReadFile(port.handle, buffer, sizeof buffer, &read, &ov.record));
    EXPECT_EQ(read, 0u);
}

// Win32 keeps an operation's outcome in its record: callers that use a fresh record for every
// operation leave nothing behind in the layer, whether the operation completed at once or
// went pending first.
TEST(CommTransfer, FreshRecordsForEveryOperationLeaveNothingBehind) {
    TestPty pty(47);
    OpenDevice port(pty);
    ASSERT_NE(port.handle, INVALID_HANDLE_VALUE);
    const size_t handlesBefore = k419::platform::OpenHandlesForTests();
    std::vector<OVERLAPPED> records(100000);
    char buffer[8];
    for (size_t i = 0; i < records.size(); ++i) {
        OVERLAPPED& record = records[i];
        DWORD read = 99;
        if (i % 10000 == 0) {  // now and then a read that waits for its byte
            COMMTIMEOUTS wait{0, 0, 5000, 0, 0};
            ASSERT_TRUE(SetCommTimeouts(port.handle, &wait));
            ASSERT_FALSE(ReadFile(port.handle, buffer, 1, &read, &record));
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
            EXPECT_EQ(k419::platform::PendingOperationsForTests(port.handle), 1u);
            ASSERT_TRUE(pty.Write("k"));
            ASSERT_TRUE(GetOverlappedResult(port.handle, &record, &read, TRUE));
            ASSERT_EQ(read, 1u);
            COMMTIMEOUTS atOnce{MAXDWORD, 0, 0, 0, 0};
            ASSERT_TRUE(SetCommTimeouts(port.handle, &atOnce));
            continue;
        }
        ASSERT_TRUE(ReadFile(port.handle, buffer, sizeof buffer, &read, &record));
        ASSERT_EQ(read, 0u);
        ASSERT_TRUE(GetOverlappedResult(port.handle, &record, &read, FALSE));
    }
    EXPECT_EQ(k419::platform::PendingOperationsForTests(port.handle), 0u);
    EXPECT_EQ(k419::platform::OpenHandlesForTests(), handlesBefore);
}

TEST(CommTransfer, LargeWriteGoesPendingAndCompletes) {
    TestPty pty(48);
    OpenDevice port(pty);
    ASSERT_NE(port.handle, INVALID_HANDLE_VALUE);
    const std::string data = Pattern(1 << 20);
    Overlapped ov;
    DWORD written = 0;
    ASSERT_FALSE(
        WriteFile(port.handle, data.data(), static_cast<DWORD>(data.size()), &written, &ov.record));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    std::string received;
    std::thread reader([&] { received = pty.Read(data.size(), 30000); });
    ASSERT_TRUE(GetOverlappedResult(port.handle, &ov.record, &written, TRUE));
    reader.join();
    EXPECT_EQ(written, data.size());
    EXPECT_EQ(WaitForSingleObject(ov.record.hEvent, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(received == data);
}

TEST(CommTransfer, StreamLargerThanTheQueueArrivesIntactWithoutSpinning) {
    TestPty pty(49);
    OpenDevice port(pty);
    ASSERT_NE(port.handle, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetupComm(port.handle, 64, 64));  // forces the queue to fill and resume
    ASSERT_TRUE(SetCommMask(port.handle, EV_RXCHAR));
    const std::string data = Pattern(200000);
    std::thread writer([&] { pty.Write(data); });
    std::string received = Receive(port.handle, data.size());
    writer.join();
    EXPECT_TRUE(received == data);
}

TEST(CommPurge, ReceiveClearEmptiesTheInputAndTransmitAbortCancelsAWrite) {
    TestPty pty(50);
    OpenDevice port(pty);
    ASSERT_NE(port.handle, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port.handle, EV_RXCHAR));
    Overlapped ov;
    DWORD mask = 0;
    BOOL done = WaitCommEvent(port.handle, &mask, &ov.record);
    ASSERT_TRUE(pty.Write("stale input"));
    if (!done) {
        ASSERT_EQ(WaitForSingleObject(ov.record.hEvent, 10000), WAIT_OBJECT_0);
    }
    ASSERT_TRUE(PurgeComm(port.handle, PURGE_RXABORT | PURGE_RXCLEAR));
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port.handle, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    char buffer[32];
    DWORD read = 99;
    ASSERT_TRUE(ReadFile(port.handle, buffer, sizeof buffer, &read, &ov.record));
    EXPECT_EQ(read, 0u);

    // Nobody reads the far end, so a large write stays pending until it is aborted.
    const std::string data = Pattern(1 << 20);
    DWORD written = 0;
    ASSERT_FALSE(
        WriteFile(port.handle, data.data(), static_cast<DWORD>(data.size()), &written, &ov.record));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(ClearCommError(port.handle, nullptr, &stat));
    EXPECT_GT(stat.cbOutQue, 0u);
    ASSERT_TRUE(PurgeComm(port.handle, PURGE_TXABORT | PURGE_TXCLEAR));
    EXPECT_FALSE(GetOverlappedResult(port.handle, &ov.record, &written, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_LT(written, data.size());
    EXPECT_FALSE(PurgeComm(port.handle, 0x10));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(CommPurge, ReceiveClearAlsoDiscardsWhatOnlyTheKernelHolds) {
    // No read or wait is pending, so the bytes stay in the kernel's queue.
    TestPty pty(51);
    OpenDevice port(pty);
    ASSERT_NE(port.handle, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(pty.Write("stale input"));
    // The terminal hands written bytes to the reading side asynchronously; nothing signals it.
    COMSTAT stat{};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (ClearCommError(port.handle, nullptr, &stat) && stat.cbInQue < 11 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    ASSERT_EQ(stat.cbInQue, 11u);
    ASSERT_TRUE(PurgeComm(port.handle, PURGE_RXCLEAR));
    ASSERT_TRUE(ClearCommError(port.handle, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    Overlapped ov;
    char buffer[32];
    DWORD read = 99;
    ASSERT_TRUE(ReadFile(port.handle, buffer, sizeof buffer, &read, &ov.record));
    EXPECT_EQ(read, 0u);
}

TEST(CommHangup, VanishedDeviceEndsTheWaitFailsLaterCallsAndStaysIdle) {
    TestPty pty(51);
    OpenDevice port(pty);
    ASSERT_NE(port.handle, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port.handle, 0x21F9));
    Overlapped ov;
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(port.handle, &mask, &ov.record));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    pty.CloseMaster();
    ASSERT_EQ(WaitForSingleObject(ov.record.hEvent, 10000), WAIT_OBJECT_0);
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(port.handle, &ov.record, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));

    // A new wait fails through its completion, so a loop that waits again after every
    // immediate failure cannot spin.
    EXPECT_FALSE(WaitCommEvent(port.handle, &mask, &ov.record));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(ov.record.hEvent, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(GetOverlappedResult(port.handle, &ov.record, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    char buffer[8];
    EXPECT_FALSE(ReadFile(port.handle, buffer, sizeof buffer, &bytes, &ov.record));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_FALSE(WriteFile(port.handle, "x", 1, &bytes, &ov.record));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));

    // No thread may keep polling the dead device.
    double before = ProcessCpuMs();
    Sleep(300);
    EXPECT_LT(ProcessCpuMs() - before, 60.0);
    EXPECT_TRUE(CloseHandle(port.handle));
    port.handle = INVALID_HANDLE_VALUE;
}

TEST(CommClose, ClosingEndsAWaitThatAnotherThreadIsBlockedIn) {
    TestPty pty(52);
    HANDLE port = OpenPort(pty.PortName());
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    Overlapped ov;
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov.record));
    HANDLE started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL result = TRUE;
    DWORD error = 0;
    std::thread waiter([&] {
        SetEvent(started);
        DWORD bytes = 0;
        result = GetOverlappedResult(port, &ov.record, &bytes, TRUE);
        error = GetLastError();
    });
    ASSERT_EQ(WaitForSingleObject(started, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(CloseHandle(port));
    waiter.join();
    EXPECT_FALSE(result);
    // Either the close ended the wait, or the handle was already gone when it looked.
    EXPECT_TRUE(error == ERROR_OPERATION_ABORTED || error == ERROR_INVALID_HANDLE) << error;
    CloseHandle(started);
}

}  // namespace
