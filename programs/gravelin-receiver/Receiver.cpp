#include "programs/gravelin-receiver/Receiver.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/thread_pool.hpp>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <latch>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "receiver/console/Accounts.h"
#include "receiver/console/Console.h"
#include "gravelin_config.h"
#include "reading/TerminalText.h"
#include "reading/Unseal.h"
#include "receiver/http/Listener.h"
#include "receiver/site/Site.h"
#include "receiver/storage/FailureLog.h"
#include "receiver/storage/Store.h"
#include "shared/Vocabulary.h"

namespace gravelin::server {

namespace {

namespace net = boost::asio;
using nlohmann::json;

constexpr const char* kUsage =
    "usage: gravelin-receiver serve [--listen ADDRESS:PORT] [--cert FILE --key FILE | "
    "--plain-http]\n"
    "                               [--data DIR | --database URI] [--console ADDRESS:PORT | "
    "--no-console]\n"
    "                               [tuning options]\n"
    "       gravelin-receiver import [--data DIR | --database URI] FILE...\n"
    "       gravelin-receiver scans [--machine ID] [--json] [--data DIR | --database URI]\n"
    "       gravelin-receiver scans --accept SCAN [--data DIR | --database URI]\n"
    "       gravelin-receiver machines [--json] [--data DIR | --database URI]\n"
    "       gravelin-receiver user add NAME [--data DIR | --database URI]\n"
    "       gravelin-receiver --version\n"
    "\n"
    "Receives the scanner's sealed reports, checks them, identifies the machine and stores\n"
    "every scan.\n"
    "\n"
    "serve     Answers GET /kestal/loading-com.jpg (the waiting image) and POST\n"
    "          /kestal/scantest.php (the form field scanResult: the sealed report) and nothing\n"
    "          else. HTTPS with --cert (PEM certificate chain) and --key (PEM private key);\n"
    "          plain HTTP only with --plain-http, for running behind a reverse proxy that\n"
    "          terminates TLS. A report is answered 200 with a receipt number only once it is\n"
    "          committed; a report the store cannot take gets 503 and is not acknowledged.\n"
    "          --listen ADDRESS:PORT  default 0.0.0.0:443 with TLS, 127.0.0.1:8080 with\n"
    "                                 --plain-http ([::]:443 for IPv6; port 0 picks one)\n"
    "          --console ADDRESS:PORT the console (plain HTTP; keep it on loopback or behind\n"
    "                                 a TLS proxy), default 127.0.0.1:8081; GET /status there\n"
    "                                 gives the counts of answers by reason as JSON\n"
    "                                 to a loopback client no proxy speaks for\n"
    "          --console-secret-file FILE  the key of the console's session cookies,\n"
    "                                 made when missing [DIR/console.secret with --data;\n"
    "                                 with --database: kept in the database, shared by\n"
    "                                 every receiver on it]\n"
    "          --no-console           no console listener\n"
    "          --trusted-proxy ADDRESS  requests from ADDRESS take the client address from\n"
    "                                 the last X-Forwarded-For entry\n"
    "          Tuning (defaults in brackets):\n"
    "          --threads N            network threads [one per core]\n"
    "          --workers N            threads running storage [8 per core, min 32]\n"
    "          --max-report-bytes N   largest sealed text in hex digits [8388608]\n"
    "          --max-connections-per-address N  [256]\n"
    "          --max-body-memory BYTES  request bodies held at once; past it 503 with\n"
    "                                 Retry-After [an eighth of physical memory]\n"
    "          --handshake-timeout MS TLS handshake [10000]\n"
    "          --header-timeout MS    request header, and idle keep-alive [10000]\n"
    "          --body-timeout MS      body floor, plus 1 s per 64 KiB announced [10000]\n"
    "          --request-timeout MS   header end to last body byte, at most [30000]\n"
    "          --write-timeout MS     writing an answer [10000]\n"
    "          --storage-timeout MS   one storage call (connecting included), then 503 [5000]\n"
    "import    Submits saved sealed texts or submit pages (the value of scanResult is taken)\n"
    "          with the same checks as a post; prints per file the receipt or the reason;\n"
    "          exit code 1 when any file failed.\n"
    "scans     Lists stored scans, newest first (--machine: of one machine); --json gives\n"
    "          every column, the identity and the summary. A scan whose hardware differs\n"
    "          from its machine's latest scan ends in \"conflicting\": it does not change\n"
    "          the machine until --accept SCAN takes it as the machine's.\n"
    "machines  Lists machines with first and last seen, scan count and latest columns.\n"
    "user add  Makes or replaces a console account; the password is read from the terminal\n"
    "          without echo (twice), or as the first line of stdin when it is not a terminal.\n"
    "\n"
    "Storage: --data DIR keeps everything in DIR/receiver.sqlite3 (SQLite; the default DIR is\n"
    "./gravelin-data); --database postgresql://... uses PostgreSQL, which several receivers\n"
    "can share.\n"
    "\n"
    "Errors are one line on stderr; exit code 1 for failures, 2 for bad arguments.\n";

// Library messages may span lines (libpq's do): errors stay one line.
std::string oneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    std::string out;
    for (char c : text) {
        if (c == ' ' && !out.empty() && out.back() == ' ') continue;
        out += c;
    }
    return report::terminalText(out);
}

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Arguments {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options;  // name, value ("" for flags)
};

// Options with a value; every other "--x" is a flag.
bool takesValue(const std::string& name) {
    static const std::vector<std::string> kValued = {"--listen",
                                                     "--cert",
                                                     "--key",
                                                     "--data",
                                                     "--database",
                                                     "--console",
                                                     "--machine",
                                                     "--threads",
                                                     "--workers",
                                                     "--max-report-bytes",
                                                     "--max-connections-per-address",
                                                     "--max-body-memory",
                                                     "--handshake-timeout",
                                                     "--header-timeout",
                                                     "--body-timeout",
                                                     "--request-timeout",
                                                     "--write-timeout",
                                                     "--storage-timeout",
                                                     "--accept",
                                                     "--trusted-proxy",
                                                     "--console-secret-file"};
    return std::find(kValued.begin(), kValued.end(), name) != kValued.end();
}

Arguments parse(const std::vector<std::string>& args, const std::vector<std::string>& allowed) {
    Arguments parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.starts_with("--")) {
            if (std::find(allowed.begin(), allowed.end(), arg) == allowed.end())
                throw UsageError("unknown option " + arg);
            if (takesValue(arg)) {
                if (i + 1 >= args.size()) throw UsageError(arg + " needs a value");
                parsed.options.emplace_back(arg, args[++i]);
            } else {
                parsed.options.emplace_back(arg, "");
            }
        } else {
            parsed.positional.push_back(arg);
        }
    }
    return parsed;
}

