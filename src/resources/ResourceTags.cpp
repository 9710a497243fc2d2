#include "ResourceTags.h"

#include <cstdio>

namespace Qel_nmos_bridge {

const char* const DeviceFunction = "AES67 Audio Interface";

namespace {

const char* const Manufacturer = "QEL";
const char* const Product = "61-8152";

} // namespace

json AssetTags(const std::string& instance, const char* function) {
  json tags = {
      {"urn:x-nmos:tag:asset:manufacturer/v1.0", {Manufacturer}},
      {"urn:x-nmos:tag:asset:product/v1.0", {Product}},
      {"urn:x-nmos:tag:asset:instance-id/v1.0", {instance.empty() ? std::string("unknown") : instance}}};
  if (function) tags["urn:x-nmos:tag:asset:function/v1.0"] = {function};
  return tags;
}

json GroupHintTags(bool transmit, uint32_t slot) {
  // Two digits at least, so that roles sort as the slots do up to 99 streams.
  char hint[48];
  snprintf(hint, sizeof hint, "AES67 %s:Stream %02u", transmit ? "TX" : "RX", slot + 1);
  return {{"urn:x-nmos:tag:grouphint/v1.0", {hint}}};
}

} // namespace Qel_nmos_bridge
