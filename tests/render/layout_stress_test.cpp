// Seeded random edits on several sequences from several tasks at once, against a plain string:
// the text is never lost, and once layout is stable its records are consistent and equal to a
// fresh layout of the final text.
#include <gtest/gtest.h>

#include <random>

#include "layout_util.h"
#include "support/full_pool.h"
#include "support/sync_util.h"

namespace {

// The position of the i-th character (the end for i = length).
TR_PTR ptr_at(TR_SEQUENCE* sq, size_t i) {
    tr_lock(sq);
    TR_PTR p{nullptr, 0};
    for (TR_CHAR_BUF* b = sq->char_buf_ring.next; b->seq; b = b->next) {
        if (i < static_cast<size_t>(b->buf_len) ||
            (i == static_cast<size_t>(b->buf_len) && !b->next->seq)) {
            p = {b, static_cast<int>(i)};
            break;
        }
        i -= b->buf_len;
    }
    tr_unlock(sq);
    return p;
}

// Consistency of a stable sequence; the first fault found, or "".
std::string check_invariants(TR_SEQUENCE* sq) {
    std::string fault;
    tr_lock(sq);
    TR_LANG_LINE* ll = nullptr;
    for (TR_LANG_AREA* a = sq->lang_area_ring.next; a->op && !ll; a = a->next)
        ll = a->line_list;
    TR_PTR expect = _tr_first_ptr(sq);
    for (; ll && fault.empty(); ll = _tr_next_lang_line(ll)) {
        if (tr_ptr_cmp(tr_ll_start(ll), expect) != 0)
            fault = "lines do not tile the text at " + ll_text(ll);
        else if (tr_ptr_cmp(tr_ll_start(ll), tr_ll_end(ll)) >= 0)
            fault = "an empty language line";
        expect = tr_ll_end(ll);
        bool in_box_line = false;
        TR_LANG_LINE* prev = nullptr;
        for (TR_LANG_LINE* x = ll->box_line->lang_list; x; x = x->box_next) {
            in_box_line |= x == ll;
            if (prev && tr_ptr_cmp(tr_ll_start(prev), tr_ll_start(x)) >= 0)
                fault = "a box line's language lines out of text order";
            prev = x;
        }
        if (!in_box_line) fault = "a language line missing from its box line";
        TR_ELEMENT* last = nullptr;
        for (TR_ELEMENT* e = ll->element_list; e; e = e->ll_next)
            last = e;
        if (_tr_last_el(ll) != last) fault = "a language line's last element is not its chain's";
        for (TR_ELEMENT* e = ll->element_list; e; e = e->ll_next) {
            bool in_ring = false;
            for (TR_ELEMENT* r = ll->box_line->el_head.next; r != &ll->box_line->el_head;
                 r = r->next)
                in_ring |= r == e;
            if (!in_ring) fault = "an element missing from its box line's ring";
        }
        // The look-up from the buffers' mappings finds the line holding its first character.
        TR_CHAR_INFO ci;
        if (_tr_get_char_info(&ci, sq, tr_ll_start(ll)) != 0 || ci.lang_line != ll)
            fault = "the mapping does not find the line of " + ll_text(ll);
    }
    if (fault.empty() && tr_ptr_cmp(expect, _tr_end_ptr(sq)) != 0)
        fault = "text left out of every language line";
    for (TR_BOX* b = sq->box_ring.next; b->seq && fault.empty(); b = b->next) {
        int off = 0;
        for (TR_BOX_LINE* bl = b->line_list; bl; bl = bl->next) {
            if (tr_bl_offset(bl) != off) fault = "box line offsets do not add up";
            off += bl->height;
            for (TR_ELEMENT* e = bl->el_head.next; e != &bl->el_head; e = e->next)
                if (e->ll->box_line != bl) fault = "an element in another box line's ring";
        }
    }
    tr_unlock(sq);
    return fault;
}

// The element runs of each box line, each with its measured rectangle, pen advance and place
// on the line (measures of runs already seen are kept per sequence: they must agree with a
// fresh sequence's).
std::vector<std::string> all_runs(TR_SEQUENCE* sq) {
    std::vector<std::string> v;
    tr_lock(sq);
    for (TR_BOX* b = sq->box_ring.next; b->seq; b = b->next)
        for (TR_BOX_LINE* bl = b->line_list; bl; bl = bl->next) {
            auto r = element_runs(bl);
            if (r.empty()) continue;
            std::string s;
            size_t k = 0;
            for (TR_ELEMENT* e = bl->el_head.next; e != &bl->el_head; e = e->next) {
                auto* ew = static_cast<SP_ELEMENT_WORK*>(e->work);
                if (!ew || e->cr) continue;
                const I_RECT& m = ew->pic.r;
                s += "[" + r[k++] + " " + std::to_string(m.tl.x) + "," + std::to_string(m.tl.y) +
                     "," + std::to_string(m.br.x) + "," + std::to_string(m.br.y) + " w" +
                     std::to_string(ew->pic.width) + " @" + std::to_string(ew->offset.x) + "," +
                     std::to_string(ew->offset.y) + "]";
            }
            v.push_back(s);
        }
    tr_unlock(sq);
    return v;
}

// "" when equal, else the first differing entries of both.
std::string first_difference(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    for (size_t i = 0; i < std::max(a.size(), b.size()); i++) {
        std::string x = i < a.size() ? a[i] : "<none>", y = i < b.size() ? b[i] : "<none>";
        if (x != y) return "at " + std::to_string(i) + ": " + x + " / " + y;
    }
    return "";
}

struct Job {
    unsigned seed;
    int edits;
    bool settle;  // wait for stable layout after every edit
    std::vector<std::string> faults;
    std::u32string model;
    TR_SEQUENCE* sq = nullptr;
    Counter* done;
};

std::vector<L_CHAR> random_text(std::mt19937& rng) {
    static const char* words[] = {"ab", "cde", "f", "ghij", "klmnopq", "rs", "tuvwxyzab"};
    std::vector<L_CHAR> t;
    int n = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < n; i++) {
        int k = static_cast<int>(rng() % 10);
        if (k < 6)
            for (const char* w = words[rng() % 7]; *w; w++)
                t.push_back(static_cast<unsigned char>(*w));
        else if (k < 8)
            t.push_back(' ');
        else if (k < 9)
            t.push_back(ja(0x3042 + rng() % 20));
        else
            t.push_back('\n');
    }
    return t;
}