std::optional<std::string> option(const Arguments& args, const std::string& name) {
    std::optional<std::string> value;
    for (const auto& [n, v] : args.options) {
        if (n == name) {
            if (value) throw UsageError(name + " given twice");
            value = v;
        }
    }
    return value;
}

std::uint64_t number(const Arguments& args, const std::string& name, std::uint64_t fallback,
                     std::uint64_t lowest = 1) {
    const auto text = option(args, name);
    if (!text) return fallback;
    if (text->empty() || text->size() > 12 ||
        !std::all_of(text->begin(), text->end(), [](char c) { return c >= '0' && c <= '9'; }))
        throw UsageError(name + " needs a whole number, not \"" + *text + "\"");
    const auto value = std::stoull(*text);
    if (value < lowest) throw UsageError(name + " must be at least " + std::to_string(lowest));
    return value;
}

const std::vector<std::string> kStoreOptions = {"--data", "--database"};

std::vector<std::string> with(std::vector<std::string> list, const std::vector<std::string>& more) {
    list.insert(list.end(), more.begin(), more.end());
    return list;
}

std::unique_ptr<storage::Store> openStore(const Arguments& args, bool readOnly = false) {
    storage::StoreLocation location;
    location.deadline = std::chrono::milliseconds(
        number(args, "--storage-timeout", static_cast<std::uint64_t>(location.deadline.count())));
    location.readOnly = readOnly;
    const auto data = option(args, "--data");
    const auto database = option(args, "--database");
    if (data && database) throw UsageError("give --data or --database, not both");
    if (database) {
        if (!database->starts_with("postgresql://") && !database->starts_with("postgres://"))
            throw UsageError("--database needs a postgresql:// URI");
        location.databaseUri = *database;
    } else {
        location.dataDirectory = data ? *data : "gravelin-data";
    }
    try {
        return storage::openStore(location);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("cannot open the database: ") + e.what());
    }
}

