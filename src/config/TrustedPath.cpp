#include "config/TrustedPath.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

constexpr int kMaxLinks = 40;  // as the kernel follows them

// The names of a path, first one last, so that the next to walk is at the back.
void pushNames(const std::string& path, std::vector<std::string>& names) {
    std::vector<std::string> ordered;
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (end > start) {
            ordered.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    names.insert(names.end(), ordered.rbegin(), ordered.rend());
}

std::string parentOf(const std::string& directory) {
    size_t slash = directory.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : directory.substr(0, slash);
}

}  // namespace

std::string TrustedPath::problem(const std::string& name, const struct stat& status, uid_t owner) {
    if (status.st_uid != 0 && status.st_uid != owner) {
        return name + " принадлежит uid " + std::to_string(status.st_uid);
    }
    if (S_ISLNK(status.st_mode)) {
        return "";  // a link's own mode means nothing; only its owner may replace it
    }
    if ((status.st_mode & S_IWGRP) != 0 && status.st_gid != 0) {
        return name + " доступен для записи группе gid " + std::to_string(status.st_gid);
    }
    if ((status.st_mode & S_IWOTH) != 0) {
        return name + " доступен для записи всем";
    }
    return "";
}

namespace {

// A link met on the walk: its target's names join those still to walk; 0 or the errno.
int followLink(const std::string& link, const struct stat& status, std::string& directory,
               std::vector<std::string>& names) {
    std::vector<char> target(static_cast<size_t>(status.st_size) + 2);
    ssize_t length = readlink(link.c_str(), target.data(), target.size());
    if (length < 0) {
        return errno;
    }
    if (static_cast<size_t>(length) >= target.size()) {
        return ENAMETOOLONG;  // it changed under us
    }
    std::string to(target.data(), static_cast<size_t>(length));
    pushNames(to, names);
    if (!to.empty() && to[0] == '/') {
        directory = "/";
    }
    return 0;
}

}  // namespace

namespace {

// As check(): 0 or the errno of the step that failed, with `reason` filled on the way.
int walk(const std::string& path, std::string& reason) {
    struct stat status {};
    if (lstat("/", &status) != 0) {
        return errno;
    }
    reason = TrustedPath::problem("/", status, geteuid());
    std::vector<std::string> names;
    pushNames(path, names);
    std::string directory = "/";
    int links = 0;
    while (!names.empty()) {
        std::string name = names.back();
        names.pop_back();
        if (name == "." || name == "..") {
            // ".." was walked on the way down, so its directory is already judged.
            directory = name == ".." ? parentOf(directory) : directory;
            continue;
        }
        std::string next = (directory == "/" ? "/" : directory + "/") + name;
        if (lstat(next.c_str(), &status) != 0) {
            return errno;
        }
        if (reason.empty()) {
            reason = TrustedPath::problem(next, status, geteuid());
        }
        if (S_ISLNK(status.st_mode)) {
            int error = ++links > kMaxLinks ? ELOOP : followLink(next, status, directory, names);
            if (error != 0) {
                return error;
            }
            continue;
        }
        if (!names.empty() && !S_ISDIR(status.st_mode)) {
            return ENOTDIR;
        }
        directory = next;
    }
    return 0;
}

}  // namespace

std::optional<std::string> TrustedPath::check(const std::string& path, int* error) {
    std::string reason;
    const int failed = walk(path, reason);
    if (error != nullptr) {
        *error = failed;
    }
    if (failed != 0) {
        return std::nullopt;
    }
    return reason;
}
