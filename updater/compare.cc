// Whether the unit already runs the firmware of a file: the reader's version
// string against the file's name, text only.
#include <algorithm>
#include <string>

#include "updater/engine.h"
#include "updater/session_log.h"

namespace {

// Upper case (ASCII letters only) with hyphens made underscores: the reader
// writes its versions with hyphens, file names often with underscores.
std::string Normalised(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c == '-') c = '_';
  }
  return result;
}

bool PrefixInFileName(const RT::BaseString& reader_string, const RT::BaseString& file_name, int32_t prefix_length,
                      const char* location, const char* end_location, LogStyle style) {
  const bool logged = style == LogStyle::kConsole;
  if (logged) {
    WriteSessionLog("Begin", location);
    WriteSessionLog(RT::BaseString("aReaderStr %s - aFileName %s", reader_string.c_str(), file_name.c_str()), nullptr);
  }
  const std::string prefix = Normalised(reader_string.Left(prefix_length).View());
  const bool found = Normalised(file_name.View()).find(prefix) != std::string::npos;
  if (logged) WriteSessionLog(RT::BaseString("End result = %s", found ? "true" : "false"), end_location);
  return found;
}

}  // namespace

bool IsSameFirmware(const RT::BaseString& aReaderStr, const RT::BaseString& aFileName, LogStyle style) {
  return PrefixInFileName(aReaderStr, aFileName, 14, "IsSameFirmware", "End IsSameFirmware", style);
}

bool IsSimilarFirmware(const RT::BaseString& aReaderStr, const RT::BaseString& aFileName, LogStyle style) {
  return PrefixInFileName(aReaderStr, aFileName, 7, "IsSimilarFirmware", "End IsSimilarFirmware", style);
}
