// Every request the driver sends to the device, failing in every way a device fails, in every
// phase of a host's life with the driver. Each case runs in a child process of its own, so a
// crash is counted and the rest go on, and a call that does not return is a hang the parent
// ends. What the driver must do whatever happens: every call returns, in time, with a result it
// may give; nothing is left behind but what the device still holds; and a stream that ended
// without the host's stop was told to the host.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "integration/test_host.h"
#include "ks/irp_target.h"
#include "platform/alloc.h"
#include "platform/posix/testing.h"
#include "sim/sim.h"

namespace ferox::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// No call of the driver may take longer; none of them waits on the device without a bound.
constexpr auto kCallBound = std::chrono::seconds(10);
// The host's own waits for what the stream does.
constexpr auto kStreamWait = std::chrono::seconds(5);

enum Phase { kInit, kCreateBuffers, kStart, kStreaming, kStop, kDisposeBuffers, kRelease, kPhases };
constexpr const char* kPhaseNames[kPhases] = {"init", "createBuffers",  "start",  "streaming",
                                              "stop", "disposeBuffers", "Release"};

// ---- Request kinds

struct Kind {
    const char* name;
    sim::Match match;
    // Sent only when a write is kept: the next write of the phase never completes (until
    // cancelled).
    bool heldWrite = false;
};

sim::Match Of(sim::Op op) {
    sim::Match m{};
    m.op = op;
    return m;
}
sim::Match Prop(const GUID& set, ULONG id) {
    sim::Match m{};
    m.set = set;
    m.id = id;
    return m;
}

const std::vector<Kind>& Kinds() {
    static const std::vector<Kind> kinds = {
        {"ClassDevs", Of(sim::Op::ClassDevs)},
        {"EnumInterfaces", Of(sim::Op::EnumInterfaces)},
        {"InterfaceDetail", Of(sim::Op::InterfaceDetail)},
        {"InstanceId", Of(sim::Op::InstanceId)},
        {"InterfaceAlias", Of(sim::Op::InterfaceAlias)},
        {"DestroyInfoList", Of(sim::Op::DestroyInfoList)},
        {"CreateFile", Of(sim::Op::CreateFile)},
        {"pin count", Prop(kKsPropSetIdPin, KSPROPERTY_PIN_CTYPES)},
        {"pin communication", Prop(kKsPropSetIdPin, KSPROPERTY_PIN_COMMUNICATION)},
        {"pin interfaces", Prop(kKsPropSetIdPin, KSPROPERTY_PIN_INTERFACES)},
        {"pin mediums", Prop(kKsPropSetIdPin, KSPROPERTY_PIN_MEDIUMS)},
        {"pin data ranges", Prop(kKsPropSetIdPin, KSPROPERTY_PIN_DATARANGES)},
        {"pin data flow", Prop(kKsPropSetIdPin, KSPROPERTY_PIN_DATAFLOW)},
        {"pin instances", Prop(kKsPropSetIdPin, KSPROPERTY_PIN_CINSTANCES)},
        {"pin global instances", Prop(kKsPropSetIdPin, KSPROPERTY_PIN_GLOBALCINSTANCES)},
        {"pin category", Prop(kKsPropSetIdPin, KSPROPERTY_PIN_CATEGORY)},
        {"pin name", Prop(kKsPropSetIdPin, KSPROPERTY_PIN_NAME)},
        {"pin data intersection", Prop(kKsPropSetIdPin, KSPROPERTY_PIN_DATAINTERSECTION)},
        {"topology nodes", Prop(kKsPropSetIdTopology, KSPROPERTY_TOPOLOGY_NODES)},
        {"pin state", Prop(kKsPropSetIdConnection, KSPROPERTY_CONNECTION_STATE)},
        {"pin data format", Prop(kKsPropSetIdConnection, KSPROPERTY_CONNECTION_DATAFORMAT)},
        {"latency", Prop(kKsPropSetIdAudio, KSPROPERTY_AUDIO_LATENCY)},
        {"position", Prop(kKsPropSetIdAudio, KSPROPERTY_AUDIO_POSITION)},
        {"WriteStream", Of(sim::Op::WriteStream)},
        {"VendorMode", Of(sim::Op::VendorMode)},
        {"CreatePin", Of(sim::Op::CreatePin)},
        {"LoadLibrary", Of(sim::Op::LoadLibrary)},
        {"GetProcAddress", Of(sim::Op::GetProcAddress)},
        {"CloseHandle", Of(sim::Op::CloseHandle)},
        {"CancelIo", Of(sim::Op::CancelIo), true},
    };
    return kinds;
}

