#include "base/gvdump.h"

#include <pthread.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/lock.h"

namespace {

// Guards the file pointer and the started flag.
D_SEM sg_lock = nullptr;
pthread_once_t sg_once = PTHREAD_ONCE_INIT;
FILE* sg_file = nullptr;
bool sg_started = false;

void make_sg_lock() {
    sg_lock = xx_new_lock(0);
}

// The preference directory. The configuration paths own it (get_preference_path) and this is the
// one place that asks for it; it follows their rule: HOME, or "/" when unset, a '/' when it does
// not end with one, then ".pqvconf/".
std::string preference_dir() {
    const char* home = getenv("HOME");
    std::string dir = home ? home : "/";
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir + ".pqvconf/";
}

}  // namespace

void init_sg() {
    pthread_once(&sg_once, make_sg_lock);
    std::string dir = preference_dir();
    _lock_task(sg_lock);
    if (!sg_started) {
        sg_started = true;
        mkdir(dir.c_str(), 0700);
        sg_file = fopen((dir + "global.txt").c_str(), "w");
    }
    _unlock_task(sg_lock, "init_sg");
}

void end_sg() {
    pthread_once(&sg_once, make_sg_lock);
    _lock_task(sg_lock);
    if (sg_file) fclose(sg_file);
    sg_file = nullptr;
    _unlock_task(sg_lock, "end_sg");
}

void sg_title(const char* title) {
    pthread_once(&sg_once, make_sg_lock);
    _lock_task(sg_lock);
    if (sg_file) fprintf(sg_file, "\n%s\n\n", title ? title : "");
    _unlock_task(sg_lock, "sg_title");
}

void sg(const char* type, const char* name, const void* ptr) {
    pthread_once(&sg_once, make_sg_lock);
    _lock_task(sg_lock);
    if (sg_file)
        fprintf(sg_file, "%s\t\t*((%s*)0x%lx)\n", name ? name : "", type ? type : "",
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(ptr)));
    _unlock_task(sg_lock, "sg");
}
