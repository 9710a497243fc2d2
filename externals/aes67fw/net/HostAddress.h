// An IPv4 address value with an explicit null state; used to classify stream addresses as multicast
// or unicast and to print them.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

typedef uint32_t in_host_addr; // IPv4 address in host byte order

class THostAddress {
public:
  enum SpecialAddress { Null = 0, Any = 1, Broadcast = 2 };

  THostAddress() { InitToNull(); }
  explicit THostAddress(in_host_addr a) { Assign(a); }
  explicit THostAddress(const in_addr& a) { Assign(a); }
  explicit THostAddress(const char* text) { Assign(text); }
  explicit THostAddress(const std::string& text) { Assign(text); }
  explicit THostAddress(const sockaddr* sa) { Assign(sa); }
  explicit THostAddress(const uint8_t* bytes) { Assign(bytes); }
  explicit THostAddress(SpecialAddress special) { Assign(special); }

  void Assign(in_host_addr a);
  void Assign(const in_addr& a);
  void Assign(const char* text); // dotted IPv4; anything else gives null
  // The whole text is the address: one with a NUL in it ("10.0.0.1\0x") is none.
  void Assign(const std::string& text) {
    if (text.find('\0') != std::string::npos)
      InitToNull();
    else
      Assign(text.c_str());
  }
  void Assign(const sockaddr* sa);   // AF_INET only; anything else gives null
  void Assign(const uint8_t* bytes); // four bytes in network order
  void Assign(SpecialAddress special);

  template <typename T> THostAddress& operator=(const T& value) {
    Assign(value);
    return *this;
  }

  void AssignNull() { InitToNull(); }
  void InitToNull() {
    addr.s_addr = 0;
    is_null = true;
  }

  bool IsNull() const { return is_null; }
  bool IsMulticast() const { return !is_null && (ToIp4Host() & 0xF0000000u) == 0xE0000000u; }

  std::string ToString() const;
  in_host_addr ToIp4Host() const { return ntohl(addr.s_addr); }
  in_addr ToIp4Network() const { return addr; }
  void ToSockAddr(sockaddr* sa, uint16_t port) const;

  bool operator==(const THostAddress& other) const {
    return addr.s_addr == other.addr.s_addr && is_null == other.is_null;
  }
  bool operator!=(const THostAddress& other) const { return !(*this == other); }
  THostAddress operator&(const THostAddress& other) const;

private:
  in_addr addr;
  bool is_null;
};
