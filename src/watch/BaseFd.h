#pragma once

// Owns one file descriptor and closes it on destruction; 0 means none.
class BaseFd {
public:
    BaseFd() = default;
    // Adopts fd; a failed open's -1 is kept as none.
    explicit BaseFd(int fd) : fd_(fd < 0 ? 0 : fd) {}
    virtual ~BaseFd();
    BaseFd(const BaseFd&) = delete;
    BaseFd& operator=(const BaseFd&) = delete;

    int get() const { return fd_; }

protected:
    int fd_ = 0;
};
