// Regular expressions: the syntax, whole-string and shortest-prefix matching, hostile patterns,
// and a comparison with a backtracking reference matcher on random patterns and strings.
#include "longchar/regex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "builtins/qv_script.h"

namespace {

using Text = std::vector<L_CHAR>;

Text T(const std::string& s) {
    Text t;
    for (unsigned char c : s)
        t.push_back(c);
    t.push_back(0);
    return t;
}

struct FaDeleter {
    void operator()(AUTOMATON* a) const { free_automaton(a); }
};
using Fa = std::unique_ptr<AUTOMATON, FaDeleter>;

Fa compile(const Text& pattern) {
    return Fa(get_fa(pattern.data()));
}
Fa compile(const std::string& pattern) {
    return compile(T(pattern));
}

int whole(const Fa& fa, const Text& s) {
    int lo, hi;
    return parse_dfa_str(&lo, &hi, fa.get(), s.data(), 0);
}
bool matches(const Fa& fa, const std::string& s) {
    return whole(fa, T(s)) >= 0;
}

TEST(Regex, CasesOfTheSyntax) {
    Fa a = compile("a(bc)*d");
    ASSERT_TRUE(a);
    EXPECT_TRUE(matches(a, "ad"));
    EXPECT_TRUE(matches(a, "abcd"));
    EXPECT_TRUE(matches(a, "abcbcd"));
    EXPECT_FALSE(matches(a, "abd"));

    Fa ab = compile("(ab)*");
    EXPECT_TRUE(matches(ab, ""));
    EXPECT_TRUE(matches(ab, "abab"));
    EXPECT_FALSE(matches(ab, "abb"));

    Fa cls = compile("[a-c]x");
    EXPECT_TRUE(matches(cls, "bx"));
    EXPECT_FALSE(matches(cls, "dx"));
    Fa caret = compile("[^a]");  // no negation: '^' is a member
    EXPECT_TRUE(matches(caret, "^"));
    EXPECT_TRUE(matches(caret, "a"));
    EXPECT_FALSE(matches(caret, "b"));

    Fa alt = compile("a|b|c");
    EXPECT_TRUE(matches(alt, "c"));
    EXPECT_FALSE(matches(alt, "ab"));
    Fa star_first = compile("*a");
    EXPECT_TRUE(matches(star_first, "*a"));
    EXPECT_FALSE(matches(star_first, "a"));
    Fa plus_after_bar = compile("x|+y");
    EXPECT_TRUE(matches(plus_after_bar, "+y"));

    // Quoting, and the backslash inside a class is a member that keeps ']' from closing.
    Fa esc = compile("\\*\\n\\t\\(");
    EXPECT_EQ(whole(esc, Text{'*', '\n', '\t', '(', 0}), 4);
    Fa bs = compile("[\\]]+");
    EXPECT_TRUE(matches(bs, "]\\]"));
    Fa nest = compile("[a[b]c]");
    EXPECT_TRUE(matches(nest, "["));
    EXPECT_TRUE(matches(nest, "c"));
    Fa stray = compile("a)]");
    EXPECT_TRUE(matches(stray, "a)]"));
    Fa dash = compile("[-a]");
    EXPECT_TRUE(matches(dash, "-"));
    Fa opt = compile("ab?c+");
    EXPECT_TRUE(matches(opt, "acc"));
    EXPECT_TRUE(matches(opt, "abc"));
    EXPECT_FALSE(matches(opt, "ab"));
}

TEST(Regex, InvalidPatterns) {
    const char* bad[] = {"",     "|a",    "a|",   "a||b", "a()b", "[]",    "(a",   "a[bc",
                         "[a-]", "[z-a]", "(|a)", "a\\",  "((a)", "[a\\]", "(a|)b"};
    for (const char* p : bad)
        EXPECT_FALSE(compile(p)) << p;
    EXPECT_EQ(get_fa(nullptr), nullptr);
}

TEST(Regex, RepeatsGetTheirOwnStates) {
    Fa a = compile("(a*b)*");
    EXPECT_FALSE(matches(a, "a"));
    EXPECT_FALSE(matches(a, "aa"));
    EXPECT_TRUE(matches(a, ""));
    EXPECT_TRUE(matches(a, "aabab"));
    EXPECT_FALSE(matches(a, "aaba"));
    Fa b = compile("(ab*)*");
    EXPECT_FALSE(matches(b, "b"));
    EXPECT_FALSE(matches(b, "bb"));
    EXPECT_TRUE(matches(b, "abba"));
    Fa c = compile("(a*b)?");
    EXPECT_FALSE(matches(c, "a"));
    EXPECT_TRUE(matches(c, "aab"));
    Fa d = compile("(a+b?)+c");
    EXPECT_FALSE(matches(d, "bc"));
    EXPECT_TRUE(matches(d, "abaac"));
}

TEST(Regex, LongCharactersAndTheDot) {
    Fa dot = compile(".");
    for (L_CHAR c : {0x20u, 0x7Eu, 0x3042u, 0x7FFFFFFFu, 0x80000000u, 0xC0013021u, 0xDFFEFFFFu,
                     0xE0000000u, 0xFFFFFFFFu})
        EXPECT_EQ(whole(dot, Text{c, 0}), 1) << std::hex << c;
    for (L_CHAR c : {0x01u, 0x0Au, 0x1Fu, 0xDFFF0000u, 0xDFFF0016u, 0xDFFFFFFFu})
        EXPECT_EQ(whole(dot, Text{c, 0}), -1) << std::hex << c;

    // A class over a range of JIS X 0208 characters.
    Fa kanji = compile(Text{'[', 0xC0013021, '-', 0xC0013441, ']', '+', 0});
    EXPECT_EQ(whole(kanji, Text{0xC0013021, 0xC0013300, 0xC0013441, 0}), 3);
    EXPECT_EQ(whole(kanji, Text{0xC0013442, 0}), -1);
    EXPECT_EQ(whole(kanji, Text{0x3021, 0}), -1);
}

TEST(Regex, WholeStringAndShortestPrefix) {
    Fa fa = compile("ab*");
    Text abbbc = T("abbbc");
    int lo, hi;
    EXPECT_EQ(parse_dfa_str(&lo, &hi, fa.get(), abbbc.data(), 1), 1);
    EXPECT_EQ(lo, 1);
    EXPECT_EQ(hi, 1);
    EXPECT_EQ(parse_dfa_str(&lo, &hi, fa.get(), abbbc.data(), 0), -1);
    EXPECT_EQ(lo, 1);
    EXPECT_EQ(hi, 4);
    Text abb = T("abb");
    EXPECT_EQ(parse_dfa_str(&lo, &hi, fa.get(), abb.data(), 0), 3);
    EXPECT_EQ(lo, 1);
    EXPECT_EQ(hi, 3);
    Text xa = T("xa");
    EXPECT_EQ(parse_dfa_str(&lo, &hi, fa.get(), xa.data(), 1), -1);
    EXPECT_EQ(lo, -1);
    EXPECT_EQ(hi, -1);
    Fa empty_ok = compile("a*");
    EXPECT_EQ(parse_dfa_str(&lo, &hi, empty_ok.get(), xa.data(), 1), 0);
    EXPECT_EQ(parse_dfa_str(nullptr, nullptr, nullptr, xa.data(), 0), -1);

    A_STATE* init = search_state(fa.get(), A_INITIAL);
    ASSERT_NE(init, nullptr);
    EXPECT_EQ(get_next_state(init, 'b'), nullptr);
    A_STATE* after_a = get_next_state(init, 'a');
    ASSERT_NE(after_a, nullptr);
    EXPECT_TRUE(after_a->flags & A_FINAL);
    EXPECT_EQ(search_state(fa.get(), A_FINAL)->flags & A_FINAL, A_FINAL);
}

TEST(Regex, AFinalStateIsFoundBeforeAnyTextReachedIt) {
    for (const char* pattern : {"abc", "(x|y)*z", "a+", "[a-c]?d|e(f|g)", "q*"}) {
        Fa fa = compile(pattern);
        A_STATE* fin = search_state(fa.get(), A_FINAL);
        ASSERT_NE(fin, nullptr) << pattern;
        EXPECT_TRUE(fin->flags & A_FINAL) << pattern;
        EXPECT_EQ(search_state(fa.get(), A_FINAL | A_INITIAL), search_state(fa.get(), A_INITIAL));
        EXPECT_EQ(search_state(fa.get(), 0), nullptr);
    }
}

TEST(Regex, AlphabetCutIsPrinted) {
    const std::pair<std::string, std::string> cases[] = {
        {"[a-c]|b", "(1-60)(61-61)(62-62)(63-63)(64-ffffffff)\n"},
        {".", "(1-1f)(20-7fffffff)(80000000-dffeffff)(dfff0000-dfffffff)(e0000000-ffffffff)\n"},
    };
    for (const auto& [pattern, want] : cases) {
        Fa fa = compile(pattern);
        testing::internal::CaptureStdout();
        print_input(fa.get());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), want) << pattern;
    }
}

