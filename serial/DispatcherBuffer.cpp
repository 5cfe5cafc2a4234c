// The dispatcher's buffers: the dispatch buffer that received bytes wait in, and the output
// ring's space check.
#include "serial/Dispatcher.h"

#include <algorithm>
#include <cstring>

// =============================================================================================
// Input

uint32_t TBaseDispatcher::InputUsed() {
    TCriticalSectionHold hold(InputLock);
    const uint32_t waiting = RingCount();
    return RelativeReads ? (waiting > TakenByHandler ? waiting - TakenByHandler : 0) : waiting;
}

int32_t TBaseDispatcher::TakeInput(uint8_t* dest, uint32_t count) {
    if (count == 0) return 0;
    if (!dest) return ecBadArgument;
    bool freedFullBuffer = false;
    {
        TCriticalSectionHold hold(InputLock);
        const uint32_t offset = RelativeReads ? TakenByHandler : 0;
        if (!DispatchBuffer.Peek(offset, dest, count)) return ecBufferIsEmpty;
        if (RelativeReads) {
            TakenByHandler += count;
        } else {
            // Room made outside an avail or data delivery (whose end makes room the dispatch
            // thread fills at once): bytes the device holds back for want of it are fetched
            // now, not at the device's next receive event, which flow control may keep from
            // ever coming.
            freedFullBuffer = DispatchBuffer.Full();
            DispatchBuffer.Drop(count);
        }
    }
    const auto rc = static_cast<int32_t>(count);
    if (freedFullBuffer) RequestDataRecheck(false);
    if (rc > 0 && Trace.TraceOn()) {
        TCriticalSectionHold hold(DispatcherLock);
        if (Trace.TraceOn())
            for (int32_t i = 0; i < rc; ++i) Trace.RecordTracePair('R', dest[i]);
    }
    return rc;
}

int32_t TBaseDispatcher::FlushInput() {
    TCriticalSectionHold hold(InputLock);
    int32_t rc = PurgeQueue(1);
    if (RelativeReads) {
        // Everything counts as taken when the delivery ends; the handler that flushed sees
        // nothing left from now on.
        MostTaken = RingCount();
        TakenByHandler = MostTaken;
    } else {
        DispatchBuffer.Drop(RingCount());
        TakenByHandler = 0;
    }
    ResetDataMatches();
    return rc;
}

uint32_t TBaseDispatcher::ReadIntoBuffer(uint32_t count) {
    uint8_t* const run = DispatchBuffer.FreeRun().data();
    const int32_t n = ReadDevice(run, count);
    // A device that claims more than it was offered cannot have stored it here: what the
    // buffer holds there is not what arrived.
    if (n < 0 || static_cast<uint32_t>(n) > count) {
        NoteReadError(-1);
        if (Log.LogOn()) AddLogEntry(lkDispatch, lsReadCom, static_cast<uint32_t>(n));
        return 0;
    }
    if (Log.LogOn())
        AddLogEntry(lkDispatch, lsReadCom, static_cast<uint32_t>(n), run, static_cast<uint32_t>(n));
    DispatchBuffer.Commit(static_cast<uint32_t>(n));
    ArrivedCount += static_cast<uint32_t>(n);
    return static_cast<uint32_t>(n);
}

bool TBaseDispatcher::FillDispatchBuffer() {
    TCriticalSectionHold hold(InputLock);
    if (!DispatchBuffer.Allocated()) return false;
    if (DispatchBuffer.Full()) return true;
    uint32_t inQueue;
    {
        TCriticalSectionHold outputHold(OutputLock);
        RefreshLineStatus();
        inQueue = LineStatus.cbInQue;
    }
    if (inQueue == 0) return false;

    const auto run = static_cast<uint32_t>(DispatchBuffer.FreeRun().size());
    const uint32_t want = std::min(inQueue, static_cast<uint32_t>(DispatchBuffer.Free()));
    // The whole run is offered: the device hands over what it holds, never more than asked,
    // and never anything that would land on a waiting byte. What did not fit up to the end of
    // the buffer follows at its start.
    if (ReadIntoBuffer(run) == run && run < want) ReadIntoBuffer(want - run);
    return true;
}

// =============================================================================================
// Output

int32_t TBaseDispatcher::PutOutput(const uint8_t* data, uint32_t count) {
    if (count == 0) return ecOK;
    if (!data) return ecBadArgument;
    int32_t rc = ecOK;
    int32_t n;
    {
        TCriticalSectionHold hold(OutputLock);
        if (!OutRing.Allocated()) return ecNotOpen;
        // Errors read here are added to the pending ones, not put in their place: a line error
        // must not vanish because a byte was sent before it was asked for.
        LineErrors |= ReadLineStatus(LineStatus) & LineErrorBits;
        uint32_t used = LineStatus.cbOutQue;
        uint32_t free = used < OutQueueSize ? OutQueueSize - used : 0;
        if (count > free) return ecOutputBufferTooSmall;
        if (!FPlatformIsNT && Rs485) {
            if (UartBaseAddress == 0) return ecBaseAddressNotSet;
            SetRtsLine(true);
        }
        n = QueueOutput(data, count);
        if (n <= 0) {
            n = -n;
            rc = ecPutBlockFail;
            LineErrors |= ReadLineStatus(LineStatus) & LineErrorBits;
        }
        n = std::min(n, static_cast<int32_t>(count));
        OutputSent = true;
    }
    if (Log.LogOn())
        AddLogEntry(lkDispatch, lsWriteCom, static_cast<uint32_t>(n), data,
                    static_cast<uint32_t>(n));
    if (n != 0 && Trace.TraceOn()) {
        TCriticalSectionHold hold(DispatcherLock);
        if (Trace.TraceOn())
            for (int32_t i = 0; i < n; ++i) Trace.RecordTracePair('T', data[i]);
    }
    return rc;
}

int32_t TBaseDispatcher::PutOutputByte(uint8_t byte) { return PutOutput(&byte, 1); }

uint32_t TBaseDispatcher::OutputUsed() {
    TCriticalSectionHold hold(OutputLock);
    RefreshLineStatus();
    return LineStatus.cbOutQue;
}

uint32_t TBaseDispatcher::OutputFree() {
    TCriticalSectionHold hold(OutputLock);
    RefreshLineStatus();
    return LineStatus.cbOutQue < OutQueueSize ? OutQueueSize - LineStatus.cbOutQue : 0;
}

int32_t TBaseDispatcher::FlushOutput() { return PurgeQueue(0); }
