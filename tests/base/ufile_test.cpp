// File primitives: errors with the system's codes, running checksums, 64-bit seeks, directory
// creation and removal, recursive removal that never leaves its tree, file copy.
#include "base/ufile.h"

#include <errno.h>
#include <ftw.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/task.h"
#include "longchar/longchar.h"
#include "support/child.h"
#include "support/sync_util.h"

namespace {

int rm_entry(const char* p, const struct stat*, int type, FTW*) {
    return type == FTW_DP ? rmdir(p) : unlink(p);
}

// A fresh directory per test, removed with everything in it afterwards.
class UFile : public ::testing::Test {
  protected:
    std::string dir;

    void SetUp() override {
        const char* base = getenv("TMPDIR");
        std::string t = std::string(base && *base ? base : "/tmp") + "/vx-ufile-XXXXXX";
        std::vector<char> buf(t.begin(), t.end());
        buf.push_back(0);
        ASSERT_NE(mkdtemp(buf.data()), nullptr);
        dir = buf.data();
    }
    void TearDown() override { nftw(dir.c_str(), rm_entry, 16, FTW_DEPTH | FTW_PHYS); }

    std::string at(const std::string& name) const { return dir + "/" + name; }
};

void put_file(const std::string& p, const std::string& data) {
    int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << p;
    ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fd);
}

std::string get_file(const std::string& p) {
    std::string s;
    int fd = open(p.c_str(), O_RDONLY);
    if (fd < 0) return "<missing>";
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    close(fd);
    return s;
}

bool exists(const std::string& p) {
    struct stat sb;
    return lstat(p.c_str(), &sb) == 0;
}

// Expects call to fail with -1 and errno err.
#define EXPECT_FAILS_WITH(call, err)      \
    do {                                  \
        errno = 0;                        \
        EXPECT_EQ((call), -1) << #call;   \
        EXPECT_EQ(errno, (err)) << #call; \
    } while (0)

}  // namespace