TEST(Regex, HostilePatternsStayBounded) {
    // Nested stars over a string that fails at the end: linear for an automaton.
    Fa nested = compile("((a*)*)*b");
    ASSERT_TRUE(nested);
    std::string many(20000, 'a');
    EXPECT_FALSE(matches(nested, many + "c"));
    EXPECT_TRUE(matches(nested, many + "b"));
    Fa alt = compile("(a|aa)*");
    EXPECT_TRUE(matches(alt, many));

    Fa stars = compile("a" + std::string(5000, '*') + "b");
    EXPECT_TRUE(matches(stars, "aaab"));
    EXPECT_TRUE(matches(stars, "b"));

    // Long concatenations and alternatives are walked without deep recursion.
    std::string lit(20000, 'x');
    EXPECT_TRUE(matches(compile(lit), lit));
    std::string bars;
    for (int i = 0; i < 20000; i++)
        bars += (i ? "|" : "") + std::string(1, static_cast<char>('a' + i % 26));
    EXPECT_TRUE(matches(compile(bars), "q"));
    std::string cls = "[" + std::string(20000, 'z') + "a]";
    EXPECT_TRUE(matches(compile(cls), "a"));

    // Group nesting has a limit.
    EXPECT_TRUE(compile(std::string(150, '(') + "a" + std::string(150, ')')));
    EXPECT_FALSE(compile(std::string(100000, '(') + "a" + std::string(100000, ')')));

    // A shape whose whole deterministic automaton would need 2^31 states is not built whole:
    // only the states a text leads to are.
    std::string blowup = "(a|b)*a";
    for (int i = 0; i < 30; i++)
        blowup += "(a|b)";
    Fa big = compile(blowup);
    ASSERT_TRUE(big);
    EXPECT_TRUE(matches(big, "ba" + std::string(30, 'b')));
    EXPECT_FALSE(matches(big, "ab" + std::string(30, 'a')));
}

