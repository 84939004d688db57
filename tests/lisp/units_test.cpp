// Unit environments, unit names and conversion in the default unit environment.
#include "lisp/units.h"

#include <cmath>
#include <numbers>

#include "lisp/env.h"
#include "lisp/vxlisp.h"
#include "node_util.h"

namespace {

class UnitTest : public LispTest {
  protected:
    static void SetUpTestSuite() {
        init_vxlisp();
        init_unit();
    }
    UNIT_ENV* ue = get_default_uenv();

    std::string name(const DIMENSION* d) {
        L_CHAR* n = dim2name(ue, d);
        return n ? A(n) : "(null)";
    }
    std::string dims(const char* unit_name) {
        DIMENSION d[UNIT_SYSTEMS];
        EXPECT_EQ(name2dim(ue, d, L(unit_name)), 0);
        std::string r;
        for (const DIMENSION& e : d)
            r += "{" + std::to_string(e.u) + "," + std::to_string(e.p) + "," + std::to_string(e.r) +
                 "}";
        return r;
    }
    double conv(double v, const char* from, const char* to, int* er = nullptr) {
        int e = 99;
        double r = conv_unit(&e, ue, v, L(from), L(to));
        if (er) *er = e;
        return r;
    }
    int64_t conv_int(int64_t v, const char* from, const char* to) {
        DIMENSION f[UNIT_SYSTEMS], t[UNIT_SYSTEMS];
        name2dim(ue, f, L(from));
        name2dim(ue, t, L(to));
        int er = 99;
        int64_t r = conv_unit_integer(&er, ue, v, f, t);
        EXPECT_EQ(er, 0);
        return r;
    }
};

TEST_F(UnitTest, DefaultUnitsAreNumberedFinestFirst) {
    ASSERT_NE(ue, nullptr);
    EXPECT_EQ(get_uenv(vxlisp_top_env0), ue);
    EXPECT_EQ(get_uenv(vxlisp_top_env1), ue);
    struct Row {
        int sys;
        const char* name;
        double shi, bo;
        int64_t shi_int, bo_int;
        int no;
    };
    const double pi = std::numbers::pi;
    const Row rows[] = {
        {0, "mm", 1000, 1, 1000, 1, 1},
        {0, "cm", 100, 1, 100, 1, 2},
        {0, "inch", 10000, 254, 10000, 254, 3},
        {0, "feet", 10000, 3048, 10000, 3048, 4},
        {0, "yard", 10000, 9144, 10000, 9144, 5},
        {0, "m", 1, 1, 1, 1, 6},
        {0, "km", 1, 1000, 1, 1000, 7},
        {1, "sec", 60, 1, 60, 1, 1},
        {1, "min", 1, 1, 1, 1, 2},
        {1, "h", 1, 60, 1, 60, 3},
        {2, "mg", 1000, 1, 1000, 1, 1},
        {2, "g", 1, 1, 1, 1, 2},
        {2, "kg", 1, 1000, 1, 1000, 3},
        {3, "''", 648000, pi, 648000, 3, 1},
        {3, "'", 10800, pi, 10800, 3, 2},
        {3, "degree", 180, pi, 180, 3, 3},
        {3, "rad", 1, 1, 1, 1, 4},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        SYSTEM_UNIT* su = search_system_unit(ue, r.sys, L(r.name));
        ASSERT_NE(su, nullptr);
        EXPECT_EQ(su->no, r.no);
        EXPECT_EQ(su->shi, r.shi);
        EXPECT_EQ(su->bo, r.bo);
        EXPECT_EQ(su->shi_int, r.shi_int);
        EXPECT_EQ(su->bo_int, r.bo_int);
        EXPECT_EQ(ue->no2su[r.sys][r.no], su);
        // Every unit has the alias of its own name.
        UNIT_ALIAS* a = search_alias_by_name(ue, L(r.name));
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->dim[r.sys].u, r.no);
        EXPECT_EQ(a->dim[r.sys].p, 1);
    }
    EXPECT_EQ(search_system_unit(ue, 1, L("m")), nullptr);
    EXPECT_EQ(search_alias_by_name(nullptr, L("m")), nullptr);
}

