"""A minimal X11 clipboard manager for tests.

Usage: clipboard_manager.py [--lifetime SECONDS] [--hold TEXT]   (uses $DISPLAY)

Owns the CLIPBOARD_MANAGER selection and prints "READY" once it does. It
leaves CLIPBOARD alone while its owner lives. Only when the owner asks it to
convert SAVE_TARGETS (as an application does on its way out) does it fetch
the owner's text targets, take CLIPBOARD, answer the request and print
"SAVED <target> ..." with the targets it stored. From then on it serves
TARGETS and the stored targets to anyone who asks. It ends when killed, or
after --lifetime seconds (default 300) so it never outlives a broken test.
Short texts only: an INCR transfer is not followed.

With --hold TEXT it is instead a program that will not let the clipboard
go: it owns CLIPBOARD from the start, serves TEXT, takes CLIPBOARD back at
once whenever someone else takes it (without looking at their text) and
prints "READY" once it owns it. Nobody else's text stays on the clipboard.
"""

import argparse
import select
import sys
import time

from Xlib import X, Xatom, display
from Xlib.protocol import event as xevent

# Text forms worth keeping; whichever of them the owner offers is stored.
TEXT_TARGETS = ("UTF8_STRING", "text/plain;charset=utf-8", "text/plain", "STRING", "TEXT")
# Each conversion asked of the owner must come back within this time.
FETCH_TIMEOUT = 2.0


class Manager:
    def __init__(self):
        self.d = display.Display()
        self.atom = lambda name: self.d.intern_atom(name)
        self.win = self.d.screen().root.create_window(
            0, 0, 1, 1, 0, X.CopyFromParent, event_mask=X.PropertyChangeMask)
        self.stored = {}  # target atom -> (type atom, format, value)
        self.holding = False

    def hold(self, text):
        data = text.encode()
        self.stored = {self.atom("UTF8_STRING"): (self.atom("UTF8_STRING"), 8, data),
                       Xatom.STRING: (Xatom.STRING, 8, data)}
        self.holding = True
        return self.take(self.atom("CLIPBOARD"), self.server_time())

    def next_event(self, deadline):
        """The next event, or None once the deadline (monotonic) has passed."""
        while not self.d.pending_events():
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            select.select([self.d], [], [], left)
        return self.d.next_event()

    def wait_for(self, match, timeout):
        """Waits for an event that match() accepts. Selection requests that
        come in meanwhile are answered, so a peer waiting on us is not stuck."""
        deadline = time.monotonic() + timeout
        while True:
            e = self.next_event(deadline)
            if e is None or match(e):
                return e
            self.handle(e)

    def server_time(self):
        # Selection ownership wants a real server timestamp, not CurrentTime:
        # a zero-length append to our own window yields one.
        self.win.change_property(self.atom("_KELM_STAMP"), Xatom.STRING, 8, b"",
                                 mode=X.PropModeAppend)
        e = self.wait_for(lambda e: e.type == X.PropertyNotify and e.window == self.win, 5)
        return e.time if e else X.CurrentTime

    def take(self, selection, when):
        self.win.set_selection_owner(selection, when)
        return self.d.get_selection_owner(selection) == self.win

    def fetch(self, target, when):
        """Converts CLIPBOARD to target into a property of our window; returns
        (type, format, value) or None if the owner refused or did not answer."""
        prop = self.atom("_KELM_FETCH")
        self.win.delete_property(prop)
        self.win.convert_selection(self.atom("CLIPBOARD"), target, prop, when)
        e = self.wait_for(lambda e: e.type == X.SelectionNotify and e.requestor == self.win,
                          FETCH_TIMEOUT)
        if e is None or e.property == X.NONE:
            return None
        reply = self.win.get_full_property(prop, X.AnyPropertyType)
        self.win.delete_property(prop)
        if reply is None or reply.property_type == self.atom("INCR"):
            return None
        return reply.property_type, reply.format, reply.value

    def save(self, request):
        """Handles SAVE_TARGETS: store the owner's text, then own CLIPBOARD."""
        # The requestor may name the targets to save; none named means all.
        wanted = None
        if request.property != X.NONE:
            named = request.requestor.get_full_property(request.property, Xatom.ATOM)
            if named is not None and len(named.value):
                wanted = list(named.value)
        if wanted is None:
            offered = self.fetch(self.atom("TARGETS"), request.time)
            wanted = list(offered[2]) if offered else []
        texts = {self.atom(name) for name in TEXT_TARGETS}
        stored = {}
        for target in wanted:
            if target in texts:
                got = self.fetch(target, request.time)
                if got is not None:
                    stored[target] = got
        ok = bool(stored) and self.take(self.atom("CLIPBOARD"), self.server_time())
        if ok:
            self.stored = stored
            names = " ".join(self.d.get_atom_name(t) for t in stored)
            print("SAVED " + names, flush=True)
        # Success is a zero-length property of type NULL; failure is no property.
        if ok and request.property != X.NONE:
            request.requestor.change_property(request.property, self.atom("NULL"), 32, [])
        self.notify(request, request.property if ok else X.NONE)

    def serve(self, request):
        """Answers a conversion of CLIPBOARD from what was stored."""
        # Old clients pass no property; the target then names it.
        prop = request.property if request.property != X.NONE else request.target
        if request.target == self.atom("TARGETS"):
            targets = [self.atom("TARGETS")] + list(self.stored)
            request.requestor.change_property(prop, Xatom.ATOM, 32, targets)
        elif request.target in self.stored:
            kind, fmt, value = self.stored[request.target]
            request.requestor.change_property(prop, kind, fmt, value)
        else:
            prop = X.NONE
        self.notify(request, prop)

    def notify(self, request, prop):
        reply = xevent.SelectionNotify(time=request.time, requestor=request.requestor,
                                       selection=request.selection, target=request.target,
                                       property=prop)
        request.requestor.send_event(reply)
        self.d.flush()

    def handle(self, e):
        if e.type == X.SelectionRequest:
            if (e.selection == self.atom("CLIPBOARD_MANAGER")
                    and e.target == self.atom("SAVE_TARGETS")):
                self.save(e)
            elif e.selection == self.atom("CLIPBOARD") and self.stored:
                self.serve(e)
            else:
                self.notify(e, X.NONE)
        elif e.type == X.SelectionClear and e.atom == self.atom("CLIPBOARD"):
            if self.holding:
                # The display's own time: the newest, so the take cannot lose.
                self.take(self.atom("CLIPBOARD"), X.CurrentTime)
            else:
                # Someone else took the clipboard: what we kept is no longer it.
                self.stored = {}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lifetime", type=float, default=300)
    parser.add_argument("--hold", metavar="TEXT")
    args = parser.parse_args()
    m = Manager()
    if args.hold is not None:
        if not m.hold(args.hold):
            print("could not take the clipboard", file=sys.stderr)
            return 1
    elif not m.take(m.atom("CLIPBOARD_MANAGER"), m.server_time()):
        print("another clipboard manager is running", file=sys.stderr)
        return 1
    print("READY", flush=True)
    end = time.monotonic() + args.lifetime
    while True:
        e = m.next_event(end)
        if e is None:
            return 0
        m.handle(e)


if __name__ == "__main__":
    sys.exit(main())
