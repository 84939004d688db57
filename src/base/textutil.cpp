#include "base/textutil.h"

#include <cstring>

#include "base/alloc.h"

namespace {

// The escape table, searched in order; ended by a zero character.
struct SAFETY_ENTRY {
    L_CHAR ch;
    const char* text;
};
constexpr SAFETY_ENTRY se[] = {
    {'&', "&amp;"}, {'<', "&lt;"}, {'\\', "\\\\"}, {'\n', "\\n"}, {'\r', "\\n"}, {0, nullptr},
};

const SAFETY_ENTRY* find_escape(L_CHAR c) {
    for (const SAFETY_ENTRY* e = se; e->ch; e++)
        if (e->ch == c) return e;
    return nullptr;
}

size_t longest_escape() {
    size_t n = 0;
    for (const SAFETY_ENTRY* e = se; e->ch; e++)
        if (strlen(e->text) > n) n = strlen(e->text);
    return n;
}

}  // namespace

L_CHAR* xx_ll_copy_str(const L_CHAR* s, const char* file, int line) {
    if (!s) return nullptr;
    size_t n = static_cast<size_t>(l_strlen(s)) + 1;
    auto* r =
        static_cast<L_CHAR*>(xx_d_alloc(static_cast<int64_t>(n * sizeof(L_CHAR)), file, line));
    memcpy(r, s, n * sizeof(L_CHAR));
    return r;
}

char* ln_copy_str(CODE_METHOD* cm, const L_CHAR* s) {
    // n_string's text lives in the task's ring of temporary buffers; the caller gets its own.
    char* t = n_string(cm, s);
    return t ? d_strdup(t) : nullptr;
}

L_CHAR* _xx_nl_copy_str_1(CODE_METHOD* cm, const char* s, const char* file, int line) {
    return xx_ll_copy_str(_l_string_1(cm, s), file, line);
}

L_CHAR* _xx_nl_copy_str_2(CODE_METHOD* cm, const char* s, const char* file, int line) {
    return xx_ll_copy_str(_l_string_2(cm, s), file, line);
}

L_CHAR* xx_safety_string(const L_CHAR* s, const char* file, int line) {
    if (!s) return nullptr;
    // Sized for the worst case: every replaceable character takes the longest replacement.
    size_t len = 0, replaceable = 0;
    for (const L_CHAR* p = s; *p; p++, len++)
        if (find_escape(*p)) replaceable++;
    size_t cap = longest_escape() * replaceable + len + 1;
    auto* r =
        static_cast<L_CHAR*>(xx_d_alloc(static_cast<int64_t>(cap * sizeof(L_CHAR)), file, line));
    L_CHAR* d = r;
    for (const L_CHAR* p = s; *p; p++) {
        const SAFETY_ENTRY* e = find_escape(*p);
        if (!e) {
            *d++ = *p;
            continue;
        }
        for (const char* t = e->text; *t; t++)
            *d++ = static_cast<unsigned char>(*t);
    }
    *d = 0;
    return r;
}

int is_safe_as_filename(const char* name) {
    if (!name) return 0;
    return strpbrk(name, ";,|><") ? 0 : 1;
}

namespace {

bool hidden_control(uint32_t c, bool keep_newlines) {
    return (c < 0x20 || c == 0x7f) && !(keep_newlines && c == '\n');
}

template <class Out>
void append_escape(Out& out, uint32_t byte) {
    static const char hex[] = "0123456789abcdef";
    out.push_back('\\');
    out.push_back('x');
    out.push_back(static_cast<typename Out::value_type>(hex[(byte >> 4) & 0xf]));
    out.push_back(static_cast<typename Out::value_type>(hex[byte & 0xf]));
}

}  // namespace

std::string visible_text(std::string_view s, bool keep_newlines) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); i++) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c == 0xc2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(s[i + 1]) <= 0x9f) {
            append_escape(out, c);
            append_escape(out, static_cast<unsigned char>(s[++i]));
        } else if (hidden_control(c, keep_newlines)) {
            append_escape(out, c);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

void append_visible(std::basic_string<L_CHAR>& out, const L_CHAR* s, size_t n, bool keep_newlines) {
    for (size_t i = 0; i < n; i++) {
        if (hidden_control(s[i], keep_newlines))
            append_escape(out, s[i]);
        else
            out.push_back(s[i]);
    }
}
