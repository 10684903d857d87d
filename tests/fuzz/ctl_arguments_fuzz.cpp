// rs485ctl's arguments. Whatever the command line, the parser takes only a
// command it can run, with values in range and options that belong to it;
// and once a run with --json is past its arguments, everything it can print
// is one valid JSON object on one line that gives the port and file names
// back (bytes that are not UTF-8 as U+FFFD), and that the JSON reader
// takes apart into the same names.
//
// Input: 6 bytes of a settings record, 1 byte of an update's result, then the
// arguments, separated by zero bytes.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ops/firmware_upload.h"
#include "ops/messages.h"
#include "ctl/arguments.h"
#include "ctl/doctor.h"
#include "ctl/output.h"
#include "fuzz_check.h"
#include "ops/json.h"
#include "ports/port_table.h"

namespace {

// Names come back as given, unless bytes of them had to be replaced.
bool GivenBack(const Json& value, const std::string& name) {
  return value.kind == Json::String && (value.text == name || value.text.find("\xEF\xBF\xBD") != std::string::npos);
}

Json Printed(const std::function<void(FILE*)>& print) {
  char* buffer = nullptr;
  size_t length = 0;
  FILE* out = open_memstream(&buffer, &length);
  FuzzCheck(out != nullptr, "open_memstream");
  print(out);
  std::fclose(out);
  const std::string text(buffer, length);
  std::free(buffer);
  FuzzCheck(text.find('\n') + 1 == text.size(), "the output is one line");
  Json value;
  FuzzCheck(JsonParse(text, value) && value.kind == Json::Object, "the output is one JSON object");
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 7) return 0;
  DeviceSettings settings{};
  std::memcpy(&settings, data, sizeof settings);
  UploadReport report;
  report.result = static_cast<UploadResult>(data[6] % 7);
  report.recordsSent = data[6];
  report.recordsTotal = data[0] * 1000u;

  std::vector<std::string> args = {"rs485ctl"};
  std::string arg;
  for (size_t i = 7; i < size; ++i) {
    if (data[i] != 0) {
      arg += static_cast<char>(data[i]);
    } else {
      args.push_back(arg);
      arg.clear();
    }
  }
  args.push_back(arg);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  Options options;
  if (ParseArguments(static_cast<int>(args.size()), argv.data(), options) != ParseRun) return 0;
  const std::string& command = options.command;
  FuzzCheck(command == "list" || command == "locate" || command == "read" || command == "write" || command == "flash" ||
                command == "doctor" || command == "watch" || (command == "leave" && options.worker),
            "only a known command runs");
  FuzzCheck(options.port.size() < PortNameSize && (command == "flash") != options.file.empty(),
            "the port name fits, and a file is named for flash alone");
  FuzzCheck(options.settleMs >= 0 && options.settleMs <= 600000, "the settle time is in range");
  const bool chosen = !options.serial.empty() || !options.location.empty();
  FuzzCheck(options.port.empty() || (!chosen && !options.all), "a port given is never chosen among converters too");
  FuzzCheck(!options.all || CommandServesAll(command) || command == "locate", "--all only where every converter is served");
  FuzzCheck(options.image.empty() || command == "watch", "an image for every unit in watch alone");
  FuzzCheck((options.profile.empty() && options.verify) || command == "write" || command == "watch",
            "a profile and its check only where settings are written");
  FuzzCheck(!(options.all || command == "watch") || options.trace.empty() || options.trace == "-",
            "workers never share a trace file");
  if (!options.json) return 0;

  const std::string port = options.port.empty() ? args.back() : options.port;
  Json printed;
  FuzzCheck(JsonParse("{\"port\":" + JsonString(port) + ",\"n\":[1,{\"a\":\"]\"}]}", printed) &&
                printed.members.size() == 2 && printed["port"].kind == Json::String && printed["n"].kind == Json::Array,
            "the reader takes apart what rs485ctl prints");
  const std::string reread = printed["port"].text;
  FuzzCheck(reread == port || reread.find("\xEF\xBF\xBD") != std::string::npos, "a name printed is read back as it was");
  Json value = Printed([&](FILE* out) { PrintError(nullptr, MsgNoDevice, "", true, out); });
  FuzzCheck(value["port"].kind == Json::Null, "an unknown port is null");
  const std::string message = FirmwareOpenFailedText(port.c_str());
  value = Printed([&](FILE* out) { PrintError(port.c_str(), message.c_str(), "why " + port, true, out); });
  FuzzCheck(GivenBack(value["port"], port) && GivenBack(value["reason"], "why " + port), "an error names its port and reason");
  if (command == "list") {
    value = Printed([&](FILE* out) { PrintPortList(args, true, out); });
    FuzzCheck(value["ports"].items.size() == args.size(), "every port is listed");
  } else if (command == "locate" && options.all) {
    ConverterList list;
    list.count = 1;
    list.converters[0] = ConverterPort{};
    std::snprintf(list.converters[0].serial, sizeof list.converters[0].serial, "%s", options.serial.c_str());
    std::snprintf(list.converters[0].location, sizeof list.converters[0].location, "%s", options.location.c_str());
    value = Printed([&](FILE* out) { PrintConverters(list, true, out); });
    const Json& found = value["converters"].items.at(0);
    FuzzCheck((options.serial.empty() ? found["serial"].kind == Json::Null : GivenBack(found["serial"], options.serial)) &&
                  (options.location.empty() ? found["location"].kind == Json::Null
                                            : GivenBack(found["location"], options.location)),
              "a converter is listed with its serial number and place, or null");
  } else if (command == "locate") {
    value = Printed([&](FILE* out) { PrintLocated(port, true, out); });
    FuzzCheck(GivenBack(value["port"], port), "the port located is named");
  } else if (command == "doctor") {
    const DoctorReport report{port, {{"port", DoctorFailed, MsgDoctorPort, port, "why " + port}}};
    value = Printed([&](FILE* out) { PrintDoctorReport(report, true, out); });
    FuzzCheck(GivenBack(value["port"], port) && GivenBack(value["checks"].items.at(0)["advice"], "why " + port),
              "the report names its port and what to do");
  } else if (command == "flash") {
    value = Printed([&](FILE* out) { PrintFlashReport(port, options.file, ImageIdentity{}, report, options.file, port, true, out); });
    FuzzCheck(GivenBack(value["file"], options.file) && GivenBack(value["error"], options.file),
              "the report names its file and failure");
  } else if (command == "write" && options.verify) {
    value = Printed([&](FILE* out) { PrintVerifyFailed(port, "why " + port, {"baud", "parity"}, true, out); });
    FuzzCheck(GivenBack(value["port"], port) && value["differs"].items.size() == 2, "a failed check names its fields");
  } else {
    value = Printed([&](FILE* out) { PrintSettings(port, settings, command == "write", true, out, 1); });
    FuzzCheck(value["baud"].kind == Json::Number && value["written"].kind == Json::Bool &&
                  value["verified"].kind == Json::Bool,
              "the settings are numbers and flags");
  }
  return 0;
}
