#include "json_reader.h"

#include <cstdlib>

namespace {

constexpr int kMaxDepth = 64;

class Reader {
 public:
  explicit Reader(const std::string& text) : text_(text) {}

  bool Document(Json& value) {
    Blanks();
    if (!Value(value, 0)) return false;
    Blanks();
    return at_ == text_.size() || Fail("text after the value");
  }
  const std::string& error() const { return error_; }

 private:
  bool Fail(const std::string& why) {
    if (error_.empty()) error_ = why + " at offset " + std::to_string(at_);
    return false;
  }
  bool More() const { return at_ < text_.size(); }
  char Peek() const { return More() ? text_[at_] : '\0'; }
  void Blanks() {
    while (More() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) ++at_;
  }
  bool Word(const char* word) {
    for (size_t k = 0; word[k] != '\0'; ++k)
      if (at_ + k >= text_.size() || text_[at_ + k] != word[k]) return Fail(std::string("expected ") + word);
    at_ += std::char_traits<char>::length(word);
    return true;
  }

  bool Value(Json& value, int depth) {
    if (depth > kMaxDepth) return Fail("nested too deep");
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
      if (Peek() != '"' || !StringValue(key)) return Fail("expected a member name");
      Blanks();
      if (Peek() != ':') return Fail("expected ':'");
      ++at_;
      Blanks();
      Json member;
      if (!Value(member, depth + 1)) return false;
      value.members.push_back({std::move(key), std::move(member)});
      Blanks();
      if (Peek() == ',') {
        ++at_;
        continue;
      }
      if (Peek() == '}') return ++at_, true;
      return Fail("expected ',' or '}'");
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
      if (!Value(item, depth + 1)) return false;
      value.items.push_back(std::move(item));
      Blanks();
      if (Peek() == ',') {
        ++at_;
        continue;
      }
      if (Peek() == ']') return ++at_, true;
      return Fail("expected ',' or ']'");
    }
  }

  bool Hex4(unsigned& code) {
    if (at_ + 4 > text_.size()) return Fail("short \\u escape");
    code = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text_[at_++];
      code <<= 4;
      if (c >= '0' && c <= '9') code |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') code |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') code |= static_cast<unsigned>(c - 'A' + 10);
      else return Fail("bad \\u escape");
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

  // Raw bytes must be UTF-8 and no control characters; escapes are decoded.
  bool StringValue(std::string& out) {
    ++at_;
    for (;;) {
      if (!More()) return Fail("unterminated string");
      const unsigned char c = static_cast<unsigned char>(text_[at_]);
      if (c == '"') return ++at_, true;
      if (c < 0x20) return Fail("control character in a string");
      if (c == '\\') {
        ++at_;
        const char e = Peek();
        ++at_;
        switch (e) {
          case '"': out += '"'; break;
          case '\\': out += '\\'; break;
          case '/': out += '/'; break;
          case 'b': out += '\b'; break;
          case 'f': out += '\f'; break;
          case 'n': out += '\n'; break;
          case 'r': out += '\r'; break;
          case 't': out += '\t'; break;
          case 'u': {
            unsigned code = 0;
            if (!Hex4(code)) return false;
            if (code >= 0xDC00 && code <= 0xDFFF) return Fail("lone low surrogate");
            if (code >= 0xD800 && code <= 0xDBFF) {
              unsigned low = 0;
              if (!Word("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return Fail("lone high surrogate");
              code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            }
            AppendUtf8(out, code);
            break;
          }
          default: return Fail("bad escape");
        }
        continue;
      }
      size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
      if (length == 0 || at_ + length > text_.size()) return Fail("not UTF-8");
      for (size_t k = 1; k < length; ++k)
        if ((static_cast<unsigned char>(text_[at_ + k]) & 0xC0) != 0x80) return Fail("not UTF-8");
      // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
      const unsigned char second = length > 1 ? static_cast<unsigned char>(text_[at_ + 1]) : 0;
      if ((length == 2 && c < 0xC2) || (c == 0xE0 && second < 0xA0) || (c == 0xED && second >= 0xA0) ||
          (c == 0xF0 && second < 0x90) || (c == 0xF4 && second >= 0x90) || c > 0xF4)
        return Fail("not UTF-8");
      out.append(text_, at_, length);
      at_ += length;
    }
  }

  bool NumberValue(Json& value) {
    const size_t begin = at_;
    if (Peek() == '-') ++at_;
    if (Peek() == '0') {
      ++at_;
    } else if (Peek() >= '1' && Peek() <= '9') {
      while (Peek() >= '0' && Peek() <= '9') ++at_;
    } else {
      return Fail("unexpected character");
    }
    if (Peek() == '.') {
      ++at_;
      if (!(Peek() >= '0' && Peek() <= '9')) return Fail("digits expected after '.'");
      while (Peek() >= '0' && Peek() <= '9') ++at_;
    }
    if (Peek() == 'e' || Peek() == 'E') {
      ++at_;
      if (Peek() == '+' || Peek() == '-') ++at_;
      if (!(Peek() >= '0' && Peek() <= '9')) return Fail("digits expected in the exponent");
      while (Peek() >= '0' && Peek() <= '9') ++at_;
    }
    value.kind = Json::Number;
    value.number = std::strtod(text_.substr(begin, at_ - begin).c_str(), nullptr);
    return true;
  }

  const std::string& text_;
  size_t at_ = 0;
  std::string error_;
};

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

bool JsonParse(const std::string& text, Json& value, std::string* error) {
  value = Json();
  Reader reader(text);
  const bool ok = reader.Document(value);
  if (!ok && error != nullptr) *error = reader.error();
  return ok;
}
