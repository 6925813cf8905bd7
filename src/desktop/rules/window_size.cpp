#include "desktop/rules/window_size.h"

WindowSize scaleForDpi(WindowSize size, double dpi) {
    if (dpi <= 0) dpi = 96;
    return {static_cast<int>(size.width * dpi / 96.0), static_cast<int>(size.height * dpi / 96.0)};
}

WindowPosition centredOn(WindowSize screen, WindowSize size) {
    return {(screen.width - size.width) / 2, (screen.height - size.height) / 2};
}
