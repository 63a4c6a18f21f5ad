#!/usr/bin/python3
"""What a process shows over the accessibility bus, for the desktop tests that drive the real app
(Debian's python3 with python3-gi and gir1.2-atspi-2.0).

  atspi_probe.py dump PID          one line per showing object: "<role>\t<name>\t<description>"
                                   (a Qt widget's description is its tooltip)
  atspi_probe.py press PID NAME    runs the first action of the showing push button named NAME;
                                   exits 1 when there is none
"""
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def application(pid):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        try:
            if app is not None and app.get_process_id() == pid:
                return app
        except Exception:  # an application that went away meanwhile
            continue
    return None


def showing(node, depth=0):
    if node is None or depth > 60:
        return
    try:
        states = node.get_state_set()
        if depth > 1 and not states.contains(Atspi.StateType.SHOWING):
            return
        yield node
        for i in range(node.get_child_count()):
            yield from showing(node.get_child_at_index(i), depth + 1)
    except Exception:  # the widget was destroyed while we walked
        return


def main(argv):
    if len(argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    app = application(int(argv[2]))
    if app is None:
        return 1
    if argv[1] == "dump":
        for node in showing(app):
            name = (node.get_name() or "").replace("\n", " ")
            description = (node.get_description() or "").replace("\n", " ")
            sys.stdout.write("%s\t%s\t%s\n" % (node.get_role_name(), name, description))
        return 0
    if argv[1] == "press" and len(argv) > 3:
        for node in showing(app):
            if node.get_role() == Atspi.Role.PUSH_BUTTON and node.get_name() == argv[3]:
                action = node.get_action_iface()
                if action is not None and action.do_action(0):
                    return 0
        return 1
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
