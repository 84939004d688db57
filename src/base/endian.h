// Byte order. Every binary format the system stores or sends is big-endian ("net" order). The
// host's order is tested once at start-up; the change_endian_ routines swap a record in place only
// on a little-endian host, so one routine serves both directions.
//
// The get_be/put_be helpers read and write single fields of a byte buffer in big-endian order
// whatever the host; every file and wire record is built from them field by field.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "base/geom.h"

typedef uint32_t L_CHAR;

extern uint8_t endian_flag;  // nonzero on a little-endian host

void check_endian();

constexpr uint16_t swap16(uint16_t v) {
    return static_cast<uint16_t>((v >> 8) | (v << 8));
}
constexpr uint32_t swap32(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
}
constexpr uint64_t swap64(uint64_t v) {
    return (static_cast<uint64_t>(swap32(static_cast<uint32_t>(v))) << 32) |
           swap32(static_cast<uint32_t>(v >> 32));
}
inline double swap_double(double d) {
    return std::bit_cast<double>(swap64(std::bit_cast<uint64_t>(d)));
}
inline float swap_float(float f) {
    return std::bit_cast<float>(swap32(std::bit_cast<uint32_t>(f)));
}

// In-place conversions of one field, done only when endian_flag is set.
void change_endian_16(void* p);
void change_endian_32(void* p);
void change_endian_64(void* p);

void change_endian_vx_point(VX_POINT* p);
void change_endian_vx_point_f(VX_POINT_F* p);
void change_endian_vx_rect(VX_RECT* r);
void change_endian_vx_rect_f(VX_RECT_F* r);
void change_endian_vx_color(VX_COLOR* col);
void change_endian_vx_time(VX_TIME* t);
void change_endian_affen2d(AFFEN2D* a);
void change_endian_l_char(L_CHAR* str);

// Big-endian field access on byte buffers, independent of the host and of endian_flag.
inline uint16_t get_be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t get_be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
inline uint64_t get_be64(const uint8_t* p) {
    return (static_cast<uint64_t>(get_be32(p)) << 32) | get_be32(p + 4);
}
inline void put_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void put_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
inline void put_be64(uint8_t* p, uint64_t v) {
    put_be32(p, static_cast<uint32_t>(v >> 32));
    put_be32(p + 4, static_cast<uint32_t>(v));
}
inline double get_be_double(const uint8_t* p) {
    return std::bit_cast<double>(get_be64(p));
}
inline void put_be_double(uint8_t* p, double d) {
    put_be64(p, std::bit_cast<uint64_t>(d));
}
inline float get_be_float(const uint8_t* p) {
    return std::bit_cast<float>(get_be32(p));
}
inline void put_be_float(uint8_t* p, float f) {
    put_be32(p, std::bit_cast<uint32_t>(f));
}
