#pragma once
// JSON as this system writes and reads it: rs485ctl's output, its workers'
// lines, the profiles, and the tests that take them apart all go through
// these few functions. The reader is strict (one value, UTF-8, nothing
// after it), so that what it takes is what a script would take.

#include <cstdint>
#include <string>
#include <vector>

struct Json {
  struct Member;  // a pair would need Json complete here, which clang's library checks
  enum Kind : uint8_t { Null, Bool, Number, String, Array, Object };
  Kind kind = Null;
  bool boolean = false;
  double number = 0;
  std::string text;             // String: as UTF-8; Number: as it was written ("19200", "-2.5e3")
  std::vector<Json> items;      // Array
  std::vector<Member> members;  // Object, in their order

  bool Has(const std::string& key) const;
  // The member's value; a Null value when there is no such member.
  const Json& operator[](const std::string& key) const;
};

struct Json::Member {
  std::string key;
  Json value;
};

// Parses text that holds exactly one JSON value (white space around it
// allowed). false for anything else, with what is wrong in the user's words
// and at which byte in *problem ("неверное значение ключа \"baud\" (байт 9)").
bool JsonParse(const std::string& text, Json& value, std::string* problem = nullptr);

// text as a JSON string: quoted, escaped, and bytes that are not UTF-8 replaced
// by U+FFFD so that the output stays valid whatever a file name holds.
std::string JsonString(const std::string& text);

// text as a JSON string, or null when it is empty.
std::string JsonOrNull(const std::string& text);
