// Structure blocks: the array, heuristic-layering and primitive kinds, their byte forms (damaged
// bytes included) and the script functions that make them.
#include <algorithm>
#include <cmath>

#include "server/interp.h"

#include "calops_util.h"
#include "matrix/mx_sb.h"
#include "matrixops/plot_sb.h"
#include "matrixops/sb_script.h"

namespace {

using namespace mxt;

// A node of the matrix at the given level and origin, outside the store.
struct FakeNode {
    MATRIX_NODE n{};
    int64_t dc[3];
    FakeNode(MATRIX* m, int64_t level, int64_t x, int64_t y) : dc{level, x, y} {
        n.matrix = m;
        n.dim_code = dc;
    }
};

class SbTest : public MatrixTest {
  protected:
    MATRIX* geo(int block) { return open({2, 4096, 1, block, 1, MXT_INT32 + MXT_VECTOR}); }
    static MX_STRUCT_BLOCK* prim(MX_SB_NEW* at, std::vector<uint8_t> bytes) {
        MATRIX_ALLOC_BLOCK_PARAM p{};
        p.size = static_cast<int32_t>(bytes.size());
        p.block = bytes.data();
        return blk_primitive_tbl.new_sb(at, &p);
    }
    static SA_STRUCT_BLOCK* array(MX_SB_NEW* at) {
        SA_NEW nw{blk_primitive_tbl.new_sb(at, nullptr)};
        return reinterpret_cast<SA_STRUCT_BLOCK*>(blk_s_array_tbl.new_sb(at, &nw));
    }
    static std::vector<uint8_t> bytes_of(MX_STRUCT_BLOCK* b) {
        MATRIX_ALLOC_BLOCK_PARAM* p = b->tbl->struct2block(b);
        std::vector<uint8_t> r(p->block, p->block + p->size);
        EXPECT_EQ(p->h.type, 0);
        free_sb_bytes(p);
        return r;
    }
    static int read_into(MX_STRUCT_BLOCK* b, std::vector<uint8_t> bytes) {
        MATRIX_ALLOC_BLOCK_PARAM p{};
        p.size = static_cast<int32_t>(bytes.size());
        p.block = bytes.data();
        return b->tbl->block2struct(b, &p);
    }
};

TEST_F(SbTest, ArrayInsertGrowsDeleteShrinksSearchListsLastFirst) {
    MATRIX* m = geo(8);
    FakeNode fn(m, 0, 0, 0);
    MX_SB_NEW at{m, &fn.n, 0};
    SA_STRUCT_BLOCK* a = array(&at);
    int i57[2] = {5, 7}, i37[2] = {3, 7}, i39[2] = {3, 9};
    ASSERT_EQ(sa_insert_blk(a, i57, prim(&at, {1})), 0);
    ASSERT_NE(a->index, nullptr);
    EXPECT_EQ(a->index->start, 5);
    EXPECT_EQ(a->index->end, 6);
    auto* inner = static_cast<SA_ARRAY*>(a->index->p[0]);
    EXPECT_EQ(inner->start, 7);
    EXPECT_EQ(inner->end, 8);
    ASSERT_EQ(sa_insert_blk(a, i37, prim(&at, {2})), 0);
    EXPECT_EQ(a->index->start, 3);
    EXPECT_EQ(a->index->end, 6);
    EXPECT_NE(a->index->p[0], nullptr);
    EXPECT_EQ(a->index->p[1], nullptr);
    EXPECT_NE(a->index->p[2], nullptr);

    // A taken place: the operation's own copy is released and its member cleared.
    SA_OP op{};
    op.index1 = i37;
    EXPECT_EQ(blk_s_array_tbl.operation(SA_OP_INSERT, &a->h, &op), -1);
    EXPECT_EQ(op.member, nullptr);
    op.index1 = i39;
    EXPECT_EQ(blk_s_array_tbl.operation(SA_OP_INSERT, &a->h, &op), 0);
    EXPECT_NE(op.member, nullptr);
    // A given member of another kind than the template is refused.
    SA_OP other{};
    other.index1 = i39;
    other.member = blk_h_layering_tbl.new_sb(&at, nullptr);
    int i11[2] = {1, 1};
    other.index1 = i11;
    EXPECT_EQ(blk_s_array_tbl.operation(SA_OP_INSERT, &a->h, &other), -1);
    free_struct_block(other.member);
    // Indexes outside the node block are refused.
    int bad[2] = {256, 0}, neg[2] = {0, -1};
    MX_STRUCT_BLOCK* spare = prim(&at, {});
    EXPECT_EQ(sa_insert_blk(a, bad, spare), -1);
    EXPECT_EQ(sa_insert_blk(a, neg, spare), -1);
    free_struct_block(spare);

    int lo[2] = {0, 0}, hi[2] = {10, 10};
    MX_SB_LIST* l = sa_search_blk(a, lo, hi);
    std::vector<std::pair<int, int>> found;
    for (MX_SB_LIST* e = l; e; e = e->next)
        found.push_back({e->work[0], e->work[1]});
    free_sb_list(l);
    EXPECT_EQ(found, (std::vector<std::pair<int, int>>{{5, 7}, {3, 9}, {3, 7}}));
    l = sa_search_blk(a, i57, nullptr);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->next, nullptr);
    free_sb_list(l);

