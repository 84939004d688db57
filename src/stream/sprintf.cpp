// Formatted output (see sprintf.h).
//
// A call runs in two steps. Formatting needs no lock: the format is parsed into a long-character
// text. Encoding runs under the stream lock, since it uses the stream's encoder state and line
// count; the physical write runs with the lock released and the task registered in the stream.
#include "stream/sprintf.h"

#include <errno.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/task.h"
#include "longchar/codemethod.h"
#include "stream/streamio.h"

namespace {

// Widths and precisions are capped so one directive stays within the formatter's work area.
constexpr int FMT_FIELD_MAX = 10000;
constexpr int LC_TEXT_START = 256;

}  // namespace

// One call formats at most this many long characters, and encodes them in at most 8 bytes each
// on average (a character the method refuses becomes a reference of up to 12 characters, each
// encoded, so a text of such characters may pass the byte bound first): the text (4 bytes each)
// and its encoding then stay within an int's byte counts. A text past either bound fails the
// call with EFBIG and writes nothing.
std::atomic<int> s_printf_text_max{INT_MAX / 8};

namespace {

// The long-character text of one call. Capacity starts at 256 and doubles until it exceeds the
// length plus what is appended, so a terminating 0 always fits. With a batch, the text lives in
// the batch's first buffer.
class LcText {
  public:
    explicit LcText(S_PRINTF_SAT* sat) : sat_(sat) {
        if (sat_) {
            buf_ = static_cast<L_CHAR*>(get_spsat(sat_, 0, LC_TEXT_START * 4));
            cap_ = LC_TEXT_START;
        }
    }
    ~LcText() {
        if (!sat_ && buf_ != small_) d_f_ree(buf_);
    }
    LcText(const LcText&) = delete;
    LcText& operator=(const LcText&) = delete;

    void put(L_CHAR c) {
        if (!reserve(1)) return;
        buf_[len_++] = c;
    }
    void put_l(const L_CHAR* s) {
        int n = l_strlen(s);
        if (!reserve(n)) return;
        memcpy(buf_ + len_, s, static_cast<size_t>(n) * 4);
        len_ += n;
    }
    // Bytes read as UTF-8. ASCII is its own long character; the decoder is opened only for text
    // beyond ASCII.
    void put_utf8(const char* p, size_t n) {
        if (!reserve(static_cast<int64_t>(n))) return;
        size_t i = 0;
        while (i < n && static_cast<unsigned char>(p[i]) < 0x80)
            buf_[len_++] = static_cast<unsigned char>(p[i++]);
        if (i == n) return;
        void* work = utf8_cm.open();
        for (; i < n; i++) {
            L_CHAR c;
            if (utf8_cm.to_internal(&c, work, static_cast<unsigned char>(p[i]))) buf_[len_++] = c;
        }
        utf8_cm.close(nullptr, work);
    }
    L_CHAR* data() { return buf_; }
    int size() const { return len_; }
    // True when the text would have passed s_printf_text_max: what was formatted is incomplete.
    bool too_long() const { return too_long_; }

  private:
    // Room for extra more characters and the terminating 0; false (the text marked too long)
    // past the bound.
    bool reserve(int64_t extra) {
        if (too_long_) return false;
        if (extra < 0 || len_ + extra >= s_printf_text_max.load(std::memory_order_relaxed)) {
            too_long_ = true;
            return false;
        }
        if (len_ + extra < cap_) return true;
        int cap = cap_;
        while (cap <= len_ + extra)
            cap *= 2;
        if (sat_) {
            buf_ = static_cast<L_CHAR*>(get_spsat(sat_, 0, cap * 4));
        } else {
            L_CHAR* nb = static_cast<L_CHAR*>(d_alloc(static_cast<int64_t>(cap) * 4));
            memcpy(nb, buf_, static_cast<size_t>(len_) * 4);
            if (buf_ != small_) d_f_ree(buf_);
            buf_ = nb;
        }
        cap_ = cap;
        return true;
    }