TEST_F(UnitTest, NamesAndDimensions) {
    EXPECT_EQ(dims("km^2*h^-1"), "{7,2,1}{3,-1,1}{0,0,1}{0,0,1}");
    DIMENSION d[UNIT_SYSTEMS];
    name2dim(ue, d, L("km^2*h^-1"));
    EXPECT_EQ(name(d), "km^2*h^-1");
    EXPECT_EQ(dims("a"), "{6,2,100}{0,0,1}{0,0,1}{0,0,1}");
    name2dim(ue, d, L("a"));
    EXPECT_EQ(name(d), "a");
    d[0].r = 50;
    EXPECT_EQ(name(d), "(null)");
    zero_unit(d);
    EXPECT_EQ(name(d), "(null)");
    // An alias counts only as a whole name; unknown factors are ignored.
    EXPECT_EQ(dims("dpi*sec"), "{0,0,1}{1,1,1}{0,0,1}{0,0,1}");
    EXPECT_EQ(dims("s"), "{0,0,1}{0,0,1}{0,0,1}{0,0,1}");
    EXPECT_EQ(dims("dpi"), "{3,-1,1}{0,0,1}{0,0,1}{0,0,1}");
    EXPECT_EQ(dims("l"), "{2,3,1000}{0,0,1}{0,0,1}{0,0,1}");
    EXPECT_EQ(dims("dot/degree"), "{0,0,1}{0,0,1}{0,0,1}{3,-1,1}");
    // A later factor of the same system replaces an earlier one; powers read like "%i"; an
    // unreadable power counts as 1.
    EXPECT_EQ(dims("m*km^3"), "{7,3,1}{0,0,1}{0,0,1}{0,0,1}");
    EXPECT_EQ(dims("m^0x10*g^010"), "{6,16,1}{0,0,1}{2,8,1}{0,0,1}");
    EXPECT_EQ(dims("m^x"), "{6,1,1}{0,0,1}{0,0,1}{0,0,1}");
    EXPECT_EQ(dims("m^99999"), "{6,32767,1}{0,0,1}{0,0,1}{0,0,1}");
    name2dim(ue, d, nullptr);
    EXPECT_EQ(name(d), "(null)");
    name2dim(ue, d, L("kg*m^2*sec^-2*rad"));
    EXPECT_EQ(name(d), "m^2*sec^-2*kg*rad");
    EXPECT_EQ(dim_power_cmp(d, d), 0);
    DIMENSION e[UNIT_SYSTEMS];
    name2dim(ue, e, L("g*mm^2*min^-2*degree"));
    EXPECT_EQ(dim_power_cmp(d, e), 0);
    EXPECT_EQ(dim_cmp(d, e), -1);
    name2dim(ue, e, L("m"));
    EXPECT_EQ(dim_power_cmp(d, e), -1);
    // A system whose powers cancelled (m*sec/m) is left out of the name, which reads back with
    // the same powers.
    zero_unit(d);
    d[0] = {6, 0, 1};
    d[1] = {1, 1, 1};
    EXPECT_EQ(name(d), "sec");
    name2dim(ue, e, dim2name(ue, d));
    EXPECT_EQ(dim_power_cmp(d, e), 0);
}

