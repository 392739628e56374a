#include "convert.h"

#include <gtest/gtest.h>

TEST(OutputPathFor, DropsThreeBytesAndAppendsTga) {
    const struct {
        const char *in, *out;
    } cases[] = {
        {"C:\\pics\\logo.png", "C:\\pics\\logo.tga"},
        {"logo.PNG", "logo.tga"},
        {"photo.jpeg", "photo.jtga"},
        {"scan.bmp", "scan.tga"},
        {"abc", "tga"},
        {"image", "imtga"},
        {"my holiday pics/beach day.png", "my holiday pics/beach day.tga"},
        {"/home/a.b/picture", "/home/a.b/picttga"},
        {"v1.2/x.png", "v1.2/x.tga"},
        {"SHOUT.PNG", "SHOUT.tga"},
        {"-rf.png", "-rf.tga"},
        // Bytes, not characters: a two-byte UTF-8 letter in the last three bytes is cut in half.
        {"bild\xc3\xa4.png", "bild\xc3\xa4.tga"},
        {"x\xc3\xa4p", "xtga"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(outputPathFor(c.in), c.out) << "input: " << c.in;
}

TEST(OutputPathFor, PathsShorterThanThreeBytesHaveNoOutput) {
    EXPECT_EQ(outputPathFor(""), "");
    EXPECT_EQ(outputPathFor("a"), "");
    EXPECT_EQ(outputPathFor("ab"), "");
}
