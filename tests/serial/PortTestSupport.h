// Pieces the port component's tests share: the front panel's port settings and per-test
// scratch folders.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "serial/ComPort.h"

// The settings the front panel stores for its port (9600 baud, RTS low, flow thresholds).
inline void ApplyFrontPanelSettings(TComPort& port) {
    port.SetBaud(9600);
    port.SetRTS(false);
    port.SetBufferFull(3686);
    port.SetBufferResume(409);
}

// The same on COMn.
inline void ConfigureFrontPanelPort(TComPort& port, int comNumber) {
    port.SetComNumber(static_cast<uint16_t>(comNumber));
    ApplyFrontPanelSettings(port);
}

// Empty folders named after the running test, removed with this object.
class TestDirs {
  public:
    explicit TestDirs(std::string prefix) : prefix_(std::move(prefix)) {}
    ~TestDirs() {
        for (const std::filesystem::path& dir : dirs_) std::filesystem::remove_all(dir);
    }
    TestDirs(const TestDirs&) = delete;
    TestDirs& operator=(const TestDirs&) = delete;

    std::filesystem::path Make() {
        std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    (prefix_ + std::to_string(getpid()) + "-" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        dirs_.push_back(dir);
        return dir;
    }

  private:
    std::string prefix_;
    std::vector<std::filesystem::path> dirs_;
};