    S_PRINTF_SAT* sat_;
    L_CHAR small_[LC_TEXT_START];
    L_CHAR* buf_ = small_;
    int cap_ = LC_TEXT_START;
    int len_ = 0;
    bool too_long_ = false;
};

// The encoded bytes of one call or one batch flush (the batch's third buffer).
class ByteOut {
  public:
    // limit: the most bytes the encoding may take (see fits).
    ByteOut(S_PRINTF_SAT* sat, int chars, int64_t limit = INT_MAX)
        : sat_(sat), limit_(limit < INT_MAX ? limit : INT_MAX) {
        int want = chars * 4 + 1;
        if (sat_) {
            buf_ = static_cast<unsigned char*>(get_spsat(sat_, 2, want));
            cap_ = want;
        } else if (want > cap_) {
            buf_ = static_cast<unsigned char*>(d_alloc(want));
            cap_ = want;
        }
    }
    ~ByteOut() {
        if (!sat_ && buf_ != small_) d_f_ree(buf_);
    }
    ByteOut(const ByteOut&) = delete;
    ByteOut& operator=(const ByteOut&) = delete;

    // True when k more bytes stay within the limit; false (the encoding marked too long) past it.
    bool fits(int k) {
        if (int64_t{len_} + k > limit_) too_long_ = true;
        return !too_long_;
    }
    bool too_long() const { return too_long_; }
    // Bytes that may still be added within the limit.
    int64_t room_left() const { return limit_ - len_; }
    // Room for k more bytes at end(), which fits(k) has allowed.
    unsigned char* room(int k) {
        if (len_ + k > cap_) {
            int64_t want = int64_t{cap_} * 2 > len_ + k ? int64_t{cap_} * 2 : len_ + k;
            int cap = static_cast<int>(want < limit_ ? want : limit_);
            if (sat_) {
                buf_ = static_cast<unsigned char*>(get_spsat(sat_, 2, cap));
            } else {
                unsigned char* nb = static_cast<unsigned char*>(d_alloc(cap));
                memcpy(nb, buf_, static_cast<size_t>(len_));
                if (buf_ != small_) d_f_ree(buf_);
                buf_ = nb;
            }
            cap_ = cap;
        }
        return buf_ + len_;
    }
    void added(int k) { len_ += k; }
    const char* data() const { return reinterpret_cast<const char*>(buf_); }
    int size() const { return len_; }

