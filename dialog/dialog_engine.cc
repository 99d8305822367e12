#include "dialog/dialog_engine.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "dialog/dialog_log.h"
#include "platform/clock.h"
#include "platform/pcsc.h"
#include "updater/engine.h"
#include "updater/session_log.h"

namespace {

bool HandleHeld() { return g_ReaderHandle != nullptr && g_ReaderHandle != InvalidReaderHandle(); }

bool Contains(const RT::BaseString& text, const char* part) { return text.Find(part) >= 0; }

// The family each reader type stands for on the Scan button. Type 3 has two
// rules with different families; the later one (WR series) wins when both
// match, as it does for the reader type.
std::string FamilyOf(const QuorvelFirmwareUpdaterSilent& silent) {
  switch (silent.m_ReaderType) {
    case 1: return "VL120 series";
    case 2: return "HX2/PN series";
    case 3: {
      const bool wr_rule = (silent.m_BootloaderFile.IsEmpty() || Contains(silent.m_BootloaderFile, "FW41014")) &&
                           Contains(silent.m_ApplicationFile, "FW41023");
      return wr_rule ? "WR series" : "new WR1200 series";
    }
    case 4: return "WR series";
    case 5:
    case 6: return "VL5600 series";
    case 7: return "HX2/PN (720DPI) series";
    case 8: return "HX2 USB 3 series";
    case 9: return "TD12K 370 series";
    case 10:
    case 16: return "TD12Ki USB series";
    case 11: return "TD12K 550 series";
    case 12: return "TD12K USB 3 370dpi series";
    case 13: return "TD12K USB 3 550dpi series";
    case 14: return "VL2200 series";
    case 15: return "PN2200 series";
    default: return {};
  }
}

using StringOperation = int32_t (*)(RDRHANDLE, char*, int32_t);

// Opens the held handle and reads one string through it; the handle stays
// held for the reads that follow (the boot string among them).
int32_t ReadKeepingHandle(StringOperation operation, const char* name, char* buffer, int32_t size) {
  if (buffer == nullptr || size <= 0) return 0;
  buffer[0] = '\0';
  if (RdrOpen(nullptr) != 0) {
    WriteDialogLog(std::string(name) + "::RdrOpen() - failed");
    return 0;
  }
  const int32_t result = operation(g_ReaderHandle, buffer, size);
  if (result == 0) {
    buffer[0] = '\0';
    WriteDialogLog(std::string(name) + "::" + name + "() - ret = " + std::to_string(result));
  }
  return static_cast<int32_t>(strnlen(buffer, static_cast<size_t>(size)));
}

constexpr int32_t kHeaderBufferSize = 1024;
constexpr int32_t kBootStringLength = 13;

}  // namespace

bool HasFx3String(int32_t readerType) {
  return readerType == 6 || readerType == 8 || readerType == 10 || readerType == 13;
}

int32_t LoadDialogSettings(QuorvelFirmwareUpdaterSilent& silent, const char* path, std::string* family) {
  int32_t selected = 0;
  {
    // The engine's loader writes the console's record; the dialog keeps its own.
    const ScopedDialogLogSink::Mute mute;
    selected = silent.LoadSettingsFromIniFile(path);
  }
  silent.m_ShowFirmwareOnFinished = false;
  *family = selected != 0 ? FamilyOf(silent) : std::string();
  if (selected == 0) return 0;

  auto number = [](const char* format, int32_t value) { WriteDialogLog(RT::BaseString(format, value).c_str()); };
  auto text = [](const char* format, const RT::BaseString& value) {
    WriteDialogLog(RT::BaseString(format, value.c_str()).c_str());
  };
  WriteDialogLog("SettingsFromIni");
  number("locateUSBTimeout - %d", silent.m_LocateUSBTimeout);
  number("locateUSBTimeoutRest - %d", silent.m_LocateUSBTimeoutRest);
  number("formatTimeout - %d", silent.m_FormatTimeout);
  number("copyTimeout - %d", silent.m_CopyTimeout);
  number("removeDevices - %d", silent.m_RemoveDevices ? 1 : 0);
  number("verboseLogging - %d", silent.m_VerboseLogging ? 1 : 0);
  number("SkipTheBootloaderReset - %d", silent.m_SkipTheBootloaderReset ? 1 : 0);
  number("UseOldTransferProtocol - %d", silent.m_UseOldTransferProtocol ? 1 : 0);
  text("m_BootloaderFile - %s", silent.m_BootloaderFile);
  text("m_BootloaderAltFile - %s", silent.m_BootloaderAltFile);
  text("m_ApplicationFile - %s", silent.m_ApplicationFile);
  text("m_BootIniFile - %s", silent.m_BootIniFile);
  text("m_N5OSFile - %s", silent.m_N5OSFile);
  text("m_N5AppFile - %s", silent.m_N5AppFile);
  text("m_td12kiFile - %s", silent.m_td12kiFile);
  text("m_td12kFile - %s", silent.m_td12kFile);
  text("m_fx3AppFile - %s", silent.m_fx3AppFile);
  text("m_uvBinFile - %s", silent.m_uvBinFile);
  return 1;
}

