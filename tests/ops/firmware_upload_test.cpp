// The firmware update against the simulated converter on a pseudo-terminal,
// which checks every record's checksum and sequence and keeps the image it
// acknowledged. The converter's settling time is shortened through the
// upload's own delays.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "ops/firmware_upload.h"
#include "ops/messages.h"
#include "ports/ms_clock.h"
#include "ports/port_table.h"
#include "protocol/checksum.h"
#include "sim/sim_serve.h"
#include "support/scratch_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pattern(size_t count, uint8_t seed) {
  Bytes v(count);
  for (size_t i = 0; i < count; ++i) v[i] = static_cast<uint8_t>(seed + i * 13 + i / 256);
  return v;
}

void WriteFile(const char* name, const Bytes& bytes) {
  std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

class Upload : public ::testing::Test {
 protected:
  void SetUp() override {
    PortLayerInit();
    MsClockStart();
    ASSERT_TRUE(sim.Ok());
    hooks.message = [this](const char* text, const std::string& reason) {
      events.push_back(text);
      reasons.push_back(reason);
      // What the converter had been told when the message came.
      countersAtMessage.push_back(sim.Converter().Counters());
    };
    hooks.busy = [this](bool on) { events.push_back(on ? "busy" : "idle"); };
    hooks.reopenDelayMs = 20;
    hooks.finishDelayMs = 20;
  }

  UploadReport Run(const char* file = FirmwareFileName) {
    return FirmwareUpload(sim.PortName().c_str(), portId, file, hooks);
  }

  // The converter's counters once it has heard what done() asks for: nothing
  // waits for its answer to the update mode commands.
  SimCounters Heard(const std::function<bool(const SimCounters&)>& done) {
    sim.Converter().WaitUntil(done, 2000);
    return sim.Converter().Counters();
  }
  SimCounters HeardEnters(uint32_t enters) {
    return Heard([&](const SimCounters& c) { return c.updateEnters >= enters; });
  }
  SimCounters HeardLeave() {
    return Heard([](const SimCounters& c) { return c.updateLeaves >= 1; });
  }

  std::vector<SimRequest> Requests(SimRequestKind kind) {
    std::vector<SimRequest> out;
    for (const SimRequest& r : sim.Converter().Snapshot().requests)
      if (r.kind == kind) out.push_back(r);
    return out;
  }

  ScratchDir dir;
  SimDevice sim;
  PortId portId = 0;
  UploadHooks hooks;
  std::vector<std::string> events;
  std::vector<std::string> reasons;
  std::vector<SimCounters> countersAtMessage;
};

TEST_F(Upload, WholeRecordsArriveAsTheFile) {
  const Bytes image = Pattern(272 * 9, 1);  // two pages and a bit
  WriteFile(FirmwareFileName, image);
  const UploadReport report = Run();

  EXPECT_EQ(report.result, UploadDone);
  EXPECT_EQ(report.recordsSent, 9u);
  EXPECT_EQ(report.recordsTotal, 9u);
  EXPECT_EQ(report.bytesSent, image.size());
  EXPECT_EQ(portId, 0);
  for (const PortSlot& slot : PortTable) EXPECT_EQ(slot.open, 0);

  HeardLeave();
  const SimSnapshot seen = sim.Converter().Snapshot();
  EXPECT_EQ(seen.image, image);
  EXPECT_EQ(seen.counters.recordsReceived, 9u);
  EXPECT_EQ(seen.counters.recordChecksumErrors + seen.counters.recordSequenceErrors, 0u);
  EXPECT_EQ(seen.counters.updateEnters, 2u);
  EXPECT_EQ(seen.counters.updateLeaves, 1u);
  EXPECT_FALSE(seen.updateMode);
  EXPECT_EQ(events, (std::vector<std::string>{"busy", MsgFinished, "idle"}));

  // Pages count from 8 in fours; each record follows its announcement.
  const std::vector<SimRequest> records = Requests(SimRequestKind::Record);
  ASSERT_EQ(records.size(), 9u);
  EXPECT_EQ(records[0].page, 8);
  EXPECT_EQ(records[3].page, 8);
  EXPECT_EQ(records[3].index, 3);
  EXPECT_EQ(records[4].page, 9);
  EXPECT_EQ(records[4].index, 0);
  EXPECT_EQ(records[8].page, 10);
  const Bytes first(records[0].bytes.begin(), records[0].bytes.begin() + 3);
  EXPECT_EQ(first, (Bytes{0x08, 0x00, 0x00}));
  SimRequestKind previous = SimRequestKind::Unknown;
  for (const SimRequest& r : sim.Converter().Snapshot().requests) {
    if (r.kind == SimRequestKind::Record) {
      EXPECT_EQ(previous, SimRequestKind::RecordCommand);
    }
    previous = r.kind;
  }
}

TEST_F(Upload, ShortPiecesArePaddedAsTheConverterExpects) {
  // A first piece shorter than a record is padded with zeros.
  WriteFile(FirmwareFileName, Pattern(100, 7));
  ASSERT_EQ(Run().result, UploadDone);
  Bytes expected = Pattern(100, 7);
  expected.resize(272, 0x00);
  EXPECT_EQ(sim.Converter().Snapshot().image, expected);

  // A later short piece keeps the previous record's bytes after it.
  const Bytes image = Pattern(272 * 2 + 5, 3);
  WriteFile(FirmwareFileName, image);
  ASSERT_EQ(Run().result, UploadDone);
  expected = image;
  expected.insert(expected.end(), image.begin() + 272 + 5, image.begin() + 272 * 2);
  const Bytes received = sim.Converter().Snapshot().image;
  ASSERT_EQ(received.size(), 272u * 3);
  EXPECT_EQ(received, expected);
}

TEST_F(Upload, EmptyFileSendsOnlyTheCleanUp) {
  WriteFile(FirmwareFileName, {});
  const UploadReport report = Run();
  EXPECT_EQ(report.result, UploadDone);
  const SimCounters seen = HeardLeave();
  EXPECT_EQ(seen.recordCommands, 0u);
  EXPECT_EQ(seen.updateEnters, 2u);
  EXPECT_EQ(seen.updateLeaves, 1u);
  EXPECT_EQ(events, (std::vector<std::string>{"busy", MsgFinished, "idle"}));
  EXPECT_EQ(portId, 0);
}

TEST_F(Upload, MissingAcknowledgementEndsTheUpload) {
  const uint32_t k = 5;
  sim.Converter().SetFaults({.noAckAfter = static_cast<int32_t>(k)});
  WriteFile(FirmwareFileName, Pattern(272 * 12, 9));
  const UploadReport report = Run();

  EXPECT_EQ(report.result, UploadTimeout);
  EXPECT_EQ(report.recordsSent, k);
  EXPECT_EQ(events, (std::vector<std::string>{"busy", MsgTimeout, MsgFinished, "idle"}));
  const SimCounters seen = HeardLeave();
  EXPECT_EQ(seen.recordsReceived, k + 1);  // the one that went unanswered, and no more
  EXPECT_EQ(seen.updateLeaves, 1u);
  // "Timeout" comes before the update mode is switched off.
  ASSERT_EQ(countersAtMessage.size(), 2u);
  EXPECT_EQ(countersAtMessage[0].updateLeaves, 0u);
  EXPECT_EQ(portId, 0);
}

TEST_F(Upload, ConverterThatDoesNotComeBack) {
  WriteFile(FirmwareFileName, Pattern(272, 1));
  // Someone takes the port while the converter settles: the reopen fails.
  PortId holder = 0;
  hooks.wait = [&](int32_t) { ASSERT_EQ(PortOpen(holder, sim.PortName().c_str()), 0); };
  const UploadReport report = Run();
  EXPECT_EQ(report.result, UploadReopenFailed);
  EXPECT_EQ(events, (std::vector<std::string>{"busy", MsgPortReopenFailed, "idle"}));
  EXPECT_EQ(portId, 0);
  const SimCounters seen = HeardEnters(1);
  EXPECT_EQ(seen.updateEnters, 1u);
  EXPECT_EQ(seen.updateLeaves, 0u);
}

// A file that cannot be read is found out before the converter hears a
// command: it is never left waiting in its update mode.
TEST_F(Upload, AFileThatCannotBeReadSendsNothing) {
  const UploadReport report = Run();  // no trelvo.bin here
  EXPECT_EQ(report.result, UploadFileFailed);
  EXPECT_EQ(events, (std::vector<std::string>{MsgFirmwareOpenFailed}));
  EXPECT_EQ(reasons[0], "Файл trelvo.bin не найден в папке " + dir.path() +
                            ". Положите файл прошивки туда и повторите.");
  EXPECT_EQ(portId, 0);
  for (const PortSlot& slot : PortTable) EXPECT_EQ(slot.open, 0);
  EXPECT_EQ(sim.Converter().Counters().bytesReceived, 0u);

  events.clear();
  Run("other-image.bin");  // another file is named in its message
  EXPECT_EQ(events, (std::vector<std::string>{"Ошибка открытия other-image.bin"}));
}

TEST_F(Upload, PortThatCannotOpenSendsNothing) {
  WriteFile(FirmwareFileName, Pattern(272, 1));
  PortId holder = 0;
  ASSERT_EQ(PortOpen(holder, sim.PortName().c_str()), 0);
  EXPECT_EQ(Run().result, UploadPortOpenFailed);
  EXPECT_EQ(events, (std::vector<std::string>{MsgPortOpenFailed}));  // no busy indicator either
  EXPECT_EQ(portId, 0);
  EXPECT_EQ(sim.Converter().Counters().bytesReceived, 0u);
}

TEST_F(Upload, APortThatCanDeliverNothingIsNoAcknowledgement) {
  WriteFile(FirmwareFileName, Pattern(272 * 3, 1));
  const UploadReport report = FirmwareUpload("STUB", portId, FirmwareFileName, hooks);
  EXPECT_EQ(report.result, UploadTimeout);
  EXPECT_EQ(report.recordsSent, 0u);
  EXPECT_EQ(events, (std::vector<std::string>{"busy", MsgTimeout, MsgFinished, "idle"}));
}

TEST_F(Upload, UsesAnOpenPortAndLeavesItClosed) {
  WriteFile(FirmwareFileName, Pattern(272, 1));
  ASSERT_EQ(PortOpen(portId, sim.PortName().c_str()), 0);
  const PortId before = portId;
  ASSERT_EQ(Run().result, UploadDone);
  EXPECT_EQ(portId, 0);
  EXPECT_EQ(PortSlotOf(before), nullptr);
  // A second update opens the port anew.
  ASSERT_EQ(Run().result, UploadDone);
  EXPECT_EQ(HeardEnters(4).updateEnters, 4u);
}

TEST_F(Upload, ImageTooLargeForThePageNumbersIsRefusedUnsent) {
  const int fd = open(FirmwareFileName, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const off_t limit = static_cast<off_t>(FirmwareMaxRecords) * FirmwareRecordData;
  ASSERT_EQ(ftruncate(fd, limit + 1), 0);  // sparse: takes no room on disk
  close(fd);
  const UploadReport report = Run();
  EXPECT_EQ(report.result, UploadTooLarge);
  EXPECT_EQ(events, (std::vector<std::string>{MsgFirmwareTooLarge}));
  EXPECT_EQ(sim.Converter().Counters().bytesReceived, 0u);
  EXPECT_EQ(portId, 0);
}

TEST_F(Upload, ProgressFollowsThePhases) {
  WriteFile(FirmwareFileName, Pattern(272 * 3, 1));
  std::vector<UploadPhase> phases;
  std::vector<uint64_t> sent;
  hooks.progress = [&](UploadPhase phase, const UploadReport& sofar) {
    if (phases.empty() || phases.back() != phase) phases.push_back(phase);
    if (phase == UploadSending) sent.push_back(sofar.recordsSent);
    EXPECT_EQ(sofar.recordsTotal, 3u);
  };
  ASSERT_EQ(Run().result, UploadDone);
  EXPECT_EQ(phases, (std::vector<UploadPhase>{UploadEntering, UploadWaiting, UploadSending, UploadFinishing}));
  EXPECT_EQ(sent, (std::vector<uint64_t>{0, 1, 2, 3}));
}

}  // namespace