std::string isoTime(std::int64_t ms) {
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

json columnsJson(const storage::ScanColumns& c) {
    return {{"maker", c.maker},
            {"model", c.model},
            {"processor", c.processor},
            {"cores", c.cores},
            {"threads", c.threads},
            {"memoryBytes", c.memoryBytes},
            {"memoryModules", c.memoryModules},
            {"disks", c.disks},
            {"diskBytes", c.diskBytes},
            {"os", c.os},
            {"serialNumbers", c.serialNumbers},
            {"uuid", c.uuid}};
}

const char* conflictName(storage::ScanConflict conflict) {
    switch (conflict) {
        case storage::ScanConflict::Conflicting: return "conflicting";
        case storage::ScanConflict::Accepted: return "accepted";
        case storage::ScanConflict::None: return "none";
    }
    return "none";
}

// ---- serve ----------------------------------------------------------------------------

// The console runs apart from the public site: a network thread and workers of its own, at
// a lower CPU priority, so that a flood of sign-ins (the form needs no account) never delays
// a report. More workers than its password checks can hold (one running and four waiting,
// receiver/console/Console.h): pages and refusals go on during a flood.
constexpr std::size_t kConsoleWorkers = 8;
constexpr int kConsoleNiceness = 10;

void lowerThreadPriority() {
    // Linux sets niceness per thread; without the right to, the thread keeps its priority.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kConsoleNiceness);
}

// The console's cookie key, kept in a file so that sessions outlive a restart (and several
// receivers sharing one database can share it). A missing file is made with fresh random
// bytes, readable by its owner only; an existing one must be a regular file of the
// receiver's own user that nobody else can read.
std::string consoleSecret(const std::string& path) {
    constexpr std::size_t kBytes = 32;
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        std::string secret(kBytes, '\0');
        if (::getrandom(secret.data(), secret.size(), 0) != static_cast<ssize_t>(secret.size()))
            throw std::runtime_error("cannot make a console secret: no random bytes");
        const int out =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (out < 0 && errno != EEXIST)
            throw std::runtime_error("cannot create the console secret " + path + ": " +
                                     std::strerror(errno));
        if (out >= 0) {
            const bool written =
                ::write(out, secret.data(), secret.size()) == static_cast<ssize_t>(secret.size()) &&
                ::fsync(out) == 0;
            ::close(out);
            if (!written) {
                ::unlink(path.c_str());
                throw std::runtime_error("cannot write the console secret " + path);
            }
            return secret;
        }
        fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);  // another made it first
    }
    if (fd < 0)
        throw std::runtime_error("cannot read the console secret " + path + ": " +
                                 std::strerror(errno));
    struct stat info {};
    std::string secret(1024, '\0');
    ssize_t got = -1;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
        (info.st_mode & 077) == 0) {
        got = ::read(fd, secret.data(), secret.size());
    }
    ::close(fd);
    if (got < static_cast<ssize_t>(kBytes))
        throw std::runtime_error("the console secret " + path +
                                 " must be a file of this user's, mode 0600, of at least 32 bytes");
    secret.resize(static_cast<std::size_t>(got));
    return secret;
}

// The counts at GET /status are for the machine's own monitoring: only a loopback peer
// that no proxy speaks for gets them; through a proxy the path is the console's, signed in.
bool isLocalStatusRequest(const Request& request) {
    if (request.path != "/status") return false;
    if (!request.header("x-forwarded-for").empty() || !request.header("forwarded").empty())
        return false;
    const std::string& a = request.remoteAddress;
    return a == "::1" || a.starts_with("127.") || a.starts_with("::ffff:127.");
}

