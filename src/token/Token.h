#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "token/Certificate.h"
#include "token/kxpkcs11.h"

struct DBusMessageIter;

// Everything the daemon reads from a token through the vendor library, and the records that
// carry it. Their D-Bus wire form is the D-Bus code's (dbus/TokenWire.cpp), which every token
// list that leaves the daemon and every client that decodes one use. No state of its own: all
// members are static.
class Token {
public:
    // One login profile stored on a token: the account userName in domain.
    struct Profile {
        std::string userName;
        std::string domain;

        static const std::string typeFromDbus;  // "(ss)"

        // Appends one struct to an open message iterator.
        void sendData(DBusMessageIter* iter) const;
        // Reads an array of profile structs at iter and moves iter past it. On a value of
        // another D-Bus signature nothing is read, iter stays and *valid (if given) is false.
        static std::vector<Profile> reciveData(DBusMessageIter* iter, bool* valid = nullptr);
    };

    // One certificate object of a token. id holds the raw CKA_ID bytes, empty when the
    // certificate is not in a key container.
    struct Cert {
        std::string id;
        std::string label;
        Certificate certificate;

        static const std::string typeFromDbus;  // "(ssssssssssb)"

        void sendData(DBusMessageIter* iter) const;
        // As Profile::reciveData, over an array of certificate structs.
        static std::vector<Cert> reciveData(DBusMessageIter* iter, bool* valid = nullptr);
    };

    // What the daemon knows of the token in one slot.
    struct Info {
        uint64_t slotId = 0;
        std::string label;
        std::string model;
        std::string applet;
        std::string serialNumber;
        std::string isd;
        std::string message;  // a problem the user must fix on the token, worded for the user
        bool isNew = false;
        // Not read whole (a call failed, the token left or the read ran out of its time): what
        // the record lacks may be what ties the token to a session. Not on the wire.
        bool incomplete = false;
        std::vector<Profile> profiles;
        std::vector<Cert> certs;

        static const std::string typeFromDbus;  // "(ussssssba(ss)a(ssssssssssb))"

        // Appends one struct; the slot goes out as its low 32 bits. Every text goes out up to
        // its first NUL; a text that is not valid UTF-8 (a binary CKA_ID, for one) goes out
        // whole as lower-case hexadecimal instead, since D-Bus carries only UTF-8.
        void sendData(DBusMessageIter* iter) const;
        // Appends the records as an array of structs, in the map's order.
        static void sendList(DBusMessageIter* iter, const std::map<CK_SLOT_ID, Info>& tokens);
        // Reads the struct at iter without moving iter. On a value of another D-Bus signature
        // the default record comes back and *valid (if given) is false.
        static Info reciveData(DBusMessageIter* iter, bool* valid = nullptr);

        // Read the basic value at iter and step to the next element. Without an iterator, or
        // when the value there is of another type, they return nullptr, 0 or false and leave
        // the iterator where it is.
        static const char* getStr(DBusMessageIter* iter);
        static uint32_t getUInt32(DBusMessageIter* iter);
        static bool getBool(DBusMessageIter* iter);
    };

    // Applet names.
    static const std::string DataStore;
    static const std::string Nacre;
    static const std::string Nacre2;
    static const std::string Quill;
    static const std::string Linnet;
    static const std::string QMX;
    static const std::string Forte;

    // Product display name -> its model codes, "KX" and three digits, optionally "-" and a
    // letter, separated by ", ". A code may belong to more than one product.
    static const std::map<std::string, std::string> modelTokens;

    // Start and stop the vendor library; false (and a log line) when it refuses. Given
    // `failure`, initialize leaves the line to the caller and stores the library's answer there.
    // A library that cannot lock for threaded callers is started for one caller at a time,
    // with a warning (LibraryCall::serialised()). finalize waits for a call still in progress.
    static bool initialize(CK_RV* failure = nullptr);
    static bool finalize();

