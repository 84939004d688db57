#include "base/endian.h"

uint8_t endian_flag = 0;

void check_endian() {
    const uint32_t one = 1;
    uint8_t first;
    memcpy(&first, &one, 1);
    endian_flag = first;
}

// Fields are swapped through memcpy so that packed or unaligned records are safe.
void change_endian_16(void* p) {
    if (!endian_flag) return;
    uint16_t v;
    memcpy(&v, p, 2);
    v = swap16(v);
    memcpy(p, &v, 2);
}

void change_endian_32(void* p) {
    if (!endian_flag) return;
    uint32_t v;
    memcpy(&v, p, 4);
    v = swap32(v);
    memcpy(p, &v, 4);
}

void change_endian_64(void* p) {
    if (!endian_flag) return;
    uint64_t v;
    memcpy(&v, p, 8);
    v = swap64(v);
    memcpy(p, &v, 8);
}

void change_endian_vx_point(VX_POINT* p) {
    change_endian_64(&p->x);
    change_endian_64(&p->y);
}

void change_endian_vx_point_f(VX_POINT_F* p) {
    change_endian_32(&p->x);
    change_endian_32(&p->y);
}

void change_endian_vx_rect(VX_RECT* r) {
    change_endian_vx_point(&r->tl);
    change_endian_vx_point(&r->br);
}

void change_endian_vx_rect_f(VX_RECT_F* r) {
    change_endian_vx_point_f(&r->tl);
    change_endian_vx_point_f(&r->br);
}

void change_endian_vx_color(VX_COLOR* col) {
    change_endian_32(&col->r);
    change_endian_32(&col->g);
    change_endian_32(&col->b);
    change_endian_32(&col->t);
}

void change_endian_vx_time(VX_TIME* t) {
    change_endian_64(&t->year);
}

void change_endian_affen2d(AFFEN2D* a) {
    change_endian_vx_point(&a->org);
    for (auto& row : a->matrix)
        for (double& v : row)
            change_endian_64(&v);
}

void change_endian_l_char(L_CHAR* str) {
    if (!endian_flag || !str) return;
    for (; *str; ++str)
        *str = swap32(*str);
}