void edit_task(intptr_t d) {
    auto* job = reinterpret_cast<Job*>(d);
    std::mt19937 rng(job->seed);
    TR_SEQUENCE* sq = job->sq;
    for (int e = 0; e < job->edits && job->faults.size() < 3; e++) {
        size_t len = job->model.size();
        if (len == 0 || rng() % 3 != 0) {
            std::vector<L_CHAR> t = random_text(rng);
            size_t at = (rng() % 4 == 0) ? (rng() % 2 ? 0 : len) : rng() % (len + 1);
            TR_PTR p = (rng() % 8 == 0 && at == len) ? TR_PTR{nullptr, 0} : ptr_at(sq, at);
            tr_insert_string(sq, p, static_cast<int>(t.size()), fix_style(), nullptr, nullptr, 10,
                             t.data());
            job->model.insert(at, std::u32string(t.begin(), t.end()));
        } else {
            size_t at = rng() % len;
            size_t n = rng() % 16;
            if (rng() % 10 == 0) n = 0;
            tr_delete_string(sq, ptr_at(sq, at), static_cast<int>(n));
            job->model.erase(at, n);
        }
        if (job->settle) tr_wait_stable_sequence(sq);
        if (copy_all(sq) != job->model)
            job->faults.push_back("text differs from the model after edit " + std::to_string(e));
        if (e % 40 == 39) {
            tr_wait_stable_sequence(sq);
            std::string f = check_invariants(sq);
            if (!f.empty()) job->faults.push_back("after edit " + std::to_string(e) + ": " + f);
        }
    }
    job->done->add();
}

