// The dialog program's own variants of the engine procedures: its settings
// loader, the string readers that keep the reader handle open, the boot string
// read through the held handle, the connection check and the OMNIKEY switch.
// They run on g_ReaderHandle like the engine's procedures.
#pragma once

#include <cstdint>
#include <string>

#include "updater/silent.h"

// The settings file as the dialog names it.
inline constexpr const char* kDialogSettingsFile = "./QuorvelFirmwareUpdater.ini";

// Loads the settings with the engine's keys and reader-type rules and, when a
// reader type was selected, records them in the dialog's log. 1 selected,
// 0 none. *family gets the model family of the last matching rule ("WR
// series"), empty when none matched.
int32_t LoadDialogSettings(QuorvelFirmwareUpdaterSilent& silent, const char* path, std::string* family);

// Open the held handle (closing any before) and read one string into buffer,
// leaving the handle open. The length of the text read; 0 and an empty buffer
// when none was.
int32_t DialogFirmwareString(char* buffer, int32_t size);
int32_t DialogSerialString(char* buffer, int32_t size);
int32_t DialogFX3FirmwareString(char* buffer, int32_t size);
// The 13-character boot string read through the handle held now; empty when
// there is none or the headers cannot be read.
int32_t DialogBootString(char* buffer, int32_t size);

// 0 the held handle answered for 5 seconds, -1 a read failed, -2 no handle.
int32_t DialogCheckConnection(int32_t readerType);

// Switches the attached OMNIKEY 5x21-CL and 5122CL Dual readers before
// (false) and after (true) an update.
void DialogControlOmnikeyReaders(bool after);

// Units of these reader types report an FX3 firmware string.
bool HasFx3String(int32_t readerType);
