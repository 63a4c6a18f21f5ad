// libatspi pulls in GLib, whose headers use the names Qt defines as macros: it comes first.
#include <atspi/atspi.h>

#include "Input/atspi/AtspiFocus.h"

#include "Runtime/Scheduler.h"
#include "Utilities/Log.h"

#include <QElapsedTimer>
#include <QHash>

#include <condition_variable>
#include <mutex>
#include <thread>

#include <unistd.h>

namespace quillory::input {

namespace {

const QString kRole = QStringLiteral("AXRole");
const QString kValue = QStringLiteral("AXValue");
const QString kSelectedText = QStringLiteral("AXSelectedText");

template <typename T>
struct GObjectRef {
    T* p = nullptr;
    GObjectRef() = default;
    explicit GObjectRef(T* adopt) : p(adopt) {}
    GObjectRef(const GObjectRef&) = delete;
    GObjectRef& operator=(const GObjectRef&) = delete;
    GObjectRef(GObjectRef&& o) noexcept : p(std::exchange(o.p, nullptr)) {}
    ~GObjectRef() {
        if (p) {
            g_object_unref(p);
        }
    }
    explicit operator bool() const { return p != nullptr; }
};

/// Takes a GError: true (and logs) when there was one.
bool failed(GError*& error, const char* what) {
    if (!error) {
        return false;
    }
    qCDebug(lcInput, "Accessibility call %s failed: %s", what, error->message);
    g_clear_error(&error);
    return true;
}

QString roleName(AtspiAccessible* accessible) {
    GError* error = nullptr;
    const AtspiRole role = atspi_accessible_get_role(accessible, &error);
    if (failed(error, "GetRole")) {
        return {};
    }
    gchar* name = atspi_role_get_name(role);
    const QString result = QString::fromUtf8(name);
    g_free(name);
    return result;
}

bool hasState(AtspiAccessible* accessible, AtspiStateType state) {
    GObjectRef<AtspiStateSet> states(atspi_accessible_get_state_set(accessible));
    return states && atspi_state_set_contains(states.p, state);
}

// ---- connection ----

enum class BusState { unknown, available, unavailable, stuck };
BusState busState = BusState::unknown;
Duration lastAttempt{};
/// A bus that was missing may come up later (the desktop starts it after us): ask again then.
constexpr Duration kRetryAfter = seconds(30);

/// The element that last reported gaining focus (a reference we hold), from the bus's focus
/// events. Events reach us through GLib's default main context, which Qt's main loop runs; where
/// it does not, this stays empty and the search below finds the focus instead.
AtspiAccessible* trackedFocus = nullptr;

void setTrackedFocus(AtspiAccessible* accessible) {
    if (trackedFocus) {
        g_object_unref(trackedFocus);
    }
    trackedFocus = accessible ? static_cast<AtspiAccessible*>(g_object_ref(accessible)) : nullptr;
}

void onFocusChanged(AtspiEvent* event, void*) {
    if (event->source) {
        if (event->detail1) {
            setTrackedFocus(event->source);
        } else if (event->source == trackedFocus) {
            setTrackedFocus(nullptr);
        }
    }
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

void quietLog(const gchar* domain, GLogLevelFlags, const gchar* message, gpointer) {
    qCDebug(lcInput, "%s: %s", domain ? domain : "atspi", message);
}

/// Connects to the accessibility bus, on a helper thread so that a bus that does not answer
/// costs the caller at most `timeout`. Afterwards every call runs on the main thread.
bool connectOnce(std::chrono::milliseconds timeout, std::chrono::milliseconds callTimeout) {
    const Duration now = Scheduler::current().monotonicNow();
    if (busState == BusState::available || busState == BusState::stuck ||
        (busState == BusState::unavailable && now - lastAttempt < kRetryAfter)) {
        return busState == BusState::available;
    }
    const bool firstAttempt = busState == BusState::unknown;
    busState = BusState::unavailable;
    lastAttempt = now;
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") &&
        qEnvironmentVariableIsEmpty("AT_SPI_BUS_ADDRESS") && qEnvironmentVariableIsEmpty("DISPLAY")) {
        if (firstAttempt) {
            qCInfo(lcInput, "No accessibility bus (no session bus): the focused field is not read");
        }
        return false;
    }
    static const bool quiet = [] {
        for (const char* domain : {"dbind", "atspi", "Atspi"}) {
            g_log_set_handler(domain, GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_MESSAGE),
                              quietLog, nullptr);
        }
        return true;
    }();
    Q_UNUSED(quiet);
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool ok = false;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared, callTimeout] {
        bool ok = false;
        if (atspi_init() <= 1) {
            atspi_set_timeout(int(callTimeout.count()), 1000);
            AtspiAccessible* desktop = atspi_get_desktop(0);
            if (desktop) {
                GError* error = nullptr;
                atspi_accessible_get_child_count(desktop, &error);
                ok = !failed(error, "GetChildCount");
                g_object_unref(desktop);
            }
            if (ok) {
                GError* error = nullptr;
                atspi_event_listener_register_from_callback(onFocusChanged, nullptr, nullptr,
                                                            "object:state-changed:focused", &error);
                failed(error, "RegisterEvent");
            }
        }
        std::lock_guard lock(shared->mutex);
        shared->finished = true;
        shared->ok = ok;
        shared->done.notify_all();
    }).detach();
    std::unique_lock lock(shared->mutex);
    shared->done.wait_for(lock, timeout, [&] { return shared->finished; });
    if (!shared->finished) {
        // A stuck connection attempt keeps its thread; nothing else ever touches the library.
        busState = BusState::stuck;
        qCWarning(lcInput, "The accessibility bus does not answer: the focused field is not read");
        return false;
    }
    if (!shared->ok) {
        if (firstAttempt) {
            qCInfo(lcInput, "No accessibility bus answered: the focused field is not read");
        }
        return false;
    }
    busState = BusState::available;
    return true;
}

