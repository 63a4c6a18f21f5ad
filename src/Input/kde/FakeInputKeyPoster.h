#pragma once

#include "Input/InputPlatform.h"

#include <QString>

#include <memory>

namespace quillory::input {

class WaylandConnection;

/// KWin's fake-input protocol as the paste key uses it (tests pass a fake).
class FakeInputChannel {
public:
    virtual ~FakeInputChannel() = default;
    /// Whether the compositor offers fake-input to this program now (KWin advertises it only to
    /// programs it authorises, and may take it back).
    virtual bool offered() const = 0;
    /// Binds fake-input (once) and sends its `authenticate` request.
    virtual void authenticate(const QString& application, const QString& reason) = 0;
    /// One key transition by evdev code, sent at once.
    virtual void key(quint32 evdevCode, bool pressed) = 0;
    /// A round trip: true when the compositor took everything sent so far and the connection lives.
    virtual bool sync() = 0;
};

/// The paste key through KWin's org_kde_kwin_fake_input (KDE Plasma).
///
/// KWin drops every event of a fake-input object that has not sent `authenticate` first, without
/// telling the client, and answers `authenticate` with nothing either (KWin 5.27 grants it to any
/// client it advertised the global to). So the poster authenticates once, before its first key,
/// and counts itself authorised only when the compositor has taken that request (a round trip on
/// a live connection); a key is only ever sent on an authenticated object. Ctrl+V is evdev
/// KEY_LEFTCTRL and KEY_V; after the release a round trip confirms the compositor took the keys,
/// else `post` throws and the paste does not count as delivered. Main thread only.
class FakeInputKeyPoster final : public KeyEventPoster {
public:
    /// The name and reason sent with `authenticate`.
    static inline const QString kApplication = QStringLiteral("Quillory");

    explicit FakeInputKeyPoster(std::shared_ptr<FakeInputChannel> channel);
    ~FakeInputKeyPoster() override;

    /// Authenticates once; true while the compositor offers fake-input and took the request.
    bool createEventSource() override;
    /// True for the paste key (the core's V with the Command flag) while authorised.
    bool createEvent(const KeyEvent& event) override;
    /// Ctrl and V down (key-down) or V and Ctrl up; throws std::runtime_error when the compositor
    /// did not take them.
    void post(const KeyEvent& event) override;

    bool isAuthorised() const { return authorised_; }
    /// Why the poster cannot press the key (empty while it can).
    QString lastError() const { return lastError_; }

private:
    void release();

    std::shared_ptr<FakeInputChannel> channel_;
    bool authenticated_ = false; ///< `authenticate` was sent on the bound object
    bool authorised_ = false;
    bool pressed_ = false;
    QString lastError_;
};

/// fake-input on `connection` (the one the data-control clipboard uses).
std::shared_ptr<FakeInputChannel> makeFakeInputChannel(std::shared_ptr<WaylandConnection> connection);

/// The paste key through fake-input on `connection`, authenticated now; null with the reason when
/// KWin does not offer fake-input to this program or does not take the request.
std::shared_ptr<KeyEventPoster> makeFakeInputKeyPoster(std::shared_ptr<WaylandConnection> connection,
                                                       QString* reason);

} // namespace quillory::input
