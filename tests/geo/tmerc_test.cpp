// The Transverse Mercator series: reference points to 0.1 mm, its exact symmetries and special
// cases, and the per-row form against the per-point one bit for bit.
#include <gtest/gtest.h>

#include <cmath>

#include "geo/tmerc.h"

namespace {

constexpr double D = 3.141592653589793 / 180.0;

ELIPSOID utm(double lambda0_deg, bool south, double a = 6378137.0, double b = 6356752.314245179) {
    ELIPSOID e{};
    e.a = a;
    e.b = b;
    e.m0 = 0.9996;
    e.org_X0 = south ? 10000000.0 : 0.0;
    e.org_Y0 = 500000.0;
    e.org_lambda = lambda0_deg * D;
    e.org_X_enable = 1;
    return e;
}

TEST(Tmerc, ReferencePointsToTenthOfMillimetre) {
    struct Case {
        double lon, lat;
        int zone;  // negative: southern hemisphere
        double east, north;
    } cases[] = {
        {141, 35, 54, 500000.0000, 3873043.0645},
        {139.7671, 35.6812, 54, 388433.3746, 3949290.0135},
        {138, 0, 54, 166021.4452, 0},
        {141, -35, -54, 500000.0000, 6126956.9355},
        {-77, 38.9, 18, 326565.4585, 4307580.8479},
        {24, 70, 35, 385526.2852, 7768690.1088},
    };
    for (const Case& c : cases) {
        int n = std::abs(c.zone);
        ELIPSOID e = utm(6.0 * n - 183, c.zone < 0);
        double X, Y;
        utm2bl(&X, &Y, c.lon * D, c.lat * D, &e);
        EXPECT_NEAR(Y, c.east, 1e-4) << c.lon << " " << c.lat;
        EXPECT_NEAR(X, c.north, 1e-4) << c.lon << " " << c.lat;
    }
    // 77 W given as 283 E against a central meridian 360 degrees east projects alike.
    ELIPSOID e = utm(6.0 * 18 - 183 + 360, false);
    double X, Y;
    utm2bl(&X, &Y, 283 * D, 38.9 * D, &e);
    EXPECT_NEAR(Y, 326565.4585, 1e-4);
    EXPECT_NEAR(X, 4307580.8479, 1e-4);
    // Bessel.
    ELIPSOID b = utm(141, false, 6377397.155, 6356078.963);
    utm2bl(&X, &Y, 139.7671 * D, 35.6812 * D, &b);
    EXPECT_NEAR(Y, 388446.6966, 1e-4);
    EXPECT_NEAR(X, 3948897.2256, 1e-4);
}

TEST(Tmerc, SymmetryMeridianEquatorAndSphere) {
    // Without a false easting the mirror is exact.
    ELIPSOID e = utm(0, false);
    e.org_Y0 = 0;
    for (double lat : {-60.0, -12.5, 0.0, 35.0, 71.3})
        for (double l : {0.5, 2.9, 6.0}) {
            double Xe, Ye, Xw, Yw;
            utm2bl(&Xe, &Ye, l * D, lat * D, &e);
            utm2bl(&Xw, &Yw, -l * D, lat * D, &e);
            EXPECT_EQ(Xe, Xw);
            EXPECT_EQ(Ye, -Yw);
        }
    // On the central meridian: the false easting exactly and the scaled arc.
    ELIPSOID m = utm(141, true);
    m.org_X = 1234.5;
    double X, Y;
    utm2bl(&X, &Y, 141 * D, -35 * D, &m);
    E_WORK w{&m, -35 * D, 141 * D, 0, 0, 0};
    get_e(&m);
    double S = get_S(&w);
    EXPECT_EQ(Y, 500000.0);
    EXPECT_EQ(X, 0.9996 * (S - 1234.5) + 10000000.0);
    // On the equator S is 0: the northing is the false northing.
    ELIPSOID q = utm(141, true);
    utm2bl(&X, &Y, 143 * D, 0, &q);
    EXPECT_EQ(X, 10000000.0);
    q.org_X0 = 0;
    utm2bl(&X, &Y, 139 * D, 0, &q);
    EXPECT_EQ(X, 0.0);
    // A sphere: no eccentricity, both radii the semi-axis, the arc a * phi.
    ELIPSOID s = utm(0, false, 6371000.0, 6371000.0);
    EXPECT_EQ(get_e(&s), 0.0);
    EXPECT_EQ(s.e2, 0.0);
    E_WORK sw{&s, 0.7, 0, 0, 0, 0};
    get_r(&sw);
    EXPECT_EQ(sw.N, 6371000.0);
    EXPECT_EQ(sw.M, 6371000.0);
    EXPECT_EQ(get_S(&sw), 6371000.0 * 0.7);
}

TEST(Tmerc, ClearOriginFlagTakesTheArcOfTheOriginLatitude) {
    ELIPSOID e = utm(141, false);
    e.org_X_enable = 0;
    e.org_phi = 35 * D;
    double X, Y;
    utm2bl(&X, &Y, 141 * D, 35 * D, &e);
    EXPECT_EQ(e.org_X_enable, 1u);
    E_WORK w{&e, 35 * D, 0, 0, 0, 0};
    EXPECT_EQ(e.org_X, get_S(&w));
    EXPECT_EQ(X, 0.0);
    EXPECT_EQ(Y, 500000.0);
}

TEST(Tmerc, RowFormIsBitIdenticalToPerPoint) {
    ELIPSOID e = utm(141, false);
    for (double lat = -80; lat <= 84; lat += 7.3) {
        TM_ROW row;
        tm_row_setup(&row, lat * D, &e);
        for (double lon = 135.1; lon < 147; lon += 0.77) {
            double X1, Y1, X2, Y2;
            tm_row_point(&X1, &Y1, &row, lon * D);
            utm2bl(&X2, &Y2, lon * D, lat * D, &e);
            EXPECT_EQ(X1, X2);
            EXPECT_EQ(Y1, Y2);
        }
    }
}

TEST(Tmerc, PrintElipsoidLine) {
    ELIPSOID e = utm(0, false, 2.5, 1.5);
    e.org_X = 7;
    e.org_phi = 0.25;
    get_e(&e);
    testing::internal::CaptureStdout();
    print_elipsoid(&e);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "a=2.500000 b=1.500000 e=0.800000 m0=0.999600 org_X0=0.000000 org_Y0=500000.000000 "
              "org_X=7.000000 org_phi=0.250000 org_lambda=0.000000 org_X_enable=1\n");
}

}  // namespace