int serve(const std::vector<std::string>& rawArgs) {
    const Arguments args = parse(
        rawArgs, with(kStoreOptions,
                      {"--listen", "--cert", "--key", "--plain-http", "--console", "--no-console",
                       "--trusted-proxy", "--console-secret-file", "--threads", "--workers",
                       "--max-report-bytes", "--max-connections-per-address", "--max-body-memory",
                       "--handshake-timeout", "--header-timeout", "--body-timeout",
                       "--request-timeout", "--write-timeout", "--storage-timeout"}));
    if (!args.positional.empty()) throw UsageError("serve takes no argument " + args.positional[0]);
    const auto cert = option(args, "--cert");
    const auto key = option(args, "--key");
    const bool plain = option(args, "--plain-http").has_value();
    if (plain && (cert || key))
        throw UsageError("--plain-http and --cert/--key exclude each other");
    if (!plain && (!cert || !key))
        throw UsageError("serve needs --cert FILE and --key FILE, or --plain-http behind a proxy");
    if (option(args, "--no-console") && option(args, "--console"))
        throw UsageError("--console and --no-console exclude each other");

    ListenerOptions site;
    std::tie(site.address, site.port) = parseListenAddress(
        option(args, "--listen").value_or(plain ? "127.0.0.1:8080" : "0.0.0.0:443"));
    if (!plain) {
        for (const auto& file : {*cert, *key}) {
            if (::access(file.c_str(), R_OK) != 0)
                throw std::runtime_error(file + ": " + std::strerror(errno));
        }
        site.tls = makeTlsContext(*cert, *key);
    }
    report::IntakeLimits intakeLimits;
    intakeLimits.maxSealedHexBytes =
        number(args, "--max-report-bytes", intakeLimits.maxSealedHexBytes);
    auto& limits = site.limits;
    limits.bodyBytes = intakeLimits.maxSealedHexBytes + (64u << 10);
    limits.connectionsPerAddress =
        number(args, "--max-connections-per-address", limits.connectionsPerAddress);
    const auto ms = [&](const char* name, std::chrono::milliseconds fallback) {
        return std::chrono::milliseconds(
            number(args, name, static_cast<std::uint64_t>(fallback.count())));
    };
    limits.handshake = ms("--handshake-timeout", limits.handshake);
    limits.header = ms("--header-timeout", limits.header);
    limits.bodyFloor = ms("--body-timeout", limits.bodyFloor);
    limits.request = ms("--request-timeout", limits.request);
    limits.write = ms("--write-timeout", limits.write);

    std::optional<ListenerOptions> consoleOptions;
    if (!option(args, "--no-console")) {
        consoleOptions.emplace();
        std::tie(consoleOptions->address, consoleOptions->port) =
            parseListenAddress(option(args, "--console").value_or("127.0.0.1:8081"));
        consoleOptions->limits = limits;
        consoleOptions->limits.bodyBytes = 1u << 20;
    }
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const auto threads = static_cast<int>(number(args, "--threads", cores));
    const auto workerCount =
        static_cast<std::size_t>(number(args, "--workers", std::max(32u, 8 * cores)));
    // Connections get what the descriptor limit leaves after storage and files; bodies held
    // at once share one memory budget.
    const auto caps = connectionCaps(raiseDescriptorLimit(), workerCount);
    limits.connections = caps.site;
    if (consoleOptions) consoleOptions->limits.connections = caps.console;
    site.bodyBudget = std::make_shared<BodyBudget>(
        static_cast<std::size_t>(number(args, "--max-body-memory", defaultBodyBudget())));

    // glibc hands freed memory of its thread arenas back to the kernel (madvise) as soon as
    // 128 KiB at a heap's top are free, and every post then faults it in again: under load that
    // cost a few per cent of the receiver's CPU (TLB shootdowns, page clearing). Keep 8 MiB per
    // arena; blocks over 1 MiB (only oversized, hostile bodies) still come from mmap and go back.
    ::mallopt(M_TRIM_THRESHOLD, 8 << 20);
    ::mallopt(M_MMAP_THRESHOLD, 1 << 20);

    // The signals are caught from here on: one that comes while the store opens (a migration
    // can take a while) waits in the set and stops the receiver as soon as it is up.
    net::io_context io(threads);
    net::signal_set signals(io, SIGINT, SIGTERM);

    // Every storage failure (the posts' 503s, the console's) is logged, by kind, rate-limited.
    storage::FailureLog storageFailures(std::cerr);
    auto store = storage::withFailureLog(openStore(args), storageFailures);
    IntakeCounters counters;
    Intake intake(*store, intakeLimits, counters);
    SiteOptions siteOptions;
    siteOptions.trustedProxy = option(args, "--trusted-proxy").value_or("");

    net::thread_pool workers(workerCount);
    net::io_context consoleIo(1);
    net::thread_pool consoleWorkers(kConsoleWorkers);
    {
        // Each worker takes one of these tasks: none finishes before all have started.
        auto started = std::make_shared<std::latch>(kConsoleWorkers);
        for (std::size_t i = 0; i < kConsoleWorkers; ++i) {
            net::post(consoleWorkers, [started] {
                lowerThreadPriority();
                started->arrive_and_wait();
            });
        }
        started->wait();
    }
    Listener siteListener(io, workers, site, makeSite(intake, siteOptions));
    std::unique_ptr<Listener> consoleListener;
    if (consoleOptions) {
        console::ConsoleOptions consoleSettings;
        consoleSettings.secureCookies = false;
        consoleSettings.trustedProxy = option(args, "--trusted-proxy").value_or("");
        if (const auto file = option(args, "--console-secret-file")) {
            consoleSettings.secret = consoleSecret(*file);
        } else if (option(args, "--database")) {
            // The first receiver on the database makes the key; the others, and restarts,
            // read it: a session is good on all of them.
            std::string candidate(32, '\0');
            if (::getrandom(candidate.data(), candidate.size(), 0) !=
                static_cast<ssize_t>(candidate.size()))
                throw std::runtime_error("cannot make a console secret: no random bytes");
            static const char* digits = "0123456789abcdef";
            std::string hex;
            for (const unsigned char c : candidate) {
                hex += digits[c >> 4];
                hex += digits[c & 15];
            }
            consoleSettings.secret = store->consoleKey(hex);
        } else {
            const auto data = option(args, "--data").value_or("gravelin-data");
            consoleSettings.secret = consoleSecret(data + "/console.secret");
        }
        Handler consoleHandler = console::makeConsole(*store, consoleSettings);
        // The status page is answered on the network thread, the console's pages on the workers.
        Router withStatus = [consoleHandler, &counters, &siteListener,
                             &storageFailures](const Request& request) {
            if (!isLocalStatusRequest(request)) return Reply(consoleHandler);
            if (request.method != "GET") return Reply(Response{405, {{"Allow", "GET"}}, {}});
            const auto c = siteListener.counters();
            json status = {{"answers", counters.snapshot()},
                           {"listener",
                            {{"accepted", c.accepted},
                             {"refusedAtCap", c.refusedAtCap},
                             {"requests", c.requests},
                             {"timedOut", c.timedOut},
                             {"tooLarge", c.tooLarge},
                             {"badRequests", c.badRequests},
                             {"handshakeFailures", c.handshakeFailures},
                             {"shed", c.shed},
                             {"overBudget", c.overBudget},
                             {"open", c.open},
                             {"handlerMicros", c.handlerMicros}}},
                           {"stageMicros",
                            {{"check", counters.checkMicros.load()},
                             {"analyse", counters.analyseMicros.load()},
                             {"store", counters.storeMicros.load()}}},
                           {"storageFailures", storageFailures.counts()}};
            return Reply(
                Response{200,
                         {{"Content-Type", "application/json"}, {"Cache-Control", "no-store"}},
                         status.dump(2) + "\n"});
        };
        consoleListener =
            std::make_unique<Listener>(consoleIo, consoleWorkers, *consoleOptions, withStatus);
    }

    // SIGTERM/SIGINT: stop accepting, answer what is in flight, then leave. A request that
    // is still not done 40 s later is abandoned. The handler is in place before the receiver
    // says it is ready: whoever stops it right after that gets a graceful stop, not the
    // default action of the signal.
    std::mutex doneMutex;
    std::condition_variable doneSignal;
    bool done = false;
    std::thread watchdog;
    signals.async_wait([&](const boost::system::error_code& ec, int) {
        if (ec) return;
        siteListener.stop();
        if (consoleListener) consoleListener->stop();
        watchdog = std::thread([&] {
            std::unique_lock lock(doneMutex);
            if (!doneSignal.wait_for(lock, std::chrono::seconds(40), [&] { return done; })) {
                io.stop();
                consoleIo.stop();
            }
        });
    });

    // Ready means: storage open, both listeners bound, the stop handler set and the network
    // loop running. The lines (and systemd's READY=1) come from inside the loop, so nothing
    // acts on them before the receiver can both answer and stop cleanly.
    net::post(io, [&] {
        std::cout << "gravelin-receiver: listening on " << (plain ? "http" : "https") << "://"
                  << site.address << ":" << siteListener.port() << std::endl;
        if (consoleListener) {
            std::cout << "gravelin-receiver: console on http://" << consoleOptions->address << ":"
                      << consoleListener->port() << std::endl;
        }
        ::sd_notify(0, "READY=1");
    });

    // A handler that throws (out of memory, a bad header from a handler) costs its
    // connection, never the process: the thread logs it and goes back to the loop.
    const auto runLoop = [&io] {
        for (;;) {
            try {
                io.run();
                return;
            } catch (const std::exception& e) {
                std::cerr << "gravelin-receiver: " << oneLine(e.what()) << std::endl;
            }
        }
    };
    std::thread consoleNetwork;
    if (consoleListener) {
        consoleNetwork = std::thread([&consoleIo] {
            lowerThreadPriority();
            for (;;) {
                try {
                    consoleIo.run();
                    return;
                } catch (const std::exception& e) {
                    std::cerr << "gravelin-receiver: " << oneLine(e.what()) << std::endl;
                }
            }
        });
    }
    std::vector<std::thread> pool;
    for (int i = 1; i < threads; ++i) pool.emplace_back(runLoop);
    runLoop();
    for (auto& thread : pool) thread.join();
    if (consoleNetwork.joinable()) consoleNetwork.join();
    workers.join();
    consoleWorkers.join();
    {
        std::lock_guard lock(doneMutex);
        done = true;
    }
    doneSignal.notify_all();
    if (watchdog.joinable()) watchdog.join();
    std::cout << "gravelin-receiver: stopped" << std::endl;
    return 0;
}

