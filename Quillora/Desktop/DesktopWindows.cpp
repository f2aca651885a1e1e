#include "Quillora/Desktop/DesktopWindows.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QWidget>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <xcb/xcb.h>

namespace DesktopWindows {

namespace {

xcb_connection_t* x11Connection() {
    const auto* x11 =
        qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 != nullptr ? x11->connection() : nullptr;
}

xcb_atom_t atom(xcb_connection_t* connection, const char* name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    const xcb_atom_t result = reply != nullptr ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    std::free(reply);
    return result;
}

// The screen number of the display the program runs on (":0.1" is screen 1).
int screenNumber() {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr) {
        return 0;
    }
    const char* dot = std::strrchr(display, '.');
    const char* colon = std::strrchr(display, ':');
    return dot != nullptr && colon != nullptr && dot > colon ? std::atoi(dot + 1) : 0;
}

xcb_window_t rootWindow(xcb_connection_t* connection) {
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int index = screenNumber(); index > 0 && screens.rem > 1; --index) {
        xcb_screen_next(&screens);
    }
    return screens.data != nullptr ? screens.data->root : static_cast<xcb_window_t>(XCB_WINDOW_NONE);
}

void sendToWindowManager(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t type,
                         const std::array<uint32_t, 5>& data) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = type;
    std::memcpy(event.data.data32, data.data(), sizeof(event.data.data32));
    xcb_send_event(connection, 0, rootWindow(connection),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
}

} // namespace

bool compositingActive() {
    static QElapsedTimer lastAsked;
    static bool active = true;
    if (lastAsked.isValid() && lastAsked.elapsed() < 2000) {
        return active;
    }
    lastAsked.start();
    xcb_connection_t* connection = x11Connection();
    if (connection == nullptr) {
        active = true;
        return active;
    }
    const std::string name = "_NET_WM_CM_S" + std::to_string(screenNumber());
    const xcb_atom_t selection = atom(connection, name.c_str());
    xcb_get_selection_owner_reply_t* owner =
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr);
    active = owner != nullptr && owner->owner != XCB_WINDOW_NONE;
    std::free(owner);
    return active;
}

void keepOnEveryWorkspace(QWidget& window) {
    xcb_connection_t* connection = x11Connection();
    if (connection == nullptr) {
        return;
    }
    const auto id = static_cast<xcb_window_t>(window.winId());
    const xcb_atom_t desktop = atom(connection, "_NET_WM_DESKTOP");
    const xcb_atom_t state = atom(connection, "_NET_WM_STATE");
    const std::array<xcb_atom_t, 4> wanted{
        atom(connection, "_NET_WM_STATE_STICKY"), atom(connection, "_NET_WM_STATE_ABOVE"),
        atom(connection, "_NET_WM_STATE_SKIP_TASKBAR"), atom(connection, "_NET_WM_STATE_SKIP_PAGER")};
    constexpr uint32_t everyDesktop = 0xFFFFFFFF;
    if (!window.isVisible()) {
        // Read by the window manager when the window is mapped (Qt keeps the states already there).
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, desktop, XCB_ATOM_CARDINAL, 32, 1,
                            &everyDesktop);
        xcb_change_property(connection, XCB_PROP_MODE_APPEND, id, state, XCB_ATOM_ATOM, 32,
                            static_cast<uint32_t>(wanted.size()), wanted.data());
    } else {
        constexpr uint32_t add = 1;
        constexpr uint32_t fromApplication = 1;
        sendToWindowManager(connection, id, desktop, {everyDesktop, fromApplication, 0, 0, 0});
        sendToWindowManager(connection, id, state, {add, wanted[0], wanted[1], fromApplication, 0});
        sendToWindowManager(connection, id, state, {add, wanted[2], wanted[3], fromApplication, 0});
    }
    xcb_flush(connection);
}

} // namespace DesktopWindows
