#include "PathWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>

namespace k419::platform {

PathWatch::PathWatch(const std::string& path) : path_(path) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0) Watch();
}

PathWatch::~PathWatch() {
    if (fd_ >= 0) close(fd_);
}

void PathWatch::Watch() {
    constexpr uint32_t Changes = IN_CREATE | IN_MOVED_TO | IN_ATTRIB;
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(path_).parent_path();
    // A folder that does not exist (udev removes /dev/serial/by-id with the last adapter) is
    // watched through the nearest folder above it that does: its creation is a notice there,
    // and the next Drain watches one level further down, until the folder itself is watched.
    // Adding a folder that is watched already changes nothing.
    for (fs::path dir : {folder, fs::path("/dev"), fs::path("/dev/serial/by-id")}) {
        std::error_code error;
        while (!dir.empty() && !fs::is_directory(dir, error) && dir.has_relative_path()) {
            dir = dir.parent_path();
        }
        if (!dir.empty()) inotify_add_watch(fd_, dir.c_str(), Changes);
    }
}

void PathWatch::Drain() {
    if (fd_ < 0) return;
    alignas(inotify_event) char buffer[4096];
    while (read(fd_, buffer, sizeof buffer) > 0) {
    }
    Watch();
}

}  // namespace k419::platform