// ---------------------------------------------------------------------------------------------
// A reference matcher by backtracking over a generated syntax tree.

struct Node {
    enum Kind { kChar, kDot, kSeq, kAlt, kStar, kPlus, kOpt } kind;
    L_CHAR from = 0, to = 0;
    std::vector<std::unique_ptr<Node>> kids;
};

using Cont = std::function<bool(size_t)>;

bool backtrack(const Node& n, const Text& s, size_t p, const Cont& k);

bool star_from(const Node& x, const Text& s, size_t p, const Cont& k) {
    if (k(p)) return true;
    return backtrack(x, s, p, [&](size_t q) { return q > p && star_from(x, s, q, k); });
}

bool seq_from(const Node& n, size_t i, const Text& s, size_t p, const Cont& k) {
    if (i == n.kids.size()) return k(p);
    return backtrack(*n.kids[i], s, p, [&](size_t q) { return seq_from(n, i + 1, s, q, k); });
}

bool backtrack(const Node& n, const Text& s, size_t p, const Cont& k) {
    size_t len = s.size() - 1;
    switch (n.kind) {
        case Node::kChar:
            return p < len && s[p] >= n.from && s[p] <= n.to && k(p + 1);
        case Node::kDot:
            return p < len && s[p] >= 32 && !(s[p] >= 0xDFFF0000 && s[p] <= 0xDFFFFFFF) && k(p + 1);
        case Node::kSeq:
            return seq_from(n, 0, s, p, k);
        case Node::kAlt:
            return backtrack(*n.kids[0], s, p, k) || backtrack(*n.kids[1], s, p, k);
        case Node::kStar:
            return star_from(*n.kids[0], s, p, k);
        case Node::kPlus:
            return backtrack(*n.kids[0], s, p,
                             [&](size_t q) { return star_from(*n.kids[0], s, q, k); });
        case Node::kOpt:
            return backtrack(*n.kids[0], s, p, k) || k(p);
    }
    return false;
}