// ---- import ---------------------------------------------------------------------------

int import(const std::vector<std::string>& rawArgs) {
    const Arguments args = parse(rawArgs, kStoreOptions);
    if (args.positional.empty()) throw UsageError("import needs at least one FILE");
    // glibc hands freed memory of its thread arenas back to the kernel (madvise) as soon as
    // 128 KiB at a heap's top are free, and every post then faults it in again: under load that
    // cost a few per cent of the receiver's CPU (TLB shootdowns, page clearing). Keep 8 MiB per
    // arena; blocks over 1 MiB (only oversized, hostile bodies) still come from mmap and go back.
    ::mallopt(M_TRIM_THRESHOLD, 8 << 20);
    ::mallopt(M_MMAP_THRESHOLD, 1 << 20);

    auto store = openStore(args);
    IntakeCounters counters;
    Intake intake(*store, report::IntakeLimits{}, counters);
    const std::size_t readLimit = intake.limits().maxSealedHexBytes * 2 + (1u << 20);
    int failed = 0;
    for (const auto& path : args.positional) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::cout << report::terminalText(path) << ": cannot read: " << std::strerror(errno)
                      << "\n";
            ++failed;
            continue;
        }
        std::error_code sizeError;
        const auto size = std::filesystem::file_size(path, sizeError);
        if (!sizeError && size > readLimit) {
            std::cout << report::terminalText(path)
                      << ": refused: the file is larger than any report can be\n";
            ++failed;
            continue;
        }
        // Read in steps, bounded, whatever the file system said about its size.
        std::string content;
        char chunk[1 << 16];
        while (in && content.size() <= readLimit) {
            in.read(chunk, sizeof chunk);
            content.append(chunk, static_cast<std::size_t>(in.gcount()));
        }
        if (content.size() > readLimit) {
            std::cout << report::terminalText(path)
                      << ": refused: the file is larger than any report can be\n";
            ++failed;
            continue;
        }
        const auto sealed = report::sealedTextIn(content);
        if (!sealed) {
            std::cout << report::terminalText(path) << ": refused: the submit page's "
                      << vocabulary::kResultField << " value is cut short\n";
            ++failed;
            continue;
        }
        const Outcome outcome = intake.submit(*sealed, "import");
        if (outcome.status == 200) {
            std::cout << report::terminalText(path) << ": "
                      << (outcome.duplicate ? "already stored" : "stored") << ", receipt "
                      << report::terminalText(outcome.receipt) << "\n";
        } else {
            std::cout << report::terminalText(path) << ": refused (" << outcome.counter
                      << "): " << report::terminalText(outcome.reason) << "\n";
            ++failed;
        }
    }
    return failed == 0 ? 0 : 1;
}