// ---- the element ----

class AtspiElement final : public AccessibleElement {
public:
    AtspiElement(AtspiAccessible* accessible, QString atspiRole, bool singleLine)
        : accessible_(accessible), atspiRole_(std::move(atspiRole)), singleLine_(singleLine) {
        g_object_ref(accessible_);
    }
    ~AtspiElement() override { g_object_unref(accessible_); }

    std::optional<QVariant> attribute(const QString& name) const override {
        if (name == kRole) {
            return QVariant(axRoleForAtspiRole(atspiRole_, singleLine_));
        }
        if (name != kValue && name != kSelectedText) {
            return QVariant();
        }
        if (isSecretAtspiRole(atspiRole_)) {
            return std::nullopt; // never read a password field
        }
        GObjectRef<AtspiText> text(atspi_accessible_get_text_iface(accessible_));
        if (!text) {
            return QVariant();
        }
        GError* error = nullptr;
        int start = 0;
        int end = -1;
        if (name == kSelectedText) {
            const int count = atspi_text_get_n_selections(text.p, &error);
            if (failed(error, "GetNSelections")) {
                return std::nullopt;
            }
            if (count <= 0) {
                return QVariant(QString());
            }
            AtspiRange* range = atspi_text_get_selection(text.p, 0, &error);
            if (failed(error, "GetSelection") || !range) {
                return std::nullopt;
            }
            start = range->start_offset;
            end = range->end_offset;
            g_free(range);
        }
        gchar* chars = atspi_text_get_text(text.p, start, end, &error);
        if (failed(error, "GetText")) {
            return std::nullopt;
        }
        const QString value = QString::fromUtf8(chars);
        g_free(chars);
        return QVariant(value);
    }

