#include "TokenView.h"

#include "TextTable.h"
#include "base/Common.h"

namespace {

std::string joined(const std::vector<std::string>& parts) {
    std::string text;
    for (const std::string& part : parts) {
        text += (text.empty() ? "" : ", ") + part;
    }
    return text;
}

nlohmann::ordered_json certificateJson(const Token::Cert& cert) {
    const Certificate& c = cert.certificate;
    return {{"id", cert.id},
            {"label", cert.label},
            {"subject", c.subject()},
            {"subjectOrganization", c.subjectOrganization()},
            {"subjectDomainComponent", c.subjectDomainComponent()},
            {"issuer", c.issuer()},
            {"issuerOrganization", c.issuerOrganization()},
            {"issuerDomainComponent", c.issuerDomainComponent()},
            {"altName", c.altName()},
            {"fingerprint", c.fingerprint()},
            {"isCa", c.isCaCert()}};
}

}  // namespace

std::optional<std::vector<Token::Info>> TokenView::decode(DBusMessage* answer) {
    DBusMessageIter iter;
    if (!dbus_message_iter_init(answer, &iter) ||
        dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_ARRAY ||
        dbus_message_iter_get_element_type(&iter) != DBUS_TYPE_STRUCT) {
        return std::nullopt;
    }
    DBusMessageIter records;
    dbus_message_iter_recurse(&iter, &records);
    std::vector<Token::Info> tokens;
    while (dbus_message_iter_get_arg_type(&records) == DBUS_TYPE_STRUCT) {
        bool valid = false;
        tokens.push_back(Token::Info::reciveData(&records, &valid));
        if (!valid) {
            return std::nullopt;
        }
        dbus_message_iter_next(&records);
    }
    return tokens;
}

std::string TokenView::table(const std::vector<Token::Info>& tokens) {
    TextTable table({"SLOT", "LABEL", "MODEL", "APPLET", "SERIAL", "PROFILES", "CERTIFICATES"});
    std::string messages;
    for (const Token::Info& token : tokens) {
        std::vector<std::string> profiles;
        for (const Token::Profile& profile : token.profiles) {
            profiles.push_back(profile.userName + "@" + profile.domain);
        }
        std::vector<std::string> subjects;
        for (const Token::Cert& cert : token.certs) {
            subjects.push_back(cert.certificate.subject());
        }
        std::string slot = std::to_string(token.slotId);
        table.addRow({slot, token.label, token.model, token.applet, token.serialNumber,
                      joined(profiles), joined(subjects)});
        if (!token.message.empty()) {
            messages += "slot " + slot + ": " + Common::printable(token.message) + "\n";
        }
    }
    return table.render() + messages;
}

nlohmann::ordered_json TokenView::json(const std::vector<Token::Info>& tokens) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Token::Info& token : tokens) {
        nlohmann::ordered_json profiles = nlohmann::ordered_json::array();
        for (const Token::Profile& profile : token.profiles) {
            profiles.push_back({{"userName", profile.userName}, {"domain", profile.domain}});
        }
        nlohmann::ordered_json certs = nlohmann::ordered_json::array();
        for (const Token::Cert& cert : token.certs) {
            certs.push_back(certificateJson(cert));
        }
        list.push_back({{"slotId", token.slotId},
                        {"label", token.label},
                        {"model", token.model},
                        {"applet", token.applet},
                        {"serialNumber", token.serialNumber},
                        {"isd", token.isd},
                        {"message", token.message},
                        {"isNew", token.isNew},
                        {"profiles", profiles},
                        {"certs", certs}});
    }
    return list;
}
