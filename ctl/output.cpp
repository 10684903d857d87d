#include "ctl/output.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "ops/messages.h"
#include "ops/trace.h"
#include "platform/console.h"
#include "platform/time.h"

namespace {

bool gStdoutFailed = false;
bool gStdoutHeld = false;
std::string gStdoutKept;   // standard output held back until the journal has the unit
std::string gLastResult;   // the last result of one converter, as JSON
std::string gRawBefore;    // a write's record as read before it, for its failure
std::string gStderrLabel;
bool gStderrLineStart = true;

// The window's own row texts.
const char* const kParityRowTexts[ParityRows] = {"None", "Even", "Odd", "Mark", "Space"};

const char* ResultName(UploadResult result) {
  switch (result) {
    case UploadDone: return "done";
    case UploadPortOpenFailed: return "port_open_failed";
    case UploadTooLarge: return "too_large";
    case UploadReopenFailed: return "reopen_failed";
    case UploadFileFailed: return "file_open_failed";
    case UploadTimeout: return "timeout";
    case UploadReadFailed: return "file_read_failed";
    case UploadInterrupted: return "interrupted";
  }
  return "unknown";
}

// Display columns of UTF-8 text: one per character.
size_t Columns(const std::string& text) {
  size_t columns = 0;
  for (const char c : text) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return columns;
}

// text cut to at most columns characters.
std::string CutToColumns(const std::string& text, size_t columns) {
  size_t seen = 0;
  for (size_t i = 0; i < text.size(); ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && seen++ == columns) return text.substr(0, i);
  return text;
}

}  // namespace

bool CtlWrite(FILE* out, const std::string& text) {
  if (out == stderr && !gStderrLabel.empty()) {
    std::string labelled;
    for (const char c : text) {
      if (gStderrLineStart) labelled += gStderrLabel;
      labelled += c;
      gStderrLineStart = c == '\n';
    }
    return PlatformWriteText(out, labelled.data(), labelled.size());
  }
  if (out == stdout && gStdoutHeld) {
    gStdoutKept += text;
    return true;
  }
  const bool written = PlatformWriteText(out, text.data(), text.size());
  if (!written && out == stdout) gStdoutFailed = true;
  return written;
}

void CtlHoldStdout(bool hold) {
  gStdoutHeld = hold;
  if (hold || gStdoutKept.empty()) return;
  CtlWrite(stdout, std::exchange(gStdoutKept, std::string()));
  if (std::fflush(stdout) != 0) gStdoutFailed = true;
}

const std::string& CtlLastResult() { return gLastResult; }

void CtlNoteRecordBefore(const DeviceSettings& before) { gRawBefore = SettingsRawText(before); }

namespace {

// After the port: a failed write's record as read before it.
std::string RawBefore() { return gRawBefore.empty() ? std::string() : ",\"raw_before\":\"" + gRawBefore + "\""; }

}  // namespace

bool CtlOutputFailed() { return gStdoutFailed; }

void CtlSetStderrLabel(const std::string& label) { gStderrLabel = label; }

void CtlWriteLine(const std::string& line) {
  CtlWrite(stdout, line + "\n");
  if (std::fflush(stdout) != 0) gStdoutFailed = true;
}

void PrintPortList(const std::vector<std::string>& names, bool json, FILE* out) {
  if (!json) {
    for (const std::string& name : names) CtlWrite(out, name + "\n");
    return;
  }
  std::string text = "{\"ports\":[";
  for (size_t i = 0; i < names.size(); ++i) text += (i ? "," : "") + JsonString(names[i]);
  CtlWrite(out, text + "]}\n");
}

void PrintLocated(const std::string& port, bool json, FILE* out) {
  CtlWrite(out, json ? "{\"port\":" + JsonString(port) + "}\n" : port + "\n");
}

namespace {

// The end of a result that may have traced an exchange, without the line
// break: "trace_error" only when the trace is incomplete, so that a whole one
// changes nothing.
std::string ResultEnd() {
  const std::string problem = TraceProblem();
  return (problem.empty() ? "" : ",\"trace_error\":" + JsonString(problem)) + "}";
}

}  // namespace

// The failure as one JSON object, without its line break.
std::string ErrorJson(const char* port, const char* message, const std::string& reason) {
  return "{\"port\":" + (port != nullptr ? JsonString(port) : std::string("null")) + RawBefore() + ",\"error\":" +
         JsonString(message) + ",\"reason\":" + JsonOrNull(reason) + ResultEnd();
}

void PrintError(const char* port, const char* message, const std::string& reason, bool json, FILE* out) {
  gLastResult = ErrorJson(port, message, reason);
  if (json) CtlWrite(out, gLastResult + "\n");
}

