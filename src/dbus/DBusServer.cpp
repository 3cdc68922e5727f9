#include "dbus/DBusServer.h"

#include <dbus/dbus.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <sys/random.h>
#include <syslog.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>

#include "daemon/SignalStack.h"
#include "dbus/BusContract.h"
#include "base/Command.h"
#include "base/Common.h"
#include "log/KxLogger.h"
#include "watch/EventFd.h"

namespace {

// Clients poll this method: its calls are not logged one by one.
const std::string kQuietMethod = BusContract::kLastDateUpdate;
// Without a stop event the worker still looks at its running flag this often.
constexpr int kFallbackWaitMs = 30;
// Reads of the connection between two served calls: calls queued behind a burst reach their
// queues (root's first in line) without waiting for the burst to be served.
constexpr int kReadsPerCall = 16;
// Messages taken from the bus after which the worker, once idle, returns free memory (a long
// call counts as that many).
constexpr size_t kTakenBeforeTrim = 1024;
// Pauses before the attempts to reach the bus again after losing it.
constexpr int kRetryMs[] = {500, 1000, 2000, 4000, 8000, 10000};
// A reply's header beside its destination: serials, signature, the sender the bus adds.
constexpr uint64_t kReplyHeaderBytes = 256;
// Ping serials are drawn from the upper half, which the connection's own counter never reaches:
// unguessable, so nobody but the pinged connection can answer one without reading up to it.
constexpr uint32_t kPingSerialBit = 0x80000000u;
// Where the bus tells, among its statistics of a connection, how many bytes it holds for it.
constexpr const char* kStatsInterface = "org.freedesktop.DBus.Debug.Stats";

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
        // libdbus aborts the process on text that is not UTF-8, and the bus drops a sender
        // whose message is too large: such a result is not sent.
        return value->size() <= DBusServer::kMaxReplyBytes &&
               dbus_validate_utf8(value->c_str(), nullptr) &&
               appendBasic<const char*>(reply, code, value->c_str());
    }
    code = 0;
    return false;
}

// What a reply carrying a result of `resultBytes` takes at the bus.
uint64_t replyBytes(const CallQueue::Call& call, uint64_t resultBytes) {
    return resultBytes + kReplyHeaderBytes + call.sender.size();
}

// The size of a result appended by appendScalar.
uint64_t scalarBytes(const common::any& result) {
    auto text = common::any_cast<std::string>(&result);
    return text != nullptr ? text->size() + 5 : 8;
}

std::string typeName(const std::type_info& type) {
    const char* name = type.name();
    return name[0] == '*' ? name + 1 : name;
}

// The bytes the elements of the array at `iter` take, as its length on the wire says: the one
// measure that does not walk them (dbus_message_iter_get_element_count does).
size_t arrayBytes(DBusMessageIter* iter) {
    DBusMessageIter elements;
    dbus_message_iter_recurse(iter, &elements);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    int bytes = dbus_message_iter_get_array_len(&elements);
#pragma GCC diagnostic pop
    return bytes > 0 ? static_cast<size_t>(bytes) : 0;
}

// What the arguments from `iter` on take on the wire, about: arrays by their length (their
// elements are never walked), text by its own, the other containers by what they hold. Judging a
// long call thus costs next to nothing beside what libdbus spent on reading it.
uint64_t wireBytes(DBusMessageIter* iter) {
    uint64_t bytes = 0;
    for (int type; (type = dbus_message_iter_get_arg_type(iter)) != DBUS_TYPE_INVALID;
         dbus_message_iter_next(iter)) {
        bytes += 8;  // a value of fixed size, or the frame of a container
        if (type == DBUS_TYPE_ARRAY) {
            bytes += arrayBytes(iter);
        } else if (type == DBUS_TYPE_STRING || type == DBUS_TYPE_OBJECT_PATH ||
                   type == DBUS_TYPE_SIGNATURE) {
            const char* text = readBasic<const char*>(iter);
            bytes += text != nullptr ? std::strlen(text) : 0;
        } else if (type == DBUS_TYPE_VARIANT || type == DBUS_TYPE_STRUCT ||
                   type == DBUS_TYPE_DICT_ENTRY) {
            DBusMessageIter inner;
            dbus_message_iter_recurse(iter, &inner);
            bytes += wireBytes(&inner);
        }
    }
    return bytes;
}

