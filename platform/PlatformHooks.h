// What the POSIX platform layer offers beyond the Win32 surface of windows.h: the bridge
// between a GUI toolkit's event loop and the per-thread message queues, and the mapping of
// Win32 serial port names to device paths.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace k419::platform {

// Installs the calling thread's wake hook (an empty function removes it). The layer calls it,
// possibly from another thread and while no lock of the layer is held, whenever a message is
// posted or sent to a window of this thread or to the thread itself. The hook must be cheap
// and must not pump messages itself; a toolkit typically schedules a call of
// PumpPendingMessages() on its own event loop.
void SetThreadWakeHook(std::function<void()> hook);

// Runs every message of the calling thread that is pending now: sent messages first, then
// posted ones (dispatched to their window procedures). A WM_QUIT that is found is left in the
// queue, so the thread's own message loop still sees it. Returns the number of messages run.
int PumpPendingMessages();

// Waits until a sent or posted message is pending for the calling thread, or the time limit
// (milliseconds, INFINITE = 0xFFFFFFFF for none) passes. Sent messages that arrive during the
// wait are run at once (as Win32 does in its waits). Returns true when a posted message is
// pending.
bool WaitForMessage(uint32_t timeoutMs);

// The device path that CreateFileA opens for a name: "\\.\COMn" (also "COMn", any case) maps
// to the environment variable K419_COMn when it is set and not empty, else to /dev/ttyS<n-1>;
// any other name is taken as a path. Returns an empty string for "COM0" or a bad number.
std::string DevicePathForName(const char* name);

// A one-line description of the operating system, from uname: "Linux 6.1.0-18-amd64 x86_64".
std::string OperatingSystemText();

}  // namespace k419::platform
