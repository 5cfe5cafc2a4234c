// Serial ports found by device, against scratch trees that stand in for /sys and /dev: the
// order COM numbers go to devices, phantom UARTs left out, numbers kept while a device is
// away, and the probe's states.
#include "platform/SerialPorts.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/TestPty.h"

namespace {

namespace fs = std::filesystem;
using namespace k419::platform;

// A scratch root with sysfs and /dev entries of serial devices, as the kernel and udev make
// them (relative symlinks, so they resolve inside the scratch root).
class ScratchSystem {
  public:
    ScratchSystem() {
        root_ = fs::temp_directory_path() / ("k419-sys-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "sys/class/tty");
        fs::create_directories(root_ / "dev/serial/by-id");
        fs::create_directories(root_ / "dev/serial/by-path");
    }
    ~ScratchSystem() {
        fs::remove_all(root_);
        ResetPortTableForTests("/");
    }
    std::string Root() const { return root_.string(); }

    // A USB adapter: its sysfs device below a USB device with these attributes, its node and
    // its by-id link.
    void PlugUsb(const std::string& node, const std::string& id, const std::string& product,
                 const std::string& serial, const std::string& port = "1-1") {
        const fs::path usb = root_ / "sys/devices/pci0000:00/usb1" / port;
        const fs::path tty = usb / (port + ":1.0") / node;
        fs::create_directories(tty);
        Write(usb / "idVendor", "0403");
        Write(usb / "idProduct", "6001");
        Write(usb / "manufacturer", "FTDI");
        Write(usb / "product", product);
        Write(usb / "serial", serial);
        Tty(node, tty);
        fs::create_symlink("../../" + node, root_ / "dev/serial/by-id" / id);
    }
    void Unplug(const std::string& node, const std::string& id) {
        fs::remove_all(root_ / "sys/class/tty" / node);
        fs::remove(root_ / "dev" / node);
        fs::remove(root_ / "dev/serial/by-id" / id);
    }
    // A built-in UART; type 0 is one the kernel lists without hardware.
    void Uart(const std::string& node, int type) {
        const fs::path tty = root_ / "sys/devices/pnp0/00:00" / node;
        fs::create_directories(tty);
        Tty(node, tty);
        Write(root_ / "sys/class/tty" / node / "type", std::to_string(type));
    }

    // The kernel's consoles: the active ones and those /proc lists.
    void Consoles(const std::string& active, const std::string& procConsoles) {
        fs::create_directories(root_ / "sys/class/tty/console");
        fs::create_directories(root_ / "proc");
        Write(root_ / "sys/class/tty/console/active", active);
        Write(root_ / "proc/consoles", procConsoles);
    }

  private:
    static void Write(const fs::path& file, const std::string& text) {
        std::ofstream(file) << text << "\n";
    }
    void Tty(const std::string& node, const fs::path& device) {
        const fs::path entry = root_ / "sys/class/tty" / node;
        fs::create_directories(entry);
        fs::create_directory_symlink(fs::relative(device, entry), entry / "device");
        Write(root_ / "dev" / node, "");
    }

    fs::path root_;
};

std::vector<std::string> Nodes(const std::vector<SerialDevice>& devices) {
    std::vector<std::string> nodes;
    for (const auto& d : devices) nodes.push_back(fs::path(d.path).filename().string());
    return nodes;
}

TEST(SerialPorts, AdaptersComeFirstByTheirStableNamesThenUartsWithHardware) {
    for (const bool swapped : {false, true}) {
        SCOPED_TRACE(swapped ? "plugged B first" : "plugged A first");
        ScratchSystem system;
        // The same two adapters, whichever got ttyUSB0.
        system.PlugUsb(swapped ? "ttyUSB1" : "ttyUSB0", "usb-FTDI_FT232R_A-if00-port0",
                       "FT232R USB UART", "A", "1-1");
        system.PlugUsb(swapped ? "ttyUSB0" : "ttyUSB1", "usb-FTDI_FT232R_B-if00-port0",
                       "FT232R USB UART", "B", "1-2");
        system.Uart("ttyS10", 4);
        system.Uart("ttyS1", 0);  // phantom
        system.Uart("ttyS2", 4);
        const auto devices = FindSerialDevices(system.Root());
        ASSERT_EQ(devices.size(), 4u);
        EXPECT_EQ(fs::path(devices[0].stableName).filename(), "usb-FTDI_FT232R_A-if00-port0");
        EXPECT_EQ(devices[0].description, "FTDI FT232R USB UART, serial A");
        EXPECT_TRUE(devices[0].usb);
        EXPECT_EQ(fs::path(devices[1].stableName).filename(), "usb-FTDI_FT232R_B-if00-port0");
        EXPECT_EQ(Nodes(devices)[2], "ttyS2");
        EXPECT_EQ(Nodes(devices)[3], "ttyS10");
        EXPECT_EQ(devices[3].description, "built-in serial port ttyS10");
        EXPECT_FALSE(devices[3].usb);
    }
}

TEST(SerialPorts, AFoundDeviceKeepsItsNumberWhileAwayAndWhenItComesBack) {
    ScratchSystem system;
    system.PlugUsb("ttyUSB0", "usb-A", "Adapter", "A", "1-1");
    system.Uart("ttyS0", 4);
    ResetPortTableForTests(system.Root());
    EXPECT_EQ(fs::path(DescribePort(1).path).filename(), "ttyUSB0");
    EXPECT_EQ(DescribePort(1).source, "found");
    EXPECT_EQ(fs::path(DescribePort(2).path).filename(), "ttyS0");

    system.Unplug("ttyUSB0", "usb-A");
    system.PlugUsb("ttyUSB1", "usb-B", "Other", "B", "1-3");
    // COM1 stays the away adapter's; the newcomer takes a number nobody had (a listing looks
    // at once, a single port at most twice a second).
    ASSERT_EQ(ListPorts().size(), 4u);
    EXPECT_EQ(fs::path(DescribePort(3).path).filename(), "ttyUSB1");
    EXPECT_EQ(fs::path(DescribePort(1).path).filename(), "ttyUSB0");

    system.PlugUsb("ttyUSB4", "usb-A", "Adapter", "A", "1-4");  // back, under another node
    EXPECT_EQ(fs::path(DescribePort(1).path).filename(), "ttyUSB4");

    // Given devices go ahead of everything.
    SetPortDevice(1, "/dev/given");
    EXPECT_EQ(DescribePort(1).path, "/dev/given");
    EXPECT_EQ(DescribePort(1).source, "--port");
    const auto ports = ListPorts();
    ASSERT_EQ(ports.size(), 4u);
    EXPECT_EQ(ports[3].number, 4);
    EXPECT_TRUE(ports[3].path.empty());
}

// A serial line that is the kernel's console is not the meter's: no number goes to it, and the
// listing shows it apart.
TEST(SerialPorts, ASystemConsoleGetsNoNumber) {
    for (const bool listedInProc : {false, true}) {
        SCOPED_TRACE(listedInProc ? "/proc/consoles" : "console/active");
        ScratchSystem system;
        system.Uart("ttyS0", 4);
        system.Uart("ttyS1", 4);
        system.Consoles(listedInProc ? "tty0" : "tty0 ttyS0",
                        listedInProc ? "ttyS0                -W- (EC  p a)    4:64" : "");
        EXPECT_EQ(Nodes(FindSerialDevices(system.Root())), std::vector<std::string>{"ttyS1"});
        EXPECT_EQ(Nodes(FindConsoleDevices(system.Root())), std::vector<std::string>{"ttyS0"});
        ResetPortTableForTests(system.Root());
        EXPECT_EQ(fs::path(DescribePort(1).path).filename(), "ttyS1");
        const auto ports = ListPorts();
        ASSERT_EQ(ports.size(), 5u);
        EXPECT_EQ(ports[4].number, 0);
        EXPECT_EQ(ports[4].source, "console");
        EXPECT_EQ(fs::path(ports[4].path).filename(), "ttyS0");
    }
}

// Two adapters plugged in again with their kernel names swapped: each number follows its
// adapter's by-id name, and no device is listed twice.
TEST(SerialPorts, AdaptersReplugWithSwappedNodesKeepTheirNumbers) {
    ScratchSystem system;
    system.PlugUsb("ttyUSB0", "usb-A", "Adapter", "A", "1-1");
    system.PlugUsb("ttyUSB1", "usb-B", "Adapter", "B", "1-2");
    ResetPortTableForTests(system.Root());
    ASSERT_EQ(fs::path(ListPorts()[0].path).filename(), "ttyUSB0");
    system.Unplug("ttyUSB0", "usb-A");
    system.Unplug("ttyUSB1", "usb-B");
    system.PlugUsb("ttyUSB1", "usb-A", "Adapter", "A", "1-1");
    system.PlugUsb("ttyUSB0", "usb-B", "Adapter", "B", "1-2");
    const auto ports = ListPorts();  // a listing looks again at once
    ASSERT_EQ(ports.size(), 4u);
    EXPECT_EQ(fs::path(ports[0].path).filename(), "ttyUSB1");
    EXPECT_NE(ports[0].description.find("serial A"), std::string::npos) << ports[0].description;
    EXPECT_EQ(fs::path(ports[1].path).filename(), "ttyUSB0");
    EXPECT_NE(ports[1].description.find("serial B"), std::string::npos) << ports[1].description;
    EXPECT_EQ(fs::path(DescribePort(1).path).filename(), "ttyUSB1");
    EXPECT_EQ(fs::path(DescribePort(2).path).filename(), "ttyUSB0");
}

TEST(SerialPorts, TheProbeTellsMissingBusyAndOk) {
    EXPECT_EQ(ProbeSerialDevice("/nonexistent/k419-tty"), DeviceState::Missing);
    TestPty pty(9);
    EXPECT_EQ(ProbeSerialDevice(pty.Path()), DeviceState::Ok);
    const int held = ::open(pty.Path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(ProbeSerialDevice(pty.Path()), DeviceState::Busy);
    ::close(held);
    EXPECT_STREQ(DeviceStateName(DeviceState::NoPermission), "no permission");
}

}  // namespace