void PrintSettings(const std::string& port, const DeviceSettings& settings, bool written, bool json, FILE* out,
                   int verified, const DeviceSettings* before) {
  const SettingsView view = SettingsToView(settings);
  const int dataBits = DataBitsValues[view.dataBitsRow];
  gLastResult = CtlFormat("{\"port\":%s,\"written\":%s,\"baud\":%s,\"parity\":\"%s\",\"data_bits\":%d,"
                          "\"stop_bits\":%d,\"echo_suppression\":%s,\"raw\":\"%s\"%s%s%s%s",
                          JsonString(port).c_str(), written ? "true" : "false", view.baudRate.c_str(),
                          ParityNames[view.parityRow], dataBits, view.twoStopBits ? 2 : 1,
                          view.echoSuppression ? "true" : "false", SettingsRawText(settings).c_str(),
                          before != nullptr ? ",\"raw_before\":\"" : "",
                          before != nullptr ? (SettingsRawText(*before) + "\"").c_str() : "",
                          verified < 0 ? "" : verified ? ",\"verified\":true" : ",\"verified\":false",
                          ResultEnd().c_str());
  if (json) {
    CtlWrite(out, gLastResult + "\n");
    return;
  }
  CtlWrite(out, "Порт: " + port + (written ? " (записано)" : "") + "\n" +
                    "Скорость обмена 485 <-> ТП: " + view.baudRate + "\n" +
                    "Чётность: " + kParityRowTexts[view.parityRow] + "\n" +
                    "Длина посылки: " + std::to_string(dataBits) + "\n" +
                    "2 стоп-бита: " + (view.twoStopBits ? "да" : "нет") + "\n" +
                    "Подавление эхо ТП: " + (view.echoSuppression ? "да" : "нет") + "\n" +
                    "Запись: " + SettingsRawText(settings) + "\n");
}

void PrintFlashReport(const std::string& port, const std::string& file, const ImageIdentity& image,
                      const UploadReport& report, const std::string& failure, const std::string& reason, bool json,
                      FILE* out) {
  gLastResult = "{\"port\":" + JsonString(port) + ",\"file\":" + JsonString(file) +
                ",\"file_size\":" + std::to_string(image.size) + ",\"sha256\":\"" + image.sha256 +
                "\",\"result\":\"" + ResultName(report.result) +
                "\",\"records_sent\":" + std::to_string(report.recordsSent) +
                ",\"records_total\":" + std::to_string(report.recordsTotal) +
                ",\"bytes_sent\":" + std::to_string(report.bytesSent) + ",\"error\":" + JsonOrNull(failure) +
                ",\"reason\":" + JsonOrNull(reason) + ResultEnd();
  if (!json) {
    CtlWrite(out, MsgRecordsSent(report.recordsSent, report.recordsTotal) + " (" + std::to_string(report.bytesSent) +
                      " байт)\n");
    return;
  }
  CtlWrite(out, gLastResult + "\n");
}

FlashProgress::FlashProgress(bool terminal, bool events, const std::string& port)
    : terminal_(terminal), events_(events), port_(port) {}

void FlashProgress::Show(UploadPhase phase, const UploadReport& sofar) {
  const uint64_t sent = sofar.recordsSent;
  const uint64_t total = sofar.recordsTotal;
  const uint64_t percent = total > 0 ? sent * 100 / total : 0;
  if (events_ && (phase != eventPhase_ || percent != eventPercent_)) {
    eventPhase_ = phase;
    eventPercent_ = percent;
    CtlWriteLine("{\"event\":\"progress\",\"port\":" + JsonString(port_) + ",\"phase\":\"" + FleetPhaseNames[phase] +
                 "\",\"records_sent\":" + std::to_string(sent) + ",\"records_total\":" + std::to_string(total) + "}");
  }
  const uint64_t bytes = sofar.bytesSent;
  if (phase == UploadSending && lastPhase_ != UploadSending) sendingSince_ = PlatformTickMs();
  const bool newPhase = phase != lastPhase_;
  lastPhase_ = phase;
  const double seconds = (PlatformTickMs() - sendingSince_) / 1000.0;
  const double rate = phase == UploadSending && seconds > 0 ? bytes / seconds / 1024.0 : 0.0;
  const std::string counts = std::to_string(sent) + "/" + std::to_string(total) + " записей, " +
                             std::to_string(bytes) + " байт";

  if (terminal_) {
    // A line that reached the last column would wrap, and every redraw would
    // then start a new line: the line stays one column short of the width.
    constexpr int kFallbackColumns = 80;
    constexpr size_t kBarMost = 30;
    constexpr size_t kBarLeast = 10;
    const int columns = PlatformStderrColumns();
    const size_t room = static_cast<size_t>(columns > 1 ? columns - 1 : kFallbackColumns - 1);
    const std::string text = counts + CtlFormat(", %.1f КиБ/с, ", rate) + UploadPhaseText(phase);
    std::string line;
    const size_t textColumns = Columns(text);
    if (room >= textColumns + 3 + kBarLeast) {
      const size_t width = std::min(kBarMost, room - textColumns - 3);
      const size_t filled = total > 0 ? static_cast<size_t>(sent * width / total) : 0;
      line = "[" + std::string(filled, '#') + std::string(width - filled, '-') + "] " + text;
    } else {
      line = CutToColumns(text, room);
    }
    // Blanks to the end of the room clear what a longer line left, on any console.
    line.append(room - Columns(line), ' ');
    CtlWrite(stderr, "\r" + line);
    barShown_ = true;
    return;
  }
  const uint64_t tenth = total > 0 ? sent * 10 / total : 0;
  if (!newPhase && tenth == lastTenth_) return;
  lastTenth_ = tenth;
  CtlWrite(stderr, std::string(UploadPhaseText(phase)) + ": " + counts + "\n");
}

