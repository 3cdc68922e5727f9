#pragma once

#include <sys/types.h>

#include <string>

// Replaces a file's content so that a reader (PAM, SSSD, the token library) sees either the old
// content or the new one, never an empty or half-written file, even after a crash or a full disk.
class AtomicFile {
public:
    // Writes `content` to a temporary file beside the target, flushes it to disk, gives it the
    // mode and owner of the file it replaces (`newFileMode` and root when there was none) and
    // renames it over the target. A symbolic link is followed: its target is replaced and the
    // link stays a link. False on any failure, with the errno in `error`; the old file is then
    // untouched and no temporary file is left behind.
    static bool replace(const std::string& path, const std::string& content,
                        mode_t newFileMode = 0644, int* error = nullptr);
};
