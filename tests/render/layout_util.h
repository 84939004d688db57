// Helpers of the layout tests: a font engine of fixed metrics ("fix" fonts: every character
// advances by the size, except 'i' by 1; ascent = size, descent = size * 4 / 10; the glyph is a
// solid block), sequences on the string-picture back end, and dumps of what was laid out.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "render/layout.h"
#include "render/string_pic.h"
#include "render_util.h"

inline int fix_advance(L_CHAR ch, int size) {
    return (ch & 0xFFFF) == 'i' ? 1 : size;
}

inline void fix_get_pic(LC_STRING_PIC* p, int dir, const LCF_SET* str, int len) {
    (void)dir;
    const int size = str[0].size, asc = size, desc = size * 4 / 10;
    int w = 0;
    for (int i = 0; i < len; i++)
        w += fix_advance(str[i].ch, size);
    p->r = {{0, -asc}, {w, desc}};
    p->width = static_cast<int16_t>(w);
    p->pic = static_cast<unsigned char*>(d_alloc(int64_t{w} * (asc + desc)));
    memset(p->pic, 0, static_cast<size_t>(w) * (asc + desc));
}

inline int fix_fe_new(LC_FONT* font, LC_FONT_ENGINE* fe) {
    std::string name = lstr_text(font->fontname);
    if (name.rfind("fix", 0) != 0) return -1;
    LC_FONT_SIZE_LIST sl{nullptr, -1, 0, 0xFFFF};
    _insert_lc_font_size_list(font, &sl);
    insert_font_work(font, fe, nullptr);
    return 0;
}
inline LC_FONT_ENGINE_TYPE fix_type = {"fix",  fix_fe_new, fix_get_pic, nullptr,
                                       {0, 0}, nullptr,    nullptr,     nullptr};
inline LC_FONT_ENGINE fix_engine = {nullptr, "fix", &fix_type, nullptr};

// A style drawing code sets 0 and 0xC006 (Unicode) with the fixed engine.
inline LC_WRITING_STYLE* fix_style() {
    static LC_WRITING_STYLE* ws = [] {
        test_font_root();  // before the renderer's first use reads the font root
        insert_font_engine(&fix_engine);
        static std::vector<L_CHAR> n1 = lchars("fix-ascii"), n2 = lchars("fix-uni"),
                                   sname = lchars("layout-fix");
        std::vector<FONT_PRI_NAME> v = {
            {n1.data(), {0, LC_NONE}, {0xFFFF0000, 0xFFFFFFFF}, LC_NONE, 0xFFFFFFFF, FPN_NEARLY},
            {n2.data(),
             {0xC0060000, LC_NONE},
             {0xFFFF0000, 0xFFFFFFFF},
             LC_NONE,
             0xFFFFFFFF,
             FPN_NEARLY},
            {nullptr, {0, 0}, {0, 0}, 0, 0, 0}};
        return new_ws(sname.data(), v.data(), v.data(), nullptr, nullptr, nullptr);
    }();
    return ws;
}

inline TR_BOX_ATTR box_attr(int line, int doc = -1, int align = 3, int dir = TRD_H_L2R) {
    TR_BOX_ATTR a{};
    _tr_set_default_lattr(&a.default_lattr);
    a.default_lattr.align = static_cast<uint8_t>(align);
    a.default_lattr.default_dir = static_cast<uint16_t>(dir);
    a.max_line_pixels = line;
    a.max_doc_dir_pixels = doc;
    return a;
}

// Long characters from text: ASCII as itself; "\xE3..." is not used, Japanese is given as codes.
inline std::vector<L_CHAR> text(const std::string& s) {
    std::vector<L_CHAR> v;
    for (unsigned char c : s)
        v.push_back(c);
    return v;
}
constexpr L_CHAR JA = 0xC0060000;  // Unicode code set
inline L_CHAR ja(unsigned code) {
    return JA | code;
}

inline TR_PTR append(TR_SEQUENCE* sq, const std::vector<L_CHAR>& s, int size = 10,
                     const TR_ATTR* attr = nullptr) {
    return tr_insert_string(sq, {nullptr, 0}, static_cast<int>(s.size()), fix_style(), attr,
                            nullptr, size, s.data());
}