  private:
    S_PRINTF_SAT* sat_;
    int64_t limit_;
    bool too_long_ = false;
    unsigned char small_[4096];
    unsigned char* buf_ = small_;
    int cap_ = sizeof small_;
    int len_ = 0;
};

// ------------------------------------------------------------------------------------------------
// Parsing the format

// Appends the C library's formatting of one directive, growing the work area when the result does
// not fit (the fields are capped, so it stays small).
template <typename T>
void put_c_format(LcText& t, const char* directive, T value) {
    char work[512];
    int n = snprintf(work, sizeof work, directive, value);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof work) {
        t.put_utf8(work, static_cast<size_t>(n));
        return;
    }
    char* big = static_cast<char*>(d_alloc(n + 1));
    snprintf(big, static_cast<size_t>(n) + 1, directive, value);
    t.put_utf8(big, static_cast<size_t>(n));
    d_f_ree(big);
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Reads a width or precision run of digits and '*' (each '*' takes an int argument). Returns the
// value, capped; *negative is set when a '*' argument was negative.
int field_value(const char* b, const char* e, va_list& ap, bool* negative) {
    int v = 0;
    *negative = false;
    for (const char* p = b; p < e; p++) {
        if (*p == '*') {
            int a = va_arg(ap, int);
            *negative = a < 0;
            long long m = a < 0 ? -static_cast<long long>(a) : a;
            v = m > FMT_FIELD_MAX ? FMT_FIELD_MAX : static_cast<int>(m);
        } else {
            v = v * 10 + (*p - '0');
            if (v > FMT_FIELD_MAX) v = FMT_FIELD_MAX;
        }
    }
    return v;
}

void format_text(LcText& t, const char* fmt, va_list args) {
    va_list ap;
    va_copy(ap, args);
    const char* p = fmt;
    while (*p) {
        const char* q = strchr(p, '%');
        if (!q) {
            t.put_utf8(p, strlen(p));
            break;
        }
        t.put_utf8(p, static_cast<size_t>(q - p));
        const char* d = q + 1;
        char flag = 0;
        if (*d && strchr("+- 0#", *d)) flag = *d++;
        const char* wb = d;
        while (is_digit(*d) || *d == '*')
            d++;
        const char* we = d;
        const char* pb = nullptr;
        const char* pe = nullptr;
        if (*d == '.') {
            pb = ++d;
            while (is_digit(*d) || *d == '*')
                d++;
            pe = d;
        }
        char length = 0;  // 'q' for long long
        if (d[0] == 'I' && d[1] == '6' && d[2] == '4') {
            length = 'q';
            d += 3;
        } else if (d[0] == 'l' && d[1] == 'l') {
            length = 'q';
            d += 2;
        } else if (*d == 'h' || *d == 'l' || *d == 'L') {
            length = *d++;
        }
        char conv = *d;
        if (!conv) break;
        p = d + 1;

        // The directive as the C library reads it on this host.
        char spec[64];
        int sl = 0;
        spec[sl++] = '%';
        if (flag) spec[sl++] = flag;
        bool neg = false;
        if (we > wb) {
            int w = field_value(wb, we, ap, &neg);
            if (*wb == '0') spec[sl++] = '0';
            sl += snprintf(spec + sl, sizeof spec - sl, neg ? "-%d" : "%d", w);
        }
        if (pb) {
            int pr = field_value(pb, pe, ap, &neg);
            if (!neg) sl += snprintf(spec + sl, sizeof spec - sl, ".%d", pr);
        }
        auto finish = [&](const char* len_text, char c) {
            sl += snprintf(spec + sl, sizeof spec - sl, "%s%c", len_text, c);
        };

        switch (conv) {
            case 's':
            case 'S':
                if (length == 'l' || length == 'L') {
                    const L_CHAR* ls = va_arg(ap, const L_CHAR*);
                    if (ls)
                        t.put_l(ls);
                    else
                        t.put_utf8("(null)", 6);
                } else {
                    const char* cs = va_arg(ap, const char*);
                    if (!cs) cs = "(null)";
                    t.put_utf8(cs, strlen(cs));
                }
                break;
            case '%':
                t.put('%');
                break;
            case 'c':
            case 'C':
                finish("", 'c');
                put_c_format(t, spec, va_arg(ap, int));
                break;
            case 'd':
            case 'i':
            case 'o':
            case 'u':
            case 'x':
            case 'X':
                if (length == 'q' || length == 'L') {
                    finish("ll", conv);
                    put_c_format(t, spec, va_arg(ap, long long));
                } else if (length == 'l') {
                    finish("l", conv);
                    put_c_format(t, spec, va_arg(ap, long));
                } else {
                    finish(length == 'h' ? "h" : "", conv);
                    put_c_format(t, spec, va_arg(ap, int));
                }
                break;
            case 'e':
            case 'E':
            case 'f':
            case 'g':
            case 'G':
                finish("", conv);
                put_c_format(t, spec, va_arg(ap, double));
                break;
            case 'p':
                finish("", 'p');
                put_c_format(t, spec, va_arg(ap, void*));
                break;
            case 'n':
                (void)va_arg(ap, void*);
                break;
            default:
                break;
        }
    }
    va_end(ap);
}

// ------------------------------------------------------------------------------------------------
// Encoding and writing

// Encodes n long characters with the stream's method (stream lock held); counts line ends when
// asked. A character the method refuses is written as "&cx%x;", itself encoded. Stops, the
// output marked too long, where the next step could pass out's limit.
void encode_text(S_HEADER* h, const L_CHAR* text, int n, ByteOut& out) {
    CODE_METHOD* cm = h->cm;
    int step = cm->max_ret > 0 ? cm->max_ret : 8;
    // Each step is checked against the limit only where the worst case (every character a
    // reference of 12 characters) could pass it: not for any text of ordinary length.
    const bool check = int64_t{n} * step * 12 > out.room_left();
    for (int i = 0; i < n; i++) {
        L_CHAR c = text[i];
        if (check && !out.fits(step)) return;
        if (h->cr_mode == 1 && (c == 10 || c == 13 || c == 3)) h->cr_cnt++;
        int k = cm->to_external(out.room(step), h->cm_work, c);
        if (k > 0) {
            out.added(k);
            continue;
        }
        char ref[24];
        int rn = snprintf(ref, sizeof ref, "&cx%x;", c);
        for (int j = 0; j < rn; j++) {
            if (check && !out.fits(step)) return;
            int m = cm->to_external(out.room(step), h->cm_work, static_cast<unsigned char>(ref[j]));
            if (m > 0) out.added(m);
        }
    }
}

// Hands encoded bytes to a stream (lock held, task registered): queued on a buffered stream,
// held back or written otherwise. A failure is stored in *erp.
void deliver(STREAM* s, const ByteOut& out, int* erp, bool hold = false) {
    if (_s_buffered(s)) {
        if (s->h.wb_flags & SWB_FAILED) {
            if (erp) {
                *erp = s->h.last_err ? s->h.last_err : EIO;
                s->h.wb_flags |= SWB_TOLD;
            }
            return;
        }
        copy_in_sbuf(&s->h.write_buf, out.data(), out.size(), nullptr);
        _s_wake_writers();
        return;
    }
    int done = _s_deliver(s, out.data(), out.size(), erp, hold);
    if (done < out.size() && erp && *erp == 0) *erp = EIO;
}

int _s_printf_1(STREAM* s, int* erp, const char* fmt, va_list args) {
    LcText t(nullptr);
    format_text(t, fmt, args);
    if (t.too_long()) {
        if (erp) *erp = EFBIG;
        return -1;
    }
    if (t.size() == 0) return 0;
    StreamPri pri;
    lock_task(stream_lock);
    if (!_s_exist(s)) {
        unlock_task(stream_lock, "s_printf");
        if (erp) *erp = EINVAL;
        return -1;
    }
    S_FILE_THREAD th;
    _s_insert_thread(s, &th);
    int r = t.size();
    int cr_cnt = s->h.cr_cnt;
    {
        ByteOut out(nullptr, t.size(), int64_t{s_printf_text_max.load()} * 8);
        encode_text(&s->h, t.data(), t.size(), out);
        if (out.too_long()) {
            s->h.cr_cnt = cr_cnt;  // nothing written: no line end counted either
            if (erp) *erp = EFBIG;
            r = -1;
        } else {
            deliver(s, out, erp);
        }
    }
    _s_delete_thread(s, &th);
    unlock_task(stream_lock, "s_printf");
    return r;
}

int _s_printf_2(S_PRINTF_SAT* sat, int* erp, const char* fmt, va_list args) {
    LcText t(sat);
    format_text(t, fmt, args);
    if (t.too_long()) {
        if (erp) *erp = EFBIG;
        return -1;
    }
    if (write_spsat(sat, t.data(), t.size()) < 0) {
        if (erp) *erp = EINVAL;
        return -1;
    }
    return t.size();
}

}  // namespace

