// Moving plot points between the levels of a matrix's pyramid: a parent's points and the
// children's differences, rebuilding a child from them, re-expressing points at a finer level,
// splicing a child's parent-level points into the parent's list, sorting, and the conversion
// between absolute coordinates and points. Every list is in the Morton order of cmp_plot; the
// walks rely on the points of one coarser cell being adjacent, which holds when every dimension
// has the same block size and divide (plot_matrix_check).
//
// Failures that data can cause (fields of different kinds, a difference list that lacks the runs
// of its parents, lists that would interleave) come back as codes; the inputs stay as they were.
#pragma once

#include <cstdint>

#include "matrixops/plot_code.h"

// Parent-level points of the sorted child list `down` (one per occupied parent pixel, fields
// merged) and, through *diff, one difference point per child. Writes "diff-1\n" and "diff-2\n".
// Null with *err = PLOT_ERR_KIND on a kind mismatch.
INTERNAL_PLOT* diff_pp(const PLOT_MATRIX* m, INTERNAL_PLOT** diff, const INTERNAL_PLOT* down,
                       uint32_t* err);

// The child list at down_code rebuilt from the parent list and the differences; from the pool
// when one is given. Null with *err set (PLOT_ERR_KIND, or PLOT_ERR_CODE when a run is missing).
INTERNAL_PLOT* add_diff(const PLOT_MATRIX* m, const INTERNAL_PLOT* up, const INTERNAL_PLOT* diff,
                        const int64_t* down_code, SIMPLE_ALLOC_T* pool, uint32_t* err);

// A tracked copy of the points of a list at `level` that lie in the finer block dc, expressed
// in it.
INTERNAL_PLOT* shift_under_plot(const PLOT_MATRIX* m, const INTERNAL_PLOT* ip, int64_t level,
                                const int64_t* dc);

// Moves the child's parent-level points ip (child at dim_code) into the target list. -1 and
// nothing moved when the lists would interleave; else 0 with *head the new head.
int shift_insert_plot(const PLOT_MATRIX* m, INTERNAL_PLOT** head, INTERNAL_PLOT* ip,
                      const int64_t* dim_code);

// Sorts by relinking (equal points: the later of the halves first, as the split deals them).
INTERNAL_PLOT* sort_plot(const PLOT_MATRIX* m, INTERNAL_PLOT* ip);

// A new tracked point at the absolute position crd (level, then level-0 positions) made at
// `level`; null when the level cannot be expressed.
INTERNAL_PLOT* make_plot(const PLOT_MATRIX* m, int64_t level, const int64_t* crd,
                         const IP_FIELD* fd);
// crd[0] = level, crd[1+k] = the point's position in level-0 units inside the block.
void get_plot_crd(int64_t* crd, const PLOT_MATRIX* m, const INTERNAL_PLOT* ip, int64_t level);
