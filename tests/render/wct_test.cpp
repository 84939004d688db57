// String conversion through code tables, sharing of equal tables, font selection, first use.
#include "render/wct.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "base/alloc.h"
#include "base/task.h"
#include "longchar/codemethod.h"
#include "render/style.h"
#include "render/vxf.h"
#include "render_util.h"
#include "support/sync_util.h"

namespace {

LC_WRITING_STYLE* style(const std::string& name, const std::vector<std::string>& fonts) {
    std::vector<std::vector<L_CHAR>> names;
    auto list = fpn_list(names, fonts);
    std::vector<L_CHAR> keep;
    return new_ws(L(keep, name), list.data(), nullptr, nullptr, nullptr, nullptr);
}

void fake(const std::string& name, std::vector<int> sizes, L_CHAR from, L_CHAR to) {
    use_fake_engine();
    fake_fonts()[name] = {std::move(sizes), from, to};
}

struct Answer {
    L_CHAR ch;
    std::string font;
    int size;
    bool operator==(const Answer&) const = default;
};

std::vector<Answer> convert(LC_WRITING_STYLE* ws, int size, const std::vector<L_CHAR>& text) {
    LC_WS_COND any = any_cond();
    LCF_SET* r = ws_convert(ws, &any, size, text.data(), static_cast<int>(text.size()), 0);
    std::vector<Answer> v;
    int i = 0;
    for (; r[i].ch; i++)
        v.push_back({r[i].ch, lstr_text(r[i].font->fontname), r[i].size});
    EXPECT_EQ(r[i].font, nullptr);
    d_f_ree(r);
    return v;
}

WRITABLE_CODE_TABLE* unicode_table(LC_WRITING_STYLE* ws) {
    return ws->cws_list && ws->cws_list->wct ? _search_w(ws->cws_list->wct, 0) : nullptr;
}

}  // namespace

TEST(RenderConvert, CharactersGetTheirFontsAndUndrawnOnesTheirMark) {
    test_font_root();
    fake("fake-ascii", {12}, 0x20, 0x7E);
    LC_WRITING_STYLE* ws = style("conv", {"vxf/ab", "fake-ascii"});
    EXPECT_EQ(convert(ws, 8, {'A', 'B'}), (std::vector<Answer>{{'A', "ab", 8}, {'B', "ab", 8}}));
    testing::internal::CaptureStdout();
    auto got = convert(ws, 8, {'A', 0x30AB, 'B'});
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "CONVERT ERROR 30ab\n");
    std::vector<Answer> expect = {{'A', "ab", 8}};
    for (char c : std::string("&cx30ab;"))
        expect.push_back({static_cast<L_CHAR>(c), "fake-ascii", 12});
    expect.push_back({'B', "ab", 8});
    EXPECT_EQ(got, expect);
    // A style without fonts keeps nothing but the end record.
    LC_WRITING_STYLE* empty = style("conv-empty", {});
    testing::internal::CaptureStdout();
    EXPECT_TRUE(convert(empty, 8, {'A'}).empty());
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "CONVERT ERROR 41\n");
}

TEST(RenderConvert, ChildStylesAnswerWhatTheParentCannot) {
    fake("fake-digits", {10}, '0', '9');
    fake("fake-letters", {10}, 'a', 'z');
    LC_WRITING_STYLE* parent = style("conv-parent", {"fake-digits"});
    LC_WRITING_STYLE* child = style("conv-child", {"fake-letters"});
    ASSERT_EQ(set_ws_child(parent, child), 0);
    EXPECT_EQ(convert(parent, 10, {'1', 'x'}),
              (std::vector<Answer>{{'1', "fake-digits", 10}, {'x', "fake-letters", 10}}));
}

TEST(RenderConvert, EqualTablesAreSharedUntilOneIsWritten) {
    fake("fake-merge", {12}, 'a', 'z');
    LC_WRITING_STYLE* s1 = style("merge-1", {"fake-merge"});
    LC_WRITING_STYLE* s2 = style("merge-2", {"fake-merge"});
    convert(s1, 12, {'m'});
    convert(s2, 12, {'m'});
    WRITABLE_CODE_TABLE* w1 = unicode_table(s1);
    WRITABLE_CODE_TABLE* w2 = unicode_table(s2);
    ASSERT_TRUE(w1 && w2);
    EXPECT_NE(w1->lc_tbl, w2->lc_tbl);
    tick_lc_table(0, 0);
    TaskLockGuard g(get_wct_lock());
    ASSERT_EQ(w1->lc_tbl, w2->lc_tbl);
    LC_TABLE* shared = w1->lc_tbl;
    EXPECT_EQ(shared->ref, 2);
    _write_char_w(w1, 'q', nullptr, 0, LC_NONE);
    EXPECT_NE(w1->lc_tbl, shared);
    EXPECT_EQ(w1->lc_tbl->ref, 1);
    EXPECT_EQ(shared->ref, 1);
    EXPECT_EQ(w1->lc_tbl->tbl['m'].ch, 'm');
    EXPECT_EQ(w1->lc_tbl->tbl['q'].ch, LC_NONE);
    EXPECT_EQ(shared->tbl['q'].ch, 'q');
}

