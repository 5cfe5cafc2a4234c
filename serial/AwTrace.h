// The dispatcher's byte trace: a circular buffer of (tag, byte) pairs written on request as a
// readable report, plus the text file and byte formatting that the dispatch log shares.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

// The text of one traced or logged data byte; its length is the column width it takes.
// Printable bytes 0x20..0x7E stand for themselves, except that the hexadecimal form shows a
// space as "[20]"; any other byte is "[" + two upper-case hex digits + "]" in hexadecimal
// form, or "[" + its decimal value + "]" in decimal form.
std::string FormatTraceByte(uint8_t byte, bool hex);

// The negated file error number (2..162, the numbering of the message table) for an errno value
// of the C++ library seen while opening (creating is true when the file is being created) or
// writing a file.
int32_t FileErrorCode(int error, bool creating);

// A text file written through a 512-byte buffer, with CR LF line ends. Errors of any write
// are remembered and returned by Close().
class TApdTextFile {
  public:
    TApdTextFile() = default;
    TApdTextFile(const TApdTextFile&) = delete;
    TApdTextFile& operator=(const TApdTextFile&) = delete;
    ~TApdTextFile();  // closes a file still open, dropping its error

    // Opens for appending when append is set and the file exists, else creates or truncates.
    // Returns 0 or a negated file error number.
    int32_t Open(const char* fileName, bool append);
    void Write(std::string_view text);
    void EndLine();
    // Hands what the buffer holds to the file at once.
    void Flush();
    // Flushes and closes; 0, or the negated error number of the first failed write or of the
    // close.
    int32_t Close();

  private:
    std::FILE* FFile = nullptr;
    int FWriteError = 0;
    char FBuffer[512];
};

// The trace buffer. Not synchronised: the dispatcher calls every operation under its
// DispatcherLock; TraceOn() may be read without it as a hint.
class TApdTraceBuffer {
  public:
    static constexpr uint32_t MaxTraceEntries = 4000000;

    // Starts tracing. An existing buffer is emptied and size is ignored; otherwise a buffer of
    // size entries is allocated (size 0: tracing is on but records nothing). A size above
    // MaxTraceEntries returns -1002 and changes nothing; a failed allocation returns -8.
    int32_t OpenTraceBuffer(uint32_t size);
    // Empties the buffer; tracing state unchanged. Returns 0.
    int32_t ClearTrace();
    // Stops tracing and frees the buffer.
    void AbortTrace();
    // Restarts recording if a buffer exists.
    void ResumeTrace();
    // Stops recording and keeps the buffer.
    void PauseTrace();
    // Stores one pair when a buffer exists, overwriting the oldest once the buffer has filled.
    // Does not look at TraceOn(): callers record only while it is set.
    void RecordTracePair(char tag, uint8_t byte);
    // Writes the report (see the implementation for the layout) and, whenever a buffer exists,
    // ends tracing and frees it. An empty trace writes no file. Returns 0 or a negated file
    // error number.
    int32_t WriteTraceReport(const char* fileName, bool append, bool hex);

    bool TraceOn() const { return FTraceOn.load(std::memory_order_relaxed); }
    bool HasBuffer() const { return FBuffer != nullptr; }
    uint32_t TraceCapacity() const { return FCapacity; }
    uint32_t TraceIndex() const { return FIndex; }
    bool TraceWrapped() const { return FWrapped; }

  private:
    std::atomic<bool> FTraceOn{false};
    std::unique_ptr<uint8_t[]> FBuffer;  // FCapacity pairs of tag, byte
    uint32_t FIndex = 0;
    uint32_t FCapacity = 0;
    bool FWrapped = false;
};
