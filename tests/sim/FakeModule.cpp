// A minimal PKCS#11 module for the bridge-mode tests: its tokens come and go with the lines of
// the file named by KXSIM_FAKE_MODULE_SLOTS (one slot id per line), which SoftHSM2 cannot do
// while it runs. Each token is labelled "fake <slot id>".

#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::vector<CK_SLOT_ID> presentSlots() {
    std::vector<CK_SLOT_ID> slots;
    const char* path = std::getenv("KXSIM_FAKE_MODULE_SLOTS");
    std::ifstream file(path != nullptr ? path : "");
    CK_SLOT_ID slot = 0;
    while (file >> slot) {
        slots.push_back(slot);
    }
    return slots;
}

bool present(CK_SLOT_ID slot) {
    auto slots = presentSlots();
    return std::find(slots.begin(), slots.end(), slot) != slots.end();
}

CK_RV initialize(CK_VOID_PTR) { return CKR_OK; }

CK_RV finalize(CK_VOID_PTR) { return CKR_OK; }

CK_RV getSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    auto slots = presentSlots();
    if (list != nullptr && *count < slots.size()) {
        *count = slots.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    if (list != nullptr) {
        std::copy(slots.begin(), slots.end(), list);
    }
    *count = slots.size();
    return CKR_OK;
}

CK_RV getSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
    std::memset(info, 0, sizeof *info);
    info->flags = CKF_REMOVABLE_DEVICE | (present(slot) ? CKF_TOKEN_PRESENT : 0);
    return CKR_OK;
}

CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    if (!present(slot)) {
        return CKR_TOKEN_NOT_PRESENT;
    }
    std::memset(info, ' ', sizeof *info);
    std::string label = "fake " + std::to_string(slot);
    std::memcpy(info->label, label.data(), label.size());
    return CKR_OK;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(
    CK_FUNCTION_LIST_PTR_PTR list) {
    static CK_FUNCTION_LIST functions = [] {
        CK_FUNCTION_LIST f{};
        f.version = {2, 40};
        f.C_Initialize = initialize;
        f.C_Finalize = finalize;
        f.C_GetSlotList = getSlotList;
        f.C_GetSlotInfo = getSlotInfo;
        f.C_GetTokenInfo = getTokenInfo;
        return f;
    }();
    *list = &functions;
    return CKR_OK;
}
