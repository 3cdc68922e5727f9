/* A stand-in for systemd-logind on the system bus, for timing the daemon rather than a mock:
 * C on libdbus, one connection, no main loop. It owns org.freedesktop.login1 and answers what
 * the daemon asks of logind:
 *   Manager  ListSessions, LockSession, LockSessions, and UnlockSessions (for the benchmark)
 *   Session  the properties IdleHint, LockedHint and Active through org.freedesktop.DBus.Properties
 *            Get and GetAll, with PropertiesChanged when a lock changes them (as a GDBus proxy
 *            would follow them)
 * Every call is stamped on arrival with CLOCK_MONOTONIC, the clock of the benchmark's own stamps
 * and of the world log's arrival times, and the stamp is appended, after the reply went out, to
 * the calls file as one line: "<seconds> <member> <first string argument or ->".
 *
 *   kx_logind_standin SESSIONS_FILE CALLS_FILE
 *
 * SESSIONS_FILE: one session a line, "<id> <uid> <user> [tty]"; ids are letters and digits. A
 * session marked "tty" has no screen locker, as on a text console or over ssh: its LockedHint
 * stays false whatever it is asked. The stand-in prints "ready" on standard output once it owns
 * the name. */
#include <dbus/dbus.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define LOGIND "org.freedesktop.login1"
#define MANAGER_PATH "/org/freedesktop/login1"
#define MANAGER LOGIND ".Manager"
#define SESSION LOGIND ".Session"
#define SESSION_PATH_PREFIX MANAGER_PATH "/session/"
#define PROPERTIES "org.freedesktop.DBus.Properties"
#define MAX_SESSIONS 4096

struct Session {
    char id[64];
    char user[64];
    char path[128];
    dbus_uint32_t uid;
    dbus_bool_t locked;
    dbus_bool_t noLocker; /* "tty": nothing ever reports it locked */
};

static struct Session sessions[MAX_SESSIONS];
static int sessionCount;
static int callsFd = -1;

static void fail(const char* what) {
    fprintf(stderr, "kx_logind_standin: %s\n", what);
    exit(1);
}

static void readSessions(const char* file) {
    FILE* input = fopen(file, "r");
    if (input == NULL) {
        fail("cannot read the sessions file");
    }
    char line[256];
    while (sessionCount < MAX_SESSIONS && fgets(line, sizeof(line), input) != NULL) {
        struct Session* s = &sessions[sessionCount];
        char id[sizeof(s->id)] = "";
        char flag[16] = "";
        int fields = sscanf(line, "%63s %u %63s %15s", id, &s->uid, s->user, flag);
        if (fields < 3) {
            continue;
        }
        memcpy(s->id, id, sizeof(id));
        s->noLocker = strcmp(flag, "tty") == 0;
        snprintf(s->path, sizeof(s->path), SESSION_PATH_PREFIX "%s", id);
        ++sessionCount;
    }
    fclose(input);
}

static struct Session* sessionById(const char* id) {
    for (int i = 0; i < sessionCount; ++i) {
        if (strcmp(sessions[i].id, id) == 0) {
            return &sessions[i];
        }
    }
    return NULL;
}

static struct Session* sessionByPath(const char* path) {
    for (int i = 0; path != NULL && i < sessionCount; ++i) {
        if (strcmp(sessions[i].path, path) == 0) {
            return &sessions[i];
        }
    }
    return NULL;
}

static void appendBool(DBusMessageIter* dict, const char* name, dbus_bool_t value) {
    DBusMessageIter entry, variant;
    dbus_message_iter_open_container(dict, DBUS_TYPE_DICT_ENTRY, NULL, &entry);
    dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &name);
    dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "b", &variant);
    dbus_message_iter_append_basic(&variant, DBUS_TYPE_BOOLEAN, &value);
    dbus_message_iter_close_container(&entry, &variant);
    dbus_message_iter_close_container(dict, &entry);
}

/* The session's properties as a{sv}; only LockedHint when `lockOnly`. */
static void appendProperties(DBusMessageIter* iter, const struct Session* s, int lockOnly) {
    DBusMessageIter dict;
    dbus_message_iter_open_container(iter, DBUS_TYPE_ARRAY, "{sv}", &dict);
    if (s != NULL) {
        appendBool(&dict, "LockedHint", s->locked);
        if (!lockOnly) {
            appendBool(&dict, "IdleHint", FALSE);
            appendBool(&dict, "Active", TRUE);
        }
    }
    dbus_message_iter_close_container(iter, &dict);
}

static void setLocked(DBusConnection* connection, struct Session* s, dbus_bool_t locked) {
    if (s->locked == locked || (locked && s->noLocker)) {
        return;
    }
    s->locked = locked;
    DBusMessage* signal = dbus_message_new_signal(s->path, PROPERTIES, "PropertiesChanged");
    DBusMessageIter iter, invalidated;
    const char* interface = SESSION;
    dbus_message_iter_init_append(signal, &iter);
    dbus_message_iter_append_basic(&iter, DBUS_TYPE_STRING, &interface);
    appendProperties(&iter, s, 1);
    dbus_message_iter_open_container(&iter, DBUS_TYPE_ARRAY, "s", &invalidated);
    dbus_message_iter_close_container(&iter, &invalidated);
    dbus_connection_send(connection, signal, NULL);
    dbus_message_unref(signal);
}

