// The method server on the world's system bus, with a handler made for the test and libdbus as
// the client: result types no handler of the daemon returns, and handler exceptions. (Arguments,
// calls it does not serve, stopping while clients call, the bus policy: test_dbus_service.py,
// through the daemon.)
#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "TestLog.h"
#include "dbus/DBusServer.h"

namespace {

const char kName[] = "kx.daemon.server";

struct MessageUnref {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

// A reply as its signature and, for a byte, its value: "y 255".
std::string describeReply(DBusMessage* reply) {
    if (reply == nullptr) {
        return "no reply";
    }
    std::string text = dbus_message_get_signature(reply);
    uint8_t byte = 0;
    if (text == "y" &&
        dbus_message_get_args(reply, nullptr, DBUS_TYPE_BYTE, &byte, DBUS_TYPE_INVALID)) {
        text += " " + std::to_string(byte);
    }
    return text;
}

class DBusServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("KX_WORLD_LOG"), nullptr) << "run this test inside a world";
        // Answers result_, or throws what it holds: a std::runtime_error, or 42 for a char.
        server_.registerHandler("result", [this](DBusServer::Arguments&) {
            if (const auto* error = common::any_cast<std::runtime_error>(&result_)) {
                throw *error;
            }
            if (common::any_cast<char>(&result_) != nullptr) {
                throw 42;
            }
            return result_;
        });
        size_t mark = world::logMark();
        server_.start();
        ASSERT_TRUE(world::waitForLog(
            LOG_INFO, "[INFO] Установлено соединение с dbus. Запущен интерфейс kx.daemon.server.",
            mark));
    }

    void TearDown() override {
        dbus_connection_close(client_);
        dbus_connection_unref(client_);
    }

    // The reply, or null when there is none.
    Message call(const char* method) {
        Message message(dbus_message_new_method_call(kName, "/any/path", kName, method));
        return Message(
            dbus_connection_send_with_reply_and_block(client_, message.get(), 5000, nullptr));
    }

    DBusServer server_{kName};
    common::any result_;
    DBusConnection* client_ = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);
};

TEST_F(DBusServerTest, ResultsGoOutByTheirExactTypeAndExceptionsWithoutArguments) {
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
        // libdbus would abort on text that is not UTF-8.
        {std::string("\xff"), "",
         warning + "Не удалось в ответ на вызов result записать код завершения типа 115"},
        {std::runtime_error("no such slot"), "",
         warning + "Вызов обработчика метода result завершился с исключением no such slot"},
        {'x', "", warning + "Вызов обработчика метода result завершился с исключением"},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.warning + expected.reply);
        result_ = expected.value;
        size_t mark = testlog::settledMark();
        EXPECT_EQ(describeReply(call("result").get()), expected.reply);
        EXPECT_EQ(testlog::textsSince(mark, LOG_WARNING),
                  expected.warning.empty() ? std::vector<std::string>{}
                                           : std::vector<std::string>{expected.warning});
    }
}

}  // namespace
