// URL records held in collected memory: a record copied with mcopy_url has its strings in blocks
// of the language heap and lives inside a collected object whose mark function calls gcv_url.
// The record itself stays a plain value (base/url.h); only its strings change owner.
#pragma once

#include "base/url.h"

// dst becomes a copy of src with collected copies of every string (null stays null; the port is
// copied). The copies are rooted in the calling thread's top frame until the object holding dst
// is marked.
void mcopy_url(URL* dst, const URL* src);
// Marks every string of a record filled by mcopy_url; for the mark function of its holder.
void gcv_url(URL* u);
