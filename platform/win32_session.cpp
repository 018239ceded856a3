#include "platform/win32calls.h"

#include <windows.h>

namespace Win32 {

SessionMessage sessionMessage(const void *message) {
    const MSG *msg = static_cast<const MSG *>(message);
    if (msg->message == WM_QUERYENDSESSION)
        return SessionMessage::Query;
    // A false wParam: another program refused, the session goes on.
    if (msg->message == WM_ENDSESSION && msg->wParam != 0)
        return SessionMessage::Ending;
    return SessionMessage::Other;
}

} // namespace Win32
