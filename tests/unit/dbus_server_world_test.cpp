// The method server on the world's system bus, with handlers made for the test and libdbus as
// the client: the argument and result type tables and handler exceptions. (The daemon's own
// handlers, calls it does not serve, stopping while clients call, the bus policy:
// test_dbus_service.py.)
#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdint>
#include <functional>
#include <map>
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

// The held type and value of an argument, e.g. "int16:-2".
template <typename T>
bool show(const common::any& arg, const char* name, std::string& text) {
    const T* value = common::any_cast<T>(&arg);
    if (value != nullptr) {
        text += (text.empty() ? "" : " ") + std::string(name) + ':' + std::to_string(+*value);
    }
    return value != nullptr;
}

std::string echo(const DBusServer::Arguments& args) {
    std::string text;
    for (const common::any& arg : args) {
        show<int8_t>(arg, "int8", text) || show<int16_t>(arg, "int16", text) ||
            show<uint16_t>(arg, "uint16", text) || show<uint32_t>(arg, "uint32", text) ||
            show<uint64_t>(arg, "uint64", text);
    }
    return text;
}

// A reply as "signature value", e.g. "i -5"; just the signature for anything else.
std::string describeReply(DBusMessage* reply) {
    if (reply == nullptr) {
        return "no reply";
    }
    std::string text = dbus_message_get_signature(reply);
    DBusMessageIter iter;
    DBusBasicValue v{};
    if (!dbus_message_iter_init(reply, &iter) || !dbus_type_is_basic(text[0])) {
        return text;
    }
    dbus_message_iter_get_basic(&iter, &v);
    const std::map<char, std::string> values = {
        {'y', std::to_string(v.byt)}, {'b', std::to_string(v.bool_val)},
        {'n', std::to_string(v.i16)}, {'q', std::to_string(v.u16)},
        {'i', std::to_string(v.i32)}, {'u', std::to_string(v.u32)},
        {'x', std::to_string(v.i64)}, {'t', std::to_string(v.u64)},
        {'d', std::to_string(v.dbl)}, {'s', text == "s" ? v.str : ""}};
    return text + " " + values.at(text[0]);
}

template <typename Wire>
void append(DBusMessageIter* iter, int code, Wire value) {
    dbus_message_iter_append_basic(iter, code, &value);
}

class DBusServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("KX_WORLD_LOG"), nullptr) << "run this test inside a world";
        server_.registerHandler(
            "echo", [](DBusServer::Arguments& args) { return common::any(echo(args)); });
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
    Message call(const char* method, const std::function<void(DBusMessageIter*)>& args = {}) {
        Message message(dbus_message_new_method_call(kName, "/any/path", kName, method));
        DBusMessageIter iter;
        dbus_message_iter_init_append(message.get(), &iter);
        if (args) {
            args(&iter);
        }
        return Message(
            dbus_connection_send_with_reply_and_block(client_, message.get(), 5000, nullptr));
    }

    DBusServer server_{kName};
    common::any result_;
    DBusConnection* client_ = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);
};

// Booleans, 32- and 64-bit signed integers, doubles, strings and arrays of them:
// test_dbus_service.py.
TEST_F(DBusServerTest, ArgumentsArriveAsTheirValueTypesAndOthersAreSkipped) {
    size_t mark = testlog::settledMark();
    Message reply = call("echo", [](DBusMessageIter* iter) {
        append<uint8_t>(iter, DBUS_TYPE_BYTE, 255);
        append<dbus_int16_t>(iter, DBUS_TYPE_INT16, -2);
        append<const char*>(iter, DBUS_TYPE_OBJECT_PATH, "/kx");
        append<dbus_uint16_t>(iter, DBUS_TYPE_UINT16, 3);
        append<dbus_uint32_t>(iter, DBUS_TYPE_UINT32, 5);
        append<dbus_uint64_t>(iter, DBUS_TYPE_UINT64, 7);
    });
    EXPECT_EQ(describeReply(reply.get()), "s int8:-1 int16:-2 uint16:3 uint32:5 uint64:7");
    // The reply leaves before its line is logged.
    ASSERT_TRUE(world::waitForLog(LOG_INFO, "[INFO] dbus: Результат вызова echo отправлен", mark));
    EXPECT_EQ(testlog::textsSince(mark),
              (std::vector<std::string>{
                  "[WARNING] dbus: Аргумент вызова echo №3 имеет не поддерживаемый формат 111",
                  "[INFO] dbus: Вызов метода echo с 5 аргументами",
                  "[INFO] dbus: Результат вызова echo отправлен"}));
}

TEST_F(DBusServerTest, ResultsGoOutByTheirExactTypeAndExceptionsWithoutArguments) {
    const std::string warning = "[WARNING] dbus: ";
    const struct {
        common::any value;
        std::string reply;
        std::string warning;
    } cases[] = {
        {common::any(), "", ""},
        {int8_t{-1}, "y 255", ""},
        {uint8_t{200}, "y 200", ""},
        {int16_t{-3}, "n -3", ""},
        {uint16_t{4}, "q 4", ""},
        {uint32_t{6}, "u 6", ""},
        {uint64_t{8}, "t 8", ""},
        {true, "b 1", ""},
        {2.5, "d 2.500000", ""},
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
