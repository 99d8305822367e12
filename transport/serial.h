// The serial stream transport: request/reply messages over a character
// stream (a serial line), each wrapped in a frame with the start mark 0x01
// 0xFF and a CRC-32/JAMCRC trailer and cut into characters of the port's bit
// size. Characters received outside valid reply frames are kept in the
// handle's unsolicited-input ring and served by SERGetCharacter.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/serial_port.h"
#include "reader/rdr.h"

// Largest request body a frame carries.
inline constexpr uint32_t kLargestSerialRequestBody = 8176;

// RDRSendReceive's exchange for serial handles (same arguments).
int32_t SERSendReceive(RDRHANDLE handle, RDRMSGHDR* ohdr, const void* odata, RDRMSGHDR* ihdr, void* idata);
// Next character from the port, waiting up to the exchange's time limit
// counted from the tick `start`; -1 after a timeout (error 26) or an abort
// by the progress callback (error 25).
int32_t StreamGet(RDRHANDLE handle, uint32_t start);
// 1 when the port can take a character, 0 on timeout or abort (as StreamGet).
int32_t StreamPut(RDRHANDLE handle, uint32_t start);
// The unsolicited-input getter: the oldest character kept in the ring, else
// the port's next character (256 when none is waiting); -1 with error 4
// when the handle has no raw input.
int32_t SERGetCharacter(RDRHANDLE handle);

// The three character functions of a serial handle. raw_input returns the
// next character or 256 when none is waiting; raw_output sends a character
// (1 on success) or, given 256, tells whether the port can take one;
// bit_size gives the bits per character (negative: port in error). From 9
// bits up a character can have the value 256, which this contract reserves
// for "none waiting": such a character is lost, and the frame with it is
// never accepted (the exchange times out).
struct SerialFunctions {
  int32_t (*raw_input)(RDRHANDLE handle);
  int32_t (*raw_output)(RDRHANDLE handle, int32_t character);
  int32_t (*bit_size)(RDRHANDLE handle);
};

// Opens a serial reader on a termios device (e.g. "/dev/ttyUSB0" or a
// pseudo-terminal's slave) at the character size the port is configured
// with (5..8 bits), and reads the reader's firmware name and number as the
// USB open does. Larger character sizes are reached through SEROpenPort.
// Returns -1 (InvalidReaderHandle()) on failure; RDRClose releases it.
RDRHANDLE SEROpen(const char* device_path);
// A serial handle over any port (e.g. platform::serial::MemoryPort); no
// request is sent. -1 on failure.
RDRHANDLE SEROpenPort(std::unique_ptr<platform::serial::Port> port);
// A serial handle over caller-supplied character functions; the context is
// kept for them (SERContext). No request is sent. -1 on failure.
RDRHANDLE SEROpenFunctions(const SerialFunctions& functions, void* context);
// The context given to SEROpenFunctions; null for other handles.
void* SERContext(RDRHANDLE handle);

// CRC-32/JAMCRC of a frame's header and body.
uint32_t SerialFrameCrc(std::span<const uint8_t> bytes);
