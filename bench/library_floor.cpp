// The part of the daemon's resident memory that its libraries decide: this program loads the
// same shared libraries as kxsentrixd and does nothing else, then makes the OpenSSL start-up
// the daemon makes. It prints VmRSS (KiB) after each. bench/daemon_idle.py shows it beside the
// daemon's figure.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "token/Certificate.h"

namespace {

long residentKib() {
    FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    long kib = -1;
    while (status != nullptr && std::fgets(line, sizeof(line), status) != nullptr) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) {
            kib = std::atol(line + 6);
        }
    }
    if (status != nullptr) {
        std::fclose(status);
    }
    return kib;
}

}  // namespace

int main() {
    long loaded = residentKib();
    Certificate::initialize();
    std::printf("%ld %ld\n", loaded, residentKib());
    return 0;
}
