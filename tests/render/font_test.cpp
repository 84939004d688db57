// Fonts, size choice, conditions and walks over writing styles.
#include "render/font.h"

#include <gtest/gtest.h>

#include "base/alloc.h"
#include "render/vxf.h"
#include "render_util.h"

namespace {

LC_FONT* fake_font(const std::string& name, std::vector<int> sizes, L_CHAR from = 0x20,
                   L_CHAR to = 0x7E) {
    use_fake_engine();
    fake_fonts()[name] = {std::move(sizes), from, to};
    std::vector<L_CHAR> keep;
    L_CHAR lcz[2] = {0, LC_NONE}, mask[2] = {0xFFFF0000, 0xFFFFFFFF};
    return lc_new_font(L(keep, name), lcz, mask, LC_NONE, 0xFFFFFFFF);
}

int chosen(LC_FONT* f, int size, int method) {
    LC_FONT_SIZE_LIST* s = get_lc_font_size_list(f, size, method);
    return s ? s->size : 0;
}

LC_WRITING_STYLE* style(const std::string& name, const std::vector<std::string>& fonts) {
    std::vector<std::vector<L_CHAR>> names;
    auto list = fpn_list(names, fonts);
    std::vector<L_CHAR> keep;
    return new_ws(L(keep, name), list.data(), nullptr, nullptr, nullptr, nullptr);
}

}  // namespace

TEST(RenderFonts, SizeChoiceByMethod) {
    LC_FONT* f = fake_font("fake-sizes", {10, 12, 16});
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(chosen(f, 13, FPN_NEARLY), 12);
    EXPECT_EQ(chosen(f, 13, FPN_SMALL), 12);
    EXPECT_EQ(chosen(f, 12, FPN_SMALL), 12);
    EXPECT_EQ(chosen(f, 13, FPN_LARGE), 16);
    EXPECT_EQ(chosen(f, 13, FPN_JUST), 0);
    EXPECT_EQ(chosen(f, 16, FPN_JUST), 16);
    EXPECT_EQ(chosen(f, 9, FPN_SMALL), 0);
    EXPECT_EQ(chosen(f, 17, FPN_LARGE), 0);
    // A scalable entry counts as distance 1: it loses to an exact size, and to an earlier entry
    // at the same distance, and wins over a later one further away.
    LC_FONT* g = fake_font("fake-scalable", {11, -1, 20});
    EXPECT_EQ(chosen(g, 11, FPN_NEARLY), 11);
    EXPECT_EQ(chosen(g, 12, FPN_NEARLY), 11);
    EXPECT_EQ(chosen(g, 19, FPN_NEARLY), -1);
    EXPECT_EQ(chosen(g, 15, FPN_NEARLY), -1);
    EXPECT_EQ(chosen(g, 20, FPN_NEARLY), 20);
}

TEST(RenderFonts, AFontIsMadeOnceAndBoundToItsKind) {
    LC_FONT* f = fake_font("fake-once", {12});
    ASSERT_NE(f, nullptr);
    std::vector<L_CHAR> keep;
    L_CHAR lcz[2] = {0xC0010000, LC_NONE}, mask[2] = {0xFFFF0000, 0xFFFFFFFF};
    EXPECT_EQ(lc_new_font(L(keep, "fake-once"), lcz, mask, LC_NONE, 0xFFFFFFFF), f);
    EXPECT_EQ(f->lcz[0], 0u);
    EXPECT_EQ(search_wfont(L(keep, "fake-once")), f);
    // No engine takes an unknown name; a kind that is not registered leaves the font unbound.
    EXPECT_EQ(lc_new_font(L(keep, "fake-unknown"), lcz, mask, LC_NONE, 0xFFFFFFFF), nullptr);
    fake_fonts()["fake-unbound"] = {{12}, 0x20, 0x7E};
    LC_FONT* u = lc_new_font(L(keep, "nokind/fake-unbound"), lcz, mask, LC_NONE, 0xFFFFFFFF);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->fe_type, nullptr);

    // "vxf/name": accepted by name under bit 4 with the vxf kind; bound to it once made.
    test_font_root();
    LC_FONT_ENGINE_TYPE* fet[2] = {&vxf_font_engine_type, nullptr};
    LC_WS_COND kind{WSC_KIND, nullptr, fet};
    EXPECT_EQ(check_font_name_and_cond(&kind, L(keep, "vxf/ab")), 0);
    EXPECT_EQ(check_font_name_and_cond(&kind, L(keep, "fake/ab")), -1);
    EXPECT_EQ(check_font_name_and_cond(&kind, L(keep, "ab")), 0);
    LC_FONT_ENGINE* fe[2] = {&fake_engine, nullptr};
    LC_WS_COND eng{WSC_ENGINE, fe, nullptr};
    EXPECT_EQ(check_font_name_and_cond(&eng, L(keep, "fake/x")), 0);
    EXPECT_EQ(check_font_name_and_cond(&eng, L(keep, "vxf/x")), -1);
    L_CHAR uz[2] = {0, LC_NONE}, um[2] = {0xFFFF0000, 0xFFFFFFFF};
    LC_FONT* ab = lc_new_font(L(keep, "vxf/ab"), uz, um, LC_NONE, 0xFFFFFFFF);
    ASSERT_NE(ab, nullptr);
    EXPECT_EQ(ab->fe_type, &vxf_font_engine_type);
    EXPECT_EQ(check_font_and_cond(&kind, ab), 0);
    EXPECT_EQ(check_font_and_cond(&eng, ab), -1);
    LC_WS_COND draws{WSC_DRAWS, nullptr, nullptr};
    EXPECT_EQ(check_font_and_cond(&draws, ab), 0);
    EXPECT_EQ(check_font_and_cond(&draws, f), -1);  // the fake engine draws nothing
    LC_WS_COND kind2 = kind;
    EXPECT_EQ(_lc_cmp_ws_cond(&kind, &kind2), 0);
    LC_FONT_ENGINE_TYPE* none[1] = {nullptr};
    kind2.fet = none;
    EXPECT_EQ(_lc_cmp_ws_cond(&kind, &kind2), -1);
}

