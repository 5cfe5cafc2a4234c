// A new pseudo-terminal for the benchmarks that need a line of their own.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace k419::bench {

// The master's descriptor, with the slave's path in `slave`; -1 when none can be made.
inline int OpenPseudoTerminal(std::string& slave) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[256];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        if (master >= 0) ::close(master);
        return -1;
    }
    slave = name;
    return master;
}

}  // namespace k419::bench
