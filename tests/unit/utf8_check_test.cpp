#include "UTF8Check.h"

#include <gtest/gtest.h>

#include <string>

using Qel_websock_api::TUTF8Check;

namespace {

// Whether the text is taken when it arrives split at every possible point.
bool TakenAtEverySplit(const std::string& text) {
  bool all = true;
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    TUTF8Check check;
    const bool good =
        check.Feed(text.data(), cut) && check.Feed(text.data() + cut, text.size() - cut) && check.Complete();
    all = all && good;
  }
  return all;
}

bool Taken(const std::string& text) {
  TUTF8Check check;
  return check.Feed(text.data(), text.size()) && check.Complete();
}

} // namespace

TEST(UTF8Check, WellFormedTextIsTakenHoweverItIsSplit) {
  EXPECT_TRUE(TakenAtEverySplit(""));
  EXPECT_TRUE(TakenAtEverySplit("{\"label\": \"plain\"}"));
  EXPECT_TRUE(TakenAtEverySplit("Stra\xC3\x9F"
                                "e \xE2\x82\xAC \xED\x9F\xBF \xEF\xBF\xBF"));
  EXPECT_TRUE(TakenAtEverySplit("\xF0\x90\x80\x80 \xF4\x8F\xBF\xBF \xE0\xA0\x80"));
}

TEST(UTF8Check, MalformedTextIsRefused) {
  const char* bad[] = {
      "\xFF",
      "\xC0\x80",
      "\xC1\xBF",
      "\xE0\x80\x80", // overlong forms
      "\xED\xA0\x80",
      "\xED\xBF\xBF", // surrogates
      "\xF4\x90\x80\x80",
      "\xF5\x80\x80\x80", // beyond U+10FFFF
      "\x80",
      "a\xBF",
      "\xC3\x61", // stray or missing continuation
      "\xC3",
      "\xE2\x82",
      "\xF0\x90\x80", // cut short at the end
  };
  for (const char* text : bad)
    EXPECT_FALSE(Taken(text)) << testing::PrintToString(std::string(text));
}

TEST(UTF8Check, ResetForgetsTheMessageBefore) {
  TUTF8Check check;
  EXPECT_FALSE(check.Feed("\xFF", 1));
  EXPECT_FALSE(check.Feed("a", 1)); // refused stays refused
  check.Reset();
  EXPECT_TRUE(check.Feed("a", 1));
  EXPECT_TRUE(check.Complete());
}
