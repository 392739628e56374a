#include "names.h"

#include <gtest/gtest.h>

TEST(OutputPathFor, DropsThreeBytesAndAppendsTga) {
    const struct {
        const char *in, *out;
    } cases[] = {
        {"C:\\pics\\logo.png", "C:\\pics\\logo.tga"},
        {"logo.PNG", "logo.tga"},
        {"photo.jpeg", "photo.jtga"},
        {"abc", "tga"},
        {"/home/a.b/picture", "/home/a.b/picttga"},
        // Bytes, not characters: a two-byte UTF-8 letter in the last three bytes is cut in half.
        {"x\xc3\xa4p", "xtga"},
        // Too short to drop three bytes: no output name at all.
        {"ab", ""},
        {"", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(outputPathFor(c.in), c.out) << "input: " << c.in;
}
