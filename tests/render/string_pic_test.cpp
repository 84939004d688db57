// String pictures, the string-picture back end's elements and metrics, and sequence pictures.
#include <gtest/gtest.h>

#include <fstream>

#include "layout_util.h"
#include "render/wct.h"

namespace {
using Lines = std::vector<std::string>;

SP_ELEMENT_WORK* ew(TR_ELEMENT* e) {
    return static_cast<SP_ELEMENT_WORK*>(e->work);
}

std::vector<TR_ELEMENT*> ordinary_elements(TR_BOX_LINE* bl) {
    std::vector<TR_ELEMENT*> v;
    for (TR_ELEMENT* e = bl->el_head.next; e != &bl->el_head; e = e->next)
        if (!e->cr && e->work && ew(e)->len) v.push_back(e);
    return v;
}

TEST(StringPic, RunsBecomeElementsByFontSizeAndAttributes) {
    set_lang_lists(text(" "), {}, {}, {});
    Seq s;
    s.box(box_attr(200));
    TR_ATTR* red = nullptr;
    _tr_set_attr_int_data(&red, TRA_COLOR_T, tr_pack_color(0xFF0000));
    append(s, text("abc"));
    append(s, text("de"), 10, red);
    append(s, text("fg"), 12);
    s.wait();
    tr_lock(s);
    EXPECT_EQ(element_runs(nth_box_line(s, 0, 0)), (Lines{"abc", "de", "fg"}));
    tr_unlock(s);
    _tr_free_attr(red);
}

TEST(StringPic, VerticalLinesCentreUprightCharactersAndTurnRuns) {
    set_lang_lists(text(" "), {}, {}, {});
    Seq s;
    s.box(box_attr(200, -1, 3, TRD_V_R2L));
    append(s, {ja(0x3042), ja(0x3043), 'a', 'b', 'c'});
    s.wait();
    tr_lock(s);
    TR_BOX_LINE* bl = nth_box_line(s, 0, 0);
    ASSERT_NE(bl, nullptr);
    auto els = ordinary_elements(bl);
    ASSERT_EQ(els.size(), 3u);
    // Japanese: one character per element, centred on the line, advancing by its height.
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(ew(els[i])->len, 1);
        const I_RECT& r = ew(els[i])->pic.r;
        EXPECT_EQ(r.tl.x, -5);
        EXPECT_EQ(r.br.x, 5);
        EXPECT_EQ(r.tl.y, 0);
        EXPECT_EQ(r.br.y, 14);
        EXPECT_EQ(ew(els[i])->pic.width, 14);
    }
    // English: one turned element keeping the run's advance.
    EXPECT_EQ(ew(els[2])->len, 3);
    const I_RECT& r = ew(els[2])->pic.r;
    EXPECT_EQ(r.tl.x, -4);
    EXPECT_EQ(r.tl.y, 0);
    EXPECT_EQ(r.br.x, 10);
    EXPECT_EQ(r.br.y, 30);
    EXPECT_EQ(ew(els[2])->pic.width, 30);
    tr_unlock(s);
}

TEST(StringPic, AlignmentPitchAndHeights) {
    set_lang_lists(text(" "), text("-"), {}, {});
    {
        Seq s;  // centre: 61 pixels on a line of 100 start at 19
        s.box(box_attr(100, -1, 1));
        append(s, text("aaaaaai"));
        s.wait();
        tr_lock(s);
        auto els = ordinary_elements(nth_box_line(s, 0, 0));
        ASSERT_EQ(els.size(), 1u);
        EXPECT_EQ(ew(els[0])->offset.x, 19);
        // Pitch 15 of ascent 10 and descent 4.
        TR_BOX_LINE* bl = nth_box_line(s, 0, 0);
        EXPECT_EQ(bl->base_offset, 15);
        EXPECT_EQ(bl->height, 21);
        EXPECT_EQ(ew(els[0])->offset.y, 15);
        tr_unlock(s);
    }
    {
        Seq s;  // justify: four elements with 30 pixels to spare get gaps of 10
        s.box(box_attr(100, -1, 2));
        append(s, text("abc -de"));
        s.wait();
        tr_lock(s);
        auto els = ordinary_elements(nth_box_line(s, 0, 0));
        ASSERT_EQ(els.size(), 4u);
        std::vector<int> x;
        for (TR_ELEMENT* e : els)
            x.push_back(ew(e)->offset.x);
        EXPECT_EQ(x, (std::vector<int>{0, 40, 60, 80}));
        tr_unlock(s);
    }
    {
        Seq s;  // end alignment and start alignment
        s.box(box_attr(100, -1, 4));
        append(s, text("ab"));
        s.wait();
        tr_lock(s);
        EXPECT_EQ(ew(ordinary_elements(nth_box_line(s, 0, 0))[0])->offset.x, 80);
        tr_unlock(s);
    }
}

