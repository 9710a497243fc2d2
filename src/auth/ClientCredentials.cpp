#include "ClientCredentials.h"

#include "IssuerURL.h"
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace Qel_auth {

using json = nlohmann::json;

namespace {

bool NonEmptyString(const json& doc, const char* key) {
  return doc.contains(key) && doc[key].is_string() && !doc[key].get<std::string>().empty();
}

std::string Errno(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Makes the folders on the way to the file that are missing, each for the owner only.
bool MakeFolders(const std::string& path, std::string& why) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      why = Errno("cannot make " + folder);
      return false;
    }
  }
  return true;
}

} // namespace

bool TClientCredentialsFile::Load(std::string& why) {
  Held.clear();
  std::ifstream in(Path, std::ios::binary);
  if (!in) {
    if (errno == ENOENT) return true;
    why = Errno("cannot read " + Path);
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  json doc = json::parse(text.str(), nullptr, false);
  if (doc.is_object()) doc = json::array({doc});
  if (!doc.is_array()) {
    why = Path + " is not a JSON array of client registrations";
    return false;
  }
  for (const json& item : doc) {
    if (!item.is_object() || !NonEmptyString(item, "issuer") || !NonEmptyString(item, "client_id") ||
        !NonEmptyString(item, "client_secret")) {
      why = Path + " holds an entry without issuer, client_id or client_secret";
      Held.clear();
      return false;
    }
    Put({item["issuer"].get<std::string>(), item["client_id"].get<std::string>(),
         item["client_secret"].get<std::string>()});
  }
  return true;
}

const TClientCredentials* TClientCredentialsFile::Find(const std::string& issuer) const {
  const std::string wanted = WithoutTrailingSlash(issuer);
  for (const TClientCredentials& held : Held)
    if (WithoutTrailingSlash(held.Issuer) == wanted) return &held;
  return nullptr;
}

void TClientCredentialsFile::Put(const TClientCredentials& credentials) {
  Forget(credentials.Issuer);
  Held.push_back(credentials);
}

void TClientCredentialsFile::Forget(const std::string& issuer) {
  const std::string wanted = WithoutTrailingSlash(issuer);
  for (auto it = Held.begin(); it != Held.end();)
    it = WithoutTrailingSlash(it->Issuer) == wanted ? Held.erase(it) : it + 1;
}

bool TClientCredentialsFile::Save(std::string& why) const {
  json doc = json::array();
  for (const TClientCredentials& held : Held)
    doc.push_back(
        {{"issuer", held.Issuer}, {"client_id", held.ClientID}, {"client_secret", held.ClientSecret}});
  const std::string text = doc.dump(2) + "\n";
  if (!MakeFolders(Path, why)) return false;
  const std::string temp = Path + ".tmp" + std::to_string(getpid());
  unlink(temp.c_str());
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    why = Errno("cannot write " + temp);
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool written = done == text.size() && fsync(fd) == 0;
  if (!written) why = Errno("cannot write " + temp);
  close(fd);
  if (!written || rename(temp.c_str(), Path.c_str()) != 0) {
    if (written) why = Errno("cannot rename " + temp);
    unlink(temp.c_str());
    return false;
  }
  return true;
}

} // namespace Qel_auth
