#include "sim/sim_converter.h"

#include <cerrno>
#include <cstdarg>
#include <chrono>

#include "protocol/checksum.h"
#include "protocol/device_channel.h"

namespace {

constexpr size_t kHeader = 4;
constexpr size_t kRequest = 12;
constexpr uint32_t kAddressMask = 0xFFFFFF;

uint32_t FrameAddress(const uint8_t* frame) {
  return static_cast<uint32_t>(frame[6]) << 8 | static_cast<uint32_t>(frame[7]) << 16 | frame[8];
}

uint8_t Checksum(const uint8_t* data, size_t count) { return FrameChecksum(data, static_cast<int32_t>(count)); }

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buffer[160];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

template <class T>
void Keep(std::deque<T>& log, T&& entry) {
  if (log.size() >= SimLogLimit) log.pop_front();
  log.push_back(std::move(entry));
}

}  // namespace

int64_t SimNowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

SimConverter::SimConverter() {
  for (uint32_t i = 0; i < SimDefaultSettings.size(); ++i) memory_[i] = SimDefaultSettings[i];
}

SimSettings SimConverter::Settings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  SimSettings s{};
  for (uint32_t i = 0; i < s.size(); ++i) s[i] = MemoryAt(i);
  return s;
}

void SimConverter::SetSettings(const SimSettings& settings) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (uint32_t i = 0; i < settings.size(); ++i) memory_[i] = settings[i];
  changed_.notify_all();
}

SimFaults SimConverter::Faults() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return faults_;
}

void SimConverter::SetFaults(const SimFaults& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_ = faults;
  changed_.notify_all();
}

void SimConverter::SetLog(FILE* log) {
  std::lock_guard<std::mutex> lock(mutex_);
  log_ = log;
}

SimSnapshot SimConverter::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  SimSnapshot s;
  for (uint32_t i = 0; i < s.settings.size(); ++i) s.settings[i] = MemoryAt(i);
  s.faults = faults_;
  s.counters = counters_;
  s.updateMode = updateMode_;
  s.controlWrites = controlWrites_;
  s.image = image_;
  s.requests.assign(requests_.begin(), requests_.end());
  s.chunks.assign(chunks_.begin(), chunks_.end());
  return s;
}

SimCounters SimConverter::Counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

bool SimConverter::WaitUntil(const std::function<bool(const SimCounters&)>& done, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done(counters_); });
}

void SimConverter::Feed(const uint8_t* data, size_t count, int64_t nowUs, std::vector<SimReply>& replies) {
  if (count == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  counters_.bytesReceived += static_cast<uint32_t>(count);
  Keep(chunks_, SimChunk{nowUs, std::vector<uint8_t>(data, data + count)});
  if (faults_.silent) {
    Log("rx", data, count, "silent: not heard");
  } else {
    // A frame left unfinished for too long is given up before new bytes join
    // it, even when the serving thread had no chance to expire it in time.
    ExpireLocked(nowUs, replies);
    lastByteUs_ = nowUs;
    pending_.insert(pending_.end(), data, data + count);
    pendingUs_.insert(pendingUs_.end(), count, nowUs);
    Parse(replies);
  }
  changed_.notify_all();
}

int64_t SimConverter::Deadline() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pending_.empty()) return recordNext_ ? lastByteUs_ + SimFrameGapMs * 1000 : -1;
  return pendingUs_.back() + SimFrameGapMs * 1000;
}

void SimConverter::Expire(int64_t nowUs, std::vector<SimReply>& replies) {
  std::lock_guard<std::mutex> lock(mutex_);
  ExpireLocked(nowUs, replies);
  changed_.notify_all();
}

