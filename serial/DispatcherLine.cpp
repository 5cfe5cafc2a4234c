// The dispatcher's line settings, DTR and RTS, flow control and RS-485 direction control.
#include "serial/Dispatcher.h"

#include <algorithm>

namespace {

// Rates of the baud rate codes 0xFF10..0xFF27; 0 where the code names no rate.
constexpr int32_t BaudCodeRates[24] = {110,   300, 600, 1200,   2400, 4800, 9600, 14400,
                                       19200, 0,   0,   38400,  0,    0,    0,    56000,
                                       0,     0,   0,   128000, 0,    0,    0,    256000};

}  // namespace

uint32_t DcbFlags(const DCB& d) {
    return d.fBinary | d.fParity << 1 | d.fOutxCtsFlow << 2 | d.fOutxDsrFlow << 3 |
           d.fDtrControl << 4 | d.fDsrSensitivity << 6 | d.fTXContinueOnXoff << 7 | d.fOutX << 8 |
           d.fInX << 9 | d.fErrorChar << 10 | d.fNull << 11 | d.fRtsControl << 12 |
           d.fAbortOnError << 14 | d.fDummy2 << 15;
}

void SetDcbFlags(DCB& d, uint32_t f) {
    d.fBinary = f & 1;
    d.fParity = (f >> 1) & 1;
    d.fOutxCtsFlow = (f >> 2) & 1;
    d.fOutxDsrFlow = (f >> 3) & 1;
    d.fDtrControl = (f >> 4) & 3;
    d.fDsrSensitivity = (f >> 6) & 1;
    d.fTXContinueOnXoff = (f >> 7) & 1;
    d.fOutX = (f >> 8) & 1;
    d.fInX = (f >> 9) & 1;
    d.fErrorChar = (f >> 10) & 1;
    d.fNull = (f >> 11) & 1;
    d.fRtsControl = (f >> 12) & 3;
    d.fAbortOnError = (f >> 14) & 1;
    d.fDummy2 = f >> 15;
}

int32_t BaudValue(int32_t code) {
    if (code == 0xFEFF) return 115200;
    if (code >= 0xFF10 && code <= 0xFF27 && BaudCodeRates[code - 0xFF10] != 0)
        return BaudCodeRates[code - 0xFF10];
    return code;
}

// =============================================================================================
// Line settings and flow control

int32_t TBaseDispatcher::SetLineSettings(int32_t baud, uint16_t parity, uint16_t dataBits,
                                         uint16_t stopBits) {
    if (baud < 0 || parity > 5 || dataBits < 5 || dataBits > 9) return ecBadArgument;
    if (stopBits != 3) stopBits = std::clamp<uint16_t>(stopBits, 1, 2);
    DWORD newBaud;
    BYTE newParity, newByteSize, newStopBits;
    {
        TCriticalSectionHold hold(DispatcherLock);
        FetchLineSettings(LineSettings);
        newBaud = baud == 0 ? LineSettings.BaudRate : static_cast<DWORD>(baud);
        newParity = parity == 5 ? LineSettings.Parity : static_cast<BYTE>(parity);
        newByteSize = dataBits == 9 ? LineSettings.ByteSize : static_cast<BYTE>(dataBits);
        newStopBits = stopBits == 3   ? LineSettings.StopBits
                      : stopBits == 1 ? ONESTOPBIT
                                      : TWOSTOPBITS;
        if (dataBits == 5) newStopBits = ONE5STOPBITS;
        if (newBaud == LineSettings.BaudRate && newParity == LineSettings.Parity &&
            newByteSize == LineSettings.ByteSize && newStopBits == LineSettings.StopBits)
            return ecOK;
    }
    // Outside the lock, so that the dispatch and output threads keep running meanwhile.
    DrainBeforeLineChange();
    TCriticalSectionHold hold(DispatcherLock);
    FetchLineSettings(LineSettings);
    LineSettings.BaudRate = newBaud;
    LineSettings.Parity = newParity;
    LineSettings.ByteSize = newByteSize;
    LineSettings.StopBits = newStopBits;
    return CommitLineSettings(LineSettings);
}