TEST_F(UnitTest, ConversionNumbers) {
    const double pi = std::numbers::pi;
    // Lengths.
    EXPECT_DOUBLE_EQ(conv(2.5, "km", "m"), 2500);
    EXPECT_DOUBLE_EQ(conv(1, "inch", "cm"), 2.54);
    EXPECT_DOUBLE_EQ(conv(1, "feet", "inch"), 12);
    EXPECT_DOUBLE_EQ(conv(1, "yard", "feet"), 3);
    EXPECT_DOUBLE_EQ(conv(1, "km", "mm"), 1e6);
    EXPECT_DOUBLE_EQ(conv(254, "mm", "inch"), 10);
    // Areas and volumes.
    EXPECT_DOUBLE_EQ(conv(1, "a", "m^2"), 100);
    EXPECT_DOUBLE_EQ(conv(1, "km^2", "a"), 10000);
    EXPECT_DOUBLE_EQ(conv(1, "km^2", "m^2"), 1e6);
    EXPECT_DOUBLE_EQ(conv(1, "dl", "cm^3"), 100);
    EXPECT_DOUBLE_EQ(conv(1, "l", "dl"), 10);
    EXPECT_DOUBLE_EQ(conv(300, "dpi", "dot/cm"), 300 / 2.54);
    // Angles.
    EXPECT_DOUBLE_EQ(conv(90, "degree", "rad"), pi / 2);
    EXPECT_DOUBLE_EQ(conv(1, "degree", "'"), 60);
    EXPECT_DOUBLE_EQ(conv(1, "'", "''"), 60);
    EXPECT_DOUBLE_EQ(conv(pi, "rad", "degree"), 180);
    // Times and masses.
    EXPECT_DOUBLE_EQ(conv(120, "sec", "min"), 2);
    EXPECT_DOUBLE_EQ(conv(1.5, "h", "min"), 90);
    EXPECT_DOUBLE_EQ(conv(1, "h", "sec"), 3600);
    EXPECT_DOUBLE_EQ(conv(1, "kg", "mg"), 1e6);
    EXPECT_DOUBLE_EQ(conv(7200, "sec^-1", "h^-1"), 25920000);
    // Unlike powers leave the value and report -1; a null environment changes nothing.
    int er = 0;
    EXPECT_DOUBLE_EQ(conv(90, "m", "sec", &er), 90);
    EXPECT_EQ(er, -1);
    EXPECT_DOUBLE_EQ(conv(90, "m", "m^2", &er), 90);
    EXPECT_EQ(er, -1);
    EXPECT_DOUBLE_EQ(conv_unit(&er, nullptr, 2.5, L("km"), L("m")), 2.5);
    EXPECT_EQ(er, 0);
    // Integers: multiply before dividing, truncate, and the angles use 3 for pi.
    EXPECT_EQ(conv_int(1, "degree", "rad"), 0);
    EXPECT_EQ(conv_int(1, "rad", "degree"), 60);
    EXPECT_EQ(conv_int(1, "inch", "cm"), 2);
    EXPECT_EQ(conv_int(3, "km", "mm"), 3000000);
    EXPECT_EQ(conv_int(1, "a", "m^2"), 100);
    EXPECT_EQ(conv_int(250, "m^2", "a"), 2);
    // 128-bit intermediates: no overflow on the way, and the result saturates.
    EXPECT_EQ(conv_int(INT64_MAX / 10, "km", "m"), INT64_MAX);
    EXPECT_EQ(conv_int(INT64_MAX, "mm", "km"), INT64_MAX / 1000000);
}

TEST_F(UnitTest, FittingAndNormalising) {
    DIMENSION m[UNIT_SYSTEMS], cm[UNIT_SYSTEMS], out[UNIT_SYSTEMS];
    name2dim(ue, m, L("m"));
    name2dim(ue, cm, L("cm*sec"));
    fit_dimension_integer(out, m, cm);
    EXPECT_EQ(name(out), "cm*sec");
    fit_dimension_floating(out, m, cm);
    EXPECT_EQ(name(out), "m*sec");
    fit_dimension_integer(out, cm, m);
    EXPECT_EQ(name(out), "cm*sec");

    DIMENSION d[UNIT_SYSTEMS];
    zero_unit(d);
    d[0] = {2, 3, 1000};
    double v = 2;
    EXPECT_EQ(A(normalize_dim_floating(ue, d, &v)), "l");
    EXPECT_EQ(v, 2);
    EXPECT_EQ(d[0].r, 1000);
    d[0].r = 10;
    EXPECT_EQ(A(normalize_dim_floating(ue, d, &v)), "cm^3");
    EXPECT_EQ(v, 20);
    EXPECT_EQ(d[0].r, 1);
    // A factor left on a power that cancelled still scales the value.
    d[0] = {6, 0, 100};
    int64_t iv = 3;
    EXPECT_EQ(normalize_dim_integer(ue, d, &iv), nullptr);
    EXPECT_EQ(iv, 300);
}

