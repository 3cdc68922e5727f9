#pragma once

// Owns one file descriptor and closes it on destruction; 0 means none.
class BaseFd {
public:
    BaseFd() = default;
    virtual ~BaseFd();
    BaseFd(const BaseFd&) = delete;
    BaseFd& operator=(const BaseFd&) = delete;

    int get() const { return fd_; }

protected:
    int fd_ = 0;
};
