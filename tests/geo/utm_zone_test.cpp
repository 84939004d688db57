// UTM zone resampling pieces: zone bounds and zone texts, argument refusals, tile ranges and
// clamping, the block test with its bulge points, and one read per source square over an
// in-memory source whose cells hold their own index. Whole imports are checked against the
// python oracle in tests/geo_interop.
#include <gtest/gtest.h>

#include <cmath>

#include "geo/geo_util.h"
#include "geo/utm_zone.h"
#include "support/stdout_text.h"

using namespace geotest;

namespace {

constexpr double D = 3.141592653589793 / 180.0;

// A zone-54 source at 100 m: dimension 0 northing from 3,870,000 (1200 cells), dimension 1
// easting from 400,000 (2000 cells); swapped when forward is false.
UTM_DATA zone54(bool forward) {
    UTM_DATA ud{};
    ud.offset_x = 140;
    ud.offset_y = 35;
    ud.reso_x = 120;
    ud.reso_y = 120;
    ud.UTMno = 54;
    ud.ep.a = 6378137.0;
    ud.ep.b = 6356752.314245179;
    ud.zone_offset_x = 3870000;
    ud.zone_offset_y = 400000;
    ud.zone_minrect = R_RECT{{3870000, 400000}, {3990000, 600000}};
    ud.zone_reso_x = 0.01;
    ud.zone_reso_y = 0.01;
    ud.zone_width = 6;
    ud.XY_dir = forward ? 1 : 0;
    return ud;
}

TEST(UtmZone, ZoneBoundsAndSouthernText) {
    UTM_DATA ud = zone54(true);
    utm_zone_bounds(&ud);
    EXPECT_EQ(ud.utm_st_west[0], 138);
    EXPECT_EQ(ud.utm_end_east[0], 144);
    EXPECT_EQ(ud.utm_st_west[1], 498);
    EXPECT_EQ(ud.utm_st_south, 0);
    EXPECT_EQ(ud.utm_end_north, 90);
    // Cells at 143 and exactly at 144 degrees: the eastern bound belongs to the next zone.
    ud.offset_x = 143;
    ud.reso_x = 1;
    int8_t flag[2];
    int64_t src[4];
    utm_setup_projection(&ud);
    ud.zone_offset_x = 0;
    utm_project_block(&ud, 0, 0, 0, 2, 1, flag, src);
    EXPECT_EQ(flag[0], 0);
    EXPECT_EQ(flag[1], -1);
    // A resolution so large that the source index is not finite gives no value.
    ud.zone_reso_y = 1e308;
    utm_project_block(&ud, 0, 0, 0, 2, 1, flag, src);
    EXPECT_EQ(flag[0], -1);

    int z = 0;
    ASSERT_EQ(utm_zone_from_text("54S", &z), 0);
    EXPECT_EQ(z, -54);
    UTM_DATA s = zone54(true);
    s.UTMno = z;
    utm_zone_bounds(&s);
    utm_setup_projection(&s);
    EXPECT_EQ(s.utm_st_south, -90);
    EXPECT_EQ(s.utm_end_north, 0);
    EXPECT_EQ(s.ep.org_X0, 10000000.0);
    EXPECT_EQ(s.ep.org_lambda, 141 * 3.141592653589793 / 180.0);
    struct Text {
        const char* text;
        int zone;  // 0: refused
    } texts[] = {{"54", 54},
                 {"54N", 54},
                 {"54n", 54},
                 {"08N", 8},
                 {"09S", -9},
                 {"054s", -54},
                 {"-54", -54},
                 {"60", 60},
                 {" 7", 7},
                 {"0", 0},
                 {"61", 0},
                 {"61S", 0},
                 {"N", 0},
                 {"", 0},
                 {"abc", 0},
                 {"5 4", 0},
                 {"54X", 0},
                 {"0x10", 0},
                 {"99999999999999999999", 0}};
    for (const Text& t : texts) {
        z = 1000;
        int rc = utm_zone_from_text(t.text, &z);
        if (t.zone == 0) {
            EXPECT_EQ(rc, -1) << t.text;
        } else {
            EXPECT_EQ(rc, 0) << t.text;
            EXPECT_EQ(z, t.zone) << t.text;
        }
    }
}

TEST(UtmZone, ArgumentRefusals) {
    UTM_DATA ok = zone54(true);
    EXPECT_EQ(utm_check_params(&ok, 1, 2), nullptr);
    struct Bad {
        void (*spoil)(UTM_DATA*);
        const char* label;
    } bad[] = {
        {[](UTM_DATA* u) { u->offset_x = NAN; }, "offset_x(Arg 1)"},
        {[](UTM_DATA* u) { u->offset_y = INFINITY; }, "offset_y(Arg 2)"},
        {[](UTM_DATA* u) { u->reso_x = 0; }, "reso_x(Arg 3)"},
        {[](UTM_DATA* u) { u->reso_y = NAN; }, "reso_y(Arg 4)"},
        {[](UTM_DATA* u) { u->UTMno = 0; }, "UTMno(Arg 5)"},
        {[](UTM_DATA* u) { u->UTMno = -61; }, "UTMno(Arg 5)"},
        {[](UTM_DATA* u) { u->zone_offset_y = NAN; }, "zone_offset_x/y(Arg 6)"},
        {[](UTM_DATA* u) { u->zone_minrect.br.x = INFINITY; }, "zone_rezo_mirect(Arg 7)"},
        {[](UTM_DATA* u) { u->zone_reso_x = 0; }, "zone_rezo_x/y(Arg 8)"},
        {[](UTM_DATA* u) { u->zone_reso_y = -INFINITY; }, "zone_rezo_x/y(Arg 8)"},
        {[](UTM_DATA* u) { u->ep.a = 0; }, "alipsoid-a(Arg 9)"},
        {[](UTM_DATA* u) { u->ep.a = -1; }, "alipsoid-a(Arg 9)"},
        {[](UTM_DATA* u) { u->ep.b = 0; }, "alipsoid-b(Arg 10)"},
        {[](UTM_DATA* u) { u->ep.b = u->ep.a + 1; }, "alipsoid-b(Arg 10)"},
        {[](UTM_DATA* u) { u->zone_width = 0; }, "zwidth"},
        {[](UTM_DATA* u) { u->zone_width = 360.5; }, "zwidth"},
        {[](UTM_DATA* u) { u->zone_width = NAN; }, "zwidth"},
    };
    for (const Bad& b : bad) {
        UTM_DATA u = zone54(true);
        b.spoil(&u);
        const char* got = utm_check_params(&u, 1, 2);
        EXPECT_STREQ(got ? got : "(none)", b.label);
    }
    UTM_DATA w = zone54(true);
    w.zone_width = 360;
    EXPECT_EQ(utm_check_params(&w, 1, 2), nullptr);
    EXPECT_STREQ(utm_check_params(&ok, 3, 3), "utmid");
}

TEST(UtmZone, TileRangesAndClamping) {
    UTM_DATA ud = zone54(true);
    ud.offset_x = 139.1;  // the zone starts 1.1 degrees west of cell 0
    ud.offset_y = 10;
    ud.reso_x = 100;
    ud.reso_y = 10;
    utm_zone_bounds(&ud);
    int64_t st[3], en[3];
    utm_tile_range(&ud, 0, 4, 3, st, en);
    // (138 - 139.1) * 100 = -110 -> -112; (144 - 139.1) * 100 = 490 -> 496.
    EXPECT_EQ(st[1], -112);
    EXPECT_EQ(en[1], 496);
    // (0 - 10) * 10 = -100 -> -104; (90 - 10) * 10 = 800 stays.
    EXPECT_EQ(st[2], -104);
    EXPECT_EQ(en[2], 800);
    boundary_setup(st, 300, 4, 0);
    boundary_setup(en, 300, 4, 0);
    boundary_setup(st, 801, 3, 1);
    boundary_setup(en, 50, 3, 1);
    EXPECT_EQ(st[1], 0);
    EXPECT_EQ(en[1], 304);  // the extent rounded up to whole blocks
    EXPECT_EQ(st[2], 0);
    EXPECT_EQ(en[2], 56);
    // Pass 1 lies 360 degrees east: beyond a target of 300 cells it clamps to nothing.
    utm_tile_range(&ud, 1, 4, 3, st, en);
    EXPECT_EQ(st[1], 35888);
    boundary_setup(st, 300, 4, 0);
    boundary_setup(en, 300, 4, 0);
    EXPECT_EQ(st[1], en[1]);
    // Blocks too large for the per-block buffers are refused before anything is allocated.
    int64_t a[3] = {0, 0, 0}, b[3] = {0, 8192, 8192}, ext[2] = {100, 100};
    UTM_IO none{nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    vxtest::StdoutText quiet;
    EXPECT_EQ(utm_load_zone(&ud, 0, a, b, 13, 12, 6, 6, ext, &none), -1);
    // A resolution beyond the 64-bit range saturates instead of overflowing.
    ud.reso_x = 1e300;
    utm_tile_range(&ud, 0, 4, 3, st, en);
    EXPECT_LT(st[1], 0);
    EXPECT_GT(en[1], 0);
}

// The progress line names the block and the end, each once, also when the caller's tile text
// comes from one shared buffer.
TEST(UtmZone, ProgressLineNamesTheBlockAndTheEnd) {
    UTM_DATA ud = zone54(true);
    ud.offset_x = 139.1;
    ud.offset_y = 10;
    ud.reso_x = 100;
    ud.reso_y = 10;
    utm_zone_bounds(&ud);
    static char shared[64];
    UTM_IO io{nullptr,
              [](void*, int64_t, int64_t, uint32_t*, UTM_VECTOR*) { return -1; },
              [](void*, const int64_t*, UTM_VECTOR*) { return -1; },
              nullptr,
              [](void*, const int64_t* t) -> const char* {
                  snprintf(shared, sizeof shared, "<%lld %lld>", static_cast<long long>(t[1]),
                           static_cast<long long>(t[2]));
                  return shared;
              },
              nullptr};
    int64_t a[3] = {0, 0, 0}, b[3] = {0, 8, 8}, ext[2] = {100, 100};
    vxtest::StdoutText out;
    EXPECT_EQ(utm_load_zone(&ud, 0, a, b, 3, 3, 2, 2, ext, &io), 0);
    EXPECT_NE(out.text().find("TARGET <0 0> < <8 8> 0.000000\n"), std::string::npos) << out.text();
}

TEST(UtmZone, BlockTestSeesTheBulgeAtTheCentralMeridian) {
    UTM_DATA ud = zone54(true);
    ud.offset_x = 138;
    ud.offset_y = 60;
    ud.reso_x = 1;
    ud.reso_y = 1;
    ud.ep.m0 = 0.9996;
    utm_zone_bounds(&ud);
    utm_setup_projection(&ud);
    // Northings of the block's southern corners (60 N at 138 and 144 E) and of 60 N on the
    // central meridian, which lies further south.
    double Xc, Xe, Y;
    utm2bl(&Xc, &Y, 141 * D, 60 * D, &ud.ep);
    utm2bl(&Xe, &Y, 138 * D, 60 * D, &ud.ep);
    ASSERT_LT(Xc + 1000, Xe);
    ud.zone_minrect = R_RECT{{Xc - 10, 0}, {Xc + 10, 1000000}};
    int64_t tile[3] = {0, 0, 0};
    EXPECT_EQ(check_in_zone(tile, 6, 1, &ud, 0), 0);
    // The same rectangle from a block whose northern edge does not cross the meridian: missed.
    int64_t west[3] = {0, 0, 0};
    EXPECT_EQ(check_in_zone(west, 2, 1, &ud, 0), -1);
    ud.zone_minrect = R_RECT{{Xe - 10, 0}, {Xe + 10, 1000000}};
    EXPECT_EQ(check_in_zone(west, 2, 1, &ud, 0), 0);
    EXPECT_EQ(cross_rect_rect(&ud.zone_minrect, &ud.zone_minrect), 1);
    R_RECT r{{1, 0}, {0, 0}};
    insert_rect(&r, R_POINT{5, 6});
    insert_rect(&r, R_POINT{2, 9});
    EXPECT_EQ(r.tl.x, 2);
    EXPECT_EQ(r.tl.y, 6);
    EXPECT_EQ(r.br.x, 5);
    EXPECT_EQ(r.br.y, 9);
    R_RECT touch{{5, 9}, {7, 10}};
    EXPECT_EQ(cross_rect_rect(&r, &touch), 1);
    touch.tl.x = 5.0001;
    EXPECT_EQ(cross_rect_rect(&r, &touch), 0);
    EXPECT_EQ(zone_lambda_adjust(500, 501), 500);
    EXPECT_EQ(zone_lambda_adjust(230, 141), 230);
    EXPECT_EQ(zone_lambda_adjust(240, 141), -120);
}

TEST(UtmZone, OneReadPerSourceSquare) {
    // Source blocks of 4 x 4; a 3 x 3 source whose only node is at (0, 0), so square (4, 0)
    // fails and (2, 3) lies beyond the node's vector.
    Blocks src = indexed_source(3, 3, 2, 2);
    Access run{&src, nullptr};
    UTM_IO io{&run, read_cb, nullptr, nullptr, nullptr, nullptr};
    int8_t flag[6] = {0, 0, 0, 0, -1, 0};
    int64_t cell[12] = {1, 1, 5, 0, 0, 2, 2, 3, 9, 9, 6, 1};
    uint32_t value[6] = {}, order[6];
    int64_t wide[2] = {8, 8};  // an extent beyond the nodes present: (4, 0) cannot be read
    utm_fill_block(flag, cell, value, order, 6, 2, 2, wide, &io);
    EXPECT_EQ(run.reads, 2);  // square (0, 0) once through its first cell, square (4, 0) once
    EXPECT_EQ(flag[0], 1);
    EXPECT_EQ(value[0], 1u + 65536);
    EXPECT_EQ(flag[1], -1);
    EXPECT_EQ(flag[2], 1);
    EXPECT_EQ(value[2], 2u * 65536);
    EXPECT_EQ(flag[3], -1);
    EXPECT_EQ(flag[4], -1);
    EXPECT_EQ(flag[5], -1);
    // A cell beyond the source's extent is not read, so it cannot spoil its square: (1, 1)
    // after (3, 0) still gets its value.
    run.reads = 0;
    int64_t extent[2] = {3, 3};
    int8_t f3[2] = {0, 0};
    int64_t c3[4] = {3, 0, 1, 1};
    utm_fill_block(f3, c3, value, order, 2, 2, 2, extent, &io);
    EXPECT_EQ(run.reads, 1);
    EXPECT_EQ(f3[0], -1);
    EXPECT_EQ(f3[1], 1);
    EXPECT_EQ(value[1], 1u + 65536);
    // Writing into an edge node of 1 x 2 elements keeps to its vector.
    uint32_t vec_data[2] = {7, 7};
    UTM_VECTOR v{reinterpret_cast<uint8_t*>(vec_data), 1, 2};
    int8_t f2[4] = {1, 1, -1, 1};
    uint32_t val2[4] = {10, 11, 12, 13};
    EXPECT_EQ(utm_store_block(f2, val2, 2, 2, &v), 1);
    EXPECT_EQ(vec_data[0], 10u);
    EXPECT_EQ(vec_data[1], 7u);
}

}  // namespace
