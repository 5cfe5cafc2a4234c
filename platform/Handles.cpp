// The handle table, CloseHandle, the thread's last error and errno translation.
#include "PlatformHooks.h"
#include "PlatformInternal.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <unordered_map>

namespace k419::platform::detail {
namespace {

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<Object>> objects;
    // Starts well above small integers and steps by 4 like Win32 handles; 64 bits never wrap.
    uintptr_t next = 0x1000;
};

HandleTable& Table() {
    // Never destroyed: worker threads may still close handles while static objects of the
    // process are being torn down.
    static HandleTable* table = new HandleTable;
    return *table;
}

// How many handles have been removed so far. A thread's remembered handles are good while
// this has not changed since it remembered them: each of them is then still in the table.
std::atomic<uint64_t> removals{0};

// The handles a thread used last, with weak references that keep no object alive. A port's
// threads use three or four handles for every event.
struct RecentHandles {
    struct Entry {
        uintptr_t value = 0;
        std::weak_ptr<Object> object;
    };
    uint64_t removals = UINT64_MAX;  // none remembered yet
    std::array<Entry, 8> entries;
    size_t next = 0;  // the entry replaced next

    ~RecentHandles();
};

// Trivially destructible, so readable while the thread's other thread-local objects are being
// destroyed: a lookup made then goes to the table.
thread_local bool tRecentGone = false;
thread_local RecentHandles tRecent;

RecentHandles::~RecentHandles() { tRecentGone = true; }

std::shared_ptr<Object> LookupInTable(uintptr_t value) {
    HandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    auto it = table.objects.find(value);
    return it == table.objects.end() ? nullptr : it->second;
}

}  // namespace

HANDLE RegisterHandle(std::shared_ptr<Object> object) {
    HandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    uintptr_t value = table.next;
    table.next += 4;
    table.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> LookupHandle(HANDLE handle) {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    if (tRecentGone || value == 0) return LookupInTable(value);
    RecentHandles& recent = tRecent;
    // Read before the table is: a removal after this read is noticed by the next lookup.
    const uint64_t removed = removals.load(std::memory_order_acquire);
    if (recent.removals == removed) {
        for (const RecentHandles::Entry& entry : recent.entries) {
            // Still in the table, so alive, unless another thread is closing it this moment
            // (null then, as the table would answer a moment later).
            if (entry.value == value) return entry.object.lock();
        }
    } else {
        recent.entries = {};
        recent.removals = removed;
    }
    std::shared_ptr<Object> object = LookupInTable(value);
    if (object) {
        recent.entries[recent.next] = {value, object};
        recent.next = (recent.next + 1) % recent.entries.size();
    }
    return object;
}

std::shared_ptr<Object> UnregisterHandle(HANDLE handle) {
    HandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.objects.end()) return nullptr;
    std::shared_ptr<Object> object = std::move(it->second);
    table.objects.erase(it);
    removals.fetch_add(1, std::memory_order_acq_rel);
    return object;
}

DWORD Win32ErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case EACCES:
        case EPERM:
            return ERROR_PRIVILEGE_NOT_HELD;
        case EBUSY:
        case EWOULDBLOCK:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOTTY:
        case ENOSYS:
        case EOPNOTSUPP:
            return ERROR_NOT_SUPPORTED;
        case EIO:
        case ESHUTDOWN:
            return ERROR_DEVICE_NOT_CONNECTED;
        case ETIMEDOUT:
            return ERROR_TIMEOUT;
        case ECANCELED:
            return ERROR_OPERATION_ABORTED;
        case ENAMETOOLONG:
            return ERROR_INVALID_NAME;
        default:
            return static_cast<DWORD>(APPLICATION_ERROR_MASK) | static_cast<DWORD>(err);
    }
}

}  // namespace k419::platform::detail

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

DWORD WINAPI GetLastError(void) { return lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

BOOL WINAPI CloseHandle(HANDLE hObject) {
    using namespace k419::platform::detail;
    if (hObject == GetCurrentThread()) return TRUE;
    std::shared_ptr<Object> object = UnregisterHandle(hObject);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return object->Close() ? TRUE : FALSE;
}

namespace k419::platform::detail {

std::size_t OpenHandleCount() {
    HandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    return table.objects.size();
}

}  // namespace k419::platform::detail

std::size_t k419::platform::OpenHandlesForTests() { return detail::OpenHandleCount(); }
