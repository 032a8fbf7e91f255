// The simulated bootloader. One thread serves the terminal: it reads what the client sends,
// frames it by what the protocol expects next, checks it byte for byte and schedules the
// reply. With wire emulation every byte is given the time it would take on the line, and
// each reply byte is written when its last bit would have arrived; deadlines are absolute,
// so no delay accumulates beyond the wire time.
#include "bootloader_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>

namespace {

constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kXon = 0x11;
constexpr std::uint8_t kNak = 0x15;  // refusal of a message whose content is wrong
const std::vector<std::uint8_t> kAllFlash = {'A', 'L', 'L', ' ', 'F', 'L', 'A', 'S', 'H'};
const std::vector<std::uint8_t> kBlockTable = {
    0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
    0x08, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00,
    0x00, 0x80, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x80, 0x00,
};
constexpr std::size_t kBlockSize = 64;
constexpr std::uint32_t kVersionOffset = 0x4003;
constexpr auto kSpinMargin = std::chrono::microseconds(1000);

std::string Hex(const std::vector<std::uint8_t>& bytes, std::size_t max = 16) {
    std::string s;
    char b[8];
    for (std::size_t i = 0; i < bytes.size() && i < max; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        s += b;
    }
    if (bytes.size() > max) {
        s += " ...";
    }
    return s;
}

std::string Hex1(std::uint8_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", v);
    return b;
}

std::string Printable(std::uint8_t c) {
    if (c >= 0x20 && c < 0x7F) {
        return std::string("'") + static_cast<char>(c) + "' (" + Hex1(c) + ")";
    }
    return Hex1(c);
}

[[noreturn]] void ThrowErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

std::string LineText(int fd) {
    termios t{};
    if (fd < 0 || tcgetattr(fd, &t) != 0) {
        return "";
    }
    static const std::pair<speed_t, const char*> kSpeeds[] = {
        {B1200, "1200"},   {B2400, "2400"},     {B4800, "4800"},
        {B9600, "9600"},   {B19200, "19200"},   {B38400, "38400"},
        {B57600, "57600"}, {B115200, "115200"}, {B230400, "230400"}};
    std::string text = "?";
    for (const auto& [speed, name] : kSpeeds) {
        if (cfgetospeed(&t) == speed) {
            text = name;
        }
    }
    const tcflag_t size = t.c_cflag & CSIZE;
    text += size == CS5 ? " 5" : size == CS6 ? " 6" : size == CS7 ? " 7" : " 8";
    text += (t.c_cflag & PARENB) == 0 ? "N" : (t.c_cflag & PARODD) != 0 ? "O" : "E";
    text += (t.c_cflag & CSTOPB) != 0 ? "2" : "1";
    if ((t.c_iflag & (IXON | IXOFF)) != 0) {
        text += " xon/xoff";
    }
    if ((t.c_cflag & CRTSCTS) != 0) {
        text += " rts/cts";
    }
    return text;
}

bool ParseUnsigned(const std::string& s, int base, unsigned long max, unsigned long& out) {
    if (s.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(s.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v > max || s[0] == '-' || s[0] == '+') {
        return false;
    }
    out = v;
    return true;
}

std::string SplitText(const SimFault& f) {
    std::string s = "split:" + std::to_string(f.ms);
    for (std::size_t i = 0; i < f.splitAt.size(); ++i) {
        s += (i == 0 ? ":" : ",") + std::to_string(f.splitAt[i]);
    }
    return s;
}

// "MS[:K[,K...]]" of a split.
bool ParseSplit(const std::string& arg, SimFault& f) {
    const auto colon = arg.find(':');
    unsigned long ms = 0;
    if (!ParseUnsigned(arg.substr(0, colon), 10, 600000, ms)) {
        return false;
    }
    f.ms = static_cast<unsigned>(ms);
    f.split = true;
    f.splitAt.clear();
    for (std::size_t pos = colon; pos != std::string::npos;) {
        const auto comma = arg.find(',', pos + 1);
        unsigned long k = 0;
        if (!ParseUnsigned(
                arg.substr(pos + 1, comma == std::string::npos ? comma : comma - pos - 1), 10,
                1 << 16, k) ||
            k == 0) {
            return false;
        }
        f.splitAt.push_back(static_cast<unsigned>(k));
        pos = comma;
    }
    return true;
}

std::string FaultText(const SimFault& f) {
    std::string s = SimStepName(f.step);
    if (f.occurrence > 0) {
        s += ":" + std::to_string(f.occurrence);
    }
    switch (f.action) {
        case SimFault::Action::Silence:
            return s + "=silence";
        case SimFault::Action::Hangup:
            return s + "=hangup";
        case SimFault::Action::Reply:
            s += "=byte:" + Hex(f.bytes, 64);
            return f.split ? s + "+" + SplitText(f) : s;
        case SimFault::Action::Split:
            return s + "=" + SplitText(f);
        case SimFault::Action::Delay:
            return s + "=delay:" + std::to_string(f.ms);
    }
    return s;
}

}  // namespace

const char* const kSimFaultHelp =
    R"(Fault grammar (--fault, repeatable; the first fault that matches a message applies):
  STEP[:N]=ACTION
  STEP  select    target-select message " fMast" / " fSlav"; N = attempt within the run
        allflash  all-flash request 'A'; N = 1 for the first, 2 for the repeated one
        write     write command 'W' (no reply is due; a reply there is a stray byte)
        table     block table
        size      size message
        block     data block; N = block number, counted from 1
        end       end message; N = the N-th time it arrives (end:1=byte:11 then ACK)
        Without :N the fault applies to every occurrence.
  ACTION
        silence          send nothing
        hangup           close the terminal instead of replying (the client's next read fails)
        byte:HH[,HH...]  reply with these bytes, in hexadecimal (byte:15 is NAK, byte:11 XON)
        split:MS[:K[,K...]]
                         the right reply in parts, MS ms apart; each part but the last has
                         its K bytes (default two halves: "ALL F" then "LASH")
        byte:HH[,HH...]+split:MS[:K[,K...]]
                         these bytes, in parts as split does
        delay:MS         the right reply, MS ms late
  Examples: select=silence  select:1=byte:53  allflash:1=split:200  table=hangup
            size=byte:06  block:5=byte:15  end:1=byte:11  allflash:1=split:60:1,4
            allflash:1=byte:41,4C,58+split:60:2
)";

const char* SimStepName(SimStep step) {
    switch (step) {
        case SimStep::Select:
            return "select";
        case SimStep::AllFlash:
            return "allflash";
        case SimStep::Write:
            return "write";
        case SimStep::Table:
            return "table";
        case SimStep::Size:
            return "size";
        case SimStep::Block:
            return "block";
        case SimStep::End:
            return "end";
    }
    return "?";
}

bool ParseSimFault(const std::string& text, SimFault& fault, std::string& error) {
    const auto eq = text.find('=');
    if (eq == std::string::npos) {
        error = "'" + text + "': expected STEP[:N]=ACTION";
        return false;
    }
    const std::string where = text.substr(0, eq);
    const std::string action = text.substr(eq + 1);
    SimFault f;

    const auto colon = where.find(':');
    const std::string step = where.substr(0, colon);
    static const SimStep kSteps[] = {SimStep::Select, SimStep::AllFlash, SimStep::Write,
                                     SimStep::Table,  SimStep::Size,     SimStep::Block,
                                     SimStep::End};
    bool known = false;
    for (SimStep s : kSteps) {
        if (step == SimStepName(s)) {
            f.step = s;
            known = true;
        }
    }
    if (!known) {
        error = "'" + text + "': unknown step '" + step +
                "' (select, allflash, write, table, size, block, end)";
        return false;
    }
    if (colon != std::string::npos) {
        unsigned long n = 0;
        if (!ParseUnsigned(where.substr(colon + 1), 10, 0x7FFFFFFF, n) || n == 0) {
            error = "'" + text + "': N must be a whole number from 1";
            return false;
        }
        f.occurrence = static_cast<int>(n);
    }

    const auto acolon = action.find(':');
    const std::string verb = action.substr(0, acolon);
    const std::string arg = acolon == std::string::npos ? "" : action.substr(acolon + 1);
    const bool hasArg = acolon != std::string::npos;
    if (verb == "silence" && !hasArg) {
        f.action = SimFault::Action::Silence;
    } else if (verb == "hangup" && !hasArg) {
        f.action = SimFault::Action::Hangup;
    } else if (verb == "byte" && hasArg) {
        f.action = SimFault::Action::Reply;
        std::string list = arg;
        const auto plus = list.find("+split:");
        if (plus != std::string::npos) {
            if (!ParseSplit(list.substr(plus + 7), f)) {
                error = "'" + text + "': expected byte:HH[,HH...]+split:MS[:K[,K...]]";
                return false;
            }
            list.resize(plus);
        }
        std::size_t pos = 0;
        for (;;) {
            const auto comma = list.find(',', pos);
            std::string one = list.substr(pos, comma == std::string::npos ? comma : comma - pos);
            if (one.size() > 2 && one[0] == '0' && (one[1] == 'x' || one[1] == 'X')) {
                one = one.substr(2);
            }
            unsigned long v = 0;
            if (one.size() > 2 || !ParseUnsigned(one, 16, 0xFF, v)) {
                error = "'" + text + "': byte takes hexadecimal bytes, e.g. byte:15 or byte:41,4C";
                return false;
            }
            f.bytes.push_back(static_cast<std::uint8_t>(v));
            if (comma == std::string::npos) {
                break;
            }
            pos = comma + 1;
        }
    } else if (verb == "split" && hasArg) {
        f.action = SimFault::Action::Split;
        if (!ParseSplit(arg, f)) {
            error = "'" + text + "': expected split:MS[:K[,K...]] (milliseconds, K bytes from 1)";
            return false;
        }
    } else if (verb == "delay" && hasArg) {
        f.action = SimFault::Action::Delay;
        unsigned long ms = 0;
        if (!ParseUnsigned(arg, 10, 600000, ms)) {
            error = "'" + text + "': expected delay:MS (milliseconds)";
            return false;
        }
        f.ms = static_cast<unsigned>(ms);
    } else {
        error = "'" + text +
                "': unknown action (silence, hangup, byte:HH[,HH...][+split:...], "
                "split:MS[:K[,K...]], delay:MS)";
        return false;
    }
    fault = f;
    return true;
}

CBootloaderSim::CBootloaderSim(SimOptions options) : m_opt(std::move(options)) {
    if (m_opt.baud > 0) {
        m_byteTime = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(10.0 / m_opt.baud));
    }
    if (pipe2(m_wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        ThrowErrno("pipe");
    }
}

CBootloaderSim::~CBootloaderSim() {
    Shutdown();
    close(m_wake[0]);
    close(m_wake[1]);
}

void CBootloaderSim::Shutdown() {
    CloseTerminal();
    if (!m_opt.linkPath.empty() && m_linkLock >= 0) {
        char target[4096];
        const ssize_t n = readlink(m_opt.linkPath.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == SlavePath()) {
            unlink(m_opt.linkPath.c_str());
        }
        // Removed while still locked: the next simulator locks a file of its own.
        unlink((m_opt.linkPath + ".lock").c_str());
        close(m_linkLock);
        m_linkLock = -1;
    }
}

void CBootloaderSim::Open() {
    OpenTerminal();
}

// A link name belongs to one running simulator: it holds a lock beside the link for as long
// as it runs. A link left by one that ended (even killed) is taken over; one that is in use
// is refused.
void CBootloaderSim::LockLink() {
    const std::string lockPath = m_opt.linkPath + ".lock";
    for (int attempt = 0; m_linkLock < 0; ++attempt) {
        const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            ThrowErrno("lock " + lockPath);
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int e = errno == EWOULDBLOCK ? EBUSY : errno;
            close(fd);
            errno = e;
            ThrowErrno(m_opt.linkPath +
                       " is in use by another running simulator (choose another "
                       "--name or --link)");
        }
        // Locked, but perhaps a file that its owner removed as it ended: then again.
        struct stat held {
        }, named{};
        if (fstat(fd, &held) == 0 && stat(lockPath.c_str(), &named) == 0 &&
            held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
            m_linkLock = fd;
        } else {
            close(fd);
            if (attempt > 100) {
                errno = EBUSY;
                ThrowErrno("lock " + lockPath);
            }
        }
    }
}

