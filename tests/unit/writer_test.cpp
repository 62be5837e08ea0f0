// The response writer and the protocol's JSON text: accepted ids, envelopes, the size
// rule at its exact edges, and the fixed text form of strings, keys and numbers.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common/json_writer.h"
#include "gui/channel/response_writer.h"

namespace velmaris::gui {
namespace {

struct Captured {
  std::vector<std::string> writes;
  ResponseWriter writer{[this](std::string_view bytes) { writes.emplace_back(bytes); }};
  std::string text() const {
    std::string all;
    for (const auto& w : writes) all += w;
    return all;
  }
};

// What the writer makes of `object` under `maxBytes`.
std::string emitted(const Json& object, std::size_t maxBytes = maxResponseBytes) {
  Captured c;
  c.writer.emit(object, maxBytes);
  return c.text();
}

std::string echoedID(const Json& raw) {
  const auto id = validResponseID(&raw);
  return id ? *writeJSON(*id) : "refused";
}

TEST(ResponseWriter, AcceptedIDs) {
  for (const Json& id : {Json("abc"), Json(7), Json(2.5), Json(true), Json(UINT64_MAX)})
    EXPECT_EQ(echoedID(id), *writeJSON(id));
  EXPECT_EQ(echoedID(std::string(1024, 'a')), "\"" + std::string(1024, 'a') + "\"");
  // The byte count is of UTF-8: 513 two-byte characters are 1026 bytes.
  std::string twoByte;
  for (int i = 0; i < 513; ++i) twoByte += "\xc3\xa9";
  EXPECT_EQ(echoedID(twoByte), "refused");

  for (const Json& refused : {Json(""), Json(std::string(1025, 'a')), Json(nullptr), Json::array(),
                              Json::object(), Json(std::nan(""))})
    EXPECT_EQ(echoedID(refused), "refused") << refused.dump();
  EXPECT_FALSE(validResponseID(nullptr));
}

// The envelopes without details are proven by the loop's answers.
TEST(ResponseWriter, ErrorEnvelopes) {
  HelperFailure full = helperError("ax_error", "copy_attribute", "AXTitle", -25204);
  full.inputAttempted = true;
  full.captureDiagnostic = Json{{"stage", "start"}};  // for observations only, never here
  Captured detailed;
  detailed.writer.emitError(Json(7), full.code, &full);
  EXPECT_EQ(detailed.text(),
            "{\"error\":{\"attribute\":\"AXTitle\",\"ax_status\":-25204,\"code\":\"ax_error\","
            "\"input_attempted\":true,\"stage\":\"copy_attribute\"},\"id\":7}\n");
}

// A success envelope whose serialised form is exactly `bytes` long.
Json successOfSize(std::size_t bytes, const Json& id) {
  const std::string frame = *writeJSON(Json{{"id", id}, {"result", {{"p", ""}}}});
  return Json{{"id", id}, {"result", {{"p", std::string(bytes - frame.size(), 'x')}}}};
}

TEST(ResponseWriter, SizeLimitCountsTheLineFeed) {
  EXPECT_EQ(emitted(successOfSize(65535, "abc")).size(), 65536u);
  EXPECT_EQ(emitted(successOfSize(65536, "abc")),
            "{\"error\":{\"code\":\"response_too_large\"},\"id\":\"abc\"}\n");

  // Escaped slashes count in their written form.
  Json escaped = successOfSize(65535 - 32767, 2.5);
  escaped["result"]["p"] = escaped["result"]["p"].get<std::string>() + std::string(32767, '/');
  EXPECT_EQ(emitted(escaped), "{\"error\":{\"code\":\"response_too_large\"},\"id\":2.5}\n");

  EXPECT_EQ(emitted(successOfSize(4194303, 1), maxImageResponseBytes).size(), 4194304u);
  EXPECT_EQ(emitted(successOfSize(4194304, 1), maxImageResponseBytes),
            "{\"error\":{\"code\":\"response_too_large\"},\"id\":1}\n");
}

TEST(ResponseWriter, UnwritableObjectsGiveTheFixedLine) {
  Captured c;
  c.writer.emit(Json{{"id", 9}, {"result", {{"deep", {{"x", std::nan("")}}}}}});
  ASSERT_EQ(c.writes.size(), 1u);  // one write, line feed included
  EXPECT_EQ(c.text(), "{\"error\":{\"code\":\"internal_error\"},\"id\":null}\n");
  // An over-long id cannot be replaced by an envelope that fits either.
  EXPECT_EQ(emitted(Json{{"id", std::string(70000, 'i')}, {"result", Json::object()}}),
            std::string(internalErrorLine));
}

TEST(ResponseWriter, ShortWritesGoOnWhereTheyStopped) {
  // Three bytes a call, an EINTR on the second call: everything arrives once, in order.
  std::string out;
  int calls = 0;
  auto shortWrites = [&](int failAt, int error) {
    return [&, failAt, error](const char* data, std::size_t size) -> long {
      if (++calls == failAt) {
        errno = error;
        return -1;
      }
      const std::size_t n = std::min<std::size_t>(size, 3);
      out.append(data, n);
      return static_cast<long>(n);
    };
  };
  writeFully("0123456789", shortWrites(2, EINTR));
  EXPECT_EQ(out, "0123456789");
  // Any other error drops the rest.
  out.clear();
  calls = 0;
  writeFully("abcdefgh", shortWrites(2, EPIPE));
  EXPECT_EQ(out, "abc");
  // One byte a call goes on; a call that takes nothing ends it, whatever errno still says.
  out.clear();
  writeFully("abc", [&](const char* data, std::size_t) -> long {
    errno = EINTR;
    if (out.size() == 2) return 0;
    out.push_back(*data);
    return 1;
  });
  EXPECT_EQ(out, "ab");
}

TEST(JSONText, StringsKeysAndNumbers) {
  EXPECT_EQ(*writeJSON(Json{{"mime", "image/jpeg"}}), "{\"mime\":\"image\\/jpeg\"}");
  EXPECT_EQ(*writeJSON(Json("q\"b\\s\b\f\n\r\t\x01\x1f\x7f")),
            "\"q\\\"b\\\\s\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\"");
  EXPECT_EQ(*writeJSON(Json("h\xc3\xa9 \xe2\x80\xa8 \xf0\x9f\x98\x80")),
            "\"h\xc3\xa9 \xe2\x80\xa8 \xf0\x9f\x98\x80\"");  // UTF-8 written as it is
  EXPECT_EQ(*writeJSON(Json("a\xff" "b")), "\"a\xef\xbf\xbd" "b\"");
  EXPECT_EQ(*writeJSON(Json(std::string("a\0b", 3))), "\"a\\u0000b\"");

  const Json nested = Json::parse(
      R"({"b":{"z":1,"a":[{"y":true,"x":null}]},"a/":0,"B":"",)"
      R"("\u00e9":1,"aa":2,"a":3})");
  EXPECT_EQ(*writeJSON(nested),
            "{\"B\":\"\",\"a\":3,\"a\\/\":0,\"aa\":2,\"b\":{\"a\":[{\"x\":null,\"y\":true}],"
            "\"z\":1},\"\xc3\xa9\":1}");
  EXPECT_EQ(*writeJSON(Json::object()), "{}");
  EXPECT_EQ(*writeJSON(Json::array()), "[]");

  const std::vector<std::pair<Json, std::string>> numbers = {
      {Json(3.0), "3"},         {Json(-0.5), "-0.5"},    {Json(0.1), "0.1"},
      {Json(1e300), "1e+300"},  {Json(2.5e-8), "2.5e-08"}, {Json(1234567.0), "1234567"},
      {Json(-0.0), "-0"},       {Json(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {Json(0), "0"},           {Json(std::uint64_t{42}), "42"},
  };
  for (const auto& [value, text] : numbers) EXPECT_EQ(*writeJSON(value), text);

  // One value that cannot be written fails the whole text, at any depth.
  for (const Json& bad : {Json::binary({1, 2}), Json::array({1, std::nan(""), 2}),
                          Json{{"a", Json::array({Json::object({{"b", INFINITY}})})}}})
    EXPECT_FALSE(writeJSON(bad)) << bad.dump();
}

}  // namespace
}  // namespace velmaris::gui