// Whether a logged request is one the fault would apply to (the simulator's own test).
bool Matches(const sim::Match& m, const sim::Logged& l) {
    if (l.op != m.op)
        return false;
    if (l.op != sim::Op::Property || (!m.set && !m.id))
        return true;
    KSPROPERTY p{};
    if (l.in.size() < sizeof(p))
        return false;
    std::memcpy(&p, l.in.data(), sizeof(p));
    return (!m.set || *m.set == p.Set) && (!m.id || *m.id == p.Id);
}

bool Overlapped(sim::Op op) {
    return op == sim::Op::Property || op == sim::Op::WriteStream || op == sim::Op::VendorMode;
}

// ---- Fault modes

struct Mode {
    const char* name;
    sim::Action action;
    DWORD error;
    DWORD delayMs;
    bool ignoreCancel;
    bool ignoreStop;
};

constexpr Mode kModes[] = {
    {"fails", sim::Action::Fail, ERROR_GEN_FAILURE, 0, false, false},
    {"fails late", sim::Action::PendFail, ERROR_GEN_FAILURE, 15, false, false},
    {"never completes", sim::Action::NeverComplete, 0, 0, false, false},
    {"completes with an error", sim::Action::PendFail, ERROR_NOT_SUPPORTED, 0, false, false},
    {"ignores cancellation", sim::Action::NeverComplete, 0, 0, true, false},
    {"ignores cancellation and stop", sim::Action::NeverComplete, 0, 0, true, true},
    {"unplug", sim::Action::Unplug, 0, 0, false, false},
};

// Whether the simulator can fault a request of this kind that way: only requests that can go
// pending can complete late or never, only a write is given back by the stop state, and a
// module is not unplugged.
bool Possible(const Kind& kind, const Mode& mode) {
    const sim::Op op = kind.match.op;
    if (mode.action == sim::Action::Fail)
        return true;
    if (mode.action == sim::Action::Unplug)
        return op != sim::Op::LoadLibrary && op != sim::Op::GetProcAddress;
    if (mode.ignoreStop)
        return op == sim::Op::WriteStream;
    return Overlapped(op);
}

// ---- Cases

struct Case {
    // kind -1: no fault, the run that finds which phase sends what; mode -1: the kind's held
    // write only, the run that finds whether the phase then sends the kind.
    int kind = -1;
    int mode = 0;
    Phase phase = kInit;
    unsigned skip = 0;  // requests of the kind let through in the phase before the faulted one
    std::string Name() const {
        if (kind < 0)
            return "no fault";
        std::string s = std::string(kPhaseNames[phase]) + ": " + Kinds()[kind].name;
        if (Kinds()[kind].heldWrite)
            s += " (of a kept write)";
        if (skip != 0)
            s += " #" + std::to_string(skip + 1);
        return s + " " + (mode < 0 ? "not faulted" : kModes[mode].name);
    }
    // While streaming the device has failed for good: every request of the kind from then on.
    bool Persistent() const { return phase == kStreaming; }
};

// ---- The child: one host's life with the driver

class Child {
  public:
    Child(int fd, const Case& c) : fd_(fd), c_(c) {}

    // Reports on the pipe, one line each:
    //   C phase kind count   requests of a kind in a phase (the run without a fault)
    //   U phase text         a request no kind covers
    //   B phase / E phase    a call of the driver begins / returned
    //   H                    the fault was applied in its phase
    //   X text               an impossible result (counted as a crash)
    //   L text               something left behind
    //   W text               any other wrong behaviour
    void Run();

