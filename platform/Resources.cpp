// Resources: the blobs compiled into the program, looked up by name and type. Kept apart from
// the other units so that programs that never load a resource need not link the blobs.
#include "PlatformInternal.h"

#include "resources/EmbeddedResources.h"

#include <string>

namespace {

// Integer names and types are spelled "#<n>", as resource compilers record them.
std::string ResourceKey(LPCSTR nameOrId) {
    if (IS_INTRESOURCE(nameOrId)) return "#" + std::to_string(LOWORD(nameOrId));
    return nameOrId;
}

const k419::EmbeddedResource* AsResource(const void* handle) {
    return static_cast<const k419::EmbeddedResource*>(handle);
}

}  // namespace

HRSRC WINAPI FindResourceA(HMODULE, LPCSTR lpName, LPCSTR lpType) {
    if (lpName == nullptr || lpType == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const k419::EmbeddedResource* resource =
        k419::FindEmbeddedResource(ResourceKey(lpName).c_str(), ResourceKey(lpType).c_str());
    if (resource == nullptr) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    // The handles are the entries of the program's constant resource table itself.
    return reinterpret_cast<HRSRC>(const_cast<k419::EmbeddedResource*>(resource));
}

HGLOBAL WINAPI LoadResource(HMODULE, HRSRC hResInfo) {
    if (hResInfo == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return reinterpret_cast<HGLOBAL>(hResInfo);
}

LPVOID WINAPI LockResource(HGLOBAL hResData) {
    if (hResData == nullptr) return nullptr;
    // Read-only data, as the resources of a loaded image are.
    return const_cast<unsigned char*>(AsResource(hResData)->data);
}

DWORD WINAPI SizeofResource(HMODULE, HRSRC hResInfo) {
    if (hResInfo == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return static_cast<DWORD>(AsResource(hResInfo)->size);
}

BOOL WINAPI FreeResource(HGLOBAL) {
    // Embedded resources live as long as the program; as on Win32, the call has nothing to do
    // and returns FALSE.
    return FALSE;
}
