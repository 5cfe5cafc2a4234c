// Text conversion, system message texts, version information and upper-casing.
#include <gtest/gtest.h>

#include "platform/PlatformHooks.h"
#include "platform/PlatformInternal.h"
#include "windows.h"

#include <sys/utsname.h>

#include <cerrno>
#include <string>

namespace {

std::string ToAnsi(const std::u16string& text, int length, DWORD flags = 0) {
    int size =
        WideCharToMultiByte(CP_ACP, flags, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size == 0) return "<failed>";
    std::string out(static_cast<size_t>(size), '?');
    int written =
        WideCharToMultiByte(CP_ACP, flags, text.data(), length, out.data(), size, nullptr, nullptr);
    EXPECT_EQ(written, size);
    return out;
}

TEST(WideCharToMultiByte, ConvertsUtf16ToUtf8) {
    struct Case {
        const char* what;
        std::u16string text;
        std::string expected;
    } cases[] = {
        {"ascii", u"Port COM1", "Port COM1"},
        {"cyrillic", u"\u041e\u043c", "\xD0\x9E\xD0\xBC"},
        {"euro sign", u"\u20AC", "\xE2\x82\xAC"},
        {"surrogate pair", u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
        {"lone high surrogate at the end", std::u16string(u"a") + char16_t(0xD800),
         "a\xEF\xBF\xBD"},
        {"lone low surrogate", std::u16string(1, char16_t(0xDC00)) + u"b",
         "\xEF\xBF\xBD"
         "b"},
        {"high surrogate before a letter", std::u16string(1, char16_t(0xD801)) + u"c",
         "\xEF\xBF\xBD"
         "c"},
        {"embedded zero", std::u16string(u"x\0y", 3), std::string("x\0y", 3)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ToAnsi(c.text, static_cast<int>(c.text.size())), c.expected) << c.what;
}

TEST(WideCharToMultiByte, TerminatorLengthsAndErrors) {
    const std::u16string text = u"abc";
    EXPECT_EQ(ToAnsi(text, -1), std::string("abc\0", 4));  // -1 converts the terminator too
    EXPECT_EQ(ToAnsi(text, 2), "ab");
    char small[2];
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text.data(), 3, small, sizeof small, nullptr, nullptr),
              0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    const std::u16string lone(1, char16_t(0xD800));
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone.data(), 1, nullptr, 0,
                                  nullptr, nullptr),
              0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    struct Case {
        const char* what;
        UINT codePage;
        int length;
    } invalid[] = {
        {"zero length", CP_ACP, 0}, {"length below -1", CP_ACP, -2}, {"code page 1251", 1251, 3}};
    for (const Case& c : invalid) {
        EXPECT_EQ(
            WideCharToMultiByte(c.codePage, 0, text.data(), c.length, nullptr, 0, nullptr, nullptr),
            0)
            << c.what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.what;
    }
}

TEST(MultiByteToWideChar, DecodesUtf8AndReplacesBadBytes) {
    struct Case {
        const char* what;
        std::string text;
        std::u16string expected;
    } cases[] = {
        {"ascii", "COM1", u"COM1"},
        {"cyrillic", "\xD0\x9E\xD0\xBC", u"\u041e\u043c"},
        {"four bytes", "\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
        {"truncated sequence", "a\xD0", u"a\uFFFD"},
        {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"stray continuation", "\x80z", u"\uFFFDz"},
    };
    for (const Case& c : cases) {
        int size = MultiByteToWideChar(CP_ACP, 0, c.text.data(), static_cast<int>(c.text.size()),
                                       nullptr, 0);
        ASSERT_GT(size, 0) << c.what;
        std::u16string out(static_cast<size_t>(size), u'?');
        MultiByteToWideChar(CP_ACP, 0, c.text.data(), static_cast<int>(c.text.size()), out.data(),
                            size);
        EXPECT_EQ(out, c.expected) << c.what;
    }
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xC0\xAF", 2, nullptr, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
}

std::string SystemText(DWORD id) {
    char buffer[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, id, 0, buffer, sizeof buffer, nullptr);
    return length ? std::string(buffer, length) : std::string();
}

TEST(FormatMessage, SystemTextsForTheNumbersThisLayerProduces) {
    struct Case {
        DWORD id;
        const char* contains;
    } cases[] = {
        {ERROR_FILE_NOT_FOUND, "cannot find the file"},
        {ERROR_PATH_NOT_FOUND, "cannot find the path"},
        {ERROR_ACCESS_DENIED, "Access is denied"},
        {ERROR_INVALID_HANDLE, "handle is invalid"},
        {ERROR_NOT_ENOUGH_MEMORY, "memory"},
        {ERROR_GEN_FAILURE, "not functioning"},
        {ERROR_INVALID_PARAMETER, "parameter is incorrect"},
        {ERROR_OPERATION_ABORTED, "aborted"},
        {ERROR_IO_INCOMPLETE, "not in a signaled state"},
        {ERROR_IO_PENDING, "in progress"},
        {ERROR_DEVICE_NOT_CONNECTED, "not connected"},
        {ERROR_TIMEOUT, "timeout period expired"},
        {ERROR_PRIVILEGE_NOT_HELD, "dialout"},
        {ERROR_PRIVILEGE_NOT_HELD, "Permission denied"},
        {static_cast<DWORD>(APPLICATION_ERROR_MASK) | ENOSPC, "No space left on device"},
    };
    for (const Case& c : cases) {
        std::string text = SystemText(c.id);
        EXPECT_NE(text.find(c.contains), std::string::npos) << c.id << ": " << text;
        EXPECT_TRUE(text.size() > 2 && text.substr(text.size() - 2) == "\r\n") << c.id;
    }
}

TEST(FormatMessage, BuffersAndUnknownNumbers) {
    char tiny[8];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, tiny,
                             sizeof tiny, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(SystemText(12345), "");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));