void CBootloaderSim::OpenTerminal() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        ThrowErrno("posix_openpt");
    }
    char name[256];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name)) {
        const int e = errno;
        close(master);
        errno = e;
        ThrowErrno("pseudo-terminal");
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    // Our own descriptor of the terminal keeps it alive while clients close and reopen it
    // (otherwise the master reads as hung up between runs).
    const int keep = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (keep < 0) {
        const int e = errno;
        close(master);
        errno = e;
        ThrowErrno(std::string("open ") + name);
    }
    termios t{};
    if (tcgetattr(keep, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        tcsetattr(keep, TCSANOW, &t);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_master = master;
        m_slaveKeep = keep;
        m_slavePath = name;
    }
    if (!m_opt.linkPath.empty()) {
        if (m_linkLock < 0) {
            try {
                LockLink();
            } catch (...) {
                CloseTerminal();
                throw;
            }
        }
        struct stat st {};
        if (lstat(m_opt.linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            errno = EEXIST;
            ThrowErrno(m_opt.linkPath + " exists and is not a link");
        }
        // Re-pointing goes through a new link renamed over the old one: a client never sees
        // the name missing.
        const std::string tmp = m_opt.linkPath + ".new." + std::to_string(getpid());
        unlink(tmp.c_str());
        if (symlink(name, tmp.c_str()) != 0 || rename(tmp.c_str(), m_opt.linkPath.c_str()) != 0) {
            const int e = errno;
            unlink(tmp.c_str());
            errno = e;
            ThrowErrno("link " + m_opt.linkPath);
        }
    }
}

void CBootloaderSim::CloseTerminal() {
    if (m_master >= 0) {
        close(m_master);
        m_master = -1;
    }
    if (m_slaveKeep >= 0) {
        close(m_slaveKeep);
        m_slaveKeep = -1;
    }
}

std::string CBootloaderSim::SlavePath() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_slavePath;
}

void CBootloaderSim::Stop() {
    const char c = 's';
    (void)!write(m_wake[1], &c, 1);
}

std::vector<SimRun> CBootloaderSim::Runs() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_runs;
}

