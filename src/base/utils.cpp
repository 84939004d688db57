#include "base/utils.h"

#include "base/blacklist.h"
#include "base/lock.h"

void init_utils() {
    init_util_locks();
    init_blacklist();
}
