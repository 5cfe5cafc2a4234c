// What the component's sources share among themselves; not for users of the component.
#pragma once

#include <windows.h>

#include <cstdint>

#include "serial/ComPort.h"

namespace k419::comport {

// Raises the exception of a negative code whatever the loading state: used where going on
// after a failure would be wrong.
[[noreturn]] void Raise(int32_t code);

// The component window whose notification, sent from a dispatch thread, is the innermost
// message this thread is handling; null while none is (or while a posted one is the innermost).
HWND& DeliveryWindow();

}  // namespace k419::comport
