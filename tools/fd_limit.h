// A site of a thousand controllers on TCP serial servers needs a
// descriptor per line, more than the usual soft limit of 1,024: the
// programs take what the hard limit allows, as a service manager would.
#pragma once

#include <sys/resource.h>

inline void RaiseDescriptorLimit() {
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur >= r.rlim_max) return;
    r.rlim_cur = r.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &r);
}
