// The process's surroundings as a desktop program meets them: termination requests and the
// display servers named by the environment.
#include <dlfcn.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/PlatformHooks.h"

namespace k419::platform {

namespace {

int terminationPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(terminationPipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

int TerminationRequestDescriptor() {
    if (terminationPipe[0] >= 0) return terminationPipe[0];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, terminationPipe) !=
        0) {
        terminationPipe[0] = terminationPipe[1] = -1;
        return -1;
    }
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    return terminationPipe[0];
}

void DrainTerminationRequests() {
    if (terminationPipe[0] < 0) return;
    char bytes[64];
    while (::read(terminationPipe[0], bytes, sizeof bytes) > 0) {
    }
}

bool X11DisplayReachable(const char* display) {
    if (display == nullptr || *display == '\0') return false;
    // Through the library the toolkit's own X11 support uses, loaded only for this question:
    // it reads the authorisation and speaks the protocol's greeting, so a server that refuses
    // this client counts as unreachable too.
    void* xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (xcb == nullptr) return false;
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    const auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
    const auto hasError = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
    bool reachable = false;
    if (connect != nullptr && hasError != nullptr && disconnect != nullptr) {
        void* connection = connect(display, nullptr);
        // A failed connection is still an object to free.
        reachable = connection != nullptr && hasError(connection) == 0;
        if (connection != nullptr) disconnect(connection);
    }
    ::dlclose(xcb);
    return reachable;
}

bool WaylandDisplayReachable(const char* name) {
    if (name == nullptr || *name == '\0') return false;
    std::string path = name;
    if (path.front() != '/') {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        if (runtime == nullptr || *runtime == '\0') return false;
        path = std::string(runtime) + "/" + path;
    }
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool reachable =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return reachable;
}

}  // namespace k419::platform
