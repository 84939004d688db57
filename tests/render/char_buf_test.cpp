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

namespace {
// The pieces of b tile its characters in order, none empty or over the most; "" or the fault.
std::string piece_fault(TR_CHAR_BUF* b) {
    int at = 0;
    for (int k = 0; k < b->n_pieces; k++) {
        const TR_PIECE& pc = b->pieces[k];
        if (pc.start != at) return "piece " + std::to_string(k) + " starts off its place";
        if (pc.len <= 0 || pc.len > pc.cap || pc.cap > TR_PIECE_MAX)
            return "piece " + std::to_string(k) + " has a bad length";
        at += pc.len;
    }
    return at == b->buf_len ? "" : "the pieces do not add up to the buffer";
}
}  // namespace

TEST(CharBuf, PiecesStayInOrderThroughSplitsMergesAndLongCuts) {
    Seq s;
    std::u32string model;
    std::vector<L_CHAR> big;
    for (int i = 0; i < 3 * TR_PIECE_MAX; i++)
        big.push_back(0xC0060000 | ('a' + i % 26));
    append(s, big);
    model.assign(big.begin(), big.end());
    TR_CHAR_BUF* b = s.sq->char_buf_ring.next;
    ASSERT_GT(b->n_pieces, 3);
    ASSERT_NE(b->slab, nullptr);
    ASSERT_EQ(piece_fault(b), "");
    auto insert = [&](int at, int n, char c) {
        std::vector<L_CHAR> v(n, static_cast<L_CHAR>(c));
        tr_insert_string(s, {b, at}, n, fix_style(), nullptr, nullptr, 10, v.data());
        model.insert(at, std::u32string(n, static_cast<char32_t>(c)));
    };
    auto cut = [&](int at, int n) {
        tr_delete_string(s, {b, at}, n);
        model.erase(at, n);
    };
    auto check = [&](const char* what) {
        SCOPED_TRACE(what);
        tr_lock(s);
        EXPECT_EQ(piece_fault(b), "");
        tr_unlock(s);
        EXPECT_TRUE(copy_all(s) == model);
    };
    // At a piece's start and end, typing fills a piece until it splits (a position 0 would
    // make a buffer of its own).
    const int first_end = b->pieces[0].len;
    for (int i = 0; i < TR_PIECE_MAX / 8; i++) {
        insert(first_end + 9 * i, 8, 'x');
        insert(1, 1, 'y');
    }
    check("typing at piece edges");
    // More than a piece at once in the middle, and at the very end.
    insert(static_cast<int>(model.size()) / 2, 5 * TR_PIECE_MAX + 17, 'z');
    insert(static_cast<int>(model.size()), 2 * TR_PIECE_MAX, 'w');
    check("long insertions");
    // Cuts over several pieces, from a piece's middle to another's, and of whole pieces.
    cut(100, 3 * TR_PIECE_MAX);
    cut(static_cast<int>(model.size()) - TR_PIECE_MAX - 5, TR_PIECE_MAX);
    check("long cuts");
    // Nibbling one character at a time off a piece's end merges what is left into neighbours.
    const int before_pieces = b->n_pieces;
    for (int i = 0; i < TR_PIECE_MAX; i++)
        cut(TR_PIECE_MAX / 2, 1);
    check("nibbling");
    EXPECT_LE(b->n_pieces, before_pieces);
    // All but a few characters go: the pieces' blocks follow.
    const int64_t used = get_d_used_memory();
    cut(3, static_cast<int>(model.size()) - 6);
    check("almost all cut");
    EXPECT_EQ(b->next, &s.sq->char_buf_ring);  // still one buffer
    EXPECT_LE(b->n_pieces, 2);
    EXPECT_EQ(b->slab, nullptr);  // the block the text was made in went with its last pieces
    EXPECT_LT(get_d_used_memory(), used - 4 * TR_PIECE_MAX * int64_t{sizeof(TR_CHAR_ELEMENT)});
    s.wait();
}