void SimConverter::ExpireLocked(int64_t nowUs, std::vector<SimReply>& replies) {
  // A record announced, and then silence: none of it came.
  if (pending_.empty() && recordNext_ && nowUs - lastByteUs_ >= SimFrameGapMs * 1000) {
    ++counters_.recordsTruncated;
    Log("rx", nullptr, 0, "record announced, none came: dropped");
    recordNext_ = false;
    return;
  }
  if (pending_.empty() || nowUs - pendingUs_.back() < SimFrameGapMs * 1000) return;
  // Everything pending is stale: what is left can only be an unfinished frame
  // or record. Give up its start and frame the rest again.
  while (!pending_.empty()) {
    if (recordNext_) {
      ++counters_.recordsTruncated;
      Log("rx", pending_.data(), pending_.size(), "record cut short: dropped");
      recordNext_ = false;
      pending_.clear();
      pendingUs_.clear();
      break;
    }
    ++counters_.garbageBytes;
    Log("rx", pending_.data(), pending_.size(), "unfinished frame: start byte dropped");
    pending_.erase(pending_.begin());
    pendingUs_.erase(pendingUs_.begin());
    Parse(replies);
  }
}

void SimConverter::NoteSent(const uint8_t* data, size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  counters_.bytesSent += static_cast<uint32_t>(count);
  Log("tx", data, count, "");
  changed_.notify_all();
}

