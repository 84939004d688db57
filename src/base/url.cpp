// URL records: parsing, printing, copying, comparing and resolving references.
//
// Texts are built in vectors of long characters and copied into tracked strings of their exact
// length. The characters the syntax cares about are ASCII, whose long characters are their own
// byte values.
#include "base/url.h"

#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/hostaddr.h"
#include "base/netdb.h"
#include "base/task.h"
#include "longchar/longchar.h"

namespace {

using LV = std::vector<L_CHAR>;

constexpr int32_t MAX_PORT = 65535;
constexpr int32_t OLD_DEFAULT_PORT = 9090;

L_CHAR* dup_range(const L_CHAR* s, size_t n, const char* file, int line) {
    L_CHAR* p = static_cast<L_CHAR*>(
        xx_d_alloc(static_cast<int64_t>((n + 1) * sizeof(L_CHAR)), file, line));
    if (n) memcpy(p, s, n * sizeof(L_CHAR));
    p[n] = 0;
    return p;
}

L_CHAR* dup_str(const L_CHAR* s, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    return s ? dup_range(s, static_cast<size_t>(l_strlen(s)), file, line) : nullptr;
}

L_CHAR* dup_vec(const LV& v, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    return dup_range(v.data(), v.size(), file, line);
}

void append(LV& v, const L_CHAR* s) {
    if (!s) return;
    while (*s)
        v.push_back(*s++);
}

void append_ascii(LV& v, const char* s) {
    while (*s)
        v.push_back(static_cast<unsigned char>(*s++));
}

void append_int(LV& v, long n) {
    append_ascii(v, std::to_string(n).c_str());
}

bool is_digit(L_CHAR c) {
    return c >= '0' && c <= '9';
}

bool str_eq(const L_CHAR* a, const L_CHAR* b) {
    if (!a || !b) return !a && !b;
    return l_strcmp(a, b) == 0;
}

// Splits the path c[from, to) at its last '/' into db and resource.
void split_path(URL* u, const L_CHAR* c, size_t from, size_t to, const char* file, int line) {
    if (from >= to) return;
    size_t last = to;
    for (size_t i = from; i < to; i++)
        if (c[i] == '/') last = i;
    if (last == to) {
        u->resource = dup_range(c + from, to - from, file, line);
    } else if (last == to - 1) {
        u->db = dup_range(c + from, to - from, file, line);
    } else {
        u->db = dup_range(c + from, last + 1 - from, file, line);
        u->resource = dup_range(c + last + 1, to - last - 1, file, line);
    }
}

// A db that begins with "/@" carries the agent up to its next '/'.
void take_agent(URL* u, const char* file, int line) {
    L_CHAR* db = u->db;
    if (!db || db[0] != '/' || db[1] != '@') return;
    size_t k = 2;
    while (db[k] && db[k] != '/')
        k++;
    u->agent = dup_range(db + 2, k - 2, file, line);
    static const L_CHAR root[] = {'/', 0};
    u->db = db[k] ? dup_str(db + k, file, line) : dup_str(root, file, line);
    xx_d_f_ree(db, file, line);
}

const HOST_ADDR no_addr = {};

bool servers_same(const L_CHAR* a, const L_CHAR* b, bool as_hosts) {
    if (!a && !b) return true;
    if (!as_hosts) return str_eq(a, b);
    if (a && b) return hostcmp(n_string(std_cm, a), no_addr, n_string(std_cm, b), no_addr) == 0;
    const L_CHAR* present = a ? a : b;
    return hostcmp(n_string(std_cm, present), no_addr, nullptr, site_ip()) == 0;
}

int compare(const URL* a, const URL* b, bool as_hosts) {
    if (!str_eq(a->proto, b->proto)) return -1;
    if (!servers_same(a->server, b->server, as_hosts)) return -1;
    if (a->port != b->port) return -1;
    if (!str_eq(a->db, b->db)) return -1;
    if (!str_eq(a->resource, b->resource)) return -1;
    return 0;
}

// Parses into ret; on failure releases what was filled and leaves ret empty.
int old_parse(URL* ret, const L_CHAR* text, size_t len) {
    size_t path_start = 0;
    if (text[0] != '/') {
        size_t i = 1;
        while (i < len && text[i] != '/' && text[i] != ':')
            i++;
        if (i == len) {
            ret->resource = dup_range(text, len, __FILE__, __LINE__);
            return 0;
        }
        if (text[i] == ':') {
            ret->proto = dup_range(text, i, __FILE__, __LINE__);
            if (i + 2 >= len || text[i + 1] != '/' || text[i + 2] != '/') return -1;
            size_t s = i + 3, e = s;
            while (e < len && text[e] != '/' && text[e] != ':')
                e++;
            if (e == s || e == len) return -1;
            ret->server = dup_range(text + s, e - s, __FILE__, __LINE__);
            if (text[e] == ':') {
                size_t p = e + 1;
                int32_t port = 0;
                while (p < len && is_digit(text[p])) {
                    port = port * 10 + static_cast<int32_t>(text[p] - '0');
                    if (port > MAX_PORT) return -1;
                    p++;
                }
                if (p == len || text[p] != '/') return -1;
                ret->port = port;
                e = p;
            }
            path_start = e;
        }
    }
    // The path: non-empty segments; the last is the resource, those before it the db.
    size_t p = path_start;
    if (p < len && text[p] == '/') p++;
    size_t last_start = p;
    for (size_t i = p; i <= len; i++) {
        if (i < len && text[i] != '/') continue;
        if (i == last_start) return -1;
        if (i < len) last_start = i + 1;
    }
    if (last_start > p) ret->db = dup_range(text + p, last_start - 1 - p, __FILE__, __LINE__);
    ret->resource = dup_range(text + last_start, len - last_start, __FILE__, __LINE__);
    return 0;
}

}  // namespace

