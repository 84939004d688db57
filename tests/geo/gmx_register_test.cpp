// The application's registrations: every geo-matrix built-in bound where and how the program
// needs it, the slot and plot constants, the version records, Exit, and the collector hooks'
// lock order.
#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/version.h"
#include "geo/gmx_create.h"
#include "gmx_util.h"
#include "lisp/collect.h"
#include "lisp/gchooks.h"
#include "matrix/matrix_sexp.h"
#include "matrixops/mxscript.h"
#include "server/runtime.h"

using namespace gmxtest;

namespace {

struct Row {
    const char* name;
    int env;  // 0 env0, 1 env1, 2 E1, 3 E2
    int order, min, max;
    bool later;  // answers "not available" until its module joins
};

// The registration table: bound in, order, form lengths (head included; -1 no upper limit).
const Row kRows[] = {
    {"gmxGetPoint", 0, 1, 3, 3, false},
    {"gmxGetPoint", 1, 1, 3, 3, false},
    {"gmxCreate", 1, 0, 1, -1, false},
    {"gmxClose", 0, 1, 1, 1, false},
    {"gmxPNMStatus", 1, 1, 2, 2, false},
    {"gmxImportPNM", 1, 1, 6, 6, false},
    {"gmxImportUTM", 1, 1, 11, 11, false},
    {"gmxExportPNM", 1, 1, 4, 8, false},
    {"gmxScan", 1, 1, 3, 3, false},
    {"gmxStatus", 0, 1, 1, 2, false},
    {"gmxStatus", 1, 1, 1, 2, false},
    {"gmxCopy", 1, 1, 2, -1, false},
    {"gmxCache", 0, 1, 1, 1, false},
    {"gmxImportDTED1", 1, 1, 4, 4, false},
    {"gmxPgPlotInsert", 1, 0, 3, 3, false},
    {"gmxPgPlotField", 1, 1, 1, -1, false},
    {"gmxPgDisplay", 0, 1, 2, 2, false},
    {"Exit", 1, 1, 1, 1, false},
    {"Get", 0, 1, 2, 3, false},
    {"gmxMatrixParam", 2, 0, 1, -1, false},
    {"gmxPriority", 3, 1, 1, 1, false},
    {"gmxMatrixDimDivide", 2, 1, 1, 1, false},
    {"gmxMatrixBlockSize", 2, 1, 1, 1, false},
    {"gmxMatrixPixelSize", 2, 1, 1, 1, false},
    {"gmxChannelInfo", 2, 1, 1, 2, false},
    {"gmxPhase", 2, 0, 1, -1, false},
    {"mxPgPlotDiff", 1, 1, 2, 2, false},
    {"mxPgPlotSort", 1, 1, 2, 2, false},
    {"mxPgPlotAdd", 1, 1, 3, 3, false},
    {"mxPgPlotInitialize", 1, 1, 1, 1, false},
};

QVISP_ENV* env_of(int k) {
    switch (k) {
        case 0:
            return vxlisp_top_env0;
        case 1:
            return vxlisp_top_env1;
        case 2:
            return gmx_create_env();
        default:
            return gmx_param_env();
    }
}

}  // namespace

TEST_F(GmxTest, EveryRowIsBoundWithItsOrderLengthsAndArgumentEnvironment) {
    for (const Row& r : kRows) {
        SCOPED_TRACE(std::string(r.name) + " in " + std::to_string(r.env));
        QV_SEXP* f = get_env_symbol(env_of(r.env), L(r.name), 0);
        ASSERT_EQ(get_type(f), QVT_FUNC);
        EXPECT_EQ(f->func.order, r.order);
        EXPECT_EQ(f->func.min, r.min);
        EXPECT_EQ(f->func.max, r.max);
        EXPECT_EQ(f->func.prim == qv_not_available, r.later);
    }
    // Argument environments: the body forms exist only inside gmxCreate and gmxMatrixParam.
    EXPECT_EQ(get_env_symbol(vxlisp_top_env1, L("gmxCreate"), 0)->func.args_env, gmx_create_env());
    EXPECT_EQ(get_env_symbol(gmx_create_env(), L("gmxMatrixParam"), 0)->func.args_env,
              gmx_param_env());
    EXPECT_EQ(get_env_parent(gmx_create_env()), nullptr);
    EXPECT_EQ(get_env_parent(gmx_param_env()), nullptr);
    EXPECT_EQ(get_type(get_env_symbol(vxlisp_top_env1, L("gmxPhase"), -1)), QVT_NIL);
    EXPECT_EQ(get_type(get_env_symbol(gmx_create_env(), L("gmxPriority"), 0)), QVT_NIL);
    // gmxPgPlotInsert names its matrix by the "id" attribute before it evaluates anything.
    EXPECT_EQ(err(run("(gmxPgPlotInsert (car 1) 2)")),
              "80040503 gmxPgPlotInsert (\"invalid parameter in gmxPgPlotInsert\" \"matrix id\")");
    // The geo Get replaced the general one.
    EXPECT_EQ(err(run("(Get 3)")), "80030806 Get(vxmx) \"filename\"");
}

