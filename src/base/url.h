// URL records: a parsed URL whose parts are long-character strings.
//
// Written form: proto "://" server [":" port] ["/@" agent] db resource, then either "?" query or
// "#" name (whichever of '?' and '#' comes first takes the whole rest). db begins and ends with
// '/'; the port is 0 when not given and then taken from the well-known ports of the scheme, and
// it is left out when printing when it equals the scheme's well-known port. user and passwd are
// carried but never parsed or printed.
//
// A record filled by the parser or by copy_url owns its strings (tracked allocator, charged to
// the caller's source place). The record itself is a plain value: nothing here allocates it.
// Copies whose strings live in collected memory (mcopy_url, gcv_url) are in lisp/urlcopy.h,
// beside the language heap they need.
#pragma once

#include <cstdint>

#include "base/endian.h"

struct URL {
    L_CHAR* proto;     // the text before "://", or null
    L_CHAR* server;    // host name or address, or null
    int32_t port;      // 0 when not given
    L_CHAR* agent;     // the name after "/@" at the head of the path, or null
    L_CHAR* db;        // the directory part of the path, '/' to '/', or null
    L_CHAR* resource;  // the last path component, or null
    L_CHAR* query;     // the text after '?'
    L_CHAR* name;      // the text after '#'
    L_CHAR* user;      // never filled by the parser
    L_CHAR* passwd;    // never filled by the parser
};

// Parses text into ret (cleared first). 0; -1 when "://" is followed directly by ':'; -2 when a
// port is followed by a character other than '/' or the end, or does not fit in 16 bits. The
// record is filled as far as parsed in every case and must be released with free_url.
int xx_get_url2(URL* ret, const L_CHAR* text, const char* file, int line);
#define get_url2(ret, text) xx_get_url2((ret), (text), __FILE__, __LINE__)

// The older parser: port 9090 by default, the db without its outer slashes. 0 or -1.
int get_url(URL* ret, const L_CHAR* text);

// The written form, in the calling task's ring of temporary text (use at once, never free); null
// when proto is null.
L_CHAR* get_url_str2(const URL* u);
// The path form "/" db resource ["?" query] ["#" name]: a new tracked string owned by the caller.
L_CHAR* get_url_filepath(const URL* u);

void copy_url(URL* dst, const URL* src);
// Releases every string of the record. The fields keep their values; agent, query and name go to
// the calling task's ring of temporary text, so they stay readable for a while after the call.
// A record must not be released twice.
void free_url(URL* u);
void zero_url(URL* u);

// 0 when a and b name the same place (proto, server, port, db and resource), -1 otherwise.
// url_cmp compares servers as hosts, url_cmp_str as text.
int url_cmp(const URL* a, const URL* b);
int url_cmp_str(const URL* a, const URL* b);

// The URL with a partial host name completed by the local domain; a new tracked string.
L_CHAR* url_regulation(const L_CHAR* text);
// rel resolved against base, or null; a new tracked string.
L_CHAR* compose_url(const L_CHAR* base, const L_CHAR* rel);
// Path d2 resolved against path d1, or null; a new tracked string.
L_CHAR* compose_path(const L_CHAR* d1, const L_CHAR* d2);

// The terminating zero of p.
L_CHAR* seek_ptr(L_CHAR* p);
// Shrinks *s to its length, or frees it and sets it null when it is empty.
void make_regular(L_CHAR** s);