TEST(StringPic, StepsStandAloneAsTheLayoutUsesThem) {
    set_lang_lists(text(" "), {}, {}, {});
    // Extents per font and size: each pair keeps the largest of each side.
    LC_FONT* f1 = reinterpret_cast<LC_FONT*>(0x10);
    LC_FONT* f2 = reinterpret_cast<LC_FONT*>(0x20);
    struct {
        LC_FONT* font;
        int size, desent, assent;
    } sets[] = {{f1, 10, 5, 5}, {f1, 10, 3, 7}, {f2, 10, 4, 1}, {f1, 12, 2, 2}};
    LHM_T* lhm = nullptr;
    for (auto& x : sets)
        sp_set_lhm(&lhm, x.font, x.size, x.desent, x.assent);
    struct {
        LC_FONT* font;
        int size, desent, assent;  // desent -1: no entry
    } gets[] = {{f1, 10, 5, 7}, {f2, 10, 4, 1}, {f1, 12, 2, 2}, {f2, 12, -1, 0}};
    for (auto& g : gets) {
        LHM_T* h = sp_get_lhm(lhm, g.font, g.size);
        if (g.desent < 0) {
            EXPECT_EQ(h, nullptr);
            continue;
        }
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->desent, g.desent);
        EXPECT_EQ(h->assent, g.assent);
    }
    sp_free_lhm(&lhm);
    EXPECT_EQ(lhm, nullptr);

    // A horizontal line: its length, and its heights measured again at other pitches.
    Seq s;
    s.box(box_attr(100));
    append(s, text("aaaaaai"));
    s.wait();
    tr_lock(s);
    TR_BOX_LINE* bl = nth_box_line(s, 0, 0);
    ASSERT_NE(bl, nullptr);
    int chars = 0;
    EXPECT_EQ(sp_min_line_pixels(s, bl, &chars), 61);
    EXPECT_EQ(chars, 7);
    struct {
        int pitch, base, height;
    } pitches[] = {{10, 10, 14}, {15, 15, 21}, {25, 25, 35}};
    for (auto& p : pitches) {
        bl->attr.pitch = static_cast<int16_t>(p.pitch);
        sp_line_height_metric_horizontal(bl);
        EXPECT_EQ(bl->base_offset, p.base);
        EXPECT_EQ(bl->height, p.height);
        EXPECT_EQ(ew(ordinary_elements(bl)[0])->offset.y, p.base);
    }

    // The line controls: a return sets the line's return direction; glue of weight 1 stays on
    // the element, weight 2 finishes it.
    TR_ELEMENT* el = ordinary_elements(bl)[0];
    TR_CHAR_INFO ci{};
    ci.box = bl->box;
    ci.box_line = bl;
    ci.lang_line = el->ll;
    TR_LL_CTL ctl{};
    ctl.r = {{2}, '\n', TRD_H_R2L};
    EXPECT_EQ(sp_lang_line_ctl_return_code(s, &ci, &ctl).code, TRE_OK);
    EXPECT_EQ(static_cast<SP_BOX_LINE_WORK*>(bl->work)->return_dir, TRD_H_R2L);
    auto* w = static_cast<SP_WORK*>(s.sq->work);
    w->element_ptr = el;
    for (int weight : {1, 2}) {
        ctl.w = {{1}, weight};
        EXPECT_EQ(sp_lang_line_ctl_weight(s, &ci, &ctl).code, TRE_OK);
        EXPECT_EQ(ew(el)->glue_end, weight);
        EXPECT_EQ(w->element_ptr, weight == 1 ? el : nullptr);
    }
    tr_unlock(s);

    // A vertical line: upright characters and a turned run of one font and size share one
    // extent, the widest on each side.
    Seq v;
    v.box(box_attr(200, -1, 3, TRD_V_R2L));
    append(v, {ja(0x3042), 'a', 'b'});
    v.wait();
    tr_lock(v);
    bl = nth_box_line(v, 0, 0);
    ASSERT_NE(bl, nullptr);
    sp_line_height_metric_vertical(bl);
    EXPECT_EQ(bl->desent + bl->assent, 15);
    EXPECT_EQ(bl->base_offset, 8 * 15 / 10);
    EXPECT_EQ(bl->height, 15 * 15 / 10);
    for (TR_ELEMENT* e : ordinary_elements(bl))
        EXPECT_EQ(ew(e)->offset.x, 15 / 2 - 10 - bl->base_offset);
    tr_unlock(v);
}

