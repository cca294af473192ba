#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// This program links the infra library like the two programs do and references nothing of the tweak catalogue,
// which no code reads: its rows must be in the program all the same. Neither this file nor the test support
// includes the catalogue's header, so the names found below can only come from the catalogue itself.
namespace {

// `text` with every '|' taken out: the whole names then appear only where the catalogue put them.
std::string joinedName(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '|'), text.end());
    return text;
}

}  // namespace

TEST(TweakCatalogueLinkTest, ProgramHoldsTheRowsWithoutReferencingThem) {
    const std::string self = ::testing::internal::GetArgvs().at(0);
    std::ifstream in(self, std::ios::binary);
    ASSERT_TRUE(in.good()) << "cannot read " << self;
    const std::string image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_GT(image.size(), 0u);
    // The first row, the last of the first run, the first and the last of the second run.
    const char* const names[] = {"t_AIO|Max|IO|Length|Blocks", "t_kestrum|PEM|Certificate|Path",
                                 "t_Tesk|Appliers|Mem|Limit|Bytes", "t_reserve|Views|RLs|Memory"};
    for (const char* name : names) {
        EXPECT_NE(image.find(joinedName(name)), std::string::npos) << joinedName(name) << " is not in " << self;
    }
}
