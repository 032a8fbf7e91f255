#include "saved_ports.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "serial/net_port.h"

#ifdef _WIN32
#include <windows.h>

#include <cwchar>
#endif

namespace {

// Where the window's settings live: the company key, then the program's own name.
constexpr const char* kCompany = "Local AppWizard-Generated Applications";
constexpr const char* kApplication = "quillon";

std::string Unescape(char c) {
    switch (c) {
        case 'n':
            return "\n";
        case 't':
            return "\t";
        case 'r':
            return "\r";
        case '0':
            return std::string(1, '\0');
        default:
            return std::string(1, c);
    }
}

// "@@x" stands for "@x"; any other "@..." is a typed value, no string.
bool UnescapeItem(std::string& item) {
    if (item.rfind("@@", 0) == 0) {
        item.erase(0, 1);
        return true;
    }
    return item.empty() || item[0] != '@';
}

#ifdef _WIN32
std::string Utf8(const wchar_t* text, int length) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(n, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr, nullptr);
    return out;
}

// The registry keeps a string list as REG_MULTI_SZ, one string each.
std::vector<std::string> ReadSaved() {
    const std::wstring key = L"Software\\Local AppWizard-Generated Applications\\quillon\\Config";
    DWORD bytes = 0;
    const DWORD flags = RRF_RT_REG_MULTI_SZ | RRF_RT_REG_SZ;
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"NetworkPorts", flags, nullptr, nullptr,
                     &bytes) != ERROR_SUCCESS) {
        return {};
    }
    std::wstring data(bytes / sizeof(wchar_t) + 2, L'\0');
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"NetworkPorts", flags, nullptr, data.data(),
                     &bytes) != ERROR_SUCCESS) {
        return {};
    }
    std::vector<std::string> items;
    for (const wchar_t* at = data.c_str(); *at != L'\0'; at += wcslen(at) + 1) {
        std::string item = Utf8(at, static_cast<int>(wcslen(at)));
        if (UnescapeItem(item)) {
            items.push_back(item);
        }
    }
    return items;
}
#else
// $XDG_CONFIG_HOME (else ~/.config)/COMPANY/quillon.conf, an INI file; only a regular file is
// read (a FIFO there would hold the command).
std::vector<std::string> ReadSaved() {
    namespace fs = std::filesystem;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    fs::path dir;
    if (config != nullptr && *config == '/') {
        dir = config;
    } else if (home != nullptr && *home != '\0') {
        dir = fs::path(home) / ".config";
    } else {
        return {};
    }
    const fs::path file = dir / kCompany / (std::string(kApplication) + ".conf");
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) {
        return {};
    }
    std::ifstream in(file);
    std::string line;
    bool inConfig = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty() && line[0] == '[') {
            inConfig = line == "[Config]";
        } else if (inConfig && line.rfind("NetworkPorts=", 0) == 0) {
            return ParseIniStringList(line.substr(13));
        }
    }
    return {};
}
#endif

}  // namespace

std::vector<std::string> ParseIniStringList(const std::string& value) {
    std::vector<std::string> items;
    std::string item;
    bool quoted = false;  // inside "..."
    bool any = false;     // the item has text (blanks outside quotes do not count)
    std::string blanks;   // blanks outside quotes, kept only when more text follows
    const auto finish = [&] {
        if (UnescapeItem(item)) {
            items.push_back(item);
        }
        item.clear();
        blanks.clear();
        any = false;
    };
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\\' && i + 1 < value.size()) {
            item += blanks + Unescape(value[++i]);
            blanks.clear();
            any = true;
        } else if (c == '"') {
            quoted = !quoted;
            item += blanks;
            blanks.clear();
            any = true;
        } else if (quoted) {
            item += c;
        } else if (c == ',') {
            finish();
        } else if (c == ' ' || c == '\t') {
            if (any) {
                blanks += c;
            }
        } else {
            item += blanks + c;
            blanks.clear();
            any = true;
        }
    }
    if (any || !items.empty()) {
        finish();
    }
    if (items.size() == 1 && items[0].empty()) {
        items.clear();
    }
    return items;
}

std::vector<std::string> SavedNetworkPorts() {
    std::vector<std::string> urls;
    for (const std::string& url : ReadSaved()) {
        NetPortAddress address;
        std::string error;
        if (ParseNetworkPortName(url, address, error) &&
            std::find(urls.begin(), urls.end(), url) == urls.end()) {
            urls.push_back(url);
        }
    }
    return urls;
}
