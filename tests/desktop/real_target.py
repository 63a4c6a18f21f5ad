#!/usr/bin/python3
"""Real toolkit targets for the desktop tests: one text field of a stock toolkit that reports what
reaches it. Run with Debian's python3 (python3-gi, gir1.2-gtk-3.0, gir1.2-gtk-4.0, python3-tk).

  real_target.py gtk3 [--password] [--text TEXT]   a GTK 3 window with one Gtk.Entry
  real_target.py gtk4                               a GTK 4 window with one Gtk.Entry
  real_target.py tk                                 a Tk window with one entry
  real_target.py tty REPORT          reads the terminal it runs in (raw mode, bracketed paste on)

GUI modes write to stdout; tty mode appends to the file REPORT. One line each:
  "ready" / "inactive"              the field has / lost the keyboard focus (GUI modes)
  "text <monotonic ns> <base64>"    the field's whole text (tty: everything typed or pasted,
                                    bracketed-paste markers taken out) after every change
  "paste <count>"                   tty: a bracketed paste began (the count so far)
  "raw <base64>"                    tty: the bytes as read, for failure messages
A GUI mode exits when its standard input closes (the test went away).
"""
import base64
import os
import sys
import time


def line_for(text):
    return "text %d %s" % (time.monotonic_ns(), base64.b64encode(text.encode("utf-8")).decode("ascii"))


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def run_gtk(version, password, initial):
    import gi

    gi.require_version("Gtk", "%d.0" % version)
    from gi.repository import GLib, Gtk

    GLib.set_prgname("quillory-gtk%d-target" % version)
    entry = Gtk.Entry()
    if password:
        entry.set_visibility(False)
    # Focusing must not select the field's text (a paste would replace it).
    Gtk.Settings.get_default().set_property("gtk-entry-select-on-focus", False)
    entry.connect("changed", lambda e: say(line_for(e.get_text())))
    loop = GLib.MainLoop()
    if version == 3:
        window = Gtk.Window(title="gtk%d %s target" % (version, "password" if password else "paste"))
        window.add(entry)
        window.set_default_size(400, 60)
        window.connect("destroy", lambda *_: loop.quit())
        window.show_all()

        def focused():
            return window.is_active() and entry.has_focus()
    else:
        window = Gtk.Window(title="gtk%d paste target" % version)
        window.set_child(entry)
        window.set_default_size(400, 60)
        window.connect("close-request", lambda *_: loop.quit() or False)
        window.present()

        def focused():
            focus = window.get_focus()
            return window.is_active() and focus is not None and (focus == entry or focus.is_ancestor(entry))

    entry.grab_focus()
    if initial:
        entry.set_text(initial)
        entry.set_position(-1)
    state = {"active": False}

    def poll():
        now = focused()
        if now != state["active"]:
            state["active"] = now
            say("ready" if now else "inactive")
        return True

    GLib.timeout_add(10, poll)

    def stdin_closed(*_):
        loop.quit()
        return False

    GLib.io_add_watch(GLib.IOChannel.unix_new(0), GLib.PRIORITY_DEFAULT, GLib.IOCondition.HUP | GLib.IOCondition.IN,
                      lambda ch, cond: stdin_closed() if not os.read(0, 4096) else True)
    loop.run()


def run_tk():
    import tkinter

    root = tkinter.Tk(className="quillory-tk-target")
    root.title("tk paste target")
    value = tkinter.StringVar()
    entry = tkinter.Entry(root, textvariable=value, width=40)
    entry.pack(padx=4, pady=4)
    value.trace_add("write", lambda *_: say(line_for(value.get())))
    entry.focus_set()
    state = {"active": False}

    def poll():
        now = root.focus_get() is entry
        if now != state["active"]:
            state["active"] = now
            say("ready" if now else "inactive")
        root.after(10, poll)

    def on_stdin(fd, mask):
        if not os.read(fd, 4096):
            root.destroy()

    root.tk.createfilehandler(0, tkinter.READABLE, on_stdin)
    root.after(10, poll)
    root.mainloop()


def run_tty(report_path):
    import termios
    import tty

    report = open(report_path, "a", buffering=1, encoding="ascii")
    fd = sys.stdin.fileno()
    saved = termios.tcgetattr(fd)
    tty.setraw(fd)
    os.write(sys.stdout.fileno(), b"\x1b[?2004h")  # bracketed paste, as shells turn it on
    report.write("ready\n")
    received = b""
    text = b""
    pastes = 0
    try:
        while True:
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            received += chunk
            report.write("raw %s\n" % base64.b64encode(chunk).decode("ascii"))
            # Take the markers out of everything so far (a marker may straddle two reads).
            count = received.count(b"\x1b[200~")
            while pastes < count:
                pastes += 1
                report.write("paste %d\n" % pastes)
            stripped = received.replace(b"\x1b[200~", b"").replace(b"\x1b[201~", b"")
            if stripped != text:
                text = stripped
                report.write("text %d %s\n" % (time.monotonic_ns(), base64.b64encode(text).decode("ascii")))
    finally:
        termios.tcsetattr(fd, termios.TCSADRAIN, saved)


def main():
    args = sys.argv[1:]
    if not args:
        sys.exit(__doc__)
    mode = args[0]
    if mode in ("gtk3", "gtk4"):
        initial = args[args.index("--text") + 1] if "--text" in args else ""
        run_gtk(int(mode[3]), "--password" in args, initial)
    elif mode == "tk":
        run_tk()
    elif mode == "tty" and len(args) == 2:
        run_tty(args[1])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