  private:
    void Say(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        char line[512];
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(line, sizeof line - 1, format, args);
        va_end(args);
        std::size_t len = std::min<std::size_t>(n < 0 ? 0 : n, sizeof line - 2);
        line[len++] = '\n';
        for (std::size_t done = 0; done < len;) {
            const ssize_t w = write(fd_, line + done, len - done);
            if (w <= 0)
                break;
            done += static_cast<std::size_t>(w);
        }
    }
    template <class F>
    auto Call(Phase p, F f) {
        Say("B %d", p);
        auto r = f();
        Say("E %d", p);
        return r;
    }
    void Arm(Phase p);
    void Judge(Phase p);
    void Stream();
    void CheckNothingLeft();

    int fd_;
    Case c_;
    IASIO* driver_ = nullptr;
    bool started_ = false;  // start said ASE_OK
    bool stopped_ = false;  // the host stopped (or could no longer have a stream)
};

void Child::Arm(Phase p) {
    if (c_.kind < 0 || c_.phase != p) {
        if (c_.kind < 0)
            sim::ClearLog();
        return;
    }
    sim::ClearLog();
    if (Kinds()[c_.kind].heldWrite) {
        sim::Fault held;
        held.action = sim::Action::NeverComplete;
        sim::InjectFault(Of(sim::Op::WriteStream), held);
    }
    if (c_.mode < 0)
        return;
    const Mode& m = kModes[c_.mode];
    sim::Fault f;
    f.action = m.action;
    f.error = m.error;
    f.delayMs = m.delayMs;
    f.skip = c_.skip;
    f.times = c_.Persistent() ? 0 : 1;
    f.ignoreCancel = m.ignoreCancel;
    f.ignoreStop = m.ignoreStop;
    sim::InjectFault(Kinds()[c_.kind].match, f);
}

void Child::Judge(Phase p) {
    const std::vector<sim::Logged> log = sim::Log();
    if (c_.kind < 0) {
        for (std::size_t k = 0; k < Kinds().size(); ++k) {
            const auto n = std::count_if(log.begin(), log.end(), [&](const sim::Logged& l) {
                return Matches(Kinds()[k].match, l);
            });
            if (n != 0)
                Say("C %d %zu %ld", p, k, static_cast<long>(n));
        }
        for (const sim::Logged& l : log) {
            if (std::none_of(Kinds().begin(), Kinds().end(),
                             [&](const Kind& k) { return Matches(k.match, l); })) {
                unsigned id = 0;
                if (l.in.size() >= sizeof(KSPROPERTY))
                    std::memcpy(&id, l.in.data() + sizeof(GUID), sizeof(id));
                Say("U %d op %d id %u", p, static_cast<int>(l.op), id);
            }
        }
        return;
    }
    if (c_.phase != p)
        return;
    const auto n = std::count_if(log.begin(), log.end(), [&](const sim::Logged& l) {
        return Matches(Kinds()[c_.kind].match, l);
    });
    if (c_.mode < 0 && n != 0)
        Say("C %d %d %ld", p, c_.kind, static_cast<long>(n));
    if (c_.mode >= 0 && n > static_cast<long>(c_.skip))
        Say("H");
}

