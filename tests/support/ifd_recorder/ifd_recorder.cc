// A card reader driver that pcscd loads from a reader.conf entry so tests can
// see what reaches a reader through the real PC/SC service. It serves any
// number of readers, never holds a card, lets every direct connection
// through, and appends each control request to the file named by the
// environment variable QUORVEL_IFD_RECORD, one line per request:
//   "<DEVICENAME's file name> <control code as 0x%08x> <input as hex bytes>"
// then answers it with success and no output bytes.
//
// pcscd is not built with sanitizers, so neither is this library; it keeps to
// the C library and one mutex.
// The header declares the entry points without C linkage of its own.
extern "C" {
#include <ifdhandler.h>
}

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// pcscd gives each reader a logical unit number (Lun); the driver keeps the
// reader's DEVICENAME for it, as the reader's name in the record.
struct Reader {
  bool open = false;
  DWORD lun = 0;
  char device[128] = {};
};

constexpr size_t kMaxReaders = 8;

std::mutex g_mutex;
std::array<Reader, kMaxReaders> g_readers;  // guarded by g_mutex

// Call with g_mutex held.
Reader* FindReader(DWORD lun) {
  for (Reader& reader : g_readers) {
    if (reader.open && reader.lun == lun) return &reader;
  }
  return nullptr;
}

RESPONSECODE OpenReader(DWORD lun, const char* device) {
  std::lock_guard lock(g_mutex);
  for (Reader& reader : g_readers) {
    if (reader.open) continue;
    reader.open = true;
    reader.lun = lun;
    // pcscd insists that DEVICENAME is an existing file; its last path
    // component names the reader in the record.
    const char* slash = std::strrchr(device, '/');
    std::snprintf(reader.device, sizeof reader.device, "%s", slash != nullptr ? slash + 1 : device);
    return IFD_SUCCESS;
  }
  return IFD_COMMUNICATION_ERROR;
}

RESPONSECODE AnswerByte(PDWORD length, PUCHAR value, UCHAR byte) {
  if (*length < 1) return IFD_ERROR_INSUFFICIENT_BUFFER;
  *length = 1;
  value[0] = byte;
  return IFD_SUCCESS;
}

}  // namespace

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) { return OpenReader(Lun, DeviceName); }

RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
  char device[32];
  std::snprintf(device, sizeof device, "channel-%lu", static_cast<unsigned long>(Channel));
  return OpenReader(Lun, device);
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
  std::lock_guard lock(g_mutex);
  if (Reader* reader = FindReader(Lun)) reader->open = false;
  return IFD_SUCCESS;
}

RESPONSECODE IFDHGetCapabilities(DWORD /*Lun*/, DWORD Tag, PDWORD Length, PUCHAR Value) {
  switch (Tag) {
    // One loaded copy of the driver serves every reader of the configuration.
    case TAG_IFD_SIMULTANEOUS_ACCESS: return AnswerByte(Length, Value, kMaxReaders);
    case TAG_IFD_THREAD_SAFE: return AnswerByte(Length, Value, 1);
    case TAG_IFD_SLOTS_NUMBER: return AnswerByte(Length, Value, 1);
    case TAG_IFD_SLOT_THREAD_SAFE: return AnswerByte(Length, Value, 0);
    default: return IFD_ERROR_TAG;
  }
}

RESPONSECODE IFDHSetCapabilities(DWORD /*Lun*/, DWORD /*Tag*/, DWORD /*Length*/, PUCHAR /*Value*/) {
  return IFD_ERROR_TAG;
}

RESPONSECODE IFDHSetProtocolParameters(DWORD /*Lun*/, DWORD /*Protocol*/, UCHAR /*Flags*/, UCHAR /*PTS1*/,
                                       UCHAR /*PTS2*/, UCHAR /*PTS3*/) {
  return IFD_PROTOCOL_NOT_SUPPORTED;
}

RESPONSECODE IFDHPowerICC(DWORD /*Lun*/, DWORD Action, PUCHAR /*Atr*/, PDWORD AtrLength) {
  *AtrLength = 0;
  return Action == IFD_POWER_DOWN ? IFD_SUCCESS : IFD_ERROR_POWER_ACTION;
}

RESPONSECODE IFDHTransmitToICC(DWORD /*Lun*/, SCARD_IO_HEADER /*SendPci*/, PUCHAR /*TxBuffer*/, DWORD /*TxLength*/,
                               PUCHAR /*RxBuffer*/, PDWORD RxLength, PSCARD_IO_HEADER /*RecvPci*/) {
  *RxLength = 0;
  return IFD_ICC_NOT_PRESENT;
}

RESPONSECODE IFDHICCPresence(DWORD /*Lun*/) { return IFD_ICC_NOT_PRESENT; }

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength, PUCHAR /*RxBuffer*/,
                         DWORD /*RxLength*/, LPDWORD pdwBytesReturned) {
  *pdwBytesReturned = 0;
  std::lock_guard lock(g_mutex);
  const Reader* reader = FindReader(Lun);
  const char* path = std::getenv("QUORVEL_IFD_RECORD");
  if (reader == nullptr || path == nullptr) return IFD_COMMUNICATION_ERROR;
  std::FILE* file = std::fopen(path, "a");
  if (file == nullptr) return IFD_COMMUNICATION_ERROR;
  std::fprintf(file, "%s 0x%08lx", reader->device, static_cast<unsigned long>(dwControlCode));
  for (DWORD i = 0; i < TxLength; ++i) std::fprintf(file, " %02x", TxBuffer[i]);
  std::fputc('\n', file);
  std::fclose(file);
  return IFD_SUCCESS;
}

}  // extern "C"