// What all the call's arguments take on the wire.
uint64_t argumentBytes(DBusMessage* message) {
    DBusMessageIter iter;
    return dbus_message_iter_init(message, &iter) ? wireBytes(&iter) : 0;
}

// A reply of `type` to the call, as dbus_message_new_method_return() or _new_error() would make
// it of the call message, which is not kept while the call waits.
DBusMessage* replyTo(const CallQueue::Call& call, int type) {
    DBusMessage* reply = dbus_message_new(type);
    if (reply == nullptr || !dbus_message_set_reply_serial(reply, call.serial) ||
        !dbus_message_set_destination(reply, call.sender.c_str())) {
        if (reply != nullptr) {
            dbus_message_unref(reply);
        }
        return nullptr;
    }
    dbus_message_set_no_reply(reply, TRUE);
    return reply;
}

// An empty method return to the call.
DBusMessage* emptyReply(const CallQueue::Call& call) {
    return replyTo(call, DBUS_MESSAGE_TYPE_METHOD_RETURN);
}

DBusMessage* errorReply(const CallQueue::Call& call, const char* name, const char* text) {
    DBusMessage* reply = replyTo(call, DBUS_MESSAGE_TYPE_ERROR);
    if (reply != nullptr &&
        (!dbus_message_set_error_name(reply, name) ||
         !dbus_message_append_args(reply, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID))) {
        dbus_message_unref(reply);
        return nullptr;
    }
    return reply;
}

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint32_t randomSerial() {
    uint32_t value = 0;
    if (getrandom(&value, sizeof(value), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(value))) {
        value = std::random_device()();
    }
    return value | kPingSerialBit;
}

// Whether an error answering a backlog question says the bus does not answer such questions
// (not built with the interface, or a policy that keeps it from the daemon), rather than that
// the connection asked about has gone.
bool busWillNotTell(const char* error) {
    static const char* const kNotTold[] = {DBUS_ERROR_UNKNOWN_INTERFACE, DBUS_ERROR_UNKNOWN_METHOD,
                                           DBUS_ERROR_UNKNOWN_OBJECT, DBUS_ERROR_ACCESS_DENIED,
                                           DBUS_ERROR_NOT_SUPPORTED};
    return error != nullptr &&
           std::any_of(std::begin(kNotTold), std::end(kNotTold),
                       [error](const char* name) { return std::strcmp(error, name) == 0; });
}

// The bytes the bus holds for delivery to a connection, from its statistics of it; none when
// the answer does not carry them.
std::optional<uint64_t> heldBytes(DBusMessage* stats) {
    DBusMessageIter iter;
    DBusMessageIter array;
    if (dbus_message_get_type(stats) != DBUS_MESSAGE_TYPE_METHOD_RETURN ||
        !dbus_message_iter_init(stats, &iter) ||
        dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_ARRAY ||
        dbus_message_iter_get_element_type(&iter) != DBUS_TYPE_DICT_ENTRY) {
        return std::nullopt;
    }
    dbus_message_iter_recurse(&iter, &array);
    for (; dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_DICT_ENTRY;
         dbus_message_iter_next(&array)) {
        DBusMessageIter entry;
        DBusMessageIter value;
        dbus_message_iter_recurse(&array, &entry);
        if (dbus_message_iter_get_arg_type(&entry) != DBUS_TYPE_STRING ||
            std::strcmp(readBasic<const char*>(&entry), "OutgoingBytes") != 0 ||
            !dbus_message_iter_next(&entry) ||
            dbus_message_iter_get_arg_type(&entry) != DBUS_TYPE_VARIANT) {
            continue;
        }
        dbus_message_iter_recurse(&entry, &value);
        if (dbus_message_iter_get_arg_type(&value) == DBUS_TYPE_UINT32) {
            return readBasic<dbus_uint32_t>(&value);
        }
    }
    return std::nullopt;
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
    wake_ = std::make_unique<EventFd>();
    if (!wake_->valid()) {
        wake_.reset();  // the worker then looks at its flag every kFallbackWaitMs
    }
    // The handlers' commands end with the worker.
    Command::abandonWhen(wake_ ? wake_->get() : -1);
    running_ = true;
    worker_ = std::make_unique<std::thread>(&DBusServer::threadWorker, this);
}