// Random patterns over 'a'-'c' as a tree and as text with the same meaning.
class Gen {
  public:
    explicit Gen(uint32_t seed) : rng_(seed) {}

    std::unique_ptr<Node> node(int depth, std::string* text) {
        auto n = std::make_unique<Node>();
        int pick = depth <= 0 ? pick_of(3) : pick_of(8);
        if (pick == 0 || pick == 1) {
            char c = static_cast<char>('a' + pick_of(3));
            n->kind = Node::kChar;
            n->from = n->to = static_cast<L_CHAR>(c);
            *text += c;
        } else if (pick == 2) {
            if (pick_of(4) == 0) {
                n->kind = Node::kDot;
                *text += '.';
            } else {  // a class of a range and a single character
                char lo = static_cast<char>('a' + pick_of(3));
                char hi = static_cast<char>(lo + pick_of(static_cast<uint32_t>('c' - lo + 1)));
                char one = static_cast<char>('a' + pick_of(3));
                n->kind = Node::kAlt;
                auto r = std::make_unique<Node>();
                r->kind = Node::kChar;
                r->from = static_cast<L_CHAR>(lo);
                r->to = static_cast<L_CHAR>(hi);
                auto o = std::make_unique<Node>();
                o->kind = Node::kChar;
                o->from = o->to = static_cast<L_CHAR>(one);
                n->kids.push_back(std::move(r));
                n->kids.push_back(std::move(o));
                *text += std::string("[") + lo + "-" + hi + one + "]";
            }
        } else if (pick <= 4) {
            n->kind = Node::kSeq;
            *text += "(";
            int parts = 2 + static_cast<int>(pick_of(2));
            for (int i = 0; i < parts; i++)
                n->kids.push_back(node(depth - 1, text));
            *text += ")";
        } else if (pick == 5) {
            n->kind = Node::kAlt;
            *text += "(";
            n->kids.push_back(node(depth - 1, text));
            *text += "|";
            n->kids.push_back(node(depth - 1, text));
            *text += ")";
        } else {
            static const Node::Kind kinds[] = {Node::kStar, Node::kPlus, Node::kOpt};
            static const char ops[] = "*+?";
            int k = static_cast<int>(pick_of(3));
            n->kind = kinds[k];
            // The operand is always a group, a character or a class, or itself a repeat.
            n->kids.push_back(node(depth - 1, text));
            *text += ops[k];
        }
        return n;
    }

    std::string subject() {
        std::string s;
        int len = static_cast<int>(pick_of(8));
        for (int i = 0; i < len; i++)
            s += "abcd"[pick_of(pick_of(10) == 0 ? 4 : 3)];
        return s;
    }

  private:
    uint32_t pick_of(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }
    std::mt19937 rng_;
};

TEST(Regex, AgreesWithBacktrackingOnRandomPatterns) {
    Gen gen(20240611);
    int checked = 0;
    for (int round = 0; round < 400; round++) {
        std::string pattern;
        std::unique_ptr<Node> tree = gen.node(4, &pattern);
        Fa fa = compile(pattern);
        ASSERT_TRUE(fa) << pattern;
        for (int j = 0; j < 25; j++) {
            std::string s = gen.subject();
            Text t = T(s);
            size_t len = s.size();
            bool want = backtrack(*tree, t, 0, [&](size_t q) { return q == len; });
            ASSERT_EQ(whole(fa, t) == static_cast<int>(len), want) << pattern << " on " << s;
            ASSERT_EQ(whole(fa, t) >= 0, want) << pattern << " on " << s;
            int shortest = -1;
            for (size_t l = 0; l <= len && shortest < 0; l++) {
                if (backtrack(*tree, t, 0, [&](size_t q) { return q == l; }))
                    shortest = static_cast<int>(l);
            }
            int lo, hi;
            ASSERT_EQ(parse_dfa_str(&lo, &hi, fa.get(), t.data(), 1), shortest)
                << pattern << " prefix of " << s;
            checked++;
        }
    }
    EXPECT_EQ(checked, 400 * 25);
}