TEST(LayoutStress, RandomEditsKeepTextAndLayoutConsistent) {
    set_lang_lists(text(" "), text("-"), {}, {});
    constexpr int kJobs = 4;
    Counter done;
    std::vector<Job> jobs(kJobs);
    std::vector<Seq*> seqs;
    for (int i = 0; i < kJobs; i++) {
        seqs.push_back(new Seq);
        seqs.back()->box(box_attr(100 + 20 * i));
        jobs[i].seed = 1234u + 77u * i;
        jobs[i].edits = 160;
        jobs[i].settle = i < 2;
        jobs[i].sq = *seqs.back();
        jobs[i].done = &done;
        create_task(edit_task, &jobs[i], 2);
    }
    ASSERT_TRUE(done.wait_for(kJobs, 120000));
    for (int i = 0; i < kJobs; i++) {
        Job& j = jobs[i];
        SCOPED_TRACE("sequence " + std::to_string(i));
        EXPECT_EQ(j.faults, std::vector<std::string>{});
        seqs[i]->wait();
        EXPECT_EQ(check_invariants(*seqs[i]), "");
        // The same text laid out afresh gives the same lines and element runs. Only for the
        // sequences whose layout settled between edits: when edits land while a ripple is under
        // way, a line may stay on a box line of its own where a fresh layout would pull it up
        // (the text and the records stay sound, as checked above).
        if (!j.settle) {
            delete seqs[i];
            continue;
        }
        Seq fresh;
        fresh.box(box_attr(100 + 20 * i));
        append(fresh, std::vector<L_CHAR>(j.model.begin(), j.model.end()));
        fresh.wait();
        EXPECT_EQ(first_difference(box_lines(*seqs[i]), box_lines(fresh)), "");
        EXPECT_EQ(first_difference(all_runs(*seqs[i]), all_runs(fresh)), "");
        delete seqs[i];
    }
}
}  // namespace

namespace {
// A stable sequence whose lines are found from any position: the line holding it begins at or
// before it and ends after it. "" or the first fault.
std::string lookup_fault(TR_SEQUENCE* sq, std::mt19937& rng, size_t len) {
    std::string fault;
    for (int k = 0; k < 60 && len && fault.empty(); k++) {
        const size_t i = rng() % len;
        TR_PTR p = ptr_at(sq, i);
        tr_lock(sq);
        TR_CHAR_INFO ci;
        if (_tr_get_char_info(&ci, sq, p) != 0 || !ci.lang_line)
            fault = "no line holds character " + std::to_string(i);
        else if (tr_ptr_cmp(tr_ll_start(ci.lang_line), p) > 0 ||
                 tr_ptr_cmp(tr_ll_end(ci.lang_line), p) <= 0)
            fault = "the line found for character " + std::to_string(i) + " does not hold it";
        tr_unlock(sq);
    }
    return fault;
}
}  // namespace

// One long buffer (several pieces) edited mostly at a few places, as typing does, and now and
// then anywhere, with insertions and cuts longer than a piece: the later lines move by the
// shifts they take in as they are read (also when many have piled up), and the result equals a
// fresh layout.
TEST(LayoutStress, EditsInOneLongBufferMatchAFreshLayout) {
    set_lang_lists(text(" "), text("-"), {}, {});
    std::mt19937 rng(4321);
    Seq s;
    s.box(box_attr(160));
    std::vector<L_CHAR> start;
    while (start.size() < 3 * TR_PIECE_MAX) {
        std::vector<L_CHAR> t = random_text(rng);
        start.insert(start.end(), t.begin(), t.end());
    }
    append(s, start);
    std::u32string model(start.begin(), start.end());
    s.wait();
    ASSERT_GT(s.sq->char_buf_ring.next->n_pieces, 2);
    size_t places[3] = {100, model.size() / 2, model.size() - 50};
    std::vector<std::string> faults;
    for (int e = 0; e < 400 && faults.size() < 3; e++) {
        const size_t len = model.size();
        const int hot = static_cast<int>(rng() % 3);
        size_t at = rng() % 4 == 0 ? rng() % len : std::min(places[hot], len - 1);
        if (at == 0) at = 1;  // position 0 makes a buffer of its own
        const int kind = static_cast<int>(rng() % 20);
        if (kind < 12) {
            std::vector<L_CHAR> t = random_text(rng);
            if (kind == 0)  // longer than a piece
                for (int i = 0; i < TR_PIECE_MAX + 300; i++)
                    t.push_back(i % 7 ? static_cast<L_CHAR>('a' + i % 26) : ' ');
            tr_insert_string(s, ptr_at(s, at), static_cast<int>(t.size()), fix_style(), nullptr,
                             nullptr, 10, t.data());
            model.insert(at, std::u32string(t.begin(), t.end()));
            places[hot] = at + t.size();
        } else {
            size_t n = 1 + rng() % 12;
            if (kind == 12) n = TR_PIECE_MAX + rng() % 500;  // across pieces
            n = std::min(n, len - at - 1);
            tr_delete_string(s, ptr_at(s, at), static_cast<int>(n));
            model.erase(at, n);
            places[hot] = at;
        }
        s.wait();
        if (copy_all(s) != model)
            faults.push_back("text differs from the model after edit " + std::to_string(e));
        if (e % 100 == 99) {
            std::string f = check_invariants(s);
            if (f.empty()) f = lookup_fault(s, rng, model.size());
            if (!f.empty()) faults.push_back("after edit " + std::to_string(e) + ": " + f);
        }
    }
    EXPECT_EQ(faults, std::vector<std::string>{});
    EXPECT_EQ(s.sq->char_buf_ring.next->next, &s.sq->char_buf_ring);  // still one buffer
    Seq fresh;
    fresh.box(box_attr(160));
    append(fresh, std::vector<L_CHAR>(model.begin(), model.end()));
    fresh.wait();
    EXPECT_EQ(first_difference(box_lines(s), box_lines(fresh)), "");
    EXPECT_EQ(first_difference(all_runs(s), all_runs(fresh)), "");
}

