#include "UI/Settings/ModelDownloadController.h"

#include "UI/Settings/LocalModelEngine.h"

#include <QPointer>

namespace quillory {

ModelDownloadController::ModelDownloadController(QObject* parent) : QObject(parent) {}

void ModelDownloadController::setStatus(const AppStatus& status) {
    if (status_ == status) {
        return;
    }
    status_ = status;
    emit changed();
}

bool ModelDownloadController::sessionBusy() const {
    return status_.is(AppStatus::Kind::recording) || status_.is(AppStatus::Kind::processing);
}

void ModelDownloadController::clearErrors() {
    downloadError_.reset();
    deleteError_.reset();
}

bool ModelDownloadController::download(Fetch fetch, Finished finished) {
    if (!canChangeFiles()) {
        return false;
    }
    inProgress_ = true;
    downloadError_.reset();
    received_ = 0;
    total_ = -1;
    emit changed();
    run(std::move(fetch), std::move(finished));
    return true;
}

Task<> ModelDownloadController::run(Fetch fetch, Finished finished) {
    QPointer<ModelDownloadController> self(this);
    std::exception_ptr failure;
    try {
        co_await fetch([self](qint64 received, qint64 total) {
            if (self && self->inProgress_) {
                self->received_ = received;
                self->total_ = total;
                emit self->changed();
            }
        });
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self) {
        co_return;
    }
    inProgress_ = false;
    if (finished) {
        finished(failure);
    } else if (!failure) {
        emit changed();
    }
    if (failure) {
        downloadError_ = describeEngineError(failure);
        emit changed();
    }
}

bool ModelDownloadController::remove(const std::function<void()>& remove) {
    deleteError_.reset();
    try {
        remove();
    } catch (...) {
        deleteError_ = describeEngineError(std::current_exception());
        emit changed();
        return false;
    }
    return true;
}

} // namespace quillory