TEST(RenderConvert, ScalableFontsServeEverySize) {
    fake("fake-scal", {-1}, 0x20, 0x7E);
    LC_WRITING_STYLE* ws = style("scal", {"fake-scal"});
    EXPECT_EQ(convert(ws, 10, {'A'}), (std::vector<Answer>{{'A', "fake-scal", 10}}));
    EXPECT_EQ(convert(ws, 20, {'A'}), (std::vector<Answer>{{'A', "fake-scal", 20}}));
    ASSERT_NE(ws->cws_list, nullptr);
    ASSERT_NE(ws->cws_list->wct, nullptr);
    EXPECT_EQ(ws->cws_list->wct->size, -1);
    EXPECT_EQ(ws->cws_list->wct->next, nullptr);
    // A fixed-size font pins the table to the size it was made for.
    fake("fake-fixed", {10}, 0x20, 0x7E);
    LC_WRITING_STYLE* fixed = style("fixed", {"fake-fixed"});
    convert(fixed, 10, {'A'});
    EXPECT_EQ(fixed->cws_list->wct->size, 10);
}

// A table filled for every size keeps answering the size asked once a fixed-size font of another
// code set keeps its WCT to one size; the fixed font answers its own size.
TEST(RenderConvert, TablesForEverySizeAnswerTheSizeAskedOncePinned) {
    constexpr L_CHAR kJ = 0xC0012F21;  // a row of a code set no other set maps to
    fake("fake-pin-scal", {-1}, 0x20, 0x7E);
    fake("fake-pin-fixed", {16}, kJ, kJ + 10);
    std::vector<L_CHAR> n1 = lchars("fake-pin-scal"), n2 = lchars("fake-pin-fixed"), keep;
    std::vector<FONT_PRI_NAME> fonts = {
        {n1.data(), {0, LC_NONE}, {0xFFFF0000, 0xFFFFFFFF}, LC_NONE, 0xFFFFFFFF, FPN_NEARLY},
        {n2.data(),
         {0xC0010000, LC_NONE},
         {0xFFFF0000, 0xFFFFFFFF},
         LC_NONE,
         0xFFFFFFFF,
         FPN_NEARLY},
        {nullptr, {0, 0}, {0, 0}, 0, 0, 0}};
    LC_WRITING_STYLE* ws = new_ws(L(keep, "pin"), fonts.data(), nullptr, nullptr, nullptr, nullptr);
    struct Step {
        int size;
        L_CHAR ch;
        Answer want;
        int wct_size;  // of the WCT serving the size, after the step
    };
    const Step steps[] = {
        {10, 'A', {'A', "fake-pin-scal", 10}, -1}, {20, 'A', {'A', "fake-pin-scal", 20}, -1},
        {20, kJ, {kJ, "fake-pin-fixed", 16}, 20},  // pins the WCT to 20
        {20, 'A', {'A', "fake-pin-scal", 20}, 20}, {20, 'B', {'B', "fake-pin-scal", 20}, 20},
        {10, 'A', {'A', "fake-pin-scal", 10}, 10},  // another size gets a WCT of its own
        {30, 'A', {'A', "fake-pin-scal", 30}, 30},
    };
    for (const Step& st : steps) {
        SCOPED_TRACE("size " + std::to_string(st.size) + " char " + std::to_string(st.ch));
        EXPECT_EQ(convert(ws, st.size, {st.ch}), (std::vector<Answer>{st.want}));
        TaskLockGuard g(get_wct_lock());
        WCT* w = _get_wct(ws->cws_list, st.size);
        EXPECT_EQ(w->size, st.wct_size);
    }
}

