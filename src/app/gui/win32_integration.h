// What the main window does only on Windows: the About entry of its system menu, and a refill
// of the port list whenever the system reports a COM port arriving or leaving
// (WM_DEVICECHANGE). Built only for Windows.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>

class CQuillon2Dlg;

class CWin32Integration : public QObject, public QAbstractNativeEventFilter {
public:
    // Command id of the About entry; the system keeps the low four bits for itself.
    static constexpr unsigned IDM_ABOUTBOX = 16;

    // Lives as long as the window (its child); installs itself on the application.
    explicit CWin32Integration(CQuillon2Dlg& dlg);
    ~CWin32Integration() override;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

protected:
    // A new native window (Qt may recreate it) gets its own system menu: add the entry again.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void AddAboutEntry();

    CQuillon2Dlg& m_dlg;
};
