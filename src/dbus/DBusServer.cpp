#include "dbus/DBusServer.h"

#include <dbus/dbus.h>
#include <poll.h>
#include <pthread.h>
#include <syslog.h>

#include <cstdint>
#include <mutex>
#include <stdexcept>

#include "daemon/DataBase.h"
#include "log/Common.h"
#include "log/KxLogger.h"
#include "watch/EventFd.h"

namespace {

// Clients poll this method: its calls are not logged one by one.
const std::string kQuietMethod = "lastDateUpdate";
// Without a stop event the worker still looks at its running flag this often.
constexpr int kFallbackWaitMs = 30;

using Message = std::unique_ptr<DBusMessage, DBusServer::MessageUnref>;

template <typename Wire>
Wire readBasic(DBusMessageIter* iter) {
    Wire value{};
    dbus_message_iter_get_basic(iter, &value);
    return value;
}

template <typename Wire, typename Value>
bool appendBasic(DBusMessage* reply, int code, const Value& value) {
    Wire wire = static_cast<Wire>(value);
    DBusMessageIter iter;
    dbus_message_iter_init_append(reply, &iter);
    return dbus_message_iter_append_basic(&iter, code, &wire);
}

// Appends a scalar or text result. False with code 0 when the result is none of those types;
// false with the type's code when it could not be appended.
bool appendScalar(DBusMessage* reply, const common::any& result, int& code) {
    using common::any_cast;
    if (auto value = any_cast<int8_t>(&result)) {
        return appendBasic<uint8_t>(reply, code = DBUS_TYPE_BYTE, *value);
    }
    if (auto value = any_cast<uint8_t>(&result)) {
        return appendBasic<uint8_t>(reply, code = DBUS_TYPE_BYTE, *value);
    }
    if (auto value = any_cast<int16_t>(&result)) {
        return appendBasic<dbus_int16_t>(reply, code = DBUS_TYPE_INT16, *value);
    }
    if (auto value = any_cast<uint16_t>(&result)) {
        return appendBasic<dbus_uint16_t>(reply, code = DBUS_TYPE_UINT16, *value);
    }
    if (auto value = any_cast<int32_t>(&result)) {
        return appendBasic<dbus_int32_t>(reply, code = DBUS_TYPE_INT32, *value);
    }
    if (auto value = any_cast<uint32_t>(&result)) {
        return appendBasic<dbus_uint32_t>(reply, code = DBUS_TYPE_UINT32, *value);
    }
    if (auto value = any_cast<int64_t>(&result)) {
        return appendBasic<dbus_int64_t>(reply, code = DBUS_TYPE_INT64, *value);
    }
    if (auto value = any_cast<uint64_t>(&result)) {
        return appendBasic<dbus_uint64_t>(reply, code = DBUS_TYPE_UINT64, *value);
    }
    if (auto value = any_cast<bool>(&result)) {
        return appendBasic<dbus_bool_t>(reply, code = DBUS_TYPE_BOOLEAN, *value ? TRUE : FALSE);
    }
    if (auto value = any_cast<double>(&result)) {
        return appendBasic<double>(reply, code = DBUS_TYPE_DOUBLE, *value);
    }
    if (auto value = any_cast<std::string>(&result)) {
        code = DBUS_TYPE_STRING;
        // libdbus aborts the process on text that is not UTF-8; such a result is not sent.
        return dbus_validate_utf8(value->c_str(), nullptr) &&
               appendBasic<const char*>(reply, code, value->c_str());
    }
    code = 0;
    return false;
}

// The token store as an array of token structures; the caller holds the store's mutex.
void appendStore(DBusMessage* reply) {
    DBusMessageIter iter;
    DBusMessageIter array;
    dbus_message_iter_init_append(reply, &iter);
    dbus_message_iter_open_container(&iter, DBUS_TYPE_ARRAY, Token::Info::typeFromDbus.c_str(),
                                     &array);
    for (const auto& stored : DataBase::storage()) {
        stored.second.sendData(&array);
    }
    dbus_message_iter_close_container(&iter, &array);
}

std::string typeName(const std::type_info& type) {
    const char* name = type.name();
    return name[0] == '*' ? name + 1 : name;
}

}  // namespace

void DBusServer::MessageUnref::operator()(DBusMessage* message) const {
    dbus_message_unref(message);
}

DBusServer::DBusServer(std::string name) : name_(std::move(name)) {}

DBusServer::~DBusServer() {
    stop();
}

void DBusServer::registerHandler(const std::string& method, Handler handler) {
    handlers_[method] = std::move(handler);
}

void DBusServer::start() {
    if (worker_) {
        stop();
    }
    if (handlers_.empty()) {
        KxLogger::log(LOG_WARNING,
                      "Произведен запуск dbus сервера без зарегистрированных обработчиков методов");
    }
    dbus_threads_init_default();
    try {
        wake_ = std::make_unique<EventFd>();
    } catch (const std::runtime_error&) {
        wake_.reset();  // the worker then looks at its flag every kFallbackWaitMs
    }
    running_ = true;
    worker_ = std::make_unique<std::thread>(&DBusServer::threadWorker, this);
}

