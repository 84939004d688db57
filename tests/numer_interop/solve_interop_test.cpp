// The linear solver against numpy.linalg.solve, run by the python3 that Debian's numpy serves.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "matrix/mx_cache.h"
#include "matrixops/mtx_common.h"
#include "matrixops/mtx_types.h"
#include "matrixops/mx_solve.h"

namespace {

constexpr const char* PYTHON = "/usr/bin/python3";

struct System {
    int n;
    std::vector<double> a;  // equation r in row r
    std::vector<double> b;
};

// Well-conditioned systems: diagonally dominant rows, then shifted cyclically by s rows; the
// entries that land on the diagonal are zeroed for half of them. The identity is among them.
std::vector<System> make_systems(int count) {
    std::mt19937 rng(20261207);
    std::uniform_real_distribution<double> u(-1, 1);
    std::vector<System> out;
    for (int k = 0; k < count; k++) {
        int n = 1 + k % 8;
        System s{n, std::vector<double>(n * n), std::vector<double>(n)};
        if (k < 8) {
            for (int i = 0; i < n; i++)
                s.a[i * n + i] = 1.0;
        } else {
            std::vector<double> d(n * n);
            for (int i = 0; i < n; i++)
                for (int j = 0; j < n; j++)
                    d[i * n + j] = i == j ? (n + 1) * (u(rng) < 0 ? -1 : 1) : u(rng);
            int shift = n > 1 ? static_cast<int>(rng() % n) : 0;
            bool zero_diag = shift != 0 && k % 2 == 0;
            for (int i = 0; i < n; i++) {
                int src = (i + shift) % n;
                for (int j = 0; j < n; j++)
                    s.a[i * n + j] = d[src * n + j];
                if (zero_diag) s.a[i * n + i] = 0.0;
            }
        }
        for (double& x : s.b)
            x = 10 * u(rng);
        out.push_back(s);
    }
    return out;
}

std::string temp_path(const char* name) {
    const char* t = getenv("TMPDIR");
    return std::string(t && *t ? t : "/tmp") + "/numer_" + std::to_string(getpid()) + "_" + name;
}

TEST(SolveInterop, AgreesWithNumpyOnThousandSystems) {
    ASSERT_EQ(access(PYTHON, X_OK), 0) << "python3 of python3-numpy missing";
    register_matrix_types();
    auto systems = make_systems(1000);
    std::string in = temp_path("in.txt"), out = temp_path("out.txt"), py = temp_path("s.py");
    {
        std::ofstream f(in);
        f.precision(17);
        for (auto& s : systems) {
            f << s.n;
            for (double x : s.a)
                f << ' ' << x;
            for (double x : s.b)
                f << ' ' << x;
            f << '\n';
        }
        std::ofstream p(py);
        p << "import sys, numpy\n"
             "out = open(sys.argv[2], 'w')\n"
             "for line in open(sys.argv[1]):\n"
             "    v = [float(t) for t in line.split()]\n"
             "    n = int(v[0])\n"
             "    a = numpy.array(v[1:1 + n * n]).reshape(n, n)\n"
             "    b = numpy.array(v[1 + n * n:])\n"
             "    out.write(' '.join(repr(float(x)) for x in numpy.linalg.solve(a, b)) + '\\n')\n";
    }
    std::string cmd = std::string("timeout 120 ") + PYTHON + " " + py + " " + in + " " + out;
    int st = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << cmd;
    std::ifstream res(out);
    MX_CACHE c{};
    mxc_setup(&c);
    int checked = 0;
    for (auto& s : systems) {
        std::string line;
        ASSERT_TRUE(std::getline(res, line));
        std::istringstream ls(line);
        std::vector<double> want(s.n);
        for (double& x : want)
            ls >> x;
        int sa[2] = {s.n, s.n}, sb[1] = {s.n};
        void* a = mxt_new_vector(&mx_type_double_v, 2, sa, &c);
        void* b = mxt_new_vector(&mx_type_double_v, 1, sb, &c);
        MATRIX_DH_SET da, db;
        get_matrix_dh_set(&da, a);
        get_matrix_dh_set(&db, b);
        memcpy(da.offset, s.a.data(), 8 * s.a.size());
        memcpy(db.offset, s.b.data(), 8 * s.b.size());
        void* x = resolve_equation_double(a, b, &c);
        ASSERT_TRUE(x) << "n " << s.n << " system " << checked;
        MATRIX_DH_SET dx;
        get_matrix_dh_set(&dx, x);
        auto* xv = reinterpret_cast<double*>(dx.offset);
        double err = 0, norm = 0;
        for (int i = 0; i < s.n; i++) {
            err += (xv[i] - want[i]) * (xv[i] - want[i]);
            norm += want[i] * want[i];
        }
        EXPECT_LE(std::sqrt(err), 1e-9 * std::sqrt(norm)) << "system " << checked;
        for (void* v : {a, b, x})
            mxc_free(&c, v);
        checked++;
    }
    EXPECT_EQ(checked, 1000);
    mxc_close(&c);
    for (auto& p : {in, out, py})
        unlink(p.c_str());
}

}  // namespace