std::vector<std::uint8_t> CBootloaderSim::Received() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

void CBootloaderSim::Report(ReportKind kind, const std::string& text) {
    if (onReport) {
        onReport(kind, text);
    }
}

void CBootloaderSim::StartRun() {
    const std::string line = LineText(m_slaveKeep);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_runs.emplace_back();
        m_runs.back().line = line;
    }
    m_runActive = true;
    m_state = State::Idle;
    std::fill(std::begin(m_count), std::end(m_count), 0);
    m_versionSent = false;
    m_plainAllFlash = false;
    m_branch.reset();
    m_blocksExpected = 0;
    m_sum = 0;
}

void CBootloaderSim::EndRun(const char* how) {
    if (!m_runActive) {
        return;
    }
    std::size_t n;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        n = m_runs.size();
    }
    Report(ReportKind::Info, "run " + std::to_string(n) + " " + how);
    if (!m_opt.keepRuns) {
        std::lock_guard<std::mutex> lock(m_mutex);
        SimRun& run = m_runs.back();
        std::vector<SimMessage>().swap(run.messages);
        std::vector<std::uint8_t>().swap(run.image);
        std::vector<std::uint8_t>().swap(m_received);
    }
    m_runActive = false;
    m_state = State::Idle;
    if (m_opt.once) {
        m_runEnded = true;
    }
}

