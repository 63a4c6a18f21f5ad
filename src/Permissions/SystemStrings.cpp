#include "Runtime/LocalizedStrings.h"

namespace quillory::Localization {

namespace {
// Permissions, environment and the login item.
constexpr LocalizedString kStrings[] = {
    {"settings.help.microphone",
     "Linux asks no permission for the microphone. If Quillory hears nothing, choose the microphone in your "
     "sound settings (or check 'pactl list short sources').",
     "Linux ではマイクの許可は不要です。音声が届かないときは、サウンド設定で入力デバイスを選んでください"
     "（'pactl list short sources' でも確認できます）。"},
    {"settings.help.speech_recognition", "Speech is recognised on this computer; no permission is needed.",
     "音声認識はこのコンピューター上で行われるため、許可は不要です。"},
    {"settings.help.input_monitoring",
     "Quillory listens for its shortcut keys. On X11 this needs the XInput2 extension. On Wayland it uses "
     "what this desktop offers (the shortcut portal or the keyboards under /dev/input); 'quillory doctor' "
     "shows which.",
     "Quillory はショートカットキーを監視します。X11 では XInput2 拡張が必要です。Wayland では"
     "このデスクトップで使える方法（ショートカットのポータルまたは /dev/input のキーボード）を使います。"
     "どれを使っているかは 'quillory doctor' で確認できます。"},
    {"settings.help.sound_input", "Choose the microphone in your desktop's sound settings.",
     "デスクトップのサウンド設定で入力に使うマイクを選んでください。"},
    {"settings.help.dictation_languages",
     "Linux has no system dictation; Quillory recognises Japanese itself.",
     "Linux にはシステムの音声入力はありません。日本語の認識は Quillory 自身が行います。"},
    {"settings.help.analytics", "Not applicable on Linux: nothing is shared.",
     "Linux では該当しません。何も共有されません。"},
    {"settings.help.accessibility",
     "Quillory types by pasting with a synthesised paste key. On X11 the XTEST extension must be present (it "
     "normally is). On Wayland it uses what this desktop offers (a portal, a compositor protocol or a uinput "
     "virtual keyboard); 'quillory doctor' shows which.",
     "Quillory は貼り付けキーを合成して文字を入力します。X11 では XTEST 拡張が必要です（通常は有効です）。"
     "Wayland ではこのデスクトップで使える方法（ポータル、コンポジターのプロトコル、uinput "
     "の仮想キーボード）を使います。どれを使っているかは 'quillory doctor' で確認できます。"},
    // The one fix for a desktop where the chosen paste key, clipboard or hotkey path does not work.
    {"desktop.fix.no_session", "Run Quillory from your desktop session.",
     "デスクトップのセッションから Quillory を起動してください。"},
    {"desktop.fix.x11_display",
     "Check that DISPLAY names your running X server and that XAUTHORITY lets you connect.",
     "DISPLAY が動作中の X サーバーを指し、XAUTHORITY で接続できることを確認してください。"},
    {"desktop.fix.x11_extension", "Use an X server with the XTEST and XInput 2.2 extensions (Xorg has them).",
     "XTEST と XInput 2.2 拡張を備えた X サーバー（Xorg など）を使ってください。"},
    {"desktop.fix.x11_session",
     "Choose an X11 session (\u201cGNOME on Xorg\u201d, \u201cPlasma (X11)\u201d) at the login screen.",
     "ログイン画面で X11 のセッション（「GNOME on Xorg」「Plasma (X11)」など）を選んでください。"},
    {"desktop.fix.wlroots_protocols",
     "This version of Quillory cannot paste on this compositor yet: it needs the compositor's "
     "virtual-keyboard and data-control protocols, which a later version brings.",
     "このバージョンの Quillory はこのコンポジターではまだ貼り付けできません。コンポジターの "
     "virtual-keyboard と data-control プロトコルへの対応が必要で、今後のバージョンで対応します。"},
    {"desktop.fix.paste.gnome_portal",
     "Install xdg-desktop-portal-gnome, log out and in again, and allow Quillory to control the keyboard "
     "when GNOME asks.",
     "xdg-desktop-portal-gnome をインストールして再ログインし、GNOME に尋ねられたら Quillory "
     "のキーボード操作を許可してください。"},
    {"desktop.fix.paste.kde_portal",
     "Install xdg-desktop-portal-kde, log out and in again, and allow Quillory to control the keyboard "
     "when Plasma asks.",
     "xdg-desktop-portal-kde をインストールして再ログインし、Plasma に尋ねられたら Quillory "
     "のキーボード操作を許可してください。"},
    {"desktop.fix.paste.kde_fake_input",
     "Install Quillory from its package (its desktop file lets KWin offer fake-input to /usr/bin/quillory), "
     "or put a copy of app.quillory.Quillory.desktop with Exec set to the full path of quillory into "
     "~/.local/share/applications; then start Quillory again.",
     "Quillory をパッケージからインストールしてください（そのデスクトップファイルにより KWin が "
     "/usr/bin/quillory に fake-input を提供します）。または Exec に quillory のフルパスを書いた "
     "app.quillory.Quillory.desktop を ~/.local/share/applications に置き、Quillory を起動し直してください。"},
    {"desktop.fix.paste.uinput",
     "Let Quillory create a virtual keyboard: put the line KERNEL==\"uinput\", GROUP=\"input\", "
     "MODE=\"0660\", OPTIONS+=\"static_node=uinput\" into /etc/udev/rules.d/60-uinput.rules, run "
     "'sudo usermod -aG input $USER', and restart the computer.",
     "Quillory が仮想キーボードを作れるようにします。/etc/udev/rules.d/60-uinput.rules に "
     "KERNEL==\"uinput\", GROUP=\"input\", MODE=\"0660\", OPTIONS+=\"static_node=uinput\" の 1 行を書き、"
     "'sudo usermod -aG input $USER' を実行してからコンピューターを再起動してください。"},
    {"desktop.fix.hotkeys.input_group",
     "Run 'sudo usermod -aG input $USER' and log in again so Quillory can hear the keyboards.",
     "'sudo usermod -aG input $USER' を実行して再ログインすると、Quillory がキーボードを監視できます。"},
    {"desktop.fix.hotkeys.gnome",
     "Click \u201cBind Ctrl+Alt+D in GNOME\u201d on the Hotkeys tab of Quillory's settings, or bind the "
     "command 'quillory toggle' to a key in Settings \u2192 Keyboard \u2192 View and Customise Shortcuts "
     "\u2192 Custom Shortcuts.",
     "Quillory の設定の「ホットキー」タブで「GNOME に Ctrl+Alt+D を登録」を押すか、設定 \u2192 キーボード "
     "\u2192 ショートカットの表示とカスタマイズ \u2192 カスタムショートカット で、コマンド 'quillory toggle' "
     "をキーに割り当ててください。"},
    {"desktop.fix.hotkeys.kde",
     "Bind the command 'quillory toggle' to a key in System Settings \u2192 Shortcuts \u2192 Add New "
     "\u2192 Command or Script.",
     "システム設定 \u2192 ショートカット \u2192 新規追加 \u2192 コマンドまたはスクリプト で、"
     "コマンド 'quillory toggle' をキーに割り当ててください。"},
    {"desktop.fix.hotkeys.kglobalaccel",
     "Assign the keys in System Settings \u2192 Shortcuts \u2192 Quillory.",
     "システム設定 \u2192 ショートカット \u2192 Quillory でキーを割り当ててください。"},
    {"desktop.fix.hotkeys.sway",
     "Add 'bindsym $mod+Shift+d exec quillory toggle' to ~/.config/sway/config and reload sway.",
     "~/.config/sway/config に 'bindsym $mod+Shift+d exec quillory toggle' を追加し、sway "
     "を再読み込みしてください。"},
    {"desktop.fix.hotkeys.hyprland",
     "Add 'bind = SUPER SHIFT, D, exec, quillory toggle' to ~/.config/hypr/hyprland.conf.",
     "~/.config/hypr/hyprland.conf に 'bind = SUPER SHIFT, D, exec, quillory toggle' "
     "を追加してください。"},
    {"desktop.fix.hotkeys.other",
     "Bind the command 'quillory toggle' to a key in your desktop's keyboard shortcut settings.",
     "デスクトップのキーボードショートカット設定で、コマンド 'quillory toggle' "
     "をキーに割り当ててください。"},
    {"loginItem.error.write", "The autostart entry could not be written: %1",
     "自動起動の設定を書き込めませんでした: %1"},
    {"loginItem.error.remove", "The autostart entry could not be removed: %1",
     "自動起動の設定を削除できませんでした: %1"},
};
} // namespace

std::span<const LocalizedString> systemStrings() {
    return std::span(kStrings);
}

} // namespace quillory::Localization
