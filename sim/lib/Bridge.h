#pragma once

// Bridge mode: the standard calls go to another PKCS#11 module (SoftHSM2, OpenSC, ...). The
// module's slot list is compared with the last one seen to make slot events, and the vendor
// extensions answer neutrally from what the module tells about the token.

#include <p11-kit/pkcs11.h>

#include <chrono>
#include <deque>
#include <memory>
#include <set>
#include <string>

namespace kxsim {

class Bridge {
public:
    // Loads and initialises the module; nothing (and rv set) when that fails.
    static std::unique_ptr<Bridge> open(const std::string& path, CK_VOID_PTR initArgs,
                                        CK_RV& rv);
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    CK_FUNCTION_LIST* module() const { return module_; }
    CK_RV finalize();

    // CKR_NO_EVENT or one slot whose token came or went since the last look.
    CK_RV nextEvent(CK_SLOT_ID* slot);
    // How long a blocking wait should sleep between two looks.
    static constexpr std::chrono::milliseconds kPollInterval{20};

    // The token info of a slot, to check it holds a token and to build the ISD text.
    CK_RV tokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO& info) const;

private:
    Bridge(void* handle, CK_FUNCTION_LIST* module);
    std::set<CK_SLOT_ID> presentSlots() const;

    void* handle_;
    CK_FUNCTION_LIST* module_;
    std::set<CK_SLOT_ID> lastSlots_;
    std::deque<CK_SLOT_ID> pending_;
    std::chrono::steady_clock::time_point lastLook_;
};

}  // namespace kxsim
