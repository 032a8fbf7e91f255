// One fuzz input: what a device server sends on an RFC 2217 connection, decoded whole and again
// in pieces whose sizes come from the input's own bytes (a reply may arrive split anywhere).
// Aborts when an invariant of the decoder does not hold.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "serial/telnet_decoder.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

struct Decoded {
    CTelnetDecoder telnet;
    std::vector<std::uint8_t> data;
};

// Whole, or in pieces of 1 to 16 bytes, as each piece's first byte says.
void Decode(Decoded& d, const std::uint8_t* bytes, std::size_t size, bool split) {
    std::size_t at = 0;
    while (at < size) {
        const std::size_t n = split ? std::min<std::size_t>(size - at, 1 + bytes[at] % 16) : size;
        const std::size_t before = d.data.size();
        d.telnet.Feed(bytes + at, n, d.data);
        if (d.data.size() - before > n) {
            Fail("more data bytes than the server sent");
        }
        at += n;
    }
}

bool SameState(const CTelnetDecoder& a, const CTelnetDecoder& b) {
    for (int option = 0; option < 256; ++option) {
        const auto o = static_cast<std::uint8_t>(option);
        if (a.Us(o) != b.Us(o) || a.Him(o) != b.Him(o)) {
            return false;
        }
    }
    for (std::uint8_t command = 0; command < 16; ++command) {
        const auto* x = a.Answer(command);
        const auto* y = b.Answer(command);
        if ((x == nullptr) != (y == nullptr) || (x != nullptr && *x != *y)) {
            return false;
        }
        if (x != nullptr && x->size() > telnet::kMaxSubnegotiation) {
            Fail("an answer longer than a subnegotiation is kept");
        }
    }
    return a.PurgesAnswered() == b.PurgesAnswered() && a.Negotiations() == b.Negotiations() &&
           a.Discarding() == b.Discarding() && a.Outgoing() == b.Outgoing();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Decoded whole, pieces, discarding;
    whole.telnet.Start();
    pieces.telnet.Start();
    discarding.telnet.Start();
    discarding.telnet.DiscardUntilPurgeAnswer(true);
    Decode(whole, data, size, false);
    Decode(pieces, data, size, true);
    Decode(discarding, data, size, true);

    if (whole.data != pieces.data || !SameState(whole.telnet, pieces.telnet)) {
        Fail("decoding in pieces differs from decoding whole");
    }
    // An input purge drops the data before the server's answer and nothing after it.
    const std::size_t kept = discarding.data.size();
    if (kept > whole.data.size() ||
        !std::equal(discarding.data.begin(), discarding.data.end(), whole.data.end() - kept) ||
        (discarding.telnet.PurgesAnswered() == 0 && kept != 0)) {
        Fail("a purge kept data from before its answer");
    }
    // The replies stay bounded, whatever the server keeps sending: the offer, then at most
    // one reply per negotiation (a signature being the longest).
    if (whole.telnet.Outgoing().size() > 15 + 13 * telnet::kMaxNegotiations) {
        Fail("the replies grow without bound");
    }

    // What the line sends as data reaches the other side as it was, with no replies.
    Decoded echo;
    echo.telnet.Start();
    echo.telnet.Outgoing().clear();
    CTelnetDecoder sender;
    sender.QueueData(data, size);
    Decode(echo, sender.Outgoing().data(), sender.Outgoing().size(), true);
    if (echo.data != std::vector<std::uint8_t>(data, data + size) ||
        !echo.telnet.Outgoing().empty() || echo.telnet.Negotiations() != 0) {
        Fail("escaped data does not come back as it was");
    }
    return 0;
}
