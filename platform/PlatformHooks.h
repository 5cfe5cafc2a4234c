// What the POSIX platform layer offers beyond the Win32 surface of windows.h: the bridge
// between a GUI toolkit's event loop and the per-thread message queues, and the mapping of
// Win32 serial port names to device paths.
#pragma once

#include <cstddef>
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

// Installs the calling thread's toolkit hook (an empty function removes it): PeekMessageA and
// WaitForMessage call it on that thread before they look at the queue, so that a loop that
// pumps Win32 messages (a close waiting for worker threads) still lets the toolkit's own
// events, such as timer ticks and clicks, run. It is never re-entered from within itself.
void SetThreadToolkitHook(std::function<void()> hook);

// Runs every message of the calling thread that is pending now: sent messages first, then
// posted ones (dispatched to their window procedures). A WM_QUIT that is found is left in the
// queue, so the thread's own message loop still sees it. Messages posted while it runs wait
// for the next call (whose wake hook call has already happened), so a procedure that posts
// to itself cannot keep it running forever. Returns the number of messages run.
int PumpPendingMessages();

// Waits until a sent or posted message is pending for the calling thread, or the time limit
// (milliseconds, INFINITE = 0xFFFFFFFF for none) passes; gives the toolkit hook a turn first.
// Sent messages that arrive during the wait are run at once, on this thread. Returns true
// when a posted message or a quit request is pending.
bool WaitForMessage(uint32_t timeoutMs);

// The device path that CreateFileA opens for a name: "\\.\COMn" (also "COMn", any case) maps
// to the device COMn names (SerialPorts.h: the program's --port, else K419_COMn, else the n-th
// serial device found); another "\\.\name" maps to /dev/name, and anything else is taken as a
// path. Returns an empty string for "COM0", for a number no device has and for an empty name.
std::string DevicePathForName(const char* name);

// A one-line description of the operating system, from uname: "Linux 6.1.0-18-amd64 x86_64".
std::string OperatingSystemText();

// Termination requests (SIGINT, SIGTERM) as a descriptor an event loop can watch: from the
// first call on, each request makes a byte readable on it instead of ending the process, so
// the program can close its port in order. Returns -1 when that cannot be set up (the
// requests then keep their default effect); later calls return the same descriptor.
int TerminationRequestDescriptor();
// Takes every termination request waiting on that descriptor, so that it is no longer readable
// until the next request comes.
void DrainTerminationRequests();

// Whether the X11 display `display` (a DISPLAY value) accepts this process now, with the
// authorisation the environment gives. False for an empty name.
bool X11DisplayReachable(const char* display);

// Whether the Wayland compositor `name` (a WAYLAND_DISPLAY value, relative to XDG_RUNTIME_DIR
// unless it is absolute) accepts a connection now. False for an empty name.
bool WaylandDisplayReachable(const char* name);

// Names the calling thread for tools that list threads (top -H, gdb, perf); at most 15
// characters are kept.
void NameCurrentThread(const char* name);

// For the tests, what the layer keeps for its callers: the handles open, and the operations
// the serial device `device` (a HANDLE) refers to now, its pending reads, writes and event
// wait (0 for any other handle). A completed operation leaves nothing behind.
std::size_t OpenHandlesForTests();
std::size_t PendingOperationsForTests(void* device);
// For the tests: how long the serial device `device` waits at first before it takes over an
// event wait from the thread that blocked for the previous one, should that thread not block
// for it (100 ms unless set).
void SetHandoverGraceForTests(void* device, long long ns);
// For the tests: the serial device's event wait in progress, and every later one, complete
// with the Win32 error `error` (0: they work again), as some adapters' drivers make them.
void FailEventWaitsForTests(void* device, unsigned long error);

}  // namespace k419::platform