TEST(StringPic, PicturesComposeAndTurn) {
    test_font_root();
    fix_style();
    // Under the drawing condition a font is named without its kind. Two fonts: "ab" draws A and B
    // at 8 (advance 6), the fixed font the rest.
    static std::vector<L_CHAR> n1 = lchars("ab"), n2 = lchars("fix-ascii"),
                               name = lchars("two-fonts");
    std::vector<FONT_PRI_NAME> v = {
        {n1.data(), {0, LC_NONE}, {0xFFFF0000, 0xFFFFFFFF}, LC_NONE, 0xFFFFFFFF, FPN_JUST},
        {n2.data(), {0, LC_NONE}, {0xFFFF0000, 0xFFFFFFFF}, LC_NONE, 0xFFFFFFFF, FPN_NEARLY},
        {nullptr, {0, 0}, {0, 0}, 0, 0, 0}};
    LC_WRITING_STYLE* ws = new_ws(name.data(), v.data(), nullptr, nullptr, nullptr, nullptr);
    std::vector<L_CHAR> str = lchars("AxB");
    LC_STRING_PIC p;
    get_string_pic(&p, ws, str.data(), 8, TRD_H_L2R);
    EXPECT_EQ(p.width, 6 + 8 + 6);
    EXPECT_EQ(p.r.tl.y, -8);  // the fixed font's ascent
    EXPECT_EQ(p.r.br.y, 3);   // and descent cover the glyphs of "ab"
    ASSERT_NE(p.pic, nullptr);
    // Composing a run whose ink is 255 everywhere leaves the pixels as they were.
    const int W = p.r.br.x - p.r.tl.x, H = p.r.br.y - p.r.tl.y;
    std::vector<unsigned char> before(p.pic, p.pic + W * H);
    LC_STRING_PIC blank{};
    blank.r = {{0, -2}, {4, 1}};
    blank.width = 4;
    blank.pic = static_cast<unsigned char*>(d_alloc(12));
    memset(blank.pic, 255, 12);
    compose_pic(&p, &blank);
    EXPECT_EQ(p.width, 24);
    const int W2 = p.r.br.x - p.r.tl.x;
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++)
            ASSERT_EQ(p.pic[y * W2 + x], before[y * W + x]);
    free_string_pic(&p);
    // Two pictures whose advances together pass 16 bits (or whose area passes a run's bound)
    // compose to no picture, never to one whose width wrapped.
    for (int h : {1, 600}) {
        LC_STRING_PIC a{}, b{};
        int aw = h == 1 ? 20000 : 15000, bw = h == 1 ? 20000 : 15000;
        a.r = {{0, -h}, {aw, 0}};
        a.width = static_cast<int16_t>(aw);
        b = a;
        b.width = static_cast<int16_t>(bw);
        a.pic = static_cast<unsigned char*>(d_alloc(int64_t{aw} * h));
        b.pic = static_cast<unsigned char*>(d_alloc(int64_t{bw} * h));
        EXPECT_FALSE(compose_pic(&a, &b)) << h;
        EXPECT_EQ(a.pic, nullptr);
        EXPECT_EQ(b.pic, nullptr);
        EXPECT_EQ(a.width, INT16_MAX);
        EXPECT_EQ(a.r.br.x - a.r.tl.x, aw + bw);
    }
    // A 3 x 2 raster turns into 2 x 3: the top row is the left column read upward.
    unsigned char px[6] = {1, 2, 3, 4, 5, 6};
    LC_STRING_PIC src{};
    src.r = {{0, -2}, {3, 0}};
    src.pic = px;
    LC_STRING_PIC dst{};
    pic_rotate_90(&dst, &src);
    EXPECT_EQ(dst.r.tl.x, 0);
    EXPECT_EQ(dst.r.tl.y, 0);
    EXPECT_EQ(dst.r.br.x, 2);
    EXPECT_EQ(dst.r.br.y, 3);
    EXPECT_EQ(std::vector<unsigned char>(dst.pic, dst.pic + 6),
              (std::vector<unsigned char>{4, 1, 5, 2, 6, 3}));
    free_string_pic(&dst);
}

