#pragma once

#include <dirent.h>

#include <memory>

// An open directory stream that closes itself; null when opendir failed.
struct DirectoryCloser {
    void operator()(DIR* directory) const { closedir(directory); }
};
using Directory = std::unique_ptr<DIR, DirectoryCloser>;
