#include "platform/sim/surrogate_escape.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include "platform/sim/sim_services.h"

namespace {

struct Row {
    const char* bytes;
    std::u16string text;
};

const Row kRows[] = {
    {"", u""},
    {"pkg.inf", u"pkg.inf"},
    {"Gr\xC3\xBC\xC3\x9F"
     "e Treiber/pkg.inf",
     u"Gr\u00FC\u00DFe Treiber/pkg.inf"},
    {"\xE2\x82\xAC.inf", u"\u20AC.inf"},
    {"\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
    {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
    {"caf\xE9.inf", u"caf\xDCE9.inf"},
    {"\xFF\xFE", u"\xDCFF\xDCFE"},
    {"\x80", u"\xDC80"},
    {"\xC0\xAF", u"\xDCC0\xDCAF"},                     // overlong slash
    {"\xE0\x80\xAF", u"\xDCE0\xDC80\xDCAF"},           // overlong slash
    {"\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"},           // a surrogate written as UTF-8
    {"\xED\xB2\x80", u"\xDCED\xDCB2\xDC80"},           // the escape of 0x80 written as UTF-8
    {"\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80"}, // above U+10FFFF
    {"\xE2\x82", u"\xDCE2\xDC82"},                     // cut short at the end
    {"\xE2\x82x", u"\xDCE2\xDC82x"},                   // cut short before ASCII
    {"a\xC3\xA9\xE9z", u"a\u00E9\xDCE9z"},
};

TEST(SurrogateEscape, DecodesAndComesBackUnchanged) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.bytes);
        std::u16string text = DecodeSurrogateEscaped(row.bytes);
        EXPECT_EQ(text, row.text);
        EXPECT_EQ(EncodeSurrogateEscaped(text.c_str()), row.bytes);
    }
}

TEST(SurrogateEscape, EncodesLoneSurrogatesOutsideTheEscapesInFull) {
    const struct {
        std::u16string text;
        const char* bytes;
    } rows[] = {
        {u"\xD800", "\xED\xA0\x80"},
        {u"a\xDBFFz", "a\xED\xAF\xBFz"},
        {u"\xDC7F", "\xED\xB1\xBF"},
        {u"\xDE00\xD83D", "\xED\xB8\x80\xED\xA0\xBD"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(EncodeSurrogateEscaped(row.text.c_str()), row.bytes);
    }
}

std::string Quoted(const std::u16string& text, bool escapesAreBytes) {
    char* data = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&data, &size);
    SimWriteQuoted(out, text.c_str(), escapesAreBytes);
    fclose(out);
    std::string quoted(data, size);
    free(data);
    return quoted;
}

// The log: on a POSIX host U+DC80..U+DCFF are path bytes; on Windows every lone surrogate is
// written as an escape, so that no two paths log alike.
TEST(SimWriteQuoted, WritesEachPathApart) {
    const struct {
        std::u16string text;
        const char* hostLog;
        const char* windowsLog;
    } rows[] = {
        {u"pkg.inf", "\"pkg.inf\"", "\"pkg.inf\""},
        {u"\u00E9.inf", "\"\xC3\xA9.inf\"", "\"\xC3\xA9.inf\""},
        {u"\xDCC3\xDCA9.inf", "\"\xC3\xA9.inf\"", "\"\\uDCC3\\uDCA9.inf\""},
        {u"caf\xDCE9.inf", "\"caf\xE9.inf\"", "\"caf\\uDCE9.inf\""},
        {u"\\uDCE9.inf", "\"\\\\uDCE9.inf\"", "\"\\\\uDCE9.inf\""},
        {u"\xD800x", "\"\\uD800x\"", "\"\\uD800x\""},
        {u"\xDC7F", "\"\\uDC7F\"", "\"\\uDC7F\""},
        {u"\xDE00\xD83D", "\"\\uDE00\\uD83D\"", "\"\\uDE00\\uD83D\""},
        {u"\xD83D\xDE00", "\"\xF0\x9F\x98\x80\"", "\"\xF0\x9F\x98\x80\""},
        {u"C:\\a \"b\"\t\x01", "\"C:\\\\a \\\"b\\\"\\t\\x01\"", "\"C:\\\\a \\\"b\\\"\\t\\x01\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.hostLog);
        EXPECT_EQ(Quoted(row.text, true), row.hostLog);
        EXPECT_EQ(Quoted(row.text, false), row.windowsLog);
    }
}

} // namespace
