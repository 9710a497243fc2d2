#include "Base64URL.h"

#include <cstdint>

namespace Qel_auth {

namespace {

const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

int Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '-') return 62;
  if (c == '_') return 63;
  return -1;
}

} // namespace

bool Base64URLDecode(const std::string& in, std::string& out) {
  out.clear();
  if (in.size() % 4 == 1) return false;
  out.reserve(in.size() * 3 / 4);
  uint32_t acc = 0;
  int bits = 0;
  for (char c : in) {
    int v = Value(c);
    if (v < 0) return false;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xff));
    }
  }
  // The bits left over must be zero: one text, one encoding.
  return (acc & ((1u << bits) - 1)) == 0;
}

std::string Base64URLEncode(const std::string& in) {
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (unsigned char c : in) {
    acc = (acc << 8) | c;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out.push_back(Alphabet[(acc >> bits) & 0x3f]);
    }
  }
  if (bits > 0) out.push_back(Alphabet[(acc << (6 - bits)) & 0x3f]);
  return out;
}

} // namespace Qel_auth