int _s_printf(STREAM* s, int* erp, const char* fmt, va_list args, S_PRINTF_SAT* sat) {
    if (!fmt) fmt = "";
    if (sat) return _s_printf_2(sat, erp, fmt, args);
    return _s_printf_1(s, erp, fmt, args);
}

int s_printf(STREAM* s, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = _s_printf(s, nullptr, fmt, ap, nullptr);
    va_end(ap);
    return r;
}

int s_line_end_now(STREAM* s, uint32_t serial) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    if (!_s_exist_serial(s, serial) || !s->h.tbl) return -1;
    const L_CHAR lf = 10;
    ByteOut out(nullptr, 1, 64);
    encode_text(&s->h, &lf, 1, out);
    if (out.too_long() || out.size() == 0) return -1;
    int cr_cnt = s->h.cr_cnt;
    int r = _s_deliver_now(s, out.data(), out.size());
    if (r <= 0) s->h.cr_cnt = cr_cnt;  // nothing written: no line end counted either
    return r > 0 ? 1 : r;
}

int ss_printf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = _s_printf(s_stdout, nullptr, fmt, ap, nullptr);
    va_end(ap);
    return r;
}

int e_printf(STREAM* s, int* erp, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = _s_printf(s, erp, fmt, ap, nullptr);
    va_end(ap);
    return r;
}

