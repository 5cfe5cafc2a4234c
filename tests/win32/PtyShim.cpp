// A preload library for running the engine under Wine on a Linux pseudo-terminal. Wine's serial
// layer polls the modem lines (TIOCMGET) and the interrupt counters (TIOCGICOUNT) while a program
// waits for comm events, and ends the wait when either fails; a pseudo-terminal has neither. On a
// pseudo-terminal this library answers both: the modem lines are up (CTS, DSR, CD), and the
// receive counter grows by the bytes that arrived since the last look (what is waiting now,
// less what was waiting then and has not been read since). Everything else goes to the C
// library. For the tests only: it proves the engine against Wine's comm layer, not a UART.
#include <dlfcn.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <mutex>

namespace {

constexpr int kTracked = 4096;  // descriptors above this are left alone

struct Counters {
    unsigned waitingThen = 0;  // bytes waiting at the last look, less those read since
    unsigned long received = 0;
};

std::mutex mutex;
Counters counters[kTracked];

bool IsPseudoTerminal(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) return false;
    const unsigned kind = major(status.st_rdev);
    return kind >= 136 && kind <= 143;  // the Unix 98 pseudo-terminal slaves
}

using IoctlFunction = int (*)(int, unsigned long, void*);
using ReadFunction = ssize_t (*)(int, void*, size_t);

IoctlFunction RealIoctl() {
    static const auto real = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
    return real;
}

ReadFunction RealRead() {
    static const auto real = reinterpret_cast<ReadFunction>(dlsym(RTLD_NEXT, "read"));
    return real;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    const int result = RealIoctl()(fd, request, argument);
    if (result == 0 || (request != TIOCMGET && request != TIOCGICOUNT) || fd < 0 ||
        fd >= kTracked || !IsPseudoTerminal(fd))
        return result;
    if (request == TIOCMGET) {
        *static_cast<int*>(argument) = TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
        return 0;
    }
    int waiting = 0;
    if (RealIoctl()(fd, FIONREAD, &waiting) != 0) waiting = 0;
    std::lock_guard hold(mutex);
    Counters& c = counters[fd];
    if (static_cast<unsigned>(waiting) > c.waitingThen)
        c.received += static_cast<unsigned>(waiting) - c.waitingThen;
    c.waitingThen = static_cast<unsigned>(waiting);
    serial_icounter_struct counts{};
    counts.rx = static_cast<int>(c.received);
    *static_cast<serial_icounter_struct*>(argument) = counts;
    errno = 0;
    return 0;
}

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
    const ssize_t n = RealRead()(fd, buffer, count);
    if (n > 0 && fd >= 0 && fd < kTracked) {
        std::lock_guard hold(mutex);
        Counters& c = counters[fd];
        c.waitingThen = c.waitingThen > static_cast<unsigned>(n) ? c.waitingThen - n : 0;
    }
    return n;
}
