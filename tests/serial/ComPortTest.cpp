// The port component over a scripted dispatcher: properties and their setter rules, the flow
// threshold repair, the open and close sequences, operations on closed ports, loading, Assign,
// port users, trace and log control, and the events raised by the notification window.
// Notifications from the scripted dispatcher reach the window on the test's own thread, so
// every delivery here is synchronous.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "DispatcherFake.h"
#include "PosixStandIns.h"
#include "PortTestSupport.h"
#include "serial/CommErrors.h"
#include "serial/ComPort.h"
#include "serial/PortSelection.h"

namespace {

namespace fs = std::filesystem;

class PortFake : public FakeDispatcher {
  public:
    using FakeDispatcher::FakeDispatcher;
    intptr_t OpenDevice(const char* name, uint32_t inSize, uint32_t outSize) override {
        OpenedName = name;
        return FakeDispatcher::OpenDevice(name, inSize, outSize);
    }
    std::string OpenedName;
};

// Records what the application's exception handler is given while it lives.
struct HandlerCapture {
    std::vector<std::string> Messages;
    HandlerCapture() {
        SetApplicationExceptionHandler(
            [this](const std::exception& e) { Messages.push_back(e.what()); });
    }
    ~HandlerCapture() { SetApplicationExceptionHandler({}); }
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class ComPortTest : public testing::Test {
  protected:
    void SetUp() override {
        port.SetComNumber(1);
        port.SetDispatcherFactory([this](TCustomComPort& owner) {
            auto d = std::make_unique<PortFake>(&owner);
            ++builds;
            if (prepare) prepare(*d);
            return std::unique_ptr<TBaseDispatcher>(std::move(d));
        });
    }
    PortFake& Fake() {
        auto* d = dynamic_cast<PortFake*>(port.Dispatcher());
        if (!d) throw std::runtime_error("the port is not open");
        return *d;
    }
    // The front panel's stored settings.
    void ApplyFormSettings() { ApplyFrontPanelSettings(port); }
    fs::path TempDir() { return dirs.Make(); }
    TestDirs dirs{"k419-adport-"};

    TComPort port;
    int builds = 0;
    std::function<void(PortFake&)> prepare;
};

TEST_F(ComPortTest, ConstructorSetsTheDefaults) {
    TComPort p;
    EXPECT_EQ(p.DeviceLayer(), dlWin32);
    EXPECT_EQ(p.ComNumber(), 0);
    EXPECT_EQ(p.Baud(), 19200);
    EXPECT_TRUE(p.PromptForPort());
    EXPECT_EQ(p.Parity(), pNone);
    EXPECT_EQ(p.DataBits(), 8);
    EXPECT_EQ(p.StopBits(), 1);
    EXPECT_EQ(p.InSize(), 4096);
    EXPECT_EQ(p.OutSize(), 4096);
    EXPECT_TRUE(p.AutoOpen());
    EXPECT_FALSE(p.Open());
    EXPECT_TRUE(p.DTR());
    EXPECT_TRUE(p.RTS());
    EXPECT_EQ(p.HWFlowOptions(), 0u);
    EXPECT_EQ(p.SWFlowOptions(), swfNone);
    EXPECT_EQ(p.XOnChar(), 17);
    EXPECT_EQ(p.XOffChar(), 19);
    EXPECT_EQ(p.BufferFull(), 0);
    EXPECT_EQ(p.BufferResume(), 0);
    EXPECT_EQ(p.Tracing(), tlOff);
    EXPECT_EQ(p.TraceSize(), 10000u);
    EXPECT_EQ(p.TraceName(), "K419.TRC");
    EXPECT_TRUE(p.TraceHex());
    EXPECT_EQ(p.Logging(), tlOff);
    EXPECT_EQ(p.LogSize(), 10000u);
    EXPECT_EQ(p.LogName(), "K419.LOG");
    EXPECT_TRUE(p.LogHex());
    EXPECT_TRUE(p.UseMSRShadow());
    EXPECT_TRUE(p.UseEventWord());
    EXPECT_EQ(p.CommNotificationLevel(), 10);
    EXPECT_EQ(p.TapiMode(), tmAuto);
    EXPECT_FALSE(p.RS485Mode());
    EXPECT_EQ(p.AvailTriggerLevel(), 1);
    EXPECT_EQ(p.PortState(), psClosed);
    EXPECT_EQ(p.Dispatcher(), nullptr);
    EXPECT_EQ(p.EventWindow(), nullptr);
    EXPECT_EQ(p.EngineVersion(), "v2.55");
    p.SetEngineVersion("v9");
    EXPECT_EQ(p.EngineVersion(), "v2.55");
}

TEST_F(ComPortTest, OnlyTheWin32LayerIsAcceptedAndUseMSRShadowStaysTrue) {
    for (auto layer : {dlWinsock, dlWin16, dlFossil, static_cast<TDeviceLayer>(9)}) {
        port.SetDeviceLayer(layer);
        EXPECT_EQ(port.DeviceLayer(), dlWin32);
    }
    port.SetUseMSRShadow(false);
    EXPECT_TRUE(port.UseMSRShadow());
}

TEST_F(ComPortTest, FlowThresholdsAreRepairedFromInSize) {
    struct Case {
        const char* name;
        std::function<void(TComPort&)> act;
        uint16_t full, resume;
    } cases[] = {
        {"BufferFull above InSize", [](TComPort& p) { p.SetBufferFull(5000); }, 3686, 0},
        {"BufferFull equal to InSize", [](TComPort& p) { p.SetBufferFull(4096); }, 4096, 0},
        {"BufferResume above BufferFull",
         [](TComPort& p) {
             p.SetBufferFull(3686);
             p.SetBufferResume(4000);
         },
         3686, 368},
        {"hardware flow with no thresholds", [](TComPort& p) { p.SetHWFlowOptions(hwfUseRTS); },
         3686, 409},
        {"software flow with no thresholds", [](TComPort& p) { p.SetSWFlowOptions(swfBoth); }, 3072,
         1024},
        {"software flow keeps usable thresholds",
         [](TComPort& p) {
             p.SetBufferFull(2000);
             p.SetBufferResume(100);
             p.SetSWFlowOptions(swfReceive);
         },
         2000, 100},
        {"hardware flow repairs only what is unusable",
         [](TComPort& p) {
             p.SetBufferFull(1000);
             p.SetHWFlowOptions(hwfUseDTR);
         },
         1000, 409},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TComPort p;
        c.act(p);
        EXPECT_EQ(p.BufferFull(), c.full);
        EXPECT_EQ(p.BufferResume(), c.resume);
    }
}

TEST_F(ComPortTest, RtsFlowSwitchesRs485OffAndRs485StripsRtsFlow) {
    port.SetRS485Mode(true);
    port.SetHWFlowOptions(hwfUseRTS);
    EXPECT_FALSE(port.RS485Mode());

    port.SetHWFlowOptions(hwfUseDTR | hwfUseRTS | hwfRequireCTS);
    port.SetRS485Mode(true);
    EXPECT_EQ(port.HWFlowOptions(), hwfUseDTR);
    EXPECT_FALSE(port.RTS());
    EXPECT_TRUE(port.RS485Mode());
}

TEST_F(ComPortTest, SoftwareFlowModesPassTheirFlowWordDown) {
    struct Case {
        TSWFlowOptions mode;
        uint32_t dcbBits;
    } cases[] = {{swfReceive, dcbInX}, {swfTransmit, dcbOutX}, {swfBoth, dcbInX | dcbOutX}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.mode));
        TComPort p;
        p.SetComNumber(1);
        p.SetDispatcherFactory([](TCustomComPort& o) { return std::make_unique<PortFake>(&o); });
        p.SetOpen(true);
        auto& d = dynamic_cast<PortFake&>(*p.Dispatcher());
        p.SetSWFlowOptions(c.mode);
        EXPECT_EQ(DcbFlags(d.Dcb) & (dcbInX | dcbOutX), c.dcbBits);
        p.SetSWFlowOptions(swfNone);
        EXPECT_EQ(DcbFlags(d.Dcb) & (dcbInX | dcbOutX), 0u);
    }
}