// The picture of a sequence as text: '.' empty, '#' ink in colour 0, 'r' red, 'u' a link's
// underline in blue.
std::vector<std::string> art(const PIC& pic) {
    const int W = pic.rect.br.x - pic.rect.tl.x, H = pic.rect.br.y - pic.rect.tl.y;
    if (W <= 0 || H <= 0) return {};
    std::vector<std::string> rows(H, std::string(W, '.'));
    for (PIC_ELEMENT* e = pic.list; e; e = e->next) {
        const int w = e->p.r.br.x - e->p.r.tl.x, h = e->p.r.br.y - e->p.r.tl.y;
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                uint32_t c = e->data[y * w + x];
                if (c == 0x40000000u) continue;
                char ch = c == 0                                                ? '#'
                          : c == static_cast<uint32_t>(tr_pack_color(0xFF0000)) ? 'r'
                                                                                : 'u';
                rows[e->p.r.tl.y - pic.rect.tl.y + y][e->p.r.tl.x - pic.rect.tl.x + x] = ch;
            }
    }
    return rows;
}

void write_p6(const PIC& pic, const std::string& name) {
    const int W = pic.rect.br.x - pic.rect.tl.x, H = pic.rect.br.y - pic.rect.tl.y;
    std::vector<unsigned char> rgb(static_cast<size_t>(W) * H * 3, 255);
    for (PIC_ELEMENT* e = pic.list; e; e = e->next) {
        const int w = e->p.r.br.x - e->p.r.tl.x, h = e->p.r.br.y - e->p.r.tl.y;
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                uint32_t c = e->data[y * w + x];
                if (c & 0x40000000u) continue;
                size_t at = (static_cast<size_t>(e->p.r.tl.y - pic.rect.tl.y + y) * W +
                             (e->p.r.tl.x - pic.rect.tl.x + x)) *
                            3;
                rgb[at] = static_cast<unsigned char>((c >> 2) & 255);
                rgb[at + 1] = static_cast<unsigned char>((c >> 12) & 255);
                rgb[at + 2] = static_cast<unsigned char>((c >> 22) & 255);
            }
    }
    std::ofstream out(test_output_dir() + "/" + name, std::ios::binary);
    out << "P6\n" << W << " " << H << "\n255\n";
    out.write(reinterpret_cast<const char*>(rgb.data()), static_cast<std::streamsize>(rgb.size()));
}

LC_WRITING_STYLE* ab_style() {
    static LC_WRITING_STYLE* ws = [] {
        fix_style();
        static std::vector<L_CHAR> n = lchars("ab"), name = lchars("ab-only");
        std::vector<FONT_PRI_NAME> v = {
            {n.data(), {0, LC_NONE}, {0xFFFF0000, 0xFFFFFFFF}, LC_NONE, 0xFFFFFFFF, FPN_NEARLY},
            {nullptr, {0, 0}, {0, 0}, 0, 0, 0}};
        return new_ws(name.data(), v.data(), nullptr, nullptr, nullptr, nullptr);
    }();
    return ws;
}

TEST(SequencePic, AParagraphDrawsAsExpectedWithColoursAndLinks) {
    Seq empty;
    PIC none;
    sp_get_sequence_pic(&none, empty);
    EXPECT_EQ(none.rect.tl.x, 0);
    EXPECT_EQ(none.rect.tl.y, 0);
    EXPECT_EQ(none.rect.br.x, -1);
    EXPECT_EQ(none.rect.br.y, -1);
    EXPECT_EQ(none.list, nullptr);

    set_lang_lists(text(" "), {}, {}, {});
    Seq s;
    s.box(box_attr(20, -1, 3));
    LC_WRITING_STYLE* ws = ab_style();
    TR_ATTR* red = nullptr;
    _tr_set_attr_int_data(&red, TRA_COLOR_T, tr_pack_color(0xFF0000));
    TR_ATTR* link = nullptr;
    _tr_set_attr_int_data(&link, TRA_COLOR_T, tr_pack_color(0x0000FF));
    std::vector<L_CHAR> target = lchars("x.html");
    tr_lock(s);
    ASSERT_EQ(_tr_set_attr_reference(s, &link, target.data()), 0);
    tr_unlock(s);
    auto add = [&](const std::string& t, TR_ATTR* a) {
        std::vector<L_CHAR> v = text(t);
        tr_insert_string(s, {nullptr, 0}, static_cast<int>(v.size()), ws, a, nullptr, 8, v.data());
    };
    add("AB", nullptr);
    add("B", red);
    add("A", link);
    s.wait();
    PIC pic;
    sp_get_sequence_pic(&pic, s);
    // Line one: "AB" in ink and "B" in red (18 of 20 pixels); the link "A" wraps to line two
    // (lines of 7 * 15 / 10 = 10 pixels), underlined on its bottom row.
    const std::vector<std::string> expect = {
        "..#...####..rrrr..",  //
        ".#.#..#...#.r...r.",  //
        "#...#.#...#.r...r.",  //
        "#...#.####..rrrr..",  //
        "#####.#...#.r...r.",  //
        "#...#.#...#.r...r.",  //
        "#...#.####..rrrr..",  //
        "..................",  //
        "..................",  //
        "..................",  //
        "..u...............",  //
        ".u.u..............",  //
        "u...u.............",  //
        "u...u.............",  //
        "uuuuu.............",  //
        "u...u.............",  //
        "uuuuuu............",  //
    };
    EXPECT_EQ(art(pic), expect);
    int links = 0;
    for (PIC_ELEMENT* e = pic.list; e; e = e->next)
        if (e->flags & 2) {
            links++;
            EXPECT_EQ(lstr_text(e->ref), "x.html");
            const int w = e->p.r.br.x - e->p.r.tl.x, h = e->p.r.br.y - e->p.r.tl.y;
            for (int x = 0; x < w; x++) {
                EXPECT_EQ(e->data[(h - 1) * w + x], static_cast<uint32_t>(tr_pack_color(0xFF)));
                EXPECT_TRUE(!e->alpha || e->alpha[(h - 1) * w + x] == 0);
            }
        }
    EXPECT_EQ(links, 1);
    write_p6(pic, "paragraph.ppm");
    free_pic(&pic);
    _tr_free_attr(red);
    _tr_free_attr(link);
}
}  // namespace

