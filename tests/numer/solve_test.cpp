// The linear solver, the inverse, the Newton iteration and its grid search.
#include <cmath>
#include <random>

#include "numer_util.h"

using namespace numer_test;

namespace {

using Solve = NumerTest;

// A(m, r) = rows[r][m]: equation r in row r.
void* system(MX_CACHE* c, std::vector<std::vector<double>> rows) {
    int n = static_cast<int>(rows.size());
    std::vector<double> v;
    for (auto& r : rows)
        v.insert(v.end(), r.begin(), r.end());
    return dvec(c, {n, n}, v);
}

TEST_F(Solve, LinearSystemsShapesAndSingularity) {
    // 1 x 1: zero has no answer, 2x = 3 gives 1.5, in each accepted right-hand shape.
    void* zero = system(&c, {{0.0}});
    void* two = system(&c, {{2.0}});
    for (std::vector<int> shape : {std::vector<int>{1}, {1, 1}}) {
        void* b = dvec(&c, shape, {3.0});
        EXPECT_EQ(resolve_equation_double(zero, b, &c), nullptr);
        void* x = resolve_equation_double(two, b, &c);
        ASSERT_TRUE(x);
        EXPECT_EQ(dvals(x), std::vector<double>{1.5});
        EXPECT_EQ(sizes_of(x), (std::vector<int>{1, 1}));
        mxc_free(&c, x);
        mxc_free(&c, b);
    }
    // Zero diagonal, identity, and the convention: 0*x0 + 1*x1 = 4, 1*x0 + 5*x1 = 7.
    void* a = system(&c, {{0, 1}, {1, 5}});
    for (std::vector<int> shape : {std::vector<int>{2}, {1, 2}, {2, 1}}) {
        void* b = dvec(&c, shape, {4, 7});
        void* x = resolve_equation_double(a, b, &c);
        ASSERT_TRUE(x);
        EXPECT_EQ(sizes_of(x), (std::vector<int>{1, 2}));
        EXPECT_NEAR(dvals(x)[0], -13.0, 1e-12);
        EXPECT_NEAR(dvals(x)[1], 4.0, 1e-12);
        mxc_free(&c, x);
        mxc_free(&c, b);
    }
    void* b3 = dvec(&c, {3}, {1, 2, 3});
    void* id = system(&c, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}});
    void* x = resolve_equation_double(id, b3, &c);
    ASSERT_TRUE(x);
    EXPECT_EQ(dvals(x), (std::vector<double>{1, 2, 3}));
    mxc_free(&c, x);
    // Singular systems and wrong shapes give null.
    void* sing = system(&c, {{1, 2, 3}, {2, 4, 6}, {0, 1, 1}});
    void* sing2 = system(&c, {{0.1, 0.3, 0.7}, {0.2, 0.6, 1.4}, {1, 1, 1}});
    void* zrow = system(&c, {{1, 2, 3}, {0, 0, 0}, {0, 1, 1}});
    EXPECT_EQ(resolve_equation_double(sing, b3, &c), nullptr);
    EXPECT_EQ(resolve_equation_double(sing2, b3, &c), nullptr);
    EXPECT_EQ(resolve_equation_double(zrow, b3, &c), nullptr);
    void* b2 = dvec(&c, {2}, {1, 2});
    void* b22 = dvec(&c, {2, 2}, {1, 2, 3, 4});
    void* rect = dvec(&c, {2, 3}, {1, 2, 3, 4, 5, 6});
    for (auto [m, v] : {std::pair{id, b2}, {a, b22}, {rect, b2}, {b2, b2}, {a, nullptr}})
        EXPECT_EQ(resolve_equation_double(m, v, &c), nullptr);
    int fs[1] = {2};
    void* fb = mxt_new_vector(&mx_type_float_v, 1, fs, &c);
    EXPECT_EQ(resolve_equation_double(a, fb, &c), nullptr);  // element types differ
    // A badly scaled but regular system is solved.
    void* scaled = system(&c, {{1e20, 0}, {0, 1e-20}});
    x = resolve_equation_double(scaled, b2, &c);
    ASSERT_TRUE(x);
    EXPECT_NEAR(dvals(x)[1], 2e20, 1e6);
    mxc_free(&c, x);
    for (void* v : {zero, two, a, b3, id, sing, sing2, zrow, b2, b22, rect, fb, scaled})
        mxc_free(&c, v);
}

