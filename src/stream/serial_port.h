// Serial-port streams: a serial device opened for reading and writing at a given line speed and
// wrapped as a file stream.
#pragma once

#include "base/serial_list.h"
#include "stream/stream.h"

// Opens the port's `info` path, sets input and output speed to `speed` (bits per second), adds
// CLOCAL, applies the attributes after draining and wraps the descriptor as a file stream. A port
// that cannot be opened prints the system error with the prefix "open" on standard error and
// gives null; so does a speed the host does not know (errno EINVAL).
STREAM* open_serial_port(const SERIAL_PORT_INFO* info, int speed);

// The host's speed constant for a rate in bits per second; 0 when there is none.
unsigned serial_speed_code(int speed);