    SA_OP del{};
    del.index1 = i57;
    del.del_flag = 1;
    EXPECT_EQ(blk_s_array_tbl.operation(SA_OP_DELETE, &a->h, &del), 0);
    EXPECT_EQ(blk_s_array_tbl.operation(SA_OP_DELETE, &a->h, &del), -1);
    EXPECT_EQ(sa_delete_blk(a, i37, 1), 0);
    EXPECT_EQ(sa_delete_blk(a, i39, 1), 0);
    EXPECT_EQ(a->index, nullptr);
    EXPECT_EQ(blk_s_array_tbl.operation(9, &a->h, &del), -1);
    free_struct_block(a);
}

TEST_F(SbTest, ArrayBytesUseOneByteOrCompactIndexesAndRefuseDamage) {
    for (int block : {8, 9}) {
        MATRIX* m = geo(block);
        FakeNode fn(m, 0, 0, 0);
        MX_SB_NEW at{m, &fn.n, 0};
        SA_STRUCT_BLOCK* a = array(&at);
        int i1[2] = {2, 200}, i2[2] = {1, 3};
        ASSERT_EQ(sa_insert_blk(a, i1, prim(&at, {0xAA, 0xBB})), 0);
        ASSERT_EQ(sa_insert_blk(a, i2, prim(&at, {})), 0);
        std::vector<uint8_t> b = bytes_of(&a->h);
        std::vector<uint8_t> want =
            block == 8 ? std::vector<uint8_t>{1, 3, 0, 0, 2, 200, 0, 2, 0xAA, 0xBB}
                       : std::vector<uint8_t>{0, 1, 0, 3, 0, 0, 0, 2, 0, 200, 0, 2, 0xAA, 0xBB};
        EXPECT_EQ(b, want) << block;

        // Copy: its own template; both released once (the sanitizer checks).
        MX_STRUCT_BLOCK* c = a->h.tbl->copy_sb(&a->h);
        EXPECT_NE(reinterpret_cast<SA_STRUCT_BLOCK*>(c)->member, a->member);
        EXPECT_EQ(bytes_of(c), want);
        free_struct_block(c);

        SA_STRUCT_BLOCK* r = array(&at);
        EXPECT_EQ(read_into(&r->h, b), 0);
        EXPECT_EQ(bytes_of(&r->h), want);
        // The same members again: duplicate indexes.
        EXPECT_EQ(read_into(&r->h, b), -1);
        free_struct_block(r);

        // Truncated anywhere, a length past the end, an index outside the block.
        for (size_t cut = 1; cut < b.size(); cut++) {
            SA_STRUCT_BLOCK* t = array(&at);
            std::vector<uint8_t> part(b.begin(), b.begin() + cut);
            int rc = read_into(&t->h, part);
            bool boundary = block == 8 ? cut == 4 : cut == 6;
            EXPECT_EQ(rc, boundary ? 0 : -1) << block << " " << cut;
            free_struct_block(t);
        }
        SA_STRUCT_BLOCK* t = array(&at);
        std::vector<uint8_t> big =
            block == 8 ? std::vector<uint8_t>{1, 3, 0, 9} : std::vector<uint8_t>{0, 1, 0, 3, 0, 9};
        EXPECT_EQ(read_into(&t->h, big), -1);
        if (block == 9) {
            // 512 is outside a block of 2^9.
            EXPECT_EQ(read_into(&t->h, {0x02, 0x00, 0, 3, 0, 0}), -1);
            EXPECT_EQ(read_into(&t->h, {0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), -1);
        }
        EXPECT_EQ(t->index, nullptr);
        free_struct_block(t);
        free_struct_block(a);
    }
}

TEST_F(SbTest, HeuristicLayeringClicksScoreAndBytes) {
    MATRIX* m = geo(8);
    FakeNode fn(m, 1, 512, 256);
    MX_SB_NEW at{nullptr, &fn.n, 0};
    auto* b = reinterpret_cast<HL_STRUCT_BLOCK*>(blk_h_layering_tbl.new_sb(&at, nullptr));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->h.n.m, m);
    int64_t ix[2] = {3, 4};
    EXPECT_EQ(hl_insert_point(b, 7, ix, 100, 1, 0, 0), 1);
    EXPECT_EQ(hl_insert_point(b, 7, ix, 100.1, 1, 0, 0), 1);
    ASSERT_NE(hl_search(b, 7), nullptr);
    EXPECT_EQ(hl_search(b, 7)->clk->next, nullptr);
    EXPECT_EQ(hl_search(b, 7)->clk->show, 2);
    EXPECT_EQ(hl_insert_point(b, 7, ix, 101, 0, 1, 0), 1);
    EXPECT_NE(hl_search(b, 7)->clk->next, nullptr);
    EXPECT_EQ(hl_insert_point(b, 7, ix, 0, 1, 0, 0), -1);
    EXPECT_EQ(hl_insert_point(b, 7, ix, 101, 0, 1, 1), 0);
    EXPECT_EQ(hl_insert_point(b, 7, ix, 101, 0, 5, 1), 1);

    // Through the operation: absolute level-0 positions become in-node indexes (level 1,
    // divide 1: (x - 512) >> 1).
    HL_OP op{};
    int64_t abs[2] = {512 + 6, 256 + 8};
    op.insert = {9, abs, 50, 1, 0};
    EXPECT_EQ(blk_h_layering_tbl.operation(HL_OP_INSERT, &b->h, &op), 0);
    ASSERT_NE(hl_search(b, 9), nullptr);
    EXPECT_EQ(hl_search(b, 9)->clk->ix[0], 3);
    EXPECT_EQ(hl_search(b, 9)->clk->ix[1], 4);
    EXPECT_EQ(hl_search(b, 9)->clk->show, 1);

    // Exactly at the click: show / 0.1.
    HL_OP calc{};
    calc.calc.id = 9;
    calc.calc.ix = abs;
    calc.calc.reso = 50;
    hl_insert_point(b, 9, hl_search(b, 9)->clk->ix, 50, 3, 0, 1);
    EXPECT_EQ(blk_h_layering_tbl.operation(HL_OP_CALC, &b->h, &calc), 0);
    EXPECT_DOUBLE_EQ(calc.calc.show, 30);
    EXPECT_DOUBLE_EQ(calc.calc.hide, 0);
    calc.calc.id = 1234;
    EXPECT_EQ(hl_calc(b, &calc), -1);
    EXPECT_EQ(blk_h_layering_tbl.operation(2, &b->h, &calc), -1);

    // Bytes round trip: the same ids, clicks and counts.
    std::vector<uint8_t> bytes = bytes_of(&b->h);
    auto* r = reinterpret_cast<HL_STRUCT_BLOCK*>(blk_h_layering_tbl.new_sb(&at, nullptr));
    EXPECT_EQ(read_into(&r->h, bytes), 0);
    auto clicks = [](HL_STRUCT_BLOCK* x) {
        std::vector<std::string> v;
        for (HL_ID_LIST* l = x->id_list; l; l = l->next)
            for (HL_CLICK* c = l->clk; c; c = c->next)
                v.push_back(std::to_string(l->id) + " " + std::to_string(c->reso) + " " +
                            std::to_string(c->ix[0]) + "," + std::to_string(c->ix[1]) + " " +
                            std::to_string(c->show) + "/" + std::to_string(c->hide));
        std::sort(v.begin(), v.end());
        return v;
    };
    EXPECT_EQ(clicks(r), clicks(b));
    MX_STRUCT_BLOCK* c = b->h.tbl->copy_sb(&b->h);
    EXPECT_EQ(clicks(reinterpret_cast<HL_STRUCT_BLOCK*>(c)), clicks(b));
    free_struct_block(c);
    free_struct_block(r);
    // The first id's layout: id 9, one click, reso 50.0 big-endian, ix 3 4, show 3, hide 0.
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4),
              (std::vector<uint8_t>{0, 9, 0, 1}));
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 4, bytes.begin() + 12),
              (std::vector<uint8_t>{0x40, 0x49, 0, 0, 0, 0, 0, 0}));
    // Damage: every cut refuses or stops at an entry's end; an id without count; a zero reso.
    for (size_t cut = 1; cut < bytes.size(); cut++) {
        auto* t = reinterpret_cast<HL_STRUCT_BLOCK*>(blk_h_layering_tbl.new_sb(&at, nullptr));
        read_into(&t->h, std::vector<uint8_t>(bytes.begin(), bytes.begin() + cut));
        free_struct_block(t);
    }
    auto* t = reinterpret_cast<HL_STRUCT_BLOCK*>(blk_h_layering_tbl.new_sb(&at, nullptr));
    EXPECT_EQ(read_into(&t->h, {0, 9}), -1);
    EXPECT_EQ(read_into(&t->h, {0, 9, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0}), -1);
    free_struct_block(t);
    free_struct_block(b);
}

