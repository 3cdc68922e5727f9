#pragma once

#include <mutex>
#include <utility>

#include "token/kxpkcs11.h"

// The vendor library is started with null C_Initialize arguments, which promises it one caller
// at a time. The slot loop and the token reader's thread both call it, so every call goes
// through here and holds this mutex for that one call only: a thread waits for at most one call
// of the other, never for a whole token's reading (certificates are parsed outside it).
// Lock order: the token store's mutex may be held when this one is taken, never the other way.
class LibraryCall {
public:
    template <typename Function, typename... Arguments>
    static CK_RV run(Function function, Arguments&&... arguments) {
        std::lock_guard<std::mutex> lock(mutex());
        return function(std::forward<Arguments>(arguments)...);
    }

    // Whether calls wait for each other (the library was not started for threaded callers).
    static bool serialised() { return true; }

private:
    static std::mutex& mutex() {
        static std::mutex instance;
        return instance;
    }
};