namespace {
// A style of font "grey8": 'A' the one-bit A, 'B' a byte glyph of 6 x 7 pixels with every shade
// 0, 128 and 255 in turn.
LC_WRITING_STYLE* grey_style() {
    static LC_WRITING_STYLE* ws = [] {
        fix_style();
        mkdir_p(test_font_root() + "/grey8");
        vxf_write_text(test_font_root() + "/grey8/sizelist.txt", "8 end");
        VxfGlyph b;
        b.type = 2;
        b.st_y = -7;
        b.end_x = 6;
        b.w = 6;
        for (int i = 0; i < 6 * 7; i++)
            b.bits.push_back(static_cast<uint8_t>(i % 3 == 0 ? 0 : i % 3 == 1 ? 128 : 255));
        vxf_write_file(test_font_root() + "/grey8/8.vxf",
                       vxf_build(8, 0x41, 0x43, {vxf_glyph_art(art_A(), 0, -7, 6), b}));
        static std::vector<L_CHAR> n = lchars("grey8"), name = lchars("grey-only");
        std::vector<FONT_PRI_NAME> v = {
            {n.data(), {0, LC_NONE}, {0xFFFF0000, 0xFFFFFFFF}, LC_NONE, 0xFFFFFFFF, FPN_NEARLY},
            {nullptr, {0, 0}, {0, 0}, 0, 0, 0}};
        return new_ws(name.data(), v.data(), nullptr, nullptr, nullptr, nullptr);
    }();
    return ws;
}
TEST(SequencePic, BoxesLinesAndElementsGatherAsTheWholePicture) {
    set_lang_lists(text(" "), {}, {}, {});
    Seq s;
    s.box(box_attr(30, 20));
    s.box(box_attr(30));
    TR_ATTR* link = nullptr;
    _tr_set_attr_int_data(&link, TRA_COLOR_T, tr_pack_color(0x00FF00));
    std::vector<L_CHAR> target = lchars("y.html");
    tr_lock(s);
    ASSERT_EQ(_tr_set_attr_reference(s, &link, target.data()), 0);
    tr_unlock(s);
    std::vector<L_CHAR> t = text("AB BA AAB B AB BA");
    tr_insert_string(s, {nullptr, 0}, static_cast<int>(t.size()), grey_style(), nullptr, nullptr, 8,
                     t.data());
    tr_insert_string(s, {nullptr, 0}, 2, ab_style(), link, nullptr, 8, t.data());
    s.wait();
    PIC whole, parts, one;
    sp_get_sequence_pic(&whole, s);
    parts = {{{0, 0}, {-1, -1}}, nullptr, nullptr};
    one = parts;
    tr_lock(s);
    TR_SEQUENCE* sq = s;
    ASSERT_NE(sq->box_ring.next->next, &sq->box_ring);  // the text runs into the second box
    for (TR_BOX* b = sq->box_ring.next; b->seq; b = b->next)
        sp_get_pic_box(&parts, sq, b);
    // The last element alone, at the origin of its line, is the head of the list.
    TR_BOX* last = sq->box_ring.prev;
    TR_BOX_LINE* bl = last->line_list;
    while (bl->next)
        bl = bl->next;
    const I_POINT origin = p_addi(static_cast<SP_BOX_WORK*>(last->work)->offset,
                                  static_cast<SP_BOX_LINE_WORK*>(bl->work)->offset);
    sp_get_pic_element(&one, sq, ordinary_elements(bl).back(), origin);
    tr_unlock(s);
    auto same = [](const PIC_ELEMENT* a, const PIC_ELEMENT* b) {
        const I_RECT &ra = a->p.r, &rb = b->p.r;
        ASSERT_EQ(std::vector<int>({ra.tl.x, ra.tl.y, ra.br.x, ra.br.y}),
                  std::vector<int>({rb.tl.x, rb.tl.y, rb.br.x, rb.br.y}));
        EXPECT_EQ(a->flags, b->flags);
        EXPECT_EQ(a->ref == nullptr, b->ref == nullptr);
        if (a->ref && b->ref) {
            EXPECT_EQ(l_strcmp(a->ref, b->ref), 0);
        }
        EXPECT_EQ(a->alpha == nullptr, b->alpha == nullptr);
        const int n = (ra.br.x - ra.tl.x) * (ra.br.y - ra.tl.y);
        for (int k = 0; k < n; k++)
            ASSERT_EQ(a->data[k], b->data[k]) << k;
    };
    int count = 0;
    const PIC_ELEMENT* b = parts.list;
    for (const PIC_ELEMENT* a = whole.list; a; a = a->next, b = b->next, count++) {
        ASSERT_NE(b, nullptr);
        same(a, b);
    }
    EXPECT_EQ(b, nullptr);
    EXPECT_GE(count, 4);
    EXPECT_EQ(whole.list->flags, 2);  // the link ends the text
    EXPECT_EQ(
        std::vector<int>({whole.rect.tl.x, whole.rect.tl.y, whole.rect.br.x, whole.rect.br.y}),
        std::vector<int>({parts.rect.tl.x, parts.rect.tl.y, parts.rect.br.x, parts.rect.br.y}));
    ASSERT_NE(one.list, nullptr);
    EXPECT_EQ(one.list->next, nullptr);
    same(whole.list, one.list);
    free_pic(&whole);
    free_pic(&parts);
    free_pic(&one);
    _tr_free_attr(link);
}

}  // namespace

