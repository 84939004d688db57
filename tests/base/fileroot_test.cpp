// The per-user file root: as root, other users' files are changed by a helper running with the
// owner's rights only; replies reach their own requests; a helper that dies or answers nonsense
// fails its waiters without harming the program; idle helpers are closed and reaped; the helper
// answers malformed requests with errors. As any other user the file root stays inactive.
#include "base/fileroot.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/qvufr_server.h"
#include "base/task.h"
#include "base/tick.h"
#include "support/child.h"
#include "support/full_pool.h"
#include "support/sync_util.h"

namespace {

constexpr int kNobody = 65534;
constexpr int kFakeUid = 4000001;  // owner of the scripted helpers below; never a real process

int rm_entry(const char* p, const struct stat*, int type, FTW*) {
    return type == FTW_DP ? rmdir(p) : unlink(p);
}

std::string get_file(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct stat stat_of(const std::string& p) {
    struct stat sb = {};
    stat(p.c_str(), &sb);
    return sb;
}

// The live helper of uid: its process id, or -1.
pid_t helper_pid(int uid) {
    TaskLockGuard g(ufr_lock);
    for (UFR_BLK* b = ufr_blk_list; b; b = b->next)
        if (b->send >= 0 && b->uid == uid) return b->pid;
    return -1;
}

bool helper_alive(int uid) {
    TaskLockGuard g(ufr_lock);
    for (UFR_BLK* b = ufr_blk_list; b; b = b->next)
        if (b->send >= 0 && b->uid == uid) return true;
    return false;
}

// One line of /proc/<pid>/status ("Uid:", "Gid:", "Groups:"), without its name.
std::string status_line(pid_t pid, const std::string& name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, name.size(), name) == 0) return line.substr(name.size());
    return "";
}

bool process_gone(pid_t pid) {
    return wait_until([&] { return kill(pid, 0) != 0 && errno == ESRCH; }, 20000);
}

// Closes every helper that nothing uses any more.
void close_idle_helpers() {
    ufr_idle_pass(get_qvtime() + 100000);
}

// As root, a scratch directory owned by user 65534 in /tmp.
class FileRoot : public ::testing::Test {
  protected:
    std::string dir;
    gid_t nobody_gid = 0;

    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "the file root works only when running as root";
        ASSERT_EQ(ufr_dispatch, &ufr_tbl_sv);
        passwd* pw = getpwuid(kNobody);
        if (!pw) GTEST_SKIP() << "no user 65534 on this machine";
        nobody_gid = pw->pw_gid;
        ufr_set_program(VX_BINARY_DIR "/qvufr");
        struct stat prog = stat_of(VX_BINARY_DIR "/qvufr");
        if (!(prog.st_mode & S_IXOTH)) GTEST_SKIP() << "qvufr cannot be run by user 65534";
        char tmpl[] = "/tmp/vx-fileroot-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
        ASSERT_EQ(chown(dir.c_str(), kNobody, nobody_gid), 0);
    }

    void TearDown() override {
        if (dir.empty()) return;
        close_idle_helpers();
        nftw(dir.c_str(), rm_entry, 16, FTW_DEPTH | FTW_PHYS);
    }

    std::string at(const std::string& name) const { return dir + "/" + name; }

    // A file of user 65534 holding data.
    void nobody_file(const std::string& p, const std::string& data, mode_t mode = 0644) {
        int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        close(fd);
        ASSERT_EQ(chown(p.c_str(), kNobody, nobody_gid), 0);
        ASSERT_EQ(chmod(p.c_str(), mode), 0);
    }
};

}  // namespace