static DBusMessage* listSessions(DBusMessage* call) {
    DBusMessage* reply = dbus_message_new_method_return(call);
    DBusMessageIter iter, array, entry;
    const char* seat = "seat0";
    dbus_message_iter_init_append(reply, &iter);
    dbus_message_iter_open_container(&iter, DBUS_TYPE_ARRAY, "(susso)", &array);
    for (int i = 0; i < sessionCount; ++i) {
        const char* id = sessions[i].id;
        const char* user = sessions[i].user;
        const char* path = sessions[i].path;
        dbus_message_iter_open_container(&array, DBUS_TYPE_STRUCT, NULL, &entry);
        dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &id);
        dbus_message_iter_append_basic(&entry, DBUS_TYPE_UINT32, &sessions[i].uid);
        dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &user);
        dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &seat);
        dbus_message_iter_append_basic(&entry, DBUS_TYPE_OBJECT_PATH, &path);
        dbus_message_iter_close_container(&array, &entry);
    }
    dbus_message_iter_close_container(&iter, &array);
    return reply;
}

static DBusMessage* error(DBusMessage* call, const char* name, const char* text) {
    return dbus_message_new_error(call, name, text);
}

static DBusMessage* answer(DBusConnection* connection, DBusMessage* call, const char* argument) {
    const char* path = dbus_message_get_path(call);
    if (dbus_message_is_method_call(call, MANAGER, "ListSessions")) {
        return listSessions(call);
    }
    if (dbus_message_is_method_call(call, MANAGER, "LockSession")) {
        struct Session* s = argument != NULL ? sessionById(argument) : NULL;
        if (s == NULL) {
            return error(call, LOGIND ".NoSuchSession", "No such session");
        }
        setLocked(connection, s, TRUE);
        return dbus_message_new_method_return(call);
    }
    if (dbus_message_is_method_call(call, MANAGER, "LockSessions") ||
        dbus_message_is_method_call(call, MANAGER, "UnlockSessions")) {
        dbus_bool_t locked = dbus_message_has_member(call, "LockSessions");
        for (int i = 0; i < sessionCount; ++i) {
            setLocked(connection, &sessions[i], locked);
        }
        return dbus_message_new_method_return(call);
    }
    if (dbus_message_is_method_call(call, PROPERTIES, "GetAll") ||
        dbus_message_is_method_call(call, PROPERTIES, "Get")) {
        const struct Session* s = sessionByPath(path);
        int sessionInterface = argument != NULL && strcmp(argument, SESSION) == 0;
        DBusMessage* reply = dbus_message_new_method_return(call);
        DBusMessageIter iter, variant;
        dbus_message_iter_init_append(reply, &iter);
        if (dbus_message_has_member(call, "GetAll")) {
            appendProperties(&iter, sessionInterface ? s : NULL, 0);
            return reply;
        }
        const char* interface = NULL;
        const char* name = NULL;
        dbus_bool_t value = FALSE;
        dbus_message_get_args(call, NULL, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &name,
                              DBUS_TYPE_INVALID);
        if (s == NULL || !sessionInterface || name == NULL ||
            (strcmp(name, "LockedHint") != 0 && strcmp(name, "IdleHint") != 0 &&
             strcmp(name, "Active") != 0)) {
            dbus_message_unref(reply);
            return error(call, DBUS_ERROR_UNKNOWN_PROPERTY, "No such property");
        }
        value = strcmp(name, "LockedHint") == 0 ? s->locked : strcmp(name, "Active") == 0;
        dbus_message_iter_open_container(&iter, DBUS_TYPE_VARIANT, "b", &variant);
        dbus_message_iter_append_basic(&variant, DBUS_TYPE_BOOLEAN, &value);
        dbus_message_iter_close_container(&iter, &variant);
        return reply;
    }
    return error(call, DBUS_ERROR_UNKNOWN_METHOD, "Not offered by the stand-in");
}

static void stamp(const struct timespec* at, const char* member, const char* argument) {
    char line[256];
    int length =
        snprintf(line, sizeof(line), "%lld.%09ld %s %s\n", (long long)at->tv_sec, at->tv_nsec,
                 member != NULL ? member : "-", argument != NULL ? argument : "-");
    if (length > 0 && write(callsFd, line, (size_t)length) != length) {
        fail("cannot write the calls file");
    }
}

int main(int argc, char* argv[]) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s SESSIONS_FILE CALLS_FILE\n", argv[0]);
        return 2;
    }
    readSessions(argv[1]);
    callsFd = open(argv[2], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (callsFd < 0) {
        fail("cannot open the calls file");
    }
    DBusError failure;
    dbus_error_init(&failure);
    DBusConnection* connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, &failure);
    if (connection == NULL) {
        fail(failure.message);
    }
    if (dbus_bus_request_name(connection, LOGIND, DBUS_NAME_FLAG_DO_NOT_QUEUE, &failure) !=
        DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        fail("cannot own " LOGIND);
    }
    printf("ready\n");
    fflush(stdout);
    while (dbus_connection_read_write(connection, -1)) {
        DBusMessage* call;
        while ((call = dbus_connection_pop_message(connection)) != NULL) {
            struct timespec arrived;
            clock_gettime(CLOCK_MONOTONIC, &arrived);
            if (dbus_message_get_type(call) != DBUS_MESSAGE_TYPE_METHOD_CALL) {
                dbus_message_unref(call);
                continue;
            }
            const char* argument = NULL;
            DBusMessageIter iter;
            if (dbus_message_iter_init(call, &iter) &&
                dbus_message_iter_get_arg_type(&iter) == DBUS_TYPE_STRING) {
                dbus_message_iter_get_basic(&iter, &argument);
            }
            DBusMessage* reply = answer(connection, call, argument);
            if (!dbus_message_get_no_reply(call)) {
                dbus_connection_send(connection, reply, NULL);
            }
            dbus_connection_flush(connection);
            dbus_message_unref(reply);
            stamp(&arrived, dbus_message_get_member(call), argument);
            dbus_message_unref(call);
        }
    }
    return 0;
}
