#include "support/test_paths.h"

std::string testModelsDir() { return BRISVANE_TEST_MODELS_DIR; }
std::string testModelPath(const std::string& fileName) { return testModelsDir() + "/" + fileName; }
std::string builtProgramsDir() { return BRISVANE_BIN_DIR; }
std::string sourceDir() { return BRISVANE_SOURCE_DIR; }