void CBootloaderSim::ClientError(const std::string& text) {
    if (!m_runActive) {
        StartRun();
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_runs.back().errors.push_back(text);
    }
    Report(ReportKind::Error, "client error: " + text);
}

const char* CBootloaderSim::Awaiting() const {
    switch (m_state) {
        case State::Idle:
            return "a target select (\" fMast\" or \" fSlav\")";
        case State::AwaitAllFlash:
            return "the all-flash request 'A'";
        case State::AwaitWriteOrA:
            return "'W' or a second 'A' after the version byte";
        case State::AwaitWrite:
            return "the write command 'W'";
        case State::AwaitTable:
            return "the block table";
        case State::AwaitSize:
            return "the size message";
        case State::Data:
            return "a data block or the end message";
    }
    return "?";
}

const SimFault* CBootloaderSim::FindFault(SimStep step, int occurrence) const {
    for (const SimFault& f : m_opt.faults) {
        if (f.step == step && (f.occurrence == 0 || f.occurrence == occurrence)) {
            return &f;
        }
    }
    return nullptr;
}

std::size_t CBootloaderSim::Needed() const {
    const std::uint8_t first = m_in.front();
    if (first == ' ') {
        return 6;  // a target select is welcome at any point: clients start over with it
    }
    switch (m_state) {
        case State::Idle:
            return 0;
        case State::AwaitAllFlash:
            return first == 'A' ? 1 : 0;
        case State::AwaitWriteOrA:
            return first == 'W' || first == 'A' ? 1 : first == kBlockTable[0] ? 33 : 0;
        case State::AwaitWrite:
            return first == 'W' ? 1 : 0;
        case State::AwaitTable:
            return first == 'W' || first == 'A' ? 1 : 33;
        case State::AwaitSize:
            return 8;
        case State::Data:
            if (first != kXon) {
                return 0;
            }
            return static_cast<std::uint32_t>(m_count[static_cast<int>(SimStep::Block)]) <
                           m_blocksExpected
                       ? 1 + kBlockSize
                       : 2;
    }
    return 0;
}

void CBootloaderSim::Unexpected(const std::vector<std::uint8_t>& bytes, const char* what) {
    ClientError("unexpected " + Hex(bytes) + " while waiting for " + what +
                "; ignoring input until the line is quiet");
    m_discard = true;
    m_in.clear();
    m_inDone.clear();
    EndRun("failed");
}

