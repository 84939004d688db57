// The nine code methods: one CODE_METHOD record per external encoding.
//
//   ascii_cm    "ASCII"      bytes as they are, values up to 255
//   sjis_cm     "SHIFT_JIS"  ASCII and JIS X 0208; one-byte katakana read as full-width
//   jis_cm      "JIS"        ISO-2022-JP: ESC $ B / ESC ( J shift states
//   euc_cm      "EUC-JP"     ASCII and JIS X 0208; 0x8E katakana read as full-width
//   int_cm      "Internal"   the long characters themselves, 4 bytes in host order
//   utf8_cm     "UTF-8"      Unicode scalar values, standard UTF-8
//   utf16_cm    "UTF-16"     written big-endian after FE FF; read in the order of the mark
//   ucs4_cm     "UCS-4"      written big-endian after 00 00 FE FF; read in the order of the mark
//   extucs4_cm  "EXTUCS-4"   any long character, 4 bytes big-endian
//
// Readers never fail: a byte that cannot start or continue a character is dropped, and a byte
// that breaks a pending sequence ends it and is read again, so invalid input never swallows the
// valid character that follows. A partial character at the end of the input is lost at close.
// Writers refuse (return 0) a character they cannot express.
#pragma once

#include "longchar/longchar.h"

extern CODE_METHOD ascii_cm;
extern CODE_METHOD sjis_cm;
extern CODE_METHOD jis_cm;
extern CODE_METHOD euc_cm;
extern CODE_METHOD int_cm;
extern CODE_METHOD utf8_cm;
extern CODE_METHOD utf16_cm;
extern CODE_METHOD ucs4_cm;
extern CODE_METHOD extucs4_cm;
