// The open-matrix registry: QV scripts hold a matrix by a small positive id. Every matrix that
// the geo-matrix built-ins opened has one entry: the matrix, an access cache prepared for its
// typed channels, and the id.
//
// One mutex guards the list, the id counter and the holder counts. Every look-up returns the
// entry with one more holder, which the caller drops with release_mx_entry at the end of its
// call; closing unlists the entry at once (its id answers nothing from then on) and the last
// holder closes the matrix and frees the entry, so no thread ever uses a freed entry.
#pragma once

#include "matrix/mxcache.h"
#include "matrix/mxstore.h"

struct MX_ENTRY {
    MX_ENTRY* next;
    MX_CACHE c;        // c.m is the matrix
    MX_CACHE_PARAM p;  // p.c points at c
    int mode;          // 1: the file already held the matrix; 0: new, or opened read-only
    int id;            // 0 while not listed
    uint64_t serial;   // given when registered, never given again in the run
    int holders;       // look-ups in progress
    bool closing;      // unlisted; the last holder closes and frees it
    bool transient;    // opened by a call for itself: its last holder closes it unless kept
    bool kept;         // asked to stay open (a registered id, a served matrix)
};

// The listed entry of matrix m, or of id, held; null when none.
MX_ENTRY* search_mx_entry(MATRIX* m);
MX_ENTRY* search_mx_entry_by_id(int id);
// Drops a holder; the last holder of a closed entry, or of a transient one not kept, closes its
// matrix and frees it.
void release_mx_entry(MX_ENTRY* e);
// Marks a held entry to stay open after its holders are gone, though a call made it for itself.
void keep_mx_entry(MX_ENTRY* e);

// Lists e under a fresh id: -1 (e not listed) when e's matrix already has a listed entry.
int regist_mx_entry(MX_ENTRY* e);
// Unlinks a listed entry (an entry that is not listed is a broken invariant).
void delete_mx_entry(MX_ENTRY* e);
// Prepares the entry of m (e null: a new zeroed one; else e's own cache matrix), registers it and
// returns it held by the caller. When m already had a listed entry, the new one stays unlisted
// (id 0) and is still returned.
MX_ENTRY* new_mx_entry(MX_ENTRY* e, MATRIX* m);
// Verifies the entry's channel table.
void check_mx_entry(MX_ENTRY* e);
// Closes a held entry: unlists it and drops the caller's hold. 0, or -1 when it was already
// closed by another caller (the hold is dropped all the same).
int close_mx_entry(MX_ENTRY* e);

// Opens read-only (or finds open) the matrix of the URL, file name and key (any may be null) with
// the calibrations of phase mode 0, 1 or 2, or with the default loading calibration when
// phase_mode is negative; returns its entry, held, or null (no such matrix file, or it closed
// meanwhile). A matrix whose opening failed is dropped by its last holder, so a later request
// tries the file again.
// With made given, *made tells whether this call's open method made the entry.
MX_ENTRY* open_mxread(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                      int phase_mode, bool* made = nullptr);
// The entry closes begun so far in the run; and, for an opening that failed, a wait (at most 10 s)
// for the closes running now: false when none ran or began since `begun`, so the failure was not
// theirs, else true (try again).
uint64_t mx_entry_closes_begun();
bool wait_mx_entry_closes(uint64_t begun);
// Ends a held entry that a call opened for itself (made set): it becomes transient, so that its
// last holder, this call or another reader that took it meanwhile, closes it, unless something
// kept it. Without made only the hold is dropped (a script or another reader keeps it).
void close_mx_entry_if_alone(MX_ENTRY* e, bool made);
// The end of the run, before the matrices are closed: from now on no entry is listed (look-ups
// by id or matrix find nothing); every listed entry is closed by its last holder, after waiting
// at most wait_ms for the calls in other threads that hold one. A matrix still held then stays
// allocated for its holder. Returns the holds other threads still had.
int close_all_mx_entry(int wait_ms);
// Registry state for tests and measurements.
int mx_entry_count();
int mx_entry_holders();
// The id counter's value (tests set it near the wrap).
void set_mx_entry_counter(int v);
