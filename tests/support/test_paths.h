// Paths the build hands to the tests.
#pragma once

#include <string>

// Folder holding the GGUF files written by the test-model kit.
std::string testModelsDir();
// Full path of one generated model, e.g. testModelPath("tiny-chat.gguf").
std::string testModelPath(const std::string& fileName);
// Folder of the built programs (brisvanesrv, brisvane).
std::string builtProgramsDir();
// Root of the source tree.
std::string sourceDir();