void CBootloaderSim::ReadInput(Clock::time_point now) {
    std::uint8_t buf[4096];
    for (;;) {
        const ssize_t n = read(m_master, buf, sizeof buf);
        if (n <= 0) {
            return;  // nothing more now (EAGAIN), or no client has the terminal open (EIO)
        }
        for (ssize_t i = 0; i < n; ++i) {
            Clock::time_point done = now;
            if (m_opt.baud > 0) {
                done = std::max(now, m_rxFree) + m_byteTime;
                m_rxFree = done;
            }
            m_in.push_back(buf[i]);
            m_inDone.push_back(done);
            m_lastRx = done;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received.insert(m_received.end(), buf, buf + n);
    }
}

void CBootloaderSim::Parse(Clock::time_point now) {
    const auto gap = std::chrono::milliseconds(m_opt.idleGapMs);
    if (m_discard) {
        m_in.clear();
        m_inDone.clear();
        if (now >= m_lastRx + gap) {
            m_discard = false;
        }
        return;
    }
    while (!m_in.empty() && !m_runEnded) {
        const std::size_t need = Needed();
        if (need == 0) {
            if (m_state == State::Data) {
                ClientError("data block " +
                            std::to_string(m_count[static_cast<int>(SimStep::Block)] + 1) +
                            " starts with " + Hex1(m_in.front()) + ", not the marker 0x11");
            }
            Unexpected(m_in, Awaiting());
            return;
        }
        if (m_in.size() < need) {
            if (now < m_lastRx + gap) {
                return;  // the rest may still come
            }
            if (m_state == State::Data && m_in.size() == 2 && m_in[0] == kXon) {
                // Fewer blocks than announced: this can only be the end message.
                std::vector<std::uint8_t> msg(m_in.begin(), m_in.end());
                const auto doneAt = m_inDone.back();
                m_in.clear();
                m_inDone.clear();
                HandleEnd(msg, doneAt);
                return;
            }
            ClientError("incomplete message: " + std::to_string(m_in.size()) + " of " +
                        std::to_string(need) + " bytes (" + Hex(m_in) + ") while waiting for " +
                        Awaiting());
            m_in.clear();
            m_inDone.clear();
            EndRun("failed");
            return;
        }
        std::vector<std::uint8_t> msg(m_in.begin(), m_in.begin() + static_cast<long>(need));
        const auto doneAt = m_inDone[need - 1];
        m_in.erase(m_in.begin(), m_in.begin() + static_cast<long>(need));
        m_inDone.erase(m_inDone.begin(), m_inDone.begin() + static_cast<long>(need));
        Handle(msg, doneAt);
    }
}

CBootloaderSim::Outcome CBootloaderSim::Answer(SimStep step, int occurrence,
                                               const std::vector<std::uint8_t>& msg,
                                               std::vector<std::uint8_t> reply,
                                               Clock::time_point doneAt) {
    Outcome out;
    out.fault = FindFault(step, occurrence);
    Clock::time_point start = doneAt;
    std::vector<std::size_t> cuts;  // where each later part of the reply begins
    unsigned pauseMs = 0;
    if (out.fault != nullptr) {
        const SimFault& f = *out.fault;
        Report(ReportKind::Info, std::string("injecting ") + FaultText(f) + " at " +
                                     SimStepName(step) + " " + std::to_string(occurrence));
        switch (f.action) {
            case SimFault::Action::Silence:
                reply.clear();
                break;
            case SimFault::Action::Reply:
                reply = f.bytes;
                break;
            case SimFault::Action::Hangup:
                reply.clear();
                out.hangup = true;
                break;
            case SimFault::Action::Split:
            case SimFault::Action::Delay:
                break;
        }
        if (f.action == SimFault::Action::Delay) {
            start += std::chrono::milliseconds(f.ms);
        } else if (f.split || f.action == SimFault::Action::Split) {
            pauseMs = f.ms;
            std::size_t at = 0;
            for (const unsigned k : f.splitAt) {
                cuts.push_back(at += k);
            }
            if (f.splitAt.empty()) {
                cuts.push_back((reply.size() + 1) / 2);
            }
        }
    }
    out.sent = reply;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_runs.empty()) {
            m_runs.emplace_back();
        }
        m_runs.back().messages.push_back(
            SimMessage{step, occurrence, msg, reply, out.fault ? FaultText(*out.fault) : ""});
    }

    // A reply leaves only once the message asking for it has fully arrived, and after
    // whatever is still on its way out.
    start = std::max(start, m_txFree);
    if (out.hangup) {
        m_tx.push_back(TxItem{start, {}, true});
        m_txFree = start;
        return out;
    }
    if (reply.empty()) {
        return out;
    }
    const auto pause = std::chrono::milliseconds(pauseMs);
    Clock::time_point t = start;
    std::size_t part = 0;  // start of the part being queued (without wire emulation)
    for (std::size_t k = 0; k <= reply.size(); ++k) {
        const bool cut =
            std::find(cuts.begin(), cuts.end(), k) != cuts.end() && k > 0 && k < reply.size();
        if (m_opt.baud == 0 && (cut || k == reply.size())) {
            m_tx.push_back(TxItem{
                t,
                {reply.begin() + static_cast<long>(part), reply.begin() + static_cast<long>(k)},
                false});
            part = k;
        }
        if (cut) {
            t += pause;
        }
        if (m_opt.baud > 0 && k < reply.size()) {
            t += m_byteTime;  // the byte is written when its stop bit would have arrived
            m_tx.push_back(TxItem{t, {reply[k]}, false});
        }
    }
    m_txFree = m_opt.baud == 0 ? m_tx.back().at : t;
    return out;
}

void CBootloaderSim::AfterFault(const Outcome& out, const std::vector<std::uint8_t>& normal,
                                bool survivable) {
    if (out.hangup) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_runs.back().endedByFault = true;
        }
        EndRun("ended by a hang-up");
        return;
    }
    if (out.fault == nullptr || out.sent == normal || survivable) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_runs.back().endedByFault = true;
    }
    // A client that follows the protocol gives up here. Without --once we carry on as if the
    // right reply had gone out: a client that goes on anyway is served, and one that starts
    // over begins a new run with its target select.
    if (m_opt.once) {
        EndRun("ended by the injected fault");
    }
}

