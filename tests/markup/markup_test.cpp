// Markup: QV text with CENTER, BR, A and FONT filling a layout sequence, and its picture.
// Markup runs in a program of its own: its first-use test needs a process where nothing has
// touched the markup environment yet.
#include "geo/markup.h"

#include <gtest/gtest.h>

#include <fstream>

#include "base/task.h"
#include "lisp/eval.h"
#include "lisp/parser.h"
#include "lisp/vxlisp.h"
#include "render/layout_util.h"
#include "support/sync_util.h"

namespace {

QV_SEXP* lookup_html() {
    return eval(vxlisp_top_env1, n_get_symbol("___HTML"));
}

// First in this program: nothing of the markup exists before its first use, which from eight
// tasks at once makes one environment.
TEST(Markup, FirstUseBindsTheMarkupEnvironmentOnce) {
    init_vxlisp();
    gc_push(nullptr, nullptr, "markup first use");
    QV_SEXP* before = lookup_html();
    EXPECT_TRUE(get_type(before) != QVT_ENV) << "bound before first use";
    EXPECT_EQ(html_env, nullptr);
    struct Arrival {
        Counter done;
        std::atomic<QVISP_ENV*> seen[8];
        std::atomic<int> next{0};
    } a;
    for (int i = 0; i < 8; i++)
        create_task(
            [](intptr_t d) {
                auto* a = reinterpret_cast<Arrival*>(d);
                init_tr_html();
                a->seen[a->next++] = html_env;
                a->done.add();
            },
            &a, 2);
    ASSERT_TRUE(a.done.wait_for(8));
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(a.seen[i].load(), html_env);
    QV_SEXP* after = lookup_html();
    ASSERT_EQ(get_type(after), QVT_ENV);
    EXPECT_EQ(after->env.data, html_env);
    gc_pop(nullptr, nullptr);
}

class MarkupTest : public testing::Test {
  protected:
    void SetUp() override {
        init_vxlisp();
        init_tr_html();
        gc_push(nullptr, nullptr, "markup test");
        set_lang_lists(text(" "), {}, {}, {});
        info_.box_op = &string_pic_op;
        info_.attr = box_attr(200);
        info_.base_env = html_env;
        info_.default_ws = fix_style();
        info_.default_size = 10;
    }
    void TearDown() override {
        tr_close_html(&info_);
        gc_pop(nullptr, nullptr);
    }
    // Renders QV text; "" or the error's code.
    std::string render(const std::string& qv) {
        QV_SEXP* r = tr_html(&info_, read_qv_item(qv.c_str()), 2);
        if (get_type(r) == QVT_ERROR) {
            char b[16];
            snprintf(b, sizeof b, "%x", r->error.code);
            return b;
        }
        return "";
    }
    std::string text_of() {
        std::string s;
        for (char32_t c : copy_all(info_.d.sq))
            s += c == 10 ? '|' : static_cast<char>(c);
        return s;
    }
    // The attribute list of the i-th character, once layout (which makes line attributes
    // uniform over each box line) has finished.
    const TR_ATTR* attr_at(int i) {
        tr_wait_stable_sequence(info_.d.sq);
        TR_PTR p = _tr_first_ptr(info_.d.sq);
        p.ptr += i;
        _tr_ptr_regulation(info_.d.sq, &p);
        return _tr_char_element(p)->attr;
    }
    TR_HTML_INFO info_{};
};

TEST_F(MarkupTest, CenterStartsItsOwnLineOnce) {
    EXPECT_EQ(render("^(\"ab\" (BR) (CENTER \"cd\") \"ef\" (BR) \"gh\")"), "");
    // A line feed before CENTER is not doubled.
    EXPECT_EQ(text_of(), "ab|cdef|gh");
    auto* la = reinterpret_cast<const TRA_LINE_ATTR*>(_tr_get_attr(attr_at(3), TRA_LINE));
    ASSERT_NE(la, nullptr);
    EXPECT_EQ(la->attr.flags, 1);
    EXPECT_EQ(la->attr.align, 1);
    // "ef" shares the centred box line, and line attributes are uniform over a box line; "gh"
    // on the next box line has none.
    EXPECT_NE(_tr_get_attr(attr_at(5), TRA_LINE), nullptr);
    EXPECT_EQ(_tr_get_attr(attr_at(8), TRA_LINE), nullptr);
}

TEST_F(MarkupTest, CenterAsFirstContentAddsOneLineFeed) {
    EXPECT_EQ(render("^((CENTER \"x\"))"), "");
    EXPECT_EQ(text_of(), "|x");
}

TEST_F(MarkupTest, FontColoursAndLinks) {
    EXPECT_EQ(render("<CENTER>a<A HREF=\"x.html\"><FONT COLOR=\"#ff0000\"/>b</A>c"
                     "<FONT COLOR=\"00ff00\"/>d<FONT COLOR=\"red\"/>e</CENTER>"),
              "");
    EXPECT_EQ(text_of(), "|abcde");
    // The link's text carries the centring and the reference, and the colour set inside it.
    EXPECT_NE(_tr_get_attr(attr_at(2), TRA_LINE), nullptr);
    int id = _tr_get_attr_short_data(attr_at(2), TRA_REFERENCE_T);
    EXPECT_GT(id, 0);
    tr_lock(info_.d.sq);
    EXPECT_EQ(lstr_text(_tr_get_reference(info_.d.sq, id)->data), "x.html");
    tr_unlock(info_.d.sq);
    EXPECT_EQ(_tr_get_attr_int_data(attr_at(2), TRA_COLOR_T), 0x3FC);
    // After the A the reference and its colour are gone; the centring stays.
    EXPECT_EQ(_tr_get_attr(attr_at(3), TRA_REFERENCE_T), nullptr);
    EXPECT_EQ(_tr_get_attr(attr_at(3), TRA_COLOR_T), nullptr);
    EXPECT_NE(_tr_get_attr(attr_at(3), TRA_LINE), nullptr);
    EXPECT_EQ(_tr_get_attr_int_data(attr_at(4), TRA_COLOR_T), 255 << 12);
    // A colour that is not hexadecimal sets nothing.
    EXPECT_EQ(_tr_get_attr_int_data(attr_at(5), TRA_COLOR_T), 255 << 12);
}

TEST_F(MarkupTest, NumbersWithUnitsAndErrors) {
    EXPECT_EQ(render("^(5m \" \" 7 \" \" 2.5)"), "");
    EXPECT_EQ(text_of(), "5m 7 2.500000");
    tr_close_html(&info_);
    // A tag of the wrong length is refused by the evaluator, and the error ends the walk.
    EXPECT_NE(render("^(\"a\" (BR \"x\") \"b\")"), "");
    EXPECT_EQ(text_of(), "a");
    EXPECT_EQ(tr_html_cut_paper(&info_, nullptr), nullptr);
}

TEST_F(MarkupTest, RollingPaperStartsANewBox) {
    EXPECT_EQ(render("^(\"ab\")"), "");
    EXPECT_EQ(get_type(tr_html_roll_paper(&info_, read_qv_item("^(\"cd\")"))), QVT_STRING);
    tr_wait_stable_sequence(info_.d.sq);
    EXPECT_EQ(box_lines(info_.d.sq), (std::vector<std::string>{"b0:abcd"}));
    tr_lock(info_.d.sq);
    EXPECT_NE(info_.d.sq->box_ring.next->next->seq, 0);  // two boxes
    tr_unlock(info_.d.sq);
}

TEST_F(MarkupTest, ARenderedPageHasItsColoursAndUnderlinedLink) {
    EXPECT_EQ(render("^(<FONT COLOR=\"#ff0000\"/> \"ab\" <A HREF=\"t\">cd</A>)"), "");
    tr_wait_stable_sequence(info_.d.sq);
    PIC pic;
    sp_get_sequence_pic(&pic, info_.d.sq);
    const int32_t red = tr_pack_color(0xFF0000);
    int elements = 0, links = 0;
    for (PIC_ELEMENT* e = pic.list; e; e = e->next) {
        elements++;
        const int w = e->p.r.br.x - e->p.r.tl.x, h = e->p.r.br.y - e->p.r.tl.y;
        EXPECT_EQ(e->data[0], static_cast<uint32_t>(red));  // the fixed font inks every pixel
        if (e->flags & 2) {
            links++;
            EXPECT_EQ(lstr_text(e->ref), "t");
            for (int x = 0; x < w; x++)
                EXPECT_EQ(e->data[(h - 1) * w + x], static_cast<uint32_t>(red));
        }
    }
    EXPECT_EQ(elements, 2);
    EXPECT_EQ(links, 1);
    // For a person to look at.
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
    std::ofstream out(test_output_dir() + "/markup.ppm", std::ios::binary);
    out << "P6\n" << W << " " << H << "\n255\n";
    out.write(reinterpret_cast<const char*>(rgb.data()), static_cast<std::streamsize>(rgb.size()));
    free_pic(&pic);
}
}  // namespace

// Text written into a box with a height limit is laid out as a fresh layout of the same text,
// however the layout task's steps fall between the markup's insertions.
TEST_F(MarkupTest, ALimitedBoxHoldsWhatAFreshLayoutHolds) {
    info_.attr = box_attr(80, 200);
    std::string qv = "^(";
    const char* words[] = {"wor", "wordworw", "wo", "rdwowwor", "w", "dwo"};
    for (int i = 0; i < 40; i++)
        qv += std::string("\"") + words[i % 6] + (i % 3 ? " " : "") + "\"" +
              (i % 7 == 6 ? " (BR) " : " ");
    qv += ")";
    ASSERT_EQ(render(qv), "");
    tr_wait_stable_sequence(info_.d.sq);
    const std::u32string all = copy_all(info_.d.sq);
    Seq fresh;
    fresh.box(box_attr(80, 200));
    append(fresh, std::vector<L_CHAR>(all.begin(), all.end()));
    fresh.wait();
    EXPECT_EQ(box_lines(info_.d.sq), box_lines(fresh));
}
