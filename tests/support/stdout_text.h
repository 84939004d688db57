// What the code under test writes on the standard output stream while an StdoutText lives,
// collected in a string stream (written synchronously, unlike a buffered terminal).
#pragma once

#include <string>

#include "longchar/longchar.h"
#include "stream/string_stream.h"

namespace vxtest {

class StdoutText {
  public:
    StdoutText() : saved_(s_stdout), st_(s_open_string_write(search_cm("UTF-8"))) {
        s_stdout = st_;
    }
    ~StdoutText() {
        s_stdout = saved_;
        s_close(st_);
    }
    StdoutText(const StdoutText&) = delete;
    StdoutText& operator=(const StdoutText&) = delete;
    std::string text() const {
        const char* t = s_get_string(st_);
        return t ? t : "";
    }

  private:
    STREAM* saved_;
    STREAM* st_;
};

}  // namespace vxtest