TEST_F(FileRoot, AnotherUsersFilesAreChangedWithTheOwnersRightsOnly) {
    std::string f = at("f");
    nobody_file(f, "old contents");

    // Reading is local; writing goes to the owner's helper.
    int rfd = u_open(f.c_str(), O_RDONLY, 0);
    ASSERT_GE(rfd, 0);
    EXPECT_LE(rfd, UFR_FD_MASK);
    EXPECT_EQ(u_close(rfd), 0);
    int fd = u_open(f.c_str(), O_RDWR | O_TRUNC, 0);
    ASSERT_GT(fd, UFR_FD_MASK) << strerror(errno);
    ASSERT_EQ(u_write(fd, "abc", 3), 3);
    U_CK_BUF ck;
    ASSERT_EQ(u_checksum(fd, &ck), 0);
    EXPECT_EQ(ck.lev_mask, 3);
    EXPECT_EQ(ck.w_checksum[0], 294u);  // kept here
    EXPECT_EQ(ck.w_checksum[1], 294u);  // kept by the helper that wrote
    EXPECT_EQ(u_lseek64(fd, 0, SEEK_END), 3);
    EXPECT_EQ(u_lseek(fd, 1, SEEK_SET), 1);
    char buf[8] = {};
    EXPECT_EQ(u_read(fd, buf, sizeof buf), 2);
    EXPECT_STREQ(buf, "bc");
    EXPECT_EQ(u_close(fd), 0);
    EXPECT_EQ(get_file(f), "abc");
    EXPECT_EQ(stat_of(f).st_uid, static_cast<uid_t>(kNobody));

    // The helper is the owner through and through: user, group and groups, real and saved.
    pid_t pid = helper_pid(kNobody);
    ASSERT_GT(pid, 0);
    std::string id = std::to_string(kNobody);
    EXPECT_EQ(status_line(pid, "Uid:"), "\t" + id + "\t" + id + "\t" + id + "\t" + id);
    std::string gid = std::to_string(nobody_gid);
    EXPECT_EQ(status_line(pid, "Gid:"), "\t" + gid + "\t" + gid + "\t" + gid + "\t" + gid);
    // It holds its two pipes and nothing else of the program's.
    int pipes = 0, others = 0;
    std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* d = opendir(fd_dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.' || atoi(e->d_name) < 3) continue;
            char target[256] = {};
            readlink((fd_dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
            (strncmp(target, "pipe:", 5) == 0 ? pipes : others)++;
        }
        closedir(d);
    }
    EXPECT_EQ(pipes, 2);
    EXPECT_EQ(others, 0);
    std::istringstream groups(status_line(pid, "Groups:"));
    for (std::string g; groups >> g;)
        EXPECT_NE(g, "0") << "root's group stays with the helper";

    // New files, directories and renames get the owner, the owner's group and the asked mode.
    std::string n = at("new");
    fd = u_open(n.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0640);
    ASSERT_GT(fd, UFR_FD_MASK);
    EXPECT_EQ(u_close(fd), 0);
    EXPECT_EQ(stat_of(n).st_uid, static_cast<uid_t>(kNobody));
    EXPECT_EQ(stat_of(n).st_gid, nobody_gid);
    EXPECT_EQ(stat_of(n).st_mode & 07777, 0640u);
    ASSERT_EQ(u_mkdir((at("sub") + "/").c_str(), 0750), 0);
    EXPECT_EQ(stat_of(at("sub")).st_uid, static_cast<uid_t>(kNobody));
    EXPECT_EQ(stat_of(at("sub")).st_mode & 07777, 0750u);
    ASSERT_EQ(u_rename(n.c_str(), (at("sub") + "/moved").c_str()), 0);
    EXPECT_EQ(u_unlink((at("sub") + "/moved").c_str()), 0);
    EXPECT_EQ(u_rmdir(at("sub").c_str()), 0);
    EXPECT_NE(access(at("sub").c_str(), F_OK), 0);

    // What the owner may not do fails, although root could: nothing runs with root's rights.
    std::string ro = at("readonly");
    nobody_file(ro, "keep", 0444);
    errno = 0;
    EXPECT_EQ(u_open(ro.c_str(), O_WRONLY, 0), -1);
    EXPECT_EQ(errno, EACCES);
    errno = 0;
    EXPECT_EQ(u_open(ro.c_str(), O_RDONLY | O_TRUNC, 0), -1);  // truncation is a change too
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(get_file(ro), "keep");
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    errno = 0;
    EXPECT_EQ(u_unlink(f.c_str()), -1);
    EXPECT_EQ(errno, EACCES);
    errno = 0;
    EXPECT_EQ(u_mkdir(at("denied").c_str(), 0755), -1);
    EXPECT_EQ(errno, EACCES);
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);

    // A file-root descriptor that was never handed out is refused.
    errno = 0;
    EXPECT_EQ(u_write((UFR_SEND_LIMIT - 1) << 16 | 3, "x", 1), -1);
    EXPECT_EQ(errno, EBADF);
    // Large writes and reads go in pieces, with running sums on both sides.
    std::string big(3 * UFR_MAX_DATA / 2, 'z');
    fd = u_open(f.c_str(), O_RDWR | O_TRUNC, 0);
    ASSERT_GT(fd, UFR_FD_MASK);
    int w1 = u_write(fd, big.data(), static_cast<int>(big.size()));
    ASSERT_EQ(w1, UFR_MAX_DATA);
    ASSERT_EQ(u_write(fd, big.data() + w1, static_cast<int>(big.size()) - w1),
              static_cast<int>(big.size()) - w1);
    ASSERT_EQ(u_checksum(fd, &ck), 0);
    EXPECT_EQ(ck.w_checksum[0], ck.w_checksum[1]);
    EXPECT_EQ(ck.w_checksum[1], static_cast<uint32_t>(big.size()) * 'z');
    EXPECT_EQ(u_close(fd), 0);
    EXPECT_EQ(stat_of(f).st_size, static_cast<off_t>(big.size()));
}