// ---- scans, machines ------------------------------------------------------------------

int scans(const std::vector<std::string>& rawArgs) {
    const Arguments args = parse(rawArgs, with(kStoreOptions, {"--machine", "--json", "--accept"}));
    if (!args.positional.empty()) throw UsageError("scans takes no argument " + args.positional[0]);
    if (option(args, "--accept")) {
        if (option(args, "--machine") || option(args, "--json"))
            throw UsageError("--accept takes no other option but the store's");
        const auto id = static_cast<std::int64_t>(number(args, "--accept", 0));
        auto store = openStore(args);
        switch (store->acceptScan(id)) {
            case storage::Acceptance::NoSuchScan:
                throw std::runtime_error("no scan " + std::to_string(id));
            case storage::Acceptance::NothingToAccept:
                std::cout << "scan " << id << " is not conflicting: nothing to accept\n";
                return 0;
            case storage::Acceptance::Accepted:
                std::cout << "scan " << id
                          << " accepted (a newer scan stays the machine's latest)\n";
                return 0;
            case storage::Acceptance::AcceptedAsLatest:
                std::cout << "scan " << id << " accepted: now the machine's latest scan\n";
                return 0;
        }
        return 1;
    }
    std::optional<std::int64_t> machine;
    if (option(args, "--machine"))
        machine = static_cast<std::int64_t>(number(args, "--machine", 0));
    const bool asJson = option(args, "--json").has_value();
    auto store = openStore(args, /*readOnly=*/true);  // a read-only mount will do
    json list = json::array();
    constexpr std::uint32_t kPage = 1000;
    for (std::uint64_t offset = 0;; offset += kPage) {
        const auto rows = store->scans(machine, kPage, offset);
        for (const auto& row : rows) {
            if (!asJson) {
                // Stored values may hold anything a report could carry: escaped, so that
                // none acts on the terminal or splits the line.
                using report::terminalText;
                std::cout << row.id << "\t" << row.machineId << "\t" << isoTime(row.receivedAtMs)
                          << "\t" << terminalText(row.receipt) << "\t"
                          << terminalText(row.columns.maker) << "\t"
                          << terminalText(row.columns.model) << "\t"
                          << terminalText(row.identityRule) << "\t"
                          << terminalText(row.remoteAddress)
                          << (row.conflict == storage::ScanConflict::Conflicting ? "\tconflicting"
                                                                                 : "")
                          << "\n";
                continue;
            }
            json item = {{"id", row.id},
                         {"machine", row.machineId},
                         {"receivedAt", isoTime(row.receivedAtMs)},
                         {"receivedAtMs", row.receivedAtMs},
                         {"remoteAddress", row.remoteAddress},
                         {"receipt", row.receipt},
                         {"encoding", row.encoding},
                         {"identityKey", row.identityKey},
                         {"identityRule", row.identityRule},
                         {"osDescription", row.osDescription},
                         {"programName", row.programName},
                         {"programVersion", row.programVersion},
                         {"errors", row.errors},
                         {"storedBytes", row.storedBytes},
                         {"conflict", conflictName(row.conflict)},
                         {"columns", columnsJson(row.columns)}};
            if (const auto record = store->scan(row.id)) {
                item["summary"] = json::parse(record->summaryJson, nullptr, false);
            }
            list.push_back(std::move(item));
        }
        if (rows.size() < kPage) break;
    }
    if (asJson)
        std::cout << report::terminalJson(list.dump(2, ' ', false, json::error_handler_t::replace))
                  << "\n";
    return 0;
}

