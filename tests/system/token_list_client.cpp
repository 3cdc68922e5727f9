// A client of the daemon that reads its token list with the project's own decoder: calls
// "allTokens" on the system bus (with the given string arguments, which the daemon ignores) and
// prints one line per token, every field in wire order, separated by '|'.
#include <dbus/dbus.h>

#include <cstdio>
#include <iostream>

#include "token/Token.h"

int main(int argc, char* argv[]) {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (connection == nullptr) {
        std::cerr << "no bus: " << error.message << "\n";
        return 2;
    }
    DBusMessage* call =
        dbus_message_new_method_call("kx.daemon.server", "/", "kx.daemon.server", "allTokens");
    DBusMessageIter args;
    dbus_message_iter_init_append(call, &args);
    for (int i = 1; i < argc; ++i) {
        dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &argv[i]);
    }
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(connection, call, 5000, &error);
    dbus_message_unref(call);
    if (reply == nullptr) {
        std::cerr << "no reply: " << error.message << "\n";
        return 2;
    }
    DBusMessageIter iter;
    DBusMessageIter array;
    if (!dbus_message_iter_init(reply, &iter) ||
        dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_ARRAY) {
        std::cerr << "not an array: " << dbus_message_get_signature(reply) << "\n";
        return 2;
    }
    dbus_message_iter_recurse(&iter, &array);
    while (dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_STRUCT) {
        bool valid = false;
        Token::Info token = Token::Info::reciveData(&array, &valid);
        if (!valid) {
            std::cerr << "not a token record\n";
            return 2;
        }
        std::cout << token.slotId << '|' << token.label << '|' << token.model << '|' << token.applet
                  << '|' << token.serialNumber << '|' << token.isd << '|' << token.message << '|'
                  << token.isNew;
        for (const Token::Profile& profile : token.profiles) {
            std::cout << "|profile " << profile.userName << '|' << profile.domain;
        }
        for (const Token::Cert& cert : token.certs) {
            const Certificate& c = cert.certificate;
            std::cout << "|cert " << cert.id << '|' << cert.label << '|' << c.subject() << '|'
                      << c.subjectOrganization() << '|' << c.subjectDomainComponent() << '|'
                      << c.issuer() << '|' << c.issuerOrganization() << '|'
                      << c.issuerDomainComponent() << '|' << c.altName() << '|' << c.fingerprint()
                      << '|' << c.isCaCert();
        }
        std::cout << "\n";
        dbus_message_iter_next(&array);
    }
    dbus_message_unref(reply);
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
    dbus_shutdown();  // so the sanitizer build sees no leak
    return 0;
}