void DBusServer::stop() {
    if (!worker_) {
        return;
    }
    running_ = false;
    if (wake_) {
        // Stays readable: it also abandons a command a handler waits for. Only a counter at
        // its maximum refuses, and that wakes the worker as well.
        (void)wake_->write(1);
    }
    worker_->join();
    worker_.reset();
    Command::abandonWhen(-1);
    wake_.reset();
}

void DBusServer::threadWorker() {
    SignalStack signalStack;  // a stack overflow here still ends in the fatal-signal handler
    pthread_setname_np(pthread_self(), "kx-dbus");  // so ps and /proc tell the thread apart
    size_t retries = 0;
    bool quiet = false;  // once an outage is logged, its failed attempts are not
    bool served = false;
    while (running_) {
        DBusConnection* connection = connect(quiet);
        if (connection != nullptr) {
            KxLogger::log(LOG_INFO, "Установлено соединение с dbus. Запущен интерфейс %s.",
                          name_.c_str());
            served = true;
            retries = 0;
            bool stopped = serve(connection);
            nameHeld_ = false;
            dbus_connection_close(connection);
            dbus_connection_unref(connection);
            if (stopped) {
                break;
            }
            KxLogger::log(LOG_ERR,
                          "Потеряно соединение с dbus, интерфейс %s недоступен до повторного "
                          "подключения",
                          name_.c_str());
        }
        quiet = true;
        int pauseMs = kRetryMs[std::min(retries++, std::size(kRetryMs) - 1)];
        if (!pause(pauseMs)) {
            break;
        }
    }
    if (served) {
        KxLogger::log(LOG_INFO, "Работа dbus завершена");
    }
}

DBusConnection* DBusServer::connect(bool quiet) {
    DBusError error;
    dbus_error_init(&error);
    // A private connection: it is closed when the worker ends, and a restart gets a new one.
    DBusConnection* connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (dbus_error_is_set(&error) || connection == nullptr) {
        if (!quiet && dbus_error_is_set(&error)) {
            KxLogger::log(LOG_WARNING, "Не удалось получить подключение к dbus. %s",
                          Common::printable(error.message).c_str());
        } else if (!quiet) {
            KxLogger::log(LOG_WARNING, "Не удалось получить подключение к dbus");
        }
        dbus_error_free(&error);
        if (connection != nullptr) {
            dbus_connection_close(connection);
            dbus_connection_unref(connection);
        }
        return nullptr;
    }
    // libdbus would end the whole process when the bus goes away.
    dbus_connection_set_exit_on_disconnect(connection, FALSE);

    int claimed =
        dbus_bus_request_name(connection, name_.c_str(), DBUS_NAME_FLAG_REPLACE_EXISTING, &error);
    if (claimed == -1 || dbus_error_is_set(&error)) {
        if (!quiet) {
            KxLogger::log(LOG_WARNING, "Не удалось получить подключение к dbus. %s",
                          Common::printable(error.message != nullptr ? error.message : "").c_str());
        }
        dbus_error_free(&error);
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
        return nullptr;
    }
    nameHeld_ = claimed == DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER ||
                claimed == DBUS_REQUEST_NAME_REPLY_ALREADY_OWNER;
    // Callers that leave the bus: their queues and counts go (no error: this does not wait).
    dbus_bus_add_match(connection,
                       "type='signal',sender='" DBUS_SERVICE_DBUS
                       "',interface='" DBUS_INTERFACE_DBUS "',member='NameOwnerChanged',arg2=''",
                       nullptr);
    return connection;
}