TEST(Regex, ExponentialShapeMatchesWhileWithinTheLimit) {
    // The n-th character from the end is 'a': 2^(n+1) states.
    std::string p = "(a|b)*a";
    for (int i = 0; i < 9; i++)
        p += "(a|b)";
    Fa fa = compile(p);
    ASSERT_TRUE(fa);
    std::mt19937 rng(7);
    for (int i = 0; i < 200; i++) {
        std::string s;
        int len = 10 + static_cast<int>(rng() % 20);
        for (int k = 0; k < len; k++)
            s += (rng() & 1) ? 'a' : 'b';
        EXPECT_EQ(matches(fa, s), s[s.size() - 10] == 'a') << s;
    }
}

// "The n-th character from the end is 'a'" with n = 19: 2^19 deterministic states in all, more
// than an automaton holds at once.
std::string nineteenth_from_end() {
    std::string p = "(a|b)*a";
    for (int i = 0; i < 18; i++)
        p += "(a|b)";
    return p;
}

TEST(Regex, StatesAreBuiltAsTheTextLeadsToThem) {
    Fa fa = compile(nineteenth_from_end());
    ASSERT_TRUE(fa);
    std::mt19937 rng(11);
    for (int i = 0; i < 300; i++) {
        std::string s;
        int len = 19 + static_cast<int>(rng() % 40);
        for (int k = 0; k < len; k++)
            s += (rng() & 1) ? 'a' : 'b';
        EXPECT_EQ(matches(fa, s), s[s.size() - 19] == 'a') << s;
    }
    EXPECT_FALSE(matches(fa, std::string(18, 'a')));
    EXPECT_FALSE(matches(fa, "a" + std::string(18, 'b') + "c"));
    EXPECT_FALSE(matches(fa, "a" + std::string(17, 'b') + "c"));
    EXPECT_TRUE(matches(fa, "a" + std::string(18, 'b')));

    // A long text leads through more states than are held at once: they are dropped and built
    // again, the answers stay right, the initial state stays, and the states held stay bounded.
    A_STATE* init = search_state(fa.get(), A_INITIAL);
    ASSERT_NE(init, nullptr);
    std::string text;
    for (int k = 0; k < 12000; k++)
        text += (rng() & 1) ? 'a' : 'b';
    A_STATE* s = init;
    for (size_t i = 0; i < text.size(); i++) {
        s = get_next_state(s, static_cast<L_CHAR>(text[i]));
        ASSERT_NE(s, nullptr) << i;
        ASSERT_EQ((s->flags & A_FINAL) != 0, i >= 18 && text[i - 18] == 'a') << i;
    }
    EXPECT_GT(fa->flushes, 0u);
    EXPECT_EQ(search_state(fa.get(), A_INITIAL), init);
    EXPECT_EQ(init->table_size, 2);  // 'a' and 'b'
    int held = 0;
    for (A_STATE* st = fa->state_list; st; st = st->next)
        held++;
    EXPECT_LE(held, A_MAX_STATES + 4);
    EXPECT_EQ(whole(fa, T(text)), text[text.size() - 19] == 'a' ? 12000 : -1);
}

