#include "ctl/profile.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "ctl/output.h"
#include "ops/settings.h"
#include "platform/files.h"

namespace {

constexpr uint64_t kProfileMaxBytes = 65536;

// What read --json prints beside the settings: taken, never applied.
const char* const kInformational[] = {"port", "written", "verified", "raw", "serial", "location", "event"};

class Reader {
 public:
  explicit Reader(const std::string& text) : text_(text) {}

  bool Object(std::vector<JsonMember>& members, std::string& problem) {
    Blank();
    if (!Take('{')) return Fail(problem, "ожидался объект JSON");
    Blank();
    if (Take('}')) return End(problem);
    do {
      JsonMember member;
      Blank();
      if (!String(member.key)) return Fail(problem, "ожидалось имя ключа в кавычках");
      Blank();
      if (!Take(':')) return Fail(problem, "ожидалось ':' после \"" + member.key + "\"");
      Blank();
      if (!Value(member)) return Fail(problem, "неверное значение ключа \"" + member.key + "\"");
      members.push_back(member);
      Blank();
    } while (Take(','));
    if (!Take('}')) return Fail(problem, "ожидалось ',' или '}'");
    return End(problem);
  }

 private:
  bool Take(char c) {
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  bool Word(const char* word) {
    const std::string w = word;
    if (text_.compare(at_, w.size(), w) != 0) return false;
    at_ += w.size();
    return true;
  }
  void Blank() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
      ++at_;
  }
  bool End(std::string& problem) {
    Blank();
    return at_ == text_.size() || Fail(problem, "после объекта лишний текст");
  }
  bool Fail(std::string& problem, const std::string& what) {
    problem = what + " (байт " + std::to_string(at_ + 1) + ")";
    return false;
  }

  static void Utf8(uint32_t code, std::string& out) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | code >> 6);
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | code >> 12);
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  bool String(std::string& out) {
    if (!Take('"')) return false;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= text_.size()) return false;
      const char e = text_[at_++];
      static const std::string kPlain = "\"\\/bfnrt";
      static const std::string kMeant = "\"\\/\b\f\n\r\t";
      if (const size_t k = kPlain.find(e); k != std::string::npos) {
        out += kMeant[k];
      } else if (e == 'u' && at_ + 4 <= text_.size()) {
        uint32_t code = 0;
        for (int i = 0; i < 4; ++i) {
          const char h = static_cast<char>(std::tolower(static_cast<unsigned char>(text_[at_++])));
          if (!std::isxdigit(static_cast<unsigned char>(h))) return false;
          code = code * 16 + static_cast<uint32_t>(h <= '9' ? h - '0' : h - 'a' + 10);
        }
        Utf8(code, out);  // halves of a pair stay apart: names here never need them
      } else {
        return false;
      }
    }
    return false;
  }

  // An array or object, skipped over: brackets counted outside strings.
  bool Nested() {
    int depth = 0;
    do {
      if (at_ >= text_.size()) return false;
      if (text_[at_] == '"') {
        std::string ignored;
        if (!String(ignored)) return false;
        continue;
      }
      const char c = text_[at_++];
      depth += c == '[' || c == '{' ? 1 : c == ']' || c == '}' ? -1 : 0;
    } while (depth > 0);
    return true;
  }

  bool Value(JsonMember& member) {
    if (at_ < text_.size() && text_[at_] == '"') {
      member.kind = JsonMember::String;
      return String(member.text);
    }
    if (at_ < text_.size() && (text_[at_] == '[' || text_[at_] == '{')) {
      member.kind = JsonMember::Nested;
      return Nested();
    }
    if (Word("null")) return true;
    if (Word("true") || Word("false")) {
      member.kind = JsonMember::Bool;
      member.boolean = text_[at_ - 1] == 'e' && text_[at_ - 2] == 'u';  // "true", not "false"
      return true;
    }
    const size_t start = at_;
    while (at_ < text_.size() && std::strchr("+-0123456789.eE", text_[at_]) != nullptr) ++at_;
    member.kind = JsonMember::Number;
    member.text = text_.substr(start, at_ - start);
    return at_ > start;
  }

  const std::string& text_;
  size_t at_ = 0;
};

bool IsWhole(const JsonMember& member, std::initializer_list<const char*> allowed, std::string& value) {
  if (member.kind != JsonMember::Number) return false;
  for (const char* a : allowed)
    if (member.text == a) {
      value = a;
      return true;
    }
  return false;
}

// One member into options, unless the command line named that setting.
bool Apply(const JsonMember& m, Options& options) {
  std::string value;
  if (m.key == "baud") {
    if (m.kind != JsonMember::Number || !CtlIsBaudRate(m.text)) return false;
    if (options.baud.empty()) options.baud = m.text;
  } else if (m.key == "parity") {
    int row = -1;
    for (int r = 0; r < ParityRows && m.kind == JsonMember::String; ++r)
      if (CtlLower(m.text) == CtlParityNames[r]) row = r;
    if (row < 0) return false;
    if (options.parityRow < 0) options.parityRow = row;
  } else if (m.key == "data_bits") {
    if (!IsWhole(m, {"7", "8", "9"}, value)) return false;
    if (options.dataBitsRow < 0)
      for (int row = 0; row < DataBitsRows; ++row)
        if (DataBitsValues[row] == value[0] - '0') options.dataBitsRow = row;
  } else if (m.key == "stop_bits") {
    if (!IsWhole(m, {"1", "2"}, value)) return false;
    if (options.stopBits == 0) options.stopBits = value[0] - '0';
  } else if (m.key == "echo_suppression") {
    if (m.kind != JsonMember::Bool) return false;
    if (options.echo < 0) options.echo = m.boolean ? 1 : 0;
  } else {
    return m.kind != JsonMember::Nested;  // what read prints beside, as it prints it
  }
  return true;
}

}  // namespace

bool JsonObjectParse(const std::string& text, std::vector<JsonMember>& members, std::string& problem) {
  members.clear();
  return Reader(text).Object(members, problem);
}

const JsonMember* JsonFind(const std::vector<JsonMember>& members, const std::string& key) {
  for (const JsonMember& m : members)
    if (m.key == key) return &m;
  return nullptr;
}

bool ProfileApply(const std::string& path, Options& options, std::string& problem) {
  std::vector<uint8_t> bytes;
  const int error = FileReadAll(path.c_str(), kProfileMaxBytes, bytes);
  if (error != 0) {
    problem = error == EFBIG                        ? "файл больше 64 КиБ"
              : error == EISDIR || error == EINVAL ? "это не обычный файл (папка, канал или устройство)"
                                                   : FileErrorText(error);
    return false;
  }
  // Notepad and spreadsheets start a UTF-8 file with a byte-order mark.
  std::string text(bytes.begin(), bytes.end());
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  std::vector<JsonMember> members;
  if (!JsonObjectParse(text, members, problem)) return false;
  for (size_t i = 0; i < members.size(); ++i) {
    const std::string& key = members[i].key;
    bool known = key == "baud" || key == "parity" || key == "data_bits" || key == "stop_bits" || key == "echo_suppression";
    for (const char* other : kInformational) known = known || key == other;
    if (!known) {
      problem = "неизвестный ключ \"" + key + "\"";
      return false;
    }
    if (JsonFind(members, key) != &members[i]) {
      problem = "ключ \"" + key + "\" повторяется";
      return false;
    }
  }
  Options applied = options;
  for (const JsonMember& m : members)
    if (!Apply(m, applied)) {
      problem = "неверное значение ключа \"" + m.key + "\"";
      return false;
    }
  options = applied;
  return true;
}
