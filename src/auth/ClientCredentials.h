// The node's registrations as an OAuth client, one per authorization server (issuer), kept in a file
// of its own: a JSON array of {"issuer", "client_id", "client_secret"} (a single such object is read
// too, as an operator writes one by hand). Written whole to a temporary file that is then renamed over
// the old one, readable by its owner only, in a folder made for the owner only when it is missing.
#pragma once

#include <string>
#include <vector>

namespace Qel_auth {

struct TClientCredentials {
  std::string Issuer;
  std::string ClientID;
  std::string ClientSecret;
};

class TClientCredentialsFile {
public:
  explicit TClientCredentialsFile(std::string path) : Path(std::move(path)) {}

  const std::string& FilePath() const { return Path; }
  // Reads the file. A missing file is an empty one (true); one that cannot be read or is not such a
  // document leaves nothing held (false, and why).
  bool Load(std::string& why);
  // The registration with that issuer (trailing slashes do not count); null when none is held.
  const TClientCredentials* Find(const std::string& issuer) const;
  // Replaces what is held for the credentials' issuer.
  void Put(const TClientCredentials& credentials);
  void Forget(const std::string& issuer);
  // Writes everything held; false (and why) when the file could not be written.
  bool Save(std::string& why) const;

private:
  std::string Path;
  std::vector<TClientCredentials> Held;
};

} // namespace Qel_auth