// Layout asked for while no thread is free is not lost: the sequence's task is started by the
// next wait for stable layout once a thread can be had, and the result equals a fresh layout.
TEST(LayoutStress, LayoutAskedForWithoutAThreadIsDoneOnceOneIsFree) {
    set_lang_lists(text(" "), text("-"), {}, {});
    const std::vector<L_CHAR> words = text("words to lay out over more than one line of a box");
    Seq s;
    s.box(box_attr(60));
    s.wait();  // the sequence's task has ended
    Counter go, done;
    struct Wait {
        Seq* s;
        Counter *go, *done;
    };
    // Left to the task should it never come back.
    auto* w = new Wait{&s, &go, &done};
    ASSERT_NE(create_task(
                  [](intptr_t d) {
                      auto* w = reinterpret_cast<Wait*>(d);
                      w->go->wait_for(1);
                      w->s->wait();
                      w->done->add();
                  },
                  w, 2),
              NO_TASK);
    {
        FullPool pool;
        ASSERT_GE(pool.held(), 1);
        // A thread that another task of the program gave back since is taken too. One given
        // back later still could run the layout at once; the test then only checks the layout,
        // so the wait for a thread is not asserted.
        pool.top_up();
        append(s, words);
        go.add();
        done.wait_for(1, 200);  // the wait's first look finds no thread
        pool.free();
        ASSERT_TRUE(done.wait_for(1, 20000)) << "the layout never started";
    }
    delete w;
    Seq fresh;
    fresh.box(box_attr(60));
    append(fresh, words);
    fresh.wait();
    EXPECT_EQ(first_difference(box_lines(s), box_lines(fresh)), "");
    EXPECT_EQ(check_invariants(s), "");
}

namespace {
// Under the sequence's lock: the queued work is done n pieces at a time (all of it for n < 0),
// as the sequence's task would do it between edits.
void run_steps(TR_SEQUENCE* sq, int n) {
    TR_DIRTY d;
    for (int i = 0; (n < 0 || i < n) && _get_dirty(sq, &d) == 0; i++)
        if (d.box)
            _tr_dirty_box(sq, d.box);
        else
            _tr_unmapping_char_proc(sq, &d.umc);
}

// Every box line of every box, also those without text: box, offset, height and text.
std::vector<std::string> geometry(TR_SEQUENCE* sq) {
    std::vector<std::string> v;
    tr_lock(sq);
    int bn = 0;
    for (TR_BOX* b = sq->box_ring.next; b->seq; b = b->next, bn++)
        for (TR_BOX_LINE* bl = b->line_list; bl; bl = bl->next) {
            std::string s = "b" + std::to_string(bn) + " @" + std::to_string(tr_bl_offset(bl)) +
                            " h" + std::to_string(bl->height) + ":";
            for (TR_LANG_LINE* ll = bl->lang_list; ll; ll = ll->box_next)
                s += (ll == bl->lang_list ? "" : "|") + ll_text(ll);
            v.push_back(s);
        }
    tr_unlock(sq);
    return v;
}

TR_PTR locked_ptr_at(TR_SEQUENCE* sq, size_t i) {
    for (TR_CHAR_BUF* b = sq->char_buf_ring.next; b->seq; b = b->next) {
        if (i < static_cast<size_t>(b->buf_len) ||
            (i == static_cast<size_t>(b->buf_len) && !b->next->seq))
            return {b, static_cast<int>(i)};
        i -= b->buf_len;
    }
    return {nullptr, 0};
}
}  // namespace