int xx_get_url2(URL* ret, const L_CHAR* text, const char* file, int line) {
    zero_url(ret);
    static const L_CHAR empty[] = {0};
    const L_CHAR* c = text ? text : empty;
    size_t len = static_cast<size_t>(l_strlen(c));

    // The first '?' or '#' ends the URL proper; the rest is the query or the name.
    size_t end = len;
    L_CHAR mark = 0;
    for (size_t i = 0; i < len; i++) {
        if (c[i] == '?' || c[i] == '#') {
            end = i;
            mark = c[i];
            break;
        }
    }

    size_t proto_end = end;
    for (size_t i = 0; i + 4 <= end; i++) {
        if (c[i] == ':' && c[i + 1] == '/' && c[i + 2] == '/') {
            proto_end = i;
            break;
        }
    }
    static const L_CHAR root[] = {'/', 0};
    if (proto_end == end) {
        split_path(ret, c, 0, end, file, line);
    } else {
        ret->proto = dup_range(c, proto_end, file, line);
        size_t s = proto_end + 3, e = s;
        while (e < end && c[e] != ':' && c[e] != '/')
            e++;
        if (e > s) ret->server = dup_range(c + s, e - s, file, line);
        size_t path_at = end;
        if (e < end && c[e] == ':') {
            if (e == s) return -1;
            size_t p = e + 1;
            int32_t port = 0;
            while (p < end && is_digit(c[p])) {
                port = port * 10 + static_cast<int32_t>(c[p] - '0');
                if (port > MAX_PORT) return -2;
                p++;
            }
            ret->port = port;
            if (p < end && c[p] != '/') return -2;
            path_at = p;
        } else {
            path_at = e;
        }
        if (path_at == end)
            ret->db = dup_str(root, file, line);
        else
            split_path(ret, c, path_at, end, file, line);
    }
    if (ret->port == 0 && ret->proto) {
        int w = get_wkp(ret->proto);
        ret->port = w < 0 ? 0 : w;
    }
    if (mark == '?')
        ret->query = dup_range(c + end + 1, len - end - 1, file, line);
    else if (mark == '#')
        ret->name = dup_range(c + end + 1, len - end - 1, file, line);
    take_agent(ret, file, line);
    return 0;
}

int get_url(URL* ret, const L_CHAR* text) {
    ret->proto = ret->server = ret->db = ret->resource = nullptr;
    ret->user = ret->passwd = nullptr;
    ret->port = OLD_DEFAULT_PORT;
    if (!text || !text[0]) return -1;
    int r = old_parse(ret, text, static_cast<size_t>(l_strlen(text)));
    if (r != 0) {
        for (L_CHAR** f : {&ret->proto, &ret->server, &ret->db, &ret->resource}) {
            d_f_ree(*f);
            *f = nullptr;
        }
        return r;
    }
    make_regular(&ret->proto);
    make_regular(&ret->server);
    make_regular(&ret->db);
    make_regular(&ret->resource);
    return 0;
}

L_CHAR* get_url_str2(const URL* u) {
    if (!u->proto) return nullptr;
    LV v;
    append(v, u->proto);
    append_ascii(v, "://");
    if (u->server) {
        append(v, u->server);
        if (u->port != get_wkp(u->proto)) {
            v.push_back(':');
            append_int(v, u->port);
        }
    }
    if (u->agent) {
        append_ascii(v, "/@");
        append(v, u->agent);
    }
    if (!u->db) {
        v.push_back('/');
    } else {
        if (u->db[0] != '/') v.push_back('/');
        append(v, u->db);
    }
    if (v.back() != '/') v.push_back('/');
    append(v, u->resource);
    if (u->query) {
        v.push_back('?');
        append(v, u->query);
    }
    if (u->name) {
        v.push_back('#');
        append(v, u->name);
    }
    L_CHAR* s = dup_vec(v);
    set_buffer(s);
    return s;
}

L_CHAR* get_url_filepath(const URL* u) {
    LV v;
    if (!u->db || u->db[0] != '/') v.push_back('/');
    append(v, u->db);
    if (v.back() != '/') v.push_back('/');
    append(v, u->resource);
    if (u->query) {
        v.push_back('?');
        append(v, u->query);
    }
    if (u->name) {
        v.push_back('#');
        append(v, u->name);
    }
    return dup_vec(v);
}