TEST_F(Solve, InverseOfNonSymmetricMatrices) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-2, 2);
    for (int n = 1; n <= 6; n++) {
        std::vector<double> v(n * n);
        for (double& e : v)
            e = u(rng);
        for (int i = 0; i < n; i++)
            v[i * n + i] += 3;  // well away from singular
        v[n - 1] += 1.0;        // and not symmetric
        void* a = dvec(&c, {n, n}, v);
        void* r = mxt_reverse_double(a, &c);
        ASSERT_TRUE(r);
        void* p = mxt_mul_mm(a, r, &c);
        auto pv = dvals(p);
        for (int i = 0; i < n; i++)
            for (int j = 0; j < n; j++)
                EXPECT_NEAR(pv[i * n + j], i == j ? 1.0 : 0.0, 1e-9) << n;
        for (void* d : {a, r, p})
            mxc_free(&c, d);
    }
    void* s = system(&c, {{1, 2}, {2, 4}});
    EXPECT_EQ(mxt_reverse_double(s, &c), nullptr);
    mxc_free(&c, s);
}

// A smooth invertible map, scaled: channel 0 = S(x + 0.1 y), channel 1 = S(y - 0.05 x).
const double S = 0.5;
double ch0(const double* x) {
    return S * (x[0] + 0.1 * x[1]);
}
double ch1(const double* x) {
    return S * (x[1] - 0.05 * x[0]);
}

struct Newton : NumerTest {
    void* avg = nullptr;
    MX_CACHE_PARAM p{};
    // Targets at the image of (tx, ty), the estimate at (ex, ey), starting at `level`.
    void start(double tx, double ty, double ex, double ey, int level) {
        double tp[2] = {tx, ty};
        p = MX_CACHE_PARAM{};
        p.c = &c;
        p.data_ix = ix.data();
        p.flags = 1;
        p.inp_buf = dvec(&c, {1, 2}, {ch0(tp), ch1(tp)});
        p.ret_buf = dvec(&c, {1, 2}, {ex, ey});
        p.inp_level = level;
        p.tolerance = 0.01;
        p.try_avg = 10.0;
        // The affine model: (values, 1) = M (x, 1), in the solver's equation-per-row layout.
        avg = dvec(&c, {3, 3}, {S, 0.1 * S, 0, -0.05 * S, S, 0, 0, 0, 1});
        p.avg_mtx = avg;
    }
    void TearDown() override {
        for (void* v : {p.inp_buf, p.ret_buf, avg})
            if (v) mxc_free(&c, v);
        NumerTest::TearDown();
    }
    std::vector<double> x() { return dvals(p.ret_buf); }
};

TEST_F(Newton, ConvergesFromCoarseLevelAndKeepsItsCounters) {
    FakeStore s(2, 5, 1024, 6, {ch0, ch1});
    use(s);
    start(300.3, 511.7, 100, 100, 5);
    EXPECT_EQ(matrix_newton_double(&p), 0);
    EXPECT_EQ(p.newton_status, 0);
    EXPECT_EQ(p.inp_level, 0);
    EXPECT_NEAR(x()[0], 300.3, 0.01);
    EXPECT_NEAR(x()[1], 511.7, 0.01);
    EXPECT_LT(p.result_tolerance, p.tolerance);

    // At level 0 with the estimate already there: one step, try_avg 0.9 of its value.
    mxc_free(&c, p.inp_buf);
    mxc_free(&c, p.ret_buf);
    mxc_free(&c, avg);
    start(40.5, 20.25, 40.5, 20.25, 0);
    matrix_newton_double(&p);
    EXPECT_EQ(p.newton_status, 0);
    EXPECT_DOUBLE_EQ(p.try_avg, 9.0);

    // try_max 1 without convergence: two steps (the level holds at the top), status 3.
    mxc_free(&c, p.inp_buf);
    mxc_free(&c, p.ret_buf);
    mxc_free(&c, avg);
    start(600, 700, 10, 10, 5);
    p.try_max = 1;
    p.tolerance = 1e-9;
    matrix_newton_double(&p);
    EXPECT_EQ(p.newton_status, 3);
    EXPECT_DOUBLE_EQ(p.try_avg, 10.0 * 0.9 + 0.1);  // steps counted 1: two taken
    EXPECT_EQ(p.inp_level, 5);  // the raise by the first step's length is held at the top
}

