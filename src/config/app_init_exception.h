// A start-up failure that carries the process result code (1104 a data
// directory cannot be made, 1302 the TCP server cannot be created or started).
// Thrown by initApp, caught only by serverMain.
#pragma once

#include <stdexcept>
#include <string>

class AppInitException : public std::runtime_error {
public:
    AppInitException(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};