TEST_F(SbTest, PrimitiveKeepsBytesAndPlacementChecksTheMatrix) {
    MATRIX* m = geo(8);
    MATRIX* other = geo(4);
    FakeNode fn(m, 0, 0, 0);
    MX_SB_NEW wrong{other, &fn.n, 0};
    EXPECT_EQ(blk_primitive_tbl.new_sb(&wrong, nullptr), nullptr);
    EXPECT_EQ(blk_s_array_tbl.new_sb(&wrong, nullptr), nullptr);
    EXPECT_EQ(blk_h_layering_tbl.new_sb(&wrong, nullptr), nullptr);
    MX_SB_NEW at{m, &fn.n, 3};
    MX_STRUCT_BLOCK* e = blk_primitive_tbl.new_sb(&at, nullptr);
    EXPECT_TRUE(bytes_of(e).empty());
    EXPECT_EQ(read_into(e, {1, 2, 3}), 0);
    EXPECT_EQ(bytes_of(e), (std::vector<uint8_t>{1, 2, 3}));
    MX_STRUCT_BLOCK* c = e->tbl->copy_sb(e);
    EXPECT_EQ(c->n.channel, 3);
    EXPECT_EQ(bytes_of(c), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(c->tbl->operation(1, c, nullptr), -1);
    free_struct_block(c);
    free_struct_block(e);
}

// Blocks a script made, kept for the test to inspect and release.
std::vector<MX_STRUCT_BLOCK*> kept;
QV_SEXP* qv_testSbKeep(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* v = eval(env, get_el(form, 1));
    if (get_type(v) == QVT_PTR && v->ptr.gc == mx_tag_sb) {
        kept.push_back(static_cast<MX_STRUCT_BLOCK*>(v->ptr.ptr));
        mark("sb");
    } else if (get_type(v) == QVT_ERROR) {
        char code[16];
        snprintf(code, sizeof code, "%08x", v->error.code);
        mark(std::string("ERR ") + code + " " + print_sexp_text(v->error.data, 0));
    } else {
        mark(print_sexp_text(v, 0));
    }
    return nullptr;
}

TEST_F(SbTest, ScriptFunctionsMakeBlocksOfTheChannel) {
    set_env(matrix_qv_env, l_string(std_cm, "testSbKeep"),
            get_func_prim(qv_testSbKeep, FUNC_NORMAL, nullptr, 2, 2));
    MATRIX* m = open({2, 64, 1, 3, 1, MXT_INT32 + MXT_VECTOR});
    for (int s = 0; s < 3; s++)
        set_matrix_cal(m, MI_FETCH_1_TP + s, script(kReady));
    int err = 0;
    int64_t dc[3] = {0, 0, 0};
    MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, 3);
    ASSERT_EQ(err, 0);
    const char* text =
        "(let ((___channel 2)) (testSbKeep (sbPrimitive)) (testSbKeep (sbHeuristocLayering)) "
        "(testSbKeep (sbArray (sbPrimitive))) (testSbKeep (sbArray 5)) "
        "(let ((t (sbPrimitive))) (testSbKeep (sbArray t)) (testSbKeep (sbArray t)))) "
        "(let ((___channel \"x\")) (testSbKeep (sbPrimitive)))";
    for (int s = 0; s < 3; s++)
        set_matrix_cal(m, MI_VISU_1_TP + s, script(text));
    kept.clear();
    take_marks();
    matrix_trigger_access(n, MI_VISU_1_TP, 0);
    EXPECT_TRUE(quiet(m));
    EXPECT_EQ(take_marks(),
              (std::vector<std::string>{"sb", "sb", "sb",
                                        "ERR 80030806 (\"type missmatch\" \"2nd argument\")", "sb",
                                        "ERR 80030806 (\"type missmatch\" \"2nd argument\")",
                                        "ERR 80030806 (\"type missmatch\" \"___channel\")"}));
    // An array takes its template over: a second use of the same template is refused.
    ASSERT_EQ(kept.size(), 4u);
    EXPECT_EQ(kept[0]->tbl, &blk_primitive_tbl);
    EXPECT_EQ(kept[1]->tbl, &blk_h_layering_tbl);
    EXPECT_EQ(kept[2]->tbl, &blk_s_array_tbl);
    for (MX_STRUCT_BLOCK* b : kept) {
        EXPECT_EQ(b->n.n, n);
        EXPECT_EQ(b->n.m, m);
        EXPECT_EQ(b->n.channel, 2);
        free_struct_block(b);
    }
    kept.clear();
    unlock_node(n, nullptr);

    gc_pop(nullptr, nullptr);
    QV_INTERPRETER* qvi = new_qv_interpreter();
    qvi->a_type = QVA_INTERNAL;
    ASSERT_GT(setup_i(qvi), 0);
    QVISP_ENV* plain = new_env(matrix_qv_env);
    EXPECT_EQ(get_type(eval(plain, read_qv_item("(sbPrimitive)"))), QVT_NIL);
    EXPECT_EQ(get_type(eval(plain, read_qv_item("(sbHeuristocLayering)"))), QVT_NIL);
    close_self_interpreter();
    gc_push(nullptr, nullptr, "MatrixTest");
}

}  // namespace

