// Loading the media library at run time: a missing file, a file that is no
// library, a library without the entry points, and the process-wide binding.
#include <gtest/gtest.h>

#include <filesystem>

#include "media/sd_library.h"
#include "platform/executable_path.h"
#include "support/temp_dir.h"

namespace {

// A shared library of the system that has none of the media entry points.
std::string foreignLibrary() {
    for (const char* path : {"/lib/x86_64-linux-gnu/libm.so.6", "/usr/lib/x86_64-linux-gnu/libm.so.6",
                             "/lib64/libm.so.6", "/usr/lib64/libm.so.6"}) {
        if (std::filesystem::exists(path)) return path;
    }
    return "";
}

TEST(SdLibrary, MissingFileIsReportedWithoutLoading) {
    TempDir dir;
    const SdLibrary library = SdLibrary::loadFrom(dir.file("libstable-diffusion.so"));
    EXPECT_FALSE(library.loaded);
    EXPECT_EQ(library.path, dir.file("libstable-diffusion.so"));
    EXPECT_EQ(library.error, "media engine library not found: " + dir.file("libstable-diffusion.so"));
    for (void* entry : library.entries) EXPECT_EQ(entry, nullptr);
}

TEST(SdLibrary, FileThatIsNoLibrary) {
    TempDir dir;
    writeTextFile(dir.file("libstable-diffusion.so"), "not an ELF file");
    const SdLibrary library = SdLibrary::loadFrom(dir.file("libstable-diffusion.so"));
    EXPECT_FALSE(library.loaded);
    EXPECT_EQ(library.error.rfind("failed to load media engine library: " + dir.file("libstable-diffusion.so") + " (",
                                  0),
              0u)
        << library.error;
}

TEST(SdLibrary, LibraryWithoutEntryPointsListsThemInTableOrder) {
    const std::string path = foreignLibrary();
    if (path.empty()) GTEST_SKIP() << "no system math library found";
    const SdLibrary library = SdLibrary::loadFrom(path);
    EXPECT_FALSE(library.loaded);
    std::string names;
    for (size_t i = 0; i < kSdRequiredEntries; ++i) {
        if (i > 0) names += ", ";
        names += sdEntryName(static_cast<SdEntry>(i));
    }
    EXPECT_EQ(library.error, "media engine library is missing functions: " + names +
                                 " (sd.cpp header/DLL version mismatch?)");
    EXPECT_EQ(std::string(sdEntryName(kSdGetLastError)), "sd_get_last_error");
    EXPECT_EQ(std::string(sdEntryName(kSdGetSystemInfo)), "sd_get_system_info");
    EXPECT_EQ(std::string(sdEntryName(kSdCommit)), "sd_commit");
    EXPECT_EQ(kSdRequiredEntries, 32u);
}

TEST(SdLibrary, ProcessBindingLooksBesideTheExecutable) {
    const SdLibrary& first = SdLibrary::instance();
    EXPECT_EQ(&first, &SdLibrary::instance()) << "built once";
    EXPECT_EQ(first.path, executableDir() + "/libstable-diffusion.so");
    if (!std::filesystem::exists(first.path)) {
        EXPECT_FALSE(first.loaded);
        EXPECT_EQ(first.error, "media engine library not found: " + first.path);
    }
}

}  // namespace

namespace {

TEST(SdLibrary, StandInBesideTheTestsLoadsWithTypedEntries) {
    const SdLibrary& library = SdLibrary::instance();
    ASSERT_TRUE(library.loaded) << library.error;
    EXPECT_EQ(library.error, "");
    for (size_t i = 0; i < kSdEntryCount; ++i) EXPECT_NE(library.entries[i], nullptr) << sdEntryName(static_cast<SdEntry>(i));
    EXPECT_EQ(reinterpret_cast<void*>(library.fn.resultGetFps), library.entries[kSdResultGetFps]);
    EXPECT_STREQ(library.fn.commit(), "standin");
}

TEST(SdLibrary, OneMissingEntryIsNamed) {
    const SdLibrary library = SdLibrary::loadFrom(BRISVANE_INCOMPLETE_MEDIA_LIBRARY);
    EXPECT_FALSE(library.loaded);
    EXPECT_EQ(library.error,
              "media engine library is missing functions: sd_result_get_fps (sd.cpp header/DLL version mismatch?)");
    EXPECT_EQ(library.fn.ctxCreate, nullptr) << "an incomplete library is never called";
}

}  // namespace
