// The platform hooks the engine uses, on Windows itself: only the naming of threads, which
// debuggers and Process Explorer show.
#include <windows.h>

#include <string>

#include "platform/PlatformHooks.h"

namespace k419::platform {

void NameCurrentThread(const char* name) {
    // SetThreadDescription exists from Windows 10 1607 on; older systems go without names.
    using Describe = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const auto describe = reinterpret_cast<Describe>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetThreadDescription")));
    if (describe == nullptr || name == nullptr) return;
    const int length = MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
    if (length <= 0) return;
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, name, -1, wide.data(), length);
    describe(GetCurrentThread(), wide.c_str());
}

}  // namespace k419::platform