namespace {

using namespace calops;

class SbChannelTest : public CalopsTest {};

TEST_F(SbChannelTest, SetSaveAndLoadKeepBlocksAndBytesInStep) {
    MATRIX* m = ready({MXT_BLOCK, MXT_INT32 + MXT_VECTOR});
    auto k = run_in(m,
                    "(testKeep (mxSetSB (sbHeuristocLayering))) "
                    "(testKeep <mxSetSB channel=\"1\">(sbPrimitive)</mxSetSB>) "
                    "(testKeep <mxSetSB channel=\"5\">(sbPrimitive)</mxSetSB>) "
                    "(testKeep <mxSetSB channel=\"0\">5</mxSetSB>) "
                    "(testKeep <mxSetSB channel=\"0\">(sbHeuristocLayering)</mxSetSB>) "
                    "(testKeep <mxSetSB channel=\"0\">(sbHeuristocLayering)</mxSetSB>) "
                    "(testKeep (mxSaveSB)) (testKeep <mxLoadSB channel=\"9\"/>)");
    ASSERT_EQ(k.size(), 8u);
    EXPECT_EQ(k[0].text,
              "(\"invalid parameter in mxSetSB CH = \" -1 \"attr channel is required\")");
    EXPECT_EQ(k[1].text,
              "(\"invalid parameter in mxSetSB CH = \" 1 \"channel data type is not match to block "
              "type\")");
    EXPECT_EQ(k[2].text,
              "(\"invalid parameter in mxSetSB CH = \" 5 \"channel data boundary error\")");
    EXPECT_EQ(k[3].code, QVE_TYPE_MISMATCH);
    EXPECT_EQ(k[4].text, "()");
    EXPECT_EQ(k[5].text, "()");  // the first block is released (the sanitizer checks)
    EXPECT_EQ(k[6].text, "()");
    EXPECT_EQ(k[7].text, "()");

    int err = 0;
    int64_t dc[3] = {0, 0, 0};
    MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, 3);
    ASSERT_EQ(err, 0);
    auto* hl = static_cast<HL_STRUCT_BLOCK*>(get_channel_struct_block(n, 0));
    ASSERT_NE(hl, nullptr);
    EXPECT_EQ(n->channel[0].data, nullptr);  // nothing changed: nothing saved
    HL_OP op{};
    int64_t at[2] = {3, 4};
    op.insert = {42, at, 10, 1, 0};
    EXPECT_EQ(hl->h.tbl->operation(HL_OP_INSERT, &hl->h, &op), 0);
    matrix_node_channel_unlock(n, 0);
    unlock_node(n, nullptr);

