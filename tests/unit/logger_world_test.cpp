// KxLogger as the system log receives it: runs inside a test world, whose /dev/log records
// every datagram (tests/world/WorldLog.h).
#include <gtest/gtest.h>
#include <syslog.h>

#include <chrono>
#include <string>
#include <thread>

#include "log/KxLogger.h"
#include "world/WorldLog.h"

namespace {

// The first record after the mark whose text is exactly this one, whatever its level.
world::LogRecord recordAfter(size_t mark, const std::string& text) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    do {
        auto records = world::logRecords();
        for (size_t i = mark; i < records.size(); ++i) {
            if (records[i].text == text) {
                return records[i];
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < deadline);
    ADD_FAILURE() << "no record: " << text;
    return {};
}

TEST(KxLoggerInWorld, EachLevelGoesToLocal7WithItsPrefix) {
    struct Case {
        int level;
        const char* expected;
    };
    const Case cases[] = {{LOG_ERR, "[ERROR] level check"},
                          {LOG_WARNING, "[WARNING] level check"},
                          {LOG_INFO, "[INFO] level check"},
                          {LOG_DEBUG, "level check"}};
    for (const Case& item : cases) {
        size_t mark = world::logMark();
        KxLogger::log(item.level, "level check");
        world::LogRecord record = recordAfter(mark, item.expected);
        EXPECT_EQ(record.facility, 23) << item.expected;
        EXPECT_EQ(record.level, item.level) << item.expected;
    }
}

TEST(KxLoggerInWorld, ArgumentsFillThePlaceholdersInOrder) {
    size_t mark = world::logMark();
    KxLogger::log(LOG_INFO,
                  "Token event: event %d, slot %d, flags %d hardware version %d.%d, firmware "
                  "version %d.%d",
                  0, 3, 7, 1, 2, 3, 4);
    EXPECT_EQ(recordAfter(mark,
                          "[INFO] Token event: event 0, slot 3, flags 7 hardware version 1.2, "
                          "firmware version 3.4")
                  .level,
              LOG_INFO);
}

TEST(KxLoggerInWorld, RussianTextAndStringArgumentsArriveIntact) {
    size_t mark = world::logMark();
    KxLogger::log(LOG_WARNING, "Не удалось получить список групп у пользователя %s, uid %d",
                  "иванов", 60001);
    EXPECT_EQ(recordAfter(mark,
                          "[WARNING] Не удалось получить список групп у пользователя иванов, "
                          "uid 60001")
                  .facility,
              23);
}

TEST(KxLoggerInWorld, TextWithoutArgumentsIsStillAFormat) {
    size_t mark = world::logMark();
    KxLogger::log(LOG_INFO, "100%% ready");
    EXPECT_EQ(recordAfter(mark, "[INFO] 100% ready").level, LOG_INFO);
}

TEST(KxLoggerInWorld, SignalHandlerPathWritesTheSameRecord) {
    KxLogger::prepareSignalSafeLogging();
    size_t mark = world::logMark();
    KxLogger::logFromSignalHandler(LOG_ERR, "Критическая ошибка ", 11);
    KxLogger::logFromSignalHandler(LOG_DEBUG, "Получен сигнал остановки демона ", 15);
    world::LogRecord error = recordAfter(mark, "[ERROR] Критическая ошибка 11");
    world::LogRecord debug = recordAfter(mark, "Получен сигнал остановки демона 15");
    EXPECT_EQ(error.facility, 23);
    EXPECT_EQ(error.level, LOG_ERR);
    EXPECT_EQ(debug.facility, 23);
    EXPECT_EQ(debug.level, LOG_DEBUG);
}

}  // namespace
