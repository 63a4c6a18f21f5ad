#pragma once

#include "Runtime/DefaultsStore.h"
#include "Runtime/Scheduler.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace quillory::testing {

/// Base fixture for core tests: a private temporary home (XDG folders inside it), a fresh
/// defaults store installed as the standard one, the diagnostics log pointed into the home,
/// and virtual time installed as the current scheduler.
class CoreTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    /// A path inside the temporary home.
    QString path(const QString& relative) const;
    /// The whole text of the current diagnostics log (after every queued line is written).
    QString diagnosticsText() const;
    /// The messages of the diagnostics lines (everything after the level column), in order.
    QStringList diagnosticsMessages() const;

    QTemporaryDir home_;
    std::unique_ptr<DefaultsStore> store_;
    VirtualScheduler clock_;
    std::unique_ptr<ScopedScheduler> scopedClock_;
};

} // namespace quillory::testing
