// The fault grammar of --fault, and the canonical text of a fault for the simulator's reports.
#include "sim_fault.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

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

}  // namespace

std::string SimHex(const std::vector<std::uint8_t>& bytes, std::size_t max) {
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

std::string SimFaultText(const SimFault& f) {
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
            s += "=byte:";
            for (std::size_t i = 0; i < f.bytes.size(); ++i) {
                char b[4];
                std::snprintf(b, sizeof b, i == 0 ? "%02X" : ",%02X", f.bytes[i]);
                s += b;
            }
            return f.split ? s + "+" + SplitText(f) : s;
        case SimFault::Action::Split:
            return s + "=" + SplitText(f);
        case SimFault::Action::Delay:
            return s + "=delay:" + std::to_string(f.ms);
    }
    return s;
}

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
        hangup           close the line instead of replying: the terminal or the network
                         connection (the client's next read fails); a COM port is closed
                         and opened again
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