TEST_F(ComPortTest, FlowCharactersSurviveSoftwareFlowChanges) {
    port.SetXOnChar('A');
    port.SetXOffChar('B');
    port.SetSWFlowOptions(swfBoth);
    port.SetOpen(true);
    EXPECT_EQ(Fake().Dcb.XonChar, 'A');  // applied after the open's software flow
    EXPECT_EQ(Fake().Dcb.XoffChar, 'B');
    // Each change re-applies the software flow, which resets the line's characters.
    const std::pair<const char*, std::function<void()>> changes[] = {
        {"SWFlowOptions", [&] { port.SetSWFlowOptions(swfReceive); }},
        {"BufferFull", [&] { port.SetBufferFull(3000); }},
        {"BufferResume", [&] { port.SetBufferResume(500); }},
    };
    for (const auto& [name, change] : changes) {
        SCOPED_TRACE(name);
        change();
        EXPECT_EQ(Fake().Dcb.XonChar, 'A');
        EXPECT_EQ(Fake().Dcb.XoffChar, 'B');
    }
}

TEST_F(ComPortTest, HardwareFlowReachesTheLineAndARefusedSetIsNotStored) {
    ApplyFormSettings();
    port.SetOpen(true);
    port.SetHWFlowOptions(hwfUseRTS);
    EXPECT_EQ(Fake().Dcb.XoffLim, 410);
    EXPECT_EQ(Fake().Dcb.XonLim, 409);
    EXPECT_EQ(DcbFlags(Fake().Dcb) & dcbRtsToggle, dcbRtsHandshake);

    // A larger InSize is not the open driver's queue: thresholds repaired from it are refused.
    port.SetHWFlowOptions(0);
    port.SetBufferResume(0);
    port.SetBufferFull(0);
    port.SetInSize(8000);
    EXPECT_THROW(port.SetHWFlowOptions(hwfUseDTR), EBadArgument);
    EXPECT_EQ(port.HWFlowOptions(), 0u);
    EXPECT_EQ(port.BufferFull(), 7200);  // the repair stays
}

