// Checks that text arriving in pieces is well-formed UTF-8 as RFC 3629 defines it: no overlong forms, no
// surrogates, nothing above U+10FFFF. A character may be split across pieces.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Qel_websock_api {

class TUTF8Check {
public:
  // False once the bytes seen since the last Reset() cannot begin well-formed UTF-8.
  bool Feed(const void* data, size_t len) {
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; Good && i < len; ++i)
      Step(p[i]);
    return Good;
  }
  // The text seen is well-formed and ends on a whole character.
  bool Complete() const { return Good && Need == 0; }
  void Reset() { *this = TUTF8Check(); }

private:
  void Step(uint8_t b) {
    if (Need) {
      if (b < Lo || b > Hi) {
        Good = false;
        return;
      }
      Lo = 0x80;
      Hi = 0xBF;
      --Need;
      return;
    }
    if (b < 0x80) return;
    if (b >= 0xC2 && b <= 0xDF)
      Need = 1;
    else if (b == 0xE0)
      Need = 2, Lo = 0xA0; // no overlong three-byte forms
    else if (b == 0xED)
      Need = 2, Hi = 0x9F; // no surrogates
    else if (b >= 0xE1 && b <= 0xEF)
      Need = 2;
    else if (b == 0xF0)
      Need = 3, Lo = 0x90; // no overlong four-byte forms
    else if (b >= 0xF1 && b <= 0xF3)
      Need = 3;
    else if (b == 0xF4)
      Need = 3, Hi = 0x8F; // nothing above U+10FFFF
    else
      Good = false; // a continuation byte first, C0, C1, F5..FF
  }

  uint8_t Need = 0;             // continuation bytes still due for the character under way
  uint8_t Lo = 0x80, Hi = 0xBF; // the range the next continuation byte must fall in
  bool Good = true;
};

} // namespace Qel_websock_api
