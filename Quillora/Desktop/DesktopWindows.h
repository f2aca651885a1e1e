#pragma once

class QWidget;

// What the panels need to know of, and ask from, the X11 window system. On other window systems (Wayland,
// the offscreen platform of the tests) these answer as a composited desktop would and do nothing.
namespace DesktopWindows {

// Whether a compositing manager runs (it owns the _NET_WM_CM_S<screen> selection): only then do the
// transparent pixels of a panel show what is behind it; without one they come out black. Asked at most
// every two seconds, as the panels repaint often.
bool compositingActive();

// Puts a panel on every workspace and above ordinary windows: before it is shown, in its own window
// properties; once shown, by asking the window manager.
void keepOnEveryWorkspace(QWidget& window);

} // namespace DesktopWindows