TEST(RenderStyles, WalkVisitsDepthFirst) {
    LC_WRITING_STYLE* s = style("walk-S", {});
    LC_WRITING_STYLE* b = style("walk-B", {});
    LC_WRITING_STYLE* c = style("walk-C", {});
    LC_WRITING_STYLE* d = style("walk-D", {});
    ASSERT_EQ(set_ws_child(s, b), 0);
    ASSERT_EQ(set_ws_child(s, c), 0);
    ASSERT_EQ(set_ws_child(b, d), 0);
    EXPECT_EQ(set_ws_child(d, s), -1);  // a cycle would make the walk endless
    LC_WS_COND any = any_cond();
    LC_CWS walk = get_cws(s, &any);
    std::vector<LC_WRITING_STYLE*> order;
    {
        TaskLockGuard g(get_wct_lock());
        while (_next_cws_list(&walk) == 0)
            ;
        for (LC_COND_WRITING_STYLE* cws : walk.list)
            for (LC_WRITING_STYLE* ws : {s, b, c, d})
                for (LC_COND_WRITING_STYLE* x = ws->cws_list; x; x = x->next)
                    if (x == cws) order.push_back(ws);
        _free_lc_cws(&walk);
    }
    EXPECT_EQ(order, (std::vector<LC_WRITING_STYLE*>{s, b, d, c}));
}

TEST(RenderStyles, LanguageListsAndMergedLists) {
    fake_font("fake-un", {12});
    fake_font("fake-un2", {12});
    LC_WRITING_STYLE* s = style("lang-S", {"fake-un"});
    LC_WRITING_STYLE* kid = style("lang-kid", {"fake-un2", "fake-not-a-font"});
    ASSERT_EQ(set_ws_child(s, kid), 0);
    LC_WS_COND any = any_cond();
    TaskLockGuard g(get_wct_lock());
    LC_COND_WRITING_STYLE* cws = __get_cws(s, &any);
    EXPECT_EQ(__get_cws(s, &any), cws);  // one per condition
    // Chinese code sets use the Chinese list only: none here, though un_fonts exist.
    EXPECT_EQ(fitting_font_pri(cws, 0xC0080000), nullptr);
    EXPECT_EQ(fitting_font_pri(cws, 0xC00D0000), nullptr);
    ASSERT_NE(fitting_font_pri(cws, 0), nullptr);
    EXPECT_EQ(fp_len(fitting_font_pri(cws, 0)), 1);
    // Walking with count 0 merges every style's list in visiting order; the font that no engine
    // takes is left out.
    LC_CWS walk = _get_cws(s, &any);
    int count = 0;
    FONT_PRI* fp = cws_fitting_font_pri(&walk, 0, &count);
    EXPECT_EQ(count, -1);
    ASSERT_EQ(fp_len(fp), 2);
    EXPECT_EQ(lstr_text(fp[0].font->fontname), "fake-un");
    EXPECT_EQ(lstr_text(fp[1].font->fontname), "fake-un2");
    d_f_ree(fp);
    _free_lc_cws(&walk);
    // With count 1 the first style's fonts are enough.
    walk = _get_cws(s, &any);
    count = 1;
    fp = cws_fitting_font_pri(&walk, 0, &count);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(fp_len(fp), 1);
    d_f_ree(fp);
    _free_lc_cws(&walk);
}
