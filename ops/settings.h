#pragma once
// The converter's RS-485 line settings: the 6-byte record at address 0 of its
// memory, how the window shows it, and the two operations on it (the connection
// check that reads it and the write that stores it). No window code here: the
// window and the command line call the same functions.

#include <cstdint>
#include <string>
#include <vector>

#include "ops/messages.h"
#include "ops/port_open.h"
#include "ports/port_table.h"

constexpr uint8_t ConverterBusAddress = 16;

// As it lies in the converter's memory from address 0.
struct DeviceSettings {
  uint8_t Baud100[2];  // baud rate / 100, little-endian
  uint8_t Spare;       // not interpreted; written back as read
  uint8_t DataBits;    // 8, 7 or 9
  uint8_t Parity;      // 'N', 'E', 'O', 'M' or 'Z'
  uint8_t Flags;       // EchoSuppression, TwoStopBits; other bits written back as read
};
static_assert(sizeof(DeviceSettings) == 6);

constexpr uint8_t EchoSuppression = 0x80;
constexpr uint8_t TwoStopBits = 0x40;

// Rows of the parity and data-bits lists, in the window's order.
inline constexpr char ParityLetters[] = "NEOMZ";
inline constexpr uint8_t DataBitsValues[] = {8, 7, 9};
constexpr int ParityRows = 5;
constexpr int DataBitsRows = 3;
// The parity rows' names on rs485ctl's command line and in its JSON.
inline constexpr const char* ParityNames[ParityRows] = {"none", "even", "odd", "mark", "space"};

uint16_t SettingsBaud100(const DeviceSettings& settings);
void SettingsSetBaud100(DeviceSettings& settings, uint16_t baud100);

// What the settings controls hold. A row of -1 means no row is selected.
struct SettingsView {
  std::string baudRate;
  int parityRow = -1;
  int dataBitsRow = -1;
  bool twoStopBits = false;
  bool echoSuppression = false;
};

// The record's bytes in hex, "60 00 00 08 4E 80".
std::string SettingsRawText(const DeviceSettings& settings);
// The record back from that text; false when it is not 6 bytes so written.
bool SettingsParseRaw(const std::string& text, DeviceSettings& settings);

// Device to window: 57 (hundreds) shows as 5760; an unknown parity shows as
// "None", an unknown data-bit count as "9".
SettingsView SettingsToView(const DeviceSettings& settings);

// The baud rates the record can carry, as the window's field takes them.
constexpr uint32_t SettingsMinBaud = 100;
constexpr uint32_t SettingsMaxBaud = 6553599;  // 65535 hundreds, the rest dropped

// The baud text as the record holds it: a whole number from SettingsMinBaud
// to SettingsMaxBaud (blanks around it allowed), divided by 100 towards zero
// (5760 gives 57). false for anything else: nothing is written that nobody
// typed.
bool SettingsParseBaud(const std::string& text, uint16_t& baud100);

// A baud rate the converter holds exactly, as plain digits (rs485ctl's
// --baud, a profile): taken in and shown again by the window's own mapping,
// it comes back as given. So 14450 (kept as 14400) and 5700 (shown as 5760)
// are refused rather than changed behind the user's back.
bool SettingsIsExactBaud(const std::string& text);

// The parity row a name of ParityNames gives, in any case; -1 for none.
int SettingsParityRow(const std::string& name);

// Window to device, into the record last read: the baud text as
// SettingsParseBaud takes it, then the rest as SettingsApplyLineView. A baud
// text it refuses returns false and leaves the record as it was.
bool SettingsFromView(const SettingsView& view, DeviceSettings& settings);

// Everything but the baud rate: the two flags the window shows, parity and
// data bits. Spare and the flag bits the window does not show stay as read; a
// list without a selection leaves its field as read.
void SettingsApplyLineView(const SettingsView& view, DeviceSettings& settings);

// Outcomes of the operations; each failure has its message for the user.
enum SettingsResult {
  SettingsOk = 0,
  SettingsPortOpenFailed,   // "Ошибка открытия порта"
  SettingsReadFailed,       // "Ошибка получения настроек"
  SettingsWriteFailed,      // "Ошибка записи настроек"
};
const char* SettingsMessage(SettingsResult result);

// Every channel call is followed by a short pause for the converter; the
// window keeps it after the last call too, a caller that does nothing next
// need not.
enum CallPause { PauseAfterEveryCall, PauseBetweenCalls };

// Connection check: opens the port by name into portId and reads the record.
// On success the port stays open and settings holds the record. On a failed
// read the port is closed, portId is 0 and settings is left untouched. A TCP
// port whose link does not stand within PortLinkWaitMs fails as a port that
// did not open; PortLastFailure() tells why a port did not open.
SettingsResult SettingsCheck(const char* portName, PortId& portId, DeviceSettings& settings,
                             CallPause pause = PauseAfterEveryCall);

// Reads the record on a port already open, into settings only when it came
// whole with a good CRC. Neither opens nor closes the port.
SettingsResult SettingsRead(PortId portId, DeviceSettings& settings, CallPause pause = PauseAfterEveryCall);

// The fields in which a record read back differs from the one written, by
// their names in rs485ctl's JSON (baud, parity, data_bits, stop_bits,
// echo_suppression), and spare and flags for the bytes the window does not
// show; empty when they are the same.
std::vector<const char*> SettingsDifferences(const DeviceSettings& wanted, const DeviceSettings& got);

// Writes the record to the converter on the open port, then the one-byte write
// to 0x8FFFFF that makes the converter take it (its answer is not examined).
// Neither opens nor closes the port.
SettingsResult SettingsWrite(PortId portId, const DeviceSettings& settings, CallPause pause = PauseAfterEveryCall);