    k = run_in(m, "(testKeep (mxSaveSB))");
    ASSERT_EQ(k.size(), 1u);
    n = get_matrix_node_wait(&err, m, dc, 3);
    auto* data = static_cast<MATRIX_BLOCK*>(n->channel[0].data);
    ASSERT_NE(data, nullptr);
    MATRIX_ALLOC_BLOCK_PARAM* want = hl->h.tbl->struct2block(&hl->h);
    ASSERT_EQ(data->size, want->size);
    EXPECT_EQ(memcmp(data->block, want->block, want->size), 0);
    free_sb_bytes(want);
    unlock_node(n, nullptr);

    // Unchanged since: the data stays as it is; loading rebuilds the clicks from the bytes.
    k = run_in(m, "(testKeep (mxSaveSB)) (testKeep (mxLoadSB))");
    n = get_matrix_node_wait(&err, m, dc, 3);
    EXPECT_EQ(n->channel[0].data, data);
    ASSERT_NE(hl_search(hl, 42), nullptr);
    EXPECT_EQ(hl_search(hl, 42)->clk->show, 1);
    unlock_node(n, nullptr);
    EXPECT_EQ(outside_type("(mxSaveSB)"), QVT_NIL);
    EXPECT_EQ(outside_type("(mxLoadSB)"), QVT_NIL);
}

}  // namespace