// Seeded random edits into boxes with a height limit, with the layout done between them either
// to the end or only some steps of it (as happens when edits arrive while the task lays out).
// The steps are run here under the sequence's lock, so each run is the same. Once all is laid
// out, the placed text equals a fresh layout's: nothing is left out while a box has room, and
// no edit ends the program.
TEST(LayoutStress, EditsInBoxesWithAHeightLimitMatchAFreshLayout) {
    set_lang_lists(text(" "), text("-"), {}, {});
    struct Case {
        const char* name;
        std::vector<std::pair<int, int>> boxes;  // width, height limit (-1: none)
        int max_steps;                           // between edits (-1: all)
        bool feeds;                              // line feeds in the text
        bool appends_only;                       // as the markup writes
    };
    const Case cases[] = {
        {"one limited box, settled", {{80, 200}}, -1, true, false},
        {"three limited boxes, settled", {{80, 60}, {50, 40}, {80, 100}}, -1, false, false},
        {"limited and unlimited, settled", {{80, 60}, {50, 40}, {60, -1}}, -1, true, false},
        {"one limited box, steps between", {{80, 200}}, 3, true, false},
        {"three boxes, steps between", {{80, 60}, {50, 40}, {60, -1}}, 4, true, false},
        {"appends, steps between", {{80, 200}}, 2, true, true},
        {"appends to three boxes, steps between", {{80, 60}, {50, 40}, {80, 60}}, 2, true, true},
    };
    for (const Case& c : cases) {
        for (unsigned seed = 1; seed <= 12; seed++) {
            SCOPED_TRACE(std::string(c.name) + ", seed " + std::to_string(seed));
            std::mt19937 rng(seed * 7919u);
            Seq s;
            for (auto [w, h] : c.boxes)
                s.box(box_attr(w, h));
            std::u32string model;
            tr_lock(s);
            for (int e = 0; e < 60; e++) {
                const size_t len = model.size();
                if (c.appends_only || len == 0 || rng() % 3 != 0) {
                    std::vector<L_CHAR> t = random_text(rng);
                    if (!c.feeds) std::replace(t.begin(), t.end(), L_CHAR{'\n'}, L_CHAR{' '});
                    const size_t at = c.appends_only ? len : rng() % (len + 1);
                    _tr_insert_string(s, c.appends_only ? TR_PTR{nullptr, 0} : locked_ptr_at(s, at),
                                      static_cast<int>(t.size()), fix_style(), nullptr, nullptr, 10,
                                      t.data());
                    model.insert(at, std::u32string(t.begin(), t.end()));
                } else {
                    const size_t at = rng() % len, n = 1 + rng() % 7;
                    _tr_delete_string(s, locked_ptr_at(s, at), static_cast<int>(n));
                    model.erase(at, n);
                }
                run_steps(s, c.max_steps < 0 ? -1 : static_cast<int>(rng() % (c.max_steps + 1)));
            }
            run_steps(s, -1);
            tr_unlock(s);
            s.wait();
            ASSERT_EQ(copy_all(s), model);
            Seq fresh;
            for (auto [w, h] : c.boxes)
                fresh.box(box_attr(w, h));
            append(fresh, std::vector<L_CHAR>(model.begin(), model.end()));
            fresh.wait();
            ASSERT_EQ(first_difference(geometry(s), geometry(fresh)), "");
            EXPECT_EQ(first_difference(all_runs(s), all_runs(fresh)), "");
        }
    }
}

// A limited box acted on directly while it still waits in the dirty list: its lines go and come
// again, and the box is listed anew when it is marked while it acts, without a fault.
TEST(LayoutStress, ALimitedBoxActedOnWhileListedLaysOutAgain) {
    set_lang_lists(text(" "), text("-"), {}, {});
    const std::vector<L_CHAR> words = text("words to lay out\nover more than one line of a box");
    Seq s;
    TR_BOX* box = s.box(box_attr(80, 60));
    append(s, words);
    s.wait();
    tr_lock(s);
    _dirty_box(s, box, 12);
    _tr_dirty_box(s, box);
    int listed = 0;
    for (TR_BOX* b = s.sq->dirty_box; b; b = b->dirty_next)
        listed += b == box;
    EXPECT_EQ(listed, 1);  // marked again by its lines going
    tr_unlock(s);
    s.wait();
    Seq fresh;
    fresh.box(box_attr(80, 60));
    append(fresh, words);
    fresh.wait();
    EXPECT_EQ(first_difference(geometry(s), geometry(fresh)), "");
}