void SimConverter::Parse(std::vector<SimReply>& replies) {
  size_t at = 0;
  for (;;) {
    if (recordNext_) {
      if (pending_.size() - at < SimRecordSize) break;
      TakeRecord(at, replies);
      at += SimRecordSize;
      recordNext_ = false;
      continue;
    }
    size_t start = at;
    while (start < pending_.size() && pending_[start] != FrameStart) ++start;
    if (start > at) {
      counters_.garbageBytes += static_cast<uint32_t>(start - at);
      Log("rx", &pending_[at], start - at, "garbage skipped");
      at = start;
    }
    if (at == pending_.size()) break;
    const size_t used = TakeFrame(at, replies);
    if (used == 0) break;  // wait for the rest of the frame
    at += used;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
  pendingUs_.erase(pendingUs_.begin(), pendingUs_.begin() + static_cast<std::ptrdiff_t>(at));
}

size_t SimConverter::TakeFrame(size_t at, std::vector<SimReply>& replies) {
  const uint8_t* f = &pending_[at];
  const size_t left = pending_.size() - at;
  if (left < kHeader) return 0;
  if (Checksum(f, 3) != f[3]) {
    // Not a frame after all: resynchronise on the next start byte.
    ++counters_.badHeaders;
    ++counters_.garbageBytes;
    Log("rx", f, kHeader, "bad header checksum: start byte dropped");
    return 1;
  }
  const uint8_t command = f[2];
  const bool ours = f[1] == SimBusAddress;

  if (command == UpdateEnterCommand || command == UpdateLeaveCommand || command == RecordCommand) {
    const SimRequestKind kind = command == UpdateEnterCommand   ? SimRequestKind::UpdateEnter
                                : command == UpdateLeaveCommand ? SimRequestKind::UpdateLeave
                                                          : SimRequestKind::RecordCommand;
    SimRequest request = Framed(kind, at, kHeader);
    if (ours) {
      ShortCommand(request);
    } else {
      ++counters_.ignoredRequests;
      Log("rx", f, kHeader, Format("short command %02X for address %u: ignored", command, f[1]));
    }
    Keep(requests_, std::move(request));
    return kHeader;
  }
  if ((command & 0x40) == 0) {
    ++counters_.ignoredRequests;
    Log("rx", f, kHeader, Format("unknown command %02X: ignored", command));
    Keep(requests_, Framed(SimRequestKind::Unknown, at, kHeader));
    return kHeader;
  }

  if (left < kRequest) return 0;
  if (Checksum(f + kHeader, 7) != f[11]) {
    ++counters_.badBlocks;
    ++counters_.garbageBytes;
    Log("rx", f, kRequest, "bad parameter block checksum: start byte dropped");
    return 1;
  }

  if ((command & 0x48) == 0x48) {
    SimRequest request = Framed(SimRequestKind::MemoryRead, at, kRequest);
    request.checkMode = f[4];
    request.length = f[10];
    request.address = FrameAddress(f);
    if (ours) {
      MemoryRead(request, f, replies);
    } else {
      ++counters_.ignoredRequests;
      Log("rx", f, kRequest, Format("memory read for address %u: ignored", f[1]));
    }
    Keep(requests_, std::move(request));
    return kRequest;
  }

  const uint8_t count = f[10];
  if (count == 0) {
    ++counters_.badBlocks;
    Log("rx", f, kRequest, "memory write of 0 bytes: ignored");
    return kRequest;
  }
  const size_t total = count > 1 ? kRequest + count : kRequest;
  if (left < total) return 0;
  SimRequest request = Framed(SimRequestKind::MemoryWrite, at, total);
  request.length = count;
  request.address = FrameAddress(f);
  if (count > 1) request.splitGapUs = pendingUs_[at + kRequest] - pendingUs_[at + kRequest - 1];
  const bool dataGood = count == 1 || Checksum(f + kRequest, count - 1u) == f[total - 1];
  if (ours) {
    MemoryWrite(request, f, dataGood, replies);
  } else {
    ++counters_.ignoredRequests;
    Log("rx", f, total, Format("memory write for address %u: ignored", f[1]));
  }
  Keep(requests_, std::move(request));
  return total;
}

void SimConverter::ShortCommand(SimRequest& request) {
  const uint8_t* f = request.bytes.data();
  switch (request.kind) {
    case SimRequestKind::UpdateEnter:
      ++counters_.updateEnters;
      updateMode_ = true;
      expectedPage_ = SimFirstPage;
      expectedIndex_ = 0;
      sessionAcked_ = 0;
      image_.clear();
      imageDirty_ = true;
      request.accepted = true;
      Log("rx", f, kHeader, "update mode on");
      break;
    case SimRequestKind::UpdateLeave: {
      ++counters_.updateLeaves;
      request.accepted = true;
      if (!updateMode_) {
        Log("rx", f, kHeader, "update mode off (was off)");
        break;
      }
      updateMode_ = false;
      const int error = SaveImageLocked();
      Log("rx", f, kHeader,
          Format("update mode off, image of %zu bytes%s", image_.size(), error != 0 ? ": saving failed" : ""));
      break;
    }
    default:
      if (!updateMode_) {
        ++counters_.ignoredRequests;
        Log("rx", f, kHeader, "record command outside update mode: ignored");
        break;
      }
      ++counters_.recordCommands;
      request.accepted = true;
      recordNext_ = true;
      Log("rx", f, kHeader, "record follows");
      break;
  }
}

void SimConverter::TakeRecord(size_t at, std::vector<SimReply>& replies) {
  const uint8_t* r = &pending_[at];
  SimRequest request = Framed(SimRequestKind::Record, at, SimRecordSize);
  request.busAddress = 0;
  request.command = 0;
  request.page = static_cast<uint16_t>(r[0] | r[1] << 8);
  request.index = r[2];
  ++counters_.recordsReceived;

  const std::string where = Format("record page %u index %u", request.page, request.index);
  if (Checksum(r, SimRecordSize - 1) != r[SimRecordSize - 1]) {
    ++counters_.recordChecksumErrors;
    Log("rx", r, SimRecordSize, where + ": bad checksum, not acknowledged");
  } else if (request.page != expectedPage_ || request.index != expectedIndex_) {
    ++counters_.recordSequenceErrors;
    Log("rx", r, SimRecordSize,
        where + Format(": expected page %u index %u, not acknowledged", expectedPage_, expectedIndex_));
  } else if (faults_.noAckAfter >= 0 && sessionAcked_ >= static_cast<uint32_t>(faults_.noAckAfter)) {
    Log("rx", r, SimRecordSize, where + ": not acknowledged (fault switch)");
  } else {
    image_.insert(image_.end(), r + 3, r + 3 + SimRecordData);
    imageDirty_ = true;
    ++sessionAcked_;
    ++counters_.recordsAcked;
    if (++expectedIndex_ == SimRecordsPerPage) {
      expectedIndex_ = 0;
      ++expectedPage_;
    }
    request.accepted = true;
    Log("rx", r, SimRecordSize, where + ": stored");
    Answer({SimAckByte}, replies);
  }
  Keep(requests_, std::move(request));
}

void SimConverter::MemoryRead(SimRequest& request, const uint8_t* frame, std::vector<SimReply>& replies) {
  const uint8_t length = request.length;
  std::vector<uint8_t> answer;
  answer.reserve(length + 6u);
  for (uint32_t i = 0; i < length; ++i) answer.push_back(MemoryAt((request.address + i) & kAddressMask));
  size_t checkLength = 0;
  if ((request.checkMode & 3) == 1) {
    answer.push_back(Checksum(answer.data(), length));
    checkLength = 1;
  } else if ((request.checkMode & 3) == 2) {
    const uint32_t crc = WordCrc32Update(0xFFFFFFFFu, answer.data(), length);
    for (int shift = 0; shift < 32; shift += 8) answer.push_back(static_cast<uint8_t>(crc >> shift));
    checkLength = 4;
  }
  if (faults_.corruptCrc && checkLength > 0) answer[length] ^= 0x01;
  answer.push_back(Checksum(answer.data(), answer.size()));  // closing byte, not examined by clients

  ++counters_.memoryReads;
  request.accepted = true;
  Log("rx", frame, kRequest,
      Format("read %u at 0x%06X, check mode %u%s", length, request.address, request.checkMode,
             faults_.corruptCrc && checkLength > 0 ? " (check corrupted)" : ""));
  Answer(std::move(answer), replies);
}

void SimConverter::MemoryWrite(SimRequest& request, const uint8_t* frame, bool dataGood,
                               std::vector<SimReply>& replies) {
  const uint8_t count = request.length;
  const size_t total = request.bytes.size();
  const std::string what = Format("write %u at 0x%06X", count, request.address);
  const std::vector<uint8_t> refusal = count > 1 ? std::vector<uint8_t>{0xFF} : std::vector<uint8_t>{0xFF, 0xFF};
  if (!dataGood) {
    ++counters_.badBlocks;
    Log("rx", frame, total, what + ": bad data block checksum, refused");
    Answer(refusal, replies);
    return;
  }
  if (faults_.refuseWrites) {
    ++counters_.writesRefused;
    Log("rx", frame, total, what + ": refused (fault switch)");
    Answer(refusal, replies);
    return;
  }

  bool settingsChanged = false;
  for (uint32_t i = 0; i < count && !faults_.forgetWrites; ++i) {
    const uint32_t address = (request.address + i) & kAddressMask;
    const uint8_t value = i == 0 ? frame[9] : frame[kRequest + i - 1];
    memory_[address] = value;
    if (address < SimDefaultSettings.size()) settingsChanged = true;
  }
  ++counters_.memoryWrites;
  request.accepted = true;
  if (count == 1 && request.address == SimControlAddress) {
    controlWrites_.push_back(frame[9]);
    ++counters_.controlWrites;
  }
  const int error = settingsChanged ? SaveMemoryLocked() : 0;
  Log("rx", frame, total, what + (error != 0 ? ": stored, saving the memory file failed" : ": stored"));
  Answer(count > 1 ? std::vector<uint8_t>{0x00} : std::vector<uint8_t>{0x00, 0x00}, replies);
}

void SimConverter::Answer(std::vector<uint8_t> bytes, std::vector<SimReply>& replies) {
  if (faults_.partial >= 0 && static_cast<size_t>(faults_.partial) < bytes.size())
    bytes.resize(static_cast<size_t>(faults_.partial));
  if (faults_.noise) {
    noiseState_ ^= noiseState_ << 13;
    noiseState_ ^= noiseState_ >> 17;
    noiseState_ ^= noiseState_ << 5;
    const size_t count = 1 + (noiseState_ & 3);
    for (size_t i = 0; i < count; ++i) bytes.insert(bytes.begin(), static_cast<uint8_t>(noiseState_ >> (8 * i + 2)));
  }
  replies.push_back(SimReply{std::move(bytes), faults_.delayMs});
}

SimRequest SimConverter::Framed(SimRequestKind kind, size_t at, size_t length) const {
  SimRequest r;
  r.kind = kind;
  r.busAddress = pending_[at + 1];
  r.command = pending_[at + 2];
  r.bytes.assign(pending_.begin() + static_cast<std::ptrdiff_t>(at),
                 pending_.begin() + static_cast<std::ptrdiff_t>(at + length));
  r.firstUs = pendingUs_[at];
  r.lastUs = pendingUs_[at + length - 1];
  return r;
}

uint8_t SimConverter::MemoryAt(uint32_t address) const {
  const auto it = memory_.find(address);
  return it == memory_.end() ? 0 : it->second;
}

