// The report text as getInitReport hands it out: cut to the host's buffer,
// never inside a UTF-8 character, always terminated.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "discovery/init_report.h"

namespace vesk {
namespace {

TEST(InitReport, CopiesTextCutToTheBuffer) {
    const std::string dash = std::string("ab\xe2\x80\x94") + "c";  // an em dash: 3 bytes from offset 2
    const struct {
        const char* why;
        std::string text;
        std::uint32_t capacity;
        std::string expect;  // what the buffer holds; "#" when nothing may be written
    } cases[] = {
        {"room for all", "abc", 4, "abc"},
        {"one short: the terminator takes the last byte", "abc", 3, "ab"},
        {"a character that does not fit whole is left out", dash, 5, "ab"},
        {"a character that fits stays", dash, 6, "ab\xe2\x80\x94"},
        {"room for the terminator only", "abc", 1, ""},
        {"no room: nothing written", "abc", 0, "#"},
        {"no reasons", "", 8, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        char buf[16];
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(copyReportText(c.text, buf, c.capacity), c.text.size());
        EXPECT_EQ(std::string(buf, strnlen(buf, c.capacity ? c.capacity : 1)), c.expect);
    }
    EXPECT_EQ(copyReportText("abc", nullptr, 0), 3u);
}

}  // namespace
}  // namespace vesk
