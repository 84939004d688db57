// Transverse Mercator projection by the series used for UTM zones: geodetic longitude and
// latitude on an ellipsoid to the grid's northing X and easting Y (surveying axes: X grows to the
// north, Y to the east). Angles in radians, lengths in the unit of the semi-axes. There is no
// inverse. Nothing here allocates; one ELIPSOID serves one thread at a time, since every
// projection rewrites its e and e2.
#pragma once

#include <cstdint>

struct ELIPSOID {
    double a;                   // semi-major axis
    double b;                   // semi-minor axis
    double e;                   // first eccentricity (get_e)
    double e2;                  // its square (get_e)
    double m0;                  // scale on the central meridian (0.9996 for UTM)
    double org_X0;              // false northing
    double org_Y0;              // false easting
    double org_X;               // northing of the origin latitude, subtracted before scaling
    double org_phi;             // latitude of origin
    double org_lambda;          // longitude of the central meridian
    unsigned org_X_enable : 1;  // org_X is valid; when clear, a projection sets it from org_phi
};

// The per-point work record, filled in order by utm2bl, get_r and get_S.
struct E_WORK {
    ELIPSOID* ep;
    double phi;     // latitude
    double lambda;  // longitude
    double N;       // radius of curvature in the prime vertical
    double M;       // radius of curvature of the meridian
    double S;       // meridian arc from the equator (negative to the south)
};

// Projects (lambda, phi): the northing to *X_ptr, the easting to *Y_ptr. Longitude first,
// northing out first.
void utm2bl(double* X_ptr, double* Y_ptr, double lambda, double phi, ELIPSOID* ep);
// e2 = (a^2 - b^2) / a^2 and e = sqrt(e2), stored; returns e.
double get_e(ELIPSOID* e);
// N and M at w->phi.
void get_r(E_WORK* w);
// The meridian arc at w->phi, truncated after the e^8 term; stored and returned.
double get_S(E_WORK* w);
// The projection series for a prepared work record.
void get_XY_2(double* X_ptr, double* Y_ptr, E_WORK* w);
// One diagnostic line with the ten members, straight to the process's standard output.
void print_elipsoid(ELIPSOID* ep);

// The series split at the latitude: the terms that depend on phi alone, computed once for a row
// of points of one latitude. tm_row_point gives results bit-identical to utm2bl at that latitude
// (get_XY_2 is built on the same two steps).
struct TM_ROW {
    const ELIPSOID* ep;
    double S;
    double x2, x4, x6;  // northing coefficients of l^2, l^4, l^6
    double y1, y3, y5;  // easting coefficients of l, l^3, l^5
};
// Prepares row for latitude phi: recomputes e and e2 (and org_X when its flag is clear) as
// utm2bl does.
void tm_row_setup(TM_ROW* row, double phi, ELIPSOID* ep);
void tm_row_point(double* X_ptr, double* Y_ptr, const TM_ROW* row, double lambda);
