// Flash sectors of the reader and the host-side file system built on them.
#pragma once

#include <cstdint>

#include "reader/rdr.h"

inline constexpr uint32_t kFlashFileMagic = 0xC1B2C3D0;

// Flash file flags.
inline constexpr uint32_t kFlashRead = 0x01;
inline constexpr uint32_t kFlashWrite = 0x02;
inline constexpr uint32_t kFlashUpdate = 0x04;
inline constexpr uint32_t kFlashAppend = 0x08;
inline constexpr uint32_t kFlashEof = 0x10;
inline constexpr uint32_t kFlashError = 0x20;

struct FlashFile {
  uint32_t magic;
  uint32_t flags;
  uint32_t first_sector;  // 0xFFFF: the file does not exist yet
  int32_t pushback;       // -1 when none
  RDRHANDLE owner;
  uint8_t chip;
  uint32_t current_sector;
  uint32_t current_location;  // location hint last returned by the reader
  uint32_t entry_index;
  uint32_t sector_base;  // file offset of byte 0 of the current sector
  uint32_t position;
  int32_t size;
  char name[17];
};

// --- sector commands ----------------------------------------------------------
int32_t SectorInit(RDRHANDLE handle, int32_t chip);
int32_t SectorRead(RDRHANDLE handle, int32_t chip, int32_t logical_id, int32_t offset, int32_t length, void* buffer,
                   uint16_t* location);
int32_t SectorWrite(RDRHANDLE handle, int32_t chip, int32_t logical_id, int32_t offset, int32_t length,
                    const void* buffer, uint16_t* location);
int32_t SectorNew(RDRHANDLE handle, int32_t chip, uint16_t* logical_id, uint16_t* location);
int32_t SectorDelete(RDRHANDLE handle, int32_t chip, int32_t logical_id, uint16_t* location);
int32_t SectorRawRead(RDRHANDLE handle, int32_t chip, int32_t sector, int32_t offset, int32_t length, void* buffer);
int32_t SectorRawWrite(RDRHANDLE handle, int32_t chip, int32_t sector, int32_t offset, int32_t length,
                       const void* buffer);
int32_t SectorRawErase(RDRHANDLE handle, int32_t chip, int32_t sector, int32_t offset, int32_t length);

// --- file system --------------------------------------------------------------
FlashFile* F_fopen(RDRHANDLE handle, const char* name, const char* mode);
int32_t F_fclose(FlashFile* file);
int32_t F_fread(void* buffer, int32_t size, int32_t items, FlashFile* file);
int32_t F_fwrite(const void* buffer, int32_t size, int32_t items, FlashFile* file);
int32_t F_fseek(FlashFile* file, int32_t offset, int32_t whence);
int32_t F_ftell(FlashFile* file);
int32_t F_feof(FlashFile* file);
int32_t F_ferror(FlashFile* file);
int32_t F_remove(RDRHANDLE handle, const char* name);
int32_t F_cp(RDRHANDLE handle, const char* src, const char* dest);
