// The size sliders shared by Split and Fill: parts, label texts, rounding of progress.
#include "tools/common/size_parts.h"

#include <gtest/gtest.h>

namespace {

TEST(SizeParts, CutIntoMegabytesKilobytesBytes) {
    struct Case {
        qint64 bytes;
        TSizeParts parts;  // bytes, kilobytes, megabytes
    };
    const Case cases[] = {
        {0, {0, 0, 0}},
        {1048576, {0, 0, 1}},
        {1258291, {819, 204, 1}},
        {1509949, {573, 450, 1}},
        {671088640, {0, 0, 640}},
        {1073741823, {1023, 1023, 1023}},
        {4294967296LL, {1023, 1023, 1023}},  // beyond the sliders: held at their maximum
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SplitIntoParts(c.bytes), c.parts) << c.bytes;
        if (c.bytes <= kMaxSliderSize) {
            EXPECT_EQ(SplitIntoParts(c.bytes).Total(), c.bytes);
        }
    }
    EXPECT_EQ(TSizeParts().Total(), 131072);
    EXPECT_EQ(kMaxSliderSize, 1073741823);
    EXPECT_EQ(ClampedParts(-5, 2000, 7), (TSizeParts{0, 1023, 7}));
}

TEST(SizeParts, SlidersSetTheirOwnPart) {
    TSizeParts parts;
    parts.Set(kSliderKilobytes, 512);
    parts.Set(kSliderBytes, 1);
    parts.Set(7, 99);
    EXPECT_EQ(parts, (TSizeParts{1, 512, 0}));
    EXPECT_EQ(parts.Get(kSliderKilobytes), 512);
    EXPECT_EQ(parts.Get(7), 0);
}

TEST(SizeLabelText, InTheUnitOfTheSliderMoved) {
    struct Case {
        qint64 size;
        int tag;
        const char* text;
    };
    const Case cases[] = {
        {524288, kSliderKilobytes, "512.00 Kb"},
        {524289, kSliderBytes, "524289 bytes"},
        {524289, kSliderKilobytes, "512.00 Kb"},
        {1509949, kSliderMegabytes, "1.4400 Mb"},
        {1073741823, kSliderMegabytes, "1024.0000 Mb"},
        {1536, kSliderKilobytes, "1.50 Kb"},
        {0, kSliderBytes, "0 bytes"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SizeLabelText(c.size, c.tag), c.text) << c.size << " tag " << c.tag;
    }
}

TEST(Progress, HalvesGoToTheEvenNeighbour) {
    struct Case {
        double value;
        int rounded;
    };
    const Case cases[] = {{12.5, 12}, {13.5, 14}, {37.5, 38}, {0.4, 0}, {99.6, 100}, {100, 100}};
    for (const Case& c : cases) {
        EXPECT_EQ(RoundHalfEven(c.value), c.rounded) << c.value;
    }
    EXPECT_EQ(PercentDoneText(42), "42% Done");
}

}  // namespace
