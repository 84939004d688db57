#!/usr/bin/env python3
"""An independent reader of record files, written from the file format alone.

    pdbcheck.py [--closed] [--freelist] [--size N] FILE...
        Walks each file and prints one line per finding. Exit status 0 when every file is
        consistent, 1 when damage was found (each fault on its own "ERROR" line), 2 on bad usage.
    pdbcheck.py [--closed] [--freelist] [--matrix] FILE...
        --matrix: also checks the file as a matrix file (record types 1536 to 1543).
    pdbcheck.py --selftest [--writer PROGRAM] [--matrix-writer PROGRAM]
        Checks the checker on files built here byte by byte (one sound, many damaged); with
        --writer, also runs PROGRAM (the record-store test program) to write sample files through
        the C++ code and checks those; --matrix-writer runs the matrix test program likewise.

Matrix files: the header's lengths (pixel sizes, 12-byte channel infos), every referenced offset
holding its record type (defaults, subheader, slot texts, tree root, nodes, channel chains, child
lists, ring entries), channel chains ascending and ending, node codes equal to their tree keys,
bit-field lengths, child lists ending in 0xF2 filler, and the cache ring doubly linked with
cache_count its length.

What is checked: the file header (type 1 at 0, 32 bytes, version "64-0.6", a terminated encoding,
linear 0, the open-for-writing flag clear with --closed); the chain of records from 0 to the end
without gaps, each header in the form its length needs (records by their record size, free
extents by their on-file length); the free list from its head at 32: every link a record start of
type 260 at least 12 bytes long, strictly descending, no two extents adjacent, none at the end of
the file, and every type-260 record of the file on the list.

Trees (root 257, node 258): every node reachable from exactly one root, every node's level one
more than its higher child's, the nodes in order by key where the root's kind tells the key
(256 integer index: signed 32-bit key of 12-byte data; 2 and odd kinds, character-tree levels: the
unsigned 32-bit character of 20-byte data). Character trees: every deeper level (kind 2) named by
exactly one entry and not empty, entry values 0, a value list (261, at least two values, each a
record) or a record. Associative files (513 index table): roots of the kind their type needs,
unique names, zero reserved bytes, every value record (514) named exactly once, by an integer index
node or a character-tree entry, its text area at least 8 bytes and ending with a 0 byte, and every
root but the character-tree levels named by the index table.
"""

import os
import struct
from collections import Counter
import subprocess
import sys
import tempfile

MAX16 = 65533
MAX32 = 0xFFFFFFFF
FREE_HEAD = 259
FREE_EXTENT = 260
TREE_ROOT = 257
TREE_NODE = 258
VALUE_LIST = 261
INDEX_TABLE = 513
VALUE = 514


def form_by_record_size(size):
    if size <= MAX16 + 12:
        return 4
    if size <= MAX32:
        return 8
    return 12


def form_by_length(length):
    if length <= MAX16:
        return 4
    if length <= MAX32:
        return 8
    return 12


class Reader:
    def __init__(self, f, size):
        self.f = f
        self.size = size

    def read(self, pos, n):
        if pos < 0 or pos + n > self.size:
            return None
        self.f.seek(pos)
        data = self.f.read(n)
        return data if len(data) == n else None

    def header(self, pos):
        """(type, header length, on-file length) or an error text."""
        if pos + 4 > self.size:
            return "header at %d cut by the end of the file" % pos
        typ, l16 = struct.unpack(">HH", self.read(pos, 4))
        if l16 == 0xFFFE:
            raw = self.read(pos + 4, 4)
            if raw is None:
                return "8-byte header at %d cut by the end of the file" % pos
            hl, length = 8, struct.unpack(">I", raw)[0]
        elif l16 == 0xFFFF:
            raw = self.read(pos + 4, 8)
            if raw is None:
                return "12-byte header at %d cut by the end of the file" % pos
            hl, length = 12, struct.unpack(">Q", raw)[0]
        else:
            hl, length = 4, l16
        if length < hl:
            return "record at %d: stored length %d below its %d-byte form" % (pos, length, hl)
        return typ, hl, length


