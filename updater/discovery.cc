// Finding the unit and learning what it holds: the engine's reader handle,
// the device search, the identity strings and the connection check.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "transport/usb.h"
#include "updater/engine.h"
#include "updater/program_title.h"
#include "updater/session_log.h"
#include "updater/silent.h"

RDRHANDLE g_ReaderHandle = nullptr;
char** g_DeviceList = nullptr;
int32_t g_DeviceCount = 0;
bool g_UseOldTransferProtocol = false;

namespace {

constexpr int32_t kReaderTimeoutSeconds = 120;
constexpr int32_t kOpenFailed = 21;

bool HandleHeld() { return g_ReaderHandle != nullptr && g_ReaderHandle != InvalidReaderHandle(); }

}  // namespace

void RdrCloseHandle() {
  if (HandleHeld()) RDRClose(g_ReaderHandle);
  g_ReaderHandle = nullptr;
}

int32_t RdrOpen(const char* path) {
  RdrCloseHandle();
  g_ReaderHandle = RDROpenUSB(path);
  if (g_ReaderHandle == InvalidReaderHandle()) {
    WriteSessionLog(RT::BaseString("RDROpenUSB() - rdrHdl = %d", -1), "RdrOpen");
    return kOpenFailed;
  }
  RDRTimeoutSet(g_ReaderHandle, kReaderTimeoutSeconds);
  return 0;
}

int32_t ChooseTransferProtocol() {
  if (g_UseOldTransferProtocol) return 1;
  uint32_t version = 0;
  if (HandleHeld() && RDRAPIVersion(g_ReaderHandle, &version) && (version & 0x8) != 0) return 2;
  return 1;
}

namespace {

using StringOperation = int32_t (*)(RDRHANDLE, char*, int32_t);

constexpr const char* kNotFound = "Not Found";
constexpr const char* kLookForReaderLocation = "QuorvelFirmwareUpdaterSilent::LookForReader";
constexpr const char* kShowAllReadersLocation = "QuorvelFirmwareUpdaterSilent::ShowAllReaders";

// Characters of the boot header that make up the boot string; the hyphens
// go between the three groups.
constexpr int kBootPartCode = 17;
constexpr int kBootPartCodeLength = 7;
constexpr int kBootMajor = 51;
constexpr int kBootMinor = 54;
constexpr int32_t kBootStringLength = 13;
constexpr int32_t kHeaderBufferSize = 1024;

// Seconds of the boot-up wait for units that answer no firmware string yet,
// when the search time limit is too short to give one (see LookForReader).
constexpr int32_t kShortBootUpWaitSeconds = 10;
// How long the connection check keeps the held handle busy, and the pause
// between its passes: without the pause the check would not end under a
// clock that moves only when someone sleeps.
constexpr uint32_t kConnectionCheckMs = 5000;
constexpr uint32_t kConnectionPassPauseMs = 50;

uint32_t WholeSeconds() { return static_cast<uint32_t>(platform::GetClock().Seconds()); }

void ReleaseDeviceList() {
  if (g_DeviceList != nullptr) USBDeviceListFree(g_DeviceList, g_DeviceCount);
  g_DeviceList = nullptr;
  g_DeviceCount = 0;
}

int32_t TextLength(const char* buffer, int32_t size) {
  return static_cast<int32_t>(strnlen(buffer, static_cast<size_t>(size)));
}

// Opens the reader, reads one string and closes the handle again.
int32_t ReadOneString(StringOperation operation, char* buffer, int32_t size, const char* path,
                      const char* failure_location, const char* result_format, const char* result_location) {
  if (buffer == nullptr || size <= 0) return 0;
  buffer[0] = '\0';
  if (RdrOpen(path) != 0) {
    WriteSessionLog("RdrOpen() - failed", failure_location);
    return 0;
  }
  const int32_t result = operation(g_ReaderHandle, buffer, size);
  if (result == 0) buffer[0] = '\0';
  WriteSessionLog(RT::BaseString(result_format, result), result_location);
  RdrCloseHandle();
  return TextLength(buffer, size);
}

bool ReadsFx3String(int32_t reader_type) {
  return reader_type == 6 || reader_type == 8 || reader_type == 10 || reader_type == 13;
}

}  // namespace

