#pragma once
// The firmware update's record: 272 bytes of the image with their place
// (page and index within the page) and a checksum, announced by RecordCommand
// and acknowledged by the converter with one byte.

#include <cstdint>

#include "ports/port_table.h"

constexpr int FirmwareRecordData = 272;

struct FirmwareRecord {
  uint8_t Page[2];  // little-endian; the first record is page 8
  uint8_t Index;    // 0 to 3: four records make a page
  uint8_t Data[FirmwareRecordData];
  uint8_t Checksum;  // FrameChecksum over the 275 bytes before it
};
static_assert(sizeof(FirmwareRecord) == 276);

constexpr uint16_t FirmwareFirstPage = 8;
constexpr int FirmwareRecordsPerPage = 4;
// The page number has 16 bits; an image needing more would overwrite low pages.
constexpr uint64_t FirmwareMaxRecords = (65536u - FirmwareFirstPage) * FirmwareRecordsPerPage;
constexpr uint16_t FirmwareAckTimeoutMs = 500;

// Where a record goes: the page and the index of the sequence's n-th record.
struct FirmwareRecordPlace {
  uint16_t page = FirmwareFirstPage;
  uint8_t index = 0;
  void Next();
};

// Stores the place in the record and closes it with its checksum.
void FirmwareRecordSeal(FirmwareRecord& record, const FirmwareRecordPlace& place);

// Sends RecordCommand to address and the record right after it, and waits
// FirmwareAckTimeoutMs for the converter's one-byte acknowledgement (its value
// is the converter's business). ResultOk, or ResultTimeout when no byte came,
// also when the port cannot deliver one.
int FirmwareRecordSend(PortId port, uint8_t address, const FirmwareRecord& record);