int machines(const std::vector<std::string>& rawArgs) {
    const Arguments args = parse(rawArgs, with(kStoreOptions, {"--json"}));
    if (!args.positional.empty())
        throw UsageError("machines takes no argument " + args.positional[0]);
    const bool asJson = option(args, "--json").has_value();
    auto store = openStore(args, /*readOnly=*/true);  // a read-only mount will do
    json list = json::array();
    storage::MachineQuery query;
    query.limit = 500;
    for (query.offset = 0;; query.offset += query.limit) {
        const auto page = store->machines(query);
        for (const auto& m : page.machines) {
            if (!asJson) {
                using report::terminalText;
                std::cout << m.id << "\t" << terminalText(m.identityRule) << "\t"
                          << terminalText(m.identityKey) << "\t" << isoTime(m.firstSeenMs) << "\t"
                          << isoTime(m.lastSeenMs) << "\t" << m.scanCount << "\t"
                          << terminalText(m.latest.maker) << "\t" << terminalText(m.latest.model)
                          << "\n";
                continue;
            }
            list.push_back({{"id", m.id},
                            {"identityKey", m.identityKey},
                            {"identityRule", m.identityRule},
                            {"firstSeen", isoTime(m.firstSeenMs)},
                            {"lastSeen", isoTime(m.lastSeenMs)},
                            {"firstSeenMs", m.firstSeenMs},
                            {"lastSeenMs", m.lastSeenMs},
                            {"latestScan", m.latestScanId},
                            {"scans", m.scanCount},
                            {"latest", columnsJson(m.latest)}});
        }
        if (page.machines.size() < query.limit) break;
    }
    if (asJson)
        std::cout << report::terminalJson(list.dump(2, ' ', false, json::error_handler_t::replace))
                  << "\n";
    return 0;
}

