// Serial-port streams (see serial_port.h). Linux names line speeds by constants, not rates, so a
// rate is looked up in the table of the speeds the host knows.
#include "stream/serial_port.h"

#include <errno.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "base/ufile.h"
#include "stream/file_stream.h"

namespace {

struct SPEED {
    int rate;
    speed_t code;
};

constexpr SPEED speeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

}  // namespace

unsigned serial_speed_code(int speed) {
    for (const SPEED& s : speeds)
        if (s.rate == speed) return s.code;
    return 0;
}

STREAM* open_serial_port(const SERIAL_PORT_INFO* info, int speed) {
    if (!info || !info->info) {
        errno = EINVAL;
        return nullptr;
    }
    speed_t code = serial_speed_code(speed);
    if (!code) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = u_open(info->info, O_RDWR | O_NOCTTY, 0);
    if (fd < 0) {
        perror("open");
        return nullptr;
    }
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0 || cfsetispeed(&tio, code) != 0 || cfsetospeed(&tio, code) != 0) {
        int err = errno;
        u_close(fd);
        errno = err;
        return nullptr;
    }
    tio.c_cflag |= CLOCAL;
    if (tcsetattr(fd, TCSAFLUSH, &tio) != 0) {
        int err = errno;
        u_close(fd);
        errno = err;
        return nullptr;
    }
    STREAM* s = s_open_descripter(fd, &s_file_table);
    if (!s) u_close(fd);
    return s;
}
