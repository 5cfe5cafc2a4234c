// The dispatcher's buffers: the dispatch buffer that received bytes wait in, and the output
// ring's space check.
#include "serial/AwUser.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t RingMask = DispatchBufferSize - 1;
static_assert((DispatchBufferSize & RingMask) == 0, "index arithmetic relies on a power of two");

}  // namespace

// =============================================================================================
// Input

uint32_t TApdBaseDispatcher::RingCount() const {
    if (DispatchHead == DispatchTail) return DispatchFull ? DispatchBufferSize : 0;
    return (DispatchHead - DispatchTail) & RingMask;
}

uint32_t TApdBaseDispatcher::InputUsed() {
    TCriticalSectionHold hold(InputLock);
    uint32_t waiting = RingCount();
    if (RelativeReads) waiting = waiting > TakenByHandler ? waiting - TakenByHandler : 0;
    return waiting;
}

int32_t TApdBaseDispatcher::CopyInput(uint8_t* dest, uint32_t offset, uint32_t count,
                                      uint32_t& newTail) {
    TCriticalSectionHold hold(InputLock);
    uint32_t waiting = RingCount();
    uint32_t readable = waiting > offset ? waiting - offset : 0;
    if (count > readable || (count != 0 && !DispatchBuffer)) return ecBufferIsEmpty;
    uint32_t start = (DispatchTail + offset) & RingMask;
    uint32_t first = std::min(count, DispatchBufferSize - start);
    std::memcpy(dest, DispatchBuffer.get() + start, first);
    std::memcpy(dest + first, DispatchBuffer.get(), count - first);
    newTail = (start + count) & RingMask;
    return static_cast<int32_t>(count);
}

int32_t TApdBaseDispatcher::TakeInput(uint8_t* dest, uint32_t count) {
    if (count == 0) return 0;
    if (!dest) return ecBadArgument;
    int32_t rc;
    bool freedFullBuffer = false;
    {
        TCriticalSectionHold hold(InputLock);
        uint32_t newTail = 0;
        if (RelativeReads) {
            rc = CopyInput(dest, TakenByHandler, count, newTail);
            if (rc > 0) TakenByHandler += static_cast<uint32_t>(rc);
        } else {
            rc = CopyInput(dest, 0, count, newTail);
            if (rc > 0) {
                DispatchTail = newTail;
                // Room made outside an avail or data delivery (whose end makes room the
                // dispatch thread fills at once): bytes the device holds back for want of it
                // are fetched now, not at the device's next receive event, which flow control
                // may keep from ever coming.
                freedFullBuffer = DispatchFull;
                DispatchFull = false;
            }
        }
    }
    if (freedFullBuffer) RequestDataRecheck(false);
    if (rc > 0 && Trace.TraceOn()) {
        TCriticalSectionHold hold(DispatcherLock);
        if (Trace.TraceOn())
            for (int32_t i = 0; i < rc; ++i) Trace.RecordTracePair('R', dest[i]);
    }
    return rc;
}

int32_t TApdBaseDispatcher::FlushInput() {
    TCriticalSectionHold hold(InputLock);
    int32_t rc = PurgeQueue(1);
    if (RelativeReads) {
        // Everything counts as taken when the delivery ends; the handler that flushed sees
        // nothing left from now on.
        MostTaken = RingCount();
        TakenByHandler = MostTaken;
    } else {
        DispatchTail = DispatchHead;
        TakenByHandler = 0;
    }
    DispatchFull = false;
    ResetDataMatches();
    return rc;
}

int32_t TApdBaseDispatcher::ReadIntoBuffer(uint32_t index, uint32_t count) {
    int32_t n = ReadDevice(DispatchBuffer.get() + index, count);
    // A device that claims more than it was offered cannot have stored it here: what the
    // buffer holds there is not what arrived.
    if (n < 0 || static_cast<uint32_t>(n) > count) {
        NoteReadError(-1);
        if (Log.LogOn()) AddLogEntry(lkDispatch, lsReadCom, static_cast<uint32_t>(n));
        return 0;
    }
    if (Log.LogOn())
        AddLogEntry(lkDispatch, lsReadCom, static_cast<uint32_t>(n), DispatchBuffer.get() + index,
                    static_cast<uint32_t>(n));
    ArrivedCount += static_cast<uint32_t>(n);
    return n;
}

bool TApdBaseDispatcher::FillDispatchBuffer() {
    TCriticalSectionHold hold(InputLock);
    if (!DispatchBuffer) return false;
    if (DispatchFull) return true;
    uint32_t inQueue;
    {
        TCriticalSectionHold outputHold(OutputLock);
        RefreshLineStatus();
        inQueue = LineStatus.cbInQue;
    }
    if (inQueue == 0) return false;

    const uint32_t head = DispatchHead;
    const uint32_t tail = DispatchTail;
    uint32_t free = head == tail  ? DispatchBufferSize
                    : tail < head ? tail + DispatchBufferSize - head
                                  : tail - head;
    uint32_t run = tail <= head ? DispatchBufferSize - head : tail - head;
    uint32_t want = std::min(inQueue, free);
    uint32_t second = run < want ? want - run : 0;

    // The whole run is offered: the device hands over what it holds, never more than asked,
    // and never anything that would land on a waiting byte.
    uint32_t n = static_cast<uint32_t>(ReadIntoBuffer(head, run));
    DispatchHead += n;
    if (n < run) second = 0;
    if (DispatchHead >= DispatchBufferSize) DispatchHead = 0;
    if (n != 0) DispatchFull = DispatchHead == DispatchTail;

    if (second != 0) {
        n = static_cast<uint32_t>(ReadIntoBuffer(DispatchHead, second));
        DispatchHead += n;
        DispatchFull = DispatchHead == DispatchTail;
    }
    return true;
}

// =============================================================================================
// Output

int32_t TApdBaseDispatcher::PutOutput(const uint8_t* data, uint32_t count) {
    if (count == 0) return ecOK;
    if (!data) return ecBadArgument;
    int32_t rc = ecOK;
    int32_t n;
    {
        TCriticalSectionHold hold(OutputLock);
        if (!OutRing) return ecNotOpen;
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
        const bool wasFull = OutFull;
        if (count == free) OutFull = true;
        n = QueueOutput(data, count);
        if (n <= 0) {
            n = -n;
            rc = ecPutBlockFail;
            // Nothing (or not all) was queued: a ring marked full would send stale bytes.
            OutFull = wasFull;
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

int32_t TApdBaseDispatcher::PutOutputByte(uint8_t byte) { return PutOutput(&byte, 1); }

uint32_t TApdBaseDispatcher::OutputUsed() {
    TCriticalSectionHold hold(OutputLock);
    RefreshLineStatus();
    return LineStatus.cbOutQue;
}

uint32_t TApdBaseDispatcher::OutputFree() {
    TCriticalSectionHold hold(OutputLock);
    RefreshLineStatus();
    return LineStatus.cbOutQue < OutQueueSize ? OutQueueSize - LineStatus.cbOutQue : 0;
}

int32_t TApdBaseDispatcher::FlushOutput() { return PurgeQueue(0); }
