// DNS replies as a unicast DNS-SD server (or anything answering in its place) sends them. What must
// hold: a reply read as valid has names within DNS's bounds and character strings within theirs, and
// a reply that is not valid tells no records; reading the same bytes again tells the same.
#include "DNSReply.h"

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const TDNSReply reply = ParseDNSReply(data, size);
  if (!reply.Valid) {
    if (!reply.Records.empty()) Broken("a reply that is not valid told records");
    return 0;
  }
  for (const TDNSRecord& record : reply.Records) {
    if (record.Name.size() > 254 || record.Target.size() > 254) Broken("a name beyond 255 bytes");
    if (record.Type != DNSTypeA && record.Type != DNSTypePTR && record.Type != DNSTypeTXT &&
        record.Type != DNSTypeSRV)
      Broken("a record of a type not read");
    for (const std::string& text : record.Text)
      if (text.size() > 255) Broken("a character string beyond 255 bytes");
    if (!SameDNSName(record.Name, record.Name)) Broken("a name is not the same as itself");
  }
  const TDNSReply again = ParseDNSReply(data, size);
  if (again.Records.size() != reply.Records.size()) Broken("the same bytes told other records");
  return 0;
}
