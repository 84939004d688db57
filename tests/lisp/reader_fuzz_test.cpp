// Random and mutated QV text through the reader and the printer, from a fixed seed: whatever the
// input, reading gives a tree (errors as values), every tree prints in each notation, what is
// printed reads again, and text fed through a pipe in random pieces reads as the whole text does.
// Run under the sanitizers, any overflow, leak of the stack or use of freed memory shows here.
#include <random>
#include <string>
#include <vector>

#include "lisp/printer.h"
#include "longchar/codemethod.h"
#include "reader_util.h"
#include "stream/file_stream.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int ROUNDS = 1500;
constexpr int PIPED = 60;
#else
constexpr int ROUNDS = 6000;
constexpr int PIPED = 200;
#endif

const char* const seeds[] = {
    "<a x=v y=\"q\\\"r\" z>text &lt;here&gt; &#65;&cx42; <b/> ^(f 1 2.5km \"s\\n\" 'q) </a>",
    "<?xml version=\"1.0\"?><!DOCTYPE d><d><![CDATA[ raw <x> ]]><!-- note --></d>",
    "^(define (f x) (+ x 10km)) ^[sym k=\"v\"] ^#5#\x01\x02\x00\xff\x80 tail",
    "^\n %E\n (\"site\" \"file.qv\" 12 \"eval\" 0x80030705\n (\"data\" 5000000000))",
    "(a (b (c (d)))) ; comment\n 0x1Fm -0x1F 010 09 1.2.3 1.5e3 \x03 after",
    "<p class=x>Hi<br>there</p> \xe3\x81\x82\xe3\x81\x84 \xc3\xa9 <img src=a>",
    "^(\"unterminated\n <a></b> ) ] = > </c> &bogus; #zz# ^#FFFFFFFF#",
};

const char* const pieces[] = {
    "<",    ">",   "</",        "/>",           "(",    ")",    "^",
    "'",    "\"",  "#",         "#3#",          "&",    "&#",   "&lt;",
    ";",    "\n",  " ",         "%E",           "[",    "]",    "=",
    "<!--", "-->", "<![CDATA[", "]]>",          "\x03", "a",    "tag",
    "x=",   "1",   "0x",        "-5",           "2.5",  "km",   "\\",
    "?>",   "<?",  "!",         "\xe3\x81\x82", "\xff", "\x0c", "<a>",
    "</a>",
};

struct Fuzz {
    std::mt19937 rng{1234567};

    int pick(int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }

    std::string random_text() {
        std::string t;
        for (int n = pick(40); n > 0; n--) {
            if (pick(5) == 0)
                t += static_cast<char>(rng());
            else
                t += pieces[pick(sizeof pieces / sizeof pieces[0])];
        }
        return t;
    }

    std::string mutate(std::string t) {
        for (int n = 1 + pick(4); n > 0; n--) {
            size_t at = t.empty() ? 0 : static_cast<size_t>(pick(static_cast<int>(t.size())));
            switch (pick(5)) {
                case 0:
                    if (!t.empty()) t[at] = static_cast<char>(rng());
                    break;
                case 1:
                    t.insert(at, pieces[pick(sizeof pieces / sizeof pieces[0])]);
                    break;
                case 2:
                    t.erase(at, static_cast<size_t>(pick(8)));
                    break;
                case 3:
                    t.resize(at);
                    break;
                default:
                    t.insert(at, t.substr(at, static_cast<size_t>(pick(20))));
            }
        }
        return t;
    }

    std::string input(int round) {
        if (round % 3 == 0) return random_text();
        return mutate(seeds[pick(sizeof seeds / sizeof seeds[0])]);
    }
};

// Reads text through a pipe written in random pieces by another task.
std::string read_piped(const std::string& text, std::mt19937& rng) {
    STREAM* p[2];
    if (s_open_pipe(p) != 0) return "pipe failed";
    s_set_cm(p[0], &utf8_cm);
    QV_SEXP* top = init_parse(p[0], L("t.qv"), nullptr);
    std::vector<size_t> cuts;
    for (size_t at = 0; at < text.size();) {
        at += 1 + rng() % 7;
        cuts.push_back(at < text.size() ? at : text.size());
    }
    Job writer([&] {
        size_t from = 0;
        for (size_t to : cuts) {
            s_write(p[1], text.data() + from, static_cast<int>(to - from));
            from = to;
        }
        s_close(p[1]);
    });
    return dump(top);
}

}  // namespace

TEST_F(ReaderTest, FuzzedTextReadsAndPrints) {
    Fuzz fz;
    int failed_prints = 0;
    for (int round = 0; round < ROUNDS; round++) {
        std::string text = fz.input(round);
        gc_push(nullptr, nullptr, "round");
        QV_SEXP* all = read_qv_items(text.data(), static_cast<int>(text.size()), "t.qv");
        for (int flags : {PF_LINES, PF_LINES | PF_XML, PF_LINES | PF_HTML | PF_PRETTY}) {
            STREAM* out = s_open_string_write(&utf8_cm);
            int err = 0;
            if (e_print_sexp(out, &err, all, flags) != 0) failed_prints++;
            const char* printed = s_get_string(out);
            std::string again =
                printed ? std::string(printed, static_cast<size_t>(out->str.size)) : std::string();
            s_close(out);
            QV_SEXP* back = read_qv_items(again.data(), static_cast<int>(again.size()), "t.qv");
            print_sexp_text(back, flags);
        }
        gc_pop(nullptr, nullptr);
        if (round % 200 == 0) collect();
    }
    EXPECT_EQ(failed_prints, 0);

    // Piece boundaries never change what is read.
    std::mt19937 rng(99);
    for (int i = 0; i < PIPED; i++) {
        std::string text = fz.input(i);
        gc_push(nullptr, nullptr, "piped");
        std::string whole = dump(read_qv_items(text.data(), static_cast<int>(text.size()), "t.qv"));
        EXPECT_EQ(read_piped(text, rng), whole) << "input: " << text;
        gc_pop(nullptr, nullptr);
    }
}
