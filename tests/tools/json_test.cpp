// JSON strings and documents: escaping of any bytes, and the writer's commas.
#include <gtest/gtest.h>

#include "json.h"
#include "json_reader.h"

namespace mpioctl::json {
namespace {

TEST(JsonQuote, EscapesWhatJsonRequiresAndReplacesInvalidUtf8) {
    using namespace std::string_literals;
    const struct {
        std::string input;
        std::string quoted;
        bool validUtf8; // then the document reads back as the input
    } cases[] = {
        {"/dev/emcpowera", "\"/dev/emcpowera\"", true},
        {"", "\"\"", true},
        {"say \"hi\" \\ bye", R"("say \"hi\" \\ bye")", true},
        {"\n\t\r\b\f", R"("\n\t\r\b\f")", true},
        {"\x01\x1f"s, R"("\u0001\u001f")", true},
        {"a\0b"s, R"("a\u0000b")", true},
        {"%s %n", "\"%s %n\"", true},
        {"\x7f/", "\"\x7f/\"", true},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\"",
         true},
        {"\xff", R"("\ufffd")", false},
        {"x\xc3", R"("x\ufffd")", false},                       // truncated sequence
        {"\xc0\xaf", R"("\ufffd\ufffd")", false},               // overlong form
        {"\xe0\x80\xaf", R"("\ufffd\ufffd\ufffd")", false},     // overlong form
        {"\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")", false},     // surrogate
        {"\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")", false}, // above U+10FFFF
        {"\x80z", R"("\ufffdz")", false},                       // stray continuation byte
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.input));
        const std::string quoted = quote(c.input);
        EXPECT_EQ(quoted, c.quoted);
        const JsonValue back = JsonReader::parse(quoted);
        if (c.validUtf8) {
            EXPECT_EQ(back.str(), c.input);
        }
    }
}

TEST(JsonWriter, PlacesCommasAndColonsInNestedContainers) {
    Writer w;
    w.beginObject();
    w.key("list").beginArray().number(1).boolean(true).null();
    w.beginObject().key("k").string("v").endObject();
    w.beginArray().endArray();
    w.endArray();
    w.key("empty").beginObject().endObject();
    w.key("n").number(-9223372036854775807LL - 1);
    w.endObject();
    EXPECT_EQ(w.text(),
              R"({"list":[1,true,null,{"k":"v"},[]],"empty":{},"n":-9223372036854775808})");
    EXPECT_EQ(JsonReader::parse(w.text())["list"].array().size(), 5u);
}

} // namespace
} // namespace mpioctl::json
