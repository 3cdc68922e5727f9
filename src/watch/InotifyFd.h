#pragma once

#include <functional>
#include <map>
#include <string>

#include "watch/BaseFd.h"

// A non-blocking inotify instance with its watch table. Files are watched for writes; directories
// for entries created in them or moved into them, so that a file replaced by rename is noticed.
class InotifyFd : public BaseFd {
public:
    using Callback = std::function<void(const std::string& path)>;

    // onModified gets the path of a watched file that was written; onAppeared gets the full path
    // of an entry that appeared in a watched directory. Check valid(): without a descriptor
    // (errno tells why) nothing is watched.
    explicit InotifyFd(Callback onModified, Callback onAppeared = nullptr);
    bool valid() const { return fd_ > 0; }

    bool addPath(const std::string& path);
    // Also true when the path was not watched.
    bool rmPath(const std::string& path);
    bool addDirectory(const std::string& directory);

    // Drains the pending events and calls the callbacks.
    void onFileChanged();

    // Watches in the table, files and directories.
    size_t watchCount() const { return watches_.size() + directories_.size(); }

private:
    void dispatch(int watch, uint32_t mask, const char* name);

    std::map<int, std::string> watches_;
    Callback callback_;
    std::map<int, std::string> directories_;
    Callback appearedCallback_;
};
