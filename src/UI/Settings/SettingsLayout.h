#pragma once

namespace quillory::SettingsLayout {

/// Padding around every tab's content.
inline constexpr int contentPadding = 12;
/// Padding inside a card (a grouped box).
inline constexpr int cardInnerPadding = 10;
inline constexpr int cardCornerRadius = 10;
/// Corner radius of inset fields (the voice test field).
inline constexpr int insetCornerRadius = 8;

/// The settings window's fixed size.
inline constexpr int windowWidth = 420;
inline constexpr int windowHeight = 560;
/// Help texts wrap at this width.
inline constexpr int helpTextMaximumWidth = 440;

} // namespace quillory::SettingsLayout
