#pragma once

#include <grp.h>

#include <algorithm>
#include <cerrno>
#include <vector>

// One reentrant account lookup (getpwnam_r, getpwuid_r, getgrgid_r, getgrnam_r: the main and
// the D-Bus threads look accounts up at the same time), its buffer grown to what the entry needs,
// up to 16 MiB. True with `entry` filled; `buffer` must outlive the use of its strings. False
// when there is no such entry, or when the database could not answer: then `failure` (if given)
// holds the lookup's error (a service that is down, an entry beyond the buffer), and 0 for "no
// such entry", which these calls answer with 0 and no result.
template <typename Entry, typename Key, typename Lookup>
bool lookUpAccount(Key key, Entry& entry, std::vector<char>& buffer, Lookup lookup,
                   int* failure = nullptr) {
    buffer.resize(16 * 1024);
    Entry* result = nullptr;
    int error;
    while ((error = lookup(key, &entry, buffer.data(), buffer.size(), &result)) == ERANGE &&
           buffer.size() < 16 * 1024 * 1024) {
        buffer.resize(buffer.size() * 2);
    }
    if (failure != nullptr) {
        *failure = error;
    }
    return error == 0 && result != nullptr;
}

// The account's group ids, its primary group among them. A first guess at the count spares most
// accounts a second pass over the group database; one in more groups is asked again with the
// count it reported.
inline bool accountGroupIds(const char* account, gid_t primaryGroup, std::vector<gid_t>& ids) {
    ids.resize(64);
    int count = static_cast<int>(ids.size());
    if (getgrouplist(account, primaryGroup, ids.data(), &count) == -1) {
        if (count <= static_cast<int>(ids.size())) {
            return false;
        }
        ids.resize(static_cast<size_t>(count));
        if (getgrouplist(account, primaryGroup, ids.data(), &count) == -1) {
            return false;
        }
    }
    ids.resize(static_cast<size_t>(std::max(count, 0)));
    return true;
}
