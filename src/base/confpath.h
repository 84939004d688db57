// Configuration and script search paths: the home, preference, temporary and peripheral
// directories, the abstract locale, the default code method, the current script directory, and
// the search for script files beside the loading file, in the script directory and along the
// search path (QVPATH in the environment and in the ".qvrc" configuration files).
//
// The ".qvrc" files are QV text read with the QV reader, which sits above this layer: the
// language core installs the reader (`set_qvrc_reader`) at its start-up. Until then the
// configuration files contribute nothing to the search.
//
// Returned 8-bit paths belong to this module (kept for the process, or in the calling task's
// ring of temporary text); returned long-character strings are new tracked strings owned by the
// caller.
#pragma once

#include <cstdint>

#include "base/endian.h"

struct CODE_METHOD;

// The value of HOME, or null.
const char* get_homepath();
// HOME (or "/" when unset), a '/' when it does not end with one, then ".pqvconf/"; computed once.
const char* get_preference_path();
const char* get_root_preference_path();
const char* get_tmp_dir();
// The directory of peripheral programs: GV_PERIPHERAL, else the program's directory along PATH,
// else "./"; a last whole "bin/" component replaced by "peripheral/". Computed once.
const char* get_peripheral_path();
// The peripheral directory made from a start directory (the rule of get_peripheral_path); a new
// tracked string.
char* make_peripheral_path(const char* start);
// The preference directory for a home directory (null: unset); a new tracked string.
char* make_preference_path(const char* home);

// LANG looked up exactly in the locale table; "en" when unset or absent.
const char* get_locale();
const char* get_abstract_locale(const char* str);
// The code method named by STD_CODE, else EUC-JP.
CODE_METHOD* get_default_cm();
int64_t get_mem_size();
// The descriptor limit of the process (the soft limit), and setting it (0, or -1 when refused).
unsigned get_fd_max();
int set_fd_max(unsigned max);

// The directory (ending with '/') of the first element of PATH, or of QVPATH (elements separated
// by ':', blank or tab), in which app opens for reading; null when none. The text is in the
// calling task's ring of temporary text.
char* which(const char* app);
char* qvwhich(const char* app);

// Searches the list (elements separated by ';', tab, newline, CR, blank or ':') for app: the
// directory part (element and separator) of the first element under which app opens; null when
// none.
L_CHAR* _qvwhich(const L_CHAR* list, const L_CHAR* app);
// The QVPATH entries of the configuration file dir/file, searched last entry first.
L_CHAR* in_qvrc(const char* dir, const char* file, const L_CHAR* app);
// The directory in which app is found along QVPATH, then the ".qvrc" files of the home
// directory, the preference directory, the root and the root preference directory.
L_CHAR* get_qvwhich(const L_CHAR* app);
// The path under which script opens: as given, beside file, in the script directory, along the
// search paths; null when none does.
L_CHAR* get_script(const L_CHAR* file, const L_CHAR* script);

void set_script_path(const L_CHAR* script);
L_CHAR* get_script_path();
L_CHAR* get_absolute_path(const L_CHAR* path);
L_CHAR* get_relative_path(const L_CHAR* path);
L_CHAR* optimize_path(const L_CHAR* path);

// The reader of configuration files: calls each(value, work), in file order, for the second
// element of every top-level list of the file at path whose head symbol is named symbol and
// whose value is a string. Does nothing when the file cannot be opened.
typedef void (*QVRC_READER)(const char* path, const char* symbol,
                            void (*each)(const L_CHAR* value, void* work), void* work);
void set_qvrc_reader(QVRC_READER reader);
