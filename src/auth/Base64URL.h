// Base64url (RFC 4648 section 5) without padding, as the parts of a JSON Web Token and the numbers of a
// JSON Web Key are written.
#pragma once

#include <string>

namespace Qel_auth {

// False for a character outside the alphabet, padding or a length no encoding has.
bool Base64URLDecode(const std::string& in, std::string& out);
std::string Base64URLEncode(const std::string& in);

} // namespace Qel_auth
