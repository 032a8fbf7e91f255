// quillon-cli ports --watch (Linux): follows the port list as the window does.
#pragma once

// Prints one line per port that arrives ("+ TEXT<tab>NAME") or leaves ("- TEXT<tab>NAME"),
// until SIGINT, SIGTERM or SIGHUP; then returns 0. The ports present at the start are not
// printed (`ports` lists them). Returns 1 at once when nothing can be followed here.
int WatchPorts();
