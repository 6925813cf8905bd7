#include "prompt/gpt_oss_renderer.h"

#include <stdexcept>

std::string GptOssRenderer::render(const MessageList& /*messages*/,
                                   const RenderOptions& /*options*/) const {
    throw std::logic_error("gpt-oss prompt rendering is not supported yet");
}

std::string GptOssRenderer::turnEndToken() const { return "<|end|>"; }

std::string GptOssRenderer::turnCloseFor(const std::string& stopToken) const {
    if (stopToken == "<|call|>") return "<|call|>";
    return "<|end|>";
}

bool GptOssRenderer::thinkingMarkers(std::string& open, std::string& close,
                                     std::string& closeThenAnswer) const {
    open = "<|channel|>analysis<|message|>";
    close = "<|end|>";
    closeThenAnswer = "<|end|><|start|>assistant<|channel|>final<|message|>";
    return true;
}

std::string GptOssRenderer::thinkingPrefix() const {
    return "<|start|>assistant<|channel|>analysis<|message|>";
}
