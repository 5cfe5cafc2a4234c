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
    const std::string folder = std::filesystem::path(path_).parent_path().string();
    // Adding a folder that is watched already changes nothing; one that does not exist fails.
    for (const std::string& dir : {folder, std::string("/dev"), std::string("/dev/serial/by-id")}) {
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
