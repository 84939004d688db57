// Compact dimension codes and node transfer records: exact bytes, round trips between matrices,
// refusal of malformed or foreign records without touching the node, node copies in both
// directions at once.
#include <random>

#include "matrix/compact_code.h"
#include "matrix/mxtransfer.h"
#include "mx_util.h"

namespace {

using namespace mxt;

std::string hex(const uint8_t* p, size_t n) {
    std::string r;
    char b[4];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        r += b;
    }
    return r;
}
std::string hex(QV_SEXP* raw) {
    return hex(raw->raw.data, raw->raw.size);
}

TEST(CompactCode, ExactBytesAndDimensionCodes) {
    struct {
        int64_t v;
        const char* code;
    } cases[] = {
        {0, "00 00"},
        {-1, "7F FF"},
        {16383, "3F FF"},
        {16384, "80 00 40 00"},
        {-16384, "40 00"},
        {-16385, "BF FF BF FF"},
        {(int64_t{1} << 59) - 1, "E7 FF FF FF FF FF FF FF"},
        {int64_t{1} << 59, "F0 08 00 00 00 00 00 00 00"},
        {-(int64_t{1} << 44), "D0 00 00 00 00 00"},
    };
    for (auto& k : cases) {
        uint8_t buf[COMPACT_CODE_MAX];
        size_t n = get_compressed_code64(buf, k.v) - buf;
        EXPECT_EQ(hex(buf, n), k.code) << k.v;
        int64_t back = 0;
        EXPECT_EQ(get_uncompressed_code64_n(&back, buf, buf + n), buf + n);
        EXPECT_EQ(back, k.v);
    }
    // Random values of every magnitude come back, and each uses the shortest form.
    std::mt19937_64 rng(7);
    for (int i = 0; i < 20000; i++) {
        int64_t v = static_cast<int64_t>(rng()) >> (rng() % 64);
        uint8_t buf[COMPACT_CODE_MAX];
        size_t n = get_compressed_code64(buf, v) - buf;
        size_t want = v >= -(1ll << 14) && v < (1ll << 14)   ? 2
                      : v >= -(1ll << 29) && v < (1ll << 29) ? 4
                      : v >= -(1ll << 44) && v < (1ll << 44) ? 6
                      : v >= -(1ll << 59) && v < (1ll << 59) ? 8
                                                             : 9;
        ASSERT_EQ(n, want) << v;
        int64_t back = 0;
        ASSERT_EQ(get_uncompressed_code64_n(&back, buf, buf + n), buf + n);
        ASSERT_EQ(back, v);
    }

    int64_t dc[3] = {0, 0, 0};
    uint8_t buf[3 * COMPACT_CODE_MAX + 1];
    size_t n = get_compressed_dim_code(buf, dc, 2) - buf;
    EXPECT_EQ(hex(buf, n), "00 00 00 00 00 00 F1");
    EXPECT_EQ(get_dim_code_dimension(buf, buf + n), 2);
    int64_t big[3] = {3, -16385, int64_t{1} << 60};
    n = get_compressed_dim_code(buf, big, 2) - buf;
    int64_t back[3] = {};
    EXPECT_EQ(get_uncompressed_dim_code_n(back, buf, buf + n, 2), buf + n);
    EXPECT_EQ(std::vector<int64_t>(back, back + 3), std::vector<int64_t>(big, big + 3));
    // Another count of values, a missing end byte or a cut code are malformed.
    EXPECT_EQ(get_uncompressed_dim_code_n(back, buf, buf + n, 1), nullptr);
    EXPECT_EQ(get_uncompressed_dim_code_n(back, buf, buf + n, 3), nullptr);
    for (size_t cut = 0; cut < n; cut++) {
        EXPECT_EQ(get_uncompressed_dim_code_n(nullptr, buf, buf + cut, 2), nullptr) << cut;
        EXPECT_EQ(get_dim_code_dimension(buf, buf + cut), -1) << cut;
    }
    uint8_t filler[2] = {0xF2, 0xF1};
    EXPECT_EQ(get_dim_code_dimension(filler, filler + 2), -1);
}

class TransferTest : public MatrixTest {
  protected:
    // A matrix whose fetch makes nodes ready at once; divide 1 per dimension gives a one-byte
    // child bit field, divide 7 a child list.
    MATRIX* ready_matrix(int divide, int channels = 2, int flags = MX_CH_SEND | MX_CH_FILE) {
        Geometry g{2, 1 << 12, divide, 4, channels, MXT_INT32, flags};
        MATRIX* m = open(g);
        for (int s = 0; s < MX_CAL_SLOTS; s++)
            set_matrix_cal(m, s, script(kReady));
        return m;
    }
    MATRIX_NODE* node(MATRIX* m, std::vector<int64_t> dc) {
        int err = 0;
        MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc.data(), MI_FETCH_1_TP);
        EXPECT_EQ(err, 0);
        return n;
    }
    int value(MATRIX_NODE* n, int ch) {
        TaskLockGuard g(matrix_lock);
        void* d = n->channel ? n->channel[ch].data : nullptr;
        return d ? *static_cast<int32_t*>(d) : -999;
    }
};

