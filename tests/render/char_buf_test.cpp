// Edits inside one large character buffer: the text stays right wherever the edits fall, and a
// buffer cut down gives its room back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/alloc.h"
#include "layout_util.h"

TEST(CharBuf, EditsInsideOneLargeBufferKeepTheTextAndGiveBackRoom) {
    Seq s;  // no box: only the text is looked at
    std::u32string model;
    std::vector<L_CHAR> big;
    for (int i = 0; i < 20000; i++)
        big.push_back(0xC0060000 | ('a' + i % 26));
    append(s, big);
    for (L_CHAR c : big)
        model += static_cast<char32_t>(c);
    TR_CHAR_BUF* b = s.sq->char_buf_ring.next;
    auto insert = [&](int at, const std::string& t) {
        std::vector<L_CHAR> v = text(t);
        tr_insert_string(s, {b, at}, static_cast<int>(v.size()), fix_style(), nullptr, nullptr, 10,
                         v.data());
        std::u32string u;
        for (L_CHAR c : v)
            u += static_cast<char32_t>(c);
        model.insert(at, u);
    };
    auto cut = [&](int at, int n) {
        tr_delete_string(s, {b, at}, n);
        model.erase(at, n);
    };
    // Edits here and there move the gap both ways; edits at one place reuse it.
    const std::vector<int> places = {100, 19000, 5000, 5000, 5003, 1, 20005, 7777};
    for (size_t i = 0; i < places.size(); i++) {
        SCOPED_TRACE(i);
        insert(places[i], "xyz");
        ASSERT_TRUE(copy_all(s) == model);
        if (i % 2) {
            cut(places[i] + 1, 2);
            ASSERT_TRUE(copy_all(s) == model);
        }
    }
    EXPECT_EQ(b->next, &s.sq->char_buf_ring);  // still one buffer
    // Most of the text cut from the middle: the buffer's block shrinks with it.
    const int64_t before = get_d_used_memory();
    cut(1000, 18000);
    EXPECT_TRUE(copy_all(s) == model);
    EXPECT_LT(get_d_used_memory(), before - 15000 * int64_t{sizeof(TR_CHAR_ELEMENT)});
    insert(1500, "tail");
    insert(1000, "mid");
    EXPECT_TRUE(copy_all(s) == model);
    s.wait();
}
