// File masks as the file tools take them: wildcards, letters in any case, and the two
// endings that also speak of names without an extension.
#include "tools/common/file_mask.h"

#include <gtest/gtest.h>

namespace {

TEST(FileMask, WildcardsAndCase) {
    struct Case {
        const char* name;
        const char* mask;
        bool matches;
    };
    const Case cases[] = {
        {"Report Final.TXT", "*.txt", true},
        {"report.txt.bak", "*.txt", false},
        {"notes.md", "*.txt", false},
        {"abc.doc", "a?c.*", true},
        {"ac.doc", "a?c.*", false},
        {"README", "*.*", true},  // ".*" also takes names without an extension
        {"README", "READ*.*", true},
        {"a.b.c", "*.c", true},
        {"a.b.c", "*.b", false},
        {"README", "*.", true},  // a lone "." takes only names without one
        {"read.me", "*.", false},
        {"x.JPG", "*.jpg", true},
        {"Ünïcode.TXT", "ünï*.txt", true},
        {"star*.txt", "star*.txt", true},
        {"", "*.*", true},
        {"abc", "*b*c*", true},
        {"abd", "*b*c*", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FileMaskMatches(QString::fromUtf8(c.name), QString::fromUtf8(c.mask)), c.matches)
            << c.name << " against " << c.mask;
    }
}

}  // namespace
