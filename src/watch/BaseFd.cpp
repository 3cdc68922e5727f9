#include "watch/BaseFd.h"

#include <unistd.h>

BaseFd::~BaseFd() {
    if (fd_ > 0) {
        close(fd_);
    }
}
