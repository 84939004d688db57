// Start-up of the language runtime and the server layer, and the collector hooks of the layer.
//
// init_qv brings the language runtime and every module of the server layer up in a fixed order,
// once, on the main thread, before any script runs. The collector stops the world by taking this
// layer's locks, marks this layer's roots and runs its special sweep through the hooks registered
// here (gchooks.h). The collector's lock chain, outer first:
//   collector task lock, high-priority queue collector lock, matrix collector lock, qvi_lock,
//   stream lock, queue collector lock, the reader's parse and lexer locks, memory lock.
// Every task that takes two of these takes them in this order.
#pragma once

#include "base/version.h"
#include "server/interp.h"

// The language runtime and the server layer, in their order.
void init_qv();
// The interpreter locks, the break and interrupt hooks, and the interpreter tick task.
void init_interpreter();

// Collector hooks.
void gc_qv_lock();
void gc_qv_unlock();
// Marks this layer's roots: the interpreters (gc_interpreter: queued commands, environments,
// parsers' source records), the named unit environments and the nodes of every work queue.
void gc_lib();
void gc_interpreter();

// Opens a prepared record on the file read by name, evaluated inline, and registers it: 0, or -1
// (mode set to 5) when the file cannot be opened.
int new_file_interpreter(QV_INTERPRETER* qvi, const L_CHAR* name);

// The agent message sessions send to identify this agent: name "/" version of a version record.
// The layers set it in turn at start-up; the last one set is in force. Answers the new text (a
// copy as get_setagent_msg gives). The text replaces the previous one, which is not kept: setting
// it again never adds to what is held.
const char* set_setagent_msg(const char* msg);
// A copy in the caller's ring of temporary text, or null before any was set.
const char* get_setagent_msg();

// The version records of the runtime and protocol layers, registered by init_qv.
extern VERSION sr_code_version;
extern VERSION ma_code_version;
extern VERSION qv_lang_version;
extern VERSION qv_proto_version;
extern VERSION qv_code_version;
