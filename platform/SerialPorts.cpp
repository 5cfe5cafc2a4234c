#include "SerialPorts.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>

namespace k419::platform {

namespace fs = std::filesystem;

namespace {

std::string ReadAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    return text;
}

fs::path Resolved(const fs::path& path) {
    std::error_code error;
    fs::path real = fs::canonical(path, error);
    return error ? fs::path() : real;
}

// The USB device a tty sits on: the nearest directory above it that has a vendor id.
std::optional<fs::path> UsbDeviceOf(const fs::path& ttyDevice) {
    fs::path dir = Resolved(ttyDevice);
    for (int up = 0; up < 4 && !dir.empty() && dir.has_relative_path(); ++up) {
        if (fs::exists(dir / "idVendor")) return dir;
        dir = dir.parent_path();
    }
    return std::nullopt;
}

std::string UsbDescription(const fs::path& usb) {
    std::string text = ReadAttribute(usb / "manufacturer");
    const std::string product = ReadAttribute(usb / "product");
    if (!product.empty()) text += (text.empty() ? "" : " ") + product;
    if (text.empty()) {
        text = "USB " + ReadAttribute(usb / "idVendor") + ":" + ReadAttribute(usb / "idProduct");
    }
    const std::string serial = ReadAttribute(usb / "serial");
    if (!serial.empty()) text += ", serial " + serial;
    return text;
}

// Node names ordered by their trailing number: ttyS2 before ttyS10.
bool NaturalLess(const std::string& a, const std::string& b) {
    const auto split = [](const std::string& s) {
        std::size_t digits = s.size();
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(s[digits - 1]))) --digits;
        const long number = digits < s.size() ? std::strtol(s.c_str() + digits, nullptr, 10) : -1;
        return std::pair(s.substr(0, digits), number);
    };
    return split(a) < split(b);
}

// The links of /dev/serial/by-id (or by-path) by the node they point at.
std::map<fs::path, fs::path> StableLinks(const fs::path& root, const char* kind) {
    std::map<fs::path, fs::path> links;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(root / "dev" / "serial" / kind, error)) {
        const fs::path node = Resolved(entry.path());
        if (!node.empty() && links.count(node) == 0) links.emplace(node, entry.path());
    }
    return links;
}

// The node names of the system consoles: the kernel's active consoles and those it lists with
// their flags ("ttyS0 -W- (EC p a) 4:64").
std::vector<std::string> ConsoleNames(const fs::path& root) {
    std::vector<std::string> names;
    std::istringstream active(ReadAttribute(root / "sys" / "class" / "tty" / "console" / "active"));
    for (std::string name; active >> name;) names.push_back(name);
    std::ifstream consoles(root / "proc" / "consoles");
    for (std::string line; std::getline(consoles, line);) {
        std::istringstream fields(line);
        if (std::string name; fields >> name) names.push_back(name);
    }
    return names;
}

// The serial devices present, consoles or not (see FindSerialDevices).
std::vector<SerialDevice> ScanSerialDevices(const fs::path& root, bool consoles) {
    const auto byId = StableLinks(root, "by-id");
    const auto byPath = StableLinks(root, "by-path");
    const auto consoleNames = ConsoleNames(root);
    std::vector<SerialDevice> adapters, uarts;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(root / "sys" / "class" / "tty", error)) {
        const fs::path tty = entry.path();
        const std::string name = tty.filename().string();
        // Consoles, virtual terminals and pseudo-terminals have no device behind them.
        if (!fs::exists(tty / "device")) continue;
        const bool console =
            std::find(consoleNames.begin(), consoleNames.end(), name) != consoleNames.end();
        if (console != consoles) continue;
        SerialDevice device;
        device.path = (root / "dev" / name).string();
        const fs::path node = Resolved(device.path);
        if (const auto usb = UsbDeviceOf(tty / "device")) {
            device.usb = true;
            device.description = UsbDescription(*usb);
            if (const auto id = byId.find(node); id != byId.end()) {
                device.stableName = id->second.string();
            } else if (const auto place = byPath.find(node); place != byPath.end()) {
                device.stableName = place->second.string();
            } else {
                device.stableName = device.path;
            }
            adapters.push_back(std::move(device));
        } else {
            // A UART the kernel lists without hardware behind it reports type 0 (unknown).
            const std::string type = ReadAttribute(tty / "type");
            if (type.empty() || type == "0") continue;
            device.stableName = device.path;
            device.description = "built-in serial port " + name;
            uarts.push_back(std::move(device));
        }
    }
    std::sort(adapters.begin(), adapters.end(), [](const auto& a, const auto& b) {
        return a.stableName != b.stableName ? a.stableName < b.stableName : a.path < b.path;
    });
    std::sort(uarts.begin(), uarts.end(), [](const auto& a, const auto& b) {
        return NaturalLess(fs::path(a.path).filename(), fs::path(b.path).filename());
    });
    adapters.insert(adapters.end(), uarts.begin(), uarts.end());
    return adapters;
}

}  // namespace

std::vector<SerialDevice> FindSerialDevices(const std::string& root) {
    return ScanSerialDevices(root, false);
}

std::vector<SerialDevice> FindConsoleDevices(const std::string& root) {
    return ScanSerialDevices(root, true);
}

namespace {

// The COM numbers of this run: given devices, and devices found, each found one keeping its
// number by its stable name.
class PortTable {
  public:
    void Give(int number, const std::string& path) {
        std::lock_guard lock(mutex_);
        given_[number] = path;
    }

