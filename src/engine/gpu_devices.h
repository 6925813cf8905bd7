// The GPUs of the inference library's backend registry, and how a placement
// value picks one of them. Device numbers match the NVIDIA tools once the
// CUDA device order is set at start-up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <ggml-backend.h>

struct GpuDevice {
    int index = 0;              // the N of "gpuN"
    std::string name;           // "" when the library gives none
    std::string description;    // "" when none
    uint64_t freeBytes = 0;     // at listing time
    uint64_t totalBytes = 0;
    ggml_backend_dev_t device = nullptr;  // not owned
};

// Loads every backend module and initialises the llama library, once per
// process. Safe from any thread: the first caller does the work while the
// others wait; a failure leaves it to the next caller to try again.
void initLlamaBackendOnce();

// The dedicated GPUs in registry order; when there are none, the integrated
// ones. CPU and accelerator devices never appear. Safe from any thread.
std::vector<GpuDevice> listGpuDevices();

// Picks a device for the placement "gpu" (the most free memory, the first on
// a tie) or "gpuN" (device N). Callers handle "auto" and "cpu" before. False
// with a message for no GPU, an unknown form, or an index not in the list.
bool resolveGpuPlacement(const std::string& value, const std::vector<GpuDevice>& devices, GpuDevice& chosen,
                         std::string& error);

// Sets "CUDA_DEVICE_ORDER" to "PCI_BUS_ID" unless the user set it; a failure
// is logged and start-up goes on. Runs once, on the server thread, before any
// engine exists.
void setCudaDeviceOrder();
