#pragma once

#include <cerrno>
#include <vector>

// One reentrant account lookup (getpwnam_r, getpwuid_r, getgrgid_r: the main and the D-Bus
// threads look accounts up at the same time), its buffer grown to what the entry needs, up to
// 16 MiB. True with `entry` filled; `buffer` must outlive the use of its strings.
template <typename Entry, typename Key, typename Lookup>
bool lookUpAccount(Key key, Entry& entry, std::vector<char>& buffer, Lookup lookup) {
    buffer.resize(16 * 1024);
    Entry* result = nullptr;
    int error;
    while ((error = lookup(key, &entry, buffer.data(), buffer.size(), &result)) == ERANGE &&
           buffer.size() < 16 * 1024 * 1024) {
        buffer.resize(buffer.size() * 2);
    }
    return error == 0 && result != nullptr;
}
