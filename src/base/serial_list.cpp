// The serial-port listing over the kernel's tty class.
//
// The scan keeps the shape of a device-registry walk: createSerialIterator opens the set of
// candidate devices, getRegistryString reads one text property of a device. A tty entry is a
// serial port when it has a `device` link (virtual consoles and pseudo-terminals have none) and
// its "type" attribute, where present, is not 0 (0 marks a legacy port without hardware).
// Diagnostics go to standard error: standard output carries the protocol.
#include "base/serial_list.h"

#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "base/alloc.h"

namespace {

constexpr int REGISTRY_TEXT = 256;  // bytes of a property text, terminator included

// Opens the class directory as the iterator over candidate devices; 0, else the error number.
int createSerialIterator(DIR** serialIterator, const char* class_dir) {
    *serialIterator = opendir(class_dir);
    if (*serialIterator) return 0;
    int status = errno ? errno : EIO;
    fprintf(stderr, "IOServiceGetMatchingServices returned %d\n", status);
    return status;
}

// The text of the property file propName of the device directory sObj into buf, at most 255
// bytes, without trailing white space; empty when the property is absent or unreadable.
void getRegistryString(char (&buf)[REGISTRY_TEXT], const std::string& sObj, const char* propName) {
    buf[0] = 0;
    FILE* f = fopen((sObj + "/" + propName).c_str(), "r");
    if (!f) return;
    size_t n = fread(buf, 1, REGISTRY_TEXT - 1, f);
    fclose(f);
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == ' ' || buf[n - 1] == '\t'))
        n--;
    buf[n] = 0;
}

bool is_serial_port(const std::string& dir) {
    struct stat st;
    if (stat((dir + "/device").c_str(), &st) != 0) return false;
    char type[REGISTRY_TEXT];
    getRegistryString(type, dir, "type");
    return strcmp(type, "0") != 0;
}

SERIAL_PORT_INFO* serial_port_list = nullptr;
std::once_flag serial_port_list_ready;

}  // namespace

SERIAL_PORT_INFO* scan_serial_ports(const char* class_dir, const char* dev_dir) {
    DIR* it;
    if (createSerialIterator(&it, class_dir) != 0) {
        fprintf(stderr, "createSerialIterator failed\n");
        return nullptr;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(it)) {
        if (e->d_name[0] == '.') continue;
        if (is_serial_port(std::string(class_dir) + "/" + e->d_name)) names.push_back(e->d_name);
    }
    closedir(it);
    // Directory order is arbitrary; the natural order of the names makes the list stable.
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return strverscmp(a.c_str(), b.c_str()) < 0;
    });
    SERIAL_PORT_INFO* list = nullptr;
    for (const std::string& name : names) {
        auto* p = static_cast<SERIAL_PORT_INFO*>(d_alloc(sizeof(SERIAL_PORT_INFO)));
        p->name = d_strdup(name.c_str());
        p->info = d_strdup((std::string(dev_dir) + "/" + name).c_str());
        p->next = list;
        list = p;
    }
    return list;
}

void free_serial_port_list(SERIAL_PORT_INFO* list) {
    while (list) {
        SERIAL_PORT_INFO* next = list->next;
        d_f_ree(list->name);
        d_f_ree(list->info);
        d_f_ree(list);
        list = next;
    }
}

SERIAL_PORT_INFO* lookup_serial_port() {
    std::call_once(serial_port_list_ready,
                   [] { serial_port_list = scan_serial_ports("/sys/class/tty", "/dev"); });
    return serial_port_list;
}
