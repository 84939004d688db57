// Physical units: the unit environments that give the unit names of QV numbers their meaning.
//
// A unit name ("km", "m^2", "km^2*h^-1", or an alias such as "dpi") parses into a dimension
// vector: for each of the four unit systems (length, time, mass, angle) the unit's number in its
// system, the power and a whole factor. Within a system the units are kept sorted from the finest
// to the coarsest and numbered 1, 2, 3 ... in that order, so a smaller number is a finer unit.
// Values convert between two vectors of like powers; the two-operand operators bring their
// operands to a common vector, compute and name the result with these functions.
//
// A unit environment and everything hanging off it are collected blocks. Environments are changed
// only while they are built (start-up, or a built-in deriving a new one before it is shared) and
// read without a lock afterwards. The list of named unit environments is guarded by unit_lock.
#pragma once

#include <cstdint>

#include "base/lock.h"
#include "lisp/sexp.h"

// Unit systems.
enum : int { US_LENGTH = 0, US_TIME = 1, US_MASS = 2, US_ANGLE = 3 };
constexpr int UNIT_SYSTEMS = 4;
constexpr int UNIT_HASH = 100;  // chains of the alias hashes

// One system's entry of a dimension vector. An unused system has u 0, p 0 and r 1.
struct DIMENSION {
    uint16_t u;  // the unit's number in its system, 0 when the system is not used
    int16_t p;   // power
    int32_t r;   // whole factor by which the quantity exceeds the plain unit power
};

// One unit of a system: one base unit equals shi/bo of this unit.
struct system_unit {
    system_unit* next;
    int16_t no;
    L_CHAR* name;
    double shi;
    double bo;
    int64_t shi_int;  // shi and bo truncated, for integer values
    int64_t bo_int;
};
typedef system_unit SYSTEM_UNIT;

// A name for a dimension vector.
struct unit_alias {
    unit_alias* n_next;  // chain of the name hash
    unit_alias* d_next;  // chain of the dimension hash
    L_CHAR* name;
    DIMENSION dim[UNIT_SYSTEMS];
};
typedef unit_alias UNIT_ALIAS;

struct unit_env {
    unit_env* next;  // the list of named unit environments
    L_CHAR* name;
    UNIT_ALIAS* name_hash[UNIT_HASH];
    UNIT_ALIAS* dim_hash[UNIT_HASH];
    SYSTEM_UNIT* sys_unit[UNIT_SYSTEMS];  // finest first
    SYSTEM_UNIT** no2su[UNIT_SYSTEMS];    // unit number to unit; entry 0 is empty
    int32_t no2su_len[UNIT_SYSTEMS];
};

// A unit attached to a coordinate system; texts from the tracked allocator.
struct coordinate_unit {
    coordinate_unit* next;
    char* url;
    char* system;
    char* unit;
    UNIT_ENV* uenv;
};
typedef coordinate_unit COORDINATE_UNIT;

// Rows of a unit table: a system name and ten {name, rate}; a rate says how many of the unit make
// one base unit, a negative rate stands for its reciprocal. The table ends with an empty name.
struct CU_RATE {
    const char* name;
    double rate;
};
struct CU_TABLE {
    const char* system;
    CU_RATE unit[10];
};
extern const CU_TABLE cu_table[];

extern SEM unit_lock;

// Unit environments.
// Creates unit_lock and the default unit environment, attaches it to vxlisp_top_env0 and
// registers the marking of the named list with the collector. Once, at start-up.
void init_unit();
UNIT_ENV* get_default_uenv();
UNIT_ENV* new_uenv();
// 0, or -1 when the system already has a unit of that name (or sys or the factors are invalid).
int new_su(UNIT_ENV* ue, int sys, const L_CHAR* name, double shi, double bo);
int n_new_su(UNIT_ENV* ue, int sys, const char* name, double shi, double bo);
// 0, or -1 when an alias of that name or of an equal vector exists.
int new_ua(UNIT_ENV* ue, const DIMENSION* dim, const L_CHAR* name);
int n_new_ua(UNIT_ENV* ue, const DIMENSION* dim, const char* name);
// Adds the alias of its own name to every unit of every system.
void system_unit_alias(UNIT_ENV* ue);
SYSTEM_UNIT* search_system_unit(UNIT_ENV* ue, int d, const L_CHAR* name);
UNIT_ALIAS* search_alias_by_name(UNIT_ENV* ue, const L_CHAR* name);
UNIT_ALIAS* search_alias_by_dim(UNIT_ENV* ue, const DIMENSION* dim);
// A new environment with a copy of every unit of ue.
UNIT_ENV* copy_uenv1(UNIT_ENV* ue);
// Adds every alias of from to to, unit numbers translated by name; a unit to lacks is fatal.
void copy_uenv2(UNIT_ENV* to, UNIT_ENV* from);
// The named list, each under unit_lock.
void set_uenv_name(UNIT_ENV* ue, const L_CHAR* name);
void del_uenv_name(const L_CHAR* name);
UNIT_ENV* search_uenv_name(const L_CHAR* name);
// Marks every named unit environment (a collector mark pass).
void gc_unit();
// Marks one unit environment and everything it holds (the collector's unit hook).
void gc_unit_env_mark(UNIT_ENV* ue);

// Names and dimensions.
int name2dim(UNIT_ENV* ue, DIMENSION* dim, const L_CHAR* name);
// Null for a vector without powers or one that has no name; else the alias name (shared) or a
// built name in the calling task's ring of temporary buffers.
L_CHAR* dim2name(UNIT_ENV* ue, const DIMENSION* dim);
int dim_cmp(const DIMENSION* d1, const DIMENSION* d2);        // 0 when all fields are equal
int dim_power_cmp(const DIMENSION* d1, const DIMENSION* d2);  // 0 when all powers are equal
void zero_unit(DIMENSION* dim);
uint32_t name_hash_key(const L_CHAR* name);
uint32_t dim_hash_key(const DIMENSION* dim);
// The unit of a number; for a list the first found depth first; else null.
L_CHAR* get_base_unit(QV_SEXP* s);
// Writes "u%i^%i(%i)" (number, power, factor) of every system to standard output, no line end.
void print_dim(const DIMENSION* d);

// Conversion. er receives 0, or -1 when the powers differ (the value is then unchanged).
double conv_unit_floating(int* er, UNIT_ENV* ue, double inp, const DIMENSION* from,
                          const DIMENSION* to);
int64_t conv_unit_integer(int* er, UNIT_ENV* ue, int64_t inp, const DIMENSION* from,
                          const DIMENSION* to);
double conv_unit(int* er, UNIT_ENV* ue, double inp, const L_CHAR* from, const L_CHAR* to);
// The common vector of two operands: integers fit to the finer unit, floating values to the
// coarser.
void fit_dimension_integer(DIMENSION* dest, const DIMENSION* s1, const DIMENSION* s2);
void fit_dimension_floating(DIMENSION* dest, const DIMENSION* s1, const DIMENSION* s2);
// Folds the factors of an unnamed vector into the value; returns the vector's name.
L_CHAR* normalize_dim_floating(UNIT_ENV* ue, DIMENSION* dim, double* data);
L_CHAR* normalize_dim_integer(UNIT_ENV* ue, DIMENSION* dim, int64_t* data);

// Resolution units and the unit table.
char* reso_c_unit(const COORDINATE_UNIT* u);
char* reso_c_unit_str(const char* str);
void free_c_unit(COORDINATE_UNIT* u);
void zero_c_unit(COORDINATE_UNIT* u);
int table_search(const CU_TABLE** t, const char* name);
int standard_unit(const CU_TABLE* t);
