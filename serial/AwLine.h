// The line settings record's flag word and baud rate codes, as the dispatcher's line settings
// and flow control use them.
#pragma once

#include <windows.h>

#include <cstdint>

// The DCB flag word: the bits of the record's flag fields, in Win32 order.
inline constexpr uint32_t dcbOutxCtsFlow = 0x0004;
inline constexpr uint32_t dcbOutxDsrFlow = 0x0008;
inline constexpr uint32_t dcbDtrEnable = 0x0010;
inline constexpr uint32_t dcbDtrHandshake = 0x0020;
inline constexpr uint32_t dcbOutX = 0x0100;
inline constexpr uint32_t dcbInX = 0x0200;
inline constexpr uint32_t dcbRtsEnable = 0x1000;
inline constexpr uint32_t dcbRtsHandshake = 0x2000;
inline constexpr uint32_t dcbRtsToggle = 0x3000;
uint32_t DcbFlags(const DCB& dcb);
void SetDcbFlags(DCB& dcb, uint32_t flags);

// 0xFEFF gives 115200; 0xFF10..0xFF27 give the rate of the classic baud rate codes where one is
// defined; any other value is returned unchanged.
int32_t BaudValue(int32_t code);

// The communications escape function with which the serial driver of the systems before NT
// hands over the UART's I/O base address (RS-485 direction control); no other system has it.
inline constexpr DWORD EscapeGetBaseAddress = 10;
