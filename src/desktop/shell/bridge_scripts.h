// The scripts the desktop windows add to their pages.
#pragma once

// The name of the script message handler that carries page messages.
inline constexpr const char kPageMessageHandler[] = "brisvane";

// Runs at the start of every top-level document: defines
// window.chrome.webview.postMessage, the page-side post function the web
// application uses, on top of the handler above.
const char* pageBridgeScript();

// Run after each finished navigation of a window shown with the title bar:
// prepends the "appTitlebar" bar (drag region, minimise, maximise, close)
// unless the page already has one.
const char* titleBarScript();