TEST_F(GmxTest, ConstantsVersionsAndExit) {
    EXPECT_EQ(show(run("(list MI_DEF_TP MI_FETCH_1_TP MI_FETCH_1_BT MI_EDIT_2_MD MI_SAVE_BT)")),
              "(0 3 5 13 23)");
    // Only env0 binds them, so peers below env0 see them too.
    EXPECT_EQ(show(run0("(list MI_VISU_2_BT)")), "(20)");
    EXPECT_EQ(show(run("(list mxPgPointImg mxPgSTRING_INHERIT mxPgINT_MIN mxPgTYPE_INT "
                       "mxPgRGBA mxPgFDIT_DDMMSS)")),
              "(1 33 52 48 64 4)");
    // The three records in registration order (newest first in the list).
    VERSION* v = version_list;
    std::vector<std::string> layers;
    for (; v && layers.size() < 3; v = v->next)
        layers.push_back(v->layer);
    EXPECT_EQ(layers, (std::vector<std::string>{"AP.code", "VX.code", "VX.proto"}));
    EXPECT_STREQ(get_version("AP.code")->comment, "VX r64/cr agent ");
    EXPECT_STREQ(get_setagent_msg(), "vxmx/ver.B.b17.02(VRESK)");
    EXPECT_EQ(err(run("(Exit 1)")).substr(0, 8), "80030502");
}

// The collector hooks take the queue's high lock, then the matrix store's, then the language's,
// and release them all: probes on either side of the matrix slot see it free before and taken
// after. Probe threads are detached, so a probe never waits past its bound.
namespace {

std::atomic<bool> probing{false};
std::vector<std::string> seen;
std::future<void> pending;  // a count still waiting for the lock

// Starts a thread that takes the matrix store's collector lock (through the holder count).
std::future<void> count_in_thread() {
    auto p = std::make_shared<std::promise<void>>();
    std::thread([p] {
        matrix_sexp_count();
        p->set_value();
    }).detach();
    return p->get_future();
}

void probe(const char* where, int ms) {
    if (!probing) return;
    auto f = count_in_thread();
    bool free = f.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
    seen.push_back(std::string(where) + (free ? ":free" : ":held"));
    if (!free) pending = std::move(f);
}

}  // namespace

TEST(GmxHooks, TheMatrixLockSitsBetweenTheQueueAndTheLanguageLocks) {
    start();
    ASSERT_EQ(gc_hook_lock(
                  GC_LOCK_MATRIX - 1, [] { probe("before", 10000); },
                  [] {
                      if (probing) seen.push_back("before:unlock");
                  }),
              0);
    ASSERT_EQ(gc_hook_lock(
                  GC_LOCK_MATRIX + 1, [] { probe("after", 100); },
                  [] {
                      if (probing) seen.push_back("after:unlock");
                  }),
              0);
    {
        // No collection of the collector task runs meanwhile.
        TaskLockGuard g(gc_task_lock);
        probing = true;
        gc_lock();
        gc_unlock();
        probing = false;
    }
    // Released by gc_unlock: the waiting count finishes (bounded).
    ASSERT_TRUE(pending.valid());
    EXPECT_EQ(pending.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(seen, (std::vector<std::string>{"before:free", "after:held", "after:unlock",
                                              "before:unlock"}));
}