TEST(RenderSelect, TheFontDrawingMostCharactersWins) {
    fake("fake-selA", {12}, 'a', 'c');
    fake("fake-selB", {14}, 'x', 'y');
    LC_WRITING_STYLE* ws = style("select", {"fake-selB", "fake-selA"});
    LC_WS_COND any = any_cond();
    std::vector<L_CHAR> keep;
    int size = 0;
    LC_FONT* f = lc_select_font(&size, L(keep, "abcxy"), 5, ws, 12, &any, 0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(lstr_text(f->fontname), "fake-selA");
    EXPECT_EQ(size, 12);
    // At equal counts the better priority wins.
    f = lc_select_font(&size, L(keep, "axy"), 3, ws, 12, &any, 0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(lstr_text(f->fontname), "fake-selB");
    EXPECT_EQ(lc_select_font(&size, L(keep, "QQ"), 2, ws, 12, &any, 0), nullptr);
    EXPECT_EQ(lc_select_font(&size, L(keep, ""), 0, ws, 12, &any, 0), nullptr);
}

// A negative length counts no character, as an empty string: no font, and the walk over the
// styles reported over, so that the search for a font ends.
TEST(RenderSelect, ANegativeLengthCountsNoCharacter) {
    fake("fake-selN", {12}, 'a', 'c');
    LC_WRITING_STYLE* ws = style("select-negative", {"fake-selN"});
    LC_WS_COND any = any_cond();
    std::vector<L_CHAR> keep;
    const L_CHAR* text = L(keep, "abc");
    int size = 0;
    // The text with its length finds its font.
    EXPECT_NE(lc_select_font(&size, text, 3, ws, 12, &any, 0), nullptr);
    int count = 1;
    {
        TaskLockGuard g(get_wct_lock());
        EXPECT_EQ(__lc_select_font(&size, text, -1, ws, 12, &any, 0, &count), nullptr);
    }
    EXPECT_LT(count, 0);
    // The whole search, on a thread of its own so that a search without end fails the test.
    std::atomic<bool> done{false};
    LC_FONT* found = reinterpret_cast<LC_FONT*>(1);
    std::thread t([&] {
        found = lc_select_font(&size, text, -3, ws, 12, &any, 0);
        done = true;
    });
    if (!wait_until([&] { return done.load(); }, 20000)) {
        t.detach();
        FAIL() << "the font search for a negative length did not end";
    }
    t.join();
    EXPECT_EQ(found, nullptr);
}

TEST(RenderConvert, ConversionsDuringMergesFromSeveralThreads) {
    fake("fake-busy", {12}, 0x20, 0x7E);
    LC_WRITING_STYLE* ws = style("busy", {"fake-busy"});
    std::vector<std::thread> t;
    for (int k = 0; k < 3; k++)
        t.emplace_back([&, k] {
            for (int i = 0; i < 20; i++) {
                auto got = convert(ws, 12 + (i + k) % 3, {'a', 'b'});
                EXPECT_EQ(got.size(), 2u);
            }
        });
    t.emplace_back([] {
        for (int i = 0; i < 20; i++)
            tick_lc_table(0, 0);
    });
    for (auto& th : t)
        th.join();
}

TEST(RenderConvert, SmallRoutines) {
    std::vector<L_CHAR> keep;
    const L_CHAR* s = L(keep, "ab");
    LCF_SET* r = str2lcf(s, 2, nullptr, 7);
    EXPECT_EQ(r[1].ch, 'b');
    EXPECT_EQ(r[1].size, 7);
    d_f_ree(r);
    LCZ_SET sets[3] = {{0xC0010000, 0}, {0, 0}, {LC_NONE, 0}};
    EXPECT_EQ(get_hit_code(sets, s, 2), &sets[1]);
    char* b = code_convert_lc2str(s, std_cm, 0);
    EXPECT_STREQ(b, "ab");
    d_f_ree(b);
    b = get_machine_filename_string(s);
    EXPECT_STREQ(b, "ab");
    d_f_ree(b);
    // File names are written in file_cm, the default method unless changed.
    EXPECT_EQ(file_cm, std_cm);
    const L_CHAR e_acute[] = {0xE9, 0};
    CODE_METHOD* saved = file_cm;
    file_cm = &utf8_cm;
    b = get_machine_filename_string(e_acute);
    file_cm = saved;
    EXPECT_STREQ(b, "\xC3\xA9");
    d_f_ree(b);
    b = code_convert_str("xy", std_cm, std_cm, 0);
    EXPECT_STREQ(b, "xy");
    d_f_ree(b);
    check_str(s, 2);
}

// Nothing of the renderer starts with the program; the first use from many threads at once
// initialises it once. Run in a fresh process, since any earlier test has used the renderer.
TEST(RenderFirstUse, StartsOnceOnFirstUse) {
    std::error_code ec;
    std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    ASSERT_FALSE(ec);
    std::string cmd =
        "VX_RENDER_PROBE=1 '" + self + "' --gtest_filter=RenderFresh.Probe >/dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}

TEST(RenderFresh, Probe) {
    if (!getenv("VX_RENDER_PROBE")) GTEST_SKIP() << "run by RenderFirstUse in a fresh process";
    ASSERT_EQ(fe_list, nullptr);
    ASSERT_EQ(wfont_list, nullptr);
    ASSERT_EQ(lc_table_list, nullptr);
    test_font_root();
    std::vector<std::thread> t;
    for (int i = 0; i < 8; i++)
        t.emplace_back([] {
            std::vector<L_CHAR> keep;
            L_CHAR lcz[2] = {0, LC_NONE}, mask[2] = {0xFFFF0000, 0xFFFFFFFF};
            EXPECT_NE(lc_new_font(L(keep, "vxf/ab"), lcz, mask, LC_NONE, 0xFFFFFFFF), nullptr);
        });
    for (auto& th : t)
        th.join();
    int engines = 0;
    for (LC_FONT_ENGINE* fe = fe_list; fe; fe = fe->next)
        engines += fe == &vxf_font_engine;
    ASSERT_EQ(engines, 1);
    ASSERT_NE(vxf_font_root(), nullptr);
}
