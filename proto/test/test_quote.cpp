// The quoted form of names in messages.

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "murlo/proto/json.hpp"
#include "murlo/proto/records.hpp"

namespace murlo::proto {
namespace {

TEST(Quoted, EscapesWhatIsNotPlainlyReadable) {
    using namespace std::string_view_literals;
    struct Case {
        std::string_view input;
        std::string_view expected;
    };
    const Case cases[] = {
        {"", R"("")"},
        {"pool-a", R"("pool-a")"},
        {"a b", R"("a b")"},
        {"it's", R"("it's")"},
        {"/x/", R"("/x/")"},
        {"say \"hi\"", R"("say \"hi\"")"},
        {R"(c:\dir)", R"("c:\\dir")"},
        {"a\tb\rc\nd", R"("a\tb\rc\nd")"},
        {"a\0b"sv, R"("a\0b")"},
        // Other controls, C0 and C1, and DEL.
        {"\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"},
        {"\b\f", R"("\u{8}\u{c}")"},
        {"\u0085", R"("\u{85}")"},
        // Printable non-ASCII stands unchanged.
        {"caf\u00e9", "\"caf\u00e9\""},
        {"\u4e2d\u6587", "\"\u4e2d\u6587\""},
        {"\U0001F600", "\"\U0001F600\""},
        {"\u00a9", "\"\u00a9\""},
        // Separators other than the space.
        {"a\u00a0b", R"("a\u{a0}b")"},
        {"\u3000", R"("\u{3000}")"},
        {"\u2028\u2029", R"("\u{2028}\u{2029}")"},
        // Format characters, private use, unassigned code points.
        {"\u00ad\u200b\ufeff", R"("\u{ad}\u{200b}\u{feff}")"},
        {"\U000E0001", R"("\u{e0001}")"},
        {"\ue000\U0010FFFF", R"("\u{e000}\u{10ffff}")"},
        {"\u0378", R"("\u{378}")"},
        {"\ufffe", R"("\u{fffe}")"},
        // Combining marks: Mn, Me and the other grapheme extenders.
        {"e\u0301", R"("e\u{301}")"},
        {"\u20dd", R"("\u{20dd}")"},
        {"\u200c", R"("\u{200c}")"},
        {"\u09be", R"("\u{9be}")"},
        {"\uff9e", R"("\u{ff9e}")"},
        {"\U000E0020", R"("\u{e0020}")"},
        // A spacing mark (Mc) is printable.
        {"\u0903", "\"\u0903\""},
        // Bytes that are not UTF-8, one by one.
        {"\xff", R"("\x{ff}")"},
        {"a\x80z", R"("a\x{80}z")"},
        {"\xc3", R"("\x{c3}")"},
        {"\xe2\x82", R"("\x{e2}\x{82}")"},
        {"\xe2\x82\xac", "\"\xe2\x82\xac\""},
        {"\xc0\xaf", R"("\x{c0}\x{af}")"},                      // overlong
        {"\xe0\x80\xaf", R"("\x{e0}\x{80}\x{af}")"},            // overlong
        {"\xed\xa0\x80", R"("\x{ed}\x{a0}\x{80}")"},            // a surrogate
        {"\xf4\x90\x80\x80", R"("\x{f4}\x{90}\x{80}\x{80}")"},  // above U+10FFFF
        {"\xf0\x9f\x98", R"("\x{f0}\x{9f}\x{98}")"},            // cut off at the end
        {"\xf0\x9f\x98x", R"("\x{f0}\x{9f}\x{98}x")"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(quoted(c.input), c.expected) << "input of " << c.input.size() << " bytes";
    }
}

TEST(Quoted, DescribesStringsInTypeErrors) {
    auto r = read_beat(R"({"id":"a\tb\u0301"})");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(), R"(invalid type: string "a\tb\u{301}", expected u64 at line 1 column 18)");
}

}  // namespace
}  // namespace murlo::proto
