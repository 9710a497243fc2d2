// memdump <address> <length>: prints physical memory from /dev/mem as lines of four 32-bit words.
#include "memcommon.h"

#include <cstdint>
#include <cstdio>

using namespace Qel_memtools;

namespace {

constexpr uint64_t LineBytes = 16;

void DumpLines(const TPhysMem& Mem, const TMemWindow& Window, uint32_t addr, uint64_t Shown) {
  for (uint64_t Line = 0; Line < Shown; Line += LineBytes) {
    const uint32_t LineAddr = static_cast<uint32_t>(addr + Line);
    printf("%08x: ", LineAddr);
    const volatile uint32_t* Words = reinterpret_cast<const volatile uint32_t*>(Mem.At(Window, LineAddr));
    for (int I = 0; I < 4; ++I)
      printf("%08x ", Words[I]);
    putchar('\n');
  }
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    printf("wrong argc count %d\n", argc);
    return ExitRefused;
  }
  uint32_t addr = 0;
  uint32_t Length = 0;
  const bool ArgsValid = ParseHex32(argv[1], addr) && ParseHex32(argv[2], Length);
  // Whole lines are always shown, so the window must hold the length rounded up to a line.
  const uint64_t Shown = (uint64_t(Length) + LineBytes - 1) / LineBytes * LineBytes;

  TPhysMem Mem;
  if (!Mem.Open()) return ExitRefused;
  const TMemWindow* Window = ArgsValid ? SelectWindow(addr, Shown) : nullptr;
  if (Window == nullptr) {
    puts(BadAddressText);
    return ExitRefused;
  }
  // Register blocks fault on misaligned word reads, so words are read only at multiples of 4.
  if (addr % 4 != 0) {
    puts("error: addr not 4 byte aligned");
    return ExitRefused;
  }
  DumpLines(Mem, *Window, addr, Shown);
  return 0;
}
