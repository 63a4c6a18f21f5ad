#include "UI/Settings/KeyboardKeyDisplay.h"

#include <QHash>

namespace quillory::KeyboardKeyDisplay {

const std::set<int>& modifierKeycodes() {
    static const std::set<int> codes = {kLeftControl, kRightControl, kLeftShift, kRightShift, kLeftAlt,
                                        kRightAlt,    kLeftSuper,    kRightSuper, kCapsLock};
    return codes;
}

QString label(int keycode) {
    static const QHash<int, QString> table = [] {
        QHash<int, QString> t;
        // The main block, row by row (pc105 positions).
        const char* digits[] = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "0", "-", "="};
        for (int i = 0; i < 12; ++i) {
            t.insert(10 + i, QString::fromLatin1(digits[i]));
        }
        const char* top = "QWERTYUIOP[]";
        for (int i = 0; i < 12; ++i) {
            t.insert(24 + i, QString(QLatin1Char(top[i])));
        }
        const char* home = "ASDFGHJKL;'`";
        for (int i = 0; i < 12; ++i) {
            t.insert(38 + i, QString(QLatin1Char(home[i])));
        }
        t.insert(51, QStringLiteral("\\"));
        const char* bottom = "ZXCVBNM,./";
        for (int i = 0; i < 10; ++i) {
            t.insert(52 + i, QString(QLatin1Char(bottom[i])));
        }
        for (int i = 0; i < 10; ++i) {
            t.insert(67 + i, QStringLiteral("F%1").arg(i + 1));
        }
        t.insert(95, QStringLiteral("F11"));
        t.insert(96, QStringLiteral("F12"));
        const std::pair<int, const char*> named[] = {
            {9, "⎋"}, {22, "⌫"}, {23, "⇥"}, {36, "↩"}, {65, "Space"}, {66, "⇪"},
            // keypad: the labels of their main-keyboard counterparts
            {63, "*"}, {79, "7"}, {80, "8"}, {81, "9"}, {82, "-"}, {83, "4"}, {84, "5"}, {85, "6"},
            {86, "+"}, {87, "1"}, {88, "2"}, {89, "3"}, {90, "0"}, {91, "."}, {104, "↩"}, {106, "/"},
            {94, "<"}, {97, "ろ"}, {100, "変換"}, {101, "かな"}, {102, "無変換"}, {130, "かな"}, {131, "英数"},
            {132, "¥"}, {110, "↖"}, {111, "↑"}, {112, "⇞"}, {113, "←"}, {114, "→"}, {115, "↘"},
            {116, "↓"}, {117, "⇟"}, {118, "Ins"}, {119, "⌦"}, {121, "🔇"}, {122, "🔊−"}, {123, "🔊+"},
            {127, "Pause"}, {107, "PrtSc"}, {135, "☰"}, {146, "Help"}};
        for (const auto& [code, text] : named) {
            t.insert(code, QString::fromUtf8(text));
        }
        return t;
    }();
    const auto it = table.find(keycode);
    return it != table.end() ? *it : QString::number(keycode);
}

} // namespace quillory::KeyboardKeyDisplay