// Every element's colours follow its own drawing, whatever was drawn before it; an element with
// grey pixels keeps its raster as alpha, one of full ink only has none.
TEST(SequencePic, ColoursAndAlphaFollowEachElementsDrawing) {
    set_lang_lists(text(" "), {}, {}, {});
    Seq s;
    s.box(box_attr(400));
    LC_WRITING_STYLE* ws = grey_style();
    TR_ATTR *red = nullptr, *blue = nullptr;
    _tr_set_attr_int_data(&red, TRA_COLOR_T, tr_pack_color(0xFF0000));
    _tr_set_attr_int_data(&blue, TRA_COLOR_T, tr_pack_color(0x0000FF));
    auto add = [&](const std::string& t, TR_ATTR* a) {
        std::vector<L_CHAR> v = text(t);
        tr_insert_string(s, {nullptr, 0}, static_cast<int>(v.size()), ws, a, nullptr, 8, v.data());
    };
    // Runs long enough for the sixteen-pixel steps, with short ones between.
    add("AAAAAAA", nullptr);
    add("BBBBB", red);
    add("A", blue);
    add("BBBBBBBB", nullptr);
    add("AA", red);
    s.wait();
    PIC pic;
    sp_get_sequence_pic(&pic, s);
    LC_FONT* font =
        lc_new_font(lchars("grey8").data(), std::vector<L_CHAR>{0, LC_NONE}.data(),
                    std::vector<L_CHAR>{0xFFFF0000, 0xFFFFFFFF}.data(), LC_NONE, 0xFFFFFFFF);
    ASSERT_NE(font, nullptr);
    std::vector<std::string> runs;
    std::vector<uint32_t> inks;
    for (PIC_ELEMENT* e = pic.list; e; e = e->next) {
        const int w = e->p.r.br.x - e->p.r.tl.x, h = e->p.r.br.y - e->p.r.tl.y;
        ASSERT_EQ(h, 7);
        ASSERT_EQ(w % 6, 0);
        ASSERT_NE(e->data, nullptr);
        // Which run this is: its ink colour and whether its first glyph is grey.
        const bool grey = e->alpha != nullptr;
        const std::string run(static_cast<size_t>(w / 6), grey ? 'B' : 'A');
        runs.insert(runs.begin(), run);
        std::vector<L_CHAR> str = text(run);
        LC_STRING_PIC own{};
        get_string_pic_font(&own, font, 8, str.data(), static_cast<int>(str.size()), 0);
        ASSERT_NE(own.pic, nullptr);
        ASSERT_EQ(own.width, w);
        uint32_t ink = 0x40000000u;
        for (int i = 0; i < w * h && ink == 0x40000000u; i++)
            ink = e->data[i];
        inks.insert(inks.begin(), ink);
        for (int i = 0; i < w * h; i++) {
            EXPECT_EQ(e->data[i], own.pic[i] < 255 ? ink : 0x40000000u) << run << " " << i;
            if (grey) {
                EXPECT_EQ(e->alpha[i], own.pic[i]) << run << " " << i;
            }
        }
        free_string_pic(&own);
    }
    EXPECT_EQ(runs, (std::vector<std::string>{"AAAAAAA", "BBBBB", "A", "BBBBBBBB", "AA"}));
    const uint32_t r = static_cast<uint32_t>(tr_pack_color(0xFF0000));
    const uint32_t b = static_cast<uint32_t>(tr_pack_color(0x0000FF));
    EXPECT_EQ(inks, (std::vector<uint32_t>{0, r, b, 0, r}));
    free_pic(&pic);
    _tr_free_attr(red);
    _tr_free_attr(blue);
}