TEST_F(UnitTest, BuildingAndCopyingEnvironments) {
    UNIT_ENV* n = new_uenv();
    EXPECT_EQ(n_new_su(n, US_LENGTH, "m", 1, 1), 0);
    EXPECT_EQ(n_new_su(n, US_LENGTH, "cm", 100, 1), 0);
    EXPECT_EQ(n_new_su(n, US_LENGTH, "dm", 10, 1), 0);
    EXPECT_EQ(n_new_su(n, US_LENGTH, "m", 2, 1), -1);
    EXPECT_EQ(n_new_su(n, 4, "x", 1, 1), -1);
    EXPECT_EQ(n_new_su(n, US_TIME, "x", 0, 1), -1);
    EXPECT_EQ(search_system_unit(n, 0, L("cm"))->no, 1);
    EXPECT_EQ(search_system_unit(n, 0, L("dm"))->no, 2);
    EXPECT_EQ(search_system_unit(n, 0, L("m"))->no, 3);
    system_unit_alias(n);

    DIMENSION dpi[UNIT_SYSTEMS];
    name2dim(ue, dpi, L("inch^-1"));
    EXPECT_EQ(n_new_ua(ue, dpi, "dpi"), -1);
    EXPECT_EQ(n_new_ua(ue, dpi, "per-inch"), -1);
    DIMENSION other[UNIT_SYSTEMS];
    name2dim(ue, other, L("dpi"));
    other[0].r = 7;
    EXPECT_EQ(n_new_ua(ue, other, "dpi"), -1);

    // A copy keeps the units and, with the second step, the aliases renumbered by name.
    UNIT_ENV* c = copy_uenv1(ue);
    ASSERT_EQ(n_new_su(c, US_LENGTH, "um", 1000000, 1), 0);
    copy_uenv2(c, ue);
    EXPECT_EQ(search_system_unit(c, 0, L("mm"))->no, 2);
    DIMENSION d[UNIT_SYSTEMS];
    name2dim(c, d, L("a"));
    EXPECT_EQ(d[0].u, 7);
    EXPECT_EQ(d[0].r, 100);
    EXPECT_DOUBLE_EQ(conv_unit(nullptr, c, 1, L("mm"), L("um")), 1000);
    EXPECT_DOUBLE_EQ(conv_unit(nullptr, c, 1, L("dl"), L("cm^3")), 100);

    // Named environments survive collections while listed.
    set_uenv_name(c, L("test-units"));
    set_uenv_name(n, L("test-other"));
    set_uenv_name(c, L("test-units-2"));
    EXPECT_EQ(search_uenv_name(L("test-units")), nullptr);
    EXPECT_EQ(search_uenv_name(L("test-units-2")), c);
    EXPECT_EQ(search_uenv_name(L("test-other")), n);
}

TEST_F(UnitTest, NamedEnvironmentsStayAcrossCollections) {
    UNIT_ENV* c = nullptr;
    gc_push(nullptr, nullptr, "unit-build");
    c = copy_uenv1(ue);
    copy_uenv2(c, ue);
    set_uenv_name(c, L("kept"));
    gc_pop(nullptr, nullptr);
    collect();
    collect();
    ASSERT_EQ(search_uenv_name(L("kept")), c);
    EXPECT_EQ(mem_contains(c), 1);
    EXPECT_DOUBLE_EQ(conv_unit(nullptr, c, 2.5, L("km"), L("m")), 2500);
    EXPECT_EQ(search_alias_by_name(c, L("dot/rad"))->dim[3].p, -1);
    del_uenv_name(L("kept"));
    EXPECT_EQ(search_uenv_name(L("kept")), nullptr);
    collect();
    EXPECT_EQ(mem_contains(c), 0);
    // The default environment stays, reached from the root environment.
    EXPECT_DOUBLE_EQ(conv(1, "h", "sec"), 3600);
}

TEST_F(UnitTest, BaseUnitAndTables) {
    using namespace qn;
    EXPECT_EQ(A(get_base_unit(I(1, "km"))), "km");
    EXPECT_EQ(get_base_unit(I(1)), nullptr);
    EXPECT_EQ(get_base_unit(Str("km")), nullptr);
    EXPECT_EQ(A(get_base_unit(Lst({I(1), Lst({F(1), F(2, "sec")}), I(3, "m")}))), "sec");

    const CU_TABLE* t = nullptr;
    EXPECT_EQ(table_search(&t, "km"), 4);
    EXPECT_EQ(std::string(t->system), "length");
    EXPECT_EQ(t->unit[4].rate, -1000);
    EXPECT_EQ(standard_unit(t), 3);
    EXPECT_EQ(table_search(&t, "dot/cm"), 1);
    EXPECT_EQ(std::string(t->system), "resolution");
    EXPECT_EQ(standard_unit(t), 2);
    EXPECT_EQ(table_search(&t, "furlong"), -1);
    EXPECT_EQ(std::string(reso_c_unit_str("cm")), "cm^-1");
    COORDINATE_UNIT cu;
    zero_c_unit(&cu);
    EXPECT_EQ(std::string(reso_c_unit(&cu)), "^-1");
}

}  // namespace
