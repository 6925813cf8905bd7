// Window sizes are given in 96-DPI units and scaled by the system DPI.
#pragma once

struct WindowSize {
    int width = 0;
    int height = 0;
};

// width × dpi / 96 by height × dpi / 96, each product truncated; a dpi of 0
// or less counts as 96.
WindowSize scaleForDpi(WindowSize size, double dpi);

// The top-left corner that centres `size` on a screen of `screen`.
struct WindowPosition {
    int x = 0;
    int y = 0;
};
WindowPosition centredOn(WindowSize screen, WindowSize size);
