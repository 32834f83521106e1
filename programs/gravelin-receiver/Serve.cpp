// gravelin-receiver serve: the public site and the console, each on a listener of its own,
// over one store, until SIGTERM or SIGINT. Parsed into ServeOptions, built into a ServePlan
// (addresses, TLS, limits: everything a bad command line can fail on before anything
// starts), then run.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
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
#include <iostream>
#include <latch>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "programs/gravelin-receiver/Commands.h"
#include "receiver/hooks/Delivery.h"
#include "receiver/console/Console.h"
#include "receiver/http/Listener.h"
#include "receiver/http/Time.h"
#include "receiver/site/Site.h"
#include "receiver/storage/FailureLog.h"

namespace gravelin::server {

namespace {

namespace net = boost::asio;
using nlohmann::json;
using std::chrono::milliseconds;

// ---- parse ----------------------------------------------------------------------------

struct ServeOptions {
    StoreChoice store;
    RetentionChoice keep;
    std::optional<std::string> listen, cert, key, console, trustedProxy, consoleSecretFile;
    std::optional<std::string> webhookCaFile;
    bool allowHttpWebhooks = false;
    bool plainHttp = false;
    bool noConsole = false;
    std::optional<std::uint64_t> threads, workers, maxBodyMemory;
    std::uint64_t maxReportBytes = report::IntakeLimits{}.maxSealedHexBytes;
    std::uint64_t maxConnectionsPerAddress = ListenerLimits{}.connectionsPerAddress;
    std::uint64_t handshakeMs = static_cast<std::uint64_t>(ListenerLimits{}.handshake.count());
    std::uint64_t headerMs = static_cast<std::uint64_t>(ListenerLimits{}.header.count());
    std::uint64_t bodyMs = static_cast<std::uint64_t>(ListenerLimits{}.bodyFloor.count());
    std::uint64_t requestMs = static_cast<std::uint64_t>(ListenerLimits{}.request.count());
    std::uint64_t writeMs = static_cast<std::uint64_t>(ListenerLimits{}.write.count());
};

void addServeOptions(CLI::App& serve, ServeOptions& o) {
    addStoreOptions(serve, o.store);
    addRetentionOptions(serve, o.keep);
    const auto text = [&](const char* name, std::optional<std::string>& value, const char* what,
                          const char* help) {
        serve.add_option(name, value, help)->option_text(what);
    };
    text("--listen", o.listen, "ADDRESS:PORT",
         "[0.0.0.0:443 with TLS, 127.0.0.1:8080 with --plain-http; port 0 picks one]");
    text("--cert", o.cert, "FILE", "PEM certificate chain");
    text("--key", o.key, "FILE", "PEM private key");
    serve.add_flag("--plain-http", o.plainHttp, "plain HTTP, behind a proxy that terminates TLS")
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    text("--console", o.console, "ADDRESS:PORT", "the console (plain HTTP) [127.0.0.1:8081]");
    serve.add_flag("--no-console", o.noConsole, "no console listener")
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    text("--trusted-proxy", o.trustedProxy, "ADDRESS",
         "requests from ADDRESS take the client address from the last X-Forwarded-For entry");
    text("--console-secret-file", o.consoleSecretFile, "FILE",
         "the key of the console's session cookies, made when missing [DIR/console.secret with "
         "--data; in the database with --database]");
    const auto number = [&](const char* name, auto& value, const char* help) {
        serve.add_option(name, value, help)->option_text("N")->check(wholeNumber());
    };
    number("--threads", o.threads, "network threads [one per core]");
    number("--workers", o.workers, "threads running storage [8 per core, min 32]");
    number("--max-report-bytes", o.maxReportBytes, "largest sealed text in hex digits [8388608]");
    number("--max-connections-per-address", o.maxConnectionsPerAddress, "[256]");
    number("--max-body-memory", o.maxBodyMemory,
           "bytes of request bodies held at once; past it 503 with Retry-After "
           "[an eighth of physical memory]");
    number("--handshake-timeout", o.handshakeMs, "ms: TLS handshake [10000]");
    number("--header-timeout", o.headerMs, "ms: request header, and idle keep-alive [10000]");
    number("--body-timeout", o.bodyMs, "ms: body floor, plus 1 s per 64 KiB announced [10000]");
    number("--request-timeout", o.requestMs, "ms: header end to last body byte, at most [30000]");
    number("--write-timeout", o.writeMs, "ms: writing an answer [10000]");
    number("--storage-timeout", o.store.timeoutMs,
           "ms: one storage call (connecting included), then 503 [5000]");
    text("--webhook-ca-file", o.webhookCaFile, "FILE",
         "PEM certificates trusted for webhook addresses instead of the system's");
    serve.add_flag("--allow-http-webhooks", o.allowHttpWebhooks,
                   "post webhooks to http: addresses too (otherwise https: only)")
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
}

// ---- build ----------------------------------------------------------------------------

struct ServePlan {
    ListenerOptions site;
    std::optional<ListenerOptions> console;
    report::IntakeLimits intake;
    int threads = 1;
    std::size_t workers = 1;
};

ServePlan buildServe(const ServeOptions& o) {
    const bool plain = o.plainHttp;
    if (plain && (o.cert || o.key))
        throw UsageError("--plain-http and --cert/--key exclude each other");
    if (!plain && (!o.cert || !o.key))
        throw UsageError("serve needs --cert FILE and --key FILE, or --plain-http behind a proxy");
    if (o.noConsole && o.console) throw UsageError("--console and --no-console exclude each other");
    if (o.webhookCaFile && ::access(o.webhookCaFile->c_str(), R_OK) != 0)
        throw std::runtime_error(*o.webhookCaFile + ": " + std::strerror(errno));

    ServePlan plan;
    std::tie(plan.site.address, plan.site.port) =
        parseListenAddress(o.listen.value_or(plain ? "127.0.0.1:8080" : "0.0.0.0:443"));
    if (!plain) {
        for (const auto& file : {*o.cert, *o.key}) {
            if (::access(file.c_str(), R_OK) != 0)
                throw std::runtime_error(file + ": " + std::strerror(errno));
        }
        plan.site.tls = makeTlsContext(*o.cert, *o.key);
    }
    plan.intake.maxSealedHexBytes = o.maxReportBytes;
    auto& limits = plan.site.limits;
    limits.bodyBytes = plan.intake.maxSealedHexBytes + (64u << 10);
    limits.connectionsPerAddress = o.maxConnectionsPerAddress;
    limits.handshake = milliseconds(o.handshakeMs);
    limits.header = milliseconds(o.headerMs);
    limits.bodyFloor = milliseconds(o.bodyMs);
    limits.request = milliseconds(o.requestMs);
    limits.write = milliseconds(o.writeMs);
    if (!o.noConsole) {
        plan.console.emplace();
        std::tie(plan.console->address, plan.console->port) =
            parseListenAddress(o.console.value_or("127.0.0.1:8081"));
        plan.console->limits = limits;
        plan.console->limits.bodyBytes = 1u << 20;
    }
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    plan.threads = static_cast<int>(o.threads.value_or(cores));
    plan.workers = static_cast<std::size_t>(o.workers.value_or(std::max(32u, 8 * cores)));
    // Connections get what the descriptor limit leaves after storage and files; bodies held
    // at once share one memory budget.
    const auto caps = connectionCaps(raiseDescriptorLimit(), plan.workers);
    limits.connections = caps.site;
    if (plan.console) plan.console->limits.connections = caps.console;
    plan.site.bodyBudget = std::make_shared<BodyBudget>(
        static_cast<std::size_t>(o.maxBodyMemory.value_or(defaultBodyBudget())));
    return plan;
}

// ---- run ------------------------------------------------------------------------------

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

// The console's cookie key: the file given; else with --database the database's, which the
// first receiver on it makes and the others, and restarts, read (a session is good on all of
// them); else the data directory's file.
std::string consoleKey(const ServeOptions& o, storage::Store& store) {
    if (o.consoleSecretFile) return consoleSecret(*o.consoleSecretFile);
    if (!o.store.database)
        return consoleSecret(o.store.data.value_or("gravelin-data") + "/console.secret");
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
    return store.consoleKey(hex);
}

// The console's router: the status page, answered on the network thread, then the console's
// pages on the workers.
// Retention at /status: what the last run removed and when it ended, and the totals since
// the start.
json retentionJson(const storage::RetentionWorker& retention) {
    const auto s = retention.status();
    const auto counts = [](const storage::Removed& r) {
        return json{{"machines", r.machines}, {"scans", r.scans}, {"auditEntries", r.auditEntries}};
    };
    return {{"runs", s.runs},
            {"failures", s.failures},
            {"lastRun", s.lastRunMs ? json(isoTime(s.lastRunMs)) : json(nullptr)},
            {"lastRemoved", counts(s.last)},
            {"removed", counts(s.total)}};
}

Router withStatusPage(Handler console, const IntakeCounters& counters, const Listener& site,
                      const storage::FailureLog& storageFailures,
                      const storage::RetentionWorker& retention) {
    return [console = std::move(console), &counters, &site, &storageFailures,
            &retention](const Request& request) {
        if (!isLocalStatusRequest(request)) return Reply(console);
        if (request.method != "GET") return Reply(Response{405, {{"Allow", "GET"}}, {}});
        const auto c = site.counters();
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
                       {"storageFailures", storageFailures.counts()},
                       {"retention", retentionJson(retention)}};
        return Reply(Response{200,
                              {{"Content-Type", "application/json"}, {"Cache-Control", "no-store"}},
                              status.dump(2) + "\n"});
    };
}

// Every worker of the pool runs at the console's lower priority before any takes work.
void lowerPriorityOf(net::thread_pool& pool, std::size_t threads) {
    // Each worker takes one of these tasks: none finishes before all have started.
    auto started = std::make_shared<std::latch>(static_cast<std::ptrdiff_t>(threads));
    for (std::size_t i = 0; i < threads; ++i) {
        net::post(pool, [started] {
            lowerThreadPriority();
            started->arrive_and_wait();
        });
    }
    started->wait();
}

// A handler that throws (out of memory, a bad header from a handler) costs its connection,
// never the process: the thread logs it and goes back to the loop.
void runLoop(net::io_context& io) {
    for (;;) {
        try {
            io.run();
            return;
        } catch (const std::exception& e) {
            std::cerr << "gravelin-receiver: " << oneLine(e.what()) << std::endl;
        }
    }
}

// After SIGTERM/SIGINT the listeners stop accepting and what is in flight is answered; a
// request still not done 40 s later is abandoned: the loops are stopped.
class Deadline {
public:
    void start(std::vector<net::io_context*> loops) {
        watchdog_ = std::thread([this, loops = std::move(loops)] {
            std::unique_lock lock(mutex_);
            if (!signal_.wait_for(lock, std::chrono::seconds(40), [this] { return done_; })) {
                for (auto* loop : loops) loop->stop();
            }
        });
    }
    // Everything stopped in time (or was abandoned): the watchdog ends.
    void finish() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        signal_.notify_all();
        if (watchdog_.joinable()) watchdog_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable signal_;
    bool done_ = false;
    std::thread watchdog_;
};

int runServe(const ServeOptions& o, const ServePlan& plan) {
    keepFreedMemory();
    // The signals are caught from here on: one that comes while the store opens (a migration
    // can take a while) waits in the set and stops the receiver as soon as it is up.
    net::io_context io(plan.threads);
    net::signal_set signals(io, SIGINT, SIGTERM);

    // Every storage failure (the posts' 503s, the console's) is logged, by kind, rate-limited.
    storage::FailureLog storageFailures(std::cerr);
    auto doorbell = std::make_shared<storage::WebhookDoorbell>();
    auto store = storage::withFailureLog(openStore(o.store, false, doorbell), storageFailures);
    IntakeCounters counters;
    Intake intake(*store, plan.intake, counters);
    // Retention runs at start and then hourly, in bounded steps beside intake.
    storage::RetentionWorker retention(
        *store, retentionPolicy(o.keep),
        [] {
            return std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                .count();
        },
        std::chrono::hours(1), std::cerr);
    // Webhooks: posted as soon as a commit enqueued them, and looked for every few seconds
    // (other receivers on the same database enqueue too).
    hooks::DeliveryWorker::Settings hookSettings;
    hookSettings.post.allowHttp = o.allowHttpWebhooks;
    hookSettings.post.caFile = o.webhookCaFile.value_or("");
    hooks::DeliveryWorker webhooks(
        *store, doorbell, hookSettings,
        [] {
            return std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                .count();
        },
        std::cerr);
    SiteOptions siteOptions;
    siteOptions.trustedProxy = o.trustedProxy.value_or("");

    net::thread_pool workers(plan.workers);
    net::io_context consoleIo(1);
    net::thread_pool consoleWorkers(kConsoleWorkers);
    lowerPriorityOf(consoleWorkers, kConsoleWorkers);
    Listener siteListener(io, workers, plan.site, makeSite(intake, siteOptions));
    std::unique_ptr<Listener> consoleListener;
    if (plan.console) {
        console::ConsoleOptions consoleSettings;
        consoleSettings.secureCookies = false;
        consoleSettings.trustedProxy = o.trustedProxy.value_or("");
        consoleSettings.secret = consoleKey(o, *store);
        consoleSettings.allowHttpWebhooks = o.allowHttpWebhooks;
        consoleListener = std::make_unique<Listener>(
            consoleIo, consoleWorkers, *plan.console,
            withStatusPage(console::makeConsole(*store, consoleSettings), counters, siteListener,
                           storageFailures, retention));
    }

    // The handler is in place before the receiver says it is ready: whoever stops it right
    // after that gets a graceful stop, not the default action of the signal.
    Deadline deadline;
    signals.async_wait([&](const boost::system::error_code& ec, int) {
        if (ec) return;
        siteListener.stop();
        if (consoleListener) consoleListener->stop();
        deadline.start({&io, &consoleIo});
    });

    // Ready means: storage open, both listeners bound, the stop handler set and the network
    // loop running. The lines (and systemd's READY=1) come from inside the loop, so nothing
    // acts on them before the receiver can both answer and stop cleanly.
    net::post(io, [&] {
        std::cout << "gravelin-receiver: listening on " << (plan.site.tls ? "https" : "http")
                  << "://" << plan.site.address << ":" << siteListener.port() << std::endl;
        if (consoleListener) {
            std::cout << "gravelin-receiver: console on http://" << plan.console->address << ":"
                      << consoleListener->port() << std::endl;
        }
        ::sd_notify(0, "READY=1");
    });

    std::thread consoleNetwork;
    if (consoleListener) {
        consoleNetwork = std::thread([&consoleIo] {
            lowerThreadPriority();
            runLoop(consoleIo);
        });
    }
    std::vector<std::thread> pool;
    for (int i = 1; i < plan.threads; ++i) pool.emplace_back([&io] { runLoop(io); });
    runLoop(io);
    for (auto& thread : pool) thread.join();
    if (consoleNetwork.joinable()) consoleNetwork.join();
    workers.join();
    consoleWorkers.join();
    deadline.finish();
    std::cout << "gravelin-receiver: stopped" << std::endl;
    return 0;
}

}  // namespace

void addServe(CLI::App& program, Command& chosen) {
    auto* serve = program.add_subcommand(
        "serve",
        "Answers GET /kestal/loading-com.jpg (the waiting image) and POST /kestal/scantest.php "
        "(the form field scanResult: the sealed report), and serves the console");
    auto options = std::make_shared<ServeOptions>();
    addServeOptions(*serve, *options);
    serve->callback([serve, options, &chosen] {
        chosen = [serve, options] {
            refuseExtras(*serve);
            return runServe(*options, buildServe(*options));
        };
    });
}

}  // namespace gravelin::server
