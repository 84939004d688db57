// Transverse Mercator series. The expressions keep the order in which the terms are written out
// (the build forbids fused multiply-add), so results are reproducible bit for bit.
#include "geo/tmerc.h"

#include <cmath>
#include <cstdio>

namespace {

// The meridian arc of ellipsoid ep at latitude phi; ep->e2 must be current.
double meridian_arc(const ELIPSOID* ep, double phi) {
    double E = ep->e2;
    double E2 = E * E;
    double E3 = E2 * E;
    double E4 = E3 * E;
    double s2 = std::sin(2.0 * phi);
    double s4 = std::sin(4.0 * phi);
    double s6 = std::sin(6.0 * phi);
    double s8 = std::sin(8.0 * phi);
    return ep->a * (phi + E * (-0.25 * phi - 0.375 * s2) +
                    E2 * (-0.046875 * phi - 0.09375 * s2 + 0.05859375 * s4) +
                    E3 * (-0.01953125 * phi - 0.0439453125 * s2 + 0.0439453125 * s4 -
                          0.011393229166666666 * s6) +
                    E4 * (-0.01068115234375 * phi - 0.025634765625 * s2 + 0.03204345703125 * s4 -
                          0.014241536458333334 * s6 + 0.00240325927734375 * s8));
}

// A clear org_X_enable takes the arc of the origin latitude as org_X.
void ensure_org_X(ELIPSOID* ep) {
    if (ep->org_X_enable) return;
    ep->org_X = meridian_arc(ep, ep->org_phi);
    ep->org_X_enable = 1;
}

// The coefficients of the series at the work record's latitude.
void row_terms(TM_ROW* r, const E_WORK* w) {
    double s = std::sin(w->phi);
    double c = std::cos(w->phi);
    double t = std::tan(w->phi);
    double N = w->N;
    double psi = N / w->M;
    double t2 = t * t;
    double t4 = t2 * t2;
    double c3 = c * c * c;
    double c5 = c3 * c * c;
    r->ep = w->ep;
    r->S = w->S;
    r->x2 = (N / 2.0) * s * c;
    r->x4 = (N / 24.0) * s * c3 * (4.0 * psi * psi + psi - t2);
    r->x6 = (N / 720.0) * s * c5 * (61.0 - 58.0 * t2 + t4);
    r->y1 = N * c;
    r->y3 = (N / 6.0) * c3 * (psi - t2);
    r->y5 = (N / 120.0) * c5 * (5.0 - 18.0 * t2 + t4);
}

}  // namespace

double get_e(ELIPSOID* e) {
    e->e2 = (e->a * e->a - e->b * e->b) / (e->a * e->a);
    e->e = std::sqrt(e->e2);
    return e->e;
}

void get_r(E_WORK* w) {
    double s = std::sin(w->phi);
    double W2 = 1.0 - w->ep->e2 * s * s;
    w->N = w->ep->a / std::sqrt(W2);
    w->M = w->ep->a * (1.0 - w->ep->e2) / (W2 * std::sqrt(W2));
}

double get_S(E_WORK* w) {
    w->S = meridian_arc(w->ep, w->phi);
    return w->S;
}

void tm_row_point(double* X_ptr, double* Y_ptr, const TM_ROW* row, double lambda) {
    const ELIPSOID* ep = row->ep;
    double l = lambda - ep->org_lambda;
    double l2 = l * l;
    double l3 = l2 * l;
    double l4 = l2 * l2;
    double l5 = l4 * l;
    double l6 = l4 * l2;
    double x = row->S + row->x2 * l2 + row->x4 * l4 + row->x6 * l6;
    double y = row->y1 * l + row->y3 * l3 + row->y5 * l5;
    *Y_ptr = ep->m0 * y + ep->org_Y0;
    *X_ptr = ep->m0 * (x - ep->org_X) + ep->org_X0;
}

void get_XY_2(double* X_ptr, double* Y_ptr, E_WORK* w) {
    ensure_org_X(w->ep);
    TM_ROW row;
    row_terms(&row, w);
    tm_row_point(X_ptr, Y_ptr, &row, w->lambda);
}

void utm2bl(double* X_ptr, double* Y_ptr, double lambda, double phi, ELIPSOID* ep) {
    E_WORK w;
    w.ep = ep;
    w.phi = phi;
    w.lambda = lambda;
    get_e(ep);
    get_r(&w);
    get_S(&w);
    get_XY_2(X_ptr, Y_ptr, &w);
}

void tm_row_setup(TM_ROW* row, double phi, ELIPSOID* ep) {
    E_WORK w;
    w.ep = ep;
    w.phi = phi;
    w.lambda = 0;
    get_e(ep);
    get_r(&w);
    get_S(&w);
    ensure_org_X(ep);
    row_terms(row, &w);
}

void print_elipsoid(ELIPSOID* ep) {
    printf(
        "a=%f b=%f e=%f m0=%f org_X0=%f org_Y0=%f org_X=%f org_phi=%f org_lambda=%f "
        "org_X_enable=%i\n",
        ep->a, ep->b, ep->e, ep->m0, ep->org_X0, ep->org_Y0, ep->org_X, ep->org_phi, ep->org_lambda,
        static_cast<int>(ep->org_X_enable));
    fflush(stdout);
}