int32_t RdrFirmwareString(char* buffer, int32_t size, const char* path) {
  return ReadOneString(RDRFirmwareString, buffer, size, path, "RDRFirmwareString", "RDRFirmwareString() - ret = %d",
                       nullptr);
}

int32_t RdrSerialString(char* buffer, int32_t size, const char* path) {
  return ReadOneString(RDRSerialString, buffer, size, path, "RDRSerialString", "RDRSerialString() - ret = %d",
                       "RDRSerialString");
}

int32_t RdrFX3FirmwareString(char* buffer, int32_t size, const char* path) {
  return ReadOneString(RDRFX3FirmwareString, buffer, size, path, "RDRFX3FirmwareString",
                       "RDRFX3FirmwareString() - ret = %d", "RDRFX3FirmwareString");
}

int32_t RDRBootString(char* buffer, int32_t size, const char* path) {
  if (buffer == nullptr || size <= 0) return 0;
  buffer[0] = '\0';
  if (RdrOpen(path) != 0) {
    WriteSessionLog("RdrOpen() - failed", "RDRBootString");
    return 0;
  }
  char boot_header[kHeaderBufferSize] = {};
  char application_header[kHeaderBufferSize] = {};
  if (RDRBootHeader(g_ReaderHandle, boot_header, kHeaderBufferSize) &&
      RDRAppHeader(g_ReaderHandle, application_header, kHeaderBufferSize)) {
    // The header is NUL from its end on, so a short header cuts the string
    // at its first missing position.
    char composed[kBootStringLength + 1] = {};
    std::memcpy(composed, boot_header + kBootPartCode, kBootPartCodeLength);
    composed[7] = '-';
    composed[8] = boot_header[kBootMajor];
    composed[9] = boot_header[kBootMajor + 1];
    composed[10] = '-';
    composed[11] = boot_header[kBootMinor];
    composed[12] = boot_header[kBootMinor + 1];
    // A caller's buffer smaller than the string gets it cut, not overrun.
    const size_t length = std::min(strnlen(composed, kBootStringLength), static_cast<size_t>(size) - 1);
    std::memcpy(buffer, composed, length);
    buffer[length] = '\0';
  }
  RdrCloseHandle();
  const int32_t length = TextLength(buffer, size);
  WriteSessionLog(RT::BaseString("ret = %d", length), "RDRBootString");
  return length;
}

int32_t LookForHardwareSilent(QuorvelFirmwareUpdaterSilent& silent) {
  WriteSessionLog("Begin", "LookForHardwareSilent");
  const uint32_t start = WholeSeconds();
  const int32_t limit = silent.m_DevFound == 2 ? -1 : silent.m_LocateUSBTimeout / 1000;
  WriteSessionLog(RT::BaseString("devFound %d,  readerType %d, secs %d", silent.m_DevFound, silent.m_ReaderType, limit),
                  nullptr);
  silent.m_DevFound = 0;

  ReleaseDeviceList();
  const int32_t listed = ReaderDeviceList(kSelectAll, &g_DeviceList, &g_DeviceCount);
  const int32_t all_count = listed == 1 ? g_DeviceCount : 0;
  WriteSessionLog(RT::BaseString("found all device count %d - %s", all_count,
                                 all_count > 0 && g_DeviceList != nullptr ? g_DeviceList[0] : ""),
                  nullptr);

  int32_t result = 0;
  for (size_t i = 0;; i = (i + 1) % silent.m_ProductIds.size()) {
    ReleaseDeviceList();
    const int32_t product_id = silent.m_ProductIds[i];
    if (ReaderDeviceList(product_id, &g_DeviceList, &g_DeviceCount) == 1 && g_DeviceCount > 0) {
      WriteSessionLog(RT::BaseString("found device count %d - pid 0x%x", g_DeviceCount, product_id), nullptr);
      silent.m_DevFound = i == 0 ? 2 : 1;
      result = i == 0 ? 1 : 2;
      break;
    }
    platform::GetClock().Sleep(1000);
    if (limit > 0 && WholeSeconds() - start > static_cast<uint32_t>(limit)) break;
  }

  WriteSessionLog(RT::BaseString("ret %d", result), nullptr);
  WriteSessionLog("End", "LookForHardwareSilent");
  return result;
}

