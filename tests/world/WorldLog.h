#pragma once

// Reads the system log records that the test world's /dev/log receiver captured. The world
// appends one record per line to the file named by KX_WORLD_LOG:
//   "<facility> <level> <text>"  with backslash and newline in the text escaped as \\ and \n.
// Records arrive in order, so all up to a sentinel the daemon's logger sends now is all that the
// code under test logged, and proves what it did not (textsSince).

#include <syslog.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "log/KxLogger.h"

namespace world {

struct LogRecord {
    int facility = -1;
    int level = -1;
    std::string text;
};

inline std::string unescape(const std::string& text) {
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            ++i;
            plain += text[i] == 'n' ? '\n' : text[i];
        } else {
            plain += text[i];
        }
    }
    return plain;
}

inline std::vector<LogRecord> logRecords() {
    const char* path = std::getenv("KX_WORLD_LOG");
    if (path == nullptr) {
        throw std::runtime_error("KX_WORLD_LOG is not set: run this test inside a world");
    }
    std::vector<LogRecord> records;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        size_t first = line.find(' ');
        size_t second = line.find(' ', first + 1);
        if (first == std::string::npos || second == std::string::npos) {
            continue;
        }
        LogRecord record;
        record.facility = std::stoi(line.substr(0, first));
        record.level = std::stoi(line.substr(first + 1, second - first - 1));
        record.text = unescape(line.substr(second + 1));
        records.push_back(record);
    }
    return records;
}

// Number of records captured so far; take it before an action to look only at what follows.
inline size_t logMark() {
    return logRecords().size();
}

// Waits until a record with exactly this level and text arrives after the mark (generously: it
// returns as soon as the record is there, and a busy machine may take seconds to deliver it).
inline bool waitForLog(int level, const std::string& text, size_t mark = 0,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        auto records = logRecords();
        for (size_t i = mark; i < records.size(); ++i) {
            if (records[i].level == level && records[i].text == text) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

// The texts logged since the mark, of one level or (-1) of all.
inline std::vector<std::string> textsSince(size_t mark, int level = -1) {
    static int sentinels = 0;
    const std::string sentinel = "test sentinel " + std::to_string(++sentinels);
    KxLogger::log(LOG_DEBUG, "%s", sentinel.c_str());
    if (!waitForLog(LOG_DEBUG, sentinel, mark)) {
        throw std::runtime_error("the log sentinel did not arrive");
    }
    std::vector<LogRecord> records = logRecords();
    std::vector<std::string> texts;
    for (size_t i = mark; i < records.size() && records[i].text != sentinel; ++i) {
        if (level == -1 || records[i].level == level) {
            texts.push_back(records[i].text);
        }
    }
    return texts;
}

inline size_t countSince(size_t mark, int level, const std::string& text) {
    std::vector<std::string> texts = textsSince(mark, level);
    return std::count(texts.begin(), texts.end(), text);
}

// A mark after every record sent so far, the sentinel included.
inline size_t settledMark() {
    textsSince(logMark());
    return logMark();
}

}  // namespace world
