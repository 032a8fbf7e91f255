// The one way the core reaches the user: message boxes, the "Flash!" button and the
// progress window. The GUI implements it with Qt, the command line prints, tests record.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// The captions of the boxes, and the "Flash!" button's two texts.
inline constexpr const char* kCaptionOk = "OK";
inline constexpr const char* kCaptionWarning = "Warning";
inline constexpr const char* kCaptionError = "Error";
inline constexpr const char* kIdleText = "Flash!";
inline constexpr const char* kBusyText = "Waiting...";

enum class MsgIcon {
    None,         // text alone with an OK button (conversion messages)
    Information,  // success boxes, caption "OK"
    Warning,      // exclamation icon, captions "Warning" and "Error"
};

struct TransferProgress {
    std::uint32_t sent = 0;   // image bytes sent, including the block just written
    std::uint32_t total = 0;  // image length
    int percent = 0;
    std::string text;                               // "N %", as the progress window shows it
    std::chrono::steady_clock::duration elapsed{};  // since the first block went out
};

// Receives the messages of a conversion. Every call returns only once the message has been
// acknowledged (a modal box in the GUI).
class IMessageSink {
public:
    virtual ~IMessageSink() = default;
    virtual void ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon) = 0;
};

// Everything one flash run shows. Calls may arrive on a worker thread; an implementation
// marshals them to its own UI thread and blocks for message boxes.
class JobUi : public IMessageSink {
public:
    // busy: kBusyText and disabled; idle: kIdleText and enabled.
    virtual void SetBusy(bool busy) = 0;
    // A run's final message with what else is known about its ending (empty when nothing):
    // the GUI shows the detail as the box's second paragraph, the command line beneath it.
    virtual void ShowDetailedMessage(const std::string& text, const std::string& caption,
                                     MsgIcon icon, const std::string& detail) {
        (void)detail;
        ShowMessage(text, caption, icon);
    }
    // What the run is doing until the first data block ("Opening /dev/ttyUSB0", "Announcing
    // the target, try 2 of 5"): a status line, updated as each step begins.
    virtual void HandshakeStep(const std::string& text) { (void)text; }
    // The progress window opens with "0 %" before the first block...
    virtual void TransferStarted(std::uint32_t total) { (void)total; }
    // ...is updated for every data block...
    virtual void TransferProgressed(const TransferProgress& progress) { (void)progress; }
    // ...and closes when the transfer ends, before the run's final message.
    virtual void TransferFinished(bool ok) { (void)ok; }
};
