// The report builder: the file name is the one text in the document that
// comes from outside, as bytes; it must always be there and valid UTF-8.
#include "report.h"
#include "support/process.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <jansson.h>
#include <string>

namespace vestrel::test {
namespace {

using namespace std::string_literals;

const std::string FFFD = "\xEF\xBF\xBD";

// "file_name" of the document built for a record with that name; the test
// fails when the document is not JSON or the key is missing.
std::string reported_name(const char *file_name) {
    Results results;
    results.file_name = file_name;
    char *text = build_report(results);
    EXPECT_NE(text, nullptr);
    json_error_t error;
    json_t *root = json_loads(text, 0, &error);
    std::free(text);
    EXPECT_NE(root, nullptr) << error.text;
    const json_t *name = json_object_get(root, "file_name");
    EXPECT_TRUE(json_is_string(name));
    std::string value = json_is_string(name)
                            ? std::string(json_string_value(name), json_string_length(name))
                            : "<missing>";
    json_decref(root);
    return value;
}

// jansson refused any name that was not UTF-8 and the key went missing.
TEST(ReportFileName, InvalidBytesBecomeReplacementCharacters) {
    struct Case {
        const char *name;
        std::string path;
        std::string reported;
    };
    const Case cases[] = {
        {"ASCII", "/var/log/access.log", "/var/log/access.log"},
        {"UTF-8 of two, three and four bytes", "caf\xC3\xA9-\xE2\x82\xAC-\xF0\x9F\x98\x80.log",
         "caf\xC3\xA9-\xE2\x82\xAC-\xF0\x9F\x98\x80.log"},
        {"highest code point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        {"Latin-1", "caf\xE9.log", "caf" + FFFD + ".log"},
        {"lone continuation bytes",
         "a\x80\xBF"
         "b",
         "a" + FFFD + FFFD + "b"},
        {"sequence cut by the end", "x\xE2\x82", "x" + FFFD + FFFD},
        {"sequence cut by ASCII",
         "\xF0\x9F"
         "a",
         FFFD + FFFD + "a"},
        {"overlong forms", "\xC0\xAF\xE0\x80\xAF", FFFD + FFFD + FFFD + FFFD + FFFD},
        {"surrogate", "\xED\xA0\x80", FFFD + FFFD + FFFD},
        {"past U+10FFFF", "\xF4\x90\x80\x80", FFFD + FFFD + FFFD + FFFD},
        {"bytes never in UTF-8", "\xFE\xFF", FFFD + FFFD},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(reported_name(c.path.c_str()), c.reported);
    }
}

// The same through the program, with a log whose name is Latin-1.
TEST(ReportFileName, LogNamedInLatin1) {
    TempDir dir;
    const std::string path = dir.file("caf\xE9.log");
    write_file(path, "");
    const Outcome o = run_vestrel({path});
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.out.find("\"file_name\": \"" + dir.path + "/caf" + FFFD + ".log\""),
              std::string::npos)
        << o.out;
}

} // namespace
} // namespace vestrel::test