TEST(Regex, TooComplexIsNotInvalid) {
    // The same shape far past the bound on the nondeterministic automaton.
    std::string hostile = "(a|b)*a";
    for (int i = 0; i < 9000; i++)
        hostile += "(a|b)";
    Text h = T(hostile);
    int why = -1;
    EXPECT_EQ(get_fa_why(h.data(), &why), nullptr);
    EXPECT_EQ(why, FA_TOO_COMPLEX);
    EXPECT_STREQ(fa_error_text(why), "regular expression too complex: more than 50000 states");
    Text bad = T("(a|b");
    EXPECT_EQ(get_fa_why(bad.data(), &why), nullptr);
    EXPECT_EQ(why, FA_INVALID);
    EXPECT_STREQ(fa_error_text(why), "parameter error: regular expression");
    Text ok = T(nineteenth_from_end());
    Fa fa(get_fa_why(ok.data(), &why));
    EXPECT_TRUE(fa);
    EXPECT_EQ(why, FA_OK);
}

TEST(Regex, ManyOverlappingRangesStayBounded) {
    // 10,000 nested ranges under a star: 20,000 moves out of the initial state, each leading to a
    // set of up to all the alternatives. Only the moves a text takes are followed, and the states
    // held stay within the byte bound however large each is.
    Text p{'('};
    for (L_CHAR i = 0; i < 10000; i++) {
        if (i) p.push_back('|');
        for (L_CHAR c : {L_CHAR{'['}, 0x1000 + i, L_CHAR{'-'}, 0x100000 - i, L_CHAR{']'}})
            p.push_back(c);
    }
    for (L_CHAR c : {L_CHAR{')'}, L_CHAR{'*'}, L_CHAR{'z'}, L_CHAR{0}})
        p.push_back(c);
    Fa fa = compile(p);
    ASSERT_TRUE(fa);
    Text t;
    for (L_CHAR i = 0; i < 30; i++)
        t.push_back(0x1000 + (i * 331) % 10000);  // each in a different count of ranges
    t.push_back('z');
    t.push_back(0);
    EXPECT_EQ(whole(fa, t), 31);
    t[5] = 0xFFFFF;
    EXPECT_EQ(whole(fa, t), 31);
    t[5] = 0x100001;  // above every range
    EXPECT_EQ(whole(fa, t), -1);
    EXPECT_GT(fa->flushes, 0u);
}

