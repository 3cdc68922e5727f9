#include "KxsimCommand.h"

#include "Entry.h"
#include "TokenStore.h"

#include <cstdlib>
#include <map>
#include <optional>

namespace kxsim {

namespace {

const char kUsage[] =
    "usage: kxsim [--dir DIR] insert SLOT [--from FILE] [--replace] [TOKEN OPTIONS]\n"
    "       kxsim [--dir DIR] swap SLOT [--from FILE] [TOKEN OPTIONS]\n"
    "       kxsim [--dir DIR] remove SLOT\n"
    "       kxsim [--dir DIR] list\n"
    "       kxsim --help | --version\n"
    "\n"
    "DIR defaults to $KXSIM_TOKEN_DIR, else /run/kxsim/tokens. SLOT is a decimal slot id.\n"
    "swap pulls the token in SLOT and puts this one in at the same instant: one slot event.\n"
    "\n"
    "Token options (each sets the entry key of the same name, see kxsim(1)):\n"
    "  --label TEXT  --model TEXT  --serial TEXT  --manufacturer TEXT  --isd TEXT\n"
    "  --hardware M.m  --firmware M.m  --user-pin PIN  --so-pin PIN\n"
    "  --user-tries N  --user-tries-left N  --so-tries N  --so-tries-left N\n"
    "  --pin-lifetime DAYS  --pin-changed YYYYMMDD  --pin-max-age DAYS\n"
    "  --pin-warning DAYS  --pin-age DAYS\n"
    "  --profile USER@DOMAIN             (repeatable)\n"
    "  --fail CALL=CODE                  (repeatable, e.g. C_Login=CKR_DEVICE_ERROR)\n"
    "  --delay CALL=MS                   (repeatable, e.g. C_GetAttributeValue=500)\n"
    "  --hang CALL                       (repeatable, e.g. C_WaitForSlotEvent)\n"
    "  --slot-count N|growing            (what C_GetSlotList says the slot count is)\n"
    "  --cert FILE [--cert-id HEX] [--cert-label TEXT]\n"
    "                                    (repeatable; PEM or DER; id defaults to the\n"
    "                                     certificate's position, label to the file name)\n";

struct BadInput {
    std::string message;
};

struct Failed {
    std::string message;
};

std::string baseName(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string dirName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

CK_SLOT_ID parseSlot(const std::string& text) {
    auto slot = slotFromEntryName(text);
    if (!slot) {
        throw BadInput{"SLOT must be a decimal slot id without leading zeros, not \"" + text +
                       "\""};
    }
    return *slot;
}

void check(const std::string& problem, const std::string& option) {
    if (!problem.empty()) {
        throw BadInput{option + ": " + problem};
    }
}

// Builds the entry that insert writes from an optional file and the options.
class EntryBuilder {
public:
    void fromFile(const std::string& path) {
        std::string error;
        auto text = readWholeFile(path, error);
        if (!text) {
            throw BadInput{error};
        }
        auto entry = parseEntry(*text, dirName(path), error);
        if (!entry) {
            throw BadInput{path + ": " + error};
        }
        entry_ = std::move(*entry);
    }

    void option(const std::string& name, const std::string& value) {
        std::string key = name.substr(2);
        if (key == "fail" || key == "delay") {
            size_t equals = value.find('=');
            if (equals == std::string::npos) {
                throw BadInput{name + ": expected CALL=" + (key == "fail" ? "CODE" : "MS") +
                               ", not \"" + value + "\""};
            }
            check(
                setTokenKey(entry_, key, value.substr(0, equals) + " " + value.substr(equals + 1)),
                name);
        } else if (key == "cert") {
            CertificateEntry certificate;
            certificate.label = baseName(value);
            certificate.id = std::string(1, static_cast<char>(entry_.certificates.size() + 1));
            check(setCertificateKey(certificate, "file", value, ""), name);
            entry_.certificates.push_back(certificate);
            lastCertificateFromOptions_ = true;
        } else if (key == "cert-id" || key == "cert-label") {
            if (!lastCertificateFromOptions_) {
                throw BadInput{name + " must follow a --cert option"};
            }
            check(setCertificateKey(entry_.certificates.back(), key.substr(5), value, ""), name);
        } else if (tokenKeys().count(key)) {
            check(setTokenKey(entry_, key, value), name);
        } else {
            throw BadInput{"unknown option " + name};
        }
    }

    const TokenEntry& entry() const { return entry_; }

private:
    TokenEntry entry_;
    bool lastCertificateFromOptions_ = false;
};

// insert, and swap (which replaces a token already there).
int insert(const TokenStore& store, const std::vector<std::string>& args, size_t at,
           std::ostream& out, bool swap) {
    if (at >= args.size()) {
        throw BadInput{args[at - 1] + " needs a SLOT"};
    }
    CK_SLOT_ID slot = parseSlot(args[at++]);
    if (swap && !store.holds(slot)) {
        throw Failed{"no token in slot " + entryName(slot)};
    }
    EntryBuilder builder;
    bool replace = swap;
    std::vector<std::pair<std::string, std::string>> options;
    for (; at < args.size(); ++at) {
        const std::string& name = args[at];
        if (name == "--replace") {
            replace = true;
            continue;
        }
        if (name.rfind("--", 0) != 0) {
            throw BadInput{"unexpected argument \"" + name + "\""};
        }
        if (at + 1 >= args.size()) {
            throw BadInput{name + " needs a value"};
        }
        if (name == "--from") {
            if (!options.empty()) {
                throw BadInput{"--from must come before the token options"};
            }
            builder.fromFile(args[++at]);
            continue;
        }
        options.emplace_back(name, args[++at]);
    }
    for (const auto& [name, value] : options) {
        builder.option(name, value);
    }
    std::string error = store.insert(slot, formatEntry(builder.entry()), replace);
    if (!error.empty()) {
        throw Failed{error};
    }
    out << "inserted token \"" << builder.entry().label << "\" into slot " << slot << "\n";
    return kExitOk;
}

void describe(const StoredEntry& stored, std::ostream& out) {
    out << "slot " << stored.slot << ": ";
    if (!stored.entry) {
        out << "invalid entry, " << stored.error << "\n";
        return;
    }
    const TokenEntry& entry = *stored.entry;
    out << "label \"" << entry.label << "\" model \"" << entry.model << "\" serial \""
        << entry.serial << "\", " << entry.certificates.size() << " certificate(s), "
        << entry.profiles.size() << " profile(s)";
    for (const auto& [call, code] : entry.failures) {
        out << ", " << call << " fails";
    }
    for (const auto& [call, delay] : entry.delays) {
        out << ", " << call
            << (delay.forever ? " hangs" : " takes " + std::to_string(delay.milliseconds) + " ms");
    }
    if (entry.slotCount) {
        out << ", slot count "
            << (entry.slotCount->growing ? "growing" : std::to_string(entry.slotCount->count));
    }
    out << "\n";
}

}  // namespace

int runKxsim(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const char* envDir = std::getenv("KXSIM_TOKEN_DIR");
    std::string dir = envDir != nullptr && *envDir != '\0' ? envDir : "/run/kxsim/tokens";
    size_t at = 0;
    try {
        if (at < args.size() && (args[at] == "--help" || args[at] == "-h")) {
            out << kUsage;
            return kExitOk;
        }
        if (at < args.size() && args[at] == "--version") {
            out << "kxsim " << KX_VERSION << "\n";
            return kExitOk;
        }
        if (at < args.size() && args[at] == "--dir") {
            if (at + 1 >= args.size()) {
                throw BadInput{"--dir needs a value"};
            }
            dir = args[at + 1];
            at += 2;
        }
        if (at >= args.size()) {
            throw BadInput{"no command given"};
        }
        TokenStore store(dir);
        const std::string& command = args[at++];
        if (command == "insert" || command == "swap") {
            return insert(store, args, at, out, command == "swap");
        }
        if (command == "remove") {
            if (at + 1 != args.size()) {
                throw BadInput{"remove takes exactly one SLOT"};
            }
            std::string error = store.remove(parseSlot(args[at]));
            if (!error.empty()) {
                throw Failed{error};
            }
            return kExitOk;
        }
        if (command == "list") {
            if (at != args.size()) {
                throw BadInput{"list takes no arguments"};
            }
            std::vector<StoredEntry> entries;
            std::string error = store.list(entries);
            if (!error.empty()) {
                throw Failed{error};
            }
            for (const StoredEntry& entry : entries) {
                describe(entry, out);
            }
            return kExitOk;
        }
        throw BadInput{"unknown command \"" + command + "\""};
    } catch (const BadInput& bad) {
        err << "kxsim: " << bad.message << "\n(kxsim --help shows the usage)\n";
        return kExitBadInput;
    } catch (const Failed& failure) {
        err << "kxsim: " << failure.message << "\n";
        return kExitFailed;
    }
}

}  // namespace kxsim
