// XPM icons as X11 reads them: rows and colours in every way icons write them come out exactly,
// and what cannot be read for sure is refused, never guessed. The library's own XPM reader needed
// mending for this, so these run against the library the build carries.
#include "support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
    const char *what;
    std::string xpm;                // the file
    std::vector<std::uint8_t> rgba; // its one row of pixels, when it converts
    int code = 0;                   // else the library's code for refusing it
    const char *text = "";          // and its text
};

std::string xpm(const std::string &header, const std::vector<std::string> &lines) {
    std::string file = "/* XPM */\nstatic char *icon[] = {\n\"" + header + "\",\n";
    for (const std::string &line : lines)
        file += line + "\n";
    return file + "};\n";
}

} // namespace

TEST(Xpm, IconsReadAsX11ReadsThemAndTheRestIsRefused) {
#if !OSTRELLE_DEVIL_PINNED
    GTEST_SKIP() << "built with the system's DevIL, whose XPM reader this build does not mend";
#endif
    const std::vector<Case> cases = {
        {"a blank line between the colours and the rows, and tabs",
         xpm("2 1 2 1", {"\".\tc #C0C0C0\",", "\"x\tc #000000\",", "", "\"x.\""}),
         {0, 0, 0, 255, 192, 192, 192, 255}},
        {"colours of 4, 3 and 1 digits a channel, scaled as X11 scales them",
         xpm("3 1 3 1",
             {"\"a c #FFFF80007FFF\",", "\"b c #F80\",", "\"c c #ABC123456\",", "\"abc\""}),
         {255, 127, 127, 255, 255, 136, 0, 255, 171, 18, 69, 255}},
        {"X11 names: grayN and greyN, None, a symbol before the colour, grey levels alone",
         xpm("4 1 4 2", {"\"a  s iconColor1 c gray98\",", "\"b  c None\",", "\"c  c Grey50\",",
                         "\"d  g #808080\",", "\"a b c d \""}),
         {250, 250, 250, 255, 0, 0, 0, 0, 127, 127, 127, 255, 128, 128, 128, 255}},
        {"a row shorter than the picture",
         xpm("3 1 1 1", {"\"a c #000000\",", "\"aa\""}),
         {},
         0x0507,
         "illegal file value"},
        {"a pixel the colours do not name",
         xpm("2 1 1 1", {"\"a c #000000\",", "\"ab\""}),
         {},
         0x0507,
         "illegal file value"},
        {"a colour name X11 icons do not use",
         xpm("1 1 1 1", {"\"a c papayawhip\",", "\"a\""}),
         {},
         0x0503,
         "format not supported"},
        {"a colour line without a colour",
         xpm("1 1 1 1", {"\"a s name\",", "\"a\""}),
         {},
         0x0503,
         "format not supported"},
    };
    support::TempDir dir;
    std::vector<std::string> args;
    std::string expected = support::banner;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        args.push_back(std::to_string(i) + ".xpm");
        ASSERT_TRUE(support::writeFile(dir.path / args.back(), cases[i].xpm));
        expected += cases[i].rgba.empty() ? support::failed(true, cases[i].code, cases[i].text)
                                          : support::done;
    }
    const support::Run run = support::runOstrelle(args, dir.path);
    EXPECT_EQ(run.out, expected);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        const auto tga = dir.path / (std::to_string(i) + ".tga");
        if (cases[i].rgba.empty()) {
            EXPECT_FALSE(std::filesystem::exists(tga));
            continue;
        }
        const support::Tga got = support::readTga(tga);
        ASSERT_TRUE(got.ok) << got.why;
        const support::Image want{static_cast<int>(cases[i].rgba.size() / 4), 1, cases[i].rgba};
        EXPECT_EQ(support::differingPixels(got.image, want), 0u);
    }
}
