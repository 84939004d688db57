// Serial-port streams: a serial device opened for reading and writing at a given line speed and
// wrapped as a file stream.
#pragma once

#include "stream/stream.h"

// One serial port as the port listing gives it: `name` the device, `info` the path to open
// (the call-out device where the host has one; on Linux the /dev path itself).
struct SERIAL_PORT_INFO {
    char* name;
    char* info;
    SERIAL_PORT_INFO* next;
};

// Opens the port's `info` path, sets input and output speed to `speed` (bits per second), adds
// CLOCAL, applies the attributes after draining and wraps the descriptor as a file stream. A port
// that cannot be opened prints the system error with the prefix "open" on standard error and
// gives null; so does a speed the host does not know (errno EINVAL).
STREAM* open_serial_port(const SERIAL_PORT_INFO* info, int speed);

// The host's speed constant for a rate in bits per second; 0 when there is none.
unsigned serial_speed_code(int speed);
