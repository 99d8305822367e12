#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "reader/frame.h"
#include "reader/handle.h"
#include "trace/trace.h"

namespace {

// Indexed by library error number; the empty text closes the list (and is
// what error 47, a disabled reader device, indexes).
constexpr std::array<const char*, 48> kGeneralTexts = {
    "Operating system error",
    "Incomplete message received from reader",
    "Message from reader longer than expected",
    "Message from reader has invalid content",
    "An invalid parameter was passed to library",
    "The scan parameters were adjusted",
    "Insufficient memory available to complete function",
    "Attempt to write past the end of buffer",
    "This request is not supported",
    "The write request could not be verified",
    "The serial string could not be extracted",
    "Reader returned an unrecognized error",
    "Reader returned 0xFEF1; a timeout occurred",
    "Reader returned 0xFEF2; a bad parameter was passed in",
    "Reader returned 0xFEF3, it has run out of space",
    "Reader returned 0xFEF4",
    "Reader returned 0xFEF5, it is not accepting requests",
    "Reader returned 0xFEF6, it does not support this request",
    "Reader returned 0xFEF7, it is detecting a sensor problem",
    "Attempt at re-entering the library while in a callback",
    "The requested tag is not constructed properly",
    "The XML structure has a mismatched tag",
    "Requested data was not found",
    "The lighting parameters are non-standard",
    "Unable to interpret scan info parameters",
    "Callback function returned ABORT indicator",
    "The function timed out",
    "Undefined error 0x001B",
    "Undefined error 0x001C",
    "Undefined error 0x001D",
    "An error was detected during a USB transaction",
    "The USB connection was lost",
    "No configuration was loaded",
    "Unable to send USB message",
    "The configuration header appears to be corrupt",
    "The WBG JPEG failed to decompress",
    "Flash file directory is currupted",
    "Flash file name is invalid",
    "Failed to open the requested local file",
    "Failed to read from the requested local file",
    "Failed to write to the requested local file",
    "Flash file already exists",
    "Invalid access to flash file requested",
    "Flash file name too long",
    "Renamed file must stay on same drive",
    "Attempt to read past end of flash file",
    "Attempt to close log that is still attached",
    "",
};

// Indexed by N - 32704.
constexpr std::array<const char*, 15> kFlashTexts = {
    "Flash: Nonzero error not recognized",
    "Flash: Invalid parameters",
    "Flash: Sector not found",
    "Flash: Cannot write data, a bit is already cleared",
    "Flash: VPP went out of spec during program or erase",
    "Flash: Write protect or zone lock bit set",
    "Flash: Program attempt failed",
    "Flash: Erase attempt failed",
    "Flash: A power failure detected prior to write",
    "Flash: The sector is linked to by another sector",
    "Flash: Unsupported flash memory device",
    "Flash: File system corruption",
    "Flash: File system is full",
    "Flash: Flash simulation failed to open",
    "",
};

// Reader status (as a whole 32-bit value) to library error.
int32_t ReaderStatusError(int32_t status) {
  switch (status) {
    case -271: return kErrReaderTimeout;
    case -270: return kErrReaderBadParameter;
    case -269: return kErrReaderNoSpace;
    case -268: return kErrReaderFEF4;
    case -267: return kErrReaderNotAccepting;
    case -266: return kErrReaderUnsupported;
    case -265: return kErrReaderSensor;
    default: return kErrReaderUnrecognized;
  }
}

std::string ErrorCodeText(int32_t code) {
  if (code == 0) return "No error";
  const int64_t number = static_cast<int64_t>(code) - kLibraryErrorBase;
  if (number >= 0 && number < kErrReaderDisabled) return kGeneralTexts[static_cast<size_t>(number)];
  if (number == kErrReaderDisabled) return "Library error 47: a reader device is disabled in the system";
  if (number >= kErrFlashUnrecognized && number < kErrFlashUnrecognized + 14) {
    return kFlashTexts[static_cast<size_t>(number - kErrFlashUnrecognized)];
  }
  if (number >= 0) return "Unknown library error " + std::to_string(number);
  return "System error " + std::to_string(code) + ": " + std::strerror(code);
}

}  // namespace

int32_t RDRErrorCheck(RDRHANDLE handle, int32_t status) {
  if (status == 0) return 0;
  if (!HandleEnter(handle, "RDRErrorCheck", __LINE__)) return 0;
  TraceParameters(handle, {{"vhdl", handle}, {"result", status}});
  int32_t number = ReaderStatusError(status);
  if (number == kErrReaderUnrecognized) {
    Trace(handle, kTraceError, "\nERROR: reader returned unexpected error 0x%X",
          static_cast<uint32_t>(status) & 0xFFFF);
  }
  SetLibraryError(handle, number);
  return HandleExit(handle, "RDRErrorCheck", __LINE__, kCheckAlways, 1);
}

int32_t FlashErrorCheck(RDRHANDLE handle, int32_t status) {
  if (status == 0) return 1;
  const uint32_t offset = static_cast<uint32_t>(status) + 127u;
  const int32_t number = offset <= 12 ? 32832 + status : kErrFlashUnrecognized;
  SetLibraryError(handle, number);
  return 0;
}

int32_t RDRErrorText(int32_t code, char* text, int32_t length) {
  if (text == nullptr || length < 1) return 0;
  std::string message = ErrorCodeText(code);
  std::snprintf(text, static_cast<size_t>(length), "%s", message.c_str());
  return message.size() < static_cast<size_t>(length) ? 1 : 0;
}
