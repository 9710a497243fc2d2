// Ethernet frames as they reach the node's LLDP socket. What must hold: a frame read as LLDP names its
// neighbour by ids that are printable ASCII and bounded (they go into the node's documents as text),
// and a neighbour is the same as itself.
#include "LLDPFrame.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace Qel_nmos_bridge;

namespace {

[[noreturn]] void Broken(const char* why) {
  fprintf(stderr, "%s\n", why);
  abort();
}

void CheckId(const std::string& id) {
  if (id.empty()) Broken("an empty id was taken");
  if (id.size() > 4 * 255) Broken("an id longer than its octets written as \\xHH");
  for (unsigned char c : id)
    if (c < 0x20 || c > 0x7e) Broken("an id that is not printable ASCII");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TLLDPNeighbour neighbour;
  if (ParseLLDPFrame(data, size, neighbour) != TLLDPParse::Ok) return 0;
  CheckId(neighbour.ChassisId);
  CheckId(neighbour.PortId);
  if (!neighbour.SameAs(neighbour)) Broken("a neighbour is not the same as itself");
  // The id texts of every subtype, from the same bytes.
  if (size > 2)
    for (uint8_t subtype = 0; subtype < 8; ++subtype) {
      (void)LLDPIdText(true, subtype, data + 1, size - 1 > 255 ? 255 : size - 1);
      (void)LLDPIdText(false, subtype, data + 1, size - 1 > 255 ? 255 : size - 1);
    }
  return 0;
}
