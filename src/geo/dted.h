// DTED level 1 elevation tiles: one degree by one degree, named by their south-west corner (a
// directory such as "e139" holding a file such as "N35.dt1"), 1201 samples per profile,
// 601 or 1201 profiles from west to east. Samples are 16-bit sign-magnitude, big-endian.
// Positions are in arc seconds.
#pragma once

#include <cstdint>

constexpr int DTED_HEADER_SIZE = 3428;
constexpr int DTED_RECORD_SIZE = 2414;  // 8 bytes, 1201 samples, 4 bytes
constexpr int DTED_SAMPLES = 1201;
constexpr int DTED_VOID = -32767;

// The command word of load_dted1: the action in bits 0-3, the stretch flag in bits 4-7.
constexpr int DTED_ORIGIN = 1;      // the origin only; the file is not opened
constexpr int DTED_PROFILES = 2;    // profiles in file order: sample s of profile p at p*1201 + s
constexpr int DTED_ROWS = 3;        // north-up rows: row r (0 north) holds sample 1200 - r of each
                                    // profile, at r*P + p
constexpr int DTED_STRETCH = 0x10;  // a 601-profile tile widened to 1201 profiles

// Reads the tile dir_name "/" filename into data (room for 1201 x 1201 samples) as cmd says.
// *org_east gets the longitude of the tile's western edge and *org_north the latitude of its
// northern edge (stored before the file is opened); *line_nos_p, when given, the profile count
// of the file. Returns 0, or:
//   -1 dir_name shorter than 4 characters
//   -2 dir_name does not end in E, e, W or w and three digits of at most 180
//   -3 filename is not a letter, two digits of at most 90 and ".dt1"
//   -4 the first letter of filename is not N, n, S or s
//   -5 the file cannot be opened, or is no regular file
//   -6 the profile count (file size - 3428) / 2414 is not 601 or 1201 ("LENGTH %i\n" on the
//      standard output stream); or the file is not what its header says: no "UHL" mark, a
//      count of longitude lines other than the file's records, of points a line other than
//      1201, bytes after the last record, or a record without its sentinel 0xAA or whose
//      checksum (the sum of its other bytes) differs ("DTED <path>: ..." on the stream)
//   -7 an action other than 1 to 3
// With the stretch, profile 2i + 1 is the mean of its neighbours truncated toward zero; a pair
// holding a void gives the void.
int load_dted1(int16_t* data, int* org_east, int* org_north, int* line_nos_p, const char* dir_name,
               const char* filename, int cmd);

// As load_dted1 in raw profile order, without the stretch: the file name may end in ".dt1" or
// ".dt2". flag not 0 stores the origin only; flag 0 reads 1201 profiles into data (sample s of
// profile p at p*1201 + s). A file whose profile count is not 1201 gives -6.
int load_dted2(int16_t* data, int* org_east, int* org_north, const char* dir_name,
               const char* filename, int flag);
