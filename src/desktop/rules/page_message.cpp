#include "desktop/rules/page_message.h"

#include <utility>

namespace {

bool startsWith(const std::string& text, const char* prefix, std::string* rest) {
    const std::string p(prefix);
    if (text.compare(0, p.size(), p) != 0) return false;
    *rest = text.substr(p.size());
    return true;
}

WindowEdge edgeByName(const std::string& name) {
    static const std::pair<const char*, WindowEdge> edges[] = {
        {"left", WindowEdge::Left},         {"right", WindowEdge::Right},
        {"top", WindowEdge::Top},           {"bottom", WindowEdge::Bottom},
        {"topleft", WindowEdge::TopLeft},   {"topright", WindowEdge::TopRight},
        {"bottomleft", WindowEdge::BottomLeft}, {"bottomright", WindowEdge::BottomRight},
    };
    for (const auto& [word, edge] : edges)
        if (name == word) return edge;
    return WindowEdge::None;
}

}  // namespace

PageMessage parsePageMessage(const std::string& text) {
    PageMessage message;
    std::string rest;
    if (text == "dragstart") {
        message.command = PageCommand::DragStart;
    } else if (startsWith(text, "resize:", &rest)) {
        message.edge = edgeByName(rest);
        if (message.edge != WindowEdge::None) message.command = PageCommand::Resize;
    } else if (text == "maximize") {
        message.command = PageCommand::Maximize;
    } else if (text == "minimize") {
        message.command = PageCommand::Minimize;
    } else if (text == "close") {
        message.command = PageCommand::Close;
    } else if (text == "navBack") {
        message.command = PageCommand::NavBack;
    } else if (text == "navForward") {
        message.command = PageCommand::NavForward;
    } else if (text == "registration_complete") {
        message.command = PageCommand::RegistrationComplete;
    } else if (startsWith(text, "openExternal:", &rest)) {
        message.command = PageCommand::OpenExternal;
        message.target = rest;
    } else if (startsWith(text, "openFolder:", &rest)) {
        message.command = PageCommand::OpenFolder;
        message.target = rest;
    }
    return message;
}

int edgeHitTestCode(WindowEdge edge) {
    switch (edge) {
        case WindowEdge::Left: return 10;
        case WindowEdge::Right: return 11;
        case WindowEdge::Top: return 12;
        case WindowEdge::TopLeft: return 13;
        case WindowEdge::TopRight: return 14;
        case WindowEdge::Bottom: return 15;
        case WindowEdge::BottomLeft: return 16;
        case WindowEdge::BottomRight: return 17;
        case WindowEdge::None: break;
    }
    return 0;
}
