// What the tests take from POSIX where the Windows C runtime has something else: the
// environment, and a fresh temporary folder. Nothing on other systems.
#pragma once

#ifdef _WIN32
#include <direct.h>
#include <stdlib.h>

#include <cstring>
#include <random>

inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && std::getenv(name) != nullptr) return 0;
    return _putenv_s(name, value);
}
inline int unsetenv(const char* name) { return _putenv_s(name, ""); }

// `pattern` ends in XXXXXX, as for POSIX mkdtemp; those become random letters.
inline char* mkdtemp(char* pattern) {
    const size_t length = std::strlen(pattern);
    if (length < 6) return nullptr;
    static std::mt19937 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (size_t i = length - 6; i < length; ++i)
            pattern[i] = static_cast<char>('a' + random() % 26);
        if (_mkdir(pattern) == 0) return pattern;
    }
    return nullptr;
}
#endif
