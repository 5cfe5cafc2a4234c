// Serial ports as the user knows them: which device each COM number names, what that device
// is, and whether it can be opened now.
//
// COMn names, in this order of precedence: the device the program was given for it
// (SetPortDevice, from its --port COMn=PATH option), the environment variable K419_COMn, or
// the n-th serial device found on the system (FindSerialDevices). A device found keeps its
// number for the whole run: while it is away no other device takes the number, and when it
// comes back (under another node name, say) the number names it again.
#pragma once

#include <string>
#include <vector>

namespace k419::platform {

struct SerialDevice {
    std::string path;         // the device node: "/dev/ttyUSB0"
    std::string stableName;   // a name that survives replugging: its /dev/serial/by-id link
                              // (else by-path), or the node itself for a built-in UART
    std::string description;  // for a person: "FTDI FT232R USB UART, serial A6008isP"
    bool usb = false;         // a USB or ACM adapter (else a built-in UART)
};

// The serial devices present, in the order COM numbers go to them: USB and ACM adapters
// first, ordered by their /dev/serial/by-id names (else by-path, else node names), so the
// order does not depend on the order they were plugged in; then the built-in UARTs that have
// hardware behind them (a ttyS whose class type is not 0; the phantom ones every PC lists are
// left out), by number. A device that is a system console (sys/class/tty/console/active,
// proc/consoles) is not among them: the kernel writes its messages there. `root` stands in for
// "/" (sys/class/tty, dev, dev/serial, proc).
std::vector<SerialDevice> FindSerialDevices(const std::string& root = "/");

// The serial devices that FindSerialDevices leaves out because they are system consoles.
std::vector<SerialDevice> FindConsoleDevices(const std::string& root = "/");

// Gives COM`number` the device `path` for the rest of the run, ahead of everything else.
void SetPortDevice(int number, const std::string& path);

// Where COMn points and why.
struct PortInfo {
    int number = 0;           // 0 for a system console, which has no number
    std::string path;         // empty: no device has this number
    std::string description;  // of a device found, else empty
    std::string source;       // "--port", "K419_COM2", "found", "console" (or empty with no
                              // device)
};

// The device COM`number` names now (the mapping above). A device found that is away keeps its
// last node name. Rescans the system at most twice a second.
PortInfo DescribePort(int number);

// COM1 to COM4 and every further number that names a device, in number order; then the
// system consoles, which no number names (number 0, source "console").
std::vector<PortInfo> ListPorts();

enum class DeviceState { Ok, Busy, NoPermission, Missing };

// Whether `path` can be opened now: missing, no permission, held by another program (busy),
// or ok. Opens and closes it only; changes nothing on the device.
DeviceState ProbeSerialDevice(const std::string& path);

// Who may use the device at `path`: the names of its owner and group (their numbers where
// they have none) and its mode as ls shows it ("crw-rw----"); all empty when it cannot be read.
struct DeviceAccess {
    std::string owner, group, mode;
};
DeviceAccess DescribeDeviceAccess(const std::string& path);

// "ok", "busy", "no permission", "missing".
const char* DeviceStateName(DeviceState state);

// Makes the port table forget everything and look for devices under `root` from now on (the
// tests' scratch trees); "/" restores the system.
void ResetPortTableForTests(const std::string& root);

}  // namespace k419::platform