bool DBusServer::serve(DBusConnection* connection) {
    CallQueue queue;
    takenSinceTrim_ = 0;
    while (running_) {
        for (int read = 0; read < kReadsPerCall; ++read) {
            // Reads and writes what the socket takes now; never waits for the bus.
            dbus_connection_read_write(connection, 0);
            bool took = false;
            while (Message message{dbus_connection_pop_message(connection)}) {
                took = true;
                ++takenSinceTrim_;
                take(connection, queue, std::move(message));
            }
            if (!took) {
                break;
            }
        }
        if (!dbus_connection_get_is_connected(connection)) {
            return false;
        }
        CallQueue::Call call;
        const int64_t now = steadyMs();
        if (queue.next(call, now)) {
            serveCall(connection, queue, call);
            continue;
        }
        if (takenSinceTrim_ >= kTakenBeforeTrim) {
            // A burst of calls (a flood), or one long call, leaves its memory free but held by
            // the allocator: it goes back to the system once the worker is idle.
            malloc_trim(0);
            takenSinceTrim_ = 0;
        }
        waitForTraffic(connection, queue.readyAtMs() - now);
    }
    return true;
}

void DBusServer::waitForTraffic(DBusConnection* connection, int64_t readyInMs) {
    int busFd = -1;
    if (!dbus_connection_get_unix_fd(connection, &busFd)) {
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
    int64_t timeoutMs = wake_ ? INT32_MAX : kFallbackWaitMs;
    timeoutMs = std::max<int64_t>(0, std::min(timeoutMs, readyInMs));
    poll(fds, 2, timeoutMs == INT32_MAX ? -1 : static_cast<int>(timeoutMs));
}

bool DBusServer::pause(int ms) {
    if (wake_) {
        pollfd wake{wake_->get(), POLLIN, 0};
        poll(&wake, 1, ms);
    } else {
        for (int waited = 0; running_ && waited < ms; waited += kFallbackWaitMs) {
            poll(nullptr, 0, kFallbackWaitMs);
        }
    }
    return running_;
}

void DBusServer::take(DBusConnection* connection, CallQueue& queue, Message message) {
    DBusMessage* m = message.get();
    switch (dbus_message_get_type(m)) {
        case DBUS_MESSAGE_TYPE_METHOD_CALL:
            takeCall(connection, queue, m);
            break;
        case DBUS_MESSAGE_TYPE_METHOD_RETURN:
        case DBUS_MESSAGE_TYPE_ERROR:
            takeAnswer(connection, queue, m);
            break;
        case DBUS_MESSAGE_TYPE_SIGNAL:
            takeSignal(queue, m);
            break;
        default:
            break;
    }
}

void DBusServer::takeAnswer(DBusConnection* connection, CallQueue& queue, DBusMessage* answer) {
    const char* from = dbus_message_get_sender(answer);
    uint32_t serial = dbus_message_get_reply_serial(answer);
    // Only the bus answers uid and backlog questions; nobody can send as it.
    if (from != nullptr && std::strcmp(from, DBUS_SERVICE_DBUS) == 0) {
        dbus_uint32_t uid = 0;
        bool known =
            dbus_message_get_type(answer) == DBUS_MESSAGE_TYPE_METHOD_RETURN &&
            dbus_message_get_args(answer, nullptr, DBUS_TYPE_UINT32, &uid, DBUS_TYPE_INVALID);
        if (queue.uidAnswer(serial, known ? std::optional<uint32_t>(uid) : std::nullopt)) {
            return;
        }
        if (std::optional<std::string> about = queue.askedAbout(serial)) {
            takeBacklog(connection, queue, answer, serial, *about);
            return;
        }
    }
    if (from != nullptr && queue.pingAnswer(serial, from)) {
        checkIfDue(connection, queue, from);
    }
}

void DBusServer::takeSignal(CallQueue& queue, DBusMessage* signal) {
    const char* from = dbus_message_get_sender(signal);
    // The bus tells the owner alone when the name comes or goes; nobody can send as it.
    if (from == nullptr || std::strcmp(from, DBUS_SERVICE_DBUS) != 0) {
        return;
    }
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    for (const auto& [member, held] : {std::pair{"NameAcquired", true}, {"NameLost", false}}) {
        if (dbus_message_is_signal(signal, DBUS_INTERFACE_DBUS, member) &&
            dbus_message_get_args(signal, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID) &&
            name_ == name) {
            nameHeld_ = held;
        }
    }
    if (dbus_message_is_signal(signal, DBUS_INTERFACE_DBUS, "NameOwnerChanged") &&
        dbus_message_get_args(signal, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING,
                              &oldOwner, DBUS_TYPE_STRING, &newOwner, DBUS_TYPE_INVALID) &&
        *newOwner == '\0') {
        queue.gone(name);
    }
}

void DBusServer::takeCall(DBusConnection* connection, CallQueue& queue, DBusMessage* message) {
    // The protocol lets a caller leave the interface out.
    const char* interface = dbus_message_get_interface(message);
    const char* member = dbus_message_get_member(message);
    const char* sender = dbus_message_get_sender(message);
    if ((interface != nullptr && name_ != interface) || member == nullptr || sender == nullptr) {
        return;
    }
    auto handler = handlers_.find(member);
    if (handler == handlers_.end()) {
        return;
    }
    // Whoever sends it, a call is worth at most a few records a second to its user.
    KxLogger::CallerScope caller(queue.uidOf(sender).value_or(KxLogger::kUnknownUser));
    CallQueue::Call call;
    call.sender = sender;
    call.serial = dbus_message_get_serial(message);
    call.replyWanted = !dbus_message_get_no_reply(message);
    call.method = handler->first;
    if (!roomFor(connection, queue, call)) {
        return;
    }
    // Judged by their length on the wire alone: decoding is what a long call would cost. It is
    // refused in its turn (CallQueue paces a user's such refusals).
    const uint64_t bytes = argumentBytes(message);
    if (bytes > kMaxArgumentBytes) {
        call.tooLongBytes = bytes;
        takenSinceTrim_ = kTakenBeforeTrim;  // what libdbus took to read it is given back
    } else {
        call.args = inputArgs(message, call.method);
    }
    if (queue.add(std::move(call))) {
        askWhose(connection, queue, sender);
    }
}

bool DBusServer::roomFor(DBusConnection* connection, CallQueue& queue,
                         const CallQueue::Call& call) {
    const CallQueue::Room room = queue.room(call.sender);
    if (room == CallQueue::Room::Free) {
        return true;
    }
    if (room == CallQueue::Room::Full) {
        KxLogger::log(LOG_WARNING,
                      "dbus: Очередь вызовов от %s заполнена, вызов %s и следующие за ним "
                      "отклонены",
                      Common::printable(call.sender).c_str(), call.method.c_str());
    }
    refuse(connection, queue, call, DBUS_ERROR_LIMITS_EXCEEDED,
           "Слишком много вызовов ожидают ответа");
    return false;
}

void DBusServer::askWhose(DBusConnection* connection, CallQueue& queue, const char* sender) {
    // The bus tells whose the connection is; until it has, the call waits.
    Message question(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                  DBUS_INTERFACE_DBUS, "GetConnectionUnixUser"));
    dbus_uint32_t serial = 0;
    if (question &&
        dbus_message_append_args(question.get(), DBUS_TYPE_STRING, &sender, DBUS_TYPE_INVALID) &&
        dbus_connection_send(connection, question.get(), &serial)) {
        queue.askedUid(sender, serial);
    } else {
        queue.gone(sender);  // out of memory: the call cannot be served
    }
}