    // How far a read goes: it stops, leaving the record incomplete, once the deadline has
    // passed, or once what it read shows the token is not the expected one.
    struct ReadBound {
        std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
        const Info* expected = nullptr;

        // False once the read should stop, before reading past `read`.
        bool goOn(const Info& read) const;
    };

    // Whether `partial` may be a part of what the token `whole` holds: the same header, and no
    // certificate or profile that `whole` lacks.
    static bool mayBe(const Info& whole, const Info& partial);

    // Reads the token in slot. A default record, marked incomplete, when the token or slot
    // information or a session cannot be had.
    static Info tokenInfo(CK_SLOT_ID slot, const ReadBound& bound);
    static Info tokenInfo(CK_SLOT_ID slot);
    // What a token tells without a session (slot, label, serial number, applet, ISD, model),
    // quietly: the slot loop's quick look at the token now in a slot. False when even the token
    // information cannot be had.
    static bool tokenHeader(CK_SLOT_ID slot, Info& info);
    static std::string detectTokenApplet(const CK_TOKEN_INFO& info);
    static std::string detectTokenModelName(std::string text);
    // Certificate objects of the session's token into info.certs; sets info.message when one
    // is outside a key container. False when not every object was read (a call failed or the
    // bound stopped it).
    static bool readTokenCerts(CK_SESSION_HANDLE session, Info& info, const ReadBound& bound);
    static bool readTokenProfiles(CK_SESSION_HANDLE session, Info& info, const ReadBound& bound);
    // One value per type, in order, or an empty list when the values cannot be read.
    static std::vector<std::string> tokenObjectAttributes(
        CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
        const std::vector<CK_ATTRIBUTE_TYPE>& types);

    // PIN checks. Nothing in the daemon calls them; they serve client tools that link the
    // library. They talk to the token in info.slotId, so the vendor library must be started.
    enum class PinState { Ok = 0, Error = 1, Locked = 2, Expired = 3, ChangeSoon = 4 };
    // The state and a message for the user (empty when there is nothing to say).
    using PinResult = std::pair<PinState, std::string>;

    // Fixed Russian messages of the return codes the PIN checks can meet.
    static const std::map<uint64_t, std::string> returnCodeMap;
    // The code's message, or for a code the table does not hold one that names the code.
    static std::string returnCodeText(uint64_t code);

    // Verifies pin by logging in as the user, or as the administrator when admin is set. An
    // expired user PIN is reported before any login is tried, so it costs no retry; the
    // lifetime policy is the user PIN's, so an administrator's check never meets it.
    static PinResult checkPin(const Info& info, const std::string& pin, bool admin);
    // (retries left, retry limit) by the applet's counter extension; (0, 0) for an applet
    // without one, or when the counters cannot be read.
    static std::pair<uint64_t, uint64_t> getPinCounters(const Info& info, bool admin);
    // Whether the PIN lifetime policy on the token says the PIN has expired or must be changed
    // soon. Only Quill and Forte applets keep such a policy; any other gives Ok.
    static PinResult pinExpired(const Info& info);
    static PinResult pinExpiredQuill(const Info& info);
    static PinResult pinExpiredForte(const Info& info);
    // Days before expiry from which Quill PINs are reported as ChangeSoon: the greeter's
    // daysForChangeNotification setting, 14 without one.
    static int changePinNotification();
    static constexpr const char* greeterConfigPath = "/etc/xdg/HalvardLtd/kx-greeter.conf";

    // Vendor object class of login profiles and their two text attributes.
    static constexpr CK_OBJECT_CLASS kProfileClass = 0x80000001UL;
    static constexpr CK_ATTRIBUTE_TYPE kProfileUserName = 0x8000000FUL;
    static constexpr CK_ATTRIBUTE_TYPE kProfileDomain = 0x80000010UL;
    // One search reads at most this many objects.
    static constexpr CK_ULONG kMaxCerts = 128;
    static constexpr CK_ULONG kMaxProfiles = 1000;
};
