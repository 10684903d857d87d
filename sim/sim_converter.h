#pragma once
// A converter of our own: it takes the bytes a client sends, frames them into
// requests and builds the answers a real converter gives. It keeps the 6-byte
// settings record at address 0, answers memory reads and writes, logs the
// one-byte writes to 0x8FFFFF, and takes a firmware image in update mode. Fault
// switches make it misbehave the way real converters and lines do.
//
// Everything here is safe to call from any thread; Feed, Expire and NoteSent
// are meant for the one serving thread (see sim_serve.h).

#include <array>
#include <condition_variable>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

using SimSettings = std::array<uint8_t, 6>;

// 9600 baud, 8N1, echo suppression.
constexpr SimSettings SimDefaultSettings = {0x60, 0x00, 0x00, 0x08, 0x4E, 0x80};

constexpr uint8_t SimBusAddress = 16;
constexpr uint32_t SimControlAddress = 0x8FFFFF;  // one-byte writes here are logged
constexpr int SimRecordSize = 276;                // page lo, page hi, index, data, checksum
constexpr int SimRecordData = 272;
constexpr uint16_t SimFirstPage = 8;
constexpr int SimRecordsPerPage = 4;
constexpr uint8_t SimAckByte = 0x00;              // acknowledges a firmware record
constexpr int SimFrameGapMs = 300;                // an unfinished frame is given up after this silence
constexpr size_t SimLogLimit = 4096;              // entries kept in each log, oldest dropped

// Microseconds of a monotonic clock; the time base of every timestamp here.
int64_t SimNowUs();

// Wall-clock time of day for the verbose logs: "HH:MM:SS.mmm".
std::string SimLogStamp();

struct SimFaults {
  bool corruptCrc = false;    // flips one bit of the check bytes of every memory-read answer
  bool refuseWrites = false;  // answers every memory write with 0xFF and stores nothing
  bool forgetWrites = false;  // acknowledges every memory write and stores nothing (its memory is protected)
  int32_t delayMs = 0;        // waits this long before every answer
  int32_t partial = -1;       // sends only this many bytes of every answer; -1 all of it
  bool noise = false;         // sends 1 to 4 garbage bytes before every answer
  int32_t noAckAfter = -1;    // per update session, acknowledges only this many records; -1 all
  bool silent = false;        // hears and answers nothing
};

struct SimCounters {
  uint32_t bytesReceived = 0;
  uint32_t bytesSent = 0;
  uint32_t garbageBytes = 0;     // skipped while looking for a frame start
  uint32_t badHeaders = 0;       // a start byte whose header checksum is wrong
  uint32_t badBlocks = 0;        // a block checksum is wrong, or a write of count 0
  uint32_t ignoredRequests = 0;  // another bus address, an unknown command, a record command outside update mode
  uint32_t memoryReads = 0;      // answered
  uint32_t memoryWrites = 0;     // stored
  uint32_t writesRefused = 0;    // answered with 0xFF
  uint32_t controlWrites = 0;    // one-byte writes to 0x8FFFFF
  uint32_t updateEnters = 0;
  uint32_t updateLeaves = 0;
  uint32_t recordCommands = 0;   // taken in update mode; each announces a record
  uint32_t recordsReceived = 0;  // complete records, good or bad
  uint32_t recordsAcked = 0;     // stored and acknowledged
  uint32_t recordChecksumErrors = 0;
  uint32_t recordSequenceErrors = 0;
  uint32_t recordsTruncated = 0;  // announced, but the bytes stopped coming
};

enum class SimRequestKind : uint8_t { MemoryRead, MemoryWrite, UpdateEnter, UpdateLeave, RecordCommand, Record, Unknown };

// One framed request as the converter received it.
struct SimRequest {
  SimRequestKind kind = SimRequestKind::Unknown;
  uint8_t busAddress = 0;
  uint8_t command = 0;
  uint32_t address = 0;       // memory commands: the 24-bit address
  uint8_t checkMode = 0;      // memory reads
  uint8_t length = 0;         // memory reads: bytes asked for; writes: the count
  uint16_t page = 0;          // records
  uint8_t index = 0;
  bool accepted = false;      // answered, stored or obeyed
  std::vector<uint8_t> bytes;  // the whole frame, or the record
  int64_t firstUs = 0;        // arrival of the first and last byte
  int64_t lastUs = 0;
  int64_t splitGapUs = -1;    // writes with a data block: from byte 12 to byte 13
};

// Bytes as they came out of one read of the client's stream.
struct SimChunk {
  int64_t us = 0;
  std::vector<uint8_t> bytes;
};

