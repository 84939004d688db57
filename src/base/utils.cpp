#include "base/utils.h"

#include "base/blacklist.h"
#include "base/lock.h"
#include "base/sysparam.h"

void init_utils() {
    init_util_locks();
    init_blacklist();
    set_sys_param();
}
