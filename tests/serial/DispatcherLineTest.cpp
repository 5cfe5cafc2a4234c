// Line settings, DTR and RTS, hardware and software flow control.
#include <gtest/gtest.h>

#include "DispatcherFake.h"

namespace {

TEST(DispatcherLine, BaudCodesBecomeRates) {
    struct Case {
        int32_t code, rate;
    } cases[] = {{0xFF16, 9600},   {0xFF19, 0xFF19}, {19200, 19200},
                 {0xFEFF, 115200}, {0xFF10, 110},    {0xFF27, 256000},
                 {0xFF28, 0xFF28}, {0xFF1B, 38400},  {0, 0}};
    for (const Case& c : cases) EXPECT_EQ(BaudValue(c.code), c.rate) << std::hex << c.code;
}

TEST(DispatcherLine, UnchangedSettingsTouchNothing) {
    FakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    size_t applied = d.Applied.size();
    d.Sleeps.clear();
    d.LineCalls.clear();
    EXPECT_EQ(d.SetLineSettings(0, 5, 9, 3), 0);
    EXPECT_EQ(d.SetLineSettings(9600, 0, 8, 1), 0);
    EXPECT_EQ(d.SetLineSettings(9600, 0, 8, 0), 0);  // stop bits below 1 mean 1
    EXPECT_EQ(d.Applied.size(), applied);
    EXPECT_TRUE(d.Sleeps.empty());
    EXPECT_TRUE(d.LineCalls.empty());
}

TEST(DispatcherLine, AChangeWaitsForTheOutputAndThenEighteenCharacters) {
    FakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    const uint8_t bytes[3] = {1, 2, 3};
    ASSERT_EQ(d.PutOutput(bytes, 3), 0);
    d.Sleeps.clear();
    d.OnSleep = [&] {
        if (d.RingBytes()) d.SendFromRing(1);
    };
    EXPECT_EQ(d.SetLineSettings(19200, 0, 8, 1), 0);
    EXPECT_EQ(d.Sleeps, (std::vector<uint32_t>{2, 2, 2, 19}));  // 18 characters at 9600 8N1
    EXPECT_EQ(d.Dcb.BaudRate, 19200u);
    EXPECT_EQ(d.CurrentBaud, 19200);

    // Output that never drains is waited for about ten seconds, then the change goes on.
    d.OnSleep = nullptr;
    ASSERT_EQ(d.PutOutput(bytes, 1), 0);
    d.Sleeps.clear();
    EXPECT_EQ(d.SetLineSettings(9600, 0, 8, 1), 0);
    EXPECT_EQ(d.Sleeps.size(), 5001u);
}

TEST(DispatcherLine, FieldsAreChosenAndNormalised) {
    struct Case {
        int32_t baud;
        uint16_t parity, dataBits, stopBits;
        int32_t rc;
        BYTE byteSize, dcbParity, dcbStopBits;
    } cases[] = {
        {0, 5, 9, 7, 0, 8, NOPARITY, TWOSTOPBITS},
        {0, 5, 5, 3, 0, 5, NOPARITY, ONE5STOPBITS},
        {0, 5, 5, 2, 0, 5, NOPARITY, ONE5STOPBITS},
        {0, 2, 7, 2, 0, 7, EVENPARITY, TWOSTOPBITS},
        {0, 6, 8, 1, ecBadArgument, 8, NOPARITY, ONESTOPBIT},
        {0, 0, 4, 1, ecBadArgument, 8, NOPARITY, ONESTOPBIT},
        {0, 0, 10, 1, ecBadArgument, 8, NOPARITY, ONESTOPBIT},
        {-1, 0, 8, 1, ecBadArgument, 8, NOPARITY, ONESTOPBIT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.parity * 100 + c.dataBits * 10 + c.stopBits);
        FakeDispatcher d;
        ASSERT_EQ(d.Open(), 0);
        EXPECT_EQ(d.SetLineSettings(c.baud, c.parity, c.dataBits, c.stopBits), c.rc);
        EXPECT_EQ(d.Dcb.BaudRate, 9600u);
        EXPECT_EQ(d.Dcb.ByteSize, c.byteSize);
        EXPECT_EQ(d.Dcb.Parity, c.dcbParity);
        EXPECT_EQ(d.Dcb.StopBits, c.dcbStopBits);
        int32_t baud;
        uint16_t parity, dataBits, stopBits;
        d.GetLineSettings(baud, parity, dataBits, stopBits);
        EXPECT_EQ(baud, 9600);
        EXPECT_EQ(dataBits, c.byteSize);
        EXPECT_EQ(stopBits, c.dcbStopBits == ONESTOPBIT ? 1 : 2);
    }
}

TEST(DispatcherLine, ALineChangeWithoutAKnownRateDoesNotDivideByZero) {
    FakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    d.Dcb.BaudRate = 0;
    EXPECT_EQ(d.SetFlowChars(0x11, 0x13), 0);  // commits, so the rate in use becomes 0
    EXPECT_EQ(d.CurrentBaud, 0);
    d.Sleeps.clear();
    EXPECT_EQ(d.SetLineSettings(9600, 0, 8, 1), 0);
    EXPECT_TRUE(d.Sleeps.empty());
}

TEST(DispatcherLine, DtrAndRtsFollowRequestsUnlessFlowControlOwnsThem) {
    FakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    d.LineCalls.clear();
    EXPECT_EQ(d.SetDtrLine(false), 0);
    EXPECT_EQ(d.SetRtsLine(true), 0);
    d.LineResult = -6;
    EXPECT_EQ(d.SetDtrLine(true), ecBadArgument);
    d.LineResult = 0;
    EXPECT_EQ(d.LineCalls, (std::vector<int32_t>{CLRDTR, SETRTS, SETDTR}));

    ASSERT_EQ(d.SetHardwareFlow(3686, 409, hwfUseDTR | hwfUseRTS), 0);
    d.LineCalls.clear();
    EXPECT_EQ(d.SetDtrLine(false), 1);
    EXPECT_EQ(d.SetRtsLine(false), 1);
    EXPECT_TRUE(d.LineCalls.empty());
}

TEST(DispatcherLine, HardwareFlowSetsThresholdsAndHandshakes) {
    struct Case {
        uint32_t full, resume, options;
        int32_t rc;
        uint32_t flags;  // of the flow bits 0x303C
    } cases[] = {
        {3686, 409, hwfUseRTS | hwfRequireCTS, 0, dcbRtsHandshake | dcbOutxCtsFlow | dcbDtrEnable},
        {3686, 409, hwfUseDTR | hwfRequireDSR, 0, dcbDtrHandshake | dcbOutxDsrFlow},
        {3686, 409, 0, 0, dcbDtrEnable},
        {4096, 0, 0, 0, dcbDtrEnable},
        {4097, 409, 0, ecBadArgument, 0},
        {100, 200, 0, ecBadArgument, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.full);
        FakeDispatcher d;
        ASSERT_EQ(d.Open(), 0);  // DTR on, RTS off
        size_t applied = d.Applied.size();
        EXPECT_EQ(d.SetHardwareFlow(c.full, c.resume, c.options), c.rc);
        if (c.rc != 0) {
            EXPECT_EQ(d.Applied.size(), applied);
            continue;
        }
        EXPECT_EQ(DcbFlags(d.Dcb) & 0x303C, c.flags);
        EXPECT_EQ(d.Dcb.XoffLim, 4096 - c.full);
        EXPECT_EQ(d.Dcb.XonLim, c.resume);
        uint32_t hw, sw;
        uint8_t xon, xoff;
        EXPECT_EQ(d.GetFlowSettings(hw, sw, xon, xoff), 0);
        EXPECT_EQ(hw, c.options);
    }
}

TEST(DispatcherLine, Rs485DirectionUsesTheRtsToggle) {
    FakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    std::vector<bool> priorities;
    d.SetOutputThreadPriority = [&](bool highest) { priorities.push_back(highest); };
    d.SetRs485(true);
    ASSERT_EQ(d.SetHardwareFlow(3686, 409, 0), 0);
    EXPECT_EQ(DcbFlags(d.Dcb) & dcbRtsToggle, dcbRtsToggle);
    EXPECT_TRUE(d.RtsByFlow);
    d.SetRs485(false);
    EXPECT_EQ(priorities, (std::vector<bool>{true, false}));
}

TEST(DispatcherLine, SoftwareFlowAndFlowCharacters) {
    FakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    ASSERT_EQ(d.SetFlowChars(1, 2), 0);
    ASSERT_EQ(d.SetSoftwareFlow(3072, 1024, sfReceiveFlow | sfTransmitFlow), 0);
    uint32_t hw, sw;
    uint8_t xon, xoff;
    ASSERT_EQ(d.GetFlowSettings(hw, sw, xon, xoff), 0);
    EXPECT_EQ(hw, 0u);
    EXPECT_EQ(sw, sfReceiveFlow | sfTransmitFlow);
    EXPECT_EQ(xon, 0x11);
    EXPECT_EQ(xoff, 0x13);
    EXPECT_EQ(d.Dcb.XoffLim, 1024);
    EXPECT_EQ(d.Dcb.XonLim, 1024);
    ASSERT_EQ(d.SetFlowChars(1, 2), 0);
    ASSERT_EQ(d.ClearSoftwareFlow(), 0);
    ASSERT_EQ(d.GetFlowSettings(hw, sw, xon, xoff), 0);
    EXPECT_EQ(sw, 0u);
    EXPECT_EQ(xon, 1);
    EXPECT_EQ(xoff, 2);
    EXPECT_EQ(d.SetSoftwareFlow(5000, 10, sfReceiveFlow), ecBadArgument);

    d.ApplyResult = -87;  // a failed write is reported; the lines are still re-applied
    d.LineCalls.clear();
    EXPECT_EQ(d.SetFlowChars(3, 4), -87);
    EXPECT_EQ(d.LineCalls, (std::vector<int32_t>{SETDTR, CLRRTS}));
}

TEST(DispatcherLine, DcbFlagWordRoundTrips) {
    for (uint32_t flags : {0u, 0x1u, 0x3034u, 0x7FFFu, 0xFFFFFFFFu}) {
        DCB dcb{};
        SetDcbFlags(dcb, flags);
        EXPECT_EQ(DcbFlags(dcb), flags);
    }
}

}  // namespace
