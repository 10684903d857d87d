#pragma once
// Profiles: the settings as `rs485ctl read --json` prints them, applied by
// `write --from FILE` and `watch --from FILE`. A profile is checked whole
// before any port is touched.

#include <string>
#include <vector>

#include "ctl/arguments.h"

// A member of a JSON object as rs485ctl prints one: one level deep, the value
// a string, a number (its text), true, false or null; an array or object is
// kept as Nested without its content.
struct JsonMember {
  enum Kind { Null, Bool, Number, String, Nested };
  std::string key;
  Kind kind = Null;
  std::string text;  // String: the text, UTF-8; Number: as written
  bool boolean = false;
};

// Takes apart text holding one JSON object (white space around it allowed).
// false, with what is wrong, for anything else.
bool JsonObjectParse(const std::string& text, std::vector<JsonMember>& members, std::string& problem);

// The member of that key, or nullptr.
const JsonMember* JsonFind(const std::vector<JsonMember>& members, const std::string& key);

// Reads the profile at path into the settings of options that the command
// line left unnamed. false, with the problem in the user's words, when the
// file cannot be read, is not one JSON object, or holds a key or value that
// is not a setting the converter takes (nothing is changed then).
bool ProfileApply(const std::string& path, Options& options, std::string& problem);
