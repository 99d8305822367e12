// The update engine's procedures: reader discovery and identification, the
// firmware comparisons, the file transfer methods, the flash image restore
// and the state they share. Each procedure serves both programs; where the
// dialog's copy logs differently, the caller says which log style it wants.
#pragma once

#include <cstdint>
#include <cstdio>

#include "reader/rdr.h"
#include "updater/base_string.h"

class QuorvelFirmwareUpdaterSilent;

// Which program's log lines a procedure writes. The dialog's copies do the
// same work and differ only in what they log.
enum class LogStyle {
  kConsole,
  kDialog,
};

// The engine's one reader handle: null when none is held, the invalid handle
// value after a failed open. Used only by the engine's thread.
extern RDRHANDLE g_ReaderHandle;
// The device list of the last device search, released before each new one.
extern char** g_DeviceList;
extern int32_t g_DeviceCount;
// Forces transfer protocol 1 wherever a protocol is chosen.
extern bool g_UseOldTransferProtocol;

// --- discovery and identification ------------------------------------------
// Closes a held handle, then opens the reader at path (null: the first one)
// into g_ReaderHandle with a 120-second timeout. 0 opened, 21 failed.
int32_t RdrOpen(const char* path);
// Closes the held handle, if any, and clears g_ReaderHandle.
void RdrCloseHandle();
// Each opens the reader, reads one string into buffer (emptied first), closes
// the handle again and returns the text's length (0 when none was read).
int32_t RdrFirmwareString(char* buffer, int32_t size, const char* path);
int32_t RdrSerialString(char* buffer, int32_t size, const char* path);
int32_t RdrFX3FirmwareString(char* buffer, int32_t size, const char* path);
// The 13-character boot string composed from the unit's boot header; buffer
// must hold at least 14 bytes.
int32_t RDRBootString(char* buffer, int32_t size, const char* path);
// 0 not found within the time limit, 1 found under product id 0x40, 2 found
// under one of the reader type's product ids.
int32_t LookForHardwareSilent(QuorvelFirmwareUpdaterSilent& silent);
// 0 the held handle answered for 5 seconds, -1 a read failed, -2 no handle.
int32_t CheckReaderConnection(int32_t readerType);
// Switches attached OMNIKEY contactless readers before (false) and after
// (true) an update. PC/SC failures end it silently.
void ControlOmnikeyReaders(bool after);

// --- firmware comparison -----------------------------------------------------
// Whether the first 14 (same) or 7 (similar) characters of the reader's string
// occur in the file name, ignoring case and hyphen against underscore.
bool IsSameFirmware(const RT::BaseString& aReaderStr, const RT::BaseString& aFileName,
                    LogStyle style = LogStyle::kConsole);
bool IsSimilarFirmware(const RT::BaseString& aReaderStr, const RT::BaseString& aFileName,
                       LogStyle style = LogStyle::kConsole);

// --- transfer ----------------------------------------------------------------
// 2 (packet transfer) when the held reader reports API bit 0x8 and the old
// protocol is not forced, else 1.
int32_t ChooseTransferProtocol();

// Sends fileSize bytes of file from its start as numbered packets; the final
// packet carries the size, the CRC and the name (null: a flash image).
// 0 sent, 32 a packet write failed, 34 the file could not be read.
int32_t RdrNewFileCopy(std::FILE* file, uint32_t fileSize, const char* filename, uint32_t aMaxPacketSize,
                       LogStyle style = LogStyle::kConsole);
// Through the flash file system in 900-byte pieces. 0 sent; 1 local file not
// opened, 2 flash file not created, 3 local read short, 4 flash write short.
int32_t RdrOldFileCopy(const char* installFilename, const char* flashName, LogStyle style = LogStyle::kConsole);
// One F_cp; its result unchanged (bytes copied, or -1).
int32_t RdrCopyFile(const char* localPath, const char* flashPath, LogStyle style = LogStyle::kConsole);
// Validates and measures an FX3 boot image, then sends it. 0 sent; 1-10 as
// the image walk or the transfer failed.
int32_t WR2200FileCopy(const char* installFilename, int32_t protocol, LogStyle style = LogStyle::kConsole);
// Opens the reader, asks it to restart and closes the handle; true when the
// restart request succeeded.
bool RdrSoftBoot(LogStyle style = LogStyle::kConsole);

// --- restore -----------------------------------------------------------------
// Writes a bootloader flash image into the reader (raw sectors, verified) or
// sends it as a packet transfer. 0 done; 19 no file, no reader or no
// generation header; 32 write, read-back or verify failed; 33 erase failed;
// 34 the image could not be read. Always leaves g_ReaderHandle closed.
int32_t RestoreFlash(RT::BaseString path, LogStyle style = LogStyle::kConsole);

// --- update sequence ---------------------------------------------------------
// Sends the configured files stage by stage; 0 when no stage aborted, 2 when
// one did.
int32_t UpdateFirmwareSlient(QuorvelFirmwareUpdaterSilent& silent);
