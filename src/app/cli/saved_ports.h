// The network ports the desktop application keeps (its "NetworkPorts" setting), read without
// Qt so that quillon-cli ports lists what the window lists.
#pragma once

#include <string>
#include <vector>

// The saved URLs in the order the window lists them; malformed ones are left out, as the
// window leaves them out. Empty when nothing was saved or the settings cannot be read.
std::vector<std::string> SavedNetworkPorts();

// A string list as Qt writes it into an INI file: items separated by commas, quoted where
// they hold one, backslash escapes, a leading "@" doubled; "@Invalid()" is the empty list.
std::vector<std::string> ParseIniStringList(const std::string& value);
