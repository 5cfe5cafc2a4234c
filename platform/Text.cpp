// Text conversion, system message texts, version information and small string helpers.
#include "PlatformHooks.h"
#include "PlatformInternal.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct MessageText {
    DWORD id;
    const char* text;
};

// Texts of the error numbers this layer produces or passes on. Each ends in CR LF, as system
// message texts do on Win32; callers that show them in one line rely on that form.
constexpr MessageText kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {ERROR_NOT_READY, "The device is not ready."},
    {ERROR_BAD_COMMAND, "The device does not recognize the command."},
    {ERROR_CRC, "Data error (cyclic redundancy check)."},
    {ERROR_BAD_LENGTH, "The program issued a command but the command length is incorrect."},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
    {ERROR_READ_FAULT, "The system cannot read from the specified device."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process."},
    {ERROR_LOCK_VIOLATION,
     "The process cannot access the file because another process has locked a portion of the "
     "file."},
    {ERROR_HANDLE_EOF, "Reached the end of the file."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_MR_MID_NOT_FOUND, "The system cannot find message text for the message number."},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request."},
    {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
    {ERROR_NOACCESS, "Invalid access to memory location."},
    {ERROR_INVALID_FLAGS, "Invalid flags."},
    {ERROR_NO_UNICODE_TRANSLATION,
     "No mapping for the Unicode character exists in the target multi-byte code page."},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error."},
    {ERROR_SERIAL_NO_DEVICE, "No serial device was successfully initialized."},
    {ERROR_COUNTER_TIMEOUT, "A serial I/O operation completed because the timeout period expired."},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected."},
    {ERROR_NOT_FOUND, "Element not found."},
    {ERROR_CANCELLED, "The operation was canceled by the user."},
    {ERROR_PRIVILEGE_NOT_HELD,
     "Permission denied: this user may not open the serial device. On Linux, add the user to "
     "the group that owns the device (usually dialout: sudo adduser $USER dialout) and log in "
     "again."},
    {ERROR_INVALID_WINDOW_HANDLE, "Invalid window handle."},
    {ERROR_CLASS_ALREADY_EXISTS, "Class already exists."},
    {ERROR_CLASS_DOES_NOT_EXIST, "Class does not exist."},
    {ERROR_CLASS_HAS_WINDOWS, "Class still has open windows."},
    {ERROR_INVALID_INDEX, "Invalid index."},
    {ERROR_INVALID_THREAD_ID, "Invalid thread identifier."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {ERROR_RESOURCE_DATA_NOT_FOUND, "The specified image file did not contain a resource section."},
    {ERROR_RESOURCE_TYPE_NOT_FOUND,
     "The specified resource type cannot be found in the image file."},
    {ERROR_RESOURCE_NAME_NOT_FOUND,
     "The specified resource name cannot be found in the image file."},
    {ERROR_NOT_ENOUGH_QUOTA, "Not enough quota is available to process this command."},
};

bool SystemMessage(DWORD id, std::string& text) {
    for (const MessageText& message : kMessages) {
        if (message.id == id) {
            text = message.text;
            text += "\r\n";
            return true;
        }
    }
    DWORD mask = static_cast<DWORD>(APPLICATION_ERROR_MASK);
    if ((id & mask) && (id & ~mask) > 0 && (id & ~mask) < 4096) {
        const char* description = strerrordesc_np(static_cast<int>(id & ~mask));
        if (description != nullptr) {
            text = description;
            text += ".\r\n";
            return true;
        }
    }
    return false;
}

// The insert-free subset of message string escapes: %n line break, %% percent, %0 ends the
// text; inserts (%1 ...) are kept as they are.
std::string ExpandEscapes(const char* source) {
    std::string text;
    for (const char* p = source; *p != '\0'; ++p) {
        if (*p != '%' || p[1] == '\0') {
            text += *p;
            continue;
        }
        char next = p[1];
        if (next == 'n') {
            text += "\r\n";
        } else if (next == '%') {
            text += '%';
        } else if (next == '0') {
            break;
        } else {
            text += '%';
            continue;
        }
        ++p;
    }
    return text;
}

bool IsSupportedCodePage(UINT codePage) {
    return codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_UTF8;
}

void AppendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

constexpr uint32_t kReplacement = 0xFFFD;

}  // namespace

namespace k419::platform {

std::string OperatingSystemText() {
    utsname name{};
    if (uname(&name) != 0) return "Unknown";
    return std::string(name.sysname) + " " + name.release + " " + name.machine;
}

}  // namespace k419::platform

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                               LPBOOL lpUsedDefaultChar) {
    if (!IsSupportedCodePage(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 ||
        cchWideChar < -1 || cbMultiByte < 0 || (lpMultiByteStr == nullptr && cbMultiByte > 0) ||
        (CodePage == CP_UTF8 && (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t length = 0;
    if (cchWideChar == -1) {
        while (lpWideCharStr[length] != 0) ++length;
        ++length;  // the terminator is converted too
    } else {
        length = static_cast<size_t>(cchWideChar);
    }
    std::string out;
    out.reserve(length);
    bool usedDefault = false;
    for (size_t i = 0; i < length; ++i) {
        uint32_t unit = lpWideCharStr[i];
        uint32_t codePoint = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length && lpWideCharStr[i + 1] >= 0xDC00 &&
            lpWideCharStr[i + 1] <= 0xDFFF) {
            codePoint = 0x10000 + ((unit - 0xD800) << 10) + (lpWideCharStr[i + 1] - 0xDC00u);
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            if (dwFlags & WC_ERR_INVALID_CHARS) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            usedDefault = true;
            if (lpDefaultChar != nullptr) {
                out += *lpDefaultChar;
                continue;
            }
            codePoint = kReplacement;
        }
        AppendUtf8(out, codePoint);
    }
    if (lpUsedDefaultChar) *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    if (out.size() > static_cast<size_t>(INT32_MAX)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (cbMultiByte == 0) return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(cbMultiByte)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpMultiByteStr, out.data(), out.size());
    return static_cast<int>(out.size());
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
    if (!IsSupportedCodePage(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 ||
        cbMultiByte < -1 || cchWideChar < 0 || (lpWideCharStr == nullptr && cchWideChar > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t length =
        cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    const auto* bytes = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    std::u16string out;
    out.reserve(length);
    for (size_t i = 0; i < length;) {
        unsigned char lead = bytes[i];
        size_t extra = lead < 0x80                    ? 0
                       : lead >= 0xC2 && lead <= 0xDF ? 1
                       : lead >= 0xE0 && lead <= 0xEF ? 2
                       : lead >= 0xF0 && lead <= 0xF4 ? 3
                                                      : SIZE_MAX;
        uint32_t codePoint = extra == 0   ? lead
                             : extra == 1 ? lead & 0x1Fu
                             : extra == 2 ? lead & 0x0Fu
                                          : lead & 0x07u;
        bool valid = extra != SIZE_MAX && i + extra < length;
        for (size_t k = 1; valid && k <= extra; ++k) {
            unsigned char next = bytes[i + k];
            if ((next & 0xC0) != 0x80) valid = false;
            codePoint = (codePoint << 6) | (next & 0x3Fu);
        }
        // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
        if (valid && ((extra == 2 && codePoint < 0x800) || (extra == 3 && codePoint < 0x10000) ||
                      (codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF))
            valid = false;
        if (!valid) {
            if (dwFlags & MB_ERR_INVALID_CHARS) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            out += static_cast<char16_t>(kReplacement);
            ++i;
            continue;
        }
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (codePoint >> 10));
            out += static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF));
        } else {
            out += static_cast<char16_t>(codePoint);
        }
        i += extra + 1;
    }
    if (out.size() > static_cast<size_t>(INT32_MAX)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (cchWideChar == 0) return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(cchWideChar)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpWideCharStr, out.data(), out.size() * sizeof(WCHAR));
    return static_cast<int>(out.size());
}

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD,
                            LPSTR lpBuffer, DWORD nSize, va_list*) {
    std::string text;
    if (dwFlags & FORMAT_MESSAGE_FROM_STRING) {
        if (lpSource == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        text = ExpandEscapes(static_cast<const char*>(lpSource));
    } else if (dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) {
        if (!SystemMessage(dwMessageId, text)) {
            SetLastError(ERROR_MR_MID_NOT_FOUND);
            return 0;
        }
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if ((dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == FORMAT_MESSAGE_MAX_WIDTH_MASK) {
        while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    }
    if (lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        size_t size = std::max<size_t>(text.size() + 1, nSize);
        auto* allocated = static_cast<char*>(LocalAlloc(LMEM_ZEROINIT, size));
        if (allocated == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(allocated, text.c_str(), text.size() + 1);
        *reinterpret_cast<char**>(lpBuffer) = allocated;
        return static_cast<DWORD>(text.size());
    }
    if (text.size() + 1 > nSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpBuffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    void* memory = (uFlags & LMEM_ZEROINIT) ? std::calloc(uBytes ? uBytes : 1, 1)
                                            : std::malloc(uBytes ? uBytes : 1);
    if (memory == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return memory;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
    if (lpVersionInformation == nullptr ||
        lpVersionInformation->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    utsname name{};
    DWORD numbers[3] = {0, 0, 0};
    if (uname(&name) == 0) {
        const char* p = name.release;
        for (DWORD& number : numbers) {
            char* end = nullptr;
            unsigned long value = std::strtoul(p, &end, 10);
            if (end == p) break;
            number = static_cast<DWORD>(value);
            if (*end != '.') break;
            p = end + 1;
        }
    }
    DWORD size = lpVersionInformation->dwOSVersionInfoSize;
    *lpVersionInformation = OSVERSIONINFOA{};
    lpVersionInformation->dwOSVersionInfoSize = size;
    lpVersionInformation->dwMajorVersion = numbers[0];
    lpVersionInformation->dwMinorVersion = numbers[1];
    lpVersionInformation->dwBuildNumber = numbers[2];
    lpVersionInformation->dwPlatformId = VER_PLATFORM_POSIX;
    std::string system = k419::platform::OperatingSystemText();
    size_t copied = std::min(system.size(), sizeof lpVersionInformation->szCSDVersion - 1);
    std::memcpy(lpVersionInformation->szCSDVersion, system.data(), copied);
    return TRUE;
}

DWORD WINAPI CharUpperBuffA(LPSTR lpsz, DWORD cchLength) {
    if (lpsz == nullptr) return 0;
    for (DWORD i = 0; i < cchLength; ++i) {
        if (lpsz[i] >= 'a' && lpsz[i] <= 'z') lpsz[i] = static_cast<char>(lpsz[i] - 'a' + 'A');
    }
    return cchLength;
}

int WINAPI lstrlenA(LPCSTR lpString) {
    return lpString == nullptr ? 0 : static_cast<int>(std::strlen(lpString));
}
