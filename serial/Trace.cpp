#include "serial/Dispatcher.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include "serial/Common.h"

namespace {

constexpr uint32_t ReportWidth = 78;

const char* TraceHeading(char tag, std::string& special) {
    if (tag == 'R') return "Receive: ";
    if (tag == 'T') return "Transmit: ";
    special = "Special-";
    special += tag;
    special += ": ";
    return special.c_str();
}

}  // namespace

std::string FormatTraceByte(uint8_t byte, bool hex) {
    char text[8];
    if (byte >= 0x20 && byte <= 0x7E && !(hex && byte == 0x20)) {
        text[0] = static_cast<char>(byte);
        text[1] = '\0';
    } else if (hex) {
        std::snprintf(text, sizeof text, "[%02X]", byte);
    } else {
        std::snprintf(text, sizeof text, "[%u]", static_cast<unsigned>(byte));
    }
    return text;
}

int32_t FileErrorCode(int error, bool creating) {
    switch (static_cast<std::errc>(error)) {
        case std::errc::no_such_file_or_directory:
            return creating ? ecPathNotFound : ecFileNotFound;
        case std::errc::not_a_directory:
        case std::errc::filename_too_long:
            return ecPathNotFound;
        case std::errc::permission_denied:
        case std::errc::operation_not_permitted:
        case std::errc::read_only_file_system:
        case std::errc::is_a_directory:
        case std::errc::text_file_busy:
            return ecAccessDenied;
        case std::errc::too_many_files_open:
        case std::errc::too_many_files_open_in_system:
            return ecTooManyFiles;
        case std::errc::not_enough_memory:
            return ecOutOfMemory;
        case std::errc::no_space_on_device:
        case std::errc::file_too_large:
            return ecDiskFull;
        case std::errc::io_error:
            return ecDeviceWrite;
        default:
            return ecHardwareFailure;
    }
}

// ---------------------------------------------------------------------------------------------

TTextFile::~TTextFile() {
    if (FFile) std::fclose(FFile);
}

int32_t TTextFile::Open(const char* fileName, bool append) {
    if (FFile || !fileName || !*fileName) return ecBadArgument;
    std::error_code ignored;
    const bool exists = std::filesystem::exists(fileName, ignored);
    errno = 0;
    FFile = std::fopen(fileName, append && exists ? "ab" : "wb");
    if (!FFile) return FileErrorCode(errno, !exists);
    std::setvbuf(FFile, FBuffer, _IOFBF, sizeof FBuffer);
    FWriteError = 0;
    return ecOK;
}

void TTextFile::Write(std::string_view text) {
    if (!FFile || text.empty() || FWriteError) return;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), FFile) != text.size())
        FWriteError = errno ? errno : EIO;
}

void TTextFile::EndLine() { Write("\r\n"); }

void TTextFile::Flush() {
    if (!FFile || FWriteError) return;
    errno = 0;
    if (std::fflush(FFile) != 0) FWriteError = errno ? errno : EIO;
}

int32_t TTextFile::Close() {
    if (!FFile) return ecOK;
    errno = 0;
    if (std::fflush(FFile) != 0 && !FWriteError) FWriteError = errno ? errno : EIO;
    if (std::fclose(FFile) != 0 && !FWriteError) FWriteError = errno ? errno : EIO;
    FFile = nullptr;
    return FWriteError ? FileErrorCode(FWriteError, false) : ecOK;
}

// ---------------------------------------------------------------------------------------------

int32_t TTraceBuffer::OpenTraceBuffer(uint32_t size) {
    if (FBuffer) {
        ClearTrace();
    } else if (size > MaxTraceEntries) {
        return ecBadArgument;
    } else if (size > 0) {
        // Two bytes per entry; zero-filled so that an unwritten entry never shows stale data.
        uint8_t* buffer = new (std::nothrow) uint8_t[2 * size_t{size}]();
        if (!buffer) return ecOutOfMemory;
        FBuffer.reset(buffer);
        FCapacity = size;
        FIndex = 0;
        FWrapped = false;
    }
    FTraceOn.store(true, std::memory_order_relaxed);
    return ecOK;
}

int32_t TTraceBuffer::ClearTrace() {
    FIndex = 0;
    FWrapped = false;
    return ecOK;
}

void TTraceBuffer::AbortTrace() {
    FTraceOn.store(false, std::memory_order_relaxed);
    FBuffer.reset();
    FCapacity = 0;
    FIndex = 0;
    FWrapped = false;
}

void TTraceBuffer::ResumeTrace() {
    if (FBuffer) FTraceOn.store(true, std::memory_order_relaxed);
}

void TTraceBuffer::PauseTrace() { FTraceOn.store(false, std::memory_order_relaxed); }

void TTraceBuffer::RecordTracePair(char tag, uint8_t byte) {
    if (!FBuffer) return;
    FBuffer[2 * size_t{FIndex}] = static_cast<uint8_t>(tag);
    FBuffer[2 * size_t{FIndex} + 1] = byte;
    if (++FIndex >= FCapacity) {
        FIndex = 0;
        FWrapped = true;
    }
}

// Layout: one group per run of equal tags, headed by "Receive: ", "Transmit: " or
// "Special-<tag>: " on its own line, groups separated by an empty line; data items follow each
// other without separators and a line breaks before an item that would pass column 78. The
// last line has no line end.
int32_t TTraceBuffer::WriteTraceReport(const char* fileName, bool append, bool hex) {
    if (!FBuffer) return ecOK;
    FTraceOn.store(false, std::memory_order_relaxed);
    uint32_t first = FWrapped ? FIndex : 0;
    uint32_t count = FWrapped ? FCapacity : FIndex;
    if (count == 0) {
        AbortTrace();
        return ecOK;
    }
    TTextFile file;
    int32_t rc = file.Open(fileName, append);
    if (rc != ecOK) {
        AbortTrace();
        return rc;
    }
    int lastTag = -1;
    uint32_t column = 0;
    std::string special;
    for (uint32_t k = 0; k < count; ++k) {
        uint32_t i = (first + k) % FCapacity;
        char tag = static_cast<char>(FBuffer[2 * size_t{i}]);
        uint8_t byte = FBuffer[2 * size_t{i} + 1];
        if (static_cast<unsigned char>(tag) != lastTag) {
            if (k != 0) {
                file.EndLine();
                file.EndLine();
                column = 0;
            }
            file.Write(TraceHeading(tag, special));
            file.EndLine();
            lastTag = static_cast<unsigned char>(tag);
        }
        std::string item = FormatTraceByte(byte, hex);
        column += static_cast<uint32_t>(item.size());
        if (column > ReportWidth) {
            file.EndLine();
            column = static_cast<uint32_t>(item.size());
        }
        file.Write(item);
        file.Flush();
    }
    rc = file.Close();
    AbortTrace();
    return rc;
}
