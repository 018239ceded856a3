// kv-trayhost: a bare notification area for tests on an X server without a desktop.
//
// Owns the "_NET_SYSTEM_TRAY_S<screen>" selection with a small strip at the bottom-right corner
// of the screen, announces itself to the root window and embeds every icon that asks to be docked,
// side by side, 24 pixels apart. It tells the test what happens on standard output, one line each:
//   "ready X Y"     the strip's top-left corner on the screen (icon n sits at X + 1 + 24 * n, Y + 1)
//   "dock ID"       an icon window was embedded
//   "undock ID"     an embedded icon went away (destroyed, unmapped or taken back)
// It runs until it is killed or the X connection breaks.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const long SystemTrayRequestDock = 0;
const long XEmbedEmbeddedNotify = 0;
const int IconSize = 22;
const int Slot = 24;
const int StripWidth = 8 * Slot;
const int StripHeight = Slot;

std::vector<Window> icons;

int ignoreErrors(Display *, XErrorEvent *) {
    // An icon may vanish between its request and our reparenting: not our business.
    return 0;
}

// A 32-bit client message about `about`, sent to `to` and flushed.
void sendMessage(Display *display, Window to, Window about, Atom type, long mask, long l1, long l2, long l3) {
    XClientMessageEvent message;
    std::memset(&message, 0, sizeof message);
    message.type = ClientMessage;
    message.window = about;
    message.message_type = type;
    message.format = 32;
    message.data.l[0] = CurrentTime;
    message.data.l[1] = l1;
    message.data.l[2] = l2;
    message.data.l[3] = l3;
    XSendEvent(display, to, False, mask, reinterpret_cast<XEvent *>(&message));
    XSync(display, False);
}

void forget(Window icon) {
    for (size_t i = 0; i < icons.size(); ++i) {
        if (icons[i] == icon) {
            icons.erase(icons.begin() + long(i));
            std::printf("undock %lu\n", icon);
            std::fflush(stdout);
            return;
        }
    }
}

} // namespace

int main() {
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "kv-trayhost: cannot open the display\n");
        return 1;
    }
    XSetErrorHandler(ignoreErrors);
    const int screen = DefaultScreen(display);
    const Window root = RootWindow(display, screen);
    const int x = DisplayWidth(display, screen) - StripWidth;
    const int y = DisplayHeight(display, screen) - StripHeight;

    XSetWindowAttributes attributes;
    std::memset(&attributes, 0, sizeof attributes);
    attributes.override_redirect = True;
    attributes.background_pixel = 0x3b2c5e;
    attributes.event_mask = SubstructureNotifyMask | StructureNotifyMask;
    const Window strip =
        XCreateWindow(display, root, x, y, StripWidth, StripHeight, 0, CopyFromParent, InputOutput,
                      CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask, &attributes);
    XMapRaised(display, strip);

    char selectionName[64];
    std::snprintf(selectionName, sizeof selectionName, "_NET_SYSTEM_TRAY_S%d", screen);
    const Atom selection = XInternAtom(display, selectionName, False);
    const Atom opcode = XInternAtom(display, "_NET_SYSTEM_TRAY_OPCODE", False);
    const Atom orientation = XInternAtom(display, "_NET_SYSTEM_TRAY_ORIENTATION", False);
    const Atom manager = XInternAtom(display, "MANAGER", False);
    const Atom xembed = XInternAtom(display, "_XEMBED", False);

    const long horizontal = 0;
    XChangeProperty(display, strip, orientation, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(&horizontal), 1);

    XSetSelectionOwner(display, selection, strip, CurrentTime);
    if (XGetSelectionOwner(display, selection) != strip) {
        std::fprintf(stderr, "kv-trayhost: another notification area owns %s\n", selectionName);
        return 1;
    }

    sendMessage(display, root, root, manager, StructureNotifyMask, long(selection), long(strip), 0);
    std::printf("ready %d %d\n", x, y);
    std::fflush(stdout);

    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        switch (event.type) {
        case ClientMessage: {
            const XClientMessageEvent &message = event.xclient;
            if (message.message_type != opcode || message.data.l[1] != SystemTrayRequestDock)
                break;
            const Window icon = Window(message.data.l[2]);
            bool known = false;
            for (Window w : icons)
                known |= w == icon;
            if (known)
                break;
            const int slot = int(icons.size());
            icons.push_back(icon);
            XReparentWindow(display, icon, strip, 1 + slot * Slot, 1);
            XResizeWindow(display, icon, IconSize, IconSize);
            XMapRaised(display, icon);

            sendMessage(display, icon, icon, xembed, NoEventMask, XEmbedEmbeddedNotify, 0, long(strip));
            std::printf("dock %lu\n", icon);
            std::fflush(stdout);
            break;
        }
        case DestroyNotify:
            forget(event.xdestroywindow.window);
            break;
        case UnmapNotify:
            if (event.xunmap.event == strip)
                forget(event.xunmap.window);
            break;
        case ReparentNotify:
            if (event.xreparent.parent != strip)
                forget(event.xreparent.window);
            break;
        default:
            break;
        }
    }
}