TEST_F(TransferTest, EncodedBytesOfChildrenAndChannels) {
    MATRIX* list = ready_matrix(7, 1, 0);
    ASSERT_EQ(list->dim_bit_field, 0);
    MATRIX_NODE* n = node(list, {1, 0, 0});
    EXPECT_EQ(hex(encode_matrix_node(n)), "00 00 00");
    unlock_node(n, nullptr);

    MATRIX* bits = ready_matrix(1);
    ASSERT_EQ(bits->dim_bit_field, 1);
    n = node(bits, {1, 0, 0});
    {
        TaskLockGuard g(matrix_lock);
        n->nlist_dim_bit_field[0] = 0x09;
    }
    EXPECT_EQ(hex(encode_matrix_node(n)), "01 00 01 09");
    // Channel 1 is sent; channel 0 has data but loses its send flag; items ascend.
    ASSERT_GE(set_channel_sexp(n, 1, get_integer(0x01020304, nullptr)), 0);
    EXPECT_EQ(hex(encode_matrix_node(n)), "01 00 01 09 00 01 00 04 01 02 03 04");
    ASSERT_GE(set_channel_sexp(n, 0, get_integer(-2, nullptr)), 0);
    EXPECT_EQ(hex(encode_matrix_node(n)),
              "01 00 01 09 00 00 00 04 FF FF FF FE 00 01 00 04 01 02 03 04");
    bits->channel_info[0].flags = MX_CH_FILE;
    EXPECT_EQ(hex(encode_matrix_node(n)), "01 00 01 09 00 01 00 04 01 02 03 04");
    unlock_node(n, nullptr);

    // A child list travels as its codes, in the list's order.
    n = node(list, {1, 0, 0});
    int64_t c1[3] = {0, 0, 16};
    int64_t c2[3] = {0, 0, 0};
    insert_dim_code_index(n, c1, 0);
    insert_dim_code_index(n, c2, 0);
    EXPECT_EQ(hex(encode_matrix_node(n)), "00 00 02 00 00 00 00 00 00 F1 00 00 00 00 00 10 F1");
    unlock_node(n, nullptr);
}

TEST_F(TransferTest, RecordOfOneMatrixDecodesIntoAnother) {
    MATRIX* a = ready_matrix(7);
    MATRIX* b = ready_matrix(7);
    MATRIX_NODE* na = node(a, {1, 0, 0});
    MATRIX_NODE* nb = node(b, {1, 0, 0});
    int64_t c[3] = {0, 16, 32};
    insert_dim_code_index(na, c, 0);
    ASSERT_GE(set_channel_sexp(na, 0, get_integer(41, nullptr)), 0);
    ASSERT_GE(set_channel_sexp(nb, 1, get_integer(7, nullptr)), 0);
    QV_SEXP* rec = encode_matrix_node(na);
    ASSERT_EQ(decode_matrix_node(nb, rec), 0);
    EXPECT_EQ(value(nb, 0), 41);
    EXPECT_EQ(value(nb, 1), 7);  // absent from the record: untouched
    EXPECT_EQ(hex(encode_matrix_node(nb)), hex(encode_matrix_node(na)).substr(0, 29) +
                                               " 00 00 00 04 00 00 00 29 00 01 00 04 00 00 00 07");
    EXPECT_EQ(nb->status, MS_OK);

    // Every cut of the record except the whole and the end of the child list is refused and
    // leaves the node as it was; so are a foreign children form and a value that is not raw.
    std::string whole(reinterpret_cast<char*>(rec->raw.data), rec->raw.size);
    ASSERT_GE(set_channel_sexp(nb, 0, get_integer(5, nullptr)), 0);
    std::string before = hex(encode_matrix_node(nb));
    for (size_t cut = 0; cut < whole.size(); cut++) {
        QV_SEXP* part = get_raw(whole.data(), static_cast<int32_t>(cut));
        int r = decode_matrix_node(nb, part);
        if (r == 0) {
            EXPECT_EQ(cut, 3u + 2 * 3 + 1) << "only the children alone form a record";
            ASSERT_GE(set_channel_sexp(nb, 0, get_integer(5, nullptr)), 0);
            continue;
        }
        EXPECT_EQ(hex(encode_matrix_node(nb)), before) << cut;
    }
    const uint8_t bitform[] = {0x01, 0x00, 0x01, 0x09};
    EXPECT_EQ(decode_matrix_node(nb, get_raw(bitform, 4)), -1);
    EXPECT_EQ(decode_matrix_node(nb, get_integer(1, nullptr)), -1);
    EXPECT_EQ(decode_matrix_node(nb, nullptr), -1);
    // A payload that is no int32 is refused whole; the matrix is not marked broken.
    const uint8_t shortval[] = {0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0xAA, 0xBB};
    EXPECT_EQ(decode_matrix_node(nb, get_raw(shortval, sizeof shortval)), -1);
    EXPECT_EQ(hex(encode_matrix_node(nb)), before);
    EXPECT_EQ(b->flags & 2, 0);
    // A channel number beyond the matrix is skipped and reading goes on.
    const uint8_t far[] = {0x00, 0x00, 0x00, 0x00, 0x09, 0x00, 0x01, 0xEE,
                           0x00, 0x01, 0x00, 0x04, 0x00, 0x00, 0x00, 0x63};
    EXPECT_EQ(decode_matrix_node(nb, get_raw(far, sizeof far)), 0);
    EXPECT_EQ(value(nb, 1), 99);
    EXPECT_EQ(hex(encode_matrix_node(nb)).substr(0, 8), "00 00 00");
    unlock_node(na, nullptr);
    unlock_node(nb, nullptr);

    // A bit-field record replaces the field and leaves no child list.
    MATRIX* bits = ready_matrix(1);
    MATRIX_NODE* n = node(bits, {1, 0, 0});
    EXPECT_EQ(decode_matrix_node(n, get_raw(bitform, 4)), 0);
    EXPECT_EQ(hex(encode_matrix_node(n)), "01 00 01 09");
    const uint8_t longfield[] = {0x01, 0x00, 0x02, 0x09, 0x09};
    EXPECT_EQ(decode_matrix_node(n, get_raw(longfield, sizeof longfield)), -1);
    unlock_node(n, nullptr);
}

