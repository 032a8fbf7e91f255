// The line the simulated bootloader answers on: a pseudo-terminal (Linux), a COM port
// (Windows) or a network client (both). The simulator sees bytes and time only; each channel
// keeps its platform's calls to itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class CSimChannel {
public:
    using Clock = std::chrono::steady_clock;
    enum class Event { Input, Timeout, Woken };

    CSimChannel();  // throws std::system_error
    virtual ~CSimChannel();
    CSimChannel(const CSimChannel&) = delete;
    CSimChannel& operator=(const CSimChannel&) = delete;

    // Makes the line ready for a client. Throws std::system_error.
    virtual void Open() = 0;
    // What a client opens: the terminal's path, the COM port, the URL. Safe from any thread;
    // a pseudo-terminal's changes after a hang-up.
    virtual std::string Name() const = 0;
    // Waits until input may have arrived, until deadline (none: no limit) or until Wake().
    virtual Event Wait(std::optional<Clock::time_point> deadline) = 0;
    // What has arrived, at once (0: nothing now).
    virtual std::size_t Read(std::uint8_t* buffer, std::size_t size) = 0;
    // Hands over what the line takes now (0: it is full, try again shortly).
    virtual std::size_t Write(const std::uint8_t* bytes, std::size_t size) = 0;
    // Drops the client, so that its next read fails; with reopen the line is made ready for
    // the next client at once.
    virtual void HangUp(bool reopen) = 0;
    // Waits (a while) until the client has taken what was written: closing may discard it.
    virtual void LetTheClientRead() {}
    virtual void Close() = 0;
    // The line as the client set it: "9600 8N1", with " xon/xoff" and " rts/cts" added when
    // those are on; empty where the channel cannot tell.
    virtual std::string Line() const { return ""; }

    // Serving unit after unit: a client has sent something, so its closing the line from now
    // on ends the unit (ClientLeft). Then the line is unplugged, and plugged in again (Open)
    // as the next unit. Channels that cannot tell a client leaving do nothing.
    virtual void WatchClient() {}
    virtual bool ClientLeft() { return false; }
    virtual void Unplug() {}

    // Ends a Wait() early. Safe from another thread and from a signal handler.
    void Wake();

    // What the channel has to say (a client came or went); called on the serving thread.
    std::function<void(const std::string&)> onNotice;

protected:
    // Once woken, a channel stays woken: every later wait ends at once.
#ifdef _WIN32
    // Sleeps ms, less when woken; true when woken.
    bool Sleep(unsigned ms);
#else
    // Polls fd (-1: none) for events, with the wake pipe, until deadline. revents: fd's.
    Event Poll(int fd, short events, std::optional<Clock::time_point> deadline,
               short* revents = nullptr);
#endif

private:
#ifdef _WIN32
    void* m_wakeEvent = nullptr;
#else
    int m_wake[2] = {-1, -1};
#endif
};

// "9600 8N1" [" xon/xoff"] [" rts/cts"]: how channels describe a line.
std::string SimLineText(std::uint32_t baud, unsigned dataBits, char parity, unsigned stopBits,
                        bool xonxoff, bool rtscts);

#ifndef _WIN32
// A pseudo-terminal, with an optional link (in the virtual ports folder, say) that a hang-up
// re-points to the new terminal and Close removes. The link is owned while the simulator
// runs: a second simulator refuses it.
std::unique_ptr<CSimChannel> MakePtyChannel(const std::string& linkPath);
#else
// A COM port served by name, such as one end of a virtual null-modem pair. COM1 to COM4, the
// machine's own ports, are refused.
std::unique_ptr<CSimChannel> MakeComChannel(const std::string& port);
#endif