void copy_url(URL* dst, const URL* src) {
    dst->proto = dup_str(src->proto);
    dst->server = dup_str(src->server);
    dst->port = src->port;
    dst->agent = dup_str(src->agent);
    dst->db = dup_str(src->db);
    dst->resource = dup_str(src->resource);
    dst->query = dup_str(src->query);
    dst->name = dup_str(src->name);
    dst->user = dup_str(src->user);
    dst->passwd = dup_str(src->passwd);
}

void free_url(URL* u) {
    for (L_CHAR* s : {u->proto, u->server, u->db, u->resource, u->user, u->passwd})
        d_f_ree(s);
    for (L_CHAR* s : {u->agent, u->query, u->name})
        if (s) set_buffer(s);
}

void zero_url(URL* u) {
    *u = URL{};
}

int url_cmp(const URL* a, const URL* b) {
    return compare(a, b, true);
}

int url_cmp_str(const URL* a, const URL* b) {
    return compare(a, b, false);
}

// Only a text that parses whole is completed: one whose parse failed (a port that is no number,
// say) may still yield a server, but writing its half-read record back would drop what the parse
// could not take, so such a text is returned as it is.
L_CHAR* url_regulation(const L_CHAR* text) {
    URL u;
    int r = get_url2(&u, text);
    const char* domain = get_localdomainname();
    std::string server;
    if (r == 0 && u.server && domain) {
        const char* s = n_string(std_cm, u.server);
        const char* dot = strchr(s, '.');
        if (!dot) {
            server = std::string(s) + "." + domain;
        } else {
            const char* rest = dot + 1;
            size_t rl = strlen(rest);
            if (strlen(domain) > rl && domain[rl] == '.' && strncmp(domain, rest, rl) == 0)
                server = std::string(s, static_cast<size_t>(dot - s)) + "." + domain;
        }
    }
    L_CHAR* out = nullptr;
    if (!server.empty()) {
        d_f_ree(u.server);
        u.server = dup_str(_l_string_1(std_cm, server.c_str()));
        if (L_CHAR* w = get_url_str2(&u)) out = dup_str(w);
    }
    free_url(&u);
    return out ? out : dup_str(text);
}

L_CHAR* compose_url(const L_CHAR* base, const L_CHAR* rel) {
    URL b, r;
    bool parsed = get_url2(&b, base) == 0;
    parsed = get_url2(&r, rel) == 0 && parsed;
    L_CHAR* out = nullptr;
    if (!parsed || (!b.proto && !b.server && b.port == 0)) {
        // A base that names no place, or a URL that does not parse, resolves nothing.
    } else if (!r.proto && !r.server && r.port == 0) {
        URL n = {};
        n.proto = b.proto;
        n.server = b.server;
        n.port = b.port;
        n.agent = r.agent;
        L_CHAR* db = r.db ? compose_path(b.db, r.db) : dup_str(b.db);
        // A reference that climbs above the base's root names nothing.
        if (db || !r.db) {
            n.db = db;
            n.resource = r.resource;
            n.query = r.query;
            n.name = r.name;
            if (L_CHAR* w = get_url_str2(&n)) out = dup_str(w);
        }
        d_f_ree(db);
    } else if (r.proto && r.server && r.port != 0) {
        out = dup_str(rel);
    }
    free_url(&b);
    free_url(&r);
    return out;
}

L_CHAR* compose_path(const L_CHAR* d1, const L_CHAR* d2) {
    if (!d1 || !d2) return nullptr;
    if (d2[0] == '/') return dup_str(d2);
    LV base(d1, d1 + l_strlen(d1));
    if (!base.empty() && base.back() != '/') {
        size_t last = base.size();
        for (size_t i = 0; i < base.size(); i++)
            if (base[i] == '/') last = i;
        if (last == base.size()) return dup_str(d2);
        base.resize(last + 1);
    }
    const L_CHAR* p = d2;
    while (*p == '.') {
        if (p[1] != '.' || p[2] != '/') return nullptr;
        p += 3;
        // Remove the last directory: base ends with '/', and its directory runs back to the
        // '/' before that one (or to the start).
        if (base.size() < 2) return nullptr;
        size_t k = base.size() - 1;
        while (k > 0 && base[k - 1] != '/')
            k--;
        base.resize(k);
    }
    append(base, p);
    return dup_vec(base);
}

L_CHAR* seek_ptr(L_CHAR* p) {
    while (*p)
        p++;
    return p;
}

void make_regular(L_CHAR** s) {
    if (!*s) return;
    int n = l_strlen(*s);
    if (n == 0) {
        d_f_ree(*s);
        *s = nullptr;
        return;
    }
    if (L_CHAR* t =
            static_cast<L_CHAR*>(d_re_alloc(*s, static_cast<int64_t>((n + 1) * sizeof(L_CHAR)))))
        *s = t;
}