void DBusServer::serveCall(DBusConnection* connection, CallQueue& queue, CallQueue::Call& call) {
    const std::string& method = call.method;
    KxLogger::CallerScope caller(call.uid);
    // A caller that could not be answered anyway costs no work: users' methods change nothing.
    if (call.replyWanted && queue.mayServe(call) != CallQueue::Reply::Send) {
        checkIfDue(connection, queue, call.sender);
        return;
    }
    if (call.tooLongBytes != 0) {
        KxLogger::log(LOG_WARNING, "dbus: Аргументы вызова %s длиннее %zu байт, метод не вызван",
                      method.c_str(), kMaxArgumentBytes);
        refuse(connection, queue, call, DBUS_ERROR_LIMITS_EXCEEDED,
               "Аргументы вызова длиннее 65536 байт");
        return;
    }
    // The bus policy should have kept the call out; the daemon does not rely on it.
    if (call.uid != 0 && BusContract::callerOf(method) != BusContract::Caller::Everyone) {
        KxLogger::log(LOG_WARNING, "dbus: Вызов метода %s пользователем с uid %u отклонён",
                      method.c_str(), static_cast<unsigned>(call.uid));
        refuse(connection, queue, call, DBUS_ERROR_ACCESS_DENIED, "Метод доступен только root");
        return;
    }
    if (method != kQuietMethod) {
        KxLogger::log(LOG_INFO, "dbus: Вызов метода %s с %d аргументами", method.c_str(),
                      static_cast<int>(call.args.size()));
    }
    common::any result;
    try {
        result = handlers_.at(method)(call.args);
    } catch (const std::exception& exception) {
        KxLogger::log(LOG_WARNING, "dbus: Вызов обработчика метода %s завершился с исключением %s",
                      method.c_str(), Common::printable(exception.what()).c_str());
    } catch (...) {
        KxLogger::log(LOG_WARNING, "dbus: Вызов обработчика метода %s завершился с исключением",
                      method.c_str());
    }
    sendReply(connection, queue, call, result);
}

