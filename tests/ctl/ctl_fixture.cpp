#include "ctl_fixture.h"

#include <poll.h>
#include <unistd.h>

#include <fstream>

#include "sim/sim_serve.h"
#include "support/tcp_peer.h"

std::string Describe(const CtlRun& run) {
  return "exit " + std::to_string(run.exitCode) + " after " + std::to_string(run.elapsedMs) + " ms\n--- stdout\n" +
         run.out + "--- stderr\n" + run.err;
}

::testing::AssertionResult OneJsonObject(const std::string& out, Json& value) {
  if (out.empty() || out.back() != '\n' || out.find('\n') != out.size() - 1)
    return ::testing::AssertionFailure() << "not exactly one line: [" << out << "]";
  std::string error;
  if (!JsonParse(out, value, &error)) return ::testing::AssertionFailure() << error << ": " << out;
  if (value.kind != Json::Object) return ::testing::AssertionFailure() << "not an object: " << out;
  return ::testing::AssertionSuccess();
}

Data MakeImage(size_t count) {
  Data image(count);
  for (size_t i = 0; i < count; ++i) image[i] = static_cast<uint8_t>(i * 7 + i / 272 * 13 + 1);
  return image;
}

void WriteFile(const std::string& path, const Data& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