TEST_F(ComPortTest, LineLevelsAreKeptOnlyWhenTheDispatcherAppliedThem) {
    port.SetOpen(true);
    port.SetDTR(false);
    EXPECT_FALSE(port.DTR());
    EXPECT_EQ(Fake().LineCalls.back(), CLRDTR);
    port.SetHWFlowOptions(hwfUseDTR);  // flow control now owns DTR
    port.SetDTR(true);
    EXPECT_FALSE(port.DTR());
}

TEST_F(ComPortTest, LineFormatIsStoredEvenWhenTheDispatcherRefusesIt) {
    port.SetOpen(true);
    port.SetBaud(9600);
    EXPECT_EQ(Fake().Dcb.BaudRate, 9600u);
    EXPECT_THROW(port.SetDataBits(12), EBadArgument);
    EXPECT_EQ(port.DataBits(), 12);
    EXPECT_THROW(port.SetParity(static_cast<TParity>(pSpace + 1)), EBadArgument);
    EXPECT_EQ(port.Parity(), pNone);
    port.SetDataBits(8);
    port.SetParity(pSpace);
    EXPECT_EQ(port.Parity(), pSpace);
    EXPECT_EQ(Fake().Dcb.Parity, SPACEPARITY);
}

TEST_F(ComPortTest, TraceAndLogSizesAreLimited) {
    port.SetTraceSize(5000000);
    EXPECT_EQ(port.TraceSize(), 4000000u);
    port.SetLogSize(20000000);
    EXPECT_EQ(port.LogSize(), 16000000u);
    port.SetTraceName(std::string(300, 'x'));
    EXPECT_EQ(port.TraceName().size(), 255u);
    // Cut before a character that would not fit whole.
    port.SetLogName(std::string(254, 'x') + "\xD0\x9E");
    EXPECT_EQ(port.LogName(), std::string(254, 'x'));
}

TEST_F(ComPortTest, TracingOnAClosedPortKeepsOnlyOnAndOff) {
    struct Case {
        TTraceLogState set, stored;
    } cases[] = {{tlDump, tlOff},  {tlAppend, tlOff}, {tlClear, tlOff},
                 {tlPause, tlOff}, {tlOn, tlOn},      {tlOff, tlOff}};
    for (const Case& c : cases) {
        TComPort p;
        p.SetTracing(tlOn);
        p.SetTracing(c.set);
        EXPECT_EQ(p.Tracing(), c.stored) << int(c.set);
        p.SetLogging(tlOn);
        p.SetLogging(c.set);
        EXPECT_EQ(p.Logging(), c.stored) << int(c.set);
    }
    EXPECT_EQ(builds, 0);

    port.SetTracing(tlOn);
    port.SetLogging(tlOn);
    port.SetOpen(true);
    EXPECT_TRUE(Fake().TraceOn());
    EXPECT_TRUE(Fake().LogOn());
}

TEST_F(ComPortTest, TracingStateMachineOnAnOpenPort) {
    port.SetOpen(true);
    port.SetTracing(tlOn);
    EXPECT_TRUE(Fake().TraceOn());
    port.SetTracing(tlPause);
    EXPECT_EQ(port.Tracing(), tlPause);
    EXPECT_FALSE(Fake().TraceOn());
    port.SetTracing(tlClear);
    EXPECT_EQ(port.Tracing(), tlPause);
    port.SetTracing(tlOn);
    EXPECT_EQ(port.Tracing(), tlOn);
    EXPECT_TRUE(Fake().TraceOn());

    // A new size restarts a running trace; a paused one ends.
    port.SetTraceSize(20);
    EXPECT_EQ(port.Tracing(), tlOn);
    EXPECT_TRUE(Fake().TraceOn());
    port.SetTracing(tlPause);
    port.SetTraceSize(30);
    EXPECT_EQ(port.Tracing(), tlOff);
    EXPECT_FALSE(Fake().TraceOn());
    port.SetTracing(tlPause);  // nothing to pause
    EXPECT_EQ(port.Tracing(), tlOff);
}