void DBusServer::refuse(DBusConnection* connection, CallQueue& queue, const CallQueue::Call& call,
                        const char* name, const char* text) {
    if (!call.replyWanted) {
        return;  // the bus would not pass it on
    }
    Message reply(errorReply(call, name, text));
    if (!reply) {
        KxLogger::log(LOG_WARNING, "dbus: Не удалось создать ответ за вызов %s",
                      call.method.c_str());
        return;
    }
    const uint64_t bytes = std::strlen(name) + std::strlen(text) + 10;
    if (!mayReply(connection, queue, call, bytes)) {
        return;
    }
    if (!dbus_connection_send(connection, reply.get(), nullptr)) {
        KxLogger::log(LOG_WARNING, "dbus: Не удалось отправить результат вызова %s",
                      call.method.c_str());
        return;
    }
    queue.replied(call, replyBytes(call, bytes));
    checkIfDue(connection, queue, call.sender);
}

namespace {

// The argument at `iter` when it is a number or a boolean; none otherwise.
std::optional<common::any> numberArg(DBusMessageIter* iter, int type) {
    switch (type) {
        case DBUS_TYPE_BYTE:
            return common::any(static_cast<int8_t>(readBasic<uint8_t>(iter)));
        case DBUS_TYPE_BOOLEAN:
            return common::any(readBasic<dbus_bool_t>(iter) != FALSE);
        case DBUS_TYPE_INT16:
            return common::any(static_cast<int16_t>(readBasic<dbus_int16_t>(iter)));
        case DBUS_TYPE_UINT16:
            return common::any(static_cast<uint16_t>(readBasic<dbus_uint16_t>(iter)));
        case DBUS_TYPE_INT32:
            return common::any(static_cast<int32_t>(readBasic<dbus_int32_t>(iter)));
        case DBUS_TYPE_UINT32:
            return common::any(static_cast<uint32_t>(readBasic<dbus_uint32_t>(iter)));
        case DBUS_TYPE_INT64:
            return common::any(static_cast<int64_t>(readBasic<dbus_int64_t>(iter)));
        case DBUS_TYPE_UINT64:
            return common::any(static_cast<uint64_t>(readBasic<dbus_uint64_t>(iter)));
        case DBUS_TYPE_DOUBLE:
            return common::any(readBasic<double>(iter));
        default:
            return std::nullopt;
    }
}

}  // namespace