void DBusServer::stop() {
    if (!worker_) {
        return;
    }
    running_ = false;
    if (wake_) {
        try {
            wake_->write(1);
        } catch (const std::runtime_error&) {
            // Only a counter at its maximum refuses, and that wakes the worker as well.
        }
    }
    worker_->join();
    worker_.reset();
    wake_.reset();
}

void DBusServer::threadWorker() {
    pthread_setname_np(pthread_self(), "kx-dbus");  // so ps and /proc tell the thread apart
    DBusError error;
    dbus_error_init(&error);
    // A private connection: it is closed when the worker ends, and a restart gets a new one.
    DBusConnection* connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (dbus_error_is_set(&error) || connection == nullptr) {
        if (dbus_error_is_set(&error)) {
            KxLogger::log(LOG_WARNING, "Не удалось получить подключение к dbus. %s",
                          Common::printable(error.message).c_str());
        } else {
            KxLogger::log(LOG_WARNING, "Не удалось получить подключение к dbus");
        }
        dbus_error_free(&error);
        if (connection != nullptr) {
            dbus_connection_close(connection);
            dbus_connection_unref(connection);
        }
        running_ = false;
        return;
    }
    // libdbus would end the whole process when the bus goes away.
    dbus_connection_set_exit_on_disconnect(connection, FALSE);

    int claimed =
        dbus_bus_request_name(connection, name_.c_str(), DBUS_NAME_FLAG_REPLACE_EXISTING, &error);
    if (claimed == -1 || dbus_error_is_set(&error)) {
        KxLogger::log(LOG_WARNING, "Не удалось получить подключение к dbus. %s",
                      Common::printable(error.message != nullptr ? error.message : "").c_str());
        dbus_error_free(&error);
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
        running_ = false;
        return;
    }
    KxLogger::log(LOG_INFO, "Установлено соединение с dbus. Запущен интерфейс %s.", name_.c_str());

    serve(connection);

    dbus_connection_close(connection);
    dbus_connection_unref(connection);
    KxLogger::log(LOG_INFO, "Работа dbus завершена");
}

void DBusServer::serve(DBusConnection* connection) {
    while (running_) {
        dbus_connection_read_write(connection, 0);
        Message message(dbus_connection_pop_message(connection));
        if (message) {
            serveMessage(connection, message.get());
        } else {
            waitForTraffic(connection);
        }
    }
}

void DBusServer::waitForTraffic(DBusConnection* connection) {
    int busFd = -1;
    // A closed connection's descriptor would report a hang-up forever: then only the stop
    // event is waited for.
    if (!dbus_connection_get_is_connected(connection) ||
        !dbus_connection_get_unix_fd(connection, &busFd)) {
        busFd = -1;
    }
    pollfd fds[2] = {};
    fds[0].fd = busFd;
    fds[0].events = POLLIN;
    if (dbus_connection_has_messages_to_send(connection)) {
        fds[0].events |= POLLOUT;
    }
    fds[1].fd = wake_ ? wake_->get() : -1;
    fds[1].events = POLLIN;
    poll(fds, 2, wake_ ? -1 : kFallbackWaitMs);
}

void DBusServer::serveMessage(DBusConnection* connection, DBusMessage* message) {
    if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_METHOD_CALL) {
        return;
    }
    // The protocol lets a caller leave the interface out.
    const char* interface = dbus_message_get_interface(message);
    const char* member = dbus_message_get_member(message);
    if ((interface != nullptr && name_ != interface) || member == nullptr) {
        return;
    }
    auto handler = handlers_.find(member);
    if (handler == handlers_.end()) {
        return;
    }
    const std::string& method = handler->first;

    Arguments args = inputArgs(message, method);
    if (method != kQuietMethod) {
        KxLogger::log(LOG_INFO, "dbus: Вызов метода %s с %d аргументами", method.c_str(),
                      static_cast<int>(args.size()));
    }
    common::any result;
    try {
        result = handler->second(args);
    } catch (const std::exception& exception) {
        KxLogger::log(LOG_WARNING, "dbus: Вызов обработчика метода %s завершился с исключением %s",
                      method.c_str(), Common::printable(exception.what()).c_str());
    } catch (...) {
        KxLogger::log(LOG_WARNING, "dbus: Вызов обработчика метода %s завершился с исключением",
                      method.c_str());
    }
    sendReply(connection, message, method, result);
}