def check_file(path, closed=False, need_freelist=False, want_size=None, out=print,
               matrix=False):
    errors = []
    notes = []

    def err(msg):
        errors.append(msg)

    size = os.path.getsize(path)
    if want_size is not None and size != want_size:
        err("file is %d bytes, expected %d" % (size, want_size))
    with open(path, "rb") as f:
        r = Reader(f, size)
        head = r.read(0, 32)
        if head is None:
            err("no file header: the file has %d bytes" % size)
        else:
            typ, length, ftype = struct.unpack(">HHi", head[:8])
            version, encoding = head[8:16], head[16:24]
            linear, flags = struct.unpack(">Ii", head[24:32])
            if typ != 1 or length != 32:
                err("file header: type %d length %d, expected 1 and 32" % (typ, length))
            if version[:7] != b"64-0.6\0":
                err("file header: version %r" % version)
            if b"\0" not in encoding:
                err("file header: encoding %r not terminated" % encoding)
            if linear != 0:
                err("file header: linear %d" % linear)
            if flags & 1:
                (err if closed else notes.append)("file header: open for writing")

        # The chain of records.
        records = {}  # position -> (type, header length, on-file length)
        order = []
        pos = 0
        while not errors and pos < size:
            h = r.header(pos)
            if isinstance(h, str):
                err(h)
                break
            typ, hl, length = h
            if pos + length > size:
                err("record at %d (type %d, %d bytes) runs past the end %d" % (pos, typ, length, size))
                break
            if typ == FREE_EXTENT:
                want = form_by_length(length)
            else:
                want = form_by_record_size(length - hl + 16)
            if hl != want:
                err("record at %d (type %d, %d bytes): %d-byte header, its length needs %d"
                    % (pos, typ, length, hl, want))
            records[pos] = h
            order.append(pos)
            pos += length

        # The free list.
        listed = set()
        free_bytes = 0
        has_list = 32 in records and records[32][0] == FREE_HEAD
        for p, (typ, _, _) in records.items():
            if typ == FREE_HEAD and p != 32:
                err("free-list head at %d, not at 32" % p)
        if need_freelist and not has_list and not errors:
            err("no free-list head at 32")
        if has_list and not errors:
            _, hl, length = records[32]
            if length != 12:
                err("free-list head of %d bytes, expected 12" % length)
            nxt = struct.unpack(">Q", r.read(32 + hl, 8))[0]
            prev = None
            while nxt:
                if nxt not in records:
                    err("free list links %d, which is no record start" % nxt)
                    break
                typ, hl, length = records[nxt]
                if typ != FREE_EXTENT:
                    err("free list links %d of type %d" % (nxt, typ))
                    break
                if length < 12:
                    err("free extent at %d of %d bytes, below 12" % (nxt, length))
                    break
                if prev is not None and nxt >= prev:
                    err("free list not descending: %d after %d" % (nxt, prev))
                    break
                if prev is not None and nxt + length >= prev:
                    err("free extents at %d and %d adjacent" % (nxt, prev))
                if nxt + length == size:
                    err("free extent at %d ends the file" % nxt)
                listed.add(nxt)
                free_bytes += length
                prev = nxt
                nxt = struct.unpack(">Q", r.read(nxt + hl, 8))[0]
        for p in order:
            if records[p][0] == FREE_EXTENT and p not in listed and not errors:
                err("free extent at %d is not on the free list" % p)

        if not errors:
            tree_notes = check_trees(r, records, order, err, matrix)
            notes.extend(tree_notes)
        if matrix and not errors:
            check_matrix(r, records, order, err)

    for n in notes:
        out("NOTE %s: %s" % (path, n))
    for e in errors:
        out("ERROR %s: %s" % (path, e))
    if not errors:
        out("OK %s: %d records, %d free extents (%d bytes), %d bytes"
            % (path, len(records), len(listed), free_bytes, size))
    return not errors


def body(r, records, pos):
    _, hl, length = records[pos]
    return r.read(pos + hl, length - hl)


