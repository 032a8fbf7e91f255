// JobUi for the Qt front end. The flash run calls it on its worker thread; every call is
// carried out on the GUI thread. Message boxes, the busy state and the opening and closing of
// the progress window wait there until done (a message box until the user closed it);
// progress updates are posted so the transfer never waits for painting.
#pragma once

#include <QObject>
#include <QPointer>
#include <functional>
#include <string>

#include "common/job_ui.h"

class CQtJobUi : public JobUi {
public:
    struct Handlers {
        std::function<void(bool busy)> setBusy;
        std::function<void(const std::string& text, const std::string& caption, MsgIcon icon,
                           const std::string& detail)>
            showMessage;
        std::function<void(const std::string& step)> handshakeStep;
        std::function<void(std::uint32_t total)> transferStarted;
        std::function<void(const TransferProgress& progress)> transferProgressed;
        std::function<void(bool ok)> transferFinished;
    };

    // context: a QObject living on the GUI thread; the handlers run in its thread.
    CQtJobUi(QObject* context, Handlers handlers);

    void SetBusy(bool busy) override;
    void ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon) override;
    void ShowDetailedMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                             const std::string& detail) override;
    void HandshakeStep(const std::string& text) override;
    void TransferStarted(std::uint32_t total) override;
    void TransferProgressed(const TransferProgress& progress) override;
    void TransferFinished(bool ok) override;

private:
    // Runs f on the context's thread and returns when it has run.
    void Call(const std::function<void()>& f);
    // Queues f to the context's thread.
    void Post(std::function<void()> f);

    QPointer<QObject> m_context;
    Handlers m_handlers;
};
