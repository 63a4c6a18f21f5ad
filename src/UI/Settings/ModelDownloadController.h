#pragma once

#include "App/AppStatus.h"
#include "Runtime/Async.h"

#include <QObject>
#include <QString>

#include <exception>
#include <functional>
#include <optional>

namespace quillory {

/// The model-file state the settings' model lists share: the session status that blocks file
/// changes, one download at a time with its progress, and the last download and delete errors.
/// The polish tab, the chat tab and the speech model section each own one and pass its `changed`
/// on as their own. Main thread.
class ModelDownloadController : public QObject {
    Q_OBJECT

public:
    /// bytes received, total bytes (-1 when unknown)
    using Progress = std::function<void(qint64 received, qint64 total)>;
    /// Fetches the files, reporting progress; throws with a describable error on failure.
    using Fetch = std::function<Task<>(Progress progress)>;
    /// Called once the download is no longer in progress, with its failure (null on success).
    /// A failure is recorded after it returns, so a refresh there does not wipe the message.
    using Finished = std::function<void(std::exception_ptr failure)>;

    explicit ModelDownloadController(QObject* parent = nullptr);

    const AppStatus& status() const { return status_; }
    void setStatus(const AppStatus& status);
    /// Recording or processing.
    bool sessionBusy() const;
    /// Neither a busy session nor a running download: files may be picked, fetched or removed.
    bool canChangeFiles() const { return !sessionBusy() && !inProgress_; }

    bool inProgress() const { return inProgress_; }
    qint64 received() const { return received_; }
    qint64 total() const { return total_; }
    const std::optional<QString>& downloadError() const { return downloadError_; }
    const std::optional<QString>& deleteError() const { return deleteError_; }
    /// Forgets both errors without emitting `changed` (the caller emits after its own refresh).
    void clearErrors();

    /// Starts `fetch`, `finished` following its end; refused (false) unless `canChangeFiles`.
    bool download(Fetch fetch, Finished finished);
    /// Runs `remove`. On failure records the delete error, emits `changed` and returns false; on
    /// success returns true and leaves the refresh to the caller.
    bool remove(const std::function<void()>& remove);

signals:
    void changed();

private:
    Task<> run(Fetch fetch, Finished finished);

    AppStatus status_ = AppStatus::idle();
    bool inProgress_ = false;
    qint64 received_ = 0;
    qint64 total_ = -1;
    std::optional<QString> downloadError_;
    std::optional<QString> deleteError_;
};

} // namespace quillory
