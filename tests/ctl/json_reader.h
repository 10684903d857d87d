#pragma once
// A small strict JSON reader, so that tests can take rs485ctl's --json output
// apart without another program.

#include <string>
#include <vector>

struct Json {
  struct Member;  // a pair would need Json complete here, which clang's library checks
  enum Kind { Null, Bool, Number, String, Array, Object };
  Kind kind = Null;
  bool boolean = false;
  double number = 0;
  std::string text;                                  // String, as UTF-8
  std::vector<Json> items;                           // Array
  std::vector<Member> members;                       // Object, in their order

  bool Has(const std::string& key) const;
  // The member's value; a Null value when there is no such member.
  const Json& operator[](const std::string& key) const;
};

struct Json::Member {
  std::string key;
  Json value;
};

// Parses text that holds exactly one JSON value (white space around it
// allowed). On failure returns false and says why in *error.
bool JsonParse(const std::string& text, Json& value, std::string* error = nullptr);
