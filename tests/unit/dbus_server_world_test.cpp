// The method server on the world's system bus with a handler made for the test: result types no
// handler of the daemon returns, and handler exceptions. (Arguments, calls it does not serve,
// stopping while clients call, the bus policy: test_dbus_service.py, through the daemon.)
#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "TestLog.h"
#include "dbus/DBusServer.h"

namespace {

const char kName[] = "kx.daemon.server";

// The reply to a call of method, as its signature and, for a byte, its value: "y 255".
std::string reply(DBusConnection* client, const char* method) {
    DBusMessage* call = dbus_message_new_method_call(kName, "/any/path", kName, method);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(client, call, 5000, nullptr);
    dbus_message_unref(call);
    if (reply == nullptr) {
        return "no reply";
    }
    std::string text = dbus_message_get_signature(reply);
    uint8_t byte = 0;
    if (text == "y" &&
        dbus_message_get_args(reply, nullptr, DBUS_TYPE_BYTE, &byte, DBUS_TYPE_INVALID)) {
        text += " " + std::to_string(byte);
    }
    dbus_message_unref(reply);
    return text;
}

TEST(DBusServerTest, ResultsGoOutByTheirExactTypeAndExceptionsWithoutArguments) {
    ASSERT_NE(std::getenv("KX_WORLD_LOG"), nullptr) << "run this test inside a world";
    common::any result;
    DBusServer server(kName);
    // Answers result, or throws what it holds: a std::runtime_error, or 42 for a char.
    server.registerHandler("result", [&result](DBusServer::Arguments&) {
        if (const auto* error = common::any_cast<std::runtime_error>(&result)) {
            throw *error;
        }
        if (common::any_cast<char>(&result) != nullptr) {
            throw 42;
        }
        return result;
    });
    size_t mark = world::logMark();
    server.start();
    ASSERT_TRUE(world::waitForLog(
        LOG_INFO, "[INFO] Установлено соединение с dbus. Запущен интерфейс kx.daemon.server.",
        mark));
    DBusConnection* client = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);

    const std::string warning = "[WARNING] dbus: ";
    const struct {
        common::any value;
        std::string reply;
        std::string warning;
    } cases[] = {
        {common::any(), "", ""},
        {int8_t{-1}, "y 255", ""},  // the signed byte goes out as D-Bus's byte
        {int16_t{-3}, "n", ""},
        {uint64_t{8}, "t", ""},
        {2.5, "d", ""},
        {1.5f, "",
         warning + "Не поддерживаемый тип возвращаемого значения f обработчика вызова result"},
        // libdbus would abort on text that is not UTF-8; the bus would drop the daemon for a
        // message beyond its limit.
        {std::string("\xff"), "",
         warning + "Не удалось в ответ на вызов result записать код завершения типа 115"},
        {std::string(DBusServer::kMaxReplyBytes + 1, 'x'), "",
         warning + "Не удалось в ответ на вызов result записать код завершения типа 115"},
        {std::runtime_error("no such slot"), "",
         warning + "Вызов обработчика метода result завершился с исключением no such slot"},
        {'x', "", warning + "Вызов обработчика метода result завершился с исключением"},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.warning + expected.reply);
        result = expected.value;
        mark = testlog::settledMark();
        EXPECT_EQ(reply(client, "result"), expected.reply);
        EXPECT_EQ(testlog::textsSince(mark, LOG_WARNING),
                  expected.warning.empty() ? std::vector<std::string>{}
                                           : std::vector<std::string>{expected.warning});
    }
    dbus_connection_close(client);
    dbus_connection_unref(client);
}

}  // namespace
