// The reader link library: handles, result codes, the message exchange and
// the identity and control commands. Every operation runs in the library
// frame (reader/frame.h): 1 means success and 0 failure unless stated, and a
// failure leaves its reason in GetErrorCode() and the handle's last error.
#pragma once

#include <cstdint>

struct ReaderHandleRecord;
struct TraceLogRecord;

using RDRHANDLE = ReaderHandleRecord*;
using LOGHANDLE = TraceLogRecord*;

// The invalid handle value of open operations: the all-ones pointer.
inline RDRHANDLE InvalidReaderHandle() { return reinterpret_cast<RDRHANDLE>(~uintptr_t{0}); }
inline LOGHANDLE InvalidLogHandle() { return reinterpret_cast<LOGHANDLE>(~uintptr_t{0}); }

// Progress callback: elapsed milliseconds, progress, user value. 0 aborts.
using RDRCALLBACK = int32_t (*)(uint32_t elapsed, int32_t progress, uint32_t user);

// Message header; Size is a plain count in requests and encoded in replies.
struct RDRMSGHDR {
  uint16_t Size;
  uint8_t Command;
  uint8_t reserved;
};
static_assert(sizeof(RDRMSGHDR) == 4);

// Library error numbers; the recorded code is LibraryError(N).
enum RdrError : int32_t {
  kErrOperatingSystem = 0,
  kErrIncompleteMessage = 1,
  kErrMessageTooLong = 2,
  kErrInvalidContent = 3,
  kErrInvalidParameter = 4,
  kErrScanAdjusted = 5,
  kErrNoMemory = 6,
  kErrBufferOverrun = 7,
  kErrNotSupported = 8,
  kErrNotVerified = 9,
  kErrSerialString = 10,
  kErrReaderUnrecognized = 11,
  kErrReaderTimeout = 12,       // 0xFEF1
  kErrReaderBadParameter = 13,  // 0xFEF2
  kErrReaderNoSpace = 14,       // 0xFEF3
  kErrReaderFEF4 = 15,          // 0xFEF4
  kErrReaderNotAccepting = 16,  // 0xFEF5
  kErrReaderUnsupported = 17,   // 0xFEF6
  kErrReaderSensor = 18,        // 0xFEF7
  kErrCallbackReentry = 19,
  kErrTagMalformed = 20,
  kErrTagMismatch = 21,
  kErrNotFound = 22,
  kErrLighting = 23,
  kErrScanInfo = 24,
  kErrCallbackAbort = 25,
  kErrTimeout = 26,
  kErrUsbTransaction = 30,
  kErrUsbConnectionLost = 31,
  kErrNoConfiguration = 32,
  kErrUsbSend = 33,
  kErrConfigHeader = 34,
  kErrJpeg = 35,
  kErrDirectoryCorrupt = 36,
  kErrFlashNameInvalid = 37,
  kErrLocalOpen = 38,
  kErrLocalRead = 39,
  kErrLocalWrite = 40,
  kErrFlashFileExists = 41,
  kErrFlashAccess = 42,
  kErrFlashNameTooLong = 43,
  kErrRenameDrive = 44,
  kErrFlashEof = 45,
  kErrLogAttached = 46,
  kErrReaderDisabled = 47,
  kErrFlashUnrecognized = 32704,  // 0x7FC0; 32705..32717 for statuses -127..-115
};

inline constexpr int32_t kLibraryErrorBase = 0x20000000;

// Reader handle kind tags.
inline constexpr uint32_t kKindSerial = 0xA1B2C3D1;
inline constexpr uint32_t kKindUsb = 0xA1B2C3D2;
inline constexpr uint32_t kKindMemory = 0xA1B2C3D4;
inline constexpr uint32_t kKindTraceLog = 0xA1B2C3D0;
inline constexpr uint32_t kKindFullArray = 0xA1B2C3D3;

// Capability flag: the reader answers the extended information requests.
inline constexpr uint32_t kCapExtendedRequests = 0x2;

// --- frame and last error ---------------------------------------------------
int32_t RDRInitialize();
int32_t RDRClose(RDRHANDLE handle);
int32_t RDRLogSet(RDRHANDLE handle, LOGHANDLE log);
// Installs (or, with a null callback, removes) the handle's progress callback.
int32_t RDRCallbackSet(RDRHANDLE handle, RDRCALLBACK callback, uint32_t user);
int32_t GetErrorCode();
int32_t LibraryError(int32_t number);
int32_t LibraryErrorNumber(int32_t code);

// --- result codes -----------------------------------------------------------
int32_t RDRErrorCheck(RDRHANDLE handle, int32_t status);
int32_t FlashErrorCheck(RDRHANDLE handle, int32_t status);
// Text of any code: the library's own texts, "No error" for 0, and a generic
// text naming the number for system errors and unknown library errors.
// Copies at most length - 1 characters plus a NUL; 1 when the whole text fit.
int32_t RDRErrorText(int32_t code, char* text, int32_t length);

// --- message exchange -------------------------------------------------------
int32_t RDRSendReceive(RDRHANDLE handle, RDRMSGHDR* ohdr, const void* odata, RDRMSGHDR* ihdr, void* idata);
int32_t USBSendReceiveEx(RDRHANDLE handle, RDRMSGHDR* ohdr, const void* odata, RDRMSGHDR* ihdr, void* idata);
int32_t USBFlush(RDRHANDLE handle);
int32_t USBReconnect(RDRHANDLE handle);
// Byte count of an encoded reply Size.
uint32_t DecodeMessageSize(uint16_t size);

// --- identity ---------------------------------------------------------------
int32_t RDRAPIVersion(RDRHANDLE handle, uint32_t* value);
int32_t RDRAppHeader(RDRHANDLE handle, char* hdr, int32_t length);
int32_t RDRBootHeader(RDRHANDLE handle, char* hdr, int32_t length);
int32_t RDRFirmwareString(RDRHANDLE handle, char* name, int32_t length);
int32_t RDRFX3FirmwareString(RDRHANDLE handle, char* name, int32_t length);
int32_t RDRSerialString(RDRHANDLE handle, char* name, int32_t length);
int32_t RDRIsSH4Based(RDRHANDLE handle);
int32_t RDRIsWR2200Based(RDRHANDLE handle);
int32_t RDRIsFX2Based(RDRHANDLE handle);

// --- control ----------------------------------------------------------------
int32_t RDRTimeout(RDRHANDLE handle);
int32_t RDRTimeoutSet(RDRHANDLE handle, int32_t timeout);
int32_t RDRPacketSizeSet(RDRHANDLE handle, int32_t packet);
int32_t RDRFlush(RDRHANDLE handle);
int32_t RDRReconnect(RDRHANDLE handle);
int32_t RDRSoftBoot(RDRHANDLE handle, int32_t reconnect);
int32_t RDRFilePacketWriteRequest(RDRHANDLE handle, uint32_t index, uint32_t length, uint32_t count, const void* data,
                                  uint32_t file_size, uint32_t crc, const char* name);
int32_t RDRWriteEepromLineFX3(RDRHANDLE handle, int32_t chip, int32_t addr, int32_t length, const void* buffer);
int32_t RDRFlashFirmwareWriteFX3(RDRHANDLE handle, int32_t length, const void* buffer);
