#include "BusClient.h"

namespace {

// Frees a DBusError on every path.
struct Error {
    DBusError error;
    Error() { dbus_error_init(&error); }
    ~Error() { dbus_error_free(&error); }
    bool is(const char* name) const { return dbus_error_has_name(&error, name); }
};

// A connection of our own, so nothing of libdbus' shared one outlives the call.
struct Connection {
    DBusConnection* connection = nullptr;
    ~Connection() {
        if (connection != nullptr) {
            dbus_connection_close(connection);
            dbus_connection_unref(connection);
        }
    }
};

BusClient::Reply failure(ExitStatus status, std::string problem) {
    BusClient::Reply reply;
    reply.status = status;
    reply.problem = std::move(problem);
    return reply;
}

BusClient::Reply callFailure(const Error& error, const std::string& method, int timeoutMs) {
    if (error.is(DBUS_ERROR_SERVICE_UNKNOWN) || error.is(DBUS_ERROR_NAME_HAS_NO_OWNER)) {
        return failure(kUnreachable, "kxsentrixd is not running (nobody owns " +
                                         std::string(BusClient::kName) + " on the system bus)");
    }
    if (error.is(DBUS_ERROR_ACCESS_DENIED)) {
        return failure(kRefused,
                       "the system bus refused the call of " + method + ": it is for root only");
    }
    if (error.is(DBUS_ERROR_NO_REPLY) || error.is(DBUS_ERROR_TIMEOUT) ||
        error.is(DBUS_ERROR_TIMED_OUT)) {
        return failure(kUnreachable, "kxsentrixd did not answer " + method + " within " +
                                         std::to_string(timeoutMs / 1000) + " s");
    }
    return failure(kUnreachable, "the call of " + method + " failed: " + error.error.message);
}

template <typename Value>
std::optional<Value> single(const DBusMessage* message, int type) {
    DBusMessageIter iter;
    if (message == nullptr || !dbus_message_iter_init(const_cast<DBusMessage*>(message), &iter) ||
        dbus_message_iter_get_arg_type(&iter) != type || dbus_message_iter_has_next(&iter)) {
        return std::nullopt;
    }
    Value value{};
    dbus_message_iter_get_basic(&iter, &value);
    return value;
}

}  // namespace

std::string BusClient::Reply::signature() const {
    return message ? dbus_message_get_signature(message.get()) : "";
}

std::optional<int32_t> BusClient::Reply::int32() const {
    return single<dbus_int32_t>(message.get(), DBUS_TYPE_INT32);
}

std::optional<int64_t> BusClient::Reply::int64() const {
    return single<dbus_int64_t>(message.get(), DBUS_TYPE_INT64);
}

std::optional<std::string> BusClient::Reply::string() const {
    std::optional<const char*> text = single<const char*>(message.get(), DBUS_TYPE_STRING);
    if (!text) {
        return std::nullopt;
    }
    return std::string(*text);
}

BusClient::Reply BusClient::call(const std::string& method,
                                 const std::vector<std::string>& arguments) const {
    Error error;
    Connection bus;
    bus.connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error.error);
    if (bus.connection == nullptr) {
        return failure(kUnreachable, std::string("cannot connect to the system bus: ") +
                                         (dbus_error_is_set(&error.error) ? error.error.message
                                                                          : "no connection"));
    }
    // libdbus would end the process when the bus goes away under it.
    dbus_connection_set_exit_on_disconnect(bus.connection, false);

    std::shared_ptr<DBusMessage> request(
        dbus_message_new_method_call(kName, "/", kName, method.c_str()), dbus_message_unref);
    if (!request) {
        return failure(kFailed, "out of memory");
    }
    DBusMessageIter iter;
    dbus_message_iter_init_append(request.get(), &iter);
    for (const std::string& argument : arguments) {
        // The bus would drop the connection over a string that is not valid UTF-8.
        if (!dbus_validate_utf8(argument.c_str(), nullptr)) {
            return failure(kUsage, "an argument is not valid UTF-8 text");
        }
        const char* text = argument.c_str();
        if (!dbus_message_iter_append_basic(&iter, DBUS_TYPE_STRING, &text)) {
            return failure(kFailed, "out of memory");
        }
    }

    DBusMessage* answer = dbus_connection_send_with_reply_and_block(bus.connection, request.get(),
                                                                    timeoutMs_, &error.error);
    if (answer == nullptr) {
        return callFailure(error, method, timeoutMs_);
    }
    Reply reply;
    reply.status = kDone;
    reply.message.reset(answer, dbus_message_unref);
    return reply;
}
