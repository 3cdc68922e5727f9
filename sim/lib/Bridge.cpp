#include "Bridge.h"

#include <dlfcn.h>

#include <vector>

namespace kxsim {

namespace {

// Modules fill their function lists with their own exported C_ names; without DEEPBIND those
// would resolve to ours, which the process loaded first. The sanitizers refuse DEEPBIND.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kOpenFlags = RTLD_NOW | RTLD_LOCAL;
#else
constexpr int kOpenFlags = RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND;
#endif

}  // namespace

std::unique_ptr<Bridge> Bridge::open(const std::string& path, CK_VOID_PTR initArgs, CK_RV& rv) {
    void* handle = ::dlopen(path.c_str(), kOpenFlags);
    if (handle == nullptr) {
        rv = CKR_GENERAL_ERROR;
        return nullptr;
    }
    auto getFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(::dlsym(handle, "C_GetFunctionList"));
    CK_FUNCTION_LIST* module = nullptr;
    rv = getFunctionList == nullptr ? CKR_GENERAL_ERROR : getFunctionList(&module);
    if (rv == CKR_OK && (module == nullptr || module->C_Initialize == &C_Initialize)) {
        rv = CKR_GENERAL_ERROR;  // no module, or one that would call back into us
    }
    if (rv == CKR_OK) {
        // Our own lock does not cover forwarded calls, so the module must lock for itself.
        CK_C_INITIALIZE_ARGS osLocking = {};
        osLocking.flags = CKF_OS_LOCKING_OK;
        rv = module->C_Initialize(initArgs != nullptr ? initArgs : &osLocking);
    }
    if (rv != CKR_OK) {
        ::dlclose(handle);
        return nullptr;
    }
    std::unique_ptr<Bridge> bridge(new Bridge(handle, module));
    bridge->lastSlots_ = bridge->presentSlots();
    return bridge;
}

Bridge::Bridge(void* handle, CK_FUNCTION_LIST* module)
    : handle_(handle), module_(module), lastLook_(std::chrono::steady_clock::now()) {}

Bridge::~Bridge() {
    ::dlclose(handle_);
}

CK_RV Bridge::finalize() {
    return module_->C_Finalize(nullptr);
}

CK_RV Bridge::nextEvent(CK_SLOT_ID* slot) {
    auto now = std::chrono::steady_clock::now();
    if (pending_.empty() && now - lastLook_ >= kPollInterval) {
        // Looking costs the module a slot list, so it is done at most once per interval.
        lastLook_ = now;
        std::set<CK_SLOT_ID> slots = presentSlots();
        for (CK_SLOT_ID id : lastSlots_) {
            if (!slots.count(id)) {
                pending_.push_back(id);
            }
        }
        for (CK_SLOT_ID id : slots) {
            if (!lastSlots_.count(id)) {
                pending_.push_back(id);
            }
        }
        lastSlots_ = std::move(slots);
    }
    if (pending_.empty()) {
        return CKR_NO_EVENT;
    }
    *slot = pending_.front();
    pending_.pop_front();
    return CKR_OK;
}

CK_RV Bridge::tokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO& info) const {
    return module_->C_GetTokenInfo(slot, &info);
}

std::set<CK_SLOT_ID> Bridge::presentSlots() const {
    CK_ULONG count = 0;
    std::vector<CK_SLOT_ID> list;
    CK_RV rv = CKR_BUFFER_TOO_SMALL;
    while (rv == CKR_BUFFER_TOO_SMALL) {
        rv = module_->C_GetSlotList(CK_TRUE, nullptr, &count);
        if (rv != CKR_OK) {
            return lastSlots_;  // keep the last picture rather than invent removals
        }
        list.resize(count);
        rv = module_->C_GetSlotList(CK_TRUE, list.data(), &count);
    }
    if (rv != CKR_OK) {
        return lastSlots_;
    }
    return std::set<CK_SLOT_ID>(list.begin(), list.begin() + static_cast<long>(count));
}

}  // namespace kxsim
