#include "HostAddress.h"

#include <uv.h>

#include <cstring>

void THostAddress::Assign(in_host_addr a) {
  addr.s_addr = htonl(a);
  is_null = false;
}

void THostAddress::Assign(const in_addr& a) {
  addr = a;
  is_null = false;
}

void THostAddress::Assign(const char* text) {
  in_addr parsed;
  if (text && uv_inet_pton(AF_INET, text, &parsed) == 0)
    Assign(parsed);
  else
    InitToNull();
}

void THostAddress::Assign(const sockaddr* sa) {
  if (sa && sa->sa_family == AF_INET)
    Assign(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr);
  else
    InitToNull();
}

void THostAddress::Assign(const uint8_t* bytes) {
  if (!bytes) return InitToNull();
  in_addr a;
  memcpy(&a.s_addr, bytes, 4);
  Assign(a);
}

void THostAddress::Assign(SpecialAddress special) {
  switch (special) {
  case Any:
    Assign(in_host_addr(INADDR_ANY));
    break;
  case Broadcast:
    Assign(in_host_addr(INADDR_BROADCAST));
    break;
  default:
    InitToNull();
  }
}

std::string THostAddress::ToString() const {
  if (is_null) return std::string();
  char buf[INET_ADDRSTRLEN];
  if (uv_inet_ntop(AF_INET, &addr, buf, sizeof buf) != 0) return std::string();
  return buf;
}

void THostAddress::ToSockAddr(sockaddr* sa, uint16_t port) const {
  auto* in = reinterpret_cast<sockaddr_in*>(sa);
  memset(in, 0, sizeof *in);
  in->sin_family = AF_INET;
  in->sin_port = htons(port);
  in->sin_addr = addr;
}

THostAddress THostAddress::operator&(const THostAddress& other) const {
  in_addr a;
  a.s_addr = addr.s_addr & other.addr.s_addr;
  THostAddress result(a);
  if (is_null && other.is_null) result.InitToNull();
  return result;
}