struct SimSnapshot {
  SimSettings settings{};
  SimFaults faults;
  SimCounters counters;
  bool updateMode = false;
  std::vector<uint8_t> controlWrites;  // values written to 0x8FFFFF, in order
  std::vector<uint8_t> image;          // acknowledged records' data, whole records
  std::vector<SimRequest> requests;
  std::vector<SimChunk> chunks;
};

// An answer, with the fault switches already applied, and when to send it.
struct SimReply {
  std::vector<uint8_t> bytes;
  int32_t delayMs = 0;
};

class SimConverter {
 public:
  SimConverter();
  SimConverter(const SimConverter&) = delete;
  SimConverter& operator=(const SimConverter&) = delete;

  SimSettings Settings() const;
  void SetSettings(const SimSettings& settings);
  SimFaults Faults() const;
  void SetFaults(const SimFaults& faults);

  // The converter's line runs at this many bytes per second: what a client
  // writes is taken from the port no faster (0: as fast as it comes).
  void SetLineRate(uint32_t bytesPerSecond) { lineRate_ = bytesPerSecond; }
  uint32_t LineRate() const { return lineRate_; }

  // Verbose log: every frame in hex with a timestamp; nullptr turns it off.
  void SetLog(FILE* log);

  // Keeps the settings record in a 6-byte file: read now when it exists, written
  // after every memory write that changes it and by SaveFiles. Returns 0, or an
  // errno value (EINVAL: the file is not 6 bytes long).
  int UseMemoryFile(const std::string& path);

  // Writes the image of an update session to path on its UpdateLeaveCommand,
  // and by SaveFiles when a session changed it since.
  void UseImageFile(const std::string& path);

  // Writes the memory and image files that are in use; 0 or the first errno.
  int SaveFiles();

  SimSnapshot Snapshot() const;
  SimCounters Counters() const;

  // Waits until done(counters) holds, at most timeoutMs; true when it held.
  bool WaitUntil(const std::function<bool(const SimCounters&)>& done, int timeoutMs) const;

  // The serving side. Feed takes bytes that arrived at nowUs and appends the
  // answers they call for. Deadline tells when Expire must run next (-1: no
  // need); Expire gives up an unfinished frame after SimFrameGapMs of silence.
  void Feed(const uint8_t* data, size_t count, int64_t nowUs, std::vector<SimReply>& replies);
  int64_t Deadline() const;
  void Expire(int64_t nowUs, std::vector<SimReply>& replies);
  void NoteSent(const uint8_t* data, size_t count);

 private:
  void ExpireLocked(int64_t nowUs, std::vector<SimReply>& replies);
  void Parse(std::vector<SimReply>& replies);
  size_t TakeFrame(size_t at, std::vector<SimReply>& replies);
  void TakeRecord(size_t at, std::vector<SimReply>& replies);
  void ShortCommand(SimRequest& request);
  void MemoryRead(SimRequest& request, const uint8_t* frame, std::vector<SimReply>& replies);
  void MemoryWrite(SimRequest& request, const uint8_t* frame, bool dataGood, std::vector<SimReply>& replies);
  void Answer(std::vector<uint8_t> bytes, std::vector<SimReply>& replies);
  SimRequest Framed(SimRequestKind kind, size_t at, size_t length) const;
  int SaveMemoryLocked() const;
  int SaveImageLocked();
  void Log(const char* what, const uint8_t* data, size_t count, const std::string& note) const;
  uint8_t MemoryAt(uint32_t address) const;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  FILE* log_ = nullptr;
  std::string memoryFile_;
  std::atomic<uint32_t> lineRate_{0};
  std::string imageFile_;

  SimFaults faults_;
  SimCounters counters_;
  std::map<uint32_t, uint8_t> memory_;  // every 24-bit address reads 0 until written
  std::vector<uint8_t> controlWrites_;
  bool updateMode_ = false;
  uint16_t expectedPage_ = SimFirstPage;
  uint8_t expectedIndex_ = 0;
  uint32_t sessionAcked_ = 0;
  std::vector<uint8_t> image_;
  bool imageDirty_ = false;  // changed since it was last written
  std::deque<SimRequest> requests_;
  std::deque<SimChunk> chunks_;
  uint32_t noiseState_ = 0x2545F491u;

  // Bytes not yet framed, with the arrival time of each.
  std::vector<uint8_t> pending_;
  std::vector<int64_t> pendingUs_;
  bool recordNext_ = false;  // the next SimRecordSize bytes are a firmware record
  int64_t lastByteUs_ = 0;   // when the last byte arrived
};
