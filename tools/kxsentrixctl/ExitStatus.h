#pragma once

// What kxsentrixctl's exit status tells a script.
enum ExitStatus : int {
    kDone = 0,
    // The daemon or the token answered that it could not do it.
    kFailed = 1,
    // Wrong use: bad arguments (also when the daemon refused them), or no terminal for the PIN.
    kUsage = 2,
    // The daemon cannot be reached: no system bus, not running, or no answer in time.
    kUnreachable = 3,
    // The system bus refused the caller (the method is for root only).
    kRefused = 4,
};
