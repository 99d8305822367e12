#include "platform/profile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "tests/support/temp_dir.h"

namespace {

using platform::Profile;
using testing_support::TempDir;
using testing_support::WriteFile;

TEST(ProfileTest, NamesMatchWithoutCaseAndValuesAreTrimmed) {
  Profile profile = Profile::Parse(
      "; settings\r\n"
      "[InitSettings]\r\n"
      "  LocateUSBTimeout  =  4500  \r\n"
      "\tcopyTimeout\t=\t12\r\n"
      "[ Files ]\r\n"
      "Application = files/FW41580_02_11.bin \r\n"
      "boot.ini=\r\n");
  EXPECT_EQ(profile.Int("initsettings", "locateusbtimeout", 1), 4500);
  EXPECT_EQ(profile.Int("INITSETTINGS", "CopyTimeout", 1), 12);
  EXPECT_EQ(profile.Text("files", "APPLICATION", "none", 1000), "files/FW41580_02_11.bin");
  // A key that is present with an empty value is empty text, not the fallback.
  EXPECT_EQ(profile.Text("Files", "boot.ini", "none", 1000), "");
}

TEST(ProfileTest, AbsentFileSectionOrKeyGivesTheFallback) {
  TempDir dir;
  Profile missing = Profile::Load(dir.File("absent.ini"));
  EXPECT_EQ(missing.Int("InitSettings", "locateUSBTimeout", 30000), 30000);
  EXPECT_EQ(missing.Text("Files", "bootloader", "", 1000), "");

  WriteFile(dir.File("settings.ini"), "[InitSettings]\nFormatTimeout=7\n");
  Profile profile = Profile::Load(dir.File("settings.ini"));
  EXPECT_EQ(profile.Int("InitSettings", "FormatTimeout", 60000), 7);
  EXPECT_EQ(profile.Int("InitSettings", "CopyTimeout", 30000), 30000);
  EXPECT_EQ(profile.Int("Other", "FormatTimeout", 60000), 60000);
  EXPECT_EQ(profile.Text("Files", "bootloader", "fallback", 1000), "fallback");
}

TEST(ProfileTest, OnlyLinesOfTheRightShapeCount) {
  Profile profile = Profile::Parse(
      "before=1\n"  // no section yet
      "[A]\n"
      ";key=2\n"      // comment
      "   ; key=3\n"  // indented comment
      "no equals sign\n"
      "key=4\n"
      "key=5\n"  // the first of a name wins
      "[B\n"     // no closing bracket: not a section
      "other=6\n"
      "[a]\n"  // the same section again is not searched
      "later=7\n"
      "[C]  trailing\n"
      "x = a=b\n");  // the value runs from the first '='
  EXPECT_EQ(profile.Int("", "before", -1), -1);
  EXPECT_EQ(profile.Int("A", ";key", -1), -1);
  EXPECT_EQ(profile.Int("A", "key", -1), 4);
  EXPECT_EQ(profile.Int("B", "other", -1), -1);
  EXPECT_EQ(profile.Int("A", "other", -1), 6);
  EXPECT_EQ(profile.Int("A", "later", -1), -1);
  EXPECT_EQ(profile.Text("C", "x", "", 1000), "a=b");
}

TEST(ProfileTest, IntegersReadTheLeadingDecimalNumber) {
  struct Case {
    const char* value;
    int32_t expected;
  };
  const Case cases[] = {
      {"42", 42},
      {"-17", -17},
      {"+5", 5},
      {"12abc", 12},
      {"1.9", 1},
      {"abc", 0},
      {"-", 0},
      {"0x10", 0},
      {"- 3", 0},
      {"007", 7},
      {"2147483647", std::numeric_limits<int32_t>::max()},
      {"99999999999999999999", std::numeric_limits<int32_t>::max()},
      {"-2147483648", std::numeric_limits<int32_t>::min()},
      {"-99999999999999999999", std::numeric_limits<int32_t>::min()},
  };
  for (const Case& c : cases) {
    Profile profile = Profile::Parse(std::string("[S]\nk=") + c.value + "\n");
    EXPECT_EQ(profile.Int("S", "k", 99), c.expected) << "value \"" << c.value << "\"";
  }
  EXPECT_EQ(Profile::Parse("[S]\nk=\n").Int("S", "k", 99), 99);
  EXPECT_EQ(Profile::Parse("[S]\nk=   \n").Int("S", "k", 99), 99);
}

TEST(ProfileTest, TextIsCutToTheBuffer) {
  const std::string long_value(1500, 'n');
  Profile profile = Profile::Parse("[Files]\napplication=" + long_value + "\n");
  EXPECT_EQ(profile.Text("Files", "application", "", 1000), std::string(999, 'n'));
  EXPECT_EQ(profile.Text("Files", "application", "", 1), "");
  EXPECT_EQ(profile.Text("Files", "application", "", 0), "");
  EXPECT_EQ(profile.Text("Files", "missing", "fallback", 4), "fal");
}

TEST(ProfileTest, TextDropsOnePairOfQuotesAroundTheWholeValue) {
  const std::pair<const char*, const char*> cases[] = {
      {"\"FW41144_FW41400.bin\"", "FW41144_FW41400.bin"},
      {"'a b.bin'", "a b.bin"},
      {"  \" padded \"  ", " padded "},
      {"\"\"", ""},
      {"\"a\"b\"", "a\"b"},
      {"\"mixed'", "\"mixed'"},
      {"\"", "\""},
      {"\"open", "\"open"},
      {"in\"side\"", "in\"side\""},
  };
  for (const auto& [value, expected] : cases) {
    Profile profile = Profile::Parse(std::string("[S]\nk=") + value + "\n");
    EXPECT_EQ(profile.Text("S", "k", "none", 1000), expected) << value;
  }
  Profile quoted = Profile::Parse("[S]\nname=\"abcdef\"\nnumber=\"5\"\n");
  EXPECT_EQ(quoted.Text("S", "name", "", 4), "abc");  // cut after the quotes are gone
  EXPECT_EQ(quoted.Int("S", "number", 9), 0);         // integers read the raw text
  EXPECT_EQ(quoted.Text("S", "missing", "'kept'", 1000), "'kept'");
}

TEST(ProfileTest, ByteOrderMarkNulAndOversizedFilesAreHandled) {
  using namespace std::string_literals;
  Profile marked = Profile::Parse("\xEF\xBB\xBF[Files]\napplication=a.bin\n");
  EXPECT_EQ(marked.Text("Files", "application", "", 1000), "a.bin");

  Profile nul = Profile::Parse("[Files]\napplication=a.bin\0tail\nboot.ini=b\n"s);
  EXPECT_EQ(nul.Text("Files", "application", "", 1000), "a.bin");
  EXPECT_EQ(nul.Text("Files", "boot.ini", "", 1000), "b");

  // A key placed beyond the bytes that are read is not seen.
  TempDir dir;
  std::string big = "[S]\nfirst=1\n" + std::string(Profile::kMaxFileBytes, '#') + "\nlast=2\n";
  WriteFile(dir.File("big.ini"), big);
  Profile loaded = Profile::Load(dir.File("big.ini"));
  EXPECT_EQ(loaded.Int("S", "first", 0), 1);
  EXPECT_EQ(loaded.Int("S", "last", 0), 0);
}

TEST(ProfileTest, GarbageInputIsReadSafely) {
  // Deterministic pseudo-random bytes, NULs, brackets and '=' included.
  std::string garbage;
  uint32_t state = 12345;
  for (int i = 0; i < 200000; ++i) {
    state = state * 1103515245u + 12345u;
    garbage.push_back(static_cast<char>(state >> 16));
  }
  garbage += "\n[Known]\nkey=31\n";
  Profile profile = Profile::Parse(garbage);
  EXPECT_EQ(profile.Int("Known", "key", 0), 31);
  EXPECT_EQ(profile.Int("Absent", "key", -5), -5);

  Profile brackets = Profile::Parse("[\n]\n[]\n=\n==\n[[]]\n=v\n");
  EXPECT_EQ(brackets.Text("", "", "fallback", 1000), "");
  EXPECT_EQ(brackets.Text("[", "", "fallback", 1000), "v");
}

}  // namespace