TEST_F(FileRoot, TruncationAndAdvisoryLocksReachTheHelper) {
    std::string f = at("lk");
    nobody_file(f, "0123456789");
    int fd = u_open64(f.c_str(), O_RDWR, 0);
    ASSERT_GT(fd, UFR_FD_MASK) << strerror(errno);
    EXPECT_EQ(u_ftruncate(fd, 3), 0);
    EXPECT_EQ(get_file(f), "012");
    // The helper's descriptor holds the lock: a local opener of the file is refused.
    ASSERT_EQ(u_flock(fd, LOCK_EX | LOCK_NB), 0);
    int local = open(f.c_str(), O_RDONLY);
    ASSERT_GE(local, 0);
    EXPECT_EQ(flock(local, LOCK_EX | LOCK_NB), -1);
    EXPECT_EQ(u_flock(fd, LOCK_UN), 0);
    EXPECT_EQ(flock(local, LOCK_EX | LOCK_NB), 0);
    close(local);
    EXPECT_EQ(u_close(fd), 0);
}

TEST_F(FileRoot, ConcurrentWritersThroughOneHelperGetTheirOwnReplies) {
    constexpr int kTasks = 4, kWrites = 100;
    std::vector<std::string> paths;
    for (int t = 0; t < kTasks; t++) {
        paths.push_back(at("w" + std::to_string(t)));
        nobody_file(paths.back(), "");
    }
    std::atomic<int> failures{0};
    Counter done;
    struct Job {
        const std::string* path;
        int t;
        std::atomic<int>* failures;
        Counter* done;
    };
    std::vector<Job> jobs;
    for (int t = 0; t < kTasks; t++)
        jobs.push_back({&paths[t], t, &failures, &done});
    for (Job& j : jobs) {
        create_task(
            [](intptr_t data) {
                Job* j = reinterpret_cast<Job*>(data);
                int fd = u_open(j->path->c_str(), O_WRONLY | O_APPEND, 0);
                if (fd <= UFR_FD_MASK) j->failures->fetch_add(1);
                std::string line = "task " + std::to_string(j->t) + "\n";
                for (int i = 0; i < kWrites; i++)
                    if (u_write(fd, line.data(), static_cast<int>(line.size())) !=
                        static_cast<int>(line.size()))
                        j->failures->fetch_add(1);
                if (u_close(fd) != 0) j->failures->fetch_add(1);
                j->done->add();
            },
            &j, 2);
    }
    ASSERT_TRUE(done.wait_for(kTasks, 60000));
    EXPECT_EQ(failures.load(), 0);
    for (int t = 0; t < kTasks; t++) {
        std::string want;
        for (int i = 0; i < kWrites; i++)
            want += "task " + std::to_string(t) + "\n";
        EXPECT_EQ(get_file(paths[t]), want);
    }
}

