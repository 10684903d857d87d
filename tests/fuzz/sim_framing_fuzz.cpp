// The simulated converter frames a byte stream that comes in chunks with time
// gaps between them. Whatever the stream, what it takes for a request must be
// a well-formed frame that arrived without a pause of the frame gap inside it,
// and it answers exactly the requests a converter answers, each correctly.
//
// Input: chunks of [gap] [count] [count bytes]; the gap is (gap & 0x7F) * 5 ms
// since the chunk before, and gap & 0x80 lets the serving thread's Expire run
// first.

#include <map>
#include <vector>

#include "fuzz_check.h"
#include "protocol/checksum.h"
#include "protocol/device_channel.h"
#include "sim/sim_converter.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool BlockGood(const Bytes& b, size_t at, size_t count) {
  return b.size() >= at + count + 1 && FrameChecksum(b.data() + at, static_cast<int32_t>(count)) == b[at + count];
}

uint32_t AddressOf(const Bytes& b) { return (b[6] << 8 | b[7] << 16 | b[8]) & 0xFFFFFFu; }

// The answer a converter with this memory gives to a memory read.
Bytes ReadAnswer(const Bytes& request, const std::map<uint32_t, uint8_t>& memory) {
  Bytes answer;
  for (uint32_t i = 0; i < request[10]; ++i) {
    const auto it = memory.find((AddressOf(request) + i) & 0xFFFFFFu);
    answer.push_back(it == memory.end() ? 0 : it->second);
  }
  const int32_t length = static_cast<int32_t>(answer.size());
  if ((request[4] & 3) == 1) answer.push_back(FrameChecksum(answer.data(), length));
  if ((request[4] & 3) == 2) {
    CrcState = 0xFFFFFFFFu;
    WordCrc32(answer.data(), static_cast<uint16_t>(length));
    for (int shift = 0; shift < 32; shift += 8) answer.push_back(static_cast<uint8_t>(CrcState >> shift));
  }
  answer.push_back(FrameChecksum(answer.data(), static_cast<int32_t>(answer.size())));
  return answer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8000) return 0;  // keeps every request and chunk within the converter's logs
  SimConverter converter;
  std::vector<SimReply> replies;
  std::vector<int64_t> afterPause;  // arrival of chunks that came a frame gap or more after the last
  int64_t now = 1000000000;
  int64_t last = now;
  for (size_t at = 0; at + 2 <= size;) {
    const uint8_t gap = data[at];
    const size_t count = std::min<size_t>(data[at + 1], size - at - 2);
    now += (gap & 0x7F) * 5000;
    if ((gap & 0x80) != 0) converter.Expire(now, replies);
    if (count > 0) {
      if (now - last >= SimFrameGapMs * 1000) afterPause.push_back(now);
      converter.Feed(data + at + 2, count, now, replies);
      last = now;
    }
    at += 2 + count;
  }
  converter.Expire(last + SimFrameGapMs * 1000, replies);
  FuzzCheck(converter.Deadline() == -1, "after a frame gap of silence nothing is left pending");

  const SimSnapshot seen = converter.Snapshot();
  std::map<uint32_t, uint8_t> memory;
  for (uint32_t i = 0; i < SimDefaultSettings.size(); ++i) memory[i] = SimDefaultSettings[i];
  std::vector<Bytes> expected;
  for (const SimRequest& request : seen.requests) {
    const Bytes& b = request.bytes;
    for (const int64_t pause : afterPause)
      FuzzCheck(pause <= request.firstUs || pause > request.lastUs, "no request spans a frame gap");
    if (request.kind == SimRequestKind::Record) {
      FuzzCheck(b.size() == SimRecordSize, "a record is whole");
      if (request.accepted) expected.push_back({SimAckByte});
      continue;
    }
    FuzzCheck(b.size() >= 4 && b[0] == FrameStart && BlockGood(b, 0, 3), "a frame starts with a good header");
    const bool ours = b[1] == SimBusAddress;
    FuzzCheck(!request.accepted || ours, "only requests to the converter's address are obeyed");
    if (request.kind == SimRequestKind::MemoryRead) {
      FuzzCheck(b.size() == 12 && BlockGood(b, 4, 7), "a read has a good parameter block");
      FuzzCheck(request.accepted == ours, "every read to the converter is answered");
      if (ours) expected.push_back(ReadAnswer(b, memory));
    } else if (request.kind == SimRequestKind::MemoryWrite) {
      const uint8_t count = b.size() >= 12 ? b[10] : 0;
      FuzzCheck(count > 0 && BlockGood(b, 4, 7) && b.size() == (count > 1 ? 12u + count : 12u),
                "a write has a good parameter block and its data");
      FuzzCheck(!request.accepted || count == 1 || BlockGood(b, 12, count - 1u), "a stored write's data is good");
      if (request.accepted)
        for (uint32_t i = 0; i < count; ++i) memory[(AddressOf(b) + i) & 0xFFFFFFu] = i == 0 ? b[9] : b[11 + i];
      if (ours) expected.push_back(Bytes(count > 1 ? 1 : 2, request.accepted ? 0x00 : 0xFF));
    } else {
      FuzzCheck(b.size() == 4, "other commands are a bare header");
    }
  }
  FuzzCheck(replies.size() == expected.size(), "one answer for every request a converter answers");
  for (size_t k = 0; k < replies.size(); ++k) {
    FuzzCheck(replies[k].bytes == expected[k], "each answer is the converter's answer to its request");
    FuzzCheck(replies[k].delayMs == 0, "no delay without the fault switch");
  }
  return 0;
}
