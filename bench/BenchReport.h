#pragma once
// The figures of a C++ benchmark, as bench/benchlib.py's Report gives them for the Python ones:
// prose on standard output, or with --json the prose on standard error and one JSON document
// with the figures on the last line of standard output, for bench/report.py.

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

class BenchReport {
public:
    BenchReport(const char* name, int argc, char* argv[]) : name_(name) {
        for (int i = 1; i < argc; ++i) {
            if (std::strcmp(argv[i], "--json") == 0) {
                json_ = true;
            } else {
                args_.push_back(argv[i]);
            }
        }
    }

    // The arguments other than --json.
    const std::vector<std::string>& args() const { return args_; }

    __attribute__((format(printf, 2, 3))) void say(const char* format, ...) const {
        va_list arguments;
        va_start(arguments, format);
        std::vfprintf(json_ ? stderr : stdout, format, arguments);
        va_end(arguments);
    }

    // goal "max": the figure must not exceed the target; "min": not fall below it. A negative
    // target means none.
    void figure(const std::string& metric, double value, const std::string& unit, double target,
                const std::string& goal = "max", const std::string& note = "") {
        char number[64];
        std::snprintf(number, sizeof(number), "%.4g", value);
        std::string entry = "{\"metric\": " + quoted(metric) + ", \"value\": " + number +
                            ", \"unit\": " + quoted(unit) + ", \"target\": ";
        if (target < 0) {
            entry += "null";
        } else {
            std::snprintf(number, sizeof(number), "%.4g", target);
            entry += number;
        }
        entry += ", \"goal\": " + quoted(goal) + ", \"note\": " + quoted(note) + "}";
        figures_.push_back(entry);
    }

    void finish() const {
        if (!json_) {
            return;
        }
        std::string document = "{\"benchmark\": " + quoted(name_) + ", \"figures\": [";
        for (size_t i = 0; i < figures_.size(); ++i) {
            document += (i == 0 ? "" : ", ") + figures_[i];
        }
        std::printf("%s]}\n", document.c_str());
    }

private:
    static std::string quoted(const std::string& text) {
        std::string result = "\"";
        for (char c : text) {
            if (c == '"' || c == '\\') {
                result += '\\';
            }
            result += c;
        }
        return result + "\"";
    }

    std::string name_;
    bool json_ = false;
    std::vector<std::string> args_;
    std::vector<std::string> figures_;
};
