// The style registry: font priority lists, writing styles and their child links.
#include "render/style.h"

#include <cstring>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "base/alloc.h"
#include "base/textutil.h"
#include "longchar/longchar.h"
#include "render/font.h"

LC_WRITING_STYLE* ws_list = nullptr;

namespace {

SEM wct_lock = nullptr;
std::once_flag wct_once;

}  // namespace

SEM get_wct_lock() {
    std::call_once(wct_once, [] { new_lock(&wct_lock); });
    return wct_lock;
}

// ---------------------------------------------------------------- font priority lists

int fpn_room(int n) {
    int room = 4;
    while (room < n + 1)
        room *= 2;
    return room;
}

int fpn_len(const FONT_PRI_NAME* list) {
    int n = 0;
    if (list)
        while (list[n].font)
            n++;
    return n;
}

FONT_PRI_NAME* copy_font_pri_name(const FONT_PRI_NAME* list) {
    if (!list) return nullptr;
    int n = fpn_len(list);
    // Cleared, so that the end record and the room beyond it are zero.
    auto* r = static_cast<FONT_PRI_NAME*>(d_calloc(fpn_room(n), sizeof(FONT_PRI_NAME)));
    memcpy(r, list, static_cast<size_t>(n) * sizeof(FONT_PRI_NAME));
    for (int i = 0; i < n; i++)
        r[i].font = ll_copy_str(list[i].font);
    return r;
}

void free_font_pri_name(FONT_PRI_NAME* list) {
    if (!list) return;
    for (FONT_PRI_NAME* p = list; p->font; p++)
        d_f_ree(p->font);
    d_f_ree(list);
}

// ---------------------------------------------------------------- styles

namespace {

// A style with copies of the name and the lists, not yet in ws_list. Touches nothing shared.
LC_WRITING_STYLE* make_ws(const L_CHAR* stylename, const FONT_PRI_NAME* un, const FONT_PRI_NAME* ja,
                          const FONT_PRI_NAME* tw, const FONT_PRI_NAME* cn,
                          const FONT_PRI_NAME* kr) {
    auto* ws = static_cast<LC_WRITING_STYLE*>(d_calloc(1, sizeof(LC_WRITING_STYLE)));
    ws->stylename = ll_copy_str(stylename);
    ws->un_fonts_n = copy_font_pri_name(un);
    ws->ja_fonts_n = copy_font_pri_name(ja);
    ws->tw_fonts_n = copy_font_pri_name(tw);
    ws->cn_fonts_n = copy_font_pri_name(cn);
    ws->kr_fonts_n = copy_font_pri_name(kr);
    ws->self_children_list.ws = ws;
    return ws;
}

}  // namespace

LC_WRITING_STYLE* _new_ws(const L_CHAR* stylename, const FONT_PRI_NAME* un, const FONT_PRI_NAME* ja,
                          const FONT_PRI_NAME* tw, const FONT_PRI_NAME* cn,
                          const FONT_PRI_NAME* kr) {
    LC_WRITING_STYLE* ws = make_ws(stylename, un, ja, tw, cn, kr);
    ws->next = ws_list;
    ws_list = ws;
    return ws;
}

LC_WRITING_STYLE* new_ws(const L_CHAR* stylename, const FONT_PRI_NAME* un, const FONT_PRI_NAME* ja,
                         const FONT_PRI_NAME* tw, const FONT_PRI_NAME* cn,
                         const FONT_PRI_NAME* kr) {
    // The copies are made before the lock is taken, so other tasks do not wait on them.
    LC_WRITING_STYLE* ws = make_ws(stylename, un, ja, tw, cn, kr);
    render_first_use();
    TaskLockGuard g(get_wct_lock());
    ws->next = ws_list;
    ws_list = ws;
    return ws;
}

LC_WRITING_STYLE* _get_ws(const L_CHAR* stylename) {
    if (!stylename) return nullptr;
    for (LC_WRITING_STYLE* ws = ws_list; ws; ws = ws->next)
        if (ws->stylename && l_strcmp(ws->stylename, stylename) == 0) return ws;
    return nullptr;
}

LC_WRITING_STYLE* get_ws(const L_CHAR* stylename) {
    render_first_use();
    TaskLockGuard g(get_wct_lock());
    return _get_ws(stylename);
}

int _ws_reaches(const LC_WRITING_STYLE* from, const LC_WRITING_STYLE* to) {
    if (!from || !to) return 0;
    // Depth first with a stack of our own: chains of children may be long. Styles reached by
    // several paths are looked at once.
    std::vector<const LC_WRITING_STYLE*> stack{from};
    std::unordered_set<const LC_WRITING_STYLE*> seen{from};
    while (!stack.empty()) {
        const LC_WRITING_STYLE* ws = stack.back();
        stack.pop_back();
        if (ws == to) return 1;
        for (const LC_WS_CHILDREN_LIST* c = ws->children; c; c = c->next)
            if (seen.insert(c->ws).second) stack.push_back(c->ws);
    }
    return 0;
}

// Appends child to parent's children: 0. A child that is the parent or one of its ancestors is
// refused with -1 (nothing changes), since a walk over the styles would then never end.
int _set_ws_child(LC_WRITING_STYLE* parent, LC_WRITING_STYLE* child) {
    if (!parent || !child || _ws_reaches(child, parent)) return -1;
    auto* link = static_cast<LC_WS_CHILDREN_LIST*>(d_calloc(1, sizeof(LC_WS_CHILDREN_LIST)));
    link->ws = child;
    LC_WS_CHILDREN_LIST** pp = &parent->children;
    while (*pp)
        pp = &(*pp)->next;
    *pp = link;
    return 0;
}

int set_ws_child(LC_WRITING_STYLE* parent, LC_WRITING_STYLE* child) {
    render_first_use();
    TaskLockGuard g(get_wct_lock());
    return _set_ws_child(parent, child);
}
