#include "serial/Dispatcher.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "serial/CommErrors.h"
#include "serial/Common.h"

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

int32_t TDispatchLog::OpenLogBuffer(uint32_t size) {
    if (FRing.Allocated()) {
        ClearLog();
        return ecOK;
    }
    if (!FRing.Allocate(size)) return ecOutOfMemory;
    FLogOn.store(true, std::memory_order_relaxed);
    return ecOK;
}

void TDispatchLog::ClearLog() { FRing.Clear(); }

void TDispatchLog::AbortLog() {
    FLogOn.store(false, std::memory_order_relaxed);
    FRing.Release();
    FScratch.clear();
    FScratch.shrink_to_fit();
}

void TDispatchLog::ResumeLog() {
    if (FRing.Allocated()) FLogOn.store(true, std::memory_order_relaxed);
}

void TDispatchLog::PauseLog() { FLogOn.store(false, std::memory_order_relaxed); }

void TDispatchLog::AddLogEntry(uint8_t kind, uint8_t subKind, uint32_t value, const void* data,
                               uint32_t length, uint32_t timeMs) {
    const uint32_t capacity = LogCapacity();
    if (!FRing.Allocated() || capacity <= HeaderSize || uint64_t{HeaderSize} + length > capacity)
        return;
    TLogEntryHeader header;
    header.Kind = kind;
    header.SubKind = subKind;
    header.Time = timeMs;
    header.Value = value;
    header.Length = data ? length : 0;
    PutLogBytes(&header, HeaderSize);
    if (header.Length != 0) PutLogBytes(data, header.Length);
}

bool TDispatchLog::PutLogBytes(const void* source, uint32_t length) {
    if (length >= FRing.Capacity()) return false;
    TLogEntryHeader discarded;
    while (FRing.Free() < length) {
        if (TakeLogEntry(discarded, FScratch)) break;
    }
    return FRing.Put(static_cast<const uint8_t*>(source), length);
}

bool TDispatchLog::TakeLogEntry(TLogEntryHeader& header, std::vector<uint8_t>& data) {
    data.clear();
    if (FRing.Empty()) return true;
    // Only whole entries are ever stored; anything else means the log is unusable.
    if (FRing.Count() < HeaderSize) {
        ClearLog();
        return true;
    }
    FRing.Take(reinterpret_cast<uint8_t*>(&header), HeaderSize);
    if (header.Length > FRing.Count()) {
        ClearLog();
        return true;
    }
    // Sized per entry: a received block can be longer than either driver queue.
    data.resize(header.Length);
    FRing.Take(data.data(), header.Length);
    return false;
}

int32_t TDispatchLog::WriteLogReport(const char* fileName, bool append, bool hex) {
    if (!FRing.Allocated() || Empty()) {
        AbortLog();
        return ecOK;
    }
    FLogOn.store(false, std::memory_order_relaxed);
    TTextFile file;
    int32_t rc = file.Open(fileName, append);
    if (rc != ecOK) return rc;

    file.Write(std::string("K419 ") + EngineVersionText);
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