// A run asks its stop function every A_STOP_STRIDE characters, and a yes ends it at once.
TEST(Regex, ARunAsksItsStopFunctionAndEndsOnYes) {
    struct Asked {
        int calls = 0;
        int yes_at = 0;  // the call that answers yes, 0 for none
    };
    auto stop = [](void* arg) {
        auto* a = static_cast<Asked*>(arg);
        return ++a->calls == a->yes_at;
    };
    const int n = 10 * A_STOP_STRIDE;
    const struct {
        const char* name;
        std::string pattern;
        std::string text;
        int yes_at;
        int result, first, last, calls;
    } cases[] = {
        {"never stopped", "a*", std::string(n, 'a'), 0, n, 0, n, 10},
        {"stopped at the first ask", "a*", std::string(n, 'a'), 1, -2, 0, A_STOP_STRIDE - 1, 1},
        {"stopped later", "a*b", std::string(n, 'a') + "b", 4, -2, -1, -1, 4},
        {"short text never asks", "a*", std::string(A_STOP_STRIDE - 1, 'a'), 1, A_STOP_STRIDE - 1,
         0, A_STOP_STRIDE - 1, 0},
        {"no match ends before the ask", "b*", std::string(n, 'a'), 1, -1, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fa fa = compile(c.pattern);
        ASSERT_TRUE(fa);
        Text t = T(c.text);
        int lo = 7, hi = 7;
        // The states the text leads to are built first: the asks below are the stride's.
        parse_dfa_str(&lo, &hi, fa.get(), t.data(), 0);
        Asked asked;
        asked.yes_at = c.yes_at;
        EXPECT_EQ(parse_dfa_str_stop(&lo, &hi, fa.get(), t.data(), 0, stop, &asked), c.result);
        EXPECT_EQ(lo, c.first);
        EXPECT_EQ(hi, c.last);
        EXPECT_EQ(asked.calls, c.calls);
    }
    // A step that has to build its state is asked after at once.
    std::string blowup = "(a|b)*a";
    for (int i = 0; i < 12; i++)
        blowup += "(a|b)";
    std::mt19937 rng(7);
    std::string text;
    for (int i = 0; i < 2 * A_STOP_STRIDE; i++)
        text += static_cast<char>('a' + rng() % 2);
    Fa fa = compile(blowup);
    Text t = T(text);
    Asked asked;
    int lo, hi;
    parse_dfa_str_stop(&lo, &hi, fa.get(), t.data(), 0, stop, &asked);
    EXPECT_GT(asked.calls, A_STOP_STRIDE);
}

// The built-ins that scripts call tell a pattern too complex from a malformed one.
class RegexBuiltins : public QvScriptTest {
  protected:
    std::string reg_cmp(const std::string& rex, const std::string& subject) {
        return show(run(("([RegCmp rex=\"" + rex + "\"] \"" + subject + "\")").c_str()));
    }
};

TEST_F(RegexBuiltins, TooComplexHasItsOwnError) {
    std::string p = nineteenth_from_end();
    EXPECT_EQ(reg_cmp(p, "a" + std::string(18, 'b')), "(19 19 19)");
    EXPECT_EQ(reg_cmp(p, "aa" + std::string(18, 'b')), "(20 19 20)");
    EXPECT_EQ(reg_cmp(p, "ab" + std::string(18, 'a')), "(-1 19 19)");
    EXPECT_EQ(reg_cmp(p, "b" + std::string(18, 'a')), "(-1 -1 -1)");

    std::string hostile = "(a|b)*a";
    for (int i = 0; i < 9000; i++)
        hostile += "(a|b)";
    const std::string too_complex = "\"regular expression too complex: more than 50000 states\"";
    QV_SEXP* r = run(("([RegCmp rex=\"" + hostile + "\"] \"ab\")").c_str());
    ASSERT_EQ(get_type(r), QVT_ERROR);
    EXPECT_EQ(r->error.code, QVE_INVALID_PARAMETER);
    EXPECT_NE(show(r).find(too_complex), std::string::npos) << show(r);
    r = run(("(RegSwitch \"ab\" ([x rex=\"" + hostile + "\"] \"y\"))").c_str());
    ASSERT_EQ(get_type(r), QVT_ERROR);
    EXPECT_NE(show(r).find(too_complex), std::string::npos) << show(r);

    const std::string syntax = "\"parameter error: regular expression\"";
    EXPECT_NE(reg_cmp("(a|b", "ab").find(syntax), std::string::npos);
    r = run("(RegSwitch \"ab\" ([x rex=\"[]\"] \"y\"))");
    ASSERT_EQ(get_type(r), QVT_ERROR);
    EXPECT_NE(show(r).find(syntax), std::string::npos) << show(r);
}

// A break reaches RegCmp while it runs over a long text: the hook is asked as the text is read,
// and its error value ends the call.
std::atomic<int> break_asks{0};
constexpr int kAsksBeforeBreak = 1000;
QV_SEXP* break_after_asks(QV_SEXP* s) {
    request_break_check_async();  // so that the next check asks again
    if (++break_asks > kAsksBeforeBreak) return eval_error(s, 0x80011404, "break", nullptr);
    return nullptr;
}

TEST_F(RegexBuiltins, ABreakEndsAMatchOverALongText) {
    const struct {
        const char* name;
        int length;
        bool broken;
    } cases[] = {
        {"short", 10 * A_STOP_STRIDE, false},
        {"long", 4 * kAsksBeforeBreak * A_STOP_STRIDE, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        break_asks = 0;
        BREAK_CHECK_FUNC saved = break_check.exchange(break_after_asks);
        request_break_check_async();
        QV_SEXP* r = run(("([RegCmp rex=\"a*\"] \"" + std::string(c.length, 'a') + "\")").c_str());
        break_check.store(saved);
        if (c.broken) {
            ASSERT_EQ(get_type(r), QVT_ERROR) << show(r);
            EXPECT_EQ(r->error.code, 0x80011404u);
            EXPECT_LT(break_asks.load(), kAsksBeforeBreak + 2) << "no ask after the break";
        } else {
            const std::string n = std::to_string(c.length);
            EXPECT_EQ(show(r), "(" + n + " 0 " + n + ")");
        }
    }
}

}  // namespace