    bool setAttribute(const QString& name, const QVariant& value) override {
        if (isSecretAtspiRole(atspiRole_) || (name != kValue && name != kSelectedText)) {
            return false;
        }
        GObjectRef<AtspiEditableText> editable(atspi_accessible_get_editable_text_iface(accessible_));
        if (!editable) {
            return false;
        }
        const QByteArray utf8 = value.toString().toUtf8();
        GError* error = nullptr;
        if (name == kValue) {
            const bool ok = atspi_editable_text_set_text_contents(editable.p, utf8.constData(), &error);
            return !failed(error, "SetTextContents") && ok;
        }
        // The selected text: replace the selection, or insert at the caret.
        GObjectRef<AtspiText> text(atspi_accessible_get_text_iface(accessible_));
        if (!text) {
            return false;
        }
        int position = atspi_text_get_caret_offset(text.p, &error);
        if (failed(error, "GetCaretOffset")) {
            return false;
        }
        if (atspi_text_get_n_selections(text.p, &error) > 0 && !error) {
            if (AtspiRange* range = atspi_text_get_selection(text.p, 0, &error)) {
                atspi_editable_text_delete_text(editable.p, range->start_offset, range->end_offset, &error);
                position = range->start_offset;
                g_free(range);
            }
        }
        if (failed(error, "ReplaceSelection")) {
            return false;
        }
        const bool ok = atspi_editable_text_insert_text(editable.p, position, utf8.constData(),
                                                        int(utf8.size()), &error);
        return !failed(error, "InsertText") && ok;
    }

private:
    AtspiAccessible* accessible_;
    QString atspiRole_;
    bool singleLine_;
};

// ---- the search ----

struct Search {
    QElapsedTimer clock;
    std::chrono::milliseconds budget;
    int nodesLeft;
    bool exhausted() {
        return nodesLeft-- <= 0 || clock.elapsed() > budget.count();
    }
};

/// The focused node under `node`, visiting only showing nodes; null when none is found.
AtspiAccessible* findFocused(AtspiAccessible* node, Search& search, int depth) {
    if (search.exhausted() || depth > 64) {
        return nullptr;
    }
    GObjectRef<AtspiStateSet> states(atspi_accessible_get_state_set(node));
    if (!states) {
        return nullptr;
    }
    if (atspi_state_set_contains(states.p, ATSPI_STATE_FOCUSED)) {
        return static_cast<AtspiAccessible*>(g_object_ref(node));
    }
    if (depth > 0 && !atspi_state_set_contains(states.p, ATSPI_STATE_SHOWING)) {
        return nullptr;
    }
    // Tables and lists with many rows manage their own focus; their children are not walked.
    if (atspi_state_set_contains(states.p, ATSPI_STATE_MANAGES_DESCENDANTS)) {
        return nullptr;
    }
    GError* error = nullptr;
    const int count = atspi_accessible_get_child_count(node, &error);
    if (failed(error, "GetChildCount")) {
        return nullptr;
    }
    for (int i = 0; i < count; ++i) {
        GObjectRef<AtspiAccessible> child(atspi_accessible_get_child_at_index(node, i, &error));
        if (failed(error, "GetChildAtIndex") || !child) {
            continue;
        }
        if (AtspiAccessible* found = findFocused(child.p, search, depth + 1)) {
            return found;
        }
        if (search.exhausted()) {
            return nullptr;
        }
    }
    return nullptr;
}

} // namespace

QString axRoleForAtspiRole(const QString& atspiRoleName, bool singleLine) {
    static const QHash<QString, QString> roles = {
        {QStringLiteral("entry"), QStringLiteral("AXTextField")},
        {QStringLiteral("text"), QStringLiteral("AXTextArea")},
        {QStringLiteral("paragraph"), QStringLiteral("AXTextArea")},
        {QStringLiteral("document text"), QStringLiteral("AXTextArea")},
        {QStringLiteral("combo box"), QStringLiteral("AXComboBox")},
        {QStringLiteral("password text"), QStringLiteral("AXSecureTextField")},
        {QStringLiteral("push button"), QStringLiteral("AXButton")},
        {QStringLiteral("document web"), QStringLiteral("AXWebArea")},
    };
    const QString key = atspiRoleName.trimmed().toLower();
    if (singleLine && key == QLatin1String("text")) {
        return QStringLiteral("AXTextField");
    }
    return roles.value(key, key.isEmpty() ? QString() : QStringLiteral("AXUnknown"));
}

