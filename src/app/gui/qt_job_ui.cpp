#include "app/gui/qt_job_ui.h"

#include <QMetaObject>
#include <QThread>
#include <utility>

CQtJobUi::CQtJobUi(QObject* context, Handlers handlers)
    : m_context(context), m_handlers(std::move(handlers)) {}

void CQtJobUi::Call(const std::function<void()>& f) {
    QObject* context = m_context.data();
    if (context == nullptr) {
        return;
    }
    // A blocking queued call from the GUI thread to itself would never return.
    if (QThread::currentThread() == context->thread()) {
        f();
        return;
    }
    QMetaObject::invokeMethod(context, f, Qt::BlockingQueuedConnection);
}

void CQtJobUi::Post(std::function<void()> f) {
    QObject* context = m_context.data();
    if (context == nullptr) {
        return;
    }
    QMetaObject::invokeMethod(context, std::move(f), Qt::QueuedConnection);
}

void CQtJobUi::SetBusy(bool busy) {
    if (m_handlers.setBusy) {
        Call([&] { m_handlers.setBusy(busy); });
    }
}

void CQtJobUi::ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon) {
    ShowDetailedMessage(text, caption, icon, std::string());
}

void CQtJobUi::ShowDetailedMessage(const std::string& text, const std::string& caption,
                                   MsgIcon icon, const std::string& detail) {
    if (m_handlers.showMessage) {
        Call([&] { m_handlers.showMessage(text, caption, icon, detail); });
    }
}

void CQtJobUi::HandshakeStep(const std::string& text) {
    if (m_handlers.handshakeStep) {
        // Posted, as progress is: a step never waits for painting.
        Post([this, text] { m_handlers.handshakeStep(text); });
    }
}

void CQtJobUi::TransferStarted(std::uint32_t total) {
    if (m_handlers.transferStarted) {
        Call([&] { m_handlers.transferStarted(total); });
    }
}

void CQtJobUi::TransferProgressed(const TransferProgress& progress) {
    if (m_handlers.transferProgressed) {
        // Posted: the copy travels with the call, the handler outlives the run.
        Post([this, progress] { m_handlers.transferProgressed(progress); });
    }
}

void CQtJobUi::TransferFinished(bool ok) {
    if (m_handlers.transferFinished) {
        Call([&] { m_handlers.transferFinished(ok); });
    }
}