// The text a string stream with the "Internal" method would collect is the formatted long
// characters themselves, so they are copied straight into the caller's buffer.
int ss_sprintf(L_CHAR* buf, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    LcText t(nullptr);
    format_text(t, fmt ? fmt : "", ap);
    va_end(ap);
    memcpy(buf, t.data(), static_cast<size_t>(t.size()) * 4);
    buf[t.size()] = 0;
    return t.size();
}

int ss_snprintf(L_CHAR* buf, int cap, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = ss_vsnprintf(buf, cap, fmt, ap);
    va_end(ap);
    return r;
}

int ss_vsnprintf(L_CHAR* buf, int cap, const char* fmt, va_list args) {
    LcText t(nullptr);
    format_text(t, fmt ? fmt : "", args);
    if (cap > 0) {
        int n = t.size() < cap - 1 ? t.size() : cap - 1;
        memcpy(buf, t.data(), static_cast<size_t>(n) * 4);
        buf[n] = 0;
    }
    return t.size();
}

// ------------------------------------------------------------------------------------------------
// The batch

int new_spsat(S_PRINTF_SAT* sat, STREAM* st) {
    if (!st) return -1;
    memset(sat, 0, sizeof *sat);
    sat->st = st;
    sat->str_buf = static_cast<L_CHAR*>(d_alloc(SPSAT_BUF_CHARS * 4));
    return 0;
}

void* get_spsat(S_PRINTF_SAT* sat, int i, int size) {
    if (i < 0 || i > 2 || size < 0) er_panic("get_spsat");
    if (sat->alc_len[i] < size) {
        void* nb = d_re_alloc(sat->alc[i], size);
        if (!nb) er_panic("get_spsat");
        sat->alc[i] = static_cast<char*>(nb);
        sat->alc_len[i] = size;
    }
    if (sat->alc_size[i] < size)
        memset(sat->alc[i] + sat->alc_size[i], 0, static_cast<size_t>(size - sat->alc_size[i]));
    sat->alc_size[i] = size;
    return sat->alc[i];
}

int write_spsat(S_PRINTF_SAT* sat, const L_CHAR* text, int n) {
    if (sat->err == -1) return -1;
    while (n > 0) {
        if (sat->str_buf_ptr == SPSAT_BUF_CHARS && flush_spsat(sat, nullptr) < 0) return -1;
        int k = SPSAT_BUF_CHARS - sat->str_buf_ptr;
        if (k > n) k = n;
        memcpy(sat->str_buf + sat->str_buf_ptr, text, static_cast<size_t>(k) * 4);
        sat->str_buf_ptr += k;
        text += k;
        n -= k;
    }
    return 0;
}

int flush_spsat(S_PRINTF_SAT* sat, int* erp) {
    if (sat->err == -1) {
        if (erp) *erp = EINVAL;
        return -1;
    }
    STREAM* s = sat->st;
    StreamPri pri;
    lock_task(stream_lock);
    if (sat->serial ? !_s_exist_serial(s, sat->serial) : !_s_exist(s)) {
        unlock_task(stream_lock, "flush_spsat");
        if (erp) *erp = EINVAL;
        sat->err = -1;
        sat->str_buf_ptr = 0;
        return -1;
    }
    S_FILE_THREAD th;
    _s_insert_thread(s, &th);
    int e = 0;
    {
        ByteOut out(sat, sat->str_buf_ptr);
        encode_text(&s->h, sat->str_buf, sat->str_buf_ptr, out);
        deliver(s, out, &e, sat->hold);
    }
    _s_delete_thread(s, &th);
    unlock_task(stream_lock, "flush_spsat");
    if (e) {
        if (erp) *erp = e;
        sat->err = -1;
    }
    sat->str_buf_ptr = 0;
    return sat->err;
}

int finish_spsat(S_PRINTF_SAT* sat, int* erp) {
    int r = 0;
    if (sat->str_buf_ptr > 0) r = flush_spsat(sat, erp);
    d_f_ree(sat->str_buf);
    sat->str_buf = nullptr;
    for (int i = 0; i < 3; i++) {
        d_f_ree(sat->alc[i]);
        sat->alc[i] = nullptr;
        sat->alc_len[i] = sat->alc_size[i] = 0;
    }
    return r;
}