    PortInfo Describe(int number) {
        std::lock_guard lock(mutex_);
        PortInfo info;
        info.number = number;
        if (const auto given = given_.find(number); given != given_.end()) {
            info.path = given->second;
            info.source = "--port";
        } else if (const char* mapped = std::getenv(("K419_COM" + std::to_string(number)).c_str());
                   mapped != nullptr && *mapped != '\0') {
            info.path = mapped;
            info.source = "K419_COM" + std::to_string(number);
        }
        // A number given a device needs no look at the system (which costs a walk through
        // every tty the kernel lists); neither does one a found device has.
        if (scanned_ == Clock::time_point{} || (info.path.empty() && found_.count(number) == 0)) {
            Rescan();
        }
        if (const auto found = found_.find(number); found != found_.end()) {
            if (info.path.empty()) {
                // Where its stable name points now (it may have come back under another node).
                const fs::path node = Resolved(found->second.stableName);
                if (!node.empty() && found->second.stableName != found->second.path) {
                    found->second.path = (fs::path(root_) / "dev" / node.filename()).string();
                }
                info.path = found->second.path;
                info.source = "found";
            }
            if (info.path == found->second.path) info.description = found->second.description;
        }
        if (info.description.empty()) {
            for (const auto& [n, device] : found_) {
                if (device.path == info.path) info.description = device.description;
            }
        }
        return info;
    }

    std::vector<PortInfo> List() {
        int last = 4;
        {
            std::lock_guard lock(mutex_);
            Rescan(true);
            if (!found_.empty()) last = std::max(last, found_.rbegin()->first);
            if (!given_.empty()) last = std::max(last, given_.rbegin()->first);
        }
        std::vector<PortInfo> ports;
        for (int number = 1; number <= last; ++number) {
            PortInfo info = Describe(number);
            if (number <= 4 || !info.path.empty()) ports.push_back(std::move(info));
        }
        std::string root;
        {
            std::lock_guard lock(mutex_);
            root = root_;
        }
        for (const SerialDevice& console : FindConsoleDevices(root)) {
            ports.push_back({0, console.path, console.description, "console"});
        }
        return ports;
    }

    void Reset(const std::string& root) {
        std::lock_guard lock(mutex_);
        root_ = root;
        given_.clear();
        found_.clear();
        scanned_ = {};
    }

  private:
    using Clock = std::chrono::steady_clock;

    // Looks for devices again (at most twice a second unless `now`): a device seen before
    // keeps its number and takes its current node name; a new one takes the lowest number no
    // device found has had.
    void Rescan(bool now = false) {
        const auto at = Clock::now();
        if (!now && scanned_ != Clock::time_point{} &&
            at - scanned_ < std::chrono::milliseconds(500)) {
            return;
        }
        scanned_ = at;
        for (SerialDevice& device : FindSerialDevices(root_)) {
            auto known = std::find_if(found_.begin(), found_.end(), [&](const auto& entry) {
                return entry.second.stableName == device.stableName;
            });
            if (known != found_.end()) {
                known->second = std::move(device);
                continue;
            }
            int number = 1;
            while (found_.count(number) != 0) ++number;
            found_.emplace(number, std::move(device));
        }
    }

    std::mutex mutex_;
    std::string root_ = "/";
    std::map<int, std::string> given_;
    std::map<int, SerialDevice> found_;
    Clock::time_point scanned_{};
};

PortTable& Ports() {
    static PortTable table;
    return table;
}

}  // namespace

void SetPortDevice(int number, const std::string& path) { Ports().Give(number, path); }

PortInfo DescribePort(int number) { return Ports().Describe(number); }

std::vector<PortInfo> ListPorts() { return Ports().List(); }

void ResetPortTableForTests(const std::string& root) { Ports().Reset(root); }

DeviceState ProbeSerialDevice(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
            case EACCES:
            case EPERM:
                return DeviceState::NoPermission;
            case EBUSY:
                return DeviceState::Busy;
            default:
                return DeviceState::Missing;
        }
    }
    // Another program holding it (as this one does) has it locked.
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return locked ? DeviceState::Busy : DeviceState::Ok;
}

DeviceAccess DescribeDeviceAccess(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {};
    DeviceAccess access;
    std::vector<char> buffer(16384);
    passwd user{};
    passwd* foundUser = nullptr;
    getpwuid_r(info.st_uid, &user, buffer.data(), buffer.size(), &foundUser);
    access.owner = foundUser != nullptr ? foundUser->pw_name : std::to_string(info.st_uid);
    group group{};
    struct group* foundGroup = nullptr;
    getgrgid_r(info.st_gid, &group, buffer.data(), buffer.size(), &foundGroup);
    access.group = foundGroup != nullptr ? foundGroup->gr_name : std::to_string(info.st_gid);
    const mode_t mode = info.st_mode;
    access.mode = S_ISCHR(mode) ? "c" : S_ISDIR(mode) ? "d" : S_ISLNK(mode) ? "l" : "-";
    const std::pair<mode_t, char> bits[] = {{S_IRUSR, 'r'}, {S_IWUSR, 'w'}, {S_IXUSR, 'x'},
                                            {S_IRGRP, 'r'}, {S_IWGRP, 'w'}, {S_IXGRP, 'x'},
                                            {S_IROTH, 'r'}, {S_IWOTH, 'w'}, {S_IXOTH, 'x'}};
    for (const auto& [bit, letter] : bits) access.mode += (mode & bit) ? letter : '-';
    return access;
}

const char* DeviceStateName(DeviceState state) {
    switch (state) {
        case DeviceState::Ok:
            return "ok";
        case DeviceState::Busy:
            return "busy";
        case DeviceState::NoPermission:
            return "no permission";
        case DeviceState::Missing:
            return "missing";
    }
    return "missing";
}

}  // namespace k419::platform