int32_t DialogFirmwareString(char* buffer, int32_t size) {
  return ReadKeepingHandle(RDRFirmwareString, "RDRFirmwareString", buffer, size);
}

int32_t DialogSerialString(char* buffer, int32_t size) {
  return ReadKeepingHandle(RDRSerialString, "RDRSerialString", buffer, size);
}

int32_t DialogFX3FirmwareString(char* buffer, int32_t size) {
  return ReadKeepingHandle(RDRFX3FirmwareString, "RDRFX3FirmwareString", buffer, size);
}

int32_t DialogBootString(char* buffer, int32_t size) {
  if (buffer == nullptr || size <= 0) return 0;
  buffer[0] = '\0';
  if (!HandleHeld()) return 0;
  std::array<char, kHeaderBufferSize> boot_header{};
  std::array<char, kHeaderBufferSize> application_header{};
  if (!RDRBootHeader(g_ReaderHandle, boot_header.data(), kHeaderBufferSize) ||
      !RDRAppHeader(g_ReaderHandle, application_header.data(), kHeaderBufferSize)) {
    return 0;
  }
  // Part code at 17-23, then the two version fields at 51-52 and 54-55; the
  // header is NUL beyond its text, which cuts a short header's string there.
  std::array<char, kBootStringLength + 1> composed{};
  std::memcpy(composed.data(), boot_header.data() + 17, 7);
  composed[7] = '-';
  composed[8] = boot_header[51];
  composed[9] = boot_header[52];
  composed[10] = '-';
  composed[11] = boot_header[54];
  composed[12] = boot_header[55];
  const size_t length = std::min(strnlen(composed.data(), kBootStringLength), static_cast<size_t>(size) - 1);
  std::memcpy(buffer, composed.data(), length);
  buffer[length] = '\0';
  return static_cast<int32_t>(length);
}

int32_t DialogCheckConnection(int32_t readerType) {
  if (g_ReaderHandle == nullptr) return -2;
  platform::Clock& clock = platform::GetClock();
  const uint32_t start = clock.TickCount();
  // The pause between passes lets a virtual clock move, and spares the unit.
  constexpr uint32_t kCheckMs = 5000;
  constexpr uint32_t kPassPauseMs = 50;
  while (clock.TickCount() - start < kCheckMs) {
    char text[30];
    if (!RDRFirmwareString(g_ReaderHandle, text, sizeof text) || !RDRSerialString(g_ReaderHandle, text, sizeof text) ||
        (HasFx3String(readerType) && !RDRFX3FirmwareString(g_ReaderHandle, text, sizeof text))) {
      return -1;
    }
    clock.Sleep(kPassPauseMs);
  }
  return 0;
}

namespace {

// A model of switchable card reader: the name prefix it is known by and the
// control it takes before and after an update.
struct OmnikeyModel {
  const char* prefix;
  uint32_t control_code;
  std::array<uint8_t, 4> before;
  std::array<uint8_t, 4> after;
  size_t input_bytes;
};

constexpr OmnikeyModel kOmnikeyModels[] = {
    {"OMNIKEY CardMan 5x21-CL", platform::pcsc::kControlOmnikeySwitch, {0x03, 0x01}, {0x03, 0x00}, 2},
    {"HID Global OMNIKEY 5122CL Dual",
     platform::pcsc::kControlCcidEscape,
     {0xFF, 0x9A, 0x04, 0x00},
     {0xFF, 0x9A, 0x04, 0x01},
     4},
};
constexpr size_t kControlOutputBytes = 200;

const OmnikeyModel* ModelOf(const std::string& reader) {
  for (const OmnikeyModel& model : kOmnikeyModels) {
    const size_t length = std::strlen(model.prefix);
    if (reader.size() >= length && strncasecmp(reader.c_str(), model.prefix, length) == 0) return &model;
  }
  return nullptr;
}

}  // namespace

void DialogControlOmnikeyReaders(bool after) {
  const std::shared_ptr<platform::pcsc::Backend> backend = platform::pcsc::GetBackend();
  std::unique_ptr<platform::pcsc::Context> context = backend->EstablishContext();
  if (context == nullptr) return;
  const std::optional<std::vector<std::string>> readers = context->ListReaders();
  if (!readers) return;
  for (const std::string& reader : *readers) {
    const OmnikeyModel* model = ModelOf(reader);
    if (model == nullptr) continue;
    std::unique_ptr<platform::pcsc::Card> card = context->ConnectDirect(reader);
    // One refused connection ends the switching for this call.
    if (card == nullptr) return;
    const std::array<uint8_t, 4>& input = after ? model->after : model->before;
    std::array<uint8_t, kControlOutputBytes> output{};
    size_t received = 0;
    card->Control(model->control_code, std::span(input.data(), model->input_bytes), output, &received);
  }
}
