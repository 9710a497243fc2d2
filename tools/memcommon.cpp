#include "memcommon.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

namespace Qel_memtools {

// The mac window lies above 2 GiB: a 32-bit off_t cannot name its offset in /dev/mem.
static_assert(sizeof(off_t) >= 8, "the memory tools need 64-bit file offsets (_FILE_OFFSET_BITS=64)");

const TMemWindow MemWindows[MemWindowCount] = {
    {"sdram", 0x00000000u, 0x40000000u, "mapping sdram failed"},
    {"fpga", 0x60000000u, 0x00020000u, "mapping fpga failed"},
    {"mac", 0xE000B000u, 0x00002000u, "mapping mac failed"},
};

namespace {

const char* SkipHexPrefix(const char* Text) {
  if (Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X')) return Text + 2;
  return Text;
}

bool IsHexDigit(char C) {
  return (C >= '0' && C <= '9') || (C >= 'a' && C <= 'f') || (C >= 'A' && C <= 'F');
}

} // namespace

bool ParseHex32(const char* Text, uint32_t& Value) {
  const char* Digits = SkipHexPrefix(Text);
  if (*Digits == '\0') return false;
  for (const char* P = Digits; *P != '\0'; ++P)
    if (!IsHexDigit(*P)) return false;
  errno = 0;
  const unsigned long long Parsed = strtoull(Digits, nullptr, 16);
  if (errno == ERANGE || Parsed > 0xFFFFFFFFull) return false;
  Value = static_cast<uint32_t>(Parsed);
  return true;
}

size_t HexDigitCount(const char* Text) {
  return strlen(SkipHexPrefix(Text));
}

const TMemWindow* SelectWindow(uint64_t Addr, uint64_t Length) {
  const uint64_t End = Addr + Length; // both operands are below 2^33: no wrap
  for (const TMemWindow& Window : MemWindows) {
    const uint64_t Last = uint64_t(Window.Base) + Window.Size - 1;
    if (Addr >= Window.Base && End <= Last) return &Window;
  }
  return nullptr;
}

void* TPhysMem::*const TPhysMem::Mappings[MemWindowCount] = {&TPhysMem::mem_base, &TPhysMem::fpga_base,
                                                             &TPhysMem::mac_base};

TPhysMem::~TPhysMem() {
  for (size_t I = 0; I < MemWindowCount; ++I)
    if (this->*Mappings[I] != nullptr) munmap(this->*Mappings[I], MemWindows[I].Size);
  if (mem_fd >= 0) close(mem_fd);
}

bool TPhysMem::Open(const char* Path) {
  mem_fd = open(Path, O_RDWR | O_SYNC | O_CLOEXEC);
  if (mem_fd < 0) {
    printf("failed to open %s\n", Path);
    return false;
  }
  for (size_t I = 0; I < MemWindowCount; ++I) {
    void* Base =
        mmap(nullptr, MemWindows[I].Size, PROT_READ | PROT_WRITE, MAP_SHARED, mem_fd, MemWindows[I].Base);
    if (Base == MAP_FAILED) {
      puts(MemWindows[I].MapFailText);
      return false;
    }
    this->*Mappings[I] = Base;
  }
  return true;
}

volatile uint8_t* TPhysMem::At(const TMemWindow& Window, uint32_t Addr) const {
  const size_t Index = static_cast<size_t>(&Window - MemWindows);
  return static_cast<volatile uint8_t*>(this->*Mappings[Index]) + (Addr - Window.Base);
}

} // namespace Qel_memtools
