// Layout of sequences on the string-picture back end with a font of fixed metrics.
#include <gtest/gtest.h>

#include "layout_util.h"

namespace {
using Lines = std::vector<std::string>;

TEST(Layout, EnglishWrapsAtTheLastSpace) {
    set_lang_lists(text(" "), text("-"), {}, {});
    Seq s;
    s.box(box_attr(100));
    append(s, text("aaa bbb ccc ddd-eee"));
    s.wait();
    EXPECT_EQ(box_lines(s), (Lines{"b0:aaa bbb ", "b0: ccc ddd-", "b0:eee"}));
}
}  // namespace
