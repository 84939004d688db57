// Version records: each layer of the system describes itself with one record.
//
// The records are registered at start-up, on the main thread before any reader runs, in one
// global list, newest first; the list is not locked. Registered records are static data of their
// layer and are never freed. Records built from a peer's answer own their strings (tracked
// allocator) and are released with free_version_v or free_version.
#pragma once

#include <cstdint>

struct VERSION {
    char* layer;  // the key of look-ups
    char* name;
    char* publisher;
    char* version;
    int16_t year;
    uint8_t month;  // 1 to 12
    uint8_t date;   // day of the month
    VERSION* next;  // link in the global list
    char* comment;
};

extern VERSION* version_list;

// Pushes v (not copied; it must live as long as the process) at the head of the list.
void set_version(VERSION* v);
// The newest record of `layer` (exact byte comparison), null when none; with a null layer the
// head of the whole list.
VERSION* get_version(const char* layer);
// Copies every field, the five strings as tracked copies (null stays null); `next` as it is.
void copy_version(VERSION* dst, const VERSION* src);
// Releases the five strings of a copied record; the record itself stays.
void free_version_v(VERSION* v);
// free_version_v, then releases the record.
void free_version(VERSION* v);