DBusServer::Arguments DBusServer::inputArgs(DBusMessage* message, const std::string& method) {
    Arguments args;
    DBusMessageIter iter;
    if (!dbus_message_iter_init(message, &iter)) {
        return args;
    }
    do {
        const int type = dbus_message_iter_get_arg_type(&iter);
        const int number = static_cast<int>(args.size()) + 1;
        if (std::optional<common::any> value = numberArg(&iter, type)) {
            args.push_back(std::move(*value));
        } else if (type == DBUS_TYPE_STRING) {
            const char* text = readBasic<const char*>(&iter);
            if (text == nullptr) {
                KxLogger::log(LOG_WARNING, "dbus: Аргумент вызова %s №%d содержит nullptr строку",
                              method.c_str(), number);
                text = "(nullptr)";
            }
            args.push_back(common::any(std::string(text)));
        } else {
            KxLogger::log(LOG_WARNING,
                          "dbus: Аргумент вызова %s №%d имеет не поддерживаемый формат %d",
                          method.c_str(), number, type);
        }
    } while (dbus_message_iter_next(&iter));
    return args;
}

DBusServer::Encoded DBusServer::encode(const std::function<void(DBusMessageIter*)>& append) {
    Encoded encoded;
    encoded.body.reset(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN), dbus_message_unref);
    if (!encoded.body) {
        return encoded;
    }
    DBusMessageIter iter;
    dbus_message_iter_init_append(encoded.body.get(), &iter);
    append(&iter);
    char* wire = nullptr;
    int length = 0;
    if (dbus_message_marshal(encoded.body.get(), &wire, &length)) {
        encoded.bytes = static_cast<uint64_t>(length);
    }
    dbus_free(wire);
    return encoded;
}

DBusServer::Message DBusServer::replyWith(const CallQueue::Call& call, const common::any& result,
                                          uint64_t& bytes) {
    bytes = 0;
    const std::string& method = call.method;
    if (auto encoded = common::any_cast<Encoded>(&result)) {
        if (!encoded->body) {
            return nullptr;
        }
        if (encoded->bytes <= kMaxReplyBytes) {
            // What emptyReply() would set, on a copy of the encoded result.
            Message reply(dbus_message_copy(encoded->body.get()));
            if (reply && dbus_message_set_reply_serial(reply.get(), call.serial) &&
                dbus_message_set_destination(reply.get(), call.sender.c_str())) {
                dbus_message_set_no_reply(reply.get(), TRUE);
                bytes = encoded->bytes;
                return reply;
            }
            return nullptr;
        }
        KxLogger::log(LOG_WARNING,
                      "dbus: Не удалось в ответ на вызов %s записать код завершения типа %d",
                      method.c_str(), DBUS_TYPE_ARRAY);
        return Message(emptyReply(call));
    }
    Message reply(emptyReply(call));
    int code = 0;
    if (!reply || result.empty()) {
        return reply;
    }
    if (appendScalar(reply.get(), result, code)) {
        bytes = scalarBytes(result);
        return reply;
    }
    if (code == 0) {
        KxLogger::log(LOG_WARNING,
                      "dbus: Не поддерживаемый тип возвращаемого значения %s обработчика "
                      "вызова %s",
                      typeName(result.type()).c_str(), method.c_str());
        return reply;
    }
    KxLogger::log(LOG_WARNING,
                  "dbus: Не удалось в ответ на вызов %s записать код завершения типа %d",
                  method.c_str(), code);
    // A failed append may leave part of a value behind: answer with a clean return.
    return Message(emptyReply(call));
}

