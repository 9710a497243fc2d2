// Window table, argument parsing and the /dev/mem mappings shared by memwrite and memdump.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Qel_memtools {

// Exit status of every refused request, so that scripts driving the tools notice the refusal.
constexpr int ExitRefused = -1;

constexpr const char* BadAddressText = "bad address and/or size";

struct TMemWindow {
  const char* Name;
  uint32_t Base;
  uint32_t Size;
  const char* MapFailText;
};

constexpr size_t MemWindowCount = 3;
extern const TMemWindow MemWindows[MemWindowCount];

// Reads hexadecimal command-line text, with or without a 0x prefix. Refuses empty text, signs, blanks,
// any character that is not a hex digit and values that do not fit 32 bits, so that a typo never
// becomes address 0 or a truncated value.
bool ParseHex32(const char* Text, uint32_t& Value);

// Number of characters of Text after an optional 0x prefix: the digits that decide the access width.
size_t HexDigitCount(const char* Text);

// The first window, in table order, that accepts Length bytes from Addr; nullptr when none does.
// The arithmetic is done in 64 bits so that an access near the top of the address range never wraps
// into a window. The end of an access must stay at or below the window's last address.
const TMemWindow* SelectWindow(uint64_t Addr, uint64_t Length);

// Owns the descriptor of the memory device and one shared mapping per window; everything is released
// when the object goes out of scope.
class TPhysMem {
public:
  TPhysMem() = default;
  ~TPhysMem();
  TPhysMem(const TPhysMem&) = delete;
  TPhysMem& operator=(const TPhysMem&) = delete;

  // Opens Path and maps every window; on failure prints why and returns false.
  bool Open(const char* Path = "/dev/mem");

  // Address of the byte at physical address Addr inside Window (chosen by SelectWindow).
  volatile uint8_t* At(const TMemWindow& Window, uint32_t Addr) const;

private:
  int mem_fd = -1;
  void* mem_base = nullptr;
  void* fpga_base = nullptr;
  void* mac_base = nullptr;

  // The window mappings in table order.
  static void* TPhysMem::*const Mappings[MemWindowCount];
};

} // namespace Qel_memtools
