#pragma once

#include "Platform/qt/OverlaySurface.h"

#include <QImage>
#include <QPoint>
#include <QString>

#include <memory>
#include <vector>

namespace quillory::testing {

/// What a fake overlay surface was given: every frame with its place, and whether it is on screen.
struct FakeOverlaySurfaceLog {
    QString name;
    std::vector<std::pair<QImage, QPoint>> frames;
    int withdrawals = 0;
    bool mapped = false;
    std::function<void(const platform::OverlayPointerEvent&)>* pointer = nullptr;

    /// Sends a press and a release of the left button at `position` (surface pixels).
    void click(QPointF position) const {
        (*pointer)({platform::OverlayPointerEvent::Kind::motion, position, Qt::NoButton, {}});
        (*pointer)({platform::OverlayPointerEvent::Kind::press, position, Qt::LeftButton, {}});
        (*pointer)({platform::OverlayPointerEvent::Kind::release, position, Qt::LeftButton, {}});
    }
};

class FakeOverlaySurface final : public platform::OverlaySurface {
public:
    explicit FakeOverlaySurface(std::shared_ptr<FakeOverlaySurfaceLog> log) : log_(std::move(log)) {
        log_->pointer = &onPointer;
    }
    ~FakeOverlaySurface() override { log_->pointer = nullptr; }
    void present(const QImage& image, QPoint topLeft) override {
        log_->frames.emplace_back(image, topLeft);
        log_->mapped = true;
    }
    void withdraw() override {
        ++log_->withdrawals;
        log_->mapped = false;
    }
    bool isMapped() const override { return log_->mapped; }

private:
    std::shared_ptr<FakeOverlaySurfaceLog> log_;
};

/// Surfaces that record what the panels hand them.
class FakeOverlaySurfaces final : public platform::OverlaySurfaces {
public:
    std::unique_ptr<platform::OverlaySurface> createSurface(const QString& name) override {
        auto log = std::make_shared<FakeOverlaySurfaceLog>();
        log->name = name;
        logs.push_back(log);
        return std::make_unique<FakeOverlaySurface>(log);
    }
    /// The log of the surface made for `name`; null when none was.
    std::shared_ptr<FakeOverlaySurfaceLog> log(const QString& name) const {
        for (const auto& l : logs) {
            if (l->name == name) return l;
        }
        return nullptr;
    }
    std::vector<std::shared_ptr<FakeOverlaySurfaceLog>> logs;
};

} // namespace quillory::testing