// tlClear empties a running trace or log and leaves it on; tlOff ends it.
TEST_F(ComPortTest, ClearAndOffOfARunningTraceAndLogOnAnOpenPort) {
    port.SetOpen(true);
    port.SetTracing(tlOn);
    port.SetLogging(tlOn);
    port.SendByte('K');  // one trace entry and one log entry
    ASSERT_NE(Fake().Trace.TraceIndex(), 0u);
    ASSERT_FALSE(Fake().Log.Empty());

    port.SetTracing(tlClear);
    port.SetLogging(tlClear);
    EXPECT_EQ(port.Tracing(), tlOn);
    EXPECT_EQ(port.Logging(), tlOn);
    EXPECT_EQ(Fake().Trace.TraceIndex(), 0u);
    EXPECT_TRUE(Fake().Log.Empty());
    EXPECT_TRUE(Fake().TraceOn());
    EXPECT_TRUE(Fake().LogOn());
    port.SendByte('K');  // still recorded
    EXPECT_NE(Fake().Trace.TraceIndex(), 0u);
    EXPECT_FALSE(Fake().Log.Empty());

    port.SetTracing(tlOff);
    port.SetLogging(tlOff);
    EXPECT_EQ(port.Tracing(), tlOff);
    EXPECT_EQ(port.Logging(), tlOff);
    EXPECT_FALSE(Fake().TraceOn());
    EXPECT_FALSE(Fake().LogOn());
    EXPECT_FALSE(Fake().Trace.HasBuffer());
    EXPECT_FALSE(Fake().Log.HasBuffer());
}

TEST_F(ComPortTest, AFailedDumpLeavesTheStateUnchanged) {
    port.SetOpen(true);
    port.SetTraceName((TempDir() / "missing" / "trace.txt").string());
    port.SetTracing(tlOn);
    port.SendByte('K');
    EXPECT_THROW(port.SetTracing(tlDump), EInOutError);
    EXPECT_EQ(port.Tracing(), tlOn);
}

TEST_F(ComPortTest, OpenTwiceOpensOnceAndClosingAClosedPortDoesNothing) {
    port.SetOpen(false);
    EXPECT_EQ(port.PortState(), psClosed);
    port.SetOpen(true);
    port.SetOpen(true);
    EXPECT_EQ(builds, 1);
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(port.PortState(), psOpen);
    EXPECT_EQ(Fake().OpenedName, "\\\\.\\COM1");
    EXPECT_NE(port.EventWindow(), nullptr);
    port.SetOpen(false);
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_EQ(port.Dispatcher(), nullptr);
    EXPECT_EQ(port.EventWindow(), nullptr);
}

TEST_F(ComPortTest, ReadingOperationsOnAClosedPortNeverOpenIt) {
    EXPECT_EQ(port.InputCount(), 0);
    EXPECT_EQ(port.LastLineError(), 0);
    EXPECT_FALSE(port.LineBreakSeen());
    port.ReadBlock(nullptr, 0);
    EXPECT_EQ(builds, 0);
    EXPECT_EQ(port.PortState(), psClosed);
}

