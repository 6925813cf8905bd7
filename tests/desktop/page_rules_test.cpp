// The rules of the desktop windows that need no display: page messages,
// which pages may post them, which targets they may open, window sizes.
#include <gtest/gtest.h>

#include "desktop/rules/page_message.h"
#include "desktop/rules/page_origin.h"
#include "desktop/rules/window_size.h"
#include "support/temp_dir.h"

namespace {

TEST(PageMessage, ExactCaseSensitiveMatches) {
    struct Case {
        const char* text;
        PageCommand command;
        WindowEdge edge;
        const char* target;
    };
    const Case cases[] = {
        {"dragstart", PageCommand::DragStart, WindowEdge::None, ""},
        {"resize:bottomright", PageCommand::Resize, WindowEdge::BottomRight, ""},
        {"resize:topleft", PageCommand::Resize, WindowEdge::TopLeft, ""},
        {"resize:left", PageCommand::Resize, WindowEdge::Left, ""},
        {"resize:", PageCommand::Ignored, WindowEdge::None, ""},
        {"resize:middle", PageCommand::Ignored, WindowEdge::None, ""},
        {"Resize:left", PageCommand::Ignored, WindowEdge::None, ""},
        {"resize:Left", PageCommand::Ignored, WindowEdge::None, ""},
        {"maximize", PageCommand::Maximize, WindowEdge::None, ""},
        {"minimize", PageCommand::Minimize, WindowEdge::None, ""},
        {"close", PageCommand::Close, WindowEdge::None, ""},
        {"close ", PageCommand::Ignored, WindowEdge::None, ""},
        {"navBack", PageCommand::NavBack, WindowEdge::None, ""},
        {"navback", PageCommand::Ignored, WindowEdge::None, ""},
        {"navForward", PageCommand::NavForward, WindowEdge::None, ""},
        {"registration_complete", PageCommand::RegistrationComplete, WindowEdge::None, ""},
        {"openExternal:https://a.example/x", PageCommand::OpenExternal, WindowEdge::None, "https://a.example/x"},
        {"openFolder:/tmp", PageCommand::OpenFolder, WindowEdge::None, "/tmp"},
        {"xopenFolder:/tmp", PageCommand::Ignored, WindowEdge::None, ""},
        {"", PageCommand::Ignored, WindowEdge::None, ""},
    };
    for (const Case& c : cases) {
        const PageMessage message = parsePageMessage(c.text);
        EXPECT_EQ(message.command, c.command) << c.text;
        EXPECT_EQ(message.edge, c.edge) << c.text;
        EXPECT_EQ(message.target, c.target) << c.text;
    }
    EXPECT_EQ(edgeHitTestCode(WindowEdge::BottomRight), 17);
    EXPECT_EQ(edgeHitTestCode(WindowEdge::Left), 10);
}

TEST(PageOrigin, OnlyTheLocalApplicationIsLocal) {
    const std::pair<const char*, bool> cases[] = {
        {"http://localhost:4092/app/", true},
        {"http://127.0.0.1:4092/runtime_status.html", true},
        {"http://LOCALHOST:4092/", true},
        {"http://localhost:4093/app/", false},
        {"http://localhost/app/", false},
        {"https://localhost:4092/", false},
        {"http://localhost.evil.example:4092/", false},
        {"http://evil.example/?http://localhost:4092/", false},
        {"http://user@localhost:4092/", false},
        {"http://127.0.0.2:4092/", false},
        {"file:///home/user/page.html", false},
        {"about:blank", false},
        {"", false},
    };
    for (const auto& [url, local] : cases) EXPECT_EQ(isLocalAppOrigin(url, 4092), local) << url;
    EXPECT_EQ(urlOrigin("https://Maker.Example:443/brisvane/register?x=1"), "https://maker.example");
    EXPECT_EQ(urlOrigin("http://maker.example:8080#a"), "http://maker.example:8080");
    EXPECT_EQ(urlOrigin("file:///tmp/x"), "");
    EXPECT_EQ(makeLocalUrl(4092, "/app/"), "http://localhost:4092/app/");
}

TEST(PageOrigin, ExternalTargets) {
    const std::pair<const char*, bool> urls[] = {
        {"https://example.org/a?b=c", true}, {"http://example.org", true},
        {"HTTPS://example.org/", true},      {"file:///etc/passwd", false},
        {"javascript:alert(1)", false},      {"https://", false},
        {"https://bad host/", false},        {"https://example.org/\nx", false},
        {"ftp://example.org/", false},       {"--help", false},
        {"https://example.org:99999/", false},
    };
    for (const auto& [url, ok] : urls) EXPECT_EQ(isWebUrl(url), ok) << url;

    TempDir dir;
    writeTextFile(dir.file("file.txt"), "x");
    EXPECT_TRUE(isExistingFolder(dir.path()));
    EXPECT_FALSE(isExistingFolder(dir.file("file.txt")));
    EXPECT_FALSE(isExistingFolder(dir.file("missing")));
    EXPECT_FALSE(isExistingFolder("tmp"));
    EXPECT_FALSE(isExistingFolder(""));
}

TEST(WindowSizeRule, ScaledByDpiAndCentred) {
    const WindowSize at96 = scaleForDpi({1080, 680}, 96);
    EXPECT_EQ(at96.width, 1080);
    EXPECT_EQ(at96.height, 680);
    const WindowSize at144 = scaleForDpi({1080, 680}, 144);
    EXPECT_EQ(at144.width, 1620);
    EXPECT_EQ(at144.height, 1020);
    const WindowSize truncated = scaleForDpi({760, 820}, 120);
    EXPECT_EQ(truncated.width, 950);
    EXPECT_EQ(truncated.height, 1025);
    EXPECT_EQ(scaleForDpi({100, 100}, 0).width, 100) << "unknown DPI counts as 96";
    const WindowPosition centre = centredOn({1920, 1080}, {1200, 800});
    EXPECT_EQ(centre.x, 360);
    EXPECT_EQ(centre.y, 140);
}

}  // namespace
