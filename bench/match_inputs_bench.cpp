// What users and tokens hand the removal matching, at its worst:
//  - listing the remote-desktop clients among 200 processes named xfreerdp whose command lines
//    are 1 MiB each (target: median at most 5 ms);
//  - the fingerprint of a user's certificate file of 1 MiB holding one certificate of 23,000
//    domainComponent entries, as the local PKI rule and getFingerPrintByUserCert read it
//    (target: median at most 1 ms, so five such users delay a lock by a few ms at most);
//  - decoding the largest certificate taken, made of small domainComponent entries, the most
//    costly kind per byte, as a token's certificate would be read (target: median at most 5 ms).
// It starts processes and writes files, so it runs only inside a test world:
//   tests/world/run-in-world build/bench/kx_match_inputs_bench [--json]
#include <limits.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "BenchReport.h"
#include "TestCertificate.h"
#include "sessions/ProcessTable.h"
#include "sessions/UserCertificates.h"

namespace {

constexpr int kClients = 200;
constexpr size_t kCommandLineBytes = 1024 * 1024;
constexpr int kDomainEntries = 23000;
constexpr int kRuns = 30;
constexpr const char* kHold = "--hold";

double threadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// The median wall time of a run; `cpu` (if given) gets the median of this thread's CPU time, the
// part of it that other work on a busy machine does not stretch.
double medianMs(const std::function<void()>& work, double* cpu = nullptr) {
    std::vector<double> spent, used;
    for (int i = 0; i < kRuns; ++i) {
        auto start = std::chrono::steady_clock::now();
        const double before = threadCpuMs();
        work();
        used.push_back(threadCpuMs() - before);
        spent.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(spent.begin(), spent.end());
    std::sort(used.begin(), used.end());
    if (cpu != nullptr) {
        *cpu = used[used.size() / 2];
    }
    return spent[spent.size() / 2];
}

std::string loadAverage() {
    std::string load;
    std::getline(std::ifstream("/proc/loadavg"), load);
    return load.substr(0, load.find(' '));
}

// Children named xfreerdp by the link they are started through, each with a 1 MiB command line
// (in several arguments).
std::vector<pid_t> startClients(const std::string& directory) {
    const std::string link = directory + "/xfreerdp";
    if (symlink("/proc/self/exe", link.c_str()) != 0) {
        char self[PATH_MAX] = {};
        if (readlink("/proc/self/exe", self, sizeof(self) - 1) < 0 ||
            symlink(self, link.c_str()) != 0) {
            return {};
        }
    }
    // One argument may hold at most 32 pages (MAX_ARG_STRLEN).
    const std::string piece(32 * 4096 - 1, 'x');
    std::vector<const char*> argv = {"xfreerdp", kHold, "/u:ivanov", "/d:corp"};
    for (size_t size = 0; size < kCommandLineBytes; size += piece.size() + 1) {
        argv.push_back(piece.c_str());
    }
    argv.push_back(nullptr);
    std::vector<pid_t> children;
    for (int i = 0; i < kClients; ++i) {
        pid_t child = fork();
        if (child == 0) {
            execv(link.c_str(), const_cast<char* const*>(argv.data()));
            _exit(127);
        }
        children.push_back(child);
    }
    return children;
}

std::string domainHeavyPem(int entries, size_t valueLength) {
    testcert::CertificateBuilder builder;
    for (int i = 0; i < entries; ++i) {
        builder.subject("DC", std::string(valueLength, static_cast<char>('a' + i % 26)));
    }
    return builder.subject("CN", "ivanov").pem();
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc > 1 && std::strcmp(argv[1], kHold) == 0) {
        pause();
        return 0;
    }
    BenchReport report("match_inputs", argc, argv);
    if (std::getenv("KX_WORLD_LOG") == nullptr) {
        std::fprintf(stderr, "Refusing to start processes outside a test world.\n");
        return 2;
    }
    Certificate::initialize();
    char directory[] = "/tmp/match-inputs-XXXXXX";
    if (mkdtemp(directory) == nullptr) {
        return 1;
    }

    std::vector<pid_t> children = startClients(directory);
    size_t listed = 0;
    // Each child has execed once it is listed with its long command line.
    for (int tries = 0; tries < 1000 && listed < children.size(); ++tries) {
        usleep(10000);
        listed = ProcessTable::list("xfreerdp").size();
    }
    double walkCpu = 0;
    const double walk = medianMs([] { ProcessTable::list("xfreerdp"); }, &walkCpu);
    for (pid_t child : children) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    report.say(
        "%zu of %d clients with 1 MiB command lines listed in %.2f ms (median; %.2f ms of "
        "CPU time)\n",
        listed, kClients, walk, walkCpu);
    char note[128];
    std::snprintf(note, sizeof(note), "CPU time %.1f ms; load average %s", walkCpu,
                  loadAverage().c_str());
    report.figure("list 200 xfreerdp clients with 1 MiB command lines", walk, "ms", 5.0, "max",
                  note);

    // One byte short of 1 MiB, so the file is all one certificate's PEM.
    std::string pem = domainHeavyPem(kDomainEntries, 22);
    const std::string home = std::string(directory) + "/home";
    std::system(("mkdir -p " + home + "/.eid").c_str());
    std::ofstream(home + UserCertificates::kFile) << pem;
    const double fingerprint = medianMs([&] { UserCertificates::of(getuid(), home); });
    report.say("fingerprint of a %zu byte certificate file: %.3f ms (median)\n", pem.size(),
               fingerprint);
    report.figure("fingerprint of a user's 1 MiB certificate file", fingerprint, "ms", 1.0);

    // As many one-letter entries as fit the bound: about 19 bytes each.
    std::vector<unsigned char> largest;
    for (int entries = static_cast<int>(Certificate::kMaxSize / 19); entries > 0; entries -= 20) {
        std::string text = domainHeavyPem(entries, 1);
        Certificate parsed(testcert::bytes(text), Certificate::Format::Pem);
        if (!parsed.fingerprint().empty()) {
            largest = testcert::bytes(text);
            break;
        }
    }
    const double decode = medianMs([&] { Certificate(largest, Certificate::Format::Pem); });
    report.say("decode of the largest certificate taken (%zu bytes of PEM): %.3f ms (median)\n",
               largest.size(), decode);
    report.figure("decode of a certificate at the size bound", decode, "ms", 5.0);
    report.finish();
    return 0;
}