bool QuorvelFirmwareUpdaterSilent::LookForReader() {
  WriteSessionLog("Begin", kLookForReaderLocation);
  m_SerialString.Assign("");
  m_AppString.Assign(kNotFound);
  m_BootString.Assign(kNotFound);
  m_FX3String.Assign(kNotFound);
  bool application_read = false;
  bool boot_read = false;

  bool found = false;
  if (LookForHardwareSilent(*this) != 0 && m_DevFound != 0) {
    found = true;
    char text[200];
    if (RdrFirmwareString(text, sizeof text, nullptr) > 0) {
      m_AppString.Assign(text);
      application_read = true;
    } else if (m_ReaderType == 10 || m_ReaderType == 13) {
      int32_t seconds = m_LocateUSBTimeout > 10000 ? m_LocateUSBTimeout / 1000 : kShortBootUpWaitSeconds;
      WriteSessionLog(RT::BaseString("TD12K(i) unit waiting up to %d sec for boot up", seconds), nullptr);
      do {
        platform::GetClock().Sleep(1000);
        --seconds;
        if (RdrFirmwareString(text, sizeof text, nullptr) > 0) {
          m_AppString.Assign(text);
          application_read = true;
          break;
        }
      } while (seconds >= 0);
    }
    if (RDRBootString(text, sizeof text, nullptr) > 0) {
      m_BootString.Assign(text);
      boot_read = true;
    }
    if (RdrSerialString(text, sizeof text, nullptr) > 0) m_SerialString.Assign(text);
    if (ReadsFx3String(m_ReaderType)) {
      if (RdrFX3FirmwareString(text, sizeof text, nullptr) > 0) m_FX3String.Assign(text);
      if (!m_SerialString.IsEmpty() && (!application_read || !boot_read)) {
        platform::GetClock().Sleep(10000);
        if (RdrFirmwareString(text, sizeof text, nullptr) > 0) m_AppString.Assign(text);
        if (RDRBootString(text, sizeof text, nullptr) > 0) m_BootString.Assign(text);
      }
    }
    WriteSessionLog(RT::BaseString("Unit Found - App %s, Boot %s, FX3 %s, Serial %s", m_AppString.c_str(),
                                   m_BootString.c_str(), m_FX3String.c_str(), m_SerialString.c_str()),
                    nullptr);
  }
  WriteSessionLog("End", kLookForReaderLocation);
  return found;
}

int32_t QuorvelFirmwareUpdaterSilent::ShowAllReaders() {
  WriteSessionLog("Start", kShowAllReadersLocation);
  std::printf("%s - reader details\n", ProgramTitle().c_str());
  char** list = nullptr;
  int32_t count = 0;
  if (ReaderDeviceList(kSelectAll, &list, &count) != 1) {
    std::printf("\tNo readers found\n");
  } else {
    for (int32_t i = 0; i < count; ++i) {
      char application[100];
      char serial[100];
      char boot[100];
      char fx3[100];
      RdrFirmwareString(application, sizeof application, list[i]);
      RdrSerialString(serial, sizeof serial, list[i]);
      RDRBootString(boot, sizeof boot, list[i]);
      RdrFX3FirmwareString(fx3, sizeof fx3, list[i]);
      std::printf("For reader serial: %s\n", serial);
      std::printf("\tboot: %s\n", boot);
      std::printf("\tapp: %s\n", application);
      std::printf("\tfx3: %s\n", fx3);
      std::printf("\n");
    }
  }
  if (list != nullptr) USBDeviceListFree(list, count);
  WriteSessionLog("End", kShowAllReadersLocation);
  return 0;
}

int32_t CheckReaderConnection(int32_t readerType) {
  WriteSessionLog("Begin", "CheckReaderConnection");
  int32_t result = 0;
  if (g_ReaderHandle == nullptr) {
    result = -2;
  } else {
    platform::Clock& clock = platform::GetClock();
    const uint32_t start = clock.TickCount();
    while (clock.TickCount() - start < kConnectionCheckMs) {
      char text[30];
      if (!RDRFirmwareString(g_ReaderHandle, text, sizeof text) ||
          !RDRSerialString(g_ReaderHandle, text, sizeof text) ||
          (ReadsFx3String(readerType) && !RDRFX3FirmwareString(g_ReaderHandle, text, sizeof text))) {
        result = -1;
        break;
      }
      clock.Sleep(kConnectionPassPauseMs);
    }
  }
  WriteSessionLog("End", "CheckReaderConnection");
  return result;
}