def check_trees(r, records, order, err, matrix=False):
    """Checks every tree, character tree and associative index of a file; returns notes."""
    roots = [p for p in order if records[p][0] == TREE_ROOT]
    parsed = {}
    node_owner = {}
    root_refs = Counter()   # root position -> entries naming it as their next level
    value_refs = Counter()  # record position -> references to it as a value
    list_refs = Counter()
    kinds = {}
    dtree_values = []
    int_values = {}         # integer-index root -> values of its nodes
    nodes_seen = 0

    for rp in roots:
        b = body(r, records, rp)
        if len(b) < 12:
            err("tree root at %d: %d bytes, below 12" % (rp, len(b)))
            continue
        kind, top = struct.unpack(">iQ", b[:12])
        kinds[rp] = kind
        if kind == 256:
            keyfmt, dlen = ">i", 12
        elif matrix and kind == 1025:
            keyfmt, dlen = None, None  # the node tree, checked by check_matrix
        elif kind == 2 or kind % 2 == 1:
            keyfmt, dlen = ">I", 20
        else:
            keyfmt, dlen = None, None
        if top == 0:
            if kind == 2:
                err("character-tree level at %d is empty" % rp)
            continue
        # Post-order without recursion: levels from below, keys in order.
        level_of = {}
        inorder = []
        stack = [(top, False)]
        while stack:
            pos, done = stack.pop()
            if done:
                small, large, level, data = parsed[pos]
                want = 1 + max(level_of.get(small, 0) if small else 0,
                               level_of.get(large, 0) if large else 0)
                if level != want:
                    err("tree node at %d (root %d): level %d, its children make %d"
                        % (pos, rp, level, want))
                level_of[pos] = level
                continue
            if pos not in records or records[pos][0] != TREE_NODE:
                err("root %d names %d, which is no tree node" % (rp, pos))
                return []
            if pos in node_owner:
                err("tree node at %d belongs to the roots %d and %d" % (pos, node_owner[pos], rp))
                return []
            node_owner[pos] = rp
            nodes_seen += 1
            nb = body(r, records, pos)
            if len(nb) < 20:
                err("tree node at %d: %d bytes, below 20" % (pos, len(nb)))
                return []
            small, large, level = struct.unpack(">QQi", nb[:20])
            data = nb[20:]
            if dlen is not None and len(data) != dlen:
                err("tree node at %d: %d data bytes, the kind %d needs %d"
                    % (pos, len(data), kind, dlen))
                return []
            parsed[pos] = (small, large, level, data)
            stack.append((pos, True))
            for c in (large, small):
                if c:
                    stack.append((c, False))
        # In order: an explicit walk over the parsed nodes.
        walk, cur = [], top
        while walk or cur:
            while cur:
                walk.append(cur)
                cur = parsed[cur][0]
            cur = walk.pop()
            inorder.append(cur)
            cur = parsed[cur][1]
        if keyfmt:
            keys = [struct.unpack(keyfmt, parsed[p][3][:4])[0] for p in inorder]
            for a, b2, p in zip(keys, keys[1:], inorder[1:]):
                if a >= b2:
                    err("tree at %d out of order at node %d: key %d after %d" % (rp, p, b2, a))
                    break
        for p in inorder:
            data = parsed[p][3]
            if kind == 256:
                int_values.setdefault(rp, []).append(struct.unpack(">q", data[4:12])[0])
            elif keyfmt:
                _, tree, value = struct.unpack(">IQQ", data)
                if tree:
                    root_refs[tree] += 1
                if value:
                    dtree_values.append((p, value))

    # Character-tree levels and values.
    for rp, kind in kinds.items():
        if kind == 2 and root_refs[rp] != 1:
            err("character-tree level at %d is named by %d entries" % (rp, root_refs[rp]))
    for tree in root_refs:
        if tree not in kinds:
            err("a character-tree entry names %d, which is no tree root" % tree)
    for entry, value in dtree_values:
        if value not in records:
            err("character-tree entry %d: value %d is no record" % (entry, value))
        elif records[value][0] == VALUE_LIST:
            list_refs[value] += 1
            lb = body(r, records, value)
            n = len(lb) // 8
            if len(lb) % 8 or n < 2:
                err("value list at %d: %d bytes" % (value, len(lb)))
            for i in range(n):
                v = struct.unpack(">Q", lb[8 * i:8 * i + 8])[0]
                if v not in records:
                    err("value list at %d: value %d is no record" % (value, v))
                value_refs[v] += 1
        else:
            value_refs[value] += 1
    for p in order:
        typ = records[p][0]
        if typ == TREE_NODE and p not in node_owner:
            err("tree node at %d belongs to no tree" % p)
        if typ == VALUE_LIST and list_refs[p] != 1:
            err("value list at %d is named %d times" % (p, list_refs[p]))

    # Associative files.
    tables = [p for p in order if records[p][0] == INDEX_TABLE]
    notes = []
    if tables:
        if len(tables) > 1:
            err("%d index tables" % len(tables))
        tb = body(r, records, tables[0])
        if len(tb) % 16:
            err("index table at %d: %d bytes" % (tables[0], len(tb)))
        names = set()
        index_roots = set()
        for i in range(len(tb) // 16):
            fofs, typ, name, reserved = struct.unpack(">qhhI", tb[16 * i:16 * i + 16])
            index_roots.add(fofs)
            if name in names:
                err("index name %d used twice" % name)
            names.add(name)
            if reserved:
                err("index %d: reserved bytes %08x" % (i, reserved))
            want = {1: 256, 2: 259}.get(typ)
            if want is None or kinds.get(fofs) != want:
                err("index %d of type %d names %d of kind %s" % (i, typ, fofs, kinds.get(fofs)))
            elif typ == 1:
                for v in int_values.get(fofs, []):
                    value_refs[v] += 1
        # The table names every tree of the file but the levels: any other root is a record
        # named by nothing, such as one a killed writer reserved after its last commit.
        for rp, kind in kinds.items():
            if kind != 2 and rp not in index_roots:
                err("tree root at %d (kind %d) is named by no index" % (rp, kind))
        for p in order:
            if records[p][0] != VALUE:
                continue
            if value_refs[p] != 1:
                err("value record at %d is named %d times" % (p, value_refs[p]))
            vb = body(r, records, p)
            if len(vb) < 8 or vb[-1:] != b"\0":
                err("value record at %d: a text area of %d bytes without its 0 byte" % (p, len(vb)))
        for v in value_refs:
            if v not in records or records[v][0] != VALUE:
                err("an index names %d, which is no value record" % v)
    if roots:
        notes.append("%d trees, %d tree nodes" % (len(roots), nodes_seen))
    return notes


# ---- Matrix files (file type 31) -----------------------------------------------------------------

MX_HEADER, MX_SUB, MX_DEFAULT, MX_DATA, MX_CAL, MX_DIM_ADDR, MX_NODE, MX_RING = range(1536, 1544)


def compact_decode(b, i):
    """(value, next index) of the compact code at b[i:], or None."""
    if i >= len(b):
        return None
    c = b[i]
    if c < 0x80:
        n, bits = 2, 15
    elif c < 0xC0:
        n, bits = 4, 30
    elif c < 0xE0:
        n, bits = 6, 45
    elif c < 0xF0:
        n, bits = 8, 60
    elif c == 0xF0:
        if i + 9 > len(b):
            return None
        return struct.unpack(">q", b[i + 1:i + 9])[0], i + 9
    else:
        return None
    if i + n > len(b):
        return None
    w = int.from_bytes(b[i:i + n], "big") & ((1 << bits) - 1)
    if w >> (bits - 1):
        w -= 1 << bits
    return w, i + n


def compact_encode(v):
    for n, bits, mark in ((2, 15, 0), (4, 30, 0x80000000), (6, 45, 0xC00000000000),
                          (8, 60, 0xE000000000000000)):
        if -(1 << (bits - 1)) <= v < (1 << (bits - 1)):
            return (mark | (v & ((1 << bits) - 1))).to_bytes(n, "big")
    return b"\xF0" + struct.pack(">q", v)


def dim_code(b, i, dim):
    """(values, next index) of a dimension code of dim + 1 values ended by 0xF1, or None."""
    vals = []
    for _ in range(dim + 1):
        d = compact_decode(b, i)
        if d is None:
            return None
        vals.append(d[0])
        i = d[1]
    if i >= len(b) or b[i] != 0xF1:
        return None
    return vals, i + 1


def check_matrix(r, records, order, err):
    """Matrix files: header, subheader, defaults, slot texts, the node tree and every node's
    records, the cache ring."""
    def typed(pos, typ, what):
        if pos not in records or records[pos][0] != typ:
            err("%s names %d, which is no record of type %d" % (what, pos, typ))
            return None
        return body(r, records, pos)

    heads = [p for p in order if records[p][0] == MX_HEADER]
    if not heads:
        err("no matrix header (1536)")
        return
    h = body(r, records, heads[0])
    if len(h) < 32:
        err("matrix header of %d bytes" % len(h))
        return
    chs, dim, flags, levels, _, sub = struct.unpack(">iiiiqq", h[:32])
    if dim <= 0 or chs < 0 or len(h) < 32 + 2 * dim:
        err("matrix header: dim %d, channels %d" % (dim, chs))
        return
    divide = h[32:32 + dim]
    i = 32 + 2 * dim
    for d in range(dim):
        v = compact_decode(h, i)
        if v is None:
            err("matrix header: pixel size %d cut" % d)
            return
        i = v[1]
    if len(h) - i != 12 * chs:
        err("matrix header: %d bytes of channel infos for %d channels" % (len(h) - i, chs))
        return
    for ch in range(chs):
        code, cflags, dflt = struct.unpack(">hhq", h[i + 12 * ch:i + 12 * ch + 12])
        if dflt:
            typed(dflt, MX_DEFAULT, "channel %d default" % ch)
    sb = typed(sub, MX_SUB, "subheader offset")
    if sb is None:
        return
    if len(sb) != 896:
        err("subheader of %d bytes" % len(sb))
        return
    for k in range(72):
        off = struct.unpack(">q", sb[288 + 8 * k:296 + 8 * k])[0]
        if off:
            typed(off, MX_CAL, "slot text %d" % k)
    root, cnext, cprev, ccount, _ = struct.unpack(">qqqii", sb[864:896])
    s = sum(divide)
    bit_field = 0 if s > 13 or 0 in divide else (1 << (s - 3) if s > 2 else 1)
    cache = flags & 2

    rb = typed(root, TREE_ROOT, "node tree root")
    if rb is None:
        return
    kind, top = struct.unpack(">iQ", rb[:12])
    if kind != 1025:
        err("node tree of kind %d" % kind)
    stack, seen, rings = ([top] if top else []), 0, {}
    while stack:
        p = stack.pop()
        nb = typed(p, TREE_NODE, "node tree")
        if nb is None or len(nb) < 29:
            return
        small, large = struct.unpack(">QQ", nb[:16])
        stack += [x for x in (small, large) if x]
        seen += 1
        if seen > len(records):
            err("node tree loops")
            return
        data = nb[20:]
        fofs = struct.unpack(">q", data[:8])[0]
        key = dim_code(data, 8, dim)
        if key is None or key[1] != len(data):
            err("tree entry at %d: its code is no %d-dimension code filling the entry" % (p, dim))
            continue
        node = typed(fofs, MX_NODE, "tree entry at %d" % p)
        if node is None:
            continue
        j = 8
        chain = struct.unpack(">q", node[:8])[0]
        ring = addr = 0
        if cache:
            ring = struct.unpack(">q", node[j:j + 8])[0]
            j += 8
        if not bit_field:
            addr = struct.unpack(">q", node[j:j + 8])[0]
            j += 8
        code = dim_code(node, j, dim)
        if code is None or code[0] != key[0]:
            err("node at %d: its code differs from its tree key" % fofs)
            continue
        if len(node) < code[1] + bit_field:
            err("node at %d: bit field cut" % fofs)
        last, links = -1, 0
        while chain:
            cb = typed(chain, MX_DATA, "node %d channel chain" % fofs)
            if cb is None or len(cb) < 12:
                break
            nxt, cid = struct.unpack(">qi", cb[:12])
            if cid <= last or cid >= chs:
                err("node at %d: channel chain id %d after %d" % (fofs, cid, last))
                break
            last, chain = cid, nxt
            links += 1
        if not bit_field:
            lb = typed(addr, MX_DIM_ADDR, "node %d child list" % fofs)
            if lb is not None:
                if len(lb) < 8:
                    err("child list at %d of %d bytes" % (addr, len(lb)))
                k = 0
                while k < len(lb) and lb[k] != 0xF2:
                    c = dim_code(lb, k, dim)
                    if c is None:
                        err("child list at %d: bad code at %d" % (addr, k))
                        break
                    k = c[1]
                if any(x != 0xF2 for x in lb[k:]):
                    err("child list at %d: bytes after the filler" % addr)
        if cache:
            rg = typed(ring, MX_RING, "node %d ring entry" % fofs)
            if rg is not None and struct.unpack(">q", rg[:8])[0] != fofs:
                err("ring entry at %d names node %d, not %d" % (ring, struct.unpack(">q", rg[:8])[0], fofs))
            rings[ring] = fofs
    if cache:
        at, prev, n = cnext, sub, 0
        while at != sub:
            rg = typed(at, MX_RING, "cache ring")
            if rg is None:
                return
            _, nxt, back = struct.unpack(">qqq", rg[:24])
            if back != prev:
                err("cache ring entry at %d: prev %d, expected %d" % (at, back, prev))
            prev, at = at, nxt
            n += 1
            if n > len(records):
                err("cache ring loops")
                return
        if prev != cprev:
            err("cache ring ends at %d, the subheader says %d" % (prev, cprev))
        if n != ccount or n != len(rings):
            err("cache ring of %d entries, cache_count %d, %d nodes" % (n, ccount, len(rings)))


# ---- Self-test: files built byte by byte

def rec(typ, body):
    """A record with the header form its record size needs."""
    size = len(body) + 16
    if size <= MAX16 + 12:
        return struct.pack(">HH", typ, size - 12) + body
    return struct.pack(">HHI", typ, 0xFFFE, size - 8) + body


def extent(length, nxt, form=None):
    form = form or form_by_length(length)
    if form == 4:
        h = struct.pack(">HH", FREE_EXTENT, length)
    elif form == 8:
        h = struct.pack(">HHI", FREE_EXTENT, 0xFFFE, length)
    else:
        h = struct.pack(">HHQ", FREE_EXTENT, 0xFFFF, length)
    return h + struct.pack(">Q", nxt) + b"\0" * (length - len(h) - 8)


def file_header(flags=0, version=b"64-0.6\0\0", encoding=b"UTF-8\0\0\0"):
    return struct.pack(">HHi", 1, 32, 11) + version + encoding + struct.pack(">Ii", 0, flags)


def head(nxt):
    return struct.pack(">HHQ", FREE_HEAD, 12, nxt)


def build(parts):
    """Lays parts out from 44 on; extents given as ("X", length, index of the next or None)."""
    pos = 44
    where = []
    for p in parts:
        where.append(pos)
        pos += p[1] if isinstance(p, tuple) else len(p)
    out = b""
    for p in parts:
        if isinstance(p, tuple):
            _, length, to = p[:3]
            form = p[3] if len(p) > 3 else None
            out += extent(length, 0 if to is None else where[to], form)
        else:
            out += p
    return where, out


def selftest(writer, matrix_writer=None):
    failures = []
    quiet = []

    def expect(name, data, ok, needle="", **kw):
        with tempfile.NamedTemporaryFile(suffix="-" + name, delete=False) as t:
            t.write(data)
        lines = []
        good = check_file(t.name, out=lines.append, **kw)
        os.unlink(t.name)
        text = "\n".join(lines)
        if good != ok or (needle and needle not in text):
            failures.append("%s: expected %s%s, got:\n%s"
                            % (name, "OK" if ok else "ERROR", " with " + needle if needle else "", text))
        quiet.append(text)

    r1 = rec(300, b"a" * 20)
    # A sound file: record, extent 40, record, extent 13, record (the list: the upper one first).
    where, body = build([r1, ("X", 40, None), r1, ("X", 13, 1), r1])
    sound = file_header() + head(where[3]) + body
    expect("sound", sound, True)
    expect("empty-list", file_header() + head(0), True, want_size=44, need_freelist=True)
    expect("no-list", file_header() + r1 + rec(301, b"x" * 70000), True)
    expect("big-extent-forms", file_header() + head(44) + extent(65534, 0) + r1, True)
    expect("open-flag", file_header(flags=1) + head(0), True, "open for writing")
    expect("open-flag-closed", file_header(flags=1) + head(0), False, "open for writing", closed=True)
    expect("bad-version", file_header(version=b"64-0.5\0\0") + head(0), False, "version")
    expect("unterminated-encoding", file_header(encoding=b"ABCDEFGH") + head(0), False, "encoding")
    expect("short", file_header()[:20], False, "no file header")
    expect("wrong-size", file_header() + head(0) + r1, False, "expected 44", want_size=44)
    expect("cut-record", file_header() + head(0) + r1[:-3], False, "runs past the end")
    expect("cut-header", file_header() + head(0) + b"\x01", False, "cut by the end")
    expect("zero-length-8", file_header() + struct.pack(">HHI", 5, 0xFFFE, 0), False, "below its 8-byte")
    expect("zero-length-12", file_header() + struct.pack(">HHQ", 5, 0xFFFF, 3), False, "below its 12-byte")
    expect("zero-length-4", file_header() + struct.pack(">HH", 5, 2), False, "below its 4-byte")
    expect("8-byte-for-small-record", file_header() + struct.pack(">HHI", 5, 0xFFFE, 100) + b"\0" * 92,
           False, "needs 4")
    expect("8-byte-gap-record", file_header() + struct.pack(">HHI", 5, 0xFFFE, 65535) + b"\0" * 65527,
           False, "needs 4")
    expect("12-byte-extent-too-short", file_header() + head(44) + extent(70000, 0, form=12) + r1,
           False, "needs 8")
    where, body = build([r1, ("X", 40, 3), r1, ("X", 13, None), r1])
    expect("ascending", file_header() + head(where[1]) + body, False, "not descending")
    where, body = build([r1, ("X", 40, 3), r1, ("X", 13, 1), r1])
    expect("cycle", file_header() + head(where[3]) + body, False, "not descending")
    where, body = build([r1, ("X", 40, None), ("X", 20, 1), r1])
    expect("adjacent", file_header() + head(where[2]) + body, False, "adjacent")
    where, body = build([r1, ("X", 40, None), r1])
    expect("unlisted", file_header() + head(0) + body, False, "not on the free list")
    expect("into-record", file_header() + head(where[0]) + body, False, "of type 300")
    expect("mid-record", file_header() + head(where[0] + 3) + body, False, "no record start")
    expect("beyond-end", file_header() + head(1 << 40) + body, False, "no record start")
    where, body = build([r1, ("X", 40, None)])
    expect("extent-at-end", file_header() + head(where[1]) + body, False, "ends the file")
    expect("tiny-extent", file_header() + head(44) + extent(8, 0)[:8] + r1, False, "below 12")
    expect("second-head", file_header() + head(0) + head(0), False, "not at 32")
    expect("no-head", file_header() + r1, False, "no free-list head", need_freelist=True)

    # Trees: a root of kind 256 and nodes (small, large, level, key) laid out after it.
    def tree_file(nodes, kind=256, top=0, tail=b""):
        where = [60 + 36 * i for i in range(len(nodes))]
        at = lambda i: 0 if i is None else (where[i] if isinstance(i, int) and i >= 0 else -i)
        out = rec(TREE_ROOT, struct.pack(">iQ", kind, at(top) if nodes else 0))
        for s_, l_, lev, key in nodes:
            out += rec(TREE_NODE, struct.pack(">QQi", at(s_), at(l_), lev) + struct.pack(">iq", key, 3))
        return file_header() + head(0) + out + tail

    expect("tree", tree_file([(1, 2, 2, 20), (None, None, 1, 10), (None, None, 1, 30)]), True)
    expect("tree-empty-int", tree_file([]), True)
    expect("tree-order", tree_file([(1, 2, 2, 20), (None, None, 1, 30), (None, None, 1, 10)]),
           False, "out of order")
    expect("tree-level", tree_file([(1, 2, 3, 20), (None, None, 1, 10), (None, None, 1, 30)]),
           False, "level 3")
    expect("tree-shared", tree_file([(1, 1, 2, 20), (None, None, 1, 10)]), False, "belongs to the")
    expect("tree-unreachable", tree_file([(1, None, 2, 20), (None, None, 1, 10),
                                          (None, None, 1, 30)]), False, "belongs to no tree")
    expect("tree-dangling", tree_file([(-45, None, 2, 20)]), False, "no tree node")
    expect("tree-data-length", tree_file([(None, None, 1, 20)], kind=3), False, "needs 20")
    expect("dtree-empty-level", tree_file([], kind=2), False, "is empty")
    # An index table naming the integer tree, whose one node names a value record.
    tree = tree_file([(None, None, 1, 5)])
    value = rec(VALUE, b"1\0\0\0\0\0\0\0")
    table = rec(INDEX_TABLE, struct.pack(">qhhI", 44, 1, 7, 0))
    node_value = 44 + 16 + 36 + len(table)
    good = bytearray(tree + table + value)
    struct.pack_into(">q", good, 60 + 4 + 24, node_value)
    expect("assoc", bytes(good), True)
    expect("assoc-unnamed", bytes(good) + value, False, "named 0 times")
    bad = bytearray(good)
    struct.pack_into(">h", bad, 44 + 16 + 36 + 4 + 8, 2)
    expect("assoc-kind", bytes(bad), False, "of kind 256")
    expect("assoc-stray-root", bytes(good) + rec(TREE_ROOT, struct.pack(">iQ", 259, 0)), False,
           "named by no index")

    # The compact code, by the bytes its definition gives.
    for v, b in ((0, "0000"), (-1, "7FFF"), (16383, "3FFF"), (16384, "80004000"), (-16384, "4000"),
                 (-16385, "BFFFBFFF"), ((1 << 59) - 1, "E7FFFFFFFFFFFFFF"),
                 (1 << 59, "F00800000000000000"), (-(1 << 44), "D00000000000")):
        quiet.append(v)
        if compact_encode(v).hex().upper() != b or compact_decode(bytes.fromhex(b), 0) != (v, len(b) // 2):
            failures.append("compact code of %d" % v)

    if matrix_writer:
        d = tempfile.mkdtemp(prefix="mxcheck-")
        env = dict(os.environ, VX_MX_SAMPLE_DIR=d)
        run = subprocess.run([matrix_writer, "--gtest_filter=FileTest.*:-FileTest.Damaged*:FileTest.Killed*"],
                             env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
        names = sorted(os.listdir(d))
        quiet.append(run.returncode)
        if run.returncode != 0 or not names:
            failures.append("the matrix writer failed (%d) or wrote nothing:\n%s"
                            % (run.returncode, run.stdout.decode(errors="replace")[-3000:]))
        for n in names:
            full = os.path.join(d, n)
            quiet.append(n)
            if not check_file(full, closed=True, need_freelist=True, matrix=True):
                failures.append("matrix sample %s is not consistent" % n)
            os.unlink(full)
        os.rmdir(d)
        print("checked %d matrix files written by %s" % (len(names), os.path.basename(matrix_writer)))

    if writer:
        d = tempfile.mkdtemp(prefix="pdbcheck-")
        env = dict(os.environ, VX_PDB_SAMPLE_DIR=d)
        run = subprocess.run([writer, "--gtest_filter=PdbSamples.*"], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
        names = sorted(os.listdir(d))
        quiet.append(run.returncode)
        if run.returncode != 0 or not names:
            failures.append("the writer failed (%d) or wrote nothing:\n%s"
                            % (run.returncode, run.stdout.decode(errors="replace")[-3000:]))
        for n in names:
            full = os.path.join(d, n)
            quiet.append(n)
            if not check_file(full, closed=True, need_freelist=n.startswith("fl-")):
                failures.append("sample %s is not consistent" % n)
            os.unlink(full)
        os.rmdir(d)
        print("checked %d files written by %s" % (len(names), os.path.basename(writer)))

    for f in failures:
        print("SELFTEST FAILED " + f)
    print("%d passed, %d failed" % (len(quiet) - len(failures), len(failures)))
    return not failures


def main(argv):
    args = argv[1:]
    if "--selftest" in args:
        writer = None
        if "--writer" in args:
            i = args.index("--writer")
            if i + 1 >= len(args):
                print(__doc__)
                return 2
            writer = args[i + 1]
        mwriter = None
        if "--matrix-writer" in args:
            i = args.index("--matrix-writer")
            if i + 1 >= len(args):
                print(__doc__)
                return 2
            mwriter = args[i + 1]
        return 0 if selftest(writer, mwriter) else 1
    closed = "--closed" in args
    need = "--freelist" in args
    matrix = "--matrix" in args
    size = None
    files = []
    i = 0
    while i < len(args):
        a = args[i]
        if a == "--size" and i + 1 < len(args):
            size = int(args[i + 1])
            i += 2
            continue
        if not a.startswith("--"):
            files.append(a)
        elif a not in ("--closed", "--freelist", "--matrix"):
            print(__doc__)
            return 2
        i += 1
    if not files:
        print(__doc__)
        return 2
    ok = True
    for f in files:
        ok = check_file(f, closed=closed, need_freelist=need, want_size=size, matrix=matrix) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