void CBootloaderSim::Handle(const std::vector<std::uint8_t>& msg, Clock::time_point doneAt) {
    if (msg[0] == ' ') {
        HandleSelect(msg, doneAt);
        return;
    }
    switch (m_state) {
        case State::Idle:
            break;  // Needed() lets only a target select through here
        case State::AwaitAllFlash: {
            const int occ = ++m_count[static_cast<int>(SimStep::AllFlash)];
            std::vector<std::uint8_t> normal =
                m_opt.chipVersion ? std::vector<std::uint8_t>{*m_opt.chipVersion} : kAllFlash;
            const Outcome out = Answer(SimStep::AllFlash, occ, msg, normal, doneAt);
            m_plainAllFlash = out.fault == nullptr && !m_opt.chipVersion;
            m_versionSent = out.fault == nullptr && m_opt.chipVersion.has_value();
            m_state = m_plainAllFlash ? State::AwaitTable : State::AwaitWriteOrA;
            // Any first reply other than "ALL FLASH" reads as a version byte to the client.
            AfterFault(out, normal, true);
            return;
        }
        case State::AwaitWriteOrA:
            if (msg[0] == 'W') {
                m_branch = 'W';
                const Outcome out = Answer(
                    SimStep::Write, ++m_count[static_cast<int>(SimStep::Write)], msg, {}, doneAt);
                m_state = State::AwaitTable;
                AfterFault(out, {}, true);
            } else if (msg[0] == 'A') {
                m_branch = 'A';
                const int occ = ++m_count[static_cast<int>(SimStep::AllFlash)];
                const Outcome out = Answer(SimStep::AllFlash, occ, msg, kAllFlash, doneAt);
                m_state = State::AwaitTable;
                AfterFault(out, kAllFlash, false);
            } else {
                ClientError("block table sent without 'W' or a second 'A' after the version byte");
                if (!m_runEnded) {
                    m_state = State::AwaitTable;
                    Handle(msg, doneAt);
                }
            }
            return;
        case State::AwaitWrite: {
            const Outcome out = Answer(SimStep::Write, ++m_count[static_cast<int>(SimStep::Write)],
                                       msg, {}, doneAt);
            m_state = State::AwaitTable;
            AfterFault(out, {}, true);
            return;
        }
        case State::AwaitTable: {
            if (msg.size() == 1) {
                ClientError(std::string("unexpected ") + Printable(msg[0]) + " while waiting for " +
                            Awaiting() +
                            (m_plainAllFlash ? " (\"ALL FLASH\" needs no 'W' or second 'A')" : ""));
                EndRun("failed");
                return;
            }
            const int occ = ++m_count[static_cast<int>(SimStep::Table)];
            std::string diff;
            for (std::size_t i = 0; i < msg.size(); ++i) {
                if (msg[i] != kBlockTable[i]) {
                    diff += (diff.empty() ? "" : ", ") + std::string("byte ") + std::to_string(i) +
                            " is " + Hex1(msg[i]) + " instead of " + Hex1(kBlockTable[i]);
                }
            }
            if (!diff.empty()) {
                ClientError("wrong block table (" + diff + "); refused with NAK");
            }
            const std::vector<std::uint8_t> normal{diff.empty() ? kAck : kNak};
            const Outcome out = Answer(SimStep::Table, occ, msg, normal, doneAt);
            if (!diff.empty()) {
                EndRun("failed");
                return;
            }
            m_state = State::AwaitSize;
            AfterFault(out, normal, false);
            return;
        }
        case State::AwaitSize: {
            const int occ = ++m_count[static_cast<int>(SimStep::Size)];
            const std::uint32_t size = (std::uint32_t{msg[4]} << 24) |
                                       (std::uint32_t{msg[5]} << 16) |
                                       (std::uint32_t{msg[6]} << 8) | msg[7];
            bool refused = false;
            if (msg[0] || msg[1] || msg[2] || msg[3]) {
                ClientError("size message " + Hex(msg) +
                            " does not start with four zero bytes; refused with NAK");
                refused = true;
            } else if (size == 0) {
                ClientError("size message announces an empty image; refused with NAK");
                refused = true;
            } else if (size % kBlockSize != 0) {
                ClientError("announced size " + std::to_string(size) +
                            " is not a whole number of 64-byte blocks");
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_runs.back().announcedSize = size;
            }
            const std::vector<std::uint8_t> normal{refused ? kNak : kXon};
            const Outcome out = Answer(SimStep::Size, occ, msg, normal, doneAt);
            if (refused) {
                EndRun("failed");
                return;
            }
            m_blocksExpected = static_cast<std::uint32_t>(size / kBlockSize);
            m_state = State::Data;
            AfterFault(out, normal, false);
            return;
        }
        case State::Data:
            if (msg.size() == 2) {
                HandleEnd(msg, doneAt);
                return;
            }
            HandleData(msg, doneAt);
            return;
    }
}

void CBootloaderSim::HandleSelect(const std::vector<std::uint8_t>& msg, Clock::time_point doneAt) {
    const bool retry = m_runActive && (m_state == State::Idle || m_state == State::AwaitAllFlash ||
                                       m_state == State::AwaitWrite);
    if (m_runActive && !retry) {
        std::string how = std::string("abandoned: the client started over while the simulator ") +
                          "waited for " + Awaiting();
        EndRun(how.c_str());
        if (m_runEnded) {
            return;
        }
    }
    if (!m_runActive) {
        StartRun();
    }
    const int occ = ++m_count[static_cast<int>(SimStep::Select)];
    static const std::vector<std::uint8_t> kMast = {' ', 'f', 'M', 'a', 's', 't'};
    static const std::vector<std::uint8_t> kSlav = {' ', 'f', 'S', 'l', 'a', 'v'};
    if (msg != kMast && msg != kSlav) {
        ClientError("malformed target select " + Hex(msg) +
                    ": expected \" fMast\" (20 66 4D 61 73 74) or \" fSlav\" (20 66 53 6C 61 76)");
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_runs.empty()) {
            m_runs.back().messages.push_back(SimMessage{SimStep::Select, occ, msg, {}, ""});
        }
        m_state = State::Idle;
        return;
    }
    const bool asksSlave = msg == kSlav;
    const std::vector<std::uint8_t> normal{static_cast<std::uint8_t>(m_opt.slave ? 'S' : 'M')};
    const Outcome out = Answer(SimStep::Select, occ, msg, normal, doneAt);
    if (asksSlave != m_opt.slave) {
        m_state = State::Idle;
        ClientError(std::string("the client selected ") + (asksSlave ? "Slave" : "Master") +
                    ", but this bootloader is the " + (m_opt.slave ? "Slave" : "Master") +
                    " target (answered " + (m_opt.slave ? "'S'" : "'M'") + ")");
        return;
    }
    m_state = m_opt.slave ? State::AwaitWrite : State::AwaitAllFlash;
    AfterFault(out, normal, true);
}

