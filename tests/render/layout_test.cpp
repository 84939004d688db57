// Layout of sequences: the text model and its edits, the layout steps and line makers on the
// string-picture back end with a font of fixed metrics, the sequence task and its locks.
#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "layout_util.h"
#include "support/sync_util.h"

namespace {
using Lines = std::vector<std::string>;

// ---------------------------------------------------------------- the text model

std::vector<int> buffer_numbers(TR_SEQUENCE* sq) {
    std::vector<int> v;
    for (TR_CHAR_BUF* b = sq->char_buf_ring.next; b->seq; b = b->next)
        v.push_back(b->seq);
    return v;
}

TR_PTR put(TR_SEQUENCE* sq, TR_PTR at, const std::string& s) {
    auto t = text(s);
    return _tr_insert_string(sq, at, static_cast<int>(t.size()), fix_style(), nullptr, nullptr, 10,
                             t.data());
}

std::u32string copy_locked(TR_SEQUENCE* sq) {
    std::vector<L_CHAR> buf(256);
    int n = _tr_copyout(sq, _tr_first_ptr(sq), buf.data(), 256);
    return std::u32string(buf.begin(), buf.begin() + n);
}

std::u32string u(const std::string& s) {
    return std::u32string(s.begin(), s.end());
}

TEST(LayoutModel, BuffersAreNumberedAsTextIsInserted) {
    Seq s;  // no box: nothing is laid out
    tr_lock(s);
    TR_PTR end = put(s, {nullptr, 0}, "abc");
    EXPECT_EQ(buffer_numbers(s), std::vector<int>{10});
    put(s, end, "d");                            // the end of the last buffer grows it
    put(s, {s.sq->char_buf_ring.next, 1}, "x");  // so does the middle
    EXPECT_EQ(buffer_numbers(s), std::vector<int>{10});
    put(s, {s.sq->char_buf_ring.next, 0}, "y");  // index 0 makes a buffer before
    EXPECT_EQ(buffer_numbers(s), (std::vector<int>{5, 10}));
    EXPECT_EQ(copy_locked(s), u("yaxbcd"));
    tr_unlock(s);

    Seq r;
    tr_lock(r);
    put(r, {nullptr, 0}, "a");
    put(r, {nullptr, 0}, "b");  // a null position appends a buffer: 20
    auto second = [&] { return r.sq->char_buf_ring.next->next; };
    put(r, {second(), 0}, "c");  // 15
    put(r, {second(), 0}, "d");  // 12
    put(r, {second(), 0}, "e");  // 11
    EXPECT_EQ(buffer_numbers(r), (std::vector<int>{10, 11, 12, 15, 20}));
    put(r, {second(), 0}, "f");  // between 10 and 11: 11, and the next ones move up
    EXPECT_EQ(buffer_numbers(r), (std::vector<int>{10, 11, 12, 13, 15, 20}));
    EXPECT_EQ(copy_locked(r), u("afedcb"));
    tr_unlock(r);
}

TEST(LayoutModel, DeletionCopyOutAndTheQueue) {
    Seq s;
    tr_lock(s);
    put(s, {nullptr, 0}, "ab");
    put(s, {nullptr, 0}, "cd");
    put(s, {nullptr, 0}, "ef");
    TR_CHAR_BUF* first = s.sq->char_buf_ring.next;
    _tr_disable_unmapping_char(s, {nullptr, 0});
    // From 'b' four characters: the middle buffer goes whole.
    TR_PTR at = _tr_delete_string(s, {first, 1}, 4);
    EXPECT_EQ(copy_locked(s), u("af"));
    EXPECT_EQ(buffer_numbers(s).size(), 2u);
    ASSERT_NE(_tr_char_element(at), nullptr);
    EXPECT_EQ(_tr_char_element(at)->ch, static_cast<L_CHAR>('f'));
    // The point is queued, and so is the character before it (its line lost its tail).
    std::u32string queued;
    for (TR_UNMAPPING_CHAR* q = s.sq->unmapping_char; q; q = q->next)
        queued += static_cast<char32_t>(_tr_char_element(q->p)->ch);
    EXPECT_EQ(queued, u("af"));
    EXPECT_TRUE(tr_ptr_eq(s.sq->unmapping_char->next->p, at));
    // An empty deletion changes nothing but still queues its point.
    _tr_disable_unmapping_char(s, {nullptr, 0});
    TR_PTR a0{first, 0};
    _tr_delete_string(s, a0, 0);
    EXPECT_EQ(copy_locked(s), u("af"));
    ASSERT_NE(s.sq->unmapping_char, nullptr);
    EXPECT_TRUE(tr_ptr_eq(s.sq->unmapping_char->p, a0));
    // Copy-out: a negative count is -1, the end of the text gives nothing.
    L_CHAR buf[4];
    EXPECT_EQ(_tr_copyout(s, a0, buf, -1), -1);
    EXPECT_EQ(_tr_copyout(s, _tr_end_ptr(s), buf, 4), 0);
    EXPECT_EQ(_tr_copyout(s, a0, buf, 1), 1);
    EXPECT_EQ(buf[0], static_cast<L_CHAR>('a'));
    // Deleting everything leaves an empty text.
    _tr_delete_string(s, a0, 10);
    EXPECT_EQ(copy_locked(s), u(""));
    EXPECT_TRUE(buffer_numbers(s).empty());
    tr_unlock(s);
}

TEST(LayoutModel, PositionsRegulateAcrossBuffers) {
    Seq s;
    tr_lock(s);
    put(s, {nullptr, 0}, "ab");
    put(s, {nullptr, 0}, "cd");
    TR_CHAR_BUF* b1 = s.sq->char_buf_ring.next;
    TR_CHAR_BUF* b2 = b1->next;
    TR_PTR p{b1, 3};
    EXPECT_EQ(_tr_ptr_regulation(s, &p), 0);
    EXPECT_TRUE(tr_ptr_eq(p, (TR_PTR{b2, 1})));
    TR_PTR q{b2, -1};
    EXPECT_EQ(_tr_ptr_regulation(s, &q), 0);
    EXPECT_TRUE(tr_ptr_eq(q, (TR_PTR{b1, 1})));
    TR_PTR far{b2, -3};
    EXPECT_EQ(_tr_ptr_regulation(s, &far), -1);
    TR_PTR end{b2, 2}, past{b2, 3}, before{b1, -1}, null{nullptr, 0};
    EXPECT_EQ(_tr_ptr_regulation(s, &end), 0);
    EXPECT_EQ(_tr_ptr_regulation(s, &past), 1);
    EXPECT_TRUE(tr_ptr_null(past));
    EXPECT_EQ(_tr_ptr_regulation(s, &before), -1);
    EXPECT_EQ(_tr_ptr_regulation(s, &null), 2);
    EXPECT_TRUE(tr_ptr_eq(tr_ptr_next(TR_PTR{b1, 1}), (TR_PTR{b2, 0})));
    EXPECT_TRUE(tr_ptr_null(tr_ptr_prev(TR_PTR{b1, 0})));
    EXPECT_TRUE(tr_ptr_null(tr_ptr_next(end)));
    EXPECT_LT(tr_ptr_cmp(null, TR_PTR{b1, 0}), 0);
    EXPECT_EQ(tr_ptr_cmp(null, null), 0);
    EXPECT_LT(tr_ptr_cmp(TR_PTR{b1, 1}, TR_PTR{b2, 0}), 0);
    tr_unlock(s);
}

TEST(LayoutModel, AttributeListsAndReferences) {
    TR_ATTR* a = nullptr;
    TR_ATTR* b = nullptr;
    TR_LINE_ATTR la{1, 1, 0, 0}, lb{1, 3, 0, 0};
    _tr_set_line_attr(&la, &a);
    _tr_set_line_attr(&lb, &b);
    _tr_set_attr_int_data(&a, TRA_COLOR_T, 5);
    _tr_set_attr_int_data(&b, TRA_COLOR_T, 5);
    EXPECT_EQ(_tr_cmp_attr(a, b), 0);  // line attributes never make lists differ
    _tr_set_attr_int_data(&b, TRA_COLOR_T, 6);
    EXPECT_EQ(_tr_cmp_attr(a, b), -1);
    EXPECT_EQ(_tr_cmp_attr(nullptr, b), -1);
    EXPECT_EQ(_tr_cmp_attr(a, nullptr), 1);
    Seq s;
    tr_lock(s);
    // A colour set on a list holding a line attribute and a reference keeps the order 1, 3, 4.
    TR_ATTR* c = nullptr;
    _tr_set_line_attr(&la, &c);
    std::vector<L_CHAR> target = lchars("http://x/");
    ASSERT_EQ(_tr_set_attr_reference(s, &c, target.data()), 0);
    _tr_set_attr_int_data(&c, TRA_COLOR_T, 0x3FC);
    std::vector<int> types;
    for (TR_ATTR* x = c; x; x = x->next)
        types.push_back(x->type);
    EXPECT_EQ(types, (std::vector<int>{1, 3, 4}));
    int id = _tr_get_attr_short_data(c, TRA_REFERENCE_T);
    EXPECT_EQ(id, 1);
    EXPECT_EQ(lstr_text(_tr_get_reference(s, id)->data), "http://x/");
    TR_ATTR* copy = _tr_copy_attr(c);
    EXPECT_EQ(_tr_cmp_attr(copy, c), 0);
    // Ids wrap from 32767 to 1, passing ids still in use.
    TR_ATTR* d = nullptr;
    s.sq->ref_id = 32766;
    ASSERT_EQ(_tr_set_attr_reference(s, &d, target.data()), 0);
    EXPECT_EQ(_tr_get_attr_short_data(d, TRA_REFERENCE_T), 32767);
    ASSERT_EQ(_tr_set_attr_reference(s, &d, target.data()), 0);
    EXPECT_EQ(_tr_get_attr_short_data(d, TRA_REFERENCE_T), 2);
    // With every id in use the attempt gives up after one round.
    for (int i = 3; i < 32767; i++)
        ASSERT_EQ(_tr_set_attr_reference(s, &d, target.data()), 0);
    EXPECT_EQ(_tr_set_attr_reference(s, &d, target.data()), -1);
    tr_unlock(s);
    for (TR_ATTR* x : {a, b, c, d, copy})
        _tr_free_attr(x);
}

// ---------------------------------------------------------------- languages

TEST(LayoutLang, CharactersBelongToTheirLanguages) {
    fix_style();
    auto name = [](L_CHAR ch) { return std::string(_tr_search_lang(ch, nullptr)->lang); };
    EXPECT_EQ(name(10), "ctl");
    EXPECT_EQ(name(13), "ctl");
    EXPECT_EQ(name(LC_NONE), "bb");
    EXPECT_EQ(name('A'), "en");
    EXPECT_EQ(name(0xC0070041), "en");  // a code set not in the table
    EXPECT_EQ(name(ja(0x3042)), "ja");  // hiragana
    EXPECT_EQ(name(ja(0x30AB)), "ja");  // katakana
    EXPECT_EQ(name(ja(0x4E00)), "ja");  // ideograph
    EXPECT_EQ(name(ja(0x4DC0)), "en");  // between the ranges
    EXPECT_EQ(name(ja(0x4DFF)), "en");
    EXPECT_EQ(name(0xC0010000 | 0x2422), "ja");
    EXPECT_EQ(name(0xE0000131), "ja");
    // An ambiguous character keeps a sequence's earlier choice.
    trl_insert_table(ja(0xE000), ja(0xE010), &ja_render, 0);
    trl_insert_table(ja(0xE008), ja(0xE00C), &en_render, 0);
    trl_insert_table(ja(0xE020), ja(0xE021), &en_render, 0);
    EXPECT_EQ(name(ja(0xE001)), "ja");
    EXPECT_EQ(name(ja(0xE009)), "en");  // without a context the range entered last answers
    TRL_CONTEXT ctx{};
    EXPECT_EQ(trl_get_lang(&ctx, ja(0x3042)), &ja_render);  // the sequence chose ja last
    EXPECT_EQ(trl_get_lang(&ctx, ja(0xE009)), &ja_render);
    EXPECT_EQ(trl_get_lang(&ctx, ja(0xE020)), &en_render);  // now en
    EXPECT_EQ(trl_get_lang(&ctx, ja(0xE009)), &en_render);
    trl_free_context(&ctx);
    EXPECT_EQ(in_table('a', nullptr), -1);
    L_CHAR list[] = {'x', 'a', 0};
    EXPECT_EQ(in_table('a', list), 0);
    EXPECT_EQ(in_table('b', list), -1);
}

// A context remembers the table entry of the block of 256 characters it looked in last: its
// answers stay the table's next to entries of single characters and once the table changes.
TEST(LayoutLang, AContextAnswersAsTheTableDoes) {
    fix_style();
    TRL_CONTEXT ctx{};
    for (L_CHAR c : {L_CHAR{'a'}, L_CHAR{10}, L_CHAR{'b'}, L_CHAR{13}, ja(0x4DBF), ja(0x4DC0),
                     ja(0x4DFF), ja(0x4E00), ja(0x4E01), ja(0x3042), L_CHAR{'c'}, L_CHAR{10},
                     ja(0x30FF), ja(0x3100), ja(0x3101)})
        EXPECT_EQ(trl_get_lang(&ctx, c), trl_get_lang(nullptr, c)) << std::hex << c;
    // A code set the table leaves out, looked up, then entered.
    const L_CHAR x = 0xC00A0041;
    EXPECT_EQ(trl_get_lang(&ctx, x), nullptr);
    EXPECT_EQ(trl_get_lang(&ctx, x + 1), nullptr);
    trl_insert_table(x, x + 1, &ja_render, 0);
    EXPECT_EQ(trl_get_lang(&ctx, x), &ja_render);
    EXPECT_EQ(trl_get_lang(&ctx, x + 1), nullptr);
    EXPECT_EQ(trl_get_lang(&ctx, x - 1), nullptr);
    // Characters hopping over more blocks than a context remembers, among them blocks split into
    // single characters (x's, one whose entries differ, one with ambiguous characters) and whole
    // ones: a context that forgets its blocks before each look-up answers alike.
    trl_insert_table(x + 0x105, x + 0x107, &en_render, 0);
    TRL_CONTEXT ref{};
    auto same = [&](L_CHAR c) {
        ref.leaf_gen = 0;
        return trl_get_lang(&ctx, c) == trl_get_lang(&ref, c);
    };
    uint32_t h = 7;
    const L_CHAR bases[] = {x - 0x100,  x,    x + 0x100,  ja(0x3000), ja(0x4D00), ja(0x4E00),
                            ja(0x4F00), 0x41, ja(0xE000), ja(0x2000), x + 0x300};
    for (int i = 0; i < 4000; i++) {
        h = h * 1103515245u + 12345u;
        const L_CHAR c = bases[(h >> 8) % 11] + ((h >> 20) & 255);
        ASSERT_TRUE(same(c)) << std::hex << c;
    }
    // A change of the table is seen at once, also in a block remembered by its node.
    trl_insert_table(x + 0x106, x + 0x107, &ja_render, 0);
    EXPECT_TRUE(same(x + 0x106));
    EXPECT_EQ(trl_get_lang(&ctx, x + 0x105), &en_render);
    trl_free_context(&ref);
    trl_free_context(&ctx);
}

// ---------------------------------------------------------------- line makers

TEST(Layout, EnglishWrapsAtSpacesAndDelimiters) {
    set_lang_lists(text(" "), text("-"), {}, {});
    Seq s;
    s.box(box_attr(100));
    append(s, text("aaa bbb ccc ddd-eee"));
    s.wait();
    // The space a line is cut at starts the next line and is not placed there.
    EXPECT_EQ(box_lines(s), (Lines{"b0:aaa bbb", "b0: ccc ddd", "b0:-eee"}));
    tr_lock(s);
    EXPECT_EQ(element_runs(nth_box_line(s, 0, 1)), (Lines{"ccc", " ", "ddd"}));
    tr_unlock(s);
    // A word wider than its line wraps by character, without endless lines.
    Seq w;
    w.box(box_attr(45));
    append(w, text("abcdefghjkl mn"));
    w.wait();
    EXPECT_EQ(box_lines(w), (Lines{"b0:abcd", "b0:efgh", "b0:jkl", "b0: mn"}));
    // Without a space list the system's default "en" wraps by character too.
    set_lang_lists({}, {}, {}, {});
    Seq n;
    n.box(box_attr(30));
    append(n, text("ab cd"));
    n.wait();
    EXPECT_EQ(box_lines(n), (Lines{"b0:ab ", "b0:cd"}));
}

TEST(Layout, JapaneseKeepsClosingCharactersOffLineStarts) {
    const L_CHAR close = ja(0x30FC), open = ja(0x30FB);
    set_lang_lists(text(" "), {}, {open}, {close});
    Seq s;
    s.box(box_attr(100));
    std::vector<L_CHAR> t;
    for (int i = 0; i < 10; i++)
        t.push_back(ja(0x3042 + i));
    t.push_back(close);
    t.push_back(ja(0x3042));
    append(s, t);
    s.wait();
    // The closing mark would start line 2: the break falls before the kana preceding it.
    EXPECT_EQ(box_lines(s), (Lines{"b0:<12354><12355><12356><12357><12358><12359><12360><12361>"
                                   "<12362>",
                                   "b0:<12363><12540><12354>"}));
    // An opening mark never ends a line.
    Seq o;
    o.box(box_attr(30));
    append(o, {ja(0x3042), ja(0x3043), open, ja(0x3044)});
    o.wait();
    EXPECT_EQ(box_lines(o), (Lines{"b0:<12354><12355>", "b0:<12539><12356>"}));
}

TEST(Layout, LineReturnsEndBoxLines) {
    set_lang_lists(text(" "), {}, {}, {});
    Seq s;
    s.box(box_attr(200));
    append(s, text("ab\ncd\r\ref\n\n"));
    s.wait();
    EXPECT_EQ(box_lines(s), (Lines{"b0:ab|\\n", "b0:cd|\\r", "b0:\\r", "b0:ef|\\n", "b0:\\n"}));
}

TEST(Layout, TextOverflowsIntoTheNextBoxAndStopsAfterTheLast) {
    set_lang_lists(text(" "), {}, {}, {});
    Seq s;
    s.box(box_attr(40, 40));  // lines of 21: at 0 and 21, a third would start at 42
    s.box(box_attr(40, 20));  // holds one line: the second would start at 21
    append(s, text("aaa bbb ccc ddd eee fff"));
    s.wait();
    EXPECT_EQ(box_lines(s), (Lines{"b0:aaa", "b0: bbb", "b1: ccc"}));
    tr_lock(s);
    EXPECT_EQ(tr_bl_offset(nth_box_line(s, 0, 0)), 0);
    EXPECT_EQ(tr_bl_offset(nth_box_line(s, 0, 1)), 21);
    // Offsets recomputed at once after a given line, or from the first at 0.
    TR_BOX* b0 = s.sq->box_ring.next;
    TR_BOX_LINE* l0 = nth_box_line(s, 0, 0);
    TR_BOX_LINE* l1 = nth_box_line(s, 0, 1);
    struct {
        int h0;
        bool after_l0;  // else every line
        int o0, o1;
    } offs[] = {{30, false, 0, 30}, {25, true, 7, 32}, {21, false, 0, 21}};
    for (auto& o : offs) {
        l0->height = static_cast<int16_t>(o.h0);
        l0->doc_start_offset = 7;
        _tr_setup_bl_offset(b0, o.after_l0 ? l0 : nullptr);
        EXPECT_EQ(b0->stale_line, nullptr);
        EXPECT_EQ(l0->doc_start_offset, o.o0);
        EXPECT_EQ(l1->doc_start_offset, o.o1);
        l0->doc_start_offset = 0;
    }
    tr_unlock(s);
    // A box added later takes the text that found no room.
    s.box(box_attr(40, -1));
    s.wait();
    EXPECT_EQ(box_lines(s),
              (Lines{"b0:aaa", "b0: bbb", "b1: ccc", "b2: ddd", "b2: eee", "b2: fff"}));
    // Text inserted into a sequence without boxes is not laid out.
    Seq none;
    append(none, text("abc"));
    none.wait();
    EXPECT_TRUE(box_lines(none).empty());
}

TEST(Layout, RightToLeftLinesKeepTheirElementsReversed) {
    set_lang_lists(text(" "), {}, {}, {}, TRD_H_R2L);
    Seq s;
    s.box(box_attr(200));
    append(s, {'a', 'b', ja(0x3042), ja(0x3043), ja(0x3044), 'c', 'd'});
    s.wait();
    tr_lock(s);
    EXPECT_EQ(element_runs(nth_box_line(s, 0, 0)),
              (Lines{"ab", "<12356>", "<12355>", "<12354>", "cd"}));
    tr_unlock(s);
    set_lang_lists(text(" "), {}, {}, {});
}

TEST(Layout, AForwardLineBeforeARightToLeftLineStartsAtTheRingsHead) {
    set_lang_lists(text(" "), {}, {}, {}, TRD_H_R2L);
    Seq s;
    s.box(box_attr(200));
    append(s, {'a', 'b', ja(0x3042), ja(0x3043), 'c', 'd'});
    s.wait();
    tr_lock(s);
    TR_BOX_LINE* bl = nth_box_line(s, 0, 0);
    TR_LANG_LINE* ll = bl ? bl->lang_list : nullptr;
    TR_LANG_LINE* nll = ll ? _tr_element_next_lang_line(ll) : nullptr;
    if (!nll || nll->box_line != bl || ll_text(ll) != "ab") {
        tr_unlock(s);
        FAIL() << "the first box line is not \"ab\" before a right-to-left line";
    }
    // The forward line is made again while the right-to-left line after it keeps its elements:
    // its first element leads the box line, before the backward run.
    while (ll->element_list)
        _tr_destroy_element(s, ll->element_list);
    TR_ELEMENT* e = nullptr;
    EXPECT_EQ(_tr_new_element(&e, s, ll).code, TRE_OK);
    EXPECT_NE(e, nullptr);
    EXPECT_EQ(bl->el_head.next, e);
    if (e) _tr_destroy_element(s, e);
    tr_unlock(s);
    set_lang_lists(text(" "), {}, {}, {});
}

TEST(Layout, LineAttributesAreUniformOverABoxLine) {
    set_lang_lists(text(" "), {}, {}, {});
    Seq s;
    s.box(box_attr(100));
    TR_ATTR* centre = nullptr;
    TR_LINE_ATTR la{1, 1, 0, 0};
    _tr_set_line_attr(&la, &centre);
    append(s, text("ab "));
    append(s, text("cd"), 10, centre);
    append(s, text(" ef\ngh"));
    s.wait();
    tr_lock(s);
    TR_BOX_LINE* first = nth_box_line(s, 0, 0);
    EXPECT_EQ(first->attr.align, 1);
    for (TR_LANG_LINE* ll = first->lang_list; ll; ll = ll->box_next)
        for (TR_PTR p = tr_ll_start(ll); tr_ptr_cmp(p, tr_ll_end(ll)) < 0; p = tr_ptr_next(p)) {
            auto* r =
                reinterpret_cast<TRA_LINE_ATTR*>(_tr_get_attr(_tr_char_element(p)->attr, TRA_LINE));
            ASSERT_NE(r, nullptr);
            EXPECT_EQ(r->attr.align, 1);
        }
    EXPECT_EQ(nth_box_line(s, 0, 1)->attr.align, 3);  // the next box line keeps the box's own
    tr_unlock(s);
    // Far into a long text, where the characters of a box line lie in more than one piece of
    // storage: only the box line of the word with the attribute takes it, all of it.
    Seq t;
    t.box(box_attr(100));
    std::string before;
    for (int i = 0; i < 700; i++)
        before += "ab ";
    append(t, text(before));
    append(t, text("cd"), 10, centre);
    append(t, text(" ef gh ij"));
    t.wait();
    tr_lock(t);
    int centred = 0;
    TR_SEQUENCE* tq = t;
    for (TR_BOX_LINE* bl = tq->box_ring.next->line_list; bl; bl = bl->next) {
        int with = 0, chars = 0;
        for (TR_LANG_LINE* ll = bl->lang_list; ll; ll = ll->box_next)
            for (TR_PTR p = tr_ll_start(ll); tr_ptr_cmp(p, tr_ll_end(ll)) < 0; p = tr_ptr_next(p)) {
                chars++;
                with += _tr_get_attr(_tr_char_element(p)->attr, TRA_LINE) != nullptr;
            }
        EXPECT_TRUE(with == 0 || with == chars);
        EXPECT_EQ(bl->attr.align, with ? 1 : 3);
        centred += with > 0;
    }
    EXPECT_EQ(centred, 1);
    tr_unlock(t);
    _tr_free_attr(centre);
}

// Characters of one box line that set the alignment differently: the setting met last in text
// order holds for the box line and every character of it.
TEST(Layout, TheLastLineAttributeSetOnABoxLineHolds) {
    set_lang_lists(text(" "), {}, {}, {});
    struct Case {
        std::vector<std::pair<std::string, int>> pieces;  // text, alignment set (0: none)
        int want;
    };
    const Case cases[] = {
        {{{"ab", 4}, {"cd", 1}}, 1},
        {{{"ab", 1}, {"cd", 4}}, 4},
        {{{"ab", 4}, {"cd", 0}, {"ef", 1}, {"gh", 0}}, 1},
        {{{"ab", 0}, {"cd", 4}, {"ef", 0}}, 4},
        {{{"ab", 0}}, 3},  // the box's own
    };
    for (const Case& c : cases) {
        Seq s;
        s.box(box_attr(400));
        std::string all;
        for (const auto& [t, align] : c.pieces) {
            TR_ATTR* a = nullptr;
            if (align) {
                TR_LINE_ATTR la{1, static_cast<uint8_t>(align), 0, 0};
                _tr_set_line_attr(&la, &a);
            }
            append(s, text(t), 10, a);
            _tr_free_attr(a);
            all += t;
        }
        s.wait();
        SCOPED_TRACE(all);
        tr_lock(s);
        TR_BOX_LINE* bl = nth_box_line(s, 0, 0);
        EXPECT_EQ(nth_box_line(s, 0, 1), nullptr);
        EXPECT_EQ(bl->attr.align, c.want);
        int chars = 0;
        for (TR_LANG_LINE* ll = bl->lang_list; ll; ll = ll->box_next)
            for (TR_PTR p = tr_ll_start(ll); tr_ptr_cmp(p, tr_ll_end(ll)) < 0; p = tr_ptr_next(p)) {
                auto* r = reinterpret_cast<TRA_LINE_ATTR*>(
                    _tr_get_attr(_tr_char_element(p)->attr, TRA_LINE));
                chars++;
                if (c.want != 3) {
                    ASSERT_NE(r, nullptr);
                }
                if (r) {
                    EXPECT_EQ(r->attr.align, c.want);
                }
            }
        EXPECT_EQ(chars, static_cast<int>(all.size()));
        tr_unlock(s);
    }
}

// Incremental layout ends where a fresh layout of the final text ends.
// The box lines of a fresh layout of t in one box 100 pixels wide.
Lines fresh(const std::u32string& t) {
    Seq f;
    f.box(box_attr(100));
    append(f, std::vector<L_CHAR>(t.begin(), t.end()));
    f.wait();
    return box_lines(f);
}

TEST(Layout, EditsRelayoutOnlyWhatChangesAndMatchAFreshLayout) {
    set_lang_lists(text(" "), text("-"), {}, {});
    Seq s;
    s.box(box_attr(100));
    append(s, text("one two three four five six seven eight nine ten"));
    s.wait();
    // A word inserted into the first line: it ends later and destroys what it overlaps.
    std::vector<L_CHAR> w = text("extra ");
    tr_insert_string(s, {s.sq->char_buf_ring.next, 4}, 6, fix_style(), nullptr, nullptr, 10,
                     w.data());
    s.wait();
    EXPECT_EQ(box_lines(s), fresh(copy_all(s)));
    // A deletion: the line ends earlier and its end is queued, so the rest reflows.
    tr_delete_string(s, {s.sq->char_buf_ring.next, 0}, 10);
    s.wait();
    EXPECT_EQ(box_lines(s), fresh(copy_all(s)));
    // A Japanese character inside an English word splits it, and taking it out joins it.
    std::vector<L_CHAR> k = {ja(0x3042)};
    tr_insert_string(s, {s.sq->char_buf_ring.next, 2}, 1, fix_style(), nullptr, nullptr, 10,
                     k.data());
    s.wait();
    EXPECT_EQ(box_lines(s), fresh(copy_all(s)));
    tr_delete_string(s, {s.sq->char_buf_ring.next, 2}, 1);
    s.wait();
    EXPECT_EQ(box_lines(s), fresh(copy_all(s)));
}

// An edit lays out again only the lines it changes: once a line comes out as it was, the
// paragraphs after it stay as they are, however many there are, for an insertion and a deletion
// alike (a deletion moves the later lines of its buffer down without changing their text).
TEST(Layout, AnEditsWorkEndsWhereLinesComeOutInPlace) {
    set_lang_lists(text(" "), text("-"), {}, {});
    std::string para;
    for (int i = 0; i < 60; i++)
        para += "alpha beta gamma delta epsilon zeta eta theta\n";
    Seq s;
    s.box(box_attr(100));
    append(s, text(para));  // one buffer: every later line's positions move with an edit
    s.wait();
    std::atomic<int> pieces{0};
    tr_set_callback(
        s, [](TR_SEQUENCE*, void* arg) { ++*static_cast<std::atomic<int>*>(arg); }, &pieces);
    std::vector<L_CHAR> w = text("inserted ");
    tr_insert_string(s, {s.sq->char_buf_ring.next, 6}, static_cast<int>(w.size()), fix_style(),
                     nullptr, nullptr, 10, w.data());
    s.wait();
    const int after_insert = pieces.exchange(0);
    EXPECT_EQ(box_lines(s), fresh(copy_all(s)));
    tr_delete_string(s, {s.sq->char_buf_ring.next, 6}, static_cast<int>(w.size()));
    s.wait();
    const int after_delete = pieces.exchange(0);
    EXPECT_EQ(box_lines(s), fresh(copy_all(s)));
    EXPECT_EQ(copy_all(s), std::u32string(para.begin(), para.end()));
    // The first paragraph takes a handful of lines; the 59 after it take none.
    EXPECT_GT(after_insert, 0);
    EXPECT_LT(after_insert, 20);
    EXPECT_GT(after_delete, 0);
    EXPECT_LT(after_delete, 20);
}

TEST(Layout, LaterLinesTakeInTheShiftsOfEditsWhenRead) {
    // Edits under one hold of the lock, so nothing is laid out again meanwhile: every line keeps
    // its text and moves as the edits say, also when more edits pile up than a buffer keeps
    // shifts of before folding them into its lines.
    set_lang_lists(text(" "), text("-"), {}, {});
    std::string para;
    for (int i = 0; i < 40; i++)
        para += "alpha beta gamma delta epsilon zeta eta theta\n";
    Seq s;
    s.box(box_attr(100));
    append(s, text(para));
    s.wait();
    tr_lock(s);
    TR_CHAR_BUF* b = s.sq->char_buf_ring.next;
    std::vector<TR_LANG_LINE*> lines;
    std::vector<std::pair<int, int>> want;  // each line's start and end
    for (TR_LANG_LINE* ll = s.sq->lang_area_ring.next->line_list; ll; ll = _tr_next_lang_line(ll)) {
        lines.push_back(ll);
        want.push_back({tr_ll_start(ll).ptr, tr_ll_end(ll).ptr});
    }
    ASSERT_GT(lines.size(), 100u);
    std::mt19937 rng(99);
    auto check = [&](int e) {
        for (size_t i = 0; i < lines.size(); i++) {
            ASSERT_TRUE(tr_ptr_eq(tr_ll_start(lines[i]), TR_PTR{b, want[i].first}))
                << "line " << i << " after edit " << e;
            ASSERT_TRUE(tr_ptr_eq(tr_ll_end(lines[i]), TR_PTR{b, want[i].second}))
                << "line " << i << " after edit " << e;
        }
    };
    for (int e = 0; e < 120; e++) {
        const size_t k = 1 + rng() % (lines.size() - 1);
        auto [st, en] = want[k];
        if (rng() % 3 || en - st < 4) {
            // At a line's start (the line before keeps its end there) or inside it.
            const int at =
                rng() % 2 || en - st < 2 ? st : st + 1 + static_cast<int>(rng() % (en - st - 1));
            const int n = 1 + static_cast<int>(rng() % 5);
            put(s, {b, at}, std::string(n, 'x'));
            for (auto& w : want) {
                if (w.first >= at) w.first += n;
                if (w.second > at) w.second += n;
            }
        } else {
            const int at = st + 1, n = 2;  // inside the line
            _tr_delete_string(s, {b, at}, n);
            for (auto& w : want) {
                if (w.first > at + n) w.first -= n;
                if (w.second > at + n) w.second -= n;
            }
        }
        if (e == 60 || e % 20 == 19) check(e);  // 60 edits unread first
    }
    tr_unlock(s);
    s.wait();
    EXPECT_EQ(box_lines(s), fresh(copy_all(s)));
}

// ---------------------------------------------------------------- the sequence task

TEST(LayoutTask, TheTaskStartsOnDemandAndEnds) {
    Seq s;
    s.box(box_attr(100));
    s.wait();
    tr_lock(s);
    EXPECT_EQ(s.sq->thread, 0);
    std::vector<L_CHAR> t = text("abc");
    _tr_insert_string(s, {nullptr, 0}, 3, fix_style(), nullptr, nullptr, 10, t.data());
    EXPECT_EQ(s.sq->thread, 1);
    tr_unlock(s);
    s.wait();
    tr_lock(s);
    EXPECT_EQ(s.sq->thread, 0);
    EXPECT_EQ(s.sq->unmapping_char, nullptr);
    tr_unlock(s);
    // Idle: waiting returns at once.
    s.wait();
    EXPECT_EQ(box_lines(s), Lines{"b0:abc"});
}

TEST(LayoutTask, WaitsyncClientsWakeAtTheTasksEndOrOnClose) {
    Seq s;
    s.box(box_attr(100));
    WAITSYNC_CLIENT c{};
    tr_lock(s);
    std::vector<L_CHAR> t = text("abc def");
    _tr_insert_string(s, {nullptr, 0}, 7, fix_style(), nullptr, nullptr, 10, t.data());
    _tr_waitsync(s, &c, 0);
    EXPECT_EQ(c.count, 1);
    tr_unlock(s);
    waitsync_sleep(&c);  // returns once the task has ended
    EXPECT_EQ(c.list, nullptr);
    // Idle: nothing to wait for.
    WAITSYNC_CLIENT idle{};
    tr_waitsync(s, &idle, 0);
    EXPECT_EQ(idle.list, nullptr);
    // A close wakes its clients too.
    auto* other = tr_new_sequence(&string_pic_op, 2, nullptr);
    WAITSYNC_CLIENT d{};
    tr_lock(other);
    _tr_insert_string(other, {nullptr, 0}, 7, fix_style(), nullptr, nullptr, 10, t.data());
    _tr_waitsync(other, &d, 0);
    tr_unlock(other);
    tr_close_sequence(other);
    EXPECT_EQ(d.list, nullptr);
    waitsync_sleep(&d);
}

struct LockProbe {
    TR_SEQUENCE* sq;
    std::atomic<int> got{0};
    Counter done;
};

void probe_task(intptr_t d) {
    auto* p = reinterpret_cast<LockProbe*>(d);
    tr_lock(p->sq);
    p->got = 1;
    tr_unlock(p->sq);
    p->done.add();
}

TEST(LayoutTask, TheWriterLockIsRecursiveAndHoldsSequencesOff) {
    Seq s;
    LockProbe probe;
    probe.sq = s;
    tr_rw_lock();
    tr_rw_lock();
    create_task(probe_task, &probe, 2);
    tr_rw_unlock();
    EXPECT_FALSE(probe.done.wait_for(1, 50));  // still held once
    EXPECT_EQ(probe.got.load(), 0);
    tr_rw_unlock();
    EXPECT_TRUE(probe.done.wait_for(1));
    EXPECT_EQ(probe.got.load(), 1);
    // The collector's hold keeps sequences locked out the same way.
    gc_lock_text_render();
    gc_text_render();
    gc_unlock_text_render();
    int ind = 0;
    see_lock_tr_sys(&ind);
}

TEST(LayoutTask, UnlockedTwinsTakeAndReleaseUnderTheSystemLock) {
    Seq s;
    tr_system_lock();
    _tr_lock(s, __FILE__, __LINE__);
    EXPECT_EQ(s.sq->lock, get_tid());
    _tr_unlock(s);
    EXPECT_EQ(s.sq->lock, 0);
    _tr_rw_lock(__FILE__, __LINE__);
    _tr_rw_lock(__FILE__, __LINE__);
    _tr_rw_unlock();
    _tr_rw_unlock();
    tr_system_unlock();
    // Both holds are gone: another task takes the sequence.
    LockProbe probe;
    probe.sq = s;
    create_task(probe_task, &probe, 2);
    EXPECT_TRUE(probe.done.wait_for(1));
    EXPECT_EQ(probe.got.load(), 1);
    // A box waits for layout until the task has taken it; then nothing is left.
    s.box(box_attr(50));
    s.wait();
    TR_DIRTY d{};
    EXPECT_EQ(get_dirty(s, &d), -1);
}

void count_callback(TR_SEQUENCE*, void* arg) {
    static_cast<std::atomic<int>*>(arg)->fetch_add(1);
}

TEST(LayoutTask, ClosingWaitsForQueuedWork) {
    set_lang_lists(text(" "), {}, {}, {});
    std::atomic<int> calls{0};
    auto* sq = tr_new_sequence(&string_pic_op, 2, nullptr);
    TR_BOX_ATTR a = box_attr(100);
    tr_new_box(sq, nullptr, &a);
    tr_set_callback(sq, count_callback, &calls);
    std::string long_text;
    for (int i = 0; i < 200; i++)
        long_text += "word" + std::to_string(i) + " ";
    append(sq, text(long_text));
    tr_close_sequence(sq);
    // Every line was made before the sequence went: one callback per piece of work at least.
    EXPECT_GT(calls.load(), 100);
}
}  // namespace