// ---- user add -------------------------------------------------------------------------

std::string readPassword(const char* prompt) {
    if (::isatty(STDIN_FILENO) == 0) {
        std::string line;
        if (!std::getline(std::cin, line)) throw std::runtime_error("no password on stdin");
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
    }
    std::cerr << prompt << std::flush;
    termios saved{};
    ::tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::string line;
    const bool read = static_cast<bool>(std::getline(std::cin, line));
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::cerr << "\n";
    if (!read) throw std::runtime_error("no password given");
    return line;
}

int user(const std::vector<std::string>& rawArgs) {
    const Arguments args = parse(rawArgs, kStoreOptions);
    if (args.positional.size() != 2 || args.positional[0] != "add")
        throw UsageError("expected: user add NAME");
    const std::string& name = args.positional[1];
    if (!console::validUserName(name))
        throw UsageError("a user name is 1 to 64 letters, digits, '.', '_', '-' or '@'");
    auto store = openStore(args);
    const std::string password = readPassword("Password: ");
    if (::isatty(STDIN_FILENO) != 0 && readPassword("Again: ") != password)
        throw std::runtime_error("the passwords differ");
    try {
        console::addUser(*store, name, password);
    } catch (const std::invalid_argument& e) {
        throw std::runtime_error(e.what());
    }
    std::cout << "user " << name << " saved\n";
    return 0;
}

}  // namespace

int runReceiver(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::cerr << kUsage;
        return 2;
    }
    if (args.size() == 1 &&
        (args[0] == "--help" || args[0] == "-h" || args[0] == "help" || args[0] == "--version")) {
        std::cout << (args[0] == "--version" ? "gravelin-receiver " GRAVELIN_VERSION "\n" : kUsage)
                  << std::flush;
        if (!std::cout) {
            std::cerr << "gravelin-receiver: standard output: " << std::strerror(errno) << "\n";
            return 1;
        }
        return 0;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    try {
        if (command == "serve") return serve(args);
        if (command == "import") return import(args);
        if (command == "scans") return scans(args);
        if (command == "machines") return machines(args);
        if (command == "user") return user(args);
        throw UsageError("unknown command " + command);
    } catch (const UsageError& e) {
        std::cerr << "gravelin-receiver: " << e.what() << " (see gravelin-receiver --help)\n";
        return 2;
    } catch (const std::invalid_argument& e) {
        std::cerr << "gravelin-receiver: " << e.what() << " (see gravelin-receiver --help)\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "gravelin-receiver: " << oneLine(e.what()) << "\n";
        return 1;
    }
}

}  // namespace gravelin::server
