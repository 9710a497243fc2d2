#include "helpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string CaptureLog(int level, const char* text) {
  testing::internal::CaptureStdout();
  lws_log(level, "%s", text);
  return testing::internal::GetCapturedStdout();
}

// Local date and time with microseconds and a blank: "2026-01-31 12:34:56.123456 ". (No std::regex
// here: with the sanitizers at -O2, GCC 12 reports false uninitialised uses inside <regex>.)
bool StartsWithTimestamp(const std::string& Line) {
  const std::string shape = "0000-00-00 00:00:00.000000 ";
  if (Line.size() < shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i)
    if (shape[i] == '0' ? !isdigit(static_cast<unsigned char>(Line[i])) : Line[i] != shape[i]) return false;
  return true;
}

} // namespace

TEST(Logging, OnlyErrorsAndWarningsArePrinted) {
  EXPECT_EQ(CaptureLog(QLLL_NOTICE, "n"), "");
  EXPECT_EQ(CaptureLog(QLLL_INFO, "i"), "");
  EXPECT_EQ(CaptureLog(QLLL_DEBUG | QLLL_REST, "d"), "");
  std::string line = CaptureLog(QLLL_ERR, "boom");
  EXPECT_TRUE(StartsWithTimestamp(line) && line.find("ERROR") != std::string::npos && line.size() >= 6 &&
              line.compare(line.size() - 6, 6, " boom\n") == 0)
      << line;
  EXPECT_NE(CaptureLog(QLLL_WARN | QLLL_MACHINE_BASE, "w").find("WARN "), std::string::npos);
  EXPECT_NE(CaptureLog(QLLL_ERR | QLLL_JSONDIFF, "j").find("#### "), std::string::npos);
}

TEST(Logging, LabelsAreColouredOnlyOnATerminal) {
  // Captured output goes to a file, as a log file or a pipe does: no escape codes at all.
  for (int level : {int{QLLL_ERR}, int{QLLL_WARN}, QLLL_ERR | QLLL_JSONDIFF}) {
    const std::string line = CaptureLog(level, "plain");
    EXPECT_EQ(line.find('\033'), std::string::npos) << line;
  }
  EXPECT_NE(CaptureLog(QLLL_ERR, "plain").find(" ERROR "), std::string::npos);

  // The same line on a terminal (a pseudo-terminal in place of standard output) is coloured.
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  dup2(terminal, STDOUT_FILENO);
  lws_log(QLLL_ERR, "coloured");
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  char text[256] = {};
  const ssize_t n = read(master, text, sizeof text - 1);
  close(terminal);
  close(master);
  ASSERT_GT(n, 0);
  EXPECT_NE(std::string(text).find("\033[1;31mERROR\033[0m"), std::string::npos) << text;
}

TEST(Logging, PrefixIsReplacedWholeAndCutAt99Characters) {
  lws_log_setprefix("a-very-long-host-name");
  lws_log_setprefix("short");
  std::string line = CaptureLog(QLLL_ERR, "msg");
  EXPECT_NE(line.find(" short msg"), std::string::npos) << line;
  EXPECT_EQ(line.find("long"), std::string::npos);
  lws_log_setprefix(std::string(150, 'p').c_str());
  line = CaptureLog(QLLL_ERR, "msg");
  EXPECT_NE(line.find(std::string(99, 'p') + " msg"), std::string::npos);
  EXPECT_EQ(line.find(std::string(100, 'p')), std::string::npos);
  lws_log_setprefix("");
}

TEST(Logging, OverlongMessageIsCutAndMarked) {
  std::string huge(40000, 'x');
  std::string line = CaptureLog(QLLL_ERR, huge.c_str());
  EXPECT_LT(line.size(), 32767u + 20);
  EXPECT_NE(line.find(" < TRUNCATED > \n"), std::string::npos);
}

TEST(Helpers, InterfaceNameOf16CharactersIsRefused) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(GetInterfaceAddr("abcdefghijklmnop"), 0u);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Interface name is too long : abcdefghijklmnop"),
            std::string::npos);
  EXPECT_EQ(GetInterfaceAddr("lo"), htonl(0x7f000001));
}

TEST(Helpers, CycleTimeIsAMovingAverageScaledBy64) {
  EXPECT_EQ(TMeassureCycle::Fold(0, 10), 9u);
  EXPECT_EQ(TMeassureCycle::Fold(0, 0), 0u);
  uint32_t c = 0;
  for (int i = 0; i < 2000; ++i)
    c = TMeassureCycle::Fold(c, 10);
  EXPECT_NEAR(c >> 6, 10u, 1u);
}
