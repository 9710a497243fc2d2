// The node's OAuth client registrations in their file: written whole, for the owner only, in a folder
// made for the owner only; read back by issuer (trailing slashes do not count); a corrupt file holds
// nothing.
#include "ClientCredentials.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using Qel_auth::TClientCredentialsFile;

namespace {

class ClientCredentials : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/qel-creds-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    Root = pattern;
    Path = Root + "/state/nmos/auth-client.json";
  }
  void TearDown() override {
    unlink(Path.c_str());
    rmdir((Root + "/state/nmos").c_str());
    rmdir((Root + "/state").c_str());
    rmdir(Root.c_str());
  }
  static mode_t Mode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
  }
  void Write(const std::string& text) { std::ofstream(Path, std::ios::trunc) << text; }
  std::string Root, Path;
};

} // namespace

TEST_F(ClientCredentials, KeptPerIssuerWrittenForTheOwnerOnlyAndReadBack) {
  TClientCredentialsFile file(Path);
  std::string why;
  EXPECT_TRUE(file.Load(why)) << "a missing file is an empty one: " << why;
  file.Put({"http://auth.test:8080/", "id-1", "secret-1"});
  file.Put({"https://other.test", "id-2", "secret-2"});
  file.Put({"http://auth.test:8080", "id-3", "secret-3"}); // replaces the first
  ASSERT_TRUE(file.Save(why)) << why;
  EXPECT_EQ(Mode(Path), 0600u);
  EXPECT_EQ(Mode(Root + "/state"), 0700u);
  EXPECT_EQ(Mode(Root + "/state/nmos"), 0700u);
  EXPECT_NE(access((Path + ".tmp" + std::to_string(getpid())).c_str(), F_OK), 0) << "no temporary file left";

  TClientCredentialsFile again(Path);
  ASSERT_TRUE(again.Load(why)) << why;
  ASSERT_NE(again.Find("http://auth.test:8080"), nullptr);
  EXPECT_EQ(again.Find("http://auth.test:8080//")->ClientID, "id-3");
  EXPECT_EQ(again.Find("https://other.test")->ClientSecret, "secret-2");
  EXPECT_EQ(again.Find("https://third.test"), nullptr);
  again.Forget("https://other.test/");
  ASSERT_TRUE(again.Save(why)) << why;
  ASSERT_TRUE(file.Load(why));
  EXPECT_EQ(file.Find("https://other.test"), nullptr);
  EXPECT_NE(file.Find("http://auth.test:8080"), nullptr);
}

TEST_F(ClientCredentials, AHandWrittenObjectIsReadAndACorruptFileHoldsNothing) {
  TClientCredentialsFile file(Path);
  std::string why;
  file.Put({"http://a.test", "x", "y"});
  ASSERT_TRUE(file.Save(why)) << why;
  Write(R"({"issuer": "http://auth.test", "client_id": "pre", "client_secret": "provisioned"})");
  ASSERT_TRUE(file.Load(why)) << why;
  ASSERT_NE(file.Find("http://auth.test"), nullptr);
  EXPECT_EQ(file.Find("http://auth.test")->ClientID, "pre");
  EXPECT_EQ(file.Find("http://a.test"), nullptr);

  for (const char* bad :
       {R"({"issuer": )", R"([{"issuer": "http://auth.test", "client_id": "pre"}])",
        R"([{"issuer": "http://auth.test", "client_id": "", "client_secret": "s"}])", "42"}) {
    Write(bad);
    why.clear();
    EXPECT_FALSE(file.Load(why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
    EXPECT_EQ(file.Find("http://auth.test"), nullptr) << bad;
  }
}
