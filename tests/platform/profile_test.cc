#include "platform/profile.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>

#include "tests/support/temp_dir.h"

namespace {

using platform::Profile;
using namespace testing_support;

TEST(ProfileTest, NamesMatchWithoutCaseAndValuesAreTrimmed) {
  Profile profile = Profile::Parse(
      "; settings\r\n[InitSettings]\r\n  LocateUSBTimeout  =  4500  \r\n\tcopyTimeout\t=\t12\r\n"
      "[ Files ]\r\nApplication = files/FW41580_02_11.bin \r\nboot.ini=\r\n");
  EXPECT_EQ(profile.Int("initsettings", "locateusbtimeout", 1), 4500);
  EXPECT_EQ(profile.Int("INITSETTINGS", "CopyTimeout", 1), 12);
  EXPECT_EQ(profile.Text("files", "APPLICATION", "none", 1000), "files/FW41580_02_11.bin");
  // A key that is present with an empty value is empty text, not the fallback.
  EXPECT_EQ(profile.Text("Files", "boot.ini", "none", 1000), "");
  EXPECT_EQ(profile.Int("Other", "FormatTimeout", 60000), 60000);
  EXPECT_EQ(profile.Int("InitSettings", "FormatTimeout", 60000), 60000);
  EXPECT_EQ(profile.Text("Files", "bootloader", "fallback", 1000), "fallback");
}

// A key before any section, comments (indented too), a line without '=',
// a second key of a name (the first wins), "[B" without its closing bracket
// (not a section), a section repeated (not searched again), text after a
// section's bracket, and a value holding '=' (it runs from the first '=').
TEST(ProfileTest, OnlyLinesOfTheRightShapeCount) {
  Profile profile = Profile::Parse(
      "before=1\n[A]\n;key=2\n   ; key=3\nno equals sign\nkey=4\nkey=5\n[B\nother=6\n[a]\nlater=7\n"
      "[C]  trailing\nx = a=b\n");
  const std::pair<const char*, const char*> absent[] = {{"", "before"}, {"A", ";key"}, {"B", "other"}, {"A", "later"}};
  for (const auto& [section, key] : absent) EXPECT_EQ(profile.Int(section, key, -1), -1) << key;
  EXPECT_EQ(profile.Int("A", "key", -1), 4);
  EXPECT_EQ(profile.Int("A", "other", -1), 6);
  EXPECT_EQ(profile.Text("C", "x", "", 1000), "a=b");
}

// Each value is read from "[S]\nk=<value>\n".
std::string Text(const std::string& value, size_t size = 1000) {
  return Profile::Parse("[S]\nk=" + value + "\n").Text("S", "k", "none", size);
}
int32_t Int(const std::string& value) { return Profile::Parse("[S]\nk=" + value + "\n").Int("S", "k", 99); }

TEST(ProfileTest, IntegersReadTheLeadingDecimalNumber) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max(), kMin = std::numeric_limits<int32_t>::min();
  // clang-format off
  const std::pair<const char*, int32_t> cases[] = {
      {"42", 42}, {"-17", -17}, {"+5", 5}, {"12abc", 12}, {"1.9", 1}, {"abc", 0}, {"-", 0}, {"0x10", 0},
      {"- 3", 0}, {"007", 7}, {"", 99}, {"   ", 99}, {"2147483647", kMax}, {"99999999999999999999", kMax},
      {"-2147483648", kMin}, {"-99999999999999999999", kMin}};
  // clang-format on
  for (const auto& [value, expected] : cases) EXPECT_EQ(Int(value), expected) << "value \"" << value << "\"";
}

TEST(ProfileTest, TextIsCutToTheBufferAfterOnePairOfQuotesAroundTheWholeValueIsDropped) {
  // clang-format off
  const std::pair<const char*, const char*> cases[] = {
      {"\"FW41144_FW41400.bin\"", "FW41144_FW41400.bin"}, {"'a b.bin'", "a b.bin"}, {"  \" padded \"  ", " padded "},
      {"\"\"", ""}, {"\"a\"b\"", "a\"b"}, {"\"mixed'", "\"mixed'"}, {"\"", "\""}, {"\"open", "\"open"},
      {"in\"side\"", "in\"side\""}};
  // clang-format on
  for (const auto& [value, expected] : cases) EXPECT_EQ(Text(value), expected) << value;
  EXPECT_EQ(Text(std::string(1500, 'n')), std::string(999, 'n'));
  EXPECT_EQ(Text("abc", 1), "");
  EXPECT_EQ(Text("abc", 0), "");
  EXPECT_EQ(Text("\"abcdef\"", 4), "abc");  // cut after the quotes are gone
  EXPECT_EQ(Int("\"5\""), 0);               // integers read the raw text
  Profile none = Profile::Parse("");
  EXPECT_EQ(none.Text("Files", "missing", "fallback", 4), "fal");
  EXPECT_EQ(none.Text("S", "missing", "'kept'", 1000), "'kept'");
}

TEST(ProfileTest, AbsentByteOrderMarkNulAndOversizedFilesAreHandled) {
  using namespace std::string_literals;
  EXPECT_EQ(Profile::Parse("\xEF\xBB\xBF[S]\nk=a.bin\n").Text("S", "k", "", 1000), "a.bin");

  const Profile nul = Profile::Parse("[Files]\napplication=a.bin\0tail\nboot.ini=b\n"s);
  EXPECT_EQ(nul.Text("Files", "application", "", 1000), "a.bin");
  EXPECT_EQ(nul.Text("Files", "boot.ini", "", 1000), "b");

  TempDir dir;
  EXPECT_EQ(Profile::Load(dir.File("absent.ini")).Int("InitSettings", "locateUSBTimeout", 30000), 30000);
  // A key placed beyond the bytes that are read is not seen.
  WriteFile(dir.File("big.ini"), "[S]\nfirst=1\n" + std::string(Profile::kMaxFileBytes, '#') + "\nlast=2\n");
  const Profile loaded = Profile::Load(dir.File("big.ini"));
  EXPECT_EQ(loaded.Int("S", "first", 0), 1);
  EXPECT_EQ(loaded.Int("S", "last", 0), 0);
}

}  // namespace
