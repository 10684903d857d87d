#include "ctl/output.h"

#include <cstdio>

#include "platform/time.h"

const char* const CtlParityNames[ParityRows] = {"none", "even", "odd", "mark", "space"};

namespace {

// Length of the well-formed UTF-8 sequence that starts at text[i], or 0.
size_t Utf8Length(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  size_t length = 0;
  uint32_t least = 0;  // overlong forms are not UTF-8
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    least = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  uint32_t code = lead & (0x7Fu >> length);
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(i + k) & 0x3Fu);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

// The window's own row texts.
const char* const kParityRowTexts[ParityRows] = {"None", "Even", "Odd", "Mark", "Space"};

std::string RawHex(const DeviceSettings& settings) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&settings);
  std::string out;
  for (size_t i = 0; i < sizeof settings; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", bytes[i]);
    out += hex;
  }
  return out;
}

const char* ResultName(UploadResult result) {
  switch (result) {
    case UploadDone: return "done";
    case UploadPortOpenFailed: return "port_open_failed";
    case UploadTooLarge: return "too_large";
    case UploadReopenFailed: return "reopen_failed";
    case UploadFileFailed: return "file_open_failed";
    case UploadTimeout: return "timeout";
    case UploadReadFailed: return "file_read_failed";
  }
  return "unknown";
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t length = Utf8Length(text, i);
    if (length == 0) {
      out += "\\ufffd";
      ++i;
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
      ++i;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out + "\"";
}

void PrintPortList(const std::vector<std::string>& names, bool json, FILE* out) {
  if (!json) {
    for (const std::string& name : names) std::fprintf(out, "%s\n", name.c_str());
    return;
  }
  std::string text = "{\"ports\":[";
  for (size_t i = 0; i < names.size(); ++i) text += (i ? "," : "") + JsonString(names[i]);
  std::fprintf(out, "%s]}\n", text.c_str());
}

void PrintLocated(const std::string& port, bool json, FILE* out) {
  if (json)
    std::fprintf(out, "{\"port\":%s}\n", JsonString(port).c_str());
  else
    std::fprintf(out, "%s\n", port.c_str());
}

namespace {

std::string JsonOrNull(const std::string& text) { return text.empty() ? "null" : JsonString(text); }

}  // namespace

void PrintError(const char* port, const char* message, const std::string& reason, bool json, FILE* out) {
  if (!json) return;
  std::fprintf(out, "{\"port\":%s,\"error\":%s,\"reason\":%s}\n", port != nullptr ? JsonString(port).c_str() : "null",
               JsonString(message).c_str(), JsonOrNull(reason).c_str());
}

void PrintSettings(const std::string& port, const DeviceSettings& settings, bool written, bool json,
                   FILE* out) {
  const SettingsView view = SettingsToView(settings);
  const int dataBits = DataBitsValues[view.dataBitsRow];
  if (json) {
    std::fprintf(out,
        "{\"port\":%s,\"written\":%s,\"baud\":%s,\"parity\":\"%s\",\"data_bits\":%d,\"stop_bits\":%d,"
        "\"echo_suppression\":%s,\"raw\":\"%s\"}\n",
        JsonString(port).c_str(), written ? "true" : "false", view.baudRate.c_str(), CtlParityNames[view.parityRow],
        dataBits, view.twoStopBits ? 2 : 1, view.echoSuppression ? "true" : "false", RawHex(settings).c_str());
    return;
  }
  std::fprintf(out, "Порт: %s%s\n", port.c_str(), written ? " (записано)" : "");
  std::fprintf(out, "Скорость обмена 485 <-> ТП: %s\n", view.baudRate.c_str());
  std::fprintf(out, "Чётность: %s\n", kParityRowTexts[view.parityRow]);
  std::fprintf(out, "Длина посылки: %d\n", dataBits);
  std::fprintf(out, "2 стоп-бита: %s\n", view.twoStopBits ? "да" : "нет");
  std::fprintf(out, "Подавление эхо ТП: %s\n", view.echoSuppression ? "да" : "нет");
  std::fprintf(out, "Запись: %s\n", RawHex(settings).c_str());
}

void PrintFlashReport(const std::string& port, const std::string& file, const UploadReport& report,
                      const std::string& failure, const std::string& reason, bool json, FILE* out) {
  if (!json) {
    std::fprintf(out, "Записей передано: %llu из %llu (%llu байт)\n",
                 static_cast<unsigned long long>(report.recordsSent),
                 static_cast<unsigned long long>(report.recordsTotal),
                 static_cast<unsigned long long>(report.bytesSent));
    return;
  }
  std::fprintf(out,
      "{\"port\":%s,\"file\":%s,\"result\":\"%s\",\"records_sent\":%llu,\"records_total\":%llu,"
      "\"bytes_sent\":%llu,\"error\":%s,\"reason\":%s}\n",
      JsonString(port).c_str(), JsonString(file).c_str(), ResultName(report.result),
      static_cast<unsigned long long>(report.recordsSent), static_cast<unsigned long long>(report.recordsTotal),
      static_cast<unsigned long long>(report.bytesSent), JsonOrNull(failure).c_str(), JsonOrNull(reason).c_str());
}

FlashProgress::FlashProgress(bool terminal) : terminal_(terminal) {}

void FlashProgress::Show(UploadPhase phase, const UploadReport& sofar) {
  const uint64_t sent = sofar.recordsSent;
  const uint64_t total = sofar.recordsTotal;
  const uint64_t bytes = sofar.bytesSent;
  if (phase == UploadSending && lastPhase_ != UploadSending) sendingSince_ = PlatformTickMs();
  const bool newPhase = phase != lastPhase_;
  lastPhase_ = phase;
  const double seconds = (PlatformTickMs() - sendingSince_) / 1000.0;
  const double rate = phase == UploadSending && seconds > 0 ? bytes / seconds / 1024.0 : 0.0;

  if (terminal_) {
    constexpr int kWidth = 30;
    const int filled = total > 0 ? static_cast<int>(sent * kWidth / total) : 0;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kWidth - filled), '-');
    std::fprintf(stderr, "\r\033[K[%s] %llu/%llu записей, %llu байт, %.1f КиБ/с, %s", bar.c_str(),
                 static_cast<unsigned long long>(sent), static_cast<unsigned long long>(total),
                 static_cast<unsigned long long>(bytes), rate, UploadPhaseText(phase));
    std::fflush(stderr);
    barShown_ = true;
    return;
  }
  const uint64_t tenth = total > 0 ? sent * 10 / total : 0;
  if (!newPhase && tenth == lastTenth_) return;
  lastTenth_ = tenth;
  std::fprintf(stderr, "%s: %llu/%llu записей, %llu байт\n", UploadPhaseText(phase),
               static_cast<unsigned long long>(sent), static_cast<unsigned long long>(total),
               static_cast<unsigned long long>(bytes));
}

void FlashProgress::Interrupt() {
  if (!barShown_) return;
  std::fputc('\n', stderr);
  barShown_ = false;
}
