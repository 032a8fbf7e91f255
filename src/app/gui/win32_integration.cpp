#include "app/gui/win32_integration.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>

#include "app/gui/com_port_combo.h"
#include "app/gui/main_dlg.h"
#include "ports/port_source_win32.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

CWin32Integration::CWin32Integration(CQuillon2Dlg& dlg) : QObject(&dlg), m_dlg(dlg) {
    AddAboutEntry();
    m_dlg.installEventFilter(this);
    QCoreApplication::instance()->installNativeEventFilter(this);
}

CWin32Integration::~CWin32Integration() {
    if (QCoreApplication::instance() != nullptr) {
        QCoreApplication::instance()->removeNativeEventFilter(this);
    }
}

void CWin32Integration::AddAboutEntry() {
    const HWND hwnd = reinterpret_cast<HWND>(m_dlg.winId());  // creates the native window
    const HMENU menu = GetSystemMenu(hwnd, FALSE);
    if (menu == nullptr) {
        return;  // a window without a system menu gets no entry
    }
    // Once per menu: the window may be shown, hidden and recreated.
    MENUITEMINFOA existing{};
    existing.cbSize = sizeof existing;
    if (GetMenuItemInfoA(menu, IDM_ABOUTBOX, FALSE, &existing)) {
        return;
    }
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, kAboutMenuText);
}

bool CWin32Integration::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &m_dlg && event->type() == QEvent::WinIdChange) {
        AddAboutEntry();
    }
    return QObject::eventFilter(watched, event);
}

bool CWin32Integration::nativeEventFilter(const QByteArray& eventType, void* message,
                                          qintptr* result) {
    if (eventType != "windows_generic_MSG" || message == nullptr) {
        return false;
    }
    const MSG* msg = static_cast<const MSG*>(message);
    if (msg->hwnd != reinterpret_cast<HWND>(m_dlg.effectiveWinId())) {
        return false;
    }
    switch (msg->message) {
        case WM_SYSCOMMAND:
            if ((msg->wParam & 0xFFF0) == IDM_ABOUTBOX) {
                // After the menu's own message handling has returned.
                QMetaObject::invokeMethod(
                    &m_dlg, [dlg = &m_dlg] { dlg->OnAbout(); }, Qt::QueuedConnection);
                *result = 0;
                return true;
            }
            return false;
        case WM_DEVICECHANGE:
            // The default processing still runs (false); the refill follows once the
            // broadcast has been answered, so no enumeration runs inside the system's send.
            if (IsComPortChange(msg->wParam, reinterpret_cast<const void*>(msg->lParam),
                                IsWindowUnicode(msg->hwnd) != FALSE)) {
                CComPortCombo* combo = m_dlg.m_comboPort;
                QMetaObject::invokeMethod(
                    combo, [combo] { combo->OnPortsChanged(); }, Qt::QueuedConnection);
            }
            return false;
        default:
            return false;
    }
}