    char* allocated = nullptr;
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                       ERROR_ACCESS_DENIED, 0, reinterpret_cast<LPSTR>(&allocated), 0, nullptr);
    ASSERT_NE(allocated, nullptr);
    EXPECT_EQ(std::string(allocated, length), "Access is denied.\r\n");
    LocalFree(allocated);
}

TEST(ErrnoTranslation, OpenFailuresMapToTruthfulWin32Numbers) {
    struct Case {
        int err;
        DWORD win32;
    } cases[] = {
        {ENOENT, ERROR_FILE_NOT_FOUND},
        {ENXIO, ERROR_FILE_NOT_FOUND},
        {ENODEV, ERROR_FILE_NOT_FOUND},
        {EBUSY, ERROR_ACCESS_DENIED},
        {EWOULDBLOCK, ERROR_ACCESS_DENIED},
        {EACCES, ERROR_PRIVILEGE_NOT_HELD},
        {EPERM, ERROR_PRIVILEGE_NOT_HELD},
        {EIO, ERROR_DEVICE_NOT_CONNECTED},
        {ENOSPC, APPLICATION_ERROR_MASK | ENOSPC},
    };
    for (const Case& c : cases)
        EXPECT_EQ(k419::platform::detail::Win32ErrorFromErrno(c.err), c.win32) << c.err;
}

TEST(Version, DescribesThisSystem) {
    OSVERSIONINFOA info{};
    EXPECT_FALSE(GetVersionExA(&info));  // the size field must be set
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExA(&info));
    utsname name{};
    ASSERT_EQ(uname(&name), 0);
    EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_POSIX));
    EXPECT_EQ(std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion),
              std::string(name.release)
                  .substr(0, std::to_string(info.dwMajorVersion).size() + 1 +
                                 std::to_string(info.dwMinorVersion).size()));
    EXPECT_EQ(std::string(info.szCSDVersion), k419::platform::OperatingSystemText());
    EXPECT_EQ(std::string(info.szCSDVersion).rfind(name.sysname, 0), 0u);
}

TEST(CharUpperBuff, UpperCasesAsciiOnlyAndKeepsUtf8Intact) {
    char text[] = "abc xyz{}@ \xD0\xBE\xD0\xBC AZ";
    EXPECT_EQ(CharUpperBuffA(text, 3), 3u);
    EXPECT_STREQ(text, "ABC xyz{}@ \xD0\xBE\xD0\xBC AZ");
    CharUpperBuffA(text, sizeof text - 1);
    EXPECT_STREQ(text, "ABC XYZ{}@ \xD0\xBE\xD0\xBC AZ");
    EXPECT_EQ(lstrlenA(text), static_cast<int>(sizeof text - 1));
    EXPECT_EQ(lstrlenA(nullptr), 0);
}

}  // namespace
