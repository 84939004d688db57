// Write histories of streams and files. A history would list the lengths of the writes made
// through a descriptor; none is kept, so these operations only keep the callers' shape.
#pragma once

struct U_HISTORY;  // the stream layer's history record

void new_u_history(U_HISTORY* h);
void free_u_history(U_HISTORY* h);
void set_u_history(U_HISTORY* h);
// A new zeroed one-word tracked block (the caller frees it with d_f_ree).
void* get_u_history(U_HISTORY* h);