DBusServer::Arguments DBusServer::inputArgs(DBusMessage* message, const std::string& method) {
    Arguments args;
    DBusMessageIter iter;
    if (!dbus_message_iter_init(message, &iter)) {
        return args;
    }
    do {
        int type = dbus_message_iter_get_arg_type(&iter);
        int number = static_cast<int>(args.size()) + 1;
        switch (type) {
            case DBUS_TYPE_BYTE:
                args.push_back(common::any(static_cast<int8_t>(readBasic<uint8_t>(&iter))));
                break;
            case DBUS_TYPE_BOOLEAN:
                args.push_back(common::any(readBasic<dbus_bool_t>(&iter) != FALSE));
                break;
            case DBUS_TYPE_INT16:
                args.push_back(common::any(static_cast<int16_t>(readBasic<dbus_int16_t>(&iter))));
                break;
            case DBUS_TYPE_UINT16:
                args.push_back(common::any(static_cast<uint16_t>(readBasic<dbus_uint16_t>(&iter))));
                break;
            case DBUS_TYPE_INT32:
                args.push_back(common::any(static_cast<int32_t>(readBasic<dbus_int32_t>(&iter))));
                break;
            case DBUS_TYPE_UINT32:
                args.push_back(common::any(static_cast<uint32_t>(readBasic<dbus_uint32_t>(&iter))));
                break;
            case DBUS_TYPE_INT64:
                args.push_back(common::any(static_cast<int64_t>(readBasic<dbus_int64_t>(&iter))));
                break;
            case DBUS_TYPE_UINT64:
                args.push_back(common::any(static_cast<uint64_t>(readBasic<dbus_uint64_t>(&iter))));
                break;
            case DBUS_TYPE_DOUBLE:
                args.push_back(common::any(readBasic<double>(&iter)));
                break;
            case DBUS_TYPE_STRING: {
                const char* text = readBasic<const char*>(&iter);
                if (text == nullptr) {
                    KxLogger::log(LOG_WARNING,
                                  "dbus: Аргумент вызова %s №%d содержит nullptr строку",
                                  method.c_str(), number);
                    text = "(nullptr)";
                }
                args.push_back(common::any(std::string(text)));
                break;
            }
            default:
                KxLogger::log(LOG_WARNING,
                              "dbus: Аргумент вызова %s №%d имеет не поддерживаемый формат %d",
                              method.c_str(), number, type);
        }
    } while (dbus_message_iter_next(&iter));
    return args;
}

void DBusServer::sendReply(DBusConnection* connection, DBusMessage* message,
                           const std::string& method, const common::any& result) {
    Message reply(dbus_message_new_method_return(message));
    if (!reply) {
        KxLogger::log(LOG_WARNING, "dbus: Не удалось создать ответ за вызов %s", method.c_str());
        return;
    }
    if (common::any_cast<DataBase::Storage>(&result) != nullptr) {
        // The value is only a marker: the answer is the store as it is now.
        reply.reset(tokensReply(message));
        if (!reply) {
            KxLogger::log(LOG_WARNING, "dbus: Не удалось создать ответ за вызов %s",
                          method.c_str());
            return;
        }
    } else if (!result.empty()) {
        int code = 0;
        if (!appendScalar(reply.get(), result, code)) {
            if (code == 0) {
                KxLogger::log(LOG_WARNING,
                              "dbus: Не поддерживаемый тип возвращаемого значения %s обработчика "
                              "вызова %s",
                              typeName(result.type()).c_str(), method.c_str());
            } else {
                KxLogger::log(LOG_WARNING,
                              "dbus: Не удалось в ответ на вызов %s записать код завершения "
                              "типа %d",
                              method.c_str(), code);
                // A failed append may leave part of a value behind: answer with a clean return.
                reply.reset(dbus_message_new_method_return(message));
                if (!reply) {
                    KxLogger::log(LOG_WARNING, "dbus: Не удалось создать ответ за вызов %s",
                                  method.c_str());
                    return;
                }
            }
        }
    }
    if (!dbus_connection_send(connection, reply.get(), nullptr)) {
        KxLogger::log(LOG_WARNING, "dbus: Не удалось отправить результат вызова %s",
                      method.c_str());
    } else if (method != kQuietMethod) {
        KxLogger::log(LOG_INFO, "dbus: Результат вызова %s отправлен", method.c_str());
    }
    dbus_connection_flush(connection);
}

DBusMessage* DBusServer::tokensReply(DBusMessage* message) {
    {
        std::lock_guard<std::shared_timed_mutex> lock(DataBase::mutex());
        if (!tokens_ || tokensChangeCount_ != DataBase::changeCount()) {
            tokens_.reset(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
            if (!tokens_) {
                return nullptr;
            }
            appendStore(tokens_.get());
            tokensChangeCount_ = DataBase::changeCount();
        }
    }
    // What dbus_message_new_method_return() would set, on a copy of the encoded store.
    Message reply(dbus_message_copy(tokens_.get()));
    if (!reply || !dbus_message_set_reply_serial(reply.get(), dbus_message_get_serial(message)) ||
        !dbus_message_set_destination(reply.get(), dbus_message_get_sender(message))) {
        return nullptr;
    }
    dbus_message_set_no_reply(reply.get(), TRUE);
    return reply.release();
}