// The host plays a while, asking for the position as hosts do, until it has had enough
// switches, or the driver asked it for a reset.
void Child::Stream() {
    TestHost& host = TestHost::Get();
    // A stream that plays gives its first switches at once; one that does not must have told.
    const auto deadline = Clock::now() + kStreamWait;
    while (host.switches.load() < 4 && host.resetRequests.load() == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(1));
    if (host.switches.load() < 4 && host.resetRequests.load() == 0)
        Say("W start said ASE_OK, yet neither a switch nor a reset request came");

    Arm(kStreaming);
    const int before = host.switches.load();
    const auto t0 = Clock::now();
    // Long enough that a failed device shows, short enough for hundreds of cases.
    while (host.resetRequests.load() == 0 && Clock::now() - t0 < kStreamWait &&
           (host.switches.load() < before + 24 || Clock::now() - t0 < milliseconds(30))) {
        ASIOSamples position{};
        ASIOTimeStamp stamp{};
        const ASIOError e =
            Call(kStreaming, [&] { return driver_->getSamplePosition(&position, &stamp); });
        if (e != ASE_OK && e != ASE_SPNotAdvancing)
            Say("X getSamplePosition answered %d", static_cast<int>(e));
        std::this_thread::sleep_for(milliseconds(2));
    }
    Judge(kStreaming);

    if (c_.kind >= 0 && c_.phase == kStreaming) {
        const sim::Op op = Kinds()[c_.kind].match.op;
        // A kept write stops the stream as surely as failing ones.
        const bool deviceFailed = Kinds()[c_.kind].heldWrite || op == sim::Op::WriteStream ||
                                  (c_.mode >= 0 && kModes[c_.mode].action == sim::Action::Unplug);
        if (deviceFailed) {
            const auto told = Clock::now() + kStreamWait;
            while (host.resetRequests.load() == 0 && Clock::now() < told)
                std::this_thread::sleep_for(milliseconds(1));
            if (host.resetRequests.load() == 0)
                Say("W the device failed while streaming and the host was not asked for a reset");
        } else if (host.switches.load() < before + 24) {
            Say("W a request beside the stream failed and the stream stopped (%d switches)",
                host.switches.load() - before);
        }
    }
}

