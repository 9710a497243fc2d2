#include "JsonDocEdit.h"

#include <stdexcept>
#include <string>

namespace Qel_nmos_bridge {

namespace {

const char* const ModificationFailed = "Modification failed!";

// An array position as RFC 6901 writes it: "0" or decimal digits without a leading zero.
size_t ArrayIndex(const std::string& Token) {
  const bool digits = !Token.empty() && Token.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || (Token.size() > 1 && Token[0] == '0'))
    throw std::invalid_argument("array index '" + Token + "' is not a number");
  return std::stoull(Token); // throws std::out_of_range beyond the size type
}

std::out_of_range IndexOutOfRange(size_t Index) {
  return std::out_of_range("array index " + std::to_string(Index) + " is out of range");
}

// A member can be added to null too: it becomes an object, as the patch operation of the JSON library does.
json& Parent(json& Doc, const json::json_pointer& Ptr) {
  json& parent = Doc.at(Ptr.parent_pointer());
  if (!parent.is_object() && !parent.is_array() && !parent.is_null())
    throw std::invalid_argument("the parent of '" + Ptr.to_string() + "' is neither object nor array");
  return parent;
}

// Length of the UTF-8 sequence starting at Text[Pos], 0 when it is malformed (overlong forms,
// surrogates and code points beyond U+10FFFF included).
size_t SequenceLength(const std::string& Text, size_t Pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(Text[i]); };
  const unsigned char lead = byte(Pos);
  if (lead < 0x80) return 1;
  size_t len = 0;
  unsigned char lo = 0x80, hi = 0xBF; // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF)
    len = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else
    return 0;
  if (Pos + len > Text.size()) return 0;
  if (byte(Pos + 1) < lo || byte(Pos + 1) > hi) return 0;
  for (size_t i = 2; i < len; ++i)
    if ((byte(Pos + i) & 0xC0) != 0x80) return 0;
  return len;
}

void CheckText(const std::string& Text) {
  for (size_t pos = 0; pos < Text.size();) {
    const size_t len = SequenceLength(Text, pos);
    if (!len) throw std::invalid_argument("invalid UTF-8 byte at index " + std::to_string(pos));
    pos += len;
  }
}

} // namespace

json& JsonAddAt(json& Doc, const json::json_pointer& Ptr, json&& Value) {
  if (Ptr.empty()) {
    if (Value.empty()) throw std::runtime_error(ModificationFailed);
    Doc = std::move(Value);
    return Doc;
  }
  json& parent = Parent(Doc, Ptr);
  const std::string& last = Ptr.back();
  if (!parent.is_array()) {
    json& member = parent[last];
    member = std::move(Value);
    return member;
  }
  if (last == "-") {
    parent.push_back(std::move(Value));
    return parent.back();
  }
  const size_t index = ArrayIndex(last);
  if (index > parent.size()) throw IndexOutOfRange(index);
  return *parent.insert(parent.cbegin() + static_cast<std::ptrdiff_t>(index), std::move(Value));
}

void JsonRemoveAt(json& Doc, const json::json_pointer& Ptr) {
  if (Ptr.empty()) throw std::invalid_argument("the whole document cannot be removed");
  json& parent = Parent(Doc, Ptr);
  const std::string& last = Ptr.back();
  if (&parent == &Doc && parent.size() == 1) throw std::runtime_error(ModificationFailed);
  if (parent.is_array()) {
    const size_t index = ArrayIndex(last);
    if (index >= parent.size()) throw IndexOutOfRange(index);
    parent.erase(index);
    return;
  }
  const auto member = parent.find(last);
  if (member == parent.end()) throw std::out_of_range("key '" + last + "' not found");
  parent.erase(member);
}

void JsonCheckUTF8(const json& Value) {
  if (Value.is_string()) return CheckText(Value.get_ref<const std::string&>());
  if (Value.is_array())
    for (const json& element : Value)
      JsonCheckUTF8(element);
  if (Value.is_object())
    for (const auto& member : Value.items()) {
      CheckText(member.key());
      JsonCheckUTF8(member.value());
    }
}

} // namespace Qel_nmos_bridge
