// The fixture of the point-reading tests: a matrix file with one channel of each element type a
// point read tells apart, values written at known cells.
#pragma once

#include <cstring>
#include <vector>

#include "geo/geo_util.h"
#include "gmx_util.h"
#include "matrix/mxcache.h"
#include "matrix/mxstore.h"

namespace gmxread {

using namespace gmxtest;

// Nine channels of the types a point read tells apart; nodes of 16 x 16 cells made ready empty.
inline const char* const kTypes[] = {"int8_v",  "uint8_v",  "uint16_v", "uint32_v", "rgb8_v",
                                     "int32_v", "uint64_v", "int16_v",  "double_v"};

inline std::string body() {
    std::string b =
        "([gmxMatrixParam channel_nos=\"9\" dim=\"2\"] ([gmxPriority area=\"3\" pri=\"10\"]))"
        " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" "
        "value=\"1\"])"
        " ([gmxMatrixBlockSize dim=\"0\" value=\"4\"]) ([gmxMatrixBlockSize dim=\"1\" "
        "value=\"4\"])"
        " ([gmxMatrixPixelSize dim=\"0\" value=\"64\"]) ([gmxMatrixPixelSize dim=\"1\" "
        "value=\"64\"])";
    for (int ch = 0; ch < 9; ch++)
        b += " ([gmxChannelInfo channel=\"" + std::to_string(ch) + "\" type=\"" + kTypes[ch] +
             "\"])";
    for (int a = 3; a <= 5; a++)
        b += " ([gmxPhase area=\"" + std::to_string(a) +
             "\"] ([mxFinish normal-jump-status=\"MS_OK\"]))";
    return b;
}

// Writes the element bytes of channel ch at cell (x, y) of level 0 through a cache of its own.
// As an import writes (as_import): the cache holds channel ch alone (the node's other channels
// may have no element yet) and makes the node with its ancestors, each listing its children.
inline void write_cell(MX_ENTRY* e, int64_t x, int64_t y, int ch, const void* bytes, int size,
                       bool as_import = false) {
    MX_CACHE c{};
    c.m = e->c.m;
    c.access_ch = as_import ? &ch : e->c.access_ch;
    c.ds_len = as_import ? 1 : e->c.ds_len;
    c.gn_tree_node = as_import ? 1 : 0;
    c.gn_create = as_import ? 2 : e->c.gn_create;
    c.gn_wait = as_import ? 2 : e->c.gn_wait;
    mxc_setup(&c);
    std::vector<MX_CACHE_PARAM_IX> ix(c.ds_len, MX_CACHE_PARAM_IX{65535, 65535});
    uint8_t buf[8] = {};
    memcpy(buf, bytes, size);
    for (int k = 0; k < e->c.ds_len; k++)
        if (e->c.access_ch[k] == ch)
            ix[as_import ? 0 : k] = {static_cast<uint16_t>(e->p.data_ix[k].p), 0};
    int64_t dc[3] = {0, x, y};
    MX_CACHE_PARAM p{};
    p.c = &c;
    p.dc = dc;
    p.data_ix = ix.data();
    for (auto& d : p.data_ptrs)
        d = buf;
    EXPECT_EQ(write_mx_cache(&p), 0);
    mxc_close(&c);
}

template <class T>
void put(MX_ENTRY* e, int64_t x, int64_t y, int ch, T v) {
    write_cell(e, x, y, ch, &v, sizeof v);
}

class GmxRead : public GmxTest {
  protected:
    geotest::TempDir dir;
    std::string path;
    int id = -1;
    void SetUp() override {
        GmxTest::SetUp();
        path = dir.at("r.mx");
        id = create("([gmxCreate filename=\"" + path + "\"] " + body() + ")");
        ASSERT_GT(id, 0);
        MX_ENTRY* e = search_mx_entry_by_id(id);
        ASSERT_NE(e, nullptr);
        put<int8_t>(e, 5, 6, 0, -1);
        put<uint8_t>(e, 5, 6, 1, 200);
        put<uint16_t>(e, 5, 6, 2, 65535);
        put<uint32_t>(e, 5, 6, 3, 4294967295u);
        put<uint32_t>(e, 5, 6, 4, 0x80808000u);
        put<int32_t>(e, 5, 6, 5, -1);
        put<uint64_t>(e, 5, 6, 6, ~uint64_t{0});
        put<int16_t>(e, 5, 6, 7, -300);
        put<double>(e, 5, 6, 8, -2.25);
        put<uint8_t>(e, 7, 9, 1, 17);
        put<uint8_t>(e, 17, 1, 1, 3);
        release_mx_entry(e);
    }
    void TearDown() override {
        if (id > 0) close_id(id);
        EXPECT_EQ(mx_entry_holders(), 0);
    }
    std::string point(const std::string& attrs, const std::string& pts) {
        std::string head = attrs.empty() ? "(gmxGetPoint" : "([gmxGetPoint" + attrs + "]";
        Val v = run(head + " \"" + path + "\" '" + pts + ")");
        return v.type == QVT_ERROR ? v.error : v.text;
    }
};

}  // namespace gmxread
