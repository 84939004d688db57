// Test support of the calibration operations: element values made by the test, a built-in that
// keeps what a script answered, and running a script once in a ready node.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "../matrix/mx_util.h"
#include "matrixops/mtx_types.h"
#include "matrixops/mx_item.h"
#include "server/interp.h"

namespace calops {

using namespace mxt;

// One answer of a script: its printed form and, for data items and raw values, the raw bytes.
struct Kept {
    std::string text;
    std::vector<uint8_t> raw;
    uint32_t code = 0;  // error code, 0 for a value
};
inline std::vector<Kept> kept;

inline QV_SEXP* qv_testKeep(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* v = eval(env, get_el(form, 1));
    Kept k;
    if (get_type(v) == QVT_ERROR) {
        k.code = v->error.code;
        k.text = print_sexp_text(v->error.data, 0);
    } else {
        k.text = print_sexp_text(v, 0);
        QV_SEXP* r = get_type(v) == QVT_PAIR ? get_el(v, 2) : v;
        if (get_type(r) == QVT_RAW) k.raw.assign(r->raw.data, r->raw.data + r->raw.size);
    }
    kept.push_back(k);
    return nullptr;
}

// (testVec type w h [bytes...]): a data item at (0 0 0) holding a raw vector of the type code and
// sizes, its values from the bytes (repeated), else value i = i * 7 + 1.
inline std::vector<uint8_t> vec_bytes(int type, std::vector<int> sizes, std::vector<int64_t> vals) {
    MATRIX_DATA_TYPE* tp = get_matrix_data_type(type);
    int el = tp->parent ? tp->parent->get_size(tp->parent, nullptr) : 1;
    int off = mxt_vector_offset(static_cast<int>(sizes.size()), el);
    int64_t n = 1;
    for (int s : sizes)
        n *= s;
    std::vector<uint8_t> b(off + n * el);
    mxt_write_vector_header(b.data(), off, type, static_cast<int>(sizes.size()), sizes.data());
    for (int64_t i = 0; i < n; i++) {
        int64_t v = vals.empty() ? i * 7 + 1 : vals[i % vals.size()];
        memcpy(b.data() + off + i * el, &v, el);  // little-endian host
    }
    return b;
}
inline QV_SEXP* qv_testVec(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    int type = static_cast<int>(get_el(form, 1)->integer.data);
    std::vector<int> sizes{static_cast<int>(get_el(form, 2)->integer.data),
                           static_cast<int>(get_el(form, 3)->integer.data)};
    std::vector<int64_t> vals;
    for (int i = 4; get_type(get_el(form, i)) == QVT_INTEGER; i++)
        vals.push_back(get_el(form, i)->integer.data);
    std::vector<uint8_t> b = vec_bytes(type, sizes, vals);
    return List(
        n_get_symbol("data"),
        List(get_integer(0, nullptr), get_integer(0, nullptr), get_integer(0, nullptr), LIST_END),
        get_raw(b.data(), static_cast<int32_t>(b.size())), LIST_END);
}
// (testRaw bytes...): a data item holding the raw bytes given.
inline QV_SEXP* qv_testRaw(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    std::vector<uint8_t> b;
    for (int i = 1; get_type(get_el(form, i)) == QVT_INTEGER; i++)
        b.push_back(static_cast<uint8_t>(get_el(form, i)->integer.data));
    return List(
        n_get_symbol("data"),
        List(get_integer(0, nullptr), get_integer(0, nullptr), get_integer(0, nullptr), LIST_END),
        get_raw(b.data(), static_cast<int32_t>(b.size())), LIST_END);
}
// (testAt level item): the data item moved to node (level 0 0).
inline QV_SEXP* qv_testAt(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return List(n_get_symbol("data"),
                List(get_el(form, 1), get_integer(0, nullptr), get_integer(0, nullptr), LIST_END),
                get_el(get_el(form, 2), 2), LIST_END);
}
// (testCdr item): the V of a data item.
inline QV_SEXP* qv_testCdr(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return get_el(get_el(form, 1), 2);
}
// Raw bytes handed over by the test for testBytes.
inline std::vector<std::vector<uint8_t>> given;
inline QV_SEXP* qv_testBytes(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    auto& b = given.at(get_el(form, 1)->integer.data);
    return List(
        n_get_symbol("data"),
        List(get_integer(0, nullptr), get_integer(0, nullptr), get_integer(0, nullptr), LIST_END),
        get_raw(b.data(), static_cast<int32_t>(b.size())), LIST_END);
}

// A collected string vector of the texts: a pointer value with the mark of a collected copy.
inline QV_SEXP* strv_value(const std::vector<std::string>& texts) {
    MATRIX_DATA_TYPE* tp = get_matrix_data_type(MXT_STRING + MXT_VECTOR);
    int n = static_cast<int>(texts.size());
    MATRIX_ALLOC_VECTOR_PARAM vp{1, &n, nullptr, nullptr};
    void* v = tp->alloc_data(tp, MXA_COLLECTED, &vp, nullptr, __FILE__, __LINE__);
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, v);
    for (int i = 0; i < n; i++)
        reinterpret_cast<char**>(dh.offset)[i] = copy_mstr(texts[i].c_str());
    return get_ptr(v, mtx_gc_vector);
}
// (testStrV text...): a data item at (0 0 0) holding a string vector of the texts.
inline QV_SEXP* qv_testStrV(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    std::vector<std::string> t;
    for (int i = 1; get_type(get_el(form, i)) == QVT_STRING; i++)
        t.push_back(n_string(std_cm, get_el(form, i)->string.data));
    return List(
        n_get_symbol("data"),
        List(get_integer(0, nullptr), get_integer(0, nullptr), get_integer(0, nullptr), LIST_END),
        strv_value(t), LIST_END);
}
// The element an item's value holds, as its type code and values: numbers of an integer vector,
// texts of a string vector, characters of a block; "none" when the value holds no element.
inline std::string describe(QV_SEXP* v) {
    MxElement e;
    if (!mx_item_element(v, false, &e)) return "none";
    std::string s = std::to_string(e.tp->type) + ":";
    if (e.is_block()) {
        auto* b = static_cast<MATRIX_BLOCK*>(e.d);
        return s + std::string(reinterpret_cast<char*>(b->block), b->size);
    }
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, e.d);
    for (int64_t i = 0; i < dh.total_element; i++) {
        if (e.tp->type == MXT_STRING + MXT_VECTOR)
            s += std::string(" ") + reinterpret_cast<char**>(dh.offset)[i];
        else if (e.tp->type == MXT_INT32 + MXT_VECTOR)
            s += " " + std::to_string(reinterpret_cast<int32_t*>(dh.offset)[i]);
    }
    return s;
}
// (testSame A B): whether the elements of two data items are equal by their type's comparison.
inline QV_SEXP* qv_testSame(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    MxElement a, b;
    bool same = mx_item_element(get_el(get_el(form, 1), 2), false, &a) &&
                mx_item_element(get_el(get_el(form, 2), 2), false, &b) && a.tp == b.tp &&
                a.tp->cmp(a.tp, a.d, b.d) == 0;
    return n_get_symbol(same ? "same" : "differ");
}

