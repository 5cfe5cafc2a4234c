// The dispatch log: time-stamped entries of what a dispatcher did, kept in a circular byte
// buffer that discards its oldest whole entries when full, and written on request as a
// fixed-column text report.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ByteRing.h"

// Kinds and sub-kinds of the entries a dispatcher makes (the message table has their texts).
enum : uint8_t {
    lkDispatch = 1,
    lkTrigger = 2,
    lkTrgHdAlc = 7,
    lkTrgHdDsp = 8,
    lkTrDatChg = 9,
};
enum : uint8_t {
    lsReadCom = 1,
    lsWriteCom = 2,
    lsAvail = 5,
    lsTimer = 6,
    lsData = 7,
    lsStatus = 8,
    lsAvailLevel = 16,
    lsWindow = 17,
    lsProcedure = 18,
    lsMethod = 19,
};

// The fixed part of an entry as stored in the buffer (16 bytes, host byte order).
struct TLogEntryHeader {
    uint8_t Kind = 0;
    uint8_t SubKind = 0;
    uint16_t Reserved = 0;
    uint32_t Time = 0;  // milliseconds since the port was opened
    uint32_t Value = 0;
    uint32_t Length = 0;  // data bytes that follow the header
};
static_assert(sizeof(TLogEntryHeader) == 16);

// "0001.234" for 1234 ms: at least seven digits, a point before the last three.
std::string LogTimeText(uint32_t ms);

// The report's "Operating system" text (at most 80 characters): the platform named from the
// version record, major "." minor, a space and the service pack text.
std::string LogPlatformText();

// The report's "Compiler" text: the compiler's name and major version.
std::string LogCompilerText();

// The log buffer. Not synchronised: the dispatcher calls every operation under its
// DispatcherLock; LogOn() may be read without it as a hint.
class TApdDispatchLog {
  public:
    // Starts logging with a buffer of size bytes. An existing buffer is only emptied; size is
    // ignored and the on/paused state kept. Returns 0, or -8 when the buffer cannot be
    // allocated.
    int32_t OpenLogBuffer(uint32_t size);
    void ClearLog();
    // Stops logging and frees the buffer.
    void AbortLog();
    void ResumeLog();  // restarts recording if a buffer exists
    void PauseLog();

    // Stores the entry whole, discarding the oldest entries to make room, or not at all when
    // it is larger than the whole buffer. Callers add entries only while LogOn() is set.
    void AddLogEntry(uint8_t kind, uint8_t subKind, uint32_t value, const void* data,
                     uint32_t length, uint32_t timeMs);
    // Takes the oldest entry out of the log. Returns true (and takes nothing) when the log is
    // empty.
    bool TakeLogEntry(TLogEntryHeader& header, std::vector<uint8_t>& data);

    // Writes the report and discards the log. An absent or empty log writes no file and
    // returns 0. A file that cannot be opened returns its negated error number and keeps the
    // log (logging stays off); otherwise the result is that of closing the file.
    int32_t WriteLogReport(const char* fileName, bool append, bool hex);

    bool LogOn() const { return FLogOn.load(std::memory_order_relaxed); }
    bool HasBuffer() const { return FRing.Allocated(); }
    bool Empty() const { return FRing.Empty(); }
    uint32_t LogCapacity() const { return static_cast<uint32_t>(FRing.Capacity()); }
    uint32_t LogFree() const { return static_cast<uint32_t>(FRing.Free()); }

  private:
    bool PutLogBytes(const void* source, uint32_t length);

    std::atomic<bool> FLogOn{false};
    TByteRing FRing;                // entries, oldest at the tail
    std::vector<uint8_t> FScratch;  // receives the data of discarded entries
};