int32_t TBaseDispatcher::GetLineSettings(int32_t& baud, uint16_t& parity, uint16_t& dataBits,
                                         uint16_t& stopBits) {
    TCriticalSectionHold hold(DispatcherLock);
    int32_t rc = FetchLineSettings(LineSettings);
    baud = BaudValue(static_cast<int32_t>(LineSettings.BaudRate));
    parity = LineSettings.Parity;
    dataBits = LineSettings.ByteSize;
    stopBits = LineSettings.StopBits == ONESTOPBIT ? 1 : 2;
    return rc;
}

void TBaseDispatcher::DrainBeforeLineChange() {
    auto sleep = [this](uint32_t ms) {
        if (FSleeper)
            FSleeper(ms);
        else
            Sleep(ms);
    };
    for (int polls = 0; polls < 5000 && OutputUsed() > 0; ++polls) sleep(2);

    uint32_t bits;
    int32_t rate;
    {
        TCriticalSectionHold hold(DispatcherLock);
        FetchLineSettings(LineSettings);
        bits = LineSettings.ByteSize + 2u + (LineSettings.Parity != 0 ? 1u : 0u) +
               (LineSettings.StopBits != 0 ? 1u : 0u);
        rate = BaudValue(CurrentBaud);
    }
    // A rate the device cannot tell gives no character time to wait for.
    if (rate <= 0) return;
    uint64_t t = uint64_t{10000000u / static_cast<uint32_t>(rate)} * bits * 18;  // 100 ns units
    if (t < 10000) t *= 2;
    sleep(static_cast<uint32_t>(t / 10000 + (t % 10000 != 0 ? 1 : 0)));
}

int32_t TBaseDispatcher::CommitLineSettings(DCB& dcb) {
    TCriticalSectionHold hold(DispatcherLock);
    int32_t rc = ApplyLineSettings(dcb);
    if (&dcb != &LineSettings) LineSettings = dcb;
    CurrentBaud = static_cast<int32_t>(dcb.BaudRate);
    SetDtrLine(DtrState);
    if (!Rs485) SetRtsLine(RtsState);
    return rc;
}

int32_t TBaseDispatcher::SetDtrLine(bool on) {
    if (DtrByFlow) return 1;
    int32_t rc = LineFunction(on ? SETDTR : CLRDTR);
    DtrState = on;
    return rc < 0 ? ecBadArgument : rc;
}

int32_t TBaseDispatcher::SetRtsLine(bool on) {
    if (RtsByFlow) return 1;
    int32_t rc = LineFunction(on ? SETRTS : CLRRTS);
    RtsState = on;
    return rc < 0 ? ecBadArgument : rc;
}

int32_t TBaseDispatcher::SetHardwareFlow(uint32_t bufferFull, uint32_t bufferResume,
                                         uint32_t options) {
    if (bufferFull < bufferResume || bufferFull > InQueueSize) return ecBadArgument;
    TCriticalSectionHold hold(DispatcherLock);
    FetchLineSettings(LineSettings);
    uint32_t flags = DcbFlags(LineSettings) & ~(dcbOutxCtsFlow | dcbOutxDsrFlow | dcbDtrEnable |
                                                dcbDtrHandshake | dcbRtsToggle);
    DtrByFlow = false;
    RtsByFlow = false;
    if (options & hwfUseDTR) {
        flags |= dcbDtrHandshake;
        DtrByFlow = true;
    } else if (DtrState) {
        flags |= dcbDtrEnable;
    }
    if (options & hwfUseRTS) {
        flags |= dcbRtsHandshake;
        RtsByFlow = true;
    } else if (RtsState) {
        flags |= dcbRtsEnable;
    }
    if (Rs485 && FPlatformIsNT) {
        flags |= dcbRtsToggle;
        RtsByFlow = true;
    }
    LineSettings.XoffLim = static_cast<WORD>(InQueueSize - bufferFull);
    LineSettings.XonLim = static_cast<WORD>(bufferResume);
    if (options & hwfRequireDSR) flags |= dcbOutxDsrFlow;
    if (options & hwfRequireCTS) flags |= dcbOutxCtsFlow;
    SetDcbFlags(LineSettings, flags);
    return CommitLineSettings(LineSettings);
}

