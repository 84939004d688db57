// A scratch directory under /tmp, removed with everything in it when the object goes.
#pragma once

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/vx-test-XXXXXX";
        if (mkdtemp(tmpl)) dir_ = tmpl;
    }
    ~TempDir() {
        if (!dir_.empty()) nftw(dir_.c_str(), rm_entry, 16, FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string at(const std::string& name) const { return dir_ + "/" + name; }
    const std::string& path() const { return dir_; }

  private:
    static int rm_entry(const char* p, const struct stat*, int, struct FTW*) { return remove(p); }
    std::string dir_;
};
