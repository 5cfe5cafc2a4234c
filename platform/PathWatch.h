// Notice that a device may have appeared, for a program that waits for one without looking
// again and again: a descriptor an event loop can watch.
#pragma once

#include <string>

namespace k419::platform {

class PathWatch {
  public:
    // Watches the folders where `path`, or the node it names, can appear: the path's own
    // folder, /dev and /dev/serial/by-id, each through the nearest folder above it that exists
    // while it does not. The descriptor becomes readable when something is created or moved in
    // there, or changes its attributes (a device node whose permissions are set after it
    // appeared).
    explicit PathWatch(const std::string& path);
    ~PathWatch();
    PathWatch(const PathWatch&) = delete;
    PathWatch& operator=(const PathWatch&) = delete;

    // -1 when no watch could be set up: then only looking again helps.
    int Descriptor() const { return fd_; }
    // Takes the pending notices, so that the descriptor is readable again only for new ones,
    // and follows the watched paths down into folders that appeared meanwhile
    // (/dev/serial/by-id with a first adapter).
    void Drain();

  private:
    void Watch();

    std::string path_;
    int fd_ = -1;
};

}  // namespace k419::platform
