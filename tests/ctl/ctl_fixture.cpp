#include "ctl_fixture.h"

#include <poll.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

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

std::vector<TraceLine> ParseTrace(const std::string& text) {
  std::vector<TraceLine> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> f(1);
    for (const char c : line) {
      if (c == '\t') f.emplace_back();
      else f.back().push_back(c);
    }
    const bool stamped = !f[0].empty() && f[0].find_first_not_of("0123456789") == std::string::npos;
    lines.push_back(f.size() == 5 && stamped ? TraceLine{std::stol(f[0]), f[1], f[2], f[3], f[4]} : TraceLine{});
  }
  return lines;
}

std::string ReadText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::map<std::string, std::string> DoctorVerdicts(const Json& report) {
  std::map<std::string, std::string> verdicts;
  for (const Json& check : report["checks"].items) verdicts[check["check"].text] = check["verdict"].text;
  return verdicts;
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

