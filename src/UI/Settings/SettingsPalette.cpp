#include "UI/Settings/SettingsPalette.h"

#include <QPalette>
#include <QWidget>

namespace quillory::SettingsPalette {

bool isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128;
}

QColor tone(Tone tone, const QPalette& palette) {
    const bool dark = isDark(palette);
    switch (tone) {
    case Tone::green: return dark ? QColor(0x5b, 0xd0, 0x7a) : QColor(0x1e, 0x8e, 0x3e);
    case Tone::red: return dark ? QColor(0xff, 0x7b, 0x72) : QColor(0xd9, 0x30, 0x25);
    case Tone::orange: return dark ? QColor(0xff, 0xa9, 0x4d) : QColor(0xb8, 0x5c, 0x00);
    case Tone::neutral: return dark ? QColor(0xa0, 0xa6, 0xad) : QColor(0x5f, 0x64, 0x69);
    }
    return palette.color(QPalette::WindowText);
}

QColor accent(const QPalette& palette) {
    return isDark(palette) ? QColor(0x4c, 0x9a, 0xff) : QColor(0x30, 0x78, 0xdc);
}

QColor pillText(const QPalette& palette) {
    return palette.color(QPalette::ButtonText);
}

QColor symbolOnTone() {
    return QColor(0xff, 0xff, 0xff);
}

QColor neutral() {
    return QColor(0x80, 0x80, 0x80);
}

QString css(const QColor& color, double alpha) {
    return QStringLiteral("rgba(%1, %2, %3, %4)")
        .arg(color.red())
        .arg(color.green())
        .arg(color.blue())
        .arg(color.alphaF() * alpha);
}

void setTextTone(QWidget* widget, Tone tone) {
    QPalette p = widget->palette();
    const QColor colour = SettingsPalette::tone(tone, p);
    for (auto group : {QPalette::Active, QPalette::Inactive}) {
        p.setColor(group, QPalette::WindowText, colour);
        p.setColor(group, QPalette::ButtonText, colour);
    }
    widget->setPalette(p);
}

void setSecondaryText(QWidget* widget) {
    QPalette p = widget->palette();
    p.setColor(QPalette::WindowText, p.color(QPalette::PlaceholderText));
    widget->setPalette(p);
}

} // namespace quillory::SettingsPalette
