#include "ops/json.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kMaxDepth = 64;

// A scalar that does not parse only returns false; the object or array
// around it names what was wrong (the key whose value it is), and the first
// problem named is the one told.
class Reader {
 public:
  explicit Reader(const std::string& text) : text_(text) {}

  bool Document(Json& value) {
    Blanks();
    if (!Value(value, 0)) return Fail("неверное значение");
    Blanks();
    return at_ == text_.size() ||
           Fail(value.kind == Json::Object ? "после объекта лишний текст" : "после значения лишний текст");
  }
  const std::string& problem() const { return problem_; }

 private:
  bool Fail(const std::string& what) {
    if (problem_.empty()) problem_ = what + " (байт " + std::to_string(at_ + 1) + ")";
    return false;
  }
  bool More() const { return at_ < text_.size(); }
  char Peek() const { return More() ? text_[at_] : '\0'; }
  void Blanks() {
    while (More() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) ++at_;
  }
  bool Word(const char* word) {
    for (size_t k = 0; word[k] != '\0'; ++k)
      if (at_ + k >= text_.size() || text_[at_ + k] != word[k]) return false;
    at_ += std::char_traits<char>::length(word);
    return true;
  }

  bool Value(Json& value, int depth) {
    if (depth > kMaxDepth) return Fail("слишком глубокая вложенность");
    switch (Peek()) {
      case '{': return ObjectValue(value, depth);
      case '[': return ArrayValue(value, depth);
      case '"': value.kind = Json::String; return StringValue(value.text);
      case 't': value.kind = Json::Bool; value.boolean = true; return Word("true");
      case 'f': value.kind = Json::Bool; value.boolean = false; return Word("false");
      case 'n': value.kind = Json::Null; return Word("null");
      default: return NumberValue(value);
    }
  }

  bool ObjectValue(Json& value, int depth) {
    value.kind = Json::Object;
    ++at_;
    Blanks();
    if (Peek() == '}') return ++at_, true;
    for (;;) {
      Blanks();
      std::string key;
      if (Peek() != '"' || !StringValue(key)) return Fail("ожидалось имя ключа в кавычках");
      Blanks();
      if (Peek() != ':') return Fail("ожидалось ':' после \"" + key + "\"");
      ++at_;
      Blanks();
      Json member;
      if (!Value(member, depth + 1)) return Fail("неверное значение ключа \"" + key + "\"");
      value.members.push_back({std::move(key), std::move(member)});
      Blanks();
      if (Peek() == ',') {
        ++at_;
        continue;
      }
      if (Peek() == '}') return ++at_, true;
      return Fail("ожидалось ',' или '}'");
    }
  }

  bool ArrayValue(Json& value, int depth) {
    value.kind = Json::Array;
    ++at_;
    Blanks();
    if (Peek() == ']') return ++at_, true;
    for (;;) {
      Blanks();
      Json item;
      if (!Value(item, depth + 1)) return Fail("неверное значение в массиве");
      value.items.push_back(std::move(item));
      Blanks();
      if (Peek() == ',') {
        ++at_;
        continue;
      }
      if (Peek() == ']') return ++at_, true;
      return Fail("ожидалось ',' или ']'");
    }
  }

  bool Hex4(unsigned& code) {
    if (at_ + 4 > text_.size()) return false;
    code = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text_[at_++];
      code <<= 4;
      if (c >= '0' && c <= '9') code |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') code |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') code |= static_cast<unsigned>(c - 'A' + 10);
      else return false;
    }
    return true;
  }

  static void AppendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | code >> 6);
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | code >> 12);
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | code >> 18);
      out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  // Raw bytes must be UTF-8 and no control characters; escapes are decoded,
  // a surrogate only as half of a pair.
  bool StringValue(std::string& out) {
    ++at_;
    for (;;) {
      if (!More()) return false;
      const unsigned char c = static_cast<unsigned char>(text_[at_]);
      if (c == '"') return ++at_, true;
      if (c < 0x20) return false;
      if (c == '\\') {
        ++at_;
        const char e = Peek();
        ++at_;
        static const std::string kPlain = "\"\\/bfnrt";
        static const std::string kMeant = "\"\\/\b\f\n\r\t";
        if (const size_t k = kPlain.find(e); e != '\0' && k != std::string::npos) {
          out += kMeant[k];
          continue;
        }
        unsigned code = 0;
        if (e != 'u' || !Hex4(code) || (code >= 0xDC00 && code <= 0xDFFF)) return false;
        if (code >= 0xD800 && code <= 0xDBFF) {
          unsigned low = 0;
          if (!Word("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
          code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        AppendUtf8(out, code);
        continue;
      }
      size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
      if (length == 0 || at_ + length > text_.size()) return false;
      for (size_t k = 1; k < length; ++k)
        if ((static_cast<unsigned char>(text_[at_ + k]) & 0xC0) != 0x80) return false;
      // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
      const unsigned char second = length > 1 ? static_cast<unsigned char>(text_[at_ + 1]) : 0;
      if ((length == 2 && c < 0xC2) || (c == 0xE0 && second < 0xA0) || (c == 0xED && second >= 0xA0) ||
          (c == 0xF0 && second < 0x90) || (c == 0xF4 && second >= 0x90) || c > 0xF4)
        return false;
      out.append(text_, at_, length);
      at_ += length;
    }
  }

  bool Digits() {
    if (!(Peek() >= '0' && Peek() <= '9')) return false;
    while (Peek() >= '0' && Peek() <= '9') ++at_;
    return true;
  }

  bool NumberValue(Json& value) {
    const size_t begin = at_;
    if (Peek() == '-') ++at_;
    if (Peek() == '0') ++at_;
    else if (!(Peek() >= '1' && Peek() <= '9') || !Digits()) return false;
    if (Peek() == '.' && (++at_, !Digits())) return false;
    if (Peek() == 'e' || Peek() == 'E') {
      ++at_;
      if (Peek() == '+' || Peek() == '-') ++at_;
      if (!Digits()) return false;
    }
    value.kind = Json::Number;
    value.text = text_.substr(begin, at_ - begin);
    value.number = std::strtod(value.text.c_str(), nullptr);
    return true;
  }

  const std::string& text_;
  size_t at_ = 0;
  std::string problem_;
};

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

}  // namespace

bool Json::Has(const std::string& key) const {
  for (const auto& member : members)
    if (member.key == key) return true;
  return false;
}

const Json& Json::operator[](const std::string& key) const {
  static const Json missing;
  for (const auto& member : members)
    if (member.key == key) return member.value;
  return missing;
}

bool JsonParse(const std::string& text, Json& value, std::string* problem) {
  value = Json();
  Reader reader(text);
  const bool ok = reader.Document(value);
  if (!ok && problem != nullptr) *problem = reader.problem();
  return ok;
}

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

std::string JsonOrNull(const std::string& text) { return text.empty() ? "null" : JsonString(text); }