void Child::Run() {
    TestHost& host = TestHost::Get();
    sim::Reset();
    sim::SetWriteMode(sim::WriteMode::Fast);
    host.Reset();
    const std::size_t threads0 = posix::LiveThreadCount();
    const std::size_t handles0 = posix::OpenHandleCount();
    const long allocations0 = alloc_test::Live();

    driver_ = CreateDriver();
    if (!driver_) {
        Say("X the driver could not be created");
        return;
    }

    Arm(kInit);
    const ASIOBool ok = Call(kInit, [&] { return driver_->init(nullptr); });
    Judge(kInit);
    if (ok != ASIOTrue && ok != ASIOFalse)
        Say("X init answered %d", static_cast<int>(ok));
    bool buffers = false;
    if (ok == ASIOTrue) {
        Arm(kCreateBuffers);
        const ASIOError e = Call(kCreateBuffers, [&] { return CreateOutputs(driver_, 2, 64); });
        Judge(kCreateBuffers);
        if (e != ASE_OK && e != ASE_NoMemory)
            Say("X createBuffers answered %d", static_cast<int>(e));
        buffers = true;  // a host disposes even after a failed createBuffers
        if (e == ASE_OK) {
            Arm(kStart);
            const ASIOError s = Call(kStart, [&] { return driver_->start(); });
            // The start's requests include the stream's first write, which comes with the
            // host's third switch.
            if (s == ASE_OK) {
                const auto primed = Clock::now() + kStreamWait;
                while (host.switches.load() < 3 && host.resetRequests.load() == 0 &&
                       Clock::now() < primed) {
                    std::this_thread::sleep_for(milliseconds(1));
                }
            }
            Judge(kStart);
            if (s != ASE_OK && s != ASE_NotPresent && s != ASE_HWMalfunction && s != ASE_NoMemory)
                Say("X start answered %d", static_cast<int>(s));
            if (s == ASE_OK) {
                started_ = true;
                Stream();
                // A stream the device ended by itself was told to the host.
                std::vector<sim::PinState> pins = sim::Pins();
                const bool endedAlone = !pins.empty() && !pins.back().open;
                if (endedAlone) {
                    const auto told = Clock::now() + kStreamWait;
                    while (host.resetRequests.load() == 0 && Clock::now() < told)
                        std::this_thread::sleep_for(milliseconds(1));
                    if (host.resetRequests.load() == 0)
                        Say("W the stream ended before the host's stop and it was not told");
                }
                Arm(kStop);
                const ASIOError t = Call(kStop, [&] { return driver_->stop(); });
                Judge(kStop);
                if (t != ASE_OK)
                    Say("X stop answered %d", static_cast<int>(t));
            }
        }
    }
    if (buffers) {
        Arm(kDisposeBuffers);
        const ASIOError e = Call(kDisposeBuffers, [&] { return driver_->disposeBuffers(); });
        Judge(kDisposeBuffers);
        if (e != ASE_OK)
            Say("X disposeBuffers answered %d", static_cast<int>(e));
    }
    Arm(kRelease);
    const ULONG refs = Call(kRelease, [&] { return driver_->Release(); });
    Judge(kRelease);
    if (refs != 0)
        Say("X the last Release answered %lu", static_cast<unsigned long>(refs));
    driver_ = nullptr;
    if (host.resetRequests.load() > 1)
        Say("W the host was asked for a reset %d times", host.resetRequests.load());

    // Left behind: only what the device still holds (each request it never gave back keeps
    // its event, and the memory it may write to is left to it), and handles it refused to
    // close.
    if (DllCanUnloadNow() != S_OK)
        Say("L an object or a streaming thread of the driver is still alive");
    const long blocks = static_cast<long>(CKsIrpTarget::HeldByDevice());
    const long requests = static_cast<long>(sim::HeldRequests());
    if ((blocks == 0) != (requests == 0))
        Say("L %ld requests held by the device, %ld blocks left to it", requests, blocks);
    const long allocations = alloc_test::Live() - allocations0;
    if (allocations != blocks)
        Say("L %ld allocations outstanding, %ld of them left to the device", allocations, blocks);
    const long handles = static_cast<long>(posix::OpenHandleCount()) - static_cast<long>(handles0);
    if (handles != requests)
        Say("L %ld handles open, %ld requests held by the device", handles, requests);
    std::size_t refused = 0;
    if (c_.kind >= 0 && c_.mode >= 0 && kModes[c_.mode].action == sim::Action::Fail &&
        (Kinds()[c_.kind].match.op == sim::Op::CloseHandle ||
         Kinds()[c_.kind].match.op == sim::Op::DestroyInfoList)) {
        refused = 1;
    }
    if (sim::OpenHandles() > refused)
        Say("L %zu device handles open", sim::OpenHandles());
    // The device gives back what it held: whatever it writes must land in memory still alive.
    sim::CompleteHeld(static_cast<LONG>(0xC0000120));
    sim::Reset();
    // Threads of the driver and the device's worker; a sanitizer's own do not count.
    const auto deadline = Clock::now() + kStreamWait;
    while ((posix::LiveThreadCount() > threads0 || sim::WorkerRunning()) &&
           Clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(1));
    }
    if (posix::LiveThreadCount() > threads0)
        Say("L %zu threads more than before", posix::LiveThreadCount() - threads0);
    if (sim::WorkerRunning())
        Say("L the device's worker still runs");
}

// ---- The parent: runs the cases, a few at a time

struct Outcome {
    bool hit = false;
    bool crashed = false;
    bool hung = false;
    bool leaked = false;
    std::vector<std::string> notes;
};

struct Running {
    pid_t pid;
    int fd;
    Case c;
    std::string buffer;
    std::optional<Clock::time_point> inCall;
    int callPhase = -1;
    Outcome outcome;
    std::vector<std::string> lines;
};

Running Launch(const Case& c) {
    int fds[2];
    if (pipe(fds) != 0)
        std::abort();
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0)
        std::abort();
    if (pid == 0) {
        close(fds[0]);
        Child(fds[1], c).Run();
        close(fds[1]);
        // exit, not _exit: the sanitizers' checks at exit run and decide the status.
        std::exit(0);
    }
    close(fds[1]);
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    Running r{pid, fds[0], c, {}, {}, -1, {}, {}};
    return r;
}

