// The host's serial ports: a list built once, on first request, and kept for the life of the
// process.
//
// On Linux the ports are the entries of the tty class (/sys/class/tty) that have a `device`
// link, i.e. stand for hardware. Legacy ports the kernel lists without hardware behind them (their
// "type" attribute reads 0) are left out.
#pragma once

// One serial port: `name` the tty name ("ttyUSB0"), `info` the path to open ("/dev/ttyUSB0").
// Both are tracked copies (alloc.h) owned by the list.
struct SERIAL_PORT_INFO {
    char* name;
    char* info;
    SERIAL_PORT_INFO* next;
};

// The list of the host's serial ports, in the reverse of the scan order (the scan takes the tty
// names in natural order: ttyS2 before ttyS10); null when there is none or the scan could not be
// made. The first call scans; every later call, from any thread, returns the same list. The list
// is never freed and must not be changed.
SERIAL_PORT_INFO* lookup_serial_port();

// The scan behind lookup_serial_port over a given tty class directory (for the host,
// "/sys/class/tty") and device directory ("/dev"), as a new list owned by the caller. A class
// directory that cannot be read prints "IOServiceGetMatchingServices returned %d\n" (the error
// number) and "createSerialIterator failed\n" on standard error and gives null.
SERIAL_PORT_INFO* scan_serial_ports(const char* class_dir, const char* dev_dir);
// Frees a list made by scan_serial_ports; null is ignored.
void free_serial_port_list(SERIAL_PORT_INFO* list);
