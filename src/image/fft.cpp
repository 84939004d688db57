#include "image/fft.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>

namespace {

// The calling thread's twiddle table: entry k = cos(2 pi k / n) + i sign sin(2 pi k / n).
struct WList {
    COMPLEX* w = nullptr;
    int size = 0;
    int sign = 0;
    ~WList() { free(w); }
};

thread_local WList w_list;

}  // namespace

int new_w_list(int size, int sign) {
    if (w_list.w && w_list.size == size && w_list.sign == sign) return 0;
    free(w_list.w);
    w_list.w =
        static_cast<COMPLEX*>(malloc(sizeof(COMPLEX) * static_cast<size_t>(size > 0 ? size : 1)));
    if (!w_list.w) {
        w_list.size = 0;
        return -1;
    }
    for (int k = 0; k < size; k++) {
        double a = 2 * std::numbers::pi * k / size;
        w_list.w[k].re = std::cos(a);
        w_list.w[k].im = sign * std::sin(a);
    }
    w_list.size = size;
    w_list.sign = sign;
    return 1;
}

unsigned upsidedown(unsigned a, int b) {
    unsigned r = 0;
    for (int i = 0; i < b; i++) {
        r = (r << 1) | (a & 1);
        a >>= 1;
    }
    return r;
}

COMPLEX addc(COMPLEX a, COMPLEX b) {
    return COMPLEX{a.im + b.im, a.re + b.re};
}

COMPLEX subc(COMPLEX a, COMPLEX b) {
    return COMPLEX{a.im - b.im, a.re - b.re};
}

COMPLEX mulc(COMPLEX a, COMPLEX b) {
    return COMPLEX{a.im * b.re + a.re * b.im, a.re * b.re - a.im * b.im};
}

COMPLEX minus(COMPLEX a) {
    return COMPLEX{-a.im, -a.re};
}

COMPLEX* _fastft(const COMPLEX* list, int beki, int sign) {
    if (!list || beki < 0 || beki > 30) return nullptr;
    int n = 1 << beki;
    if (new_w_list(n, sign) < 0) return nullptr;
    auto* out = static_cast<COMPLEX*>(malloc(sizeof(COMPLEX) * static_cast<size_t>(n)));
    if (!out) return nullptr;
    for (int j = 0; j < n; j++)
        out[upsidedown(static_cast<unsigned>(j), beki)] = list[j];
    const COMPLEX* w = w_list.w;
    for (int half = 1, s = n / 2; half < n; half *= 2, s /= 2) {
        for (int g = 0; g < n; g += 2 * half) {
            for (int k = 0; k < half; k++) {
                COMPLEX t = mulc(out[g + k + half], w[k * s]);
                out[g + k + half] = subc(out[g + k], t);
                out[g + k] = addc(out[g + k], t);
            }
        }
    }
    return out;
}

COMPLEX* fastft(const COMPLEX* list, int beki) {
    COMPLEX* out = _fastft(list, beki, -1);
    if (!out) return nullptr;
    double n = static_cast<double>(1 << beki);
    for (int j = 0; j < (1 << beki); j++) {
        out[j].im /= n;
        out[j].re /= n;
    }
    return out;
}

COMPLEX* fastdft(const COMPLEX* list, int beki) {
    return _fastft(list, beki, 1);
}

void print_all(const COMPLEX* list, int n) {
    printf("a\n");
    for (int i = 0; i < n; i++)
        printf("\t%i (%f, %f)\n", i, list[i].im, list[i].re);
}
