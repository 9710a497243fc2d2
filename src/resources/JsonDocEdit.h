// RFC 6902 "add" and "remove" applied in place to a JSON document. Every check that can fail runs
// before the document is touched, so an operation that fails (by exception) leaves it as it was.
#pragma once

#include "Types.h"

namespace Qel_nmos_bridge {

// Adds Value at Ptr: creates or replaces an object member, inserts before an array index, appends at
// "-", replaces the document at the empty pointer. Returns the stored node.
json& JsonAddAt(json& Doc, const json::json_pointer& Ptr, json&& Value);

// Removes the object member or array element at Ptr, which must exist.
void JsonRemoveAt(json& Doc, const json::json_pointer& Ptr);

// Throws when a string or member name inside Value is not valid UTF-8: such a value could be stored,
// but every later serialisation of the document would fail.
void JsonCheckUTF8(const json& Value);

} // namespace Qel_nmos_bridge
