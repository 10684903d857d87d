// The one JSON reader of the product and its tests. It must refuse what is
// not JSON, or the tests that take rs485ctl's output apart would prove
// nothing; and a profile that is not JSON is told where it goes wrong.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ops/json.h"

namespace {

TEST(Json, TakesJsonAndNothingElse) {
  Json value;
  ASSERT_TRUE(JsonParse(" {\"a\":[1,-2.5e3,true,false,null],\"b\":\"\\u0436\\ud83d\\ude00\\n\"} ", value));
  EXPECT_EQ(value["a"].items.size(), 5u);
  EXPECT_EQ(value["a"].items[1].number, -2500);
  EXPECT_EQ(value["a"].items[1].text, "-2.5e3") << "a number keeps how it was written";
  EXPECT_EQ(value["b"].text, "ж\xF0\x9F\x98\x80\n");
  for (const char* bad : {"", "{", "{\"a\":1,}", "[1,]", "{\"a\" 1}", "{'a':1}", "{\"a\":01}", "{\"a\":1.}", "{\"a\":+1}",
                          "{\"a\":\"x\ny\"}", "{\"a\":\"\\x\"}", "{\"a\":\"\\ud800\"}", "{\"a\":\"\xFF\"}",
                          "{\"a\":\"\xC0\x80\"}", "{\"a\":\"\xED\xA0\x80\"}", "{} {}", "{\"a\":tru}", "nul"}) {
    EXPECT_FALSE(JsonParse(bad, value)) << bad;
  }
}

TEST(Json, SaysWhatIsWrongAndAtWhichByte) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{\"baud\":-}", "неверное значение ключа \"baud\" (байт 10)"},
      {"{\"a\":{\"b\":tru}}", "неверное значение ключа \"b\" (байт 11)"},  // the innermost key
      {"{\"a\" 1}", "ожидалось ':' после \"a\" (байт 6)"},
      {"{\"a\":1", "ожидалось ',' или '}' (байт 7)"},
      {"[1,]", "неверное значение в массиве (байт 4)"},
      {"{} x", "после объекта лишний текст (байт 4)"},
  };
  for (const auto& [text, expected] : cases) {
    Json value;
    std::string problem;
    EXPECT_FALSE(JsonParse(text, value, &problem)) << text;
    EXPECT_EQ(problem, expected) << text;
  }
}

}  // namespace
