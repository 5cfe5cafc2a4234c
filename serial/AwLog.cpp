#include "serial/AwLog.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "serial/AdExcept.h"
#include "serial/AwTrace.h"
#include "serial/OoMisc.h"

namespace {

constexpr uint32_t HeaderSize = sizeof(TLogEntryHeader);
constexpr uint32_t ReportWidth = 78;
constexpr uint32_t DataColumn = 45;  // the column of the first data item
constexpr uint32_t MaxKindText = 19;
constexpr uint32_t MaxSubKindText = 251;
constexpr uint32_t MaxOptionText = 42;

// A message of the table, or an empty text when the table cannot be read: the report is
// still worth writing without its labels.
std::string Message(int32_t number) {
    try {
        return ErrorMessage(number);
    } catch (...) {
        return {};
    }
}

std::string Trimmed(const std::string& text) {
    size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos) return {};
    size_t end = text.find_last_not_of(' ');
    return text.substr(begin, end - begin + 1);
}

const char* StatusTriggerKindText(uint8_t kind) {
    switch (kind) {
        case 0:
            return "(Not active)";
        case 1:
            return "(Modem status)";
        case 2:
            return "(Line status)";
        case 3:
            return "(Output buffer free)";
        case 4:
            return "(Output buffer used)";
        case 5:
            return "(Output sent)";
        default:
            return "";
    }
}

}  // namespace

std::string LogTimeText(uint32_t ms) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%07u", static_cast<unsigned>(ms));
    std::string text = digits;
    text.insert(text.size() - 3, ".");
    return text;
}

std::string LogPlatformText() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) return "Unknown";
    std::string text;
    switch (info.dwPlatformId) {
        case VER_PLATFORM_WIN32s:
            text = "Win32s on Windows ";
            break;
        case VER_PLATFORM_WIN32_WINDOWS:
            text = "Win32 on Windows ";
            break;
        case VER_PLATFORM_WIN32_NT:
            text = "Windows NT ";
            break;
        default:  // a system that is no Windows names itself in the service pack text
            text = "Unknown ";
            break;
    }
    info.szCSDVersion[sizeof info.szCSDVersion - 1] = '\0';
    text += std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) + " " +
            info.szCSDVersion;
    if (text.size() > 80) text.resize(80);
    return text;
}

std::string LogCompilerText() {
#if defined(__clang__)
    return "Clang " + std::to_string(__clang_major__);
#elif defined(__GNUC__)
    return "GNU C++ " + std::to_string(__GNUC__);
#else
    return "C++";
#endif
}

// ---------------------------------------------------------------------------------------------

int32_t TApdDispatchLog::OpenLogBuffer(uint32_t size) {
    if (FBuffer) {
        ClearLog();
        return ecOK;
    }
    uint8_t* buffer = new (std::nothrow) uint8_t[std::max<uint32_t>(size, 1)]();
    if (!buffer) return ecOutOfMemory;
    FBuffer.reset(buffer);
    FCapacity = size;
    FHead = FTail = 0;
    FFree = size;
    FLogOn.store(true, std::memory_order_relaxed);
    return ecOK;
}

void TApdDispatchLog::ClearLog() {
    FHead = FTail = 0;
    FFree = FCapacity;
}

void TApdDispatchLog::AbortLog() {
    FLogOn.store(false, std::memory_order_relaxed);
    FBuffer.reset();
    FScratch.clear();
    FScratch.shrink_to_fit();
    FCapacity = FFree = FHead = FTail = 0;
}

void TApdDispatchLog::ResumeLog() {
    if (FBuffer) FLogOn.store(true, std::memory_order_relaxed);
}

void TApdDispatchLog::PauseLog() { FLogOn.store(false, std::memory_order_relaxed); }

void TApdDispatchLog::AddLogEntry(uint8_t kind, uint8_t subKind, uint32_t value, const void* data,
                                  uint32_t length, uint32_t timeMs) {
    if (!FBuffer || FCapacity <= HeaderSize || uint64_t{HeaderSize} + length > FCapacity) return;
    TLogEntryHeader header;
    header.Kind = kind;
    header.SubKind = subKind;
    header.Time = timeMs;
    header.Value = value;
    header.Length = data ? length : 0;
    PutLogBytes(&header, HeaderSize);
    if (header.Length != 0) PutLogBytes(data, header.Length);
}