// Copiers between two matrices in both directions at once.
MATRIX* copy_a = nullptr;
MATRIX* copy_b = nullptr;
std::atomic<int> copies_done{0};
std::atomic<int> copy_failed{0};
void copier(intptr_t t) {
    int64_t dc[3] = {1, 0, 0};
    int ch_list[] = {1, -1};
    for (int i = 0; i < 50; i++) {
        int r = t % 2 ? matrix_copy_node(copy_b, copy_a, dc, ch_list, 0)
                      : matrix_copy_node(copy_a, copy_b, dc, ch_list, MX_CH_SEND);
        if (r != 0) copy_failed++;
    }
    copies_done++;
}

TEST_F(TransferTest, CopiesBothWaysAtOnceEnd) {
    MATRIX* a = ready_matrix(1);
    MATRIX* b = ready_matrix(1, 1);
    std::vector<int64_t> dc = {1, 0, 0};
    MATRIX_NODE* na = node(a, dc);
    MATRIX_NODE* nb = node(b, dc);
    ASSERT_GE(set_channel_sexp(na, 0, get_integer(1, nullptr)), 0);
    ASSERT_GE(set_channel_sexp(na, 1, get_integer(2, nullptr)), 0);
    ASSERT_GE(set_channel_sexp(nb, 0, get_integer(3, nullptr)), 0);
    copy_a = a;
    copy_b = b;
    copy_failed = 0;
    copies_done = 0;
    for (int t = 0; t < 4; t++)
        create_task(copier, t, 1);
    EXPECT_TRUE(wait_for([] { return copies_done.load() == 4; }, 30000));
    EXPECT_EQ(copy_failed.load(), 0);
    // Channel 1 is beyond b's channels: skipped there. Flags pick channel 0 from a to b.
    int none[] = {-1};
    ASSERT_GE(set_channel_sexp(na, 0, get_integer(11, nullptr)), 0);
    EXPECT_EQ(matrix_copy_node(b, a, dc.data(), none, MX_CH_SEND), 0);
    EXPECT_EQ(value(nb, 0), 11);
    EXPECT_NE(nb->dirty_file_time, 0u);
    // A negative coordinate copies every channel with data whatever the list and flags say.
    std::vector<int64_t> neg = {1, -16, 0};
    MATRIX_NODE* an = node(a, neg);
    MATRIX_NODE* bn = node(b, neg);
    ASSERT_GE(set_channel_sexp(an, 0, get_integer(21, nullptr)), 0);
    EXPECT_EQ(matrix_copy_node(b, a, neg.data(), none, 0), 0);
    EXPECT_EQ(value(bn, 0), 21);
    // Children merge into the destination.
    {
        TaskLockGuard g(matrix_lock);
        na->nlist_dim_bit_field[0] = 0x05;
    }
    EXPECT_EQ(matrix_copy_node(b, a, dc.data(), none, 0), 0);
    EXPECT_EQ(nb->nlist_dim_bit_field[0] & 0x05, 0x05);
    for (MATRIX_NODE* n : {na, nb, an, bn})
        unlock_node(n, nullptr);
}

}  // namespace
