// Link timing for tests that check counts, not figures.
#pragma once

#include "protocol/boot_link.h"

// Short polls; budgets still long enough that a reply from the simulator thread lands within
// them on a loaded machine. The pause before the block table stays: an output purge on a pty
// would otherwise discard the 'W' still on its way.
inline LinkTiming FastTiming() {
    LinkTiming t;
    t.pollMs = 5;
    t.selectTimeoutMs = 200;
    t.replyTimeoutMs = 600;
    t.blockTablePauseMs = 20;
    return t;
}