void TakeLine(Running& r, const std::string& line) {
    if (line.empty())
        return;
    const char tag = line[0];
    const std::string rest = line.size() > 2 ? line.substr(2) : "";
    switch (tag) {
        case 'B':
            r.inCall = Clock::now();
            r.callPhase = std::atoi(rest.c_str());
            break;
        case 'E':
            r.inCall.reset();
            break;
        case 'H':
            r.outcome.hit = true;
            break;
        case 'X':
            r.outcome.crashed = true;
            r.outcome.notes.push_back("impossible result: " + rest);
            break;
        case 'L':
            r.outcome.leaked = true;
            r.outcome.notes.push_back("left behind: " + rest);
            break;
        case 'W':
            r.outcome.notes.push_back(rest);
            break;
        default:
            r.lines.push_back(line);
    }
}

// Takes the whole lines the child has written so far.
void ReadLines(Running& r) {
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(r.fd, chunk, sizeof chunk);
        if (n <= 0)
            break;
        r.buffer.append(chunk, static_cast<std::size_t>(n));
    }
    for (std::size_t eol; (eol = r.buffer.find('\n')) != std::string::npos;) {
        TakeLine(r, r.buffer.substr(0, eol));
        r.buffer.erase(0, eol + 1);
    }
}

// Reads what the child said; true once it is done (exited, or ended as hung).
bool Poll(Running& r) {
    ReadLines(r);
    int status = 0;
    const pid_t done = waitpid(r.pid, &status, WNOHANG);
    if (done == r.pid) {
        ReadLines(r);  // whatever it wrote last is in the pipe by now
        close(r.fd);
        if (WIFSIGNALED(status)) {
            r.outcome.crashed = true;
            r.outcome.notes.push_back("killed by signal " + std::to_string(WTERMSIG(status)) +
                                      (r.callPhase >= 0 && r.inCall
                                           ? std::string(" in ") + kPhaseNames[r.callPhase]
                                           : std::string()));
        } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
            r.outcome.crashed = true;
            r.outcome.notes.push_back("exited with status " + std::to_string(WEXITSTATUS(status)) +
                                      " (a sanitizer's report or an abort)");
        }
        return true;
    }
    if (r.inCall && Clock::now() - *r.inCall > kCallBound) {
        r.outcome.hung = true;
        r.outcome.notes.push_back(std::string(kPhaseNames[r.callPhase]) + " did not return in " +
                                  std::to_string(kCallBound.count()) + " s");
        kill(r.pid, SIGKILL);
        waitpid(r.pid, &status, 0);
        close(r.fd);
        return true;
    }
    return false;
}

// Runs the cases, `jobs` at a time; outcomes in the order of the cases.
std::vector<Running> RunAll(const std::vector<Case>& cases, unsigned jobs) {
    std::vector<Running> finished;
    std::vector<Running> running;
    std::size_t next = 0;
    while (next < cases.size() || !running.empty()) {
        while (next < cases.size() && running.size() < jobs)
            running.push_back(Launch(cases[next++]));
        std::vector<pollfd> fds;
        for (const Running& r : running)
            fds.push_back({r.fd, POLLIN, 0});
        poll(fds.data(), fds.size(), 20);
        for (auto it = running.begin(); it != running.end();) {
            if (Poll(*it)) {
                finished.push_back(std::move(*it));
                it = running.erase(it);
            } else {
                ++it;
            }
        }
    }
    return finished;
}

unsigned Jobs() {
    // Most cases wait out a device's bounds rather than compute.
    if (const char* j = std::getenv("FEROX_MATRIX_JOBS"))
        return std::max(1, std::atoi(j));
    return 4;
}

