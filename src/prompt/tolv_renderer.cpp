#include "prompt/tolv_renderer.h"

#include <stdexcept>

std::string TolvRenderer::render(const MessageList& /*messages*/,
                                 const RenderOptions& /*options*/) const {
    throw std::logic_error("tolv prompt rendering is not supported yet");
}

std::string TolvRenderer::turnEndToken() const { return "<|eot|>"; }

bool TolvRenderer::thinkingMarkers(std::string& open, std::string& close,
                                   std::string& closeThenAnswer) const {
    open = "to=self<|message|>";
    close = "<|eom|>";
    closeThenAnswer = "<|eom|><|start|>assistant to=user<|message|>";
    return true;
}

std::string TolvRenderer::thinkingPrefix() const { return "<|start|>assistant to=self<|message|>"; }