bool isSecretAtspiRole(const QString& atspiRoleName) {
    return atspiRoleName.trimmed().compare(QLatin1String("password text"), Qt::CaseInsensitive) == 0;
}

AtspiFocusedElementProvider::AtspiFocusedElementProvider() : AtspiFocusedElementProvider(Limits{}) {}

AtspiFocusedElementProvider::AtspiFocusedElementProvider(Limits limits) : limits_(limits) {}

bool AtspiFocusedElementProvider::available() {
    return connectOnce(limits_.connectTimeout, limits_.callTimeout);
}

std::shared_ptr<AccessibleElement> AtspiFocusedElementProvider::focusedElement() {
    if (!available()) {
        return nullptr;
    }
    GObjectRef<AtspiAccessible> desktop(atspi_get_desktop(0));
    if (!desktop) {
        return nullptr;
    }
    // Nothing cached: focus and states change without us listening to events.
    atspi_accessible_set_cache_mask(desktop.p, ATSPI_CACHE_NONE);
    atspi_accessible_clear_cache(desktop.p);

    const guint self = guint(getpid());
    GError* error = nullptr;
    if (trackedFocus && hasState(trackedFocus, ATSPI_STATE_FOCUSED)) {
        const guint pid = atspi_accessible_get_process_id(trackedFocus, &error);
        if (!failed(error, "GetProcessId") && pid != self) {
            answeredFromEvents_ = true;
            return std::make_shared<AtspiElement>(trackedFocus, roleName(trackedFocus),
                                                  !hasState(trackedFocus, ATSPI_STATE_MULTI_LINE));
        }
    }
    answeredFromEvents_ = false;

    Search search{{}, limits_.searchBudget, limits_.maxNodes};
    search.clock.start();
    const int apps = atspi_accessible_get_child_count(desktop.p, &error);
    if (failed(error, "GetChildCount")) {
        return nullptr;
    }
    for (int a = 0; a < apps && !search.exhausted(); ++a) {
        GObjectRef<AtspiAccessible> app(atspi_accessible_get_child_at_index(desktop.p, a, &error));
        if (failed(error, "GetChildAtIndex") || !app) {
            continue;
        }
        const guint pid = atspi_accessible_get_process_id(app.p, &error);
        if (failed(error, "GetProcessId") || pid == self) {
            continue;
        }
        const int windows = atspi_accessible_get_child_count(app.p, &error);
        if (failed(error, "GetChildCount")) {
            continue;
        }
        for (int w = 0; w < windows && !search.exhausted(); ++w) {
            GObjectRef<AtspiAccessible> window(atspi_accessible_get_child_at_index(app.p, w, &error));
            if (failed(error, "GetChildAtIndex") || !window || !hasState(window.p, ATSPI_STATE_ACTIVE)) {
                continue;
            }
            GObjectRef<AtspiAccessible> focused(findFocused(window.p, search, 0));
            if (focused) {
                return std::make_shared<AtspiElement>(focused.p, roleName(focused.p),
                                                      // Qt marks only multi-line text; a "text" without that is a line.
                                                      !hasState(focused.p, ATSPI_STATE_MULTI_LINE));
            }
        }
    }
    if (search.nodesLeft <= 0 || search.clock.elapsed() > limits_.searchBudget.count()) {
        qCDebug(lcInput, "The focused element search stopped at its limit");
    }
    return nullptr;
}

} // namespace quillory::input