TEST_F(FileRoot, AKilledHelperFailsItsDescriptorsAndIsReplaced) {
    std::string f = at("f");
    nobody_file(f, "");
    int fd = u_open(f.c_str(), O_WRONLY, 0);
    ASSERT_GT(fd, UFR_FD_MASK);
    pid_t pid = helper_pid(kNobody);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    EXPECT_EQ(u_write(fd, "x", 1), -1);
    EXPECT_FALSE(helper_alive(kNobody));
    EXPECT_TRUE(process_gone(pid));  // reaped

    // The next request starts a new helper; the old descriptor stays refused meanwhile, even
    // though the new helper may have the same pipe numbers and descriptor numbers.
    int fd2 = u_open(f.c_str(), O_WRONLY, 0);
    ASSERT_GT(fd2, UFR_FD_MASK);
    EXPECT_NE(helper_pid(kNobody), pid);
    EXPECT_NE(fd2, fd);
    errno = 0;
    EXPECT_EQ(u_write(fd, "old", 3), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(u_write(fd2, "new", 3), 3);
    EXPECT_EQ(u_close(fd), -1);
    EXPECT_EQ(u_close(fd2), 0);
    EXPECT_EQ(get_file(f), "new");
}

TEST_F(FileRoot, IdleHelpersAreClosedAndAllCloseAtExit) {
    close_idle_helpers();
    std::string f = at("f");
    nobody_file(f, "");
    int fd = u_open(f.c_str(), O_WRONLY, 0);
    ASSERT_GT(fd, UFR_FD_MASK);
    pid_t pid = helper_pid(kNobody);
    uint32_t now = get_qvtime();

    // Open descriptors keep a helper.
    ufr_idle_pass(now + 10);
    EXPECT_EQ(helper_pid(kNobody), pid);
    ASSERT_EQ(u_close(fd), 0);
    // Without them it goes at the next pass, even when it was just used...
    ufr_idle_pass(now + 10);
    EXPECT_FALSE(helper_alive(kNobody));
    EXPECT_TRUE(process_gone(pid));

    // ... unless it is over an hour old and was used within the last half hour.
    ASSERT_EQ(u_close(u_open(f.c_str(), O_WRONLY, 0)), 0);
    pid = helper_pid(kNobody);
    {
        TaskLockGuard g(ufr_lock);
        for (UFR_BLK* b = ufr_blk_list; b; b = b->next)
            if (b->pid == pid) b->create_time -= 4000;
    }
    ufr_idle_pass(now + 1799);
    EXPECT_EQ(helper_pid(kNobody), pid);
    ufr_idle_pass(now + 1800 + 1800);
    EXPECT_FALSE(helper_alive(kNobody));
    EXPECT_TRUE(process_gone(pid));

    // Closing all: every helper's pipes are closed, so it ends; no new helper may start.
    fd = u_open(f.c_str(), O_WRONLY, 0);
    ASSERT_GT(fd, UFR_FD_MASK);
    pid = helper_pid(kNobody);
    ufr_close_all();
    errno = 0;
    EXPECT_EQ(u_open(f.c_str(), O_WRONLY, 0), -1);
    EXPECT_EQ(errno, ESHUTDOWN);
    EXPECT_EQ(u_write(fd, "x", 1), -1);
    EXPECT_TRUE(wait_until([&] {
        std::string s = status_line(pid, "State:");
        return s.empty() || s.find('Z') != std::string::npos;
    }));
    // ... and is reaped by the closing itself: at exit no zombie is left to the adopting process.
    EXPECT_TRUE(process_gone(pid));
    EXPECT_EQ(u_close(fd), -1);
    ufr_reopen();
    close_idle_helpers();
    EXPECT_TRUE(process_gone(pid));
    fd = u_open(f.c_str(), O_WRONLY, 0);
    EXPECT_GT(fd, UFR_FD_MASK);
    EXPECT_EQ(u_close(fd), 0);
}

namespace {

// A scripted helper on two pipes, driven by the test: it reads requests and answers what and
// when the test says. Every read is bounded.
struct FakeHelper {
    int req[2] = {-1, -1};  // the program writes req[1], the helper reads req[0]
    int rep[2] = {-1, -1};  // the helper writes rep[1], the program reads rep[0]

    FakeHelper() {
        EXPECT_EQ(pipe2(req, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(rep, O_CLOEXEC), 0);
    }
    ~FakeHelper() { hang_up(); }
    // The helper's own ends closed: the program sees its helper die.
    void hang_up() {
        for (int* p : {&req[0], &rep[1]}) {
            if (*p >= 0) close(*p);
            *p = -1;
        }
    }
    bool read_n(void* p, size_t n) {
        char* c = static_cast<char*>(p);
        while (n > 0) {
            pollfd pf = {req[0], POLLIN, 0};
            if (poll(&pf, 1, 10000) <= 0) return false;
            ssize_t k = read(req[0], c, n);
            if (k <= 0) return false;
            c += k;
            n -= static_cast<size_t>(k);
        }
        return true;
    }
    // One request of path arguments: its seq and its first path.
    bool request(uint32_t* seq, std::string* path) {
        int32_t head[3], type, len;
        if (!read_n(head, sizeof head)) return false;
        *seq = static_cast<uint32_t>(head[0]);
        for (int i = 0; i < head[2]; i++) {
            if (!read_n(&type, 4) || type != UFR_T_DATA || !read_n(&len, 4)) return false;
            std::string s(static_cast<size_t>(len), 0);
            if (!read_n(s.data(), s.size())) return false;
            if (i == 0) *path = s.c_str();
        }
        return true;
    }
    void reply(uint32_t seq, int32_t code, int32_t r) {
        unsigned char b[20] = {};
        memcpy(b, &seq, 4);
        memcpy(b + 4, &code, 4);
        memcpy(b + 8, &r, 4);
        ASSERT_EQ(write(rep[1], b, sizeof b), 20);
    }
    // Starts as the program's helper of uid.
    void adopt(int uid) {
        reply(0, 0, 0);
        ASSERT_EQ(ufr_adopt_blk(uid, req[1], rep[0]), 0);
        req[1] = rep[0] = -1;  // the block owns them now
    }
};

UFR_ERR unlink_request(const char* path) {
    UFR_ARGS a;
    a.d_char_ptr = {UFR_T_DATA, static_cast<int32_t>(strlen(path) + 1), path};
    UFR_REQ r = {};
    r.uid = kFakeUid;
    r.ufr_code = UFR_OP_UNLINK;
    r.argc = 1;
    r.argv = &a;
    return __ufr_call(&r);
}

}  // namespace

TEST(FileRootReplies, RepliesReachTheirOwnRequestsAndNonsenseKillsOnlyTheHelper) {
    if (!ufr_dispatch) GTEST_SKIP() << "the file root works only when running as root";
    FakeHelper h;
    h.adopt(kFakeUid);
    UFR_ERR ea = {}, eb = {};
    std::atomic<int> finished{0};
    std::thread ta([&] {
        ea = unlink_request("a");
        finished++;
    });
    uint32_t seq_a, seq_b;
    std::string pa, pb;
    ASSERT_TRUE(h.request(&seq_a, &pa));
    std::thread tb([&] {
        eb = unlink_request("b");
        finished++;
    });
    bool got_b = h.request(&seq_b, &pb);
    if (got_b) {
        EXPECT_EQ(pa, "a");
        EXPECT_EQ(pb, "b");
        EXPECT_NE(seq_a, seq_b);
        // The later request is answered first.
        h.reply(seq_b, UFR_OK, 0);
        h.reply(seq_a, UFR_E_ARG, ENOENT);
    }
    if (!wait_until([&] { return finished.load() == 2; }, 20000)) h.hang_up();
    ta.join();
    tb.join();
    ASSERT_TRUE(got_b);
    EXPECT_EQ(eb.ufr_code, UFR_OK);
    EXPECT_EQ(ea.ufr_code, UFR_E_ARG);
    EXPECT_EQ(ea.r.sys_code, ENOENT);

    // A reply to no request marks the helper dead; the waiter is answered, nothing else breaks.
    UFR_ERR ec = {};
    std::thread tc([&] { ec = unlink_request("c"); });
    uint32_t seq_c;
    std::string pc;
    bool got_c = h.request(&seq_c, &pc);
    if (got_c) h.reply(seq_c + 1000, UFR_OK, 0);
    if (!got_c) h.hang_up();
    tc.join();
    EXPECT_EQ(ec.ufr_code, UFR_E_DEAD);
    EXPECT_FALSE(helper_alive(kFakeUid));
    h.hang_up();
    close_idle_helpers();

    // A helper that goes away while a request waits answers it with the same code.
    FakeHelper h2;
    h2.adopt(kFakeUid);
    UFR_ERR ed = {};
    std::thread td([&] { ed = unlink_request("d"); });
    uint32_t seq_d;
    std::string pd;
    EXPECT_TRUE(h2.request(&seq_d, &pd));
    h2.hang_up();
    td.join();
    EXPECT_EQ(ed.ufr_code, UFR_E_DEAD);
    EXPECT_FALSE(helper_alive(kFakeUid));
    close_idle_helpers();
}

TEST(FileRootDispatcher, BadRequestsAreRefusedWithTheirCodes) {
    UFR_REQ r = {};
    EXPECT_EQ(__ufr_call(&r).ufr_code, UFR_E_NOARG);
    UFR_ARGS a[2];
    a[0].d_char_ptr = {UFR_T_DATA, -1, "x"};
    r.argc = 1;
    r.argv = a;
    UFR_ERR e = __ufr_call(&r);
    EXPECT_EQ(e.ufr_code, UFR_E_ARG);
    EXPECT_EQ(e.r.sys_code, EINVAL);
    a[0].d_int64 = {UFR_T_INT64, 5};
    EXPECT_EQ(__ufr_call(&r).ufr_code, UFR_E_DEAD);
    a[0].d_int = {UFR_T_INT, (UFR_SEND_LIMIT - 1) << 16 | 5};  // no helper has this pipe
    a[1].d_rep_char_ptr = {UFR_T_REPLY, 4, nullptr};
    r.argc = 2;
    e = __ufr_call(&r);
    EXPECT_EQ(e.ufr_code, UFR_E_ARG);
    EXPECT_EQ(e.r.sys_code, EINVAL);  // a reply buffer without memory
    char buf[4];
    a[1].d_rep_char_ptr = {UFR_T_REPLY, 4, buf};
    e = __ufr_call(&r);
    EXPECT_EQ(e.ufr_code, UFR_E_ARG);
    EXPECT_EQ(e.r.sys_code, EBADF);

    // A helper is never started for root or for no user.
    a[0].d_char_ptr = {UFR_T_DATA, 2, "x"};
    r.argc = 1;
    r.uid = 0;
    e = __ufr_call(&r);
    EXPECT_EQ(e.ufr_code, UFR_E_CLOSED);
    EXPECT_EQ(e.r.sys_code, EPERM);

    // The owner of a path, or of its directory when the path does not exist.
    int err = 0, uid = -1;
    EXPECT_EQ(check_own(&err, &uid, "/"), 0);
    EXPECT_EQ(uid, 0);
    uid = -1;
    EXPECT_EQ(check_own(&err, &uid, "/vx-no-such-file"), 0);
    EXPECT_EQ(uid, 0);
    EXPECT_EQ(check_own(&err, &uid, "/vx-no-such-dir/file"), -1);
    EXPECT_EQ(check_own(&err, &uid, "/etc/passwd/x"), -2);
    EXPECT_EQ(err, ENOTDIR);

    // stat on a task of its own.
    U_STAT st = {};
    EXPECT_EQ(call_u_stat("/", &st), 0);
    EXPECT_EQ(st.us_mode & S_IFMT, static_cast<uint32_t>(S_IFDIR));
    errno = 0;
    EXPECT_EQ(call_u_stat("/vx-no-such-file", &st), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(FileRootStat, WithoutAThreadItFailsWithEagain) {
    struct Call {
        U_STAT st = {};
        int r = 0, err = 0;
        std::atomic<bool> done{false};
    };
    FullPool pool;
    ASSERT_GE(pool.held(), 1);
    // A task of an earlier test may end and give its thread back between the filling and the
    // stat, which then rightly succeeds: the pool is filled again and the stat asked again.
    for (int attempt = 0; attempt < 50; attempt++) {
        pool.top_up();
        Call* c = new Call;  // left to the caller should it never come back
        std::thread t([c] {
            c->r = call_u_stat("/", &c->st);
            c->err = errno;
            c->done = true;
        });
        if (!wait_until([c] { return c->done.load(); }, 20000)) {
            t.detach();
            FAIL() << "the stat waits for a task that never ran";
        }
        t.join();
        int r = c->r, err = c->err;
        delete c;
        if (r == 0) continue;
        EXPECT_EQ(r, -1);
        EXPECT_EQ(err, EAGAIN);
        return;
    }
    FAIL() << "a thread was always free";
}

namespace {

// The helper's server on a thread, spoken to in raw bytes.
struct ServerRun {
    int req[2], rep[2];
    std::thread th;
    std::atomic<int> rc{99};

    ServerRun() {
        EXPECT_EQ(pipe2(req, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(rep, O_CLOEXEC), 0);
        th = std::thread([this] {
            rc = qvufr_serve(req[0], rep[1]);
            close(rep[1]);
        });
    }
    ~ServerRun() {
        if (req[1] >= 0) close(req[1]);
        th.join();
        close(req[0]);
        close(rep[0]);
    }
    void end() {
        close(req[1]);
        req[1] = -1;
    }
    void send(const std::vector<unsigned char>& b) {
        ASSERT_EQ(ufr_do(ufr_write_fn, req[1], const_cast<unsigned char*>(b.data()),
                         static_cast<int>(b.size())),
                  static_cast<int>(b.size()));
    }
    // One reply: false at the pipe's end or after 10 seconds.
    bool reply(uint32_t* seq, UFR_ERR* e, std::string* buf) {
        pollfd pf = {rep[0], POLLIN, 0};
        if (poll(&pf, 1, 10000) <= 0) return false;
        unsigned char h[20];
        if (ufr_do(ufr_read_fn, rep[0], h, 20) != 20) return false;
        int32_t count;
        memcpy(seq, h, 4);
        memcpy(&e->ufr_code, h + 4, 4);
        memcpy(&e->r, h + 8, 8);
        memcpy(&count, h + 16, 4);
        buf->clear();
        for (int i = 0; i < count; i++) {
            int32_t il[2];
            if (ufr_do(ufr_read_fn, rep[0], il, 8) != 8 || il[0] != 1) return false;
            buf->resize(static_cast<size_t>(il[1]));
            if (il[1] > 0 && ufr_do(ufr_read_fn, rep[0], buf->data(), il[1]) != il[1]) return false;
        }
        return true;
    }
    // Sends a request and expects a failure answer with err.
    void expect_error(const std::vector<unsigned char>& b, int err, const char* what) {
        send(b);
        uint32_t seq;
        UFR_ERR e;
        std::string buf;
        ASSERT_TRUE(reply(&seq, &e, &buf)) << what;
        EXPECT_EQ(e.ufr_code, UFR_E_ARG) << what;
        EXPECT_EQ(e.r.sys_code, err) << what;
    }
};

// Request builder.
struct Req {
    std::vector<unsigned char> b;
    Req(uint32_t seq, int32_t code, int32_t argc) {
        i32(static_cast<int32_t>(seq));
        i32(code);
        i32(argc);
    }
    Req& i32(int32_t v) {
        size_t n = b.size();
        b.resize(n + 4);
        memcpy(b.data() + n, &v, 4);
        return *this;
    }
    Req& arg_int(int32_t v) { return i32(UFR_T_INT).i32(v); }
    Req& arg_int64(int64_t v) {
        i32(UFR_T_INT64);
        size_t n = b.size();
        b.resize(n + 8);
        memcpy(b.data() + n, &v, 8);
        return *this;
    }
    Req& arg_data(const std::string& s) {
        i32(UFR_T_DATA).i32(static_cast<int32_t>(s.size()));
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    Req& arg_path(const std::string& s) { return arg_data(std::string(s.c_str(), s.size() + 1)); }
    Req& arg_reply(int32_t len) { return i32(UFR_T_REPLY).i32(len); }
};

}  // namespace

TEST(FileRootServer, MalformedRequestsAreAnsweredWithErrors) {
    char tmpl[] = "/tmp/vx-qvufr-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl, f = dir + "/f";
    {
        ServerRun s;
        uint32_t seq;
        UFR_ERR e;
        std::string buf;

        // A whole session: open, write, checksum, seek, read, close.
        s.send(Req(1, UFR_OP_OPEN, 3).arg_path(f).arg_int(O_RDWR | O_CREAT).arg_int(0600).b);
        ASSERT_TRUE(s.reply(&seq, &e, &buf));
        EXPECT_EQ(seq, 1u);
        ASSERT_EQ(e.ufr_code, UFR_OPENED);
        int32_t fd = e.r.d_int | (7 << 16);  // descriptors arrive in the combined form
        s.send(Req(2, UFR_OP_WRITE, 2).arg_int(fd).arg_data("abc").b);
        ASSERT_TRUE(s.reply(&seq, &e, &buf));
        EXPECT_EQ(e.ufr_code, UFR_OK);
        EXPECT_EQ(e.r.d_int, 3);
        s.send(Req(3, UFR_OP_CHECKSUM, 2).arg_int(fd).arg_reply(20).b);
        ASSERT_TRUE(s.reply(&seq, &e, &buf));
        ASSERT_EQ(buf.size(), 20u);
        U_CK_BUF ck;
        u_ck_buf_from_wire(&ck, reinterpret_cast<const unsigned char*>(buf.data()));
        EXPECT_EQ(ck.lev_mask, 2);
        EXPECT_EQ(ck.w_checksum[1], 294u);
        s.send(Req(4, UFR_OP_LSEEK64, 3).arg_int(fd).arg_int64(1).arg_int(SEEK_SET).b);
        ASSERT_TRUE(s.reply(&seq, &e, &buf));
        EXPECT_EQ(e.r.d_int64, 1);
        s.send(Req(5, UFR_OP_READ, 2).arg_int(fd).arg_reply(100).b);
        ASSERT_TRUE(s.reply(&seq, &e, &buf));
        EXPECT_EQ(e.r.d_int, 2);
        EXPECT_EQ(buf, "bc");

        // Well framed but wrong: answered, and the server goes on.
        s.expect_error(Req(6, 99, 0).b, ENOSYS, "unknown operation");
        s.expect_error(Req(7, UFR_OP_OPEN, 1).arg_int(3).b, EINVAL, "wrong argument types");
        s.expect_error(Req(8, UFR_OP_UNLINK, 1).arg_data("no-zero").b, EINVAL, "path without 0");
        s.expect_error(Req(9, UFR_OP_UNLINK, 1).arg_data(std::string("a\0b\0", 4)).b, EINVAL,
                       "path with an inner 0");
        s.expect_error(Req(10, UFR_OP_UNLINK, 1).arg_path(std::string(5000, 'p')).b, ENAMETOOLONG,
                       "long path");
        s.expect_error(
            Req(11, UFR_OP_WRITE, 2).arg_int(fd).arg_data(std::string(UFR_MAX_DATA + 1, 'd')).b,
            E2BIG, "oversized data");
        s.expect_error(Req(12, UFR_OP_WRITE, 2).arg_int(s.req[0] | (7 << 16)).arg_data("x").b,
                       EBADF, "a descriptor the server did not open");
        s.expect_error(Req(13, UFR_OP_CHECKSUM, 2).arg_int(fd).arg_reply(4).b, EINVAL,
                       "short checksum buffer");
        s.expect_error(Req(14, UFR_OP_READ, 2).arg_int(fd).arg_reply(-5).b, EINVAL,
                       "negative buffer length");
        s.send(Req(15, UFR_OP_CLOSE, 1).arg_int(fd).b);
        ASSERT_TRUE(s.reply(&seq, &e, &buf));
        EXPECT_EQ(e.ufr_code, UFR_OK);
        s.expect_error(Req(16, UFR_OP_WRITE, 2).arg_int(fd).arg_data("x").b, EBADF, "closed");

        // Unframeable: answered, then the server ends.
        s.expect_error(Req(17, UFR_OP_UNLINK, 1).i32(9).i32(0).b, EINVAL, "unknown argument type");
        EXPECT_FALSE(s.reply(&seq, &e, &buf));
        s.end();
        s.th.join();
        s.th = std::thread([] {});
        EXPECT_EQ(s.rc.load(), -1);
    }
    {
        ServerRun s;
        s.expect_error(Req(1, UFR_OP_UNLINK, 1000).b, E2BIG, "too many arguments");
        s.end();
    }
    {
        ServerRun s;
        s.expect_error(Req(1, UFR_OP_UNLINK, 1).i32(UFR_T_DATA).i32(-1).b, EINVAL,
                       "negative data length");
    }
    {
        // The program closing the pipe between requests is a clean end.
        ServerRun s;
        s.end();
        s.th.join();
        s.th = std::thread([] {});
        EXPECT_EQ(s.rc.load(), 0);
    }
    EXPECT_EQ(get_file(f), "abc");
    nftw(dir.c_str(), rm_entry, 16, FTW_DEPTH | FTW_PHYS);
}

TEST(FileRootUser, StaysInactiveForAnyOtherUser) {
    if (geteuid() != 0) {
        EXPECT_EQ(ufr_dispatch, nullptr);
        char tmpl[] = "/tmp/vx-fileroot-user-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        std::string f = std::string(tmpl) + "/f";
        int fd = u_open(f.c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        EXPECT_LE(fd, UFR_FD_MASK);
        EXPECT_EQ(u_write(fd, "abc", 3), 3);
        U_CK_BUF ck;
        EXPECT_EQ(u_checksum(fd, &ck), 0);
        EXPECT_EQ(ck.lev_mask, 2);
        EXPECT_EQ(u_close(fd), 0);
        EXPECT_EQ(u_unlink(f.c_str()), 0);
        EXPECT_EQ(u_rmdir(tmpl), 0);
        return;
    }
    EXPECT_EQ(ufr_dispatch, &ufr_tbl_sv);
    // Run this same test in a fresh copy of the program as user 65534. Between fork and exec the
    // child makes raw system calls only.
    if (!getpwuid(kNobody)) GTEST_SKIP() << "no user 65534 on this machine";
    std::string self = "/proc/self/exe";
    std::string filter = "--gtest_filter=FileRootUser.StaysInactiveForAnyOtherUser";
    std::vector<char*> argv = {self.data(), filter.data(), nullptr};
    std::string tmp = "TMPDIR=/tmp";
    std::vector<char*> envp;
    for (char** e = environ; *e; e++)
        if (strncmp(*e, "TMPDIR=", 7) != 0) envp.push_back(*e);
    envp.push_back(tmp.data());
    envp.push_back(nullptr);
    ChildResult r = run_in_child(
        [&] {
            gid_t g = kNobody;
            if (syscall(SYS_setgroups, 0, nullptr) != 0 || syscall(SYS_setresgid, g, g, g) != 0 ||
                syscall(SYS_setresuid, kNobody, kNobody, kNobody) != 0)
                _exit(125);
            syscall(SYS_execve, self.c_str(), argv.data(), envp.data());
            _exit(126);
        },
        120000);
    ASSERT_FALSE(r.timed_out);
    if (r.exit_status == 125 || r.exit_status == 126)
        GTEST_SKIP() << "cannot run this program as user 65534 here";
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("[  PASSED  ] 1 test"), std::string::npos) << r.out << r.err;
}