// A run turned on a vertical line is drawn, turned, into its element's colours.
TEST(SequencePic, TurnedRunsAreDrawnTurned) {
    set_lang_lists(text(" "), {}, {}, {});
    Seq s;
    s.box(box_attr(200, -1, 3, TRD_V_R2L));
    LC_WRITING_STYLE* ws = grey_style();
    std::vector<L_CHAR> v = text("AAAAB");
    tr_insert_string(s, {nullptr, 0}, static_cast<int>(v.size()), ws, nullptr, nullptr, 8,
                     v.data());
    s.wait();
    PIC pic;
    sp_get_sequence_pic(&pic, s);
    ASSERT_NE(pic.list, nullptr);
    ASSERT_EQ(pic.list->next, nullptr);
    PIC_ELEMENT* e = pic.list;
    LC_FONT* font =
        lc_new_font(lchars("grey8").data(), std::vector<L_CHAR>{0, LC_NONE}.data(),
                    std::vector<L_CHAR>{0xFFFF0000, 0xFFFFFFFF}.data(), LC_NONE, 0xFFFFFFFF);
    LC_STRING_PIC run{}, turned{};
    get_string_pic_font(&run, font, 8, v.data(), static_cast<int>(v.size()), 0);
    pic_rotate_90(&turned, &run);
    const int w = e->p.r.br.x - e->p.r.tl.x, h = e->p.r.br.y - e->p.r.tl.y;
    ASSERT_EQ(w, turned.r.br.x - turned.r.tl.x);
    ASSERT_EQ(h, turned.r.br.y - turned.r.tl.y);
    ASSERT_NE(e->alpha, nullptr);  // 'B' is grey
    for (int i = 0; i < w * h; i++) {
        EXPECT_EQ(e->data[i], turned.pic[i] < 255 ? 0u : 0x40000000u) << i;
        EXPECT_EQ(e->alpha[i], turned.pic[i]) << i;
    }
    free_string_pic(&run);
    free_string_pic(&turned);
    free_pic(&pic);
}