int32_t TBaseDispatcher::SetSoftwareFlow(uint32_t bufferFull, uint32_t bufferResume,
                                         uint32_t options) {
    if (bufferFull < bufferResume || bufferFull > InQueueSize) return ecBadArgument;
    TCriticalSectionHold hold(DispatcherLock);
    FetchLineSettings(LineSettings);
    uint32_t flags = DcbFlags(LineSettings);
    if (options & sfReceiveFlow) {
        flags |= dcbInX;
        LineSettings.XoffLim = static_cast<WORD>(InQueueSize - bufferFull);
        LineSettings.XonLim = static_cast<WORD>(bufferResume);
        LineSettings.XonChar = 0x11;
        LineSettings.XoffChar = 0x13;
    }
    if (options & sfTransmitFlow) {
        flags |= dcbOutX;
        LineSettings.XonChar = 0x11;
        LineSettings.XoffChar = 0x13;
    }
    SetDcbFlags(LineSettings, flags);
    return CommitLineSettings(LineSettings);
}

int32_t TBaseDispatcher::ClearSoftwareFlow() {
    TCriticalSectionHold hold(DispatcherLock);
    FetchLineSettings(LineSettings);
    SetDcbFlags(LineSettings, DcbFlags(LineSettings) & ~(dcbOutX | dcbInX));
    return CommitLineSettings(LineSettings);
}

int32_t TBaseDispatcher::SetFlowChars(uint8_t xon, uint8_t xoff) {
    TCriticalSectionHold hold(DispatcherLock);
    FetchLineSettings(LineSettings);
    LineSettings.XonChar = static_cast<char>(xon);
    LineSettings.XoffChar = static_cast<char>(xoff);
    return CommitLineSettings(LineSettings);
}

int32_t TBaseDispatcher::GetFlowSettings(uint32_t& hwOptions, uint32_t& swOptions, uint8_t& xon,
                                         uint8_t& xoff) {
    hwOptions = 0;
    swOptions = 0;
    TCriticalSectionHold hold(DispatcherLock);
    int32_t rc = FetchLineSettings(LineSettings);
    uint32_t flags = DcbFlags(LineSettings);
    if (flags & dcbDtrHandshake) hwOptions |= hwfUseDTR;
    if (flags & dcbRtsHandshake) hwOptions |= hwfUseRTS;
    if (flags & dcbOutxDsrFlow) hwOptions |= hwfRequireDSR;
    if (flags & dcbOutxCtsFlow) hwOptions |= hwfRequireCTS;
    if (flags & dcbInX) swOptions |= sfReceiveFlow;
    if (flags & dcbOutX) swOptions |= sfTransmitFlow;
    xon = static_cast<uint8_t>(LineSettings.XonChar);
    xoff = static_cast<uint8_t>(LineSettings.XoffChar);
    return rc;
}

void TBaseDispatcher::SetRs485(bool on) {
    TCriticalSectionHold hold(DispatcherLock);
    Rs485 = on;
    if (SetOutputThreadPriority) SetOutputThreadPriority(on);
    if (on && !FPlatformIsNT && DeviceHandle >= 0)
        UartBaseAddress =
            static_cast<uint16_t>(EscapeCommFunction(DeviceHandleValue(), EscapeGetBaseAddress));
}