void CBootloaderSim::HandleData(const std::vector<std::uint8_t>& msg, Clock::time_point doneAt) {
    const int n = ++m_count[static_cast<int>(SimStep::Block)];
    for (std::size_t i = 1; i < msg.size(); ++i) {
        m_sum = static_cast<std::uint8_t>(m_sum + msg[i]);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto& image = m_runs.back().image;
        image.insert(image.end(), msg.begin() + 1, msg.end());
    }
    const std::vector<std::uint8_t> normal{kXon};
    const Outcome out = Answer(SimStep::Block, n, msg, normal, doneAt);
    if (out.fault != nullptr && out.sent == std::vector<std::uint8_t>{kAck}) {
        // The client takes ACK to any block as the end of a successful transfer.
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_runs.back().endedByFault = true;
        }
        EndRun("ended by the injected ACK to a data block");
        return;
    }
    AfterFault(out, normal, false);
}

void CBootloaderSim::HandleEnd(const std::vector<std::uint8_t>& msg, Clock::time_point doneAt) {
    const int occ = ++m_count[static_cast<int>(SimStep::End)];
    const std::uint32_t blocks =
        static_cast<std::uint32_t>(m_count[static_cast<int>(SimStep::Block)]);
    bool ok = true;
    if (blocks < m_blocksExpected) {
        ClientError("end message after " + std::to_string(blocks) + " of " +
                    std::to_string(m_blocksExpected) + " announced blocks: the image is short by " +
                    std::to_string((m_blocksExpected - blocks) * kBlockSize) + " bytes");
        ok = false;
    }
    const std::uint8_t expected = static_cast<std::uint8_t>(0xFF - m_sum);
    if (msg[1] != expected) {
        ClientError("end message checksum " + Hex1(msg[1]) + ", expected " + Hex1(expected) +
                    " (0xFF minus the 8-bit sum of the " + std::to_string(blocks * kBlockSize) +
                    " image bytes received)");
        ok = false;
    }
    if (ok) {
        ok = CheckVersionBranch();
    }
    const std::vector<std::uint8_t> normal{ok ? kAck : kNak};
    const Outcome out = Answer(SimStep::End, occ, msg, normal, doneAt);
    if (out.hangup) {
        AfterFault(out, normal, false);
        return;
    }
    if (out.sent == std::vector<std::uint8_t>{kXon}) {
        return;  // the client sends the end message again
    }
    if (ok && out.sent == std::vector<std::uint8_t>{kAck}) {
        std::vector<std::uint8_t> image;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_runs.back().complete = true;
            image = m_runs.back().image;
        }
        SaveImage(image);
        EndRun(("complete: " + std::to_string(image.size()) + " bytes received").c_str());
        return;
    }
    if (out.fault != nullptr) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_runs.back().endedByFault = true;
    }
    EndRun("failed");
}

bool CBootloaderSim::CheckVersionBranch() {
    if (!m_versionSent || m_opt.slave) {
        return true;
    }
    std::uint8_t imageVersion;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto& image = m_runs.back().image;
        if (image.size() <= kVersionOffset) {
            return true;  // no version in so short an image: nothing to hold the client to
        }
        imageVersion = image[kVersionOffset];
    }
    const std::uint8_t chip = *m_opt.chipVersion;
    const char expected = imageVersion == 0xFF || imageVersion <= chip ? 'W' : 'A';
    if (m_branch == expected) {
        return true;
    }
    ClientError(std::string("after the chip's version ") + Hex1(chip) + " the client sent '" +
                (m_branch ? *m_branch : '?') + "', but the image's version " + Hex1(imageVersion) +
                " calls for '" + expected + "'");
    return false;
}

void CBootloaderSim::SaveImage(const std::vector<std::uint8_t>& image) {
    if (m_opt.saveImage.empty()) {
        return;
    }
    // Written beside the target and renamed over it: the file is whole or not there.
    const std::string tmp = m_opt.saveImage + ".part." + std::to_string(getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()),
                  static_cast<std::streamsize>(image.size()));
        out.close();
        if (!out) {
            std::remove(tmp.c_str());
            Report(ReportKind::Error, "cannot write the image to " + m_opt.saveImage);
            return;
        }
    }
    if (std::rename(tmp.c_str(), m_opt.saveImage.c_str()) != 0) {
        Report(ReportKind::Error,
               "cannot write the image to " + m_opt.saveImage + ": " + std::strerror(errno));
        std::remove(tmp.c_str());
        return;
    }
    Report(ReportKind::Info, "image saved to " + m_opt.saveImage);
}