void FlashProgress::Interrupt() {
  if (!barShown_) return;
  CtlWrite(stderr, "\n");
  barShown_ = false;
}

void PrintVerifyFailed(const std::string& port, const std::string& reason, const std::vector<const char*>& fields,
                       bool json, FILE* out) {
  std::string names;
  for (const char* field : fields) names += std::string(names.empty() ? "" : ",") + "\"" + field + "\"";
  gLastResult = "{\"port\":" + JsonString(port) + RawBefore() + ",\"error\":" + JsonString(MsgSettingsWriteFailed) +
                ",\"reason\":" + JsonString(reason) + ",\"differs\":[" + names + "]" + ResultEnd();
  if (json) CtlWrite(out, gLastResult + "\n");
}

std::string ConverterJson(const ConverterPort& converter) {
  return "{\"port\":" + JsonOrNull(converter.port) + ",\"serial\":" + JsonOrNull(converter.serial) +
         ",\"location\":" + JsonOrNull(converter.location) +
         ",\"reason\":" + JsonOrNull(converter.port[0] != '\0' ? "" : MsgConverterWithoutPort) + "}";
}

namespace {

std::string OrDash(const char* text) { return text[0] != '\0' ? text : "-"; }

std::string ConvertersJson(const ConverterList& list) {
  std::string items;
  for (int32_t k = 0; k < list.count; ++k) items += (k ? "," : "") + ConverterJson(list.converters[k]);
  return "[" + items + "]";
}

std::string ConvertersText(const ConverterList& list, const char* indent) {
  std::string text;
  for (int32_t k = 0; k < list.count; ++k) {
    const ConverterPort& c = list.converters[k];
    text += indent + OrDash(c.port) + "\t" + OrDash(c.serial) + "\t" + OrDash(c.location) +
            (c.port[0] != '\0' ? "" : std::string("\t") + MsgConverterWithoutPort) + "\n";
  }
  return text;
}

}  // namespace

void PrintConverters(const ConverterList& list, bool json, FILE* out) {
  CtlWrite(out, json ? "{\"converters\":" + ConvertersJson(list) + "}\n" : ConvertersText(list, ""));
}

void PrintSeveral(const ConverterList& list, const std::string& serial, bool json, FILE* out) {
  // Twins: the serial number was given and cannot tell them apart.
  const std::string advice = serial.empty() ? MsgChooseConverter : MsgSerialShared(serial, list.count);
  CtlWrite(stderr, std::string(MsgSeveralConverters) + "\n" + advice + "\n" + ConvertersText(list, "  "));
  if (!json) return;
  CtlWrite(out, "{\"port\":null,\"error\":" + JsonString(MsgSeveralConverters) + ",\"reason\":" +
                    JsonString(advice) + ",\"converters\":" + ConvertersJson(list) + "}\n");
}

std::string UnitLine(bool ok, const ConverterPort& converter, const std::string& detail) {
  return UnitVerdictLine(MsgDoctorVerdicts[ok ? 0 : 2], converter, detail);
}

std::string UnitVerdictLine(const std::string& verdict, const ConverterPort& converter, const std::string& detail) {
  size_t columns = 0;
  for (const char c : verdict) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return verdict + std::string(8 - columns, ' ') + OrDash(converter.serial) + "  " + OrDash(converter.location) +
         "  " + OrDash(converter.port) + "  " + detail;
}

int CtlFleetStart(FleetEngine& engine, bool json) {
  std::string message;
  std::string reason;
  if (engine.Start(message, reason)) return ExitOk;
  CtlWrite(stderr, message + "\n" + (reason.empty() ? "" : reason + "\n"));
  PrintError(nullptr, message.c_str(), reason, json);
  return engine.ExitCode();
}

std::string CtlCsvCell(const std::string& text) {
  if (text.find_first_of("\",\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}