TEST_F(Newton, DegenerateInputsEnd) {
    FakeStore s(2, 5, 256, 4, {ch0, ch1});
    use(s);
    // A tolerance of 0 never meets a step: the grid searches end it with status 3.
    start(100, 100, 20, 20, 0);
    p.tolerance = 0.0;
    matrix_newton_double(&p);
    EXPECT_EQ(p.newton_status, 3);
    EXPECT_NEAR(x()[0], 100, 1e-6);
    // A NaN estimate makes a NaN first step: no level is raised, the affine model takes over
    // where nothing can be read, and the solve ends at the target.
    mxc_free(&c, p.ret_buf);
    p.ret_buf = dvec(&c, {1, 2}, {NAN, 5});
    p.inp_level = 2;
    p.tolerance = 0.01;
    matrix_newton_double(&p);
    EXPECT_EQ(p.newton_status, 0);
    EXPECT_EQ(p.inp_level, 0);
    EXPECT_NEAR(x()[1], 100, 0.01);
    // A point outside every node and no model: the step stays put and returns 0.
    mxc_free(&c, p.ret_buf);
    p.ret_buf = dvec(&c, {1, 2}, {-50, -50});
    p.avg_mtx = nullptr;
    p.inp_level = 0;
    EXPECT_EQ(matrix_newton_double_loop(&p, 0, 0), 0.0);
    EXPECT_EQ(x(), (std::vector<double>{-50, -50}));
    // ... with the model, the affine answer is taken at once.
    p.avg_mtx = avg;
    EXPECT_GT(matrix_newton_double_loop(&p, 2, 0), 0.0);
    EXPECT_NEAR(x()[0], 100, 1e-9);
    // Wrong shapes end with status 3.
    void* saved = p.inp_buf;
    p.inp_buf = dvec(&c, {3}, {1, 2, 3});
    matrix_newton_double(&p);
    EXPECT_EQ(p.newton_status, 3);
    mxc_free(&c, p.inp_buf);
    p.inp_buf = saved;
}

TEST_F(Newton, GridSearchPassesAndPrinting) {
    FakeStore s(2, 5, 256, 1, {ch0, ch1});
    use(s);
    start(100, 120, 90, 110, 0);
    // tr below tolerance: one pass of 121 samples (each reading at most 4 corners).
    p.tolerance = 5.0;
    int64_t before = s.reads;
    generate_rand(&p, 4.0);
    EXPECT_LE(s.reads - before, 121 * 4);
    // spacing 2 * trunc(4 / 5) = 0: nothing moves, the best distance is that of the estimate.
    EXPECT_EQ(x(), (std::vector<double>{90, 110}));
    EXPECT_GT(p.result_y_tolerance, 0);
    // tr = 20, tolerance 5: passes with tr 20, 10, 5, 2.5 move to the target.
    generate_rand(&p, 20.0);
    EXPECT_EQ(x(), (std::vector<double>{100, 120}));
    EXPECT_EQ(p.result_y_tolerance, 0.0);
    // Tolerance 0: one pass, not an endless halving.
    p.tolerance = 0.0;
    generate_rand(&p, 1e300);
    p.tolerance = 1.0;
    generate_rand(&p, INFINITY);

    double d[3] = {1.5, -2, 0.125};
    EXPECT_EQ(capture([&] { print_data("v", d, 3); }), "v 1.500000 -2.000000 0.125000 \n");
    mxc_free(&c, p.ret_buf);
    p.ret_buf = dvec(&c, {1, 2}, {3, 4.5});
    EXPECT_EQ(capture([&] { print_ret_buf("x", &p); }), "x\n\t3.000000\n\t4.500000\n");
}

}  // namespace