TEST(FaultMatrix, EveryRequestFailingEveryWayInEveryPhase) {
    // Which phase sends which requests: a run without a fault, and for each kind sent only
    // about a kept write, one run a phase with a write kept.
    std::vector<Case> plans{Case{}};
    for (int k = 0; k < static_cast<int>(Kinds().size()); ++k) {
        for (int p = 0; p < kPhases && Kinds()[k].heldWrite; ++p)
            plans.push_back(Case{k, -1, static_cast<Phase>(p)});
    }
    std::map<std::pair<int, int>, long> sent;  // (phase, kind) -> requests
    for (const Running& b : RunAll(plans, Jobs())) {
        EXPECT_TRUE(b.outcome.notes.empty())
            << b.c.Name() << ": " << ::testing::PrintToString(b.outcome.notes);
        for (const std::string& line : b.lines) {
            std::istringstream in(line.substr(1));
            if (line[0] == 'C') {
                int phase = 0, kind = 0;
                long n = 0;
                in >> phase >> kind >> n;
                if (Kinds()[kind].heldWrite == (b.c.kind >= 0))
                    sent[{phase, kind}] = n;
            } else if (line[0] == 'U') {
                ADD_FAILURE() << "a request no kind of the matrix covers: " << line;
            }
        }
    }
    if (HasFailure())
        return;

    // Each kind a phase sends, first and (when it sends several) last of the phase, faulted in
    // every way the simulator can fault it. While streaming the fault is for good instead.
    std::vector<Case> cases;
    for (int p = 0; p < kPhases; ++p) {
        for (int k = 0; k < static_cast<int>(Kinds().size()); ++k) {
            const auto found = sent.find({p, k});
            if (found == sent.end())
                continue;
            std::vector<unsigned> skips{0};
            // How many writes a phase sends depends on the pace of the streaming thread.
            if (p != kStreaming && Kinds()[k].match.op != sim::Op::WriteStream && found->second > 1)
                skips.push_back(static_cast<unsigned>(found->second - 1));
            for (int m = 0; m < static_cast<int>(std::size(kModes)); ++m) {
                if (!Possible(Kinds()[k], kModes[m]))
                    continue;
                for (unsigned skip : skips)
                    cases.push_back(Case{k, m, static_cast<Phase>(p), skip});
            }
        }
    }

    const auto t0 = Clock::now();
    std::vector<Running> results = RunAll(cases, Jobs());
    unsigned run = 0, crashes = 0, hangs = 0, leaks = 0, missed = 0;
    for (const Running& r : results) {
        // A fault that found no request to apply to was a case that did not happen.
        const bool counted = r.outcome.hit || r.outcome.crashed || r.outcome.hung;
        if (!counted) {
            ++missed;
            if (!r.outcome.notes.empty())
                ADD_FAILURE() << r.c.Name() << " (fault not reached): "
                              << ::testing::PrintToString(r.outcome.notes);
            continue;
        }
        ++run;
        crashes += r.outcome.crashed ? 1 : 0;
        hangs += r.outcome.hung ? 1 : 0;
        leaks += r.outcome.leaked ? 1 : 0;
        if (!r.outcome.notes.empty()) {
            std::string all;
            for (const std::string& n : r.outcome.notes)
                all += "\n    " + n;
            ADD_FAILURE() << r.c.Name() << ":" << all;
        }
    }
    unsigned perPhase[kPhases] = {};
    for (const Running& r : results) {
        if (r.outcome.hit || r.outcome.crashed || r.outcome.hung)
            ++perPhase[r.c.phase];
    }
    for (int p = 0; p < kPhases; ++p)
        std::printf("  %-15s %u cases\n", kPhaseNames[p], perPhase[p]);
    const auto seconds =
        std::chrono::duration_cast<std::chrono::duration<double>>(Clock::now() - t0).count();
    std::printf("(%zu cases planned, %u whose fault found no request, %.1f s, %u at a time)\n",
                cases.size(), missed, seconds, Jobs());
    std::printf("fault matrix: %u cases, %u crashes, %u hangs, %u leaks\n", run, crashes, hangs,
                leaks);
    std::fflush(stdout);
    EXPECT_EQ(crashes, 0u);
    EXPECT_EQ(hangs, 0u);
    EXPECT_EQ(leaks, 0u);
}

}  // namespace
}  // namespace ferox::test
