#!/usr/bin/python3
"""The window as a screen reader meets it: names, roles, groups and label
relations over the accessibility bus; a release folder chosen in the picker
through the bus alone; the help window and a message box read as windows with text.

    atspi_test.py path/to/firmware-update
"""

import importlib.util
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop_session as ds  # noqa: E402


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def descendants(acc, depth=0):
    """The accessible tree below `acc`, not into a tree view's items."""
    if depth > 12:
        return
    for i in range(acc.childCount):
        child = acc.getChildAtIndex(i)
        if child is None:
            continue
        yield child
        if child.getRoleName() not in ("tree", "tree table", "table"):
            yield from descendants(child, depth + 1)


def find(root, role, name):
    for acc in descendants(root):
        if acc.getRoleName() == role and acc.name == name:
            return acc
    return None


def one(root, role, name):
    return ds.wait_for("%s '%s'" % (role, name), lambda: find(root, role, name), timeout=10)


def text_of(acc):
    return acc.queryText().getText(0, -1)


def texts_below(acc):
    """Every name and text of `acc` and below, as a reader would speak them."""
    parts = [acc.name or ""]
    for child in descendants(acc):
        parts.append(child.name or "")
        try:
            parts.append(text_of(child))
        except NotImplementedError:
            pass
    return "\n".join(parts)


def press(acc):
    action = acc.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    check(names, "'%s' offers no action" % acc.name)
    index = names.index("Press") if "Press" in names else 0
    check(action.doAction(index), "'%s' refused its action" % acc.name)


def related(acc, kind):
    targets = []
    for relation in acc.getRelationSet():
        if relation.getRelationType() == kind:
            targets += [relation.getTarget(i) for i in range(relation.getNTargets())]
    return targets


def titles(app):
    return [c.name for c in (app.getChildAtIndex(i) for i in range(app.childCount)) if c]


def window_of(app, title, roles=("dialog", "frame", "alert", "window")):
    def probe():
        for i in range(app.childCount):
            child = app.getChildAtIndex(i)
            if child is not None and child.name == title and (
                    roles is None or child.getRoleName() in roles):
                return child
        return None
    return ds.wait_for("window '%s' on the accessibility bus" % title, probe)


# Each control of the main window, by role and name, with the key that
# reaches it, which its description names.
CONTROLS = (("text", "Release Directory", "Alt+R"), ("push button", "Browse", "Alt+B"),
            ("combo box", "Visa Instrument", "Alt+V"), ("check box", "Host", "Alt+H"),
            ("check box", "Host Recovery", "Alt+E"), ("check box", "Host BootROM", "Alt+O"),
            ("check box", "UBL", "Alt+U"), ("push button", "Upgrade", "Alt+P"),
            ("push button", "Close", "Alt+C"), ("text", "Log", "Alt+L"),
            ("progress bar", "Progress", None))
GROUPS = {"Host": "Select Images to Upgrade", "Host Recovery": "Advanced Options",
          "Host BootROM": "Advanced Options", "UBL": "Advanced Options"}


def check_main_window(pyatspi, app, main, release):
    found = {}
    for role, name, key in CONTROLS:
        found[name] = acc = one(main, role, name)
        if key:
            check(key in (acc.description or ""),
                  "'%s' does not describe its key %s: %r" % (name, key, acc.description))
    check(find(found["Visa Instrument"], "text", "Visa Instrument"),
          "the instrument combo box's own text field has no name")
    check(not found["Log"].getState().contains(pyatspi.STATE_EDITABLE), "the log is editable")
    for box, group in GROUPS.items():
        acc = found[box]
        check(acc.parent.name == group,
              "check box '%s' is a child of '%s', not of '%s'" % (box, acc.parent.name, group))
        check(not acc.getState().contains(pyatspi.STATE_ENABLED),
              "'%s' is enabled before a release was chosen" % box)
    for label in ("Release Directory", "Visa Instrument"):
        field = found[label]
        labels = related(field, pyatspi.RELATION_LABELLED_BY)
        check([a.name for a in labels if a.getRoleName() == "label"] == [label],
              "'%s' is labelled by %s" % (label, [a.name for a in labels]))
        targets = related(labels[0], pyatspi.RELATION_LABEL_FOR)
        check(any(t.name == label and t.getRoleName() == field.getRoleName() for t in targets),
              "label '%s' is not a label for its field" % label)


