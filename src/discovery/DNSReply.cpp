#include "DNSReply.h"

#include <cctype>

namespace Qel_nmos_bridge {

namespace {

struct TReader {
  const unsigned char* Data;
  size_t Size;
  size_t Pos = 0;
  bool Ok = true;

  uint16_t U16() {
    if (Pos + 2 > Size) return Fail(), 0;
    const uint16_t v = static_cast<uint16_t>(Data[Pos] << 8 | Data[Pos + 1]);
    Pos += 2;
    return v;
  }
  uint32_t U32() {
    const uint32_t hi = U16();
    return hi << 16 | U16();
  }
  void Fail() {
    Ok = false;
    Pos = Size;
  }

  // A name at `at`, following compression pointers (each must point backwards, so no loop can
  // form); returns the position after the name where it began.
  size_t Name(size_t at, std::string& out) {
    out.clear();
    size_t end = 0;
    size_t length = 0;
    for (;;) {
      if (at >= Size) return Fail(), Size;
      const unsigned char len = Data[at];
      if ((len & 0xC0) == 0xC0) {
        if (at + 1 >= Size) return Fail(), Size;
        const size_t to = static_cast<size_t>((len & 0x3F) << 8 | Data[at + 1]);
        if (!end) end = at + 2;
        if (to >= at) return Fail(), Size;
        at = to;
        continue;
      }
      if (len & 0xC0) return Fail(), Size;
      if (len == 0) {
        if (!end) end = at + 1;
        return end;
      }
      if (at + 1 + len > Size) return Fail(), Size;
      length += len + 1u;
      if (length > 255) return Fail(), Size;
      if (!out.empty()) out += '.';
      out.append(reinterpret_cast<const char*>(Data + at + 1), len);
      at += 1u + len;
    }
  }
};

} // namespace

bool SameDNSName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

TDNSReply ParseDNSReply(const unsigned char* data, size_t size) {
  TDNSReply reply;
  TReader r{data, size};
  r.U16(); // id
  const uint16_t flags = r.U16();
  const uint16_t qd = r.U16(), an = r.U16(), ns = r.U16(), ar = r.U16();
  if (!r.Ok || !(flags & 0x8000)) return reply;
  reply.RCode = static_cast<uint8_t>(flags & 0x0F);
  std::string name;
  for (unsigned i = 0; i < qd && r.Ok; ++i) {
    r.Pos = r.Name(r.Pos, name);
    r.U16();
    r.U16();
  }
  const unsigned records = unsigned{an} + ns + ar;
  for (unsigned i = 0; i < records && r.Ok; ++i) {
    TDNSRecord record;
    r.Pos = r.Name(r.Pos, record.Name);
    record.Type = r.U16();
    const uint16_t cls = r.U16();
    record.TTL = r.U32();
    const uint16_t length = r.U16();
    if (!r.Ok || r.Pos + length > size) return TDNSReply{};
    const size_t start = r.Pos, end = r.Pos + length;
    // Class IN, without regard to the cache-flush bit of multicast answers.
    bool keep = (cls & 0x7FFF) == 1;
    if (keep) {
      TReader in{data, end, start};
      switch (record.Type) {
      case DNSTypeA:
        if (length != 4) return TDNSReply{};
        // Kept in network order, as the octets stand in the message.
        record.Address = static_cast<uint32_t>(data[start]) | static_cast<uint32_t>(data[start + 1]) << 8 |
                         static_cast<uint32_t>(data[start + 2]) << 16 |
                         static_cast<uint32_t>(data[start + 3]) << 24;
        break;
      case DNSTypePTR:
        in.Pos = in.Name(start, record.Target);
        break;
      case DNSTypeSRV:
        record.Priority = in.U16();
        record.Weight = in.U16();
        record.Port = in.U16();
        in.Pos = in.Name(in.Pos, record.Target);
        break;
      case DNSTypeTXT:
        while (in.Ok && in.Pos < end) {
          const size_t len = data[in.Pos];
          if (in.Pos + 1 + len > end)
            in.Fail();
          else
            record.Text.emplace_back(reinterpret_cast<const char*>(data + in.Pos + 1), len);
          in.Pos += 1 + len;
        }
        break;
      default:
        keep = false;
      }
      // A compressed name may point anywhere before it in the message, so names are read against
      // the whole message; the record's fixed fields must lie within its data.
      if (!in.Ok || in.Pos > end) return TDNSReply{};
    }
    r.Pos = end;
    if (keep) reply.Records.push_back(std::move(record));
  }
  if (!r.Ok) return TDNSReply{};
  reply.Valid = true;
  return reply;
}

} // namespace Qel_nmos_bridge
