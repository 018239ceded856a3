// kv-e2e-wm: the smallest window manager the end-to-end scenarios need on a bare Xvfb display.
// It maps and configures windows exactly as asked (no frames, no reparenting, no focus changes) and
// honours the ICCCM iconify request, so "minimise" really takes a window off the screen and a later
// map request brings it back. It ends on SIGTERM or when the display goes away.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>

namespace {

volatile std::sig_atomic_t stopRequested = 0;
bool anotherWm = false;

int onStartupError(Display *, XErrorEvent *) {
    anotherWm = true;
    return 0;
}

// Requests about windows that vanished in the meantime are not worth dying for.
int onError(Display *display, XErrorEvent *e) {
    char text[128] = {0};
    XGetErrorText(display, e->error_code, text, sizeof text - 1);
    std::fprintf(stderr, "kv-e2e-wm: X error ignored: %s (request %d)\n", text, e->request_code);
    return 0;
}

void setWmState(Display *display, Window w, long state, Atom wmState) {
    long data[2] = {state, None};
    XChangeProperty(display, w, wmState, wmState, 32, PropModeReplace,
                    reinterpret_cast<unsigned char *>(data), 2);
}

} // namespace

int main() {
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "kv-e2e-wm: cannot open the display\n");
        return 1;
    }
    std::signal(SIGTERM, [](int) { stopRequested = 1; });
    std::signal(SIGINT, [](int) { stopRequested = 1; });

    const Window root = DefaultRootWindow(display);
    XSetErrorHandler(onStartupError);
    XSelectInput(display, root, SubstructureRedirectMask | SubstructureNotifyMask);
    XSync(display, False);
    if (anotherWm) {
        std::fprintf(stderr, "kv-e2e-wm: another window manager runs on this display\n");
        return 1;
    }
    XSetErrorHandler(onError);

    const Atom wmState = XInternAtom(display, "WM_STATE", False);
    const Atom wmChangeState = XInternAtom(display, "WM_CHANGE_STATE", False);
    std::printf("kv-e2e-wm: running\n");
    std::fflush(stdout);

    pollfd pfd{ConnectionNumber(display), POLLIN, 0};
    while (!stopRequested) {
        if (XPending(display) == 0) {
            // Wake up now and then so a SIGTERM is seen even without X traffic.
            if (poll(&pfd, 1, 200) < 0 && !stopRequested)
                continue;
            if (pfd.revents & (POLLERR | POLLHUP))
                break;
            if (XPending(display) == 0)
                continue;
        }
        XEvent e;
        XNextEvent(display, &e);
        switch (e.type) {
        case MapRequest:
            XMapWindow(display, e.xmaprequest.window);
            setWmState(display, e.xmaprequest.window, NormalState, wmState);
            break;
        case ConfigureRequest: {
            XWindowChanges c;
            std::memset(&c, 0, sizeof c);
            c.x = e.xconfigurerequest.x;
            c.y = e.xconfigurerequest.y;
            c.width = e.xconfigurerequest.width;
            c.height = e.xconfigurerequest.height;
            c.border_width = e.xconfigurerequest.border_width;
            c.sibling = e.xconfigurerequest.above;
            c.stack_mode = e.xconfigurerequest.detail;
            XConfigureWindow(display, e.xconfigurerequest.window,
                             static_cast<unsigned>(e.xconfigurerequest.value_mask), &c);
            break;
        }
        case ClientMessage:
            if (e.xclient.message_type == wmChangeState && e.xclient.format == 32 &&
                e.xclient.data.l[0] == IconicState) {
                setWmState(display, e.xclient.window, IconicState, wmState);
                XUnmapWindow(display, e.xclient.window);
                std::printf("kv-e2e-wm: iconified 0x%lx\n", e.xclient.window);
                std::fflush(stdout);
            }
            break;
        default:
            break;
        }
        XFlush(display);
    }
    XCloseDisplay(display);
    return 0;
}