def pick_release_over_the_bus(pyatspi, app, main, release):
    """Browse, the picker's tree moved from the remembered folder to its
    child by the bus alone, then OK."""
    edit = one(main, "text", "Release Directory")
    press(one(main, "push button", "Browse"))
    picker = window_of(app, "Select Release Directory")
    tree = one(picker, "tree", "Folders")
    one(picker, "label", release.base + "/")

    def item(name):
        for i in range(tree.childCount):
            child = tree.getChildAtIndex(i)
            if child is not None and child.name == name:
                return i, child
        return None

    start = ds.wait_for("the remembered folder's item", lambda: item("base"))
    check(start[1].getState().contains(pyatspi.STATE_SELECTED),
          "the picker did not open with the remembered folder selected")
    ds.wait_for("the picker's tree to hold the focus",
                lambda: tree.getState().contains(pyatspi.STATE_FOCUSED), timeout=5)
    index, rel = ds.wait_for("the release folder's item", lambda: item("rel"))
    # Toolkits without a Selection interface on trees offer the table's rows.
    try:
        selected = tree.querySelection().selectChild(index)
    except NotImplementedError:
        table = tree.queryTable()
        selected = table.addRowSelection(table.getRowAtIndex(index))
    check(selected, "the tree refused to select 'rel'")
    ds.wait_for("the picker's path to follow the selection to 'rel'",
                lambda: find(picker, "label", release.rel + "/"), timeout=5)
    check(rel.getState().contains(pyatspi.STATE_SELECTED), "'rel' is not selected")
    press(one(picker, "push button", "OK"))
    ds.wait_for("the release directory in its field",
                lambda: text_of(edit) == release.rel + "/")
    host = one(main, "check box", "Host")
    ds.wait_for("Host ticked after Browse", lambda: host.getState().contains(
        pyatspi.STATE_CHECKED) and host.getState().contains(pyatspi.STATE_ENABLED))


def check_keys_and_tab_order(pyatspi, app, main, release):
    """Real key presses, the focus read back over the bus: the Alt keys reach
    their controls, and Tab walks the template's order, all boxes enabled."""
    def focused():
        # A control and its inner parts (a viewport, a combo box's field)
        # may all say they hold it.
        return [a.name for a in descendants(main) if a.getState().contains(
            pyatspi.STATE_FOCUSED) and a.name]

    def expect_focus(name, after):
        try:
            ds.wait_for("", lambda: name in focused(), timeout=5)
        except AssertionError:
            raise AssertionError("the focus is on %s after %s, not on '%s'" %
                                 (focused(), after, name))

    ds.focus(ds.find_window(ds.MAIN_TITLE))
    for key, name in (("alt+l", "Log"), ("alt+v", "Visa Instrument"),
                      ("alt+r", "Release Directory")):
        ds.keys(key)
        expect_focus(name, key)
    for name in ("Browse", "Visa Instrument", "Host", "Host Recovery", "Host BootROM", "UBL",
                 "Upgrade", "Close", "Release Directory"):
        ds.keys("Tab")
        expect_focus(name, "Tab")
    host = one(main, "check box", "Host")
    ds.keys("alt+h")
    ds.wait_for("Alt+H to untick Host",
                lambda: not host.getState().contains(pyatspi.STATE_CHECKED), timeout=5)
    ds.keys("alt+h")
    ds.wait_for("Alt+H to tick Host again",
                lambda: host.getState().contains(pyatspi.STATE_CHECKED), timeout=5)


def check_message_box(pyatspi, app, main, release):
    """Upgrade without an instrument: the error box is read as a dialog."""
    press(one(main, "push button", "Upgrade"))
    box = window_of(app, "Error", ("dialog", "alert"))
    words = texts_below(box)
    check("Please select VISA instrument or" in words and "enter IP address." in words,
          "the message box reads: " + words)
    press(one(box, "push button", "OK"))
    ds.wait_for("the message box to close", lambda: "Error" not in titles(app))


