// A PKCS#11 module standing for a reader whose card stops answering, loaded through the
// simulated library's bridge mode (KXSIM_BRIDGE_MODULE). The file named by
// KX_FAILING_READER_SLOTS holds one slot id per line; "ID broken" keeps the slot known but drops
// its token from the present ones and fails the slot's calls with CKR_DEVICE_ERROR. (The
// simulated library's own failures cannot: a token only reaches the daemon by an insertion.)
// Tokens have no objects; entries the daemon never calls stay null.

#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Slot id to "the card answers".
std::map<CK_SLOT_ID, bool> readSlots() {
    std::map<CK_SLOT_ID, bool> slots;
    const char* path = std::getenv("KX_FAILING_READER_SLOTS");
    std::ifstream file(path != nullptr ? path : "");
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        CK_SLOT_ID slot = 0;
        std::string state;
        if (words >> slot) {
            words >> state;
            slots[slot] = state != "broken";
        }
    }
    return slots;
}

CK_RV slotState(CK_SLOT_ID slot) {
    auto slots = readSlots();
    auto found = slots.find(slot);
    if (found == slots.end()) {
        return CKR_SLOT_ID_INVALID;
    }
    return found->second ? CKR_OK : CKR_DEVICE_ERROR;
}

void pad(CK_UTF8CHAR* field, size_t size, const std::string& text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text.data(), std::min(size, text.size()));
}

template <typename... Parameters>
CK_RV succeed(Parameters...) {
    return CKR_OK;
}

CK_RV getSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    std::vector<CK_SLOT_ID> listed;
    for (const auto& [slot, answers] : readSlots()) {
        if (answers || !tokenPresent) {
            listed.push_back(slot);
        }
    }
    bool fits = list == nullptr || *count >= listed.size();
    if (list != nullptr && fits) {
        std::copy(listed.begin(), listed.end(), list);
    }
    *count = listed.size();
    return fits ? CKR_OK : CKR_BUFFER_TOO_SMALL;
}

CK_RV getSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
    CK_RV rv = slotState(slot);
    if (rv == CKR_OK) {
        std::memset(info, 0, sizeof *info);
        info->flags = CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
    }
    return rv;
}

CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    CK_RV rv = slotState(slot);
    if (rv == CKR_OK) {
        std::memset(info, 0, sizeof *info);
        pad(info->label, sizeof info->label, "reader " + std::to_string(slot));
        // The bridge answers KX_GetISD with model and serial number: the serial names the ISD.
        pad(info->model, sizeof info->model, "Korvex Linnet");
        pad(info->serialNumber, sizeof info->serialNumber, "KX214");
        info->flags = CKF_TOKEN_INITIALIZED;
    }
    return rv;
}

CK_RV openSession(CK_SLOT_ID slot, CK_FLAGS, CK_VOID_PTR, CK_NOTIFY,
                  CK_SESSION_HANDLE_PTR session) {
    CK_RV rv = slotState(slot);
    if (rv == CKR_OK) {
        *session = slot + 1;
    }
    return rv;
}

CK_RV findObjects(CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR, CK_ULONG, CK_ULONG_PTR found) {
    *found = 0;
    return CKR_OK;
}

CK_RV getAttributeValue(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG) {
    return CKR_OBJECT_HANDLE_INVALID;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(
    CK_FUNCTION_LIST_PTR_PTR list) {
    static CK_FUNCTION_LIST functions = [] {
        CK_FUNCTION_LIST f{};
        f.version = {2, 40};
        f.C_Initialize = succeed<CK_VOID_PTR>;
        f.C_Finalize = succeed<CK_VOID_PTR>;
        f.C_GetSlotList = getSlotList;
        f.C_GetSlotInfo = getSlotInfo;
        f.C_GetTokenInfo = getTokenInfo;
        f.C_OpenSession = openSession;
        f.C_CloseSession = succeed<CK_SESSION_HANDLE>;
        f.C_FindObjectsInit = succeed<CK_SESSION_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG>;
        f.C_FindObjects = findObjects;
        f.C_FindObjectsFinal = succeed<CK_SESSION_HANDLE>;
        f.C_GetAttributeValue = getAttributeValue;
        return f;
    }();
    *list = &functions;
    return CKR_OK;
}
