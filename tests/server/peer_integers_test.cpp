// Integers a peer writes where the agent counts in an int (the lines its answers and back-calls
// name, the ids and results of progress reports, the numbers of print streams): a value beyond
// the int range names nothing, never what its low 32 bits would. The test plays the peer of a
// pipe interpreter. Also: a peer's error answer to a progress back-call reaches the console with
// its control characters shown, not obeyed.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

#include "server_util.h"
#include "support/stdout_text.h"
#include "support/temp_dir.h"

namespace {

constexpr long long WRAP = 1LL << 32;

// The output line on which the last text `what` begins (1 for the first line), 0 when none.
int line_of_last(const std::string& got, const std::string& what) {
    size_t at = got.rfind(what);
    if (at == std::string::npos) return 0;
    int line = 1;
    for (size_t i = 0; i < at; i++)
        line += got[i] == '\n';
    return line;
}

// The integer the last result carries, 0 when there is none.
long long last_result(const std::string& got) {
    size_t at = got.rfind("<Result> ");
    if (at == std::string::npos) return 0;
    std::istringstream in(got.substr(at + 9));
    long long line = 0, v = 0;
    in >> line >> v;
    return v;
}

struct Step {
    const char* send;    // {L}: the line of the pending query; {B}: of the last back-call; {D}: the
                         // stream number; each may be followed by +W or -W (2^32 added or taken)
    const char* expect;  // what the peer reads in answer
    const char* absent;  // what it must not read meanwhile (null: no such check)
    bool sets_d = false;  // the answer's integer becomes {D}
};

std::string filled(const char* text, const std::map<char, long long>& values) {
    std::string s = text, out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '{') {
            out += s[i];
            continue;
        }
        size_t end = s.find('}', i);
        long long v = values.at(s[i + 1]);
        std::string shift = s.substr(i + 2, end - i - 2);
        if (shift == "+W") v += WRAP;
        if (shift == "-W") v -= WRAP;
        out += std::to_string(v);
        i = end;
    }
    return out;
}

// Runs the steps in order on one peer, each waiting for its answer.
void run_steps(PipeInterp& peer, const Step* steps, size_t n, std::map<char, long long>& values) {
    for (size_t i = 0; i < n; i++) {
        const Step& s = steps[i];
        values['B'] = line_of_last(peer.got, "(LocalEval");
        size_t from = peer.got.size();
        peer.send(filled(s.send, values) + "\n");
        // The answer is looked for in what came after the send only (bounded: 400 short reads).
        std::string seen;
        for (int tries = 0; tries < 400; tries++) {
            seen = peer.got.substr(from);
            if (seen.find(s.expect) != std::string::npos) break;
            peer.read_until("\x01", 50);
        }
        EXPECT_NE(seen.find(s.expect), std::string::npos) << i << ": " << s.send << "\n" << seen;
        if (s.absent) {
            EXPECT_EQ(seen.find(s.absent), std::string::npos) << i << ": " << s.send << "\n"
                                                              << seen;
        }
        if (s.sets_d) values['D'] = last_result(peer.got);
    }
}

}  // namespace

TEST(PeerIntegers, NumbersBeyondTheIntRangeNameNothing) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    PipeInterp peer;
    ASSERT_TRUE(peer.open());
    // The peer's relay thread asks the peer back and waits: the query holds one output line.
    peer.send("(define x 40)\n(Remote (GetIid) (+ x 1))\n");
    peer.read_until("(+ x 1)\n");
    std::map<char, long long> values;
    values['L'] = line_of_last(peer.got, "(+ x 1)");
    values['D'] = 0;
    std::string open_log = "(openPrintStd \"" + dir.at("p.log") + "\")";
    const Step steps[] = {
        // Back-calls: a line 2^32 away from the pending one is held by no query.
        {"(LocalEval {L+W} (+ x 2))", "\"local evaluation error\" 2)", " 42</Result>"},
        {"(LocalEval {L-W} (+ x 2))", "\"local evaluation error\" 2)", " 42</Result>"},
        {"(LocalEval 9223372036854775807 (+ x 2))", "\"local evaluation error\" 2)", nullptr},
        // Answers: one 2^32 away is ignored, the query takes the one naming its line.
        {"<Result> {L+W} 666</Result>\n<Result> {L} 41</Result>", "<Result> 2 41</Result>", "666"},
        // A progress report whose id the peer gives beyond the int range is not made.
        {"([Progressive description=\"p\"])", "(LocalEval", nullptr},
        {"<Result> {B} 4294967301</Result>", "\"cannot generate progressive\"", nullptr},
        // Report ids beyond the range name no report: refused here, the peer not asked.
        {"([Stage prog=\"4294967297\" status=\"define\" description=\"w\"])",
         "(\"cannot generate stage\" -1)", "(LocalEval"},
        {"([Stage prog=\"-4294967295\" status=\"set\" message=\"m\"])",
         "(\"cannot execute set stage\" -1)", "(LocalEval"},
        {"([Stage prog=\"99999999999999999999\" status=\"invoke\" stage=\"1\" total-jobs=\"1\"])",
         "(\"cannot execute next stage\" -1)", "(LocalEval"},
        {"([CloseProgressive prog=\"4294967297\"])\n(+ 1 2)", " 3</Result>", "(LocalEval"},
        // A stage number beyond the range is no stage's: the peer is asked for none it has.
        {"([Stage prog=\"7\" status=\"invoke\" stage=\"4294967297\" total-jobs=\"2\"])",
         "stage=\"-1\"", "stage=\"1\""},
        {"<Result> {B} -3</Result>", "(\"cannot execute next stage\" -3)", nullptr},
        // Print streams: a number 2^32 away from an open stream's is no stream.
        {open_log.c_str(), "</Result>", nullptr, true},
        {"([PrintStd d=\"{D+W}\"] \"wrapped\")", "no stream descripter", nullptr},
        {"([closePrintStd d=\"{D+W}\"])", "no stream descripter", nullptr},
        {"([closePrintStd d=\"{D}\"])\n(+ 2 2)", " 4</Result>", "no stream descripter"},
    };
    run_steps(peer, steps, std::size(steps), values);
    EXPECT_GT(values['D'], 0);
    std::ifstream log(dir.at("p.log"));
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "");
    peer.end_input();
    EXPECT_TRUE(wait_closed(peer.id));
}

TEST(PeerIntegers, APeersErrorAnswerReachesTheConsoleWithItsControlsShown) {
    PipeInterp peer;
    ASSERT_TRUE(peer.open());
    vxtest::StdoutText out;
    std::map<char, long long> values;
    const Step steps[] = {
        {"([Progressive description=\"e\"])", "(LocalEval", nullptr},
        {"<Result> {B} ^%E(\"x\" \"y\" 1 \"z\" 0x80040503 \"esc:\x1b[2J\x1b]0;t\x07"
         "1m\")</Result>",
         "\"cannot generate progressive\"", nullptr},
    };
    run_steps(peer, steps, std::size(steps), values);
    // The answer came after the error was printed.
    std::string text = out.text();
    EXPECT_NE(text.find("esc:\\x1b[2J\\x1b]0;t\\x071m"), std::string::npos) << text;
    for (char c : text)
        EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << text;
    EXPECT_TRUE(!text.empty() && text.back() == '\n');
    peer.end_input();
    EXPECT_TRUE(wait_closed(peer.id));
}