TEST_F(UFile, MissingPathsFailWithNoSuchFile) {
    std::string missing = at("missing");
    U_STAT st;
    EXPECT_FAILS_WITH(u_open(missing.c_str(), O_RDONLY, 0), ENOENT);
    EXPECT_FAILS_WITH(u_stat(missing.c_str(), &st), ENOENT);
    EXPECT_FAILS_WITH(u_unlink(missing.c_str()), ENOENT);
    EXPECT_FAILS_WITH(unlink_p((missing + "/").c_str()), ENOENT);
    EXPECT_FAILS_WITH(u_rmdir(missing.c_str()), ENOENT);
    EXPECT_FAILS_WITH(u_rename(missing.c_str(), at("b").c_str()), ENOENT);
    EXPECT_FAILS_WITH(u_mkdir((missing + "/sub").c_str(), 0755), ENOENT);
    errno = 0;
    EXPECT_EQ(u_opendir(missing.c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(copy_file(missing.c_str(), at("copy").c_str()), -1);
    EXPECT_FALSE(exists(at("copy")));
    u_rm(missing.c_str(), U_RM_ALL);  // nothing to do, no harm

    // Bad arguments.
    EXPECT_EQ(u_stat(nullptr, &st), -1);
    EXPECT_FAILS_WITH(u_read(0, nullptr, -1), EINVAL);
    EXPECT_FAILS_WITH(u_write(1, "", -1), EINVAL);
    // A one-character path is refused without touching the file system.
    bool had_a = exists("a");
    EXPECT_FAILS_WITH(u_mkdir("a", 0755), EINVAL);
    EXPECT_EQ(exists("a"), had_a);
    EXPECT_FAILS_WITH(u_close(-1), EBADF);
}

namespace {

const char* const kPermDirEnv = "VX_UFILE_PERMISSION_DIR";

// A tree whose owner (and everyone else) may read but not change it.
void make_permission_tree(const std::string& d) {
    ASSERT_EQ(mkdir((d + "/locked").c_str(), 0755), 0);
    put_file(d + "/locked/f", "data");
    ASSERT_EQ(chmod((d + "/locked/f").c_str(), 0444), 0);
    ASSERT_EQ(mkdir((d + "/locked/sub").c_str(), 0755), 0);
    ASSERT_EQ(chmod((d + "/locked").c_str(), 0555), 0);
    put_file(d + "/secret", "secret");
    ASSERT_EQ(chmod((d + "/secret").c_str(), 0), 0);
    ASSERT_EQ(mkdir((d + "/shut").c_str(), 0755), 0);
    put_file(d + "/shut/x", "x");
    ASSERT_EQ(chmod((d + "/shut").c_str(), 0), 0);
}

void undo_permission_tree(const std::string& d) {
    chmod((d + "/locked").c_str(), 0755);
    chmod((d + "/shut").c_str(), 0755);
}

// Run by an ordinary user: what the tree allows works, everything else fails with EACCES.
void expect_permission_denied(const std::string& d) {
    std::string locked = d + "/locked", f = locked + "/f";
    U_STAT st;
    ASSERT_EQ(u_stat(f.c_str(), &st), 0) << "the tree must be reachable";
    int fd = u_open(f.c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    char buf[8];
    EXPECT_EQ(u_read(fd, buf, sizeof buf), 4);
    EXPECT_EQ(u_close(fd), 0);

    EXPECT_FAILS_WITH(u_open((locked + "/new").c_str(), O_WRONLY | O_CREAT, 0644), EACCES);
    EXPECT_FAILS_WITH(u_open(f.c_str(), O_WRONLY, 0), EACCES);
    EXPECT_FAILS_WITH(u_open((d + "/secret").c_str(), O_RDONLY, 0), EACCES);
    EXPECT_FAILS_WITH(u_unlink(f.c_str()), EACCES);
    EXPECT_FAILS_WITH(u_rmdir((locked + "/sub").c_str()), EACCES);
    EXPECT_FAILS_WITH(u_mkdir((locked + "/new/").c_str(), 0755), EACCES);
    EXPECT_FAILS_WITH(u_rename(f.c_str(), (locked + "/g").c_str()), EACCES);
    EXPECT_FAILS_WITH(u_stat((d + "/shut/x").c_str(), &st), EACCES);
    errno = 0;
    EXPECT_EQ(u_opendir((d + "/shut").c_str()), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(copy_file(f.c_str(), (locked + "/copy").c_str()), -1);
    EXPECT_EQ(copy_file((d + "/secret").c_str(), (d + "/copy").c_str()), -1);
    EXPECT_FALSE(exists(d + "/copy"));
    u_rm(locked.c_str(), U_RM_ALL);
    EXPECT_TRUE(exists(f));
}

}  // namespace

TEST_F(UFile, PermissionDeniedFailsWithEacces) {
    if (const char* given = getenv(kPermDirEnv)) {
        // The unprivileged run started by the root case below.
        expect_permission_denied(given);
        return;
    }
    make_permission_tree(dir);
    if (geteuid() != 0) {
        expect_permission_denied(dir);
        undo_permission_tree(dir);
        return;
    }
    // Root passes every permission check, so the same body runs in a fresh copy of this program
    // as the unprivileged user 65534. Everything the child needs is made before the fork: between
    // fork and exec it makes raw system calls only.
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    for (size_t cut = dir.rfind('/'); cut != std::string::npos && cut > 0;
         cut = dir.rfind('/', cut - 1)) {
        std::string up = dir.substr(0, cut);
        struct stat sb;
        if (stat(up.c_str(), &sb) != 0 || !(sb.st_mode & S_IXOTH))
            GTEST_SKIP() << up << " cannot be passed by user 65534";
    }
    // The child's own test directory.
    std::string scratch = at("scratch");
    ASSERT_EQ(mkdir(scratch.c_str(), 0777), 0);
    ASSERT_EQ(chmod(scratch.c_str(), 0777), 0);
    std::string filter = "--gtest_filter=UFile.PermissionDeniedFailsWithEacces";
    std::string self = "/proc/self/exe";
    std::vector<char*> argv = {self.data(), filter.data(), nullptr};
    std::string var = std::string(kPermDirEnv) + "=" + dir;
    std::string tmp = "TMPDIR=" + scratch;
    std::vector<char*> envp;
    for (char** e = environ; *e; e++) {
        if (strncmp(*e, "TMPDIR=", 7) != 0) envp.push_back(*e);
    }
    envp.push_back(var.data());
    envp.push_back(tmp.data());
    envp.push_back(nullptr);
    ChildResult r = run_in_child(
        [&] {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(125);
            execve(self.c_str(), argv.data(), envp.data());
            _exit(126);
        },
        120000);
    ASSERT_FALSE(r.timed_out);
    if (r.exit_status == 125 || r.exit_status == 126)
        GTEST_SKIP() << "cannot run this program as user 65534 here";
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("[  PASSED  ] 1 test"), std::string::npos) << r.out << r.err;
}

TEST_F(UFile, ChecksumSumsTheBytesWrittenPerDescriptor) {
    std::string p = at("sum");
    int fd = u_open(p.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(u_write(fd, "abc", 3), 3);
    U_CK_BUF ck;
    ASSERT_EQ(u_checksum(fd, &ck), 0);
    EXPECT_EQ(ck.lev_mask, 2);
    EXPECT_EQ(ck.w_checksum[1], 294u);
    EXPECT_EQ(ck.w_checksum[0], 0u);
    const unsigned char high[2] = {0xFF, 0x80};  // bytes count as unsigned values
    ASSERT_EQ(u_write(fd, high, 2), 2);
    ASSERT_EQ(u_checksum(fd, &ck), 0);
    EXPECT_EQ(ck.w_checksum[1], 294u + 255u + 128u);

    // The 20-byte form on the file-root pipe: host-order words, history words zero.
    ck.lev_mask = 3;
    ck.w_checksum[0] = 0xFFFFFFFFu;
    unsigned char wire[U_CK_BUF_WIRE_SIZE];
    memset(wire, 0xAA, sizeof wire);
    u_ck_buf_to_wire(&ck, wire);
    int32_t w[5];
    memcpy(w, wire, sizeof w);
    EXPECT_EQ(w[0], 3);
    EXPECT_EQ(static_cast<uint32_t>(w[1]), 0xFFFFFFFFu);
    EXPECT_EQ(static_cast<uint32_t>(w[2]), 294u + 255u + 128u);
    EXPECT_EQ(w[3] | w[4], 0);
    U_CK_BUF back;
    u_ck_buf_from_wire(&back, wire);
    EXPECT_EQ(back.lev_mask, 3);
    EXPECT_EQ(back.w_checksum[0], ck.w_checksum[0]);
    EXPECT_EQ(back.w_checksum[1], ck.w_checksum[1]);

    // After u_close the sum is gone.
    ASSERT_EQ(u_close(fd), 0);
    unsigned int sum = 1;
    EXPECT_EQ(lk_get_checksum(fd, &sum, nullptr), 0);
    EXPECT_EQ(sum, 0u);
    EXPECT_EQ(lk_free_checksum(fd), -1);

    // A failed write adds nothing; a descriptor closed behind u_close's back leaves no sum for
    // the next open that gets its number.
    fd = u_open(p.c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(u_write(fd, "abc", 3), -1);
    ASSERT_EQ(u_checksum(fd, &ck), 0);
    EXPECT_EQ(ck.w_checksum[1], 0u);
    lk_set_checksum(fd, "zz", 2);
    close(fd);
    fd = u_open(p.c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(u_checksum(fd, &ck), 0);
    EXPECT_EQ(ck.w_checksum[1], 0u);
    u_close(fd);
}

namespace {

struct SumRun {
    std::string dir;
    std::atomic<uint32_t> sums[8];
    Counter done;
};
SumRun* sum_run;

void write_and_sum(intptr_t i) {
    std::string p = sum_run->dir + "/w" + std::to_string(i);
    int fd = u_open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::string chunk(50, static_cast<char>(i + 1));
    for (int k = 0; k < 200 && fd >= 0; k++)
        u_write(fd, chunk.data(), 50);
    U_CK_BUF ck = {};
    if (fd >= 0 && u_checksum(fd, &ck) == 0) sum_run->sums[i] = ck.w_checksum[1];
    u_close(fd);
    sum_run->done.add();
}

}  // namespace

TEST_F(UFile, ConcurrentWritersKeepTheirOwnSums) {
    sum_run = new SumRun;  // left to the tasks when the wait times out
    sum_run->dir = dir;
    for (int i = 0; i < 8; i++)
        create_task(write_and_sum, i, 1);
    ASSERT_TRUE(sum_run->done.wait_for(8));
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(sum_run->sums[i].load(), 200u * 50u * static_cast<uint32_t>(i + 1)) << i;
    delete sum_run;
}

TEST_F(UFile, SeeksPastFourGibibytesOnASparseFile) {
    int fd = u_open64(at("sparse").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const int64_t far = (int64_t{5} << 30) + 7;
    ASSERT_EQ(u_lseek64(fd, far, SEEK_SET), far);
    if (u_write(fd, "z", 1) != 1) {
        u_close(fd);
        GTEST_SKIP() << "no file of 5 GiB here: " << strerror(errno);
    }
    EXPECT_EQ(u_lseek(fd, 0, SEEK_END), far + 1);
    EXPECT_EQ(u_lseek(fd, -1, SEEK_CUR), far);
    char c = 0;
    EXPECT_EQ(u_read(fd, &c, 1), 1);
    EXPECT_EQ(c, 'z');
    // An offset with bit 32 set is not cut to its low word.
    EXPECT_EQ(u_lseek(fd, int64_t{1} << 32, SEEK_SET), int64_t{1} << 32);
    EXPECT_EQ(u_read(fd, &c, 1), 1);
    EXPECT_EQ(c, 0);
    EXPECT_FAILS_WITH(u_lseek64(fd, -1, SEEK_SET), EINVAL);
    EXPECT_EQ(u_close(fd), 0);
}

TEST_F(UFile, StatGivesTheModeOwnerAndSystemTimes) {
    std::string p = at("t");
    put_file(p, "x");
    struct timespec ts[2] = {{978307200 + 86400, 0}, {978307200, 0}};  // atime, mtime
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), ts, 0), 0);
    U_STAT st;
    ASSERT_EQ(u_stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.us_mtime, 0u);
    EXPECT_EQ(st.us_atime, 86400u);
    EXPECT_EQ(st.us_mode & S_IFMT, static_cast<uint32_t>(S_IFREG));
    EXPECT_EQ(st.us_uid, geteuid());
    ts[1].tv_sec = 978307199;  // a second before 2001 wraps
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), ts, 0), 0);
    ASSERT_EQ(u_stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.us_mtime, 0xFFFFFFFFu);
    ASSERT_EQ(u_stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.us_mode & S_IFMT, static_cast<uint32_t>(S_IFDIR));
}

TEST_F(UFile, MkdirRmdirAndRename) {
    mode_t old = umask(022);
    // One trailing '/' is dropped; the mode is not narrowed by the umask.
    EXPECT_EQ(u_mkdir(at("a/").c_str(), 0777), 0);
    umask(old);
    struct stat sb;
    ASSERT_EQ(stat(at("a").c_str(), &sb), 0);
    EXPECT_TRUE(S_ISDIR(sb.st_mode));
    EXPECT_EQ(sb.st_mode & 07777, 0777u);
    EXPECT_FAILS_WITH(u_mkdir(at("a").c_str(), 0755), EEXIST);
    EXPECT_EQ(m_mkdir(at("a/b").c_str(), 0700), 0);
    ASSERT_EQ(stat(at("a/b").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 07777, 0700u);

    EXPECT_FAILS_WITH(u_rmdir(at("a").c_str()), ENOTEMPTY);
    put_file(at("f"), "one");
    EXPECT_FAILS_WITH(u_rmdir(at("f").c_str()), ENOTDIR);
    EXPECT_FAILS_WITH(u_mkdir(at("f/x").c_str(), 0755), ENOTDIR);

    // rename replaces an existing file, moves directories, refuses to move one into itself.
    put_file(at("g"), "two");
    EXPECT_EQ(u_rename(at("f").c_str(), at("g").c_str()), 0);
    EXPECT_EQ(get_file(at("g")), "one");
    EXPECT_FALSE(exists(at("f")));
    EXPECT_EQ(u_rename(at("a").c_str(), at("c").c_str()), 0);
    EXPECT_TRUE(exists(at("c/b")));
    EXPECT_FAILS_WITH(u_rename(at("c").c_str(), at("c/b/d").c_str()), EINVAL);
    EXPECT_FAILS_WITH(u_rename(at("g").c_str(), at("c").c_str()), EISDIR);

    EXPECT_EQ(u_rmdir(at("c/b").c_str()), 0);
    EXPECT_EQ(u_rmdir(at("c").c_str()), 0);
    EXPECT_FALSE(exists(at("c")));

    // unlink_p drops one trailing '/' on its own copy.
    std::string slash = at("g") + "/";
    EXPECT_EQ(unlink_p(slash.c_str()), 0);
    EXPECT_EQ(slash, at("g") + "/");
    EXPECT_FALSE(exists(at("g")));
}

TEST_F(UFile, RemoveByFlags) {
    ASSERT_EQ(mkdir(at("d").c_str(), 0755), 0);
    put_file(at("d/f"), "x");
    u_rm(at("d").c_str(), U_RM_EMPTY_DIR);  // holds a file: stays
    EXPECT_TRUE(exists(at("d/f")));
    u_rm(at("d").c_str(), U_RM_FILE);  // a directory: stays
    EXPECT_TRUE(exists(at("d")));
    u_rm(at("d/f").c_str(), U_RM_EMPTY_DIR);  // not a directory: stays
    EXPECT_TRUE(exists(at("d/f")));
    u_rm(at("d/f").c_str(), U_RM_FILE);
    EXPECT_FALSE(exists(at("d/f")));
    u_rm((at("d") + "/").c_str(), U_RM_EMPTY_DIR);
    EXPECT_FALSE(exists(at("d")));

    // Flag 1 removes a whole tree, hidden entries and deep levels included.
    std::string deep = at("t");
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    std::string p = deep;
    for (int i = 0; i < 40; i++) {
        p += "/l" + std::to_string(i);
        ASSERT_EQ(mkdir(p.c_str(), 0755), 0);
        put_file(p + "/.hidden", "h");
        put_file(p + "/file", "f");
    }
    u_rm(deep.c_str(), U_RM_ALL);
    EXPECT_FALSE(exists(deep));
}

TEST_F(UFile, RecursiveRemoveStaysInsideItsTree) {
    // Outside the tree: a directory with a file and a lone file.
    ASSERT_EQ(mkdir(at("outside").c_str(), 0755), 0);
    put_file(at("outside/keep"), "keep");
    put_file(at("lone"), "lone");
    ASSERT_EQ(mkdir(at("tree").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(at("tree/sub").c_str(), 0755), 0);
    put_file(at("tree/sub/f"), "f");
    ASSERT_EQ(symlink(at("outside").c_str(), at("tree/sub/to_dir").c_str()), 0);
    ASSERT_EQ(symlink(at("lone").c_str(), at("tree/to_file").c_str()), 0);
    ASSERT_EQ(symlink("../outside", at("tree/relative").c_str()), 0);

    u_rm(at("tree").c_str(), U_RM_ALL);
    EXPECT_FALSE(exists(at("tree")));
    EXPECT_EQ(get_file(at("outside/keep")), "keep");
    EXPECT_EQ(get_file(at("lone")), "lone");

    // A link named as the path itself, with or without a trailing '/': the link goes.
    ASSERT_EQ(symlink(at("outside").c_str(), at("link").c_str()), 0);
    u_rm((at("link") + "/").c_str(), U_RM_ALL);
    EXPECT_FALSE(exists(at("link")));
    EXPECT_EQ(get_file(at("outside/keep")), "keep");
    ASSERT_EQ(symlink(at("outside").c_str(), at("link").c_str()), 0);
    u_rm(at("link").c_str(), U_RM_EMPTY_DIR);  // a link is no directory
    EXPECT_TRUE(exists(at("link")));
    u_rm(at("link").c_str(), U_RM_FILE);
    EXPECT_FALSE(exists(at("link")));
    EXPECT_TRUE(exists(at("outside/keep")));
}

TEST_F(UFile, CopyFileCopiesEverythingOrFails) {
    std::string data;
    for (int i = 0; i < 25001; i++)  // more than two pieces of 10,000 bytes
        data.push_back(static_cast<char>(i * 7));
    put_file(at("src"), data);
    put_file(at("dest"), std::string(40000, 'o'));  // truncated first
    EXPECT_EQ(copy_file(at("src").c_str(), at("dest").c_str()), 0);
    EXPECT_EQ(get_file(at("dest")), data);
    mode_t old = umask(022);
    EXPECT_EQ(copy_file(at("src").c_str(), at("fresh").c_str()), 0);
    umask(old);
    struct stat sb;
    ASSERT_EQ(stat(at("fresh").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 07777, 0644u);
    EXPECT_EQ(get_file(at("fresh")), data);

    put_file(at("empty"), "");
    EXPECT_EQ(copy_file(at("empty").c_str(), at("dest").c_str()), 0);
    EXPECT_EQ(get_file(at("dest")), "");

    // A source that opens but cannot be read (a directory) is a failure, not a short copy.
    ASSERT_EQ(mkdir(at("dir").c_str(), 0755), 0);
    EXPECT_EQ(copy_file(at("dir").c_str(), at("dest2").c_str()), -1);
    // A destination that cannot be opened.
    EXPECT_EQ(copy_file(at("src").c_str(), at("dir").c_str()), -1);
    EXPECT_EQ(copy_file(at("src").c_str(), at("nodir/dest").c_str()), -1);
}

TEST_F(UFile, EmptyDirectoriesAreCleanedUpwards) {
    ASSERT_EQ(mkdir(at("a").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(at("a/b").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(at("a/b/c").c_str(), 0755), 0);
    put_file(at("a/b/.dot"), "");
    errno = 0;
    EXPECT_EQ(u_opendir(at("a/b/.dot").c_str()), nullptr);
    EXPECT_EQ(errno, ENOTDIR);

    // c goes; b still holds a hidden file, so it and everything above it stay.
    int base = static_cast<int>(dir.size());
    clean_empty_dir(l_string(std_cm, at("a/b/c").c_str()), base);
    EXPECT_FALSE(exists(at("a/b/c")));
    EXPECT_TRUE(exists(at("a/b")));
    // Without it, the empty directories go up to (not including) the base.
    unlink(at("a/b/.dot").c_str());
    ASSERT_EQ(mkdir(at("a/b/c").c_str(), 0755), 0);
    clean_empty_dir(l_string(std_cm, at("a/b/c").c_str()), base);
    EXPECT_FALSE(exists(at("a")));
    EXPECT_TRUE(exists(dir));
}

TEST(UFileProcess, CheckPidAnswersOnlyForExistingProcesses) {
    EXPECT_EQ(check_pid(getpid(), nullptr), 0);
    EXPECT_EQ(check_pid(0, nullptr), -1);  // not "the caller"
    EXPECT_EQ(check_pid(-1, nullptr), -1);
    EXPECT_EQ(check_pid(0x7FFFFFF0, "none"), -1);
}

TEST_F(UFile, FtruncateCutsAndFlockExcludesOtherOpeners) {
    std::string f = at("locked");
    put_file(f, "0123456789");
    int fd = u_open64(f.c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(u_ftruncate(fd, 4), 0);
    EXPECT_EQ(get_file(f), "0123");
    ASSERT_EQ(u_flock(fd, LOCK_EX | LOCK_NB), 0);
    // Another open file description of the same file is refused while the lock is held.
    int other = open(f.c_str(), O_RDONLY);
    ASSERT_GE(other, 0);
    EXPECT_FAILS_WITH(u_flock(other, LOCK_SH | LOCK_NB), EWOULDBLOCK);
    EXPECT_EQ(u_flock(fd, LOCK_UN), 0);
    EXPECT_EQ(u_flock(other, LOCK_SH | LOCK_NB), 0);
    close(other);
    EXPECT_EQ(u_close(fd), 0);
    EXPECT_FAILS_WITH(u_ftruncate(fd, 0), EBADF);
}

TEST_F(UFile, PositionedReadsAndGatheredWritesLeaveThePositionAndSumTheBytes) {
    std::string p = at("pos");
    int fd = u_open(p.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(u_write(fd, "0123456789", 10), 10);
    // Pieces written at an offset past the end, empty ones among them, in their order.
    char a[] = "ab", b[] = "\xff";
    iovec v[3] = {{a, 2}, {nullptr, 0}, {b, 1}};
    ASSERT_EQ(u_pwritev(fd, v, 3, 12), 3);
    EXPECT_EQ(u_lseek64(fd, 0, SEEK_CUR), 10);
    U_CK_BUF ck;
    ASSERT_EQ(u_checksum(fd, &ck), 0);
    EXPECT_EQ(ck.w_checksum[1], 525u + 'a' + 'b' + 255u);
    char got[16] = {};
    EXPECT_EQ(u_pread(fd, got, 16, 1), 14);
    EXPECT_EQ(std::string(got, 14), std::string("123456789\0\0ab\xff", 14));
    EXPECT_EQ(u_lseek64(fd, 0, SEEK_CUR), 10);
    EXPECT_EQ(u_pread(fd, got, 4, 100), 0);
    EXPECT_FAILS_WITH(u_pread(fd, got, -1, 0), EINVAL);
    EXPECT_FAILS_WITH(u_pwritev(fd, v, -1, 0), EINVAL);
    EXPECT_EQ(u_close(fd), 0);
    EXPECT_FAILS_WITH(u_pread(fd, got, 4, 0), EBADF);
}
