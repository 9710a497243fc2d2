// memwrite <address> <value>: writes one 8-, 16- or 32-bit value to a physical address through /dev/mem.
// The access width follows the number of hex digits of the value: 2 -> 1 byte, 4 -> 2 bytes, 8 -> 4 bytes.
#include "memcommon.h"

#include <cstdint>
#include <cstdio>

using namespace Qel_memtools;

namespace {

// Stores Value with the given width; false (after printing why) for a misaligned address or a digit count
// that is not exactly 2, 4 or 8, so that no digit the engineer typed is silently dropped.
bool WriteValue(volatile uint8_t* Target, uint32_t addr, uint32_t Value, size_t Digits) {
  switch (Digits) {
  case 2:
    *Target = static_cast<uint8_t>(Value);
    return true;
  case 4:
    if (addr % 2 != 0) {
      puts("error: addr not 2 byte aligned");
      return false;
    }
    *reinterpret_cast<volatile uint16_t*>(Target) = static_cast<uint16_t>(Value);
    return true;
  case 8:
    if (addr % 4 != 0) {
      puts("error: addr not 4 byte aligned");
      return false;
    }
    *reinterpret_cast<volatile uint32_t*>(Target) = Value;
    return true;
  default:
    puts("error: data length not 1, 2 or 4 byte");
    return false;
  }
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    printf("wrong argc count %d\n", argc);
    return ExitRefused;
  }
  uint32_t addr = 0;
  uint32_t Value = 0;
  const bool ArgsValid = ParseHex32(argv[1], addr) && ParseHex32(argv[2], Value);
  const size_t Digits = HexDigitCount(argv[2]);

  TPhysMem Mem;
  if (!Mem.Open()) return ExitRefused;
  const TMemWindow* Window = ArgsValid ? SelectWindow(addr, Digits / 2) : nullptr;
  if (Window == nullptr) {
    puts(BadAddressText);
    return ExitRefused;
  }
  return WriteValue(Mem.At(*Window, addr), addr, Value, Digits) ? 0 : ExitRefused;
}
