// Character trees with long keys against std::map in the same run: 1,000 keys of 10,000
// characters each (one trie level per character, so ten million levels in all, far more than the
// record cache holds), inserted into a character tree of a record file, each searched for (a
// perfect match), and all walked in ascending order; the same keys as std::u32string in a
// std::map<std::u32string, uint64_t>: inserted, found, iterated reading every key's characters
// (the tree's walk builds every key). The keys share prefixes of
// varied lengths, so the tree branches at every depth. Prints each side's seconds and the ratios.
//
// Knobs (environment): VX_DTREE_KEYS (default 1000), VX_DTREE_LEN (default 10000).
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "app/startup.h"
#include "base/alloc.h"
#include "pdb/dtree64.h"
#include "pdb/freelist64.h"
#include "pdb/l_favt64.h"
#include "pdb/pdb64.h"

namespace {

int knob(const char* name, int def) {
    const char* v = getenv(name);
    return v && atoi(v) > 0 ? atoi(v) : def;
}

double since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct Walk {
    int64_t count = 0;
    uint64_t sum = 0;
};

int visit(uint64_t value, void*, DTREE64_TRACE_WORK* tw) {
    auto* w = static_cast<Walk*>(tw->w);
    w->count++;
    w->sum += value;
    return 0;
}

}  // namespace

int main(int, char** argv) {
    init_runtime(argv[0], 0);
    init_l_favt64();
    freelist64_check_on = false;
    int nkeys = knob("VX_DTREE_KEYS", 1000);
    int len = knob("VX_DTREE_LEN", 10000);

    // Key i: the prefix of key i / 2 up to a random length, then its own random characters.
    std::mt19937 rng(106);
    std::vector<std::u32string> keys(static_cast<size_t>(nkeys));
    for (int i = 0; i < nkeys; i++) {
        std::u32string& k = keys[static_cast<size_t>(i)];
        if (i > 0)
            k = keys[static_cast<size_t>(i / 2)].substr(0, rng() % static_cast<unsigned>(len));
        while (static_cast<int>(k.size()) < len)
            k += static_cast<char32_t>(0x3041 + rng() % 80);
    }
    std::vector<std::vector<L_CHAR>> lkeys;
    for (const std::u32string& k : keys) {
        std::vector<L_CHAR> l(k.begin(), k.end());
        l.push_back(0);
        lkeys.push_back(std::move(l));
    }

    char dir[] = "/tmp/vx_bench_dtree_XXXXXX";
    if (!mkdtemp(dir)) return 1;
    std::string file = std::string(dir) + "/t.pdb";
    PDB64* p = open_filespace64(file.c_str(), O_RDWR | O_CREAT, 0644, -1, 11, nullptr);
    if (!p) return 1;
    FAVT64_ROOT* root = alloc64_dtree(p, 258);
    favt64_lock(root);

    // Values are record positions (walks read the record a single value names).
    std::vector<uint64_t> values;
    for (int i = 0; i < nkeys; i++) {
        PN64_HEADER h{};
        h.type = 514;
        h.size = 24;
        values.push_back(static_cast<uint64_t>(alloc_filespace64(p, &h)));
    }

    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < nkeys; i++) {
        int e = 0;
        if (insert_dtree64(&e, root, lkeys[static_cast<size_t>(i)].data(), 0,
                           values[static_cast<size_t>(i)]) != 0) {
            fprintf(stderr, "bench_dtree: insert %d failed\n", i);
            return 1;
        }
    }
    double ins = since(t0);
    t0 = std::chrono::steady_clock::now();
    int found = 0;
    for (int i = 0; i < nkeys; i++) {
        int e = 0;
        found += search_dtree64(&e, nullptr, root, lkeys[static_cast<size_t>(i)].data(), 1) ==
                 values[static_cast<size_t>(i)];
    }
    double search = since(t0);
    t0 = std::chrono::steady_clock::now();
    Walk w;
    int e = 0;
    int r = dtree64_trace_from_small(&e, root, visit, &w);
    double walk = since(t0);
    favt64_unlock(root);
    close_filespace64(p);
    std::string rm = std::string("rm -rf ") + dir;
    if (system(rm.c_str()) != 0) return 1;
    if (found != nkeys || r != 0 || w.count != nkeys) {
        fprintf(stderr, "bench_dtree: found %d of %d, walk %d gave %lld\n", found, nkeys, r,
                static_cast<long long>(w.count));
        return 1;
    }

    std::map<std::u32string, uint64_t> m;
    t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < nkeys; i++)
        m.emplace(keys[static_cast<size_t>(i)], values[static_cast<size_t>(i)]);
    double mins = since(t0);
    t0 = std::chrono::steady_clock::now();
    int mfound = 0;
    for (int i = 0; i < nkeys; i++) {
        auto it = m.find(keys[static_cast<size_t>(i)]);
        mfound += it != m.end() && it->second == values[static_cast<size_t>(i)];
    }
    double msearch = since(t0);
    t0 = std::chrono::steady_clock::now();
    uint64_t msum = 0, mchars = 0;
    int64_t mcount = 0;
    for (const auto& kv : m) {
        // The tree's walk hands over each whole key: the map's walk reads each key too.
        for (char32_t c : kv.first)
            mchars += c;
        msum += kv.second;
        mcount++;
    }
    double mwalk = since(t0);
    if (mfound != nkeys || msum != w.sum || mcount != nkeys || mchars == 0) return 1;

    printf("character tree, %d keys of %d characters: insert %.3f s, search %.3f s, walk %.3f s\n",
           nkeys, len, ins, search, walk);
    printf("std::map<std::u32string>: insert %.4f s, search %.4f s, walk %.6f s\n", mins, msearch,
           mwalk);
    printf("ratio tree / map: insert %.0fx, search %.0fx, walk %.0fx\n", ins / mins,
           search / msearch, walk / mwalk);
    return 0;
}