namespace {

using namespace calops;

TEST_F(SbTest, PlotBlocksServeThroughTheTable) {
    MATRIX* m = geo(8);
    FakeNode fn(m, 0, 0, 0);
    MX_SB_NEW at{m, &fn.n, 0};
    MX_STRUCT_BLOCK* b = blk_pp_sb_tbl.new_sb(&at, nullptr);
    ASSERT_NE(b, nullptr);
    std::vector<uint8_t> empty = bytes_of(b);
    MX_STRUCT_BLOCK* c = b->tbl->copy_sb(b);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(reinterpret_cast<PP_SB*>(c)->pp->h.m, &reinterpret_cast<PP_SB*>(c)->pm);
    free_struct_block(b);  // the copy keeps its own geometry
    EXPECT_EQ(read_into(c, empty), 0);
    EXPECT_EQ(bytes_of(c), empty);
    free_struct_block(c);
    MX_SB_NEW wrong{geo(4), &fn.n, 0};
    EXPECT_EQ(blk_pp_sb_tbl.new_sb(&wrong, nullptr), nullptr);
}

// Numeric attributes (a channel, a zlib level) are the decimal number their text begins with: a
// text that begins with no number is 0, and what follows the digits is not read.
TEST_F(SbChannelTest, NumericAttributesReadTheNumberTheirTextBeginsWith) {
    MATRIX* m = ready({MXT_INT32 + MXT_VECTOR, MXT_BLOCK});
    struct Case {
        const char* call;
        const char* want;  // printed answer, or the error's data
    } cases[] = {
        {"<mxSetSB channel=\"abc\">(sbPrimitive)</mxSetSB>",
         "(\"invalid parameter in mxSetSB CH = \" 0 \"channel data type is not match to block "
         "type\")"},
        {"<mxSetSB channel=\"-1\">(sbPrimitive)</mxSetSB>",
         "(\"invalid parameter in mxSetSB CH = \" -1 \"channel data boundary error\")"},
        {"<mxSetSB channel=\" 1st\">(sbPrimitive)</mxSetSB>", "()"},
        {"<mxMax channel=\"0th\">(quote (data (0 0 0) 3))</mxMax>", "(data (0 0 0) 3)"},
        {"<mxMax channel=\"2x\">(quote (data (0 0 0) 3))</mxMax>",
         "(\"invalid parameter in mxMax\" \"channel No.\")"},
        {"(testSame (testVec 22 3 2) (mxUncompressZ <mxCompressZ opt=\"3 levels\">(testVec 22 3 "
         "2)</mxCompressZ>))",
         "^same"},
        {"(testSame (testVec 22 3 2) (mxUncompressZ <mxCompressZ opt=\"fast\">(testVec 22 3 "
         "2)</mxCompressZ>))",
         "^same"},
        {"(testSame (testVec 22 3 2) (mxUncompressZ <mxCompressZ opt=\"-1\">(testVec 22 3 "
         "2)</mxCompressZ>))",
         "^same"},  // zlib's default level
        {"<mxCompressZ opt=\"-2\">(testVec 22 3 2)</mxCompressZ>",
         "^\"invalid parameter in mxCompressZ\""},
        {"<mxLoadSB channel=\"x\"/>", "()"},
    };
    std::string text;
    for (const Case& c : cases)
        text += std::string("(testKeep ") + c.call + ")";
    auto k = run_in(m, text);
    ASSERT_EQ(k.size(), std::size(cases));
    for (size_t i = 0; i < k.size(); i++)
        EXPECT_EQ(k[i].text, cases[i].want) << cases[i].call;
}

}  // namespace