class CalopsTest : public MatrixTest {
  protected:
    void SetUp() override {
        MatrixTest::SetUp();
        static bool bound = false;
        if (!bound) {
            bound = true;
            set_env(matrix_qv_env, l_string(std_cm, "testKeep"),
                    get_func_prim(qv_testKeep, FUNC_NORMAL, nullptr, 2, 2));
            set_env(matrix_qv_env, l_string(std_cm, "testVec"),
                    get_func_prim(qv_testVec, FUNC_APPLICATIVE, nullptr, 4, FUNC_NO_MAX));
            set_env(matrix_qv_env, l_string(std_cm, "testRaw"),
                    get_func_prim(qv_testRaw, FUNC_APPLICATIVE, nullptr, 1, FUNC_NO_MAX));
            set_env(matrix_qv_env, l_string(std_cm, "testAt"),
                    get_func_prim(qv_testAt, FUNC_APPLICATIVE, nullptr, 3, 3));
            set_env(matrix_qv_env, l_string(std_cm, "testCdr"),
                    get_func_prim(qv_testCdr, FUNC_APPLICATIVE, nullptr, 2, 2));
            set_env(matrix_qv_env, l_string(std_cm, "testBytes"),
                    get_func_prim(qv_testBytes, FUNC_APPLICATIVE, nullptr, 2, 2));
            set_env(matrix_qv_env, l_string(std_cm, "testStrV"),
                    get_func_prim(qv_testStrV, FUNC_APPLICATIVE, nullptr, 1, FUNC_NO_MAX));
            set_env(matrix_qv_env, l_string(std_cm, "testSame"),
                    get_func_prim(qv_testSame, FUNC_APPLICATIVE, nullptr, 3, 3));
        }
        kept.clear();
    }
    // A ready 64 x 64 matrix (blocks of 8, divide 1) of the channel types given.
    MATRIX* ready(std::vector<int> types = {MXT_INT32 + MXT_VECTOR}) {
        MATRIX* m = open({2, 64, 1, 3, static_cast<int>(types.size()), types[0], MX_CH_FILE});
        for (size_t ch = 1; ch < types.size(); ch++) {
            MATRIX_CHANNEL_INFO ci{get_matrix_data_type(types[ch]), MX_CH_FILE, nullptr, 0};
            set_matrix_channel_info(m, static_cast<int>(ch), &ci);
        }
        for (int s = 0; s < 3; s++)
            set_matrix_cal(m, MI_FETCH_1_TP + s, script(kReady));
        return m;
    }
    // Runs the text as the visual script of node (level 0 0) of m; the kept answers.
    std::vector<Kept> run_in(MATRIX* m, const std::string& text, int64_t level = 0) {
        int err = 0;
        int64_t dc[3] = {level, 0, 0};
        MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, 3);
        EXPECT_EQ(err, 0);
        for (int s = 0; s < 3; s++)
            set_matrix_cal(m, MI_VISU_1_TP + s, script(text.c_str()));
        kept.clear();
        matrix_trigger_access(n, MI_VISU_1_TP, 0);
        EXPECT_TRUE(quiet(m));
        unlock_node(n, nullptr);
        return kept;
    }
    std::vector<Kept> run(const std::string& text, int64_t level = 0) {
        return run_in(ready(), text, level);
    }
    // The expression evaluated outside any calibration script.
    static int outside_type(const char* text) {
        gc_pop(nullptr, nullptr);
        QV_INTERPRETER* qvi = new_qv_interpreter();
        qvi->a_type = QVA_INTERNAL;
        EXPECT_GT(setup_i(qvi), 0);
        QVISP_ENV* plain = new_env(matrix_qv_env);
        int t = get_type(eval(plain, read_qv_item(text)));
        close_self_interpreter();
        gc_push(nullptr, nullptr, "MatrixTest");
        return t;
    }
};

}  // namespace calops
