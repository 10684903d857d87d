#include "protocol/firmware_record.h"

#include "ports/port_io.h"
#include "protocol/checksum.h"
#include "protocol/device_channel.h"

void FirmwareRecordPlace::Next() {
  if (++index == FirmwareRecordsPerPage) {
    index = 0;
    ++page;
  }
}

void FirmwareRecordSeal(FirmwareRecord& record, const FirmwareRecordPlace& place) {
  record.Page[0] = static_cast<uint8_t>(place.page);
  record.Page[1] = static_cast<uint8_t>(place.page >> 8);
  record.Index = place.index;
  record.Checksum = FrameChecksum(reinterpret_cast<const uint8_t*>(&record), sizeof record - 1);
}

int FirmwareRecordSend(PortId port, uint8_t address, const FirmwareRecord& record) {
  SendShortCommand(port, address, RecordCommand);
  PortWrite(port, reinterpret_cast<const uint8_t*>(&record), sizeof record);
  // Only a byte that arrived is an acknowledgement; a port that cannot
  // deliver any (-1) is no better than silence.
  uint8_t ack = 0;
  return PortReadByte(port, &ack, FirmwareAckTimeoutMs) == 1 ? ResultOk : ResultTimeout;
}
