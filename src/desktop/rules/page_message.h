// The text messages that pages shown in the desktop windows post to the
// host, parsed into commands. Pure functions: no toolkit, no I/O.
#pragma once

#include <string>

enum class PageCommand {
    Ignored,
    DragStart,
    Resize,
    Maximize,
    Minimize,
    Close,
    NavBack,
    NavForward,
    RegistrationComplete,
    OpenExternal,
    OpenFolder,
};

// Window edges a resize starts from.
enum class WindowEdge { None, Left, Right, Top, Bottom, TopLeft, TopRight, BottomLeft, BottomRight };

struct PageMessage {
    PageCommand command = PageCommand::Ignored;
    WindowEdge edge = WindowEdge::None;  // Resize only
    std::string target;                  // OpenExternal and OpenFolder only
};

// Matches `text` exactly and case-sensitively: "dragstart", "resize:" + edge
// ("left", "right", "top", "bottom", "topleft", "topright", "bottomleft",
// "bottomright"), "maximize", "minimize", "close", "navBack", "navForward",
// "registration_complete", "openExternal:" + target, "openFolder:" + target.
// Anything else, an unknown edge included, is Ignored.
PageMessage parsePageMessage(const std::string& text);

// The hit-test code of the design's window procedure for an edge (10 left,
// 11 right, 12 top, 13 top-left, 14 top-right, 15 bottom, 16 bottom-left,
// 17 bottom-right), 0 for None. Used in log lines.
int edgeHitTestCode(WindowEdge edge);