TEST_F(ComPortTest, OperationsThatNeedTheDispatcherOpenTheClosedPort) {
    struct Case {
        const char* name;
        std::function<void(TComPort&)> act;
    } cases[] = {
        {"DiscardInput", [](TComPort& p) { p.DiscardInput(); }},
        {"SendByte", [](TComPort& p) { p.SendByte('K'); }},
        {"YieldToDevice", [](TComPort& p) { p.YieldToDevice(); }},
        {"BeginTrace", [](TComPort& p) { p.BeginTrace(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        port.SetOpen(false);
        port.SetAutoOpen(false);
        EXPECT_THROW(c.act(port), ECommNotOpen);
        EXPECT_EQ(port.PortState(), psClosed);
        port.SetAutoOpen(true);
        c.act(port);
        EXPECT_EQ(port.PortState(), psOpen);
    }
}

TEST_F(ComPortTest, AutoOpenRaisesTheOpenFailure) {
    prepare = [](PortFake& d) {
        d.OpenResult = -1;
        d.OpenError = ERROR_FILE_NOT_FOUND;
    };
    EXPECT_THROW(port.DiscardInput(), EBadId);
    EXPECT_EQ(port.PortState(), psClosed);
}

TEST_F(ComPortTest, ReadBlockTakesExactlyTheCountOrNothing) {
    port.SetOpen(true);
    Fake().Arrive("abc");
    EXPECT_EQ(port.InputCount(), 3);
    char buffer[8] = {};
    try {
        port.ReadBlock(buffer, 4);
        FAIL() << "no exception";
    } catch (const EBufferIsEmpty& e) {
        EXPECT_EQ(e.ResultCode(), -3007);
        EXPECT_STREQ(e.what(), "Buffer is empty");
    }
    EXPECT_EQ(port.InputCount(), 3);
    port.ReadBlock(buffer, 0);
    EXPECT_EQ(port.InputCount(), 3);
    EXPECT_THROW(port.ReadBlock(nullptr, 2), EBadArgument);
    port.ReadBlock(buffer, 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    EXPECT_EQ(port.InputCount(), 0);

    Fake().Arrive("xyz");
    port.DiscardInput();
    EXPECT_EQ(port.InputCount(), 0);
}

TEST_F(ComPortTest, OpenFailuresBecomeTheComponentsExceptionsAndLeaveThePortClosed) {
    struct Case {
        DWORD error;
        int32_t code;
        const char* message;
    } cases[] = {
        {ERROR_FILE_NOT_FOUND, -2001, "ie_BadId - Specified comport doesn't exist"},
        {ERROR_PATH_NOT_FOUND, -2001, "ie_BadId - Specified comport doesn't exist"},
        {ERROR_ACCESS_DENIED, -2008, "ie_Open - device already open"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        prepare = [&](PortFake& d) {
            d.OpenResult = -1;
            d.OpenError = c.error;
        };
        try {
            port.SetOpen(true);
            FAIL() << "no exception";
        } catch (const ECommException& e) {
            EXPECT_EQ(e.ResultCode(), c.code);
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_EQ(port.PortState(), psClosed);
        EXPECT_FALSE(port.Open());
        EXPECT_EQ(port.Dispatcher(), nullptr);
        EXPECT_EQ(port.EventWindow(), nullptr);
    }
    // Any other reason is raised as it is.
    prepare = [](PortFake& d) {
        d.OpenResult = -1;
        d.OpenError = ERROR_GEN_FAILURE;
    };
    EXPECT_THROW(port.SetOpen(true), EInOutError);
}

TEST_F(ComPortTest, AFailureLateInTheOpenUndoesIt) {
    // Thresholds the driver's queue cannot hold fail the flow step after the device opened.
    port.SetBufferFull(100);
    port.SetBufferResume(50);
    port.SetInSize(10);
    EXPECT_THROW(port.SetOpen(true), EBadArgument);
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_EQ(port.Dispatcher(), nullptr);
    EXPECT_EQ(port.EventWindow(), nullptr);
    EXPECT_FALSE(port.Open());
}

// A view that answers as the user would.
struct ScriptedView : TComSelectView {
    std::vector<std::string>* Ports;
    int Result;
    std::string Text;
    ScriptedView(std::vector<std::string>* ports, int result, std::string text)
        : Ports(ports), Result(result), Text(std::move(text)) {}
    void AppendPort(const std::string& text) override { Ports->push_back(text); }
    void SetSelectedIndex(int) override {}
    int ShowModal() override { return Result; }
    std::string SelectedText() const override { return Text; }
};

// Maps COM1 to COM50 to a path that does not exist, so that the dialog's probes touch no
// real device.
struct NoSerialPorts {
    NoSerialPorts() {
        for (int n = 1; n <= 50; ++n)
            setenv(("K419_COM" + std::to_string(n)).c_str(), "/nonexistent/k419-none", 1);
    }
    ~NoSerialPorts() {
        for (int n = 1; n <= 50; ++n) unsetenv(("K419_COM" + std::to_string(n)).c_str());
    }
};

TEST_F(ComPortTest, ANumberlessOpenAsksForThePortOrFails) {
    NoSerialPorts noPorts;
    port.SetComNumber(0);
    port.SetPromptForPort(false);
    EXPECT_THROW(port.SetOpen(true), ENoPortSelected);

    port.SetPromptForPort(true);
    try {
        port.SetOpen(true);  // no view: the dialog counts as cancelled
        FAIL() << "no exception";
    } catch (const ENoPortSelected& e) {
        EXPECT_STREQ(e.what(), "The ComNumber property of the TComPort has not been set");
    }
    EXPECT_EQ(builds, 0);

    std::vector<std::string> listed;
    struct Answer {
        int result;
        const char* text;
    };
    auto answer = [&](Answer a) {
        SetComSelectViewFactory(
            [&listed, a] { return std::make_unique<ScriptedView>(&listed, a.result, a.text); });
    };
    answer({mrAbort, "COM7"});
    EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
    answer({mrNone, "COM7"});
    EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
    answer({mrOk, ""});  // OK on an empty list: the runtime's conversion error
    try {
        port.SetOpen(true);
        FAIL() << "no exception";
    } catch (const ECommException& e) {
        ADD_FAILURE() << "not the conversion error: " << e.what();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "'' is not a valid integer value");
    }
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_EQ(port.ComNumber(), 0);

    answer({mrOk, "COM7"});
    port.SetOpen(true);
    SetComSelectViewFactory({});
    EXPECT_EQ(port.ComNumber(), 7);
    EXPECT_EQ(Fake().OpenedName, "\\\\.\\COM7");
}

TEST_F(ComPortTest, TelephonyModeWithoutAHandedOverDeviceFails) {
    port.SetTapiMode(tmOn);
    port.SetComNumber(0);  // the port number is not needed in this mode
    try {
        port.SetOpen(true);
        FAIL() << "no exception";
    } catch (const ENotOpenedByTapi& e) {
        EXPECT_STREQ(e.what(), "Comport was not opened by Tapi");
    }
    EXPECT_EQ(port.Dispatcher(), nullptr);
}

TEST_F(ComPortTest, OpenedPortReceivesTheConfiguration) {
    ApplyFormSettings();
    port.SetUseEventWord(false);
    port.SetOpen(true);
    PortFake& d = Fake();
    EXPECT_EQ(d.Dcb.BaudRate, 9600u);
    EXPECT_EQ(d.Dcb.ByteSize, 8);
    EXPECT_EQ(d.InQueueSize, 4096u);
    EXPECT_EQ(d.AvailLevel(), 1u);
    EXPECT_EQ(d.OptionBits & UseEventWordBit, 0u);
    EXPECT_EQ(d.LineCalls.back(), CLRRTS);
    port.SetUseEventWord(true);
    EXPECT_EQ(d.OptionBits & UseEventWordBit, UseEventWordBit);
}

TEST_F(ComPortTest, DeliveryFollowsTheAssignedEvents) {
    port.SetOpen(true);
    EXPECT_FALSE(Fake().EventsAssigned);
    port.SetOnTrigger([](TObject*, uint16_t, uint16_t, uint16_t) {});
    EXPECT_TRUE(Fake().EventsAssigned);
    port.SetOnTriggerOutSent([](TObject*) {});
    port.SetOnTrigger({});
    EXPECT_TRUE(Fake().EventsAssigned);
    port.SetOnTriggerOutSent({});
    port.SetOnWaitChar([](TObject*, char) {});  // does not count
    EXPECT_FALSE(Fake().EventsAssigned);
}

struct Event {
    uint16_t Msg, Handle, Data;
};

TEST_F(ComPortTest, AssigningTheFirstEventAnnouncesWhatArrivedWhileNobodyListened) {
    port.SetOpen(true);
    int wakes = 0;
    Fake().WakeForPeriodicCheck = [&] { ++wakes; };
    Fake().Arrive(std::string(DispatchBufferSize + 50, 'x'));  // a full buffer, heard by nobody
    std::vector<uint16_t> announced;
    port.SetOnTrigger([&](TObject*, uint16_t msg, uint16_t, uint16_t count) {
        if (msg != TriggerAvailMsg) return;
        announced.push_back(count);
        std::string bytes(count, '\0');
        port.ReadBlock(bytes.data(), count);
    });
    EXPECT_EQ(wakes, 1);
    Fake().RecheckReceivedData();  // what the woken dispatch thread does
    EXPECT_EQ(announced, (std::vector<uint16_t>{DispatchBufferSize, 50}));
    EXPECT_EQ(port.InputCount(), 0);
}

TEST_F(ComPortTest, AvailNotificationsRaiseOnTriggerThenOnTriggerAvail) {
    std::vector<Event> events;
    std::vector<uint16_t> avail;
    uint16_t left = 0;
    TObject* sender = nullptr;
    port.SetOnTrigger([&](TObject* cp, uint16_t msg, uint16_t handle, uint16_t data) {
        sender = cp;
        events.push_back({msg, handle, data});
        if (port.InputCount() >= 13) {
            char frame[12];
            port.ReadBlock(frame, 12);
            left = port.InputCount();
        }
    });
    port.SetOnTriggerAvail([&](TObject*, uint16_t count) { avail.push_back(count); });
    port.SetOpen(true);
    Fake().Arrive(std::string(13, 'x'));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(sender, &port);
    EXPECT_EQ(events[0].Msg, TriggerAvailMsg);
    EXPECT_EQ(events[0].Handle, 13);
    EXPECT_EQ(events[0].Data, 13);
    EXPECT_EQ(avail, std::vector<uint16_t>{13});
    EXPECT_EQ(left, 1);
    EXPECT_EQ(port.InputCount(), 1);
    Fake().Arrive("y");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].Data, 2);
}

TEST_F(ComPortTest, AHandlerExceptionIsReportedAndDeliveryGoesOn) {
    HandlerCapture capture;
    int calls = 0;
    port.SetOnTrigger([&](TObject*, uint16_t, uint16_t, uint16_t) {
        ++calls;
        port.ReadBlock(nullptr, 50);
    });
    port.SetOpen(true);
    Fake().Arrive("a");
    Fake().Arrive("b");
    EXPECT_EQ(calls, 2);
    ASSERT_EQ(capture.Messages.size(), 2u);
    EXPECT_EQ(capture.Messages[0], "Bad argument passed to function");
    EXPECT_EQ(port.PortState(), psOpen);
}

TEST_F(ComPortTest, StatusNotificationsRaiseTheirSpecificEvent) {
    std::vector<std::pair<uint16_t, bool>> lineErrors;
    std::vector<uint16_t> statuses;
    int outSent = 0;
    port.SetOnTriggerStatus([&](TObject*, uint16_t handle) { statuses.push_back(handle); });
    port.SetOnTriggerLineError(
        [&](TObject*, uint16_t error, bool brk) { lineErrors.emplace_back(error, brk); });
    port.SetOnTriggerOutSent([&](TObject*) { ++outSent; });
    port.SetOpen(true);
    PortFake& d = Fake();
    int32_t line = d.AddStatusTrigger(stLine);
    ASSERT_GT(line, 0);
    d.SetStatusTrigger(line, CE_BREAK | CE_FRAME, true);
    d.PendingErrors = CE_BREAK;  // a break alone
    d.ProcessDeviceEvent(EV_BREAK);
    ASSERT_EQ(lineErrors.size(), 1u);
    EXPECT_EQ(lineErrors[0], std::make_pair(uint16_t{0}, true));

    d.SetStatusTrigger(line, CE_BREAK | CE_FRAME, true);
    d.PendingErrors = CE_FRAME;
    d.ProcessDeviceEvent(EV_ERR);
    ASSERT_EQ(lineErrors.size(), 2u);
    EXPECT_EQ(lineErrors[1], std::make_pair(uint16_t{4}, false));

    int32_t sent = d.AddStatusTrigger(stOutSent);
    d.SetStatusTrigger(sent, 0, true);
    port.SendByte('K');
    d.OutputSent = true;
    d.PeriodicCheck();
    EXPECT_EQ(outSent, 1);
    EXPECT_EQ(statuses,
              (std::vector<uint16_t>{static_cast<uint16_t>(line), static_cast<uint16_t>(line),
                                     static_cast<uint16_t>(sent)}));
}

TEST_F(ComPortTest, NotificationsThatNameNoLiveDispatcherAreIgnored) {
    int calls = 0;
    port.SetOnTrigger([&](TObject*, uint16_t, uint16_t, uint16_t) { ++calls; });
    port.SetOpen(true);
    HWND window = port.EventWindow();
    const int32_t slot = Fake().DispatcherIndex;
    EXPECT_EQ(SendMessageA(window, TriggerAvailMsg, 5, MAKELPARAM(0, 999)), 0);
    EXPECT_EQ(SendMessageA(window, TriggerAvailMsg, 5, MAKELPARAM(0, 0xFFFF)), 0);
    EXPECT_EQ(SendMessageA(window, WM_USER, 5, MAKELPARAM(0, slot)), 0);
    EXPECT_EQ(calls, 0);
    // The slot taken by another dispatcher without an owner (a port probe).
    FakeDispatcher probe(nullptr);
    EXPECT_EQ(SendMessageA(window, TriggerAvailMsg, 5, MAKELPARAM(0, probe.DispatcherIndex)), 0);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(SendMessageA(window, TriggerDataMsg, 3, MAKELPARAM(7, slot)), 0);
    EXPECT_EQ(calls, 1);
}

TEST_F(ComPortTest, LoadingDefersTheOpenToLoaded) {
    port.SetLoading(true);
    port.SetOpen(true);
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(builds, 0);
    EXPECT_THROW(port.RequireDispatcher(), ECommNotOpen);
    port.SetParity(static_cast<TParity>(9));  // no exception while loading
    port.Loaded();
    EXPECT_FALSE(port.Loading());
    EXPECT_EQ(builds, 1);
    EXPECT_EQ(port.PortState(), psOpen);
}

TEST_F(ComPortTest, AnOpenFailureInLoadedGoesToTheApplicationHandler) {
    HandlerCapture capture;
    prepare = [](PortFake& d) {
        d.OpenResult = -1;
        d.OpenError = ERROR_ACCESS_DENIED;
    };
    port.SetLoading(true);
    port.SetOpen(true);
    port.Loaded();
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_EQ(capture.Messages, std::vector<std::string>{"ie_Open - device already open"});

    // Open set and cleared again while loading opens nothing.
    port.SetLoading(true);
    port.SetOpen(true);
    port.SetOpen(false);
    port.Loaded();
    EXPECT_EQ(builds, 1);
}

TEST_F(ComPortTest, PortUsersAreToldLastRegisteredFirst) {
    std::vector<std::string> told;
    port.RegisterUserCallback(
        [&](TObject*, bool opening) { told.push_back(opening ? "1+" : "1-"); });
    uint32_t second = port.RegisterUserCallback(
        [&](TObject*, bool opening) { told.push_back(opening ? "2+" : "2-"); });
    port.SetPortOpenedHandler([&](TObject*) { told.push_back("opened"); });
    port.SetPortClosingHandler([&](TObject*) {
        told.push_back("closing");
        EXPECT_EQ(port.PortState(), psClosing);
    });
    port.SetOpen(true);
    port.SetOpen(false);
    EXPECT_EQ(told, (std::vector<std::string>{"2+", "1+", "opened", "2-", "1-", "closing"}));
    port.DeregisterUserCallback(second);
    EXPECT_EQ(port.PortUserCount(), 1u);
}

std::vector<UINT>* windowUserMessages = nullptr;
LRESULT CALLBACK UserWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == PortOpenedMsg || msg == PortClosingMsg) windowUserMessages->push_back(msg);
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

TEST_F(ComPortTest, WindowUsersReceiveTheOpenAndCloseMessages) {
    std::vector<UINT> messages;
    windowUserMessages = &messages;
    WNDCLASSA cls{};
    cls.lpfnWndProc = UserWindowProc;
    cls.lpszClassName = "ComPortTestUser";
    RegisterClassA(&cls);
    HWND user = CreateWindowExA(0, "ComPortTestUser", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                nullptr);
    ASSERT_NE(user, nullptr);
    port.RegisterUserWindow(user);
    port.SetOpen(true);
    port.SetOpen(false);
    port.DeregisterUserWindow(user);
    port.SetOpen(true);
    EXPECT_EQ(messages, (std::vector<UINT>{PortOpenedMsg, PortClosingMsg}));
    DestroyWindow(user);
    windowUserMessages = nullptr;
}

TEST_F(ComPortTest, AssignCopiesStoredValuesAndTriggersButOpensNothing) {
    ApplyFormSettings();
    port.SetSWFlowOptions(swfBoth);
    port.SetTraceName("x.trc");
    port.SetPromptForPort(false);
    port.SetAutoOpen(false);
    int triggers = 0;
    port.SetOnTrigger([&](TObject*, uint16_t, uint16_t, uint16_t) { ++triggers; });
    port.RegisterUserCallback([](TObject*, bool) {});
    port.SetOpen(true);
    int32_t handle = Fake().AddDataTrigger("AB", false);

    TComPort copy;
    copy.SetDispatcherFactory([](TCustomComPort& o) { return std::make_unique<PortFake>(&o); });
    copy.Assign(&port);
    EXPECT_EQ(copy.PortState(), psClosed);
    EXPECT_FALSE(copy.Open());
    EXPECT_EQ(copy.ComNumber(), 1);
    EXPECT_EQ(copy.Baud(), 9600);
    EXPECT_FALSE(copy.RTS());
    EXPECT_EQ(copy.BufferFull(), 3686);
    EXPECT_EQ(copy.BufferResume(), 409);
    EXPECT_EQ(copy.SWFlowOptions(), swfBoth);
    EXPECT_EQ(copy.TraceName(), "x.trc");
    EXPECT_TRUE(copy.PromptForPort());  // not copied
    EXPECT_TRUE(copy.AutoOpen());       // not copied
    EXPECT_EQ(copy.PortUserCount(), 1u);
    EXPECT_TRUE(static_cast<bool>(copy.OnTrigger()));

    copy.Assign(nullptr);  // not a port: nothing happens
    copy.SetOpen(true);
    auto& d = dynamic_cast<PortFake&>(*copy.Dispatcher());
    EXPECT_EQ(d.RemoveTrigger(handle), 0);  // the copied trigger is there
    EXPECT_TRUE(d.DeliveryOn);
}

TEST_F(ComPortTest, MovingAnOpenPortKeepsTriggersAndARunningTrace) {
    fs::path dir = TempDir();
    port.SetTraceName((dir / "move.trc").string());
    port.SetTracing(tlOn);
    port.SetLogging(tlOn);
    port.SetLogName((dir / "move.log").string());
    port.SetOpen(true);
    int32_t handle = Fake().AddDataTrigger("AB", false);
    port.SendByte('K');
    port.SetComNumber(2);
    EXPECT_EQ(port.PortState(), psOpen);
    EXPECT_EQ(builds, 2);
    EXPECT_EQ(Fake().OpenedName, "\\\\.\\COM2");
    EXPECT_EQ(Fake().RemoveTrigger(handle), 0);
    EXPECT_EQ(Fake().AvailLevel(), 1u);
    EXPECT_EQ(ReadFile(dir / "move.trc"), "Transmit: \r\nK");
    EXPECT_NE(ReadFile(dir / "move.log").find("WriteCom"), std::string::npos);
    EXPECT_EQ(port.Tracing(), tlOn);
    EXPECT_EQ(port.Logging(), tlOn);
    EXPECT_TRUE(Fake().TraceOn());
    EXPECT_TRUE(Fake().LogOn());

    // A paused trace ends with the move; a plain close and reopen ends a running one.
    port.SetTracing(tlPause);
    port.SetComNumber(3);
    EXPECT_EQ(port.Tracing(), tlOff);
    port.SetOpen(false);
    port.SetOpen(true);
    EXPECT_EQ(port.Logging(), tlOff);
    EXPECT_FALSE(Fake().LogOn());
}

TEST_F(ComPortTest, ACloseCompletesEvenWhenTheTraceCannotBeWritten) {
    port.SetTraceName((TempDir() / "missing" / "trace.txt").string());
    port.SetTracing(tlOn);
    port.SetOpen(true);
    port.SendByte('K');
    EXPECT_THROW(port.SetOpen(false), EInOutError);
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_EQ(port.Dispatcher(), nullptr);
    EXPECT_EQ(port.Tracing(), tlOff);
}

}  // namespace