def check_about_and_help(pyatspi, app, main, release):
    main_window = ds.find_window(ds.MAIN_TITLE)
    ds.focus(main_window)
    ds.keys("alt+a")
    about = window_of(app, "About Firmware Upgrade", ("dialog", "alert"))
    check("Version 1.1" in texts_below(about), "the About box does not read its version")
    ds.keys("Escape")
    ds.wait_for("the About box to close", lambda: "About Firmware Upgrade" not in titles(app))
    ds.focus(main_window)
    ds.keys("F1")
    help_window = window_of(app, "Firmware Upgrade Help", ("dialog", "frame", "window"))
    # A read-only text view may read as a label; either way it has text.
    view = ds.wait_for("the help text", lambda: find(help_window, "text", "Help text") or
                       find(help_window, "label", "Help text"), timeout=5)
    check(not view.getState().contains(pyatspi.STATE_EDITABLE), "the help text is editable")
    words = text_of(view)
    for shortcut in ("Alt+B", "Alt+P", "F1"):
        check(shortcut in words, "the help text does not mention " + shortcut)


def check_picker_with_nothing_selected(pyatspi, app, main, release):
    """A remembered folder that matches nothing: the tree still holds the
    focus, nothing in it is selected, OK is off, and Cancel changes nothing."""
    with open(os.path.join(release.config, "firmware-update", "settings.conf"), "w") as f:
        f.write(ds.SETTINGS_KEY + "\nReleaseDirectory=Invalid directory\n")
    press(one(main, "push button", "Browse"))
    picker = window_of(app, "Select Release Directory")
    tree = one(picker, "tree", "Folders")
    ds.wait_for("the picker's tree to hold the focus",
                lambda: tree.getState().contains(pyatspi.STATE_FOCUSED), timeout=5)
    selected = [c.name for c in (tree.getChildAtIndex(i) for i in range(tree.childCount))
                if c and c.getState().contains(pyatspi.STATE_SELECTED)]
    check(selected == [], "selected in the tree: %s" % selected)
    check(not one(picker, "push button", "OK").getState().contains(pyatspi.STATE_ENABLED),
          "OK is enabled with nothing selected")
    one(picker, "label", "<dir>")
    press(one(picker, "push button", "Cancel"))
    ds.wait_for("the picker to close", lambda: "Select Release Directory" not in titles(app))
    check(text_of(one(main, "text", "Release Directory")) == release.rel + "/",
          "Cancel changed the release directory")


def check_all(procs, release):
    program = sys.argv[1]
    import pyatspi

    app_proc = ds.start_program(procs, program, release, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    desktop = pyatspi.Registry.getDesktop(0)

    def find_app():
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is not None and app.get_process_id() == app_proc.pid:
                return app
        return None
    app = ds.wait_for("the program on the accessibility registry", find_app, 30)
    main = window_of(app, ds.MAIN_TITLE)
    # Each part on its own, so that one missing piece does not hide the rest.
    failed = []
    for part in (check_main_window, pick_release_over_the_bus, check_keys_and_tab_order,
                 check_message_box, check_about_and_help,
                 check_picker_with_nothing_selected):
        try:
            part(pyatspi, app, main, release)
            print("passed: " + part.__name__)
        except AssertionError as failure:
            print("FAILED: %s: %s" % (part.__name__, failure))
            failed.append(part.__name__)
    # A modal box a failed part left open would keep Close from acting.
    for title in ("Error", "About Firmware Upgrade", "Select Release Directory",
                  "Firmware Upgrade Help"):
        if not ds.gone(title):
            ds.focus(ds.find_window(title))
            ds.keys("Escape")
    press(one(main, "push button", "Close"))
    ds.wait_for("the program to end", lambda: app_proc.poll() is not None)
    check(app_proc.returncode == 0, "the program ended with %d" % app_proc.returncode)
    if failed:
        return 1
    print("atspi: all checks passed")
    return 0


def inner():
    return ds.run_desktop_test(check_all)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    ds.need("xdotool", "openbox", "xprop")
    if importlib.util.find_spec("pyatspi") is None:
        print("skipped: python3-pyatspi is not installed")
        sys.exit(ds.SKIP)
    if not os.path.exists("/usr/share/dbus-1/services/org.a11y.Bus.service"):
        print("skipped: at-spi2-core (the accessibility bus) is not installed")
        sys.exit(ds.SKIP)
    sys.exit(ds.run_in_session(inner))