// Every element drawn alone through the back end (into a buffer when it fits, else into a block
// of its own) has the rectangle it was measured with and the pixels the sequence picture shows
// for it: horizontal runs of two engines and colours, one-character elements (spaces), upright
// characters centred on a vertical line and runs turned on it.
TEST(SequencePic, ElementsDrawnAloneMatchTheSequencePicture) {
    set_lang_lists(text(" "), {}, {}, {});
    TR_ATTR* red = nullptr;
    _tr_set_attr_int_data(&red, TRA_COLOR_T, tr_pack_color(0xFF0000));
    auto add = [](Seq& s, const std::vector<L_CHAR>& v, LC_WRITING_STYLE* ws, TR_ATTR* a) {
        tr_insert_string(s, {nullptr, 0}, static_cast<int>(v.size()), ws, a, nullptr, 8, v.data());
    };
    Seq h;
    h.box(box_attr(60));
    add(h, text("AB BA AAAB B "), grey_style(), nullptr);
    add(h, text("BBA A"), ab_style(), red);
    add(h, text(" AB"), grey_style(), red);
    Seq v;
    v.box(box_attr(60, -1, 3, TRD_V_R2L));
    add(v, {ja(0x3042), ja(0x3043), 'a', 'b', ' ', 'c', ja(0x3044)}, fix_style(), red);
    h.wait();
    v.wait();
    for (Seq* s : {&h, &v}) {
        PIC pic;
        sp_get_sequence_pic(&pic, *s);
        std::vector<PIC_ELEMENT*> shown;
        for (PIC_ELEMENT* e = pic.list; e; e = e->next)
            shown.insert(shown.begin(), e);
        tr_lock(*s);
        std::vector<TR_ELEMENT*> els;
        TR_SEQUENCE* sq = *s;
        for (TR_BOX* b = sq->box_ring.next; b->seq; b = b->next)
            for (TR_BOX_LINE* bl = b->line_list; bl; bl = bl->next)
                for (TR_ELEMENT* e : ordinary_elements(bl))
                    els.push_back(e);
        ASSERT_EQ(els.size(), shown.size());
        ASSERT_GE(els.size(), 6u);
        for (int64_t cap : {int64_t{0}, int64_t{40}, int64_t{4096}}) {
            std::vector<unsigned char> buf(static_cast<size_t>(cap) + 1, 7);
            for (size_t i = 0; i < els.size(); i++) {
                SCOPED_TRACE(testing::Message() << "element " << i << " cap " << cap);
                LC_STRING_PIC p;
                ASSERT_TRUE(sp_draw_element(&p, els[i], buf.data(), cap));
                const I_RECT& m = ew(els[i])->pic.r;
                EXPECT_EQ(p.r.br.x - p.r.tl.x, m.br.x - m.tl.x);
                EXPECT_EQ(p.r.br.y - p.r.tl.y, m.br.y - m.tl.y);
                EXPECT_EQ(p.width, ew(els[i])->pic.width);
                const PIC_ELEMENT* e = shown[i];
                const int w = e->p.r.br.x - e->p.r.tl.x, hh = e->p.r.br.y - e->p.r.tl.y;
                ASSERT_EQ(w, p.r.br.x - p.r.tl.x);
                ASSERT_EQ(hh, p.r.br.y - p.r.tl.y);
                ASSERT_NE(p.pic, nullptr);
                // The vxf engine draws an upright run into the buffer when it fits; nothing
                // is drawn there when it does not.
                if (s == &h || int64_t{w} * hh > cap) {
                    EXPECT_EQ(p.pic == buf.data(), int64_t{w} * hh <= cap);
                }
                uint32_t ink = 0x40000000u;
                for (int k = 0; k < w * hh && ink == 0x40000000u; k++)
                    ink = e->data[k];
                for (int k = 0; k < w * hh; k++) {
                    EXPECT_EQ(e->data[k], p.pic[k] < 255 ? ink : 0x40000000u) << k;
                    if (e->alpha) {
                        EXPECT_EQ(e->alpha[k], p.pic[k]) << k;
                    }
                }
                sp_free_element_pic(&p, buf.data());
            }
            EXPECT_EQ(buf[static_cast<size_t>(cap)], 7);  // nothing written past the room given
        }
        // A line return or a destroyed run has no picture.
        TR_ELEMENT none{};
        LC_STRING_PIC p;
        EXPECT_FALSE(sp_draw_element(&p, &none, nullptr, 0));
        EXPECT_EQ(p.pic, nullptr);
        tr_unlock(*s);
        free_pic(&pic);
    }
    _tr_free_attr(red);
}

// A size file draws the codes from its first up to, not including, its end code: the end code is
// the next font's in a list, never claimed and drawn blank by the first.
TEST(StringPic, AFontsEndCodeBelongsToTheNextFont) {
    const std::string& root = test_font_root();
    mkdir_p(root + "/cd");
    vxf_write_text(root + "/cd/sizelist.txt", "8 end");
    // "ab" covers [A, C); "cd" covers [C, E).
    vxf_write_file(root + "/cd/8.vxf",
                   vxf_build(8, 0x43, 0x45,
                             {vxf_glyph_art(art_A(), 0, -7, 6), vxf_glyph_art(art_B(), 0, -7, 6)}));
    std::vector<std::vector<L_CHAR>> names;
    auto list = fpn_list(names, {"ab", "cd"});
    std::vector<L_CHAR> k;
    LC_WRITING_STYLE* ws =
        new_ws(L(k, "ab-then-cd"), list.data(), nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(ws, nullptr);
    LC_WS_COND any = any_cond();
    const L_CHAR text[] = {'A', 'B', 'C', 'D', 0};
    LCF_SET* r = ws_convert(ws, &any, 8, text, 4, 0);
    std::string fonts;
    for (int i = 0; r[i].ch; i++)
        fonts += std::string(1, static_cast<char>(r[i].ch)) + "=" +
                 (r[i].font ? lstr_text(r[i].font->fontname) : "-") + " ";
    d_f_ree(r);
    EXPECT_EQ(fonts, "A=ab B=ab C=cd D=cd ");
}