bool TApdDispatchLog::PutLogBytes(const void* source, uint32_t length) {
    if (length >= FCapacity) return false;
    TLogEntryHeader discarded;
    while (FFree < length) {
        if (TakeLogEntry(discarded, FScratch)) break;
    }
    if (FFree < length) return false;
    const uint8_t* bytes = static_cast<const uint8_t*>(source);
    uint32_t first = std::min(length, FCapacity - FHead);
    std::memcpy(FBuffer.get() + FHead, bytes, first);
    std::memcpy(FBuffer.get(), bytes + first, length - first);
    FHead = (FHead + length) % FCapacity;
    FFree -= length;
    return true;
}

void TApdDispatchLog::TakeLogBytes(void* dest, uint32_t length) {
    uint8_t* bytes = static_cast<uint8_t*>(dest);
    uint32_t first = std::min(length, FCapacity - FTail);
    std::memcpy(bytes, FBuffer.get() + FTail, first);
    std::memcpy(bytes + first, FBuffer.get(), length - first);
    FTail = (FTail + length) % FCapacity;
    FFree += length;
}

bool TApdDispatchLog::TakeLogEntry(TLogEntryHeader& header, std::vector<uint8_t>& data) {
    data.clear();
    if (!FBuffer || FFree >= FCapacity) return true;
    uint32_t used = FCapacity - FFree;
    if (used < HeaderSize) {
        // Only a whole entry is ever stored; anything else means the log is unusable.
        ClearLog();
        return true;
    }
    TakeLogBytes(&header, HeaderSize);
    if (header.Length > used - HeaderSize) {
        ClearLog();
        return true;
    }
    // Sized per entry: a received block can be longer than either driver queue.
    data.resize(header.Length);
    if (header.Length != 0) TakeLogBytes(data.data(), header.Length);
    return false;
}

int32_t TApdDispatchLog::WriteLogReport(const char* fileName, bool append, bool hex) {
    if (!FBuffer || Empty()) {
        AbortLog();
        return ecOK;
    }
    FLogOn.store(false, std::memory_order_relaxed);
    TApdTextFile file;
    int32_t rc = file.Open(fileName, append);
    if (rc != ecOK) return rc;

    file.Write(std::string("K419 ") + ApVersionStr);
    file.EndLine();
    file.Write("Compiler : " + LogCompilerText());
    file.EndLine();
    file.Write("Operating system : " + LogPlatformText());
    file.EndLine();
    file.Write(Message(15501));
    file.EndLine();
    file.Write(Message(15502));
    file.EndLine();

    TLogEntryHeader header;
    std::vector<uint8_t> data;
    const std::string continuation(DataColumn - 1, ' ');
    while (!TakeLogEntry(header, data)) {
        std::string kindText = header.Kind <= MaxKindText ? Message(15001 + header.Kind) : "";
        std::string subText = header.SubKind != 0 && header.SubKind <= MaxSubKindText
                                  ? Message(15100 + header.SubKind)
                                  : "";
        char fixed[160];
        std::snprintf(fixed, sizeof fixed, "%8s  %-8s  %-12s  %08X  ",
                      LogTimeText(header.Time).c_str(), kindText.c_str(), subText.c_str(),
                      static_cast<unsigned>(header.Value));
        file.Write(fixed);

        if (data.empty()) {
            if (header.Kind == 10) {
                file.Write("[");
                if (header.Value <= MaxOptionText) file.Write(Message(15700 + header.Value));
                file.Write("]");
            }
            file.EndLine();
            continue;
        }
        if (header.SubKind == 15 && (header.Kind == 5 || header.Kind == 6)) {
            file.Write(StatusTriggerKindText(data[0]));
        } else {
            uint32_t column = DataColumn;
            for (uint8_t byte : data) {
                std::string item = FormatTraceByte(byte, hex);
                column += static_cast<uint32_t>(item.size());
                if (column > ReportWidth) {
                    file.EndLine();
                    file.Write(continuation);
                    column = DataColumn + static_cast<uint32_t>(item.size());
                }
                file.Write(item);
                file.Flush();
            }
        }
        if (header.SubKind == 4) {
            std::string lines;
            for (int bit = 0; bit < 8; ++bit)
                if (header.Value & (1u << bit)) lines += Message(15601 + bit);
            file.Write(" (" + Trimmed(lines) + ")");
        }
        file.EndLine();
    }
    rc = file.Close();
    AbortLog();
    return rc;
}