void DBusServer::sendReply(DBusConnection* connection, CallQueue& queue,
                           const CallQueue::Call& call, const common::any& result) {
    const std::string& method = call.method;
    uint64_t bytes = 0;
    Message reply = replyWith(call, result, bytes);
    if (!reply) {
        KxLogger::log(LOG_WARNING, "dbus: Не удалось создать ответ за вызов %s", method.c_str());
        return;
    }
    if (!call.replyWanted) {
        return;  // the bus would not pass it on
    }
    uint64_t size = replyBytes(call, bytes);
    if (!mayReply(connection, queue, call, bytes)) {
        return;
    }
    // Queued for the socket only: written as the bus takes it, never waited for.
    if (!dbus_connection_send(connection, reply.get(), nullptr)) {
        KxLogger::log(LOG_WARNING, "dbus: Не удалось отправить результат вызова %s",
                      method.c_str());
        return;
    }
    queue.replied(call, size);
    if (method != kQuietMethod) {
        KxLogger::log(LOG_INFO, "dbus: Результат вызова %s отправлен", method.c_str());
    }
    checkIfDue(connection, queue, call.sender);
}

bool DBusServer::mayReply(DBusConnection* connection, CallQueue& queue, const CallQueue::Call& call,
                          uint64_t resultBytes) {
    switch (queue.mayReply(call, replyBytes(call, resultBytes))) {
        case CallQueue::Reply::Send:
            return true;
        case CallQueue::Reply::Drop:
            KxLogger::log(LOG_WARNING,
                          "dbus: Ответ на вызов %s не отправлен: %s не прочитал прежние ответы",
                          call.method.c_str(), Common::printable(call.sender).c_str());
            break;
        case CallQueue::Reply::DropAgain:
            break;
    }
    checkIfDue(connection, queue, call.sender);
    return false;
}

void DBusServer::checkIfDue(DBusConnection* connection, CallQueue& queue,
                            const std::string& sender) {
    switch (queue.checkDue(sender)) {
        case CallQueue::Check::None:
            return;
        case CallQueue::Check::AskBus: {
            Message question(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                          kStatsInterface, "GetConnectionStats"));
            const char* name = sender.c_str();
            dbus_uint32_t serial = 0;
            if (question &&
                dbus_message_append_args(question.get(), DBUS_TYPE_STRING, &name,
                                         DBUS_TYPE_INVALID) &&
                dbus_connection_send(connection, question.get(), &serial)) {
                queue.askedBus(sender, serial);
            }
            return;
        }
        case CallQueue::Check::Ping:
            break;
    }
    // Every D-Bus library answers Peer.Ping as it dispatches, that is after it has read
    // everything sent before.
    Message ping(dbus_message_new_method_call(sender.c_str(), "/", DBUS_INTERFACE_PEER, "Ping"));
    if (!ping) {
        return;
    }
    uint32_t serial = randomSerial();
    while (queue.waiting(serial)) {
        serial = randomSerial();
    }
    dbus_message_set_auto_start(ping.get(), FALSE);
    dbus_message_set_serial(ping.get(), serial);
    if (dbus_connection_send(connection, ping.get(), nullptr)) {
        queue.pinged(sender, serial);
    }
}

void DBusServer::takeBacklog(DBusConnection* connection, CallQueue& queue, DBusMessage* answer,
                             uint32_t serial, const std::string& about) {
    if (dbus_message_get_type(answer) == DBUS_MESSAGE_TYPE_ERROR &&
        !busWillNotTell(dbus_message_get_error_name(answer))) {
        queue.busAnswer(serial, std::nullopt);  // gone meanwhile: nothing to learn
        return;
    }
    if (std::optional<uint64_t> held = heldBytes(answer)) {
        queue.busAnswer(serial, held);
        return;
    }
    if (queue.busWillNotTell(serial)) {
        const char* why = dbus_message_get_error_name(answer);
        KxLogger::log(LOG_INFO,
                      "dbus: Шина не сообщает объём непрочитанных сообщений (%s), прочтение "
                      "ответов подтверждается ответом на Peer.Ping",
                      Common::printable(why != nullptr ? why : "OutgoingBytes").c_str());
    }
    checkIfDue(connection, queue, about);
}