// The text of a box line's language lines, each line's characters in text order, "|" between
// language lines.
inline std::string ll_text(TR_LANG_LINE* ll) {
    std::string s;
    for (TR_PTR p = tr_ll_start(ll); p.buf && tr_ptr_cmp(p, tr_ll_end(ll)) < 0;
         p = tr_ptr_next(p)) {
        L_CHAR c = _tr_char_element(p)->ch;
        if ((c & 0xFFFF0000) == JA)
            s += "<" + std::to_string(c & 0xFFFF) + ">";
        else if (c == 10)
            s += "\\n";
        else if (c == 13)
            s += "\\r";
        else
            s += static_cast<char>(c);
    }
    return s;
}

// Every non-empty box line of every box: "b<box>: text|text".
inline std::vector<std::string> box_lines(TR_SEQUENCE* sq) {
    std::vector<std::string> out;
    tr_lock(sq);
    int bn = 0;
    for (TR_BOX* b = sq->box_ring.next; b->seq; b = b->next, bn++)
        for (TR_BOX_LINE* bl = b->line_list; bl; bl = bl->next) {
            if (!bl->lang_list) continue;
            std::string s = "b" + std::to_string(bn) + ":";
            for (TR_LANG_LINE* ll = bl->lang_list; ll; ll = ll->box_next)
                s += (ll == bl->lang_list ? "" : "|") + ll_text(ll);
            out.push_back(s);
        }
    tr_unlock(sq);
    return out;
}

// The element runs of a box line in visual order, as text.
inline std::vector<std::string> element_runs(TR_BOX_LINE* bl) {
    std::vector<std::string> v;
    for (TR_ELEMENT* e = bl->el_head.next; e != &bl->el_head; e = e->next) {
        auto* ew = static_cast<SP_ELEMENT_WORK*>(e->work);
        if (!ew || e->cr) continue;
        std::string s;
        for (int i = 0; i < ew->len; i++) {
            L_CHAR c = ew->str[i];
            s += c < 128 ? std::string(1, static_cast<char>(c)) : "<" + std::to_string(c) + ">";
        }
        v.push_back(s);
    }
    return v;
}

inline TR_BOX_LINE* nth_box_line(TR_SEQUENCE* sq, int box, int line) {
    TR_BOX* b = sq->box_ring.next;
    for (int i = 0; i < box && b->seq; i++)
        b = b->next;
    if (!b->seq) return nullptr;
    TR_BOX_LINE* bl = b->line_list;
    for (int i = 0; i < line && bl; i++)
        bl = bl->next;
    return bl;
}

inline std::u32string copy_all(TR_SEQUENCE* sq) {
    std::vector<L_CHAR> buf(1 << 16);
    tr_lock(sq);
    int n = _tr_copyout(sq, _tr_first_ptr(sq), buf.data(), static_cast<int>(buf.size()));
    tr_unlock(sq);
    return std::u32string(buf.begin(), buf.begin() + (n < 0 ? 0 : n));
}

// Sets the space and delimiter lists of "en" and the escape lists of "ja" (the system sets
// none).
inline void set_lang_lists(const std::vector<L_CHAR>& space, const std::vector<L_CHAR>& delim,
                           const std::vector<L_CHAR>& end_esc, const std::vector<L_CHAR>& top_esc,
                           int ja_dir = 5) {
    auto z = [](std::vector<L_CHAR> v) {
        v.push_back(0);
        return v;
    };
    auto sp = z(space), de = z(delim), ee = z(end_esc), te = z(top_esc);
    EN_WORK en{sp.data(), de.data()};
    JA_WORK jw{ja_dir, ee.data(), te.data()};
    tr_setup_lang("en", 1, &en);
    tr_setup_lang("ja", 1, &jw);
}

// A sequence on the string-picture back end, closed at the end of the scope.
struct Seq {
    TR_SEQUENCE* sq;
    explicit Seq(int pri = 2) {
        fix_style();
        sq = tr_new_sequence(&string_pic_op, pri, nullptr);
    }
    ~Seq() { tr_close_sequence(sq); }
    TR_BOX* box(const TR_BOX_ATTR& a) { return tr_new_box(sq, nullptr, &a); }
    void wait() { tr_wait_stable_sequence(sq); }
    operator TR_SEQUENCE*() const { return sq; }
};
