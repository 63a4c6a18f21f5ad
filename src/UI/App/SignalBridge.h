#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

namespace quillory::ui {

/// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the main thread (a self-pipe written by
/// the handler, read through a QSocketNotifier). One per process.
class SignalBridge : public QObject {
    Q_OBJECT
public:
    explicit SignalBridge(QObject* parent = nullptr);
    ~SignalBridge() override;
    bool installed() const { return notifier_ != nullptr; }

signals:
    void terminationRequested(int signalNumber);

private:
    void readPipe();
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace quillory::ui
