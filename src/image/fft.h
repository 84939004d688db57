// A radix-2 fast Fourier transform over arrays of complex doubles. Results come from the system
// allocator; the caller releases them with free(). The twiddle table is kept per thread, so
// transforms may run on any number of threads at once.
#pragma once

// A complex number stored imaginary part first.
struct COMPLEX {
    double im;
    double re;
};
static_assert(sizeof(COMPLEX) == 2 * sizeof(double), "two doubles, no padding");

// Forward transform of the 2^beki elements of list, scaled by 1 / 2^beki; null for beki outside
// 0..30 or a null list.
COMPLEX* fastft(const COMPLEX* list, int beki);
// Inverse transform, not scaled: fastdft(fastft(x)) gives x back.
COMPLEX* fastdft(const COMPLEX* list, int beki);
// The unscaled transform with twiddles exp(i sign 2 pi k / n).
COMPLEX* _fastft(const COMPLEX* list, int beki, int sign);

// Makes the calling thread's twiddle table fit (size, sign); 1 when it was rebuilt, 0 when the
// table already fitted, -1 when it could not be allocated.
int new_w_list(int size, int sign);
// The low b bits of a in reverse order.
unsigned upsidedown(unsigned a, int b);

COMPLEX addc(COMPLEX a, COMPLEX b);
COMPLEX subc(COMPLEX a, COMPLEX b);
COMPLEX mulc(COMPLEX a, COMPLEX b);
COMPLEX minus(COMPLEX a);

// Prints "a\n", then "\t%i (%f, %f)\n" for each element (index, im, re).
void print_all(const COMPLEX* list, int n);