void CBootloaderSim::FlushDue(Clock::time_point now) {
    m_txBlocked = false;
    while (!m_tx.empty() && m_tx.front().at <= now) {
        TxItem& item = m_tx.front();
        if (item.hangup) {
            m_tx.clear();
            CloseTerminal();
            Report(ReportKind::Info, "hung up");
            if (!m_opt.once) {
                OpenTerminal();
                m_in.clear();
                m_inDone.clear();
                m_discard = false;
                if (onNewTerminal) {
                    onNewTerminal(SlavePath());
                }
            }
            return;
        }
        const ssize_t n = write(m_master, item.bytes.data(), item.bytes.size());
        if (n < 0 && errno == EAGAIN) {
            m_txBlocked = true;  // the client is not reading: try again shortly
            return;
        }
        if (n > 0 && static_cast<std::size_t>(n) < item.bytes.size()) {
            item.bytes.erase(item.bytes.begin(), item.bytes.begin() + n);
            return;
        }
        m_tx.erase(m_tx.begin());
    }
}

void CBootloaderSim::LetTheClientReadTheLastReply() {
    // Closing the terminal hangs it up, and a hang-up discards what the client has not read
    // yet: the final ACK would be lost. Wait (a while) until the client has taken it. What
    // was just written may still be on its way to the terminal's input queue, hence the
    // first pause.
    usleep(20000);
    for (int i = 0; i < 200 && m_slaveKeep >= 0; ++i) {
        int unread = 0;
        if (ioctl(m_slaveKeep, TIOCINQ, &unread) != 0 || unread == 0) {
            return;
        }
        usleep(10000);
    }
}

int CBootloaderSim::Serve() {
    if (m_master < 0 && !(m_opt.once && m_runEnded)) {
        OpenTerminal();
    }
    bool stopped = false;
#ifdef PR_SET_TIMERSLACK
    // Reply bytes leave on their deadline, not up to 50 us after it (the default slack).
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    for (;;) {
        if (m_opt.once && m_runEnded && m_tx.empty()) {
            break;
        }
        Clock::time_point now = Clock::now();
        // The next thing due: a reply byte, or the moment a partial message is judged.
        std::optional<Clock::time_point> due;
        if (!m_tx.empty()) {
            due = m_tx.front().at;
        }
        if (!m_in.empty() || m_discard) {
            const auto judge = m_lastRx + std::chrono::milliseconds(m_opt.idleGapMs);
            due = due ? std::min(*due, judge) : judge;
        }
        // Waking from a sleep costs from tens to hundreds of microseconds on a busy machine,
        // which would add up over thousands of blocks. A reply byte therefore wakes us a
        // little early, and the last stretch is spent awake.
        if (!m_tx.empty() && !m_txBlocked && m_tx.front().at - now < kSpinMargin) {
            while (Clock::now() < m_tx.front().at) {
                sched_yield();
            }
            FlushDue(Clock::now());
            continue;
        }
        if (!m_tx.empty() && due == m_tx.front().at) {
            *due -= kSpinMargin;
        }
        timespec ts{};
        timespec* timeout = nullptr;
        if (due) {
            auto left = std::max(Clock::duration::zero(), *due - now);
            if (m_txBlocked) {
                left = std::max<Clock::duration>(left, std::chrono::milliseconds(1));
            }
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            ts.tv_sec = static_cast<time_t>(ns / 1000000000);
            ts.tv_nsec = static_cast<long>(ns % 1000000000);
            timeout = &ts;
        }
        pollfd fds[2] = {{m_wake[0], POLLIN, 0}, {m_master, POLLIN, 0}};
        const int rc = ppoll(fds, m_master >= 0 ? 2 : 1, timeout, nullptr);
        if (rc < 0 && errno != EINTR) {
            ThrowErrno("ppoll");
        }
        if (rc > 0 && (fds[0].revents & POLLIN) != 0) {
            stopped = true;
            break;
        }
        now = Clock::now();
        if (m_master >= 0 && rc > 0 && (fds[1].revents & POLLIN) != 0) {
            ReadInput(now);
        }
        Parse(now);
        FlushDue(Clock::now());
        if (m_master >= 0 && rc > 0 && (fds[1].revents & (POLLHUP | POLLERR)) != 0 &&
            (fds[1].revents & POLLIN) == 0) {
            // Nobody has the terminal open (cannot happen while we keep our own end); do not
            // spin on it.
            usleep(10000);
        }
    }
    if (m_runActive && m_opt.once) {
        EndRun("stopped before it ended");
    }
    if (!stopped) {
        LetTheClientReadTheLastReply();
    }
    Shutdown();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_opt.once) {
        return !m_runs.empty() && m_runs.back().Correct() ? 0 : 1;
    }
    for (const SimRun& run : m_runs) {
        if (!run.errors.empty()) {
            return 1;
        }
    }
    return 0;
}
